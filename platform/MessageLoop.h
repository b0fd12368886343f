// The per-thread message queue: posted tasks, hidden message windows with
// posted messages and window timers, watched descriptors, and a quit request,
// over poll() with an eventfd for wake-ups and a monotonic millisecond clock.
//
// Each thread has at most one queue, created on its first use by that thread
// (TMessageQueue::Current). Everything is dispatched on the queue's own thread,
// from Run() or from ProcessMessages(), which a blocking wait calls so that the
// thread keeps dispatching while it waits (dispatch may nest). Posting, timers
// and quit may be requested from any thread. Window handles are never reused,
// so a message posted to a window that is gone is dropped, never misdelivered.
// A thread's windows and timers should be destroyed before the thread ends;
// any left over stop existing with its queue (posts to them return false).
// Owner-thread-only calls raise EAssertionFailed from another thread; a
// failing poll() raises EOSError. Exceptions from handlers pass through.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "ClassCore.h"

namespace plat {

constexpr uint32_t WM_TIMER = 0x0113;
constexpr uint32_t WM_USER = 0x0400;

struct TMessage {
  uint32_t Msg = 0;
  uintptr_t WParam = 0;
  intptr_t LParam = 0;
};

using HWND = uint64_t;  // 0 is no window

// Milliseconds of the monotonic clock; the 32-bit form wraps, so compare ages
// with unsigned differences.
uint32_t GetTickCount();
uint64_t GetTickCount64();

class TMessageQueue {
 public:
  // The calling thread's queue, created on first use; lives until the thread ends.
  static TMessageQueue& Current();

  // Queues a task to run on the queue's thread. Any thread.
  void Post(std::function<void()> task);
  // Asks Run to return with code. Any thread; sticky until Run returns.
  void Quit(int code = 0);
  bool QuitRequested() const;

  // Dispatches until Quit; returns the quit code and clears the request.
  // Owner thread only.
  int Run();
  // Dispatches everything due, waiting up to timeoutMs (-1: until something
  // arrives, 0: no wait) when nothing is. False once quit has been requested;
  // it then dispatches nothing more. Order: posted tasks and messages (FIFO,
  // only those queued before the pass), due timers, watches, then what the
  // watches posted when nothing older waits. Other items posted during a
  // pass wait for the next one. Owner thread only.
  bool ProcessMessages(int timeoutMs);

  // For waits on other descriptors: WakeFd becomes readable when something is
  // posted or a timer may be due after NextTimeout() ms (-1: no timer).
  int WakeFd() const;
  int NextTimeout() const;

  // Calls cb(revents) on the owner thread when poll reports events on fd
  // (level-triggered). Returns an id for RemoveWatch (safe from inside the
  // callback). A running callback is not polled by nested passes. Remove the
  // watch before closing fd, or it reports POLLNVAL on every pass. Owner thread only.
  int AddWatch(int fd, short events, std::function<void(short revents)> cb);
  void RemoveWatch(int id);

  ~TMessageQueue();
  TMessageQueue(const TMessageQueue&) = delete;
  TMessageQueue& operator=(const TMessageQueue&) = delete;

  struct Impl;

 private:
  TMessageQueue();
  std::unique_ptr<Impl> FImpl;
  friend class TMessageWindow;
  friend bool PostMessage(HWND, uint32_t, uintptr_t, intptr_t);
  friend bool SetTimer(HWND, uintptr_t, uint32_t);
  friend bool KillTimer(HWND, uintptr_t);
};

// A hidden window: a message handler bound to the creating thread's queue.
class TMessageWindow {
 public:
  using Handler = std::function<void(TMessage& Message)>;
  // Creates the window on the calling thread.
  explicit TMessageWindow(Handler handler);
  // Owner thread only; afterwards no message or timer reaches the handler.
  ~TMessageWindow();
  TMessageWindow(const TMessageWindow&) = delete;
  TMessageWindow& operator=(const TMessageWindow&) = delete;
  HWND Handle() const { return FHandle; }

 private:
  HWND FHandle;
};

// Any thread. False when the window no longer exists.
bool PostMessage(HWND hWnd, uint32_t Msg, uintptr_t WParam, intptr_t LParam);
// WM_TIMER (WParam = id) every elapseMs ms (at least 1) until killed; setting
// an existing id restarts it. The period follows the previous due time; a
// timer late by more than a period fires once and restarts from then. A timer
// whose WM_TIMER is still being handled does not fire again in a nested pass.
// Any thread. False when the window no longer exists.
bool SetTimer(HWND hWnd, uintptr_t id, uint32_t elapseMs);
bool KillTimer(HWND hWnd, uintptr_t id);

// The timer component: fires OnTimer on the thread that created it every
// Interval ms while Enabled. Enabled and Interval may be set from any thread;
// an Interval of 0 or less never fires. A tick already due when the timer is
// disabled is not delivered: after SetEnabled(false) returns on the owner
// thread OnTimer is not called again; from another thread, one call already
// under way may still run. Re-enabling or a new Interval restarts the period.
// Destroy it on its own thread (OnTimer may destroy it); then OnTimer never runs.
class TTimer : public TComponent {
 public:
  explicit TTimer(TComponent* AOwner = nullptr);
  ~TTimer() override;
  VX_CLASS_NAME("TTimer")

  bool Enabled() const;
  void SetEnabled(bool value);
  int Interval() const;
  void SetInterval(int value);

  TNotifyEvent OnTimer;

 private:
  void Update();
  void HandleMessage(TMessage& m);
  struct State;
  std::shared_ptr<State> FState;
  std::unique_ptr<TMessageWindow> FWindow;
};

}  // namespace plat
