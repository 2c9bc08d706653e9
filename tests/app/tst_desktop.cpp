// The windows on a real X server with a window manager (./test.sh starts Xvfb with openbox, also at scale
// 2): the only tests that see frames. Places over several runs and off the screen, a run that never opens
// the tools window, the web labels' clicks, the chip watcher's drags and the keys, all with real input
// (XTest) through the server.
// labels: desktop
#include "Unit1.h"
#include "app_helpers.h"
#include "chipwatch/frmFTListU.h"
#include "common/TevTools.h"
#include "frmDodatkiU.h"

#include <QFile>
#include <QFileDialog>
#include <QTabWidget>

#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QStyleHints>
#include <QTimer>
#include <QWindow>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

#include "desktop_helpers.h"

using namespace apptest;

namespace {

QPoint ToDevice(QPoint p) {
    return ToDevicePixels(p);
}
QPoint FromDevice(QPoint p) {
    return FromDevicePixels(p);
}

// Real pointer input, as a person's mouse gives it: the server delivers it to whoever should have it,
// the window manager included.
class Pointer : public XConnection {
public:
    ~Pointer() {
        if (!FDisplay)
            return;
        // A test that stopped half-way must not leave a button held for the next one.
        for (int b = 1; b <= 3; ++b)
            if (FDown & (1 << b))
                Button(b, false);
    }
    void MoveTo(QPoint at) {
        at = ToDevice(at);
        XTestFakeMotionEvent(FDisplay, -1, at.x(), at.y(), CurrentTime);
        XSync(FDisplay, False);
    }
    void Button(int button, bool down) {
        XTestFakeButtonEvent(FDisplay, unsigned(button), down ? True : False, CurrentTime);
        XSync(FDisplay, False);
        FDown = down ? FDown | (1 << button) : FDown & ~(1 << button);
    }

private:
    int FDown = 0;
};

// Real key presses through XTest, as a keyboard gives them: the server sends them to the focused window.
class Keyboard : public XConnection {
public:
    // Presses the modifiers, taps the key, lets the modifiers go.
    void Tap(KeySym key, const std::vector<KeySym>& modifiers = {}) {
        for (KeySym m : modifiers)
            Send(m, true);
        Send(key, true);
        Send(key, false);
        for (KeySym m : modifiers)
            Send(m, false);
    }

private:
    void Send(KeySym key, bool down) {
        XTestFakeKeyEvent(FDisplay, XKeysymToKeycode(FDisplay, key), down ? True : False, CurrentTime);
        XSync(FDisplay, False);
    }
};

// Each press and release is waited for until the widget has it. The window manager holds the pointer a
// moment on a press (click to focus); input sent on meanwhile can reach Qt out of place.
bool Press(Pointer& pointer, Seen& seen, QPoint at, int button = 1) {
    const int before = seen.presses;
    pointer.MoveTo(at);
    pointer.Button(button, true);
    return WaitFor([&] { return seen.presses > before; });
}
bool Release(Pointer& pointer, Seen& seen, int button = 1) {
    const int before = seen.releases;
    pointer.Button(button, false);
    return WaitFor([&] { return seen.releases > before; });
}
bool Click(Pointer& pointer, Seen& seen, QPoint at, int button = 1) {
    return Press(pointer, seen, at, button) && Release(pointer, seen, button);
}

// Where the server has the window: Qt's own idea comes before the window manager has placed it.
QPoint ServerPos(QWidget* w) {
    Display* d = XOpenDisplay(nullptr);
    if (!d)
        return {};
    int x = 0;
    int y = 0;
    ::Window child = 0;
    XTranslateCoordinates(d, ::Window(w->winId()), DefaultRootWindow(d), 0, 0, &x, &y, &child);
    XCloseDisplay(d);
    return FromDevice({x, y});
}

// True when a's frame is stacked above b's.
bool StackedAbove(QWidget* a, QWidget* b) {
    const XConnection x;
    return x.Ok() && apptest::StackedAbove(x.display(), ::Window(a->winId()), ::Window(b->winId()));
}

// The chip watcher mapped, faded in and standing at a place with room around it.
bool Settle(TfrmFTList* w, QPoint at) {
    if (!WaitFor([&] { return w->isVisible() && !w->Timer1->isActive() && w->windowHandle()->isExposed(); }))
        return false;
    // Whole on the screen, which at scale 2 is narrower than the full view is wide from there.
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    at.setX(qMax(screen.left(), qMin(at.x(), screen.right() - w->width() - 20)));
    at.setY(qMax(screen.top(), qMin(at.y(), screen.bottom() - w->height() - 20)));
    w->move(at);
    return WaitFor([&] { return w->pos() == at && ServerPos(w) == at; });
}

// The watcher knowing one adapter, on ttyUSB0, as its active one.
void ListOneAdapter(TTevFT232a& watcher, const QString& serial) {
    watcher.FListCount = 1;
    TRFTOrvakDefListFlags& r = watcher.FTOrvakDefListFlags[0];
    r.SerialNumber = serial;
    r.ComPort = QStringLiteral("ttyUSB0");
    r.Active = 0;
    r.chip = QStringLiteral("FT232R");
    r.Description = QStringLiteral("USB Serial");
    watcher.FActiveSerial = serial;
}

QPoint CentreOf(QWidget* w) {
    return w->mapToGlobal(w->rect().center());
}

// Mapped and framed by the window manager, with the frame's share known to Qt.
bool Framed(QWidget* w) {
    return w->isVisible() && w->frameGeometry().size() != w->size();
}

// Framed and centred, as a first run leaves a window once the frame is known.
bool Centred(QWidget* w) {
    const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
    const QRect frame = w->frameGeometry();
    return Framed(w) && frame.topLeft() == QPoint((screen.width() - frame.width()) / 2,
                                                  (screen.height() - frame.height()) / 2);
}

QRect StoredPlace(const QString& window) {
    const QString key = QStringLiteral("Software\\") +
                        TTevFormStorage::ExeKeyName(QCoreApplication::applicationFilePath()) +
                        QLatin1Char('\\') + window;
    auto value = [&](const char* name) { return RegReadInteger(QString::fromLatin1(name), -99999, key); };
    return QRect(value("Left"), value("Top"), value("Width"), value("Height"));
}

// Moves a window's frame as a pager or a person's drag would: the window manager does it. True once done.
bool MoveFrame(QWidget* w, QPoint to) {
    Display* d = XOpenDisplay(nullptr);
    if (!d)
        return false;
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = Window(w->winId());
    e.xclient.message_type = XInternAtom(d, "_NET_MOVERESIZE_WINDOW", False);
    e.xclient.format = 32;
    // North-west gravity (the frame's corner), x and y given, from a pager.
    e.xclient.data.l[0] = 1 | (1 << 8) | (1 << 9) | (2 << 12);
    e.xclient.data.l[1] = ToDevice(to).x();
    e.xclient.data.l[2] = ToDevice(to).y();
    XSendEvent(d, DefaultRootWindow(d), False, SubstructureRedirectMask | SubstructureNotifyMask, &e);
    XSync(d, False);
    XCloseDisplay(d);
    const bool ok = WaitFor([&] { return w->frameGeometry().topLeft() == to; });
    if (!ok)
        ADD_FAILURE() << "frame at " << w->frameGeometry().x() << "," << w->frameGeometry().y() << ", not "
                      << to.x() << "," << to.y();
    return ok;
}

struct Desktop : ::testing::Test {
    Pointer pointer;
    void SetUp() override {
        if (!OnDesktop())
            GTEST_SKIP() << "needs an X server with a window manager (./test.sh starts one)";
        ASSERT_TRUE(pointer.Ok());
        ClearSettings();
        // Input is paced by its delivery, which a loaded machine may slow: two clicks in one place are a
        // double click however long that takes. Clicks meant apart are made in different places.
        QGuiApplication::styleHints()->setMouseDoubleClickInterval(60000);
        // No adapter: the windows only.
        StartSimulator(QString());
    }
};

} // namespace

TEST_F(Desktop, PlacesComeBackExactlyOverRunsAndAreKeptByRunsThatNeverShowThem) {
    const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
    QRect mainPlace;
    QRect toolsPlace;
    {
        SCOPED_TRACE("first run: centred, then moved and resized");
        ProgramRun run;
        TForm1* f = run.form1.get();
        ASSERT_TRUE(WaitFor([&] { return Framed(f); }));
        const QSize outer = f->frameGeometry().size();
        const QPoint centre((screen.width() - outer.width()) / 2, (screen.height() - outer.height()) / 2);
        ASSERT_TRUE(WaitFor([&] { return f->frameGeometry().topLeft() == centre; }))
            << "main window at " << f->frameGeometry().x() << "," << f->frameGeometry().y();
        EXPECT_EQ(f->size(), QSize(226, 181));
        ASSERT_TRUE(MoveFrame(f, f->frameGeometry().topLeft() + QPoint(-170, -130)));

        run.OpenTools();
        TfrmDodatki* t = run.tools.get();
        ASSERT_TRUE(WaitFor([&] { return Framed(t); }));
        EXPECT_EQ(t->size(), QSize(593, 409)) << "the designed size is the inner one";
        ASSERT_TRUE(MoveFrame(t, t->frameGeometry().topLeft() + QPoint(140, 90)));
        t->resize(640, 450);
        ASSERT_TRUE(WaitFor([&] { return t->size() == QSize(640, 450); }));
        toolsPlace = t->frameGeometry();
        ASSERT_TRUE(t->close());
        EXPECT_EQ(StoredPlace(QStringLiteral("frmDodatki")), toolsPlace);
        mainPlace = f->frameGeometry();
    }
    EXPECT_EQ(StoredPlace(QStringLiteral("Form1")), mainPlace);
    EXPECT_EQ(StoredPlace(QStringLiteral("frmDodatki")), toolsPlace);

    for (int n = 2; n <= 4; ++n) {
        // The third run never opens the tools window; the fourth finds it where the second left it.
        const bool withTools = n != 3;
        SCOPED_TRACE(QStringLiteral("run %1").arg(n).toStdString());
        ProgramRun run;
        TForm1* f = run.form1.get();
        ASSERT_TRUE(WaitFor([&] { return Framed(f) && f->frameGeometry() == mainPlace; }))
            << "main window at " << f->frameGeometry().x() << "," << f->frameGeometry().y() << " "
            << f->frameGeometry().width() << "x" << f->frameGeometry().height();
        if (withTools) {
            run.OpenTools();
            TfrmDodatki* t = run.tools.get();
            ASSERT_TRUE(WaitFor([&] { return Framed(t) && t->frameGeometry() == toolsPlace; }))
                << "tools window at " << t->frameGeometry().x() << "," << t->frameGeometry().y() << " "
                << t->frameGeometry().width() << "x" << t->frameGeometry().height();
            EXPECT_EQ(t->size(), QSize(640, 450));
            ASSERT_TRUE(t->close());
            // Shown again in the same run, it comes back to the same place and size.
            run.OpenTools();
            ASSERT_TRUE(WaitFor([&] { return Framed(t) && t->frameGeometry() == toolsPlace; }));
        }
    }
    EXPECT_EQ(StoredPlace(QStringLiteral("Form1")), mainPlace);
    EXPECT_EQ(StoredPlace(QStringLiteral("frmDodatki")), toolsPlace);
}

TEST_F(Desktop, WebLabelsOpenOnceForALeftClickOnTheLabel) {
    ProgramRun run;
    TForm1* f = run.form1.get();
    ASSERT_TRUE(WaitFor([&] { return Centred(f); }));
    int opened = 0;
    f->OpenUrl = [&](const QString& url) {
        EXPECT_EQ(url, MakerWebAddress);
        ++opened;
    };
    Seen seen(f->lbWeb);
    const QPoint on = CentreOf(f->lbWeb);
    const QPoint beside = f->frameGeometry().bottomRight() + QPoint(40, 40);

    ASSERT_TRUE(Click(pointer, seen, on + QPoint(-60, 0), 3)); // right click
    // Pressed on the label, released beside the window.
    ASSERT_TRUE(Press(pointer, seen, on + QPoint(-30, 0)));
    pointer.MoveTo(beside);
    ASSERT_TRUE(Release(pointer, seen));
    EXPECT_EQ(opened, 0);

    // A double click opens once.
    ASSERT_TRUE(Click(pointer, seen, on));
    ASSERT_TRUE(Click(pointer, seen, on));
    EXPECT_EQ(opened, 1);
    // And a single click once more.
    ASSERT_TRUE(Click(pointer, seen, on + QPoint(40, 0)));
    EXPECT_EQ(opened, 2);

    // The chip watcher's address label, on the same rules.
    TTevFT232a watcher;
    ListOneAdapter(watcher, QStringLiteral("PVXD0001"));
    // The full view, where the address and version labels are.
    watcher.SetDetailedInfo(true);
    watcher.SetInfoShort(false);
    ShowChipWatcher(&watcher, watcher.FTOrvakDefListFlags, watcher.FListCount, watcher.FActiveSerial);
    ASSERT_TRUE(frmFTList);
    TfrmFTList* w = frmFTList.data();
    w->Timer3->setInterval(24 * 3600 * 1000); // no auto-hide while the test drives it
    ASSERT_TRUE(Settle(w, QPoint(300, 300)));
    int watcherOpened = 0;
    w->OpenUrl = [&](const QString&) { ++watcherOpened; };
    Seen seenWeb(w->Label4a);
    const QPoint web = CentreOf(w->Label4a);
    ASSERT_TRUE(Click(pointer, seenWeb, web + QPoint(-30, 0), 3));
    ASSERT_TRUE(Press(pointer, seenWeb, web + QPoint(-15, 0)));
    pointer.MoveTo(w->geometry().bottomRight() + QPoint(60, 60));
    ASSERT_TRUE(Release(pointer, seenWeb));
    EXPECT_EQ(watcherOpened, 0);
    ASSERT_TRUE(Click(pointer, seenWeb, web + QPoint(15, 0)));
    EXPECT_EQ(watcherOpened, 1);
    delete frmFTList.data();
}

TEST_F(Desktop, ChipWatcherMovesOnlyFromThePanelAndItsButtonsKeepTheirClicks) {
    TTevFT232a watcher;
    ListOneAdapter(watcher, QStringLiteral("PVXD0002"));
    // The full view, where the address and version labels are.
    watcher.SetDetailedInfo(true);
    watcher.SetInfoShort(false);
    ShowChipWatcher(&watcher, watcher.FTOrvakDefListFlags, watcher.FListCount, watcher.FActiveSerial);
    ASSERT_TRUE(frmFTList);
    TfrmFTList* w = frmFTList.data();
    w->Timer3->setInterval(24 * 3600 * 1000);
    ASSERT_TRUE(Settle(w, QPoint(300, 300)));
    const QPoint start = w->pos();
    const int height = w->height();

    // A drag that begins on the chip's name or on the version label does not move the window.
    for (QLabel* label : {w->lbChip, w->Label2}) {
        SCOPED_TRACE(label->objectName().toStdString());
        Seen seen(label);
        const QPoint from = CentreOf(label);
        ASSERT_TRUE(Press(pointer, seen, from));
        for (int i = 1; i <= 4; ++i) {
            pointer.MoveTo(from + QPoint(15 * i, 10 * i));
            ASSERT_TRUE(WaitFor([&] { return seen.moves >= i; }));
        }
        // Delivered to the label: no window move has taken the pointer.
        ASSERT_TRUE(Release(pointer, seen));
        EXPECT_EQ(w->pos(), start);
    }

    // A double click on the pin switches it once; it neither collapses nor expands the window.
    {
        const bool pinned = w->imgSpinkaON->isVisible();
        QLabel* first = pinned ? w->imgSpinkaON : w->imgSpinkaOFF;
        QLabel* second = pinned ? w->imgSpinkaOFF : w->imgSpinkaON;
        Seen firstSeen(first);
        Seen secondSeen(second);
        const QPoint pin = CentreOf(first);
        ASSERT_TRUE(Click(pointer, firstSeen, pin));
        // The second half lands on the picture now shown in the same place.
        ASSERT_TRUE(Click(pointer, secondSeen, pin));
        EXPECT_EQ(w->height(), height);
        EXPECT_TRUE(second->isVisible());
        EXPECT_FALSE(first->isVisible());
    }

    // A click of either button on the emblem switches between the full and the mini view.
    for (const int button : {3, 1}) {
        SCOPED_TRACE(button);
        Seen seen(w->Image1);
        const bool mini = watcher.InfoShort();
        ASSERT_TRUE(Click(pointer, seen, CentreOf(w->Image1), button));
        EXPECT_NE(watcher.InfoShort(), mini);
        EXPECT_EQ(w->width(), mini ? TfrmFTList::FullWidth : TfrmFTList::MiniWidth);
    }

    // A report brings the window, still shown, up from behind another window of the top band.
    {
        QWidget other(nullptr, Qt::Window | Qt::WindowStaysOnTopHint);
        other.setGeometry(w->geometry().adjusted(20, 20, 20, 20));
        other.show();
        ASSERT_TRUE(WaitFor([&] { return other.windowHandle()->isExposed() && StackedAbove(&other, w); }));
        ShowChipWatcher(&watcher, watcher.FTOrvakDefListFlags, watcher.FListCount, watcher.FActiveSerial);
        EXPECT_TRUE(WaitFor([&] { return StackedAbove(w, &other); })) << "the report left the window behind";
    }

    // From the panel, the window manager moves the window with the mouse.
    {
        Seen seen(w->Label1);
        const QPoint from = CentreOf(w->Label1);
        ASSERT_TRUE(Press(pointer, seen, from));
        pointer.MoveTo(from + QPoint(20, 20));
        ASSERT_TRUE(WaitFor([&] { return seen.moves >= 1; }));
        // The window manager takes the pointer over a moment later: nudge until the window follows.
        QPoint at = from + QPoint(20, 20);
        const bool moved = WaitFor(
            [&] {
                at += QPoint(1, 1);
                pointer.MoveTo(at);
                QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
                return w->pos() != start;
            },
            20000);
        pointer.MoveTo(at + QPoint(30, 30));
        pointer.Button(1, false);
        ASSERT_TRUE(moved) << "a drag on the panel did not move the window";
        // Down and right, as far as the screen's edges let the window manager take it (at scale 2 the full
        // view fills the screen's width).
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        const bool roomRight = screen.right() - w->frameGeometry().right() > 40;
        ASSERT_TRUE(WaitFor([&] {
            return w->pos().y() > start.y() + 20 && (!roomRight || w->pos().x() > start.x() + 20);
        })) << w->pos().x()
            << "," << w->pos().y();
    }
    delete frmFTList.data();
}

TEST_F(Desktop, EverythingAMouseDoesTheKeyboardDoesToo) {
    Keyboard keys;
    ASSERT_TRUE(keys.Ok());
    DevSim dev;
    ASSERT_TRUE(dev.Start({QStringLiteral("--interval"), QStringLiteral("20"), QStringLiteral("--cr")}));
    ASSERT_TRUE(RegWriteBool(QStringLiteral("ComPortAutoDetect"), false, PravexKey));
    ASSERT_TRUE(RegWriteString(QStringLiteral("naComPort"), dev.Port(), PravexKey));
    ProgramRun run;
    TForm1* f = run.form1.get();
    TfrmDodatki* t = run.tools.get();
    // X's headers take the button's own name for a macro.
    auto* start = f->findChild<QPushButton*>(QStringLiteral("Button1"));
    ASSERT_TRUE(start);
    ASSERT_TRUE(WaitFor([&] { return Framed(f); }));
    f->activateWindow();
    ASSERT_TRUE(WaitFor([&] { return f->isActiveWindow(); }));

    // The tools window, its tabs, both saves and its close.
    keys.Tap(XK_t, {XK_Control_L});
    ASSERT_TRUE(WaitFor([&] { return t->isVisible() && t->isActiveWindow(); }));
    const QString folder = ScratchDir(QStringLiteral("keys"));
    QString answer;
    t->ExecuteDialog = [&](QFileDialog* d) {
        d->selectFile(answer);
        return true;
    };
    struct TabStep {
        KeySym key;
        std::vector<KeySym> modifiers;
        int index;
        const char* saves; // file Ctrl+S writes on this tab, or none
    };
    const QList<TabStep> steps{
        {XK_Tab, {XK_Control_L}, 2, nullptr},             // from the settings tab the tools button opened
        {XK_Tab, {XK_Control_L}, 0, "log.csv"},           // wrapping round to the log
        {XK_Tab, {XK_Control_L}, 1, "chart.jpg"},         // the chart
        {XK_Tab, {XK_Control_L, XK_Shift_L}, 0, nullptr}, // backwards
        {XK_Tab, {XK_Control_L, XK_Shift_L}, 2, nullptr}, // backwards, wrapping
    };
    ASSERT_EQ(t->PageControl->currentIndex(), 1) << "the tools button opens the settings tab";
    for (const TabStep& step : steps) {
        SCOPED_TRACE(step.index);
        keys.Tap(step.key, step.modifiers);
        ASSERT_TRUE(WaitFor([&] { return t->PageControl->currentIndex() == step.index; }))
            << "on tab " << t->PageControl->currentIndex();
        if (step.saves) {
            answer = folder + QLatin1Char('/') + QString::fromLatin1(step.saves);
            keys.Tap(XK_s, {XK_Control_L});
            EXPECT_TRUE(WaitFor([&] { return QFile::exists(answer); })) << step.saves;
        }
    }
    keys.Tap(XK_Escape);
    ASSERT_TRUE(WaitFor([&] { return !t->isVisible(); }));

    // START and STOP from the main window, by shortcut and by Tab and Space on the button.
    f->activateWindow();
    ASSERT_TRUE(WaitFor([&] { return f->isActiveWindow(); }));
    ASSERT_TRUE(WaitFor([&] { return start->isEnabled(); }));
    keys.Tap(XK_Return, {XK_Control_L});
    ASSERT_TRUE(WaitFor([&] { return f->Panel4->text() == dev.Port(); }));
    EXPECT_EQ(start->text(), QStringLiteral("STOP"));
    keys.Tap(XK_Return, {XK_Control_L});
    ASSERT_TRUE(WaitFor([&] { return f->Panel4->text() == QStringLiteral("-"); }));
    EXPECT_EQ(start->text(), QStringLiteral("START"));
    for (int i = 0; i < 4 && !start->hasFocus(); ++i) {
        keys.Tap(XK_Tab);
        WaitFor([&] { return start->hasFocus(); }, 2000);
    }
    ASSERT_TRUE(start->hasFocus());
    keys.Tap(XK_space);
    ASSERT_TRUE(WaitFor([&] { return f->Panel4->text() == dev.Port(); }));
    keys.Tap(XK_space);
    ASSERT_TRUE(WaitFor([&] { return f->Panel4->text() == QStringLiteral("-"); }));

    // The chip watcher: Escape closes it from the main window, and in itself once it is active.
    TTevFT232a watcher;
    ListOneAdapter(watcher, QStringLiteral("PVXD0003"));
    for (const bool fromItself : {false, true}) {
        SCOPED_TRACE(fromItself ? "watcher active" : "main window active");
        ShowChipWatcher(&watcher, watcher.FTOrvakDefListFlags, watcher.FListCount, watcher.FActiveSerial);
        ASSERT_TRUE(frmFTList);
        QPointer<TfrmFTList> w = frmFTList.data();
        w->Timer3->setInterval(24 * 3600 * 1000);
        ASSERT_TRUE(WaitFor([&] { return w->isVisible() && !w->Timer1->isActive(); }));
        QWidget* active = fromItself ? static_cast<QWidget*>(w.data()) : f;
        active->activateWindow();
        ASSERT_TRUE(WaitFor([&] { return active->isActiveWindow(); }));
        keys.Tap(XK_Escape);
        EXPECT_TRUE(WaitFor([&] { return w.isNull() || !w->isVisible(); }))
            << "Escape left the watcher shown";
        delete w.data();
    }
}

namespace {

void StorePlace(const QString& window, const QRect& r) {
    const QString key = QStringLiteral("Software\\") +
                        TTevFormStorage::ExeKeyName(QCoreApplication::applicationFilePath()) +
                        QLatin1Char('\\') + window;
    RegWriteInteger(QStringLiteral("Left"), r.left(), key);
    RegWriteInteger(QStringLiteral("Top"), r.top(), key);
    RegWriteInteger(QStringLiteral("Width"), r.width(), key);
    RegWriteInteger(QStringLiteral("Height"), r.height(), key);
}

// Every shown widget lies inside its parent: nothing is cut off by the window's edge or a panel's.
void ExpectNothingClipped(QWidget* window) {
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (!w->isVisible() || w->isWindow() || !w->parentWidget())
            continue;
        // Scroll areas hold children larger than themselves on purpose.
        if (w->parentWidget()->objectName() == QLatin1String("qt_scrollarea_viewport"))
            continue;
        EXPECT_TRUE(w->parentWidget()->rect().contains(w->geometry()))
            << w->metaObject()->className() << " " << w->objectName().toStdString() << " at " << w->x() << ","
            << w->y() << " " << w->width() << "x" << w->height() << " in "
            << w->parentWidget()->objectName().toStdString() << " " << w->parentWidget()->width() << "x"
            << w->parentWidget()->height();
    }
}

} // namespace

TEST_F(Desktop, StoredPlacesOffTheScreenOpenReachableAndVisibleOnesAreKept) {
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    struct Case {
        const char* what;
        QRect tools; // stored outer place of the tools window
        bool keptExactly;
    };
    const QList<Case> cases{
        {"far away", QRect(-9000, 12000, 640, 450), false},
        {"on a monitor to the left that is gone", QRect(-1500, 100, 640, 450), false},
        {"on a monitor to the right that is gone", QRect(screen.right() + 400, 80, 640, 450), false},
        {"title bar above the screen", QRect(200, -300, 640, 450), false},
        {"partly off the right, title bar grabbable", QRect(screen.right() - 300, 60, 640, 450), true},
        {"partly off the bottom", QRect(100, screen.bottom() - 200, 640, 450), true},
        {"inside", QRect(37, 41, 640, 450), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StorePlace(QStringLiteral("frmDodatki"), c.tools);
        StorePlace(QStringLiteral("Form1"), c.tools.translated(5, 5));
        ProgramRun run;
        run.OpenTools();
        TfrmDodatki* t = run.tools.get();
        TForm1* f = run.form1.get();
        ASSERT_TRUE(WaitFor([&] { return Framed(t) && Framed(f); }));
        if (c.keptExactly) {
            EXPECT_TRUE(WaitFor([&] { return t->frameGeometry() == c.tools; }))
                << t->frameGeometry().x() << "," << t->frameGeometry().y() << " "
                << t->frameGeometry().width() << "x" << t->frameGeometry().height();
            EXPECT_TRUE(
                WaitFor([&] { return f->frameGeometry().topLeft() == c.tools.topLeft() + QPoint(5, 5); }));
        }
        for (QWidget* w : {static_cast<QWidget*>(t), static_cast<QWidget*>(f)}) {
            SCOPED_TRACE(w->objectName().toStdString());
            // The title bar can be grabbed: its top strip lies on the screen, at least a hand's width of it.
            const QRect frame = w->frameGeometry();
            const QRect bar = QRect(frame.topLeft(), QSize(frame.width(), 24)) & screen;
            EXPECT_GE(bar.width(), 48) << frame.x() << "," << frame.y();
            EXPECT_GE(bar.height(), 8) << frame.x() << "," << frame.y();
            // And the server has it there, not only Qt.
            EXPECT_TRUE(screen.contains(ServerPos(w))) << ServerPos(w).x() << "," << ServerPos(w).y();
        }
        EXPECT_EQ(t->size(), c.tools.size() - (t->frameGeometry().size() - t->size()));
    }
}

TEST_F(Desktop, NothingIsClippedInAnyWindow) {
    ProgramRun run;
    run.OpenTools();
    TfrmDodatki* t = run.tools.get();
    TForm1* f = run.form1.get();
    ASSERT_TRUE(WaitFor([&] { return Framed(t) && Framed(f); }));
    ExpectNothingClipped(f);
    for (int tab = 0; tab < t->PageControl->count(); ++tab) {
        SCOPED_TRACE(tab);
        t->PageControl->setCurrentIndex(tab);
        ExpectNothingClipped(t);
    }
    // The chip watcher in both of its views.
    TTevFT232a watcher;
    ListOneAdapter(watcher, QStringLiteral("PVXD0004"));
    for (const bool mini : {false, true}) {
        SCOPED_TRACE(mini ? "short view" : "full view");
        watcher.SetDetailedInfo(true);
        watcher.SetInfoShort(mini);
        ShowChipWatcher(&watcher, watcher.FTOrvakDefListFlags, watcher.FListCount, watcher.FActiveSerial);
        ASSERT_TRUE(frmFTList);
        TfrmFTList* w = frmFTList.data();
        w->Timer3->setInterval(24 * 3600 * 1000);
        ASSERT_TRUE(WaitFor([&] { return w->isVisible() && !w->Timer1->isActive(); }));
        // On the screen whole, in its corner.
        EXPECT_TRUE(QGuiApplication::primaryScreen()->availableGeometry().contains(w->frameGeometry()));
        delete w;
    }
}
