// Costs of the native D2XX backend that sit on timed paths: listing 21 adapters from a sysfs tree (each scan
// does it twice) and the open-tty probe that guards every mode change of line control.
#include "D2XXUnit.h"
#include "FtdiSysfs.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>
#include <pty.h>
#include <unistd.h>

namespace {

void attr(const QString& dir, const char* name, const QByteArray& value) {
    QDir().mkpath(dir);
    QFile f(dir + QLatin1Char('/') + QLatin1String(name));
    if (f.open(QIODevice::WriteOnly))
        f.write(value + '\n');
}

template <typename F> double perCallMicroseconds(int calls, F&& f) {
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < calls; ++i)
        f();
    return double(timer.nsecsElapsed()) / 1000.0 / calls;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir root;
    for (int i = 0; i < 21; ++i) {
        const QString name = QStringLiteral("1-%1").arg(i + 1);
        const QString dir = root.path() + QStringLiteral("/bus/usb/devices/") + name;
        attr(dir, "idVendor", "0403");
        attr(dir, "idProduct", "6001");
        attr(dir, "bcdDevice", "0600");
        attr(dir, "serial", QStringLiteral("FT%1").arg(i, 6, 10, QLatin1Char('0')).toLatin1());
        attr(dir, "product", "FT232R USB UART");
        attr(dir, "busnum", "1");
        attr(dir, "devpath", QByteArray::number(i + 1));
        QDir().mkpath(dir + QLatin1Char('/') + name + QStringLiteral(":1.0/ttyUSB") + QString::number(i));
    }
    qputenv("PRAVEX_SYSFS_ROOT", QFile::encodeName(root.path()));
    D2xxUseNativeBackend();

    const double list = perCallMicroseconds(200, [] {
        D2xxCreateDeviceList();
        D2xxGetDeviceList();
    });
    std::printf("native_list_21_adapters %.1f us\n", list);
    if (D2xxDeviceCount != 21)
        std::fprintf(stderr, "expected 21 adapters, listed %u\n", D2xxDeviceCount);

    // Worst case: a tty that exists and nobody holds, so every open file of every process is looked at.
    int master = -1, slave = -1;
    char name[64] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
        return 1;
    ::close(slave);
    QTemporaryDir dev;
    QFile::link(QString::fromLatin1(name), dev.path() + QStringLiteral("/ttyUSB0"));
    qputenv("PRAVEX_DEV_ROOT", QFile::encodeName(dev.path()));
    const double probe = perCallMicroseconds(50, [] { FtdiTtyIsOpen(QStringLiteral("ttyUSB0")); });
    ::close(master);
    std::printf("native_tty_open_probe %.1f us\n", probe);
    return 0;
}
