// The serial line on POSIX termios: exclusive open, raw configuration, non-blocking reads and writes whose
// every wait is a poll() against a deadline, modem lines and error counters through ioctls.
#include "BlockSerial.h"
#include "KernelTermios2.h"
#include "TelnetComPort.h"

#include <algorithm>
#include <asm/ioctls.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>

namespace {
using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    // Rounded up: a wait of 0 ms for the last fraction of a millisecond would spin until the deadline.
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : int(left);
}

speed_t StandardSpeed(int baud) {
    switch (baud) {
    case 50:
        return B50;
    case 75:
        return B75;
    case 110:
        return B110;
    case 134:
        return B134;
    case 150:
        return B150;
    case 200:
        return B200;
    case 300:
        return B300;
    case 600:
        return B600;
    case 1200:
        return B1200;
    case 1800:
        return B1800;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    case 460800:
        return B460800;
    case 500000:
        return B500000;
    case 576000:
        return B576000;
    case 921600:
        return B921600;
    case 1000000:
        return B1000000;
    case 1152000:
        return B1152000;
    case 1500000:
        return B1500000;
    case 2000000:
        return B2000000;
    case 2500000:
        return B2500000;
    case 3000000:
        return B3000000;
    case 3500000:
        return B3500000;
    case 4000000:
        return B4000000;
    default:
        return 0;
    }
}

bool Unsupported(int err) {
    return err == ENOTTY || err == EINVAL;
}

void MakeRaw(termios& t) {
    t.c_iflag &=
        ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IMAXBEL | IXON | IXOFF | IXANY);
    t.c_oflag &= ~tcflag_t(OPOST | ONLCR | OCRNL | ONOCR | ONLRET);
    t.c_lflag &= ~tcflag_t(ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL | IEXTEN);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~tcflag_t(HUPCL);
    // VMIN 1 on a non-blocking fd: "no data" is EAGAIN, so a read of 0 bytes can only mean a hang-up.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
}
} // namespace

TBlockSerial::TBlockSerial(TSerialSysCalls* sys) : FSys(sys ? sys : TSerialSysCalls::System()) {}

TBlockSerial::~TBlockSerial() {
    if (FHandle.load() >= 0)
        CloseSocket();
}

void TBlockSerial::Connect(const std::string& comport) {
    ResetError();
    if (FHandle.load() >= 0) {
        SetError(ErrAlreadyInUse);
        return;
    }
    const bool network = IsNetworkPortName(comport);
    if (network)
        UseNetworkBackend();
    const std::string path = network || (!comport.empty() && comport[0] == '/') ? comport : "/dev/" + comport;
    int fd = FSys->open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        SetSysError(errno);
        return;
    }
    auto fail = [&](int err) {
        FSys->close(fd);
        SetSysError(err);
    };
    // flock first: TIOCEXCL alone is bypassed by root and races with a second opener that set it too.
    if (FSys->flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        return fail(err == EWOULDBLOCK ? EBUSY : err);
    }
    if (FSys->ioctl(fd, TIOCEXCL, nullptr) != 0 && !Unsupported(errno))
        return fail(errno);
    termios t{};
    if (FSys->tcgetattr(fd, &t) != 0)
        return fail(errno);
    MakeRaw(t);
    if (FSys->tcsetattr(fd, TCSANOW, &t) != 0)
        return fail(errno);
    // Linux sizes the receive queue itself and has no settable flow-control limits: SizeRecvBuffer is kept
    // for callers that set it, with nothing to apply here.
    int lines = TIOCM_DTR | TIOCM_RTS;
    FSys->ioctl(fd, TIOCMBIS, &lines); // a pty has no modem lines: not an error
    FSys->tcflush(fd, TCIOFLUSH);
    {
        std::lock_guard lock(FLock);
        FDevice = path;
        FHandle.store(fd);
    }
    ClearHeld();
    FReadPending = false;
    FHasModemLines = true;
    FInstanceActive.store(true);
    DoStatus(HR_Connect, path);
}

void TBlockSerial::Config(int baud, int bits, char parity, int stop, bool softflow, bool hardflow) {
    ResetError();
    if (!CheckOpenForControl())
        return;
    const int fd = FHandle.load();
    if (baud <= 0 || bits < 5 || bits > 8 || (stop != 0 && stop != 2)) {
        SetError(ErrWrongParameter); // 1.5 stop bits do not exist on a Linux tty
        return;
    }
    tcflag_t parityFlags = 0;
    switch (parity) {
    case 'N':
    case 'n':
        parityFlags = 0;
        break;
    case 'O':
    case 'o':
        parityFlags = PARENB | PARODD;
        break;
    case 'E':
    case 'e':
        parityFlags = PARENB;
        break;
    case 'M':
    case 'm':
        parityFlags = PARENB | CMSPAR | PARODD;
        break;
    case 'S':
    case 's':
        parityFlags = PARENB | CMSPAR;
        break;
    default:
        SetError(ErrWrongParameter);
        return;
    }
    termios t{};
    if (FSys->tcgetattr(fd, &t) != 0)
        return SetSysError(errno);
    MakeRaw(t);
    t.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= sizes[bits - 5] | parityFlags;
    if (stop == 2)
        t.c_cflag |= CSTOPB;
    t.c_iflag &= ~tcflag_t(INPCK | IGNPAR);
    if (parityFlags)
        t.c_iflag |= INPCK;
    if (softflow) {
        t.c_iflag |= IXON | IXOFF;
        t.c_cc[VSTART] = 17;
        t.c_cc[VSTOP] = 19;
    }
    if (hardflow)
        t.c_cflag |= CRTSCTS;
    speed_t speed = StandardSpeed(baud);
    if (speed) {
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
    }
    if (FSys->tcsetattr(fd, TCSANOW, &t) != 0)
        return SetSysError(errno);
    if (!speed) {
        KernelTermios2 t2{};
        if (FSys->ioctl(fd, kTCGETS2, &t2) != 0)
            return SetSysError(errno);
        t2.c_cflag &= ~tcflag_t(CBAUD);
        t2.c_cflag |= kBOTHER;
        t2.c_ispeed = t2.c_ospeed = speed_t(baud);
        if (FSys->ioctl(fd, kTCSETS2, &t2) != 0)
            return SetSysError(errno);
    }
    int lines = hardflow ? TIOCM_DTR : TIOCM_DTR | TIOCM_RTS;
    FSys->ioctl(fd, TIOCMBIS, &lines);
    FBaud = baud;
    FCharBits = 1 + bits + (parityFlags ? 1 : 0) + (stop == 2 ? 2 : 1);
}

void TBlockSerial::Purge() {
    ResetError();
    if (!CheckOpenForControl())
        return;
    ClearHeld();
    FReadPending = false;
    if (FSys->tcflush(FHandle.load(), TCIOFLUSH) != 0)
        SetSysError(errno);
}

bool TBlockSerial::WakeUpEndsWait(short revents) {
    if (!(revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)))
        return false;
    // Taken in any case, so that the next poll sleeps again: what the wake-up announced stays visible to
    // the owner's test.
    std::uint64_t count = 0;
    while (FSys->read(FWakeFd, &count, sizeof count) < 0 && errno == EINTR) {
    }
    FWokenUp = FEndsWait && FEndsWait();
    return FWokenUp;
}

int TBlockSerial::WaitReadable(int timeoutMs) {
    const int fd = FHandle.load();
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        pollfd p[2] = {{fd, POLLIN, 0}, {FWakeFd, POLLIN, 0}};
        int r = FSys->poll(p, FWakeFd >= 0 ? 2 : 1, RemainingMs(deadline));
        if (r < 0) {
            if (errno == EINTR)
                continue;
            SetSysError(errno);
            return -1;
        }
        if (r > 0 && p[0].revents == 0) {
            if (WakeUpEndsWait(p[1].revents))
                return 0;
            continue;
        }
        if (r == 0) {
            if (Clock::now() < deadline)
                continue; // an early wake-up is not the end of the wait
            return 0;
        }
        if (p[0].revents & POLLNVAL) {
            SetSysError(EBADF);
            return -1;
        }
        // POLLHUP and POLLERR count as readable: the read that follows reports what went wrong.
        return 1;
    }
}

bool TBlockSerial::SleepUnlessWoken(int ms) {
    pollfd p{FWakeFd, POLLIN, 0};
    if (FSys->poll(FWakeFd >= 0 ? &p : nullptr, FWakeFd >= 0 ? 1 : 0, ms) > 0)
        return WakeUpEndsWait(p.revents);
    return false;
}

long TBlockSerial::FillFromSystem(std::size_t maxHeld) {
    const int fd = FHandle.load();
    long total = 0;
    char chunk[4096];
    while (FLineBuffer.size() - FHeldFrom < maxHeld) {
        std::size_t want = std::min(sizeof chunk, maxHeld - (FLineBuffer.size() - FHeldFrom));
        ssize_t n = FSys->read(fd, chunk, want);
        if (n > 0) {
            FLineBuffer.append(chunk, std::size_t(n));
            total += n;
            continue;
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            SetSysError(errno);
            return -1;
        }
        // 0 bytes: with VMIN 1 this is the end of the line (hang-up), unless the poll says otherwise.
        pollfd p{fd, POLLIN, 0};
        if (FSys->poll(&p, 1, 0) >= 0 && !(p.revents & (POLLHUP | POLLERR)))
            break;
        if (total > 0)
            break; // deliver what came first; the next read reports the hang-up
        SetError(ErrNotRead);
        return -1;
    }
    return total;
}

long long TBlockSerial::WireMs(std::size_t bytes) const {
    if (FBaud <= 0)
        return -1;
    return (static_cast<long long>(bytes) * FCharBits * 1000 + FBaud - 1) / FBaud;
}

int TBlockSerial::WriteDeadlineMs(std::size_t bytes) const {
    const long long floor = FDeadlockTimeout.load();
    if (FBaud <= 0)
        return int(floor);
    // The time on the wire, a quarter more for gaps the driver and chip leave, and 100 ms for the USB round
    // trips around it.
    const long long wire = WireMs(bytes);
    const long long sized = wire + wire / 4 + 100;
    return int(std::min<long long>(std::max(floor, sized), INT_MAX));
}

void TBlockSerial::SendString(const std::string& data) {
    ResetError();
    FWokenUp = false;
    FLastWriteCount = 0;
    if (!CheckOpenForTransfer())
        return;
    const int fd = FHandle.load();
    serial_icounter_struct before{};
    const bool counters = FSys->ioctl(fd, TIOCGICOUNT, &before) == 0;
    auto deadline = Clock::now() + std::chrono::milliseconds(WriteDeadlineMs(data.size()));
    std::size_t& done = FLastWriteCount;
    // Error flags are read however the write ended: a framing error during a failed write stays visible.
    auto finish = [&] {
        serial_icounter_struct after{};
        if (counters && FSys->ioctl(fd, TIOCGICOUNT, &after) == 0) {
            // Only the code changes: the text stays that of the write itself.
            if (after.frame != before.frame)
                FLastError.store(ErrFrame);
            if (after.overrun != before.overrun)
                FLastError.store(ErrOverrun);
            if (after.buf_overrun != before.buf_overrun)
                FLastError.store(ErrRxOver);
            if (after.parity != before.parity)
                FLastError.store(ErrRxParity);
        }
        DoStatus(HR_WriteCount, std::to_string(done));
    };
    auto timedOut = [&] {
        FSys->tcflush(fd, TCOFLUSH);
        SetError(ErrTimeout);
        finish();
    };
    // A wake-up cuts the frame unless what is left of it ends within the grace: a short frame cut in the
    // middle is garbage for the device and has to go out again whole anyway.
    bool graced = false;
    auto mayFinish = [&] {
        int queued = 0;
        if (FSys->ioctl(fd, TIOCOUTQ, &queued) != 0 || queued < 0)
            queued = 0;
        const long long left = WireMs(data.size() - done + std::size_t(queued));
        if (FWakeUpGraceMs <= 0 || left < 0 || left > FWakeUpGraceMs)
            return false;
        graced = true;
        deadline = std::min(deadline, Clock::now() + std::chrono::milliseconds(FWakeUpGraceMs));
        return true;
    };
    while (done < data.size()) {
        ssize_t n = FSys->write(fd, data.data() + done, data.size() - done);
        if (n > 0) {
            done += std::size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            SetSysError(errno);
            return finish();
        }
        int left = RemainingMs(deadline);
        if (left <= 0)
            return timedOut();
        pollfd p[2] = {{fd, POLLOUT, 0}, {FWakeFd, POLLIN, 0}};
        int r = FSys->poll(p, FWakeFd >= 0 && !graced ? 2 : 1, left);
        if (r < 0 && errno != EINTR) {
            SetSysError(errno);
            return finish();
        }
        if (r > 0 && (p[0].revents & (POLLERR | POLLNVAL)) && !(p[0].revents & POLLOUT)) {
            SetSysError(EIO);
            return finish();
        }
        if (r > 0 && p[0].revents == 0 && WakeUpEndsWait(p[1].revents) && !mayFinish())
            return timedOut();
    }
    // Wait for the kernel's queue to empty; tcdrain cannot be bounded, so poll TIOCOUTQ.
    for (;;) {
        int queued = 0;
        if (FSys->ioctl(fd, TIOCOUTQ, &queued) != 0) {
            if (!Unsupported(errno)) {
                SetSysError(errno);
                return finish();
            }
            break;
        }
        if (queued <= 0)
            break;
        int left = RemainingMs(deadline);
        if (left <= 0)
            return timedOut();
        if (graced)
            FSys->poll(nullptr, 0, std::min(left, 2));
        else if (SleepUnlessWoken(std::min(left, 2)) && !mayFinish())
            return timedOut();
    }
    finish();
}

bool TBlockSerial::CanWrite(int timeoutMs) {
    ResetError();
    FWokenUp = false;
    if (!CheckOpenForControl())
        return false;
    const int fd = FHandle.load();
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        int queued = 0;
        if (FSys->ioctl(fd, TIOCOUTQ, &queued) != 0) {
            if (!Unsupported(errno)) {
                SetSysError(errno);
                return false;
            }
            queued = 0;
        }
        if (queued <= 0) {
            DoStatus(HR_CanWrite, "");
            return true;
        }
        int left = RemainingMs(deadline);
        if (left <= 0 || SleepUnlessWoken(std::min(left, 2)))
            return false;
    }
}

bool TBlockSerial::GetCommState() {
    ResetError();
    if (!CheckOpenForControl())
        return false;
    termios t{};
    if (FSys->tcgetattr(FHandle.load(), &t) != 0) {
        SetSysError(errno);
        return false;
    }
    return true;
}

int TBlockSerial::ModemStatus() {
    ResetError();
    if (!CheckOpenForControl())
        return 0;
    int status = 0;
    if (FSys->ioctl(FHandle.load(), TIOCMGET, &status) != 0) {
        if (Unsupported(errno))
            FHasModemLines = false;
        else
            SetSysError(errno);
        return 0; // a line without modem inputs reads as inactive
    }
    FHasModemLines = true;
    return status;
}

bool TBlockSerial::ModemBit(int bit) {
    return (ModemStatus() & bit) != 0;
}

bool TBlockSerial::CTS() {
    return ModemBit(TIOCM_CTS);
}
bool TBlockSerial::DSR() {
    return ModemBit(TIOCM_DSR);
}
bool TBlockSerial::Carrier() {
    return ModemBit(TIOCM_CAR);
}
bool TBlockSerial::Ring() {
    return ModemBit(TIOCM_RNG);
}

void TBlockSerial::SetModemBit(int bit, bool on) {
    // Held against CloseSocket so the descriptor cannot be closed and reused under this ioctl.
    std::lock_guard lock(FLock);
    const int fd = FHandle.load();
    if (fd < 0)
        return;
    FSys->ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bit);
}

void TBlockSerial::DTR(bool on) {
    SetModemBit(TIOCM_DTR, on);
}
void TBlockSerial::RTS(bool on) {
    SetModemBit(TIOCM_RTS, on);
}

void TBlockSerial::CloseSocket() {
    std::string device;
    {
        std::lock_guard lock(FLock);
        const int fd = FHandle.load();
        if (fd >= 0) {
            if (FNetwork)
                static_cast<TTelnetComPort*>(FNetwork.get())->SetClosing();
            FSys->tcflush(fd, TCIOFLUSH);
            int lines = TIOCM_DTR | TIOCM_RTS;
            FSys->ioctl(fd, TIOCMBIC, &lines);
            FSys->ioctl(fd, TIOCNXCL, nullptr);
            FSys->close(fd);
            FHandle.store(-1);
        }
        device = FDevice;
    }
    ClearHeld();
    FReadPending = false;
    FInstanceActive.store(false);
    ResetError();
    DoStatus(HR_SerialClose, device);
}
