#include "MqttPublisher.h"

#include <QDir>
#include <QSocketNotifier>
#include <QSysInfo>
#include <QTimer>
#include <future>
#include <mosquitto.h>
#include <mutex>

namespace {

// QoS 1 messages awaiting their PUBACK at once.
constexpr int Window = 200;
constexpr int KeepaliveS = 30;
constexpr int MaxBackoffMs = 5000;
const char* const HaStatusTopic = "homeassistant/status";

void initLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

// The library's sentences end with a full stop; ours go on after them.
QString sentence(const char* text) {
    QString s = QString::fromLocal8Bit(text);
    while (s.endsWith(QLatin1Char('.')))
        s.chop(1);
    return s;
}

QString errText(int rc) {
    return sentence(mosquitto_strerror(rc));
}

} // namespace

bool ParseMqttUrl(const QString& text, MqttSettings* s, QString* error) {
    if (!AddBrokerAddresses(text, &s->brokers, error))
        return false;
    const BrokerAddress& first = s->brokers.first();
    s->url = first.url;
    s->host = first.host;
    s->port = first.port;
    s->tls = first.tls;
    return true;
}

QString DefaultSpoolDir() {
    const QString state = QString::fromLocal8Bit(qgetenv("XDG_STATE_HOME"));
    // Only an absolute path counts, as for every XDG variable.
    const QString base =
        state.startsWith(QLatin1Char('/')) ? state : QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/pravex");
}

MqttPublisher::MqttPublisher(const MqttSettings& settings, const QString& id, const QString& serial,
                             const QString& alias, Poster toThread)
    : m_settings(settings), m_id(id), m_serial(serial), m_alias(alias), m_toThread(std::move(toThread)),
      m_brokers(settings.brokers.isEmpty()
                    ? QList<BrokerAddress>{{settings.url, settings.host, settings.port, settings.tls}}
                    : settings.brokers,
                MaxBackoffMs) {
    const QByteArray base = "pravex/" + id.toUtf8();
    m_readingTopic = base + "/reading";
    m_statusTopic = base + "/status";
    m_stateTopic = base + "/state";
}

MqttPublisher::~MqttPublisher() {
    teardown();
}

bool MqttPublisher::openSpool(QString* error) {
    return m_spool.open(m_settings.spoolDir + QLatin1Char('/') + m_id + QStringLiteral(".spool"),
                        m_settings.spoolMax, error, m_serial);
}

bool MqttPublisher::submit(const Reading& reading, QString* error) {
    const QByteArray json = ReadingJson(reading);
    const bool kept = m_spool.append(json, error);
    if (m_settings.haDiscovery) {
        // Home Assistant reads the latest live sample only: replayed history would look current there.
        post([this, json] {
            m_state = json;
            m_stateSent = false;
            feed();
        });
    } else if (kept) {
        scheduleFeed();
    }
    return kept;
}

void MqttPublisher::scheduleFeed() {
    if (!m_feedQueued.exchange(true))
        post([this] {
            m_feedQueued = false;
            feed();
        });
}

void MqttPublisher::start() {
    initLibrary();
    m_cursor = m_spool.begin();
    const QByteArray clientId =
        ("pravex-log-" + QSysInfo::machineHostName() + QLatin1Char('-') + m_id).toUtf8();
    m_mosq = mosquitto_new(clientId.constData(), true, this);
    if (!m_mosq) {
        report(QStringLiteral("cannot make an MQTT client"));
        return;
    }
    mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_int_option(m_mosq, MOSQ_OPT_SEND_MAXIMUM, Window);
    mosquitto_int_option(m_mosq, MOSQ_OPT_TCP_NODELAY, 1);
    // The broker says "offline" for us when the logger dies or loses the line.
    mosquitto_will_set(m_mosq, m_statusTopic.constData(), 7, "offline", 1, true);
    if (!m_settings.user.isEmpty() || m_settings.hasPassword) {
        const QByteArray user = m_settings.user.toUtf8();
        mosquitto_username_pw_set(m_mosq, user.isEmpty() ? nullptr : user.constData(),
                                  m_settings.hasPassword ? m_settings.password.constData() : nullptr);
    }
    if (m_settings.tls) {
        const QByteArray ca = QFile::encodeName(m_settings.caFile);
        if (ca.isEmpty())
            mosquitto_int_option(m_mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        const int rc = mosquitto_tls_set(m_mosq, ca.isEmpty() ? nullptr : ca.constData(), nullptr, nullptr,
                                         nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS && !ca.isEmpty()) {
            report(QStringLiteral("cannot use the CA file %1: %2").arg(m_settings.caFile, errText(rc)));
            return;
        }
    }
    mosquitto_connect_callback_set(
        m_mosq, [](mosquitto*, void* o, int rc) { static_cast<MqttPublisher*>(o)->onConnect(rc); });
    mosquitto_disconnect_callback_set(
        m_mosq, [](mosquitto*, void* o, int rc) { static_cast<MqttPublisher*>(o)->onDisconnect(rc); });
    mosquitto_publish_callback_set(
        m_mosq, [](mosquitto*, void* o, int mid) { static_cast<MqttPublisher*>(o)->onPublish(mid); });
    mosquitto_message_callback_set(m_mosq, [](mosquitto*, void* o, const mosquitto_message* m) {
        auto* self = static_cast<MqttPublisher*>(o);
        const QByteArray payload(static_cast<const char*>(m->payload), m->payloadlen);
        if (!m->topic)
            return;
        if (self->m_statusTopic == m->topic && payload == "offline") {
            // The will of an older connection (a node that noticed our move late, or a broker that kept
            // a stale one) says offline while we are online.
            QTimer::singleShot(0, self, [self] {
                if (self->m_connected && !self->m_finishing && self->m_mosq) {
                    self->publishRetained(self->m_statusTopic, "online");
                    self->sync();
                }
            });
        } else if (!m->retain && qstrcmp(m->topic, HaStatusTopic) == 0 && payload == "online") {
            // Home Assistant's birth message: it has (re)started and wants the discovery configs. A
            // retained one is old news; the configs went out on connecting.
            QTimer::singleShot(0, self, [self] { self->announce(); });
        }
    });
    mosquitto_log_callback_set(m_mosq, [](mosquitto*, void* o, int level, const char* text) {
        if (level == MOSQ_LOG_ERR && text)
            static_cast<MqttPublisher*>(o)->m_lastLogErr = QString::fromLocal8Bit(text);
    });

    m_misc = std::make_unique<QTimer>();
    m_misc->setInterval(1000);
    connect(m_misc.get(), &QTimer::timeout, this, [this] {
        if (m_mosq)
            mosquitto_loop_misc(m_mosq);
        sync();
    });
    m_misc->start();
    startSyncer();
    m_retry = std::make_unique<QTimer>();
    m_retry->setSingleShot(true);
    connect(m_retry.get(), &QTimer::timeout, this, [this] { connectNow(); });
    connectNow();
}

void MqttPublisher::connectNow() {
    if (!m_mosq || m_done || mosquitto_socket(m_mosq) >= 0)
        return;
    m_lastLogErr.clear();
    const BrokerAddress& node = m_brokers.current();
    // Blocking (name lookup, TCP, TLS), which is why this runs on a thread of its own.
    // The same client object serves every node: it keeps its will and its unacknowledged messages, which
    // it sends again after the next CONNACK, to whichever node that is.
    const int rc = m_tried && m_target == m_brokers.currentIndex()
                       ? mosquitto_reconnect(m_mosq)
                       : mosquitto_connect(m_mosq, node.host.toUtf8().constData(), node.port, KeepaliveS);
    m_tried = true;
    m_target = m_brokers.currentIndex();
    if (rc != MOSQ_ERR_SUCCESS) {
        report(QStringLiteral("cannot reach the MQTT broker %1: %2")
                   .arg(node.url, m_lastLogErr.isEmpty() ? errText(rc) : m_lastLogErr));
    }
    sync();
}

void MqttPublisher::sync() {
    if (!m_mosq)
        return;
    // Out of libmosquitto's callbacks (where a publish is only queued), the window that acknowledgements
    // opened is filled at once rather than after another trip round the event loop.
    if (m_acked) {
        m_acked = false;
        feed();
    }
    const int fd = mosquitto_socket(m_mosq);
    if (fd != m_fd) {
        // The old notifiers go before the event loop polls a closed or reused descriptor.
        m_read.reset();
        m_write.reset();
        m_fd = fd;
        if (fd >= 0) {
            m_read = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
            m_write = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
            connect(m_read.get(), &QSocketNotifier::activated, this, [this] {
                const bool was = m_connected;
                const int rc = mosquitto_loop_read(m_mosq, 1);
                // A refused login is said by onConnect, a lost connection by onDisconnect.
                if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_CONN_REFUSED && rc != MOSQ_ERR_NO_CONN &&
                    !(was && rc == MOSQ_ERR_CONN_LOST)) {
                    const QString why = m_lastLogErr.isEmpty() ? errText(rc) : m_lastLogErr;
                    const QString& url = m_brokers.current().url;
                    report(was ? QStringLiteral("MQTT broker %1: %2").arg(url, why)
                               : QStringLiteral("cannot reach the MQTT broker %1: %2").arg(url, why));
                }
                sync();
            });
            connect(m_write.get(), &QSocketNotifier::activated, this, [this] {
                mosquitto_loop_write(m_mosq, 1);
                sync();
            });
        }
    }
    if (m_write)
        m_write->setEnabled(mosquitto_want_write(m_mosq));
    if (mosquitto_socket(m_mosq) < 0) {
        m_connected = false;
        if (m_finishing) {
            checkFinished();
        } else if (m_retry && !m_retry->isActive()) {
            m_retry->start(m_brokers.failed());
        }
    }
}

void MqttPublisher::startSyncer() {
    // The disk's sync can take long; on this thread it would hold up every reading behind it.
    m_syncer = std::thread([this] {
        bool failing = false;
        std::unique_lock lock(m_syncMutex);
        while (!m_syncStop) {
            m_syncWake.wait_for(lock, std::chrono::seconds(1));
            if (m_syncStop)
                break;
            lock.unlock();
            QString why;
            const bool ok = m_spool.sync(&why);
            if (ok == failing) {
                failing = !ok;
                post([this, ok, why] { spoolSynced(ok, why); });
            }
            lock.lock();
        }
    });
}

void MqttPublisher::stopSyncer() {
    {
        std::lock_guard lock(m_syncMutex);
        m_syncStop = true;
    }
    m_syncWake.notify_all();
    if (m_syncer.joinable())
        m_syncer.join();
}

void MqttPublisher::spoolSynced(bool ok, const QString& why) {
    if (!onMessage)
        return;
    onMessage(ok ? QStringLiteral("the MQTT spool %1 is synced again").arg(m_spool.path())
                 : why + QStringLiteral("; the readings since then may not survive a power cut"));
}

void MqttPublisher::report(const QString& problem) {
    // Said once until the next connection, however often the nodes are tried in turn.
    if (m_said.contains(problem))
        return;
    m_said.append(problem);
    if (onMessage)
        onMessage(problem + QStringLiteral("; readings wait in the spool"));
}

void MqttPublisher::publishRetained(const QByteArray& topic, const QByteArray& payload, int* mid) {
    mosquitto_publish(m_mosq, mid, topic.constData(), int(payload.size()), payload.constData(), 1, true);
}

void MqttPublisher::onConnect(int rc) {
    if (rc != 0) {
        // 3.1.1: the client tries again; a refused login is said once.
        report(QStringLiteral("the MQTT broker %1 refused the connection: %2")
                   .arg(m_brokers.current().url, sentence(mosquitto_connack_string(rc))));
        return;
    }
    m_brokers.connected();
    m_connected = true;
    const QString& url = m_brokers.current().url;
    if (!m_everConnected)
        onMessage(QStringLiteral("publishing to %1 as %2").arg(url, QString::fromUtf8(m_readingTopic)));
    else if (m_lastNode != m_brokers.currentIndex())
        onMessage(QStringLiteral("MQTT: now using broker %1").arg(url));
    else if (!m_said.isEmpty())
        onMessage(QStringLiteral("MQTT broker %1 connected again").arg(url));
    m_said.clear();
    m_everConnected = true;
    m_lastNode = m_brokers.currentIndex();
    // Retained messages may live on one node only (RabbitMQ keeps them per node): every connection
    // brings its own.
    publishRetained(m_statusTopic, "online");
    mosquitto_subscribe(m_mosq, nullptr, m_statusTopic.constData(), 1);
    if (m_settings.haDiscovery) {
        mosquitto_subscribe(m_mosq, nullptr, HaStatusTopic, 1);
        announce();
    }
    // New readings only after libmosquitto has resent the unacknowledged ones, which it does after this.
    scheduleFeed();
}

void MqttPublisher::announce() {
    if (!m_mosq || !m_connected)
        return;
    for (const RetainedMessage& m : HaDiscoveryMessages(m_id, m_serial, m_alias, m_settings.version))
        publishRetained(m.topic, m.payload);
    if (!m_state.isEmpty())
        m_stateSent = false;
    scheduleFeed();
}

void MqttPublisher::onDisconnect(int rc) {
    const bool was = m_connected;
    m_connected = false;
    if (!was || rc == 0 || m_finishing)
        return;
    const QString& url = m_brokers.current().url;
    if (m_brokers.several())
        report(QStringLiteral("MQTT: broker %1 lost (%2); trying %3")
                   .arg(url, errText(rc), m_brokers.next().url));
    else
        report(QStringLiteral("lost the MQTT broker %1").arg(url));
}

void MqttPublisher::onPublish(int mid) {
    if (mid == m_offlineMid) {
        m_offlineAcked = true;
        QTimer::singleShot(0, this, [this] { checkFinished(); });
        return;
    }
    for (InFlight& f : m_inFlight) {
        if (f.mid == mid && !f.done) {
            f.done = true;
            break;
        }
    }
    qint64 end = -1, records = 0;
    while (!m_inFlight.empty() && m_inFlight.front().done) {
        end = m_inFlight.front().end;
        ++records;
        m_inFlight.pop_front();
    }
    if (records > 0)
        m_spool.acknowledge(end, records);
    m_acked = true;
}

void MqttPublisher::feed() {
    if (!m_mosq || !m_connected)
        return;
    if (!m_stateSent && !m_state.isEmpty()) {
        m_stateSent = true;
        publishRetained(m_stateTopic, m_state);
    }
    while (int(m_inFlight.size()) < Window) {
        const QList<Spool::Record> records = m_spool.read(m_cursor, Window - int(m_inFlight.size()));
        if (records.isEmpty())
            break;
        for (const Spool::Record& r : records) {
            int mid = 0;
            const int rc = mosquitto_publish(m_mosq, &mid, m_readingTopic.constData(), int(r.payload.size()),
                                             r.payload.constData(), 1, false);
            // NO_CONN with QoS 1: queued all the same, sent after the reconnect.
            if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN) {
                report(QStringLiteral("cannot publish to %1: %2").arg(m_brokers.current().url, errText(rc)));
                sync();
                return;
            }
            m_inFlight.push_back({mid, r.end, false});
            m_cursor = r.end;
        }
    }
    sync();
    if (m_finishing)
        checkFinished();
}

void MqttPublisher::finish(int graceMs) {
    if (m_finishing || m_done)
        return;
    m_finishing = true;
    m_grace = std::make_unique<QTimer>();
    m_grace->setSingleShot(true);
    connect(m_grace.get(), &QTimer::timeout, this, [this] {
        if (m_connected && m_offlineMid < 0) {
            publishRetained(m_statusTopic, "offline");
            if (m_mosq)
                mosquitto_loop_write(m_mosq, 1);
        }
        teardown();
    });
    m_grace->start(graceMs);
    if (m_retry)
        m_retry->stop();
    feed();
    checkFinished();
}

void MqttPublisher::checkFinished() {
    if (!m_finishing || m_done)
        return;
    if (!m_mosq || !m_connected) {
        teardown();
        return;
    }
    if (!m_inFlight.empty() || m_cursor < m_spool.end())
        return;
    if (m_offlineMid < 0) {
        publishRetained(m_statusTopic, "offline", &m_offlineMid);
        sync();
        return;
    }
    if (m_offlineAcked)
        teardown();
}

void MqttPublisher::teardown() {
    if (m_done)
        return;
    m_done = true;
    stopSyncer();
    m_read.reset();
    m_write.reset();
    m_misc.reset();
    m_retry.reset();
    if (m_grace) {
        m_grace->stop();
        // Not deleted here: this may be its own timeout.
        m_grace.release()->deleteLater();
    }
    if (m_mosq) {
        if (m_connected)
            mosquitto_disconnect(m_mosq);
        mosquitto_destroy(m_mosq);
        m_mosq = nullptr;
    }
    m_connected = false;
    m_spool.close();
    if (onFinished)
        onFinished();
}

MqttHub::MqttHub(const MqttSettings& settings, QObject* parent)
    : QObject(parent), m_settings(settings), m_relay(std::make_shared<Relay>()) {
    initLibrary();
    m_relay->hub = this;
}

MqttHub::~MqttHub() {
    {
        std::lock_guard lock(m_relay->mutex);
        m_relay->hub = nullptr;
    }
    // Normally every client has finished; otherwise it goes now, deleted on its own thread.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (const Client& c : std::as_const(m_clients)) {
        auto gone = std::make_shared<std::promise<void>>();
        MqttPublisher* p = c.publisher;
        c.thread->post([p, gone] {
            p->abort();
            delete p;
            gone->set_value();
        });
        if (gone->get_future().wait_until(deadline) == std::future_status::ready)
            delete c.thread;
        // else: stuck in a blocking connect; left running until the process ends.
    }
}

MqttPublisher* MqttHub::publisher(const QString& id, const QString& serial, const QString& alias,
                                  QString* error) {
    if (m_clients.contains(id))
        return m_clients.value(id).publisher;
    auto* thread = new MqttThread;
    thread->setObjectName(QStringLiteral("mqtt ") + id);
    thread->begin();
    // Made on its thread, so its timers and socket notifiers belong there.
    std::promise<MqttPublisher*> made;
    thread->post([&] {
        auto* p = new MqttPublisher(m_settings, id, serial, alias,
                                    [thread](std::function<void()> task) { thread->post(std::move(task)); });
        if (!p->openSpool(error)) {
            delete p;
            p = nullptr;
        }
        made.set_value(p);
    });
    MqttPublisher* p = made.get_future().get();
    if (!p) {
        delete thread;
        return nullptr;
    }
    m_clients.insert(id, {thread, p});
    ++m_running;
    // Reports come back to this thread through the hub's own inbox.
    const std::shared_ptr<Relay> relay = m_relay;
    p->onMessage = [relay, this](const QString& text) { relay->post([this, text] { emit message(text); }); };
    p->onFinished = [relay, this] { relay->post([this] { publisherEnded(); }); };
    p->post([p] { p->start(); });
    return p;
}

void MqttHub::publisherEnded() {
    if (--m_running == 0 && m_done)
        end();
}

void MqttHub::end() {
    if (m_ended)
        return;
    m_ended = true;
    m_done();
}

void MqttHub::finishAll(int graceMs, std::function<void()> done) {
    m_done = std::move(done);
    if (m_running == 0) {
        m_inbox.post([this] { end(); });
        return;
    }
    for (const Client& c : std::as_const(m_clients)) {
        MqttPublisher* p = c.publisher;
        p->post([p, graceMs] { p->finish(graceMs); });
    }
    // A client stuck in a connection attempt does not hold up the end.
    QTimer::singleShot(graceMs + 3000, this, [this] {
        if (!m_ended) {
            emit message(QStringLiteral("the MQTT broker %1 did not answer in time").arg(m_settings.url));
            end();
        }
    });
}

qint64 MqttHub::pending() const {
    qint64 n = 0;
    for (const Client& c : m_clients)
        n += c.publisher->spool().pending();
    return n;
}

qint64 MqttHub::dropped() const {
    qint64 n = 0;
    for (const Client& c : m_clients)
        n += c.publisher->spool().dropped();
    return n;
}

qint64 MqttHub::failed() const {
    qint64 n = 0;
    for (const Client& c : m_clients)
        n += c.publisher->spool().failed();
    return n;
}
