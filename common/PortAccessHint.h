// What to tell a user whose serial port open was refused: the remedy, not only the system's word for it.
#pragma once

#include <QString>
#include <cerrno>

// The remedy for an open that failed with errno `error`, to put after the system's message; empty when
// the error is not one of access rights.
inline QString PortAccessRemedy(int error) {
    if (error != EACCES && error != EPERM)
        return {};
    return QStringLiteral("serial ports belong to the 'dialout' group: join it (sudo usermod -aG dialout "
                          "$USER) and log in again; USB adapters also need the package's udev rule "
                          "(70-pravex-ftdi.rules)");
}
