// The udev source of the device monitor against real libudev, with the devices and their uevents emulated
// by umockdev: the test runs itself again under umockdev's preload library, which the emulation needs.
// labels: unit
#include "DeviceChangeMonitor.h"
#include "TevFT232a.h"
#include "watcher_helpers.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <utility>
#include <vector>

using namespace watchertest;

namespace {

// libumockdev's API, loaded at run time so the build needs nothing beyond the installed package.
struct TUmockdev {
    void* lib = nullptr;
    int (*inMock)() = nullptr;
    void* (*testbedNew)() = nullptr;
    char* (*addDevice)(void*, const char*, const char*, const char*, ...) = nullptr;
    void (*uevent)(void*, const char*, const char*) = nullptr;

    bool load() {
        lib = dlopen("libumockdev.so.0", RTLD_NOW | RTLD_GLOBAL);
        if (!lib)
            return false;
        inMock = reinterpret_cast<int (*)()>(dlsym(lib, "umockdev_in_mock_environment"));
        testbedNew = reinterpret_cast<void* (*)()>(dlsym(lib, "umockdev_testbed_new"));
        addDevice = reinterpret_cast<char* (*)(void*, const char*, const char*, const char*, ...)>(
            dlsym(lib, "umockdev_testbed_add_device"));
        uevent = reinterpret_cast<void (*)(void*, const char*, const char*)>(
            dlsym(lib, "umockdev_testbed_uevent"));
        return inMock && testbedNew && addDevice && uevent;
    }
};

using TEvent = std::pair<std::uint32_t, QString>;

// Runs the named test in a child process under the preload library; returns its exit code and output.
int runUnderUmockdev(const QString& filter, QString* output) {
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // umockdev recognises its preload library only by a full path; it sits beside libumockdev.
    QString dir = QStringLiteral("/usr/lib");
    Dl_info info{};
    if (void* sym = dlsym(RTLD_DEFAULT, "umockdev_testbed_new"); sym && dladdr(sym, &info) && info.dli_fname)
        dir = QFileInfo(QString::fromLocal8Bit(info.dli_fname)).absolutePath();
    if (!QFileInfo::exists(dir + QStringLiteral("/libumockdev-preload.so.0")))
        return 77;
    QString preload = env.value(QStringLiteral("LD_PRELOAD"));
    preload = dir + QStringLiteral("/libumockdev-preload.so.0") +
              (preload.isEmpty() ? QString() : QLatin1Char(':') + preload);
    env.insert(QStringLiteral("LD_PRELOAD"), preload);
    // The sanitizer runtime is no longer first in the library list, and glib keeps its type data to
    // the end: both expected here.
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               env.value(QStringLiteral("ASAN_OPTIONS")) +
                   QStringLiteral(":verify_asan_link_order=0:detect_leaks=0"));
    env.insert(QStringLiteral("PRAVEX_UMOCKDEV_CHILD"), QStringLiteral("1"));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--gtest_filter=") + filter});
    if (!child.waitForFinished(120000)) {
        child.kill();
        child.waitForFinished();
        return -1;
    }
    *output = QString::fromLocal8Bit(child.readAll());
    return child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -2;
}

TEST(UdevMonitor, AddAndRemoveOfUsbAndTtyDevices) {
    if (qEnvironmentVariableIsEmpty("PRAVEX_UMOCKDEV_CHILD")) {
        TUmockdev probe;
        if (!probe.load())
            GTEST_SKIP() << "libumockdev is not installed";
        QString out;
        const int rc = runUnderUmockdev(QStringLiteral("UdevMonitor.AddAndRemoveOfUsbAndTtyDevices"), &out);
        if (rc == 77)
            GTEST_SKIP() << "umockdev's preload library is not installed";
        EXPECT_EQ(rc, 0) << out.toStdString();
        return;
    }

    TUmockdev um;
    ASSERT_TRUE(um.load());
    // um.inMock() is not trusted: under the sanitizer runtime it answers false although the preload works.
    void* tb = um.testbedNew();
    ASSERT_NE(tb, nullptr);

    qputenv("PRAVEX_DEVICE_MONITOR", "udev");
    std::vector<TEvent> events;
    TDeviceChangeMonitor monitor([&](std::uint32_t w, const QString& p) { events.emplace_back(w, p); });
    ASSERT_EQ(monitor.Source(), QStringLiteral("udev"));
    TTevFT232a watcher; // fed by its own udev monitor

    // An FT232R adapter: the USB device, its interface, and the tty the serial driver makes.
    char* usb = um.addDevice(tb, "usb", "1-2", nullptr, "idVendor", "0403", "idProduct", "6001", "bcdDevice",
                             "0600", "serial", "A50285BI", "product", "FT232R USB UART", "busnum", "1",
                             "devpath", "2", nullptr, "DEVTYPE", "usb_device", nullptr);
    ASSERT_NE(usb, nullptr);
    char* intf = um.addDevice(tb, "usb", "1-2:1.0", usb, "bInterfaceNumber", "00", nullptr, "DEVTYPE",
                              "usb_interface", nullptr);
    char* tty = um.addDevice(tb, "tty", "ttyUSB0", intf, nullptr, "DEVNAME", "/dev/ttyUSB0", nullptr);
    ASSERT_NE(tty, nullptr);
    // Adding a device announces it already; start from a quiet monitor.
    ASSERT_TRUE(WaitFor([&] { return watcher.NewPort() == QStringLiteral("ttyUSB0"); }));
    Pump(300);
    events.clear();
    um.uevent(tb, usb, "add");
    ASSERT_TRUE(WaitFor([&] { return !events.empty(); }));
    Pump(100);
    for (const auto& e : events)
        EXPECT_EQ(e.first, DBT_DEVNODES_CHANGED) << e.second.toStdString();

    events.clear();
    um.uevent(tb, tty, "add");
    ASSERT_TRUE(WaitFor([&] { return events.size() >= 2; }));
    EXPECT_EQ(events[0], TEvent(DBT_DEVNODES_CHANGED, QString()));
    EXPECT_EQ(events[1], TEvent(DBT_DEVICEARRIVAL, QStringLiteral("ttyUSB0")));
    EXPECT_EQ(seekport.get(), QStringLiteral("TTYUSB0"));
    EXPECT_TRUE(watcher.TimerEnabled());

    // Other actions on the same device are not device changes.
    events.clear();
    um.uevent(tb, tty, "change");
    Pump(200);
    EXPECT_TRUE(events.empty());

    um.uevent(tb, tty, "remove");
    ASSERT_TRUE(WaitFor([&] { return !events.empty(); }));
    Pump(100);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].first, DBT_DEVNODES_CHANGED);
    qunsetenv("PRAVEX_DEVICE_MONITOR");
}

} // namespace
