// The worker's pause on the named semaphore: it lasts its duration even after earlier pauses, and one
// that runs out releases another waiting at the same time.
// labels: threaded
#include "serial/ThreadDelay.h"

#include <QElapsedTimer>
#include <atomic>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

// A name of its own, so that pauses of other test programs running alongside cannot cut ours short.
class ThreadDelayTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Name = "/pravex-test-delay-" + std::to_string(getpid());
        ThreadDelayUseSemaphore(Name.c_str());
    }
    static void TearDownTestSuite() { sem_unlink(Name.c_str()); }
    static std::string Name;
};
std::string ThreadDelayTest::Name;

} // namespace

TEST_F(ThreadDelayTest, PausesLastTheirDurationAfterEarlierPauses) {
    ThreadDelay(1);
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 50; ++i)
        ThreadDelay(2);
    EXPECT_GE(clock.elapsed(), 100);
}

TEST_F(ThreadDelayTest, APauseThatRunsOutReleasesAWaitingOne) {
    std::atomic<bool> longDone{false};
    QElapsedTimer clock;
    clock.start();
    std::thread longPause([&] {
        ThreadDelay(60000);
        longDone = true;
    });
    while (!longDone.load() && clock.elapsed() < 30000)
        ThreadDelay(5);
    longPause.join();
    EXPECT_LT(clock.elapsed(), 30000);
}

TEST_F(ThreadDelayTest, ZeroAndNegativePausesReturn) {
    ThreadDelay(0);
    ThreadDelay(-5);
    SUCCEED();
}
