// The worker's loop, the opening of the line, the receive and send steps, and the blocking hand-over of
// notifications to the GUI thread.
#include "TevComThread.h"

#include "TevComPort.h"
#include "ThreadDelay.h"

#include <QCoreApplication>
#include <QStringList>
#include <semaphore>
#include <stdexcept>
#include <thread>

// One call the worker hands to the GUI thread; Done is released once it ran, or when it is dropped unrun.
struct THandOverCall {
    std::function<void(TTevComPort&)> Fn;
    std::exception_ptr Error;
    std::binary_semaphore Done{0};
};

namespace {

std::atomic<bool> gApplicationTerminated{false};

const QString CR = QStringLiteral("\r");

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
}

TTevComThread::~TTevComThread() = default;

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
        FT_STOP.store(true);
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

    while (!(Terminated() && ApplicationTerminated())) {
        if (FT_STOP.load())
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
            ThreadDelay(1);
            continue;
        }
        if (FTSerial->CanReadEx(10))
            ReceiveStep();
        FTSerial->GetCommState();
        if (FTSerial->LastError() != 0) {
            FT_STOP.store(true);
            ReportError(FTSerial->LastError(), QString::fromStdString(FTSerial->LastErrorDesc()));
            break;
        }
        struct ModemLine {
            bool (TBlockSerial::*read)();
            std::atomic<bool> TComShared::*state;
            void (TTevComPort::*notify)();
        };
        static const ModemLine lines[] = {
            {&TBlockSerial::CTS, &TComShared::_CTS, &TTevComPort::DoGetCTS},
            {&TBlockSerial::DSR, &TComShared::_DSR, &TTevComPort::DoGetDSR},
            {&TBlockSerial::Carrier, &TComShared::_DCD, &TTevComPort::DoGetDCD},
            {&TBlockSerial::Ring, &TComShared::_RING, &TTevComPort::DoGetRING},
        };
        for (const ModemLine& line : lines) {
            const bool state = ((*FTSerial).*line.read)();
            if (state != (p.*line.state).load() && !FTAbandoned.load()) {
                (p.*line.state).store(state);
                const auto notify = line.notify;
                HandOver([notify](TTevComPort& port) { (port.*notify)(); });
            }
        }
        if (FTForceDisconnect.exchange(false)) {
            FTConnected.store(false);
            FTSerial->CloseSocket();
            if (!FTAbandoned.load())
                p.FConnected.store(false);
            HandOver([](TTevComPort& port) { port.DoDisconnected(); });
            if (!FTAbandoned.load())
                p.FAT_WORK.store(false);
        }
        if (FTSendBuffer.Count() > 0)
            SendStep();
    }

    if (FTConnected.load()) {
        FTSerial->CloseSocket();
        FTConnected.store(false);
        HandOver([](TTevComPort& port) { port.DoDisconnected(); });
    }
    if (!FTAbandoned.load())
        p.FActive.store(false);
    HandOver([](TTevComPort& port) { port.DoActive(); });
}

QString TTevComThread::ReadOne(bool lineMode) {
    TComShared& p = *FTParent;
    QString text;
    if (lineMode) {
        text = FromWireBytes(FTSerial->RecvTerminated(100, "\r"));
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
    return FT_STOP.load() || FTTimeOut.load() || FTForceDisconnect.load() || FTAbandoned.load();
}

void TTevComThread::ReceiveStep() {
    const bool lineMode = FTParent->FAutoCR.load();
    QStringList texts;
    QString text = ReadOne(lineMode);
    if (!text.isEmpty())
        texts.append(text);
    // In a flood, the lines already complete in the held bytes go over in one hand-over: each hand-over
    // costs two thread wake-ups, which would otherwise bound the line rate. These are exactly the reads
    // the next passes would make without waiting; only the probe, modem lines and send step of those
    // passes are deferred, by at most MaxLinesPerHandOver lines.
    constexpr int MaxLinesPerHandOver = 64;
    while (lineMode && texts.size() < MaxLinesPerHandOver && !PassInterrupted() &&
           FTSerial->LineBuffer().find('\r') != std::string::npos) {
        text = ReadOne(true);
        if (!text.isEmpty())
            texts.append(text);
    }
    if (texts.isEmpty() || FTAbandoned.load())
        return;
    // FAT_WORK and the time-out timer belong with each delivery: both are done on the GUI thread right
    // after the handler. A handler that stops or disconnects the worker ends the delivery there, as the
    // loop would not have read the remaining lines.
    HandOver([this, &texts](TTevComPort& port) {
        for (qsizetype i = 0; i < texts.size(); ++i) {
            // The first line belongs to this pass; the others only to passes that would still run.
            if (i > 0 && PassInterrupted())
                break;
            const QString& line = texts[i];
            port.FShared->SetText(&TComShared::FRxString, line);
            port.DoRxString();
            port.FShared->FAT_WORK.store(true);
            port.FConTimeOutTimer.stop();
            port.FConTimeOutTimer.start();
        }
    });
}

void TTevComThread::SendStep() {
    TComShared& p = *FTParent;
    const std::optional<TSendEntry> head = FTSendBuffer.Head();
    if (!head)
        return;
    const bool generalCall = head->Flag == 1;
    const QString prefix =
        p.FUseRS485.load() ? StationPrefix(p.Text(&TComShared::FRS485adr), generalCall) : QString();

    int code = 0;
    QString lineText;
    if (p.FUseCRC.load()) {
        const QString frame = ChecksumFrame(prefix, head->Text);
        FTSendBuffer.SetCrcStr(frame);
        FTSerial->SendString(ToWireBytes(frame + CR));
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
            code = FTSerial->LastError();
            lineText = QString::fromStdString(FTSerial->LastErrorDesc());
            // The whole frame leaves before the next step. A failed write was already aborted; a failing
            // line or a stop request ends the wait.
            while (code == 0 && !FTSerial->CanWrite(100)) {
                if (FTSerial->LastError() != 0 || FT_STOP.load())
                    break;
                ThreadDelay(1);
            }
        } else {
            // Nothing was written: a failure, not a send.
            code = FTSerial->LastError() != 0 ? FTSerial->LastError() : ErrTimeout;
            lineText = QString::fromStdString(TBlockSerial::GetErrorDesc(code));
        }
        if (code != 0)
            ReportError(code, ImmediateSendReport(code, lineText));
    }

    if (code != 0) {
        ++FSendFailures;
        if (code == ErrFrame || FSendFailures <= 3)
            return;
        FSendFailures = 0;
        ReportError(code, DropSendReport(code, lineText));
        FTSendBuffer.RemoveHead(head->Id);
        HandOver([](TTevComPort& port) { port.DoDisconnected(); });
        return;
    }
    const int left = FTSendBuffer.RemoveHead(head->Id);
    if (FTAbandoned.load())
        return;
    p.FTxProgress.store(left);
    HandOver([](TTevComPort& port) { port.DoTxProgress(); });
}
