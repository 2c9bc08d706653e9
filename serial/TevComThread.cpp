// The worker's loop, the opening of the line, the receive and send steps, and the blocking hand-over of
// notifications to the GUI thread.
#include "TevComThread.h"

#include "TevComPort.h"
#include "ThreadDelay.h"

#include <QCoreApplication>
#include <QStringList>
#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <semaphore>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

// One call the worker hands to the GUI thread; Done is released once it ran, or when it is dropped unrun.
struct THandOverCall {
    std::function<void(TTevComPort&)> Fn;
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
    try {
        call->Fn(port);
    } catch (...) {
        // Never into the event loop: the worker raises it again.
        call->Error = std::current_exception();
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
    call->Fn = [self](TTevComPort& p) { p.ComThreadTerminated(self); };
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
        if (FTSerial->CanReadEx(10))
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
        if (FTSendBuffer.Count() > 0)
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

bool TTevComThread::PassInterrupted() const {
    return StopRequested() || FTTimeOut.load() || FTForceDisconnect.load() || FTAbandoned.load() ||
           (Terminated() && ApplicationTerminated());
}

bool TTevComThread::WaitMustEnd() const {
    // While sending, the queue is not empty by definition; only what ends the pass ends the write.
    return PassInterrupted() || (!FInSendStep && !FTSendBuffer.Empty());
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
    if (text.isEmpty() || FTAbandoned.load())
        return;
    // In a flood, the lines already complete in the held bytes go over in the same hand-over: each
    // hand-over costs two thread wake-ups, which would otherwise bound the line rate. They are read (on
    // the GUI thread, while this thread waits for it) exactly as the next passes would read them, and only
    // as long as those passes would find nothing else to do: the batch ends at the first stop, time-out,
    // disconnect, queued entry, framing change or modem-line change, which the loop then serves first.
    HandOver([this, &text, lineMode, framingChanges](TTevComPort& port) {
        Deliver(port, text);
        if (!lineMode)
            return;
        for (int n = 1; n < MaxLinesPerHandOver; ++n) {
            if (BatchMustEnd(framingChanges))
                return;
            // What the system already has counts as held: the next pass would take it without waiting.
            if (FTSerial->LineBuffer().find('\r') == std::string::npos &&
                (FTSerial->TakeWaiting() <= 0 || FTSerial->LineBuffer().find('\r') == std::string::npos))
                return;
            bool more = false;
            const QString next = ReadOne(true, more);
            if (!next.isEmpty())
                Deliver(port, next);
        }
    });
}

void TTevComThread::SendStep() {
    TComShared& p = *FTParent;
    const std::optional<TSendEntry> head = FTSendBuffer.Head();
    if (!head)
        return;
    FInSendStep = true;
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
    if (checksum) {
        const QString frame = ChecksumFrame(prefix, head->Text);
        FTSendBuffer.SetCrcStr(frame);
        FTSerial->SendString(ToWireBytes(frame + CR));
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
            FTSerial->SendString(ToWireBytes(wire));
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
        if (partly)
            ReportError(code, ImmediateSendReport(code, lineText));
        return;
    }
    // Plain frames report every failure at once; checksum frames only one that went out in part, as it
    // is sent again.
    if (code != 0 && (!checksum || partly))
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
