// The table of D2XX functions the layer calls, and the choice of the backend that fills it: a library named
// by PRAVEX_D2XX_LIBRARY (FTDI's libftd2xx.so or our simulator), else our native Linux backend.
#pragma once

#include "ftd2xx_api.h"

#include <QString>

struct D2xxFunctions {
    FT_CreateDeviceInfoList_fn CreateDeviceInfoList = nullptr;
    FT_GetDeviceInfoList_fn GetDeviceInfoList = nullptr;
    FT_OpenEx_fn OpenEx = nullptr;
    FT_Close_fn Close = nullptr;
    FT_Write_fn Write = nullptr;
    FT_ResetDevice_fn ResetDevice = nullptr;
    FT_ResetPort_fn ResetPort = nullptr;
    FT_GetQueueStatus_fn GetQueueStatus = nullptr;
    FT_EE_UASize_fn EE_UASize = nullptr;
    FT_EE_UARead_fn EE_UARead = nullptr;
    FT_EE_UAWrite_fn EE_UAWrite = nullptr;
    FT_SetLatencyTimer_fn SetLatencyTimer = nullptr;
    FT_GetBitMode_fn GetBitMode = nullptr;
    FT_SetBitMode_fn SetBitMode = nullptr;
    FT_GetComPortNumber_fn GetComPortNumber = nullptr;
    // Always filled: for a library without it, a sysfs look-up by the opened serial number.
    PravexD2xx_GetPortName_fn GetPortName = nullptr;
    // Only where the backend plugs adapters by itself (the simulator); null otherwise.
    PravexSim_SetChangeCallback_fn SetChangeCallback = nullptr;
};

enum class D2xxBackendKind { None, Native, Library };

// The table in use; the first call makes the start-up choice. Every entry except SetChangeCallback is
// non-null: where nothing could be loaded, the entries return statuses and list no adapters.
const D2xxFunctions& D2xxApi();

// Makes the choice again from the environment (for tests and tools that set the variable late). Only
// valid while no adapter is open and no other thread uses the layer.
void D2xxSelectBackend();
// Loads the given library as the backend; false (and the "none" table) when it cannot be loaded or lacks
// a required function, with the reason in error.
bool D2xxLoadLibrary(const QString& path, QString* error = nullptr);
void D2xxUseNativeBackend();

D2xxBackendKind D2xxBackendKindInUse();
// "native", "none", or the loaded library's path.
QString D2xxBackendName();
// Why the last choice fell back to "none" (empty when it did not).
QString D2xxBackendError();
// The port-name answer from sysfs for the adapter with this serial number: its tty copied into name (size >
// 0), or FT_OTHER_ERROR when no serial driver is bound to it.
FT_STATUS D2xxSysfsPortName(const QString& serial, char* name, FT_DWORD size);
// A further symbol of the loaded library (the simulator's test hooks), or null.
void* D2xxLibrarySymbol(const char* name);

// Plug announcements of the backend (see PravexSim_SetChangeCallback_fn). False when the backend makes
// none: then the watcher relies on udev alone.
bool D2xxSetChangeCallback(PravexD2xx_ChangeHandler handler, void* context);

// The native backend's table and the "none" table (used by the selection).
const D2xxFunctions& D2xxNativeFunctions();
const D2xxFunctions& D2xxNoneFunctions();
