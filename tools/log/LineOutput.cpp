// The writer thread of LineOutput: takes lines under the lock, writes them outside it.
#include "LineOutput.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <unistd.h>

LineOutput::LineOutput(int fd, std::size_t maxQueued) : m_fd(fd), m_max(std::max<std::size_t>(maxQueued, 1)) {
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
        const QByteArray bytes = entry.gap > 0 ? "(" + QByteArray::number(entry.gap) +
                                                     " log lines not shown: standard output was not read)\n"
                                               : entry.bytes;
        m_busy = true;
        lock.unlock();
        qsizetype done = 0;
        bool failed = false;
        while (done < bytes.size()) {
            const ssize_t n = ::write(m_fd, bytes.constData() + done, std::size_t(bytes.size() - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                failed = true;
                break;
            }
            done += n;
        }
        lock.lock();
        m_busy = false;
        if (failed) {
            m_broken = true;
            m_queue.clear();
        }
        if (m_queue.empty())
            m_idle.notify_all();
        if (m_broken)
            return;
    }
}
