// pravex-log's MQTT publishing against a local Mosquitto broker started here (127.0.0.1, a free port):
// QoS 1 readings per second through the spool, the spool's replay after the broker was away, both against
// bare libmosquitto QoS 1 publishing of the same payloads; and the latency from the CR at the port (a pty
// that pravex-log reads) to a subscriber. Prints "name value unit" lines.
#include "BenchCommon.h"
#include "BenchFailover.h"
#include "MqttPublisher.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <mosquitto.h>
#include <mutex>
#include <netinet/in.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int tcpPort(int port, bool connectTo) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    socklen_t len = sizeof a;
    int result = 0;
    if (connectTo)
        result = ::connect(fd, reinterpret_cast<sockaddr*>(&a), len) == 0;
    else if (::bind(fd, reinterpret_cast<sockaddr*>(&a), len) == 0 &&
             ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        result = ntohs(a.sin_port);
    ::close(fd);
    return result;
}

pid_t spawn(const std::vector<std::string>& argv, int stdoutFd = -1) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(stdoutFd >= 0 ? stdoutFd : null, 1);
        ::dup2(null, 2);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    return pid;
}

void stop(pid_t pid) {
    if (pid > 0) {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
    }
}

struct Broker {
    pid_t pid = -1;
    int port = 0;
    bool start(const QString& dir) {
        for (int attempt = 0; attempt < 10; ++attempt) {
            port = tcpPort(0, false);
            const QString conf = dir + QStringLiteral("/mosquitto.conf");
            FILE* f = std::fopen(conf.toLocal8Bit().constData(), "w");
            // As a site that cares for latency runs it: no Nagle delay on the broker's sockets.
            std::fprintf(f,
                         "listener %d 127.0.0.1\nallow_anonymous true\nuser root\nlog_dest none\n"
                         "set_tcp_nodelay true\n",
                         port);
            std::fclose(f);
            pid = spawn({"mosquitto", "-c", conf.toStdString()});
            for (int i = 0; i < 500; ++i) {
                if (tcpPort(port, true))
                    return true;
                if (::waitpid(pid, nullptr, WNOHANG) == pid)
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            stop(pid);
        }
        return false;
    }
    ~Broker() { stop(pid); }
};

QByteArray payload(qint64 counter) {
    Reading r;
    r.time = QDateTime::currentDateTimeUtc();
    r.counter = counter;
    r.voltage = 3.92;
    r.text = QStringLiteral("3.92");
    r.converterOn = true;
    r.serial = QStringLiteral("PXBENCH1");
    r.port = QStringLiteral("/dev/ttyUSB0");
    return ReadingJson(r);
}

// Bare libmosquitto: N QoS 1 publishes with the same window, until every PUBACK is in.
double rawPerSecond(int port, int n) {
    std::atomic<int> acked{0};
    mosquitto* m = mosquitto_new("pravex-bench-raw", true, &acked);
    mosquitto_int_option(m, MOSQ_OPT_SEND_MAXIMUM, 200);
    mosquitto_int_option(m, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_publish_callback_set(m, [](mosquitto*, void* o, int) { ++*static_cast<std::atomic<int>*>(o); });
    mosquitto_connect(m, "127.0.0.1", port, 30);
    mosquitto_loop_start(m);
    const QByteArray p = payload(1);
    const auto t0 = Clock::now();
    for (int i = 0; i < n; ++i)
        mosquitto_publish(m, nullptr, "pravex/raw/reading", int(p.size()), p.constData(), 1, false);
    while (acked < n)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    mosquitto_disconnect(m);
    mosquitto_loop_stop(m, false);
    mosquitto_destroy(m);
    return n / s;
}

// Until the publisher's spool is empty; seconds.
double drain(MqttPublisher* p, const Clock::time_point& t0) {
    while (p->spool().pending() > 0)
        RunEvents(1);
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Subscriber on its own libmosquitto thread: arrival time by counter.
struct Subscriber {
    std::mutex mutex;
    std::vector<std::pair<qint64, Clock::time_point>> got; // by counter, or by line (see lineOf)
    mosquitto* m = nullptr;
    std::atomic<bool> ready{false};
    void start(int port) {
        m = mosquitto_new("pravex-bench-sub", true, this);
        mosquitto_int_option(m, MOSQ_OPT_TCP_NODELAY, 1);
        mosquitto_connect_callback_set(
            m, [](mosquitto* mq, void*, int) { mosquitto_subscribe(mq, nullptr, "pravex/+/reading", 1); });
        mosquitto_subscribe_callback_set(
            m, [](mosquitto*, void* o, int, int, const int*) { static_cast<Subscriber*>(o)->ready = true; });
        mosquitto_message_callback_set(m, [](mosquitto*, void* o, const mosquitto_message* msg) {
            const auto now = Clock::now();
            const QByteArray body(static_cast<const char*>(msg->payload), msg->payloadlen);
            // The logger's readings say which line they came from in their text; the bare client's in
            // their counter.
            const int text = body.indexOf("\"text\":\"");
            const int at = body.indexOf("\"counter\":");
            const qint64 c =
                std::strcmp(msg->topic, "pravex/rawlat/reading") != 0
                    ? (text < 0 ? -1
                                : std::lround(body.mid(text + 8, 12).split('"').first().toDouble() * 100))
                    : (at < 0 ? -1 : body.mid(at + 10, 20).split(',').first().toLongLong() / 2);
            auto* s = static_cast<Subscriber*>(o);
            std::lock_guard lock(s->mutex);
            s->got.emplace_back(c, now);
        });
        mosquitto_connect(m, "127.0.0.1", port, 30);
        mosquitto_loop_start(m);
        while (!ready)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return got.size();
    }
    ~Subscriber() {
        if (m) {
            mosquitto_disconnect(m);
            mosquitto_loop_stop(m, false);
            mosquitto_destroy(m);
        }
    }
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    mosquitto_lib_init();
    Broker broker;
    if (!broker.start(dir.path())) {
        std::fprintf(stderr, "bench_mqtt: mosquitto did not start\n");
        return 1;
    }
    const int n = 50000;
    MqttSettings settings;
    ParseMqttUrl(QStringLiteral("mqtt://127.0.0.1:%1").arg(broker.port), &settings, nullptr);
    settings.spoolDir = dir.path() + QStringLiteral("/spool");

    const double raw = rawPerSecond(broker.port, n);
    Figure("mqtt_raw_libmosquitto_per_s", raw, "msg/s");

    {
        // Live: each reading spooled and published as it comes.
        MqttHub hub(settings);
        QString error;
        MqttPublisher* p = hub.publisher(QStringLiteral("live"), QString(), QString(), &error);
        while (p->spool().pending() == 0 && !p->spool().isOpen())
            RunEvents(1);
        RunEvents(200); // connected
        const auto t0 = Clock::now();
        for (int i = 1; i <= n; ++i) {
            Reading r;
            r.time = QDateTime::currentDateTimeUtc();
            r.counter = 2 * i;
            r.voltage = 3.92;
            r.text = QStringLiteral("3.92");
            r.serial = QStringLiteral("PXBENCH1");
            p->submit(r, &error);
            if (i % 1000 == 0)
                QCoreApplication::processEvents();
        }
        const double s = drain(p, t0);
        Figure("mqtt_readings_per_s", n / s, "readings/s");
        Figure("mqtt_readings_vs_raw", n / s / raw, "ratio");
        bool done = false;
        hub.finishAll(2000, [&] { done = true; });
        while (!done)
            RunEvents(5);
    }
    {
        // Replay: a spool filled while the broker was away, sent when it is back.
        Spool filled;
        QString error;
        filled.open(settings.spoolDir + QStringLiteral("/replay.spool"), n + 1, &error);
        for (int i = 1; i <= n; ++i)
            filled.append(payload(2 * i), &error);
        filled.close();
        MqttHub hub(settings);
        const auto t0 = Clock::now();
        MqttPublisher* p = hub.publisher(QStringLiteral("replay"), QString(), QString(), &error);
        const double s = drain(p, t0);
        Figure("mqtt_spool_replay_per_s", n / s, "readings/s");
        Figure("mqtt_spool_replay_vs_raw", n / s / raw, "ratio");
        bool done = false;
        hub.finishAll(2000, [&] { done = true; });
        while (!done)
            RunEvents(5);
    }

    {
        // Appends while 200 MB of spool are compacted (the broker back after a long absence): the longest
        // an append waits, beside the longest wait of as many plain appends.
        Spool s;
        QString error;
        s.open(settings.spoolDir + QStringLiteral("/stall.spool"), 10000000, &error,
               QStringLiteral("PXBENCH1"));
        const QByteArray record = payload(2).leftJustified(199, ' ');
        while (QFileInfo(s.path()).size() < (200 << 20))
            s.append(record, &error);
        s.sync();
        const auto longestAppend = [&](const std::function<void()>& meanwhile) {
            std::atomic<bool> done{false};
            double longest = 0;
            std::thread appender([&] {
                // At least a second of appends, and until the work meanwhile is over.
                const auto until = Clock::now() + std::chrono::seconds(1);
                while (!done || Clock::now() < until) {
                    const auto t0 = Clock::now();
                    QString e;
                    s.append(record, &e);
                    longest = std::max(longest,
                                       std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                }
            });
            meanwhile();
            done = true;
            appender.join();
            return longest;
        };
        Figure("mqtt_spool_append_stall_ms_baseline", longestAppend([] {}), "ms");
        // Most of it delivered: the rest is copied to a new file.
        const qint64 half = s.begin() + (s.end() - s.begin()) * 6 / 10;
        const auto upto = s.read(half, 1);
        const double stall = longestAppend([&] {
            const qint64 records = s.pending() * 6 / 10;
            s.acknowledge(upto.isEmpty() ? half : upto.first().end, records);
        });
        Figure("mqtt_spool_append_stall_ms_200mb", stall, "ms");
        s.close();
        QFile::remove(s.path());
    }

    // Latency: pravex-log on a pty; the CR written here, the reading's arrival at a subscriber.
    const char* log = std::getenv("PRAVEX_BIN_PRAVEX_LOG");
#ifdef PRAVEX_BIN_PRAVEX_LOG
    if (!log)
        log = PRAVEX_BIN_PRAVEX_LOG;
#endif
    int master = -1, slave = -1;
    char name[256] = {};
    if (!log || ::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::fprintf(stderr, "bench_mqtt: no pravex-log or no pty\n");
        return 1;
    }
    termios t{};
    ::tcgetattr(master, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(master, TCSANOW, &t);
    Subscriber sub;
    sub.start(broker.port);
    const int samples = 500;
    const auto gap = std::chrono::milliseconds(10);
    const auto percentile = [](std::vector<double> v, int p) {
        std::sort(v.begin(), v.end());
        return v.empty() ? -1.0 : v[std::min(v.size() - 1, v.size() * size_t(p) / 100)];
    };
    {
        // Beside it: the broker's leg alone, a bare client publishing to the same subscriber at the same
        // pace.
        std::atomic<bool> up{false};
        mosquitto* m = mosquitto_new("pravex-bench-lat", true, &up);
        mosquitto_int_option(m, MOSQ_OPT_TCP_NODELAY, 1);
        mosquitto_connect_callback_set(
            m, [](mosquitto*, void* o, int) { *static_cast<std::atomic<bool>*>(o) = true; });
        mosquitto_connect(m, "127.0.0.1", broker.port, 30);
        mosquitto_loop_start(m);
        // Timed from the connection on, as the logger's readings are.
        while (!up)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::vector<Clock::time_point> at(samples + 1);
        for (int i = 1; i <= samples; ++i) {
            const QByteArray p = payload(2 * i);
            at[size_t(i)] = Clock::now();
            mosquitto_publish(m, nullptr, "pravex/rawlat/reading", int(p.size()), p.constData(), 1, false);
            std::this_thread::sleep_for(gap);
        }
        for (int i = 0; i < 500 && sub.count() < size_t(samples); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        mosquitto_disconnect(m);
        mosquitto_loop_stop(m, false);
        mosquitto_destroy(m);
        std::vector<double> base;
        std::lock_guard lock(sub.mutex);
        for (const auto& [line, when] : sub.got)
            if (line >= 1 && line <= samples)
                base.push_back(std::chrono::duration<double, std::milli>(when - at[size_t(line)]).count());
        sub.got.clear();
        Figure("mqtt_latency_bare_libmosquitto_p50_ms", percentile(base, 50), "ms");
        Figure("mqtt_latency_bare_libmosquitto_p99_ms", percentile(base, 99), "ms");
    }
    ::setenv("XDG_STATE_HOME", (dir.path() + QStringLiteral("/state")).toLocal8Bit().constData(), 1);
    const pid_t logger = spawn({log, "--port", name, "--count", std::to_string(samples + 50), "--mqtt",
                                QStringLiteral("mqtt://127.0.0.1:%1").arg(broker.port).toStdString()});
    // Each line carries its number as the voltage, so a reading is matched to its line whatever lines
    // the logger did not take (those written before its port was open).
    const auto writeLine = [&](int n) {
        char text[40];
        const int len = std::snprintf(text, sizeof text, "PVEX: %d.%02dV ON\r", n / 100, n % 100);
        [[maybe_unused]] const ssize_t put = ::write(master, text, size_t(len));
    };
    std::vector<Clock::time_point> sent(samples + 51);
    int line = 0;
    // Warm up until readings come through, then time each line's CR.
    while (sub.count() == 0 && line < 50) {
        writeLine(++line);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const int first = line + 1;
    for (int i = 0; i < samples && line < samples + 50; ++i) {
        ++line;
        sent[size_t(line)] = Clock::now();
        writeLine(line);
        std::this_thread::sleep_for(gap);
    }
    const auto arrived = [&] {
        std::lock_guard lock(sub.mutex);
        return std::count_if(sub.got.begin(), sub.got.end(), [&](const auto& g) { return g.first == line; }) >
               0;
    };
    for (int i = 0; i < 500 && !arrived(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::vector<double> ms;
    {
        std::lock_guard lock(sub.mutex);
        for (const auto& [l, at] : sub.got)
            if (l >= first && l <= line)
                ms.push_back(std::chrono::duration<double, std::milli>(at - sent[size_t(l)]).count());
    }
    ::kill(logger, SIGTERM);
    ::waitpid(logger, nullptr, 0);
    if (ms.empty()) {
        std::fprintf(stderr, "bench_mqtt: no reading reached the subscriber\n");
        return 1;
    }
    Figure("mqtt_latency_p50_ms", percentile(ms, 50), "ms");
    Figure("mqtt_latency_p99_ms", percentile(ms, 99), "ms");
    Figure("mqtt_latency_samples", double(ms.size()), "readings");
    ::close(master);
    ::close(slave);
    return failover::MeasureFailover(false) && failover::MeasureFailover(true) ? 0 : 1;
}
