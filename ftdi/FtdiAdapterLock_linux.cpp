#include "FtdiAdapterLock.h"

#include <QCryptographicHash>
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

// A folder of our own, made when missing. One owned by someone else (a runtime folder that a program run
// with sudo wrote into) is not used: its lock files could be held against us for ever.
bool ownFolder(const QString& dir) {
    const QByteArray d = QFile::encodeName(dir);
    if (::mkdir(d.constData(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat st {};
    return ::lstat(d.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid();
}

int openLockFile(const QString& name) {
    const QString dir = FtdiLockDir();
    if (!ownFolder(dir))
        return -1;
    const QByteArray path = QFile::encodeName(dir + QLatin1Char('/') + name);
    return ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
}

} // namespace

QString FtdiLockDir() {
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(QFile::decodeName(runtime)).isDir()) {
        QString dir = QFile::decodeName(runtime) + QStringLiteral("/pravex");
        if (ownFolder(dir))
            return dir;
    }
    return QStringLiteral("/tmp/pravex-%1").arg(::getuid());
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
