// The waiting calls form one line. The caller whose call is not done yet dispatches the events that are
// due, then sleeps a few milliseconds or until the running call's worker says it is done. It does not rely
// on posted events reaching it: a wait that began inside a posted event's handler does not get them.
// The GUI thread joins a worker before anything reads what it left, so the join is the hand-over.
#include "GuiCallQueue.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <chrono>

namespace {

// Longest the GUI thread sleeps between two rounds of events while a call runs.
constexpr std::chrono::milliseconds EventRound{2};

bool onGuiThread() {
    QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

} // namespace

TGuiCallQueue::~TGuiCallQueue() {
    // Every caller holds the queue until its call is done: a worker left here has ended its work.
    if (FRunning && FRunning->worker.joinable())
        FRunning->worker.join();
}

bool TGuiCallQueue::Run(const std::shared_ptr<TGuiCallQueue>& queue, TCall call) {
    if (!queue || queue->FClosed)
        return false;
    // The argument may be the owner's own member, gone with the owner while this call waits.
    const std::shared_ptr<TGuiCallQueue> q = queue;
    auto entry = std::make_shared<TEntry>();
    entry->call = std::move(call);
    q->FWaiting.push_back(entry);
    q->StartNext();
    while (!entry->done) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (entry->done)
            break;
        {
            std::unique_lock lock(q->FWakeLock);
            q->FWake.wait_for(lock, EventRound, [&] { return q->FRunning && q->FRunning->workDone.load(); });
        }
        q->TakeFinished();
    }
    return entry->ran;
}

void TGuiCallQueue::StartNext() {
    while (!FRunning && !FWaiting.empty()) {
        std::shared_ptr<TEntry> entry = FWaiting.front();
        FWaiting.pop_front();
        if (entry->call.begin && !entry->call.begin()) {
            Finish(entry, false);
            continue;
        }
        if (!onGuiThread()) {
            if (entry->call.work)
                entry->call.work();
            if (entry->call.end)
                entry->call.end(FClosed);
            Finish(entry, true);
            continue;
        }
        FRunning = entry;
        TEntry* raw = entry.get();
        entry->worker = std::thread([this, raw] {
            if (raw->call.work)
                raw->call.work();
            {
                std::lock_guard lock(FWakeLock);
                raw->workDone = true;
            }
            FWake.notify_all();
        });
    }
}

void TGuiCallQueue::TakeFinished() {
    if (!FRunning || !FRunning->workDone)
        return;
    std::shared_ptr<TEntry> entry = std::move(FRunning);
    FRunning.reset();
    entry->worker.join();
    if (entry->call.end)
        entry->call.end(FClosed);
    Finish(entry, true);
    StartNext();
}

void TGuiCallQueue::Finish(const std::shared_ptr<TEntry>& entry, bool ran) {
    entry->ran = ran;
    entry->done = true;
    // What the call's closures hold (a layer session among them) goes now, not when its caller returns.
    entry->call = {};
}

void TGuiCallQueue::Close() {
    FClosed = true;
    std::deque<std::shared_ptr<TEntry>> dropped;
    dropped.swap(FWaiting);
    for (const auto& entry : dropped)
        Finish(entry, false);
}
