// The monitor as a user of a Wayland desktop starts it (scripts/wayland-session.sh: weston with
// Xwayland): it runs through the X server, so its places hold over runs and the chip watcher stays on
// top; without an X server it says so once. The program runs as it is installed, as a child process.
// labels: desktop
#include "app_helpers.h"
#include "common/SettingsStore.h"
#include "common/TevTools.h"

#include <QPoint>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRect>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

#include "desktop_helpers.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

using namespace apptest;

namespace {

const char* const LimitsNote = "window places are not kept";

bool InWaylandSession() {
    return qgetenv("XDG_SESSION_TYPE") == "wayland" && !qgetenv("DISPLAY").isEmpty() &&
           !qgetenv("PRAVEX_BIN_PRAVEX").isEmpty();
}

// The X side of the session, as any other X client sees it.
class XSide : public XConnection {
public:
    // A mapped window of that title, 0 when there is none.
    ::Window Find(const QByteArray& title) { return FindBelow(DefaultRootWindow(FDisplay), title); }

    QPoint Position(::Window w) {
        int x = 0;
        int y = 0;
        ::Window child = 0;
        XTranslateCoordinates(FDisplay, w, DefaultRootWindow(FDisplay), 0, 0, &x, &y, &child);
        return {x, y};
    }

    // What the close button of the window's frame sends.
    void Close(::Window w) {
        XEvent e{};
        e.xclient.type = ClientMessage;
        e.xclient.window = w;
        e.xclient.message_type = XInternAtom(FDisplay, "WM_PROTOCOLS", False);
        e.xclient.format = 32;
        e.xclient.data.l[0] = long(XInternAtom(FDisplay, "WM_DELETE_WINDOW", False));
        e.xclient.data.l[1] = CurrentTime;
        XSendEvent(FDisplay, w, False, NoEventMask, &e);
        XSync(FDisplay, False);
    }

    // True when a's top level is stacked above b's.
    bool StackedAbove(::Window a, ::Window b) { return apptest::StackedAbove(FDisplay, a, b); }

private:
    ::Window FindBelow(::Window w, const QByteArray& title) {
        XWindowAttributes a{};
        if (XGetWindowAttributes(FDisplay, w, &a) && a.map_state == IsViewable) {
            char* name = nullptr;
            if (XFetchName(FDisplay, w, &name) && name) {
                const bool match = title == name;
                XFree(name);
                if (match)
                    return w;
            }
        }
        ::Window root = 0;
        ::Window parent = 0;
        ::Window* children = nullptr;
        unsigned count = 0;
        ::Window found = 0;
        if (XQueryTree(FDisplay, w, &root, &parent, &children, &count)) {
            for (unsigned i = 0; i < count && !found; ++i)
                found = FindBelow(children[i], title);
            if (children)
                XFree(children);
        }
        return found;
    }
};

// The installed program in this session, with the session's variables and the test's settings store.
struct Monitor {
    QProcess process;
    QByteArray errors;
    explicit Monitor(const QMap<QString, QString>& set = {}, const QStringList& unset = {}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        // The test itself runs offscreen; the program must pick its platform as a user's would.
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        for (const QString& name : unset)
            env.remove(name);
        for (auto it = set.begin(); it != set.end(); ++it)
            env.insert(it.key(), it.value());
        process.setProcessEnvironment(env);
        QObject::connect(&process, &QProcess::readyReadStandardError,
                         [this] { errors += process.readAllStandardError(); });
        process.start(qEnvironmentVariable("PRAVEX_BIN_PRAVEX"), QStringList());
    }
    ~Monitor() {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(20000))
                process.kill();
            process.waitForFinished(5000);
        }
    }
    bool Ended() {
        return WaitFor([&] { return process.state() == QProcess::NotRunning; }, 60000);
    }
};

QRect StoredMainPlace() {
    const QString key = QStringLiteral("Software\\pravex\\Form1");
    auto value = [&](const char* name) { return RegReadInteger(QString::fromLatin1(name), -99999, key); };
    return QRect(value("Left"), value("Top"), value("Width"), value("Height"));
}

struct WaylandSession : ::testing::Test {
    XSide x;
    void SetUp() override {
        if (!InWaylandSession())
            GTEST_SKIP() << "needs a Wayland session with Xwayland (scripts/wayland-session.sh)";
        ASSERT_TRUE(x.Ok());
        ClearSettings();
        pravex::SettingsStore().deleteKey(QStringLiteral("Software\\pravex"));
        pravex::SettingsStore().deleteKey(QStringLiteral("Software\\PRAVEX_spinka"));
    }

    // The window once mapped and where want says (weston maps a window at a place of its own first and
    // moves it where the program asked a moment later). 0 when it never got there.
    ::Window Shown(const QByteArray& title, QPoint* at, const std::function<bool(QPoint)>& want) {
        ::Window w = 0;
        const bool ok = WaitFor(
            [&] {
                w = x.Find(title);
                if (!w)
                    return false;
                *at = x.Position(w);
                return want(*at);
            },
            60000);
        return ok ? w : 0;
    }

    // True when the window manager keeps windows above others on request.
    bool KeepsAbove() {
        Display* d = x.display();
        const Atom supported = XInternAtom(d, "_NET_SUPPORTED", False);
        const Atom above = XInternAtom(d, "_NET_WM_STATE_ABOVE", False);
        Atom type = 0;
        int format = 0;
        unsigned long count = 0;
        unsigned long rest = 0;
        unsigned char* data = nullptr;
        bool found = false;
        if (XGetWindowProperty(d, DefaultRootWindow(d), supported, 0, 4096, False, XA_ATOM, &type, &format,
                               &count, &rest, &data) == Success &&
            data) {
            const auto* atoms = reinterpret_cast<const Atom*>(data);
            for (unsigned long i = 0; i < count; ++i)
                found = found || atoms[i] == above;
            XFree(data);
        }
        return found;
    }
};

} // namespace

TEST_F(WaylandSession, PlacesHoldOverRunsThroughTheXServer) {
    ASSERT_TRUE(RegWriteInteger(QStringLiteral("Left"), 200, QStringLiteral("Software\\pravex\\Form1")));
    ASSERT_TRUE(RegWriteInteger(QStringLiteral("Top"), 150, QStringLiteral("Software\\pravex\\Form1")));
    QPoint first;
    QRect stored;
    for (int run = 1; run <= 3; ++run) {
        SCOPED_TRACE(run);
        Monitor monitor;
        QPoint at;
        // The frame's corner where it was stored, the inner area a frame's width further in; then the same
        // place in every run.
        const auto placed = [&](QPoint p) {
            return run == 1 ? p.x() >= 200 && p.y() >= 150 && p.x() < 200 + 80 && p.y() < 150 + 80
                            : p == first;
        };
        const ::Window w = Shown("PRAVEX", &at, placed);
        ASSERT_NE(w, 0u) << "not an X window where it was stored: " << at.x() << "," << at.y() << "\n"
                         << monitor.errors.toStdString();
        if (run == 1)
            first = at;
        x.Close(w);
        ASSERT_TRUE(monitor.Ended());
        EXPECT_EQ(monitor.process.exitCode(), 0);
        EXPECT_FALSE(monitor.errors.contains(LimitsNote)) << monitor.errors.toStdString();
        if (run == 1)
            stored = StoredMainPlace();
        EXPECT_EQ(StoredMainPlace(), stored);
    }
    EXPECT_EQ(stored.topLeft(), QPoint(200, 150));
}

TEST_F(WaylandSession, ChipWatcherStaysAboveAnotherWindow) {
    const QString library = qEnvironmentVariable("PRAVEX_BIN_PRAVEX_D2XX_SIM");
    ASSERT_FALSE(library.isEmpty());
    const QString config = ScratchDir(QStringLiteral("wayland")) + QStringLiteral("/adapters.conf");
    ASSERT_TRUE(WriteFile(config, OneAdapter(QStringLiteral("ttyUSB0")).toUtf8()));
    // Pinned: no auto-hide while the test looks.
    ASSERT_TRUE(RegWriteInteger(QStringLiteral("spinka"), 1, QStringLiteral("Software\\PRAVEX_spinka")));
    Monitor monitor({{QStringLiteral("PRAVEX_D2XX_LIBRARY"), library},
                     {QStringLiteral("PRAVEX_D2XX_SIM_CONFIG"), config}});
    QPoint at;
    const ::Window watcher = Shown("FTDI Chip watcher", &at, [](QPoint) { return true; });
    ASSERT_NE(watcher, 0u) << monitor.errors.toStdString();
    if (!KeepsAbove())
        GTEST_SKIP()
            << "this window manager does not keep windows above others (weston's does not; mutter's and "
               "kwin's do)";

    // Another client's ordinary window, over the watcher and raised.
    Display* d = x.display();
    const ::Window other = XCreateSimpleWindow(d, DefaultRootWindow(d), at.x() - 20, at.y() - 20, 300, 200, 0,
                                               0, WhitePixel(d, DefaultScreen(d)));
    XStoreName(d, other, "other window");
    XMapRaised(d, other);
    XSync(d, False);
    ASSERT_TRUE(WaitFor([&] { return x.Find("other window") != 0; }));
    XRaiseWindow(d, other);
    XSync(d, False);
    // The window manager has had the other window's raise once it is stacked above something.
    EXPECT_FALSE(WaitFor([&] { return !x.StackedAbove(watcher, other); }, 3000))
        << "the chip watcher went behind another window";
    XDestroyWindow(d, other);
    XSync(d, False);
}

TEST_F(WaylandSession, WithoutAnXServerItRunsOnWaylandAndSaysSoOnce) {
    struct Case {
        const char* what;
        QMap<QString, QString> set;
        QStringList unset;
    };
    const QList<Case> cases{
        {"no X server", {}, {QStringLiteral("DISPLAY")}},
        {"the user chose Wayland", {{QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland")}}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Monitor monitor(c.set, c.unset);
        ASSERT_TRUE(WaitFor([&] { return monitor.errors.contains(LimitsNote); }, 60000))
            << monitor.errors.toStdString();
        // Still running: the note is no failure.
        Pump(300);
        EXPECT_EQ(monitor.process.state(), QProcess::Running);
        EXPECT_EQ(monitor.errors.count(LimitsNote), 1);
    }
}
