// A single-shot timer of any length. QTimer takes at most an int of milliseconds (24.8 days), so a long
// time is waited out in pieces against a deadline on the steady clock, which wall-clock changes never move.
#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>

class LongTimer : public QObject {
    Q_OBJECT
public:
    explicit LongTimer(QObject* parent = nullptr,
                       std::chrono::milliseconds maxPiece = std::chrono::hours(24));

    void start(std::chrono::duration<double> after);
    void stop() { m_timer.stop(); }
    bool isActive() const { return m_timer.isActive(); }

signals:
    void timeout();

private:
    void arm();

    QTimer m_timer;
    std::chrono::steady_clock::time_point m_deadline;
    const std::chrono::milliseconds m_maxPiece;
};
