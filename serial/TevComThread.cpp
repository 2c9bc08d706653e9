// The worker's loop, the opening of the line, the receive and send steps, and the blocking hand-over of
// notifications to the GUI thread.
#include "TevComThread.h"

#include "TevComPort.h"
#include "ThreadDelay.h"

#include <QCoreApplication>
#include <QStringList>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <poll.h>
#include <semaphore>
#include <stdexcept>
#include <string_view>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

// One call the worker hands to the GUI thread; Done is released once it ran, or when it is dropped unrun.
struct THandOverCall {
    // Returns false when it wants to go on after the GUI thread's waiting events.
    std::function<bool(TTevComPort&)> Fn;
    std::exception_ptr Error;
    std::binary_semaphore Done{0};
};

namespace {

std::atomic<bool> gApplicationTerminated{false};

const QString CR = QStringLiteral("\r");

// The longest a line mode read holds the loop while a line is still coming in.
constexpr int ReadPieceMs = 10;
// Lines handed over together at most. Each hand-over costs two thread switches; a batch ends anyway at
// whatever the loop must see, so its size only bounds how long the loop's other steps wait in a flood.
constexpr int MaxLinesPerHandOver = 1024;
// Within a batch the GUI thread runs its own events (a click, a timer a handler started) at least this
// often. By time, not by count: a fast handler's batch then costs no extra turn of the event loop.
constexpr auto SliceTime = std::chrono::milliseconds(2);
// How long a queued send waits for a line that is coming in, so that it does not talk over the device's
// answer on a half-duplex bus; bounded so that a device streaming without end still gets its sends.
constexpr auto SendHoldTime = std::chrono::milliseconds(1000);
// A write that a stop or time-out interrupts goes on when no more than this is left on the wire: within
// the stop's own wait, and the device is not left with half a frame.
constexpr int WriteGraceMs = 80;
// After a connection time-out, how long a line that is coming in may take to end before it is cut.
constexpr int TimeOutLineMs = 100;
// The open line's wait when nothing must be sampled: data, hang-ups and every request come as events, so
// the bound only covers the application's shutdown flag, which wakes nobody.
constexpr int QuietWaitMs = 1000;

// One leading LF dropped, CR CR halved.
QString Framed(QString text) {
    if (text.startsWith(QLatin1Char('\n')))
        text.remove(0, 1);
    if (text.contains(QLatin1String("\r\r"))) {
        QString halved;
        halved.reserve(text.size());
        for (qsizetype i = 0; i < text.size(); ++i) {
            halved.append(text[i]);
            if (text[i] == QLatin1Char('\r') && i + 1 < text.size() && text[i + 1] == QLatin1Char('\r'))
                ++i;
        }
        text = halved;
    }
    return text;
}

// Held bytes that are part of a line; a lone LF is the tail of the last CR LF line.
bool HoldsPartOfALine(std::string_view held) {
    return !held.empty() && held != "\n";
}

} // namespace

bool ApplicationTerminated() {
    return gApplicationTerminated.load();
}

void SetApplicationTerminated(bool value) {
    gApplicationTerminated.store(value);
}

void RunHandOver(TComShared& shared, TTevComPort& port) {
    std::shared_ptr<THandOverCall> call;
    {
        std::lock_guard<std::mutex> lock(shared.OwnerLock);
        // Empty when the worker was cut off after posting.
        if (shared.HandOvers.empty())
            return;
        call = std::move(shared.HandOvers.front());
        shared.HandOvers.pop_front();
    }
    bool finished = true;
    try {
        finished = call->Fn(port);
    } catch (...) {
        // Never into the event loop: the worker raises it again.
        call->Error = std::current_exception();
    }
    if (!finished) {
        // The component may be gone by now (a handler destroyed it); only the shared part is still ours.
        std::lock_guard<std::mutex> lock(shared.OwnerLock);
        if (shared.Owner != nullptr) {
            shared.HandOvers.push_front(std::move(call));
            QMetaObject::invokeMethod(shared.Owner, "TakeHandOver", Qt::QueuedConnection);
            return;
        }
    }
    call->Done.release();
}

void DropHandOvers(TComShared& shared) {
    for (const auto& call : shared.HandOvers)
        call->Done.release();
    shared.HandOvers.clear();
}

std::shared_ptr<TTevComThread> TTevComThread::Create(TTevComPort* Parent, std::shared_ptr<TComShared> shared,
                                                     TSerialSysCalls* sys, bool Suspended) {
    std::shared_ptr<TTevComThread> t(new TTevComThread(std::move(shared), sys));
    t->FTParent->FActive.store(true);
    Parent->DoActive();
    if (!Suspended)
        t->Start();
    return t;
}

TTevComThread::TTevComThread(std::shared_ptr<TComShared> shared, TSerialSysCalls* sys)
    : FTParent(std::move(shared)), FTSerial(std::make_unique<TBlockSerial>(sys)) {
    FTSerial->SetDeadlockTimeout(1000);
    FTSerial->Purge();
    FTSerial->OnStatus = [this](TBlockSerial*, THookSerialReason reason, const std::string&) {
        if (reason == HR_SerialClose)
            FTConnected.store(false);
    };
    // Without it the worker still works, only its waits then run their full length.
    FWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    FTSerial->SetWakeUp(FWakeFd, [this] { return WaitMustEnd(); });
    FTSerial->SetWakeUpGraceMs(WriteGraceMs);
    FTSerial->SetOpenEnds([this] { return PassInterrupted(); });
}

TTevComThread::~TTevComThread() {
    FTSerial.reset();
    if (FWakeFd >= 0)
        ::close(FWakeFd);
}

void TTevComThread::Wake() {
    if (FWakeFd < 0)
        return;
    const std::uint64_t one = 1;
    while (::write(FWakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void TTevComThread::SleepUntilWoken(int ms) {
    if (FWakeFd < 0) {
        ThreadDelay(1);
        return;
    }
    // A wake-up is taken by the wait that sees it; what it announced stays in the flags the loop reads.
    pollfd p{FWakeFd, POLLIN, 0};
    if (::poll(&p, 1, ms) > 0) {
        std::uint64_t count = 0;
        while (::read(FWakeFd, &count, sizeof count) < 0 && errno == EINTR) {
        }
    }
}

void TTevComThread::RequestStop() {
    int expected = Running;
    FStopState.compare_exchange_strong(expected, StopWanted);
    Wake();
}

bool TTevComThread::Resume() {
    int expected = StopWanted;
    if (FStopState.compare_exchange_strong(expected, Running))
        return true;
    return expected == Running;
}

bool TTevComThread::TakeStop() {
    int expected = StopWanted;
    return FStopState.compare_exchange_strong(expected, Leaving) || expected == Leaving;
}

void TTevComThread::Start() {
    // The thread keeps its object alive and frees it when it ends.
    std::thread([self = shared_from_this()] { self->Execute(); }).detach();
}

QString TTevComThread::LastErrorDesc() const {
    std::lock_guard<std::mutex> lock(FTErrorLock);
    return FTLastErrorDesc;
}

void TTevComThread::ReportError(int code, const QString& desc) {
    {
        std::lock_guard<std::mutex> lock(FTErrorLock);
        FTLastErrorDesc = desc;
    }
    FTLastError.store(code);
    HandOver([](TTevComPort& p) { p.DoComError(); });
}

void TTevComThread::HandOver(const std::function<void(TTevComPort&)>& fn) {
    HandOverSliced([&fn](TTevComPort& port) {
        fn(port);
        return true;
    });
}

void TTevComThread::HandOverSliced(const std::function<bool(TTevComPort&)>& fn) {
    auto call = std::make_shared<THandOverCall>();
    call->Fn = fn;
    {
        std::lock_guard<std::mutex> lock(FTParent->OwnerLock);
        if (FTParent->Owner == nullptr || FTAbandoned.load())
            return;
        PostHandOver(call);
    }
    call->Done.acquire();
    if (call->Error)
        std::rethrow_exception(call->Error);
}

void TTevComThread::PostTerminated() {
    std::lock_guard<std::mutex> lock(FTParent->OwnerLock);
    if (FTParent->Owner == nullptr || FTAbandoned.load())
        return;
    auto call = std::make_shared<THandOverCall>();
    TTevComThread* self = this;
    call->Fn = [self](TTevComPort& p) {
        p.ComThreadTerminated(self);
        return true;
    };
    PostHandOver(call);
}

void TTevComThread::PostHandOver(std::shared_ptr<THandOverCall> call) {
    FTParent->HandOvers.push_back(std::move(call));
    // The component lives while we hold its lock; once it is gone Qt drops the queued call.
    QMetaObject::invokeMethod(FTParent->Owner, "TakeHandOver", Qt::QueuedConnection);
}

void TTevComThread::SetConnected(bool value) {
    if (!value) {
        FTForceDisconnect.store(true);
        Wake();
        return;
    }
    OpenLine();
}

void TTevComThread::OpenLine() {
    TComShared& p = *FTParent;
    const int baud = IntTextOr(p.Text(&TComShared::FBaudRate), 9600);
    const int bits = IntTextOr(p.Text(&TComShared::FDataBits), 8);
    static const char parities[] = {'N', 'O', 'E', 'M', 'S'};
    const int parityIndex = p.FParityBits.load();
    const char parity = (parityIndex >= 0 && parityIndex < 5) ? parities[parityIndex] : 'N';
    const int stop = p.FStopBits.load() == sbTwoStopBits ? 2 : 0;

    FTSerial->Purge();
    FTSerial->SetDeadlockTimeout(1000);
    FTSerial->Connect(p.Text(&TComShared::FComPort).toStdString());
    if (FTSerial->LastError() != 0)
        ReportError(FTSerial->LastError(), QString::fromStdString(FTSerial->LastErrorDesc()));
    FTSerial->Config(baud, bits, parity, stop, false, false);
    FTSerial->Purge();
    if (FTSerial->LastError() != 0) {
        ReportError(FTSerial->LastError(), QString::fromStdString(FTSerial->LastErrorDesc()));
        FStopState.store(Leaving);
        return;
    }
    FTConnected.store(true);
    FTTimeOut.store(false);
    HandOver([](TTevComPort& port) { port.DoConnected(); });
}

void TTevComThread::Execute() {
    try {
        RunLoop();
    } catch (...) {
        FStopState.store(Leaving);
        try {
            ReportError(-200, QStringLiteral("Thread exception"));
        } catch (...) {
        }
    }
    // End step 3 runs in every case.
    try {
        HandOver([](TTevComPort& port) { port.DoDisconnected(); });
    } catch (...) {
    }
    FTSerial->OnStatus = nullptr;
    PostTerminated();
}

void TTevComThread::RunLoop() {
    TComShared& p = *FTParent;
    FEmptyReads = 0;
    if (p.FConnected.load() && !FTConnected.load())
        SetConnected(true);
    FSendFailures = 0;
    if (!FTAbandoned.load())
        p.FAT_WORK.store(false);

    for (;;) {
        if (Terminated() && ApplicationTerminated()) {
            FStopState.store(Leaving);
            break;
        }
        if (TakeStop())
            break;
        if (FTTimeOut.exchange(false)) {
            FinishLineBeforeClose();
            FTConnected.store(false);
            FTSerial->Purge();
            FTSerial->CloseSocket();
            HandOver([](TTevComPort& port) { port.DoDisconnected(); });
        }
        if (!FTConnected.load() && p.FConnected.load() && !FTAbandoned.load())
            SetConnected(true);
        if (!FTConnected.load()) {
            // Nothing changes with the line closed until the component writes something, and every such
            // write wakes this sleep; the bound only covers the application's shutdown flag.
            SleepUntilWoken(500);
            continue;
        }
        // A lone LF held after a CR LF line gives nothing but empty reads until more bytes come, so once
        // those reads can change nothing the pass waits for new bytes only.
        const bool newBytesOnly = FLoneLFTimedOut && (!p.FCheckDoubleCRend.load() || FEmptyReads >= 3);
        if (newBytesOnly ? FTSerial->CanRead(ReceiveWaitMs()) : FTSerial->CanReadEx(ReceiveWaitMs()))
            ReceiveStep();
        FTSerial->GetCommState();
        if (FTSerial->LastError() != 0) {
            FStopState.store(Leaving);
            ReportError(FTSerial->LastError(), QString::fromStdString(FTSerial->LastErrorDesc()));
            break;
        }
        ModemStep();
        if (FTForceDisconnect.exchange(false))
            CloseAndReportDisconnected();
        if (FTSendBuffer.Count() > 0 && !SendHeldByLine())
            SendStep();
    }
    FStopState.store(Leaving);

    if (FTConnected.load()) {
        FTSerial->CloseSocket();
        FTConnected.store(false);
        HandOver([](TTevComPort& port) { port.DoDisconnected(); });
    }
    if (!FTAbandoned.load())
        p.FActive.store(false);
    HandOver([](TTevComPort& port) { port.DoActive(); });
}

void TTevComThread::ModemStep() {
    TComShared& p = *FTParent;
    struct ModemLine {
        int bit;
        std::atomic<bool> TComShared::*state;
        void (TTevComPort::*notify)();
    };
    static const ModemLine lines[] = {
        {TIOCM_CTS, &TComShared::_CTS, &TTevComPort::DoGetCTS},
        {TIOCM_DSR, &TComShared::_DSR, &TTevComPort::DoGetDSR},
        {TIOCM_CAR, &TComShared::_DCD, &TTevComPort::DoGetDCD},
        {TIOCM_RNG, &TComShared::_RING, &TTevComPort::DoGetRING},
    };
    // A line found without modem inputs is not asked again: they read as inactive.
    const int status = FTSerial->HasModemLines() ? FTSerial->ModemStatus() : 0;
    for (const ModemLine& line : lines) {
        const bool state = (status & line.bit) != 0;
        if (state != (p.*line.state).load() && !FTAbandoned.load()) {
            (p.*line.state).store(state);
            const auto notify = line.notify;
            HandOver([notify](TTevComPort& port) { (port.*notify)(); });
        }
    }
}

void TTevComThread::CloseAndReportDisconnected() {
    TComShared& p = *FTParent;
    FLineInProgress = false;
    FLoneLFTimedOut = false;
    FTConnected.store(false);
    FTSerial->CloseSocket();
    if (!FTAbandoned.load())
        p.FConnected.store(false);
    HandOver([](TTevComPort& port) { port.DoDisconnected(); });
    if (!FTAbandoned.load())
        p.FAT_WORK.store(false);
}

QString TTevComThread::ReadOne(bool lineMode, bool& pending) {
    TComShared& p = *FTParent;
    QString text;
    pending = false;
    if (lineMode) {
        // A piece at a time: a device that streams without CR must not keep the loop from its other steps.
        const std::string bytes = FTSerial->RecvTerminatedPart(100, "\r", ReadPieceMs, pending);
        if (pending)
            return {};
        text = FromWireBytes(bytes);
        if (p.FCheckDoubleCRend.load()) {
            if (!text.isEmpty()) {
                FEmptyReads = 0;
            } else if (FEmptyReads < 3) {
                ++FEmptyReads;
                if (FEmptyReads == 2)
                    text = p.Text(&TComShared::FDoubleCRstring);
            }
        }
    } else {
        text = FromWireBytes(FTSerial->RecvPacket(5000));
    }
    return Framed(text);
}

void TTevComThread::FinishLineBeforeClose() {
    const bool inProgress = FLineInProgress;
    FLineInProgress = false;
    FLoneLFTimedOut = false;
    FSendHeldSince.reset();
    if (!inProgress || !FTParent->FAutoCR.load() || FTAbandoned.load())
        return;
    // Only a stop, a forced disconnect or the end cut this read short: the time-out was taken already, and
    // queued sends wait for the line as ever.
    FLineInProgress = true;
    bool pending = false;
    const std::string line = FTSerial->RecvTerminatedPart(100, "\r", TimeOutLineMs, pending);
    FLineInProgress = false;
    const bool ended = !pending && (FTSerial->LastError() == 0 || !line.empty());
    // A line that did not end is cut where it stands, as the close leaves it.
    std::string bytes = line;
    if (!ended && HoldsPartOfALine(FTSerial->LineBuffer()))
        bytes = std::string(FTSerial->LineBuffer());
    const QString text = Framed(FromWireBytes(bytes));
    if (text.isEmpty())
        return;
    FEmptyReads = 0;
    HandOver([this, &text](TTevComPort& port) { Deliver(port, text); });
}

bool TTevComThread::SendHeldByLine() {
    if (!FLineInProgress) {
        FSendHeldSince.reset();
        return false;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!FSendHeldSince)
        FSendHeldSince = now;
    if (now - *FSendHeldSince < SendHoldTime)
        return true;
    // The next entry waits its own time again.
    FSendHeldSince.reset();
    return false;
}

int TTevComThread::ReceiveWaitMs() const {
    // Modem inputs are only seen by asking; a failing entry is retried once per pass.
    if (FTSerial->HasModemLines() || !FTSendBuffer.Empty() || FLineInProgress)
        return 10;
    return QuietWaitMs;
}

bool TTevComThread::PassInterrupted() const {
    return StopRequested() || FTTimeOut.load() || FTForceDisconnect.load() || FTAbandoned.load() ||
           (Terminated() && ApplicationTerminated());
}

bool TTevComThread::WaitMustEnd() const {
    // While sending, the queue is not empty by definition; only what ends the pass ends the write. While a
    // line comes in, sends wait for it.
    return PassInterrupted() || (!FInSendStep && !FLineInProgress && !FTSendBuffer.Empty());
}

bool TTevComThread::BatchMustEnd(unsigned framingChanges) {
    TComShared& p = *FTParent;
    if (PassInterrupted() || !FTSendBuffer.Empty() || p.FFramingChanges.load() != framingChanges)
        return true;
    // The modem inputs as the next pass would read them. A query that fails belongs to the pass too, whose
    // health probe will then report the port.
    int status = 0;
    if (FTSerial->HasModemLines()) {
        status = FTSerial->ModemStatus();
        if (FTSerial->LastError() != 0)
            return true;
    }
    return ((status & TIOCM_CTS) != 0) != p._CTS.load() || ((status & TIOCM_DSR) != 0) != p._DSR.load() ||
           ((status & TIOCM_CAR) != 0) != p._DCD.load() || ((status & TIOCM_RNG) != 0) != p._RING.load();
}

void TTevComThread::Deliver(TTevComPort& port, const QString& line) {
    port.FShared->SetText(&TComShared::FRxString, line);
    port.DoRxString();
    // A handler that destroyed the component has cut this worker off.
    if (FTAbandoned.load())
        return;
    port.FShared->FAT_WORK.store(true);
    port.RestartConTimeOut();
}

void TTevComThread::ReceiveStep() {
    TComShared& p = *FTParent;
    const unsigned framingChanges = p.FFramingChanges.load();
    const bool lineMode = p.FAutoCR.load();
    bool pending = false;
    const QString text = ReadOne(lineMode, pending);
    FLineInProgress = lineMode && pending && HoldsPartOfALine(FTSerial->LineBuffer());
    FLoneLFTimedOut = lineMode && text.isEmpty() && FTSerial->LastError() == ErrTimeout &&
                      FTSerial->LineBuffer() == std::string_view("\n");
    if (text.isEmpty() || FTAbandoned.load())
        return;
    // In a flood, the lines already complete in the held bytes go over in the same hand-over: each
    // hand-over costs two thread wake-ups, which would otherwise bound the line rate. They are read (on
    // the GUI thread, while this thread waits for it) exactly as the next passes would read them, and only
    // as long as those passes would find nothing else to do: the batch ends at the first stop, time-out,
    // disconnect, queued entry, framing change or modem-line change, which the loop then serves first.
    // The batch is delivered in slices, between which the GUI thread runs its own events; this thread waits
    // for the whole batch, so the order of lines and everything else stays the same.
    int delivered = 0;
    HandOverSliced([this, &text, &delivered, lineMode, framingChanges](TTevComPort& port) {
        const auto sliceStart = std::chrono::steady_clock::now();
        int inSlice = 0;
        if (delivered == 0) {
            Deliver(port, text);
            ++delivered;
            ++inSlice;
            if (!lineMode)
                return true;
        }
        for (; delivered < MaxLinesPerHandOver; ++delivered, ++inSlice) {
            if (BatchMustEnd(framingChanges))
                return true;
            // What the system already has counts as held: the next pass would take it without waiting.
            if (FTSerial->LineBuffer().find('\r') == std::string::npos &&
                (FTSerial->TakeWaiting() <= 0 || FTSerial->LineBuffer().find('\r') == std::string::npos))
                return true;
            if (inSlice > 0 && std::chrono::steady_clock::now() - sliceStart >= SliceTime)
                return false;
            bool more = false;
            const QString next = ReadOne(true, more);
            if (!next.isEmpty())
                Deliver(port, next);
        }
        return true;
    });
}

void TTevComThread::SendStep() {
    TComShared& p = *FTParent;
    const std::optional<TSendEntry> head = FTSendBuffer.Head();
    if (!head)
        return;
    FInSendStep = true;
    FSendHeldSince.reset();
    struct Leave {
        bool& flag;
        ~Leave() { flag = false; }
    } leave{FInSendStep};
    const bool generalCall = head->Flag == 1;
    const QString prefix =
        p.FUseRS485.load() ? StationPrefix(p.Text(&TComShared::FRS485adr), generalCall) : QString();
    const bool checksum = p.FUseCRC.load();

    int code = 0;
    QString lineText;
    bool wrote = false;
    std::size_t wireSize = 0;
    if (checksum) {
        const QString frame = ChecksumFrame(prefix, head->Text);
        FTSendBuffer.SetCrcStr(frame);
        const std::string wire = ToWireBytes(frame + CR);
        wireSize = wire.size();
        FTSerial->SendString(wire);
        wrote = true;
        code = FTSerial->LastError();
        lineText = QString::fromStdString(FTSerial->LastErrorDesc());
    } else {
        const QString frame = prefix + head->Text;
        FTSendBuffer.SetCrcStr(frame);
        if (FTSerial->CanWrite(100)) {
            QString wire = p.Text(&TComShared::FStartStr) + frame;
            if (p.FAutoCR.load())
                wire += CR;
            const std::string bytes = ToWireBytes(wire);
            wireSize = bytes.size();
            FTSerial->SendString(bytes);
            wrote = true;
            code = FTSerial->LastError();
            lineText = QString::fromStdString(FTSerial->LastErrorDesc());
            // The whole frame leaves before the next step. A failed write was already aborted; a failing
            // line or anything that ends the pass ends the wait.
            while (code == 0 && !FTSerial->CanWrite(100)) {
                if (FTSerial->LastError() != 0 || PassInterrupted())
                    break;
                ThreadDelay(1);
            }
        } else if (PassInterrupted()) {
            // The wait was cut short by a stop or disconnect: nothing was tried.
            return;
        } else {
            // Nothing was written: a failure, not a send.
            code = FTSerial->LastError() != 0 ? FTSerial->LastError() : ErrTimeout;
            lineText = QString::fromStdString(TBlockSerial::GetErrorDesc(code));
        }
    }
    // A write cut short because the pass must end (stop, disconnect, time-out) is no failure of the entry,
    // which stays at the head. Only when part of it already went out is that said, since it will go out
    // again whole.
    const bool cut = wrote && code != 0 && FTSerial->WokenUp() && PassInterrupted();
    const bool partly = wrote && code != 0 && FTSerial->LastWriteCount() > 0;
    if (cut) {
        // A stop ends the work, not the line: nothing to report.
        const bool stopping =
            StopRequested() || FTAbandoned.load() || (Terminated() && ApplicationTerminated());
        if (partly && !stopping)
            ReportError(code, ImmediateSendReport(code, lineText));
        return;
    }
    // Plain frames report every failure at once; checksum frames only one that did not go out whole, as
    // it is sent again. An error flag seen after a whole frame waits for the drop.
    const bool cutShort = partly && (FTSerial->LastWriteCount() < wireSize || code == ErrTimeout);
    if (code != 0 && (!checksum || cutShort))
        ReportError(code, ImmediateSendReport(code, lineText));

    if (code != 0) {
        ++FSendFailures;
        if (code == ErrFrame || FSendFailures <= 3)
            return;
        FSendFailures = 0;
        ReportError(code, DropSendReport(code, lineText));
        FTSendBuffer.RemoveHead(head->Id);
        // The line is closed with the report: a component that says it is disconnected does not go on
        // receiving.
        CloseAndReportDisconnected();
        return;
    }
    const int left = FTSendBuffer.RemoveHead(head->Id);
    if (FTAbandoned.load())
        return;
    p.FTxProgress.store(left);
    HandOver([](TTevComPort& port) { port.DoTxProgress(); });
}
