// The program: the main window with its task-bar button, the tools window created hidden right after it,
// and the message loop. Closing the main window ends the program.
#include "ProgramVersion.h"
#include "Unit1.h"
#include "chipwatch/frmFTListU.h"
#include "common/DesktopPlatform.h"
#include "frmDodatkiU.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTabWidget>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

const char* const Usage =
    "usage: pravex [--help] [--version] [Qt options such as -platform NAME]\n"
    "The PRAVEX battery monitor's window: START and STOP a session, the live voltage, the log and chart\n"
    "(tools button). Needs a graphical session (X11 or Wayland); pravex-log records without one.\n";

bool helpAsked(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)
            return true;
    return false;
}

// While the window system is being reached, Qt's complaints are held back: when it cannot be reached the
// user gets one line that says so, not Qt's advice to reinstall and an abort.
QList<QPair<QtMsgType, QString>>* gHeld = nullptr;

void holdWhileStarting(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtFatalMsg) {
        const QByteArray display = qgetenv("DISPLAY");
        const QByteArray wayland = qgetenv("WAYLAND_DISPLAY");
        std::fprintf(stderr,
                     "pravex: no display to show the window on (DISPLAY=%s, WAYLAND_DISPLAY=%s); "
                     "for logging without a window use pravex-log\n",
                     display.isEmpty() ? "unset" : display.constData(),
                     wayland.isEmpty() ? "unset" : wayland.constData());
        std::fflush(stderr);
        ::_exit(1);
    }
    if (gHeld)
        gHeld->append({type, message});
    (void)context;
}

} // namespace

int main(int argc, char** argv) {
    if (PravexVersionAsked(argc, argv, "pravex"))
        return 0;
    if (helpAsked(argc, argv)) {
        std::fputs(Usage, stdout);
        return 0;
    }
    QElapsedTimer started;
    started.start();
    TDesktopPlatform platform(argc, argv);
    QList<QPair<QtMsgType, QString>> held;
    gHeld = &held;
    const QtMessageHandler previous = qInstallMessageHandler(holdWhileStarting);
    QApplication app(argc, argv);
    platform.Started();
    qInstallMessageHandler(previous);
    gHeld = nullptr;
    // It started after all: what Qt had to say still counts.
    for (const auto& m : held)
        qt_message_output(m.first, QMessageLogContext(), m.second);
    QApplication::setApplicationName(QStringLiteral("PRAVEX"));
    // Wayland matches the windows to the installed desktop entry by this name.
    QApplication::setDesktopFileName(QString::fromLatin1(PravexAppId()));
    QApplication::setQuitOnLastWindowClosed(false);

    // pravex --open FILE...: recordings in the tools window's chart from the start.
    const QStringList args = QApplication::arguments();
    const qsizetype open = args.indexOf(QStringLiteral("--open"));
    const QStringList recordings = open > 0 ? args.mid(open + 1) : QStringList();
    if (open > 0 && recordings.isEmpty()) {
        std::fprintf(stderr, "pravex: --open needs one or more CSV files\n");
        return 2;
    }

    TForm1 form1;
    TfrmDodatki tools;
    form1.SetToolsWindow(&tools);
    form1.show();
    if (!recordings.isEmpty()) {
        tools.OpenRecordings(recordings);
        tools.PageControl->setCurrentWidget(tools.AdvTabSheet2);
        tools.show();
    }

    // For the start-up benchmark: the time until the main window's first paint has been handed out.
    if (qEnvironmentVariableIsSet("PRAVEX_REPORT_STARTUP")) {
        QTimer::singleShot(0, &form1, [&started] {
            std::fprintf(stderr, "pravex: main window shown after %lld ms\n",
                         static_cast<long long>(started.elapsed()));
        });
    }
    const int rc = app.exec();
    // The chip watcher window belongs to the application: it goes before the watcher it points into.
    delete frmFTList.data();
    return rc;
}
