// The registry value helpers over the real SQLite store: stored forms, defaults, case-insensitive names,
// and what happens with two writers, a writer killed mid-way, a damaged file and a folder without access.
// labels: unit
#include "SettingsStore.h"
#include "TevTools.h"
#include "common_test_helpers.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>
#include <climits>
#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using pravex::SettingsStore;
using pravex::StoredValue;
using pravex::StoreStatus;

namespace {

const QString Key = QStringLiteral("Software\\Pravex");

// Runs fn in a child process and returns its exit status (or -1 when it did not exit normally).
template <typename Fn> int inChild(Fn fn) {
    const pid_t pid = fork();
    if (pid == 0)
        _exit(fn());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

StoredValue stored(const QString& name, const QString& key = Key) {
    StoredValue v;
    SettingsStore store;
    EXPECT_EQ(store.read(key, name, &v), StoreStatus::Ok) << qPrintable(store.lastError());
    return v;
}

} // namespace

TEST(RegistryHelpers, ValuesKeepTheirStoredForms) {
    const QString path = freshStore();
    EXPECT_TRUE(RegWriteString(QStringLiteral("naComPort"), QStringLiteral("ttyUSB0"), Key));
    EXPECT_TRUE(RegWriteInteger(QStringLiteral("Left"), -42, Key));
    EXPECT_TRUE(RegWriteBool(QStringLiteral("ComPortAutoDetect"), false, Key));
    EXPECT_TRUE(RegWriteBool(QStringLiteral("Other"), true, Key));

    EXPECT_EQ(stored(QStringLiteral("naComPort")).text, QStringLiteral("ttyUSB0"));
    // An integer is decimal text in a string value; a flag is the integer form 1 or 0.
    const StoredValue left = stored(QStringLiteral("Left"));
    EXPECT_EQ(left.type, StoredValue::String);
    EXPECT_EQ(left.text, QStringLiteral("-42"));
    const StoredValue flag = stored(QStringLiteral("ComPortAutoDetect"));
    EXPECT_EQ(flag.type, StoredValue::DWord);
    EXPECT_EQ(flag.dword, 0u);
    EXPECT_EQ(stored(QStringLiteral("Other")).dword, 1u);

    EXPECT_EQ(RegReadString(QStringLiteral("naComPort"), QStringLiteral("COM1"), Key),
              QStringLiteral("ttyUSB0"));
    EXPECT_EQ(RegReadInteger(QStringLiteral("Left"), 7, Key), -42);
    EXPECT_FALSE(RegReadBool(QStringLiteral("ComPortAutoDetect"), true, Key));
    EXPECT_TRUE(RegReadBool(QStringLiteral("Other"), false, Key));

    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(RegistryHelpers, IntegerLimitsRoundTrip) {
    freshStore();
    for (int v : {INT_MIN, -1, 0, INT_MAX}) {
        ASSERT_TRUE(RegWriteInteger(QStringLiteral("n"), v, Key));
        EXPECT_EQ(RegReadInteger(QStringLiteral("n"), 5, Key), v);
    }
}

TEST(RegistryHelpers, ValueOfTheOtherFormIsUnreadable) {
    freshStore();
    SettingsStore store;
    ASSERT_TRUE(store.write(Key, QStringLiteral("text"), StoredValue::ofString(QStringLiteral("12abc"))));
    ASSERT_TRUE(store.write(Key, QStringLiteral("one"), StoredValue::ofString(QStringLiteral("1"))));
    ASSERT_TRUE(store.write(Key, QStringLiteral("dword"), StoredValue::ofDWord(12)));
    ASSERT_TRUE(store.write(Key, QStringLiteral("big"), StoredValue::ofString(QStringLiteral("2147483648"))));
    ASSERT_TRUE(store.write(Key, QStringLiteral("spaced"), StoredValue::ofString(QStringLiteral(" 12"))));

    EXPECT_EQ(RegReadInteger(QStringLiteral("text"), 99, Key), 99);
    EXPECT_EQ(RegReadInteger(QStringLiteral("dword"), 99, Key), 99);
    EXPECT_EQ(RegReadInteger(QStringLiteral("big"), 99, Key), 99);
    EXPECT_EQ(RegReadInteger(QStringLiteral("spaced"), 99, Key), 99);
    EXPECT_TRUE(RegReadBool(QStringLiteral("one"), true, Key));
    EXPECT_FALSE(RegReadBool(QStringLiteral("one"), false, Key));
    EXPECT_EQ(RegReadString(QStringLiteral("dword"), QStringLiteral("d"), Key), QStringLiteral("d"));
}

TEST(RegistryHelpers, EmptyNamesAndPathsNeverTouchTheStore) {
    const QString path = freshStore();
    EXPECT_EQ(RegReadString(QString(), QStringLiteral("d"), Key), QStringLiteral("d"));
    EXPECT_EQ(RegReadString(QStringLiteral("v"), QStringLiteral("d"), QString()), QStringLiteral("d"));
    EXPECT_EQ(RegReadInteger(QStringLiteral("v"), 3, QStringLiteral("\\\\")), 3);
    EXPECT_FALSE(RegWriteString(QString(), QStringLiteral("x"), Key));
    EXPECT_FALSE(RegWriteBool(QStringLiteral("v"), true, QString()));
    // Only the current user's branch exists.
    EXPECT_FALSE(RegWriteString(QStringLiteral("v"), QStringLiteral("x"), Key, HKEY_LOCAL_MACHINE));
    EXPECT_FALSE(QFileInfo::exists(path));
}

TEST(RegistryHelpers, EmptyStringUnderMissingKeyCreatesTheKey) {
    freshStore();
    const QString deep = QStringLiteral("Software\\AliasFT232a\\New");
    EXPECT_TRUE(RegWriteString(QStringLiteral("alias"), QString(), deep));
    EXPECT_EQ(RegReadString(QStringLiteral("alias"), QStringLiteral("d"), deep), QString());
    SettingsStore store;
    SettingsStore::Listing l;
    ASSERT_EQ(store.list(QStringLiteral("Software"), &l), StoreStatus::Ok);
    EXPECT_EQ(l.subkeys, QStringList{QStringLiteral("AliasFT232a")});
}

TEST(RegistryHelpers, NamesCompareCaseInsensitively) {
    freshStore();
    ASSERT_TRUE(RegWriteString(QStringLiteral("Left"), QStringLiteral("10"),
                               QStringLiteral("\\Software\\pravex\\Form1")));
    EXPECT_EQ(RegReadInteger(QStringLiteral("LEFT"), 0, QStringLiteral("software\\PRAVEX\\form1\\")), 10);
    ASSERT_TRUE(RegWriteString(QStringLiteral("left"), QStringLiteral("11"),
                               QStringLiteral("SOFTWARE\\Pravex\\Form1")));
    SettingsStore store;
    SettingsStore::Listing l;
    ASSERT_EQ(store.list(QStringLiteral("Software\\Pravex\\Form1"), &l), StoreStatus::Ok);
    ASSERT_EQ(l.values.size(), 1);
    // One value, still spelled as first written, holding the last text.
    EXPECT_EQ(l.values[0].first, QStringLiteral("Left"));
    EXPECT_EQ(l.values[0].second.text, QStringLiteral("11"));
    EXPECT_EQ(l.key, QStringLiteral("Software\\pravex\\Form1"));
}

TEST(SettingsStoreSafety, TwoProcessesWritingAtOnceLoseNothing) {
    freshStore();
    constexpr int PerWriter = 1500;
    pid_t pids[2];
    for (int w = 0; w < 2; ++w) {
        pids[w] = fork();
        if (pids[w] == 0) {
            SettingsStore store;
            int failures = 0;
            for (int i = 0; i < PerWriter; ++i) {
                // Both writers also fight over one shared value.
                for (const QString& name :
                     {QStringLiteral("w%1_%2").arg(w).arg(i), QStringLiteral("shared")}) {
                    if (!store.write(QStringLiteral("Software\\Load"), name,
                                     StoredValue::ofString(QString::number(i)))) {
                        ++failures;
                        std::fprintf(stderr, "writer %d: %s\n", w, qPrintable(store.lastError()));
                    }
                }
            }
            _exit(failures == 0 ? 0 : 1);
        }
    }
    for (pid_t pid : pids) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer saw a failed write";
    }
    SettingsStore store;
    SettingsStore::Listing l;
    ASSERT_EQ(store.list(QStringLiteral("Software\\Load"), &l), StoreStatus::Ok);
    EXPECT_EQ(l.values.size(), 2 * PerWriter + 1);
    for (int w = 0; w < 2; ++w)
        for (int i = 0; i < PerWriter; i += 97)
            EXPECT_EQ(
                RegReadInteger(QStringLiteral("W%1_%2").arg(w).arg(i), -1, QStringLiteral("software\\load")),
                i);
}

TEST(SettingsStoreSafety, WriterKilledMidwayLeavesEveryCommittedValue) {
    const QString path = freshStore();
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipefd[0]);
        for (int i = 0;; ++i) {
            SettingsStore store;
            if (!store.write(Key, QStringLiteral("v%1").arg(i),
                             StoredValue::ofString(QString(200, QLatin1Char('x')) + QString::number(i)))) {
                std::fprintf(stderr, "writer: %s\n", qPrintable(store.lastError()));
                _exit(1);
            }
            if (write(pipefd[1], &i, sizeof i) != sizeof i)
                _exit(2);
        }
    }
    close(pipefd[1]);
    int last = -1, got = 0;
    while (last < 300 && read(pipefd[0], &got, sizeof got) == sizeof got)
        last = got;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    while (read(pipefd[0], &got, sizeof got) == sizeof got)
        last = got;
    close(pipefd[0]);
    ASSERT_GE(last, 300);

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "ok");
    sqlite3_finalize(st);
    sqlite3_close(db);

    for (int i = 0; i <= last; ++i)
        ASSERT_EQ(RegReadString(QStringLiteral("v%1").arg(i), QString(), Key),
                  QString(200, QLatin1Char('x')) + QString::number(i));
    // And the store takes writes again.
    EXPECT_TRUE(RegWriteBool(QStringLiteral("after"), true, Key));
}

class DamagedStore : public ::testing::TestWithParam<int> {};

TEST_P(DamagedStore, ReadersGetDefaultsAndTheNextWriteMovesItAside) {
    const QString path = freshStore();
    ASSERT_TRUE(RegWriteString(QStringLiteral("a"), QStringLiteral("old"), Key));
    QByteArray damaged;
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        if (GetParam() == 0) {
            f.resize(0);
            f.write("these are not the settings you are looking for\n");
        } else {
            f.write(QByteArray(16, '\xA5')); // the header's magic
        }
        f.close();
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        damaged = f.readAll();
    }
    EXPECT_EQ(RegReadString(QStringLiteral("a"), QStringLiteral("default"), Key), QStringLiteral("default"));
    EXPECT_TRUE(RegReadBool(QStringLiteral("a"), true, Key));
    // A reader does not touch the file.
    EXPECT_TRUE(QDir(QFileInfo(path).absolutePath()).entryList({QStringLiteral("*.corrupt-*")}).isEmpty());

    EXPECT_TRUE(RegWriteString(QStringLiteral("b"), QStringLiteral("new"), Key));
    EXPECT_EQ(RegReadString(QStringLiteral("b"), QString(), Key), QStringLiteral("new"));
    EXPECT_EQ(RegReadString(QStringLiteral("a"), QStringLiteral("default"), Key), QStringLiteral("default"));
    const QStringList aside = QDir(QFileInfo(path).absolutePath())
                                  .entryList({QStringLiteral("registry.db.corrupt-*")}, QDir::Files);
    ASSERT_EQ(aside.size(), 1);
    QFile kept(QFileInfo(path).absolutePath() + QLatin1Char('/') + aside[0]);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), damaged);
}

INSTANTIATE_TEST_SUITE_P(NotADatabaseOrBrokenHeader, DamagedStore, ::testing::Values(0, 1));

TEST(SettingsStoreSafety, FolderWithoutAccessGivesDefaultsAndFailedWrites) {
    const QString dir = scratchDir() + QStringLiteral("/locked");
    ASSERT_TRUE(QDir().mkpath(dir));
    const QString existing = dir + QStringLiteral("/old/registry.db");
    qputenv("PRAVEX_REGISTRY", existing.toLocal8Bit());
    ASSERT_TRUE(RegWriteString(QStringLiteral("a"), QStringLiteral("mine"), Key));
    ::chmod(QFile::encodeName(dir).constData(), 0555);
    ::chmod(QFile::encodeName(dir + QStringLiteral("/old")).constData(), 0555);

    // Root passes every permission check, so the access is tried as an ordinary user.
    const bool root = geteuid() == 0;
    auto asUser = [root] {
        if (root && (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0))
            return false;
        return true;
    };
    const int rc = inChild([&] {
        if (!asUser())
            return 10;
        // A store that cannot be made.
        qputenv("PRAVEX_REGISTRY", (dir + QStringLiteral("/new/registry.db")).toLocal8Bit());
        if (RegWriteString(QStringLiteral("a"), QStringLiteral("x"), Key))
            return 11;
        if (RegReadString(QStringLiteral("a"), QStringLiteral("d"), Key) != QLatin1String("d"))
            return 12;
        // A store that exists but is not ours to open (as root: ours, in a folder we may not write).
        qputenv("PRAVEX_REGISTRY", existing.toLocal8Bit());
        if (root && RegReadString(QStringLiteral("a"), QStringLiteral("d"), Key) != QLatin1String("d"))
            return 13;
        if (root && RegWriteString(QStringLiteral("a"), QStringLiteral("x"), Key))
            return 14;
        return 0;
    });
    ::chmod(QFile::encodeName(dir).constData(), 0755);
    ::chmod(QFile::encodeName(dir + QStringLiteral("/old")).constData(), 0755);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(RegReadString(QStringLiteral("a"), QStringLiteral("d"), Key), QStringLiteral("mine"));
}

TEST(SettingsStoreApi, DeleteAndListWalkTheTree) {
    freshStore();
    SettingsStore store;
    ASSERT_TRUE(store.write(QStringLiteral("A\\B\\C"), QStringLiteral("x"), StoredValue::ofDWord(1)));
    ASSERT_TRUE(store.write(QStringLiteral("A\\B"), QStringLiteral("y"), StoredValue::ofDWord(2)));
    ASSERT_TRUE(store.write(QStringLiteral("A\\Bx"), QStringLiteral("z"), StoredValue::ofDWord(3)));
    EXPECT_EQ(store.deleteValue(QStringLiteral("a\\b"), QStringLiteral("nope")), StoreStatus::NotFound);
    EXPECT_EQ(store.deleteKey(QStringLiteral("a\\b")), StoreStatus::Ok);
    StoredValue v;
    EXPECT_EQ(store.read(QStringLiteral("A\\B\\C"), QStringLiteral("x"), &v), StoreStatus::NotFound);
    // A sibling whose name merely starts the same stays.
    EXPECT_EQ(store.read(QStringLiteral("A\\Bx"), QStringLiteral("z"), &v), StoreStatus::Ok);
    SettingsStore::Listing l;
    EXPECT_EQ(store.list(QStringLiteral("A\\B"), &l), StoreStatus::NotFound);
    ASSERT_EQ(store.list(QStringLiteral("A"), &l), StoreStatus::Ok);
    EXPECT_EQ(l.subkeys, QStringList{QStringLiteral("Bx")});
    EXPECT_EQ(store.deleteKey(QStringLiteral("A\\B")), StoreStatus::NotFound);
}

TEST(SettingsStoreSafety, HelpersWaitBrieflyForABusyStoreAndSavesAtShutdownLonger) {
    freshStore();
    ASSERT_TRUE(RegWriteString(QStringLiteral("v"), QStringLiteral("1"), QStringLiteral("Software\\Busy")));
    // Another program in the middle of a long write.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(SettingsStore::defaultPath()).constData(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(RegWriteString(QStringLiteral("v"), QStringLiteral("2"), QStringLiteral("Software\\Busy")));
    // Far below the store's own 15 s, with room for a loaded machine.
    EXPECT_LT(clock.elapsed(), 10000);
    EXPECT_EQ(RegReadString(QStringLiteral("v"), QString(), QStringLiteral("Software\\Busy")),
              QStringLiteral("1"));

    // A patient save gets through once the other program is done.
    std::thread done([&] {
        QThread::msleep(300);
        sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    });
    {
        const TRegBusyWait patient(SettingsStore::DefaultBusyTimeoutMs);
        EXPECT_TRUE(
            RegWriteString(QStringLiteral("v"), QStringLiteral("3"), QStringLiteral("Software\\Busy")));
    }
    done.join();
    sqlite3_close(other);
    EXPECT_EQ(RegReadString(QStringLiteral("v"), QString(), QStringLiteral("Software\\Busy")),
              QStringLiteral("3"));
}

TEST(SettingsStoreSafety, WritersMeetingADamagedStoreAllSucceedAndItIsMovedAsideWithItsJournal) {
    freshStore();
    const QString path = SettingsStore::defaultPath();
    const QFileInfo info(path);
    QDir().mkpath(info.absolutePath());
    constexpr int Rounds = 5;
    constexpr int Writers = 6;
    int failed = 0;
    for (int round = 0; round < Rounds; ++round) {
        // A damaged store with a journal of its own.
        QFile::remove(path + QStringLiteral("-shm"));
        {
            QFile f(path);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(QByteArray(8192, 'x'));
            QFile wal(path + QStringLiteral("-wal"));
            ASSERT_TRUE(wal.open(QIODevice::WriteOnly | QIODevice::Truncate));
            wal.write("the damaged store's journal");
        }
        // All writers start at once: each waits for the pipe to close.
        int gate[2];
        ASSERT_EQ(pipe(gate), 0);
        pid_t pids[Writers];
        for (int w = 0; w < Writers; ++w) {
            pids[w] = fork();
            if (pids[w] == 0) {
                ::close(gate[1]);
                char c;
                while (::read(gate[0], &c, 1) > 0) {
                }
                SettingsStore store;
                const bool ok =
                    store.write(QStringLiteral("Software\\Mend"), QStringLiteral("r%1w%2").arg(round).arg(w),
                                StoredValue::ofString(QStringLiteral("x")));
                if (!ok)
                    std::fprintf(stderr, "round %d writer %d: %s\n", round, w, qPrintable(store.lastError()));
                _exit(ok ? 0 : 1);
            }
        }
        ::close(gate[0]);
        ::close(gate[1]);
        for (pid_t pid : pids) {
            int status = 0;
            waitpid(pid, &status, 0);
            failed += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        // Every round's damaged store and journal were moved aside, none of them lost.
        const QStringList aside =
            QDir(info.absolutePath())
                .entryList({info.fileName() + QStringLiteral(".corrupt-*")}, QDir::Files);
        EXPECT_EQ(aside.filter(QRegularExpression(QStringLiteral("-wal$"))).size(), round + 1)
            << aside.join(QLatin1Char(' ')).toStdString();
    }
    EXPECT_EQ(failed, 0) << "writers that failed while the store was being mended";
}
