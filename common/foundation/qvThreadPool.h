// Worker thread pool: runs work items on between MinThreadCount and
// MaxThreadCount std::thread workers, first-in first-out when all are busy.
// The pool owns an item from QueueWorkItem until it has run or Clear drops it;
// an item may hold shared_ptr references (server connections) that it drops
// when freed. A worker that finishes takes the queue head itself, so no item
// waits while a worker idles. An exception escaping an item or an event goes to
// OnWorkItemError (dropped when unset) and the worker carries on. Surplus
// workers are freed when an item is queued, once idle for IdleTrimDelay.
// QueueWorkItem and Clear may be called from any thread, Clear never from one of
// this pool's own workers (assertion). Set properties and events before the
// first QueueWorkItem. The pool lock is a leaf: OnCreateWorkerThread runs under
// it and must not call back into the pool. A subclass overriding the Do*
// hooks must call Clear in its own destructor.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ClassCore.h"

class TqvThreadPool;
class TqvWorkerThread;

// One unit of work. Execute runs on a worker without the pool lock; the item is
// freed on that worker right after it ran.
class TqvWorkItem : public TObject {
 public:
  VX_CLASS_NAME("TqvWorkItem")
  virtual void Execute(TqvWorkerThread* AThread) = 0;
};

// A worker of one pool. The pool creates, starts and deletes it; deleting it
// stops the thread and waits for the item it is running.
class TqvWorkerThread : public TObject {
 public:
  explicit TqvWorkerThread(TqvThreadPool* APool);
  ~TqvWorkerThread() override;
  TqvWorkerThread(const TqvWorkerThread&) = delete;
  TqvWorkerThread& operator=(const TqvWorkerThread&) = delete;
  VX_CLASS_NAME("TqvWorkerThread")

  TqvThreadPool* Pool() const { return FPool; }
  // Set while an item is assigned or running; written under the pool lock.
  bool Busy() const { return FBusy.load(); }
  // The item being run; valid on this worker's own thread inside Execute.
  TqvWorkItem* WorkItem() const { return FWorkItem.get(); }
  // Set once the pool told the worker to end (Clear).
  bool Terminated() const { return FTerminated.load(); }

 protected:
  // The thread body: the work loop. An override must call the base.
  virtual void Execute();

 private:
  friend class TqvThreadPool;
  void Start();
  void Assign(std::unique_ptr<TqvWorkItem> AItem);  // pool lock held
  void SignalStop();
  void WaitFor() noexcept;
  void ThreadMain() noexcept;
  void RunItem();

  TqvThreadPool* FPool;
  std::atomic<bool> FBusy{false};
  // Tick (ms) at which the worker last became idle; written under the pool lock.
  uint64_t FIdleSince = 0;
  std::unique_ptr<TqvWorkItem> FWorkItem;
  std::atomic<bool> FTerminated{false};
  // The work and stop "events" as bits of one word the worker waits on: the
  // work bit is consumed on wake-up, the stop bit stays. The worker marks the
  // word before it sleeps, so a signal costs a system call only then.
  static constexpr uint32_t kWorkSignal = 1, kStopSignal = 2, kAsleep = 4;
  void Signal(uint32_t ABit);
  std::atomic<uint32_t> FSignals{0};
  // Handed over by the work bit (written before it is set).
  std::unique_ptr<TqvWorkItem> FPendingItem;
  std::thread FThread;
};

// Kept so configuration that asks for COM initialisation still works; there is
// nothing to initialise here.
class TqvWorkerThreadCom : public TqvWorkerThread {
 public:
  using TqvWorkerThread::TqvWorkerThread;
  VX_CLASS_NAME("TqvWorkerThreadCom")
};

using TqvCreateWorkerThreadEvent =
    std::function<void(TObject* Sender, std::unique_ptr<TqvWorkerThread>& AThread)>;
using TqvWorkItemEvent = std::function<void(TObject* Sender, TqvWorkItem* AItem)>;
using TqvRunWorkItemEvent = std::function<void(TObject* Sender, TqvWorkItem* AItem, TqvWorkerThread* AThread)>;
using TqvFinishWorkItemEvent =
    std::function<void(TObject* Sender, TqvWorkItem* AItem, TqvWorkerThread* AThread, bool ATerminated)>;
// AItem is null when the worker loop itself failed. E is the escaped exception,
// or an EAssertionFailed standing in for one not derived from std::exception.
using TqvWorkItemErrorEvent =
    std::function<void(TObject* Sender, TqvWorkItem* AItem, TqvWorkerThread* AThread, const std::exception& E)>;

class TqvThreadPool : public TComponent {
 public:
  explicit TqvThreadPool(TComponent* AOwner = nullptr);
  // Clear; never raises.
  ~TqvThreadPool() override;
  VX_CLASS_NAME("TqvThreadPool")

  // Both counts accept only 2..64; other values are ignored without an error.
  int MinThreadCount() const;
  void SetMinThreadCount(int Value);
  int MaxThreadCount() const;
  void SetMaxThreadCount(int Value);
  bool InitializeCOM() const { return FInitializeCOM.load(); }
  void SetInitializeCOM(bool Value);
  // Milliseconds a surplus worker must have been idle before the trimming of
  // a QueueWorkItem frees it (default 0: every idle one at once). The TCP
  // server sets a second for its pool: workers of a burst that ended a moment
  // ago are about to be needed again, and freeing them would only start new
  // threads for the next items.
  int IdleTrimDelay() const { return FIdleTrimDelay.load(); }
  void SetIdleTrimDelay(int Value);

  // Hands AItem (not null: assertion) to the first idle worker, to a new worker
  // below MaxThreadCount, or to the end of the queue; then keeps MinThreadCount
  // workers and frees idle ones beyond it. Raises std::system_error when a
  // thread cannot be started; the item is then dropped unless already placed.
  void QueueWorkItem(std::unique_ptr<TqvWorkItem> AItem);
  // Frees queued items without running them and ends every worker, waiting for
  // the items still running (their finish event reports ATerminated true).
  // Later QueueWorkItem calls start fresh workers.
  void Clear();

  [[nodiscard]] int WorkerCount() const;
  [[nodiscard]] int QueuedCount() const;
  // Workers with an item assigned or running.
  [[nodiscard]] int BusyCount() const;
  // True when an item queued now would start at once: nothing waits in the
  // queue, and a worker is idle or one more may be started.
  [[nodiscard]] bool HasSpareWorker() const;

  // An item about to wait on something outside the pool (a peer that does
  // not read) says so for the span of the wait: meanwhile its worker does
  // not count against MaxThreadCount, so the items behind it still run. At
  // most kMaxBlockedWorkers waits are counted so; beyond that a wait holds
  // its worker as any work does. Any thread; never raises.
  static constexpr int kMaxBlockedWorkers = 64;
  class TBlockingWait {
   public:
    explicit TBlockingWait(TqvThreadPool& APool) noexcept;
    ~TBlockingWait();
    TBlockingWait(const TBlockingWait&) = delete;
    TBlockingWait& operator=(const TBlockingWait&) = delete;

   private:
    TqvThreadPool& FPool;
    bool FCounted;
  };
  [[nodiscard]] int BlockedCount() const { return FBlockedNow.load(std::memory_order_relaxed); }

  TqvCreateWorkerThreadEvent OnCreateWorkerThread;
  TqvWorkItemEvent OnQueueWorkItem;
  TqvRunWorkItemEvent OnRunWorkItem;
  // Fires for every item a worker took, also after it raised.
  TqvFinishWorkItemEvent OnFinishWorkItem;
  TqvWorkItemErrorEvent OnWorkItemError;

 protected:
  // Called under the pool lock; the result must belong to this pool.
  virtual std::unique_ptr<TqvWorkerThread> CreateWorkerThread();
  virtual void DoCreateWorkerThread(std::unique_ptr<TqvWorkerThread>& AThread);
  virtual void DoQueueWorkItem(TqvWorkItem* AItem);
  virtual void DoRunWorkItem(TqvWorkItem* AItem, TqvWorkerThread* AThread);
  virtual void DoFinishWorkItem(TqvWorkItem* AItem, TqvWorkerThread* AThread, bool ATerminated);
  // Must not raise; the pool swallows what escapes it.
  virtual void DoWorkItemError(TqvWorkItem* AItem, TqvWorkerThread* AThread, const std::exception& E);

 private:
  friend class TqvWorkerThread;
  TqvWorkerThread* AddWorkerLocked();
  void ServeQueueLocked();
  // Called by a worker after its item: true with the next item assigned.
  bool TakeNextItem(TqvWorkerThread* AThread);
  // Refreshes the counts HasSpareWorker reads without the lock.
  void CountLocked();
  void ReportError(TqvWorkItem* AItem, TqvWorkerThread* AThread, std::exception_ptr E) noexcept;

  std::vector<std::unique_ptr<TqvWorkerThread>> FWorkers;
  std::deque<std::unique_ptr<TqvWorkItem>> FQueue;
  int FMinThreadCount = 1;
  std::atomic<int> FMaxThreadCount{5};
  mutable std::mutex FLock;
  std::atomic<bool> FInitializeCOM{false};
  std::atomic<int> FIdleTrimDelay{0};
  // The queue's length, the workers and the busy ones, as of the last change
  // under the lock.
  std::atomic<int> FQueuedNow{0};
  std::atomic<int> FWorkersNow{0};
  std::atomic<int> FBusyNow{0};
  // Waits of TBlockingWait counted now; changed under the lock.
  int FBlocked = 0;
  std::atomic<int> FBlockedNow{0};
  // The worker limit with the counted waits added; pool lock held.
  [[nodiscard]] int WorkerLimitLocked() const { return FMaxThreadCount.load() + FBlocked; }
};
