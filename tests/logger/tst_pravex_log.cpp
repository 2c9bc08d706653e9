// pravex-log on a named port: its CSV file (new, continued, replaced, refused, damaged by a crash), its
// command line, and whole sessions against a pty playing the device: the log text and CSV byte for byte,
// --count, --duration, SIGTERM, and the failures that must end with a clear message and no file.
// labels: sim threaded
#include "CsvLog.h"
#include "LogSession.h"
#include "LongTimer.h"
#include "TestPty.h"
#include "readout/CsvRows.h"
#include "readout/StatusReadout.h"
#include "tst_pravex_log_support.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace logtest;

namespace {

const QString Header = QStringLiteral(" ;voltage");

TEST(CsvLog, NewFileGetsItsHeaderOnlyWhenTheSessionBegins) {
    const QString dir = scratchDir(QStringLiteral("csv-new"));
    const QString path = dir + QStringLiteral("/a.csv");
    QString error;
    {
        CsvLog csv;
        ASSERT_TRUE(csv.prepare(path, CsvLog::Mode::New, Header, &error)) << error.toStdString();
        EXPECT_EQ(readFile(path), QByteArray());
        // Never begun (the port never opened): nothing is left behind.
    }
    EXPECT_FALSE(QFile::exists(path));

    CsvLog csv;
    ASSERT_TRUE(csv.prepare(path, CsvLog::Mode::New, Header, &error));
    ASSERT_TRUE(csv.begin(&error));
    ASSERT_TRUE(csv.appendRow(QStringLiteral("2;3.9"), &error));
    ASSERT_TRUE(csv.appendRow(QStringLiteral("4;3,8\u00e9"), &error));
    // Each row is on disk as soon as it is appended, in the 8-bit code page with CR LF.
    EXPECT_EQ(readFile(path), QByteArray(" ;voltage\r\n2;3.9\r\n4;3,8\xe9\r\n"));
    csv.close();
    EXPECT_TRUE(QFile::exists(path));

    // An existing file is refused without --append or --force, and stays as it was.
    CsvLog again;
    EXPECT_FALSE(again.prepare(path, CsvLog::Mode::New, Header, &error));
    EXPECT_TRUE(error.contains(QLatin1String("--append"))) << error.toStdString();
    EXPECT_EQ(readFile(path), QByteArray(" ;voltage\r\n2;3.9\r\n4;3,8\xe9\r\n"));
}

TEST(CsvLog, AppendContinuesTheCounterAndCutsAHalfWrittenRow) {
    const QString path = scratchDir(QStringLiteral("csv-append")) + QStringLiteral("/a.csv");
    struct Case {
        QByteArray before;
        int counter;
        QByteArray after; // once begun and one row "N;3.7" appended
    };
    const Case cases[] = {
        {" ;voltage\r\n2;3.9\r\n4;3.8\r\n", 4, " ;voltage\r\n2;3.9\r\n4;3.8\r\n6;3.7\r\n"},
        {" ;voltage\r\n2;3.9\r\n4;3.8\r\n6;3.", 4, " ;voltage\r\n2;3.9\r\n4;3.8\r\n6;3.7\r\n"},
        {" ;voltage\r\n2;3.9\r\n4;3.8\r\n6", 4, " ;voltage\r\n2;3.9\r\n4;3.8\r\n6;3.7\r\n"},
        {" ;voltage\r\n", 0, " ;voltage\r\n2;3.7\r\n"},
        {" ;volt", 0, " ;voltage\r\n2;3.7\r\n"},
        {"", 0, " ;voltage\r\n2;3.7\r\n"},
        {" ;voltage\r\n998;+4\r\n", 998, " ;voltage\r\n998;+4\r\n1000;3.7\r\n"},
        // A file of the other form keeps its own header (the rows are the session's to form).
        {" ;voltage;time\r\n2;3.9;2026-12-09T18:51:07.412Z\r\n4;3.", 2,
         " ;voltage;time\r\n2;3.9;2026-12-09T18:51:07.412Z\r\n4;3.7\r\n"},
        {" ;voltage;ti", 0, " ;voltage\r\n2;3.7\r\n"},
    };
    for (const Case& c : cases) {
        writeFile(path, c.before);
        CsvLog csv;
        QString error;
        ASSERT_TRUE(csv.prepare(path, CsvLog::Mode::Append, Header, &error)) << error.toStdString();
        EXPECT_EQ(csv.lastCounter(), c.counter) << c.before.toStdString();
        EXPECT_EQ(csv.header(), QString::fromLatin1(c.after.left(c.after.indexOf('\r'))));
        EXPECT_EQ(readFile(path), c.before) << "prepare changed the file";
        ASSERT_TRUE(csv.begin(&error));
        ASSERT_TRUE(csv.appendRow(QStringLiteral("%1;3.7").arg(c.counter + 2), &error));
        csv.close();
        EXPECT_EQ(readFile(path), c.after) << c.before.toStdString();
    }
    // No file yet: --append starts one.
    QFile::remove(path);
    CsvLog csv;
    QString error;
    ASSERT_TRUE(csv.prepare(path, CsvLog::Mode::Append, Header, &error));
    ASSERT_TRUE(csv.begin(&error));
    csv.close();
    EXPECT_EQ(readFile(path), QByteArray(" ;voltage\r\n"));
}

TEST(CsvLog, RefusesWhatItCannotContinueOrCreate) {
    const QString dir = scratchDir(QStringLiteral("csv-refuse"));
    const QString path = dir + QStringLiteral("/a.csv");
    for (const QByteArray& content :
         {QByteArray("time;value\r\n1;2\r\n"), QByteArray(" ;voltage\r\nabc;3.9\r\n"),
          QByteArray(" ;voltage\r\n;3.9\r\n"), QByteArray(" ;voltage\r\n99999999999999999999;3.9\r\n"),
          QByteArray("garbage without line end")}) {
        writeFile(path, content);
        CsvLog csv;
        QString error;
        EXPECT_FALSE(csv.prepare(path, CsvLog::Mode::Append, Header, &error)) << content.toStdString();
        EXPECT_FALSE(error.isEmpty());
        EXPECT_EQ(readFile(path), content);
    }
    QString error;
    CsvLog csv;
    EXPECT_FALSE(csv.prepare(dir, CsvLog::Mode::Force, Header, &error));
    EXPECT_TRUE(error.contains(QLatin1String("directory"))) << error.toStdString();
    EXPECT_FALSE(csv.prepare(dir + QStringLiteral("/missing/a.csv"), CsvLog::Mode::New, Header, &error));
    EXPECT_FALSE(QFile::exists(dir + QStringLiteral("/missing")));
}

TEST(CsvLog, AFullDiskLeavesNoPartRowAndWritingResumesAfterIt) {
    const QString path = scratchDir(QStringLiteral("csv-full")) + QStringLiteral("/a.csv");
    CsvLog csv;
    QString error;
    ASSERT_TRUE(csv.prepare(path, CsvLog::Mode::New, Header, &error));
    ASSERT_TRUE(csv.begin(&error));
    ASSERT_TRUE(csv.appendRow(QStringLiteral("2;3.9"), &error));
    // The file size limit stands for a full disk: the next row fits only in part.
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tight = old;
    tight.rlim_cur = rlim_t(readFile(path).size() + 4);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
    const bool written = csv.appendRow(QStringLiteral("4;3.85"), &error);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(written);
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(readFile(path), QByteArray(" ;voltage\r\n2;3.9\r\n"));
    ASSERT_TRUE(csv.appendRow(QStringLiteral("6;3.8"), &error)) << error.toStdString();
    csv.close();
    EXPECT_EQ(readFile(path), QByteArray(" ;voltage\r\n2;3.9\r\n6;3.8\r\n"));
}

TEST(LogCommandLine, RejectsWhatItCannotHonour) {
    const QList<QStringList> bad = {
        {QStringLiteral("--append")},
        {QStringLiteral("--plain-csv")},
        {QStringLiteral("--csv"), QStringLiteral("a.csv"), QStringLiteral("--append"),
         QStringLiteral("--force")},
        {QStringLiteral("--count"), QStringLiteral("0")},
        {QStringLiteral("--count"), QStringLiteral("x")},
        {QStringLiteral("--duration"), QStringLiteral("-1")},
        {QStringLiteral("--duration"), QStringLiteral("nan")},
        {QStringLiteral("--baud"), QStringLiteral("fast")},
        {QStringLiteral("--port")},
        {QStringLiteral("--port"), QStringLiteral(" ")},
        {QStringLiteral("--force=1"), QStringLiteral("--csv"), QStringLiteral("a")},
        {QStringLiteral("extra")},
    };
    for (const QStringList& args : bad) {
        LogOptions o;
        QString error;
        bool help = false;
        EXPECT_FALSE(ParseLogArgs(args, &o, &error, &help)) << args.join(' ').toStdString();
        EXPECT_FALSE(error.isEmpty());
    }
    // One line of terminal text per received line, whatever it holds, and none that drives the terminal:
    // C1 controls (CSI, OSC) as well as C0, bidirectional overrides, line separators, lone surrogates.
    EXPECT_EQ(EscapeLogText(QString::fromLatin1("a\x01\nb\x7f\xe9", 6)),
              QStringLiteral("a\\x01\\x0ab\\x7f\u00e9"));
    EXPECT_EQ(EscapeLogText(QString::fromLatin1("3.9V\x9b"
                                                "2J\x9d"
                                                "0;t\x9c\x80\x9f\xa0")),
              QStringLiteral("3.9V\\x9b"
                             "2J\\x9d"
                             "0;t\\x9c\\x80\\x9f\u00a0"));
    EXPECT_EQ(EscapeLogText(QStringLiteral("\u202e\u2028x\U0001F50B") + QChar(0xD800)),
              QStringLiteral("\\u202e\\u2028x\U0001F50B\\ud800"));
}

// A time longer than one piece of the timer is waited out whole: the deadline, not the first piece, ends it.
TEST(LongTimer, FiresOnceAtItsDeadlineAfterAnyNumberOfPieces) {
    for (const auto& [piece, after] : {std::pair{5, 60}, std::pair{1000, 30}, std::pair{5, 0}}) {
        LongTimer timer(nullptr, std::chrono::milliseconds(piece));
        int fired = 0;
        QObject::connect(&timer, &LongTimer::timeout, [&] { ++fired; });
        const auto start = std::chrono::steady_clock::now();
        timer.start(std::chrono::milliseconds(after));
        const auto deadline = start + std::chrono::seconds(60);
        while (fired == 0 && std::chrono::steady_clock::now() < deadline)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        ASSERT_EQ(fired, 1) << piece << " " << after;
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(after));
        EXPECT_FALSE(timer.isActive());
    }
}

// Whole sessions: the test plays the device on a pty.
class LogProgram : public ::testing::Test {
protected:
    void SetUp() override {
        program = binary("PRAVEX_BIN_PRAVEX_LOG");
        ASSERT_FALSE(program.isEmpty()) << "PRAVEX_BIN_PRAVEX_LOG not set";
        ASSERT_FALSE(binary("PRAVEX_BIN_PRAVEX_D2XX_SIM").isEmpty());
        dir = testScratchDir();
        csv = dir + QStringLiteral("/log.csv");
        // No adapters: the watcher runs, but finds nothing.
        writeFile(dir + QStringLiteral("/adapters.conf"), "");
        env = simEnvironment(dir + QStringLiteral("/adapters.conf"));
        ASSERT_TRUE(pty.Ok());
    }
    void run(const QStringList& args) { log.start(program, args, env); }
    // Starts a session on the pty and waits until its port is open.
    void startOnPty(QStringList extra) {
        run(QStringList{QStringLiteral("--port"), QString::fromStdString(pty.SlavePath())} + extra);
        ASSERT_TRUE(log.waitErr("logging")) << log.err.toStdString();
    }
    bool send(const QByteArray& bytes) { return pty.Send(bytes.toStdString()); }

    QString program;
    QString dir;
    QString csv;
    QProcessEnvironment env;
    TestPty pty;
    Proc log;
};

TEST_F(LogProgram, SessionLogTextAndCsvByteForByte) {
    const QDateTime began = QDateTime::currentDateTimeUtc().addMSecs(-1);
    startOnPty({QStringLiteral("--csv"), csv, QStringLiteral("--count"), QStringLiteral("8")});
    struct Line {
        QByteArray sent;
        QByteArray logged; // "garbage", or the raw line that follows the time stamp
        QByteArray row;    // the CSV row, or empty
    };
    const QList<Line> script = {
        {"PVEX: 3.9V ON", "PVEX: 3.9V ON", "2;3.9"},
        {"LBAT: 3.1V OFF", "LBAT: 3.1V OFF", "4;3.1"},
        {"hello", "garbage", ""},
        {QByteArray("\0PVEX: 3.85V OFF", 16), "PVEX: 3.85V OFF", "6;3.85"},
        {QByteArray("\0\0PVEX: 3.8V ON", 15), "garbage", ""},
        {"PVEX: 3,9V ON", "PVEX: 3,9V ON", "8;3,9"},
        {"PVEX: 3.9.1V ON", "garbage", ""},
        {"PVEX: +4V OFF", "PVEX: +4V OFF", "10;+4"},
        {"PVEX: V ON", "garbage", ""},
        {"LBAT: junk", "garbage", ""},
        {" PVEX : 3.7V   ON", " PVEX : 3.7V   ON", "12;3.7"},
        {"PVEX: 3.6V2 ON", "PVEX: 3.6V2 ON", "14;3.6"},
        {"PVEX: 3.9v ON", "garbage", ""},
        {"PVEX: 3.5V\x01 ON", "PVEX: 3.5V\\x01 ON", "16;3.5"},
        // After the eighth valid line: not taken.
        {"PVEX: 3.4V ON", "", ""},
    };
    QByteArray wire;
    for (const Line& l : script)
        wire += l.sent + "\r\n";
    ASSERT_TRUE(send(wire));
    ASSERT_EQ(log.finish(), 0) << log.err.toStdString();

    // The readout's rows as received, each with the time it was read as a third column.
    const QDateTime ended = QDateTime::currentDateTimeUtc().addMSecs(1);
    QList<QByteArray> expectedRows{" ;voltage;time"};
    QList<QByteArray> expectedLog;
    for (const Line& l : script) {
        if (!l.row.isEmpty())
            expectedRows += l.row;
        if (!l.logged.isEmpty())
            expectedLog.append(l.logged);
    }
    const QByteArray csvBytes = readFile(csv);
    ASSERT_TRUE(csvBytes.endsWith("\r\n"));
    QList<QByteArray> written = csvBytes.split('\n');
    written.removeLast();
    for (QByteArray& w : written) {
        ASSERT_TRUE(w.endsWith('\r'));
        w.chop(1);
    }
    ASSERT_EQ(written.size(), expectedRows.size()) << csvBytes.toStdString();
    EXPECT_EQ(written[0], expectedRows[0]);
    QDateTime previous = began;
    for (int i = 1; i < written.size(); ++i) {
        SCOPED_TRACE(written[i].toStdString());
        ASSERT_TRUE(written[i].startsWith(expectedRows[i] + ';'));
        const QByteArray text = written[i].mid(expectedRows[i].size() + 1);
        const QDateTime time = QDateTime::fromString(QString::fromLatin1(text), Qt::ISODateWithMs);
        ASSERT_TRUE(time.isValid());
        EXPECT_EQ(CsvRows::timeText(time).toLatin1(), text) << "UTC with milliseconds";
        EXPECT_TRUE(previous <= time && time <= ended);
        previous = time;
    }
    // Without the time, the rows are what the monitor's readout keeps for the same lines.
    StatusReadout readout;
    readout.start();
    for (const Line& l : script)
        if (!l.logged.isEmpty())
            readout.update(QString::fromLatin1(l.sent));
    QStringList kept;
    for (const QByteArray& r : csvRows(csvBytes))
        kept << QString::fromLatin1(r);
    EXPECT_EQ(kept, readout.csvRows());

    const QList<QByteArray> lines = log.out.split('\n');
    ASSERT_EQ(lines.size(), expectedLog.size() + 1) << log.out.toStdString();
    EXPECT_TRUE(lines.last().isEmpty());
    // The locale's short date and long time: a date, then a time with seconds.
    const QRegularExpression stamp(QStringLiteral("^\\S*\\d\\S*( \\S+)* \\d{1,2}:\\d{2}:\\d{2}( \\S+)?$"));
    for (int i = 0; i < expectedLog.size(); ++i) {
        if (expectedLog[i] == "garbage") {
            EXPECT_EQ(lines[i], "garbage");
            continue;
        }
        const qsizetype at = lines[i].indexOf(" > ");
        ASSERT_GT(at, 0) << lines[i].toStdString();
        EXPECT_TRUE(stamp.match(QString::fromLatin1(lines[i].left(at))).hasMatch()) << lines[i].toStdString();
        EXPECT_EQ(lines[i].mid(at + 3), expectedLog[i]);
    }
}

TEST_F(LogProgram, AppendContinuesTheCounterOfAnEarlierSession) {
    writeFile(csv, " ;voltage\r\n2;3.9\r\n4;3.8\r\n");
    startOnPty({QStringLiteral("--csv"), csv, QStringLiteral("--append"), QStringLiteral("--count"),
                QStringLiteral("2")});
    ASSERT_TRUE(send("PVEX: 3.7V ON\r\nPVEX: 3.6V OFF\r\n"));
    ASSERT_EQ(log.finish(), 0) << log.err.toStdString();
    EXPECT_EQ(readFile(csv), QByteArray(" ;voltage\r\n2;3.9\r\n4;3.8\r\n6;3.7\r\n8;3.6\r\n"));
}

TEST_F(LogProgram, ExistingFileIsRefusedUntouchedAndForceReplacesIt) {
    const QByteArray earlier = " ;voltage\r\n2;3.9\r\n";
    writeFile(csv, earlier);
    run({QStringLiteral("--port"), QString::fromStdString(pty.SlavePath()), QStringLiteral("--csv"), csv});
    EXPECT_EQ(log.finish(), LogExitCsv);
    EXPECT_TRUE(log.err.contains("--append")) << log.err.toStdString();
    EXPECT_EQ(readFile(csv), earlier);

    Proc forced;
    forced.start(program,
                 {QStringLiteral("--port"), QString::fromStdString(pty.SlavePath()), QStringLiteral("--csv"),
                  csv, QStringLiteral("--force"), QStringLiteral("--count"), QStringLiteral("1")},
                 env);
    ASSERT_TRUE(forced.waitErr("logging")) << forced.err.toStdString();
    ASSERT_TRUE(send("PVEX: 4.0V ON\r\n"));
    ASSERT_EQ(forced.finish(), 0) << forced.err.toStdString();
    EXPECT_EQ(csvRows(readFile(csv)), (QList<QByteArray>{" ;voltage", "2;4.0"}));
    EXPECT_TRUE(readFile(csv).startsWith(" ;voltage;time\r\n2;4.0;"));

    // The monitor's own two columns when asked for.
    Proc plain;
    plain.start(program,
                {QStringLiteral("--port"), QString::fromStdString(pty.SlavePath()), QStringLiteral("--csv"),
                 csv, QStringLiteral("--force"), QStringLiteral("--plain-csv"), QStringLiteral("--count"),
                 QStringLiteral("1")},
                env);
    ASSERT_TRUE(plain.waitErr("logging")) << plain.err.toStdString();
    ASSERT_TRUE(send("PVEX: 3,95V ON\r\n"));
    ASSERT_EQ(plain.finish(), 0) << plain.err.toStdString();
    EXPECT_EQ(readFile(csv), QByteArray(" ;voltage\r\n2;3,95\r\n"));
}

TEST_F(LogProgram, FailuresEndWithAClearMessageAndNoFile) {
    struct Case {
        QStringList args;
        int code;
        QByteArray says;
    };
    const QString missingPort = dir + QStringLiteral("/no-such-port");
    const QList<Case> cases = {
        {{QStringLiteral("--port"), missingPort, QStringLiteral("--csv"), csv}, LogExitPort, "cannot open"},
        {{QStringLiteral("--port"), QString::fromStdString(pty.SlavePath()), QStringLiteral("--csv"),
          dir + QStringLiteral("/missing/dir/log.csv")},
         LogExitCsv,
         "cannot create"},
        {{QStringLiteral("--port"), QString::fromStdString(pty.SlavePath()), QStringLiteral("--csv"), dir},
         LogExitCsv,
         "directory"},
        // No adapter in the simulator's file.
        {{QStringLiteral("--wait"), QStringLiteral("2"), QStringLiteral("--csv"), csv},
         LogExitNoAdapter,
         "no adapter found"},
        {{QStringLiteral("--bogus")}, LogExitUsage, "unknown option"},
    };
    for (const Case& c : cases) {
        Proc p;
        p.start(program, c.args, env);
        EXPECT_EQ(p.finish(), c.code) << c.args.join(' ').toStdString() << "\n" << p.err.toStdString();
        EXPECT_TRUE(p.err.contains(c.says)) << p.err.toStdString();
        EXPECT_TRUE(p.out.isEmpty()) << p.out.toStdString();
        EXPECT_FALSE(QFile::exists(csv)) << c.args.join(' ').toStdString();
    }
    Proc help;
    help.start(program, {QStringLiteral("--help")}, env);
    EXPECT_EQ(help.finish(), 0);
    EXPECT_TRUE(help.out.contains("--append")) << help.out.toStdString();
}

TEST_F(LogProgram, SigtermAndDurationEndTheSessionCleanly) {
    startOnPty({QStringLiteral("--csv"), csv});
    ASSERT_TRUE(send("PVEX: 3.9V ON\r\nPVEX: 3.8V ON\r\n"));
    ASSERT_TRUE(log.waitFor([&] { return readFile(csv).count('\n') == 3; })) << readFile(csv).toStdString();
    log.terminate();
    EXPECT_EQ(log.finish(), 0) << log.err.toStdString();
    EXPECT_EQ(csvRows(readFile(csv)), (QList<QByteArray>{" ;voltage", "2;3.9", "4;3.8"}));

    // The port is free again for the next session, which ends by itself.
    Proc timed;
    timed.start(program,
                {QStringLiteral("--port"), QString::fromStdString(pty.SlavePath()),
                 QStringLiteral("--duration"), QStringLiteral("1")},
                env);
    ASSERT_TRUE(timed.waitErr("logging")) << timed.err.toStdString();
    EXPECT_EQ(timed.finish(), 0) << timed.err.toStdString();

    // A terminal that closes.
    Proc hungUp;
    hungUp.start(program, {QStringLiteral("--port"), QString::fromStdString(pty.SlavePath())}, env);
    ASSERT_TRUE(hungUp.waitErr("logging")) << hungUp.err.toStdString();
    ASSERT_EQ(::kill(pid_t(hungUp.pid()), SIGHUP), 0);
    EXPECT_EQ(hungUp.finish(), 0) << hungUp.err.toStdString();
    EXPECT_TRUE(hungUp.err.contains("session ended")) << hungUp.err.toStdString();
}

} // namespace
