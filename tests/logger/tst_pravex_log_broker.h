// A throw-away Mosquitto broker for the tests: its own folder, 127.0.0.1 and a free port (never 1883),
// optionally a password file and a TLS listener with a CA made for the test; and a persistent subscriber
// that collects what the broker delivers, across broker restarts.
#pragma once

#include "tst_pravex_log_support.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <arpa/inet.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace logtest {

// A port the kernel hands out now (the broker cannot take port 0 itself), or one taken: connect to it.
inline int tcpPort(int port, bool* connected = nullptr) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(quint16(port));
    socklen_t len = sizeof a;
    int result = 0;
    if (connected)
        *connected = ::connect(fd, reinterpret_cast<sockaddr*>(&a), len) == 0;
    else if (::bind(fd, reinterpret_cast<sockaddr*>(&a), len) == 0 &&
             ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        result = ntohs(a.sin_port);
    ::close(fd);
    return result;
}

inline int freePort() {
    return tcpPort(0);
}

inline bool run(const QString& program, const QStringList& args) {
    QProcess p;
    p.start(program, args);
    return p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

class Broker {
public:
    explicit Broker(const QString& dir) : m_dir(dir) {}
    ~Broker() { stop(); }

    void requirePassword(const QString& user, const QString& password) {
        m_passwd = m_dir + QStringLiteral("/passwd");
        run(QStringLiteral("mosquitto_passwd"),
            {QStringLiteral("-c"), QStringLiteral("-b"), m_passwd, user, password});
    }
    // A CA and a server certificate for 127.0.0.1, and a second CA the server is not signed by.
    bool makeCertificates() {
        const auto ssl = [](const QStringList& a) { return run(QStringLiteral("openssl"), a); };
        const QString d = m_dir;
        const QString san = d + QStringLiteral("/san.ext");
        writeFile(san, "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
        for (const char* name : {"ca", "otherca"})
            if (!ssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "3650", "-subj",
                      QStringLiteral("/CN=pravex-test-") + name, "-keyout", d + "/" + name + ".key", "-out",
                      d + "/" + name + ".crt"}))
                return false;
        return ssl({"req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost", "-keyout",
                    d + "/server.key", "-out", d + "/server.csr"}) &&
               ssl({"x509", "-req", "-in", d + "/server.csr", "-CA", d + "/ca.crt", "-CAkey", d + "/ca.key",
                    "-CAcreateserial", "-days", "3650", "-extfile", san, "-out", d + "/server.crt"}) &&
               (m_tls = true);
    }
    QString caFile() const { return m_dir + QStringLiteral("/ca.crt"); }
    QString otherCaFile() const { return m_dir + QStringLiteral("/otherca.crt"); }

    // Starts it, on the same ports as before when restarted. False when it does not come up.
    bool start() {
        for (int attempt = 0; attempt < 20; ++attempt) {
            if (m_port == 0 || attempt > 0) {
                if (m_fixed)
                    return false; // the port of a restart is taken: nothing sensible to do
                m_port = freePort();
                if (m_tls)
                    m_tlsPort = freePort();
            }
            QByteArray conf = "listener " + QByteArray::number(m_port) + " 127.0.0.1\n";
            if (!m_passwd.isEmpty())
                conf += "allow_anonymous false\npassword_file " + m_passwd.toLocal8Bit() + "\n";
            else
                conf += "allow_anonymous true\n";
            if (m_tls)
                conf += "listener " + QByteArray::number(m_tlsPort) + " 127.0.0.1\ncafile " +
                        caFile().toLocal8Bit() + "\ncertfile " + m_dir.toLocal8Bit() +
                        "/server.crt\nkeyfile " + m_dir.toLocal8Bit() + "/server.key\n";
            conf += "persistence true\npersistence_location " + m_dir.toLocal8Bit() +
                    "\nuser root\nlog_dest file " + m_dir.toLocal8Bit() + "/broker.log\nlog_type all\n";
            // Both listeners share one password file and the anonymous rule (not per listener).
            writeFile(m_dir + QStringLiteral("/mosquitto.conf"), conf);
            m_proc = std::make_unique<Proc>();
            m_proc->start(QStringLiteral("mosquitto"),
                          {QStringLiteral("-c"), m_dir + QStringLiteral("/mosquitto.conf")});
            const bool up = m_proc->waitFor(
                [&] {
                    bool connected = false;
                    tcpPort(m_port, &connected);
                    return connected;
                },
                60);
            if (up && m_proc->p.state() == QProcess::Running) {
                m_fixed = true;
                return true;
            }
            m_proc->stop();
        }
        return false;
    }
    // SIGTERM: the broker saves its sessions (the subscriber's queue) and publishes the clients' wills.
    void stop() {
        if (m_proc) {
            m_proc->terminate();
            m_proc->finish(60);
            m_proc.reset();
        }
    }
    int port() const { return m_port; }
    int tlsPort() const { return m_tlsPort; }
    QString url() const { return QStringLiteral("mqtt://127.0.0.1:%1").arg(m_port); }

private:
    QString m_dir;
    QString m_passwd;
    int m_port = 0;
    int m_tlsPort = 0;
    bool m_tls = false;
    bool m_fixed = false;
    std::unique_ptr<Proc> m_proc;
};

// mosquitto_sub with a persistent session: what is published while it or the broker is away arrives later.
class Subscriber {
public:
    void start(const Broker& broker, const QString& topic = QStringLiteral("pravex/#"),
               const QStringList& extra = {}) {
        proc.start(QStringLiteral("mosquitto_sub"),
                   QStringList{"-h", "127.0.0.1", "-p", QString::number(broker.port()), "-v", "-q", "1", "-c",
                               "-i", "pravex-test-sub", "-t", topic} +
                       extra);
    }
    // Lines "topic payload" received so far.
    QList<QByteArray> lines() {
        proc.pump(0);
        QList<QByteArray> out = proc.out.split('\n');
        if (!out.isEmpty())
            out.removeLast(); // an incomplete line, or the empty rest
        return out;
    }
    // Counters of the readings on one adapter's topic, in arrival order, duplicates removed.
    QList<qint64> counters(const QByteArray& id) {
        QList<qint64> out;
        const QByteArray prefix = "pravex/" + id + "/reading ";
        for (const QByteArray& l : lines()) {
            if (!l.startsWith(prefix))
                continue;
            const qint64 c = QJsonDocument::fromJson(l.mid(prefix.size())).object()["counter"].toInteger();
            if (!out.contains(c))
                out.append(c);
        }
        return out;
    }
    bool waitCounters(const QByteArray& id, int n, int seconds = 120) {
        return proc.waitFor([&] { return counters(id).size() >= n; }, seconds);
    }
    Proc proc;
};

// 2, 4, ... as the CSV numbers its rows.
inline QList<qint64> evenCounters(qint64 first, qint64 last) {
    QList<qint64> out;
    for (qint64 c = first; c <= last; c += 2)
        out.append(c);
    return out;
}

// mosquitto_sub says nothing when its subscription is in place: probes published until one arrives.
inline bool subscribed(Proc& sub, int port) {
    return sub.waitFor(
        [&] {
            if (sub.out.contains("pravex/probe "))
                return true;
            Proc probe;
            probe.start(QStringLiteral("mosquitto_pub"), {"-h", "127.0.0.1", "-p", QString::number(port),
                                                          "-q", "1", "-t", "pravex/probe", "-m", "1"});
            probe.finish();
            sub.pump(500);
            return sub.out.contains("pravex/probe ");
        },
        60);
}

} // namespace logtest
