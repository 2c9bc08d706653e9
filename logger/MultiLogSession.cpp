#include "MultiLogSession.h"

#include "ReadingJson.h"
#include "chipwatch/ChipSettings.h"
#include "ftdi/TevFT232a.h"

#include <QDir>

MultiLogSession::MultiLogSession(const LogOptions& options, LogSession::Writer out, LogSession::Writer err,
                                 QObject* parent)
    : QObject(parent), m_options(options), m_out(std::move(out)), m_err(std::move(err)) {
    connect(&m_waitTimer, &LongTimer::timeout, this, [this] {
        if (m_sessions.isEmpty()) {
            m_err(QStringLiteral("no adapter found within %1 s").arg(m_options.waitSec));
            requestFinish(LogExitNoAdapter);
        }
    });
    connect(&m_durationTimer, &LongTimer::timeout, this, [this] { requestFinish(LogExitOk); });
}

MultiLogSession::~MultiLogSession() {
    // The adapter sessions use the watcher and the hub: they go first.
    qDeleteAll(m_sessions);
    m_sessions.clear();
}

bool MultiLogSession::start() {
    if (!m_options.csvDir.isEmpty() && !QDir().mkpath(m_options.csvDir)) {
        m_err(QStringLiteral("cannot create the folder ") + m_options.csvDir);
        m_exitCode = LogExitCsv;
        return false;
    }
    if (!m_options.mqtt.url.isEmpty()) {
        m_hub = std::make_unique<MqttHub>(m_options.mqtt);
        connect(m_hub.get(), &MqttHub::message, this, [this](const QString& text) { m_err(text); });
    }
    m_watcher = new TTevFT232a(this);
    m_watcher->OnDetectUSB = [this](QObject*, bool, TFTOrvakDefListFlags&, int&, QString&, const QString&) {
        onDetect();
    };
    m_watcher->SetActive(true);
    m_err(
        m_options.serials.isEmpty()
            ? QStringLiteral("waiting for FTDI adapters")
            : QStringLiteral("waiting for the adapters %1").arg(EscapeLogText(m_options.serials.join(", "))));
    if (m_options.waitSec > 0)
        m_waitTimer.start(std::chrono::duration<double>(m_options.waitSec));
    if (m_options.durationSec > 0)
        m_durationTimer.start(std::chrono::duration<double>(m_options.durationSec));
    return true;
}

void MultiLogSession::onDetect() {
    if (m_finishing)
        return;
    const int n = std::clamp(m_watcher->FListCount, 0, FTOrvakMaxAdapters);
    for (int i = 0; i < n; ++i) {
        const auto& r = m_watcher->FTOrvakDefListFlags[std::size_t(i)];
        const bool usable =
            !r.SerialNumber.isEmpty() && !r.ComPort.isEmpty() && r.ComPort != QLatin1String("COM?");
        if (usable && !m_sessions.contains(r.SerialNumber) &&
            (m_options.serials.isEmpty() || m_options.serials.contains(r.SerialNumber)))
            addAdapter(r.SerialNumber);
    }
    // Copied first: a session may end (and be counted) while it is told.
    const QList<LogSession*> sessions = m_sessions.values();
    for (LogSession* s : sessions)
        if (s)
            s->adapterReport();
}

void MultiLogSession::addAdapter(const QString& serial) {
    const QString alias = chipwatch::ReadAlias(serial);
    // A name safe as one file name and as one topic level; the device's bytes never reach the terminal raw.
    QString name = AdapterTopicId(serial, alias, QString());
    // Two adapters given the same alias must not share a file, a topic and a spool.
    if (m_names.contains(name))
        name = AdapterTopicId(serial, QString(), QString());
    m_names.insert(name);
    const QString tag = QLatin1Char('[') + EscapeLogText(name) + QStringLiteral("] ");
    LogOptions o = m_options;
    o.all = false;
    o.serials.clear();
    o.followSerial = serial;
    o.adapterId = name;
    o.durationSec = 0; // the whole session's
    o.waitSec = 0;
    if (!m_options.csvDir.isEmpty())
        o.csvPath = m_options.csvDir + QLatin1Char('/') + name + QStringLiteral(".csv");
    auto* session = new LogSession(
        o, [this, tag](const QString& text) { m_out(tag + text); },
        [this, tag](const QString& text) { m_err(tag + text); }, this);
    session->share(m_watcher, m_hub.get());
    m_sessions.insert(serial, session);
    m_waitTimer.stop();
    if (!session->start()) {
        // Its file is refused (an existing one without --append, another logger's) or its spool is in
        // use: a mistake in how the session was started, ended as a single adapter's session ends.
        m_sessions.insert(serial, nullptr);
        session->deleteLater();
        requestFinish(session->exitCode());
        return;
    }
    ++m_running;
    connect(session, &LogSession::finished, this, [this, serial](int code) { adapterEnded(serial, code); });
}

void MultiLogSession::adapterEnded(const QString&, int code) {
    if (code != LogExitOk && m_exitCode == LogExitOk)
        m_exitCode = code;
    --m_running;
    // With --count every adapter ends by itself; the session ends with the last one.
    if (m_running == 0 && (m_finishing || m_options.count > 0))
        endAll();
}

void MultiLogSession::requestFinish(int code) {
    if (m_finishing)
        return;
    m_finishing = true;
    if (code != LogExitOk && m_exitCode == LogExitOk)
        m_exitCode = code;
    m_waitTimer.stop();
    m_durationTimer.stop();
    if (m_running == 0) {
        QTimer::singleShot(0, this, [this] { endAll(); });
        return;
    }
    for (LogSession* s : std::as_const(m_sessions))
        if (s)
            s->requestFinish(LogExitOk);
}

void MultiLogSession::endAll() {
    if (m_ended)
        return;
    m_ended = true;
    m_finishing = true;
    if (!m_hub) {
        emit finished(m_exitCode);
        return;
    }
    m_hub->finishAll(m_options.mqttGraceMs, [this] {
        ReportMqttEnd(*m_hub, &m_exitCode, m_err);
        emit finished(m_exitCode);
    });
}
