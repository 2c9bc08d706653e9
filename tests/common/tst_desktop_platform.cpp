// The platform the monitor asks Qt for, from the session's variables and the command line.
// labels: unit
#include "DesktopPlatform.h"

#include <QList>
#include <gtest/gtest.h>
#include <vector>

TEST(DesktopPlatform, ChoiceFromTheSession) {
    using C = TDesktopPlatformChoice;
    struct Case {
        const char* what;
        TDesktopEnvironment env;
        C expected;
    };
    const QList<Case> cases{
        {"Wayland session with Xwayland", {"", "wayland", "wayland-0", ":0", false}, C::X11},
        {"session type in capitals", {"", "Wayland", "wayland-0", ":1", false}, C::X11},
        {"Wayland session without an X server", {"", "wayland", "wayland-0", "", false}, C::WaylandOnly},
        {"blank DISPLAY is no X server", {"", "wayland", "wayland-0", "  ", false}, C::WaylandOnly},
        {"the user chose Wayland", {"wayland", "wayland", "wayland-0", ":0", false}, C::AsQtChooses},
        {"the user chose X", {"xcb", "wayland", "wayland-0", ":0", false}, C::AsQtChooses},
        {"the user chose on the command line", {"", "wayland", "wayland-0", ":0", true}, C::AsQtChooses},
        {"X11 session", {"", "x11", "", ":0", false}, C::AsQtChooses},
        {"a compositor socket in an X11 session", {"", "x11", "wayland-0", ":0", false}, C::AsQtChooses},
        {"no session type (a console, ssh)", {"", "", "", "", false}, C::AsQtChooses},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(ChooseDesktopPlatform(c.env), c.expected);
    }
}

TEST(DesktopPlatform, CommandLinePlatformIsTheUsersChoice) {
    struct Case {
        std::vector<const char*> args;
        bool chosen;
    };
    const QList<Case> cases{
        {{"pravex", "-platform", "wayland"}, true},
        {{"pravex", "--platform", "xcb"}, true},
        {{"pravex", "-platform=xcb"}, true},
        {{"pravex", "--version"}, false},
        {{"pravex"}, false},
    };
    for (const Case& c : cases) {
        std::vector<char*> argv;
        for (const char* a : c.args)
            argv.push_back(const_cast<char*>(a));
        argv.push_back(nullptr);
        EXPECT_EQ(TDesktopEnvironment::FromProcess(int(c.args.size()), argv.data()).platformArgument,
                  c.chosen)
            << c.args.back();
    }
}

TEST(DesktopPlatform, NoteOnlyOnWayland) {
    EXPECT_TRUE(TDesktopPlatform::LimitsNote(QStringLiteral("wayland")).contains(QLatin1String("places")));
    EXPECT_TRUE(
        TDesktopPlatform::LimitsNote(QStringLiteral("wayland-egl")).contains(QLatin1String("on top")));
    EXPECT_TRUE(TDesktopPlatform::LimitsNote(QStringLiteral("xcb")).isEmpty());
    EXPECT_TRUE(TDesktopPlatform::LimitsNote(QStringLiteral("offscreen")).isEmpty());
}
