// A seam at the USB vendor requests of the native backend (EEPROM words, pins, bit modes, latency, reset):
// tests put an emulated chip behind it, since no adapter is attached where they run.
#pragma once

#include <cstdint>

// Same contract as libusb_control_transfer: bytes transferred, or a negative error.
using FtdiControlTransfer = int (*)(void* context, int busnum, int devnum, std::uint8_t requestType,
                                    std::uint8_t request, std::uint16_t value, std::uint16_t index,
                                    unsigned char* data, std::uint16_t length);

// While set, every vendor request goes to fn and no USB device is opened (data writes then fail). Null
// restores the real path.
void D2xxNativeSetControlSeam(FtdiControlTransfer fn, void* context);
