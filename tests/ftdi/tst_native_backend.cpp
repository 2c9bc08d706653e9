// The native backend without hardware: a fake sysfs tree of FTDI adapters read through the layer (chip
// types, channels, location ids, tty names), the tty-in-use probe, and the user-area arithmetic on FT232R
// EEPROM images built and checked by libftdi1's own encoder and decoder.
// labels: unit
#include "D2XXUnit.h"
#include "D2xxNative.h"
#include "D2xxText.h"
#include "FtdiEeprom.h"
#include "FtdiSysfs.h"
#include "d2xx_helpers.h"

#include <QDir>
#include <QFile>
#include <array>
#include <cstring>
#include <fcntl.h>
#include <ftdi.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/file.h>
#include <unistd.h>

using namespace d2xxtest;

namespace {

void attr(const QString& dir, const char* name, const QString& value) {
    QDir().mkpath(dir);
    QFile f(dir + QLatin1Char('/') + QLatin1String(name));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(value.toUtf8() + '\n');
}

// One USB device directory as the kernel lays it out, with an interface (and its tty) per channel.
void device(const QString& root, const QString& name, const QString& vendor, const QString& bcd,
            const QString& serial, const QString& product, const QStringList& ttys,
            const QString& speed = QStringLiteral("12")) {
    const QString dir = root + QStringLiteral("/bus/usb/devices/") + name;
    attr(dir, "idVendor", vendor);
    attr(dir, "idProduct", ttys.size() > 1 ? QStringLiteral("6010") : QStringLiteral("6001"));
    attr(dir, "bcdDevice", bcd);
    attr(dir, "serial", serial);
    attr(dir, "product", product);
    attr(dir, "busnum", name.section(QLatin1Char('-'), 0, 0));
    attr(dir, "devnum", QStringLiteral("99"));
    attr(dir, "devpath", name.section(QLatin1Char('-'), 1));
    attr(dir, "speed", speed);
    attr(dir, "bNumInterfaces", QString::number(ttys.size()));
    for (int i = 0; i < ttys.size(); ++i) {
        const QString itf = dir + QLatin1Char('/') + name + QStringLiteral(":1.") + QString::number(i);
        attr(itf, "bInterfaceNumber", QStringLiteral("%1").arg(i, 2, 10, QLatin1Char('0')));
        if (!ttys.at(i).isEmpty())
            QDir().mkpath(itf + QLatin1Char('/') + ttys.at(i) + QStringLiteral("/tty/") + ttys.at(i));
    }
}

class NativeBackend : public ::testing::Test {
protected:
    QString root;
    void SetUp() override {
        root = ScratchDir(QStringLiteral("sysfs"));
        QDir().mkpath(root + QStringLiteral("/bus/usb/devices/usb1"));
        attr(root + QStringLiteral("/bus/usb/devices/usb1"), "idVendor", QStringLiteral("1d6b"));
        device(root, QStringLiteral("1-2.4"), QStringLiteral("0403"), QStringLiteral("0700"),
               QStringLiteral("FTX"), QStringLiteral("Dual RS232-HS"),
               {QStringLiteral("ttyUSB1"), QStringLiteral("ttyUSB2")}, QStringLiteral("480"));
        device(root, QStringLiteral("1-2"), QStringLiteral("0403"), QStringLiteral("0600"),
               QStringLiteral("A5XK3RJ"), QStringLiteral("FT232R USB UART"), {QStringLiteral("ttyUSB0")});
        device(root, QStringLiteral("3-1"), QStringLiteral("067b"), QStringLiteral("0300"),
               QStringLiteral("PL"), QStringLiteral("Not FTDI"), {QStringLiteral("ttyUSB9")});
        device(root, QStringLiteral("2-1.10"), QStringLiteral("0403"), QStringLiteral("1000"),
               QStringLiteral("XS1"), QStringLiteral("FT230X Basic UART"), {QString()});
        qputenv("PRAVEX_SYSFS_ROOT", QFile::encodeName(root));
        // The adapters' lock files go with the fake tree.
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(ScratchDir(QStringLiteral("run"))));
        D2xxUseNativeBackend();
    }
    void TearDown() override {
        qunsetenv("PRAVEX_SYSFS_ROOT");
        qunsetenv("XDG_RUNTIME_DIR");
    }
};

} // namespace

TEST(NativeMapping, ChipTypesAndLocationIds) {
    EXPECT_EQ(FtdiTypeFromBcd(0x0600), 5u);
    EXPECT_EQ(FtdiTypeFromBcd(0x0400), 0u);
    EXPECT_EQ(FtdiTypeFromBcd(0x0200), 1u);
    EXPECT_EQ(FtdiTypeFromBcd(0x0500), 4u);
    EXPECT_EQ(FtdiTypeFromBcd(0x0700), 6u);
    EXPECT_EQ(FtdiTypeFromBcd(0x0800), 7u);
    EXPECT_EQ(FtdiTypeFromBcd(0x0900), 8u);
    EXPECT_EQ(FtdiTypeFromBcd(0x1000), 9u);
    EXPECT_EQ(FtdiTypeFromBcd(0x0300), 3u);
    EXPECT_EQ(FtdiLocationId(1, QStringLiteral("2.4")), 0x124u);
    EXPECT_EQ(FtdiLocationId(2, QStringLiteral("1")), 0x21u);
    EXPECT_EQ(FtdiLocationId(1, QStringLiteral("1.x")), 0u);
}

TEST_F(NativeBackend, ListsEveryChannelInBusAndPortOrder) {
    ASSERT_EQ(D2xxCreateDeviceList(), FT_STATUS(FT_OK));
    ASSERT_EQ(D2xxDeviceCount, 4u);
    ASSERT_EQ(D2xxGetDeviceList(), FT_STATUS(FT_OK));
    ASSERT_EQ(D2xxDeviceList.size(), 4u);
    // 1-2 before 1-2.4 before 2-1.10; the non-FTDI device and the root hub are not listed.
    EXPECT_STREQ(D2xxDeviceList[0].SerialNumber, "A5XK3RJ");
    EXPECT_EQ(D2xxDeviceList[0].DeviceType, 5u);
    EXPECT_EQ(D2xxDeviceList[0].LocID, 0x12u);
    EXPECT_EQ(D2xxDeviceList[0].ID, 0x04036001u);
    EXPECT_STREQ(D2xxDeviceList[1].SerialNumber, "FTXA");
    EXPECT_STREQ(D2xxDeviceList[1].Description, "Dual RS232-HS A");
    EXPECT_STREQ(D2xxDeviceList[2].SerialNumber, "FTXB");
    EXPECT_STREQ(D2xxDeviceList[2].Description, "Dual RS232-HS B");
    EXPECT_EQ(D2xxDeviceList[2].DeviceType, 6u);
    EXPECT_EQ(D2xxDeviceList[2].LocID, 0x124u);
    EXPECT_EQ(D2xxDeviceList[2].Flags & FT_FLAGS_HISPEED, FT_DWORD(FT_FLAGS_HISPEED));
    EXPECT_EQ(D2xxDeviceList[3].DeviceType, 9u); // beyond the name table: the scan calls it "unknown"
}

TEST_F(NativeBackend, PortNamesComeFromTheChannelsTty) {
    QString name;
    ASSERT_EQ(D2xxOpenBySerial(QStringLiteral("FTXB")), FT_STATUS(FT_OK));
    EXPECT_EQ(D2xxGetComPortName(name), FT_STATUS(FT_OK));
    EXPECT_EQ(name, QStringLiteral("ttyUSB2"));
    std::int32_t number = 0;
    EXPECT_EQ(D2xxGetComPortNumber(number), FT_STATUS(FT_OK));
    EXPECT_EQ(number, 2);
    EXPECT_EQ(D2xxClose(), FT_STATUS(FT_OK));

    // No serial driver bound: the query fails, which the scan shows as "COM?".
    ASSERT_EQ(D2xxOpenBySerial(QStringLiteral("XS1")), FT_STATUS(FT_OK));
    EXPECT_NE(D2xxGetComPortName(name), FT_STATUS(FT_OK));
    EXPECT_EQ(D2xxClose(), FT_STATUS(FT_OK));

    EXPECT_EQ(D2xxOpenBySerial(QStringLiteral("PL")), FT_STATUS(FT_DEVICE_NOT_FOUND));
    EXPECT_EQ(D2xxOpenBySerial(QString()), FT_STATUS(FT_DEVICE_NOT_FOUND));
    EXPECT_EQ(FtdiSysfsTtyForSerial(QStringLiteral("FTXA")), QStringLiteral("ttyUSB1"));
}

TEST_F(NativeBackend, DeviceCallsWithoutTheUsbDeviceReturnStatuses) {
    // The fake tree's devices do not exist on the bus: every USB call fails cleanly.
    ASSERT_EQ(D2xxOpenBySerial(QStringLiteral("A5XK3RJ")), FT_STATUS(FT_OK));
    EXPECT_NE(D2xxGetUserAreaSize(), FT_STATUS(FT_OK));
    EXPECT_EQ(D2xxUserAreaSize, 0u);
    EXPECT_NE(D2xxReadUserArea(), FT_STATUS(FT_OK));
    EXPECT_EQ(D2xxUserAreaSize, 0u);
    std::uint8_t pins = 0;
    EXPECT_NE(D2xxGetBitMode(pins), FT_STATUS(FT_OK));
    EXPECT_NE(D2xxSetBitMode(0x01, 1), FT_STATUS(FT_OK));
    EXPECT_EQ(D2xxWrite(1), 0u);
    EXPECT_EQ(D2xxClose(), FT_STATUS(FT_OK));
    // A stale or foreign handle is refused, never followed.
    int notAHandle = 0;
    EXPECT_EQ(D2xxNativeFunctions().Close(&notAHandle), FT_STATUS(FT_INVALID_HANDLE));
}

TEST_F(NativeBackend, AMachineWithoutAdaptersListsNone) {
    qputenv("PRAVEX_SYSFS_ROOT", QFile::encodeName(ScratchDir(QStringLiteral("empty"))));
    EXPECT_EQ(D2xxCreateDeviceList(), FT_STATUS(FT_OK));
    EXPECT_EQ(D2xxDeviceCount, 0u);
    EXPECT_EQ(D2xxGetDeviceList(), FT_STATUS(FT_OK));
    EXPECT_TRUE(D2xxDeviceList.empty());
}

// The kernel's USB strings are UTF-8: listed whole when they fit, cut between two characters when they do
// not, and a key read from the list opens its adapter again.
TEST_F(NativeBackend, Utf8StringsAreListedWholeOrCutBetweenCharacters) {
    const QString euroTail = QString(62, QLatin1Char('d')) + QStringLiteral("\u20ac");
    const struct {
        QString serial;
        QString product;
        QString listedSerial;
        QString listedDescription;
    } cases[] = {
        {QStringLiteral("PR\u00dcF1"), QStringLiteral("Pr\u00fcfger\u00e4t"), QStringLiteral("PR\u00dcF1"),
         QStringLiteral("Pr\u00fcfger\u00e4t")},
        // 14 bytes and a two-byte letter: the letter does not fit into 15 bytes and goes whole.
        {QStringLiteral("ABCDEFGHIJKLMN\u00e4"), QStringLiteral("\u6e2c\u5b9a\u5668"),
         QStringLiteral("ABCDEFGHIJKLMN"), QStringLiteral("\u6e2c\u5b9a\u5668")},
        // Five three-byte letters fill 15 bytes exactly; 62 bytes and a three-byte euro sign leave 62.
        {QStringLiteral("\u6e2c\u5b9a\u5668\u6e2c\u5b9a\u5668"), euroTail,
         QStringLiteral("\u6e2c\u5b9a\u5668\u6e2c\u5b9a"), QString(62, QLatin1Char('d'))},
    };
    const QString utfRoot = ScratchDir(QStringLiteral("sysfs-utf8"));
    QDir().mkpath(utfRoot + QStringLiteral("/bus/usb/devices"));
    int port = 0;
    for (const auto& c : cases) {
        device(utfRoot, QStringLiteral("1-%1").arg(port + 1), QStringLiteral("0403"), QStringLiteral("0600"),
               c.serial, c.product, {QStringLiteral("ttyUSB%1").arg(port)});
        ++port;
    }
    qputenv("PRAVEX_SYSFS_ROOT", QFile::encodeName(utfRoot));
    ASSERT_EQ(D2xxCreateDeviceList(), FT_STATUS(FT_OK));
    ASSERT_EQ(D2xxGetDeviceList(), FT_STATUS(FT_OK));
    ASSERT_EQ(D2xxDeviceList.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.serial.toStdString());
        const FT_Device_Info_Node& node = D2xxDeviceList[i];
        const QString serial = D2xxFieldText(node.SerialNumber, sizeof node.SerialNumber);
        EXPECT_EQ(serial, c.listedSerial);
        EXPECT_EQ(D2xxFieldText(node.Description, sizeof node.Description), c.listedDescription);
        EXPECT_EQ(QByteArray(node.SerialNumber), c.listedSerial.toUtf8());
        const QString tty = QStringLiteral("ttyUSB%1").arg(i);
        EXPECT_EQ(FtdiSysfsTtyForSerial(serial), tty);
        EXPECT_EQ(FtdiSysfsTtyForSerial(c.serial), tty);
        ASSERT_EQ(D2xxOpenBySerial(serial), FT_STATUS(FT_OK));
        QString name;
        EXPECT_EQ(D2xxGetComPortName(name), FT_STATUS(FT_OK));
        EXPECT_EQ(name, tty);
        EXPECT_EQ(D2xxClose(), FT_STATUS(FT_OK));
    }
}

// Field bytes from any driver: UTF-8 when they are well-formed UTF-8, else one character per byte; the way
// back gives the driver the bytes it listed.
TEST(D2xxText, FieldsReadAsUtf8OrSingleBytesAndGoBackAsTheyCame) {
    const struct {
        const char* name;
        QByteArray bytes;
        QString text;
    } cases[] = {
        {"ascii", "FT232R USB UART", QStringLiteral("FT232R USB UART")},
        {"utf-8",
         "Pr\xc3\xbc"
         "fger\xc3\xa4t",
         QStringLiteral("Pr\u00fcfger\u00e4t")},
        {"single bytes",
         "Pr\xfc"
         "fger\xe4t",
         QStringLiteral("Pr\u00fcfger\u00e4t")},
        {"sequence cut at the end", "ab\xe2\x82", QStringLiteral("ab\u00e2\u0082")},
        {"overlong slash", "a\xc0\xaf", QStringLiteral("a\u00c0\u00af")},
        {"surrogate", "\xed\xa0\x80", QStringLiteral("\u00ed\u00a0\u0080")},
        {"four bytes", "\xf0\x9f\x94\x8c", QString::fromUtf8("\xf0\x9f\x94\x8c")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(D2xxFieldText(c.bytes.constData(), c.bytes.size()), c.text);
        EXPECT_EQ(D2xxKeyBytes(c.text, 49), c.bytes);
    }
    // A field without a NUL ends at its size.
    const char full[4] = {'A', 'B', 'C', 'D'};
    EXPECT_EQ(D2xxFieldText(full, 3), QStringLiteral("ABC"));
    // A text no field gave: single bytes where they suffice, else UTF-8 within the limit.
    EXPECT_EQ(D2xxKeyBytes(QStringLiteral("caf\u00e9!"), 49), QByteArray("caf\xe9!"));
    EXPECT_EQ(D2xxKeyBytes(QStringLiteral("\u20ac\u20ac"), 5), QByteArray("\xe2\x82\xac"));
    // Every cut of a mixed text is whole characters.
    const QString mixed =
        QStringLiteral("a\u00e4\u20ac") + QString::fromUtf8("\xf0\x9f\x94\x8c") + QStringLiteral("z");
    for (qsizetype max = 0; max <= 12; ++max) {
        const QByteArray cut = D2xxUtf8Cut(mixed, max);
        EXPECT_LE(cut.size(), max);
        EXPECT_TRUE(mixed.startsWith(QString::fromUtf8(cut))) << max;
        EXPECT_EQ(QString::fromUtf8(cut).toUtf8(), cut) << max;
    }
    EXPECT_EQ(D2xxUtf8Cut(mixed, 5).size(), 3);
}

TEST(NativeTtyProbe, SeesATtyLockedAsASerialSessionLocksIt) {
    int master = -1, slave = -1;
    char name[64] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    const QString tty = QString::fromLatin1(name).mid(5); // "pts/N"
    ASSERT_EQ(::flock(slave, LOCK_EX | LOCK_NB), 0);
    EXPECT_TRUE(FtdiTtyIsOpen(tty));
    EXPECT_TRUE(FtdiTtyIsOpen(tty)) << "the probe must not take the lock away";
    ::close(slave);
    EXPECT_FALSE(FtdiTtyIsOpen(tty));
    ::close(master);
    EXPECT_FALSE(FtdiTtyIsOpen(QString()));
    EXPECT_FALSE(FtdiTtyIsOpen(QStringLiteral("ttyUSB-no-such-node")));
}

namespace {

// An FT232R image with these strings, made by libftdi1's own encoder.
std::vector<std::uint8_t> ft232rImage(const char* maker, const char* product, const char* serial,
                                      int* freeBytes) {
    ftdi_context* ctx = ftdi_new();
    ctx->type = TYPE_R;
    // The defaults refuse to be set without an opened device, though they never touch it.
    ctx->usb_dev = reinterpret_cast<libusb_device_handle*>(8);
    EXPECT_EQ(ftdi_eeprom_initdefaults(ctx, const_cast<char*>(maker), const_cast<char*>(product),
                                       const_cast<char*>(serial)),
              0);
    ctx->usb_dev = nullptr;
    *freeBytes = ftdi_eeprom_build(ctx);
    std::vector<std::uint8_t> image(128);
    EXPECT_EQ(ftdi_get_eeprom_buf(ctx, image.data(), 128), 0);
    ftdi_free(ctx);
    return image;
}

// Decodes with libftdi1: 0 when the checksum holds, and the strings it finds.
int decode(const std::vector<std::uint8_t>& image, std::string strings[3]) {
    ftdi_context* ctx = ftdi_new();
    ctx->type = TYPE_R;
    ctx->usb_dev = reinterpret_cast<libusb_device_handle*>(8);
    ftdi_eeprom_initdefaults(ctx, nullptr, nullptr, nullptr); // sets the chip's EEPROM size for the decoder
    ctx->usb_dev = nullptr;
    ftdi_set_eeprom_buf(ctx, image.data(), int(image.size()));
    const int result = ftdi_eeprom_decode(ctx, 0);
    char m[64] = {}, p[64] = {}, s[64] = {};
    ftdi_eeprom_get_strings(ctx, m, sizeof m, p, sizeof p, s, sizeof s);
    strings[0] = m;
    strings[1] = p;
    strings[2] = s;
    ftdi_free(ctx);
    return result;
}

} // namespace

TEST(NativeEeprom, UserAreaLiesAfterTheStringsAndAWriteKeepsThemIntact) {
    int freeBytes = 0;
    std::vector<std::uint8_t> image = ft232rImage("FTDI", "PRAVEX link", "A5XK3RJ", &freeBytes);
    ASSERT_TRUE(FtdiEepromChecksumValid(image.data(), 128));
    FtdiUserAreaSpan span;
    ASSERT_TRUE(FtdiEepromUserArea(image.data(), 128, 5, span));
    // 96 bytes of string space less three descriptors of 2 + 2 x length bytes.
    EXPECT_EQ(span.length, 96 - (2 + 8) - (2 + 22) - (2 + 14));
    EXPECT_EQ(span.start + span.length, 0x18 + 96);
    EXPECT_LE(span.length, freeBytes);

    const std::uint8_t text[] = "\x05HELLO";
    std::vector<std::uint8_t> patched = image;
    ASSERT_TRUE(FtdiEepromPatchUserArea(patched, 5, text, 7));
    std::string strings[3];
    EXPECT_EQ(decode(patched, strings), 0) << "libftdi1 rejects the checksum";
    EXPECT_EQ(strings[0], "FTDI");
    EXPECT_EQ(strings[1], "PRAVEX link");
    EXPECT_EQ(strings[2], "A5XK3RJ");
    EXPECT_EQ(std::memcmp(patched.data() + span.start, text, 7), 0);
    // Only the user area and the checksum word changed.
    for (int i = 0; i < 126; ++i) {
        if (i < span.start || i >= span.start + 7) {
            EXPECT_EQ(patched[std::size_t(i)], image[std::size_t(i)]) << "byte " << i;
        }
    }

    // A full user area fits; one byte more is refused and leaves the image as it was.
    std::vector<std::uint8_t> full(std::size_t(span.length), 'x');
    std::vector<std::uint8_t> copy = image;
    EXPECT_TRUE(FtdiEepromPatchUserArea(copy, 5, full.data(), span.length));
    EXPECT_EQ(decode(copy, strings), 0);
    full.push_back('x');
    copy = image;
    EXPECT_FALSE(FtdiEepromPatchUserArea(copy, 5, full.data(), int(full.size())));
    EXPECT_EQ(copy, image);
}

TEST(NativeEeprom, BlankOrCorruptImagesHaveNoUserArea) {
    std::vector<std::uint8_t> blank(128, 0xFF);
    FtdiUserAreaSpan span;
    EXPECT_FALSE(FtdiEepromUserArea(blank.data(), 128, 5, span));
    EXPECT_EQ(span.length, 0);
    const std::uint8_t byte = 1;
    EXPECT_FALSE(FtdiEepromPatchUserArea(blank, 5, &byte, 1));

    int freeBytes = 0;
    std::vector<std::uint8_t> image = ft232rImage("F", "P", "S", &freeBytes);
    image[0x13] = 0x7F; // serial length running past the end
    EXPECT_FALSE(FtdiEepromUserArea(image.data(), 128, 5, span));
    EXPECT_FALSE(FtdiEepromUserArea(image.data(), 100, 5, span)); // not a power of two
}

namespace {

// An FT232R as its vendor requests show it: EEPROM words, pin levels, and a record of the other requests.
struct EmulatedChip {
    std::vector<std::uint8_t> eeprom;
    std::uint8_t pins = 0xA5;
    int eepromWrites = 0;
    int stuckWord = -1;                       // a word whose writes do not take
    std::vector<std::array<int, 3>> requests; // request, value, index

    static int transfer(void* context, int busnum, int devnum, std::uint8_t type, std::uint8_t request,
                        std::uint16_t value, std::uint16_t index, unsigned char* data, std::uint16_t length) {
        auto* chip = static_cast<EmulatedChip*>(context);
        if (busnum != 1 || devnum != 99)
            return -4; // no such device
        const int words = int(chip->eeprom.size()) / 2;
        if (type == 0xC0 && request == 0x90 && length == 2) {
            const int w = index % words;
            data[0] = chip->eeprom[std::size_t(2 * w)];
            data[1] = chip->eeprom[std::size_t(2 * w + 1)];
            return 2;
        }
        if (type == 0x40 && request == 0x91) {
            ++chip->eepromWrites;
            if (index < words && index != chip->stuckWord) {
                chip->eeprom[std::size_t(2 * index)] = std::uint8_t(value & 0xFF);
                chip->eeprom[std::size_t(2 * index + 1)] = std::uint8_t(value >> 8);
            }
            return 0;
        }
        if (type == 0xC0 && request == 0x0C && length == 1) {
            data[0] = chip->pins;
            return 1;
        }
        chip->requests.push_back({request, value, index});
        return 0;
    }
};

class NativeUsb : public NativeBackend {
protected:
    EmulatedChip chip;
    void SetUp() override {
        NativeBackend::SetUp();
        int freeBytes = 0;
        chip.eeprom = ft232rImage("FTDI", "FT232R USB UART", "A5XK3RJ", &freeBytes);
        D2xxNativeSetControlSeam(&EmulatedChip::transfer, &chip);
    }
    void TearDown() override {
        D2xxClose();
        D2xxNativeSetControlSeam(nullptr, nullptr);
        NativeBackend::TearDown();
    }
};

} // namespace

TEST_F(NativeUsb, UserAreaReadAndWriteThroughTheEeprom) {
    FtdiUserAreaSpan span;
    ASSERT_TRUE(FtdiEepromUserArea(chip.eeprom.data(), 128, 5, span));
    ASSERT_EQ(D2xxOpenBySerial(QStringLiteral("A5XK3RJ")), FT_STATUS(FT_OK));
    ASSERT_EQ(D2xxGetUserAreaSize(), FT_STATUS(FT_OK));
    EXPECT_EQ(D2xxUserAreaSize, std::uint32_t(span.length));
    EXPECT_EQ(span.length, 96 - 10 - 32 - 16);

    std::memset(D2xxUserArea, 0, sizeof D2xxUserArea);
    std::memcpy(D2xxUserArea, "\x05HELLO", 7);
    D2xxUserAreaSize = 8;
    ASSERT_EQ(D2xxWriteUserArea(), FT_STATUS(FT_OK));
    // Only the changed words and the checksum were written.
    EXPECT_LE(chip.eepromWrites, 5);
    std::string strings[3];
    EXPECT_EQ(decode(chip.eeprom, strings), 0);
    EXPECT_EQ(strings[1], "FT232R USB UART");
    EXPECT_EQ(strings[2], "A5XK3RJ");

    std::memset(D2xxUserArea, 0xEE, sizeof D2xxUserArea);
    ASSERT_EQ(D2xxReadUserArea(), FT_STATUS(FT_OK));
    EXPECT_EQ(D2xxUserAreaSize, std::uint32_t(span.length));
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(D2xxUserArea), 8), QByteArray("\x05HELLO\0", 8));

    // More than the user area holds is refused before anything is written.
    const int writes = chip.eepromWrites;
    D2xxUserAreaSize = std::uint32_t(span.length + 1);
    EXPECT_EQ(D2xxWriteUserArea(), FT_STATUS(FT_INVALID_PARAMETER));
    EXPECT_EQ(chip.eepromWrites, writes);
}

TEST_F(NativeUsb, AWriteThatDoesNotReadBackFails) {
    chip.stuckWord = 63; // the checksum word
    ASSERT_EQ(D2xxOpenBySerial(QStringLiteral("A5XK3RJ")), FT_STATUS(FT_OK));
    std::memcpy(D2xxUserArea, "XY", 3);
    D2xxUserAreaSize = 3;
    EXPECT_EQ(D2xxWriteUserArea(), FT_STATUS(FT_EEPROM_WRITE_FAILED));
}

TEST_F(NativeUsb, BlankEepromHasNoUserArea) {
    chip.eeprom.assign(128, 0xFF);
    ASSERT_EQ(D2xxOpenBySerial(QStringLiteral("A5XK3RJ")), FT_STATUS(FT_OK));
    EXPECT_EQ(D2xxGetUserAreaSize(), FT_STATUS(FT_EEPROM_NOT_PROGRAMMED));
    EXPECT_EQ(D2xxUserAreaSize, 0u);
    EXPECT_EQ(D2xxReadUserArea(), FT_STATUS(FT_EEPROM_NOT_PROGRAMMED));
}

TEST_F(NativeUsb, ModesPinsLatencyAndResetGoToTheChannel) {
    ASSERT_EQ(D2xxOpenBySerial(QStringLiteral("A5XK3RJ")), FT_STATUS(FT_OK));
    std::uint8_t pins = 0;
    ASSERT_EQ(D2xxGetBitMode(pins), FT_STATUS(FT_OK));
    EXPECT_EQ(pins, 0xA5);
    EXPECT_EQ(D2xxSetBitMode(0x04, 0x01), FT_STATUS(FT_OK));
    EXPECT_EQ(D2xxSetLatencyTimer(16), FT_STATUS(FT_OK));
    EXPECT_EQ(D2xxResetDevice(), FT_STATUS(FT_OK));
    EXPECT_EQ(D2xxWrite(1), 0u); // no data endpoint behind the seam: a status, not a crash
    EXPECT_NE(D2xxLastWriteStatus, 0u);
    EXPECT_EQ(D2xxSetLatencyTimer(0), FT_STATUS(FT_INVALID_PARAMETER));
    ASSERT_EQ(chip.requests.size(), 3u);
    EXPECT_EQ(chip.requests[0], (std::array<int, 3>{0x0B, 0x0104, 1}));
    EXPECT_EQ(chip.requests[1], (std::array<int, 3>{0x09, 16, 1}));
    EXPECT_EQ(chip.requests[2], (std::array<int, 3>{0x00, 0, 1}));
    D2xxClose();

    // Channel B of the dual chip is interface index 2. Its device number is the emulated one too.
    ASSERT_EQ(D2xxOpenBySerial(QStringLiteral("FTXB")), FT_STATUS(FT_OK));
    EXPECT_EQ(D2xxSetBitMode(0xF1, 0x20), FT_STATUS(FT_OK));
    EXPECT_EQ(chip.requests.back(), (std::array<int, 3>{0x0B, 0x20F1, 2}));
}

TEST_F(NativeUsb, ASerialSessionIsNotDisturbed) {
    // /dev/ttyUSB0 of the fake tree is a link to a pseudo-terminal this test holds open.
    int master = -1, slave = -1;
    char name[64] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    ASSERT_EQ(::flock(slave, LOCK_EX | LOCK_NB), 0); // as the serial line holds its port
    const QString devRoot = ScratchDir(QStringLiteral("dev"));
    ASSERT_TRUE(QFile::link(QString::fromLatin1(name), devRoot + QStringLiteral("/ttyUSB0")));
    qputenv("PRAVEX_DEV_ROOT", QFile::encodeName(devRoot));

    ASSERT_EQ(D2xxOpenBySerial(QStringLiteral("A5XK3RJ")), FT_STATUS(FT_OK)); // the scan's open still works
    EXPECT_EQ(D2xxSetBitMode(0x04, FT_BITMODE_ASYNC_BITBANG), FT_STATUS(FT_DEVICE_NOT_OPENED));
    EXPECT_EQ(D2xxResetDevice(), FT_STATUS(FT_DEVICE_NOT_OPENED));
    EXPECT_EQ(D2xxWrite(1), 0u);
    EXPECT_EQ(D2xxLastWriteStatus, std::uint32_t(FT_DEVICE_NOT_OPENED));
    EXPECT_TRUE(chip.requests.empty());
    // CBUS pins, pin reads, latency and the user area leave the UART alone.
    EXPECT_EQ(D2xxSetBitMode(0x11, FT_BITMODE_CBUS_BITBANG), FT_STATUS(FT_OK));
    std::uint8_t pins = 0;
    EXPECT_EQ(D2xxGetBitMode(pins), FT_STATUS(FT_OK));
    EXPECT_EQ(D2xxSetLatencyTimer(16), FT_STATUS(FT_OK));
    EXPECT_EQ(D2xxGetUserAreaSize(), FT_STATUS(FT_OK));

    // The session ends: the data pins are free again.
    ::close(slave);
    EXPECT_EQ(D2xxSetBitMode(0x04, FT_BITMODE_ASYNC_BITBANG), FT_STATUS(FT_OK));
    ::close(master);
    qunsetenv("PRAVEX_DEV_ROOT");
}

TEST_F(NativeUsb, OneOwnerPerChannel) {
    ASSERT_EQ(D2xxOpenBySerial(QStringLiteral("FTXA")), FT_STATUS(FT_OK));
    FT_HANDLE first = D2xxHandle;
    // A second open of the same channel fails and leaves the handle as it was; the other channel opens.
    EXPECT_EQ(D2xxOpenBySerial(QStringLiteral("FTXA")), FT_STATUS(FT_DEVICE_NOT_OPENED));
    EXPECT_EQ(D2xxHandle, first);
    FT_HANDLE second = nullptr;
    char serial[] = "FTXB";
    EXPECT_EQ(D2xxNativeFunctions().OpenEx(serial, FT_OPEN_BY_SERIAL_NUMBER, &second), FT_STATUS(FT_OK));
    EXPECT_EQ(D2xxNativeFunctions().Close(second), FT_STATUS(FT_OK));
    EXPECT_EQ(D2xxClose(), FT_STATUS(FT_OK));
    EXPECT_EQ(D2xxOpenBySerial(QStringLiteral("FTXA")), FT_STATUS(FT_OK));
}
