#include "FtdiAdapterLock.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// A real folder (never a link someone planted), ours, and writable by nobody else: in a folder others can
// write to, they could make our lock files first and hold them against us for ever.
bool privateFolder(const QByteArray& d) {
    struct stat st {};
    return ::lstat(d.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// A folder of our own, made when missing, inside a private one.
bool ownFolder(const QString& parent, const QString& dir) {
    if (!privateFolder(QFile::encodeName(parent)))
        return false;
    const QByteArray d = QFile::encodeName(dir);
    if (::mkdir(d.constData(), 0700) != 0 && errno != EEXIST)
        return false;
    return privateFolder(d);
}

int openLockFile(const QString& name) {
    const QString dir = FtdiLockDir();
    if (dir.isEmpty())
        return -1;
    const QByteArray path = QFile::encodeName(dir + QLatin1Char('/') + name);
    return ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
}

QString absoluteEnv(const char* name) {
    const QString v = QFile::decodeName(qgetenv(name));
    return v.startsWith(QLatin1Char('/')) ? v : QString();
}

} // namespace

QString FtdiLockDir() {
    const QString runtime = absoluteEnv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && ownFolder(runtime, runtime + QStringLiteral("/pravex")))
        return runtime + QStringLiteral("/pravex");
    // Without the variable (cron, su): the login manager's folder for this user, which only root makes.
    const QString run = QStringLiteral("/run/user/%1").arg(::getuid());
    if (ownFolder(run, run + QStringLiteral("/pravex")))
        return run + QStringLiteral("/pravex");
    // Else the user's own cache folder: no other user can make a name there first.
    const QString cacheHome = absoluteEnv("XDG_CACHE_HOME");
    const QString cache = cacheHome.isEmpty() ? QDir::homePath() + QStringLiteral("/.cache") : cacheHome;
    const QString base = cache + QStringLiteral("/pravex");
    QDir().mkpath(cache);
    if (::mkdir(QFile::encodeName(base).constData(), 0700) != 0 && errno != EEXIST)
        return QString();
    if (ownFolder(base, base + QStringLiteral("/locks")))
        return base + QStringLiteral("/locks");
    return QString();
}

QString FtdiLockName(const QString& devicePath, int channel) {
    const QString canonical = QFileInfo(devicePath).canonicalFilePath();
    const QString key = canonical.isEmpty() ? devicePath : canonical;
    const QByteArray hash = QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha1).toHex().left(16);
    QString name = QStringLiteral("ftdi-") + QString::fromLatin1(hash);
    if (channel >= 0)
        name += QStringLiteral("-%1").arg(channel);
    else
        name += QStringLiteral("-chip");
    return name + QStringLiteral(".lock");
}

FtdiAdapterLock::~FtdiAdapterLock() {
    unlock();
}

bool FtdiAdapterLock::tryLock(const QString& name) {
    unlock();
    const int fd = openLockFile(name);
    if (fd < 0)
        return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

bool FtdiAdapterLock::lock(const QString& name, int timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (tryLock(name))
            return true;
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void FtdiAdapterLock::unlock() {
    if (fd_ >= 0) {
        ::close(fd_); // drops the flock
        fd_ = -1;
    }
}
