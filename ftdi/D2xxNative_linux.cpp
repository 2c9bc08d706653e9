// Our own D2XX backend for Linux. Listing, serial numbers, types and tty names come from sysfs without
// touching the device; EEPROM, pins, bit modes and latency are vendor control requests through libusb and
// libftdi1, which leave the kernel's ftdi_sio bound. Only data writes claim the interface, and nothing that
// changes the adapter's mode is done while its tty is open in some process.
#include "D2xxBackend.h"
#include "D2xxNative.h"
#include "D2xxText.h"
#include "FtdiAdapterLock.h"
#include "FtdiEeprom.h"
#include "FtdiSysfs.h"

#include <algorithm>
#include <cstring>
#include <ftdi.h>
#include <libusb.h>
#include <memory>
#include <mutex>
#include <set>

namespace {

constexpr unsigned kUsbTimeoutMs = 1000;
constexpr std::uint8_t kVendorOut = 0x40;
constexpr std::uint8_t kVendorIn = 0xC0;
constexpr std::uint8_t kReset = 0x00;
constexpr std::uint8_t kSetLatency = 0x09;
constexpr std::uint8_t kSetBitMode = 0x0B;
constexpr std::uint8_t kReadPins = 0x0C;
constexpr std::uint8_t kReadEeprom = 0x90;
constexpr std::uint8_t kWriteEeprom = 0x91;
// FTDI's own library answers 17 for "not supported"; our text table calls it "other error".
constexpr FT_STATUS kNotSupported = FT_OTHER_ERROR;
// How long EEPROM work waits for another process's EEPROM work on the same chip.
constexpr int kChipLockWaitMs = 5000;

// libftdi1's chip numbering differs from D2XX's.
ftdi_chip_type libftdiType(std::uint32_t d2xxType) {
    switch (d2xxType) {
    case 1:
        return TYPE_AM;
    case 4:
        return TYPE_2232C;
    case 5:
        return TYPE_R;
    case 6:
        return TYPE_2232H;
    case 7:
        return TYPE_4232H;
    case 8:
        return TYPE_232H;
    case 9:
        return TYPE_230X;
    default:
        return TYPE_BM;
    }
}

struct NativeAdapter {
    FtdiSysfsChannel channel;
    libusb_device_handle* usb = nullptr;
    ftdi_context* ftdi = nullptr;
    bool claimed = false;
    FtdiAdapterLock ownership; // held from open to close: one owner per channel across processes
    ~NativeAdapter() {
        if (ftdi) {
            // Hands the handle back first, so ftdi_free does not close what libusb owns below.
            ftdi_set_usbdev(ftdi, nullptr);
            ftdi_free(ftdi);
        }
        if (usb) {
            if (claimed)
                libusb_release_interface(usb, channel.channel);
            libusb_close(usb);
        }
    }
};

// Handles are pointers into this set; anything else is an invalid handle, never a crash.
std::mutex adaptersMutex;
std::set<NativeAdapter*> adapters;
libusb_context* usbContext = nullptr;
bool usbTried = false;
FtdiControlTransfer controlSeam = nullptr;
void* controlSeamContext = nullptr;

NativeAdapter* find(FT_HANDLE handle) {
    auto* adapter = static_cast<NativeAdapter*>(handle);
    return adapters.count(adapter) ? adapter : nullptr;
}

libusb_context* usb() {
    if (!usbTried) {
        usbTried = true;
        if (libusb_init(&usbContext) != 0)
            usbContext = nullptr;
    }
    return usbContext;
}

bool sameDevice(libusb_device_handle* handle, const FtdiSysfsChannel& ch) {
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(libusb_get_device(handle), &desc) != 0)
        return false;
    std::string serial;
    if (desc.iSerialNumber != 0) {
        unsigned char text[256] = {};
        const int n = libusb_get_string_descriptor_ascii(handle, desc.iSerialNumber, text, sizeof text);
        if (n < 0)
            return false;
        serial.assign(reinterpret_cast<const char*>(text), std::size_t(n));
    }
    return FtdiUsbIdentityMatches(ch, desc.idVendor, desc.idProduct, QString::fromLatin1(serial.c_str()));
}

// Opens the USB device lazily: a scan that only lists and asks for the tty needs no usbfs permission.
FT_STATUS ensureUsb(NativeAdapter& a) {
    if (a.ftdi || controlSeam)
        return FT_OK;
    libusb_context* ctx = usb();
    if (!ctx)
        return FT_DEVICE_NOT_OPENED;
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    libusb_device_handle* handle = nullptr;
    int result = LIBUSB_ERROR_NOT_FOUND;
    for (ssize_t i = 0; i < n; ++i) {
        if (libusb_get_bus_number(list[i]) == a.channel.busnum &&
            libusb_get_device_address(list[i]) == a.channel.devnum) {
            result = libusb_open(list[i], &handle);
            break;
        }
    }
    if (list)
        libusb_free_device_list(list, 1);
    if (result != 0 || !handle)
        return result == LIBUSB_ERROR_NOT_FOUND ? FT_DEVICE_NOT_FOUND : FT_DEVICE_NOT_OPENED;
    // Bus and address come from a listing that may be old: after an unplug another device can take the
    // address. Nothing is sent to a device that is not the one listed.
    if (!sameDevice(handle, a.channel)) {
        libusb_close(handle);
        return FT_DEVICE_NOT_FOUND;
    }
    ftdi_context* ftdi = ftdi_new();
    if (!ftdi) {
        libusb_close(handle);
        return FT_INSUFFICIENT_RESOURCES;
    }
    ftdi_set_interface(ftdi, ftdi_interface(INTERFACE_A + a.channel.channel));
    ftdi_set_usbdev(ftdi, handle);
    ftdi->type = libftdiType(a.channel.type);
    a.usb = handle;
    a.ftdi = ftdi;
    return FT_OK;
}

// What would disturb a serial session (data-pin bit modes, data writes, a chip reset that purges its
// buffers) is refused while the adapter's tty is open. CBUS pins, pin reads, the latency timer and the
// EEPROM leave the UART alone and stay allowed.
FT_STATUS ensureFree(NativeAdapter& a) {
    if (FtdiTtyIsOpen(a.channel.tty))
        return FT_DEVICE_NOT_OPENED;
    return ensureUsb(a);
}

// One vendor request on the adapter's channel (wIndex 1 = channel A, as the chip numbers its ports).
int control(NativeAdapter& a, std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
            unsigned char* data = nullptr, std::uint16_t length = 0, int index = -1) {
    const auto wIndex = std::uint16_t(index >= 0 ? index : a.channel.channel + 1);
    if (controlSeam)
        return controlSeam(controlSeamContext, a.channel.busnum, a.channel.devnum, requestType, request,
                           value, wIndex, data, length);
    return libusb_control_transfer(a.usb, requestType, request, value, wIndex, data, length, kUsbTimeoutMs);
}

// Where the layout of a chip's EEPROM is known to us. The X series keeps its configuration in MTP memory
// laid out otherwise (strings at 0xA0, a checksum that skips the user section): not guessed at.
bool layoutKnown(std::uint32_t type) {
    switch (type) {
    case 0: // BM
    case 1: // AM
    case 4: // 2232C
    case 5: // 232R
    case 6: // 2232H
    case 7: // 4232H
    case 8: // 232H
        return true;
    default:
        return false;
    }
}

// Chips that take an external 93C46 (128 bytes) or 93C56/66 (of which 256 bytes are used).
bool externalEeprom(std::uint32_t type) {
    return type == 4 || type == 6 || type == 7 || type == 8;
}

FT_STATUS readWords(NativeAdapter& a, int words, std::vector<std::uint8_t>& image) {
    image.assign(2 * std::size_t(words), 0);
    for (int word = 0; word < words; ++word) {
        unsigned char data[2] = {};
        if (control(a, kVendorIn, kReadEeprom, 0, data, 2, word) != 2)
            return FT_EEPROM_READ_FAILED;
        image[2 * std::size_t(word)] = data[0];
        image[2 * std::size_t(word) + 1] = data[1];
    }
    return FT_OK;
}

// The EEPROM image, its size decided by the chip's answers: a 93C46 has only 64 words and answers the
// addresses above them with its first half again.
FT_STATUS readImage(NativeAdapter& a, std::vector<std::uint8_t>& image) {
    if (!layoutKnown(a.channel.type))
        return kNotSupported;
    if (FT_STATUS s = ensureUsb(a); s != FT_OK)
        return s;
    const bool external = externalEeprom(a.channel.type);
    if (FT_STATUS s = readWords(a, external ? 128 : 64, image); s != FT_OK)
        return s;
    if (external && std::equal(image.begin(), image.begin() + 128, image.begin() + 128))
        image.resize(128);
    return FT_OK;
}

// Twice, and both must agree: one misread word would otherwise go into the new checksum.
FT_STATUS readImageTwice(NativeAdapter& a, std::vector<std::uint8_t>& image) {
    std::vector<std::uint8_t> again;
    if (FT_STATUS s = readImage(a, image); s != FT_OK)
        return s;
    if (FT_STATUS s = readImage(a, again); s != FT_OK)
        return s;
    return again == image ? FT_OK : FT_EEPROM_READ_FAILED;
}

FT_STATUS userArea(const NativeAdapter& a, const std::vector<std::uint8_t>& image, FtdiUserAreaSpan& span) {
    if (std::all_of(image.begin(), image.end(), [](std::uint8_t b) { return b == 0xFF; }))
        return FT_EEPROM_NOT_PROGRAMMED;
    if (!FtdiEepromUserArea(image.data(), int(image.size()), a.channel.type, span))
        return FT_EEPROM_NOT_PROGRAMMED;
    return FT_OK;
}

// Writes the words where target differs from the chip's current image, the checksum word last, so an
// interrupted write never leaves new data under a checksum that matches it only half.
FT_STATUS writeChangedWords(NativeAdapter& a, const std::vector<std::uint8_t>& current,
                            const std::vector<std::uint8_t>& target) {
    const std::size_t words = target.size() / 2;
    for (std::size_t word = 0; word < words; ++word) {
        if (target[2 * word] == current[2 * word] && target[2 * word + 1] == current[2 * word + 1])
            continue;
        const auto value = std::uint16_t(target[2 * word] | (target[2 * word + 1] << 8));
        if (control(a, kVendorOut, kWriteEeprom, value, nullptr, 0, int(word)) < 0)
            return FT_IO_ERROR;
    }
    return FT_OK;
}

// ---- the exported functions -----------------------------------------------------------------------------

FT_STATUS nativeCreate(FT_DWORD* count) {
    if (!count)
        return FT_INVALID_PARAMETER;
    *count = FT_DWORD(FtdiSysfsScan().size());
    return FT_OK;
}

FT_STATUS nativeGetList(FT_DEVICE_LIST_INFO_NODE* list, FT_DWORD* count) {
    if (!count)
        return FT_INVALID_PARAMETER;
    const std::vector<FtdiSysfsChannel> channels = FtdiSysfsScan();
    const FT_DWORD n = std::min<FT_DWORD>(*count, FT_DWORD(channels.size()));
    if (n > 0 && !list)
        return FT_INVALID_PARAMETER;
    for (FT_DWORD i = 0; i < n; ++i) {
        FT_DEVICE_LIST_INFO_NODE& node = list[i];
        std::memset(&node, 0, sizeof node);
        const FtdiSysfsChannel& ch = channels[i];
        node.Flags = ch.flags;
        node.Type = ch.type;
        node.ID = ch.id;
        node.LocId = ch.locId;
        const QByteArray serial = D2xxUtf8Cut(ch.serial, FtdiListedSerialBytes);
        const QByteArray description = D2xxUtf8Cut(ch.description, FtdiListedDescriptionBytes);
        std::memcpy(node.SerialNumber, serial.constData(), std::size_t(serial.size()));
        std::memcpy(node.Description, description.constData(), std::size_t(description.size()));
    }
    *count = n;
    return FT_OK;
}

// The list cuts serial numbers and descriptions: a key that was read from the list must find its adapter
// too. A cut key that fits more than one adapter opens none.
const FtdiSysfsChannel* findChannel(const std::vector<FtdiSysfsChannel>& channels, const QString& key,
                                    bool bySerial) {
    const int listed = bySerial ? FtdiListedSerialBytes : FtdiListedDescriptionBytes;
    const FtdiSysfsChannel* cut = nullptr;
    int cutMatches = 0;
    for (const FtdiSysfsChannel& ch : channels) {
        const QString& field = bySerial ? ch.serial : ch.description;
        if (field == key)
            return &ch;
        if (FtdiListedCutMatches(field, key, listed)) {
            cut = &ch;
            ++cutMatches;
        }
    }
    return cutMatches == 1 ? cut : nullptr;
}

FT_STATUS nativeOpen(void* arg, FT_DWORD flags, FT_HANDLE* handle) {
    if (!handle)
        return FT_INVALID_PARAMETER;
    if (!arg || !(flags & (FT_OPEN_BY_SERIAL_NUMBER | FT_OPEN_BY_DESCRIPTION)))
        return FT_INVALID_PARAMETER;
    const char* bytes = static_cast<const char*>(arg);
    const QString key = D2xxFieldText(bytes, qsizetype(std::strlen(bytes)));
    if (key.isEmpty())
        return FT_DEVICE_NOT_FOUND;
    const std::vector<FtdiSysfsChannel> channels = FtdiSysfsScan();
    const FtdiSysfsChannel* ch = findChannel(channels, key, (flags & FT_OPEN_BY_SERIAL_NUMBER) != 0);
    if (!ch)
        return FT_DEVICE_NOT_FOUND;
    std::lock_guard lock(adaptersMutex);
    // One owner per channel, as FTDI's driver has it: a handle never closed shows up here, not later.
    for (const NativeAdapter* open : adapters)
        if (open->channel.channel == ch->channel && open->channel.devicePath == ch->devicePath)
            return FT_DEVICE_NOT_OPENED;
    auto adapter = std::make_unique<NativeAdapter>();
    adapter->channel = *ch;
    // ... and in every other process: their read-modify-write of the EEPROM must never interleave with ours.
    if (!adapter->ownership.tryLock(FtdiLockName(ch->devicePath, ch->channel)))
        return FT_DEVICE_NOT_OPENED;
    *handle = adapter.get();
    adapters.insert(adapter.release());
    return FT_OK;
}

FT_STATUS nativeClose(FT_HANDLE handle) {
    std::lock_guard lock(adaptersMutex);
    NativeAdapter* a = find(handle);
    if (!a)
        return FT_INVALID_HANDLE;
    adapters.erase(a);
    delete a;
    return FT_OK;
}

FT_STATUS nativeWrite(FT_HANDLE handle, void* buffer, FT_DWORD count, FT_DWORD* written) {
    if (written)
        *written = 0;
    std::lock_guard lock(adaptersMutex);
    NativeAdapter* a = find(handle);
    if (!a)
        return FT_INVALID_HANDLE;
    if (!buffer && count)
        return FT_INVALID_PARAMETER;
    // Probed once, before the claim: once the interface is ours the tty is gone, and a probe per byte would
    // stretch the timing of a pulse train by milliseconds each.
    if (FT_STATUS s = a->claimed ? FT_STATUS(FT_OK) : ensureFree(*a); s != FT_OK)
        return s;
    if (!a->usb)
        return FT_IO_ERROR; // behind the test seam there is no data endpoint
    if (!a->claimed) {
        // The kernel driver comes back when the interface is released at the close.
        libusb_set_auto_detach_kernel_driver(a->usb, 1);
        if (libusb_claim_interface(a->usb, a->channel.channel) != 0)
            return FT_DEVICE_NOT_OPENED;
        a->claimed = true;
    }
    const int r = ftdi_write_data(a->ftdi, static_cast<const unsigned char*>(buffer), int(count));
    if (r < 0)
        return FT_IO_ERROR;
    if (written)
        *written = FT_DWORD(r);
    return FT_OK;
}

FT_STATUS nativeResetDevice(FT_HANDLE handle) {
    std::lock_guard lock(adaptersMutex);
    NativeAdapter* a = find(handle);
    if (!a)
        return FT_INVALID_HANDLE;
    if (FT_STATUS s = ensureFree(*a); s != FT_OK)
        return s;
    return control(*a, kVendorOut, kReset, 0) >= 0 ? FT_OK : FT_IO_ERROR;
}

FT_STATUS nativeResetPort(FT_HANDLE handle) {
    // Port recycling is a Windows driver service; here it is the same SIO reset.
    return nativeResetDevice(handle);
}

FT_STATUS nativeQueue(FT_HANDLE handle, FT_DWORD* rx) {
    std::lock_guard lock(adaptersMutex);
    if (!find(handle))
        return FT_INVALID_HANDLE;
    // The kernel driver owns the receive path; this handle never receives.
    if (rx)
        *rx = 0;
    return FT_OK;
}

FT_STATUS nativeUASize(FT_HANDLE handle, FT_DWORD* size) {
    if (size)
        *size = 0;
    std::lock_guard lock(adaptersMutex);
    NativeAdapter* a = find(handle);
    if (!a)
        return FT_INVALID_HANDLE;
    if (!size)
        return FT_INVALID_PARAMETER;
    FtdiAdapterLock chip;
    if (!chip.lock(FtdiLockName(a->channel.devicePath, -1), kChipLockWaitMs))
        return FT_DEVICE_NOT_OPENED;
    std::vector<std::uint8_t> image;
    FtdiUserAreaSpan span;
    if (FT_STATUS s = readImage(*a, image); s != FT_OK)
        return s;
    if (FT_STATUS s = userArea(*a, image, span); s != FT_OK)
        return s;
    *size = FT_DWORD(span.length);
    return FT_OK;
}

FT_STATUS nativeUARead(FT_HANDLE handle, FT_UCHAR* data, FT_DWORD length, FT_DWORD* read) {
    if (read)
        *read = 0;
    std::lock_guard lock(adaptersMutex);
    NativeAdapter* a = find(handle);
    if (!a)
        return FT_INVALID_HANDLE;
    if (!read || (!data && length))
        return FT_INVALID_PARAMETER;
    FtdiAdapterLock chip;
    if (!chip.lock(FtdiLockName(a->channel.devicePath, -1), kChipLockWaitMs))
        return FT_DEVICE_NOT_OPENED;
    std::vector<std::uint8_t> image;
    FtdiUserAreaSpan span;
    if (FT_STATUS s = readImage(*a, image); s != FT_OK)
        return s;
    if (FT_STATUS s = userArea(*a, image, span); s != FT_OK)
        return s;
    const FT_DWORD n = std::min<FT_DWORD>(length, FT_DWORD(span.length));
    std::memcpy(data, image.data() + span.start, n);
    *read = n;
    return FT_OK;
}

// A chip whose checksum does not match its contents runs on its defaults and drops its strings: a write
// must never leave one so. It works on an image read twice alike, refuses one whose checksum is already
// wrong (a new checksum would bring contents into force that the chip ignores today), writes the checksum
// last, reads everything back, and puts the old words back when anything went wrong after the first write.
FT_STATUS nativeUAWrite(FT_HANDLE handle, FT_UCHAR* data, FT_DWORD length) {
    std::lock_guard lock(adaptersMutex);
    NativeAdapter* a = find(handle);
    if (!a)
        return FT_INVALID_HANDLE;
    if (!data && length)
        return FT_INVALID_PARAMETER;
    // The channels of a chip share its EEPROM, and each may have its owner in another process.
    FtdiAdapterLock chip;
    if (!chip.lock(FtdiLockName(a->channel.devicePath, -1), kChipLockWaitMs))
        return FT_DEVICE_NOT_OPENED;
    std::vector<std::uint8_t> image;
    FtdiUserAreaSpan span;
    if (FT_STATUS s = readImageTwice(*a, image); s != FT_OK)
        return s;
    if (FT_STATUS s = userArea(*a, image, span); s != FT_OK)
        return s;
    if (!FtdiEepromChecksumValid(image.data(), int(image.size())))
        return FT_EEPROM_NOT_PROGRAMMED;
    if (length > FT_DWORD(span.length))
        return FT_INVALID_PARAMETER;
    std::vector<std::uint8_t> patched = image;
    if (!FtdiEepromPatchUserArea(patched, a->channel.type, data, int(length)))
        return FT_INVALID_PARAMETER;
    FT_STATUS status = writeChangedWords(*a, image, patched);
    if (status == FT_OK) {
        std::vector<std::uint8_t> check;
        if (readImage(*a, check) != FT_OK)
            status = FT_EEPROM_READ_FAILED;
        else if (check != patched)
            status = FT_EEPROM_WRITE_FAILED;
        if (status == FT_OK)
            return FT_OK;
    }
    // Whatever part of the new words took, the old ones with their checksum are a valid image again.
    writeChangedWords(*a, patched, image);
    return status;
}

FT_STATUS nativeLatency(FT_HANDLE handle, FT_UCHAR ms) {
    std::lock_guard lock(adaptersMutex);
    NativeAdapter* a = find(handle);
    if (!a)
        return FT_INVALID_HANDLE;
    if (FT_STATUS s = ensureUsb(*a); s != FT_OK)
        return s;
    if (ms < 1)
        return FT_INVALID_PARAMETER;
    return control(*a, kVendorOut, kSetLatency, ms) >= 0 ? FT_OK : FT_IO_ERROR;
}

FT_STATUS nativeGetBitMode(FT_HANDLE handle, FT_UCHAR* pins) {
    std::lock_guard lock(adaptersMutex);
    NativeAdapter* a = find(handle);
    if (!a)
        return FT_INVALID_HANDLE;
    if (!pins)
        return FT_INVALID_PARAMETER;
    if (FT_STATUS s = ensureUsb(*a); s != FT_OK)
        return s;
    unsigned char value = 0;
    if (control(*a, kVendorIn, kReadPins, 0, &value, 1) != 1)
        return FT_IO_ERROR;
    *pins = value;
    return FT_OK;
}

FT_STATUS nativeSetBitMode(FT_HANDLE handle, FT_UCHAR mask, FT_UCHAR mode) {
    std::lock_guard lock(adaptersMutex);
    NativeAdapter* a = find(handle);
    if (!a)
        return FT_INVALID_HANDLE;
    const bool leavesUart = mode == FT_BITMODE_RESET || mode == FT_BITMODE_CBUS_BITBANG;
    if (FT_STATUS s = leavesUart ? ensureUsb(*a) : ensureFree(*a); s != FT_OK)
        return s;
    return control(*a, kVendorOut, kSetBitMode, std::uint16_t(mask | (mode << 8))) >= 0 ? FT_OK : FT_IO_ERROR;
}

FT_STATUS nativePortName(FT_HANDLE handle, char* name, FT_DWORD size) {
    if (!name || size == 0)
        return FT_INVALID_PARAMETER;
    name[0] = 0;
    std::lock_guard lock(adaptersMutex);
    NativeAdapter* a = find(handle);
    if (!a)
        return FT_INVALID_HANDLE;
    // Asked again: the tty may have been bound after the open.
    return D2xxSysfsPortName(a->channel.serial, name, size);
}

FT_STATUS nativeComNumber(FT_HANDLE handle, FT_LONG* number) {
    if (!number)
        return FT_INVALID_PARAMETER;
    *number = -1;
    char name[64];
    const FT_STATUS status = nativePortName(handle, name, sizeof name);
    if (status != FT_OK)
        return status;
    // The tty's own number ("ttyUSB3" -> 3): the nearest thing to a COM number here.
    const char* digits = name + std::strlen(name);
    while (digits > name && digits[-1] >= '0' && digits[-1] <= '9')
        --digits;
    if (!*digits)
        return FT_OTHER_ERROR;
    *number = FT_LONG(std::strtol(digits, nullptr, 10));
    return FT_OK;
}

D2xxFunctions makeNativeTable() {
    D2xxFunctions t;
    t.CreateDeviceInfoList = nativeCreate;
    t.GetDeviceInfoList = nativeGetList;
    t.OpenEx = nativeOpen;
    t.Close = nativeClose;
    t.Write = nativeWrite;
    t.ResetDevice = nativeResetDevice;
    t.ResetPort = nativeResetPort;
    t.GetQueueStatus = nativeQueue;
    t.EE_UASize = nativeUASize;
    t.EE_UARead = nativeUARead;
    t.EE_UAWrite = nativeUAWrite;
    t.SetLatencyTimer = nativeLatency;
    t.GetBitMode = nativeGetBitMode;
    t.SetBitMode = nativeSetBitMode;
    t.GetComPortNumber = nativeComNumber;
    t.GetPortName = nativePortName;
    return t;
}

} // namespace

const D2xxFunctions& D2xxNativeFunctions() {
    // Built on first use, so no other file's start-up code can see it half-made.
    static const D2xxFunctions table = makeNativeTable();
    return table;
}

void D2xxNativeSetControlSeam(FtdiControlTransfer fn, void* context) {
    std::lock_guard lock(adaptersMutex);
    controlSeam = fn;
    controlSeamContext = context;
}
