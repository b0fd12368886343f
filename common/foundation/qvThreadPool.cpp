#include "qvThreadPool.h"

#include "MessageLoop.h"
#include "Synchronization.h"

namespace {

// The worker running on this thread, so Clear can refuse to join itself.
thread_local const TqvWorkerThread* tCurrentWorker = nullptr;

constexpr int kMinCountSetting = 2;
constexpr int kMaxCountSetting = 64;

bool CountSettable(int Value) { return Value >= kMinCountSetting && Value <= kMaxCountSetting; }

}  // namespace

// ---- TqvWorkerThread ----

TqvWorkerThread::TqvWorkerThread(TqvThreadPool* APool) : FPool(APool), FIdleSince(plat::GetTickCount64()) {}

TqvWorkerThread::~TqvWorkerThread() {
  try {
    SignalStop();
  } catch (...) {
  }
  WaitFor();
}

void TqvWorkerThread::Start() { FThread = std::thread(&TqvWorkerThread::ThreadMain, this); }

void TqvWorkerThread::Assign(std::unique_ptr<TqvWorkItem> AItem) {
  Assert(!FBusy.load());
  FBusy = true;
  FPendingItem = std::move(AItem);
  Signal(kWorkSignal);
}

void TqvWorkerThread::SignalStop() {
  Signal(kStopSignal);
}

void TqvWorkerThread::Signal(uint32_t ABit) {
  if (FSignals.fetch_or(ABit, std::memory_order_acq_rel) & kAsleep) plat::WakeByAddressSingle(FSignals);
}

void TqvWorkerThread::WaitFor() noexcept {
  try {
    if (FThread.joinable()) FThread.join();
  } catch (...) {
  }
}

void TqvWorkerThread::ThreadMain() noexcept {
  tCurrentWorker = this;
  try {
    Execute();
  } catch (...) {
    FPool->ReportError(nullptr, this, std::current_exception());
  }
  tCurrentWorker = nullptr;
}

void TqvWorkerThread::Execute() {
  for (;;) {
    {
      uint32_t signals = FSignals.load(std::memory_order_acquire);
      while (!(signals & (kWorkSignal | kStopSignal))) {
        if (!(signals & kAsleep) &&
            !FSignals.compare_exchange_weak(signals, signals | kAsleep, std::memory_order_acq_rel))
          continue;
        plat::WaitOnAddress(FSignals, signals | kAsleep);
        signals = FSignals.load(std::memory_order_acquire);
      }
      // A handed-over item always runs, even when the stop came with it.
      if (!(signals & kWorkSignal)) return;
      FSignals.fetch_and(~(kWorkSignal | kAsleep), std::memory_order_acq_rel);
      FWorkItem = std::move(FPendingItem);
    }
    do {
      RunItem();
    } while (FPool->TakeNextItem(this));
    if (FTerminated.load()) return;
  }
}

void TqvWorkerThread::RunItem() {
  TqvWorkItem* item = FWorkItem.get();
  try {
    FPool->DoRunWorkItem(item, this);
    item->Execute(this);
  } catch (...) {
    FPool->ReportError(item, this, std::current_exception());
  }
  try {
    FPool->DoFinishWorkItem(item, this, FTerminated.load());
  } catch (...) {
    FPool->ReportError(item, this, std::current_exception());
  }
  // Freed here, off the pool lock: it may drop the last reference to a connection.
  FWorkItem.reset();
}

// ---- TqvThreadPool ----

TqvThreadPool::TqvThreadPool(TComponent* AOwner) : TComponent(AOwner) {}

TqvThreadPool::~TqvThreadPool() {
  try {
    Clear();
  } catch (...) {
  }
}

int TqvThreadPool::MinThreadCount() const {
  std::scoped_lock lock(FLock);
  return FMinThreadCount;
}

int TqvThreadPool::MaxThreadCount() const {
  std::scoped_lock lock(FLock);
  return FMaxThreadCount;
}

void TqvThreadPool::SetMinThreadCount(int Value) {
  if (!CountSettable(Value)) return;
  {
    std::scoped_lock lock(FLock);
    if (FMinThreadCount == Value) return;
    FMinThreadCount = Value;
  }
  Changed();
}

void TqvThreadPool::SetMaxThreadCount(int Value) {
  if (!CountSettable(Value)) return;
  {
    std::scoped_lock lock(FLock);
    if (FMaxThreadCount == Value) return;
    FMaxThreadCount = Value;
  }
  Changed();
}

void TqvThreadPool::SetIdleTrimDelay(int Value) {
  if (Value < 0) Value = 0;
  if (FIdleTrimDelay.exchange(Value) != Value) Changed();
}

void TqvThreadPool::SetInitializeCOM(bool Value) {
  if (FInitializeCOM.exchange(Value) != Value) Changed();
}

int TqvThreadPool::WorkerCount() const {
  std::scoped_lock lock(FLock);
  return static_cast<int>(FWorkers.size());
}

int TqvThreadPool::QueuedCount() const {
  std::scoped_lock lock(FLock);
  return static_cast<int>(FQueue.size());
}

int TqvThreadPool::BusyCount() const {
  std::scoped_lock lock(FLock);
  int busy = 0;
  for (const auto& worker : FWorkers) busy += worker->Busy() ? 1 : 0;
  return busy;
}

bool TqvThreadPool::HasSpareWorker() const {
  // Read without the lock: a moment's view is all a caller can use anyway.
  if (FQueuedNow.load(std::memory_order_relaxed) > 0) return false;
  const int workers = FWorkersNow.load(std::memory_order_relaxed);
  return workers < FMaxThreadCount.load(std::memory_order_relaxed) + FBlockedNow.load(std::memory_order_relaxed) ||
         FBusyNow.load(std::memory_order_relaxed) < workers;
}

void TqvThreadPool::CountLocked() {
  FQueuedNow.store(static_cast<int>(FQueue.size()), std::memory_order_relaxed);
  FWorkersNow.store(static_cast<int>(FWorkers.size()), std::memory_order_relaxed);
  int busy = 0;
  for (const auto& worker : FWorkers) busy += worker->Busy() ? 1 : 0;
  FBusyNow.store(busy, std::memory_order_relaxed);
}

std::unique_ptr<TqvWorkerThread> TqvThreadPool::CreateWorkerThread() {
  std::unique_ptr<TqvWorkerThread> thread;
  DoCreateWorkerThread(thread);
  if (!thread) {
    if (FInitializeCOM.load())
      thread = std::make_unique<TqvWorkerThreadCom>(this);
    else
      thread = std::make_unique<TqvWorkerThread>(this);
  }
  return thread;
}

void TqvThreadPool::DoCreateWorkerThread(std::unique_ptr<TqvWorkerThread>& AThread) {
  if (OnCreateWorkerThread) OnCreateWorkerThread(this, AThread);
}

void TqvThreadPool::DoQueueWorkItem(TqvWorkItem* AItem) {
  if (OnQueueWorkItem) OnQueueWorkItem(this, AItem);
}

void TqvThreadPool::DoRunWorkItem(TqvWorkItem* AItem, TqvWorkerThread* AThread) {
  if (OnRunWorkItem) OnRunWorkItem(this, AItem, AThread);
}

void TqvThreadPool::DoFinishWorkItem(TqvWorkItem* AItem, TqvWorkerThread* AThread, bool ATerminated) {
  if (OnFinishWorkItem) OnFinishWorkItem(this, AItem, AThread, ATerminated);
}

void TqvThreadPool::DoWorkItemError(TqvWorkItem* AItem, TqvWorkerThread* AThread, const std::exception& E) {
  // The library does not log: the owner (a server) reports it through its
  // error event; with nobody listening the error is dropped and work goes on.
  if (OnWorkItemError) OnWorkItemError(this, AItem, AThread, E);
}

void TqvThreadPool::ReportError(TqvWorkItem* AItem, TqvWorkerThread* AThread, std::exception_ptr E) noexcept {
  try {
    try {
      std::rethrow_exception(E);
    } catch (const std::exception& x) {
      DoWorkItemError(AItem, AThread, x);
    } catch (...) {
      DoWorkItemError(AItem, AThread, EAssertionFailed());
    }
  } catch (...) {
    // The error hook failed too; nothing is left to tell.
  }
}

TqvWorkerThread* TqvThreadPool::AddWorkerLocked() {
  std::unique_ptr<TqvWorkerThread> thread = CreateWorkerThread();
  Assert(thread && thread->Pool() == this);
  TqvWorkerThread* worker = thread.get();
  FWorkers.push_back(std::move(thread));
  try {
    worker->Start();
  } catch (...) {
    FWorkers.pop_back();
    throw;
  }
  return worker;
}

void TqvThreadPool::ServeQueueLocked() {
  for (auto& worker : FWorkers) {
    if (FQueue.empty()) return;
    if (worker->Busy()) continue;
    worker->Assign(std::move(FQueue.front()));
    FQueue.pop_front();
  }
}

bool TqvThreadPool::TakeNextItem(TqvWorkerThread* AThread) {
  std::scoped_lock lock(FLock);
  if (AThread->FTerminated.load()) return false;
  if (!FQueue.empty()) {
    AThread->FWorkItem = std::move(FQueue.front());
    FQueue.pop_front();
    FQueuedNow.store(static_cast<int>(FQueue.size()), std::memory_order_relaxed);
    return true;
  }
  AThread->FIdleSince = plat::GetTickCount64();
  AThread->FBusy = false;
  FBusyNow.fetch_sub(1, std::memory_order_relaxed);
  return false;
}

void TqvThreadPool::QueueWorkItem(std::unique_ptr<TqvWorkItem> AItem) {
  Assert(AItem != nullptr);
  DoQueueWorkItem(AItem.get());

  std::scoped_lock lock(FLock);
  // The counts are refreshed on every way out, before the lock goes.
  struct TRecount {
    TqvThreadPool* Pool;
    ~TRecount() { Pool->CountLocked(); }
  } recount{this};
  // Any idle worker means the queue is empty, so a direct hand-over keeps order.
  TqvWorkerThread* target = nullptr;
  for (auto& worker : FWorkers) {
    if (!worker->Busy()) {
      target = worker.get();
      break;
    }
  }
  if (!target && static_cast<int>(FWorkers.size()) < WorkerLimitLocked()) target = AddWorkerLocked();
  if (target)
    target->Assign(std::move(AItem));
  else
    FQueue.push_back(std::move(AItem));

  while (static_cast<int>(FWorkers.size()) < FMinThreadCount) AddWorkerLocked();
  // A minimum above the maximum adds workers while items wait.
  ServeQueueLocked();

  // Idle workers never take the pool lock, so joining them here cannot deadlock.
  const size_t count = FWorkers.size();
  const size_t keep = static_cast<size_t>(FMinThreadCount);
  if (count > keep) {
    const uint64_t now = plat::GetTickCount64();
    const auto delay = static_cast<uint64_t>(FIdleTrimDelay.load());
    for (size_t i = count; i-- > keep;) {
      if (FWorkers[i]->Busy()) continue;
      if (delay > 0 && now - FWorkers[i]->FIdleSince < delay) continue;
      FWorkers[i]->SignalStop();
      FWorkers[i]->WaitFor();
      FWorkers.erase(FWorkers.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
}

void TqvThreadPool::Clear() {
  Assert(tCurrentWorker == nullptr || tCurrentWorker->Pool() != this);
  std::deque<std::unique_ptr<TqvWorkItem>> dropped;
  std::vector<std::unique_ptr<TqvWorkerThread>> workers;
  {
    std::scoped_lock lock(FLock);
    dropped.swap(FQueue);
    // Detached from the list, so a QueueWorkItem meanwhile starts fresh workers.
    workers.swap(FWorkers);
    for (auto& worker : workers) {
      worker->FTerminated = true;
      worker->SignalStop();
    }
    CountLocked();
  }
  dropped.clear();
  for (auto& worker : workers) {
    worker->WaitFor();
    worker.reset();
  }
}

TqvThreadPool::TBlockingWait::TBlockingWait(TqvThreadPool& APool) noexcept : FPool(APool), FCounted(false) {
  try {
    std::scoped_lock lock(FPool.FLock);
    if (FPool.FBlocked >= kMaxBlockedWorkers) return;
    ++FPool.FBlocked;
    FCounted = true;
    // An item already waiting gets the room this wait frees at once.
    if (!FPool.FQueue.empty() && static_cast<int>(FPool.FWorkers.size()) < FPool.WorkerLimitLocked()) {
      bool idle = false;
      for (const auto& worker : FPool.FWorkers) idle = idle || !worker->Busy();
      if (!idle) FPool.AddWorkerLocked();
      FPool.ServeQueueLocked();
    }
    FPool.CountLocked();
    FPool.FBlockedNow.store(FPool.FBlocked, std::memory_order_relaxed);
  } catch (...) {
    // No thread to be had: the wait holds its worker like any work.
  }
}

TqvThreadPool::TBlockingWait::~TBlockingWait() {
  if (!FCounted) return;
  std::scoped_lock lock(FPool.FLock);
  --FPool.FBlocked;
  FPool.FBlockedNow.store(FPool.FBlocked, std::memory_order_relaxed);
}
