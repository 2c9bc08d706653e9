// ThreadDelay over a POSIX named semaphore (count 0, at most 1).
//
// A pause that releases the semaphore every time it ends leaves it signalled when nobody waits, and
// from then on every pause returns at once: an idle worker would spin a core. So a pause first takes
// away a release that nobody consumed, and only a pause that ran its full length releases; one that was
// woken early does not pass the wake-up on, which keeps two idle workers from waking each other forever.
#include "ThreadDelay.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <semaphore.h>
#include <thread>

namespace {

sem_t* OpenSemaphore(const char* name) {
    sem_t* s = sem_open(name, O_CREAT, 0600, 0);
    return s == SEM_FAILED ? nullptr : s;
}

// Opened once for the process: opening and closing it 1000 times a second costs more than the pause.
std::atomic<sem_t*> gSemaphore{nullptr};
std::once_flag gOpened;

sem_t* DelaySemaphore() {
    std::call_once(gOpened, [] {
        if (gSemaphore.load() == nullptr)
            gSemaphore.store(OpenSemaphore(ThreadDelaySemaphoreName));
    });
    return gSemaphore.load();
}

} // namespace

void ThreadDelay(int ms) {
    if (ms < 0)
        ms = 0;
    sem_t* sem = DelaySemaphore();
    if (sem == nullptr) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return;
    }
    while (sem_trywait(sem) == 0) {
    }
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += long(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    int rc;
    do {
        rc = sem_clockwait(sem, CLOCK_MONOTONIC, &deadline);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0 && errno == ETIMEDOUT)
        sem_post(sem);
}

void ThreadDelayUseSemaphore(const char* posixName) {
    std::call_once(gOpened, [] {});
    gSemaphore.store(OpenSemaphore(posixName));
}
