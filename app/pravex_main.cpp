// The program: the main window with its task-bar button, the tools window created hidden right after it,
// and the message loop. Closing the main window ends the program.
#include "ProgramVersion.h"
#include "Unit1.h"
#include "chipwatch/frmFTListU.h"
#include "frmDodatkiU.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTabWidget>
#include <QTimer>
#include <cstdio>

int main(int argc, char** argv) {
    if (PravexVersionAsked(argc, argv, "pravex"))
        return 0;
    QElapsedTimer started;
    started.start();
    QApplication app(argc, argv);
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
