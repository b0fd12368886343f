// The socket table behind the socket calls: one state per socket the calls
// made or adopted (descriptor and never-reused handle, the select it is under,
// what is armed), the event objects' members, the windows' epoll reactors.
// Internal to the socket units (Sockets.cpp, SocketEvents.cpp, SocketTable.cpp);
// no other unit includes it.
//
// The socket table (descriptor and handle maps, event objects, windows) sits
// under a reader-writer lock that the per-call path takes shared; each
// socket's notification state has its own mutex. Lock order: the table, then
// one socket's state; never the table while a state is held. Syscalls that may
// block run outside both; messages are posted after the state is released.
// Async select keeps one epoll registration per socket on the watching
// thread's epoll instance, one-shot, re-armed with a single EPOLL_CTL_MOD only
// when something is wanted that is not armed yet; readiness comes from epoll's
// own report, so no poll is needed to evaluate it. Notifications sit on
// level-triggered readiness: an event is reported only while it is armed, and
// a socket whose readiness no longer leads anywhere (a hang-up already
// reported, data nobody has asked for) is left out until a call re-arms it, so
// neither scheme spins.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include "Sockets.h"

namespace plat::socktable {

// How a call ends: FailWith sets the last error to code and gives
// SOCKET_ERROR; Done clears it and gives r.
inline int FailWith(uint32_t code) {
  SetLastError(code);
  return SOCKET_ERROR;
}
inline int FailErrno(int e) { return FailWith(MapErrnoToWsa(e)); }
inline int Done(int r) {
  SetLastError(0);
  return r;
}

struct Reactor;

enum class Mode { None, Event, Async };

struct SockState {
  // Fixed once registered.
  SocketHandle handle = 0;
  int fd = -1;
  int type = SOCK_STREAM;

  std::mutex m;  // guards everything below
  bool nonBlocking = false;
  Mode mode = Mode::None;
  long mask = 0;
  uint64_t eventId = 0;
  HWND hwnd = 0;
  uint32_t msg = 0;
  std::weak_ptr<Reactor> reactor;
  bool inEpoll = false;
  // What the epoll registration is armed for; 0 once it reported (one-shot).
  uint32_t armed = 0;
  bool readArmed = true, writeArmed = true, acceptArmed = true, closeArmed = true;
  bool connectPending = false;
  bool connected = false;
  // Readiness seen that leads nowhere until a call re-arms something.
  bool idle = false;
  // The peer ended its sending side and every byte was read: readability is
  // permanent from here on and says nothing, so it is no longer watched.
  bool peerEof = false;
  uint32_t resetError = 0;
  // Counts cancellations, so messages posted before one can be told apart.
  uint32_t serial = 0;
  long recorded = 0;
  uint32_t errors[FD_MAX_EVENTS] = {};
};
using StatePtr = std::shared_ptr<SockState>;

// One epoll instance per thread that async-selects, watched by that thread's
// message queue; OnReady posts what the registrations report.
struct Reactor {
  UniqueFd ep;
  int watchId = 0;
  Reactor();
  ~Reactor();
  void OnReady();
};

// A message for a window, posted once the state lock is released.
struct Posting {
  HWND hwnd;
  uint32_t msg;
  SocketHandle handle;
  intptr_t lParam;
};

struct Table {
  std::shared_mutex mutex;
  std::unordered_map<int, StatePtr> byFd;
  std::unordered_map<SocketHandle, StatePtr> byHandle;
  // Sockets once selected on each event; members that moved on are skipped
  // (and dropped) by the waits.
  std::unordered_map<uint64_t, std::vector<SocketHandle>> events;
  std::unordered_map<HWND, std::weak_ptr<Reactor>> windows;
  SocketHandle nextHandle = 1;
  uint64_t nextEvent = 1;
};

// The one table.
Table& T();

// SO_TYPE of fd; -1 when it is no socket.
int SockType(int fd);

// Under the table lock, held exclusively.
StatePtr Register(Table& t, int fd, int type, bool connected, bool nonBlocking);
StatePtr Lookup(int fd);
StatePtr LookupHandle(SocketHandle h);
// A live socket descriptor not made here is taken in, so selects work on it.
StatePtr FindOrAdopt(int fd);

// What the socket's select wants watched now, as poll events.
short Interest(const SockState& st);
void RearmAll(SockState& st);
// Arms the registration for what is wanted and not armed yet: one MOD (ADD
// the first time). Narrowing is left alone; a report of something no longer
// wanted finds nothing to do and re-arms for what is. Under the state lock.
void UpdateInterest(SockState& st);
void Rearmed(SockState& st);
// Looks at the socket now (event select). Under the state lock.
void EvaluateNow(SockState& st, std::vector<Posting>* out);
void PostAll(const std::vector<Posting>& out);
// The calling thread's reactor; its queue is made first so it outlives it.
std::shared_ptr<Reactor> ThisThreadReactor();
// A renewal (async to async on the same window) keeps messages already queued
// and the epoll registration, as a cancel does not. Under the state lock.
void Deregister(SockState& st, bool renewing = false);
// O_NONBLOCK on the descriptor, once; -1 with errno when that failed.
int SetNonBlocking(SockState& st);

// Re-arm hooks of the I/O calls, given errno of the call.
template <class F>
void WithState(int fd, F f) {
  if (StatePtr st = Lookup(fd)) {
    std::scoped_lock lk(st->m);
    f(*st);
  }
}

// A send or recv that failed with e: a reset is kept for the close report.
void NoteReset(SockState& st, int e);

}  // namespace plat::socktable
