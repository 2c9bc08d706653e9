// Costs of the native D2XX backend that sit on timed paths: listing 21 adapters from a sysfs tree (each scan
// does it twice), the open-tty probe that guards every mode change of line control, and a user-area write on
// an emulated FT232R (two reads, the patch, the writes, the read-back). Then, with the D2XX simulator, the
// GUI thread's longest stall during a reset pulse, against its longest stall while idle.
#include "BenchCommon.h"
#include "D2XXUnit.h"
#include "D2xxNative.h"
#include "FtdiSysfs.h"
#include "TevFT232a.h"
#include "tools/d2xx-sim/emulated_ftdi_chip.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <pty.h>
#include <thread>
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

// The longest gap between the ticks of a 1 ms timer on this (the GUI) thread while run() runs on it.
template <typename F> double longestStallMs(F&& run) {
    QElapsedTimer clock;
    clock.start();
    qint64 last = clock.nsecsElapsed();
    qint64 longest = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(1);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        longest = std::max(longest, now - last);
        last = now;
    });
    tick.start();
    run();
    const qint64 now = clock.nsecsElapsed();
    longest = std::max(longest, now - last);
    return double(longest) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
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
        attr(dir, "devnum", QByteArray::number(i + 1));
        attr(dir, "devpath", QByteArray::number(i + 1));
        QDir().mkpath(dir + QLatin1Char('/') + name + QStringLiteral(":1.0/ttyUSB") + QString::number(i));
    }
    qputenv("PRAVEX_SYSFS_ROOT", QFile::encodeName(root.path()));
    QTemporaryDir runtime; // the adapters' lock files go with the fake tree
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
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
    qunsetenv("PRAVEX_DEV_ROOT");

    // The first adapter as an FT232R whose EEPROM answers at once: the figures are the backend's own work.
    EmulatedFtdiChip chip;
    chip.devnum = 1;
    chip.load(EmulatedFtdiImage(128, "FTDI", "FT232R USB UART", "FT000000"));
    D2xxNativeSetControlSeam(&EmulatedFtdiChip::transfer, &chip);
    D2xxOpenBySerial(QStringLiteral("FT000000"));
    const double read = perCallMicroseconds(200, [] { D2xxReadUserArea(); });
    int round = 0;
    const int transfersBefore = chip.eepromReads + chip.eepromWrites;
    const double write = perCallMicroseconds(200, [&] {
        std::memset(D2xxUserArea, 0, sizeof D2xxUserArea);
        std::snprintf(reinterpret_cast<char*>(D2xxUserArea), sizeof D2xxUserArea, "PRAVEX %d", round++);
        D2xxUserAreaSize = 16;
        if (D2xxWriteUserArea() != FT_OK)
            std::fprintf(stderr, "user-area write failed\n");
    });
    const int transfers = (chip.eepromReads + chip.eepromWrites - transfersBefore) / 200;
    D2xxClose();
    D2xxNativeSetControlSeam(nullptr, nullptr);
    Figure("native_ua_read_ft232r", read, "us");
    Figure("native_ua_write_ft232r", write, "us");
    Figure("native_ua_write_vs_read_ratio", write / read, "x");
    Figure("native_ua_write_ft232r_transfers", transfers, "requests");

#ifdef PRAVEX_BIN_PRAVEX_D2XX_SIM
    QTemporaryDir simDir;
    const QString config = simDir.path() + QStringLiteral("/adapters.conf");
    {
        QFile f(config);
        if (f.open(QIODevice::WriteOnly))
            f.write("[adapter]\nserial = \"RST1\"\ndescription = \"Bench\"\ntty = ttyUSB0\n");
    }
    qputenv("PRAVEX_D2XX_SIM_CONFIG", QFile::encodeName(config));
    qputenv("PRAVEX_DEVICE_MONITOR", "none");
    if (!D2xxLoadLibrary(QStringLiteral(PRAVEX_BIN_PRAVEX_D2XX_SIM)))
        return 1;
    TTevFT232a watcher;
    watcher.FActiveSerial = QStringLiteral("RST1");
    const double idle = longestStallMs([] { RunEvents(900); });
    const double pulse = longestStallMs([&] { watcher.ResetPulse(QString(), true, FT_RESET_RI); });
    // The pulse asked for while a scan holds the layer (one adapter's part of a scan: 300 ms here).
    std::mutex m;
    std::condition_variable cv;
    bool held = false;
    std::thread scan([&] {
        D2xxSession session;
        {
            std::lock_guard lock(m);
            held = true;
        }
        cv.notify_all();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    });
    {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return held; });
    }
    const double busy = longestStallMs([&] { watcher.ResetPulse(QString(), true, FT_RESET_RI); });
    scan.join();
    Figure("gui_stall_ms_idle", idle, "ms");
    Figure("gui_stall_ms_reset_pulse", pulse, "ms");
    Figure("gui_stall_ms_reset_pulse_during_scan", busy, "ms");
    Figure("gui_stall_reset_pulse_vs_idle_ratio", pulse / idle, "x");
#endif
    return 0;
}
