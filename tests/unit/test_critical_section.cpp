// The spinning, re-entrant critical section: exclusion under contention,
// re-entry by its owner, and sleepers that are woken.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "Synchronization.h"

TEST(CriticalSection, ThreadsNeverOverlapAndTheOwnerMayEnterAgain) {
  // Spinning only, and sleeping at once: both paths must exclude.
  for (int spin : {100000, 0}) {
    plat::TCriticalSection cs(spin);
    std::atomic<int> inside{0};
    int overlaps = 0;
    long long total = 0;  // guarded by cs
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
      threads.emplace_back([&] {
        for (int i = 0; i < 20000; ++i) {
          std::scoped_lock outer(cs);
          if (inside.fetch_add(1) != 0) ++overlaps;
          {
            std::scoped_lock again(cs);  // re-entry must not deadlock
            ++total;
          }
          inside.fetch_sub(1);
        }
      });
    for (auto& th : threads) th.join();
    EXPECT_EQ(overlaps, 0) << spin;
    EXPECT_EQ(total, 8 * 20000) << spin;
  }
}

TEST(CriticalSection, ASleepingWaiterGetsItAfterALongHoldAndTryLockFailsMeanwhile) {
  plat::TCriticalSection cs(10);
  std::atomic<bool> got{false};
  cs.lock();
  cs.lock();
  std::thread waiter([&] {
    EXPECT_FALSE(cs.try_lock());
    std::scoped_lock lock(cs);
    got = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(got.load());
  cs.unlock();  // still held once
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(got.load());
  cs.unlock();
  waiter.join();
  EXPECT_TRUE(got.load());
  EXPECT_TRUE(cs.try_lock());
  cs.unlock();
}
