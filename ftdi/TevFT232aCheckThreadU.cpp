// One pass over the attached FTDI adapters: device list, then per adapter its serial, description,
// user area and port, and the choice of adapter 0 as the active one when every adapter is usable.
#include "TevFT232aCheckThreadU.h"
#include "D2XXUnit.h"
#include "D2xxText.h"
#include "tevFT232LibA.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>

TLockedText seekport(QStringLiteral("*"));
std::atomic<bool> bseekport{false};
std::atomic<bool> bseekPortOK{false};
std::atomic<bool> bseekportBusy{false};
std::atomic<bool> seekportIN{false};
std::atomic<int> ScanLayerWaitMs{5000};

namespace {

QString fieldText(const char* field, std::size_t size) {
    return D2xxFieldText(field, qsizetype(size));
}

bool isBlankOrControl(QChar c) {
    return c.unicode() <= 0x20;
}

// Trims blanks and control characters at both ends.
QString trimControls(const QString& s) {
    qsizetype b = 0;
    qsizetype e = s.size();
    while (b < e && isBlankOrControl(s[b]))
        ++b;
    while (e > b && isBlankOrControl(s[e - 1]))
        --e;
    return s.mid(b, e - b);
}

// The layer for one step of the pass. Line control may hold it for long (a bit-bang session lasts until it
// is switched off): rather than wait without end, the pass gives up and the watcher tries again later.
struct TScanLayerBusy {};
struct TScanSession {
    TScanSession() : session(std::chrono::milliseconds(ScanLayerWaitMs.load())) {
        if (!session.owns())
            throw TScanLayerBusy{};
    }
    D2xxSession session;
};

// Clears the busy flag on every way out of the pass.
struct TBusyGuard {
    TBusyGuard() { bseekportBusy = true; }
    ~TBusyGuard() { bseekportBusy = false; }
};

} // namespace

QString TRFTOrvakDefListFlags::FTUAorgText() const {
    const auto end = std::find(FTUAorg.begin(), FTUAorg.end(), u'\0');
    return QString::fromUtf16(FTUAorg.data(), qsizetype(end - FTUAorg.begin()));
}

void ReadUserAreaRaw(TRFTOrvakDefListFlags& record) {
    D2xxGetUserAreaSize();
    D2xxReadUserArea();
    std::uint32_t k = D2xxUserAreaSize;
    if (k == 0)
        k = 21;
    k = std::min<std::uint32_t>(k, D2xxUserAreaBufferSize);
    for (std::uint32_t i = 0; i < k; ++i)
        record.FTUAorg[i] = char16_t(D2xxUserArea[i]);
}

bool ScanAdapters(TScanTarget t) {
    D2xxShowErrors = false;
    t.bTDiscoverError = false;
    try {
        TBusyGuard busy;
        // Our own copy: another watcher's scan may refresh the layer's list while we work.
        std::vector<FT_Device_Info_Node> list;
        {
            TScanSession session;
            // A list that could not be had says nothing about the adapters: this pass is broken off,
            // never reported as "none attached".
            if (D2xxCreateDeviceList() != FT_OK || D2xxGetDeviceList() != FT_OK)
                return false;
            list.assign(D2xxDeviceList.begin(),
                        D2xxDeviceList.begin() +
                            std::min<std::size_t>(D2xxDeviceList.size(), D2xxDeviceCount));
        }
        int n = int(std::min<std::size_t>(list.size(), std::size_t(INT_MAX)));
        // The record array holds 21 adapters; the rest are not listed.
        n = std::min(n, FTOrvakMaxAdapters);
        t.FDevCount = n;
        bseekport = seekport.get() == QLatin1String("*");
        bool allPortsKnown = true;
        bool allSerialsUsable = true;
        t.ActSerial.clear();

        for (int i = 0; i < n; ++i) {
            TRFTOrvakDefListFlags& r = t.FTOrvakDefListFlags[std::size_t(i)];
            // One adapter's calls belong together: the layer's handle is ours from open to close.
            TScanSession session;
            const FT_Device_Info_Node& node = list[std::size_t(i)];
            r.Active = 1;
            r.JustDiscovered = 0;
            r.DeviceType = node.DeviceType;
            r.LocID = node.LocID;
            r.SerialNumber = fieldText(node.SerialNumber, sizeof node.SerialNumber);
            if (trimControls(r.SerialNumber).isEmpty()) {
                t.bTDiscoverError = true;
                allSerialsUsable = false;
            }
            r.chip = ChipTypeName(r.DeviceType);
            if (D2xxHandle)
                D2xxClose();
            D2xxOpenBySerial(r.SerialNumber);
            r.Description = fieldText(node.Description, sizeof node.Description);
            ReadUserAreaRaw(r);

            QString port;
            if (D2xxGetComPortName(port) == FT_OK && !port.isEmpty()) {
                r.ComPort = port;
            } else {
                r.ComPort = QStringLiteral("COM?");
                allPortsKnown = false;
            }
            // Port names are upper-cased when announced; tty names are not, so compare without case.
            if (!bseekport && r.ComPort.toUpper() == seekport.get()) {
                bseekport = true;
                bseekPortOK = true;
                r.JustDiscovered = 1;
            }
            if (r.ComPort == QLatin1String("COM?")) {
                bseekport = false;
                bseekPortOK = false;
                r.Active = 2;
                D2xxClose();
                break;
            }
            D2xxGetUserAreaSize();
            r.OrvakOkFlag = std::int32_t(D2xxUserAreaSize);
            D2xxClose();
        }
        {
            TScanSession session;
            if (D2xxHandle)
                D2xxClose();
        }

        if (n > 0 && allPortsKnown && allSerialsUsable) {
            t.FTOrvakDefListFlags[0].Active = 0;
            t.ActSerial = t.FTOrvakDefListFlags[0].SerialNumber;
        }

        for (int i = 0; i < n; ++i) {
            TRFTOrvakDefListFlags& r = t.FTOrvakDefListFlags[std::size_t(i)];
            r.OrvakDesc = trimControls(r.FTUAorgText());
            if (r.ComPort != QLatin1String("COM?") && r.ComPort.trimmed() != QLatin1String("?") &&
                r.OrvakDesc.size() > 50)
                r.OrvakDesc = QStringLiteral("empty");
        }
    } catch (...) {
        // A failing pass ends silently; the watcher publishes nothing of it and scans again.
        return false;
    }
    return true;
}

TTevFT232aCheckThread::TTevFT232aCheckThread(TTevFT232a* parent) : ThrTevFt232a(parent) {}

TTevFT232aCheckThread::~TTevFT232aCheckThread() {
    if (FThread.joinable())
        FThread.join();
}

void TTevFT232aCheckThread::SetOnTerminate(std::function<void()> handler) {
    std::lock_guard lock(FMutex);
    FOnTerminate = std::move(handler);
}

void TTevFT232aCheckThread::Resume() {
    if (!FThread.joinable())
        FThread = std::thread([this] { Execute(); });
}

bool TTevFT232aCheckThread::WaitFor(int ms) {
    {
        std::unique_lock lock(FMutex);
        if (!FEnded.wait_for(lock, std::chrono::milliseconds(ms), [this] { return FDone; }))
            return false;
    }
    if (FThread.joinable())
        FThread.join();
    return true;
}

bool TTevFT232aCheckThread::Complete() {
    std::lock_guard lock(FMutex);
    return FComplete;
}

void TTevFT232aCheckThread::FreeOnTerminate(TTevFT232aCheckThread* thread) {
    {
        std::lock_guard lock(thread->FMutex);
        thread->FOnTerminate = nullptr;
        if (!thread->FDone) {
            thread->FFreeOnEnd = true;
            return;
        }
    }
    delete thread;
}

void TTevFT232aCheckThread::Execute() {
    const bool complete = ScanAdapters({FTOrvakDefListFlags, FDevCount, FActiveSerial, bTDiscoverError});
    std::unique_lock lock(FMutex);
    FComplete = complete;
    FDone = true;
    FEnded.notify_all();
    if (FFreeOnEnd) {
        // Nobody waits for this pass any more: the thread takes itself down.
        FThread.detach();
        lock.unlock();
        delete this;
        return;
    }
    // Called under the lock, so that clearing the handler means it is never called afterwards.
    if (FOnTerminate)
        FOnTerminate();
}
