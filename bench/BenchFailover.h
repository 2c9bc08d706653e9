// mqtt_failover_gap_ms: a publisher given both nodes of a two-node RabbitMQ cluster (started by
// scripts/rabbitmq-cluster.sh), readings every 20 ms, node 1 stopped as an operator does (or killed, for
// mqtt_failover_gap_crash_ms); the time from the stop to the first reading a subscriber on node 2 gets
// through node 2. Beside it, the wait a logger with one broker would spend before even trying again (its
// first reconnect back-off).
#pragma once

#include "BenchCommon.h"
#include "MqttPublisher.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <csignal>
#include <mosquitto.h>
#include <mutex>
#include <optional>
#include <thread>

namespace failover {

using Clock = std::chrono::steady_clock;

inline QProcess* clusterScript(const QStringList& args) {
    auto* p = new QProcess;
    p->start(QStringLiteral("bash"),
             QStringList{QStringLiteral(PRAVEX_SCRIPTS "/rabbitmq-cluster.sh")} + args);
    return p;
}

inline bool runScript(const QStringList& args, QByteArray* out = nullptr, int* code = nullptr) {
    std::unique_ptr<QProcess> p(clusterScript(args));
    const bool done = p->waitForFinished(300000);
    if (out)
        *out = p->readAllStandardOutput();
    if (code)
        *code = done ? p->exitCode() : -1;
    if (!done)
        p->kill();
    return done && p->exitCode() == 0;
}

struct Arrivals {
    std::mutex mutex;
    std::vector<Clock::time_point> at;
    std::atomic<bool> ready{false};
};

// False (and why on stderr) when the measurement failed; without RabbitMQ it is left out.
inline bool MeasureFailover(bool crash) {
    const QString dir =
        QStringLiteral("/tmp/pravex-bench-cluster-%1").arg(QCoreApplication::applicationPid());
    QByteArray out;
    int code = 0;
    if (!runScript({QStringLiteral("start"), dir, QString::number(QCoreApplication::applicationPid())}, &out,
                   &code)) {
        std::fprintf(stderr, "bench_mqtt: no broker cluster for mqtt_failover_gap_ms%s\n",
                     code == 77 ? " (rabbitmq-server cannot run here)" : "");
        runScript({QStringLiteral("stop"), dir});
        // A machine without RabbitMQ measures the rest.
        return code == 77;
    }
    const QList<QByteArray> words = out.trimmed().split(' ');
    const int port1 = words.value(1).toInt(), port2 = words.value(2).toInt();

    Arrivals arrivals;
    mosquitto* sub = mosquitto_new("pravex-bench-failover", true, &arrivals);
    mosquitto_connect_callback_set(
        sub, [](mosquitto* m, void*, int) { mosquitto_subscribe(m, nullptr, "pravex/+/reading", 1); });
    mosquitto_subscribe_callback_set(
        sub, [](mosquitto*, void* o, int, int, const int*) { static_cast<Arrivals*>(o)->ready = true; });
    mosquitto_message_callback_set(sub, [](mosquitto*, void* o, const mosquitto_message*) {
        auto* a = static_cast<Arrivals*>(o);
        const auto now = Clock::now();
        std::lock_guard lock(a->mutex);
        a->at.push_back(now);
    });
    mosquitto_connect(sub, "127.0.0.1", port2, 30);
    mosquitto_loop_start(sub);

    QTemporaryDir spool;
    MqttSettings settings;
    QString error;
    ParseMqttUrl(QStringLiteral("mqtt://127.0.0.1:%1,mqtt://127.0.0.1:%2").arg(port1).arg(port2), &settings,
                 &error);
    settings.spoolDir = spool.path();
    double gapMs = -1;
    {
        MqttHub hub(settings);
        MqttPublisher* p = hub.publisher(QStringLiteral("failover"), QString(), QString(), &error);
        qint64 counter = 0;
        const auto submit = [&] {
            Reading r;
            r.time = QDateTime::currentDateTimeUtc();
            r.counter = counter += 2;
            r.voltage = 3.92;
            r.text = QStringLiteral("3.92");
            p->submit(r, &error);
        };
        const auto arrived = [&] {
            std::lock_guard lock(arrivals.mutex);
            return arrivals.at.size();
        };
        // Running through node 1.
        for (int i = 0; i < 1500 && (arrived() < 20 || !arrivals.ready); ++i) {
            submit();
            RunEvents(20);
        }
        bool gone = false;
        Clock::time_point t0;
        // What arrives after the publisher has said it moved came through node 2.
        std::optional<Clock::time_point> moved;
        QObject::connect(&hub, &MqttHub::message, [&](const QString& text) {
            if (!moved && text.contains(QStringLiteral("now using broker")))
                moved = Clock::now();
        });
        std::unique_ptr<QProcess> stopping;
        QFile pidFile(dir + QStringLiteral("/n1/pid"));
        const pid_t node1 =
            pidFile.open(QIODevice::ReadOnly) ? pid_t(pidFile.readAll().trimmed().toInt()) : 0;
        if (p && arrived() >= 20 && node1 > 0) {
            t0 = Clock::now();
            if (crash) {
                gone = ::kill(node1, SIGKILL) == 0;
            } else {
                stopping.reset(clusterScript({QStringLiteral("stop-node"), dir, QStringLiteral("1")}));
                gone = true;
            }
        }
        for (int i = 0; gone && i < 1500 && gapMs < 0; ++i) {
            submit();
            RunEvents(20);
            if (!moved)
                continue;
            std::lock_guard lock(arrivals.mutex);
            for (const Clock::time_point& at : arrivals.at)
                if (at > *moved) {
                    gapMs = std::chrono::duration<double, std::milli>(at - t0).count();
                    break;
                }
        }
        if (stopping && !stopping->waitForFinished(120000))
            stopping->kill();
        bool done = false;
        hub.finishAll(2000, [&] { done = true; });
        while (!done)
            RunEvents(5);
    }
    mosquitto_disconnect(sub);
    mosquitto_loop_stop(sub, false);
    mosquitto_destroy(sub);
    runScript({QStringLiteral("stop"), dir});
    if (gapMs < 0) {
        std::fprintf(stderr, "bench_mqtt: no reading came through node 2 after node 1 %s\n",
                     crash ? "was killed" : "was stopped");
        return false;
    }
    Figure(crash ? "mqtt_failover_gap_crash_ms" : "mqtt_failover_gap_ms", gapMs, "ms");
    if (!crash) {
        BrokerRotation single({BrokerAddress{}});
        Figure("mqtt_failover_baseline_backoff_ms", single.failed(), "ms");
    }
    return true;
}

} // namespace failover
