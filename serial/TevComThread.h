// The serial worker: owns the line, opens it when the component asks for a connection, frames received
// bytes into lines, probes the port, watches the modem lines and sends one queued entry per pass. Every
// notification is handed to the component on the GUI thread, and the worker waits until it has run.
#pragma once

#include "BlockSerial.h"
#include "SendQueue.h"

#include <QString>
#include <atomic>
#include <chrono>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class TTevComPort;
struct THandOverCall;

enum TParityBits { prNone, prOdd, prEven, prMark, prSpace };
enum TStopBits { sbOneStopBit, sbTwoStopBits };

// What the component and its workers share. The component keeps the values here rather than in itself so
// that a worker outliving it (abandoned after the close hook gave up) still has valid memory to read:
// it holds this by shared_ptr and reaches the component only through Owner, under OwnerLock.
struct TComShared {
    // Counts changes of the framing settings, so a worker can tell that one changed since it last looked.
    std::atomic<unsigned> FFramingChanges{0};
    void FramingChanged() { FFramingChanges.fetch_add(1); }

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

// On the GUI thread, for each wake-up: runs the component's oldest waiting hand-over. A hand-over that says
// it is not finished goes back to the front and is taken up again after the events that are already waiting.
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

    void AddSendString(const QString& str, int gc) {
        FTSendBuffer.Append(str, gc);
        Wake();
    }
    TSendQueue& SendBuffer() { return FTSendBuffer; }

    bool Connected() const { return FTConnected.load(); }
    // false: the loop closes the line on its next pass. true: opens the line at once on this thread.
    void SetConnected(bool value);

    // Stop request (FT_STOP): the loop ends at the start of its next pass; a wait in progress ends at once.
    void RequestStop();
    // Takes a stop request back. False when it is too late: the loop has already ended or is ending.
    bool Resume();
    bool StopRequested() const { return FStopState.load() != Running; }
    // The connection time-out (FTTimeOut): the loop closes the line on its next pass.
    void RequestTimeOut() {
        FTTimeOut.store(true);
        Wake();
    }
    // Something the loop looks at has changed (Connected written, an entry queued): a wait ends.
    void Wake();
    // The thread library's terminate request: the loop ends only when it and the application's shutdown
    // are both set (the stop request is how the component stops its worker).
    void Terminate() {
        FTerminated.store(true);
        Wake();
    }
    void ClearTerminate() { FTerminated.store(false); }
    bool Terminated() const { return FTerminated.load(); }

    int LastError() const { return FTLastError.load(); }
    QString LastErrorDesc() const;

    TBlockSerial& Serial() { return *FTSerial; }

    // Cuts the worker off its component for good: no more hand-overs, no writes to the shared flags.
    // Called on the GUI thread with the owner lock held.
    void Abandon() {
        FTAbandoned.store(true);
        Wake();
    }
    bool Abandoned() const { return FTAbandoned.load(); }

private:
    TTevComThread(std::shared_ptr<TComShared> shared, TSerialSysCalls* sys);
    void Execute();
    void RunLoop();
    void OpenLine();
    void ReceiveStep();
    // Frames one read into the text a pass delivers. pending: a line mode read that goes on next pass.
    QString ReadOne(bool lineMode, bool& pending);
    // After a connection time-out: the line coming in gets a moment to end and is delivered, cut if need be.
    void FinishLineBeforeClose();
    // Whether the next send waits, because a line is coming in and has not kept it waiting too long yet.
    bool SendHeldByLine();
    // How long a pass waits for bytes: short only where something must be sampled or retried.
    int ReceiveWaitMs() const;
    // On the GUI thread: delivers one line as the receive step does.
    void Deliver(TTevComPort& port, const QString& line);
    // A stop, time-out, forced disconnect or abandonment is waiting for the loop.
    bool PassInterrupted() const;
    // Whether the lines handed over in one go must stop here: the next pass would see something new.
    bool BatchMustEnd(unsigned framingChanges);
    // Whether a wait of the line ends for a wake-up: the loop has something else to do.
    bool WaitMustEnd() const;
    void ModemStep();
    // Closes the line and reports the component disconnected (forced disconnect, dropped entry).
    void CloseAndReportDisconnected();
    // Leaves the loop at the start of a pass if a stop was asked for; then a Resume() comes too late.
    bool TakeStop();
    void SleepUntilWoken(int ms);
    void SendStep();
    void ReportError(int code, const QString& desc);
    // Runs fn on the GUI thread with the component and waits for it; an exception thrown there is thrown
    // again here. Does nothing once the component is gone or the worker was abandoned.
    void HandOver(const std::function<void(TTevComPort&)>& fn);
    // The same for work done in slices: fn returns false to let the GUI thread run its own events before
    // it is called again; the worker waits until it returns true.
    void HandOverSliced(const std::function<bool(TTevComPort&)>& fn);
    // Queues the call and wakes the component; OwnerLock held, Owner set.
    void PostHandOver(std::shared_ptr<THandOverCall> call);
    void PostTerminated();

    std::shared_ptr<TComShared> FTParent;
    std::unique_ptr<TBlockSerial> FTSerial;
    enum { Running, StopWanted, Leaving };
    std::atomic<int> FStopState{Running};
    std::atomic<bool> FTTimeOut{false};
    std::atomic<bool> FTForceDisconnect{false};
    // An eventfd: written by Wake(), read empty by the wait that sees it.
    int FWakeFd = -1;
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
    bool FInSendStep = false;
    // A line mode read stopped in the middle of a line that is still coming in.
    bool FLineInProgress = false;
    // The last line mode read timed out holding only the LF of a CR LF line.
    bool FLoneLFTimedOut = false;
    // Since when the head entry waits for such a line; unset while nothing waits.
    std::optional<std::chrono::steady_clock::time_point> FSendHeldSince;
};
