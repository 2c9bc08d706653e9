// Which of Qt's desktop platforms the monitor runs on. Under a Wayland compositor a client can neither
// place its windows nor keep one above the others; through the compositor's X server (Xwayland) it can,
// so a Wayland session with an X server runs the monitor there unless the user chose a platform.
#pragma once

#include <QByteArray>
#include <QString>

struct TDesktopEnvironment {
    QByteArray qpaPlatform; // QT_QPA_PLATFORM
    QByteArray sessionType; // XDG_SESSION_TYPE
    QByteArray waylandDisplay;
    QByteArray x11Display;         // DISPLAY
    bool platformArgument = false; // -platform on the command line
    static TDesktopEnvironment FromProcess(int argc, char** argv);
};

enum class TDesktopPlatformChoice {
    AsQtChooses, // not a Wayland session, or the user chose
    X11,         // Wayland session with an X server: through it
    WaylandOnly, // Wayland session without an X server
};

TDesktopPlatformChoice ChooseDesktopPlatform(const TDesktopEnvironment& env);

// Call before the application object is made: points Qt at the X server where that is the choice. The
// choice is not passed on to programs the monitor starts (a browser for the maker's address).
class TDesktopPlatform {
public:
    TDesktopPlatform(int argc, char** argv);
    // Call once the application object exists.
    void Started();
    // The line said on standard error when places and always-on-top are not available; empty otherwise.
    static QString LimitsNote(const QString& platformName);

private:
    bool FSetPlatform = false;
};
