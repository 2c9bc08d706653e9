// pravex-devsim: behaves like a PRAVEX device on a pseudo-terminal. Prints the port to open on its first
// line, then sends status lines (or a script's raw lines) on the master side until told to stop.
#include "DevSimCore.h"
#include "ProgramVersion.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::atomic<bool> gStop{false};

void OnSignal(int) {
    gStop.store(true);
}

struct Options {
    int intervalMs = 2000;
    long count = 0; // 0: no end
    std::string lineEnd = "\r\n";
    bool comma = false;
    std::string script;
    bool loop = false;
    long unplugAfter = 0;
    bool echo = false;
    double soc = 1.0;
    double low = 3.40;
    std::string link;
};

void Usage(FILE* to) {
    std::fputs("usage: pravex-devsim [options]\n"
               "  --interval MS      time between lines (default 2000; 0 = as fast as the port takes them)\n"
               "  --count N          send N lines, then end (default: no end)\n"
               "  --cr | --crlf | --lf   line end (default CR LF)\n"
               "  --comma            decimal comma in the voltage\n"
               "  --script FILE      send the file's lines instead of status lines; escapes \\r \\n \\t \\0\n"
               "                     \\xHH \\*N,HH (byte HH N times) \\\\ and a final \\c (no line end)\n"
               "  --loop             start the script again when it ends\n"
               "  --unplug-after N   close the port's far side after N lines, as an unplugged adapter\n"
               "  --soc PERCENT      battery charge at start (default 100)\n"
               "  --lbat VOLTS       tag LBAT below this voltage (default 3.40)\n"
               "  --link PATH        also make PATH a symbolic link to the port\n"
               "  --echo             copy what the port receives to standard error\n"
               "  --version          print the version (as the first option)\n"
               "The first line of standard output is the port to open (e.g. /dev/pts/3).\n",
               to);
}

bool ParseNumber(const char* text, long min, long& out) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno || !end || *end || end == text || v < min)
        return false;
    out = v;
    return true;
}

bool ParseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char*& v) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "pravex-devsim: %s needs a value\n", a.c_str());
                return false;
            }
            v = argv[++i];
            return true;
        };
        const char* v = nullptr;
        long n = 0;
        if (a == "--interval") {
            if (!value(v) || !ParseNumber(v, 0, n))
                return false;
            o.intervalMs = int(n);
        } else if (a == "--count") {
            if (!value(v) || !ParseNumber(v, 0, n))
                return false;
            o.count = n;
        } else if (a == "--unplug-after") {
            if (!value(v) || !ParseNumber(v, 1, n))
                return false;
            o.unplugAfter = n;
        } else if (a == "--soc") {
            if (!value(v) || !ParseNumber(v, 0, n) || n > 100)
                return false;
            o.soc = double(n) / 100.0;
        } else if (a == "--lbat") {
            char* end = nullptr;
            if (!value(v))
                return false;
            o.low = std::strtod(v, &end);
            if (end == v || *end || !(o.low >= 0.0 && o.low < 100.0))
                return false;
        } else if (a == "--cr") {
            o.lineEnd = "\r";
        } else if (a == "--crlf") {
            o.lineEnd = "\r\n";
        } else if (a == "--lf") {
            o.lineEnd = "\n";
        } else if (a == "--comma") {
            o.comma = true;
        } else if (a == "--script") {
            if (!value(v))
                return false;
            o.script = v;
        } else if (a == "--loop") {
            o.loop = true;
        } else if (a == "--link") {
            if (!value(v))
                return false;
            o.link = v;
        } else if (a == "--echo") {
            o.echo = true;
        } else if (a == "--help" || a == "-h") {
            Usage(stdout);
            std::exit(0);
        } else {
            std::fprintf(stderr, "pravex-devsim: unknown option %s\n", a.c_str());
            return false;
        }
    }
    return true;
}

// Reads what the client sent (so its writes never stall) and copies it to stderr when asked.
void DrainInput(int master, bool echo) {
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0)
            return;
        if (echo) {
            ssize_t w = ::write(STDERR_FILENO, buf, std::size_t(n));
            (void)w;
        }
    }
}

// Writes all of data unless told to stop; waits while the pty's buffer is full, reading input meanwhile.
bool SendAll(int master, const std::string& data, bool echo) {
    std::size_t done = 0;
    while (done < data.size() && !gStop.load()) {
        pollfd p{master, POLLOUT | POLLIN, 0};
        int r = ::poll(&p, 1, 100);
        if (r < 0 && errno != EINTR)
            return false;
        if (r <= 0)
            continue;
        if (p.revents & POLLIN)
            DrainInput(master, echo);
        if (!(p.revents & POLLOUT))
            continue;
        ssize_t n = ::write(master, data.data() + done, data.size() - done);
        if (n > 0)
            done += std::size_t(n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
    }
    return done == data.size();
}

// Waits out the interval while reading the client's bytes; ends early on a stop request.
void Pause(int master, int ms, bool echo) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    do {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                .count();
        pollfd p{master, POLLIN, 0};
        int r = ::poll(&p, 1, int(std::max<long long>(0, std::min<long long>(left, 100))));
        if (r > 0 && (p.revents & POLLIN))
            DrainInput(master, echo);
    } while (!gStop.load() && std::chrono::steady_clock::now() < deadline);
}

} // namespace

int main(int argc, char** argv) {
    if (PravexVersionAsked(argc, argv, "pravex-devsim"))
        return 0;
    Options o;
    if (!ParseArgs(argc, argv, o)) {
        Usage(stderr);
        return 2;
    }
    std::vector<devsim::ScriptLine> script;
    std::string err;
    if (!o.script.empty()) {
        if (!devsim::LoadScript(o.script, script, &err)) {
            std::fprintf(stderr, "pravex-devsim: %s\n", err.c_str());
            return 2;
        }
    }

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    devsim::PtyPair pty;
    if (!pty.Open(&err)) {
        std::fprintf(stderr, "pravex-devsim: %s\n", err.c_str());
        return 1;
    }
    int flags = fcntl(pty.Master(), F_GETFL);
    fcntl(pty.Master(), F_SETFL, flags | O_NONBLOCK);
    if (!o.link.empty()) {
        ::unlink(o.link.c_str());
        if (::symlink(pty.SlaveName().c_str(), o.link.c_str()) != 0)
            std::fprintf(stderr, "pravex-devsim: cannot link %s: %s\n", o.link.c_str(), std::strerror(errno));
    }
    std::printf("%s\n", pty.SlaveName().c_str());
    std::fflush(stdout);

    devsim::BatteryCurve battery(o.soc, o.low);
    long sent = 0;
    std::size_t scriptPos = 0;
    bool unplugged = false;
    while (!gStop.load()) {
        if (o.count > 0 && sent >= o.count)
            break;
        std::string bytes;
        if (!o.script.empty()) {
            if (scriptPos >= script.size()) {
                if (!o.loop || script.empty())
                    break;
                scriptPos = 0;
            }
            const auto& line = script[scriptPos++];
            bytes = line.bytes + (line.terminated ? o.lineEnd : std::string());
        } else {
            bytes =
                devsim::FormatStatusLine(battery.Low(), battery.Voltage(), battery.ConverterOn(), o.comma) +
                o.lineEnd;
            battery.Step();
        }
        if (!SendAll(pty.Master(), bytes, o.echo))
            break;
        ++sent;
        if (o.unplugAfter > 0 && sent >= o.unplugAfter) {
            unplugged = true;
            break;
        }
        if (o.intervalMs > 0)
            Pause(pty.Master(), o.intervalMs, o.echo);
    }
    // Let the client read what was sent: a hang-up discards whatever is still queued for it.
    if (!gStop.load())
        pty.WaitDrained(unplugged ? 3000 : 1500);
    pty.CloseMaster();
    pty.CloseSlave();
    // Only our own link goes: another simulator may have taken the name over meanwhile.
    if (!o.link.empty()) {
        char target[512] = {};
        ssize_t n = ::readlink(o.link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, std::size_t(n)) == pty.SlaveName())
            ::unlink(o.link.c_str());
    }
    return 0;
}
