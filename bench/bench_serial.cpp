// Serial component benchmark over pseudo-terminals with pravex-devsim as the device: lines per second
// through OnRxString against a bare termios reader and a pyserial loop, the same with a writer that hands
// over 64 KiB at a time, hand-over latency, the same through a device server (SerialNetBench.h), and the CPU
// and wake-ups an idle component costs. Prints "name value unit" lines.
#include "BenchCommon.h"
#include "CountingPort.h"
#include "LineTally.h"
#include "SerialNetBench.h"
#include "serial/TevComPort.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

#ifdef PRAVEX_BIN_PRAVEX_DEVSIM
const char* DevsimPath() {
    const char* env = std::getenv("PRAVEX_BIN_PRAVEX_DEVSIM");
    return env ? env : PRAVEX_BIN_PRAVEX_DEVSIM;
}
#else
const char* DevsimPath() {
    return std::getenv("PRAVEX_BIN_PRAVEX_DEVSIM");
}
#endif

// A numbered status-line script: the numbers tell lines lost in transit from lines the port's opening
// purge discarded before the reader was there.
std::string WriteScript(long lines) {
    char path[] = "/tmp/pravex-bench-XXXXXX";
    const int fd = mkstemp(path);
    FILE* f = fdopen(fd, "w");
    for (long i = 1; i <= lines; ++i)
        std::fprintf(f, "PVEX: 3.92V ON %ld\n", i);
    std::fclose(f);
    return path;
}

// pravex-devsim started on a script; the port it made is read from its first output line.
struct Devsim {
    pid_t pid = -1;
    std::string port;

    bool Start(const std::vector<std::string>& args) {
        const char* bin = DevsimPath();
        if (bin == nullptr)
            return false;
        int out[2];
        if (pipe(out) != 0)
            return false;
        pid = fork();
        if (pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(bin));
            for (const std::string& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(bin, argv.data());
            _exit(127);
        }
        close(out[1]);
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n')
            port.push_back(c);
        close(out[0]);
        return !port.empty();
    }
    void Stop() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        pid = -1;
    }
    ~Devsim() { Stop(); }
};

using Throughput = LineRate;

Throughput ComponentThroughput(const std::string& script, long total) {
    Throughput r;
    Devsim sim;
    if (!sim.Start({"--script", script, "--interval", "0", "--cr"}))
        return r;
    TTevComPort port;
    LineTally tally;
    port.OnRxString = [&](QObject*, const QString& line) {
        tally.Add(line);
        tally.Mark();
    };
    port.SetComPort(QString::fromStdString(sim.port));
    port.SetActive(true);
    port.SetConnected(true);
    // Ends when the simulator has sent everything and hung up, which ends the worker.
    QElapsedTimer guard;
    guard.start();
    while (port.ComThread() != nullptr && guard.elapsed() < 600000)
        RunEvents(50);
    port.SetActive(false);
    return tally.Of(total);
}

Throughput RawThroughput(const std::string& script, long total) {
    Throughput r;
    Devsim sim;
    if (!sim.Start({"--script", script, "--interval", "0", "--cr"}))
        return r;
    const int fd = open(sim.port.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
    tcflush(fd, TCIOFLUSH);
    std::vector<char> buf(65536);
    std::string line;
    LineTally tally;
    for (;;) {
        const ssize_t n = read(fd, buf.data(), buf.size());
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[std::size_t(i)] != '\r') {
                line.push_back(buf[std::size_t(i)]);
                continue;
            }
            tally.Add(line);
            line.clear();
        }
        tally.Mark();
    }
    close(fd);
    return tally.Of(total);
}

double PyserialThroughput(const std::string& script) {
    Devsim sim;
    if (!sim.Start({"--script", script, "--interval", "0", "--cr"}))
        return 0;
    const std::string code = "import serial,time,sys\n"
                             "s=serial.Serial(sys.argv[1],timeout=2)\n"
                             "s.reset_input_buffer()\n"
                             "n=0;t0=t1=None\n"
                             "while True:\n"
                             "  try:\n"
                             "    l=s.read_until(b'\\r')\n"
                             "  except Exception:\n"
                             "    break\n"
                             "  if not l.endswith(b'\\r'): break\n"
                             "  n+=1;t1=time.monotonic()\n"
                             "  if t0 is None: t0=t1\n"
                             "print((n-1)/(t1-t0) if n>1 else 0)\n";
    const std::string cmd = "cd / && /usr/bin/python3 -I -c \"$PRAVEX_BENCH_PY\" " + sim.port;
    setenv("PRAVEX_BENCH_PY", code.c_str(), 1);
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return 0;
    double rate = 0;
    if (std::fscanf(p, "%lf", &rate) != 1)
        rate = 0;
    pclose(p);
    return rate;
}

// One line per millisecond written by a thread of this process, each carrying its send time, so the
// handler can tell how long the line took from the CR leaving to the handler running.
void Latency(double& p50, double& p99) {
    int master = -1, slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
        return;
    TTevComPort port;
    std::vector<double> samples;
    samples.reserve(4000);
    bool connected = false;
    port.OnConnected = [&](QObject*) { connected = true; };
    port.OnRxString = [&](QObject*, const QString& line) {
        const long long sent = line.mid(line.lastIndexOf(QLatin1Char(' ')) + 1).toLongLong();
        const long long now = Clock::now().time_since_epoch().count();
        samples.push_back(double(now - sent) / 1e6);
    };
    port.SetComPort(QString::fromLatin1(name));
    port.SetActive(true);
    port.SetConnected(true);
    while (!connected)
        RunEvents(10);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        auto next = Clock::now();
        for (int i = 0; i < 3000; ++i) {
            next += std::chrono::milliseconds(1);
            std::this_thread::sleep_until(next);
            char line[64];
            const int len = std::snprintf(line, sizeof line, "PVEX: 3.92V ON %lld\r",
                                          (long long)Clock::now().time_since_epoch().count());
            if (write(master, line, std::size_t(len)) != len)
                break;
        }
        done = true;
    });
    while (!done.load())
        RunEvents(20);
    writer.join();
    RunEvents(200);
    port.SetConnected(false);
    port.SetActive(false);
    close(master);
    close(slave);
    if (samples.empty())
        return;
    std::sort(samples.begin(), samples.end());
    p50 = samples[samples.size() / 2];
    p99 = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
}

// A device that hands the pty 64 KiB at a time, so the figures measure the reader rather than the writer:
// numbered lines, then "END". Written from a thread of this process on the master side of a pty.
class BulkWriter {
public:
    explicit BulkWriter(long lines) {
        char line[64];
        for (long i = 1; i <= lines; ++i) {
            const int len = std::snprintf(line, sizeof line, "PVEX: 3.92V ON %ld\r", i);
            FBytes.append(line, std::size_t(len));
        }
        FBytes += "END\r";
        char name[256] = {};
        if (openpty(&FMaster, &FSlave, name, nullptr, nullptr) == 0) {
            Port = name;
            fcntl(FMaster, F_SETFL, fcntl(FMaster, F_GETFL) | O_NONBLOCK);
        }
    }
    ~BulkWriter() {
        Stop();
        if (FMaster >= 0)
            close(FMaster);
        if (FSlave >= 0)
            close(FSlave);
    }
    // The reader has the port open: the test's own slave descriptor may go.
    void Start() {
        FThread = std::thread([this] {
            std::size_t done = 0;
            while (done < FBytes.size() && !FStop.load()) {
                const std::size_t chunk = std::min<std::size_t>(65536, FBytes.size() - done);
                const ssize_t n = write(FMaster, FBytes.data() + done, chunk);
                if (n > 0) {
                    done += std::size_t(n);
                } else if (n < 0 && errno == EAGAIN) {
                    pollfd p{FMaster, POLLOUT, 0};
                    poll(&p, 1, 100);
                } else if (n < 0 && errno != EINTR) {
                    break;
                }
            }
        });
    }
    void Stop() {
        FStop = true;
        if (FThread.joinable())
            FThread.join();
    }
    std::string Port;

private:
    std::string FBytes;
    int FMaster = -1;
    int FSlave = -1;
    std::thread FThread;
    std::atomic<bool> FStop{false};
};

Throughput ComponentBulk(long total) {
    BulkWriter writer(total);
    CountingPort reader;
    reader.Open(writer.Port);
    while (!reader.connected)
        RunEvents(10);
    writer.Start();
    QElapsedTimer guard;
    guard.start();
    while (!reader.ended && guard.elapsed() < 600000)
        RunEvents(50);
    writer.Stop();
    reader.Close();
    return reader.tally.Of(total);
}

Throughput RawBulk(long total) {
    BulkWriter writer(total);
    const int fd = open(writer.Port.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    writer.Start();
    std::vector<char> buf(65536);
    std::string line;
    LineTally tally;
    bool ended = false;
    while (!ended) {
        const ssize_t n = read(fd, buf.data(), buf.size());
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n && !ended; ++i) {
            if (buf[std::size_t(i)] != '\r') {
                line.push_back(buf[std::size_t(i)]);
                continue;
            }
            if (line == "END") {
                ended = true;
            } else {
                tally.Add(line);
                tally.Mark();
            }
            line.clear();
        }
    }
    writer.Stop();
    close(fd);
    return tally.Of(total);
}

// Context switches of one thread of this process so far.
long ThreadSwitches(const std::string& tid) {
    FILE* f = std::fopen(("/proc/self/task/" + tid + "/status").c_str(), "r");
    if (f == nullptr)
        return -1;
    long total = 0;
    char row[256];
    while (std::fgets(row, sizeof row, f) != nullptr) {
        long n = 0;
        if (std::sscanf(row, "voluntary_ctxt_switches: %ld", &n) == 1 ||
            std::sscanf(row, "nonvoluntary_ctxt_switches: %ld", &n) == 1)
            total += n;
    }
    std::fclose(f);
    return total;
}

std::vector<std::string> Tasks() {
    std::vector<std::string> out;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.')
                out.emplace_back(e->d_name);
        closedir(d);
    }
    return out;
}

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// What a thread that does nothing but wake every 10 ms costs here: the floor under the open line's cadence
// on this machine (a virtual machine pays much more for a wake-up than bare hardware).
double BarePollCpuPercent() {
    const double c0 = CpuSeconds();
    QElapsedTimer clock;
    clock.start();
    std::thread t([] {
        for (int i = 0; i < 1000; ++i)
            poll(nullptr, 0, 10);
    });
    t.join();
    return 100.0 * (CpuSeconds() - c0) / (double(clock.elapsed()) / 1000.0);
}

struct Idle {
    double cpuPercent = -1;
    double wakeupsPerSecond = -1;
};

// deviceArgs: how pravex-devsim talks meanwhile (by default not at all).
Idle IdleCost(bool connect,
              const std::vector<std::string>& deviceArgs = {"--interval", "100000000", "--cr"}) {
    Idle r;
    Devsim sim;
    if (!sim.Start(deviceArgs))
        return r;
    TTevComPort port;
    bool connected = false;
    port.OnConnected = [&](QObject*) { connected = true; };
    port.SetComPort(QString::fromStdString(sim.port));
    const std::vector<std::string> before = Tasks();
    port.SetActive(true);
    port.SetConnected(connect);
    if (connect)
        while (!connected)
            RunEvents(10);
    RunEvents(500);
    std::string worker;
    for (const std::string& tid : Tasks())
        if (std::find(before.begin(), before.end(), tid) == before.end())
            worker = tid;
    const long s0 = worker.empty() ? -1 : ThreadSwitches(worker);
    const double c0 = CpuSeconds();
    QElapsedTimer clock;
    clock.start();
    RunEvents(10000);
    const double seconds = double(clock.elapsed()) / 1000.0;
    r.cpuPercent = 100.0 * (CpuSeconds() - c0) / seconds;
    const long s1 = worker.empty() ? -1 : ThreadSwitches(worker);
    if (s0 >= 0 && s1 >= 0)
        r.wakeupsPerSecond = double(s1 - s0) / seconds;
    port.SetConnected(false);
    port.SetActive(false);
    return r;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (DevsimPath() == nullptr) {
        std::fprintf(stderr, "bench_serial: pravex-devsim is not built\n");
        return 1;
    }
    // Names given on the command line pick single figures (component bulk raw pyserial latency network
    // idle).
    auto wanted = [&](const char* part) {
        if (argc < 2)
            return true;
        for (int i = 1; i < argc; ++i)
            if (std::strcmp(argv[i], part) == 0)
                return true;
        return false;
    };
    const long lines = 1000000;
    const long pyLines = 50000;
    const std::string script = WriteScript(lines);
    const std::string pyScript = WriteScript(pyLines);

    Throughput component, raw;
    double py = 0;
    if (wanted("component")) {
        component = ComponentThroughput(script, lines);
        Figure("component_lines_per_s", component.linesPerSecond, "lines/s");
        Figure("component_lines_lost", double(component.lost), "lines");
    }
    // The same 64 KiB writer for both, so the ratio says what the component costs over a bare reader.
    Throughput bulk, rawBulk;
    if (wanted("bulk")) {
        const long bulkLines = 3000000;
        rawBulk = RawBulk(bulkLines);
        bulk = ComponentBulk(bulkLines);
        Figure("raw_bulk_lines_per_s", rawBulk.linesPerSecond, "lines/s");
        Figure("component_bulk_lines_per_s", bulk.linesPerSecond, "lines/s");
        Figure("component_bulk_lines_lost", double(bulk.lost), "lines");
        if (rawBulk.linesPerSecond > 0)
            Figure("component_vs_raw_bulk_ratio", bulk.linesPerSecond / rawBulk.linesPerSecond, "x");
    }
    if (wanted("raw")) {
        raw = RawThroughput(script, lines);
        Figure("raw_lines_per_s", raw.linesPerSecond, "lines/s");
    }
    if (wanted("pyserial")) {
        py = PyserialThroughput(pyScript);
        Figure("pyserial_lines_per_s", py, "lines/s");
    }
    if (py > 0 && component.linesPerSecond > 0)
        Figure("component_vs_pyserial_ratio", component.linesPerSecond / py, "x");
    if (raw.linesPerSecond > 0 && component.linesPerSecond > 0)
        Figure("component_vs_raw_ratio", component.linesPerSecond / raw.linesPerSecond, "x");
    if (wanted("latency")) {
        double p50 = 0, p99 = 0;
        Latency(p50, p99);
        Figure("latency_p50_ms", p50, "ms");
        Figure("latency_p99_ms", p99, "ms");
    }
    if (wanted("network")) {
        const long netLines = 300000;
        const netbench::Rate tcp = netbench::RawTcpRate(netLines);
        const netbench::Rate rfc = netbench::ComponentRate(netLines);
        Figure("tcp_raw_lines_per_s", tcp.linesPerSecond, "lines/s");
        Figure("rfc2217_lines_per_s", rfc.linesPerSecond, "lines/s");
        Figure("rfc2217_lines_lost", double(rfc.lost), "lines");
        if (tcp.linesPerSecond > 0)
            Figure("rfc2217_vs_tcp_raw_ratio", rfc.linesPerSecond / tcp.linesPerSecond, "x");
        double p50 = 0, p99 = 0;
        netbench::RawTcpLatency(p50, p99);
        Figure("tcp_raw_latency_p50_ms", p50, "ms");
        Figure("tcp_raw_latency_p99_ms", p99, "ms");
        p50 = p99 = 0;
        netbench::Latency(p50, p99);
        Figure("rfc2217_latency_p50_ms", p50, "ms");
        Figure("rfc2217_latency_p99_ms", p99, "ms");
    }
    if (wanted("idle")) {
        const Idle open = IdleCost(true);
        const Idle closed = IdleCost(false);
        // A CR LF device with a line a second: after each line the worker holds the LF of the next one.
        const Idle crlf = IdleCost(true, {"--interval", "1000", "--crlf"});
        Figure("idle_open_cpu_percent", open.cpuPercent, "%");
        Figure("idle_open_wakeups_per_s", open.wakeupsPerSecond, "1/s");
        Figure("idle_unconnected_cpu_percent", closed.cpuPercent, "%");
        Figure("idle_unconnected_wakeups_per_s", closed.wakeupsPerSecond, "1/s");
        Figure("idle_crlf_line_a_second_cpu_percent", crlf.cpuPercent, "%");
        Figure("idle_crlf_line_a_second_wakeups_per_s", crlf.wakeupsPerSecond, "1/s");
        const double floor = BarePollCpuPercent();
        Figure("idle_bare_10ms_poll_cpu_percent", floor, "%");
        if (floor > 0)
            Figure("idle_open_vs_bare_10ms_poll_ratio", open.cpuPercent / floor, "x");
    }
    unlink(script.c_str());
    unlink(pyScript.c_str());
    return 0;
}
