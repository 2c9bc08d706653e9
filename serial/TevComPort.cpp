// The serial-port component: settings, events and their notifications, the check and connection
// time-out timers, the send calls that feed the worker's queue, and the owner window's close hook.
#include "TevComPort.h"

#include "common/FormStorage_AppError.h"
#include "common/TevTools.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QWidget>
#include <algorithm>
#include <limits>

TTevComPort::TTevComPort(QObject* AOwner)
    : QObject(AOwner), FShared(std::make_shared<TComShared>()),
      FATCommands(std::make_unique<TATCommands>(this)) {
    FShared->Owner = this;
    EnumComPorts(FAvailableComPorts);
    // Coarse timers may fire up to 5 % early, which would cut the device's allowance short.
    FCheckTimer.setTimerType(Qt::PreciseTimer);
    FConTimeOutTimer.setTimerType(Qt::PreciseTimer);
    FCheckTimer.setInterval(FCheckInterval);
    connect(&FCheckTimer, &QTimer::timeout, this, &TTevComPort::CheckTimerTick);
    FConTimeOutTimer.setInterval(6250);
    connect(&FConTimeOutTimer, &QTimer::timeout, this, &TTevComPort::ConTimeOutTick);
    FConTimeOutTimer.start();
    if (QCoreApplication* app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, [] { SetApplicationTerminated(true); });
}

TTevComPort::~TTevComPort() {
    if (FHookedForm)
        FHookedForm->removeEventFilter(this);
    FCheckTimer.stop();
    FConTimeOutTimer.stop();
    // A worker still running must end on its own: it is told to stop and cut off from this object, and
    // a hand-over it waits for is released unrun.
    AbandonWorker();
    std::lock_guard<std::mutex> lock(FShared->OwnerLock);
    FShared->Owner = nullptr;
    DropHandOvers(*FShared);
}

void TTevComPort::Loaded() {
    if (FLoadedDone)
        return;
    FLoadedDone = true;
    if (auto* form = qobject_cast<QWidget*>(parent()); form != nullptr && form->isWindow()) {
        FHookedForm = form;
        form->installEventFilter(this);
    }
    SetActive(Active());
    Set_RTS(F_RTS);
    Set_DTR(F_DTR);
}

void TTevComPort::SetActive(bool Value) {
    FShared->FActive.store(Value);
    if (Value) {
        if (FComThread) {
            FComThread->ClearTerminate();
            // A worker past its last stop check ends all the same; its successor starts once it has.
            if (!FComThread->Resume())
                FRestartWanted = true;
            return;
        }
        StartWorker();
        return;
    }
    FRestartWanted = false;
    FTimersHeldByZero = false;
    FCheckTimer.stop();
    FConTimeOutTimer.stop();
    if (FComThread) {
        const std::shared_ptr<TTevComThread> worker = FComThread;
        worker->RequestStop();
        // Up to 200 ms of message processing, so the worker's last reports run inside this write; it ends
        // sooner as soon as the worker is gone.
        StopAndWait(20);
        if (FComThread == worker)
            worker->Terminate();
    }
}

void TTevComPort::StartWorker() {
    FComThread = TTevComThread::Create(this, FShared, FSysCalls, true);
    FComThread->OnTerminate = nullptr;
    FComThread->Start();
}

void TTevComPort::SetConnected(bool Value) {
    FShared->FConnected.store(Value);
    if (FComThread)
        FComThread->Wake();
}

void TTevComPort::StopAndWait(int steps) {
    const std::shared_ptr<TTevComThread> worker = FComThread;
    for (int i = 0; i < steps && worker && FComThread == worker; ++i)
        DelayProcessMessages(10);
}

void TTevComPort::AbandonWorker() {
    FRestartWanted = false;
    if (!FComThread)
        return;
    FComThread->RequestStop();
    FComThread->Terminate();
    {
        std::lock_guard<std::mutex> lock(FShared->OwnerLock);
        FComThread->Abandon();
        DropHandOvers(*FShared);
    }
    FComThread.reset();
}

void TTevComPort::ComThreadTerminated(TTevComThread* thread) {
    if (FComThread.get() != thread)
        return;
    FComThread.reset();
    if (FRestartWanted) {
        FRestartWanted = false;
        StartWorker();
    }
}

void TTevComPort::Set_RTS(bool Value) {
    F_RTS = Value;
    if (FComThread && FComThread->Serial().InstanceActive())
        FComThread->Serial().RTS(!Value);
}

void TTevComPort::Set_DTR(bool Value) {
    F_DTR = Value;
    if (FComThread && FComThread->Serial().InstanceActive())
        FComThread->Serial().DTR(!Value);
}

void TTevComPort::SetCheckInterval(int Value) {
    FCheckInterval = Value;
    if (Value <= 0) {
        // A timer of 0 ms would fire on every idle pass of the event loop.
        FTimersHeldByZero = FTimersHeldByZero || FCheckTimer.isActive() || FConTimeOutTimer.isActive();
        FCheckTimer.stop();
        FConTimeOutTimer.stop();
        return;
    }
    // Setting the interval restarts a running timer: only a new value may do that, so re-applied settings
    // never hold the time-out off.
    const int timeOut = int(std::min<qint64>(qint64(Value) * 3, std::numeric_limits<int>::max()));
    if (FConTimeOutTimer.interval() != timeOut)
        FConTimeOutTimer.setInterval(timeOut);
    // Timers that an interval of 0 stopped while they were wanted come back; running ones are left alone.
    if (FEnableCheckTimer && FTimersHeldByZero) {
        if (!FCheckTimer.isActive())
            FCheckTimer.start(Value);
        if (!FConTimeOutTimer.isActive())
            FConTimeOutTimer.start();
    }
    FTimersHeldByZero = false;
}

void TTevComPort::SetEnableCheckTimer(bool Value) {
    FEnableCheckTimer = Value;
    FTimersHeldByZero = Value && FCheckInterval <= 0;
    if (Value && FCheckInterval > 0) {
        if (!FCheckTimer.isActive())
            FCheckTimer.start();
        if (!FConTimeOutTimer.isActive())
            FConTimeOutTimer.start();
    } else {
        FCheckTimer.stop();
        FConTimeOutTimer.stop();
    }
}

void TTevComPort::RestartConTimeOut() {
    if (FCheckInterval > 0)
        FConTimeOutTimer.start();
}

const QStringList& TTevComPort::GetAvailableComPorts() {
    EnumComPorts(FAvailableComPorts);
    return FAvailableComPorts;
}

bool TTevComPort::SendString(const QString& Adata, bool AsGeneralCall) {
    if (!Active() || !Connected() || !FComThread || !FComThread->Serial().InstanceActive())
        return false;
    FStrBuf = Adata;
    DoSendStr();
    // A handler may have stopped the worker meanwhile.
    if (!FComThread)
        return false;
    FComThread->AddSendString(Adata, (AsGeneralCall || FGeneralCall) ? 1 : 0);
    return true;
}

bool TTevComPort::SendStringEx(const QString& str, const QString& atend, bool withCR) {
    SetAutoCR(withCR);
    SetCheckDoubleCRend(!atend.isEmpty());
    SetDoubleCRstring(atend);
    return SendString(str, false);
}

void TTevComPort::PurgeTx() {
    if (Active() && Connected() && FComThread && FComThread->Serial().InstanceActive())
        FComThread->SendBuffer().Clear();
}

int TTevComPort::GetQueue() const {
    return FComThread ? FComThread->SendBuffer().Count() : -1;
}

QString TTevComPort::GetLine() const {
    return FComThread ? FComThread->SendBuffer().CrcStr() : QString();
}

void TTevComPort::CheckTimerTick() {
    if (!FComThread)
        return;
    if (FCheckInterval <= 0)
        return;
    if (FCheckTimer.interval() != FCheckInterval)
        FCheckTimer.setInterval(FCheckInterval);
    if (FComThread->SendBuffer().PushFrontIfEmpty(FCheckCmd, 0))
        FComThread->Wake();
}

void TTevComPort::ConTimeOutTick() {
    if (Active() && Connected() && FComThread && FCheckTimer.isActive())
        FComThread->RequestTimeOut();
    if (!FCheckTimer.isActive())
        return;
    // A timer slot must not throw into the event loop: a failing handler goes to the error display.
    try {
        DoATTimeOut();
    } catch (const std::exception& ex) {
        ShowApplicationError(QString::fromUtf8(ex.what()));
    } catch (...) {
        ShowApplicationError(QStringLiteral("Unknown error"));
    }
}

void TTevComPort::DoActive() {
    if (OnActive)
        OnActive(this);
}

void TTevComPort::DoConnected() {
    if (OnConnected)
        OnConnected(this);
}

void TTevComPort::DoDisconnected() {
    FShared->FConnected.store(false);
    FShared->FAT_WORK.store(false);
    if (OnDisconnected)
        OnDisconnected(this);
}

void TTevComPort::DoComError() {
    if (FComThread && OnComError)
        OnComError(this, FComThread->LastError(), FComThread->LastErrorDesc());
}

void TTevComPort::DoRxString() {
    if (OnRxString)
        OnRxString(this, RxString());
    FConTimeOutTimer.stop();
    FCheckTimer.stop();
    if (FEnableCheckTimer && FCheckInterval > 0)
        FCheckTimer.start();
    else if (FEnableCheckTimer)
        FTimersHeldByZero = true;
}

void TTevComPort::DoGetCTS() {
    if (OnGetCTS)
        OnGetCTS(this);
}

void TTevComPort::DoGetDSR() {
    if (OnGetDSR)
        OnGetDSR(this);
}

void TTevComPort::DoGetDCD() {
    if (OnGetDCD)
        OnGetDCD(this);
}

void TTevComPort::DoGetRING() {
    if (OnGetRING)
        OnGetRING(this);
}

void TTevComPort::DoSendStr() {
    if (OnSendStr)
        OnSendStr(this, FStrBuf);
}

void TTevComPort::DoTxProgress() {
    if (OnTxProgress)
        OnTxProgress(this, TxProgress());
}

void TTevComPort::DoATTimeOut() {
    if (OnATTimeOut)
        OnATTimeOut(this);
}

void TTevComPort::TakeHandOver() {
    RunHandOver(*FShared, *this);
}

bool TTevComPort::eventFilter(QObject* watched, QEvent* e) {
    if (watched == FHookedForm && e->type() == QEvent::Close && !FInCloseHook) {
        OwnerCloseQuery(static_cast<QCloseEvent*>(e));
        return true;
    }
    return QObject::eventFilter(watched, e);
}

void TTevComPort::OwnerCloseQuery(QCloseEvent* e) {
    // The window's own handling first (its closeEvent and any filter installed before this one), with
    // this hook stepping aside; it may refuse.
    QPointer<TTevComPort> self(this);
    QPointer<QWidget> form(FHookedForm);
    FInCloseHook = true;
    QCoreApplication::sendEvent(form, e);
    if (!self)
        return;
    FInCloseHook = false;
    if (!e->isAccepted() || !form || !FComThread)
        return;
    try {
        FComThread->RequestStop();
        StopAndWait(FCloseWaitSteps);
        if (self && FComThread)
            AbandonWorker();
    } catch (const std::exception& ex) {
        ShowApplicationError(QString::fromUtf8(ex.what()));
    } catch (...) {
        ShowApplicationError(QStringLiteral("Unknown error"));
    }
}
