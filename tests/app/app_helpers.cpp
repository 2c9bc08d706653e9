// Scratch files, settings clean-up, the adapter file and pravex-devsim for the window tests.
#include "app_helpers.h"

#include "common/SettingsStore.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>

namespace apptest {

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

QString OneAdapter(const QString& tty, const QString& serial) {
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
