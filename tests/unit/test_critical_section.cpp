// The spinning, re-entrant critical section: exclusion under contention,
// re-entry by its owner, and sleepers that are woken.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Synchronization.h"
#include "TestSupport.h"

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

namespace {

// The scheduler's state letter of one of this process's threads ('S' while
// it sleeps in a wait), or 0 when it cannot be read.
char SchedulerState(pid_t ATid) {
  std::ifstream f("/proc/self/task/" + std::to_string(ATid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  const size_t close = stat.rfind(')');  // the name may hold blanks and parentheses
  return close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : 0;
}

}  // namespace

TEST(CriticalSection, ASleepingWaiterGetsItAfterALongHoldAndTryLockFailsMeanwhile) {
  plat::TCriticalSection cs(10);
  std::atomic<bool> got{false};
  // Whether another thread could take it now (and let it go again).
  const auto freeForOthers = [&] {
    bool took = false;
    std::thread([&] {
      took = cs.try_lock();
      if (took) cs.unlock();
    }).join();
    return took;
  };
  cs.lock();
  cs.lock();
  EXPECT_FALSE(freeForOthers());
  cs.unlock();  // still held once
  EXPECT_FALSE(freeForOthers());
  std::atomic<pid_t> waiterId{0};
  std::thread waiter([&] {
    EXPECT_FALSE(cs.try_lock());
    waiterId = static_cast<pid_t>(::syscall(SYS_gettid));
    std::scoped_lock lock(cs);
    got = true;
  });
  // Past its spins and asleep in the kernel: the waiter that must be woken.
  ASSERT_TRUE(testsupport::PollUntil([&] { return waiterId.load() != 0 && SchedulerState(waiterId.load()) == 'S'; }));
  EXPECT_FALSE(got.load());
  cs.unlock();
  waiter.join();
  EXPECT_TRUE(got.load());
  EXPECT_TRUE(cs.try_lock());
  cs.unlock();
}
