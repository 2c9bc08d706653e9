// The layer's session lock: a second operation from inside the waits of a first one (same thread) is
// refused, a waiting thread gets the layer when it is released, and whole call sequences from two threads
// never interleave on the one handle.
// labels: threaded sim
#include "D2XXUnit.h"
#include "d2xx_helpers.h"

#include <QDeadlineTimer>
#include <QTimer>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

using namespace d2xxtest;

TEST(D2xxSession, ASecondEntryIsRefusedEvenOnTheSameThread) {
    D2xxSession outer(std::try_to_lock);
    ASSERT_TRUE(outer.owns());
    EXPECT_TRUE(D2xxLayerBusy());
    {
        // What a click handled inside the waits of a pulse train would try.
        D2xxSession inner(std::try_to_lock);
        EXPECT_FALSE(inner.owns());
        D2xxSession bounded(std::chrono::milliseconds(30));
        EXPECT_FALSE(bounded);
    }
    outer.release();
    EXPECT_FALSE(D2xxLayerBusy());
    D2xxSession again(std::try_to_lock);
    EXPECT_TRUE(again.owns());
}

TEST(D2xxSession, AWaitingThreadGetsTheLayerOnRelease) {
    auto held = std::make_unique<D2xxSession>();
    std::atomic<bool> got{false};
    std::thread waiter([&] {
        D2xxSession session;
        got = session.owns();
    });
    // The waiter cannot have it while we hold it; it must get it once we let go.
    QTimer::singleShot(50, [&] { held.reset(); });
    EXPECT_TRUE(WaitFor([&] { return got.load(); }));
    waiter.join();
    EXPECT_FALSE(D2xxLayerBusy());
}

TEST(D2xxSession, SequencesFromTwoThreadsNeverInterleave) {
    ASSERT_TRUE(UseSimulator(QStringLiteral("[adapter]\nserial = S1\ntty = ttyUSB0\nua_size = 20\n"
                                            "[adapter]\nserial = S2\ntty = ttyUSB1\n")));
    std::atomic<int> scanFailures{0};
    std::atomic<bool> stop{false};
    // A scan-like thread: open, read the user area, ask for the port, close; many times over.
    std::thread scanner([&] {
        for (int i = 0; i < 200 && !stop; ++i) {
            D2xxSession session;
            D2xxClose();
            if (D2xxOpenBySerial(QStringLiteral("S1")) != FT_OK)
                ++scanFailures;
            if (D2xxGetUserAreaSize() != FT_OK || D2xxReadUserArea() != FT_OK || D2xxUserAreaSize != 20)
                ++scanFailures;
            QString port;
            if (D2xxGetComPortName(port) != FT_OK || port != QStringLiteral("ttyUSB0"))
                ++scanFailures;
            D2xxClose();
        }
    });
    // Line-control-like sequences on this thread: refused while the scanner holds the layer, whole otherwise.
    int done = 0, failures = 0;
    QDeadlineTimer deadline(60000);
    while (done < 50 && !deadline.hasExpired()) {
        D2xxSession session(std::try_to_lock);
        if (!session) {
            std::this_thread::yield();
            continue;
        }
        ++done;
        if (D2xxOpenBySerial(QStringLiteral("S2")) != FT_OK || D2xxSetBitMode(0x04, 1) != FT_OK)
            ++failures;
        D2xxWriteBuffer[0] = 0x04;
        if (D2xxWrite(1) != 1)
            ++failures;
        std::uint8_t pins = 0;
        if (D2xxGetBitMode(pins) != FT_OK || (pins & 0x04) == 0)
            ++failures;
        D2xxSetBitMode(0xFF, 0);
        D2xxClose();
    }
    stop = true;
    scanner.join();
    EXPECT_EQ(scanFailures.load(), 0);
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(done, 50);
}
