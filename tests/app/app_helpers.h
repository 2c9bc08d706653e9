// What the window tests share: waiting on the event loop, scratch folders, the D2XX simulator as the
// adapter driver and pravex-devsim as the device on a pty.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

namespace apptest {

bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 20000);
void Pump(int ms);
QString ScratchDir(const QString& name);
QByteArray ReadFile(const QString& path);
bool WriteFile(const QString& path, const QByteArray& bytes);
// Removes the program's settings and window positions left by an earlier run.
void ClearSettings();

// The simulated D2XX driver with the adapters of an adapter file (empty text: no adapter plugged).
class Sim {
public:
    bool Start(const QString& config);
    // Rewrites the adapter file; the simulator plugs and unplugs to match and announces it.
    void Change(const QString& config);
    static QString OneAdapter(const QString& tty, const QString& serial = QStringLiteral("PVX0001"));

private:
    QString FPath;
};

// pravex-devsim on a fresh pty; Port() is what to open, e.g. "/dev/pts/4".
class DevSim {
public:
    ~DevSim();
    bool Start(const QStringList& args);
    QString Port() const { return FPort; }
    // The port as the adapter driver names it ("pts/4").
    QString TtyName() const;

private:
    std::unique_ptr<QProcess> FProcess;
    QString FPort;
};

} // namespace apptest
