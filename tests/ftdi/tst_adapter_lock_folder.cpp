// Where the adapter locks live when the runtime folder is missing or not private: never in a folder other
// users can write to (they could make the lock files first and hold them), never through a planted link.
#include "FtdiAdapterLock.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool writableByOthers(const QString& dir) {
    struct stat st {};
    return ::stat(QFile::encodeName(dir).constData(), &st) != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

TEST(AdapterLockFolder, IsPrivateWhateverTheRuntimeFolderIs) {
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString home = tmp.path() + QStringLiteral("/home");
    const QString open = tmp.path() + QStringLiteral("/open"); // like /tmp
    const QString planted = tmp.path() + QStringLiteral("/planted");
    const QString elsewhere = tmp.path() + QStringLiteral("/elsewhere");
    QDir().mkpath(home);
    QDir().mkpath(open);
    QDir().mkpath(planted);
    QDir().mkpath(elsewhere);
    ::chmod(QFile::encodeName(open).constData(), 01777);
    ::chmod(QFile::encodeName(planted).constData(), 0700);
    ASSERT_TRUE(QFile::link(elsewhere, planted + QStringLiteral("/pravex")));
    const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR"), savedCache = qgetenv("XDG_CACHE_HOME"),
                     savedHome = qgetenv("HOME");
    qunsetenv("XDG_CACHE_HOME");
    qputenv("HOME", QFile::encodeName(home));

    const struct {
        const char* name;
        QString runtime; // empty: unset
    } cases[] = {
        {"no runtime folder", {}},
        {"a runtime folder anyone can write to", open},
        {"a link planted as its pravex folder", planted},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.runtime.isEmpty())
            qunsetenv("XDG_RUNTIME_DIR");
        else
            qputenv("XDG_RUNTIME_DIR", QFile::encodeName(c.runtime));
        const QString dir = FtdiLockDir();
        ASSERT_FALSE(dir.isEmpty());
        EXPECT_FALSE(writableByOthers(dir)) << dir.toStdString();
        EXPECT_FALSE(writableByOthers(QFileInfo(dir).path())) << dir.toStdString();
        EXPECT_FALSE(dir.startsWith(elsewhere)) << dir.toStdString();
        FtdiAdapterLock lock;
        EXPECT_TRUE(lock.tryLock(QStringLiteral("test.lock")));
        EXPECT_TRUE(QDir(elsewhere).isEmpty());
    }
    qputenv("XDG_RUNTIME_DIR", savedRuntime);
    qputenv("XDG_CACHE_HOME", savedCache);
    qputenv("HOME", savedHome);
    if (savedRuntime.isEmpty())
        qunsetenv("XDG_RUNTIME_DIR");
    if (savedCache.isEmpty())
        qunsetenv("XDG_CACHE_HOME");
}

} // namespace
