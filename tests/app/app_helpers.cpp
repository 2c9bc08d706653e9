// Scratch files, settings clean-up, the adapter file and pravex-devsim for the window tests.
#include "app_helpers.h"

#include "common/SettingsStore.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QThread>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

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
    if (FPid > 0) {
        ::kill(FPid, SIGTERM);
        QDeadlineTimer deadline(5000);
        while (::waitpid(FPid, nullptr, WNOHANG) == 0) {
            if (deadline.hasExpired()) {
                ::kill(FPid, SIGKILL);
                ::waitpid(FPid, nullptr, 0);
                break;
            }
            QThread::msleep(10);
        }
    }
    if (FOut >= 0)
        ::close(FOut);
}

bool DevSim::Start(const QStringList& args) {
    const QString bin = qEnvironmentVariable("PRAVEX_BIN_PRAVEX_DEVSIM");
    if (bin.isEmpty() || !QFileInfo::exists(bin) || FPid > 0)
        return false;
    // Everything the child needs is made before the fork: it only redirects and execs.
    std::vector<QByteArray> bytes{QFile::encodeName(bin)};
    for (const QString& a : args)
        bytes.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& b : bytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return false;
    FPid = ::fork();
    if (FPid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    FOut = out[0];
    if (FPid < 0)
        return false;
    // The first line is the pty's name.
    QByteArray line;
    QDeadlineTimer deadline(10000);
    while (!line.contains('\n') && !deadline.hasExpired()) {
        pollfd p{FOut, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        char buf[256];
        const ssize_t n = ::read(FOut, buf, sizeof buf);
        if (n <= 0)
            break;
        line.append(buf, n);
    }
    FPort = QString::fromLocal8Bit(line.left(line.indexOf('\n'))).trimmed();
    return !FPort.isEmpty();
}

QString DevSim::TtyName() const {
    return FPort.startsWith(QStringLiteral("/dev/")) ? FPort.mid(5) : FPort;
}

qreal DesktopScale() {
    return QGuiApplication::primaryScreen()->devicePixelRatio();
}

QPoint ToDevicePixels(QPoint p) {
    return QPoint(qRound(p.x() * DesktopScale()), qRound(p.y() * DesktopScale()));
}

QPoint FromDevicePixels(QPoint p) {
    return QPoint(qRound(p.x() / DesktopScale()), qRound(p.y() / DesktopScale()));
}

} // namespace apptest
