#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "MessageLoop.h"

using namespace plat;

namespace {

// Each test owns a fresh thread, so it gets a queue of its own and no state
// leaks between tests; the queue ends with the thread.
void OnFreshThread(const std::function<void()>& body) { std::thread(body).join(); }

void PumpFor(int ms) {
  auto& q = TMessageQueue::Current();
  const uint64_t end = GetTickCount64() + ms;
  for (uint64_t now; (now = GetTickCount64()) < end;) q.ProcessMessages(static_cast<int>(end - now));
}

// Waits generously: the point is the condition, not the time it takes.
bool PumpUntil(const std::function<bool()>& done, int ms = 1500) {
  auto& q = TMessageQueue::Current();
  const uint64_t end = GetTickCount64() + ms;
  while (!done() && GetTickCount64() < end) q.ProcessMessages(10);
  return done();
}

struct Pipe {
  int fd[2] = {-1, -1};
  Pipe() { EXPECT_EQ(::pipe(fd), 0); }
  ~Pipe() {
    for (int f : fd)
      if (f >= 0) ::close(f);
  }
  void Put() { EXPECT_EQ(::write(fd[1], "x", 1), 1); }
  void Take() {
    char c;
    EXPECT_EQ(::read(fd[0], &c, 1), 1);
  }
};

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

TEST(MessageLoopPost, ManySendersRunOnOwnerInPerSenderOrder) {
  OnFreshThread([] {
    auto& q = TMessageQueue::Current();
    const auto owner = std::this_thread::get_id();
    constexpr int kSenders = 4, kEach = 500;
    std::vector<std::vector<int>> seen(kSenders);
    int offThread = 0;
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s)
      senders.emplace_back([&, s] {
        for (int i = 0; i < kEach; ++i)
          q.Post([&, s, i] {
            if (std::this_thread::get_id() != owner) ++offThread;
            seen[s].push_back(i);
          });
      });
    std::thread closer([&] {
      for (auto& t : senders) t.join();
      q.Post([&] { q.Quit(0); });
    });
    EXPECT_EQ(q.Run(), 0);
    closer.join();
    EXPECT_EQ(offThread, 0);
    for (auto& v : seen) {
      ASSERT_EQ(v.size(), size_t(kEach));
      for (int i = 0; i < kEach; ++i) ASSERT_EQ(v[i], i);
    }
  });
}

TEST(MessageLoopQuit, FromOtherThreadEndsRunWithCode) {
  OnFreshThread([] {
    auto& q = TMessageQueue::Current();
    std::thread t([&] {
      SleepMs(50);
      q.Quit(7);
    });
    EXPECT_EQ(q.Run(), 7);
    t.join();
    EXPECT_FALSE(q.QuitRequested());
  });
}

TEST(MessageLoopQuit, RequestedQuitStopsDispatchUntilRunClearsIt) {
  OnFreshThread([] {
    auto& q = TMessageQueue::Current();
    int ran = 0;
    q.Post([&] { ++ran; });
    q.Quit(3);
    EXPECT_FALSE(q.ProcessMessages(0));
    EXPECT_EQ(ran, 0);
    EXPECT_EQ(q.Run(), 3);
    EXPECT_TRUE(q.ProcessMessages(0));
    EXPECT_EQ(ran, 1);
  });
}

// An outside wait polls WakeFd with NextTimeout, so both must show left-over
// work, and neither may show work that is not there.
TEST(MessageLoopPost, WakeFdAndNextTimeoutReportLeftOverWork) {
  OnFreshThread([] {
    auto& q = TMessageQueue::Current();
    auto wakeReadable = [&] {
      pollfd p{q.WakeFd(), POLLIN, 0};
      return ::poll(&p, 1, 0) == 1;
    };
    bool second = false;
    q.Post([&] { q.Post([&] { second = true; }); });
    EXPECT_TRUE(wakeReadable());
    EXPECT_TRUE(q.ProcessMessages(0));
    EXPECT_FALSE(second);  // posted during the pass: left for the next one
    EXPECT_TRUE(wakeReadable());
    EXPECT_EQ(q.NextTimeout(), 0);
    EXPECT_TRUE(q.ProcessMessages(0));
    EXPECT_TRUE(second);
    EXPECT_FALSE(wakeReadable());
    EXPECT_EQ(q.NextTimeout(), -1);
  });
}

TEST(MessageLoopWindow, MessagesArriveInOrderAndDeadWindowsRefuse) {
  OnFreshThread([] {
    std::vector<uintptr_t> got;
    auto w = std::make_unique<TMessageWindow>([&](TMessage& m) {
      EXPECT_EQ(m.Msg, WM_USER + 1);
      got.push_back(m.WParam);
    });
    const HWND h = w->Handle();
    EXPECT_NE(h, 0u);
    for (uintptr_t i = 1; i <= 3; ++i) EXPECT_TRUE(PostMessage(h, WM_USER + 1, i, 0));
    PumpUntil([&] { return got.size() == 3; });
    EXPECT_EQ(got, (std::vector<uintptr_t>{1, 2, 3}));

    // Queued for a window that then goes: dropped, and its handle stays dead.
    EXPECT_TRUE(PostMessage(h, WM_USER + 1, 9, 0));
    w.reset();
    PumpFor(30);
    EXPECT_EQ(got.size(), 3u);
    EXPECT_FALSE(PostMessage(h, WM_USER + 1, 0, 0));
    EXPECT_FALSE(SetTimer(h, 1, 10));
    TMessageWindow next([](TMessage&) {});
    EXPECT_GT(next.Handle(), h);
  });
}

TEST(MessageLoopWindow, DestroyedInsideOwnHandlerGetsNothingMore) {
  OnFreshThread([] {
    int calls = 0;
    std::unique_ptr<TMessageWindow> w;
    w = std::make_unique<TMessageWindow>([&](TMessage&) {
      ++calls;
      w.reset();
    });
    const HWND h = w->Handle();
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(PostMessage(h, WM_USER, 0, 0));
    PumpFor(30);
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(PostMessage(h, WM_USER, 0, 0));
  });
}

TEST(MessageLoopWindow, WindowLeftAtThreadEndIsGone) {
  std::unique_ptr<TMessageWindow> late;
  OnFreshThread([&] { late = std::make_unique<TMessageWindow>([](TMessage&) {}); });
  EXPECT_FALSE(PostMessage(late->Handle(), WM_USER, 0, 0));
  late.reset();  // after its queue: must be harmless
}

TEST(MessageLoopTimer, RepeatsUntilKilled) {
  OnFreshThread([] {
    int ticks = 0;
    HWND h = 0;
    TMessageWindow w([&](TMessage& m) {
      if (m.Msg != WM_TIMER || m.WParam != 42) return;
      if (++ticks == 3) {
        EXPECT_TRUE(KillTimer(h, 42));
      }
    });
    h = w.Handle();
    ASSERT_TRUE(SetTimer(h, 42, 10));
    EXPECT_TRUE(PumpUntil([&] { return ticks >= 3; }));
    PumpFor(100);
    EXPECT_EQ(ticks, 3);
  });
}

TEST(MessageLoopTimer, LateTimerFiresOnceNotOncePerMissedPeriod) {
  OnFreshThread([] {
    int ticks = 0;
    TMessageWindow w([&](TMessage& m) {
      if (m.Msg == WM_TIMER) ++ticks;
    });
    ASSERT_TRUE(SetTimer(w.Handle(), 1, 10));
    SleepMs(120);
    TMessageQueue::Current().ProcessMessages(0);
    EXPECT_EQ(ticks, 1);
  });
}

TEST(MessageLoopNested, InnerPassDeliversEachItemOnce) {
  OnFreshThread([] {
    auto& q = TMessageQueue::Current();
    std::vector<int> log;
    HWND h = 0;
    TMessageWindow w([&](TMessage& m) {
      log.push_back(static_cast<int>(m.WParam));
      if (m.WParam == 1) {
        EXPECT_TRUE(PostMessage(h, WM_USER, 2, 0));
        q.ProcessMessages(0);
        log.push_back(-1);
      }
    });
    h = w.Handle();
    EXPECT_TRUE(PostMessage(h, WM_USER, 1, 0));
    EXPECT_TRUE(PostMessage(h, WM_USER, 3, 0));
    PumpFor(50);
    // 3 was queued before the nested pass, so the nested pass takes it too.
    EXPECT_EQ(log, (std::vector<int>{1, 3, 2, -1}));
  });
}

TEST(MessageLoopNested, BusyTimerNeitherReentersNorSpins) {
  OnFreshThread([] {
    auto& q = TMessageQueue::Current();
    int depth = 0, maxDepth = 0, ticks = 0, innerPasses = 0;
    TMessageWindow w([&](TMessage& m) {
      if (m.Msg != WM_TIMER) return;
      ++ticks;
      maxDepth = std::max(maxDepth, ++depth);
      if (ticks == 1) {
        // Its own timer is overdue the whole time; it must not shorten the wait.
        const uint64_t end = GetTickCount64() + 100;
        while (GetTickCount64() < end) {
          q.ProcessMessages(20);
          ++innerPasses;
        }
      }
      --depth;
    });
    ASSERT_TRUE(SetTimer(w.Handle(), 1, 5));
    EXPECT_TRUE(PumpUntil([&] { return ticks >= 3; }));
    EXPECT_EQ(maxDepth, 1);
    EXPECT_LT(innerPasses, 50);
  });
}

TEST(MessageLoopWatch, FiresOnWriteAndCanRemoveItself) {
  OnFreshThread([] {
    auto& q = TMessageQueue::Current();
    Pipe p;
    int calls = 0, id = 0;
    id = q.AddWatch(p.fd[0], POLLIN, [&](short revents) {
      EXPECT_TRUE(revents & POLLIN);
      ++calls;
      p.Take();
      q.RemoveWatch(id);
    });
    std::thread writer([&] {
      SleepMs(20);
      p.Put();
    });
    EXPECT_TRUE(PumpUntil([&] { return calls == 1; }));
    writer.join();
    p.Put();
    PumpFor(50);
    EXPECT_EQ(calls, 1);
  });
}

TEST(MessageLoopWatch, NestedPassDoesNotReenterRunningCallback) {
  OnFreshThread([] {
    auto& q = TMessageQueue::Current();
    Pipe p;
    int depth = 0, maxDepth = 0, calls = 0, innerPasses = 0;
    int id = q.AddWatch(p.fd[0], POLLIN, [&](short) {
      ++calls;
      maxDepth = std::max(maxDepth, ++depth);
      // Still readable: a nested pass must neither call us nor stop waiting.
      const uint64_t end = GetTickCount64() + 100;
      while (GetTickCount64() < end) {
        q.ProcessMessages(20);
        ++innerPasses;
      }
      p.Take();
      --depth;
    });
    p.Put();
    EXPECT_TRUE(PumpUntil([&] { return calls == 1; }));
    EXPECT_EQ(maxDepth, 1);
    EXPECT_LT(innerPasses, 50);
    q.RemoveWatch(id);
  });
}

TEST(MessageLoopWatch, NestedPassLeavesNoStaleEventsForTheOuterOne) {
  OnFreshThread([] {
    auto& q = TMessageQueue::Current();
    Pipe first, second;
    ASSERT_EQ(::fcntl(second.fd[0], F_SETFL, O_NONBLOCK), 0);
    int secondCalls = 0, emptyReads = 0;
    int a = q.AddWatch(first.fd[0], POLLIN, [&](short) {
      first.Take();
      q.ProcessMessages(0);  // serves the second pipe
    });
    int b = q.AddWatch(second.fd[0], POLLIN, [&](short) {
      ++secondCalls;
      char c;
      if (::read(second.fd[0], &c, 1) != 1) ++emptyReads;
    });
    first.Put();
    second.Put();
    q.ProcessMessages(0);
    EXPECT_EQ(secondCalls, 1);
    EXPECT_EQ(emptyReads, 0);
    q.RemoveWatch(a);
    q.RemoveWatch(b);
  });
}

TEST(TimerComponent, DefaultsAndNonPositiveIntervalsNeverFire) {
  OnFreshThread([] {
    TTimer t;
    EXPECT_STREQ(t.ClassName(), "TTimer");
    EXPECT_TRUE(t.Enabled());
    EXPECT_EQ(t.Interval(), 1000);
    int ticks = 0;
    t.OnTimer = [&](TObject* s) {
      EXPECT_EQ(s, &t);
      ++ticks;
    };
    t.SetInterval(0);
    PumpFor(60);
    t.SetInterval(-5);
    PumpFor(60);
    EXPECT_EQ(ticks, 0);
  });
}

TEST(TimerComponent, IntervalChangeTakesEffect) {
  OnFreshThread([] {
    TTimer t;
    int ticks = 0;
    t.OnTimer = [&](TObject*) { ++ticks; };
    t.SetInterval(5000);
    PumpFor(30);
    t.SetInterval(20);
    EXPECT_TRUE(PumpUntil([&] { return ticks >= 3; }));
  });
}

TEST(TimerComponent, DisableOnOwnerDropsDueTickAndStopsAtOnce) {
  OnFreshThread([] {
    TTimer t;
    int ticks = 0;
    t.SetInterval(10);
    t.OnTimer = [&](TObject*) { ++ticks; };
    SleepMs(40);  // a tick is overdue, not yet dispatched
    t.SetEnabled(false);
    PumpFor(60);
    EXPECT_EQ(ticks, 0);

    t.OnTimer = [&](TObject*) {
      ++ticks;
      t.SetEnabled(false);
    };
    t.SetEnabled(true);
    PumpFor(150);
    EXPECT_EQ(ticks, 1);
  });
}

TEST(TimerComponent, DisableFromOtherThreadLeavesAtMostOneInFlight) {
  OnFreshThread([] {
    TTimer t;
    std::atomic<int> started{0}, afterDisable{-1};
    std::atomic<bool> done{false};
    t.SetInterval(1);
    t.OnTimer = [&](TObject*) {
      ++started;
      SleepMs(1);
    };
    std::thread other([&] {
      for (int i = 0; i < 10; ++i) {
        SleepMs(10);
        t.SetEnabled(i % 2 == 1);
      }
      t.SetEnabled(false);
      afterDisable = started.load();
      done = true;
    });
    PumpUntil([&] { return done.load(); }, 1500);
    PumpFor(100);
    other.join();
    ASSERT_GE(afterDisable.load(), 1);
    EXPECT_LE(started.load() - afterDisable.load(), 1);
  });
}

TEST(TimerComponent, EnableFromOtherThreadWakesBlockedRun) {
  OnFreshThread([] {
    auto& q = TMessageQueue::Current();
    TTimer t;
    t.SetEnabled(false);
    t.SetInterval(20);
    t.OnTimer = [&](TObject*) { q.Quit(1); };
    std::thread enabler([&] {
      SleepMs(30);
      t.SetEnabled(true);
    });
    std::atomic<bool> finished{false};
    std::thread watchdog([&] {
      for (int i = 0; i < 150 && !finished; ++i) SleepMs(10);
      if (!finished) q.Quit(99);
    });
    EXPECT_EQ(q.Run(), 1);
    finished = true;
    enabler.join();
    watchdog.join();
  });
}

TEST(TimerComponent, ReenableRestartsThePeriod) {
  OnFreshThread([] {
    TTimer t;
    uint64_t firedAt = 0;
    t.OnTimer = [&](TObject*) {
      if (!firedAt) firedAt = GetTickCount64();
    };
    t.SetInterval(200);
    SleepMs(100);
    t.SetEnabled(false);
    t.SetEnabled(true);
    const uint64_t restarted = GetTickCount64();
    EXPECT_TRUE(PumpUntil([&] { return firedAt != 0; }));
    EXPECT_GE(firedAt - restarted, 195u);
  });
}

TEST(TimerComponent, DestroyedInsideOnTimerNeverFiresAgain) {
  OnFreshThread([] {
    int ticks = 0;
    auto t = std::make_unique<TTimer>();
    t->SetInterval(5);
    t->OnTimer = [&](TObject*) {
      ++ticks;
      t.reset();
    };
    PumpFor(80);
    EXPECT_EQ(ticks, 1);
  });
}

// A watch that posts to a window of its own thread (the socket reactor does
// so for every event) has the message handled in the same pass, with nothing
// left to wake the queue for; an item still waiting from earlier in the pass
// keeps its place ahead of it.
TEST(MessageLoopWatch, WhatAWatchPostsRunsInTheSamePassBehindOlderItems) {
  OnFreshThread([] {
    auto& q = TMessageQueue::Current();
    std::vector<int> order;
    TMessageWindow w([&](TMessage& m) { order.push_back(static_cast<int>(m.WParam)); });
    Pipe p;
    bool postTaskFirst = false;
    q.AddWatch(p.fd[0], POLLIN, [&](short) {
      p.Take();
      EXPECT_TRUE(PostMessage(w.Handle(), WM_USER, 2, 0));
    });
    auto wakeReadable = [&] {
      pollfd f{q.WakeFd(), POLLIN, 0};
      return ::poll(&f, 1, 0) == 1;
    };

    p.Put();
    EXPECT_TRUE(q.ProcessMessages(1000));
    EXPECT_EQ(order, std::vector<int>{2});
    EXPECT_FALSE(wakeReadable());
    EXPECT_EQ(q.NextTimeout(), -1);

    // A task posted during the pass waits for the next one; the watch's
    // message waits behind it.
    order.clear();
    q.Post([&] {
      postTaskFirst = true;
      EXPECT_TRUE(PostMessage(w.Handle(), WM_USER, 1, 0));
    });
    p.Put();
    EXPECT_TRUE(q.ProcessMessages(0));
    EXPECT_TRUE(postTaskFirst);
    EXPECT_TRUE(order.empty());
    EXPECT_TRUE(wakeReadable());
    EXPECT_TRUE(q.ProcessMessages(0));
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
  });
}
