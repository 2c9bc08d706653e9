// The serial worker: owns the line, opens it when the component asks for a connection, frames received
// bytes into lines, probes the port, watches the modem lines and sends one queued entry per pass. Every
// notification is handed to the component on the GUI thread, and the worker waits until it has run.
#pragma once

#include "BlockSerial.h"
#include "SendQueue.h"

#include <QString>
#include <atomic>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

class TTevComPort;
struct THandOverCall;

enum TParityBits { prNone, prOdd, prEven, prMark, prSpace };
enum TStopBits { sbOneStopBit, sbTwoStopBits };

// What the component and its workers share. The component keeps the values here rather than in itself so
// that a worker outliving it (abandoned after the close hook gave up) still has valid memory to read:
// it holds this by shared_ptr and reaches the component only through Owner, under OwnerLock.
struct TComShared {
    std::atomic<bool> FActive{false};
    std::atomic<bool> FConnected{false};
    std::atomic<bool> FAT_WORK{false};
    std::atomic<bool> FAutoCR{true};
    std::atomic<bool> FCheckDoubleCRend{false};
    std::atomic<bool> FUseCRC{false};
    std::atomic<bool> FUseRS485{false};
    std::atomic<int> FParityBits{prNone};
    std::atomic<int> FStopBits{sbOneStopBit};
    std::atomic<int> FTxProgress{0};
    std::atomic<bool> _CTS{false};
    std::atomic<bool> _DSR{false};
    std::atomic<bool> _DCD{false};
    std::atomic<bool> _RING{false};

    // Text settings, each read whole at its use.
    QString Text(QString TComShared::*field) const {
        std::lock_guard<std::mutex> lock(FTextLock);
        return this->*field;
    }
    void SetText(QString TComShared::*field, const QString& value) {
        std::lock_guard<std::mutex> lock(FTextLock);
        this->*field = value;
    }
    QString FComPort{QStringLiteral("COM1")};
    QString FBaudRate{QStringLiteral("9600")};
    QString FDataBits{QStringLiteral("8")};
    QString FDoubleCRstring{QStringLiteral("#5A5A#")};
    QString FRS485adr;
    QString FStartStr;
    QString FRxString;

    // The component while it lives; null once it is destroyed.
    std::mutex OwnerLock;
    TTevComPort* Owner = nullptr;
    // Hand-overs waiting for the GUI thread, oldest first, under OwnerLock. The queued call that follows
    // each one only wakes the component: this lock, unlike the one inside Qt's event queue, is visible to
    // the thread sanitizer, so what a hand-over carries is seen to be published before it is used.
    std::deque<std::shared_ptr<THandOverCall>> HandOvers;

private:
    mutable std::mutex FTextLock;
};

// On the GUI thread, for each wake-up: runs the component's oldest waiting hand-over.
void RunHandOver(TComShared& shared, TTevComPort& port);
// Releases every waiting hand-over unrun (the worker is being cut off). Called with OwnerLock held.
void DropHandOvers(TComShared& shared);

// Set once the application is shutting down (its event loop is about to quit).
bool ApplicationTerminated();
void SetApplicationTerminated(bool value);

class TTevComThread : public std::enable_shared_from_this<TTevComThread> {
public:
    // Runs on the GUI thread: sets the component's Active and raises OnActive before the thread runs.
    // sys: the line's system calls (null: the real system), for tests. Start() runs the loop.
    static std::shared_ptr<TTevComThread> Create(TTevComPort* Parent, std::shared_ptr<TComShared> shared,
                                                 TSerialSysCalls* sys, bool Suspended);
    ~TTevComThread();
    TTevComThread(const TTevComThread&) = delete;
    TTevComThread& operator=(const TTevComThread&) = delete;

    void Start();
    // The end handler runs on the GUI thread after the loop has returned (the component clears its
    // reference there).
    std::function<void(TTevComThread*)> OnTerminate;

    void AddSendString(const QString& str, int gc) { FTSendBuffer.Append(str, gc); }
    TSendQueue& SendBuffer() { return FTSendBuffer; }

    bool Connected() const { return FTConnected.load(); }
    // false: the loop closes the line on its next pass. true: opens the line at once on this thread.
    void SetConnected(bool value);

    std::atomic<bool> FT_STOP{false};
    std::atomic<bool> FTTimeOut{false};
    std::atomic<bool> FTForceDisconnect{false};
    // The thread library's terminate request: the loop ends only when it and the application's shutdown
    // are both set (FT_STOP is how the component stops its worker).
    void Terminate() { FTerminated.store(true); }
    void ClearTerminate() { FTerminated.store(false); }
    bool Terminated() const { return FTerminated.load(); }

    int LastError() const { return FTLastError.load(); }
    QString LastErrorDesc() const;

    TBlockSerial& Serial() { return *FTSerial; }

    // Cuts the worker off its component for good: no more hand-overs, no writes to the shared flags.
    // Called on the GUI thread with the owner lock held.
    void Abandon() { FTAbandoned.store(true); }
    bool Abandoned() const { return FTAbandoned.load(); }

private:
    TTevComThread(std::shared_ptr<TComShared> shared, TSerialSysCalls* sys);
    void Execute();
    void RunLoop();
    void OpenLine();
    void ReceiveStep();
    QString ReadOne(bool lineMode);
    // A stop, time-out, forced disconnect or abandonment is waiting for the loop.
    bool PassInterrupted() const;
    void SendStep();
    void ReportError(int code, const QString& desc);
    // Runs fn on the GUI thread with the component and waits for it; an exception thrown there is thrown
    // again here. Does nothing once the component is gone or the worker was abandoned.
    void HandOver(const std::function<void(TTevComPort&)>& fn);
    // Queues the call and wakes the component; OwnerLock held, Owner set.
    void PostHandOver(std::shared_ptr<THandOverCall> call);
    void PostTerminated();

    std::shared_ptr<TComShared> FTParent;
    std::unique_ptr<TBlockSerial> FTSerial;
    std::atomic<bool> FTConnected{false};
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FTAbandoned{false};
    std::atomic<int> FTLastError{0};
    mutable std::mutex FTErrorLock;
    QString FTLastErrorDesc;
    TSendQueue FTSendBuffer;
    // Local to one run of the loop.
    int FEmptyReads = 0;
    int FSendFailures = 0;
};
