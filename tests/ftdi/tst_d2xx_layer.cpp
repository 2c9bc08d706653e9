// The D2XX layer against the simulator library: error labels and texts, the serial-number buffer, the
// write count, the user-area size rule, the device list conversion, and a backend that cannot be loaded.
// labels: sim
#include "D2XXUnit.h"
#include "d2xx_helpers.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QTimer>
#include <gtest/gtest.h>

using namespace d2xxtest;

namespace {

const QString twoAdapters = QStringLiteral("[adapter]\n"
                                           "serial = FTAAA111\n"
                                           "description = PRAVEX link\n"
                                           "type = 5\n"
                                           "location = 0x124\n"
                                           "tty = ttyUSB0\n"
                                           "ua_size = 48\n"
                                           "ua_text = \"ABC\\x00\"\n"
                                           "[adapter]\n"
                                           "serial = FTBBB22222222222222\n"
                                           "description = \"A description that is far longer than sixty-four "
                                           "characters in all, really\"\n"
                                           "type = 7\n"
                                           "tty = ttyUSB1\n"
                                           "ua_size = 100\n");

// Closes every modal box that comes up and records its text.
struct BoxCatcher {
    QStringList texts;
    QTimer timer;
    BoxCatcher() {
        timer.setInterval(20);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                texts << box->text();
                box->done(QMessageBox::Ok);
            }
        });
        timer.start();
    }
};

} // namespace

TEST(D2xxLayer, ErrorTextsFollowTheLabelExactly) {
    EXPECT_EQ(D2xxErrorMessage(QStringLiteral("FT_Close"), 1),
              QStringLiteral("FT_Close - Invalid handle..."));
    EXPECT_EQ(D2xxErrorMessage(QStringLiteral("Open_USB_Device_By_Serial_Number"), 3),
              QStringLiteral("Open_USB_Device_By_Serial_Number - Device not opened..."));
    // The two rows without a dash, and a label whose trailing blank belongs to it.
    EXPECT_EQ(D2xxErrorMessage(QStringLiteral("Open_USB_Device_By_Serial_Number"), 8),
              QStringLiteral("Open_USB_Device_By_Serial_Number Device not opened for erase..."));
    EXPECT_EQ(D2xxErrorMessage(QStringLiteral("FT_EE_UAWrite "), 9),
              QStringLiteral("FT_EE_UAWrite  Device not opened for write..."));
    EXPECT_EQ(D2xxErrorMessage(QStringLiteral("FT_SetBitMode "), 17),
              QStringLiteral("FT_SetBitMode  - Other error ..."));
    EXPECT_EQ(D2xxErrorMessage(QStringLiteral("FT_Write"), 18), QString());
    EXPECT_EQ(D2xxErrorMessage(QStringLiteral("FT_Write"), 0), QString());
}

TEST(D2xxLayer, ReportShowsAModalBoxOnlyWhenSwitchedOn) {
    ASSERT_TRUE(UseSimulator(QStringLiteral("fail = FT_OpenEx 3\n")));
    BoxCatcher catcher;
    D2xxShowErrors = false;
    EXPECT_EQ(D2xxOpenBySerial(QStringLiteral("X")), FT_STATUS(FT_DEVICE_NOT_OPENED));
    EXPECT_TRUE(catcher.texts.isEmpty());

    D2xxShowErrors = true;
    EXPECT_EQ(D2xxOpenBySerial(QStringLiteral("X")), FT_STATUS(FT_DEVICE_NOT_OPENED));
    D2xxReportError(QStringLiteral("FT_Write"), 18); // beyond the table: an empty message
    D2xxShowErrors = false;
    ASSERT_EQ(catcher.texts.size(), 2);
    EXPECT_EQ(catcher.texts.at(0), QStringLiteral("Open_USB_Device_By_Serial_Number - Device not opened..."));
    EXPECT_EQ(catcher.texts.at(1), QString());
}

TEST(D2xxLayer, SerialIsCutTo49BytesBetweenCharacters) {
    // 60 characters; the third is U+0141, which no single byte holds: the serial goes out as UTF-8, never
    // as a low byte that could name another adapter ("ABA...").
    QString serial = QStringLiteral("AB") + QChar(0x0141) + QString(57, QLatin1Char('x'));
    const QString expected = QStringLiteral("AB") + QChar(0x0141) + QString(45, QLatin1Char('x'));
    ASSERT_TRUE(UseSimulator(QStringLiteral("[adapter]\nserial = %1\ntty = ttyUSB4\n").arg(expected)));
    ASSERT_EQ(D2xxOpenBySerial(serial), FT_STATUS(FT_OK));
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(D2xxSerialBuffer)), expected.toUtf8());
    EXPECT_EQ(D2xxSerialBuffer[49], 0);
    EXPECT_NE(D2xxHandle, nullptr);
    const auto opens = JournalOf(QStringLiteral("FT_OpenEx"));
    ASSERT_EQ(opens.size(), 1u);
    // The journal shows each byte as one character.
    EXPECT_EQ(opens[0].args.value(QStringLiteral("serial")), QString::fromLatin1(expected.toUtf8()));

    // An empty serial gives an empty buffer, not the old one.
    EXPECT_NE(D2xxOpenBySerial(QString()), FT_STATUS(FT_OK));
    EXPECT_EQ(D2xxSerialBuffer[0], 0);
    // A failed open leaves the handle as it was: the close still reaches the adapter opened before.
    EXPECT_NE(D2xxHandle, nullptr);
    EXPECT_EQ(D2xxClose(), FT_STATUS(FT_OK));
    EXPECT_EQ(D2xxHandle, nullptr);
}

TEST(D2xxLayer, CloseDropsTheHandleWhateverTheStatus) {
    ASSERT_TRUE(UseSimulator(twoAdapters));
    ASSERT_EQ(D2xxOpenBySerial(QStringLiteral("FTAAA111")), FT_STATUS(FT_OK));
    EXPECT_EQ(D2xxClose(), FT_STATUS(FT_OK));
    EXPECT_EQ(D2xxHandle, nullptr);
    // A close with nothing held still reaches the library (handle 0) and returns its status.
    EXPECT_EQ(D2xxClose(), FT_STATUS(FT_INVALID_HANDLE));
    const auto closes = JournalOf(QStringLiteral("FT_Close"));
    ASSERT_EQ(closes.size(), 2u);
    EXPECT_EQ(closes[1].args.value(QStringLiteral("handle")), QStringLiteral("0"));
}

TEST(D2xxLayer, WriteReturnsTheCountAndKeepsTheStatusApart) {
    ASSERT_TRUE(UseSimulator(twoAdapters));
    ASSERT_EQ(D2xxOpenBySerial(QStringLiteral("FTAAA111")), FT_STATUS(FT_OK));
    D2xxWriteBuffer[0] = 0x04;
    D2xxWriteBuffer[1] = 0x00;
    D2xxWriteBuffer[2] = 0x04;
    EXPECT_EQ(D2xxWrite(3), 3u);
    EXPECT_EQ(D2xxLastWriteStatus, 0u);
    auto writes = JournalOf(QStringLiteral("FT_Write"));
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].args.value(QStringLiteral("data")), QStringLiteral("040004"));
    // A count past the buffer is held to the buffer's size.
    EXPECT_EQ(D2xxWrite(D2xxWriteBufferSize + 10), std::uint32_t(D2xxWriteBufferSize));
    D2xxClose();

    EXPECT_EQ(D2xxWrite(1), 0u); // no handle
    EXPECT_EQ(D2xxLastWriteStatus, std::uint32_t(FT_INVALID_HANDLE));
}

TEST(D2xxLayer, UserAreaSizeIsReplacedByTheCountRead) {
    ASSERT_TRUE(UseSimulator(twoAdapters));
    ASSERT_EQ(D2xxOpenBySerial(QStringLiteral("FTAAA111")), FT_STATUS(FT_OK));
    ASSERT_EQ(D2xxGetUserAreaSize(), FT_STATUS(FT_OK));
    EXPECT_EQ(D2xxUserAreaSize, 48u);
    ASSERT_EQ(D2xxReadUserArea(), FT_STATUS(FT_OK));
    EXPECT_EQ(D2xxUserAreaSize, 48u);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(D2xxUserArea)), QByteArray("ABC"));
    D2xxClose();

    // A user area larger than the buffer: the read asks for 64 and the size becomes 64.
    ASSERT_EQ(D2xxOpenBySerial(QStringLiteral("FTBBB22222222222222")), FT_STATUS(FT_OK));
    ASSERT_EQ(D2xxGetUserAreaSize(), FT_STATUS(FT_OK));
    EXPECT_EQ(D2xxUserAreaSize, 100u);
    ASSERT_EQ(D2xxReadUserArea(), FT_STATUS(FT_OK));
    EXPECT_EQ(D2xxUserAreaSize, 64u);
    const auto reads = JournalOf(QStringLiteral("FT_EE_UARead"));
    ASSERT_FALSE(reads.empty());
    EXPECT_EQ(reads.back().args.value(QStringLiteral("length")), QStringLiteral("64"));

    // The write sends the size held now, never more than the buffer.
    D2xxUserAreaSize = 200;
    EXPECT_EQ(D2xxWriteUserArea(), FT_STATUS(FT_OK));
    EXPECT_EQ(JournalOf(QStringLiteral("FT_EE_UAWrite")).back().args.value(QStringLiteral("length")),
              QStringLiteral("64"));
    D2xxClose();
}

TEST(D2xxLayer, DeviceListIsConvertedToTheFixedRecord) {
    ASSERT_TRUE(UseSimulator(twoAdapters));
    ASSERT_EQ(D2xxCreateDeviceList(), FT_STATUS(FT_OK));
    ASSERT_EQ(D2xxDeviceCount, 2u);
    ASSERT_EQ(D2xxGetDeviceList(), FT_STATUS(FT_OK));
    ASSERT_EQ(D2xxDeviceList.size(), 2u);
    const FT_Device_Info_Node& a = D2xxDeviceList[0];
    EXPECT_EQ(a.DeviceType, 5u);
    EXPECT_EQ(a.LocID, 0x124u);
    EXPECT_EQ(a.ID, 0x04036001u);
    EXPECT_STREQ(a.SerialNumber, "FTAAA111");
    EXPECT_STREQ(a.Description, "PRAVEX link");
    const FT_Device_Info_Node& b = D2xxDeviceList[1];
    EXPECT_EQ(b.DeviceType, 7u);
    // Fields stay NUL-terminated within their size.
    EXPECT_EQ(std::strlen(b.SerialNumber), 15u);
    EXPECT_EQ(std::strlen(b.Description), 63u);
    D2xxReleaseDeviceList();
    EXPECT_TRUE(D2xxDeviceList.empty());
}

TEST(D2xxLayer, EmptyAndFailingDeviceLists) {
    ASSERT_TRUE(UseSimulator(QString()));
    D2xxDeviceCount = 7;
    EXPECT_EQ(D2xxCreateDeviceList(), FT_STATUS(FT_OK));
    EXPECT_EQ(D2xxDeviceCount, 0u);
    EXPECT_EQ(D2xxGetDeviceList(), FT_STATUS(FT_OK));
    EXPECT_TRUE(D2xxDeviceList.empty());

    // A failing count must not leave an old count behind for the scan to walk.
    QString path;
    ASSERT_TRUE(UseSimulator(twoAdapters + QStringLiteral("\n"), &path));
    ReloadSimulator(path, QStringLiteral("fail = FT_CreateDeviceInfoList 4\n") + twoAdapters);
    D2xxDeviceCount = 2;
    EXPECT_EQ(D2xxCreateDeviceList(), FT_STATUS(FT_IO_ERROR));
    EXPECT_EQ(D2xxDeviceCount, 0u);

    // A list call that fails leaves no entries behind either.
    ReloadSimulator(path, QStringLiteral("fail = FT_GetDeviceInfoList 4\n") + twoAdapters);
    ASSERT_EQ(D2xxCreateDeviceList(), FT_STATUS(FT_OK));
    ASSERT_EQ(D2xxDeviceCount, 2u);
    EXPECT_EQ(D2xxGetDeviceList(), FT_STATUS(FT_IO_ERROR));
    EXPECT_EQ(D2xxDeviceCount, 0u);
    EXPECT_TRUE(D2xxDeviceList.empty());
}

TEST(D2xxLayer, ComPortQueryGivesTheTtyName) {
    ASSERT_TRUE(UseSimulator(twoAdapters + QStringLiteral("[adapter]\nserial = NOPORT\n")));
    QString name;
    ASSERT_EQ(D2xxOpenBySerial(QStringLiteral("FTAAA111")), FT_STATUS(FT_OK));
    EXPECT_EQ(D2xxGetComPortName(name), FT_STATUS(FT_OK));
    EXPECT_EQ(name, QStringLiteral("ttyUSB0"));
    std::int32_t number = -7;
    EXPECT_EQ(D2xxGetComPortNumber(number), FT_STATUS(FT_OK));
    EXPECT_EQ(number, 0);
    D2xxClose();
    ASSERT_EQ(D2xxOpenBySerial(QStringLiteral("NOPORT")), FT_STATUS(FT_OK));
    EXPECT_NE(D2xxGetComPortName(name), FT_STATUS(FT_OK));
    EXPECT_TRUE(name.isEmpty());
    D2xxClose();
}

TEST(D2xxLayer, WithoutABackendEveryCallReturnsAStatus) {
    QString error;
    EXPECT_FALSE(D2xxLoadLibrary(QStringLiteral("/nonexistent/libnothing.so"), &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(D2xxBackendKindInUse(), D2xxBackendKind::None);
    EXPECT_EQ(D2xxCreateDeviceList(), FT_STATUS(FT_OK));
    EXPECT_EQ(D2xxDeviceCount, 0u);
    EXPECT_EQ(D2xxGetDeviceList(), FT_STATUS(FT_OK));
    EXPECT_NE(D2xxOpenBySerial(QStringLiteral("ANY")), FT_STATUS(FT_OK));
    std::uint8_t pins = 0;
    EXPECT_NE(D2xxGetBitMode(pins), FT_STATUS(FT_OK));
    EXPECT_NE(D2xxSetBitMode(0xFF, 1), FT_STATUS(FT_OK));
    EXPECT_NE(D2xxGetUserAreaSize(), FT_STATUS(FT_OK));
    EXPECT_NE(D2xxReadUserArea(), FT_STATUS(FT_OK));
    EXPECT_EQ(D2xxUserAreaSize, 0u);
    EXPECT_EQ(D2xxWrite(1), 0u);
    QString name;
    EXPECT_NE(D2xxGetComPortName(name), FT_STATUS(FT_OK));
    EXPECT_FALSE(D2xxSetChangeCallback([](void*, int, const char*) {}, nullptr));
    EXPECT_NE(D2xxClose(), FT_STATUS(FT_OK));

    // A library that lacks the D2XX functions is refused the same way.
    EXPECT_FALSE(D2xxLoadLibrary(QStringLiteral("libc.so.6"), &error));
    EXPECT_TRUE(error.contains(QStringLiteral("FT_OpenEx")));
}

TEST(D2xxLayer, EnvironmentChoosesTheBackend) {
    qputenv("PRAVEX_D2XX_LIBRARY", qgetenv("PRAVEX_BIN_PRAVEX_D2XX_SIM"));
    D2xxSelectBackend();
    EXPECT_EQ(D2xxBackendKindInUse(), D2xxBackendKind::Library);
    EXPECT_EQ(D2xxBackendName(), qEnvironmentVariable("PRAVEX_BIN_PRAVEX_D2XX_SIM"));
    qunsetenv("PRAVEX_D2XX_LIBRARY");
    D2xxSelectBackend();
    EXPECT_EQ(D2xxBackendKindInUse(), D2xxBackendKind::Native);
    EXPECT_EQ(D2xxBackendName(), QStringLiteral("native"));
}

TEST(D2xxLayer, FtdisOwnLibraryGetsThePortFromSysfs) {
    // The plain simulator exports only what FTDI's Linux library does: no port query, no port reset.
    const QString plain = QFileInfo(qEnvironmentVariable("PRAVEX_BIN_PRAVEX_D2XX_SIM")).absolutePath() +
                          QStringLiteral("/libpravex-d2xx-sim-plain.so");
    const QString config = ScratchDir(QStringLiteral("plain")) + QStringLiteral("/adapters.conf");
    WriteFileAtomically(config, QStringLiteral("[adapter]\nserial = A5XK3RJ\ntty = ttyUSB9\n"
                                               "[adapter]\nserial = UNBOUND\n"));
    qputenv("PRAVEX_D2XX_SIM_CONFIG", QFile::encodeName(config));
    const QString root = ScratchDir(QStringLiteral("sysfs"));
    const QString dev = root + QStringLiteral("/bus/usb/devices/1-2");
    QDir().mkpath(dev + QStringLiteral("/1-2:1.0/ttyUSB5"));
    for (const auto& [name, value] : {std::pair{"idVendor", "0403"},
                                      {"bcdDevice", "0600"},
                                      {"serial", "A5XK3RJ"},
                                      {"busnum", "1"},
                                      {"devpath", "2"}}) {
        QFile f(dev + QLatin1Char('/') + QLatin1String(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(value) + '\n');
    }
    qputenv("PRAVEX_SYSFS_ROOT", QFile::encodeName(root));

    QString error;
    ASSERT_TRUE(D2xxLoadLibrary(plain, &error)) << error.toStdString();
    EXPECT_FALSE(D2xxSetChangeCallback([](void*, int, const char*) {}, nullptr));
    ASSERT_EQ(D2xxOpenBySerial(QStringLiteral("A5XK3RJ")), FT_STATUS(FT_OK));
    QString name;
    EXPECT_EQ(D2xxGetComPortName(name), FT_STATUS(FT_OK));
    EXPECT_EQ(name, QStringLiteral("ttyUSB5")); // sysfs, not the simulator's own idea
    std::int32_t number = 0;
    EXPECT_NE(D2xxGetComPortNumber(number), FT_STATUS(FT_OK));
    EXPECT_EQ(number, -1);
    EXPECT_NE(D2xxResetPort(), FT_STATUS(FT_OK));
    EXPECT_EQ(D2xxClose(), FT_STATUS(FT_OK));

    // An adapter sysfs does not show with a tty (unbound from ftdi_sio): no port.
    ASSERT_EQ(D2xxOpenBySerial(QStringLiteral("UNBOUND")), FT_STATUS(FT_OK));
    EXPECT_NE(D2xxGetComPortName(name), FT_STATUS(FT_OK));
    EXPECT_EQ(D2xxClose(), FT_STATUS(FT_OK));
    // A handle the wrapper never saw opened has no serial to look up.
    FT_HANDLE saved = D2xxHandle;
    D2xxHandle = reinterpret_cast<FT_HANDLE>(0x55);
    EXPECT_EQ(D2xxGetComPortName(name), FT_STATUS(FT_INVALID_HANDLE));
    D2xxHandle = saved;
    qunsetenv("PRAVEX_SYSFS_ROOT");
}
