#include "DesktopPlatform.h"

#include <QGuiApplication>
#include <cstdio>
#include <cstring>

TDesktopEnvironment TDesktopEnvironment::FromProcess(int argc, char** argv) {
    TDesktopEnvironment env;
    env.qpaPlatform = qgetenv("QT_QPA_PLATFORM");
    env.sessionType = qgetenv("XDG_SESSION_TYPE");
    env.waylandDisplay = qgetenv("WAYLAND_DISPLAY");
    env.x11Display = qgetenv("DISPLAY");
    for (int i = 1; i < argc && argv[i]; ++i)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0 ||
            std::strncmp(argv[i], "-platform=", 10) == 0)
            env.platformArgument = true;
    return env;
}

TDesktopPlatformChoice ChooseDesktopPlatform(const TDesktopEnvironment& env) {
    if (!env.qpaPlatform.trimmed().isEmpty() || env.platformArgument)
        return TDesktopPlatformChoice::AsQtChooses;
    // Qt takes its Wayland plugin from the session type; a compositor's socket alone does not make it.
    if (env.sessionType.trimmed().toLower() != "wayland")
        return TDesktopPlatformChoice::AsQtChooses;
    return env.x11Display.trimmed().isEmpty() ? TDesktopPlatformChoice::WaylandOnly
                                              : TDesktopPlatformChoice::X11;
}

TDesktopPlatform::TDesktopPlatform(int argc, char** argv) {
    if (ChooseDesktopPlatform(TDesktopEnvironment::FromProcess(argc, argv)) != TDesktopPlatformChoice::X11)
        return;
    // An X server that refuses us still leaves the Wayland plugin to try.
    qputenv("QT_QPA_PLATFORM", "xcb;wayland");
    FSetPlatform = true;
}

void TDesktopPlatform::Started() {
    if (FSetPlatform) {
        qunsetenv("QT_QPA_PLATFORM");
        FSetPlatform = false;
    }
    const QString note = LimitsNote(QGuiApplication::platformName());
    if (!note.isEmpty())
        std::fprintf(stderr, "%s\n", note.toLocal8Bit().constData());
}

QString TDesktopPlatform::LimitsNote(const QString& platformName) {
    if (!platformName.startsWith(QLatin1String("wayland")))
        return {};
    return QStringLiteral("pravex: running as a Wayland client: window places are not kept and the chip "
                          "watcher cannot stay on top (no X server found; Xwayland provides one)");
}
