// Standard output of the log text, written by a thread of its own: a reader that stops reading (a paused
// pager, a stalled pipe) must never hold up the serial line and the CSV file. Past a bound, lines are
// dropped and the gap is said in the output once it moves again.
#pragma once

#include <QByteArray>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>

class LineOutput {
public:
    explicit LineOutput(int fd, std::size_t maxQueued = 20000);
    // Writes what is queued and joins the writer, which may wait for the reader: the program's own
    // output is therefore never destroyed, only drained with a bound before the process ends.
    ~LineOutput();
    LineOutput(const LineOutput&) = delete;
    LineOutput& operator=(const LineOutput&) = delete;

    // One line (its line end added). Never blocks on the reader.
    void write(const QByteArray& line);
    // Waits at most ms until every queued line is written; true when they are.
    bool drain(int ms);
    long long dropped() const;

private:
    void run();

    const int m_fd;
    const std::size_t m_max;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    // A line, or (gap > 0) the place of that many dropped lines.
    struct Entry {
        QByteArray bytes;
        long long gap = 0;
    };
    std::deque<Entry> m_queue;
    long long m_dropped = 0;
    bool m_busy = false; // the writer holds a line outside the queue
    bool m_stop = false;
    bool m_broken = false; // the reader is gone: nothing more is written
    std::thread m_thread;
};
