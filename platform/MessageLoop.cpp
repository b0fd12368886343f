#include "MessageLoop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "SysError.h"

// Lock order: TTimer state, then the window registry, then a queue's mutex.
// No user code runs under any of them; handlers are copied out first.

namespace plat {

uint64_t GetTickCount64() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

uint32_t GetTickCount() { return static_cast<uint32_t>(GetTickCount64()); }

namespace {

[[noreturn]] void ThrowLastOSError() {
  uint32_t code = SetLastErrorFromErrno();
  throw EOSError(code, SysErrorMessage(code));
}

// The queue's wake-up descriptor: a counter that is readable while non-zero.
class TEventFd {
 public:
  TEventFd() : FFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (FFd < 0) ThrowLastOSError();
  }
  ~TEventFd() { ::close(FFd); }
  TEventFd(const TEventFd&) = delete;
  TEventFd& operator=(const TEventFd&) = delete;

  int Fd() const { return FFd; }
  // Every signal writes: skipping writes behind a flag loses wake-ups when a
  // drain and a signal race.
  void Signal() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(FFd, &one, sizeof one);
  }
  // Before the queue is read, so anything posted after it signals again.
  void Drain() {
    uint64_t value = 0;
    [[maybe_unused]] ssize_t n = ::read(FFd, &value, sizeof value);
  }

 private:
  int FFd;
};

using TimerKey = std::pair<HWND, uintptr_t>;

struct TimerEntry {
  uint64_t interval = 0;
  uint64_t due = 0;
};

// A posted task (Window == 0) or a message for a window.
struct Item {
  uint64_t seq = 0;
  HWND window = 0;
  TMessage message;
  std::function<void()> task;
};

struct Watch {
  int id = 0;
  int fd = -1;
  short events = 0;
  bool busy = false;
  std::shared_ptr<std::function<void(short)>> cb;
  uint64_t lastPoll = 0;  // the poll whose events it was last called for
};

}  // namespace

struct TMessageQueue::Impl {
  TEventFd wake;
  std::thread::id owner = std::this_thread::get_id();

  mutable std::mutex mutex;  // guards items, nextSeq, timers, busyTimers
  std::deque<Item> items;
  uint64_t nextSeq = 1;
  std::map<TimerKey, TimerEntry> timers;
  // Timers whose WM_TIMER is being dispatched; kept apart from the entries
  // so a kill-and-set inside the handler cannot make it fire into itself.
  std::set<TimerKey> busyTimers;

  std::atomic<bool> quit{false};
  std::atomic<int> quitCode{0};

  // Owner thread only.
  std::vector<Watch> watches;
  int nextWatchId = 1;
  uint64_t pollCount = 0;
  // Passes under way on the owner thread; while one runs, the owner's own
  // posts wake nobody (the thread is awake) and signal once at its end if
  // they are still waiting then.
  int passDepth = 0;
  bool signalDue = false;

  // After queuing an item: wakes the owner, or notes that its pass must.
  void Wake() {
    if (passDepth > 0 && std::this_thread::get_id() == owner)
      signalDue = true;
    else
      wake.Signal();
  }

  void CheckOwner() const { Assert(std::this_thread::get_id() == owner); }

  // -1 when no timer can fire; busy timers are left out so a nested wait
  // inside a timer handler does not spin on its own timer.
  int NextTimerLocked(uint64_t now) const {
    uint64_t best = UINT64_MAX;
    for (const auto& [key, t] : timers) {
      if (t.due < best && !busyTimers.contains(key)) best = t.due;
    }
    if (best == UINT64_MAX) return -1;
    if (best <= now) return 0;
    return static_cast<int>(std::min<uint64_t>(best - now, INT_MAX));
  }

  bool Deliver(HWND window, TMessage message);
  // Only when the first waiting item is at least seq from.
  void DispatchItems(uint64_t from = 0);
  void DispatchTimers();
  void DispatchWatches(uint64_t pollNo, const std::vector<pollfd>& fds,
                       const std::vector<int>& ids);
};

namespace {

struct WindowEntry {
  TMessageQueue::Impl* queue = nullptr;
  std::shared_ptr<TMessageWindow::Handler> handler;
};

struct Registry {
  std::mutex mutex;
  std::unordered_map<HWND, WindowEntry> windows;
  HWND next = 1;
};

Registry& Windows() {
  static Registry r;
  return r;
}

}  // namespace

// The handler is looked up at delivery, so a window destroyed after the
// message was queued never sees it. False when the window is gone.
bool TMessageQueue::Impl::Deliver(HWND window, TMessage message) {
  std::shared_ptr<TMessageWindow::Handler> handler;
  {
    Registry& reg = Windows();
    std::scoped_lock lk(reg.mutex);
    auto it = reg.windows.find(window);
    if (it == reg.windows.end() || it->second.queue != this) return false;
    handler = it->second.handler;
  }
  // The copy keeps the handler alive if it destroys its own window.
  (*handler)(message);
  return true;
}

// Only items queued before this pass began, so a task that posts itself
// again cannot keep the loop here. Items are taken one at a time, so a
// nested pass never sees an item this one already took.
void TMessageQueue::Impl::DispatchItems(uint64_t from) {
  uint64_t limit;
  {
    std::scoped_lock lk(mutex);
    if (!items.empty() && items.front().seq < from) return;
    limit = nextSeq;
  }
  while (!quit.load()) {
    Item item;
    {
      std::scoped_lock lk(mutex);
      if (items.empty() || items.front().seq >= limit) return;
      item = std::move(items.front());
      items.pop_front();
    }
    if (item.window == 0) {
      if (item.task) item.task();
    } else {
      Deliver(item.window, item.message);
    }
  }
}

// A late timer fires once and its period restarts from now; otherwise the
// next due time follows the previous one, so the period does not drift.
void TMessageQueue::Impl::DispatchTimers() {
  const uint64_t now = GetTickCount64();
  while (!quit.load()) {
    TimerKey key;
    {
      std::scoped_lock lk(mutex);
      auto it = timers.begin();
      for (; it != timers.end(); ++it) {
        if (it->second.due <= now && !busyTimers.contains(it->first)) break;
      }
      if (it == timers.end()) return;
      key = it->first;
      TimerEntry& t = it->second;
      t.due += t.interval;
      if (t.due <= now) t.due = now + t.interval;
      busyTimers.insert(key);
    }
    struct BusyGuard {
      Impl* q;
      TimerKey key;
      ~BusyGuard() {
        std::scoped_lock lk(q->mutex);
        q->busyTimers.erase(key);
      }
    } guard{this, key};
    if (!Deliver(key.first, TMessage{WM_TIMER, key.second, 0})) {
      std::scoped_lock lk(mutex);
      timers.erase(key);
    }
  }
}

void TMessageQueue::Impl::DispatchWatches(uint64_t pollNo, const std::vector<pollfd>& fds,
                                          const std::vector<int>& ids) {
  auto find = [this](int id) -> Watch* {
    for (Watch& w : watches)
      if (w.id == id) return &w;
    return nullptr;
  };
  for (size_t i = 1; i < fds.size() && !quit.load(); ++i) {
    if (fds[i].revents == 0) continue;
    const int id = ids[i];
    Watch* w = find(id);
    // Gone, or already called by a nested pass whose poll is newer than
    // ours: our events are stale and a read now might block.
    if (!w || w->lastPoll > pollNo) continue;
    w->busy = true;
    w->lastPoll = pollNo;
    auto cb = w->cb;
    struct BusyGuard {
      decltype(find)& f;
      int id;
      ~BusyGuard() {
        if (Watch* w = f(id)) w->busy = false;
      }
    } guard{find, id};
    (*cb)(fds[i].revents);
  }
}

TMessageQueue::TMessageQueue() : FImpl(std::make_unique<Impl>()) {}

TMessageQueue::~TMessageQueue() {
  // Windows left behind stop existing with their queue; their handlers are
  // freed outside the lock.
  std::vector<std::shared_ptr<TMessageWindow::Handler>> orphans;
  Registry& reg = Windows();
  std::scoped_lock lk(reg.mutex);
  for (auto it = reg.windows.begin(); it != reg.windows.end();) {
    if (it->second.queue == FImpl.get()) {
      orphans.push_back(std::move(it->second.handler));
      it = reg.windows.erase(it);
    } else {
      ++it;
    }
  }
}

TMessageQueue& TMessageQueue::Current() {
  thread_local TMessageQueue queue;
  return queue;
}

void TMessageQueue::Post(std::function<void()> task) {
  {
    std::scoped_lock lk(FImpl->mutex);
    FImpl->items.push_back(Item{FImpl->nextSeq++, 0, {}, std::move(task)});
  }
  FImpl->Wake();
}

void TMessageQueue::Quit(int code) {
  FImpl->quitCode.store(code);
  FImpl->quit.store(true);
  FImpl->wake.Signal();
}

bool TMessageQueue::QuitRequested() const { return FImpl->quit.load(); }

int TMessageQueue::Run() {
  FImpl->CheckOwner();
  while (ProcessMessages(-1)) {
  }
  int code = FImpl->quitCode.load();
  FImpl->quit.store(false);
  return code;
}

bool TMessageQueue::ProcessMessages(int timeoutMs) {
  Impl& q = *FImpl;
  q.CheckOwner();
  if (q.quit.load()) return false;

  int wait = timeoutMs;
  {
    std::scoped_lock lk(q.mutex);
    if (!q.items.empty()) {
      wait = 0;
    } else {
      int t = q.NextTimerLocked(GetTickCount64());
      if (t >= 0 && (wait < 0 || t < wait)) wait = t;
    }
  }

  // Slot 0 is the wake-up descriptor; busy watches are left out so a nested
  // pass does not call a callback that is still running.
  std::vector<pollfd> fds{{q.wake.Fd(), POLLIN, 0}};
  std::vector<int> ids{0};
  for (const Watch& w : q.watches) {
    if (w.busy) continue;
    fds.push_back({w.fd, w.events, 0});
    ids.push_back(w.id);
  }
  const uint64_t pollNo = ++q.pollCount;
  if (::poll(fds.data(), fds.size(), wait) < 0) {
    if (errno != EINTR) ThrowLastOSError();
    for (pollfd& p : fds) p.revents = 0;
  }
  if (fds[0].revents) q.wake.Drain();

  struct PassGuard {
    Impl& q;
    explicit PassGuard(Impl& AQueue) : q(AQueue) { ++q.passDepth; }
    ~PassGuard() {
      if (--q.passDepth > 0 || !q.signalDue) return;
      q.signalDue = false;
      bool waiting;
      {
        std::scoped_lock lk(q.mutex);
        waiting = !q.items.empty();
      }
      if (waiting) q.wake.Signal();
    }
  } pass(q);
  q.DispatchItems();
  q.DispatchTimers();
  uint64_t watchesFrom;
  {
    std::scoped_lock lk(q.mutex);
    watchesFrom = q.nextSeq;
  }
  q.DispatchWatches(pollNo, fds, ids);
  // What the watches posted (socket events) runs in this pass, when nothing
  // older is waiting, so it costs no second poll.
  q.DispatchItems(watchesFrom);
  // Work left over was posted after the drain, so it has signalled again.
  return !q.quit.load();
}

int TMessageQueue::WakeFd() const { return FImpl->wake.Fd(); }

int TMessageQueue::NextTimeout() const {
  std::scoped_lock lk(FImpl->mutex);
  if (!FImpl->items.empty()) return 0;
  return FImpl->NextTimerLocked(GetTickCount64());
}

int TMessageQueue::AddWatch(int fd, short events, std::function<void(short revents)> cb) {
  FImpl->CheckOwner();
  int id = FImpl->nextWatchId++;
  FImpl->watches.push_back(
      Watch{id, fd, events, false, std::make_shared<std::function<void(short)>>(std::move(cb))});
  return id;
}

void TMessageQueue::RemoveWatch(int id) {
  FImpl->CheckOwner();
  std::erase_if(FImpl->watches, [id](const Watch& w) { return w.id == id; });
}

TMessageWindow::TMessageWindow(Handler handler) {
  TMessageQueue::Impl* queue = TMessageQueue::Current().FImpl.get();
  auto h = std::make_shared<Handler>(std::move(handler));
  Registry& reg = Windows();
  std::scoped_lock lk(reg.mutex);
  FHandle = reg.next++;
  reg.windows.emplace(FHandle, WindowEntry{queue, std::move(h)});
}

TMessageWindow::~TMessageWindow() {
  std::shared_ptr<Handler> handler;  // freed after the locks are released
  Registry& reg = Windows();
  std::scoped_lock lk(reg.mutex);
  auto it = reg.windows.find(FHandle);
  if (it == reg.windows.end()) return;  // its queue already ended
  handler = std::move(it->second.handler);
  TMessageQueue::Impl* q = it->second.queue;
  reg.windows.erase(it);
  const HWND self = FHandle;
  std::scoped_lock ql(q->mutex);
  std::erase_if(q->timers, [self](const auto& t) { return t.first.first == self; });
  std::erase_if(q->items, [self](const Item& i) { return i.window == self; });
}

namespace {

// Runs fn(queue) with the window's queue locked in the registry, so the
// window cannot go meanwhile; false (invalid handle) when it is gone.
template <typename Fn>
bool WithWindowQueue(HWND hWnd, Fn fn) {
  Registry& reg = Windows();
  std::scoped_lock lk(reg.mutex);
  auto it = reg.windows.find(hWnd);
  if (it == reg.windows.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  fn(*it->second.queue);
  return true;
}

}  // namespace

bool PostMessage(HWND hWnd, uint32_t Msg, uintptr_t WParam, intptr_t LParam) {
  return WithWindowQueue(hWnd, [&](TMessageQueue::Impl& q) {
    {
      std::scoped_lock ql(q.mutex);
      q.items.push_back(Item{q.nextSeq++, hWnd, TMessage{Msg, WParam, LParam}, {}});
    }
    q.Wake();
  });
}

bool SetTimer(HWND hWnd, uintptr_t id, uint32_t elapseMs) {
  return WithWindowQueue(hWnd, [&](TMessageQueue::Impl& q) {
    {
      const uint64_t interval = std::max<uint32_t>(elapseMs, 1);
      std::scoped_lock ql(q.mutex);
      q.timers[{hWnd, id}] = TimerEntry{interval, GetTickCount64() + interval};
    }
    // The owner's poll may be waiting with a longer timeout.
    q.wake.Signal();
  });
}

bool KillTimer(HWND hWnd, uintptr_t id) {
  return WithWindowQueue(hWnd, [&](TMessageQueue::Impl& q) {
    std::scoped_lock ql(q.mutex);
    q.timers.erase({hWnd, id});
  });
}

// The mutex orders setters from different threads, so the window timer
// always matches the last Enabled/Interval written.
struct TTimer::State {
  std::mutex mutex;
  std::atomic<bool> enabled{true};
  std::atomic<int> interval{1000};
  HWND window = 0;  // guarded by mutex; 0 once the timer is being destroyed
};

namespace {
constexpr uintptr_t kTimerId = 1;
}

TTimer::TTimer(TComponent* AOwner)
    : TComponent(AOwner),
      FState(std::make_shared<State>()),
      FWindow(std::make_unique<TMessageWindow>([this](TMessage& m) { HandleMessage(m); })) {
  std::scoped_lock lk(FState->mutex);
  FState->window = FWindow->Handle();
  Update();
}

TTimer::~TTimer() {
  {
    std::scoped_lock lk(FState->mutex);
    FState->enabled.store(false);
    FState->window = 0;
  }
  FWindow.reset();
}

bool TTimer::Enabled() const { return FState->enabled.load(); }

void TTimer::SetEnabled(bool value) {
  std::scoped_lock lk(FState->mutex);
  if (FState->enabled.load() == value) return;
  FState->enabled.store(value);
  Update();
}

int TTimer::Interval() const { return FState->interval.load(); }

void TTimer::SetInterval(int value) {
  std::scoped_lock lk(FState->mutex);
  if (FState->interval.load() == value) return;
  FState->interval.store(value);
  Update();
}

// Caller holds the state mutex.
void TTimer::Update() {
  if (FState->window == 0) return;
  const int interval = FState->interval.load();
  if (FState->enabled.load() && interval > 0)
    (void)SetTimer(FState->window, kTimerId, static_cast<uint32_t>(interval));
  else
    (void)KillTimer(FState->window, kTimerId);
}

void TTimer::HandleMessage(TMessage& m) {
  if (m.Msg != WM_TIMER || m.WParam != kTimerId) return;
  // Checked again here: a tick may have been picked up just before a disable.
  if (!FState->enabled.load() || FState->interval.load() <= 0) return;
  // A copy, so OnTimer may destroy this timer; nothing of it is touched after.
  TNotifyEvent cb = OnTimer;
  if (cb) cb(this);
}

}  // namespace plat
