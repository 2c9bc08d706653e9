// A user-area write through the native backend never leaves an EEPROM with a wrong checksum: emulated
// chips (FT232R, FT2232H with a 93C46 and with a 93C56, FT-X) behind the control-transfer seam, with
// misreads, a wrong checksum already there, a word that does not take and a failing transfer; two
// processes writing one chip; the list's cut serial numbers; and the identity check of a USB handle.
// labels: unit
#include "D2XXUnit.h"
#include "D2xxNative.h"
#include "FtdiEeprom.h"
#include "FtdiSysfs.h"
#include "d2xx_helpers.h"
#include "tools/d2xx-sim/emulated_ftdi_chip.h"

#include <QDir>
#include <QFile>
#include <cstring>
#include <gtest/gtest.h>
#include <new>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace d2xxtest;

namespace {

void attr(const QString& dir, const char* name, const QString& value) {
    QDir().mkpath(dir);
    QFile f(dir + QLatin1Char('/') + QLatin1String(name));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(value.toLatin1() + '\n');
}

// A USB device directory with its channels, each with a tty.
void usbDevice(const QString& root, const QString& name, int devnum, const QString& bcd,
               const QString& serial, int channels) {
    const QString dir = root + QStringLiteral("/bus/usb/devices/") + name;
    attr(dir, "idVendor", QStringLiteral("0403"));
    attr(dir, "idProduct", channels > 1 ? QStringLiteral("6010") : QStringLiteral("6001"));
    attr(dir, "bcdDevice", bcd);
    attr(dir, "serial", serial);
    attr(dir, "product", QStringLiteral("Adapter ") + serial);
    attr(dir, "busnum", QStringLiteral("1"));
    attr(dir, "devnum", QString::number(devnum));
    attr(dir, "devpath", name.section(QLatin1Char('-'), 1));
    for (int i = 0; i < channels; ++i) {
        const QString itf = dir + QLatin1Char('/') + name + QStringLiteral(":1.") + QString::number(i);
        attr(itf, "bInterfaceNumber", QStringLiteral("%1").arg(i, 2, 10, QLatin1Char('0')));
        const QString tty = QStringLiteral("ttyUSB%1").arg(devnum * 2 + i);
        QDir().mkpath(itf + QLatin1Char('/') + tty + QStringLiteral("/tty/") + tty);
    }
}

struct Chip {
    const char* name;
    const char* bcd;
    int channels;
    int imageBytes;     // what the part holds
    const char* serial; // as listed (channel A where there are two)
    std::uint32_t type;
    int devnum;
};

const Chip Chips[] = {
    {"FT232R", "0600", 1, 128, "R232", 5, 10},
    {"FT2232H with 93C46", "0700", 2, 128, "H46A", 6, 11},
    {"FT2232H with 93C56", "0700", 2, 256, "H56A", 6, 12},
    {"FT-X", "1000", 1, 256, "X230", 9, 13},
};

enum class Fault { None, MisreadFirst, MisreadSecond, ChecksumAlreadyWrong, WordDoesNotTake, TransferFails };

struct FaultCase {
    const char* name;
    Fault fault;
    FT_STATUS expected; // for chips whose layout is known
};

const FaultCase Faults[] = {
    {"no fault", Fault::None, FT_OK},
    {"a word misread in the first read", Fault::MisreadFirst, FT_EEPROM_READ_FAILED},
    {"a word misread in the second read", Fault::MisreadSecond, FT_EEPROM_READ_FAILED},
    {"a checksum that is already wrong", Fault::ChecksumAlreadyWrong, FT_EEPROM_NOT_PROGRAMMED},
    {"a checksum word that does not take", Fault::WordDoesNotTake, FT_EEPROM_WRITE_FAILED},
    {"a word write that fails on the bus", Fault::TransferFails, FT_IO_ERROR},
};

class EepromSafety : public ::testing::Test {
protected:
    QString root;
    void SetUp() override {
        root = ScratchDir(QStringLiteral("sysfs"));
        for (const Chip& c : Chips)
            usbDevice(root, QStringLiteral("1-%1").arg(c.devnum), c.devnum, QLatin1String(c.bcd),
                      QLatin1String(c.serial).left(c.channels > 1 ? 3 : 4), c.channels);
        qputenv("PRAVEX_SYSFS_ROOT", QFile::encodeName(root));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(ScratchDir(QStringLiteral("run"))));
        D2xxUseNativeBackend();
    }
    void TearDown() override {
        if (D2xxHandle)
            D2xxClose();
        D2xxNativeSetControlSeam(nullptr, nullptr);
        qunsetenv("PRAVEX_SYSFS_ROOT");
        qunsetenv("XDG_RUNTIME_DIR");
    }
};

bool checksumValid(const std::vector<std::uint8_t>& image) {
    return FtdiEepromChecksumValid(image.data(), int(image.size()));
}

} // namespace

TEST_F(EepromSafety, AWriteLeavesAValidChecksumOrChangesNothing) {
    const std::uint8_t text[] = "\x05HELLO";
    for (const Chip& c : Chips) {
        for (const FaultCase& f : Faults) {
            SCOPED_TRACE(std::string(c.name) + ", " + f.name);
            EmulatedFtdiChip chip;
            chip.devnum = c.devnum;
            chip.load(EmulatedFtdiImage(c.imageBytes, "FTDI", "PRAVEX link", c.serial));
            const int wordsPerRead = (c.type == 5) ? 64 : 128;
            switch (f.fault) {
            case Fault::None:
                break;
            case Fault::MisreadFirst:
                chip.misreadAt = 0x1C / 2; // inside the product string
                break;
            case Fault::MisreadSecond:
                chip.misreadAt = wordsPerRead + 0x1C / 2;
                break;
            case Fault::ChecksumAlreadyWrong:
                chip.eeprom[0x1E] ^= 0x20; // a string byte the checksum no longer covers
                break;
            case Fault::WordDoesNotTake:
                chip.stuckWord = chip.words - 1;
                break;
            case Fault::TransferFails:
                chip.failWriteAt = 1;
                break;
            }
            const std::vector<std::uint8_t> before = chip.image();
            D2xxNativeSetControlSeam(&EmulatedFtdiChip::transfer, &chip);
            ASSERT_EQ(D2xxOpenBySerial(QLatin1String(c.serial)), FT_STATUS(FT_OK));

            std::memset(D2xxUserArea, 0, sizeof D2xxUserArea);
            std::memcpy(D2xxUserArea, text, sizeof text - 1);
            D2xxUserAreaSize = sizeof text - 1;
            const FT_STATUS status = D2xxWriteUserArea();
            const std::vector<std::uint8_t> after = chip.image();

            if (c.type == 9) {
                // Layout not guessed at: every user-area call is refused and nothing is written.
                EXPECT_EQ(status, FT_STATUS(FT_OTHER_ERROR));
                EXPECT_EQ(D2xxGetUserAreaSize(), FT_STATUS(FT_OTHER_ERROR));
                EXPECT_EQ(D2xxReadUserArea(), FT_STATUS(FT_OTHER_ERROR));
                EXPECT_EQ(chip.eepromWrites, 0);
                EXPECT_EQ(after, before);
            } else {
                EXPECT_EQ(status, f.expected);
                if (f.fault == Fault::ChecksumAlreadyWrong || f.fault == Fault::MisreadFirst ||
                    f.fault == Fault::MisreadSecond) {
                    EXPECT_EQ(chip.eepromWrites, 0);
                    EXPECT_EQ(after, before);
                } else {
                    // The checksum holds at the part's real size (a 93C46's is word 0x3F).
                    EXPECT_TRUE(checksumValid(after));
                    FtdiUserAreaSpan span;
                    ASSERT_TRUE(FtdiEepromUserArea(before.data(), int(before.size()), c.type, span));
                    // The strings never change; a failed write puts the old user area back.
                    EXPECT_EQ(std::memcmp(after.data(), before.data(), std::size_t(span.start)), 0);
                    if (status == FT_OK) {
                        EXPECT_EQ(std::memcmp(after.data() + span.start, text, sizeof text - 1), 0);
                        EXPECT_LE(chip.eepromWrites, 5);
                        ASSERT_EQ(D2xxGetUserAreaSize(), FT_STATUS(FT_OK));
                        EXPECT_EQ(D2xxUserAreaSize, std::uint32_t(span.length));
                        ASSERT_EQ(D2xxReadUserArea(), FT_STATUS(FT_OK));
                        EXPECT_EQ(std::memcmp(D2xxUserArea, text, sizeof text - 1), 0);
                    } else if (f.fault == Fault::TransferFails) {
                        EXPECT_EQ(after, before);
                    }
                }
            }
            D2xxClose();
            D2xxNativeSetControlSeam(nullptr, nullptr);
        }
    }
}

TEST_F(EepromSafety, TwoProcessesWritingOneChipNeverInterleave) {
    // The chip lives in shared memory; this process writes through channel A, a child through channel B.
    void* shared =
        mmap(nullptr, sizeof(EmulatedFtdiChip), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shared, MAP_FAILED);
    auto* chip = new (shared) EmulatedFtdiChip;
    chip->devnum = 12;
    chip->transferMicroseconds = 50; // long enough cycles to overlap, were they not locked
    chip->load(EmulatedFtdiImage(256, "FTDI", "PRAVEX link", "H56"));
    D2xxNativeSetControlSeam(&EmulatedFtdiChip::transfer, chip);

    // Each writes ten different texts and verifies each by its read-back; the child's exit code counts
    // its failed writes, 100 + status when it could open channel A, which this process holds.
    ASSERT_EQ(D2xxOpenBySerial(QStringLiteral("H56A")), FT_STATUS(FT_OK));
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char byte = 0;
        if (read(go[0], &byte, 1) != 1)
            _exit(102);
        FT_HANDLE mine = nullptr;
        char a[] = "H56A";
        if (D2xxNativeFunctions().OpenEx(a, FT_OPEN_BY_SERIAL_NUMBER, &mine) != FT_DEVICE_NOT_OPENED)
            _exit(100);
        char b[] = "H56B";
        if (D2xxNativeFunctions().OpenEx(b, FT_OPEN_BY_SERIAL_NUMBER, &mine) != FT_OK)
            _exit(101);
        int failed = 0;
        for (int i = 0; i < 10; ++i) {
            std::uint8_t text[8] = {'c', 'h', 'i', 'l', 'd', std::uint8_t('0' + i), 0, 0};
            failed += D2xxNativeFunctions().EE_UAWrite(mine, text, sizeof text) != FT_OK;
        }
        D2xxNativeFunctions().Close(mine);
        _exit(failed);
    }
    ASSERT_EQ(write(go[1], "g", 1), 1);
    int failed = 0;
    for (int i = 0; i < 10; ++i) {
        std::memset(D2xxUserArea, 0, sizeof D2xxUserArea);
        std::memcpy(D2xxUserArea, "parent", 6);
        D2xxUserArea[6] = std::uint8_t('0' + i);
        D2xxUserAreaSize = 8;
        failed += D2xxWriteUserArea() != FT_OK;
    }
    int wstatus = 0;
    ASSERT_EQ(waitpid(child, &wstatus, 0), child);
    ::close(go[0]);
    ::close(go[1]);
    ASSERT_TRUE(WIFEXITED(wstatus));
    EXPECT_EQ(WEXITSTATUS(wstatus), 0);
    EXPECT_EQ(failed, 0);
    EXPECT_TRUE(checksumValid(chip->image()));
    D2xxClose();
    D2xxNativeSetControlSeam(nullptr, nullptr);
    munmap(shared, sizeof(EmulatedFtdiChip));
}

TEST_F(EepromSafety, SerialsCutByTheListStillOpenTheirAdapter) {
    usbDevice(root, QStringLiteral("1-20"), 20, QStringLiteral("0600"), QStringLiteral("PVX-0123456789-LONG"),
              1);
    usbDevice(root, QStringLiteral("1-21"), 21, QStringLiteral("0600"), QStringLiteral("TWIN-0123456789-A"),
              1);
    usbDevice(root, QStringLiteral("1-22"), 22, QStringLiteral("0600"), QStringLiteral("TWIN-0123456789-B"),
              1);
    ASSERT_EQ(D2xxCreateDeviceList(), FT_STATUS(FT_OK));
    ASSERT_EQ(D2xxGetDeviceList(), FT_STATUS(FT_OK));
    QStringList listed;
    for (const auto& node : D2xxDeviceList)
        listed << QString::fromLatin1(node.SerialNumber);
    ASSERT_TRUE(listed.contains(QStringLiteral("PVX-0123456789-")));

    const struct {
        const char* key;
        FT_STATUS expected;
    } cases[] = {
        {"PVX-0123456789-", FT_OK},               // as the list shows it
        {"PVX-0123456789-LONG", FT_OK},           // as the device has it
        {"PVX-0123456789", FT_DEVICE_NOT_FOUND},  // any other prefix is another serial
        {"TWIN-0123456789", FT_DEVICE_NOT_FOUND}, // fits two adapters: neither is guessed
        {"TWIN-0123456789-B", FT_OK},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        // FTDI's own library opens by its list too; the layer then finds the tty by that serial.
        EXPECT_EQ(FtdiSysfsTtyForSerial(QLatin1String(c.key)).isEmpty(), c.expected != FT_OK);
        EXPECT_EQ(D2xxOpenBySerial(QLatin1String(c.key)), c.expected);
        if (c.expected == FT_OK) {
            EXPECT_EQ(D2xxClose(), FT_STATUS(FT_OK));
        }
    }
}

TEST(UsbIdentity, AHandleIsUsedOnlyForTheDeviceListed) {
    FtdiSysfsChannel ch;
    ch.id = 0x04036010;
    ch.usbSerial = QStringLiteral("FT4XY");
    EXPECT_TRUE(FtdiUsbIdentityMatches(ch, 0x0403, 0x6010, QStringLiteral("FT4XY")));
    EXPECT_FALSE(FtdiUsbIdentityMatches(ch, 0x0403, 0x6010, QStringLiteral("FT4XZ"))); // took its address
    EXPECT_FALSE(FtdiUsbIdentityMatches(ch, 0x0403, 0x6001, QStringLiteral("FT4XY")));
    EXPECT_FALSE(FtdiUsbIdentityMatches(ch, 0x067B, 0x6010, QStringLiteral("FT4XY")));
    EXPECT_FALSE(FtdiUsbIdentityMatches(ch, 0x0403, 0x6010, QString()));
}
