// pravex-adapters: prints the FTDI adapters the way the watcher's scan sees them, through the same D2XX
// layer and backend choice as the program; with --watch it stays and prints every detection report.
#include "D2XXUnit.h"
#include "ProgramVersion.h"
#include "TevFT232a.h"
#include "TevFT232aCheckThreadU.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    ssize_t ignored = ::write(signalPipe[1], &byte, 1);
    (void)ignored;
}

QString stateName(int active) {
    switch (active) {
    case 0:
        return QStringLiteral("active");
    case 1:
        return QStringLiteral("ready");
    case 2:
        return QStringLiteral("no-port");
    default:
        return QString::number(active);
    }
}

// Control characters of a user area would garble the terminal.
QString printable(const QString& text) {
    QString out;
    for (QChar c : text)
        out += (c.unicode() < 0x20 || c.unicode() == 0x7F)
                   ? QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'))
                   : QString(c);
    return out;
}

void printList(const TFTOrvakDefListFlags& list, int count, const QString& activeSerial) {
    if (count == 0) {
        std::printf("No FTDI adapters found.\n");
        return;
    }
    std::printf("%-3s %-8s %-12s %-16s %-16s %-32s %4s  %s\n", "#", "state", "port", "chip", "serial",
                "description", "ua", "user area");
    for (int i = 0; i < count; ++i) {
        const TRFTOrvakDefListFlags& r = list[std::size_t(i)];
        // Padded in characters: printf would count the bytes of a non-ASCII name.
        std::printf("%-3d %-8s %-12s %-16s %s %s %4d  %s\n", i, qPrintable(stateName(r.Active)),
                    qPrintable(r.ComPort), qPrintable(r.chip),
                    qPrintable(printable(r.SerialNumber).leftJustified(16)),
                    qPrintable(printable(r.Description).leftJustified(32)), r.OrvakOkFlag,
                    qPrintable(printable(r.OrvakDesc)));
    }
    std::printf("active serial: %s\n", activeSerial.isEmpty() ? "(none)" : qPrintable(activeSerial));
}

} // namespace

int main(int argc, char** argv) {
    if (PravexVersionAsked(argc, argv, "pravex-adapters"))
        return 0;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pravex-adapters"));
    QCoreApplication::setApplicationVersion(QString::fromLocal8Bit(PravexVersion()));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral(
            "Lists the attached FTDI adapters. The backend is the library named by PRAVEX_D2XX_LIBRARY "
            "(FTDI's libftd2xx.so, or libpravex-d2xx-sim.so, the simulated driver, which is found "
            "by that name in %1), else the native one.")
            .arg(QString::fromLocal8Bit(PravexPrivateLibDir())));
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption watch(QStringLiteral("watch"),
                             QStringLiteral("Keep running and print each detection report."));
    QCommandLineOption reports(QStringLiteral("reports"),
                               QStringLiteral("With --watch: stop after N reports."), QStringLiteral("N"));
    parser.addOption(watch);
    parser.addOption(reports);
    parser.process(app);

    const QString backendError = D2xxBackendError();
    std::printf("backend: %s\n", qPrintable(D2xxBackendName()));
    if (!backendError.isEmpty()) {
        std::fprintf(stderr, "pravex-adapters: %s\n", qPrintable(backendError));
        return 1;
    }

    if (!parser.isSet(watch)) {
        TFTOrvakDefListFlags list;
        int count = 0;
        QString activeSerial;
        bool discoverError = false;
        ScanAdapters({list, count, activeSerial, discoverError});
        printList(list, count, activeSerial);
        std::fflush(stdout);
        return 0;
    }

    const int maxReports = parser.value(reports).toInt();
    int seen = 0;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) == 0) {
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
    }
    QSocketNotifier stop(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stop, &QSocketNotifier::activated, &app, [] { QCoreApplication::quit(); });

    TTevFT232a watcher;
    watcher.SetActive(true);
    watcher.OnDetectUSB = [&](QObject*, bool InOut, TFTOrvakDefListFlags& list, int& count,
                              QString& activeSerial, const QString& newPort) {
        std::printf("[%s] report: InOut=%d count=%d active=%s newport=%s\n",
                    qPrintable(QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss.zzz"))),
                    InOut ? 1 : 0, count, activeSerial.isEmpty() ? "-" : qPrintable(activeSerial),
                    newPort.isEmpty() ? "-" : qPrintable(newPort));
        printList(list, count, activeSerial);
        std::fflush(stdout);
        if (maxReports > 0 && ++seen >= maxReports)
            QTimer::singleShot(0, &app, [] { QCoreApplication::quit(); });
    };
    std::printf("watching; Ctrl+C ends\n");
    std::fflush(stdout);
    return app.exec();
}
