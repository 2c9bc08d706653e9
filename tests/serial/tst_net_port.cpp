// The serial line on network ports against small servers the test starts: hostile ones (silent,
// refusing, closing mid-line, splitting everything, flooding) and a well-behaved COM-PORT-OPTION peer
// for settings, modem lines, DTR/RTS from another thread and 0xFF data both ways.
// labels: unit threaded
#include "BlockSerial.h"
#include "TelnetCodec.h"
#include "net_helpers.h"

#include <asm/ioctls.h>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using namespace telnet;
using nettest::ComPortPeer;
using nettest::ScriptServer;
using Clock = std::chrono::steady_clock;

std::string B(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes)
        s.push_back(char(b));
    return s;
}

// Sends one byte per send, with a pause that lets each arrive in a read of its own.
void Trickle(ScriptServer& server, int conn, const std::string& bytes) {
    for (char c : bytes) {
        if (server.Stopping() || !server.SendAll(conn, std::string(1, c)))
            return;
        std::this_thread::sleep_for(1ms);
    }
}

// A line with a wake-up descriptor the test can fire as the serial worker's stop does.
struct StoppableLine {
    TBlockSerial line;
    int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    std::atomic<bool> stop{false};
    StoppableLine() {
        line.SetWakeUp(wake, [this] { return stop.load(); });
        // Long enough that a wait ended early can only have been the stop.
        line.SetDeadlockTimeout(60000);
    }
    ~StoppableLine() {
        line.CloseSocket();
        ::close(wake);
    }
    void Stop() {
        stop.store(true);
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(wake, &one, sizeof one);
    }
};

// The server's misbehaviour may be seen while the port opens, or at the first read after it.
constexpr int OpenMayFailWithEio = -1;

TEST(NetworkPort, HostileServersGiveAClearErrorOrTheRightDataNeverAHang) {
    struct Case {
        const char* name;
        ScriptServer::Script script;
        // What the client does once Connect returned, and what it then expects.
        std::function<void(StoppableLine& l)> check;
        int connectError; // or OpenMayFailWithEio
    };
    const std::string flood(200000, 'x');
    const std::vector<Case> cases = {
        {"refuses the serial port option",
         [](ScriptServer& s, int c) {
             s.ReadUntil(c, B({IAC, WILL, OptComPort}));
             s.SendAll(c, B({IAC, DONT, OptComPort, IAC, WONT, OptBinary}));
             s.Drain(c);
         },
         nullptr, ErrNetNoComPortOption},
        {"answers unknown options and closes mid-line",
         [](ScriptServer& s, int c) {
             ComPortPeer peer;
             peer.onPurge = [](ScriptServer& s2, int c2) {
                 s2.SendAll(c2, B({IAC, DO, 24, IAC, WILL, 31}) + "PVEX: 1.2");
                 s2.ReadUntil(c2, B({IAC, WONT, 24}));
                 s2.ReadUntil(c2, B({IAC, DONT, 31}));
                 return false;
             };
             peer.Serve(s, c);
         },
         [](StoppableLine& l) {
             const std::string line = l.line.RecvTerminated(30000, "\r");
             EXPECT_EQ(line, "");
             EXPECT_EQ(l.line.LastError(), EIO) << l.line.LastErrorDesc();
             EXPECT_EQ(l.line.LineBuffer(), "PVEX: 1.2") << "what came before the end is kept";
             EXPECT_FALSE(l.line.GetCommState());
             EXPECT_EQ(l.line.LastError(), EIO);
         },
         0},
        {"splits every command byte by byte and sends 0xFF data",
         [](ScriptServer& s, int c) {
             ComPortPeer peer;
             peer.onPurge = [](ScriptServer& s2, int c2) {
                 Trickle(s2, c2,
                         B({'A', IAC, IAC, IAC, WILL, OptSga, 'B', IAC, SB, OptComPort, 107, 0x10 | 0x20, IAC,
                            SE, IAC, IAC, '\r'}));
                 return true;
             };
             // The offer itself comes a byte at a time too.
             Trickle(s, c, B({IAC, DO, OptComPort}));
             peer.Serve(s, c);
         },
         [](StoppableLine& l) {
             const std::string line = l.line.RecvTerminated(30000, "\r");
             EXPECT_EQ(l.line.LastError(), 0) << l.line.LastErrorDesc();
             EXPECT_EQ(line, B({'A', 0xFF, 'B', 0xFF}));
             EXPECT_EQ(l.line.ModemStatus() & (TIOCM_CTS | TIOCM_DSR | TIOCM_CAR), TIOCM_CTS | TIOCM_DSR);
         },
         0},
        {"talks without ever reading what it is answered",
         [](ScriptServer& s, int c) {
             const int small = 4096;
             ::setsockopt(c, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
             std::string talk;
             for (int i = 0; i < 20000; ++i)
                 talk += B({IAC, DO, 24});
             s.SendAll(c, B({IAC, DO, OptComPort}));
             while (!s.Stopping() && s.SendAll(c, talk)) {
             }
         },
         [](StoppableLine& l) {
             l.line.RecvTerminated(30000, "\r");
             EXPECT_EQ(l.line.LastError(), EIO) << l.line.LastErrorDesc();
         },
         OpenMayFailWithEio},
        {"floods without a line end",
         [&flood](ScriptServer& s, int c) {
             ComPortPeer peer;
             peer.onPurge = [&flood](ScriptServer& s2, int c2) {
                 while (!s2.Stopping() && s2.SendAll(c2, flood)) {
                 }
                 return false;
             };
             peer.Serve(s, c);
         },
         [](StoppableLine& l) {
             for (int i = 0; i < 3; ++i) {
                 const std::string line = l.line.RecvTerminated(30000, "\r");
                 EXPECT_EQ(l.line.LastError(), ErrMaxBuffer);
                 EXPECT_EQ(line, std::string(DefaultMaxLineLength, 'x'));
             }
             // A stop ends the wait for the next line's end while the flood goes on.
             bool pending = false;
             l.Stop();
             for (int i = 0; i < 100 && !pending; ++i)
                 l.line.RecvTerminatedPart(30000, "\r", 60000, pending);
             EXPECT_TRUE(pending || l.line.LastError() == ErrMaxBuffer);
         },
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptServer server(c.script);
        StoppableLine l;
        const auto start = Clock::now();
        l.line.Connect(server.Url("rfc2217"));
        if (c.connectError == OpenMayFailWithEio && l.line.LastError() != 0) {
            EXPECT_EQ(l.line.LastError(), EIO) << l.line.LastErrorDesc();
            continue;
        }
        ASSERT_EQ(l.line.LastError(), c.connectError == OpenMayFailWithEio ? 0 : c.connectError)
            << l.line.LastErrorDesc();
        EXPECT_LT(Clock::now() - start, 30s) << "no wait ran to its time-out";
        if (c.connectError > 0) {
            EXPECT_FALSE(l.line.InstanceActive());
            EXPECT_LT(l.line.Handle(), 0);
            continue;
        }
        c.check(l);
    }
}

TEST(NetworkPort, AStopEndsTheOpenOfAServerThatNeverAnswers) {
    struct Case {
        const char* name;
        bool stop;
        int error;
    };
    const std::vector<Case> cases = {
        {"stopped", true, ErrNetStopped},
        {"left to its time-out", false, ErrNetNoComPortOption},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<bool> accepted{false};
        ScriptServer server([&](ScriptServer& s, int conn) {
            accepted.store(true);
            s.Drain(conn);
        });
        StoppableLine l;
        if (!c.stop)
            l.line.SetDeadlockTimeout(1); // the shortest the open allows
        std::thread stopper([&] {
            while (c.stop && !accepted.load())
                std::this_thread::sleep_for(1ms);
            if (c.stop)
                l.Stop();
        });
        const auto start = Clock::now();
        l.line.Connect(server.Url("rfc2217"));
        const auto took = Clock::now() - start;
        stopper.join();
        EXPECT_EQ(l.line.LastError(), c.error) << l.line.LastErrorDesc();
        EXPECT_LT(l.line.Handle(), 0);
        if (c.stop) {
            EXPECT_LT(took, 30s) << "the stop, not the 60 s time-out, ended it";
        }
    }
}

TEST(NetworkPort, SettingsModemLinesAndDataReachTheServerAndBack) {
    ComPortPeer peer;
    peer.applied = [](unsigned char command, unsigned value) {
        return command == 1 && value == 250000 ? 230400u : value; // a rate the server cannot do
    };
    peer.onPurge = [](ScriptServer& s, int c) {
        return s.SendAll(c, B({IAC, SB, OptComPort, 107, 0x80 | 0x40, IAC, SE}) + "ready\r");
    };
    ScriptServer server([&](ScriptServer& s, int c) { peer.Serve(s, c); });
    StoppableLine l;
    l.line.Connect(server.Url("rfc2217"));
    ASSERT_EQ(l.line.LastError(), 0) << l.line.LastErrorDesc();
    EXPECT_EQ(l.line.Device(), server.Url("rfc2217"));

    struct Setting {
        int baud, bits;
        char parity;
        int stop;
        int error;
    };
    const std::vector<Setting> settings = {
        {19200, 7, 'E', 2, 0},
        {115200, 8, 'N', 0, 0},
        {31250, 8, 'N', 0, 0}, // no B constant: the kernel's termios2 path
        {250000, 8, 'N', 0, ErrNetSettingRefused},
    };
    for (const Setting& s : settings) {
        l.line.Config(s.baud, s.bits, s.parity, s.stop, false, false);
        EXPECT_EQ(l.line.LastError(), s.error) << s.baud << " " << l.line.LastErrorDesc();
        std::lock_guard lock(peer.lock);
        EXPECT_EQ(peer.baud, s.error ? 230400u : unsigned(s.baud));
    }
    EXPECT_EQ(l.line.RecvTerminated(30000, "\r"), "ready");
    EXPECT_EQ(l.line.ModemStatus() & (TIOCM_CAR | TIOCM_RNG | TIOCM_CTS), TIOCM_CAR | TIOCM_RNG);
    EXPECT_TRUE(l.line.HasModemLines());

    // DTR and RTS from another thread while the owner writes.
    std::thread other([&] {
        l.line.DTR(false);
        l.line.RTS(false);
    });
    l.line.SendString(B({'A', 'T', 0xFF, '\r'}));
    EXPECT_EQ(l.line.LastError(), 0) << l.line.LastErrorDesc();
    other.join();
    const auto deadline = Clock::now() + 30s;
    for (;;) {
        {
            std::lock_guard lock(peer.lock);
            if ((peer.data == B({'A', 'T', 0xFF, '\r'}) && peer.controls.find(char(9)) != std::string::npos &&
                 peer.controls.find(char(12)) != std::string::npos) ||
                Clock::now() > deadline)
                break;
        }
        std::this_thread::sleep_for(5ms);
    }
    std::lock_guard lock(peer.lock);
    EXPECT_EQ(peer.data, B({'A', 'T', 0xFF, '\r'}));
    EXPECT_NE(peer.controls.find(char(8)), std::string::npos) << "DTR on at the open";
    EXPECT_NE(peer.controls.find(char(9)), std::string::npos) << "DTR off";
    EXPECT_NE(peer.controls.find(char(12)), std::string::npos) << "RTS off";
    EXPECT_TRUE(peer.modemMaskSeen);
}

TEST(NetworkPort, ARawSocketCarriesEveryByteUnchanged) {
    const std::string fromServer = B({IAC, DO, OptComPort, 'x', IAC, IAC, '\r'});
    ScriptServer server([&](ScriptServer& s, int c) {
        s.SendAll(c, fromServer);
        s.ReadUntil(c, B({0xFF, '\r'}));
        s.Drain(c);
    });
    StoppableLine l;
    l.line.Connect(server.Url("socket"));
    ASSERT_EQ(l.line.LastError(), 0) << l.line.LastErrorDesc();
    l.line.Config(9600, 8, 'N', 0, false, false);
    EXPECT_EQ(l.line.LastError(), 0) << l.line.LastErrorDesc();
    const std::string got = l.line.RecvTerminated(30000, "\r");
    // The open's purge may have taken what came before it: what is read is a tail of what was sent.
    EXPECT_EQ(fromServer.substr(fromServer.size() - got.size() - 1), got + "\r");
    EXPECT_EQ(l.line.ModemStatus(), 0);
    EXPECT_FALSE(l.line.HasModemLines());
    l.line.SendString(B({0xFF, '\r'}));
    EXPECT_EQ(l.line.LastError(), 0);
    const auto deadline = Clock::now() + 30s;
    while (server.Received() != B({0xFF, '\r'}) && Clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(server.Received(), B({0xFF, '\r'}));
}

// A device server that holds a small segment until the one before it is acknowledged (Nagle, as ser2net
// does) would keep each further piece of an answer back for our delayed acknowledgement: after every
// command, reads must leave the socket acknowledging at once.
TEST(NetworkPort, AnAnswerReadLeavesTheSocketAcknowledgingAtOnce) {
    constexpr int Rounds = 5;
    ScriptServer server([](ScriptServer& s, int c) {
        for (int i = 0; i < Rounds; ++i) {
            const std::string n = std::to_string(i);
            if (!s.ReadUntil(c, "ask " + n + "\r") || !s.SendAll(c, "answer " + n + "\r"))
                return;
        }
        s.Drain(c);
    });
    StoppableLine l;
    l.line.Connect(server.Url("socket"));
    ASSERT_EQ(l.line.LastError(), 0) << l.line.LastErrorDesc();
    for (int i = 0; i < Rounds; ++i) {
        const std::string n = std::to_string(i);
        l.line.SendString("ask " + n + "\r");
        ASSERT_EQ(l.line.RecvTerminated(30000, "\r"), "answer " + n);
        int quick = 0;
        socklen_t size = sizeof quick;
        ASSERT_EQ(::getsockopt(l.line.Handle(), IPPROTO_TCP, TCP_QUICKACK, &quick, &size), 0);
        EXPECT_EQ(quick, 1) << "round " << i;
    }
}

TEST(NetworkPort, NamesAndPeersThatCannotBeReachedAreClearErrors) {
    // A port nobody listens on: taken and closed again at once.
    const int closedPort = [] {
        ScriptServer s([](ScriptServer&, int) {});
        return s.Port();
    }();
    struct Case {
        std::string name;
        int error;
    };
    const std::vector<Case> cases = {
        {"rfc2217://127.0.0.1", ErrNetBadName},
        {"socket://[::1:80", ErrNetBadName},
        {"rfc2217://127.0.0.1:" + std::to_string(closedPort), ECONNREFUSED},
        {"socket://no-such-host.invalid:4000", ErrNetUnknownHost},
    };
    for (const Case& c : cases) {
        TBlockSerial line;
        line.Connect(c.name);
        EXPECT_EQ(line.LastError(), c.error) << c.name << ": " << line.LastErrorDesc();
        EXPECT_FALSE(line.LastErrorDesc().empty());
        EXPECT_FALSE(line.InstanceActive());
    }
}

} // namespace
