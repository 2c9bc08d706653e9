// The platform-neutral half of the serial line: error texts, the status hook and the framing of held bytes
// into lines and packets. Waiting and the system calls are in the platform file.
#include "BlockSerial.h"

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {
using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    // Rounded up: a wait of 0 ms for the last fraction of a millisecond would spin until the deadline.
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : int(left);
}
} // namespace

std::string TBlockSerial::GetErrorDesc(int code) {
    switch (code) {
    case 0:
        return "OK";
    case ErrAlreadyOwned:
        return "Port owned by other process";
    case ErrAlreadyInUse:
        return "Instance already in use";
    case ErrWrongParameter:
        return "Wrong parameter at call";
    case ErrPortNotOpen:
        return "Instance not yet connected";
    case ErrNoDeviceAnswer:
        return "No device answer detected";
    case ErrMaxBuffer:
        return "Maximal buffer length exceeded";
    case ErrTimeout:
        return "Timeout during operation";
    case ErrNotRead:
        return "Reading of data failed";
    case ErrFrame:
        return "Receive framing error";
    case ErrOverrun:
        return "Receive Overrun Error";
    case ErrRxOver:
        return "Receive Queue overflow";
    case ErrRxParity:
        return "Receive Parity Error";
    case ErrTxFull:
        return "Tranceive Queue is full";
    case ErrNetBadName:
        return "Network port name not understood (rfc2217://HOST:PORT or socket://HOST:PORT)";
    case ErrNetUnknownHost:
        return "Network port's host not found";
    case ErrNetNoComPortOption:
        return "Server does not offer serial port control (COM-PORT-OPTION); socket:// reads a raw TCP port";
    case ErrNetSettingRefused:
        return "Server did not apply the serial settings";
    case ErrNetStopped:
        return "Opening the network port was stopped";
    default:
        break;
    }
    // strerror_r's GNU form may return a static string instead of filling the buffer.
    char buf[256] = {};
    const char* text = strerror_r(code, buf, sizeof buf);
    return text ? std::string(text) : std::string("Unknown error ") + std::to_string(code);
}

std::string TBlockSerial::LastErrorDesc() const {
    std::lock_guard lock(FLock);
    return FLastErrorDesc;
}

std::string TBlockSerial::Device() const {
    std::lock_guard lock(FLock);
    return FDevice;
}

void TBlockSerial::SetError(int code) {
    std::lock_guard lock(FLock);
    FLastError.store(code);
    FLastErrorDesc = GetErrorDesc(code);
}

void TBlockSerial::SetSysError(int err) {
    SetError(err == 0 ? EIO : err);
}

void TBlockSerial::TakeHeld(std::size_t n) {
    FHeldFrom += n;
    if (FHeldFrom >= FLineBuffer.size()) {
        ClearHeld();
    } else if (FHeldFrom >= 65536 && FHeldFrom * 2 >= FLineBuffer.size()) {
        // Taken lines are skipped rather than erased one by one, which would move the rest for each line.
        FLineBuffer.erase(0, FHeldFrom);
        FHeldFrom = 0;
    }
}

void TBlockSerial::ClearHeld() {
    FLineBuffer.clear();
    FHeldFrom = 0;
}

void TBlockSerial::SetWakeUp(int fd, std::function<bool()> endsWait) {
    FWakeFd = fd;
    FEndsWait = std::move(endsWait);
}

void TBlockSerial::DoStatus(THookSerialReason reason, const std::string& value) {
    if (OnStatus)
        OnStatus(this, reason, value);
}

bool TBlockSerial::CheckOpenForTransfer() {
    if (FHandle.load() >= 0)
        return true;
    SetError(ErrPortNotOpen);
    return false;
}

bool TBlockSerial::CheckOpenForControl() {
    if (FHandle.load() >= 0)
        return true;
    SetSysError(EBADF);
    return false;
}

bool TBlockSerial::CanReadEx(int timeoutMs) {
    if (!HeldEmpty()) {
        ResetError();
        FWokenUp = false;
        return true;
    }
    return CanRead(timeoutMs);
}

bool TBlockSerial::CanRead(int timeoutMs) {
    ResetError();
    FWokenUp = false;
    if (!CheckOpenForControl())
        return false;
    bool ready = WaitReadable(timeoutMs) > 0;
    if (ready)
        DoStatus(HR_CanRead, "");
    return ready;
}

std::string TBlockSerial::RecvTerminated(int timeoutMs, const std::string& terminator) {
    bool pending = false;
    return RecvTerminatedPart(timeoutMs, terminator, -1, pending);
}

std::string TBlockSerial::RecvTerminatedPart(int timeoutMs, const std::string& terminator, int maxWaitMs,
                                             bool& pending) {
    pending = false;
    ResetError();
    FWokenUp = false;
    const bool continuing = FReadPending;
    FReadPending = false;
    if (!CheckOpenForTransfer())
        return {};
    if (terminator.empty()) {
        SetError(ErrWrongParameter);
        return {};
    }
    const std::size_t bound = LineBound();
    // The clock is read only when a wait is needed: in a flood the line is nearly always held already.
    Clock::time_point deadline, giveUp;
    bool timed = false;
    const bool bounded = maxWaitMs >= 0;
    for (;;) {
        const std::string_view held = LineBuffer();
        std::size_t pos = held.find(terminator);
        if (pos != std::string::npos && pos <= bound) {
            std::string line(held.substr(0, pos));
            TakeHeld(pos + terminator.size());
            DoStatus(HR_ReadCount, std::to_string(line.size()));
            return line;
        }
        if (held.size() >= bound) {
            // Never met the terminator: hand the bytes on as a line rather than lose them or grow forever.
            std::string line(held.substr(0, bound));
            TakeHeld(bound);
            SetError(ErrMaxBuffer);
            DoStatus(HR_ReadCount, std::to_string(line.size()));
            return line;
        }
        if (!timed) {
            timed = true;
            const auto start = Clock::now();
            deadline = continuing ? FPendingDeadline : start + std::chrono::milliseconds(timeoutMs);
            giveUp = start + std::chrono::milliseconds(bounded ? maxWaitMs : 0);
        }
        const bool cutShort = bounded && giveUp < deadline;
        int ready = WaitReadable(RemainingMs(cutShort ? giveUp : deadline));
        if (ready < 0)
            return {};
        if (ready == 0 && (FWokenUp || (cutShort && Clock::now() >= giveUp) || Clock::now() < deadline)) {
            // Not the end of the line, only of this call's part of it.
            FReadPending = true;
            FPendingDeadline = deadline;
            pending = true;
            return {};
        }
        if (ready == 0) {
            SetError(ErrTimeout);
            return {};
        }
        long got = FillFromSystem(bound + terminator.size());
        if (got < 0)
            return {};
        if (got > 0 && FInterPacketTimeout)
            deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    }
}

long TBlockSerial::TakeWaiting() {
    ResetError();
    if (!CheckOpenForTransfer())
        return -1;
    return FillFromSystem(LineBound() + 1);
}

std::string TBlockSerial::RecvPacket(int timeoutMs) {
    ResetError();
    FWokenUp = false;
    FReadPending = false;
    if (!CheckOpenForTransfer())
        return {};
    if (HeldEmpty()) {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (HeldEmpty()) {
            int ready = WaitReadable(RemainingMs(deadline));
            if (ready < 0)
                return {};
            if (ready == 0) {
                SetError(ErrTimeout);
                return {};
            }
            if (FillFromSystem(std::size_t(DefaultMaxLineLength)) < 0)
                return {};
        }
    }
    std::string packet(LineBuffer());
    ClearHeld();
    DoStatus(HR_ReadCount, std::to_string(packet.size()));
    return packet;
}
