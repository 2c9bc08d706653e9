// The adapter watcher: device changes arm a one-second timer, the timer starts a scan thread, and the
// scan's results are taken over and reported on the GUI thread. Line control and the user-area methods
// hold the D2XX layer for their whole call sequence.
#include "TevFT232a.h"
#include "D2XXUnit.h"
#include "DeviceChangeMonitor.h"
#include "tevFT232LibA.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

// Every live watcher, for announcements that come from other threads (the simulator's plug events).
std::mutex gWatchersMutex;
std::vector<TTevFT232a*> gWatchers;

extern "C" void backendChangeHandler(void* /*context*/, int arrived, const char* port) {
    TTevFT232a::DeviceChangeNotify(DBT_DEVNODES_CHANGED);
    if (arrived && port && *port)
        TTevFT232a::DeviceChangeNotify(DBT_DEVICEARRIVAL, QString::fromLocal8Bit(port));
}

// How long line control waits for a scan to give the layer back (one adapter's part of a scan).
constexpr std::chrono::milliseconds LayerWait{5000};

void writeByte(std::uint8_t b) {
    D2xxWriteBuffer[0] = b;
    D2xxWrite(1);
}

bool blank(const QString& s) {
    return s.trimmed().isEmpty();
}

// Builds the broadcast a port arrival carries: header, then the NUL-terminated UTF-16 name.
std::vector<std::uint8_t> portBroadcast(const QString& name) {
    const std::size_t bytes = sizeof(DEV_BROADCAST_HDR) + (std::size_t(name.size()) + 1) * sizeof(char16_t);
    std::vector<std::uint8_t> buf(bytes, 0);
    DEV_BROADCAST_HDR hdr{std::uint32_t(bytes), DBT_DEVTYP_PORT, 0};
    std::memcpy(buf.data(), &hdr, sizeof hdr);
    std::memcpy(buf.data() + sizeof hdr, name.utf16(), std::size_t(name.size()) * sizeof(char16_t));
    return buf;
}

} // namespace

bool TTevFT232a::RunLineOp(TLayerUse use, const std::function<bool()>& begin,
                           const std::function<bool()>& work, const std::function<void()>& end) {
    // Shared with the worker; the caller's frame outlives the call, the watcher may not.
    struct TState {
        std::shared_ptr<D2xxSession> held;
        std::shared_ptr<D2xxSession> keep;
        bool ran = false;
    };
    auto state = std::make_shared<TState>();
    TGuiCallQueue::TCall call;
    call.begin = [this, use, state, &begin] {
        if ((use == TLayerUse::BitBang) != bool(FBitBangHold))
            return false;
        if (begin && !begin())
            return false;
        state->held = FBitBangHold;
        return true;
    };
    call.work = [state, &work] {
        if (state->held) {
            state->ran = true;
            work();
            return;
        }
        auto session = std::make_shared<D2xxSession>(LayerWait);
        if (!session->owns())
            return;
        state->ran = true;
        if (work())
            state->keep = std::move(session);
    };
    call.end = [this, state, &end](bool ownerGone) {
        // The session's next call may be waiting right behind this one.
        state->held.reset();
        if (ownerGone) {
            state->keep.reset();
            return;
        }
        if (state->keep)
            FBitBangHold = std::move(state->keep);
        if (state->ran && end)
            end();
    };
    TGuiCallQueue::Run(FLineCalls, std::move(call));
    return state->ran;
}

TTevFT232a::TTevFT232a(QObject* Owner) : QObject(Owner) {
    FParent = qobject_cast<QWidget*>(Owner);
    FFT232HWND = std::make_unique<TDeviceChangeMonitor>(
        [this](std::uint32_t wParam, const QString& port) {
            if (wParam == DBT_DEVICEARRIVAL) {
                const auto buf = portBroadcast(port);
                WMDeviceChange(wParam, buf.data());
            } else {
                WMDeviceChange(wParam, nullptr);
            }
        },
        nullptr);
    FLineCalls = std::make_shared<TGuiCallQueue>();
    FConnectTimer = new QTimer(this);
    FConnectTimer->setInterval(ConnectInterval);
    connect(FConnectTimer, &QTimer::timeout, this, &TTevFT232a::ConnectTimerTick);
    FConnectTimer->start();
    bseekPortOK = false;
    seekport = QStringLiteral("*");
    {
        std::lock_guard lock(gWatchersMutex);
        gWatchers.push_back(this);
    }
    D2xxSetChangeCallback(&backendChangeHandler, nullptr);
}

TTevFT232a::~TTevFT232a() {
    bool last = false;
    {
        std::lock_guard lock(gWatchersMutex);
        gWatchers.erase(std::remove(gWatchers.begin(), gWatchers.end(), this), gWatchers.end());
        last = gWatchers.empty();
    }
    if (last)
        D2xxSetChangeCallback(nullptr, nullptr);
    FFT232HWND.reset();
    FConnectTimer->stop();
    FConnectTimer->disconnect(this);
    // Calls still waiting return without running; a running one leaves the watcher alone.
    FLineCalls->Close();
    // A scan may wait for the layer that a bit-bang session holds.
    FBitBangHold.reset();
    if (TTevFT232aCheckThread* thread = FTevFT232aCheckThread) {
        FTevFT232aCheckThread = nullptr;
        // The end handler must never run on a destroyed watcher; the thread only touches its own copies.
        thread->SetOnTerminate(nullptr);
        if (thread->WaitFor(ScanWaitOnDestroyMs))
            delete thread;
        else
            TTevFT232aCheckThread::FreeOnTerminate(thread);
    }
}

bool TTevFT232a::Active() const {
    return FTevFT232aCheckThread != nullptr;
}

void TTevFT232a::SetActive(bool value) {
    FActive = value;
}

bool TTevFT232a::TimerEnabled() const {
    return FConnectTimer->isActive();
}

void TTevFT232a::EnableTimer() {
    // Enabling a running timer must not restart its interval: a burst gives one tick.
    if (!FConnectTimer->isActive())
        FConnectTimer->start();
}

void TTevFT232a::DeviceChangeNotify(std::uint32_t wParam, const QString& portName) {
    std::lock_guard lock(gWatchersMutex);
    for (TTevFT232a* w : gWatchers) {
        {
            std::lock_guard handOver(w->FHandOverLock);
            w->FDeviceChanges.emplace_back(wParam, portName);
        }
        // One wake-up per change, queued to the watcher's thread; Qt drops it if the watcher goes first.
        QMetaObject::invokeMethod(w, "TakeDeviceChange", Qt::QueuedConnection);
    }
}

void TTevFT232a::TakeDeviceChange() {
    std::pair<std::uint32_t, QString> change;
    {
        std::lock_guard lock(FHandOverLock);
        if (FDeviceChanges.empty())
            return;
        change = std::move(FDeviceChanges.front());
        FDeviceChanges.pop_front();
    }
    const auto [wParam, portName] = change;
    if (wParam == DBT_DEVICEARRIVAL) {
        const auto buf = portBroadcast(portName);
        WMDeviceChange(wParam, buf.data());
    } else {
        WMDeviceChange(wParam, nullptr);
    }
}

void TTevFT232a::WMDeviceChange(std::uint32_t wParam, const void* lParam) {
    if (wParam == DBT_DEVNODES_CHANGED) {
        const QString s = seekport.get().trimmed();
        if (s.isEmpty() || s.contains(QLatin1Char('?')))
            seekport = QStringLiteral("*");
        EnableTimer();
    } else if (wParam == DBT_DEVICEARRIVAL) {
        if (!lParam)
            return;
        DEV_BROADCAST_HDR hdr;
        std::memcpy(&hdr, lParam, sizeof hdr);
        if (hdr.dbch_devicetype != DBT_DEVTYP_PORT)
            return;
        const auto* bytes = static_cast<const std::uint8_t*>(lParam) + sizeof hdr;
        const std::size_t room =
            hdr.dbch_size > sizeof hdr ? (hdr.dbch_size - sizeof hdr) / sizeof(char16_t) : std::size_t(0);
        QString name;
        for (std::size_t i = 0; i < std::min<std::size_t>(room, 101); ++i) {
            char16_t c;
            std::memcpy(&c, bytes + i * sizeof c, sizeof c);
            if (c == 0)
                break;
            name.append(QChar(c));
        }
        QString upper = name;
        for (QChar& c : upper)
            if (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
                c = QChar(c.unicode() - 'a' + 'A');
        seekport = upper;
        FNewPort = name;
        seekportIN = true;
        bseekPortOK = false;
        EnableTimer();
    }
}

void TTevFT232a::ConnectTimerTick() {
    if (bseekportBusy)
        return;
    FConnectTimer->stop();
    DetectFT232();
}

void TTevFT232a::DetectFT232() {
    try {
        if (FfrmList)
            QMetaObject::invokeMethod(FfrmList.data(), "MagentaEyeOn");
        StartScan();
    } catch (...) {
    }
}

void TTevFT232a::StartScan() {
    if (!FActive)
        return;
    if (FTevFT232aCheckThread) {
        EnableTimer();
        return;
    }
    auto* thread = new TTevFT232aCheckThread(this);
    thread->FTOrvakDefListFlags = FTOrvakDefListFlags;
    thread->FDevCount = FListCount;
    thread->FActiveSerial = FActiveSerial;
    thread->bTDiscoverError = bDiscoverError;
    // Runs on the scan thread: only queues the end handler to the GUI thread.
    thread->SetOnTerminate([this, thread] {
        {
            std::lock_guard lock(FHandOverLock);
            FEndedScans.push_back(thread);
        }
        QMetaObject::invokeMethod(this, "TakeEndedScan", Qt::QueuedConnection);
    });
    FTevFT232aCheckThread = thread;
    thread->Resume();
}

void TTevFT232a::TakeEndedScan() {
    TTevFT232aCheckThread* thread = nullptr;
    {
        std::lock_guard lock(FHandOverLock);
        if (FEndedScans.empty())
            return;
        thread = FEndedScans.front();
        FEndedScans.pop_front();
    }
    ScanFinished(thread);
}

void TTevFT232a::ScanFinished(TTevFT232aCheckThread* thread) {
    if (thread != FTevFT232aCheckThread)
        return;
    thread->WaitFor(ScanWaitOnDestroyMs); // over already: this joins it
    FTevFT232aCheckThread = nullptr;
    if (!thread->Complete()) {
        // A broken-off pass publishes nothing; the seek stays as it was and the next tick scans again.
        delete thread;
        EnableTimer();
        return;
    }
    // The results become visible here, all at once, on the GUI thread.
    FTOrvakDefListFlags = thread->FTOrvakDefListFlags;
    FListCount = thread->FDevCount;
    FActiveSerial = thread->FActiveSerial;
    bDiscoverError = thread->bTDiscoverError;
    delete thread;

    if ((bseekport || bseekPortOK) && !bDiscoverError) {
        FConnectTimer->stop();
        seekport = QString();
        if (OnDetectUSB)
            OnDetectUSB(this, seekportIN, FTOrvakDefListFlags, FListCount, FActiveSerial, FNewPort);
        if (FfrmList)
            QMetaObject::invokeMethod(FfrmList.data(), "MagentaEyeOff");
        if (bseekPortOK)
            seekportIN = false;
    } else {
        EnableTimer();
        seekport = QStringLiteral("*");
    }
}

int TTevFT232a::FindActive() const {
    const int n = std::clamp(FListCount, 0, FTOrvakMaxAdapters);
    for (int i = 0; i < n; ++i) {
        const auto& r = FTOrvakDefListFlags[std::size_t(i)];
        if (r.Active == 0 && r.SerialNumber == FActiveSerial)
            return i;
    }
    return -1;
}

QString TTevFT232a::GetActiveComPort() const {
    if (blank(FActiveSerial))
        return {};
    const int i = FindActive();
    return i < 0 ? QStringLiteral("COM?") : FTOrvakDefListFlags[std::size_t(i)].ComPort;
}

int TTevFT232a::GetActiveIDX() const {
    return blank(FActiveSerial) ? -1 : FindActive();
}

std::uint32_t TTevFT232a::GetActiveLocation() const {
    if (blank(FActiveSerial))
        return 0;
    const int i = FindActive();
    return i < 0 ? 0 : FTOrvakDefListFlags[std::size_t(i)].LocID;
}

QString TTevFT232a::GetActiveChipType() const {
    if (blank(FActiveSerial))
        return {};
    const int i = FindActive();
    return i < 0 ? QString() : FTOrvakDefListFlags[std::size_t(i)].chip;
}

QString TTevFT232a::GetActiveDescription() const {
    if (blank(FActiveSerial))
        return {};
    const int i = FindActive();
    return i < 0 ? QString() : FTOrvakDefListFlags[std::size_t(i)].Description;
}

QString TTevFT232a::GetActiveOrvakDesc() const {
    if (blank(FActiveSerial))
        return {};
    const int i = FindActive();
    return i < 0 ? QString() : FTOrvakDefListFlags[std::size_t(i)].OrvakDesc;
}

bool TTevFT232a::SetActiveSerial(const QString& aSerial) {
    const int n = std::clamp(FListCount, 0, FTOrvakMaxAdapters);
    bool found = false;
    for (int i = 0; i < n; ++i) {
        const auto& r = FTOrvakDefListFlags[std::size_t(i)];
        if (r.Active != 2 && r.SerialNumber == aSerial)
            found = true;
    }
    if (!found)
        return false;
    for (int i = 0; i < n; ++i) {
        auto& r = FTOrvakDefListFlags[std::size_t(i)];
        if (r.Active != 2)
            r.Active = r.SerialNumber == aSerial ? 0 : 1;
    }
    FActiveSerial = aSerial;
    return true;
}

void TTevFT232a::DoOnChangeChip(int ActIDX, const QString& ActSerial) {
    if (OnChangeChip)
        OnChangeChip(this, ActIDX, ActSerial);
}

void TTevFT232a::CloseFrmList() {
    if (FfrmList)
        FfrmList->close();
}

void TTevFT232a::SetParentFocus() {
    if (!FParent)
        return;
    FParent->raise();
    FParent->activateWindow();
    FParent->setFocus();
}

// ---- user area ----

namespace {

// Bytes 0 onward up to the first NUL or the end of what was read.
QString plainUserText() {
    const std::uint32_t count = std::min<std::uint32_t>(D2xxUserAreaSize, D2xxUserAreaBufferSize);
    QString text;
    for (std::uint32_t i = 0; i < count && D2xxUserArea[i] != 0; ++i)
        text.append(QChar(D2xxUserArea[i]));
    return text;
}

// Byte 0 is the length, limited to what was read; the text follows.
QString prefixedUserText() {
    const std::uint32_t count = std::min<std::uint32_t>(D2xxUserAreaSize, D2xxUserAreaBufferSize);
    if (count == 0)
        return {};
    const std::uint32_t len = std::min<std::uint32_t>(D2xxUserArea[0], count - 1);
    QString text;
    for (std::uint32_t i = 1; i <= len; ++i)
        text.append(QChar(D2xxUserArea[i]));
    return text;
}

} // namespace

QString TTevFT232a::ReadActiveUserArea(QString (*decode)()) {
    QString serial;
    std::uint8_t pins = 0;
    QString text;
    RunLineOp(
        TLayerUse::Own,
        [&] {
            serial = FActiveSerial;
            pins = FCBusBitIO;
            return !blank(serial);
        },
        [&] {
            D2xxOpenBySerial(serial);
            D2xxGetBitMode(pins);
            D2xxGetUserAreaSize();
            D2xxReadUserArea();
            text = decode();
            D2xxClose();
            return false;
        },
        [&] { FCBusBitIO = pins; });
    return text;
}

QString TTevFT232a::ReadFTUserData() {
    return ReadActiveUserArea(plainUserText);
}

QString TTevFT232a::ReadFTUserDataWLEN() {
    return ReadActiveUserArea(prefixedUserText);
}

QString TTevFT232a::GetFFTUserData() {
    QString text;
    RunLineOp(TLayerUse::Own, {}, [&] {
        D2xxGetUserAreaSize();
        D2xxReadUserArea();
        text = prefixedUserText();
        return false;
    });
    return text;
}

bool TTevFT232a::WriteActiveUserArea(const std::function<bool(std::uint32_t size)>& fill) {
    QString serial;
    bool ok = false;
    RunLineOp(
        TLayerUse::Own,
        [&] {
            serial = FActiveSerial;
            return !blank(serial);
        },
        [&] {
            // Never a write with a size that was not read from this adapter.
            if (D2xxOpenBySerial(serial) != FT_OK)
                return false;
            ok = D2xxGetUserAreaSize() == FT_OK && fill(D2xxUserAreaSize) && D2xxWriteUserArea() == FT_OK;
            ok = D2xxClose() == FT_OK && ok;
            return false;
        });
    return ok;
}

bool TTevFT232a::WriteFTUserData(const QString& buf) {
    return WriteActiveUserArea([&buf](std::uint32_t S) {
        if (S == 0)
            return false; // no user area: nothing would be written
        std::uint32_t n = std::uint32_t(buf.size());
        if (n > S)
            n = S - 1;
        n = std::min<std::uint32_t>(n, D2xxUserAreaBufferSize);
        std::memset(D2xxUserArea, 0, std::min<std::uint32_t>(S, D2xxUserAreaBufferSize));
        for (std::uint32_t i = 0; i < n; ++i)
            D2xxUserArea[i] = std::uint8_t(buf[qsizetype(i)].unicode() & 0xFF);
        return true;
    });
}

bool TTevFT232a::WriteFTUserDataWLEN(std::uint8_t alen, const QString& buf) {
    return WriteActiveUserArea([&](std::uint32_t S) {
        if (S == 0)
            return false;
        // Length byte, text and NUL must stay inside the 64-byte buffer.
        const std::uint32_t len = std::min<std::uint32_t>(alen, D2xxUserAreaBufferSize - 2);
        D2xxUserArea[0] = std::uint8_t(len);
        for (std::uint32_t i = 0; i < len; ++i)
            D2xxUserArea[i + 1] =
                i < std::uint32_t(buf.size()) ? std::uint8_t(buf[qsizetype(i)].unicode() & 0xFF) : 0;
        D2xxUserArea[len + 1] = 0;
        return true;
    });
}

// ---- line control ----

namespace {

void pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace

void TTevFT232a::ResetPulse(const QString& aSerial, bool onepulse, std::uint8_t ChosenResetLine) {
    // A pulse asked for again while one is under way (a second double click) is not given twice.
    if (FPulses > 0)
        return;
    ++FPulses;
    QPointer<TTevFT232a> self(this);
    QString serial;
    RunLineOp(
        TLayerUse::Own,
        [&] {
            serial = aSerial.isEmpty() ? FActiveSerial : aSerial;
            return !serial.isEmpty();
        },
        [&] {
            D2xxResetDevice();
            D2xxResetPort();
            D2xxClose();
            if (D2xxOpenBySerial(serial) != FT_OK)
                return false;
            if (D2xxSetBitMode(ChosenResetLine, FT_BITMODE_ASYNC_BITBANG) != FT_OK)
                return false;
            const int cycles = onepulse ? 11 : 1;
            for (int c = 0; c < cycles; ++c) {
                writeByte(0x00);
                DriveSingleCbusPin(serial, 1, 0);
                pause(40);
                writeByte(ChosenResetLine);
                if (!onepulse)
                    break;
                DriveSingleCbusPin(serial, 1, 1);
                pause(40);
            }
            D2xxSetBitMode(0xFF, FT_BITMODE_RESET);
            D2xxClose();
            return false;
        });
    if (self)
        --FPulses;
}

bool TTevFT232a::Init_ControllerBySerial(const QString& /*aSerial*/) {
    QString serial;
    bool ok = false;
    RunLineOp(
        TLayerUse::Own,
        [&] {
            serial = FActiveSerial;
            return true;
        },
        [&] {
            if (D2xxOpenBySerial(serial) != FT_OK)
                return false;
            const FT_STATUS st = D2xxSetLatencyTimer(16);
            ok = D2xxHandle != nullptr && st == FT_OK;
            return false;
        });
    return ok;
}

void TTevFT232a::BitBangON(std::uint8_t ft232_dir, std::uint8_t ft232_val) {
    QString serial;
    bool on = false;
    RunLineOp(
        TLayerUse::Own,
        [&] {
            serial = FActiveSerial;
            return !blank(serial);
        },
        [&] {
            if (D2xxOpenBySerial(serial) != FT_OK)
                return false;
            if (D2xxSetLatencyTimer(16) != FT_OK || D2xxHandle == nullptr)
                return false;
            D2xxSetBitMode(ft232_dir, FT_BITMODE_ASYNC_BITBANG);
            writeByte(ft232_val);
            on = true;
            // The adapter stays open in bit-bang mode: the layer stays ours until BitBangOFF.
            return true;
        },
        [&] {
            if (on)
                FBitBangMode = true;
        });
}

bool TTevFT232a::InBitBangSession() const {
    return !blank(FActiveSerial) && FBitBangMode;
}

void TTevFT232a::BitBangWrite(std::uint8_t val) {
    RunLineOp(
        TLayerUse::BitBang, [this] { return InBitBangSession(); },
        [&] {
            writeByte(val);
            return false;
        });
}

std::uint8_t TTevFT232a::BitBangRead() {
    std::uint8_t value = 0;
    RunLineOp(
        TLayerUse::BitBang, [this] { return InBitBangSession(); },
        [&] {
            D2xxGetBitMode(value);
            return false;
        });
    return value;
}

void TTevFT232a::BitBangOFF() {
    QString serial;
    RunLineOp(
        TLayerUse::BitBang,
        [&] {
            serial = FActiveSerial;
            return InBitBangSession();
        },
        [&] {
            DriveSingleCbusPin(serial, 1, 0);
            pause(10);
            D2xxSetBitMode(0xFF, FT_BITMODE_RESET);
            D2xxClose();
            if (D2xxOpenBySerial(serial) == FT_OK)
                D2xxSetLatencyTimer(16);
            D2xxClose();
            return false;
        },
        [&] {
            FBitBangMode = false;
            FBitBangHold.reset();
        });
}

void TTevFT232a::SetCbusPinVal(std::uint8_t pin, std::uint8_t val) {
    QString serial;
    std::uint8_t state = 0;
    RunLineOp(
        TLayerUse::Own,
        [&] {
            serial = FActiveSerial;
            state = FCBusBitIO;
            return true;
        },
        [&] {
            D2xxOpenBySerial(serial);
            const std::uint8_t level = val == 0 ? 1 : 0;
            WriteCbusPin(serial, pin, level, state);
            D2xxClose();
            return false;
        },
        [&] { FCBusBitIO = state; });
}

std::uint8_t TTevFT232a::GetCbusVal() {
    QString serial;
    std::uint8_t value = 0;
    RunLineOp(
        TLayerUse::Own,
        [&] {
            serial = FActiveSerial;
            return true;
        },
        [&] {
            if (D2xxOpenBySerial(serial) != FT_OK)
                return false;
            value = ReadCbusPins(serial);
            D2xxClose();
            return false;
        });
    return value;
}

bool TTevFT232a::OpenPortBySerial(const QString& aSerial) {
    bool ok = false;
    RunLineOp(TLayerUse::Own, {}, [&] {
        D2xxClose();
        if (D2xxOpenBySerial(aSerial) != FT_OK)
            return false;
        D2xxGetQueueStatus();
        ok = true;
        return false;
    });
    return ok;
}

void TTevFT232a::CloseUsbPort() {
    RunLineOp(TLayerUse::Own, {}, [] {
        D2xxClose();
        return false;
    });
}
