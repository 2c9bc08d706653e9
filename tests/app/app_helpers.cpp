// Event-loop waits, scratch files and the two simulators for the window tests.
#include "app_helpers.h"

#include "common/SettingsStore.h"
#include "ftdi/D2xxBackend.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLibrary>
#include <QThread>
#include <QUuid>

namespace apptest {

bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return condition();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

void Pump(int ms) {
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
}

QString ScratchDir(const QString& name) {
    QString base = qEnvironmentVariable("PRAVEX_TEST_TMP");
    if (base.isEmpty())
        base = QDir::tempPath() + QStringLiteral("/pravex-app-tests");
    const QString dir = base + QLatin1Char('/') + name + QLatin1Char('-') +
                        QUuid::createUuid().toString(QUuid::WithoutBraces);
    QDir().mkpath(dir);
    return dir;
}

QByteArray ReadFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool WriteFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

void ClearSettings() {
    pravex::SettingsStore store;
    store.deleteKey(QStringLiteral("Software\\Pravex"));
    const QString exe = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    store.deleteKey(QStringLiteral("Software\\") + exe);
}

bool Sim::Start(const QString& config) {
    const QString lib = qEnvironmentVariable("PRAVEX_BIN_PRAVEX_D2XX_SIM");
    if (lib.isEmpty() || !QFileInfo::exists(lib))
        return false;
    FPath = ScratchDir(QStringLiteral("sim")) + QStringLiteral("/adapters.conf");
    if (!WriteFile(FPath, config.toUtf8()))
        return false;
    qputenv("PRAVEX_D2XX_SIM_CONFIG", QFile::encodeName(FPath));
    qputenv("PRAVEX_D2XX_LIBRARY", QFile::encodeName(lib));
    D2xxSelectBackend();
    if (D2xxBackendKindInUse() != D2xxBackendKind::Library)
        return false;
    // The library may still be loaded from an earlier test: have it read this test's file now.
    using Reload = int (*)();
    if (auto reload = reinterpret_cast<Reload>(D2xxLibrarySymbol("PravexSim_Reload")))
        reload();
    return true;
}

void Sim::Change(const QString& config) {
    WriteFile(FPath, config.toUtf8());
    using Reload = int (*)();
    if (auto reload = reinterpret_cast<Reload>(D2xxLibrarySymbol("PravexSim_Reload")))
        reload();
}

QString Sim::OneAdapter(const QString& tty, const QString& serial) {
    return QStringLiteral("[adapter]\nserial = %1\ndescription = \"PRAVEX link\"\ntype = 5\ntty = %2\n")
        .arg(serial, tty);
}

DevSim::~DevSim() {
    if (FProcess && FProcess->state() != QProcess::NotRunning) {
        FProcess->terminate();
        if (!FProcess->waitForFinished(5000)) {
            FProcess->kill();
            FProcess->waitForFinished(5000);
        }
    }
}

bool DevSim::Start(const QStringList& args) {
    const QString bin = qEnvironmentVariable("PRAVEX_BIN_PRAVEX_DEVSIM");
    if (bin.isEmpty() || !QFileInfo::exists(bin))
        return false;
    FProcess = std::make_unique<QProcess>();
    FProcess->setProcessChannelMode(QProcess::SeparateChannels);
    FProcess->start(bin, args);
    if (!FProcess->waitForStarted(10000))
        return false;
    QDeadlineTimer deadline(10000);
    while (!FProcess->canReadLine() && !deadline.hasExpired())
        FProcess->waitForReadyRead(100);
    FPort = QString::fromLocal8Bit(FProcess->readLine()).trimmed();
    return !FPort.isEmpty();
}

QString DevSim::TtyName() const {
    return FPort.startsWith(QStringLiteral("/dev/")) ? FPort.mid(5) : FPort;
}

} // namespace apptest
