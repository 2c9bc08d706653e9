// A two-node RabbitMQ cluster with the MQTT plugin on loopback ports, started for one test and torn down
// with it (scripts/rabbitmq-cluster.sh does the work; it also ends the nodes should this process die).
#pragma once

#include "tst_pravex_log_support.h"

#include <QCoreApplication>

namespace logtest {

class RabbitCluster {
public:
    RabbitCluster()
        : m_script(binary("PRAVEX_SCRIPTS") + QStringLiteral("/rabbitmq-cluster.sh")),
          m_dir(QStringLiteral("/tmp/pravex-cluster-%1").arg(QCoreApplication::applicationPid())) {}
    ~RabbitCluster() { stop(); }

    enum Started { Up, Unavailable, Failed };
    // Two nodes joined into one cluster; `why` says what went wrong otherwise.
    Started start(QString* why) {
        Proc p;
        p.start(QStringLiteral("bash"), {m_script, QStringLiteral("start"), m_dir,
                                         QString::number(QCoreApplication::applicationPid())});
        m_started = true;
        const int code = p.finish(240);
        // A start still running would go on making nodes after the teardown.
        p.stop();
        *why = QString::fromLocal8Bit(p.err.trimmed());
        if (code == 77)
            return Unavailable;
        const QList<QByteArray> words = p.out.trimmed().split(' ');
        if (code != 0 || words.size() != 3 || words[0] != "ready") {
            if (code < 0)
                *why += QStringLiteral(" (did not start in time)");
            stop();
            return Failed;
        }
        m_ports = {words[1].toInt(), words[2].toInt()};
        return Up;
    }
    int mqttPort(int node) const { return m_ports.value(node - 1); }
    QString url(int node) const { return QStringLiteral("mqtt://127.0.0.1:%1").arg(mqttPort(node)); }
    // As an operator stops a node for maintenance; true once it is gone.
    bool stopNode(int node) { return script({QStringLiteral("stop-node"), m_dir, QString::number(node)}); }
    void stop() {
        if (m_started)
            script({QStringLiteral("stop"), m_dir});
        m_started = false;
    }

private:
    bool script(const QStringList& args) {
        Proc p;
        p.start(QStringLiteral("bash"), QStringList{m_script} + args);
        return p.finish(300) == 0;
    }

    QString m_script;
    QString m_dir;
    QList<int> m_ports;
    bool m_started = false;
};

} // namespace logtest
