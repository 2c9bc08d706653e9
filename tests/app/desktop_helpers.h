// What the tests on a real X server share: the connection, the stacking of frames, a widget's received
// clicks and one run of the program. Header only: the tests without the desktop label do not link Xlib.
// Include it after the Qt headers, since Xlib's macros clash with their names.
#pragma once

#include "Unit1.h"
#include "app_helpers.h"
#include "chipwatch/frmFTListU.h"
#include "frmDodatkiU.h"

#include <QEvent>
#include <QGuiApplication>
#include <QObject>
#include <QPushButton>
#include <QWidget>
#include <QWindow>
#include <memory>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace apptest {

inline bool OnDesktop() {
    return QGuiApplication::platformName() == QLatin1String("xcb");
}

// One connection to the X server as any client has it, closed with the object.
class XConnection {
public:
    XConnection() : FDisplay(XOpenDisplay(nullptr)) {}
    XConnection(const XConnection&) = delete;
    XConnection& operator=(const XConnection&) = delete;
    ~XConnection() {
        if (FDisplay)
            XCloseDisplay(FDisplay);
    }
    bool Ok() const { return FDisplay != nullptr; }
    Display* display() const { return FDisplay; }

protected:
    Display* FDisplay;
};

// The root's child that holds w: the window manager's frame, or w itself; 0 when w is gone.
inline ::Window TopLevelOf(Display* d, ::Window w) {
    for (;;) {
        ::Window root = 0;
        ::Window parent = 0;
        ::Window* children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(d, w, &root, &parent, &children, &count))
            return 0;
        if (children)
            XFree(children);
        if (parent == root || parent == 0)
            return w;
        w = parent;
    }
}

// True when a's top level is stacked above b's.
inline bool StackedAbove(Display* d, ::Window a, ::Window b) {
    const ::Window ta = TopLevelOf(d, a);
    const ::Window tb = TopLevelOf(d, b);
    ::Window root = 0;
    ::Window parent = 0;
    ::Window* children = nullptr;
    unsigned count = 0;
    int ia = -1;
    int ib = -1;
    if (XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &count)) {
        // Bottom first.
        for (unsigned i = 0; i < count; ++i) {
            if (children[i] == ta)
                ia = int(i);
            if (children[i] == tb)
                ib = int(i);
        }
        if (children)
            XFree(children);
    }
    return ia >= 0 && ib >= 0 && ia > ib;
}

// Counts the mouse events a widget is given, before the window's own handling sees them: a test waits
// for its input to have arrived instead of waiting for a time.
class Seen : public QObject {
public:
    explicit Seen(QWidget* w) { w->installEventFilter(this); }
    int presses = 0;
    int releases = 0;
    int moves = 0;

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        switch (e->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
            ++presses;
            break;
        case QEvent::MouseButtonRelease:
            ++releases;
            break;
        case QEvent::MouseMove:
            ++moves;
            break;
        default:
            break;
        }
        return false;
    }
};

// One run of the program: its two windows as main() makes them, the main window shown.
struct ProgramRun {
    std::unique_ptr<TForm1> form1;
    std::unique_ptr<TfrmDodatki> tools;
    ProgramRun() {
        form1 = std::make_unique<TForm1>();
        tools = std::make_unique<TfrmDodatki>();
        form1->SetToolsWindow(tools.get());
        form1->show();
    }
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;
    ~ProgramRun() {
        form1->close();
        delete frmFTList.data();
        tools.reset();
        form1.reset();
    }
    void OpenTools() { form1->BitBtn1->click(); }
    // The main window mapped and exposed.
    bool Shown() const {
        return WaitFor([&] { return form1->windowHandle() && form1->windowHandle()->isExposed(); });
    }
};

} // namespace apptest
