// Standard output of the log text, written by a thread of its own: a reader that stops reading (a paused
// pager, a stalled pipe) must never hold up the serial line and the CSV file. Past a bound, lines are
// dropped and the gap is said in the output once it moves again. An output that fails is said once, on
// the trouble callback: after a passing error (a full disk) later lines are tried again and the gap is said
// in the output; after a lasting one (the reader gone, no such descriptor) nothing more is written.
#pragma once

#include <QByteArray>
#include <QString>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class LineOutput {
public:
    // trouble is called on the writer thread, without the lock held, at most once per kind of failure.
    using Trouble = std::function<void(const QString& message)>;
    explicit LineOutput(int fd, std::size_t maxQueued = 20000, Trouble trouble = {});
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
    // Lines that the output refused (not counting those dropped for a stalled reader).
    long long unwritten() const;

private:
    void run();

    // False for a failure that lasts; true when a later write may work.
    bool writeBytes(const QByteArray& bytes, int* err);

    const int m_fd;
    const std::size_t m_max;
    const Trouble m_trouble;
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
    long long m_unwritten = 0;
    // Writer thread only.
    long long m_gapUnwritten = 0; // refused lines not yet said in the output
    bool m_partial = false;       // the last write stopped inside a line
    bool m_saidPassing = false;
    std::thread m_thread;
};
