// The serial component on a device server's port: Debian's ser2net serving a pty that a thread of this
// process writes, read as rfc2217:// by the component and, as the baseline, by a bare TCP reader of the
// same server with a plain tcp accepter; and the latency from a CR written at the pty to the line event.
#pragma once

#include "BenchCommon.h"
#include "CountingPort.h"
#include "LineTally.h"
#include "serial/TevComPort.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace netbench {

using Clock = std::chrono::steady_clock;

inline int FreePort() {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

inline int ConnectLocal(int port) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(std::uint16_t(port));
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// ser2net in the foreground serving one pty; up once it accepts. Without its default wait of two
// characters' time (2 ms at 9600 Bd) before it forwards what the device sent: the figures are the
// client's.
struct Ser2Net {
    pid_t pid = -1;
    int port = 0;
    std::string dir;
    bool Start(const std::string& device, bool comPortOption) {
        char tmpl[] = "/tmp/pravex-bench-ser2net-XXXXXX";
        if (!mkdtemp(tmpl))
            return false;
        dir = tmpl;
        port = FreePort();
        {
            std::ofstream f(dir + "/ser2net.yaml");
            f << "connection: &bench\n  accepter: " << (comPortOption ? "telnet(rfc2217),tcp," : "tcp,")
              << "127.0.0.1," << port << "\n  connector: serialdev," << device
              << ",9600n81,local\n  options:\n    kickolduser: true\n    chardelay: false\n";
        }
        std::string a0 = "/usr/sbin/ser2net", a1 = "-n", a2 = "-u", a3 = "-c", a4 = dir + "/ser2net.yaml",
                    a5 = "-P", a6 = dir + "/pid";
        char* argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), a4.data(), a5.data(), a6.data(), nullptr};
        // ser2net's own complaints (mdns) are not figures.
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        const int rc = posix_spawn(&pid, a0.c_str(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            pid = -1;
            return false;
        }
        const auto deadline = Clock::now() + std::chrono::seconds(30);
        for (;;) {
            const int s = ConnectLocal(port);
            if (s >= 0) {
                close(s);
                return true;
            }
            if (Clock::now() > deadline)
                return false;
            usleep(20000);
        }
    }
    std::string Url(bool comPortOption) const {
        return std::string(comPortOption ? "rfc2217" : "socket") + "://127.0.0.1:" + std::to_string(port);
    }
    ~Ser2Net() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        if (!dir.empty()) {
            unlink((dir + "/ser2net.yaml").c_str());
            unlink((dir + "/pid").c_str());
            rmdir(dir.c_str());
        }
    }
};

// The device: numbered lines then "END", handed to the pty 64 KiB at a time.
struct PtyDevice {
    int master = -1, slave = -1;
    std::string name;
    PtyDevice() {
        char n[256] = {};
        if (openpty(&master, &slave, n, nullptr, nullptr) == 0) {
            name = n;
            termios t{};
            tcgetattr(slave, &t);
            cfmakeraw(&t);
            tcsetattr(slave, TCSANOW, &t);
        }
    }
    ~PtyDevice() {
        if (master >= 0)
            close(master);
        if (slave >= 0)
            close(slave);
    }
    void WriteAll(const std::string& bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n =
                write(master, bytes.data() + done, std::min<std::size_t>(65536, bytes.size() - done));
            if (n > 0)
                done += std::size_t(n);
            else if (n < 0 && errno != EINTR && errno != EAGAIN)
                return;
        }
    }
};

inline std::string Numbered(long lines) {
    std::string bytes;
    char line[64];
    for (long i = 1; i <= lines; ++i)
        bytes.append(line, std::size_t(std::snprintf(line, sizeof line, "PVEX: 3.92V ON %ld\r", i)));
    return bytes + "END\r";
}

using Rate = LineRate;

// The server opens the pty when the client arrives and flushes it: the lines go once the reader is there.
inline Rate ComponentRate(long total) {
    Rate r;
    PtyDevice dev;
    Ser2Net server;
    if (dev.master < 0 || !server.Start(dev.name, true))
        return r;
    CountingPort reader;
    reader.Open(server.Url(true));
    const auto guard = Clock::now() + std::chrono::seconds(30);
    while (!reader.connected && Clock::now() < guard)
        RunEvents(10);
    const std::string bytes = Numbered(total);
    std::thread writer([&] { dev.WriteAll(bytes); });
    const auto end = Clock::now() + std::chrono::seconds(600);
    while (!reader.ended && reader.port.ComThread() != nullptr && Clock::now() < end)
        RunEvents(20);
    writer.join();
    reader.Close();
    return reader.tally.Of(total);
}

// The baseline: a bare reader counting CRs on a plain TCP connection to the same server program.
inline Rate RawTcpRate(long total) {
    Rate r;
    PtyDevice dev;
    Ser2Net server;
    if (dev.master < 0 || !server.Start(dev.name, false))
        return r;
    const int s = ConnectLocal(server.port);
    if (s < 0)
        return r;
    // The server has opened the device once the first probe line comes through.
    const std::string bytes = Numbered(total);
    std::vector<char> buf(65536);
    std::string line;
    LineTally tally;
    std::atomic<bool> reading{false};
    std::thread writer([&] {
        while (!reading.load())
            usleep(1000);
        usleep(100000); // the server's open, and its flush, are over
        dev.WriteAll(bytes);
    });
    reading = true;
    bool ended = false;
    while (!ended) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, 30000) <= 0)
            break;
        const ssize_t n = read(s, buf.data(), buf.size());
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; ++i) {
            const char c = buf[std::size_t(i)];
            if (c != '\r') {
                line.push_back(c);
                continue;
            }
            if (line == "END") {
                ended = true;
                break;
            }
            tally.Add(line);
            tally.Mark();
            line.clear();
        }
    }
    writer.join();
    close(s);
    return tally.Of(total);
}

inline void Percentiles(std::vector<double>& samples, double& p50, double& p99) {
    if (samples.empty())
        return;
    std::sort(samples.begin(), samples.end());
    p50 = samples[samples.size() / 2];
    p99 = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
}

// Writes one line per millisecond at the pty, each carrying the time its CR was written.
inline void TimedLines(const PtyDevice& dev, std::atomic<bool>& done) {
    auto next = Clock::now();
    for (int i = 0; i < 3000; ++i) {
        next += std::chrono::milliseconds(1);
        std::this_thread::sleep_until(next);
        char line[64];
        const int len = std::snprintf(line, sizeof line, "PVEX: 3.92V ON %lld\r",
                                      (long long)Clock::now().time_since_epoch().count());
        if (write(dev.master, line, std::size_t(len)) != len)
            break;
    }
    done = true;
}

// The baseline: a bare reader on a plain TCP connection to the same server program.
inline void RawTcpLatency(double& p50, double& p99) {
    PtyDevice dev;
    Ser2Net server;
    if (dev.master < 0 || !server.Start(dev.name, false))
        return;
    const int s = ConnectLocal(server.port);
    if (s < 0)
        return;
    usleep(100000); // the server's open, and its flush, are over
    std::vector<double> samples;
    std::atomic<bool> done{false};
    std::thread writer([&] { TimedLines(dev, done); });
    std::string line;
    char buf[4096];
    while (!done.load() || samples.size() < 2900) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0)
            break;
        const ssize_t n = read(s, buf, sizeof buf);
        if (n <= 0)
            break;
        const long long now = Clock::now().time_since_epoch().count();
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] != '\r') {
                line.push_back(buf[i]);
                continue;
            }
            samples.push_back(double(now - std::atoll(line.c_str() + line.rfind(' ') + 1)) / 1e6);
            line.clear();
        }
    }
    writer.join();
    close(s);
    Percentiles(samples, p50, p99);
}

// The component's line event.
inline void Latency(double& p50, double& p99) {
    PtyDevice dev;
    Ser2Net server;
    if (dev.master < 0 || !server.Start(dev.name, true))
        return;
    TTevComPort port;
    std::vector<double> samples;
    samples.reserve(4000);
    bool connected = false;
    port.OnConnected = [&](QObject*) { connected = true; };
    port.OnRxString = [&](QObject*, const QString& line) {
        const long long sent = line.mid(line.lastIndexOf(QLatin1Char(' ')) + 1).toLongLong();
        samples.push_back(double(Clock::now().time_since_epoch().count() - sent) / 1e6);
    };
    port.SetComPort(QString::fromStdString(server.Url(true)));
    port.SetActive(true);
    port.SetConnected(true);
    const auto guard = Clock::now() + std::chrono::seconds(30);
    while (!connected && Clock::now() < guard)
        RunEvents(10);
    std::atomic<bool> done{false};
    std::thread writer([&] { TimedLines(dev, done); });
    while (!done.load())
        RunEvents(20);
    writer.join();
    RunEvents(200);
    port.SetConnected(false);
    port.SetActive(false);
    Percentiles(samples, p50, p99);
}

} // namespace netbench
