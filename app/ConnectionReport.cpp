#include "ConnectionReport.h"

#include "common/PortAccessHint.h"

namespace {

QString withRemedy(const QString& message, int code) {
    const QString remedy = PortAccessRemedy(code);
    return remedy.isEmpty() ? message : message + QStringLiteral(" (") + remedy + QLatin1Char(')');
}

} // namespace

void ConnectionReport::started(const QString& port) {
    m_state = State::Opening;
    m_port = port;
    m_text.clear();
    m_lastCode = 0;
    m_lastError.clear();
}

void ConnectionReport::stopped() {
    m_state = State::Idle;
}

void ConnectionReport::error(int code, const QString& description) {
    if (m_state == State::Opening && m_text.isEmpty()) {
        // Only the first: the steps after a failed open add "not yet connected" of their own.
        m_text = withRemedy(QStringLiteral("cannot open %1: %2").arg(m_port, description), code);
    } else if (m_state == State::Connected) {
        m_lastCode = code;
        m_lastError = description;
    }
}

void ConnectionReport::connected() {
    if (m_state != State::Opening)
        return;
    m_state = State::Connected;
    m_text.clear();
}

void ConnectionReport::disconnected() {
    if (m_state == State::Connected) {
        m_text = withRemedy(QStringLiteral("connection to %1 lost: %2")
                                .arg(m_port, m_lastError.isEmpty() ? QStringLiteral("closed") : m_lastError),
                            m_lastCode);
    } else if (m_state == State::Opening && m_text.isEmpty()) {
        m_text = QStringLiteral("cannot open %1").arg(m_port);
    }
    m_state = State::Idle;
}
