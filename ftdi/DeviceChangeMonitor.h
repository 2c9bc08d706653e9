// Turns the system's device notifications into the watcher's two signals: "something changed" and
// "this serial port arrived". On Linux a libudev monitor, or inotify on /dev where no udev daemon runs.
#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

class TDeviceChangeMonitor : public QObject {
    Q_OBJECT
public:
    // wParam is DBT_DEVNODES_CHANGED or DBT_DEVICEARRIVAL (then port holds the port name).
    using TSink = std::function<void(std::uint32_t wParam, const QString& port)>;

    // The source is chosen by PRAVEX_DEVICE_MONITOR ("udev", "inotify" or "none"); without it, udev when
    // its daemon runs, else inotify. PRAVEX_DEVICE_MONITOR_DEV and PRAVEX_SYSFS_ROOT move /dev and /sys
    // for the inotify source.
    explicit TDeviceChangeMonitor(TSink sink, QObject* parent = nullptr);
    ~TDeviceChangeMonitor() override;

    // "udev", "inotify" or "none" (nothing could be set up).
    QString Source() const;

private:
    struct TImpl;
    std::unique_ptr<TImpl> d;
};
