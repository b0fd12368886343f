// Event selection (event objects and waits on them), async selection for
// windows, the wait and wake objects, and the plain readiness waits.
#include "Sockets.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <shared_mutex>

#include "ClassCore.h"
#include "SocketTable.h"

namespace plat {

using namespace socktable;

// --- Events --------------------------------------------------------------

TWaitEvent::TWaitEvent(bool manualReset) : FManual(manualReset) {}

TWaitEvent::~TWaitEvent() {
  const int fd = FFd.load();
  if (fd >= 0) ::close(fd);
}

int TWaitEvent::Made() const noexcept {
  int fd = FFd.load(std::memory_order_acquire);
  if (fd >= 0) return fd;
  const int mine = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (mine < 0) return -1;
  if (FFd.compare_exchange_strong(fd, mine, std::memory_order_acq_rel)) return mine;
  ::close(mine);  // another thread made it first
  return fd;
}

int TWaitEvent::Fd() const {
  const int fd = Made();
  if (fd < 0) {
    uint32_t code = SetLastErrorFromErrno();
    throw EOSError(code, SysErrorMessage(code));
  }
  return fd;
}

void TWaitEvent::Set() {
  const int fd = Made();
  if (fd < 0) return;
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
}

void TWaitEvent::Reset() {
  const int fd = FFd.load(std::memory_order_acquire);
  if (fd < 0) return;
  uint64_t v = 0;
  [[maybe_unused]] ssize_t n = ::read(fd, &v, sizeof v);
}

bool TWaitEvent::IsSet() {
  const int fd = FFd.load(std::memory_order_acquire);
  if (fd < 0) return false;
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 0) <= 0) return false;
  if (!FManual) Reset();
  return true;
}

TSocketEvent::TSocketEvent() {
  Table& t = T();
  std::unique_lock lk(t.mutex);
  FId = t.nextEvent++;
  t.events[FId];
}

TSocketEvent::~TSocketEvent() {
  Table& t = T();
  std::unique_lock lk(t.mutex);
  auto it = t.events.find(FId);
  if (it == t.events.end()) return;
  for (SocketHandle h : it->second) {
    auto s = t.byHandle.find(h);
    if (s == t.byHandle.end()) continue;
    SockState& st = *s->second;
    std::scoped_lock sl(st.m);
    if (st.mode == Mode::Event && st.eventId == FId) {
      st.mode = Mode::None;
      st.mask = 0;
      st.eventId = 0;
    }
  }
  t.events.erase(it);
}

int WSAEventSelect(SOCKET s, TSocketEvent* event, long mask) {
  if (mask != 0 && !event) return FailWith(WSAEINVAL);
  StatePtr st = FindOrAdopt(s);
  if (!st) return FailWith(WSAENOTSOCK);
  Table& t = T();
  std::unique_lock lk(t.mutex);
  std::scoped_lock sl(st->m);
  Deregister(*st);
  if (mask == 0) return Done(0);
  if (SetNonBlocking(*st) != 0) return FailErrno(errno);
  auto ev = t.events.find(event->Id());
  if (ev == t.events.end()) return FailWith(WSAEINVAL);
  if (std::find(ev->second.begin(), ev->second.end(), st->handle) == ev->second.end())
    ev->second.push_back(st->handle);
  st->mode = Mode::Event;
  st->eventId = event->Id();
  st->mask = mask;
  RearmAll(*st);
  return Done(0);
}

int WSAEnumNetworkEvents(SOCKET s, TSocketEvent* event, WSANETWORKEVENTS* events) {
  if (!events) return FailWith(WSAEFAULT);
  StatePtr st = Lookup(s);
  if (!st) return FailWith(WSAENOTSOCK);
  std::scoped_lock lk(st->m);
  if (event && st->mode == Mode::Event && st->eventId == event->Id()) EvaluateNow(*st, nullptr);
  events->lNetworkEvents = st->recorded;
  for (int i = 0; i < FD_MAX_EVENTS; ++i) events->iErrorCode[i] = st->errors[i];
  st->recorded = 0;
  for (uint32_t& e : st->errors) e = 0;
  return Done(0);
}

TWaitResult WaitForSocketEvent(TSocketEvent* event, TWaitEvent* interrupt, int timeoutMs) {
  TMessageQueue& q = TMessageQueue::Current();
  const uint64_t start = GetTickCount64();
  Table& t = T();
  for (;;) {
    std::vector<pollfd> fds;
    std::vector<StatePtr> states;
    if (event) {
      std::unique_lock lk(t.mutex);
      auto it = t.events.find(event->Id());
      if (it != t.events.end()) {
        bool recorded = false;
        std::erase_if(it->second, [&](SocketHandle h) {
          auto s = t.byHandle.find(h);
          if (s == t.byHandle.end()) return true;
          SockState& st = *s->second;
          std::scoped_lock sl(st.m);
          if (st.mode != Mode::Event || st.eventId != event->Id()) return true;
          if (st.recorded) recorded = true;
          const short want = Interest(st);
          if (!st.idle && want != 0) {
            fds.push_back({st.fd, want, 0});
            states.push_back(s->second);
          }
          return false;
        });
        if (recorded) return TWaitResult::Event;
      }
    }
    const size_t nSockets = fds.size();
    const int interruptAt = interrupt ? static_cast<int>(fds.size()) : -1;
    if (interrupt) fds.push_back({interrupt->Fd(), POLLIN, 0});
    const bool withQueue = !q.QuitRequested();
    const int wakeAt = withQueue ? static_cast<int>(fds.size()) : -1;
    if (withQueue) fds.push_back({q.WakeFd(), POLLIN, 0});

    int wait = -1;
    if (timeoutMs >= 0) {
      const uint64_t used = GetTickCount64() - start;
      wait = used >= static_cast<uint64_t>(timeoutMs) ? 0 : static_cast<int>(timeoutMs - used);
    }
    const int timer = withQueue ? q.NextTimeout() : -1;
    if (timer >= 0 && (wait < 0 || timer < wait)) wait = timer;

    int n = ::poll(fds.data(), fds.size(), wait);
    if (n < 0) {
      if (errno == EINTR) continue;
      SetLastError(MapErrnoToWsa(errno));
      return TWaitResult::Failed;
    }
    if (n > 0 && nSockets > 0) {
      bool any = false;
      for (size_t i = 0; i < nSockets; ++i) {
        if (!fds[i].revents) continue;
        SockState& st = *states[i];
        std::scoped_lock sl(st.m);
        if (st.mode != Mode::Event || st.eventId != event->Id()) continue;
        // The wait asked for the wanted events only; the evaluation needs all.
        EvaluateNow(st, nullptr);
        any = any || st.recorded != 0;
      }
      if (any) return TWaitResult::Event;
    }
    if (interruptAt >= 0 && fds[interruptAt].revents) {
      if (!interrupt->ManualReset()) interrupt->Reset();
      return TWaitResult::Interrupt;
    }
    if (withQueue && ((wakeAt >= 0 && fds[wakeAt].revents) || q.NextTimeout() == 0)) {
      q.ProcessMessages(0);
      return TWaitResult::Messages;
    }
    if (timeoutMs >= 0 && GetTickCount64() - start >= static_cast<uint64_t>(timeoutMs))
      return TWaitResult::Timeout;
  }
}

namespace {

int AsyncSelect(SOCKET s, HWND hWnd, uint32_t msg, long mask, long take, long* taken) {
  if (taken) *taken = 0;
  Table& t = T();
  std::shared_ptr<Reactor> reactor;
  if (mask != 0) {
    {
      std::shared_lock lk(t.mutex);
      auto it = t.windows.find(hWnd);
      if (it != t.windows.end()) reactor = it->second.lock();
    }
    if (!reactor) {
      try {
        reactor = ThisThreadReactor();
      } catch (const EOSError& e) {
        return FailWith(e.ErrorCode);
      }
      std::unique_lock lk(t.mutex);
      if (!t.windows.count(hWnd))
        std::erase_if(t.windows, [](const auto& w) { return w.second.expired(); });
      t.windows[hWnd] = reactor;
    }
  }
  StatePtr st = FindOrAdopt(s);
  if (!st) return FailWith(WSAENOTSOCK);
  std::vector<Posting> out;
  std::unique_lock lk(st->m);
  const bool renewing = mask != 0 && st->mode == Mode::Async && st->hwnd == hWnd && st->msg == msg &&
                        st->reactor.lock() == reactor;
  Deregister(*st, renewing);
  if (mask == 0) return Done(0);
  if (SetNonBlocking(*st) != 0) return FailErrno(errno);
  st->mode = Mode::Async;
  st->hwnd = hWnd;
  st->msg = msg;
  st->mask = mask;
  st->reactor = reactor;
  RearmAll(*st);
  // A taken write event counts as reported: it comes again after a send
  // that would block, like any other.
  const long got = take & mask & FD_WRITE;
  if (got) st->writeArmed = false;
  if (taken) *taken = got;
  // A new registration posts what is true at once; a renewal leaves that to
  // the epoll instance, whose thread reports it when it next looks.
  if (!renewing) EvaluateNow(*st, &out);
  UpdateInterest(*st);
  lk.unlock();
  PostAll(out);
  SetLastError(0);
  return 0;
}

}  // namespace

int WSAAsyncSelect(SOCKET s, HWND hWnd, uint32_t msg, long mask) {
  return AsyncSelect(s, hWnd, msg, mask, 0, nullptr);
}

int WSAAsyncSelectTake(SOCKET s, HWND hWnd, uint32_t msg, long mask, long take, long* taken) {
  return AsyncSelect(s, hWnd, msg, mask, take, taken);
}

TReadWaitWake::TReadWaitWake() : FFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE)) {
  if (!FFd) {
    uint32_t code = SetLastErrorFromErrno();
    throw EOSError(code, SysErrorMessage(code));
  }
}

void TReadWaitWake::Signal(uint32_t count) {
  const uint64_t n = count;
  (void)!::write(FFd.Get(), &n, sizeof n);
}

void TReadWaitWake::Reset() {
  uint64_t n = 0;
  while (::read(FFd.Get(), &n, sizeof n) == static_cast<ssize_t>(sizeof n)) {
  }
}

namespace {

int WaitPolled(SOCKET s, short events, int timeoutMs, int wakeFd) {
  pollfd p[2] = {{s, events, 0}, {wakeFd, POLLIN, 0}};
  const bool wake = wakeFd >= 0;
  int r;
  do {
    r = ::poll(p, wake ? 2 : 1, timeoutMs);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return FailErrno(errno);
  if (p[0].revents & POLLNVAL) return FailWith(WSAENOTSOCK);
  if (wake && (p[1].revents & POLLIN)) {
    // One wake-up is taken; another waiter may have taken the last one.
    uint64_t n = 0;
    (void)!::read(wakeFd, &n, sizeof n);
    return Done(0);
  }
  return Done(p[0].revents ? 1 : 0);
}

}  // namespace

int WaitReadable(SOCKET s, int timeoutMs, TReadWaitWake* wake) {
  return WaitPolled(s, static_cast<short>(POLLIN | POLLRDHUP), timeoutMs, wake ? wake->FFd.Get() : -1);
}

int WaitWritable(SOCKET s, int timeoutMs) { return WaitPolled(s, POLLOUT, timeoutMs, -1); }

}  // namespace plat
