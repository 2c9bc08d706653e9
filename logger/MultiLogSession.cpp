#include "MultiLogSession.h"

#include "ReadingJson.h"
#include "chipwatch/ChipSettings.h"
#include "ftdi/TevFT232a.h"

#include <QCryptographicHash>
#include <QDir>

namespace {

// File systems that ignore case (a memory stick) would make two such names one file.
bool containsName(const QSet<QString>& names, const QString& name) {
    for (const QString& n : names)
        if (n.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

} // namespace

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
    // A refused adapter ends the session: nothing is started after that decision.
    for (int i = 0; i < n && !m_finishing; ++i) {
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
    // Every adapter listed or plugged in counts, ended ones too: a name never depends on who came first.
    QStringList serials = m_options.serials + m_sessions.keys();
    const int n = std::clamp(m_watcher->FListCount, 0, FTOrvakMaxAdapters);
    for (int i = 0; i < n; ++i)
        serials.append(m_watcher->FTOrvakDefListFlags[std::size_t(i)].SerialNumber);
    QString name = StableAdapterName(serial, StoredAliases(), serials);
    // Only an adapter whose serial number is someone's alias in use, plugged in after it, gets here.
    if (containsName(m_names, name)) {
        const QString other = SafeAdapterName(
            serial.left(MaxAdapterNameBytes / 2) + QLatin1Char('-') +
            QString::fromLatin1(
                QCryptographicHash::hash(serial.toUtf8(), QCryptographicHash::Sha256).toHex().left(8)));
        m_err(QStringLiteral("the name %1 is in use; adapter %2 is logged as %3")
                  .arg(EscapeLogText(name), EscapeLogText(serial), EscapeLogText(other)));
        name = other;
    }
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
    --m_running;
    // An adapter that ends by itself with a failure (its spool in use) ends the session as a single
    // adapter's session would end.
    if (code != LogExitOk)
        requestFinish(code);
    // With --count every adapter ends by itself; the session ends with the last one.
    if (m_running == 0 && (m_finishing || m_options.count > 0))
        endAll();
}

void MultiLogSession::requestFinish(int code) {
    if (code != LogExitOk && m_exitCode == LogExitOk)
        m_exitCode = code;
    if (m_finishing)
        return;
    m_finishing = true;
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
