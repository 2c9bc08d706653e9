// pravex-log on a device server's port: Debian's ser2net serving a pty, reached as rfc2217:// and as
// socket://, gives the same CSV rows as the pty named directly, and a session follows the port across a
// restart of the server as it follows a re-plugged adapter.
// labels: sim
#include "Ser2Net.h"
#include "TestPty.h"
#include "tst_pravex_log_support.h"

#include <gtest/gtest.h>
#include <memory>

using namespace logtest;

namespace {

class LogNetwork : public ::testing::Test {
protected:
    void SetUp() override {
        program = binary("PRAVEX_BIN_PRAVEX_LOG");
        ASSERT_FALSE(program.isEmpty()) << "PRAVEX_BIN_PRAVEX_LOG not set";
        dir = testScratchDir();
        writeFile(dir + QStringLiteral("/adapters.conf"), "");
        env = simEnvironment(dir + QStringLiteral("/adapters.conf"));
    }
    // The server may flush the device when the client arrives: lines the log takes for garbage are
    // written until one is seen, so the device's real lines all come after that.
    static bool warmUp(TestPty& pty, Proc& log) {
        return log.waitFor([&] {
            pty.Send("hello\r\n");
            log.pump(100);
            return log.out.contains("garbage");
        });
    }

    QString program;
    QString dir;
    QProcessEnvironment env;
};

const QByteArray DeviceLines = "PVEX: 3.9V ON\r\nLBAT: 3.1V OFF\r\n\xff\xff junk\r\nPVEX: 3.85V OFF\r\n";

TEST_F(LogNetwork, SameCsvRowsDirectAndThroughTheServer) {
    struct Case {
        const char* name;
        int server; // 0 none (the pty named directly), 1 telnet(rfc2217), 2 plain tcp
    };
    const Case cases[] = {{"direct", 0}, {"rfc2217", 1}, {"socket", 2}};
    QByteArray direct;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestPty pty;
        ASSERT_TRUE(pty.Ok());
        std::unique_ptr<nettest::Ser2Net> server;
        QString port = QString::fromStdString(pty.SlavePath());
        if (c.server) {
            server = std::make_unique<nettest::Ser2Net>(pty.SlavePath(), c.server == 1);
            ASSERT_TRUE(server->Ok()) << "ser2net did not start (scripts/install-deps.sh installs it)";
            port = QString::fromStdString(server->Url());
        }
        const QString csv = dir + QStringLiteral("/") + QLatin1String(c.name) + QStringLiteral(".csv");
        Proc log;
        // The monitor's two columns: the rows' wall-clock times would differ between the runs.
        log.start(program,
                  {QStringLiteral("--port"), port, QStringLiteral("--csv"), csv,
                   QStringLiteral("--plain-csv"), QStringLiteral("--count"), QStringLiteral("3")},
                  env);
        ASSERT_TRUE(log.waitErr("logging " + port.toUtf8())) << log.err.toStdString();
        ASSERT_TRUE(warmUp(pty, log)) << log.err.toStdString();
        ASSERT_TRUE(pty.Send(DeviceLines.toStdString()));
        ASSERT_EQ(log.finish(), 0) << log.err.toStdString();
        const QByteArray rows = readFile(csv);
        EXPECT_EQ(csvRows(rows).size(), 4) << rows.toStdString();
        if (c.server == 0)
            direct = rows;
        else
            EXPECT_EQ(rows, direct);
    }
}

TEST_F(LogNetwork, FollowsThePortAcrossAServerRestart) {
    TestPty pty;
    ASSERT_TRUE(pty.Ok());
    nettest::Ser2Net server(pty.SlavePath(), true);
    ASSERT_TRUE(server.Ok()) << "ser2net did not start";
    const QString csv = dir + QStringLiteral("/log.csv");
    Proc log;
    log.start(program,
              {QStringLiteral("--port"), QString::fromStdString(server.Url()), QStringLiteral("--csv"), csv,
               QStringLiteral("--count"), QStringLiteral("2")},
              env);
    ASSERT_TRUE(log.waitErr("logging")) << log.err.toStdString();
    ASSERT_TRUE(warmUp(pty, log));
    ASSERT_TRUE(pty.Send("PVEX: 3.9V ON\r\n"));
    ASSERT_TRUE(log.waitFor([&] { return csvRows(readFile(csv)).size() == 2; })) << log.err.toStdString();

    server.Stop();
    ASSERT_TRUE(log.waitErr("waiting for the port to come back")) << log.err.toStdString();
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(log.waitErr("reconnected on " + QByteArray::fromStdString(server.Url())))
        << log.err.toStdString();
    log.out.clear();
    ASSERT_TRUE(warmUp(pty, log));
    ASSERT_TRUE(pty.Send("LBAT: 3.1V OFF\r\n"));
    ASSERT_EQ(log.finish(), 0) << log.err.toStdString();
    const QList<QByteArray> rows = csvRows(readFile(csv));
    ASSERT_EQ(rows.size(), 3);
    EXPECT_TRUE(rows[2].endsWith(";3.1")) << rows[2].toStdString();
}

} // namespace
