// Calls made on the GUI thread that must not overlap, yet must not freeze the windows: each call's slow
// part runs on a thread of its own while the GUI thread keeps dispatching events. A call made meanwhile
// (from a timer, a click, a report) waits for its turn, dispatching events meanwhile, after every call
// made before it, and so sees what they left, as if its caller had waited for them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class TGuiCallQueue {
public:
    struct TCall {
        // GUI thread, when the call's turn comes: reads what the work needs; false skips the work.
        std::function<bool()> begin;
        // Off the GUI thread (in place when the queue is used from another thread).
        std::function<void()> work;
        // GUI thread, right after the work; ownerGone: Close came meanwhile, the owner must not be touched.
        std::function<void(bool ownerGone)> end;
    };

    TGuiCallQueue() = default;
    ~TGuiCallQueue();
    TGuiCallQueue(const TGuiCallQueue&) = delete;
    TGuiCallQueue& operator=(const TGuiCallQueue&) = delete;

    // Returns when the call has had its turn: true when its work ran. The queue lives at least as long.
    static bool Run(const std::shared_ptr<TGuiCallQueue>& queue, TCall call);
    // The owner goes: calls still waiting return false without running, a running one ends with ownerGone.
    void Close();

private:
    struct TEntry {
        TCall call;
        std::thread worker;
        std::atomic<bool> workDone{false};
        bool done = false;
        bool ran = false;
    };
    // Joins the running call's worker when its work is done, ends the call and starts the next one.
    void TakeFinished();
    void StartNext();
    void Finish(const std::shared_ptr<TEntry>& entry, bool ran);

    std::deque<std::shared_ptr<TEntry>> FWaiting;
    std::shared_ptr<TEntry> FRunning;
    bool FClosed = false;
    // The worker's "done" for a GUI thread that waits between two rounds of events.
    std::mutex FWakeLock;
    std::condition_variable FWake;
};
