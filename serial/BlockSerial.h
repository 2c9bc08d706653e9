// The blocking serial line: opens a port by name, configures it, reads and writes byte strings with
// time-outs and drives the modem lines. Every failure is recorded as a code and a text, never raised.
// Platform work lives in BlockSerial_posix.cpp behind TSerialSysCalls.
#pragma once

#include "SerialSysCalls.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

// The line's own error codes; codes below 9991 are the system's (errno) with its strerror text.
inline constexpr int ErrAlreadyOwned = 9991;
inline constexpr int ErrAlreadyInUse = 9992;
inline constexpr int ErrWrongParameter = 9993;
inline constexpr int ErrPortNotOpen = 9994;
inline constexpr int ErrNoDeviceAnswer = 9995;
inline constexpr int ErrMaxBuffer = 9996;
inline constexpr int ErrTimeout = 9997;
inline constexpr int ErrNotRead = 9998;
inline constexpr int ErrFrame = 9999;
inline constexpr int ErrOverrun = 10000;
inline constexpr int ErrRxOver = 10001;
inline constexpr int ErrRxParity = 10002;
inline constexpr int ErrTxFull = 10003;
// A network port's (rfc2217:// or socket://).
inline constexpr int ErrNetBadName = 10004;
inline constexpr int ErrNetUnknownHost = 10005;
inline constexpr int ErrNetNoComPortOption = 10006;
inline constexpr int ErrNetSettingRefused = 10007;
inline constexpr int ErrNetStopped = 10008;

// A terminated read that never meets its terminator returns what it collected once this many bytes are
// held, so a device streaming without line ends cannot grow memory without bound.
inline constexpr int DefaultMaxLineLength = 64 * 1024;

enum THookSerialReason {
    HR_SerialClose,
    HR_Connect,
    HR_CanRead,
    HR_CanWrite,
    HR_ReadCount,
    HR_WriteCount,
    HR_Wait
};

class TBlockSerial;
// Runs on the thread that made the call that triggers it.
using THookSerialStatus =
    std::function<void(TBlockSerial* Sender, THookSerialReason Reason, const std::string& Value)>;

class TBlockSerial {
public:
    // sys: the system-call table to use; null means the real system. Not owned.
    explicit TBlockSerial(TSerialSysCalls* sys = nullptr);
    ~TBlockSerial();
    TBlockSerial(const TBlockSerial&) = delete;
    TBlockSerial& operator=(const TBlockSerial&) = delete;

    // Bare names open under /dev/, names with a leading '/' as given, rfc2217://HOST:PORT and
    // socket://HOST:PORT through the network backend.
    void Connect(const std::string& comport);
    // parity: 'N','O','E','M','S' (either case); stop: 0 one, 1 one and a half (refused here), 2 two.
    void Config(int baud, int bits, char parity, int stop, bool softflow, bool hardflow);
    void Purge();
    bool CanReadEx(int timeoutMs);
    bool CanRead(int timeoutMs);
    // The bytes before the first terminator (dropped); what follows stays held. Time-out (no byte for
    // timeoutMs): empty, 9997, all collected bytes held. MaxLineLength bytes without a terminator: those
    // bytes, 9996. A vanished device: empty, 9998 or the system's code, never 9997.
    std::string RecvTerminated(int timeoutMs, const std::string& terminator);
    // RecvTerminated that also gives up after maxWaitMs (or when a wake-up ends the wait) while the line is
    // still coming in: then it returns empty with LastError 0 and pending true, the bytes held, and the next
    // call goes on with the same inter-byte wait. A line that trickles in for ever therefore never holds the
    // caller longer than maxWaitMs, and one that ends is read exactly as RecvTerminated would read it.
    std::string RecvTerminatedPart(int timeoutMs, const std::string& terminator, int maxWaitMs,
                                   bool& pending);
    // Moves the bytes the system already has into the held bytes, without waiting. The count, or -1 with
    // LastError set when the port failed or hung up.
    long TakeWaiting();
    // Held bytes, else what the system has, else what arrives first within timeoutMs (9997 if nothing).
    std::string RecvPacket(int timeoutMs);
    // Waits for the bytes to leave at most DeadlockTimeout, or the time the frame needs at the configured
    // rate with a margin when that is longer (9997, output flushed). Line errors seen during the write,
    // also one that failed, then set LastError 9999..10002 only, the text staying the write's own.
    void SendString(const std::string& data);
    // Bytes the last SendString handed to the system.
    std::size_t LastWriteCount() const { return FLastWriteCount; }
    // The longest a write of this many bytes may take.
    int WriteDeadlineMs(std::size_t bytes) const;
    // Whether the output queue emptied within timeoutMs; running out is no error.
    bool CanWrite(int timeoutMs);
    // Health probe: true and LastError 0 while the port is usable.
    bool GetCommState();
    bool CTS();
    bool DSR();
    bool Carrier();
    bool Ring();
    // All four inputs from one query, as TIOCM_CTS, TIOCM_DSR, TIOCM_CAR and TIOCM_RNG bits; 0 on a line
    // without modem inputs.
    int ModemStatus();
    // False once a query found that the open line has no modem inputs (a pseudo-terminal).
    bool HasModemLines() const { return FHasModemLines; }

    // A descriptor another thread makes readable (an eventfd) to cut the line's waits short, and the test
    // that decides whether a wake-up ends the wait. The wait takes the wake-up either way; when the test
    // says no, it goes on. A wait ended so: CanRead false, a partial read pending, a write aborted with 9997.
    // WokenUp() tells the last operation's wait apart from a time-out. fd -1: no wake-ups.
    void SetWakeUp(int fd, std::function<bool()> endsWait);
    // What ends a network port's connecting and negotiating (a stop; a queued send can wait for the port).
    // Unset: the wake-up's test.
    void SetOpenEnds(std::function<bool()> ends) { FOpenEnds = std::move(ends); }
    bool WokenUp() const { return FWokenUp; }
    // A write woken up with no more than this left on the wire at the configured rate is not cut: it goes
    // on, without further wake-ups, to its end (WokenUp() stays true). 0: every woken write is cut.
    void SetWakeUpGraceMs(int ms) { FWakeUpGraceMs = ms; }
    // Safe from another thread while the owner waits in a read or write. Leave LastError alone.
    void DTR(bool on);
    void RTS(bool on);
    void CloseSocket();

    int LastError() const { return FLastError.load(); }
    std::string LastErrorDesc() const;
    // Text for any code: the line's own table, "OK" for 0, strerror below 9991.
    static std::string GetErrorDesc(int code);

    std::string Device() const;
    bool InstanceActive() const { return FInstanceActive.load(); }
    int Handle() const { return FHandle.load(); }
    std::string_view LineBuffer() const { return std::string_view(FLineBuffer).substr(FHeldFrom); }

    int DeadlockTimeout() const { return FDeadlockTimeout.load(); }
    void SetDeadlockTimeout(int ms) { FDeadlockTimeout.store(ms); }
    int SizeRecvBuffer() const { return FSizeRecvBuffer.load(); }
    void SetSizeRecvBuffer(int bytes) { FSizeRecvBuffer.store(bytes); }
    bool InterPacketTimeout() const { return FInterPacketTimeout; }
    void SetInterPacketTimeout(bool on) { FInterPacketTimeout = on; }
    // Values <= 0 or above DefaultMaxLineLength mean DefaultMaxLineLength: a terminated read is always
    // bounded.
    int MaxLineLength() const { return FMaxLineLength; }
    void SetMaxLineLength(int bytes) { FMaxLineLength = bytes; }
    bool RaiseExcept() const { return false; }

    THookSerialStatus OnStatus;

private:
    void SetError(int code);
    void SetSysError(int err);
    // Every read calls it: skipped when there is nothing to reset (LastError 0 always has the text "OK").
    void ResetError() {
        if (FLastError.load() != 0)
            SetError(0);
    }
    void DoStatus(THookSerialReason reason, const std::string& value);
    bool CheckOpenForTransfer();
    bool CheckOpenForControl();
    // Moves what the system already holds into FLineBuffer, up to maxHeld bytes held. Returns the count
    // moved, or -1 with the error set on a failure or a hang-up (a vanished device is never "no data").
    long FillFromSystem(std::size_t maxHeld);
    // Waits until readable or the deadline; returns 1 readable, 0 time-out or woken up, -1 error (set).
    int WaitReadable(int timeoutMs);
    // Sleeps up to ms; true when a wake-up ended the sleep.
    bool SleepUnlessWoken(int ms);
    // Whether the wake-up descriptor fired and ends the wait; takes a wake-up that does not.
    bool WakeUpEndsWait(short revents);
    bool ModemBit(int bit);
    bool HeldEmpty() const { return FHeldFrom == FLineBuffer.size(); }
    // The most a terminated read collects before it gives up on the terminator.
    std::size_t LineBound() const {
        return std::size_t(FMaxLineLength <= 0 || FMaxLineLength > DefaultMaxLineLength ? DefaultMaxLineLength
                                                                                        : FMaxLineLength);
    }
    void TakeHeld(std::size_t n);
    void ClearHeld();
    void SetModemBit(int bit, bool on);
    // Time on the wire for this many bytes at the configured rate, rounded up; -1 when the rate is unknown.
    long long WireMs(std::size_t bytes) const;
    // Puts the network backend in front of the system calls (once) and hands it the line's wake-up.
    void UseNetworkBackend();

    TSerialSysCalls* FSys;
    std::atomic<int> FHandle{-1};
    std::atomic<bool> FInstanceActive{false};
    std::atomic<int> FLastError{0};
    mutable std::mutex FLock; // guards FLastErrorDesc, FDevice and the handle's life against DTR/RTS
    std::string FLastErrorDesc{"OK"};
    std::string FDevice;
    // The held bytes are FLineBuffer from FHeldFrom on.
    std::string FLineBuffer;
    std::size_t FHeldFrom = 0;
    std::atomic<int> FDeadlockTimeout{30000};
    std::atomic<int> FSizeRecvBuffer{4096};
    bool FInterPacketTimeout = true;
    int FMaxLineLength = DefaultMaxLineLength;
    // A partial read stopped here; the next one keeps this inter-byte deadline.
    bool FReadPending = false;
    std::chrono::steady_clock::time_point FPendingDeadline;
    int FWakeFd = -1;
    std::function<bool()> FEndsWait;
    bool FWokenUp = false;
    int FWakeUpGraceMs = 0;
    bool FHasModemLines = true;
    std::size_t FLastWriteCount = 0;
    // Set by Config: bits per character on the wire and the rate, for the write deadline.
    int FBaud = 0;
    int FCharBits = 10;
    // Set by the first network port opened; wraps the table the line was given.
    std::unique_ptr<TSerialSysCalls> FNetwork;
    std::function<bool()> FOpenEnds;
};
