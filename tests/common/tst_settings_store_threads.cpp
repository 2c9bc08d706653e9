// The settings store used from several threads of one program at once: each call keeps to its own
// connection, so nothing is shared and nothing is lost.
// labels: unit threaded
#include "SettingsStore.h"
#include "TevTools.h"
#include "common_test_helpers.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

TEST(SettingsStoreThreads, WritersAndReadersInOneProcess) {
    freshStore();
    constexpr int Threads = 4;
    constexpr int PerThread = 150;
    const QString key = QStringLiteral("Software\\Threads");
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&, t] {
            // Not the GUI thread: these writers may wait their turn as long as the store allows.
            const TRegBusyWait patient(pravex::SettingsStore::DefaultBusyTimeoutMs);
            for (int i = 0; i < PerThread; ++i) {
                if (!RegWriteInteger(QStringLiteral("t%1_%2").arg(t).arg(i), i, key))
                    ++failures;
                // Readers see either nothing yet or a whole value, never a torn one.
                const int seen =
                    RegReadInteger(QStringLiteral("t%1_%2").arg((t + 1) % Threads).arg(i), -1, key);
                if (seen != -1 && seen != i)
                    ++failures;
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0);
    pravex::SettingsStore store;
    pravex::SettingsStore::Listing l;
    ASSERT_EQ(store.list(key, &l), pravex::StoreStatus::Ok);
    EXPECT_EQ(l.values.size(), Threads * PerThread);
}
