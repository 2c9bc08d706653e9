// The serial line through its system-call seam, over a real pty: modem lines, error counters, writes that
// never finish, interrupted and short transfers, a port that turns unhealthy, DTR/RTS from another thread.
// labels: unit threaded
#include "BlockSerial.h"
#include "TestPty.h"

#include <asm/ioctls.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <mutex>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Real system calls on the pty, except what a test chooses to fake.
class FakeSys : public TSerialSysCalls {
public:
    struct LineWrite {
        unsigned long request;
        int bits;
    };

    int ioctl(int fd, unsigned long request, void* arg) override {
        std::lock_guard lock(mutex);
        switch (request) {
        case TIOCMGET:
            if (modemErrno) {
                errno = modemErrno;
                return -1;
            }
            *static_cast<int*>(arg) = modem;
            return 0;
        case TIOCMBIS:
        case TIOCMBIC:
            lineWrites.push_back({request, *static_cast<int*>(arg)});
            return 0;
        case TIOCGICOUNT:
            if (!counters) {
                errno = ENOTTY;
                return -1;
            }
            *static_cast<serial_icounter_struct*>(arg) = counts;
            return 0;
        case TIOCOUTQ:
            if (!outq.empty()) {
                *static_cast<int*>(arg) = outq.front();
                if (outq.size() > 1)
                    outq.erase(outq.begin());
                return 0;
            }
            break;
        default:
            break;
        }
        return TSerialSysCalls::ioctl(fd, request, arg);
    }
    ssize_t write(int fd, const void* buf, std::size_t count) override {
        {
            std::lock_guard lock(mutex);
            counts.frame += addCounts.frame;
            counts.overrun += addCounts.overrun;
            counts.buf_overrun += addCounts.buf_overrun;
            counts.parity += addCounts.parity;
            addCounts = {};
        }
        if (writeHook)
            return writeHook(fd, buf, count);
        return TSerialSysCalls::write(fd, buf, count);
    }
    ssize_t read(int fd, void* buf, std::size_t count) override {
        if (readInterrupts > 0) {
            --readInterrupts;
            errno = EINTR;
            return -1;
        }
        return TSerialSysCalls::read(fd, buf, count);
    }
    int poll(pollfd* fds, nfds_t nfds, int timeoutMs) override {
        if (pollInterrupts > 0) {
            --pollInterrupts;
            errno = EINTR;
            return -1;
        }
        if (nfds == 1 && (fds[0].events & POLLIN)) {
            std::lock_guard lock(mutex);
            inReadWait = true;
            waitChanged.notify_all();
        }
        if (nfds == 1 && (fds[0].events & POLLOUT) && neverWritable) {
            TSerialSysCalls::poll(nullptr, 0, timeoutMs);
            return 0;
        }
        return TSerialSysCalls::poll(fds, nfds, timeoutMs);
    }
    int tcgetattr(int fd, termios* t) override {
        if (tcgetattrErrno) {
            errno = tcgetattrErrno;
            return -1;
        }
        return TSerialSysCalls::tcgetattr(fd, t);
    }
    int tcflush(int fd, int queue) override {
        if (queue == TCOFLUSH)
            ++outputFlushes;
        return TSerialSysCalls::tcflush(fd, queue);
    }

    std::vector<LineWrite> LineWrites() {
        std::lock_guard lock(mutex);
        return lineWrites;
    }

    std::mutex mutex;
    std::condition_variable waitChanged;
    bool inReadWait = false;
    int modem = 0;
    int modemErrno = 0;
    std::vector<LineWrite> lineWrites;
    bool counters = true;
    serial_icounter_struct counts{};
    serial_icounter_struct addCounts{};
    std::vector<int> outq;
    std::function<ssize_t(int, const void*, std::size_t)> writeHook;
    std::atomic<int> readInterrupts{0};
    std::atomic<int> pollInterrupts{0};
    bool neverWritable = false;
    int tcgetattrErrno = 0;
    std::atomic<int> outputFlushes{0};
};

class BlockSerialSeam : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.Ok());
        line.Connect(pty.SlavePath());
        ASSERT_EQ(line.LastError(), 0) << line.LastErrorDesc();
    }
    FakeSys sys;
    TestPty pty;
    TBlockSerial line{&sys};
};

TEST_F(BlockSerialSeam, ModemInputsReadTheirOwnLine) {
    struct Row {
        int bits;
        bool cts, dsr, car, ring;
    };
    for (Row r : {Row{0, false, false, false, false}, Row{TIOCM_CTS, true, false, false, false},
                  Row{TIOCM_DSR | TIOCM_RNG, false, true, false, true},
                  Row{TIOCM_CAR | TIOCM_DTR | TIOCM_RTS, false, false, true, false},
                  Row{TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | TIOCM_RNG, true, true, true, true}}) {
        sys.modem = r.bits;
        EXPECT_EQ(line.CTS(), r.cts) << r.bits;
        EXPECT_EQ(line.DSR(), r.dsr) << r.bits;
        EXPECT_EQ(line.Carrier(), r.car) << r.bits;
        EXPECT_EQ(line.Ring(), r.ring) << r.bits;
        EXPECT_EQ(line.LastError(), 0);
    }
    // A tty without modem lines reads inactive and is not an error; a failing device is.
    sys.modem = TIOCM_CTS;
    sys.modemErrno = ENOTTY;
    EXPECT_FALSE(line.CTS());
    EXPECT_EQ(line.LastError(), 0);
    sys.modemErrno = EIO;
    EXPECT_FALSE(line.DSR());
    EXPECT_EQ(line.LastError(), EIO);
}

TEST_F(BlockSerialSeam, OutputLinesOnOpenOnWriteAndOnClose) {
    auto writes = sys.LineWrites();
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes[0].request, unsigned(TIOCMBIS));
    EXPECT_EQ(writes[0].bits, TIOCM_DTR | TIOCM_RTS); // both on at open

    EXPECT_EQ(line.RecvPacket(10), "");
    ASSERT_EQ(line.LastError(), ErrTimeout);
    sys.lineWrites.clear();
    line.DTR(false);
    line.RTS(true);
    EXPECT_EQ(line.LastError(), ErrTimeout) << "writing a line must leave the last error alone";
    writes = sys.LineWrites();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].request, unsigned(TIOCMBIC));
    EXPECT_EQ(writes[0].bits, TIOCM_DTR);
    EXPECT_EQ(writes[1].request, unsigned(TIOCMBIS));
    EXPECT_EQ(writes[1].bits, TIOCM_RTS);

    sys.lineWrites.clear();
    line.CloseSocket();
    writes = sys.LineWrites();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].request, unsigned(TIOCMBIC));
    EXPECT_EQ(writes[0].bits, TIOCM_DTR | TIOCM_RTS);
}

TEST_F(BlockSerialSeam, LineErrorsAfterAWriteSetTheCodeAndKeepTheText) {
    struct Row {
        int frame, overrun, bufOverrun, parity;
        int expected;
    };
    for (Row r : {Row{0, 0, 0, 0, 0}, Row{1, 0, 0, 0, ErrFrame}, Row{0, 2, 0, 0, ErrOverrun},
                  Row{0, 0, 1, 0, ErrRxOver}, Row{0, 0, 0, 1, ErrRxParity}, Row{1, 1, 0, 0, ErrOverrun},
                  Row{1, 1, 1, 1, ErrRxParity}}) {
        sys.addCounts.frame = r.frame;
        sys.addCounts.overrun = r.overrun;
        sys.addCounts.buf_overrun = r.bufOverrun;
        sys.addCounts.parity = r.parity;
        line.SendString("AT\r");
        EXPECT_EQ(line.LastError(), r.expected);
        EXPECT_EQ(line.LastErrorDesc(), "OK");
        EXPECT_EQ(pty.Receive(3), "AT\r");
    }
    // Counters that were already high before the write are not this write's errors.
    line.SendString("x");
    EXPECT_EQ(line.LastError(), 0);
}

TEST_F(BlockSerialSeam, WriteThatNeverFinishesEndsAtDeadlockTimeout) {
    sys.writeHook = [](int, const void*, std::size_t) -> ssize_t {
        errno = EAGAIN;
        return -1;
    };
    sys.neverWritable = true;
    line.SetDeadlockTimeout(300);
    auto start = std::chrono::steady_clock::now();
    line.SendString("never");
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(line.LastError(), ErrTimeout);
    EXPECT_EQ(line.LastErrorDesc(), "Timeout during operation");
    EXPECT_GE(took, 250ms);
    EXPECT_LT(took, 30s);
    EXPECT_GE(sys.outputFlushes.load(), 1);

    // Bytes handed over but never drained out of the port: the same.
    sys.writeHook = nullptr;
    sys.neverWritable = false;
    sys.outq = {64};
    sys.outputFlushes = 0;
    line.SendString("stuck");
    EXPECT_EQ(line.LastError(), ErrTimeout);
    EXPECT_GE(sys.outputFlushes.load(), 1);
    EXPECT_FALSE(line.CanWrite(50));
    EXPECT_EQ(line.LastError(), 0) << "a wait that runs out is no error";

    sys.outq = {3, 2, 0};
    EXPECT_TRUE(line.CanWrite(10000));
}

TEST_F(BlockSerialSeam, InterruptedAndShortWritesDeliverEveryByte) {
    int calls = 0;
    sys.writeHook = [&](int fd, const void* buf, std::size_t count) -> ssize_t {
        ++calls;
        if (calls == 1) {
            errno = EINTR;
            return -1;
        }
        if (calls % 4 == 0) {
            errno = EAGAIN;
            return -1;
        }
        return ::write(fd, buf, std::min<std::size_t>(count, 3));
    };
    sys.pollInterrupts = 1;
    const std::string data = "PVEX: 3.92V ON\r\nLBAT: 3.31V OFF\r\n";
    std::string hookCount;
    line.OnStatus = [&](TBlockSerial*, THookSerialReason r, const std::string& v) {
        if (r == HR_WriteCount)
            hookCount = v;
    };
    line.SendString(data);
    EXPECT_EQ(line.LastError(), 0) << line.LastErrorDesc();
    EXPECT_EQ(pty.Receive(data.size()), data);
    EXPECT_EQ(hookCount, std::to_string(data.size()));
}

TEST_F(BlockSerialSeam, InterruptedWaitsAndReadsStillDeliverTheLine) {
    sys.pollInterrupts = 2;
    sys.readInterrupts = 2;
    ASSERT_TRUE(pty.Send("abc\r"));
    EXPECT_EQ(line.RecvTerminated(5000, "\r"), "abc");
    EXPECT_EQ(line.LastError(), 0);
}

TEST_F(BlockSerialSeam, UnhealthyPortFailsTheProbe) {
    EXPECT_TRUE(line.GetCommState());
    sys.tcgetattrErrno = EIO;
    EXPECT_FALSE(line.GetCommState());
    EXPECT_EQ(line.LastError(), EIO);
    sys.tcgetattrErrno = 0;
    EXPECT_TRUE(line.GetCommState());
    EXPECT_EQ(line.LastError(), 0);
}

TEST_F(BlockSerialSeam, OutputLinesChangeWhileAReadWaits) {
    std::string got;
    std::thread reader([&] { got = line.RecvTerminated(60000, "\r"); });
    {
        std::unique_lock lock(sys.mutex);
        ASSERT_TRUE(sys.waitChanged.wait_for(lock, 30s, [&] { return sys.inReadWait; }));
        sys.lineWrites.clear();
    }
    // Would hang here if the line control queued behind the read.
    line.DTR(false);
    line.RTS(false);
    line.DTR(true);
    EXPECT_EQ(sys.LineWrites().size(), 3u);
    ASSERT_TRUE(pty.Send("done\r"));
    reader.join();
    EXPECT_EQ(got, "done");
}

} // namespace

// A line that trickles in over many bounded reads is read as one unbounded read would read it: the
// inter-byte wait carries over, the bytes stay held, and silence still ends it with 9997.
TEST_F(BlockSerialSeam, PartialReadsEndAsOneReadWould) {
    bool pending = false;
    ASSERT_TRUE(pty.Send("ab"));
    EXPECT_EQ(line.RecvTerminatedPart(60000, "\r", 20, pending), "");
    EXPECT_TRUE(pending);
    EXPECT_EQ(line.LastError(), 0);
    ASSERT_TRUE(pty.Send("c\rd"));
    EXPECT_EQ(line.RecvTerminatedPart(60000, "\r", 20, pending), "abc");
    EXPECT_FALSE(pending);
    EXPECT_EQ(line.LineBuffer(), "d");

    // Silence after the held byte: parts stay pending until the inter-byte wait runs out.
    int parts = 0;
    std::string got;
    do {
        got = line.RecvTerminatedPart(200, "\r", 5, pending);
        ++parts;
    } while (pending && parts < 100000);
    EXPECT_FALSE(pending);
    EXPECT_EQ(got, "");
    EXPECT_EQ(line.LastError(), ErrTimeout);
    EXPECT_EQ(line.LineBuffer(), "d");
    EXPECT_GT(parts, 1);
    // After a time-out the next read waits afresh, as an unbounded one does.
    ASSERT_TRUE(pty.Send("e\r"));
    EXPECT_EQ(line.RecvTerminatedPart(200, "\r", 5, pending), "de");
}

// A wake-up ends the line's waits only when the owner says so; otherwise it is taken and the wait goes on.
TEST_F(BlockSerialSeam, WakeUpsEndWaitsWhenTheOwnerAsks) {
    const int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ASSERT_GE(wake, 0);
    std::atomic<bool> ends{true};
    line.SetWakeUp(wake, [&] { return ends.load(); });
    const auto poke = [&] {
        const std::uint64_t one = 1;
        ASSERT_EQ(::write(wake, &one, sizeof one), ssize_t(sizeof one));
    };
    bool pending = false;

    poke();
    EXPECT_FALSE(line.CanRead(600000));
    EXPECT_TRUE(line.WokenUp());
    ASSERT_TRUE(pty.Send("ab"));
    poke();
    EXPECT_TRUE(line.CanRead(600000)) << "bytes win over a wake-up";
    EXPECT_EQ(line.RecvTerminatedPart(600000, "\r", 600000, pending), "");
    EXPECT_TRUE(pending);
    EXPECT_TRUE(line.WokenUp());

    // A write that cannot drain is cut short and flushed.
    sys.outq = {64};
    line.SetDeadlockTimeout(600000);
    poke();
    line.SendString("stuck");
    EXPECT_EQ(line.LastError(), ErrTimeout);
    EXPECT_TRUE(line.WokenUp());
    EXPECT_GE(sys.outputFlushes.load(), 1);
    sys.outq.clear();

    // Each wait takes the wake-up it sees; one not for this wait lets it run its length.
    ends = false;
    poke();
    EXPECT_FALSE(line.CanRead(30));
    EXPECT_FALSE(line.WokenUp());
    std::uint64_t left = 0;
    EXPECT_LT(::read(wake, &left, sizeof left), 0);
    EXPECT_EQ(errno, EAGAIN);
    line.SetWakeUp(-1, nullptr);
    ::close(wake);
}

TEST_F(BlockSerialSeam, FailedWriteStillReportsLineErrors) {
    sys.addCounts.frame = 1;
    sys.writeHook = [](int, const void*, std::size_t) -> ssize_t {
        errno = EIO;
        return -1;
    };
    line.SendString("x");
    EXPECT_EQ(line.LastError(), ErrFrame);
    EXPECT_EQ(line.LastWriteCount(), 0u);
}

// The write deadline covers the frame's time on the wire at the configured rate, never less than
// DeadlockTimeout, and never overflows.
TEST_F(BlockSerialSeam, WriteDeadlineFollowsFrameLengthAndRate) {
    struct Row {
        int baud, bits;
        char parity;
        int stop;
        std::size_t bytes;
        int charBits;
    };
    line.SetDeadlockTimeout(1000);
    EXPECT_EQ(line.WriteDeadlineMs(1u << 20), 1000) << "no rate known before Config";
    for (Row r : {Row{9600, 8, 'N', 0, 960, 10}, Row{9600, 8, 'N', 0, 10, 10}, Row{300, 8, 'E', 2, 100, 12},
                  Row{115200, 7, 'O', 0, 65536, 10}, Row{50, 8, 'N', 2, std::size_t(1) << 40, 11}}) {
        line.Config(r.baud, r.bits, r.parity, r.stop, false, false);
        ASSERT_EQ(line.LastError(), 0);
        const double wire = double(r.bytes) * r.charBits * 1000.0 / r.baud;
        const int ms = line.WriteDeadlineMs(r.bytes);
        EXPECT_GE(ms, 1000);
        EXPECT_GE(double(ms), std::min(wire, double(INT_MAX))) << r.bytes << " bytes at " << r.baud;
        EXPECT_LE(double(ms), std::max(1000.0, wire * 1.5 + 1000)) << r.bytes << " bytes at " << r.baud;
    }
}
