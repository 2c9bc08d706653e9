// The list of the machine's serial ports, for the component's AvailableComPorts.
#pragma once

#include <QString>
#include <QStringList>

// Replaces target's contents with the port names (ttyUSB0, ttyS0, ...) sorted ignoring case. Never
// fails: an unreadable source gives an empty list. sysClassTty is for tests; empty means the real one.
void EnumComPorts(QStringList& target, const QString& sysClassTty = QString());
