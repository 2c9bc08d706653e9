// pravex-devsim: its battery curve and script decoding, and the program itself as a client sees it on the
// port it prints: status lines, line ends, scripts of raw bytes, unplug, echo and a clean stop on SIGTERM.
// labels: sim
#include "DevSimCore.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

namespace {

TEST(DevSimCore, BatteryDischargesWithConverterOnAndChargesWithItOff) {
    devsim::BatteryCurve battery(1.0, 3.40);
    EXPECT_NEAR(battery.Voltage(), 4.15, 0.005);
    EXPECT_TRUE(battery.ConverterOn());
    double last = battery.Voltage();
    bool lastOn = true, sawLow = false, sawCharge = false, backOn = false;
    for (int i = 0; i < 400; ++i) {
        battery.Step();
        const double v = battery.Voltage();
        const bool on = battery.ConverterOn();
        EXPECT_GE(v, 3.0);
        EXPECT_LE(v, 4.2);
        // Within a phase the voltage only falls while running and only rises while charging.
        if (on && lastOn) {
            EXPECT_LT(v, last);
        }
        if (!on && !lastOn) {
            EXPECT_GT(v, last);
        }
        sawLow = sawLow || battery.Low();
        sawCharge = sawCharge || !on;
        backOn = backOn || (sawCharge && on);
        last = v;
        lastOn = on;
    }
    EXPECT_TRUE(sawLow);
    EXPECT_TRUE(sawCharge);
    EXPECT_TRUE(backOn);
    EXPECT_EQ(devsim::FormatStatusLine(false, 3.918, true, false), "PVEX: 3.92V ON");
    EXPECT_EQ(devsim::FormatStatusLine(true, 3.31, false, true), "LBAT: 3,31V OFF");
}

TEST(DevSimCore, ScriptLinesDecodeTheirEscapes) {
    struct Row {
        const char* text;
        std::string bytes;
        bool terminated;
    };
    for (const Row& r :
         {Row{"PVEX: 3.9V ON", "PVEX: 3.9V ON", true}, Row{"\\0\\0x\\c", std::string("\0\0x", 3), false},
          Row{"\\x41\\xfF\\r\\n\\t", "A\xff\r\n\t", true}, Row{"\\*5,41", "AAAAA", true},
          Row{"\\\\r", "\\r", true}, Row{"", "", true}}) {
        std::string bytes;
        bool terminated = false;
        ASSERT_TRUE(devsim::DecodeScriptLine(r.text, bytes, terminated, nullptr)) << r.text;
        EXPECT_EQ(bytes, r.bytes) << r.text;
        EXPECT_EQ(terminated, r.terminated) << r.text;
    }
    for (const char* bad : {"\\q", "\\x4", "\\xg1", "\\*,41", "\\*3;41", "a\\cb", "end\\"}) {
        std::string bytes, why;
        bool terminated = true;
        EXPECT_FALSE(devsim::DecodeScriptLine(bad, bytes, terminated, &why)) << bad;
        EXPECT_FALSE(why.empty());
    }
}

// The program as a client sees it.
class DevSimProgram : public ::testing::Test {
protected:
    void SetUp() override {
        const char* bin = std::getenv("PRAVEX_BIN_PRAVEX_DEVSIM");
        ASSERT_TRUE(bin) << "PRAVEX_BIN_PRAVEX_DEVSIM not set";
        program = bin;
        ASSERT_TRUE(dir.isValid());
    }
    void TearDown() override {
        if (fd >= 0)
            ::close(fd);
        if (proc.state() != QProcess::NotRunning) {
            proc.kill();
            proc.waitForFinished(30000);
        }
    }
    // Starts the simulator and opens the port it names on its first line.
    void Start(const QStringList& args) {
        proc.start(program, args);
        ASSERT_TRUE(proc.waitForStarted(30000));
        while (!proc.canReadLine())
            ASSERT_TRUE(proc.waitForReadyRead(30000)) << "no port name printed";
        port = QString::fromLocal8Bit(proc.readLine()).trimmed().toStdString();
        ASSERT_EQ(port.rfind("/dev/", 0), 0u) << port;
        fd = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0) << std::strerror(errno);
    }
    // Reads until `enough` holds, the port hangs up or 30 s pass. Sets hungUp on a hang-up.
    std::string ReadUntil(const std::function<bool(const std::string&)>& enough) {
        std::string got;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        char buf[4096];
        while (!enough(got) && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0) {
                got.append(buf, std::size_t(n));
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                hungUp = true;
                break;
            }
        }
        return got;
    }
    static int CountOf(const std::string& s, const std::string& what) {
        int n = 0;
        for (std::size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + what.size()))
            ++n;
        return n;
    }
    bool Finished() {
        return proc.waitForFinished(30000) && proc.exitStatus() == QProcess::NormalExit &&
               proc.exitCode() == 0;
    }

    QString program;
    QTemporaryDir dir;
    QProcess proc;
    std::string port;
    int fd = -1;
    bool hungUp = false;
};

TEST_F(DevSimProgram, SendsStatusLinesWithTheChosenLineEnd) {
    Start({"--interval", "50", "--count", "12", "--cr"});
    std::string got = ReadUntil([](const std::string& s) { return CountOf(s, "\r") >= 12; });
    ASSERT_EQ(CountOf(got, "\r"), 12) << got;
    EXPECT_EQ(CountOf(got, "\n"), 0);
    QRegularExpression status("^(PVEX|LBAT): [0-9]\\.[0-9]{2}V (ON|OFF)$");
    for (const QString& line :
         QString::fromLatin1(got.data(), int(got.size())).split('\r', Qt::SkipEmptyParts))
        EXPECT_TRUE(status.match(line).hasMatch()) << line.toStdString();
    EXPECT_TRUE(Finished());

    ::close(fd);
    fd = -1;
    Start({"--interval", "0", "--count", "5", "--comma", "--soc", "10"});
    got = ReadUntil([](const std::string& s) { return CountOf(s, "\r\n") >= 5; });
    EXPECT_EQ(CountOf(got, "\r\n"), 5) << got;
    EXPECT_EQ(got.rfind("LBAT: 3,", 0), 0u) << got; // a nearly empty battery reports low
    EXPECT_TRUE(Finished());
}

TEST_F(DevSimProgram, ScriptBytesArriveExactlyAsWritten) {
    const QString script = dir.filePath("lines.txt");
    {
        std::ofstream out(script.toStdString(), std::ios::binary);
        out << "PVEX: 3.9V ON\n"
            << "\\0\\0garbage\\xff\n"
            << "\\*100000,41\n"
            << "tail\\c\n";
    }
    Start({"--interval", "0", "--cr", "--script", script});
    const std::string expected = std::string("PVEX: 3.9V ON\r") + std::string("\0\0garbage\xff\r", 11) +
                                 std::string(100000, 'A') + "\r" + "tail";
    std::string got = ReadUntil([&](const std::string& s) { return s.size() >= expected.size(); });
    EXPECT_TRUE(got == expected) << "got " << got.size() << " bytes of " << expected.size();
    EXPECT_TRUE(Finished());
}

TEST_F(DevSimProgram, UnplugAfterLinesHangsUpThePort) {
    Start({"--interval", "50", "--unplug-after", "3"});
    std::string got = ReadUntil([](const std::string&) { return false; });
    EXPECT_TRUE(hungUp);
    EXPECT_EQ(CountOf(got, "\r\n"), 3) << got;
    EXPECT_TRUE(Finished());
}

TEST_F(DevSimProgram, EchoesWhatItReceivesAndStopsOnSigterm) {
    const QString link = dir.filePath("port");
    Start({"--echo", "--link", link});
    EXPECT_EQ(QFileInfo(link).symLinkTarget().toStdString(), port);
    ASSERT_EQ(::write(fd, "AT\r", 3), 3);
    QByteArray err;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!err.contains("AT\r") && std::chrono::steady_clock::now() < deadline) {
        proc.waitForReadyRead(100);
        err += proc.readAllStandardError();
    }
    EXPECT_TRUE(err.contains("AT\r")) << err.toStdString();
    proc.terminate();
    EXPECT_TRUE(Finished());
    EXPECT_FALSE(QFileInfo(link).isSymLink()); // the link goes with the port
}

TEST_F(DevSimProgram, LinkTakenOverByAnotherSimulatorStays) {
    const QString link = dir.filePath("port");
    Start({"--link", link});
    QProcess second;
    second.start(program, {"--link", link});
    ASSERT_TRUE(second.waitForStarted(30000));
    while (!second.canReadLine())
        ASSERT_TRUE(second.waitForReadyRead(30000));
    const QString secondPort = QString::fromLocal8Bit(second.readLine()).trimmed();
    EXPECT_EQ(QFileInfo(link).symLinkTarget(), secondPort);
    proc.terminate();
    EXPECT_TRUE(Finished());
    EXPECT_EQ(QFileInfo(link).symLinkTarget(), secondPort)
        << "the first simulator removed a link it no longer owns";
    second.terminate();
    EXPECT_TRUE(second.waitForFinished(30000));
    EXPECT_FALSE(QFileInfo(link).isSymLink());
}

TEST_F(DevSimProgram, BadOptionsAreRefused) {
    for (const QStringList& args :
         {QStringList{"--interval", "-1"}, QStringList{"--bogus"}, QStringList{"--lbat", "3,4x"},
          QStringList{"--script", dir.filePath("missing.txt")}}) {
        proc.start(program, args);
        ASSERT_TRUE(proc.waitForFinished(30000));
        EXPECT_EQ(proc.exitCode(), 2) << args.join(' ').toStdString();
    }
}

} // namespace
