// The serial line reading a simulated PRAVEX device: status lines through a terminated read, then the
// device vanishing as an unplugged adapter does.
// labels: sim
#include "BlockSerial.h"

#include <QProcess>
#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

TEST(BlockSerialDevSim, ReadsStatusLinesUntilTheDeviceIsUnplugged) {
    const char* bin = std::getenv("PRAVEX_BIN_PRAVEX_DEVSIM");
    ASSERT_TRUE(bin) << "PRAVEX_BIN_PRAVEX_DEVSIM not set";
    QProcess sim;
    sim.start(bin, {"--interval", "50", "--unplug-after", "60"});
    ASSERT_TRUE(sim.waitForStarted(30000));
    while (!sim.canReadLine())
        ASSERT_TRUE(sim.waitForReadyRead(30000));
    const std::string port = sim.readLine().trimmed().toStdString();

    TBlockSerial line;
    line.Connect(port);
    ASSERT_EQ(line.LastError(), 0) << line.LastErrorDesc();
    line.Config(9600, 8, 'N', 0, false, false);
    line.Purge();
    ASSERT_EQ(line.LastError(), 0) << line.LastErrorDesc();

    QRegularExpression status("^(PVEX|LBAT): [0-9]\\.[0-9]{2}V (ON|OFF)$");
    int lines = 0;
    bool first = true;
    for (int reads = 0; reads < 1000; ++reads) {
        std::string text = line.RecvTerminated(10000, "\r");
        if (line.LastError() != 0)
            break;
        if (!text.empty() && text[0] == '\n')
            text.erase(0, 1); // CR LF: the LF opens the next line
        // The purge may have cut into the first one.
        if (!first) {
            EXPECT_TRUE(status.match(QString::fromLatin1(text.c_str())).hasMatch()) << text;
        }
        first = false;
        ++lines;
    }
    EXPECT_GE(lines, 2);
    EXPECT_NE(line.LastError(), 0);
    EXPECT_NE(line.LastError(), ErrTimeout) << "the unplug must not look like a quiet device";
    EXPECT_FALSE(line.GetCommState());
    EXPECT_EQ(line.LastError(), EIO);
    line.CloseSocket();
    EXPECT_TRUE(sim.waitForFinished(30000));
    EXPECT_EQ(sim.exitCode(), 0);
}

} // namespace
