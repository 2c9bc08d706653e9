// The D2XX access layer: each operation is one call through the backend table on the layer's handle and
// buffers, then the common error report. The session lock keeps the one handle in one hand at a time.
#include "D2XXUnit.h"
#include "D2xxText.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>
#include <QtDebug>
#include <algorithm>
#include <cstring>

FT_HANDLE D2xxHandle = nullptr;
std::uint32_t D2xxDeviceCount = 0;
std::vector<FT_Device_Info_Node> D2xxDeviceList;
std::uint8_t D2xxSerialBuffer[D2xxSerialBufferSize] = {};
std::uint8_t D2xxWriteBuffer[D2xxWriteBufferSize] = {};
std::uint32_t D2xxLastWriteStatus = 0;
std::uint32_t D2xxRxQueueCount = 0;
std::uint8_t D2xxUserArea[D2xxUserAreaBufferSize] = {};
std::uint32_t D2xxUserAreaSize = 0;
std::atomic<bool> D2xxShowErrors{false};

const char* const D2xxErrorTexts[18] = {"",
                                        " - Invalid handle...",
                                        " - Device not found...",
                                        " - Device not opened...",
                                        " - General IO error...",
                                        " - Insufficient resources...",
                                        " - Invalid parameter...",
                                        " - Invalid baud rate...",
                                        " Device not opened for erase...",
                                        " Device not opened for write...",
                                        " - Failed to write...",
                                        " - EEPROM read failed...",
                                        " - EEPROM write failed...",
                                        " - EEPROM erase failed...",
                                        " - EEPROM not present...",
                                        " - EEPROM not programmed...",
                                        " - Invalid arguments...",
                                        " - Other error ..."};

QString D2xxErrorMessage(const QString& label, FT_STATUS status) {
    if (status == FT_OK || status > 17)
        return QString();
    return label + QString::fromLatin1(D2xxErrorTexts[status]);
}

void D2xxReportError(const QString& label, FT_STATUS status) {
    if (!D2xxShowErrors.load() || status == FT_OK)
        return;
    const QString text = D2xxErrorMessage(label, status);
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (!app || QThread::currentThread() != app->thread()) {
        qWarning("D2XX: %s", qPrintable(text));
        return;
    }
    QMessageBox box(QMessageBox::Critical, QApplication::applicationName(), text, QMessageBox::Ok);
    box.exec();
}

FT_STATUS D2xxOpenBySerial(const QString& serial) {
    const QByteArray key = D2xxKeyBytes(serial, D2xxSerialBufferSize - 1);
    std::memcpy(D2xxSerialBuffer, key.constData(), std::size_t(key.size()));
    D2xxSerialBuffer[key.size()] = 0;
    const FT_STATUS status = D2xxApi().OpenEx(D2xxSerialBuffer, FT_OPEN_BY_SERIAL_NUMBER, &D2xxHandle);
    D2xxReportError(QStringLiteral("Open_USB_Device_By_Serial_Number"), status);
    return status;
}

FT_STATUS D2xxClose() {
    const FT_STATUS status = D2xxApi().Close(D2xxHandle);
    D2xxHandle = nullptr;
    D2xxReportError(QStringLiteral("FT_Close"), status);
    return status;
}

std::uint32_t D2xxWrite(int count) {
    count = std::clamp(count, 0, D2xxWriteBufferSize);
    FT_DWORD written = 0;
    D2xxLastWriteStatus = D2xxApi().Write(D2xxHandle, D2xxWriteBuffer, FT_DWORD(count), &written);
    D2xxReportError(QStringLiteral("FT_Write"), D2xxLastWriteStatus);
    // A library that claims more than it was given must not be believed.
    return std::min<std::uint32_t>(written, std::uint32_t(count));
}

FT_STATUS D2xxResetDevice() {
    const FT_STATUS status = D2xxApi().ResetDevice(D2xxHandle);
    D2xxReportError(QStringLiteral("FT_ResetDevice"), status);
    return status;
}

FT_STATUS D2xxGetQueueStatus() {
    const FT_STATUS status = D2xxApi().GetQueueStatus(D2xxHandle, &D2xxRxQueueCount);
    D2xxReportError(QStringLiteral("FT_GetQueueStatus"), status);
    return status;
}

FT_STATUS D2xxResetPort() {
    const FT_STATUS status = D2xxApi().ResetPort(D2xxHandle);
    D2xxReportError(QStringLiteral("FT_ResetPort"), status);
    return status;
}

FT_STATUS D2xxCreateDeviceList() {
    // A failing library may leave the count untouched; a stale count would make the scan walk old entries.
    D2xxDeviceCount = 0;
    const FT_STATUS status = D2xxApi().CreateDeviceInfoList(&D2xxDeviceCount);
    D2xxReportError(QStringLiteral("FT_CreateDeviceInfoList"), status);
    return status;
}

FT_STATUS D2xxGetDeviceList() {
    D2xxDeviceList.assign(D2xxDeviceCount, FT_Device_Info_Node{});
    // Never a null array, even for no devices: not every library checks.
    std::vector<FT_DEVICE_LIST_INFO_NODE> native(std::max<std::uint32_t>(D2xxDeviceCount, 1));
    FT_DWORD count = D2xxDeviceCount;
    const FT_STATUS status = D2xxApi().GetDeviceInfoList(native.data(), &count);
    // The library may lower the count; it may never raise it past the entries asked for. A failed call
    // filled nothing the scan could trust.
    D2xxDeviceCount = status == FT_OK ? std::min<FT_DWORD>(count, D2xxDeviceCount) : 0;
    D2xxDeviceList.resize(D2xxDeviceCount);
    for (std::uint32_t i = 0; i < D2xxDeviceCount; ++i) {
        FT_Device_Info_Node& node = D2xxDeviceList[i];
        const FT_DEVICE_LIST_INFO_NODE& from = native[i];
        node.Flags = from.Flags;
        node.DeviceType = from.Type;
        node.ID = from.ID;
        node.LocID = from.LocId;
        std::memcpy(node.SerialNumber, from.SerialNumber, sizeof node.SerialNumber);
        std::memcpy(node.Description, from.Description, sizeof node.Description);
        node.DeviceHandle = std::uint32_t(reinterpret_cast<std::uintptr_t>(from.ftHandle));
    }
    D2xxReportError(QStringLiteral("FT_GetDeviceInfoList"), status);
    return status;
}

FT_STATUS D2xxReadUserArea() {
    FT_DWORD read = 0;
    const FT_STATUS status = D2xxApi().EE_UARead(D2xxHandle, D2xxUserArea, D2xxUserAreaBufferSize, &read);
    D2xxUserAreaSize = std::min<FT_DWORD>(read, D2xxUserAreaBufferSize);
    D2xxReportError(QStringLiteral("FT_EE_UARead "), status);
    return status;
}

FT_STATUS D2xxWriteUserArea() {
    const FT_DWORD length = std::min<FT_DWORD>(D2xxUserAreaSize, D2xxUserAreaBufferSize);
    const FT_STATUS status = D2xxApi().EE_UAWrite(D2xxHandle, D2xxUserArea, length);
    D2xxReportError(QStringLiteral("FT_EE_UAWrite "), status);
    return status;
}

FT_STATUS D2xxGetUserAreaSize() {
    // A failing library may leave it untouched: the size of the adapter asked before must not stay.
    D2xxUserAreaSize = 0;
    const FT_STATUS status = D2xxApi().EE_UASize(D2xxHandle, &D2xxUserAreaSize);
    D2xxReportError(QStringLiteral("FT_EE_UASize "), status);
    return status;
}

FT_STATUS D2xxSetLatencyTimer(std::uint8_t milliseconds) {
    const FT_STATUS status = D2xxApi().SetLatencyTimer(D2xxHandle, milliseconds);
    D2xxReportError(QStringLiteral("FT_SetLatencyTimer "), status);
    return status;
}

FT_STATUS D2xxGetBitMode(std::uint8_t& value) {
    FT_UCHAR pins = value;
    const FT_STATUS status = D2xxApi().GetBitMode(D2xxHandle, &pins);
    value = pins;
    D2xxReportError(QStringLiteral("FT_GetBitMode "), status);
    return status;
}

FT_STATUS D2xxSetBitMode(std::uint8_t mask, std::uint8_t mode) {
    const FT_STATUS status = D2xxApi().SetBitMode(D2xxHandle, mask, mode);
    D2xxReportError(QStringLiteral("FT_SetBitMode "), status);
    return status;
}

FT_STATUS D2xxGetComPortName(QString& name) {
    char buffer[64] = {};
    const FT_STATUS status = D2xxApi().GetPortName(D2xxHandle, buffer, sizeof buffer);
    buffer[sizeof buffer - 1] = 0;
    name = status == FT_OK ? QString::fromLatin1(buffer) : QString();
    return status;
}

FT_STATUS D2xxGetComPortNumber(std::int32_t& number) {
    FT_LONG value = -1;
    const FT_STATUS status = D2xxApi().GetComPortNumber(D2xxHandle, &value);
    number = value;
    return status;
}

void D2xxReleaseDeviceList() {
    D2xxDeviceList.clear();
    D2xxDeviceList.shrink_to_fit();
    D2xxDeviceCount = 0;
}

// Not a std::mutex: the owner must be able to be refused its own second entry (same thread, nested loop),
// and a std::mutex may not be try-locked by its owner.
namespace {
std::mutex layerMutex;
std::condition_variable layerFree;
bool layerHeld = false;
} // namespace

D2xxSession::D2xxSession() {
    std::unique_lock lock(layerMutex);
    layerFree.wait(lock, [] { return !layerHeld; });
    layerHeld = true;
    owned_ = true;
}

D2xxSession::D2xxSession(std::try_to_lock_t) {
    std::lock_guard lock(layerMutex);
    if (!layerHeld) {
        layerHeld = true;
        owned_ = true;
    }
}

D2xxSession::D2xxSession(std::chrono::milliseconds wait) {
    std::unique_lock lock(layerMutex);
    if (layerFree.wait_for(lock, wait, [] { return !layerHeld; })) {
        layerHeld = true;
        owned_ = true;
    }
}

D2xxSession::~D2xxSession() {
    release();
}

void D2xxSession::release() {
    if (!owned_)
        return;
    owned_ = false;
    {
        std::lock_guard lock(layerMutex);
        layerHeld = false;
    }
    layerFree.notify_all();
}

bool D2xxLayerBusy() {
    std::lock_guard lock(layerMutex);
    return layerHeld;
}
