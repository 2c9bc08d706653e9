// The writer thread of LineOutput: takes lines under the lock, writes them outside it.
#include "LineOutput.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace {

// Failures after which no later write can work.
bool lasting(int err) {
    return err == EPIPE || err == EBADF || err == EINVAL || err == ECONNRESET;
}

} // namespace

LineOutput::LineOutput(int fd, std::size_t maxQueued, Trouble trouble)
    : m_fd(fd), m_max(std::max<std::size_t>(maxQueued, 1)), m_trouble(std::move(trouble)) {
    m_thread = std::thread([this] { run(); });
}

LineOutput::~LineOutput() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void LineOutput::write(const QByteArray& line) {
    {
        std::lock_guard lock(m_mutex);
        if (m_broken)
            return;
        if (m_queue.size() >= m_max) {
            // The gap keeps its place among the lines: after those queued before it.
            ++m_dropped;
            if (m_queue.back().gap > 0)
                ++m_queue.back().gap;
            else
                m_queue.push_back({{}, 1});
            return;
        }
        m_queue.push_back({line + '\n', 0});
    }
    m_wake.notify_one();
}

bool LineOutput::drain(int ms) {
    std::unique_lock lock(m_mutex);
    return m_idle.wait_for(lock, std::chrono::milliseconds(ms),
                           [this] { return m_broken || (m_queue.empty() && !m_busy); });
}

long long LineOutput::dropped() const {
    std::lock_guard lock(m_mutex);
    return m_dropped;
}

long long LineOutput::unwritten() const {
    std::lock_guard lock(m_mutex);
    return m_unwritten;
}

bool LineOutput::writeBytes(const QByteArray& bytes, int* err) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.constData() + done, std::size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A descriptor someone made non-blocking: waited on as a blocking one would be.
            pollfd p{m_fd, POLLOUT, 0};
            ::poll(&p, 1, -1);
            continue;
        }
        *err = n < 0 ? errno : EIO;
        m_partial = m_partial || done > 0;
        return false;
    }
    m_partial = false;
    return true;
}

void LineOutput::run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stop || !m_queue.empty(); });
        if (m_queue.empty()) {
            m_idle.notify_all();
            return; // stopping with nothing left
        }
        Entry entry = std::move(m_queue.front());
        m_queue.pop_front();
        m_busy = true;
        lock.unlock();

        const long long lines = entry.gap > 0 ? entry.gap : 1;
        QByteArray bytes = entry.gap > 0 ? "(" + QByteArray::number(entry.gap) +
                                               " log lines not shown: standard output was not read)\n"
                                         : entry.bytes;
        if (m_gapUnwritten > 0)
            bytes.prepend("(" + QByteArray::number(m_gapUnwritten) +
                          " log lines not written: standard output failed)\n");
        if (m_partial)
            bytes.prepend('\n'); // the rest of a line cut short is not written: start afresh
        int err = 0;
        const bool written = writeBytes(bytes, &err);
        QString report;
        if (written) {
            m_gapUnwritten = 0;
        } else {
            m_gapUnwritten += lines;
            const QString why = QString::fromLocal8Bit(std::strerror(err));
            if (lasting(err))
                report = QStringLiteral("standard output fails (%1); no more log lines are written to it, "
                                        "the CSV goes on")
                             .arg(why);
            else if (!m_saidPassing)
                report = QStringLiteral("standard output fails (%1); log lines are dropped until it can be "
                                        "written again, the CSV goes on")
                             .arg(why);
            m_saidPassing = m_saidPassing || !lasting(err);
        }
        if (!report.isEmpty() && m_trouble)
            m_trouble(report);

        lock.lock();
        m_busy = false;
        if (!written) {
            m_unwritten += lines;
            if (lasting(err)) {
                m_broken = true;
                m_queue.clear();
            }
        }
        if (m_queue.empty())
            m_idle.notify_all();
        if (m_broken)
            return;
    }
}
