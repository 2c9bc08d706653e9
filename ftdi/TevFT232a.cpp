// The adapter watcher: device changes arm a one-second timer, the timer starts a scan thread, and the
// scan's results are taken over and reported on the GUI thread. Line control and the user-area methods
// hold the D2XX layer for their whole call sequence.
#include "TevFT232a.h"
#include "D2XXUnit.h"
#include "DeviceChangeMonitor.h"
#include "tevFT232LibA.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
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

// A wait during which the GUI keeps working: timers, clicks and hot-plug handling go on.
void delayProcessingEvents(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

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

struct TTevFT232a::TLayerHold {
    std::unique_ptr<D2xxSession> session;
};

// One line-control or user-area operation: refused while another runs on this watcher (inside its
// waits, or during a bit-bang session), else it holds the D2XX layer until it ends.
class TTevFT232a::TLineOp {
public:
    explicit TLineOp(TTevFT232a& w) : FW(w) {
        if (w.FLineBusy || w.FBitBangHold)
            return;
        FSession = std::make_unique<D2xxSession>(LayerWait);
        if (!FSession->owns()) {
            FSession.reset();
            return;
        }
        w.FLineBusy = true;
        FOk = true;
    }
    // An operation inside a bit-bang session, which already holds the layer.
    struct TInBitBang {};
    TLineOp(TTevFT232a& w, TInBitBang) : FW(w) {
        if (w.FLineBusy || !w.FBitBangHold)
            return;
        w.FLineBusy = true;
        FOk = true;
    }
    ~TLineOp() {
        if (FOk)
            FW.FLineBusy = false;
    }
    TLineOp(const TLineOp&) = delete;
    TLineOp& operator=(const TLineOp&) = delete;
    explicit operator bool() const { return FOk; }
    std::unique_ptr<D2xxSession> TakeSession() { return std::move(FSession); }

private:
    TTevFT232a& FW;
    std::unique_ptr<D2xxSession> FSession;
    bool FOk = false;
};

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

bool TTevFT232a::OpenActiveForUserArea() {
    D2xxOpenBySerial(FActiveSerial);
    return true;
}

QString TTevFT232a::ReadActiveUserArea(QString (*decode)()) {
    if (blank(FActiveSerial))
        return {};
    TLineOp op(*this);
    if (!op)
        return {};
    OpenActiveForUserArea();
    D2xxGetBitMode(FCBusBitIO);
    D2xxGetUserAreaSize();
    D2xxReadUserArea();
    const QString text = decode();
    D2xxClose();
    return text;
}

QString TTevFT232a::ReadFTUserData() {
    return ReadActiveUserArea(plainUserText);
}

QString TTevFT232a::ReadFTUserDataWLEN() {
    return ReadActiveUserArea(prefixedUserText);
}

QString TTevFT232a::GetFFTUserData() {
    TLineOp op(*this);
    if (!op)
        return {};
    D2xxGetUserAreaSize();
    D2xxReadUserArea();
    return prefixedUserText();
}

bool TTevFT232a::WriteFTUserData(const QString& buf) {
    if (blank(FActiveSerial))
        return false;
    TLineOp op(*this);
    if (!op)
        return false;
    OpenActiveForUserArea();
    D2xxGetUserAreaSize();
    const std::uint32_t S = D2xxUserAreaSize;
    std::uint32_t n = std::uint32_t(buf.size());
    if (n > S)
        n = S == 0 ? 0 : S - 1;
    n = std::min<std::uint32_t>(n, D2xxUserAreaBufferSize);
    std::memset(D2xxUserArea, 0, std::min<std::uint32_t>(S, D2xxUserAreaBufferSize));
    for (std::uint32_t i = 0; i < n; ++i)
        D2xxUserArea[i] = std::uint8_t(buf[qsizetype(i)].unicode() & 0xFF);
    D2xxWriteUserArea();
    D2xxClose();
    return true;
}

bool TTevFT232a::WriteFTUserDataWLEN(std::uint8_t alen, const QString& buf) {
    if (blank(FActiveSerial))
        return false;
    TLineOp op(*this);
    if (!op)
        return false;
    OpenActiveForUserArea();
    D2xxGetUserAreaSize();
    // Length byte, text and NUL must stay inside the 64-byte buffer.
    const std::uint32_t len = std::min<std::uint32_t>(alen, D2xxUserAreaBufferSize - 2);
    D2xxUserArea[0] = std::uint8_t(len);
    for (std::uint32_t i = 0; i < len; ++i)
        D2xxUserArea[i + 1] =
            i < std::uint32_t(buf.size()) ? std::uint8_t(buf[qsizetype(i)].unicode() & 0xFF) : 0;
    D2xxUserArea[len + 1] = 0;
    D2xxWriteUserArea();
    D2xxClose();
    return true;
}

// ---- line control ----

void TTevFT232a::ResetPulse(const QString& aSerial, bool onepulse, std::uint8_t ChosenResetLine) {
    const QString serial = aSerial.isEmpty() ? FActiveSerial : aSerial;
    if (serial.isEmpty())
        return;
    TLineOp op(*this);
    if (!op)
        return;
    D2xxResetDevice();
    D2xxResetPort();
    D2xxClose();
    if (D2xxOpenBySerial(serial) != FT_OK)
        return;
    if (D2xxSetBitMode(ChosenResetLine, FT_BITMODE_ASYNC_BITBANG) != FT_OK)
        return;
    const int cycles = onepulse ? 11 : 1;
    for (int c = 0; c < cycles; ++c) {
        writeByte(0x00);
        DriveSingleCbusPin(serial, 1, 0);
        delayProcessingEvents(40);
        writeByte(ChosenResetLine);
        if (!onepulse)
            break;
        DriveSingleCbusPin(serial, 1, 1);
        delayProcessingEvents(40);
    }
    D2xxSetBitMode(0xFF, FT_BITMODE_RESET);
    D2xxClose();
}

bool TTevFT232a::Init_ControllerBySerial(const QString& /*aSerial*/) {
    TLineOp op(*this);
    if (!op)
        return false;
    if (D2xxOpenBySerial(FActiveSerial) != FT_OK)
        return false;
    const FT_STATUS st = D2xxSetLatencyTimer(16);
    return D2xxHandle != nullptr && st == FT_OK;
}

void TTevFT232a::BitBangON(std::uint8_t ft232_dir, std::uint8_t ft232_val) {
    if (blank(FActiveSerial))
        return;
    TLineOp op(*this);
    if (!op)
        return;
    if (D2xxOpenBySerial(FActiveSerial) != FT_OK)
        return;
    if (D2xxSetLatencyTimer(16) != FT_OK || D2xxHandle == nullptr)
        return;
    D2xxSetBitMode(ft232_dir, FT_BITMODE_ASYNC_BITBANG);
    writeByte(ft232_val);
    FBitBangMode = true;
    // The adapter stays open in bit-bang mode: the layer stays ours until BitBangOFF.
    FBitBangHold = std::make_unique<TLayerHold>();
    FBitBangHold->session = op.TakeSession();
}

void TTevFT232a::BitBangWrite(std::uint8_t val) {
    if (blank(FActiveSerial) || !FBitBangMode)
        return;
    TLineOp op(*this, TLineOp::TInBitBang{});
    if (!op)
        return;
    writeByte(val);
}

std::uint8_t TTevFT232a::BitBangRead() {
    if (blank(FActiveSerial) || !FBitBangMode)
        return 0;
    TLineOp op(*this, TLineOp::TInBitBang{});
    if (!op)
        return 0;
    std::uint8_t value = 0;
    D2xxGetBitMode(value);
    return value;
}

void TTevFT232a::BitBangOFF() {
    if (blank(FActiveSerial) || !FBitBangMode)
        return;
    {
        TLineOp op(*this, TLineOp::TInBitBang{});
        if (!op)
            return;
        DriveSingleCbusPin(FActiveSerial, 1, 0);
        delayProcessingEvents(10);
        D2xxSetBitMode(0xFF, FT_BITMODE_RESET);
        D2xxClose();
        if (D2xxOpenBySerial(FActiveSerial) == FT_OK)
            D2xxSetLatencyTimer(16);
        D2xxClose();
        FBitBangMode = false;
    }
    FBitBangHold.reset();
}

void TTevFT232a::SetCbusPinVal(std::uint8_t pin, std::uint8_t val) {
    TLineOp op(*this);
    if (!op)
        return;
    D2xxOpenBySerial(FActiveSerial);
    const std::uint8_t level = val == 0 ? 1 : 0;
    WriteCbusPin(FActiveSerial, pin, level, FCBusBitIO);
    D2xxClose();
}

std::uint8_t TTevFT232a::GetCbusVal() {
    TLineOp op(*this);
    if (!op)
        return 0;
    if (D2xxOpenBySerial(FActiveSerial) != FT_OK)
        return 0;
    const std::uint8_t value = ReadCbusPins(FActiveSerial);
    D2xxClose();
    return value;
}

bool TTevFT232a::OpenPortBySerial(const QString& aSerial) {
    TLineOp op(*this);
    if (!op)
        return false;
    D2xxClose();
    if (D2xxOpenBySerial(aSerial) != FT_OK)
        return false;
    D2xxGetQueueStatus();
    return true;
}

void TTevFT232a::CloseUsbPort() {
    TLineOp op(*this);
    if (!op)
        return;
    D2xxClose();
}
