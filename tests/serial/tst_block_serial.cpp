// The serial line against real pseudo-terminals: open and exclusive access, configuration, terminated and
// packet reads with held bytes, writes, purge, close and reopen, and an unplugged device.
// labels: unit sim threaded
#include "BlockSerial.h"
#include "TestPty.h"

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct HookCall {
    THookSerialReason reason;
    std::string value;
};

class BlockSerialPty : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.Ok());
        line.OnStatus = [this](TBlockSerial*, THookSerialReason r, const std::string& v) {
            hooks.push_back({r, v});
        };
    }
    void Open() {
        line.Connect(pty.SlavePath());
        ASSERT_EQ(line.LastError(), 0) << line.LastErrorDesc();
        line.Config(9600, 8, 'N', 0, false, false);
        ASSERT_EQ(line.LastError(), 0) << line.LastErrorDesc();
    }
    bool Hooked(THookSerialReason r, const std::string& value) const {
        for (const auto& h : hooks)
            if (h.reason == r && h.value == value)
                return true;
        return false;
    }

    std::vector<HookCall> hooks; // outlives the line, whose destructor still reports the close
    TestPty pty;
    TBlockSerial line;
};

TEST_F(BlockSerialPty, ConnectOpensByPathAndByBareName) {
    EXPECT_FALSE(line.InstanceActive());
    EXPECT_EQ(line.LastErrorDesc(), "OK");
    Open();
    EXPECT_TRUE(line.InstanceActive());
    EXPECT_GE(line.Handle(), 0);
    EXPECT_EQ(line.Device(), pty.SlavePath());
    EXPECT_TRUE(Hooked(HR_Connect, pty.SlavePath()));
    line.CloseSocket();

    // A name without a leading slash lives under /dev/.
    const std::string bare = pty.SlavePath().substr(std::string("/dev/").size());
    line.Connect(bare);
    EXPECT_EQ(line.LastError(), 0) << line.LastErrorDesc();
    EXPECT_EQ(line.Device(), pty.SlavePath());
}

TEST_F(BlockSerialPty, MissingPortAndNonTerminalFailWithTheSystemsCode) {
    line.Connect("/dev/pravex-no-such-port");
    EXPECT_EQ(line.LastError(), ENOENT);
    EXPECT_EQ(line.LastErrorDesc(), "No such file or directory");
    EXPECT_FALSE(line.InstanceActive());
    line.Connect("pravex-no-such-port");
    EXPECT_EQ(line.LastError(), ENOENT);

    const char* tmp = std::getenv("PRAVEX_TEST_TMP");
    std::filesystem::path dir = tmp ? tmp : "/tmp";
    std::filesystem::create_directories(dir);
    std::string file = (dir / "not-a-tty").string();
    int fd = ::open(file.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    line.Connect(file);
    EXPECT_EQ(line.LastError(), ENOTTY);
    EXPECT_FALSE(line.InstanceActive());
    EXPECT_EQ(line.Handle(), -1);

    // The failures leave a line that still opens.
    Open();
}

TEST_F(BlockSerialPty, PortIsExclusiveAlsoAcrossProcesses) {
    Open();
    TBlockSerial second;
    second.Connect(pty.SlavePath());
    EXPECT_EQ(second.LastError(), EBUSY);
    EXPECT_EQ(second.LastErrorDesc(), "Device or resource busy");
    EXPECT_FALSE(second.InstanceActive());

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TBlockSerial other;
        other.Connect(pty.SlavePath());
        _exit(other.LastError() == EBUSY ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another process opened the held port";

    line.CloseSocket();
    second.Connect(pty.SlavePath());
    EXPECT_EQ(second.LastError(), 0) << second.LastErrorDesc();
}

TEST_F(BlockSerialPty, ConnectOnAnOpenLineFailsAndKeepsTheLine) {
    Open();
    line.Connect(pty.SlavePath());
    EXPECT_EQ(line.LastError(), ErrAlreadyInUse);
    EXPECT_EQ(line.LastErrorDesc(), "Instance already in use");
    EXPECT_TRUE(line.InstanceActive());
    ASSERT_TRUE(pty.Send("still\r"));
    EXPECT_EQ(line.RecvTerminated(5000, "\r"), "still");
}

TEST_F(BlockSerialPty, ConfigAppliesSettingsAndRefusesWhatTheTtyCannotDo) {
    Open();
    line.Config(19200, 8, 'm', 2, false, false);
    EXPECT_EQ(line.LastError(), 0) << line.LastErrorDesc();
    termios t{};
    ASSERT_EQ(tcgetattr(pty.Slave(), &t), 0);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_TRUE(t.c_cflag & CMSPAR); // survives on a pty; parity and size bits do not
    EXPECT_EQ(cfgetospeed(&t), speed_t(B19200));
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO));

    line.Config(250000, 8, 'N', 0, false, false); // no B constant: set through termios2
    EXPECT_EQ(line.LastError(), 0) << line.LastErrorDesc();

    for (auto bad : {std::tuple{9600, 8, 'N', 1}, std::tuple{9600, 9, 'N', 0}, std::tuple{9600, 8, 'X', 0},
                     std::tuple{0, 8, 'N', 0}}) {
        line.Config(std::get<0>(bad), std::get<1>(bad), std::get<2>(bad), std::get<3>(bad), false, false);
        EXPECT_EQ(line.LastError(), ErrWrongParameter);
        EXPECT_EQ(line.LastErrorDesc(), "Wrong parameter at call");
    }
}

TEST_F(BlockSerialPty, TerminatedReadHoldsBytesAcrossTimeOuts) {
    Open();
    ASSERT_TRUE(pty.Send("ab"));
    EXPECT_EQ(line.RecvTerminated(100, "\r"), "");
    EXPECT_EQ(line.LastError(), ErrTimeout);
    EXPECT_EQ(line.LastErrorDesc(), "Timeout during operation");
    EXPECT_EQ(line.LineBuffer(), "ab");
    EXPECT_TRUE(line.CanReadEx(0)); // held bytes count as readable

    ASSERT_TRUE(pty.Send("c\r"));
    EXPECT_EQ(line.RecvTerminated(5000, "\r"), "abc");
    EXPECT_EQ(line.LastError(), 0);
    EXPECT_EQ(line.LineBuffer(), "");
}

TEST_F(BlockSerialPty, EveryArrivingByteRestartsTheWait) {
    Open();
    // 30 bytes 50 ms apart take far longer than the 1 s wait, but no gap comes near it.
    const std::string slow = "PVEX: 3.92V ON with a slow tail";
    std::thread device([&] {
        for (char c : slow) {
            pty.Send(std::string(1, c));
            std::this_thread::sleep_for(50ms);
        }
        pty.Send("\r");
    });
    std::string got = line.RecvTerminated(1000, "\r");
    EXPECT_EQ(line.LastError(), 0) << line.LastErrorDesc();
    device.join();
    EXPECT_EQ(got, slow);

    // Without the restart the same trickle ends at the first time-out, keeping what came.
    line.SetInterPacketTimeout(false);
    device = std::thread([&] {
        for (char c : slow) {
            pty.Send(std::string(1, c));
            std::this_thread::sleep_for(50ms);
        }
    });
    EXPECT_EQ(line.RecvTerminated(300, "\r"), "");
    EXPECT_EQ(line.LastError(), ErrTimeout);
    device.join();
    EXPECT_FALSE(line.LineBuffer().empty());
    ASSERT_TRUE(pty.Send("\r"));
    EXPECT_EQ(line.RecvTerminated(5000, "\r"), slow);
}

TEST_F(BlockSerialPty, BytesAfterTheTerminatorStayForTheNextRead) {
    Open();
    ASSERT_TRUE(pty.Send(std::string("x\ry", 3)));
    EXPECT_EQ(line.RecvTerminated(5000, "\r"), "x");
    EXPECT_TRUE(line.CanReadEx(0));
    EXPECT_EQ(line.RecvPacket(5000), "y");
    EXPECT_EQ(line.LastError(), 0);

    // CR CR is two empty lines, each a success.
    ASSERT_TRUE(pty.Send("\r\r"));
    EXPECT_EQ(line.RecvTerminated(5000, "\r"), "");
    EXPECT_EQ(line.LastError(), 0);
    EXPECT_EQ(line.RecvTerminated(5000, "\r"), "");
    EXPECT_EQ(line.LastError(), 0);

    // Bytes pass untouched: NUL, LF, 0xFF.
    const std::string raw("\0\n\xff\x01z", 5);
    ASSERT_TRUE(pty.Send(raw + "\r"));
    EXPECT_EQ(line.RecvTerminated(5000, "\r"), raw);
}

TEST_F(BlockSerialPty, EndlessLineIsCutAtTheLimitWithoutLosingBytes) {
    Open();
    line.SetMaxLineLength(10);
    ASSERT_TRUE(pty.Send("0123456789abcdef\r"));
    EXPECT_EQ(line.RecvTerminated(5000, "\r"), "0123456789");
    EXPECT_EQ(line.LastError(), ErrMaxBuffer);
    EXPECT_EQ(line.RecvTerminated(5000, "\r"), "abcdef");
    EXPECT_EQ(line.LastError(), 0);

    // The default limit: a stream with no terminator never grows the held bytes past it.
    line.SetMaxLineLength(0);
    std::string stream;
    for (int i = 0; stream.size() < std::size_t(DefaultMaxLineLength) + 5000; ++i)
        stream += char('a' + i % 26);
    std::string got;
    std::thread device([&] { pty.Send(stream + "\r", 30000); });
    std::string first = line.RecvTerminated(10000, "\r");
    EXPECT_EQ(line.LastError(), ErrMaxBuffer);
    EXPECT_EQ(first.size(), std::size_t(DefaultMaxLineLength));
    std::string rest = line.RecvTerminated(10000, "\r");
    EXPECT_EQ(line.LastError(), 0);
    device.join();
    EXPECT_EQ(first + rest, stream);
}

TEST_F(BlockSerialPty, PacketReadTimesOutOrReturnsWhatCame) {
    Open();
    EXPECT_EQ(line.RecvPacket(50), "");
    EXPECT_EQ(line.LastError(), ErrTimeout);
    EXPECT_FALSE(line.CanRead(20));
    EXPECT_EQ(line.LastError(), 0); // an empty wait is not an error
    ASSERT_TRUE(pty.Send("hello"));
    EXPECT_TRUE(line.CanReadEx(5000));
    EXPECT_TRUE(Hooked(HR_CanRead, ""));
    std::string got = line.RecvPacket(5000);
    while (got.size() < 5 && line.LastError() == 0)
        got += line.RecvPacket(5000);
    EXPECT_EQ(got, "hello");
}

TEST_F(BlockSerialPty, WrittenBytesArriveOnTheOtherSide) {
    Open();
    const std::string data("AT\r\0\xff", 5);
    line.SendString(data);
    EXPECT_EQ(line.LastError(), 0) << line.LastErrorDesc();
    EXPECT_EQ(pty.Receive(data.size()), data);
    EXPECT_TRUE(Hooked(HR_WriteCount, "5"));
    EXPECT_TRUE(line.CanWrite(100));
    EXPECT_TRUE(Hooked(HR_CanWrite, ""));

    // More than a pty holds: the write waits for the reader and delivers every byte in order.
    std::string big(200000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = char(i * 7);
    std::string received;
    std::thread device([&] { received = pty.Receive(big.size(), 30000); });
    line.SetDeadlockTimeout(30000);
    line.SendString(big);
    EXPECT_EQ(line.LastError(), 0) << line.LastErrorDesc();
    device.join();
    EXPECT_TRUE(received == big);
}

TEST_F(BlockSerialPty, PurgeDropsHeldAndQueuedBytes) {
    Open();
    ASSERT_TRUE(pty.Send("held"));
    line.RecvTerminated(100, "\r");
    ASSERT_EQ(line.LineBuffer(), "held");
    ASSERT_TRUE(pty.Send("queued"));
    // Wait until the bytes sit in the port's queue before purging.
    ASSERT_TRUE(line.CanRead(5000));
    line.Purge();
    EXPECT_EQ(line.LastError(), 0);
    EXPECT_EQ(line.LineBuffer(), "");
    EXPECT_FALSE(line.CanReadEx(50));
    ASSERT_TRUE(pty.Send("fresh\r"));
    EXPECT_EQ(line.RecvTerminated(5000, "\r"), "fresh");
}

TEST_F(BlockSerialPty, ClosedLineRefusesWorkAndOpensAgain) {
    for (int round = 0; round < 2; ++round) {
        line.RecvTerminated(10, "\r");
        EXPECT_EQ(line.LastError(), ErrPortNotOpen);
        EXPECT_EQ(line.LastErrorDesc(), "Instance not yet connected");
        line.SendString("x");
        EXPECT_EQ(line.LastError(), ErrPortNotOpen);
        EXPECT_EQ(line.RecvPacket(10), "");
        EXPECT_EQ(line.LastError(), ErrPortNotOpen);
        EXPECT_FALSE(line.GetCommState());
        EXPECT_EQ(line.LastError(), EBADF);
        line.Purge();
        EXPECT_EQ(line.LastError(), EBADF);
        EXPECT_FALSE(line.CTS());
        line.DTR(true); // harmless on a closed line

        Open();
        ASSERT_TRUE(pty.Send("half"));
        line.RecvTerminated(50, "\r");
        hooks.clear();
        line.CloseSocket();
        EXPECT_EQ(line.LastError(), 0);
        EXPECT_FALSE(line.InstanceActive());
        EXPECT_EQ(line.Handle(), -1);
        EXPECT_EQ(line.LineBuffer(), ""); // held bytes go with the port
        EXPECT_TRUE(Hooked(HR_SerialClose, pty.SlavePath()));
    }
    Open();
    ASSERT_TRUE(pty.Send("again\r"));
    EXPECT_EQ(line.RecvTerminated(5000, "\r"), "again");
}

TEST_F(BlockSerialPty, UnpluggedDeviceFailsReadAndHealthProbeAtOnce) {
    Open();
    ASSERT_TRUE(line.GetCommState());
    EXPECT_EQ(line.LastError(), 0);
    pty.CloseMaster();

    auto start = std::chrono::steady_clock::now();
    std::string got = line.RecvTerminated(60000, "\r");
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(got, "");
    EXPECT_NE(line.LastError(), 0);
    EXPECT_NE(line.LastError(), ErrTimeout) << "a vanished device is not a quiet one";
    EXPECT_LT(waited, 30s) << "the read waited for its time-out instead of seeing the hang-up";

    EXPECT_FALSE(line.GetCommState());
    EXPECT_EQ(line.LastError(), EIO);
    EXPECT_EQ(line.LastErrorDesc(), "Input/output error");

    line.SendString("x");
    EXPECT_NE(line.LastError(), 0);
    line.CloseSocket();
    EXPECT_EQ(line.LastError(), 0);
}

TEST(BlockSerialErrors, EveryOwnCodeHasItsText) {
    const std::vector<std::pair<int, const char*>> table = {
        {0, "OK"},
        {ErrAlreadyOwned, "Port owned by other process"},
        {ErrAlreadyInUse, "Instance already in use"},
        {ErrWrongParameter, "Wrong parameter at call"},
        {ErrPortNotOpen, "Instance not yet connected"},
        {ErrNoDeviceAnswer, "No device answer detected"},
        {ErrMaxBuffer, "Maximal buffer length exceeded"},
        {ErrTimeout, "Timeout during operation"},
        {ErrNotRead, "Reading of data failed"},
        {ErrFrame, "Receive framing error"},
        {ErrOverrun, "Receive Overrun Error"},
        {ErrRxOver, "Receive Queue overflow"},
        {ErrRxParity, "Receive Parity Error"},
        {ErrTxFull, "Tranceive Queue is full"},
        {EACCES, "Permission denied"},
    };
    for (const auto& [code, text] : table)
        EXPECT_EQ(TBlockSerial::GetErrorDesc(code), text) << code;
    EXPECT_EQ(ErrAlreadyOwned, 9991);
    EXPECT_EQ(ErrTxFull, 10003);
    TBlockSerial fresh;
    EXPECT_EQ(fresh.DeadlockTimeout(), 30000);
    EXPECT_EQ(fresh.SizeRecvBuffer(), 4096);
    EXPECT_FALSE(fresh.RaiseExcept());
    EXPECT_TRUE(fresh.InterPacketTimeout());
}

} // namespace
