// Publishing one adapter's readings to an MQTT broker without losing any while the broker is away: each
// reading goes to the adapter's spool first; a window of them at a time is handed to libmosquitto (QoS 1)
// and a reading leaves the spool only when the broker has acknowledged it. Readings go out in order; after
// a reconnect or a restart some may go out twice (at least once).
//
// The MQTT side runs on a thread of its own (MqttHub), driven by its event loop, so a slow or distant
// broker never holds up the port or the CSV file.
#pragma once

#include "BrokerList.h"
#include "Inbox.h"
#include "ReadingJson.h"
#include "Spool.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

struct mosquitto;
class QSocketNotifier;
class QTimer;

struct MqttSettings {
    QList<BrokerAddress> brokers; // the nodes of one site, tried in turn
    // The first of them.
    QString url;
    QString host;
    int port = 0;
    bool tls = false;
    QString user;
    QByteArray password;
    bool hasPassword = false;
    QString caFile;
    QString spoolDir;
    qint64 spoolMax = 1000000;
    bool haDiscovery = false;
    QString version;
};

// mqtt://host[:port] (1883) or mqtts://host[:port] (8883); IPv6 addresses in brackets; several separated
// by commas. Each call adds to the settings' brokers.
bool ParseMqttUrl(const QString& url, MqttSettings* settings, QString* error);
// $XDG_STATE_HOME/pravex, else ~/.local/state/pravex.
QString DefaultSpoolDir();

class MqttPublisher : public QObject {
    Q_OBJECT
public:
    using Poster = std::function<void(std::function<void()>)>;
    // Made on the MQTT thread; toThread hands tasks to it from any thread.
    MqttPublisher(const MqttSettings& settings, const QString& id, const QString& serial,
                  const QString& alias, Poster toThread);
    ~MqttPublisher() override;

    bool openSpool(QString* error);
    // Any thread: spools the reading and wakes the sender. False when it is not kept (the spool is full
    // or failing; error set for a failure).
    bool submit(const Reading& reading, QString* error);

    const QString& id() const { return m_id; }
    Spool& spool() { return m_spool; }

    // Any thread: runs task on the MQTT thread.
    void post(std::function<void()> task) { m_toThread(std::move(task)); }
    // Where the publisher's reports go (to the hub's thread); set before start().
    std::function<void(const QString& message)> onMessage;
    std::function<void()> onFinished;

    // On the MQTT thread.
    void start();
    // Sends what it can within graceMs, marks the adapter offline, disconnects; then onFinished.
    void finish(int graceMs);
    // Drops the connection at once (the broker sends the will).
    void abort() { teardown(); }

private:
    struct InFlight {
        int mid;
        qint64 end;
        bool done;
    };

    void connectNow();
    void sync();
    void scheduleFeed();
    void feed();
    void onConnect(int rc);
    void onDisconnect(int rc);
    void onPublish(int mid);
    void report(const QString& problem);
    void startSyncer();
    void stopSyncer();
    void spoolSynced(bool ok, const QString& why);
    void announce();
    void publishRetained(const QByteArray& topic, const QByteArray& payload, int* mid = nullptr);
    void checkFinished();
    void teardown();

    MqttSettings m_settings;
    QString m_id;
    QString m_serial;
    QString m_alias;
    QByteArray m_readingTopic;
    QByteArray m_statusTopic;
    QByteArray m_stateTopic;
    Spool m_spool;
    Poster m_toThread;
    std::atomic<bool> m_feedQueued{false};

    // Pushes the spool to the disk every second, on a thread of its own.
    std::thread m_syncer;
    std::mutex m_syncMutex;
    std::condition_variable m_syncWake;
    bool m_syncStop = false;

    // MQTT thread only.
    mosquitto* m_mosq = nullptr;
    std::unique_ptr<QSocketNotifier> m_read;
    std::unique_ptr<QSocketNotifier> m_write;
    std::unique_ptr<QTimer> m_misc;
    std::unique_ptr<QTimer> m_retry;
    std::unique_ptr<QTimer> m_grace;
    int m_fd = -1;
    BrokerRotation m_brokers;
    int m_target = -1;   // the node the client was last pointed at
    int m_lastNode = -1; // the node of the last connection
    bool m_tried = false;
    bool m_connected = false;
    bool m_everConnected = false;
    bool m_finishing = false;
    bool m_done = false;
    int m_offlineMid = -1;
    bool m_offlineAcked = false;
    QStringList m_said;   // problems reported since the last connection
    QString m_lastLogErr; // libmosquitto's last error text (TLS details)
    std::deque<InFlight> m_inFlight;
    bool m_acked = false; // by the packets just read
    qint64 m_cursor = 0;
    QByteArray m_state; // the latest sample for pravex/ID/state
    bool m_stateSent = true;
};

// The MQTT thread. Everything on it is made there and reached only through its inbox, whose lock orders
// the hand-over (Qt's event queue alone would leave ThreadSanitizer blind to it).
class MqttWorker : public QObject {
    Q_OBJECT
public:
    Inbox inbox{this, "runInbox"};
    Q_INVOKABLE void runInbox() { inbox.run(); }
};

class MqttThread : public QThread {
public:
    ~MqttThread() override {
        // Asked through the inbox, so everything handed over before is ordered before the end.
        if (m_worker)
            post([this] { quit(); });
        wait();
    }
    // Starts the thread and waits for its worker.
    void begin() {
        start();
        m_worker = m_ready.get_future().get();
    }
    void post(std::function<void()> task) { m_worker->inbox.post(std::move(task)); }

protected:
    void run() override {
        MqttWorker worker;
        m_ready.set_value(&worker);
        exec();
    }

private:
    std::promise<MqttWorker*> m_ready;
    MqttWorker* m_worker = nullptr;
};

// One MQTT thread per adapter, so that a connection attempt that blocks (a broker that does not answer)
// holds up no other adapter and never the session's thread.
class MqttHub : public QObject {
    Q_OBJECT
public:
    explicit MqttHub(const MqttSettings& settings, QObject* parent = nullptr);
    // Waits a few seconds at most for the clients to go; a client stuck in a connection attempt is left
    // to the end of the process.
    ~MqttHub() override;

    // The adapter's publisher, made and started on first use. Null (error set) when its spool cannot be
    // used. message() gets the publishers' reports on the hub's thread.
    MqttPublisher* publisher(const QString& id, const QString& serial, const QString& alias, QString* error);
    // Every publisher finishes within graceMs, then done() on the hub's thread; a few seconds later at
    // most, whether or not a publisher is stuck.
    void finishAll(int graceMs, std::function<void()> done);

    // Readings waiting in the spools, those that did not fit, and those the disk did not take.
    qint64 pending() const;
    qint64 dropped() const;
    qint64 failed() const;

    Q_INVOKABLE void runInbox() { m_inbox.run(); }

signals:
    void message(const QString& text);

private:
    struct Client {
        MqttThread* thread;
        MqttPublisher* publisher;
    };
    // The way back to the hub from the MQTT threads, cut when the hub goes.
    struct Relay {
        std::mutex mutex;
        MqttHub* hub = nullptr;
        void post(std::function<void()> task) {
            std::lock_guard lock(mutex);
            if (hub)
                hub->m_inbox.post(std::move(task));
        }
    };
    void publisherEnded();
    void end();

    Inbox m_inbox{this, "runInbox"};
    MqttSettings m_settings;
    std::shared_ptr<Relay> m_relay;
    QHash<QString, Client> m_clients;
    int m_running = 0;
    std::function<void()> m_done;
    bool m_ended = false;
};
