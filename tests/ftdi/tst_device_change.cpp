// The device monitor's inotify source on a scratch /dev and sysfs, and the watcher's device-change entry
// point: what is sought, the timer it arms, and the announcements that come from other threads.
// labels: unit threaded
#include "DeviceChangeMonitor.h"
#include "TevFT232a.h"
#include "watcher_helpers.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <utility>
#include <vector>

using namespace watchertest;

namespace {

using TEvent = std::pair<std::uint32_t, QString>;

class DeviceChangeMonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = ScratchDir(QStringLiteral("monitor"));
        dev = root + QStringLiteral("/dev");
        sys = root + QStringLiteral("/sys");
        QDir().mkpath(dev);
        QDir().mkpath(sys);
        qputenv("PRAVEX_DEVICE_MONITOR", "inotify");
        qputenv("PRAVEX_DEVICE_MONITOR_DEV", QFile::encodeName(dev));
        qputenv("PRAVEX_SYSFS_ROOT", QFile::encodeName(sys));
    }
    void TearDown() override {
        qunsetenv("PRAVEX_DEVICE_MONITOR");
        qunsetenv("PRAVEX_DEVICE_MONITOR_DEV");
        qunsetenv("PRAVEX_SYSFS_ROOT");
    }
    QString root, dev, sys;
};

TEST_F(DeviceChangeMonitorTest, InotifyReportsChangesAndArrivalsOfDevicePortsOnly) {
    std::vector<TEvent> events;
    TDeviceChangeMonitor monitor([&](std::uint32_t w, const QString& p) { events.emplace_back(w, p); });
    ASSERT_EQ(monitor.Source(), QStringLiteral("inotify"));

    // A USB serial port: its sysfs entry leads to a device.
    QDir().mkpath(sys + QStringLiteral("/class/tty/ttyUSB3/device"));
    WriteTextFile(dev + QStringLiteral("/ttyUSB3"), {});
    ASSERT_TRUE(WaitFor([&] { return events.size() >= 2; }));
    EXPECT_EQ(events[0], TEvent(DBT_DEVNODES_CHANGED, QString()));
    EXPECT_EQ(events[1], TEvent(DBT_DEVICEARRIVAL, QStringLiteral("ttyUSB3")));

    // A node without a device behind it (a virtual terminal, say) is a change, not a port arrival.
    events.clear();
    WriteTextFile(dev + QStringLiteral("/tty9"), {});
    ASSERT_TRUE(WaitFor([&] { return !events.empty(); }));
    Pump(100);
    for (const auto& e : events)
        EXPECT_EQ(e.first, DBT_DEVNODES_CHANGED);

    // Removal is only a change.
    events.clear();
    QFile::remove(dev + QStringLiteral("/ttyUSB3"));
    ASSERT_TRUE(WaitFor([&] { return !events.empty(); }));
    Pump(100);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].first, DBT_DEVNODES_CHANGED);
}

TEST_F(DeviceChangeMonitorTest, MissingDevDirectoryLeavesTheMonitorQuiet) {
    qputenv("PRAVEX_DEVICE_MONITOR_DEV", QFile::encodeName(root + QStringLiteral("/absent")));
    int calls = 0;
    TDeviceChangeMonitor monitor([&](std::uint32_t, const QString&) { ++calls; });
    EXPECT_EQ(monitor.Source(), QStringLiteral("none"));
    Pump(50);
    EXPECT_EQ(calls, 0);
}

// The watcher's entry point, with no adapters behind it (scans find an empty list).
class WatcherEntryTest : public ::testing::Test {
protected:
    void SetUp() override {
        qputenv("PRAVEX_DEVICE_MONITOR", "none");
        seekportIN = false;
        bseekport = false;
    }
    void TearDown() override { qunsetenv("PRAVEX_DEVICE_MONITOR"); }
};

std::vector<std::uint8_t> portMessage(const QString& name, std::uint32_t type = DBT_DEVTYP_PORT) {
    std::vector<std::uint8_t> buf(12 + (std::size_t(name.size()) + 1) * 2, 0);
    const std::uint32_t hdr[3] = {std::uint32_t(buf.size()), type, 0};
    std::memcpy(buf.data(), hdr, sizeof hdr);
    std::memcpy(buf.data() + 12, name.utf16(), std::size_t(name.size()) * 2);
    return buf;
}

TEST_F(WatcherEntryTest, PortArrivalIsSoughtInUpperCaseAndKeptAsWritten) {
    TTevFT232a w;
    w.WMDeviceChange(DBT_DEVICEARRIVAL, portMessage(QStringLiteral("com7")).data());
    EXPECT_EQ(seekport.get(), QStringLiteral("COM7"));
    EXPECT_EQ(w.NewPort(), QStringLiteral("com7"));
    EXPECT_TRUE(seekportIN);
    EXPECT_FALSE(bseekPortOK);
    EXPECT_TRUE(w.TimerEnabled());

    // Only a-z change case; other characters go as they are.
    w.WMDeviceChange(DBT_DEVICEARRIVAL, portMessage(QStringLiteral("ttyUSB0-ä")).data());
    EXPECT_EQ(seekport.get(), QStringLiteral("TTYUSB0-ä"));
}

TEST_F(WatcherEntryTest, OtherBroadcastsAndRemovalsDoNothing) {
    TTevFT232a w;
    w.WMDeviceChange(DBT_DEVNODES_CHANGED, nullptr);
    Pump(1500); // the first tick; Active is off so no scan starts and the timer stays off
    ASSERT_FALSE(w.TimerEnabled());
    seekport = QStringLiteral("COM3");
    w.WMDeviceChange(DBT_DEVICEARRIVAL, portMessage(QStringLiteral("COM9"), 5).data());
    w.WMDeviceChange(DBT_DEVICEARRIVAL, nullptr);
    w.WMDeviceChange(DBT_DEVICEREMOVECOMPLETE, portMessage(QStringLiteral("COM9")).data());
    EXPECT_EQ(seekport.get(), QStringLiteral("COM3"));
    EXPECT_FALSE(w.TimerEnabled());
    EXPECT_TRUE(w.NewPort().isEmpty());
}

TEST_F(WatcherEntryTest, LongOrUnterminatedNamesAreBounded) {
    TTevFT232a w;
    const QString longName(300, QLatin1Char('x'));
    w.WMDeviceChange(DBT_DEVICEARRIVAL, portMessage(longName).data());
    EXPECT_EQ(w.NewPort().size(), 101);
    // A header whose size leaves room for three characters and no NUL.
    auto msg = portMessage(QStringLiteral("abcdef"));
    const std::uint32_t size = 12 + 3 * 2;
    std::memcpy(msg.data(), &size, 4);
    w.WMDeviceChange(DBT_DEVICEARRIVAL, msg.data());
    EXPECT_EQ(w.NewPort(), QStringLiteral("abc"));
}

TEST_F(WatcherEntryTest, NodesChangedResetsABlankOrUnknownSeek) {
    TTevFT232a w;
    for (const QString& before : {QString(), QStringLiteral("  "), QStringLiteral("COM?")}) {
        seekport = before;
        w.WMDeviceChange(DBT_DEVNODES_CHANGED, nullptr);
        EXPECT_EQ(seekport.get(), QStringLiteral("*")) << before.toStdString();
    }
    seekport = QStringLiteral("COM7");
    w.WMDeviceChange(DBT_DEVNODES_CHANGED, nullptr);
    EXPECT_EQ(seekport.get(), QStringLiteral("COM7"));
}

TEST_F(WatcherEntryTest, AnnouncementsFromOtherThreadsArriveOnTheGuiThread) {
    TTevFT232a w;
    std::thread t([] { TTevFT232a::DeviceChangeNotify(DBT_DEVICEARRIVAL, QStringLiteral("ttyUSB7")); });
    t.join();
    EXPECT_TRUE(w.NewPort().isEmpty()); // queued, not run on the announcing thread
    ASSERT_TRUE(WaitFor([&] { return w.NewPort() == QStringLiteral("ttyUSB7"); }));
    EXPECT_EQ(seekport.get(), QStringLiteral("TTYUSB7"));

    // An announcement racing with the watcher's destruction is dropped, not delivered to freed memory.
    auto* doomed = new TTevFT232a;
    TTevFT232a::DeviceChangeNotify(DBT_DEVNODES_CHANGED);
    delete doomed;
    Pump(50);
}

TEST_F(WatcherEntryTest, AnAnnouncementNeedsNoOrderingBeyondItsOwnHandOver) {
    // The announcing thread stays alive and the GUI thread takes the call straight from the posted-event
    // queue, never reading the wake-up descriptor: the hand-over alone must order the announcement before
    // its use, visibly so for the thread sanitizer.
    TTevFT232a w;
    std::atomic<bool> posted{false};
    std::atomic<bool> taken{false};
    std::thread t([&] {
        TTevFT232a::DeviceChangeNotify(DBT_DEVICEARRIVAL, QStringLiteral("ttyUSB8"));
        posted.store(true, std::memory_order_relaxed);
        while (!taken.load(std::memory_order_relaxed))
            std::this_thread::yield();
    });
    while (!posted.load(std::memory_order_relaxed))
        std::this_thread::yield();
    QCoreApplication::sendPostedEvents(&w);
    taken.store(true, std::memory_order_relaxed);
    t.join();
    EXPECT_EQ(w.NewPort(), QStringLiteral("ttyUSB8"));
}

} // namespace
