// pravex-log: the command line, the signals that end a session cleanly, and the event loop the serial
// component and the adapter watcher deliver their events on.
#include "LineOutput.h"
#include "LogSession.h"
#include "MultiLogSession.h"
#include "ProgramVersion.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

int gSignalPipe[2] = {-1, -1};
LineOutput* gOutput = nullptr;

void onSignal(int sig) {
    const char byte = char(sig);
    [[maybe_unused]] const ssize_t n = ::write(gSignalPipe[1], &byte, 1);
}

void writeLine(FILE* to, const QString& text) {
    const QByteArray bytes = text.toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), to);
    std::fflush(to);
}

} // namespace

int main(int argc, char** argv) {
    if (PravexVersionAsked(argc, argv, "pravex-log"))
        return 0;
    QCoreApplication app(argc, argv);
    LogOptions options;
    QString error;
    bool help = false;
    if (!ParseLogArgs(app.arguments().mid(1), &options, &error, &help)) {
        writeLine(stderr, QStringLiteral("pravex-log: ") + error);
        std::fputs("Try 'pravex-log --help'.\n", stderr);
        return LogExitUsage;
    }
    if (help) {
        std::fputs(LogUsageText(), stdout);
        return LogExitOk;
    }

    // A reader that went away (pravex-log | head) must not end the session: the CSV goes on.
    std::signal(SIGPIPE, SIG_IGN);
    // A CSV file at the user's file size limit is a write that fails (and a reading counted as not
    // written), not a killed session.
    std::signal(SIGXFSZ, SIG_IGN);
    if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("pravex-log: pipe");
        return LogExitFailure;
    }
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    // Ctrl+C, and a closed terminal, end the session the same clean way, unless the starter chose to
    // have them ignored (nohup, a background job).
    for (int sig : {SIGINT, SIGHUP}) {
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaction(sig, &sa, nullptr);
    }

    // Left undestroyed on purpose: its writer may be stuck on a reader that never reads again.
    gOutput = new LineOutput(STDOUT_FILENO, 20000, [](const QString& text) {
        writeLine(stderr, QStringLiteral("pravex-log: ") + text);
    });
    LineOutput* output = gOutput;
    const LogSession::Writer out = [output](const QString& text) { output->write(text.toLocal8Bit()); };
    const LogSession::Writer err = [](const QString& text) {
        writeLine(stderr, QStringLiteral("pravex-log: ") + text);
    };
    // One adapter, or many (--all, --serial): the same life from here on.
    const auto run = [&](auto& session) -> int {
        QSocketNotifier notifier(gSignalPipe[0], QSocketNotifier::Read);
        QObject::connect(&notifier, &QSocketNotifier::activated, &session, [&session] {
            char byte = 0;
            while (::read(gSignalPipe[0], &byte, 1) > 0) {
            }
            session.requestFinish(LogExitOk);
        });
        QObject::connect(&session, &std::remove_reference_t<decltype(session)>::finished, &app,
                         [](int code) { QCoreApplication::exit(code); });
        if (!session.start())
            return session.exitCode();
        const int code = app.exec();
        output->drain(2000);
        return code;
    };
    if (options.all || !options.serials.isEmpty()) {
        MultiLogSession session(options, out, err);
        return run(session);
    }
    LogSession session(options, out, err);
    return run(session);
}
