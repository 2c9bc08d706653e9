// Adapter records, the flags the watcher shares with its scan, and the scan thread itself.
// The scan works on its own copy of the records; the watcher takes the results over on the GUI thread
// when the thread has ended, so a reader on the GUI thread never sees a half-written record.
#pragma once

#include <QString>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

class TTevFT232a;

// One attached FTDI adapter as the last scan saw it.
struct TRFTOrvakDefListFlags {
    std::uint32_t DeviceType = 0;
    std::uint32_t ID = 0;
    std::uint32_t LocID = 0;
    QString SerialNumber;
    QString chip;
    QString ComPort; // the tty name ("ttyUSB0"), or "COM?" when the port could not be had
    QString Description;
    std::uint32_t DeviceHandle = 0;
    std::int32_t OrvakOkFlag = 0; // user-area size in bytes
    QString OrvakDesc;
    std::int32_t Active = 0; // 0 active, 1 selectable, 2 no known port
    std::int32_t JustDiscovered = 0;
    QString Alias;
    std::array<char16_t, 200> FTUAorg{}; // raw user-area bytes, one character per byte

    // FTUAorg read as text up to its first NUL.
    QString FTUAorgText() const;
};

inline constexpr int FTOrvakMaxAdapters = 21;
using TFTOrvakDefListFlags = std::array<TRFTOrvakDefListFlags, FTOrvakMaxAdapters>;

// A text that the GUI thread writes while a scan reads it.
class TLockedText {
public:
    explicit TLockedText(const QString& initial = {}) : FValue(initial) {}
    QString get() const {
        std::lock_guard lock(FMutex);
        return FValue;
    }
    void set(const QString& value) {
        std::lock_guard lock(FMutex);
        FValue = value;
    }
    operator QString() const { return get(); }
    TLockedText& operator=(const QString& value) {
        set(value);
        return *this;
    }

private:
    mutable std::mutex FMutex;
    QString FValue;
};

// Process-wide scan flags, shared by every watcher and its scan thread.
extern TLockedText seekport;            // port sought (upper case), "*" = none, empty after a report
extern std::atomic<bool> bseekport;     // the seek is settled
extern std::atomic<bool> bseekPortOK;   // the sought port was found since the last arrival
extern std::atomic<bool> bseekportBusy; // a scan is running
extern std::atomic<bool> seekportIN;    // an arrival not yet reported as found

// What one scan reads and writes besides the shared flags. The thread points it at its own copies.
struct TScanTarget {
    TFTOrvakDefListFlags& FTOrvakDefListFlags;
    int& FDevCount;
    QString& ActSerial;
    bool& bTDiscoverError;
};

// One pass over the attached adapters through the D2XX layer. Clears bseekportBusy however it ends. False
// when the pass broke off (an error, or the layer not given back within ScanLayerWaitMs): its partial
// results are not to be published.
bool ScanAdapters(TScanTarget target);
// How long the pass waits for the D2XX layer at each step.
extern std::atomic<int> ScanLayerWaitMs;

// Copies the user area just read (D2xxUserArea, D2xxUserAreaSize) into a record's FTUAorg.
void ReadUserAreaRaw(TRFTOrvakDefListFlags& record);

// One scan on its own thread. The owner fills the inputs, sets the end handler and resumes it, and reads
// the results after the end handler has told it the pass is over; while the thread runs nobody else
// touches them.
class TTevFT232aCheckThread {
public:
    explicit TTevFT232aCheckThread(TTevFT232a* parent);
    // Joins a thread that has been resumed and not handed to itself.
    ~TTevFT232aCheckThread();
    TTevFT232aCheckThread(const TTevFT232aCheckThread&) = delete;
    TTevFT232aCheckThread& operator=(const TTevFT232aCheckThread&) = delete;

    // Runs on the scan thread when the pass is over; it must only hand over (post) to its owner. Cleared
    // with null, after which it is never called again.
    void SetOnTerminate(std::function<void()> handler);
    void Resume();
    // Waits at most ms for the end of the pass; true (and the thread joined) when it has ended.
    bool WaitFor(int ms);
    // Whether the pass ran to its end (valid after WaitFor).
    bool Complete();
    // The owner gives up on the thread: it frees itself when its pass is over (or now, if it is).
    static void FreeOnTerminate(TTevFT232aCheckThread* thread);

    TTevFT232a* ThrTevFt232a;
    TFTOrvakDefListFlags FTOrvakDefListFlags;
    int FDevCount = 0;
    QString FActiveSerial;
    bool bTDiscoverError = false;

private:
    void Execute();

    std::thread FThread;
    std::mutex FMutex;
    std::condition_variable FEnded;
    bool FDone = false;
    bool FComplete = false;
    bool FFreeOnEnd = false;
    std::function<void()> FOnTerminate;
};
