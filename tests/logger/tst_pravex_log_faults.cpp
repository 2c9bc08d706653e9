// pravex-log against storage and terminals that fail: each fault injected into the real program (the CSV
// file's sync and disk space through a preloaded shim, its file size limit, a second logger on the same
// file, a standard output that is full or gone), with what the user must then hear and what the CSV file
// must then hold.
#include "LogSession.h"
#include "TestPty.h"
#include "tst_pravex_log_support.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace logtest;

namespace {

enum class Out { Read, Full, Closed };

struct Case {
    const char* name;
    // The shim's control line: from the start (atStart) or while readings 3 and 4 arrive. "size +N": the
    // disk holds N more bytes than the file has then.
    QByteArray fault;
    bool atStart;
    Out out;
    QStringList second; // a second logger started on the same file meanwhile (with --csv FILE)
    QList<QByteArray> rows;
    int code;
    QByteArray says;     // on stderr, once
    QByteArray lastLine; // the last line on stderr ("%1": the CSV's path)
};

const QList<QByteArray> AllRows = {"2;3.9", "4;3.8", "6;3.7", "8;3.6", "10;3.5"};

TEST(LogFaults, EachFailureIsSaidAndCountedAndNothingElseIsLost) {
    const QString program = binary("PRAVEX_BIN_PRAVEX_LOG");
    ASSERT_FALSE(program.isEmpty()) << "PRAVEX_BIN_PRAVEX_LOG not set";
    const QString dir = scratchDir(QStringLiteral("faults"));
    const QString csv = dir + QStringLiteral("/log.csv");
    const QString control = dir + QStringLiteral("/fault");
    writeFile(dir + QStringLiteral("/adapters.conf"), "");
    QProcessEnvironment env = simEnvironment(dir + QStringLiteral("/adapters.conf"));
    env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(PRAVEX_LOG_FAULT_SHIM));
    env.insert(QStringLiteral("PRAVEX_FAULT_FILE"), csv);
    env.insert(QStringLiteral("PRAVEX_FAULT_CONTROL"), control);
    // The sanitizer's runtime need not come first when the shim is preloaded.
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               env.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":verify_asan_link_order=0"));

    const QList<Case> cases = {
        {"sync fails",
         "sync 5",
         false,
         Out::Read,
         {},
         {"2;3.9", "4;3.8", "10;3.5"},
         LogExitCsv,
         "cannot sync",
         "2 readings not written to %1"},
        {"disk full, then room again",
         "size +4",
         false,
         Out::Read,
         {},
         {"2;3.9", "4;3.8", "10;3.5"},
         LogExitCsv,
         "No space left on device",
         "2 readings not written to %1"},
        {"file size limit reached, then raised",
         "limit +4",
         false,
         Out::Read,
         {},
         {"2;3.9", "4;3.8", "10;3.5"},
         LogExitCsv,
         "File too large",
         "2 readings not written to %1"},
        {"sync fails from the start", "sync 5", true, Out::Read, {}, {}, LogExitCsv, "cannot sync", ""},
        {"folder sync fails", "dirsync 5", true, Out::Read, {}, {}, LogExitCsv, "cannot sync the folder", ""},
        {"second logger appends",
         "",
         false,
         Out::Read,
         {QStringLiteral("--append")},
         AllRows,
         LogExitOk,
         "session ended after 5 readings",
         "session ended after 5 readings"},
        {"second logger forces",
         "",
         false,
         Out::Read,
         {QStringLiteral("--force")},
         AllRows,
         LogExitOk,
         "session ended after 5 readings",
         "session ended after 5 readings"},
        {"standard output full",
         "",
         false,
         Out::Full,
         {},
         AllRows,
         LogExitOk,
         "standard output fails (No space left on device)",
         "session ended after 5 readings"},
        {"standard output gone",
         "",
         false,
         Out::Closed,
         {},
         AllRows,
         LogExitOk,
         "standard output fails (Broken pipe)",
         "session ended after 5 readings"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(csv);
        writeFile(control, c.atStart ? c.fault : QByteArray());
        TestPty pty;
        ASSERT_TRUE(pty.Ok());
        Proc log;
        if (c.out == Out::Full)
            log.p.setStandardOutputFile(QStringLiteral("/dev/full"));
        if (c.out == Out::Closed) {
            // A pipe whose reader is gone before the first line.
            log.p.setChildProcessModifier([] {
                int fds[2];
                if (::pipe(fds) == 0) {
                    ::dup2(fds[1], STDOUT_FILENO);
                    ::close(fds[0]);
                    ::close(fds[1]);
                }
            });
        }
        log.start(program,
                  {QStringLiteral("--port"), QString::fromStdString(pty.SlavePath()), QStringLiteral("--csv"),
                   csv, QStringLiteral("--count"), QStringLiteral("5")},
                  env);
        if (c.out != Out::Read)
            log.p.setReadChannel(QProcess::StandardError); // what the waits wait for
        if (c.atStart) {
            EXPECT_EQ(log.finish(), c.code) << log.err.toStdString();
            EXPECT_TRUE(log.err.contains(c.says)) << log.err.toStdString();
            EXPECT_FALSE(QFile::exists(csv));
            continue;
        }
        ASSERT_TRUE(log.waitErr("logging")) << log.err.toStdString();
        ASSERT_TRUE(pty.Send("PVEX: 3.9V ON\r\nPVEX: 3.8V ON\r\n"));
        ASSERT_TRUE(log.waitFor([&] { return csvRows(readFile(csv)).size() == 3; })) << log.err.toStdString();

        QByteArray fault = c.fault;
        const qint64 size = readFile(csv).size();
        if (fault.startsWith("size +"))
            fault = "size " + QByteArray::number(size + fault.mid(6).toLongLong());
        rlimit unlimited{};
        if (fault.startsWith("limit +")) {
            // The kernel's own refusal: the program's file size limit, lowered and raised from outside.
            rlimit tight{};
            ASSERT_EQ(::prlimit(pid_t(log.pid()), RLIMIT_FSIZE, nullptr, &unlimited), 0);
            tight = unlimited;
            tight.rlim_cur = rlim_t(size + fault.mid(7).toLongLong());
            ASSERT_EQ(::prlimit(pid_t(log.pid()), RLIMIT_FSIZE, &tight, nullptr), 0);
            fault.clear();
        }
        writeFile(control, fault);
        if (!c.second.isEmpty()) {
            Proc second;
            second.start(program,
                         QStringList{QStringLiteral("--port"), dir + QStringLiteral("/no-port"),
                                     QStringLiteral("--csv"), csv} +
                             c.second,
                         env);
            EXPECT_EQ(second.finish(), LogExitCsv) << second.err.toStdString();
            EXPECT_TRUE(second.err.contains("in use by another logger")) << second.err.toStdString();
        }
        // The garbage line is taken after the fourth reading is done with, file and all.
        ASSERT_TRUE(pty.Send("PVEX: 3.7V ON\r\nPVEX: 3.6V ON\r\nnot a reading\r\n"));
        if (c.out == Out::Read)
            ASSERT_TRUE(log.waitOut("garbage")) << log.err.toStdString();
        else
            ASSERT_TRUE(log.waitFor([&] { return csvRows(readFile(csv)).size() == 5; }))
                << log.err.toStdString();
        writeFile(control, "");
        if (c.fault.startsWith("limit +")) {
            ASSERT_EQ(::prlimit(pid_t(log.pid()), RLIMIT_FSIZE, &unlimited, nullptr), 0);
        }
        ASSERT_TRUE(pty.Send("PVEX: 3.5V ON\r\n"));

        EXPECT_EQ(log.finish(), c.code) << log.err.toStdString();
        bool complete = false;
        EXPECT_EQ(csvRows(readFile(csv), &complete), QList<QByteArray>{" ;voltage"} + c.rows);
        EXPECT_TRUE(complete);
        EXPECT_EQ(log.err.count(c.says), 1) << log.err.toStdString();
        const QList<QByteArray> err = log.err.trimmed().split('\n');
        EXPECT_EQ(err.last(), "pravex-log: " + QByteArray(c.lastLine).replace("%1", csv.toLocal8Bit()))
            << log.err.toStdString();
    }
}

} // namespace
