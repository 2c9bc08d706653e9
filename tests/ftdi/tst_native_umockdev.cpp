// The native backend reading a sysfs laid out as the kernel does (symbolic links under /sys/bus/usb/devices,
// usb-serial port and tty class directories), emulated by umockdev: pravex-adapters runs inside the testbed.
// labels: unit
#include "d2xx_helpers.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <gtest/gtest.h>

using namespace d2xxtest;

namespace {

// A USB device with one interface per tty (an empty name: a channel without a serial driver).
QString usbDevice(const QString& name, const QString& bcd, const QString& serial, const QString& product,
                  const QStringList& ttys, int devnum) {
    const QString path = QStringLiteral("/devices/pci0000:00/0000:00:14.0/usb1/") + name;
    QString text =
        QStringLiteral("P: %1\nN: bus/usb/001/%2\nE: DEVNAME=/dev/bus/usb/001/%2\n"
                       "E: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\nA: idVendor=0403\n"
                       "A: idProduct=%3\nA: bcdDevice=%4\nA: serial=%5\nA: product=%6\nA: busnum=1\n"
                       "A: devnum=%7\nA: devpath=%8\nA: speed=480\nA: bNumInterfaces= %9\n\n")
            .arg(path)
            .arg(devnum, 3, 10, QLatin1Char('0'))
            .arg(ttys.size() > 1 ? QStringLiteral("6010") : QStringLiteral("6001"), bcd, serial, product)
            .arg(devnum)
            .arg(name.section(QLatin1Char('-'), 1))
            .arg(ttys.size());
    for (int i = 0; i < ttys.size(); ++i) {
        const QString itf = path + QLatin1Char('/') + name + QStringLiteral(":1.") + QString::number(i);
        text +=
            QStringLiteral("P: %1\nE: DEVTYPE=usb_interface\nE: SUBSYSTEM=usb\nA: bInterfaceNumber=0%2\n\n")
                .arg(itf)
                .arg(i);
        if (ttys.at(i).isEmpty())
            continue;
        text +=
            QStringLiteral("P: %1/%2\nE: SUBSYSTEM=usb-serial\n\nP: %1/%2/tty/%2\nN: %2\nE: DEVNAME=/dev/%2\n"
                           "E: SUBSYSTEM=tty\n\n")
                .arg(itf, ttys.at(i));
    }
    return text;
}

} // namespace

TEST(NativeUmockdev, ListsAdaptersFromAKernelLikeSysfs) {
    const QString umockdev = QStandardPaths::findExecutable(QStringLiteral("umockdev-run"));
    if (umockdev.isEmpty())
        GTEST_SKIP() << "umockdev-run is not installed";
    const QString tool = qEnvironmentVariable("PRAVEX_BIN_PRAVEX_ADAPTERS");
    ASSERT_FALSE(tool.isEmpty());

    const QString file = ScratchDir(QStringLiteral("umockdev")) + QStringLiteral("/ftdi.umockdev");
    WriteFileAtomically(file,
                        usbDevice(QStringLiteral("1-2"), QStringLiteral("0600"), QStringLiteral("A5XK3RJ"),
                                  QStringLiteral("FT232R USB UART"), {QStringLiteral("ttyUSB0")}, 5) +
                            usbDevice(QStringLiteral("1-3.1"), QStringLiteral("0700"), QStringLiteral("FTX"),
                                      QStringLiteral("Dual RS232-HS"),
                                      {QStringLiteral("ttyUSB1"), QStringLiteral("ttyUSB2")}, 6));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("PRAVEX_D2XX_LIBRARY"));
    env.remove(QStringLiteral("PRAVEX_SYSFS_ROOT"));
    // Every testbed has the same device paths: its own lock folder keeps parallel runs apart.
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), ScratchDir(QStringLiteral("run")));
    // The testbed is preloaded ahead of the sanitizer runtime of a sanitized build.
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               env.value(QStringLiteral("ASAN_OPTIONS")) +
                   QStringLiteral(":verify_asan_link_order=0:detect_leaks=0"));
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(umockdev, {QStringLiteral("-d"), file, QStringLiteral("--"), tool});
    ASSERT_TRUE(p.waitForFinished(120000));
    const QString out = QString::fromLocal8Bit(p.readAllStandardOutput());
    const QString err = QString::fromLocal8Bit(p.readAllStandardError());
    ASSERT_EQ(p.exitCode(), 0) << out.toStdString() << err.toStdString();
    EXPECT_TRUE(
        out.contains(QRegularExpression(QStringLiteral("0\\s+active\\s+ttyUSB0\\s+FT232R\\s+A5XK3RJ\\s+"
                                                       "FT232R USB UART"))))
        << out.toStdString();
    EXPECT_TRUE(out.contains(
        QRegularExpression(QStringLiteral("1\\s+ready\\s+ttyUSB1\\s+FT2232H\\s+FTXA\\s+Dual RS232-HS A"))))
        << out.toStdString();
    EXPECT_TRUE(out.contains(
        QRegularExpression(QStringLiteral("2\\s+ready\\s+ttyUSB2\\s+FT2232H\\s+FTXB\\s+Dual RS232-HS B"))))
        << out.toStdString();
}
