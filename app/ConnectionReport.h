// What the connection panel says about the session the user started: why its port did not open, or why an
// open line went away. Fed by the serial component's events; nothing to say while all is well.
#pragma once

#include <QString>

class ConnectionReport {
public:
    void started(const QString& port);
    // The user's STOP: the line closing after it is no fault.
    void stopped();
    void error(int code, const QString& description);
    void connected();
    void disconnected();
    // Empty while nothing went wrong since the last START.
    const QString& text() const { return m_text; }

private:
    enum class State { Idle, Opening, Connected };
    State m_state = State::Idle;
    QString m_port;
    QString m_text;
    int m_lastCode = 0;
    QString m_lastError; // what the open line last reported, for the message when it is lost
};
