// pravex-adapters: prints the FTDI adapters the way the watcher's scan sees them, through the same D2XX
// layer and backend choice as the program; with --watch it stays and prints every detection report.
#include "D2XXUnit.h"
#include "ProgramVersion.h"
#include "TevFT232a.h"
#include "TevFT232aCheckThreadU.h"

#include "common/PortAccessHint.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char* const Help =
    "usage: pravex-adapters [--watch [--reports N]]\n"
    "Lists the attached FTDI adapters as the monitor's scan sees them.\n"
    "  --watch        keep running and print each detection report (Ctrl+C ends)\n"
    "  --reports N    with --watch: stop after N reports\n"
    "  --version      print the version (as the first option)\n"
    "  --help         print this text\n"
    "The backend is the library PRAVEX_D2XX_LIBRARY names (FTDI's libftd2xx.so, or\n"
    "libpravex-d2xx-sim.so, the simulated driver, found by that name in %s, which reads\n"
    "its adapters from the file PRAVEX_D2XX_SIM_CONFIG names), else the native one.\n"
    "Exit status: 0 listed, 1 backend not usable, 2 usage error.\n";

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

// With the simulated driver an empty list usually means it was given no adapters at all: say which.
QString emptyListNote() {
    if (!D2xxBackendName().contains(QLatin1String("sim")))
        return {};
    const QString config = qEnvironmentVariable("PRAVEX_D2XX_SIM_CONFIG");
    return config.isEmpty()
               ? QStringLiteral(" (simulated driver; PRAVEX_D2XX_SIM_CONFIG names no adapter file)")
               : QStringLiteral(" (simulated driver; adapters read from %1)").arg(config);
}

// A listed adapter whose port this user may not open: the remedy, where the user is looking.
void printAccessNotes(const TFTOrvakDefListFlags& list, int count) {
    for (int i = 0; i < count; ++i) {
        const QString port = list[std::size_t(i)].ComPort;
        if (port.isEmpty() || port == QLatin1String("COM?"))
            continue;
        const QString path = port.startsWith(QLatin1Char('/')) ? port : QStringLiteral("/dev/") + port;
        if (::access(QFile::encodeName(path).constData(), R_OK | W_OK) != 0 && errno == EACCES)
            std::printf("note: cannot open %s: %s; %s\n", qPrintable(path), std::strerror(EACCES),
                        qPrintable(PortAccessRemedy(EACCES)));
    }
}

void printList(const TFTOrvakDefListFlags& list, int count, const QString& activeSerial) {
    if (count == 0) {
        std::printf("No FTDI adapters found%s.\n", qPrintable(emptyListNote()));
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
    printAccessNotes(list, count);
}

} // namespace

int main(int argc, char** argv) {
    if (PravexVersionAsked(argc, argv, "pravex-adapters"))
        return 0;
    QCoreApplication app(argc, argv);
    bool watchMode = false;
    int maxReports = 0;
    const QStringList args = app.arguments().mid(1);
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            std::printf(Help, qPrintable(QString::fromLocal8Bit(PravexPrivateLibDir())));
            return 0;
        }
        bool ok = true;
        if (a == QLatin1String("--watch"))
            watchMode = true;
        else if (a == QLatin1String("--reports") && i + 1 < args.size())
            maxReports = args[++i].toInt(&ok);
        else if (a.startsWith(QLatin1String("--reports=")))
            maxReports = a.mid(10).toInt(&ok);
        else
            ok = false;
        if (!ok || maxReports < 0) {
            std::fprintf(stderr,
                         "pravex-adapters: unknown option or bad value: %s\nTry 'pravex-adapters --help'.\n",
                         qPrintable(a));
            return 2;
        }
    }

    const QString backendError = D2xxBackendError();
    std::printf("backend: %s\n", qPrintable(D2xxBackendName()));
    if (!backendError.isEmpty()) {
        std::fprintf(stderr, "pravex-adapters: %s\n", qPrintable(backendError));
        return 1;
    }

    if (!watchMode) {
        TFTOrvakDefListFlags list;
        int count = 0;
        QString activeSerial;
        bool discoverError = false;
        ScanAdapters({list, count, activeSerial, discoverError});
        printList(list, count, activeSerial);
        std::fflush(stdout);
        return 0;
    }

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
