#include "TelnetComPort.h"

#include "BlockSerial.h"
#include "KernelTermios2.h"

#include <algorithm>
#include <asm/ioctls.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>

using namespace telnet;

namespace {

// COM-PORT-OPTION commands; the server answers each with the same number plus 100.
enum : unsigned char {
    CpSetBaud = 1,
    CpSetDataSize = 2,
    CpSetParity = 3,
    CpSetStopSize = 4,
    CpSetControl = 5,
    CpNotifyLineState = 6,
    CpNotifyModemState = 7,
    CpSetLineStateMask = 10,
    CpSetModemStateMask = 11,
    CpPurge = 12,
};

// Bounds what waits for the owner's reads while the socket is read for answers or modem lines.
constexpr std::size_t MaxPending = 4 * 1024 * 1024;
// Bounds the bytes queued for a server that stops taking them: data, and data with commands after it.
constexpr std::size_t MaxQueued = 64 * 1024;
constexpr std::size_t MaxCommandsQueued = 4 * MaxQueued;

struct SpeedValue {
    speed_t code;
    std::uint32_t baud;
};
constexpr SpeedValue Speeds[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},         {B150, 150},
    {B200, 200},         {B300, 300},         {B600, 600},         {B1200, 1200},       {B1800, 1800},
    {B2400, 2400},       {B4800, 4800},       {B9600, 9600},       {B19200, 19200},     {B38400, 38400},
    {B57600, 57600},     {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000},
    {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
};

std::uint32_t BaudOf(speed_t code) {
    for (const SpeedValue& s : Speeds)
        if (s.code == code)
            return s.baud;
    return 0;
}

// A host name lookup that the caller may walk away from: the thread finishes it and frees it alone.
struct Lookup {
    std::mutex lock;
    addrinfo* result = nullptr;
    int rc = EAI_AGAIN;
    int doneFd = -1;
    ~Lookup() {
        if (result)
            freeaddrinfo(result);
        if (doneFd >= 0)
            ::close(doneFd);
    }
};

} // namespace

TTelnetComPort::~TTelnetComPort() {
    if (FSock >= 0)
        close(FSock);
}

int TTelnetComPort::Fail(int err) {
    errno = err;
    return -1;
}

int TTelnetComPort::WaitSocket(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return 0;
        pollfd p[2] = {{fd, events, 0}, {FWakeFd, POLLIN, 0}};
        const int r = FBase->poll(p, FWakeFd >= 0 ? 2 : 1, int(std::min<long long>(left, 1000)));
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (r > 0 && p[0].revents)
            return 1;
        if (r > 0 && FEndsWait && FEndsWait(p[1].revents))
            return Fail(ErrNetStopped);
    }
}

int TTelnetComPort::ConnectTo(const TNetworkPortName& name, Clock::time_point deadline) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    std::shared_ptr<Lookup> lookup;
    if (getaddrinfo(name.host.c_str(), name.port.c_str(), &hints, &found) != 0) {
        // A name: looked up on a thread of its own, so that a stop need not wait for the resolver.
        lookup = std::make_shared<Lookup>();
        lookup->doneFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (lookup->doneFd < 0)
            return -1;
        hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
        std::thread([lookup, hints, host = name.host, port = name.port] {
            addrinfo* result = nullptr;
            const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &result);
            std::lock_guard lock(lookup->lock);
            lookup->result = result;
            lookup->rc = rc;
            const std::uint64_t one = 1;
            [[maybe_unused]] auto n = ::write(lookup->doneFd, &one, sizeof one);
        }).detach();
        const int r = WaitSocket(lookup->doneFd, POLLIN, deadline);
        if (r < 0)
            return -1;
        std::lock_guard lock(lookup->lock);
        if (r == 0)
            return Fail(ETIMEDOUT);
        if (lookup->rc != 0 || !lookup->result)
            return Fail(ErrNetUnknownHost);
        found = std::exchange(lookup->result, nullptr);
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, freeaddrinfo);
    int err = ECONNREFUSED;
    for (addrinfo* a = found; a; a = a->ai_next) {
        const int s = ::socket(a->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (s < 0) {
            err = errno;
            continue;
        }
        int r = ::connect(s, a->ai_addr, a->ai_addrlen);
        if (r != 0 && errno == EINPROGRESS) {
            r = WaitSocket(s, POLLOUT, deadline);
            if (r < 0) {
                err = errno;
                ::close(s);
                return Fail(err);
            }
            if (r == 0) {
                ::close(s);
                return Fail(ETIMEDOUT);
            }
            int soError = 0;
            socklen_t len = sizeof soError;
            ::getsockopt(s, SOL_SOCKET, SO_ERROR, &soError, &len);
            r = soError == 0 ? 0 : -1;
            errno = soError;
        }
        if (r != 0) {
            err = errno;
            ::close(s);
            continue;
        }
        // Lines are short and each one is waited for.
        const int one = 1;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return s;
    }
    return Fail(err);
}

int TTelnetComPort::open(const char* path, int flags) {
    if (!IsNetworkPortName(path))
        return FBase->open(path, flags);
    if (FSock >= 0)
        return Fail(EBUSY);
    TNetworkPortName name;
    if (!ParseNetworkPortName(path, name))
        return Fail(ErrNetBadName);
    const auto deadline = Clock::now() + std::chrono::milliseconds(FAnswerTimeoutMs);
    const int s = ConnectTo(name, deadline);
    if (s < 0)
        return -1;
    {
        std::lock_guard lock(FSendLock);
        FSock = s;
    }
    FTelnet = name.comPortOption;
    FTermios = termios{};
    FTermios.c_cflag = CS8 | CREAD | CLOCAL; // rate B0: not set yet
    if (FTelnet && Negotiate(deadline) != 0) {
        const int err = errno;
        close(FSock);
        return Fail(err);
    }
    return FSock;
}

int TTelnetComPort::Negotiate(Clock::time_point deadline) {
    FLocal[OptBinary] = FLocal[OptComPort] = FRemote[OptBinary] = WantYes;
    Send(TTelnetCodec::Command(WILL, OptComPort) + TTelnetCodec::Command(WILL, OptBinary) +
         TTelnetCodec::Command(DO, OptBinary));
    for (;;) {
        const bool alive = Pump();
        if (FLocal[OptComPort] == Yes)
            break;
        if (FComPortRefused)
            return Fail(ErrNetNoComPortOption);
        if (!alive)
            return Fail(ECONNRESET);
        const int r = WaitSocket(FSock, POLLIN, deadline);
        if (r < 0)
            return -1;
        if (r == 0)
            return Fail(ErrNetNoComPortOption); // silent, or not a Telnet server at all
    }
    // Every modem input and its changes; the line errors for the error counters.
    SendComPort(CpSetModemStateMask, std::string(1, char(0xFF)));
    SendComPort(CpSetLineStateMask, std::string(1, char(0x1E)));
    return 0;
}

void TTelnetComPort::Option(unsigned char verb, unsigned char option) {
    // Answers go out together after the piece that asked for them.
    const bool offer = option == OptBinary || option == OptSga || option == OptComPort;
    const bool accept = option == OptBinary || option == OptSga;
    OptState& local = FLocal[option];
    OptState& remote = FRemote[option];
    switch (verb) {
    case DO:
        if (local == No) {
            if (offer)
                local = Yes;
            Send(TTelnetCodec::Command(offer ? WILL : WONT, option), false);
        } else if (local != Yes) {
            local = local == WantYes ? Yes : No;
        }
        break;
    case DONT:
        if (local == Yes)
            Send(TTelnetCodec::Command(WONT, option), false);
        if (option == OptComPort && local != No)
            FComPortRefused = true;
        local = No;
        break;
    case WILL:
        if (remote == No) {
            if (accept)
                remote = Yes;
            Send(TTelnetCodec::Command(accept ? DO : DONT, option), false);
        } else if (remote != Yes) {
            remote = remote == WantYes ? Yes : No;
        }
        break;
    case WONT:
        if (remote == Yes)
            Send(TTelnetCodec::Command(DONT, option), false);
        remote = No;
        break;
    default:
        break;
    }
}

void TTelnetComPort::SubNegotiation(unsigned char option, std::string_view payload) {
    if (option != OptComPort || payload.size() < 2)
        return;
    const auto command = static_cast<unsigned char>(payload[0]);
    if (command < 100 || command > 112)
        return; // the server's own requests to a client: nothing a client must answer
    const unsigned index = command - 100;
    std::uint32_t value = static_cast<unsigned char>(payload[1]);
    if (index == CpSetBaud) {
        if (payload.size() < 5)
            return;
        value = 0;
        for (int i = 1; i <= 4; ++i)
            value = value << 8 | static_cast<unsigned char>(payload[std::size_t(i)]);
    }
    FAnswer[index] = value;
    ++FAnswerCount[index];
    if (index == CpPurge && FPurgeAwaited) {
        // The data before the answer left the server before its purge.
        FPending.clear();
        FPendingFrom = 0;
        FPurgeAwaited = false;
    }
    if (index == CpNotifyModemState) {
        FModem = (value & 0x80 ? TIOCM_CAR : 0) | (value & 0x40 ? TIOCM_RNG : 0) |
                 (value & 0x20 ? TIOCM_DSR : 0) | (value & 0x10 ? TIOCM_CTS : 0);
    } else if (index == CpNotifyLineState) {
        FBreaks += (value & 0x10) ? 1 : 0;
        FFrames += (value & 0x08) ? 1 : 0;
        FParities += (value & 0x04) ? 1 : 0;
        FOverruns += (value & 0x02) ? 1 : 0;
    }
}

ssize_t TTelnetComPort::Receive(void* buf, std::size_t count) {
    const ssize_t n = ::recv(FSock, buf, count, MSG_DONTWAIT);
    // Acknowledged at once, not with our next send: a server that holds small segments until the last is
    // acknowledged (Nagle) would otherwise keep each further piece of a line back for the delayed
    // acknowledgement, tens of milliseconds after every command we sent. The kernel drops back into
    // delaying by itself, so this is said again on every read that drained the socket (a full buffer
    // means more is waiting and the next read will say it: a flood pays no extra call per read).
    if (n > 0 && std::size_t(n) < count) {
        const int one = 1;
        ::setsockopt(FSock, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    }
    return n;
}

bool TTelnetComPort::Pump() {
    if (FDead)
        return false;
    char raw[16384];
    // Bounded in raw bytes too: a server that talks without end must not keep the caller here.
    std::size_t taken = 0;
    while (FPending.size() - FPendingFrom < MaxPending && taken < MaxPending && !Gone()) {
        const ssize_t n = Receive(raw, sizeof raw);
        if (n > 0) {
            taken += std::size_t(n);
            if (PendingEmpty()) {
                FPending.clear();
                FPendingFrom = 0;
            }
            if (FTelnet)
                FCodec.Decode(raw, std::size_t(n), FPending, *this);
            else
                FPending.append(raw, std::size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        FDead = true;
        return false;
    }
    Flush();
    return !Gone();
}

void TTelnetComPort::FlushLocked() {
    std::size_t sent = 0;
    while (sent < FOut.size()) {
        const ssize_t n = ::send(FSock, FOut.data() + sent, FOut.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += std::size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        FSendFailed.store(true);
        FOut.clear();
        return;
    }
    FOut.erase(0, sent);
}

void TTelnetComPort::Send(std::string_view bytes, bool flush) {
    std::lock_guard lock(FSendLock);
    if (FSock < 0 || FSendFailed.load())
        return;
    if (FOut.size() + bytes.size() > MaxCommandsQueued) {
        // Answers to a server that talks without ever reading: it is no server to stay with.
        FSendFailed.store(true);
        FOut.clear();
        return;
    }
    FOut.append(bytes);
    if (flush)
        FlushLocked();
}

void TTelnetComPort::Flush() {
    std::lock_guard lock(FSendLock);
    if (FSock >= 0 && !FOut.empty())
        FlushLocked();
}

void TTelnetComPort::SendComPort(unsigned char command, std::string_view value) {
    std::string payload(1, char(command));
    payload.append(value);
    Send(TTelnetCodec::SubNegotiation(OptComPort, payload));
}

int TTelnetComPort::close(int fd) {
    if (!Mine(fd))
        return FBase->close(fd);
    {
        std::lock_guard lock(FSendLock);
        FlushLocked(); // the last DTR and RTS changes, if the socket takes them now
        FOut.clear();
        FSock = -1;
    }
    FTelnet = false;
    FDead = false;
    FSendFailed.store(false);
    FCodec.Reset();
    FPending.clear();
    FPendingFrom = 0;
    std::fill(std::begin(FLocal), std::end(FLocal), No);
    std::fill(std::begin(FRemote), std::end(FRemote), No);
    FComPortRefused = false;
    std::fill(std::begin(FAnswer), std::end(FAnswer), 0u);
    std::fill(std::begin(FAnswerCount), std::end(FAnswerCount), 0u);
    FModem = 0;
    FLines.store(0);
    FFrames = FParities = FOverruns = FBreaks = 0;
    FConfirmed = Framing{};
    FFlowSent = -1;
    FClosing = false;
    return FBase->close(fd);
}

int TTelnetComPort::flock(int fd, int operation) {
    // A server takes one client at a time by itself; there is no local file to lock.
    return Mine(fd) ? 0 : FBase->flock(fd, operation);
}

ssize_t TTelnetComPort::read(int fd, void* buf, std::size_t count) {
    if (!Mine(fd))
        return FBase->read(fd, buf, count);
    if (!PendingEmpty()) {
        const std::size_t n = std::min(count, FPending.size() - FPendingFrom);
        std::memcpy(buf, FPending.data() + FPendingFrom, n);
        FPendingFrom += n;
        return ssize_t(n);
    }
    if (Gone())
        return Fail(EIO);
    if (count == 0)
        return 0;
    // Never more raw bytes than the caller takes: what they decode to always fits, nothing stays behind
    // where a poll of the socket cannot see it.
    FRaw.resize(std::max(FRaw.size(), count));
    for (int pieces = 0; pieces < 64 && !Gone(); ++pieces) {
        const ssize_t n = Receive(FTelnet ? FRaw.data() : static_cast<char*>(buf), count);
        if (n > 0) {
            if (!FTelnet)
                return n;
            FScratch.clear();
            FCodec.Decode(FRaw.data(), std::size_t(n), FScratch, *this);
            Flush();
            if (FScratch.empty())
                continue; // option talk only: see whether data follows
            std::memcpy(buf, FScratch.data(), FScratch.size());
            return ssize_t(FScratch.size());
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return -1;
        // Closed or reset by the server: as an unplugged adapter reports it.
        FDead = true;
        return Fail(EIO);
    }
    // Only option talk so far, or the connection found gone while answering it.
    return Fail(Gone() ? EIO : EAGAIN);
}

ssize_t TTelnetComPort::write(int fd, const void* buf, std::size_t count) {
    if (!Mine(fd))
        return FBase->write(fd, buf, count);
    if (Gone())
        return Fail(EIO);
    std::lock_guard lock(FSendLock);
    FlushLocked();
    if (FSendFailed.load())
        return Fail(EIO);
    if (FOut.size() >= MaxQueued)
        return Fail(EAGAIN);
    count = std::min(count, MaxQueued);
    if (FTelnet)
        TTelnetCodec::EscapeData(static_cast<const char*>(buf), count, FOut);
    else
        FOut.append(static_cast<const char*>(buf), count);
    FlushLocked();
    return ssize_t(count);
}

int TTelnetComPort::poll(pollfd* fds, nfds_t nfds, int timeoutMs) {
    bool ready = false;
    for (nfds_t i = 0; i < nfds; ++i) {
        if (!Mine(fds[i].fd))
            continue;
        {
            std::lock_guard lock(FSendLock);
            FlushLocked();
        }
        if ((fds[i].events & POLLIN) && (!PendingEmpty() || Gone()))
            ready = true;
    }
    int r = FBase->poll(fds, nfds, ready ? 0 : timeoutMs);
    if (r < 0 || !ready)
        return r;
    for (nfds_t i = 0; i < nfds; ++i) {
        if (Mine(fds[i].fd) && (fds[i].events & POLLIN)) {
            if (fds[i].revents == 0)
                ++r;
            fds[i].revents |= POLLIN;
        }
    }
    return r;
}

int TTelnetComPort::tcgetattr(int fd, termios* t) {
    if (!Mine(fd))
        return FBase->tcgetattr(fd, t);
    Pump();
    // Reported once the owner has read what came before the end.
    if (Gone() && PendingEmpty())
        return Fail(EIO);
    *t = FTermios;
    return 0;
}

int TTelnetComPort::tcsetattr(int fd, int actions, const termios* t) {
    if (!Mine(fd))
        return FBase->tcsetattr(fd, actions, t);
    if (Gone() && PendingEmpty())
        return Fail(EIO);
    FTermios = *t;
    if (!FTelnet)
        return 0;
    const speed_t code = cfgetospeed(t);
    if (code == B0)
        return 0; // the open's raw mode: the rate and framing come with the first real setting
    const Framing want = FramingOf(t->c_cflag, BaudOf(code));
    if (want.baud == 0)
        return Fail(EINVAL);
    const int flow = (t->c_cflag & CRTSCTS) ? 3 : (t->c_iflag & IXON) ? 2 : 1;
    if (flow != FFlowSent) {
        FFlowSent = flow;
        SendComPort(CpSetControl, std::string(1, char(flow)));
    }
    return ApplyFraming(want);
}

TTelnetComPort::Framing TTelnetComPort::FramingOf(tcflag_t cflag, std::uint32_t baud) {
    Framing f;
    f.baud = baud;
    const tcflag_t size = cflag & CSIZE;
    f.bits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
    if (!(cflag & PARENB))
        f.parity = 1;
    else if (cflag & CMSPAR)
        f.parity = (cflag & PARODD) ? 4 : 5;
    else
        f.parity = (cflag & PARODD) ? 2 : 3;
    f.stop = (cflag & CSTOPB) ? 2 : 1;
    return f;
}

int TTelnetComPort::ApplyFraming(const Framing& want) {
    struct Field {
        unsigned char command;
        std::uint32_t wanted;
        std::uint32_t confirmed;
    };
    const Field fields[] = {
        {CpSetBaud, want.baud, FConfirmed.baud},
        {CpSetDataSize, std::uint32_t(want.bits), std::uint32_t(FConfirmed.bits)},
        {CpSetParity, std::uint32_t(want.parity), std::uint32_t(FConfirmed.parity)},
        {CpSetStopSize, std::uint32_t(want.stop), std::uint32_t(FConfirmed.stop)},
    };
    unsigned before[5] = {};
    bool asked[5] = {};
    for (const Field& f : fields) {
        if (f.wanted == f.confirmed)
            continue;
        asked[f.command] = true;
        before[f.command] = FAnswerCount[f.command];
        std::string value;
        if (f.command == CpSetBaud)
            value = {char(f.wanted >> 24), char(f.wanted >> 16), char(f.wanted >> 8), char(f.wanted)};
        else
            value = std::string(1, char(f.wanted));
        SendComPort(f.command, value);
    }
    const auto answered = [&] {
        for (int c = 1; c <= 4; ++c)
            if (asked[c] && FAnswerCount[c] == before[c])
                return false;
        return true;
    };
    const auto deadline = Clock::now() + std::chrono::milliseconds(FAnswerTimeoutMs);
    for (;;) {
        const bool alive = Pump();
        if (answered())
            break;
        if (!alive)
            return Fail(EIO);
        const int r = WaitSocket(FSock, POLLIN, deadline);
        if (r < 0)
            return -1;
        if (r == 0)
            return Fail(ErrNetSettingRefused);
    }
    // The server says what it applied, which need not be what was asked.
    bool refused = false;
    const auto check = [&](unsigned char command, std::uint32_t wanted, auto& confirmed) {
        if (!asked[command])
            return;
        if (FAnswer[command] == wanted)
            confirmed = static_cast<std::remove_reference_t<decltype(confirmed)>>(wanted);
        else
            refused = true;
    };
    check(CpSetBaud, want.baud, FConfirmed.baud);
    check(CpSetDataSize, std::uint32_t(want.bits), FConfirmed.bits);
    check(CpSetParity, std::uint32_t(want.parity), FConfirmed.parity);
    check(CpSetStopSize, std::uint32_t(want.stop), FConfirmed.stop);
    return refused ? Fail(ErrNetSettingRefused) : 0;
}

int TTelnetComPort::tcflush(int fd, int queue) {
    if (!Mine(fd)) {
        FClosing = false;
        return FBase->tcflush(fd, queue);
    }
    if (queue != TCOFLUSH) {
        Pump();
        FPending.clear();
        FPendingFrom = 0;
    }
    if (!FTelnet)
        return 0;
    const unsigned before = FAnswerCount[CpPurge];
    SendComPort(CpPurge, std::string(1, char(queue == TCIFLUSH ? 1 : queue == TCOFLUSH ? 2 : 3)));
    if (queue == TCOFLUSH || std::exchange(FClosing, false))
        return 0;
    // An input purge is waited for as a tty's flush is: what the device sends after it must not fall to
    // it on the server. A server that never answers purges only costs this wait.
    const auto deadline = Clock::now() + std::chrono::milliseconds(FAnswerTimeoutMs);
    FPurgeAwaited = true;
    int result = 0;
    while (Pump() && FAnswerCount[CpPurge] == before) {
        const int r = WaitSocket(FSock, POLLIN, deadline);
        if (r < 0)
            result = -1;
        if (r <= 0)
            break;
    }
    FPurgeAwaited = false;
    return result;
}

int TTelnetComPort::ioctl(int fd, unsigned long request, void* arg) {
    if (!Mine(fd))
        return FBase->ioctl(fd, request, arg);
    switch (request) {
    case TIOCEXCL:
    case TIOCNXCL:
        return 0;
    case TIOCOUTQ: {
        if (Gone())
            return Fail(EIO);
        std::lock_guard lock(FSendLock);
        FlushLocked();
        *static_cast<int*>(arg) = int(FOut.size());
        return 0;
    }
    case kTCGETS2: {
        KernelTermios2 t2{};
        t2.c_iflag = FTermios.c_iflag;
        t2.c_oflag = FTermios.c_oflag;
        t2.c_cflag = FTermios.c_cflag;
        t2.c_lflag = FTermios.c_lflag;
        t2.c_ispeed = t2.c_ospeed = FConfirmed.baud;
        *static_cast<KernelTermios2*>(arg) = t2;
        return 0;
    }
    default:
        break;
    }
    if (!FTelnet)
        return Fail(ENOTTY); // a raw stream has no line to set and no modem lines
    switch (request) {
    case TIOCMGET: {
        // The owner's reads keep the state current; a caller that only asks still sees it move, but a
        // worker asking after every line of a flood must not pay a system call for each.
        const auto now = Clock::now();
        if (now - FLastModemPump >= std::chrono::milliseconds(1)) {
            FLastModemPump = now;
            Pump();
        }
        if (Gone() && PendingEmpty())
            return Fail(EIO);
        *static_cast<int*>(arg) = FModem | FLines.load();
        return 0;
    }
    case TIOCMBIS:
    case TIOCMBIC: {
        const int bits = *static_cast<int*>(arg);
        const bool on = request == TIOCMBIS;
        if (bits & TIOCM_DTR)
            SendComPort(CpSetControl, std::string(1, char(on ? 8 : 9)));
        if (bits & TIOCM_RTS)
            SendComPort(CpSetControl, std::string(1, char(on ? 11 : 12)));
        const int lines = bits & (TIOCM_DTR | TIOCM_RTS);
        if (on)
            FLines.fetch_or(lines);
        else
            FLines.fetch_and(~lines);
        return 0;
    }
    case TIOCGICOUNT: {
        Pump();
        serial_icounter_struct counts{};
        counts.frame = int(FFrames);
        counts.parity = int(FParities);
        counts.overrun = int(FOverruns);
        counts.brk = int(FBreaks);
        *static_cast<serial_icounter_struct*>(arg) = counts;
        return 0;
    }
    case kTCSETS2: {
        const auto* t2 = static_cast<const KernelTermios2*>(arg);
        return ApplyFraming(FramingOf(t2->c_cflag, t2->c_ospeed));
    }
    default:
        return Fail(ENOTTY);
    }
}
