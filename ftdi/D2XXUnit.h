// The D2XX access layer: one open adapter for the whole process, its buffers, the driver's device list, and
// one function per D2XX call that returns the status and hands failures to a common reporter. Callers hold
// the layer (D2xxSession) for every call sequence that belongs together.
#pragma once

#include "D2xxBackend.h"
#include "ftd2xx_api.h"

#include <QString>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

// One entry of the device information list in its fixed 100-byte form.
struct FT_Device_Info_Node {
    std::uint32_t Flags;
    std::uint32_t DeviceType;
    std::uint32_t ID;
    std::uint32_t LocID;
    char SerialNumber[16];
    char Description[64];
    std::uint32_t DeviceHandle;
};
static_assert(sizeof(FT_Device_Info_Node) == 100, "the device list entry is 100 bytes without gaps");

inline constexpr int D2xxSerialBufferSize = 50;
inline constexpr int D2xxWriteBufferSize = 65536;
inline constexpr int D2xxUserAreaBufferSize = 64;

// The layer's process-wide state. Read and written only while holding a D2xxSession.
extern FT_HANDLE D2xxHandle;
extern std::uint32_t D2xxDeviceCount;
extern std::vector<FT_Device_Info_Node> D2xxDeviceList;
extern std::uint8_t D2xxSerialBuffer[D2xxSerialBufferSize];
extern std::uint8_t D2xxWriteBuffer[D2xxWriteBufferSize];
extern std::uint32_t D2xxLastWriteStatus;
extern std::uint32_t D2xxRxQueueCount;
extern std::uint8_t D2xxUserArea[D2xxUserAreaBufferSize];
extern std::uint32_t D2xxUserAreaSize;
// Switched by the scan thread while the GUI thread may report: atomic.
extern std::atomic<bool> D2xxShowErrors;

// Texts of the statuses 1 to 17 (index 0 is unused and empty).
extern const char* const D2xxErrorTexts[18];

// The message D2xxReportError shows: label and status text; empty for a status above 17 (and for 0).
QString D2xxErrorMessage(const QString& label, FT_STATUS status);
// Shows the message in a modal box when D2xxShowErrors is on and the status is not 0. Off the GUI thread
// the message goes to the log instead: a worker must never open a window.
void D2xxReportError(const QString& label, FT_STATUS status);

FT_STATUS D2xxOpenBySerial(const QString& serial);
FT_STATUS D2xxClose();
// Sends the first count bytes of D2xxWriteBuffer; returns the number written (status in D2xxLastWriteStatus).
std::uint32_t D2xxWrite(int count);
FT_STATUS D2xxResetDevice();
FT_STATUS D2xxGetQueueStatus();
FT_STATUS D2xxResetPort();
FT_STATUS D2xxCreateDeviceList();
FT_STATUS D2xxGetDeviceList();
FT_STATUS D2xxReadUserArea();
FT_STATUS D2xxWriteUserArea();
FT_STATUS D2xxGetUserAreaSize();
FT_STATUS D2xxSetLatencyTimer(std::uint8_t milliseconds);
FT_STATUS D2xxGetBitMode(std::uint8_t& value);
FT_STATUS D2xxSetBitMode(std::uint8_t mask, std::uint8_t mode);

// The scan's own COM port query on D2xxHandle, not reported: the port name of the platform ("ttyUSB0").
FT_STATUS D2xxGetComPortName(QString& name);
// The library's numeric query, for completeness (on Linux only the simulator answers it).
FT_STATUS D2xxGetComPortNumber(std::int32_t& number);

// Releases the device list (the layer's end-of-process step; also for tests).
void D2xxReleaseDeviceList();

// Holds the layer for one call sequence: one adapter's part of a scan, or one whole line-control operation.
// Not recursive on purpose: a second line-control operation started from inside the waits of a first one
// (nested event loop, same thread) must wait for its turn, not be let in. A holder must not wait for the GUI
// thread (a blocking hand-over) while the GUI thread may be waiting for the layer.
class D2xxSession {
public:
    // Waits until the layer is free (the scan thread: line control holds it only for a bounded time).
    D2xxSession();
    // Takes the layer only when it is free at once (line control: refused while anything holds it).
    explicit D2xxSession(std::try_to_lock_t);
    // Waits at most this long.
    explicit D2xxSession(std::chrono::milliseconds wait);
    ~D2xxSession();
    D2xxSession(const D2xxSession&) = delete;
    D2xxSession& operator=(const D2xxSession&) = delete;

    bool owns() const { return owned_; }
    explicit operator bool() const { return owned_; }
    // Gives the layer back before the end of the scope.
    void release();

private:
    bool owned_ = false;
};

// Whether some session holds the layer right now (a hint only: it may change at once).
bool D2xxLayerBusy();
