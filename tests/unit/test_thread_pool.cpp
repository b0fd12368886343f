// The TCP server runs every socket event as a pool item: items must start as
// soon as a worker is free, keep arrival order when they wait, survive a
// throwing item, and the pool must leave no thread or item behind on stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "qvThreadPool.h"

using testsupport::PollUntil;

namespace {

using namespace std::chrono_literals;

// A one-shot gate items block on until the test opens it.
class Gate {
 public:
  void Open() {
    {
      std::scoped_lock lock(FLock);
      FOpen = true;
    }
    FCv.notify_all();
  }
  void Wait() {
    std::unique_lock lock(FLock);
    FCv.wait(lock, [this] { return FOpen; });
  }

 private:
  std::mutex FLock;
  std::condition_variable FCv;
  bool FOpen = false;
};

// Opens the gates when a test leaves early, so the pool (declared after the
// gates, before this) can join its workers.
struct OpenOnExit {
  std::vector<Gate*> Gates;
  ~OpenOnExit() {
    for (Gate* g : Gates) g->Open();
  }
};


class TFnItem : public TqvWorkItem {
 public:
  explicit TFnItem(std::function<void()> Fn, std::atomic<int>* Freed = nullptr)
      : FFn(std::move(Fn)), FFreed(Freed) {}
  ~TFnItem() override {
    if (FFreed) ++*FFreed;
  }
  void Execute(TqvWorkerThread*) override { FFn(); }

 private:
  std::function<void()> FFn;
  std::atomic<int>* FFreed;
};

std::unique_ptr<TqvWorkItem> Item(std::function<void()> Fn, std::atomic<int>* Freed = nullptr) {
  return std::make_unique<TFnItem>(std::move(Fn), Freed);
}

}  // namespace

TEST(ThreadPoolCounts, SettersKeepOnly2To64AndMinimumIsKeptByQueueing) {
  Gate gate;
  TqvThreadPool pool;
  OpenOnExit opener{{&gate}};
  pool.SetMaxThreadCount(1);
  pool.SetMaxThreadCount(65);
  EXPECT_EQ(pool.MaxThreadCount(), 5);
  pool.SetMinThreadCount(3);
  pool.SetMinThreadCount(1);
  EXPECT_EQ(pool.MinThreadCount(), 3);

  pool.QueueWorkItem(Item([] {}));
  EXPECT_EQ(pool.WorkerCount(), 3);

  // A burst grows the pool to the maximum; the next queueing trims it back to
  // the minimum, never below (here at once: no idle delay).
  pool.SetIdleTrimDelay(0);
  std::atomic<int> started{0};
  for (int i = 0; i < 5; ++i)
    pool.QueueWorkItem(Item([&] {
      ++started;
      gate.Wait();
    }));
  ASSERT_TRUE(PollUntil([&] { return started == 5; }));
  EXPECT_EQ(pool.WorkerCount(), 5);
  gate.Open();
  ASSERT_TRUE(PollUntil([&] { return pool.BusyCount() == 0; }));
  pool.QueueWorkItem(Item([] {}));
  EXPECT_EQ(pool.WorkerCount(), 3);
}

// Items that keep arriving a few at a time must find the workers of the
// last burst still there, not start new threads each time; workers idle for
// longer than the delay are still freed by the next queueing.
TEST(ThreadPoolCounts, BurstWorkersOutliveAShortPauseAndGoAfterTheDelay) {
  TqvThreadPool pool;
  pool.SetIdleTrimDelay(1000);
  std::atomic<int> created{0};
  pool.OnCreateWorkerThread = [&](TObject* Sender, std::unique_ptr<TqvWorkerThread>& AThread) {
    ++created;
    AThread = std::make_unique<TqvWorkerThread>(static_cast<TqvThreadPool*>(Sender));
  };
  for (int round = 0; round < 20; ++round) {
    Gate gate;
    OpenOnExit opener{{&gate}};
    std::atomic<int> started{0};
    for (int i = 0; i < 4; ++i)
      pool.QueueWorkItem(Item([&] {
        ++started;
        gate.Wait();
      }));
    ASSERT_TRUE(PollUntil([&] { return started == 4; }));
    gate.Open();
    ASSERT_TRUE(PollUntil([&] { return pool.BusyCount() == 0; }));
  }
  EXPECT_EQ(created, 4) << "a burst's workers are reused";
  EXPECT_EQ(pool.WorkerCount(), 4);

  std::this_thread::sleep_for(1100ms);
  pool.QueueWorkItem(Item([] {}));
  EXPECT_EQ(pool.WorkerCount(), 1);
}

TEST(ThreadPoolLoad, SixthItemWaitsAtMaximumAndRunsWhenAnyWorkerFinishes) {
  Gate gates[5];
  TqvThreadPool pool;
  OpenOnExit opener{{&gates[0], &gates[1], &gates[2], &gates[3], &gates[4]}};
  std::atomic<int> started{0};
  std::atomic<bool> sixthRan{false};
  for (auto& g : gates)
    pool.QueueWorkItem(Item([&] {
      ++started;
      g.Wait();
    }));
  ASSERT_TRUE(PollUntil([&] { return started == 5; }));
  pool.QueueWorkItem(Item([&] { sixthRan = true; }));
  EXPECT_EQ(pool.WorkerCount(), 5);
  EXPECT_EQ(pool.QueuedCount(), 1);

  // Every worker busy and an item waiting: none to spare.
  EXPECT_FALSE(pool.HasSpareWorker());

  // No other worker is idle: the one that finishes must take the item itself.
  gates[2].Open();
  EXPECT_TRUE(PollUntil([&] { return sixthRan.load(); }));
  EXPECT_EQ(pool.WorkerCount(), 5);
  // The worker that ran it is idle again: one to spare.
  EXPECT_TRUE(PollUntil([&] { return pool.HasSpareWorker(); }));
  for (auto& g : gates) g.Open();
  EXPECT_TRUE(PollUntil([&] { return pool.BusyCount() == 0; }));
  EXPECT_TRUE(pool.HasSpareWorker());
  pool.Clear();
  EXPECT_TRUE(pool.HasSpareWorker());  // a cleared pool starts fresh workers
}

TEST(ThreadPoolLoad, WaitingItemsRunInArrivalOrderOnTheFreedWorker) {
  Gate first, second;
  TqvThreadPool pool;
  OpenOnExit opener{{&first, &second}};
  pool.SetMaxThreadCount(2);
  std::atomic<int> started{0};
  pool.QueueWorkItem(Item([&] {
    ++started;
    first.Wait();
  }));
  pool.QueueWorkItem(Item([&] {
    ++started;
    second.Wait();
  }));
  ASSERT_TRUE(PollUntil([&] { return started == 2; }));

  std::mutex lock;
  std::vector<int> order;
  std::set<std::thread::id> threads;
  constexpr int kItems = 50;
  for (int i = 0; i < kItems; ++i)
    pool.QueueWorkItem(Item([&, i] {
      std::scoped_lock l(lock);
      order.push_back(i);
      threads.insert(std::this_thread::get_id());
    }));
  EXPECT_EQ(pool.QueuedCount(), kItems);

  // The other worker stays blocked throughout: the queue must still drain.
  first.Open();
  ASSERT_TRUE(PollUntil([&] {
    std::scoped_lock l(lock);
    return order.size() == kItems;
  }));
  {
    std::scoped_lock l(lock);
    for (int i = 0; i < kItems; ++i) EXPECT_EQ(order[i], i);
    EXPECT_EQ(threads.size(), 1u);
  }
  second.Open();
}

TEST(ThreadPoolErrors, EscapedExceptionIsReportedAndTheWorkerCarriesOn) {
  TqvThreadPool pool;
  std::mutex lock;
  std::vector<std::string> reports;
  std::vector<TqvWorkItem*> reportedItems;
  pool.OnWorkItemError = [&](TObject*, TqvWorkItem* AItem, TqvWorkerThread*, const std::exception& E) {
    std::scoped_lock l(lock);
    reports.push_back(E.what());
    reportedItems.push_back(AItem);
  };
  std::atomic<int> finished{0}, freed{0}, ran{0};
  pool.OnFinishWorkItem = [&](TObject*, TqvWorkItem*, TqvWorkerThread*, bool) { ++finished; };

  auto thrower = Item([] { throw std::runtime_error("disk gone"); }, &freed);
  TqvWorkItem* throwerPtr = thrower.get();
  pool.QueueWorkItem(std::move(thrower));
  pool.QueueWorkItem(Item([] { throw 42; }, &freed));
  for (int i = 0; i < 20; ++i) pool.QueueWorkItem(Item([&] { ++ran; }, &freed));

  ASSERT_TRUE(PollUntil([&] { return freed == 22; }));
  EXPECT_EQ(ran, 20);
  EXPECT_EQ(finished, 22);
  std::scoped_lock l(lock);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_NE(std::find(reports.begin(), reports.end(), "disk gone"), reports.end());
  EXPECT_NE(std::find(reports.begin(), reports.end(), "Assertion failure"), reports.end());
  EXPECT_NE(std::find(reportedItems.begin(), reportedItems.end(), throwerPtr), reportedItems.end());
}

TEST(ThreadPoolStop, ClearDropsQueuedItemsAndWaitsForRunningOnes) {
  Gate gate;
  TqvThreadPool pool;
  OpenOnExit opener{{&gate}};
  pool.SetMaxThreadCount(2);
  std::atomic<int> started{0}, finishedRunning{0}, queuedRan{0}, queuedFreed{0};
  std::atomic<int> terminatedFinishes{0};
  pool.OnFinishWorkItem = [&](TObject*, TqvWorkItem*, TqvWorkerThread*, bool ATerminated) {
    if (ATerminated) ++terminatedFinishes;
  };
  for (int i = 0; i < 2; ++i)
    pool.QueueWorkItem(Item([&] {
      ++started;
      gate.Wait();
      ++finishedRunning;
    }));
  ASSERT_TRUE(PollUntil([&] { return started == 2; }));
  for (int i = 0; i < 3; ++i) pool.QueueWorkItem(Item([&] { ++queuedRan; }, &queuedFreed));

  std::atomic<bool> cleared{false};
  std::thread stopper([&] {
    pool.Clear();
    cleared = true;
  });
  // Queued items go before the running ones are awaited.
  ASSERT_TRUE(PollUntil([&] { return queuedFreed == 3; }));
  EXPECT_FALSE(cleared);
  EXPECT_EQ(pool.WorkerCount(), 0);
  gate.Open();
  stopper.join();
  EXPECT_EQ(finishedRunning, 2);
  EXPECT_EQ(terminatedFinishes, 2);
  EXPECT_EQ(queuedRan, 0);

  // The pool is reused when a server starts again.
  std::atomic<bool> ranAgain{false};
  pool.QueueWorkItem(Item([&] { ranAgain = true; }));
  EXPECT_TRUE(PollUntil([&] { return ranAgain.load(); }));
}

TEST(ThreadPoolStop, ClearFromOwnWorkerIsRefused) {
  TqvThreadPool pool;
  std::atomic<int> outcome{0};
  pool.QueueWorkItem(Item([&] {
    try {
      pool.Clear();
      outcome = 1;
    } catch (const EAssertionFailed&) {
      outcome = 2;
    }
  }));
  ASSERT_TRUE(PollUntil([&] { return outcome != 0; }));
  EXPECT_EQ(outcome, 2);
}

namespace {

class TCountedWorker : public TqvWorkerThread {
 public:
  TCountedWorker(TqvThreadPool* APool, std::atomic<int>& Alive) : TqvWorkerThread(APool), FAlive(Alive) {}

 protected:
  void Execute() override {
    ++FAlive;
    TqvWorkerThread::Execute();
    --FAlive;
  }

 private:
  std::atomic<int>& FAlive;
};

}  // namespace

TEST(ThreadPoolStop, DestructionJoinsEveryWorkerOfTheSuppliedClass) {
  std::atomic<int> alive{0}, created{0}, finished{0}, wrongClass{0};
  Gate gate;
  std::jthread opener;
  {
    TqvThreadPool pool;
    pool.OnCreateWorkerThread = [&](TObject* Sender, std::unique_ptr<TqvWorkerThread>& AThread) {
      ++created;
      AThread = std::make_unique<TCountedWorker>(static_cast<TqvThreadPool*>(Sender), alive);
    };
    pool.OnRunWorkItem = [&](TObject*, TqvWorkItem*, TqvWorkerThread* AThread) {
      if (!dynamic_cast<TCountedWorker*>(AThread)) ++wrongClass;
    };
    for (int i = 0; i < 5; ++i)
      pool.QueueWorkItem(Item([&] {
        gate.Wait();
        ++finished;
      }));
    // Most likely opens while the destructor waits; either way it must wait.
    opener = std::jthread([&] {
      std::this_thread::sleep_for(20ms);
      gate.Open();
    });
    ASSERT_TRUE(PollUntil([&] { return alive == 5; }));
  }
  EXPECT_EQ(created, 5);
  EXPECT_EQ(alive, 0);
  EXPECT_EQ(wrongClass, 0);
  EXPECT_EQ(finished, 5);
}

TEST(ThreadPoolLoad, ManyProducersEveryItemRunsOnceWithinTheMaximum) {
  constexpr int kProducers = 8;
  constexpr int kPerProducer = 1000;
  constexpr int kMax = 4;
  std::vector<std::atomic<int>> runs(kProducers * kPerProducer);
  std::atomic<int> freed{0}, running{0}, peak{0}, overMax{0};
  {
    TqvThreadPool pool;
    pool.SetMinThreadCount(2);
    pool.SetMaxThreadCount(kMax);
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
      producers.emplace_back([&, p] {
        for (int i = 0; i < kPerProducer; ++i)
          pool.QueueWorkItem(Item(
              [&, n = p * kPerProducer + i] {
                int now = ++running;
                for (int seen = peak; now > seen && !peak.compare_exchange_weak(seen, now);) {
                }
                if (pool.WorkerCount() > kMax) ++overMax;
                ++runs[n];
                --running;
              },
              &freed));
      });
    for (auto& t : producers) t.join();
    ASSERT_TRUE(PollUntil([&] { return freed == kProducers * kPerProducer; }));
    EXPECT_GE(pool.WorkerCount(), 2);
  }
  EXPECT_LE(peak, kMax);
  EXPECT_EQ(overMax, 0);
  for (size_t n = 0; n < runs.size(); ++n) ASSERT_EQ(runs[n], 1) << "item " << n;
}

// Workers trimmed or cleared away while producers keep queueing: no item is
// lost or run twice, and an item that Clear drops is freed unrun.
TEST(ThreadPoolStop, TrimAndClearWhileProducersQueueRunOrFreeEveryItemOnce) {
  constexpr int kProducers = 6;
  constexpr int kPerProducer = 2000;
  std::vector<std::atomic<int>> runs(kProducers * kPerProducer);
  std::atomic<int> freed{0};
  {
    TqvThreadPool pool;  // trims idle workers at once
    pool.SetMinThreadCount(2);
    pool.SetMaxThreadCount(8);
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
      producers.emplace_back([&, p] {
        for (int i = 0; i < kPerProducer; ++i) {
          const int n = p * kPerProducer + i;
          pool.QueueWorkItem(Item([&, n] { ++runs[n]; }, &freed));
          if (i % 64 == 0) std::this_thread::yield();
        }
      });
    for (auto& t : producers) t.join();
    ASSERT_TRUE(PollUntil([&] { return freed == kProducers * kPerProducer; }));
  }
  for (size_t n = 0; n < runs.size(); ++n) ASSERT_EQ(runs[n], 1) << "item " << n;

  std::vector<std::atomic<int>> again(kProducers * kPerProducer);
  std::atomic<int> made{0};
  freed = 0;
  {
    TqvThreadPool pool;
    pool.SetMinThreadCount(2);
    pool.SetMaxThreadCount(8);
    std::atomic<bool> go{true};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
      producers.emplace_back([&, p] {
        for (int i = 0; i < kPerProducer && go; ++i) {
          const int n = p * kPerProducer + i;
          ++made;
          pool.QueueWorkItem(Item([&, n] { ++again[n]; }, &freed));
        }
      });
    for (int c = 0; c < 20; ++c) {
      std::this_thread::sleep_for(1ms);
      pool.Clear();
    }
    go = false;
    for (auto& t : producers) t.join();
  }
  // Cleared items are freed unrun; the rest ran once.
  EXPECT_EQ(freed, made);
  for (size_t n = 0; n < again.size(); ++n) ASSERT_LE(again[n], 1) << "item " << n;
}

TEST(ThreadPoolLoad, ItemsWaitingOnAPeerLeaveRoomForTheQueueUpToTheirLimit) {
  Gate gates[2];
  TqvThreadPool pool;
  pool.SetMaxThreadCount(2);
  OpenOnExit opener{{&gates[0], &gates[1]}};
  std::atomic<int> waiting{0};
  std::atomic<int> ran{0};
  // Both workers wait on a peer; an item queued before the second wait
  // began and one queued after both still run.
  pool.QueueWorkItem(Item([&] {
    TqvThreadPool::TBlockingWait blocked(pool);
    ++waiting;
    gates[0].Wait();
  }));
  pool.QueueWorkItem(Item([&] {
    ASSERT_TRUE(PollUntil([&] { return waiting == 1; }));
    // Queued behind this worker, with no worker to spare yet.
    pool.QueueWorkItem(Item([&] { ++ran; }));
    TqvThreadPool::TBlockingWait blocked(pool);
    ++waiting;
    gates[1].Wait();
  }));
  ASSERT_TRUE(PollUntil([&] { return waiting == 2; }));
  EXPECT_TRUE(PollUntil([&] { return ran == 1; }));
  pool.QueueWorkItem(Item([&] { ++ran; }));
  EXPECT_TRUE(PollUntil([&] { return ran == 2; }));
  EXPECT_EQ(pool.BlockedCount(), 2);
  for (auto& g : gates) g.Open();
  EXPECT_TRUE(PollUntil([&] { return pool.BlockedCount() == 0 && pool.BusyCount() == 0; }));
  pool.Clear();
}
