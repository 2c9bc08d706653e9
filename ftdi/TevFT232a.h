// The FTDI adapter watcher: notices adapters coming and going, has them scanned off the GUI thread,
// keeps the records and the active adapter, reports through OnDetectUSB, and drives an adapter's lines.
// Everything here runs on the GUI thread; only DeviceChangeNotify may be called from any thread.
#pragma once

#include "GuiCallQueue.h"
#include "TevFT232aCheckThreadU.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

class QTimer;
class TDeviceChangeMonitor;
class D2xxSession;

// The two device-change signals the watcher acts on, with the values the system's broadcast uses.
inline constexpr std::uint32_t DBT_DEVNODES_CHANGED = 0x0007;
inline constexpr std::uint32_t DBT_DEVICEARRIVAL = 0x8000;
inline constexpr std::uint32_t DBT_DEVICEREMOVECOMPLETE = 0x8004;
inline constexpr std::uint32_t DBT_DEVTYP_PORT = 3;

// Header of a device broadcast; a port arrival carries a DEV_BROADCAST_PORT with the port name.
struct DEV_BROADCAST_HDR {
    std::uint32_t dbch_size;
    std::uint32_t dbch_devicetype;
    std::uint32_t dbch_reserved;
};
struct DEV_BROADCAST_PORT {
    std::uint32_t dbcp_size;
    std::uint32_t dbcp_devicetype;
    std::uint32_t dbcp_reserved;
    char16_t dbcp_name[1]; // NUL-terminated, as long as dbcp_size allows
};

// Reset-line masks: the modem-control pins are data bits D2..D7 in asynchronous bit-bang mode.
inline constexpr std::uint8_t FT_RESET_RTS = 0x04;
inline constexpr std::uint8_t FT_RESET_CTS = 0x08;
inline constexpr std::uint8_t FT_RESET_DTR = 0x10;
inline constexpr std::uint8_t FT_RESET_DSR = 0x20;
inline constexpr std::uint8_t FT_RESET_DCD = 0x40;
inline constexpr std::uint8_t FT_RESET_RI = 0x80;

// InOut: a port arrival not yet found before this report. The three references are the watcher's own
// fields: a handler that changes them changes the watcher.
using TOnUsbDetect = std::function<void(QObject* Sender, bool InOut, TFTOrvakDefListFlags& OrvakFTList,
                                        int& DevCount, QString& ActiveSerial, const QString& NewPort)>;
using TOnChangeChip = std::function<void(QObject* Sender, int ActiveIdx, const QString& ActiveSerial)>;

class TTevFT232a : public QObject {
    Q_OBJECT
public:
    explicit TTevFT232a(QObject* Owner = nullptr);
    ~TTevFT232a() override;

    // Published properties.
    bool Active() const; // true while a scan thread exists
    void SetActive(bool value);
    bool InfoShort() const { return FInfoShort; }
    void SetInfoShort(bool value) { FInfoShort = value; }
    bool DetailedInfo() const { return FdetailedInfo; }
    void SetDetailedInfo(bool value) { FdetailedInfo = value; }
    TOnUsbDetect OnDetectUSB;
    TOnChangeChip OnChangeChip;

    // Public fields, read and written by the main window and the chip watcher window.
    QString FActiveSerial;
    int FListCount = 0;
    TFTOrvakDefListFlags FTOrvakDefListFlags{};
    bool bDiscoverError = false;
    QPointer<QWidget> FParent;
    // The chip watcher window, which sets and clears this itself. It must offer the invokable methods
    // MagentaEyeOn() and MagentaEyeOff() (slots or Q_INVOKABLE): the watcher switches its scan indicator.
    QPointer<QWidget> FfrmList;

    void DetectFT232();
    bool SetActiveSerial(const QString& aSerial);
    QString GetActiveComPort() const;
    int GetActiveIDX() const;
    std::uint32_t GetActiveLocation() const;
    QString GetActiveChipType() const;
    QString GetActiveDescription() const;
    QString GetActiveOrvakDesc() const;
    void DoOnChangeChip(int ActIDX, const QString& ActSerial);
    void CloseFrmList();
    void SetParentFocus();

    // EEPROM user area of the active adapter: plain (NUL-ended) and length-prefixed ("WLEN") forms.
    QString ReadFTUserData();
    QString ReadFTUserDataWLEN();
    QString GetFFTUserData();
    bool WriteFTUserData(const QString& buf);
    bool WriteFTUserDataWLEN(std::uint8_t alen, const QString& buf);

    // Line control and the user area. A call made while another one runs (from an event dispatched during
    // it) waits for its turn and then runs as if its caller had waited: after the calls made before it, in
    // order, with its own result. While a bit-bang session holds the adapter (BitBangON to BitBangOFF),
    // the other calls are refused: they do nothing and give 0, empty or false. A ResetPulse made while
    // another one runs or waits is refused too: it returns at once without touching the adapter.
    void ResetPulse(const QString& aSerial, bool onepulse, std::uint8_t ChosenResetLine);
    void BitBangON(std::uint8_t ft232_dir, std::uint8_t ft232_val);
    void BitBangWrite(std::uint8_t val);
    std::uint8_t BitBangRead();
    void BitBangOFF();
    void SetCbusPinVal(std::uint8_t pin, std::uint8_t val);
    std::uint8_t GetCbusVal();
    bool Init_ControllerBySerial(const QString& aSerial);
    bool OpenPortBySerial(const QString& aSerial);
    void CloseUsbPort();

    bool BitBangMode() const { return FBitBangMode; }
    std::uint8_t CBusBitIO() const { return FCBusBitIO; }

    // Device-change entry point: wParam DBT_DEVNODES_CHANGED, or DBT_DEVICEARRIVAL with lParam a
    // DEV_BROADCAST_HDR (a port arrival when its type is DBT_DEVTYP_PORT). GUI thread only.
    void WMDeviceChange(std::uint32_t wParam, const void* lParam);
    // Thread-safe announcement to every watcher of the process: "something changed" (portName null or
    // empty) or "this port arrived". Used by the device monitor and by the D2XX simulator.
    static void DeviceChangeNotify(std::uint32_t wParam, const QString& portName = {});

    // The rescan timer's state, for tests and diagnostics.
    bool TimerEnabled() const;
    QString NewPort() const { return FNewPort; }
    static constexpr int ConnectInterval = 1000;
    // How long destruction waits for a running scan before leaving it to end on its own.
    static constexpr int ScanWaitOnDestroyMs = 5000;

private:
    void ConnectTimerTick();
    void StartScan();
    void ScanFinished(TTevFT232aCheckThread* thread);
    // What other threads hand to the watcher goes through FHandOverLock; the queued call that follows
    // each entry only wakes the watcher to take it. Qt's event queue orders the two as well, but its lock
    // is invisible to the thread sanitizer, and ours is not.
    Q_INVOKABLE void TakeDeviceChange();
    Q_INVOKABLE void TakeEndedScan();
    std::mutex FHandOverLock;
    std::deque<std::pair<std::uint32_t, QString>> FDeviceChanges;
    std::deque<TTevFT232aCheckThread*> FEndedScans;
    void EnableTimer();
    int FindActive() const;
    bool InBitBangSession() const;
    // Opens the active adapter, reads its user area, decodes it and closes again.
    QString ReadActiveUserArea(QString (*decode)());
    // Opens the active adapter, asks its user-area size, lets fill put the bytes into the layer's buffer
    // (false: nothing to write), writes and closes. True only when every step succeeded.
    bool WriteActiveUserArea(const std::function<bool(std::uint32_t size)>& fill);

    bool FActive = false;
    TTevFT232aCheckThread* FTevFT232aCheckThread = nullptr;
    QString FNewPort;
    QTimer* FConnectTimer = nullptr;
    std::unique_ptr<TDeviceChangeMonitor> FFT232HWND;
    bool FInfoShort = true;
    bool FdetailedInfo = false;
    bool FBitBangMode = false;
    std::uint8_t FCBusBitIO = 0;

    // Line control keeps the D2XX layer in one hand: a running call, or a bit-bang session. Calls take
    // turns in FLineCalls; their work runs on a thread of its own and must not touch the watcher, which a
    // handler may destroy meanwhile.
    enum class TLayerUse { Own, BitBang };
    // When its turn comes, begin (GUI thread) reads the fields the call needs and may skip it; work runs
    // with the layer held and returns true to keep the layer afterwards (a bit-bang session); end (GUI
    // thread) stores what the work found. True when the work ran; false when skipped or refused (a bit-bang
    // session holds the layer, or the layer did not come free in time).
    bool RunLineOp(TLayerUse use, const std::function<bool()>& begin, const std::function<bool()>& work,
                   const std::function<void()>& end = {});
    std::shared_ptr<TGuiCallQueue> FLineCalls;
    int FPulses = 0;
    std::shared_ptr<D2xxSession> FBitBangHold;
};
