// The FTDI adapters as sysfs shows them, read without opening any device: one entry per channel, in the
// order FTDI's driver lists them. The root is /sys, or $PRAVEX_SYSFS_ROOT for tests with a fake tree.
#pragma once

#include <QString>
#include <cstdint>
#include <vector>

struct FtdiSysfsChannel {
    QString serial;      // followed by A, B, ... on a multi-channel chip
    QString usbSerial;   // the USB device's own serial number, as its descriptor gives it
    QString description; // likewise followed by " A", " B", ...
    std::uint32_t type = 3;
    std::uint32_t id = 0; // vendor << 16 | product
    std::uint32_t locId = 0;
    std::uint32_t flags = 0;
    QString tty; // "ttyUSB0"; empty when no serial driver is bound to the channel
    int busnum = 0;
    int devnum = 0;
    int channel = 0; // 0 = A
    int channelCount = 1;
    std::uint16_t bcdDevice = 0;
    QString devicePath; // the USB device's sysfs directory
};

QString FtdiSysfsRoot();
std::vector<FtdiSysfsChannel> FtdiSysfsScan(const QString& root = FtdiSysfsRoot());
// The tty of the channel with this serial number (in full, or cut as the list shows it), or empty.
QString FtdiSysfsTtyForSerial(const QString& serial, const QString& root = FtdiSysfsRoot());
// The list entries keep this many bytes of UTF-8 of a serial number and of a description.
inline constexpr int FtdiListedSerialBytes = 15;
inline constexpr int FtdiListedDescriptionBytes = 63;
// Whether key is field as the list shows it after cutting it (a key read from the list names its adapter
// too, when no other adapter's field starts alike).
bool FtdiListedCutMatches(const QString& field, const QString& key, int listedBytes);

// D2XX type code of a chip from its bcdDevice; FT_DEVICE_UNKNOWN (3) for one we do not know.
std::uint32_t FtdiTypeFromBcd(std::uint16_t bcd);
// Bus number and port path packed into hex digits, as FTDI's Windows location ids are: bus 1, "2.4" -> 0x124.
std::uint32_t FtdiLocationId(int busnum, const QString& devpath);
// Whether a USB device, as its descriptors answer, is the one this channel was listed from. Its serial
// comes as ASCII (other characters as '?'): a listed serial with other characters is not compared.
bool FtdiUsbIdentityMatches(const FtdiSysfsChannel& ch, std::uint16_t vendor, std::uint16_t product,
                            const QString& serial);
// Whether /dev/<tty> is in use, asked the way a serial session locks it: an exclusive open (TIOCEXCL)
// or an flock held on it. A node we may not open counts as in use: we cannot tell, so we must not disturb it.
bool FtdiTtyIsOpen(const QString& tty);
