/* The D2XX driver library's C interface as this program uses it, written from FTDI's published D2XX
 * programmer's guide, plus the two extensions our own backends (native, simulator) export. Every backend
 * is reached through these function types; the layer (D2XXUnit) holds one table of them. */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Widths follow the library's Linux build: DWORD and ULONG are 32 bits, a handle is a pointer. */
typedef uint32_t FT_STATUS;
typedef void* FT_HANDLE;
typedef uint32_t FT_DWORD;
typedef int32_t FT_LONG;
typedef uint8_t FT_UCHAR;

enum {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INSUFFICIENT_RESOURCES = 5,
    FT_INVALID_PARAMETER = 6,
    FT_INVALID_BAUD_RATE = 7,
    FT_DEVICE_NOT_OPENED_FOR_ERASE = 8,
    FT_DEVICE_NOT_OPENED_FOR_WRITE = 9,
    FT_FAILED_TO_WRITE_DEVICE = 10,
    FT_EEPROM_READ_FAILED = 11,
    FT_EEPROM_WRITE_FAILED = 12,
    FT_EEPROM_ERASE_FAILED = 13,
    FT_EEPROM_NOT_PRESENT = 14,
    FT_EEPROM_NOT_PROGRAMMED = 15,
    FT_INVALID_ARGS = 16,
    FT_OTHER_ERROR = 17
};

/* FT_OpenEx flags: what the first argument names. */
enum { FT_OPEN_BY_SERIAL_NUMBER = 1, FT_OPEN_BY_DESCRIPTION = 2, FT_OPEN_BY_LOCATION = 4 };

/* Device type codes of the device information list. */
enum {
    FT_DEVICE_BM = 0,
    FT_DEVICE_AM = 1,
    FT_DEVICE_100AX = 2,
    FT_DEVICE_UNKNOWN = 3,
    FT_DEVICE_2232C = 4,
    FT_DEVICE_232R = 5,
    FT_DEVICE_2232H = 6,
    FT_DEVICE_4232H = 7,
    FT_DEVICE_232H = 8,
    FT_DEVICE_X_SERIES = 9
};

/* Flags of a list entry. */
enum { FT_FLAGS_OPENED = 1, FT_FLAGS_HISPEED = 2 };

/* Bit modes of FT_SetBitMode. */
enum { FT_BITMODE_RESET = 0x00, FT_BITMODE_ASYNC_BITBANG = 0x01, FT_BITMODE_CBUS_BITBANG = 0x20 };

/* One entry of FT_GetDeviceInfoList in the library's own (native) layout; the layer converts it to its
 * fixed 100-byte record. */
typedef struct {
    uint32_t Flags;
    uint32_t Type;
    uint32_t ID;
    uint32_t LocId;
    char SerialNumber[16];
    char Description[64];
    FT_HANDLE ftHandle;
} FT_DEVICE_LIST_INFO_NODE;

typedef FT_STATUS (*FT_CreateDeviceInfoList_fn)(FT_DWORD* count);
typedef FT_STATUS (*FT_GetDeviceInfoList_fn)(FT_DEVICE_LIST_INFO_NODE* list, FT_DWORD* count);
typedef FT_STATUS (*FT_OpenEx_fn)(void* arg, FT_DWORD flags, FT_HANDLE* handle);
typedef FT_STATUS (*FT_Close_fn)(FT_HANDLE handle);
typedef FT_STATUS (*FT_Write_fn)(FT_HANDLE handle, void* buffer, FT_DWORD count, FT_DWORD* written);
typedef FT_STATUS (*FT_ResetDevice_fn)(FT_HANDLE handle);
typedef FT_STATUS (*FT_ResetPort_fn)(FT_HANDLE handle);
typedef FT_STATUS (*FT_GetQueueStatus_fn)(FT_HANDLE handle, FT_DWORD* rxCount);
typedef FT_STATUS (*FT_EE_UASize_fn)(FT_HANDLE handle, FT_DWORD* size);
typedef FT_STATUS (*FT_EE_UARead_fn)(FT_HANDLE handle, FT_UCHAR* data, FT_DWORD length, FT_DWORD* read);
typedef FT_STATUS (*FT_EE_UAWrite_fn)(FT_HANDLE handle, FT_UCHAR* data, FT_DWORD length);
typedef FT_STATUS (*FT_SetLatencyTimer_fn)(FT_HANDLE handle, FT_UCHAR milliseconds);
typedef FT_STATUS (*FT_GetBitMode_fn)(FT_HANDLE handle, FT_UCHAR* pins);
typedef FT_STATUS (*FT_SetBitMode_fn)(FT_HANDLE handle, FT_UCHAR mask, FT_UCHAR mode);
typedef FT_STATUS (*FT_GetComPortNumber_fn)(FT_HANDLE handle, FT_LONG* number);

/* Extension: the COM port query of this platform. Writes the adapter's tty name ("ttyUSB0", NUL-terminated,
 * cut to size - 1) and returns FT_OK, or FT_OTHER_ERROR when the adapter has no tty. Exported by our native
 * backend and the simulator; for FTDI's own library the layer finds the tty through sysfs instead. */
typedef FT_STATUS (*PravexD2xx_GetPortName_fn)(FT_HANDLE handle, char* name, FT_DWORD size);

/* Extension: plug announcements. A backend that can plug and unplug adapters by itself (the simulator)
 * calls the handler once per adapter that came (arrived 1) or went (arrived 0), with its tty name ("" when
 * it has none). The call comes from the backend's own thread: the receiver must hand it over to its own
 * thread (the adapter watcher queues it to the GUI thread and feeds its device-change entry point, exactly
 * as a udev event would). Passing a null handler stops the announcements; when this returns, no call of the
 * previous handler is running any more. */
typedef void (*PravexD2xx_ChangeHandler)(void* context, int arrived, const char* port);
typedef void (*PravexSim_SetChangeCallback_fn)(PravexD2xx_ChangeHandler handler, void* context);

#ifdef __cplusplus
}
#endif
