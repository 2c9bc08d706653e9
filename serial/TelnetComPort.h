// The network backend of the serial line: a port named rfc2217://HOST:PORT (a device server that lets the
// client set the line and read the modem lines, Telnet COM-PORT-OPTION) or socket://HOST:PORT (a plain TCP
// stream) behaves, behind the line's system-call table, like a tty: open connects and negotiates, the
// termios settings and modem-line ioctls become the server's commands, reads and writes carry the data.
// Every other descriptor goes on to the table it wraps, so the line's waits (its wake-up descriptor too)
// work unchanged, and the socket itself stays the descriptor to poll.
#pragma once

#include "NetworkPortName.h"
#include "SerialSysCalls.h"
#include "TelnetCodec.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class TTelnetComPort : public TSerialSysCalls, private TTelnetCodec::Events {
public:
    explicit TTelnetComPort(TSerialSysCalls* base) : FBase(base) {}
    ~TTelnetComPort() override;

    // What may end the waits of open and of a settings change, as the line's own waits end: the
    // descriptor to watch and the line's test (which also takes the wake-up). fd -1: none.
    void SetWakeUp(int fd, std::function<bool(short revents)> endsWait) {
        FWakeFd = fd;
        FEndsWait = std::move(endsWait);
    }
    // The line is closing: its flush is not waited for, a server that stopped answering cannot hold it.
    void SetClosing() { FClosing = true; }
    // Bounds connecting, the negotiation and each wait for the server's answers.
    void SetAnswerTimeout(int ms) { FAnswerTimeoutMs = ms; }

    int open(const char* path, int flags) override;
    int close(int fd) override;
    int flock(int fd, int operation) override;
    int ioctl(int fd, unsigned long request, void* arg) override;
    ssize_t read(int fd, void* buf, std::size_t count) override;
    ssize_t write(int fd, const void* buf, std::size_t count) override;
    int poll(pollfd* fds, nfds_t nfds, int timeoutMs) override;
    int tcgetattr(int fd, termios* t) override;
    int tcsetattr(int fd, int actions, const termios* t) override;
    int tcflush(int fd, int queue) override;

private:
    using Clock = std::chrono::steady_clock;
    enum OptState : std::uint8_t { No, Yes, WantYes, WantNo };
    struct Framing {
        std::uint32_t baud = 0;
        int bits = 0, parity = 0, stop = 0; // the server's codes
    };

    bool Mine(int fd) const { return fd >= 0 && fd == FSock; }
    int Fail(int err);
    int ConnectTo(const TNetworkPortName& name, Clock::time_point deadline);
    int Negotiate(Clock::time_point deadline);
    // Waits for the socket (events) or the deadline: 1 ready, 0 time-out, -1 failed or stopped (errno).
    int WaitSocket(int fd, short events, Clock::time_point deadline);
    bool Gone() const { return FDead || FSendFailed.load(); }
    // One non-blocking receive from the socket.
    ssize_t Receive(void* buf, std::size_t count);
    // Takes everything the socket holds without waiting. False once the connection is gone.
    bool Pump();
    bool PendingEmpty() const { return FPendingFrom >= FPending.size(); }
    // Queues bytes for the server and sends what the socket takes now. Any thread.
    void Send(std::string_view bytes, bool flush = true);
    void Flush();
    void FlushLocked();
    void SendComPort(unsigned char command, std::string_view value);
    static Framing FramingOf(tcflag_t cflag, std::uint32_t baud);
    int ApplyFraming(const Framing& want);
    void Option(unsigned char verb, unsigned char option) override;
    void SubNegotiation(unsigned char option, std::string_view payload) override;

    TSerialSysCalls* FBase;
    int FSock = -1;
    bool FTelnet = false;
    bool FDead = false;                   // the owner's reads found the end
    std::atomic<bool> FSendFailed{false}; // a send found it, on any thread
    int FWakeFd = -1;
    std::function<bool(short)> FEndsWait;
    int FAnswerTimeoutMs = 5000;
    TTelnetCodec FCodec;
    // Data taken off the socket while waiting for an answer or asked for the modem lines, read first.
    std::string FPending;
    std::size_t FPendingFrom = 0;
    std::vector<char> FRaw;
    std::string FScratch;
    std::mutex FSendLock; // FOut and the socket's sending side: DTR and RTS come from other threads
    std::string FOut;
    OptState FLocal[256] = {};
    OptState FRemote[256] = {};
    bool FComPortRefused = false;
    // The server's answers (command + 100) by command, each with a count telling a new one from the last.
    std::uint32_t FAnswer[13] = {};
    unsigned FAnswerCount[13] = {};
    int FModem = 0;             // TIOCM_ bits of the inputs, from the server's notifications
    std::atomic<int> FLines{0}; // TIOCM_DTR / TIOCM_RTS as last asked for
    unsigned FFrames = 0, FParities = 0, FOverruns = 0, FBreaks = 0;
    termios FTermios{};
    Framing FConfirmed;
    int FFlowSent = -1;
    bool FClosing = false;
    Clock::time_point FLastModemPump{};
    bool FPurgeAwaited = false; // Pump decodes into FPending meanwhile
};
