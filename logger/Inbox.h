// Work handed to an object on another thread: the tasks wait in a locked queue and Qt's queued call only
// wakes the object. The lock, not Qt's event queue, is what orders the hand-over (which is also what
// ThreadSanitizer can see), as the serial component hands its events over.
#pragma once

#include <QMetaObject>
#include <QObject>
#include <functional>
#include <mutex>
#include <vector>

class Inbox {
public:
    // slot: a Q_INVOKABLE of target that calls run().
    Inbox(QObject* target, const char* slot) : m_target(target), m_slot(slot) {}

    // Any thread.
    void post(std::function<void()> task) {
        // The wake-up is posted under the lock too: the target cannot run (and end) before it is posted.
        std::lock_guard lock(m_mutex);
        const bool wake = m_tasks.empty();
        m_tasks.push_back(std::move(task));
        if (wake)
            QMetaObject::invokeMethod(m_target, m_slot, Qt::QueuedConnection);
    }
    // The target's thread.
    void run() {
        std::vector<std::function<void()>> tasks;
        {
            std::lock_guard lock(m_mutex);
            tasks.swap(m_tasks);
        }
        for (auto& task : tasks)
            task();
    }

private:
    QObject* m_target;
    const char* m_slot;
    std::mutex m_mutex;
    std::vector<std::function<void()>> m_tasks;
};
