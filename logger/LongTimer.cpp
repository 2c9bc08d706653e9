#include "LongTimer.h"

#include <algorithm>

LongTimer::LongTimer(QObject* parent, std::chrono::milliseconds maxPiece)
    : QObject(parent), m_maxPiece(std::max(maxPiece, std::chrono::milliseconds(1))) {
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        if (std::chrono::steady_clock::now() >= m_deadline)
            emit timeout();
        else
            arm();
    });
}

void LongTimer::start(std::chrono::duration<double> after) {
    m_deadline =
        std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                               std::max(after, std::chrono::duration<double>::zero()));
    arm();
}

void LongTimer::arm() {
    using namespace std::chrono;
    const auto left = m_deadline - steady_clock::now();
    // Rounded up: a piece that ends a little early only costs one more short piece.
    const milliseconds piece =
        std::min(ceil<milliseconds>(std::max(left, steady_clock::duration::zero())), m_maxPiece);
    m_timer.start(int(piece.count()));
}
