// Fills the D2XX function table once at start-up: the library PRAVEX_D2XX_LIBRARY names (dlopen), else the
// native backend. A library that cannot be loaded leaves the "none" table, which answers with statuses and
// lists no adapters, so the program runs on without adapters instead of failing.
#include "D2xxBackend.h"
#include "D2xxText.h"
#include "FtdiSysfs.h"

#include <QFile>
#include <QStringList>
#include <QtDebug>
#include <atomic>
#include <cstring>
#include <dlfcn.h>
#include <map>
#include <mutex>
#include <string>

namespace {

// ---- the "none" table ---------------------------------------------------------------------------------

FT_STATUS noneCreate(FT_DWORD* count) {
    if (count)
        *count = 0;
    return FT_OK;
}
FT_STATUS noneGetList(FT_DEVICE_LIST_INFO_NODE*, FT_DWORD* count) {
    if (count)
        *count = 0;
    return FT_OK;
}
FT_STATUS noneOpen(void*, FT_DWORD, FT_HANDLE* handle) {
    if (handle)
        *handle = nullptr;
    return FT_DEVICE_NOT_FOUND;
}
FT_STATUS noneHandle(FT_HANDLE) {
    return FT_INVALID_HANDLE;
}
FT_STATUS noneWrite(FT_HANDLE, void*, FT_DWORD, FT_DWORD* written) {
    if (written)
        *written = 0;
    return FT_INVALID_HANDLE;
}
FT_STATUS noneDword(FT_HANDLE, FT_DWORD* value) {
    if (value)
        *value = 0;
    return FT_INVALID_HANDLE;
}
FT_STATUS noneRead(FT_HANDLE, FT_UCHAR*, FT_DWORD, FT_DWORD* read) {
    if (read)
        *read = 0;
    return FT_INVALID_HANDLE;
}
FT_STATUS noneUAWrite(FT_HANDLE, FT_UCHAR*, FT_DWORD) {
    return FT_INVALID_HANDLE;
}
FT_STATUS noneUchar(FT_HANDLE, FT_UCHAR) {
    return FT_INVALID_HANDLE;
}
FT_STATUS noneGetBits(FT_HANDLE, FT_UCHAR*) {
    return FT_INVALID_HANDLE;
}
FT_STATUS noneSetBits(FT_HANDLE, FT_UCHAR, FT_UCHAR) {
    return FT_INVALID_HANDLE;
}
FT_STATUS noneComNumber(FT_HANDLE, FT_LONG* number) {
    if (number)
        *number = -1;
    return FT_INVALID_HANDLE;
}
FT_STATUS nonePortName(FT_HANDLE, char* name, FT_DWORD size) {
    if (name && size)
        name[0] = 0;
    return FT_INVALID_HANDLE;
}

// Stand-ins for what FTDI's Linux library does not export.
FT_STATUS unsupportedResetPort(FT_HANDLE) {
    return FT_OTHER_ERROR;
}
FT_STATUS unsupportedComNumber(FT_HANDLE, FT_LONG* number) {
    if (number)
        *number = -1;
    return FT_OTHER_ERROR;
}

D2xxFunctions makeNoneTable() {
    D2xxFunctions t;
    t.CreateDeviceInfoList = noneCreate;
    t.GetDeviceInfoList = noneGetList;
    t.OpenEx = noneOpen;
    t.Close = noneHandle;
    t.Write = noneWrite;
    t.ResetDevice = noneHandle;
    t.ResetPort = noneHandle;
    t.GetQueueStatus = noneDword;
    t.EE_UASize = noneDword;
    t.EE_UARead = noneRead;
    t.EE_UAWrite = noneUAWrite;
    t.SetLatencyTimer = noneUchar;
    t.GetBitMode = noneGetBits;
    t.SetBitMode = noneSetBits;
    t.GetComPortNumber = noneComNumber;
    t.GetPortName = nonePortName;
    return t;
}

// ---- a loaded library ---------------------------------------------------------------------------------

struct Loaded {
    void* library = nullptr;
    QString path;
    D2xxFunctions table;
    FT_OpenEx_fn realOpen = nullptr;
    FT_Close_fn realClose = nullptr;
    PravexD2xx_GetPortName_fn realPortName = nullptr;
};

std::mutex stateMutex;
Loaded loaded; // guarded by stateMutex for (re)selection; the table itself is read-only after
std::atomic<const D2xxFunctions*> current{nullptr};
std::atomic<D2xxBackendKind> currentKind{D2xxBackendKind::None};
QString currentName = QStringLiteral("none");
QString lastError;

// FTDI's library has no tty query on Linux: remember which serial number each handle was opened by, and
// look the tty up in sysfs.
std::mutex serialsMutex;
std::map<FT_HANDLE, std::string> serialsByHandle;

FT_STATUS wrappedOpen(void* arg, FT_DWORD flags, FT_HANDLE* handle) {
    const FT_STATUS status = loaded.realOpen(arg, flags, handle);
    if (status == FT_OK && handle && *handle && arg && (flags & FT_OPEN_BY_SERIAL_NUMBER)) {
        std::lock_guard lock(serialsMutex);
        serialsByHandle[*handle] = static_cast<const char*>(arg);
    }
    return status;
}

FT_STATUS wrappedClose(FT_HANDLE handle) {
    {
        std::lock_guard lock(serialsMutex);
        serialsByHandle.erase(handle);
    }
    return loaded.realClose(handle);
}

FT_STATUS sysfsPortName(FT_HANDLE handle, char* name, FT_DWORD size) {
    if (!name || size == 0)
        return FT_INVALID_PARAMETER;
    name[0] = 0;
    std::string serial;
    {
        std::lock_guard lock(serialsMutex);
        auto it = serialsByHandle.find(handle);
        if (it == serialsByHandle.end())
            return FT_INVALID_HANDLE;
        serial = it->second;
    }
    return D2xxSysfsPortName(D2xxFieldText(serial.c_str(), qsizetype(serial.size())), name, size);
}

void setCurrent(const D2xxFunctions* table, D2xxBackendKind kind, const QString& name) {
    currentName = name;
    currentKind.store(kind);
    current.store(table);
}

void unloadLocked() {
    if (loaded.library) {
        if (loaded.table.SetChangeCallback)
            loaded.table.SetChangeCallback(nullptr, nullptr);
        dlclose(loaded.library);
    }
    loaded = Loaded{};
    std::lock_guard lock(serialsMutex);
    serialsByHandle.clear();
}

template <typename F> bool bind(void* library, const char* name, F& slot, QStringList& missing) {
    slot = reinterpret_cast<F>(dlsym(library, name));
    if (!slot)
        missing << QString::fromLatin1(name);
    return slot != nullptr;
}

bool loadLocked(const QString& path) {
    setCurrent(&D2xxNoneFunctions(), D2xxBackendKind::None, QStringLiteral("none"));
    unloadLocked();
    lastError.clear();
    void* library = dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* why = dlerror();
        lastError = QStringLiteral("cannot load %1: %2").arg(path, QString::fromLocal8Bit(why ? why : "?"));
        return false;
    }
    D2xxFunctions t;
    QStringList missing;
    bind(library, "FT_CreateDeviceInfoList", t.CreateDeviceInfoList, missing);
    bind(library, "FT_GetDeviceInfoList", t.GetDeviceInfoList, missing);
    bind(library, "FT_OpenEx", loaded.realOpen, missing);
    bind(library, "FT_Close", loaded.realClose, missing);
    bind(library, "FT_Write", t.Write, missing);
    bind(library, "FT_ResetDevice", t.ResetDevice, missing);
    bind(library, "FT_GetQueueStatus", t.GetQueueStatus, missing);
    bind(library, "FT_EE_UASize", t.EE_UASize, missing);
    bind(library, "FT_EE_UARead", t.EE_UARead, missing);
    bind(library, "FT_EE_UAWrite", t.EE_UAWrite, missing);
    bind(library, "FT_SetLatencyTimer", t.SetLatencyTimer, missing);
    bind(library, "FT_GetBitMode", t.GetBitMode, missing);
    bind(library, "FT_SetBitMode", t.SetBitMode, missing);
    if (!missing.isEmpty()) {
        lastError = QStringLiteral("%1 lacks %2").arg(path, missing.join(QStringLiteral(", ")));
        dlclose(library);
        loaded = Loaded{};
        return false;
    }
    // Windows-only in FTDI's Linux build: stand-ins answer with statuses.
    QStringList optional;
    if (!bind(library, "FT_ResetPort", t.ResetPort, optional))
        t.ResetPort = unsupportedResetPort;
    if (!bind(library, "FT_GetComPortNumber", t.GetComPortNumber, optional))
        t.GetComPortNumber = unsupportedComNumber;
    bind(library, "PravexD2xx_GetPortName", loaded.realPortName, optional);
    bind(library, "PravexSim_SetChangeCallback", t.SetChangeCallback, optional);
    t.OpenEx = wrappedOpen;
    t.Close = wrappedClose;
    t.GetPortName = loaded.realPortName ? loaded.realPortName : sysfsPortName;
    loaded.library = library;
    loaded.path = path;
    loaded.table = t;
    setCurrent(&loaded.table, D2xxBackendKind::Library, path);
    return true;
}

void selectLocked() {
    const QByteArray library = qgetenv("PRAVEX_D2XX_LIBRARY");
    if (!library.isEmpty()) {
        if (!loadLocked(QFile::decodeName(library)))
            qWarning("D2XX: %s; no adapters will be listed", qPrintable(lastError));
        return;
    }
    unloadLocked();
    lastError.clear();
    setCurrent(&D2xxNativeFunctions(), D2xxBackendKind::Native, QStringLiteral("native"));
}

} // namespace

const D2xxFunctions& D2xxNoneFunctions() {
    static const D2xxFunctions table = makeNoneTable();
    return table;
}

const D2xxFunctions& D2xxApi() {
    const D2xxFunctions* table = current.load();
    if (table)
        return *table;
    std::lock_guard lock(stateMutex);
    if (!current.load())
        selectLocked();
    return *current.load();
}

void D2xxSelectBackend() {
    std::lock_guard lock(stateMutex);
    selectLocked();
}

bool D2xxLoadLibrary(const QString& path, QString* error) {
    std::lock_guard lock(stateMutex);
    const bool ok = loadLocked(path);
    if (error)
        *error = lastError;
    return ok;
}

void D2xxUseNativeBackend() {
    std::lock_guard lock(stateMutex);
    unloadLocked();
    lastError.clear();
    setCurrent(&D2xxNativeFunctions(), D2xxBackendKind::Native, QStringLiteral("native"));
}

D2xxBackendKind D2xxBackendKindInUse() {
    D2xxApi();
    return currentKind.load();
}

QString D2xxBackendName() {
    D2xxApi();
    std::lock_guard lock(stateMutex);
    return currentName;
}

QString D2xxBackendError() {
    D2xxApi();
    std::lock_guard lock(stateMutex);
    return lastError;
}

FT_STATUS D2xxSysfsPortName(const QString& serial, char* name, FT_DWORD size) {
    const QString tty = FtdiSysfsTtyForSerial(serial);
    if (tty.isEmpty())
        return FT_OTHER_ERROR;
    const QByteArray bytes = tty.toLatin1();
    const std::size_t n = std::min<std::size_t>(std::size_t(bytes.size()), size - 1);
    std::memcpy(name, bytes.constData(), n);
    name[n] = 0;
    return FT_OK;
}

void* D2xxLibrarySymbol(const char* name) {
    D2xxApi();
    std::lock_guard lock(stateMutex);
    return loaded.library ? dlsym(loaded.library, name) : nullptr;
}

bool D2xxSetChangeCallback(PravexD2xx_ChangeHandler handler, void* context) {
    const D2xxFunctions& api = D2xxApi();
    if (!api.SetChangeCallback)
        return false;
    api.SetChangeCallback(handler, context);
    return true;
}
