// TTevComPort: a non-visual serial-port component owned by a window. The application sets the port and
// line settings, writes Active and Connected, gets every received line as OnRxString and queues outgoing
// text with SendString; the blocking work is done by its worker thread (TTevComThread).
//
// Events are assignable std::function members, raised only when set and always on the GUI thread,
// synchronously: a worker that reports something waits until the handler has returned. A handler may throw;
// the exception goes back to the worker (reported as -200 "Thread exception"), never into the event loop.
// Properties are getter/setter pairs named as the settings: Active()/SetActive(), ComPort()/SetComPort() ...
//
// Call Loaded() once the owner window is built (it installs the close hook on the owner window and applies
// Active, _RTS and _DTR as the stored settings would). Every public member is for the GUI thread.
#pragma once

#include "ATCommands.h"
#include "EnumComPorts.h"
#include "TevComThread.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>

class QCloseEvent;

using TNotifyEvent = std::function<void(QObject* Sender)>;
using TOnRxString = std::function<void(QObject* Sender, const QString& ABuf)>;
using TOnComError = std::function<void(QObject* Sender, int Error, const QString& Desc)>;
using TOnSendStr = std::function<void(QObject* Sender, const QString& AString)>;
using TOnTxBufProgress = std::function<void(QObject* Sender, int Position)>;

class TTevComPort : public QObject {
    Q_OBJECT
public:
    explicit TTevComPort(QObject* AOwner = nullptr);
    ~TTevComPort() override;

    // After the owner's settings are in place: the close hook, then Active, _RTS, _DTR as if written.
    void Loaded();

    // --- published properties
    bool Active() const { return FShared->FActive.load(); }
    void SetActive(bool Value);
    bool Connected() const { return FShared->FConnected.load(); }
    void SetConnected(bool Value);
    QString ComPort() const { return FShared->Text(&TComShared::FComPort); }
    void SetComPort(const QString& Value) { FShared->SetText(&TComShared::FComPort, Value); }
    QString BaudRate() const { return FShared->Text(&TComShared::FBaudRate); }
    void SetBaudRate(const QString& Value) { FShared->SetText(&TComShared::FBaudRate, Value); }
    QString DataBits() const { return FShared->Text(&TComShared::FDataBits); }
    void SetDataBits(const QString& Value) { FShared->SetText(&TComShared::FDataBits, Value); }
    TParityBits ParityBits() const { return TParityBits(FShared->FParityBits.load()); }
    void SetParityBits(TParityBits Value) { FShared->FParityBits.store(Value); }
    TStopBits StopBits() const { return TStopBits(FShared->FStopBits.load()); }
    void SetStopBits(TStopBits Value) { FShared->FStopBits.store(Value); }
    bool AutoCR() const { return FShared->FAutoCR.load(); }
    void SetAutoCR(bool Value) {
        FShared->FAutoCR.store(Value);
        FShared->FramingChanged();
    }
    bool CheckDoubleCRend() const { return FShared->FCheckDoubleCRend.load(); }
    void SetCheckDoubleCRend(bool Value) {
        FShared->FCheckDoubleCRend.store(Value);
        FShared->FramingChanged();
    }
    QString DoubleCRstring() const { return FShared->Text(&TComShared::FDoubleCRstring); }
    void SetDoubleCRstring(const QString& Value) {
        FShared->SetText(&TComShared::FDoubleCRstring, Value);
        FShared->FramingChanged();
    }
    TATCommands* ATCommands() const { return FATCommands.get(); }
    void SetATCommands(const TATCommands& Value) { FATCommands->Assign(Value); }
    // Written while the line is open they switch the output to the opposite level: true off, false on.
    bool _RTS() const { return F_RTS; }
    void Set_RTS(bool Value);
    bool _DTR() const { return F_DTR; }
    void Set_DTR(bool Value);
    bool AT_WORK() const { return FShared->FAT_WORK.load(); }
    int CheckInterval() const { return FCheckInterval; }
    // 0 or less switches both timers off; a positive value after it switches them on again while
    // EnableCheckTimer is true.
    void SetCheckInterval(int Value);
    QString CheckCmd() const { return FCheckCmd; }
    void SetCheckCmd(const QString& Value) { FCheckCmd = Value; }
    bool EnableCheckTimer() const { return FEnableCheckTimer; }
    void SetEnableCheckTimer(bool Value);
    bool UseCRC() const { return FShared->FUseCRC.load(); }
    void SetUseCRC(bool Value) {
        FShared->FUseCRC.store(Value);
        FShared->FramingChanged();
    }
    QString RS485adr() const { return FShared->Text(&TComShared::FRS485adr); }
    void SetRS485adr(const QString& Value) {
        FShared->SetText(&TComShared::FRS485adr, Value);
        FShared->FramingChanged();
    }
    bool UseRS485() const { return FShared->FUseRS485.load(); }
    void SetUseRS485(bool Value) {
        FShared->FUseRS485.store(Value);
        FShared->FramingChanged();
    }
    bool GeneralCall() const { return FGeneralCall; }
    void SetGeneralCall(bool Value) { FGeneralCall = Value; }

    // --- events
    TNotifyEvent OnActive;
    TNotifyEvent OnConnected;
    TNotifyEvent OnDisconnected;
    TOnComError OnComError;
    TOnRxString OnRxString;
    TNotifyEvent OnGetCTS;
    TNotifyEvent OnGetDSR;
    TNotifyEvent OnGetDCD;
    TNotifyEvent OnGetRING;
    TNotifyEvent OnATTimeOut;
    TOnSendStr OnSendStr;
    TOnTxBufProgress OnTxProgress;

    // --- public members
    // Enumerates again on every read; the list stays the component's.
    const QStringList& AvailableComPorts() { return GetAvailableComPorts(); }
    const QStringList& GetAvailableComPorts();
    // Queues Adata when active, connected and the line is open; returns whether it was queued.
    bool SendString(const QString& Adata, bool AsGeneralCall = false);
    // Sets AutoCR, CheckDoubleCRend and DoubleCRstring for good, then SendString(str, false).
    bool SendStringEx(const QString& str, const QString& atend, bool withCR);
    void PurgeTx();
    // -1 without a worker, else the number of queued entries.
    int GetQueue() const;
    // The frame of the entry being sent; empty without a worker or with an empty queue.
    QString GetLine() const;
    // Last seen states of the modem inputs. Written by the caller, a state is what the worker compares the
    // next reading with.
    bool _CTS() const { return FShared->_CTS.load(); }
    bool _DSR() const { return FShared->_DSR.load(); }
    bool _DCD() const { return FShared->_DCD.load(); }
    bool _RING() const { return FShared->_RING.load(); }
    void Set_CTS(bool Value) { FShared->_CTS.store(Value); }
    void Set_DSR(bool Value) { FShared->_DSR.store(Value); }
    void Set_DCD(bool Value) { FShared->_DCD.store(Value); }
    void Set_RING(bool Value) { FShared->_RING.store(Value); }
    // Start string put before every plain frame (FStartStr).
    QString StartStr() const { return FShared->Text(&TComShared::FStartStr); }
    void SetStartStr(const QString& Value) {
        FShared->SetText(&TComShared::FStartStr, Value);
        FShared->FramingChanged();
    }

    // --- notifications; each raises its event only when a handler is set
    void DoActive();
    void DoConnected();
    void DoDisconnected();
    virtual void DoComError();
    virtual void DoRxString();
    void DoGetCTS();
    void DoGetDSR();
    void DoGetDCD();
    void DoGetRING();
    void DoSendStr();
    void DoTxProgress();
    void DoATTimeOut();

    // --- for tests and tools
    QTimer* CheckTimer() { return &FCheckTimer; }
    QTimer* ConTimeOutTimer() { return &FConTimeOutTimer; }
    TTevComThread* ComThread() const { return FComThread.get(); }
    // The system calls the next workers' lines use (not owned; null: the real system).
    void SetSysCalls(TSerialSysCalls* sys) { FSysCalls = sys; }
    // Longest time the close hook waits for the worker, in 10 ms steps (301 as shipped).
    void SetCloseWaitSteps(int steps) { FCloseWaitSteps = steps; }
    QString RxString() const { return FShared->Text(&TComShared::FRxString); }
    int TxProgress() const { return FShared->FTxProgress.load(); }

protected:
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    friend class TTevComThread;
    void CheckTimerTick();
    void ConTimeOutTick();
    void ComThreadTerminated(TTevComThread* thread);
    void StartWorker();
    // After a delivered line: the time-out counts again from now.
    void RestartConTimeOut();
    // The worker's wake-up: runs its oldest waiting hand-over.
    Q_INVOKABLE void TakeHandOver();
    void OwnerCloseQuery(QCloseEvent* e);
    void StopAndWait(int steps);
    // Leaves the worker to end on its own without ever reaching this component again.
    void AbandonWorker();

    std::shared_ptr<TComShared> FShared;
    std::unique_ptr<TATCommands> FATCommands;
    QStringList FAvailableComPorts;
    bool F_RTS = true;
    bool F_DTR = true;
    std::shared_ptr<TTevComThread> FComThread;
    QString FStrBuf;
    QTimer FCheckTimer;
    QTimer FConTimeOutTimer;
    QString FCheckCmd{QStringLiteral("AT")};
    int FCheckInterval = 5000;
    bool FEnableCheckTimer = false;
    // The timers were wanted while CheckInterval was 0 or less: a positive value starts them again.
    bool FTimersHeldByZero = false;
    bool FGeneralCall = false;
    // Active was written true while the worker was already leaving: a new one starts when it has ended.
    bool FRestartWanted = false;
    bool FLoadedDone = false;
    QPointer<QWidget> FHookedForm;
    bool FInCloseHook = false;
    int FCloseWaitSteps = 301;
    TSerialSysCalls* FSysCalls = nullptr;
};
