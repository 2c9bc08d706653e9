// Test helpers for the serial-port component: a pseudo-terminal pair as the device, a recorder of the
// component's events in order, and waits that keep the Qt event loop running.
#pragma once

#include "serial/TevComPort.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <QThread>
#include <atomic>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <ostream>
#include <poll.h>
#include <pty.h>
#include <string>
#include <unistd.h>

// Readable failure messages for Qt strings.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
inline void PrintTo(const QStringList& l, std::ostream* os) {
    *os << "{" << l.join(QStringLiteral(" | ")).toStdString() << "}";
}

// Runs the event loop until cond holds or timeoutMs pass; returns cond's last value.
inline bool WaitUntil(const std::function<bool()>& cond, int timeoutMs = 10000) {
    QElapsedTimer clock;
    clock.start();
    while (!cond()) {
        if (clock.elapsed() > timeoutMs)
            return cond();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::usleep(500);
    }
    return true;
}

// The device side of a pty pair. Closing the master is an unplug for whoever holds the slave.
class TPtyDevice {
public:
    TPtyDevice() {
        int slave = -1;
        char name[256] = {};
        if (openpty(&FMaster, &slave, name, nullptr, nullptr) == 0) {
            FSlavePath = name;
            // Keeping a slave descriptor open until the component has its own one avoids an early hang-up.
            FSlave = slave;
            fcntl(FMaster, F_SETFL, fcntl(FMaster, F_GETFL) | O_NONBLOCK);
        }
    }
    ~TPtyDevice() {
        Unplug();
        if (FSlave >= 0)
            ::close(FSlave);
    }
    TPtyDevice(const TPtyDevice&) = delete;
    TPtyDevice& operator=(const TPtyDevice&) = delete;

    bool Ok() const { return FMaster >= 0; }
    QString Path() const { return QString::fromStdString(FSlavePath); }
    // The test no longer needs its own slave descriptor once the component opened the port.
    void DropSlave() {
        if (FSlave >= 0)
            ::close(FSlave);
        FSlave = -1;
    }
    // Blocks while the pty is full; stop (checked every 100 ms) ends a write nobody reads any more.
    void Write(const std::string& bytes, const std::atomic<bool>* stop = nullptr) {
        std::size_t done = 0;
        while (done < bytes.size() && FMaster >= 0 && !(stop && stop->load())) {
            const ssize_t n = ::write(FMaster, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += std::size_t(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd p{FMaster, POLLOUT, 0};
                ::poll(&p, 1, 100);
            } else {
                break;
            }
        }
    }
    // Everything the component wrote so far.
    std::string ReadAvailable() {
        std::string out;
        char buf[4096];
        for (;;) {
            const ssize_t n = FMaster >= 0 ? ::read(FMaster, buf, sizeof buf) : -1;
            if (n <= 0)
                break;
            out.append(buf, std::size_t(n));
        }
        return out;
    }
    // Collects what the component writes until cond holds for the collected bytes (or time runs out).
    std::string ReadUntil(const std::function<bool(const std::string&)>& cond, int timeoutMs = 10000) {
        WaitUntil(
            [&] {
                FReceived += ReadAvailable();
                return cond(FReceived);
            },
            timeoutMs);
        std::string out = FReceived;
        FReceived.clear();
        return out;
    }
    void Unplug() {
        if (FMaster >= 0)
            ::close(FMaster);
        FMaster = -1;
    }

private:
    int FMaster = -1;
    int FSlave = -1;
    std::string FSlavePath;
    std::string FReceived;
};

// Records every event of a component as one text each: "Active:1", "Connected", "Rx:<text>",
// "Err:<code>:<desc>", "Disc", "CTS:1", "Tx:<n>", "SendStr:<text>", "ATTimeOut".
class TEventLog {
public:
    explicit TEventLog(TTevComPort& port) {
        port.OnActive = [this, &port](QObject*) { Add(QStringLiteral("Active:%1").arg(port.Active())); };
        port.OnConnected = [this](QObject*) { Add(QStringLiteral("Connected")); };
        port.OnDisconnected = [this](QObject*) { Add(QStringLiteral("Disc")); };
        port.OnComError = [this](QObject*, int code, const QString& desc) {
            Add(QStringLiteral("Err:%1:%2").arg(code).arg(desc));
        };
        port.OnRxString = [this](QObject*, const QString& text) { Add(QStringLiteral("Rx:") + text); };
        port.OnGetCTS = [this, &port](QObject*) { Add(QStringLiteral("CTS:%1").arg(port._CTS())); };
        port.OnGetDSR = [this, &port](QObject*) { Add(QStringLiteral("DSR:%1").arg(port._DSR())); };
        port.OnTxProgress = [this](QObject*, int left) { Add(QStringLiteral("Tx:%1").arg(left)); };
        port.OnSendStr = [this](QObject*, const QString& s) { Add(QStringLiteral("SendStr:") + s); };
        port.OnATTimeOut = [this](QObject*) { Add(QStringLiteral("ATTimeOut")); };
    }
    void Add(const QString& e) { Events.append(e); }
    bool Has(const QString& e) const { return Events.contains(e); }
    int Count(const QString& prefix) const {
        int n = 0;
        for (const QString& e : Events)
            n += e.startsWith(prefix) ? 1 : 0;
        return n;
    }
    bool WaitFor(const QString& e, int timeoutMs = 10000) const {
        return WaitUntil([&] { return Has(e); }, timeoutMs);
    }
    // The events of one kind, e.g. "Err:", with their prefix.
    QStringList Of(const QString& prefix) const {
        QStringList out;
        for (const QString& e : Events)
            if (e.startsWith(prefix))
                out.append(e);
        return out;
    }
    QStringList Events;
};

// Active and Connected on the device's port, waiting until the line is open.
inline void OpenPort(TTevComPort& port, const TPtyDevice& dev, const TEventLog& log) {
    ASSERT_TRUE(dev.Ok());
    port.SetComPort(dev.Path());
    port.SetActive(true);
    port.SetConnected(true);
    ASSERT_TRUE(log.WaitFor(QStringLiteral("Connected")));
}

// Neither connected nor active, waiting until the worker has ended.
inline void ClosePort(TTevComPort& port) {
    port.SetConnected(false);
    port.SetActive(false);
    ASSERT_TRUE(WaitUntil([&] { return port.ComThread() == nullptr; }));
}

inline int CountDirEntries(const char* path) {
    int n = 0;
    if (DIR* d = opendir(path)) {
        while (readdir(d) != nullptr)
            ++n;
        closedir(d);
    }
    return n;
}
inline int ThreadCount() {
    return CountDirEntries("/proc/self/task");
}
inline int FdCount() {
    return CountDirEntries("/proc/self/fd");
}
