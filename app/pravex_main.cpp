// The program: the main window with its task-bar button, the tools window created hidden right after it,
// and the message loop. Closing the main window ends the program.
#include "ProgramVersion.h"
#include "Unit1.h"
#include "chipwatch/frmFTListU.h"
#include "common/DesktopPlatform.h"
#include "frmDodatkiU.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdio>

int main(int argc, char** argv) {
    if (PravexVersionAsked(argc, argv, "pravex"))
        return 0;
    QElapsedTimer started;
    started.start();
    TDesktopPlatform platform(argc, argv);
    QApplication app(argc, argv);
    platform.Started();
    QApplication::setApplicationName(QStringLiteral("PRAVEX"));
    // Wayland matches the windows to the installed desktop entry by this name.
    QApplication::setDesktopFileName(QString::fromLatin1(PravexAppId()));
    QApplication::setQuitOnLastWindowClosed(false);

    TForm1 form1;
    TfrmDodatki tools;
    form1.SetToolsWindow(&tools);
    form1.show();

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
