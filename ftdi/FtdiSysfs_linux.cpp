// Reads FTDI adapters from sysfs: the USB device directory gives vendor, product, chip revision, strings,
// bus and port path; each interface directory below it gives a channel and the tty bound to it.
#include "D2xxText.h"
#include "FtdiSysfs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

QString readAttribute(const QString& dir, const char* name) {
    QFile file(dir + QLatin1Char('/') + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    // The kernel writes the USB string descriptors as UTF-8.
    return QString::fromUtf8(file.read(512)).trimmed();
}

unsigned readHex(const QString& dir, const char* name, bool* ok = nullptr) {
    return readAttribute(dir, name).toUInt(ok, 16);
}

// The tty of an interface: ftdi_sio puts a "ttyUSBn" port directory right under the interface.
QString ttyOfInterface(const QString& interfaceDir) {
    const QStringList ports =
        QDir(interfaceDir).entryList({QStringLiteral("tty*")}, QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& port : ports) {
        if (port == QLatin1String("tty")) {
            // Some drivers nest the class directory: <interface>/tty/ttyXXX.
            const QStringList nested = QDir(interfaceDir + QStringLiteral("/tty"))
                                           .entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
            if (!nested.isEmpty())
                return nested.first();
            continue;
        }
        return port;
    }
    return QString();
}

} // namespace

QString FtdiSysfsRoot() {
    const QByteArray root = qgetenv("PRAVEX_SYSFS_ROOT");
    return root.isEmpty() ? QStringLiteral("/sys") : QFile::decodeName(root);
}

std::uint32_t FtdiTypeFromBcd(std::uint16_t bcd) {
    switch (bcd) {
    case 0x0200:
        return 1; // AM
    case 0x0400:
        return 0; // BM
    case 0x0500:
        return 4; // 2232C
    case 0x0600:
        return 5; // 232R
    case 0x0700:
        return 6; // 2232H
    case 0x0800:
        return 7; // 4232H
    case 0x0900:
        return 8; // 232H
    case 0x1000:
        return 9; // X series
    default:
        return 3;
    }
}

std::uint32_t FtdiLocationId(int busnum, const QString& devpath) {
    std::uint32_t id = std::uint32_t(busnum) & 0xF;
    if (busnum > 15)
        id = std::uint32_t(busnum) & 0xFF;
    for (const QString& part : devpath.split(QLatin1Char('.'), Qt::SkipEmptyParts)) {
        bool ok = false;
        const unsigned port = part.toUInt(&ok);
        if (!ok)
            return 0;
        id = (id << 4) | (port & 0xF);
    }
    return id;
}

std::vector<FtdiSysfsChannel> FtdiSysfsScan(const QString& root) {
    std::vector<FtdiSysfsChannel> result;
    const QString devicesDir = root + QStringLiteral("/bus/usb/devices");
    // "1-2.4" before "1-10": sort by bus, then by the numeric port path, as a driver would enumerate.
    QStringList names = QDir(devicesDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    names.erase(
        std::remove_if(names.begin(), names.end(),
                       [](const QString& n) { return n.contains(QLatin1Char(':')) || n.startsWith("usb"); }),
        names.end());
    auto key = [](const QString& name) {
        std::vector<unsigned> parts;
        for (const QString& p :
             QString(name).replace(QLatin1Char('-'), QLatin1Char('.')).split(QLatin1Char('.')))
            parts.push_back(p.toUInt());
        return parts;
    };
    std::sort(names.begin(), names.end(),
              [&](const QString& a, const QString& b) { return key(a) < key(b); });

    for (const QString& name : names) {
        const QString dir = devicesDir + QLatin1Char('/') + name;
        if (readHex(dir, "idVendor") != 0x0403)
            continue;
        const unsigned product = readHex(dir, "idProduct");
        const auto bcd = std::uint16_t(readHex(dir, "bcdDevice"));
        const int busnum = readAttribute(dir, "busnum").toInt();
        QString devpath = readAttribute(dir, "devpath");
        if (devpath.isEmpty())
            devpath = name.section(QLatin1Char('-'), 1);
        const QString serial = readAttribute(dir, "serial");
        const QString description = readAttribute(dir, "product");
        const bool hiSpeed = readAttribute(dir, "speed").toInt() >= 480;

        // Interfaces of the active configuration: "<name>:<config>.<interface>".
        QStringList interfaces =
            QDir(dir).entryList({name + QStringLiteral(":*")}, QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
        std::sort(interfaces.begin(), interfaces.end(), [&](const QString& a, const QString& b) {
            return readHex(dir + '/' + a, "bInterfaceNumber") < readHex(dir + '/' + b, "bInterfaceNumber");
        });
        int channels = int(interfaces.size());
        if (channels == 0)
            channels = std::max(1, readAttribute(dir, "bNumInterfaces").toInt());

        for (int c = 0; c < channels; ++c) {
            FtdiSysfsChannel ch;
            ch.serial = serial;
            ch.usbSerial = serial;
            ch.description = description;
            if (channels > 1) {
                ch.serial += QChar(QLatin1Char(char('A' + c)));
                ch.description += QLatin1Char(' ') + QChar(QLatin1Char(char('A' + c)));
            }
            ch.type = FtdiTypeFromBcd(bcd);
            ch.id = (0x0403u << 16) | (product & 0xFFFF);
            ch.locId = FtdiLocationId(busnum, devpath);
            ch.flags = hiSpeed ? 2u : 0u;
            ch.tty =
                c < interfaces.size() ? ttyOfInterface(dir + QLatin1Char('/') + interfaces.at(c)) : QString();
            ch.busnum = busnum;
            ch.devnum = readAttribute(dir, "devnum").toInt();
            ch.channel = c;
            ch.channelCount = channels;
            ch.bcdDevice = bcd;
            ch.devicePath = dir;
            result.push_back(ch);
        }
    }
    return result;
}

bool FtdiListedCutMatches(const QString& field, const QString& key, int listedBytes) {
    const QString listed = QString::fromUtf8(D2xxUtf8Cut(field, listedBytes));
    return listed != field && listed == key;
}

QString FtdiSysfsTtyForSerial(const QString& serial, const QString& root) {
    if (serial.isEmpty())
        return QString();
    QString cut;
    int cutMatches = 0;
    for (const FtdiSysfsChannel& ch : FtdiSysfsScan(root)) {
        if (ch.serial == serial)
            return ch.tty;
        if (FtdiListedCutMatches(ch.serial, serial, FtdiListedSerialBytes)) {
            cut = ch.tty;
            ++cutMatches;
        }
    }
    return cutMatches == 1 ? cut : QString();
}

bool FtdiUsbIdentityMatches(const FtdiSysfsChannel& ch, std::uint16_t vendor, std::uint16_t product,
                            const QString& serial) {
    if (vendor != (ch.id >> 16) || product != (ch.id & 0xFFFF))
        return false;
    const bool ascii = std::all_of(ch.usbSerial.begin(), ch.usbSerial.end(),
                                   [](QChar c) { return c.unicode() >= 0x20 && c.unicode() < 0x7F; });
    return !ascii || serial.trimmed() == ch.usbSerial;
}

bool FtdiTtyIsOpen(const QString& tty) {
    if (tty.isEmpty())
        return false;
    // PRAVEX_DEV_ROOT lets tests name a tty by a link to a pseudo-terminal they hold.
    const QByteArray devRoot = qgetenv("PRAVEX_DEV_ROOT");
    const QString path =
        (devRoot.isEmpty() ? QStringLiteral("/dev") : QFile::decodeName(devRoot)) + QLatin1Char('/') + tty;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno != ENOENT; // no such node: nobody can hold it
    const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return locked;
}
