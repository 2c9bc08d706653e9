// Linux device notifications for the adapter watcher: a udev monitor read through a QSocketNotifier, or,
// where no udev daemon runs (containers), inotify on /dev, whose monitor would otherwise stay silent.
#include "DeviceChangeMonitor.h"
#include "TevFT232a.h"

#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>
#include <libudev.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace {

struct TUdevDeleter {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_monitor* m) const { udev_monitor_unref(m); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
template <class T> using TUdevPtr = std::unique_ptr<T, TUdevDeleter>;

struct TFd {
    int fd = -1;
    ~TFd() {
        if (fd >= 0)
            ::close(fd);
    }
};

QString envOr(const char* name, const QString& fallback) {
    const QByteArray v = qgetenv(name);
    return v.isEmpty() ? fallback : QString::fromLocal8Bit(v);
}

} // namespace

struct TDeviceChangeMonitor::TImpl {
    TSink sink;
    QString source = QStringLiteral("none");
    TUdevPtr<udev> u;
    TUdevPtr<udev_monitor> mon;
    TFd inotify;
    QString devDir;
    QString sysRoot;
    std::unique_ptr<QSocketNotifier> notifier;

    bool startUdev() {
        u.reset(udev_new());
        if (!u)
            return false;
        mon.reset(udev_monitor_new_from_netlink(u.get(), "udev"));
        if (!mon)
            return false;
        udev_monitor_filter_add_match_subsystem_devtype(mon.get(), "usb", nullptr);
        udev_monitor_filter_add_match_subsystem_devtype(mon.get(), "tty", nullptr);
        if (udev_monitor_enable_receiving(mon.get()) < 0)
            return false;
        source = QStringLiteral("udev");
        return true;
    }

    bool startInotify() {
        devDir = envOr("PRAVEX_DEVICE_MONITOR_DEV", QStringLiteral("/dev"));
        sysRoot = envOr("PRAVEX_SYSFS_ROOT", QStringLiteral("/sys"));
        inotify.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (inotify.fd < 0)
            return false;
        if (inotify_add_watch(inotify.fd, QFile::encodeName(devDir).constData(),
                              IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM) < 0)
            return false;
        source = QStringLiteral("inotify");
        return true;
    }

    void readUdev() {
        // One device per wake-up: the notifier is level-triggered and fires again while more are queued.
        TUdevPtr<udev_device> dev(udev_monitor_receive_device(mon.get()));
        if (!dev)
            return;
        const char* action = udev_device_get_action(dev.get());
        const char* subsystem = udev_device_get_subsystem(dev.get());
        if (!action || !subsystem)
            return;
        const QByteArray act(action);
        if (act != "add" && act != "remove")
            return;
        sink(DBT_DEVNODES_CHANGED, {});
        // A tty with a parent device is a real port; virtual consoles and ptys have none.
        if (act == "add" && qstrcmp(subsystem, "tty") == 0 && udev_device_get_parent(dev.get())) {
            if (const char* name = udev_device_get_sysname(dev.get()))
                sink(DBT_DEVICEARRIVAL, QString::fromLocal8Bit(name));
        }
    }

    void readInotify() {
        alignas(inotify_event) char buf[4096];
        for (;;) {
            const ssize_t n = ::read(inotify.fd, buf, sizeof buf);
            if (n <= 0)
                return;
            for (ssize_t off = 0; off + ssize_t(sizeof(inotify_event)) <= n;) {
                const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
                off += ssize_t(sizeof(inotify_event)) + ev->len;
                if (ev->mask & IN_Q_OVERFLOW) {
                    sink(DBT_DEVNODES_CHANGED, {});
                    continue;
                }
                const QString name = ev->len ? QString::fromLocal8Bit(ev->name) : QString();
                sink(DBT_DEVNODES_CHANGED, {});
                if ((ev->mask & (IN_CREATE | IN_MOVED_TO)) && isDevicePort(name))
                    sink(DBT_DEVICEARRIVAL, name);
            }
        }
    }

    // Mirrors the udev rule: a tty node whose sysfs entry leads to a device.
    bool isDevicePort(const QString& name) const {
        if (!name.startsWith(QLatin1String("tty")))
            return false;
        return QFileInfo::exists(sysRoot + QStringLiteral("/class/tty/") + name + QStringLiteral("/device"));
    }
};

TDeviceChangeMonitor::TDeviceChangeMonitor(TSink sink, QObject* parent) : QObject(parent), d(new TImpl) {
    d->sink = std::move(sink);
    QString wanted = QString::fromLocal8Bit(qgetenv("PRAVEX_DEVICE_MONITOR")).trimmed().toLower();
    if (wanted.isEmpty())
        wanted = QFileInfo::exists(QStringLiteral("/run/udev/control")) ? QStringLiteral("udev")
                                                                        : QStringLiteral("inotify");
    if (wanted == QLatin1String("udev") && !d->startUdev()) {
        d->mon.reset();
        d->u.reset();
        wanted = QStringLiteral("inotify");
    }
    if (wanted == QLatin1String("inotify"))
        d->startInotify();

    if (d->source == QLatin1String("udev")) {
        d->notifier =
            std::make_unique<QSocketNotifier>(udev_monitor_get_fd(d->mon.get()), QSocketNotifier::Read);
        connect(d->notifier.get(), &QSocketNotifier::activated, this, [this] { d->readUdev(); });
    } else if (d->source == QLatin1String("inotify")) {
        d->notifier = std::make_unique<QSocketNotifier>(d->inotify.fd, QSocketNotifier::Read);
        connect(d->notifier.get(), &QSocketNotifier::activated, this, [this] { d->readInotify(); });
    }
}

TDeviceChangeMonitor::~TDeviceChangeMonitor() {
    // The notifier goes before the descriptors it watches.
    d->notifier.reset();
}

QString TDeviceChangeMonitor::Source() const {
    return d->source;
}
