// The serial component as a reader of numbered lines up to "END", tallied as they come.
#pragma once

#include "LineTally.h"
#include "serial/TevComPort.h"

#include <QString>
#include <string>

struct CountingPort {
    // Before the port, so the port is gone before what its events write to.
    LineTally tally;
    bool connected = false;
    bool ended = false;
    TTevComPort port;

    CountingPort() {
        port.OnConnected = [this](QObject*) { connected = true; };
        port.OnRxString = [this](QObject*, const QString& line) {
            if (line == QLatin1String("END")) {
                ended = true;
                return;
            }
            tally.Add(line);
            tally.Mark();
        };
    }
    CountingPort(const CountingPort&) = delete;
    CountingPort& operator=(const CountingPort&) = delete;

    void Open(const std::string& name) {
        port.SetComPort(QString::fromStdString(name));
        port.SetActive(true);
        port.SetConnected(true);
    }
    void Close() {
        port.SetConnected(false);
        port.SetActive(false);
    }
};
