// The serial-port component over a pseudo-terminal as the device: event order, line framing, packet mode,
// missing and unplugged ports, throwing handlers, the connection time-out and the frames on the wire.
// labels: threaded sim
#include "common/FormStorage_AppError.h"
#include "comport_helpers.h"

#include <gtest/gtest.h>
#include <limits>
#include <stdexcept>
#include <thread>

namespace {

struct Session {
    TPtyDevice dev;
    TTevComPort port;
    TEventLog log{port};

    // Active and Connected, waiting until the line is open.
    void Open() {
        ASSERT_NO_FATAL_FAILURE(OpenPort(port, dev, log));
        dev.DropSlave();
    }
    void Close() { ClosePort(port); }
    QStringList Lines() const {
        QStringList out;
        for (const QString& e : log.Of(QStringLiteral("Rx:")))
            out.append(e.mid(3));
        return out;
    }
};

} // namespace

TEST(TevComPort, NewComponentHasItsDefaults) {
    TTevComPort port;
    EXPECT_EQ(port.ComPort(), "COM1");
    EXPECT_EQ(port.BaudRate(), "9600");
    EXPECT_EQ(port.DataBits(), "8");
    EXPECT_EQ(port.ParityBits(), prNone);
    EXPECT_EQ(port.StopBits(), sbOneStopBit);
    EXPECT_TRUE(port.AutoCR());
    EXPECT_EQ(port.DoubleCRstring(), "#5A5A#");
    EXPECT_EQ(port.CheckCmd(), "AT");
    EXPECT_EQ(port.CheckInterval(), 5000);
    EXPECT_EQ(port.ConTimeOutTimer()->interval(), 6250);
    EXPECT_TRUE(port.ConTimeOutTimer()->isActive());
    EXPECT_FALSE(port.CheckTimer()->isActive());
    EXPECT_TRUE(port._RTS());
    EXPECT_TRUE(port._DTR());
    EXPECT_EQ(port.GetQueue(), -1);
    EXPECT_EQ(port.GetLine(), "");
    port.SetCheckInterval(2000);
    EXPECT_EQ(port.ConTimeOutTimer()->interval(), 6000);
}

TEST(TevComPort, UsualSessionRaisesEventsInOrder) {
    Session s;
    s.Open();
    EXPECT_TRUE(s.port.SendString("x"));
    EXPECT_EQ(s.dev.ReadUntil([](const std::string& b) { return b.size() >= 2; }), "x\r");
    s.dev.Write("PVEX:12.5V ON\rLBAT:11.0V OFF\r");
    ASSERT_TRUE(s.log.WaitFor("Rx:LBAT:11.0V OFF"));
    EXPECT_TRUE(s.port.AT_WORK());
    s.Close();
    const QStringList expected = {"Active:1",          "Connected", "SendStr:x", "Tx:0", "Rx:PVEX:12.5V ON",
                                  "Rx:LBAT:11.0V OFF", "Disc",      "Active:0",  "Disc"};
    EXPECT_EQ(s.log.Events, expected);
    EXPECT_FALSE(s.port.Active());
    EXPECT_FALSE(s.port.AT_WORK());
}

TEST(TevComPort, CrLfDeviceGivesCleanLinesAndEmptyLinesAreDropped) {
    Session s;
    s.Open();
    s.dev.Write("one\r\ntwo\r\n\r\r\nthree\r\n");
    ASSERT_TRUE(s.log.WaitFor("Rx:three"));
    EXPECT_EQ(s.Lines(), QStringList({"one", "two", "three"}));
    s.Close();
}

TEST(TevComPort, DoubleCrStringAfterTwoEmptyReadsNotAfterAThird) {
    Session s;
    s.port.SetCheckDoubleCRend(true);
    s.Open();
    s.dev.Write("a\r\r\r\rb\r\r\rc\r");
    ASSERT_TRUE(s.log.WaitFor("Rx:c"));
    EXPECT_EQ(s.Lines(), QStringList({"a", "#5A5A#", "b", "#5A5A#", "c"}));
    // A CR LF device that falls silent: the held LF makes the next reads empty, giving one marker.
    s.dev.Write("d\r\n");
    ASSERT_TRUE(s.log.WaitFor("Rx:d"));
    const int markers = s.log.Count("Rx:#5A5A#");
    ASSERT_TRUE(WaitUntil([&] { return s.log.Count("Rx:#5A5A#") == markers + 1; }));
    QThread::msleep(400);
    QCoreApplication::processEvents();
    EXPECT_EQ(s.log.Count("Rx:#5A5A#"), markers + 1);
    s.Close();
}

TEST(TevComPort, PacketModeDeliversBytesAsTheyComeWithCrCrHalved) {
    Session s;
    s.port.SetAutoCR(false);
    s.Open();
    s.dev.Write("\na\r\rb");
    ASSERT_TRUE(WaitUntil([&] { return !s.Lines().isEmpty(); }));
    EXPECT_EQ(s.Lines().join(""), "a\rb");
    s.Close();
}

TEST(TevComPort, MissingPortGivesTwoErrorsAndEnds) {
    TTevComPort port;
    TEventLog log(port);
    port.SetComPort("/dev/pravex-no-such-port");
    port.SetActive(true);
    port.SetConnected(true);
    ASSERT_TRUE(WaitUntil([&] { return port.ComThread() == nullptr; }));
    ASSERT_EQ(log.Events.size(), 5) << log.Events.join(" | ").toStdString();
    EXPECT_EQ(log.Events[0], "Active:1");
    EXPECT_TRUE(log.Events[1].startsWith("Err:2:")) << log.Events[1].toStdString();
    EXPECT_TRUE(log.Events[2].startsWith("Err:"));
    EXPECT_EQ(log.Events[3], "Active:0");
    EXPECT_EQ(log.Events[4], "Disc");
    EXPECT_FALSE(port.Active());
}

TEST(TevComPort, UnplugReportsTheSystemErrorThenEnds) {
    Session s;
    s.Open();
    s.dev.Write("x\r");
    ASSERT_TRUE(s.log.WaitFor("Rx:x"));
    s.dev.Unplug();
    ASSERT_TRUE(WaitUntil([&] { return s.port.ComThread() == nullptr; }));
    const QStringList tail = s.log.Events.mid(s.log.Events.indexOf("Rx:x") + 1);
    ASSERT_EQ(tail.size(), 4) << s.log.Events.join(" | ").toStdString();
    EXPECT_EQ(tail[0], "Err:5:" + QString::fromLocal8Bit(strerror(EIO)));
    EXPECT_EQ(tail.mid(1), QStringList({"Disc", "Active:0", "Disc"}));
}

TEST(TevComPort, ThrowingHandlerEndsTheWorkerButActiveStays) {
    Session s;
    s.Open();
    s.port.OnRxString = [](QObject*, const QString&) { throw std::runtime_error("boom"); };
    s.dev.Write("x\r");
    ASSERT_TRUE(WaitUntil([&] { return s.port.ComThread() == nullptr; }));
    EXPECT_EQ(s.log.Events.mid(2), QStringList({"Err:-200:Thread exception", "Disc"}));
    EXPECT_TRUE(s.port.Active());
    // The port was freed with the worker; a new worker opens it again.
    s.port.OnRxString = [&](QObject*, const QString& t) { s.log.Add("Rx:" + t); };
    s.log.Events.clear();
    s.port.SetConnected(true);
    s.port.SetActive(true);
    ASSERT_TRUE(s.log.WaitFor("Connected"));
    s.dev.Write("y\r");
    ASSERT_TRUE(s.log.WaitFor("Rx:y"));
    s.Close();
}

TEST(TevComPort, ConnectionTimeOutClosesTheLineAndTheWorkerStays) {
    Session s;
    s.port.SetCheckInterval(100);
    s.port.SetEnableCheckTimer(true);
    s.Open();
    ASSERT_TRUE(s.log.WaitFor("Disc"));
    ASSERT_TRUE(s.log.WaitFor("ATTimeOut"));
    EXPECT_FALSE(s.port.Connected());
    ASSERT_NE(s.port.ComThread(), nullptr);
    EXPECT_FALSE(s.port.ComThread()->Connected());
    // Connected again opens the line again.
    s.port.SetEnableCheckTimer(false);
    s.port.SetConnected(true);
    ASSERT_TRUE(WaitUntil([&] { return s.log.Count("Connected") == 2; }));
    s.Close();
}

TEST(TevComPort, ThrowingTimeOutHandlerGoesToTheErrorDisplay) {
    Session s;
    QStringList shown;
    const TApplicationErrorHandler previous =
        SetApplicationErrorHandler([&](const QString& text) { shown.append(text); });
    s.port.OnATTimeOut = [](QObject*) { throw std::runtime_error("no answer"); };
    s.port.SetCheckInterval(50);
    s.port.SetEnableCheckTimer(true);
    s.Open();
    EXPECT_TRUE(WaitUntil([&] { return !shown.isEmpty(); }));
    EXPECT_EQ(shown.value(0), "no answer");
    SetApplicationErrorHandler(previous);
    s.Close();
}

TEST(TevComPort, CheckCommandGoesOutAndLinesKeepTheConnection) {
    Session s;
    s.port.SetCheckInterval(1000);
    s.port.CheckTimer()->setInterval(50);
    s.port.SetEnableCheckTimer(true);
    s.Open();
    const std::string out = s.dev.ReadUntil([](const std::string& b) { return b.find("AT\r") != b.npos; });
    EXPECT_NE(out.find("AT\r"), std::string::npos);
    EXPECT_EQ(s.log.Count("SendStr:"), 0);
    // A device that answers keeps the line open past several time-out intervals.
    for (int i = 0; i < 40; ++i) {
        s.dev.Write("OK\r");
        WaitUntil([] { return false; }, 100);
    }
    EXPECT_EQ(s.log.Count("Disc"), 0);
    EXPECT_TRUE(s.port.Connected());
    s.Close();
}

TEST(TevComPort, FramesOnTheWireAreByteExact) {
    Session s;
    s.Open();
    auto sent = [&](const QString& payload, bool gc = false) {
        EXPECT_TRUE(s.port.SendString(payload, gc));
        EXPECT_TRUE(WaitUntil([&] { return s.port.GetQueue() == 0; }));
        return s.dev.ReadUntil([](const std::string& b) { return !b.empty(); }, 2000);
    };
    s.port.SetUseCRC(true);
    s.port.SetAutoCR(false);
    s.port.SetStartStr("##");
    EXPECT_EQ(sent("abc"), "$#294@abc\r");
    EXPECT_EQ(sent(""), "$#0@\r");
    s.port.SetUseCRC(false);
    s.port.SetStartStr("");
    EXPECT_EQ(sent("AT"), "AT");
    s.port.SetAutoCR(true);
    EXPECT_EQ(sent("AT"), "AT\r");
    s.port.SetUseRS485(true);
    EXPECT_EQ(sent("q"), std::string("\x10q\r"));
    s.port.SetRS485adr("$1F");
    EXPECT_EQ(sent("q"), std::string("\x1Fq\r"));
    EXPECT_EQ(sent("q", true), std::string("\xFFq\r"));
    s.port.SetGeneralCall(true);
    EXPECT_EQ(sent("r"), std::string("\xFFr\r"));
    s.port.SetGeneralCall(false);
    s.port.SetStartStr(">");
    EXPECT_EQ(sent("s"), std::string(">\x1Fs\r"));
    s.port.SetUseCRC(true);
    EXPECT_EQ(sent("abc"), std::string("\x1F$#294@abc\r"));
    s.Close();
}

TEST(TevComPort, QueuedEntriesLeaveInOrderWithProgress) {
    Session s;
    s.port.OnConnected = [&](QObject*) {
        // The worker waits for this handler, so all three are queued before the first send.
        s.log.Add("Connected");
        s.port.SendString("one");
        s.port.SendString("two");
        s.port.SendString("three");
    };
    s.Open();
    EXPECT_EQ(s.dev.ReadUntil([](const std::string& b) { return b.size() >= 14; }), "one\rtwo\rthree\r");
    ASSERT_TRUE(s.log.WaitFor("Tx:0"));
    QStringList progress;
    for (const QString& e : s.log.Events)
        if (e.startsWith("Tx:"))
            progress.append(e);
    EXPECT_EQ(progress, QStringList({"Tx:2", "Tx:1", "Tx:0"}));
    s.Close();
}

TEST(TevComPort, SendingIsIgnoredWhileNotConnected) {
    Session s;
    EXPECT_FALSE(s.port.SendString("early"));
    s.port.SetComPort(s.dev.Path());
    s.port.SetActive(true);
    EXPECT_FALSE(s.port.SendString("early"));
    EXPECT_FALSE(s.port.SendStringEx("x", "", false));
    EXPECT_FALSE(s.port.AutoCR());
    EXPECT_FALSE(s.port.CheckDoubleCRend());
    EXPECT_EQ(s.log.Count("SendStr:"), 0);
    EXPECT_EQ(s.port.GetQueue(), 0);
    s.Close();
}

TEST(TevComPort, ConnectedFalseKeepsTheLineOpen) {
    Session s;
    s.Open();
    s.port.SetConnected(false);
    s.dev.Write("still\r");
    ASSERT_TRUE(s.log.WaitFor("Rx:still"));
    EXPECT_FALSE(s.port.SendString("no"));
    s.port.SetActive(false);
    ASSERT_TRUE(WaitUntil([&] { return s.port.ComThread() == nullptr; }));
    EXPECT_EQ(s.log.Events.mid(s.log.Events.size() - 3), QStringList({"Disc", "Active:0", "Disc"}));
}

TEST(TevComPort, FloodArrivesWholeAndInOrderAndAStopEndsItAtOnce) {
    Session s;
    int expected = 1;
    bool inOrder = true;
    s.port.OnRxString = [&](QObject*, const QString& line) {
        inOrder = inOrder && line == QString::number(expected);
        ++expected;
        if (expected == 20001)
            s.port.SetActive(false); // the handler stops the worker in the middle of a flood
    };
    s.Open();
    std::string flood;
    for (int i = 1; i <= 30000; ++i)
        flood += std::to_string(i) + "\r";
    // From another thread: the pty fills up while this thread runs the handlers.
    std::atomic<bool> stop{false};
    std::thread writer([&] { s.dev.Write(flood, &stop); });
    const bool ended = WaitUntil([&] { return s.port.ComThread() == nullptr; }, 60000);
    stop = true; // the lines after the stop stay unread
    writer.join();
    ASSERT_TRUE(ended);
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(expected, 20001);
}

// CheckInterval 0 or less switches both timers off and nothing but a positive interval switches them on
// again; a huge one does not overflow; re-applying unchanged settings never restarts a running timer; both
// timers are precise.
TEST(TevComPort, TimersFollowTheirSettings) {
    TTevComPort port;
    EXPECT_EQ(port.CheckTimer()->timerType(), Qt::PreciseTimer);
    EXPECT_EQ(port.ConTimeOutTimer()->timerType(), Qt::PreciseTimer);
    for (int off : {0, -1, std::numeric_limits<int>::min()}) {
        port.SetCheckInterval(off);
        port.SetEnableCheckTimer(true);
        port.DoRxString();
        EXPECT_FALSE(port.CheckTimer()->isActive()) << off;
        EXPECT_FALSE(port.ConTimeOutTimer()->isActive()) << off;
    }
    port.SetEnableCheckTimer(false);
    port.SetCheckInterval(std::numeric_limits<int>::max());
    EXPECT_EQ(port.ConTimeOutTimer()->interval(), std::numeric_limits<int>::max());

    port.SetCheckInterval(4000);
    port.SetEnableCheckTimer(true);
    ASSERT_TRUE(port.ConTimeOutTimer()->isActive());
    EXPECT_EQ(port.ConTimeOutTimer()->interval(), 12000);
    ASSERT_TRUE(WaitUntil([&] {
        return port.ConTimeOutTimer()->remainingTime() < 11700 && port.CheckTimer()->remainingTime() < 3700;
    }));
    port.SetEnableCheckTimer(true);
    port.SetCheckInterval(4000);
    EXPECT_LT(port.ConTimeOutTimer()->remainingTime(), 11700) << "restarted by an unchanged setting";
    EXPECT_LT(port.CheckTimer()->remainingTime(), 3700) << "restarted by an unchanged setting";
}

TEST(TevComPort, ModemStatesCanBeWrittenByTheCaller) {
    TTevComPort port;
    port.Set_CTS(true);
    port.Set_DSR(true);
    port.Set_DCD(true);
    port.Set_RING(true);
    EXPECT_TRUE(port._CTS() && port._DSR() && port._DCD() && port._RING());
    port.Set_DSR(false);
    EXPECT_FALSE(port._DSR());
}
