// What the window tests share: waiting on the event loop, scratch folders, the D2XX simulator as the
// adapter driver and pravex-devsim as the device on a pty.
#pragma once

#include "SimD2xx.h"

#include <QPoint>
#include <QString>
#include <QStringList>
#include <sys/types.h>

namespace apptest {

// The event-loop waits, scratch folders and the simulator's start and change are simtest's.
using simtest::ChangeSimulator;
using simtest::Pump;
using simtest::ScratchDir;
using simtest::StartSimulator;
using simtest::WaitFor;

QByteArray ReadFile(const QString& path);
bool WriteFile(const QString& path, const QByteArray& bytes);
// Removes the program's settings and window positions left by an earlier run.
void ClearSettings();

// An adapter file for the simulator with one adapter whose port is tty (empty text: no adapter plugged).
QString OneAdapter(const QString& tty, const QString& serial = QStringLiteral("PVX0001"));

// pravex-devsim on a fresh pty; Port() is what to open, e.g. "/dev/pts/4". Started with a plain fork and
// exec rather than QProcess, whose process start hides this thread's later locks from ThreadSanitizer.
class DevSim {
public:
    DevSim() = default;
    DevSim(const DevSim&) = delete;
    DevSim& operator=(const DevSim&) = delete;
    ~DevSim();
    bool Start(const QStringList& args);
    QString Port() const { return FPort; }
    // The port as the adapter driver names it ("pts/4").
    QString TtyName() const;

private:
    pid_t FPid = -1;
    int FOut = -1; // its standard output, kept open so a late write never meets a closed pipe
    QString FPort;
};

// The X server counts device pixels; Qt, at QT_SCALE_FACTOR=2, counts scaled ones.
qreal DesktopScale();
QPoint ToDevicePixels(QPoint p);
QPoint FromDevicePixels(QPoint p);

} // namespace apptest
