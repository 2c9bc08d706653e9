// The serial-port component on a network port, unaware of it: lines and modem-line events from a
// COM-PORT-OPTION server, the server going away reported as an unplugged adapter is, and a stop that ends
// the open of a server that never answers.
// labels: threaded sim
#include "BlockSerial.h"
#include "TelnetCodec.h"
#include "comport_helpers.h"
#include "net_helpers.h"

#include <gtest/gtest.h>

namespace {

using namespace telnet;
using nettest::ComPortPeer;
using nettest::ScriptServer;

std::string B(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes)
        s.push_back(char(b));
    return s;
}

TEST(TevComPortNetwork, LinesAndModemEventsThenTheServerLeavesAsAnUnpluggedAdapter) {
    ComPortPeer peer;
    peer.onPurgeAt = 2; // the worker purges once more after setting the line up
    peer.onPurge = [&](ScriptServer& s, int c) {
        return s.SendAll(c, B({IAC, SB, OptComPort, 107, 0x10 | 0x20 | 0x01 | 0x02, IAC, SE}) + "x\r");
    };
    ScriptServer server([&](ScriptServer& s, int c) { peer.Serve(s, c); });
    TTevComPort port;
    TEventLog log(port);
    port.SetComPort(QString::fromStdString(server.Url("rfc2217")));
    port.SetActive(true);
    port.SetConnected(true);
    ASSERT_TRUE(log.WaitFor("Rx:x")) << log.Events.join(" | ").toStdString();
    ASSERT_TRUE(log.WaitFor("CTS:1"));
    ASSERT_TRUE(log.WaitFor("DSR:1"));
    EXPECT_EQ(port.ComPort(), QString::fromStdString(server.Url("rfc2217")));
    peer.hangUp.store(true);
    ASSERT_TRUE(WaitUntil([&] { return port.ComThread() == nullptr; }, 30000));
    const QStringList errors = log.Of("Err:");
    ASSERT_FALSE(errors.isEmpty()) << log.Events.join(" | ").toStdString();
    EXPECT_EQ(errors.constLast(), "Err:5:" + QString::fromLocal8Bit(strerror(EIO)));
    EXPECT_EQ(log.Events.constLast(), "Disc");
}

TEST(TevComPortNetwork, AStopEndsTheOpenOfAServerThatNeverAnswers) {
    std::atomic<bool> accepted{false};
    ScriptServer server([&](ScriptServer& s, int c) {
        accepted.store(true);
        s.Drain(c);
    });
    TTevComPort port;
    TEventLog log(port);
    port.SetComPort(QString::fromStdString(server.Url("rfc2217")));
    port.SetActive(true);
    port.SetConnected(true);
    ASSERT_TRUE(WaitUntil([&] { return accepted.load(); }, 30000));
    port.SetActive(false);
    ASSERT_TRUE(WaitUntil([&] { return port.ComThread() == nullptr; }, 30000));
    // The stop's error, not the time-out's: the wait ended at the stop.
    EXPECT_TRUE(log.Has(QStringLiteral("Err:%1:%2")
                            .arg(ErrNetStopped)
                            .arg(QString::fromStdString(TBlockSerial::GetErrorDesc(ErrNetStopped)))))
        << log.Events.join(" | ").toStdString();
    EXPECT_FALSE(port.Active());
}

} // namespace
