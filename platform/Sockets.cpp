#include "Sockets.h"

#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <utility>

#include "ClassCore.h"

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

namespace plat {

int FamilyToNative(int family) { return family == AF_INET6_PLATFORM ? AF_INET6 : family; }
int FamilyFromNative(int family) { return family == AF_INET6 ? AF_INET6_PLATFORM : family; }

int WSAStartup(uint16_t version, WSADATA* data) {
  if (data) *data = WSADATA{version, MAKEWORD(2, 2)};
  return 0;
}
int WSACleanup() { return 0; }

namespace {

int FailWith(uint32_t code) {
  SetLastError(code);
  return SOCKET_ERROR;
}
int FailErrno(int e) { return FailWith(MapErrnoToWsa(e)); }
int Done(int r) {
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

struct Reactor {
  UniqueFd ep;
  int watchId = 0;
  Reactor();
  ~Reactor();
  void OnReady();
};

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

Table& T() {
  static Table t;
  return t;
}

int SockType(int fd) {
  int type = SOCK_STREAM;
  socklen_t len = sizeof type;
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0) return -1;
  return type;
}

// Under the table lock, held exclusively.
StatePtr Register(Table& t, int fd, int type, bool connected, bool nonBlocking) {
  auto st = std::make_shared<SockState>();
  st->handle = t.nextHandle++;
  st->fd = fd;
  st->type = type;
  st->connected = connected;
  st->nonBlocking = nonBlocking;
  t.byFd[fd] = st;
  t.byHandle[st->handle] = st;
  return st;
}

StatePtr Find(Table& t, int fd) {
  auto it = t.byFd.find(fd);
  return it == t.byFd.end() ? nullptr : it->second;
}

StatePtr Lookup(int fd) {
  Table& t = T();
  std::shared_lock lk(t.mutex);
  return Find(t, fd);
}

StatePtr LookupHandle(SocketHandle h) {
  Table& t = T();
  std::shared_lock lk(t.mutex);
  auto it = t.byHandle.find(h);
  return it == t.byHandle.end() ? nullptr : it->second;
}

// A live socket descriptor not made here is taken in, so selects work on it.
StatePtr FindOrAdopt(int fd) {
  if (StatePtr st = Lookup(fd)) return st;
  int type = SockType(fd);
  if (type < 0) return nullptr;
  Table& t = T();
  std::unique_lock lk(t.mutex);
  if (StatePtr st = Find(t, fd)) return st;
  return Register(t, fd, type, false, false);
}

short Interest(const SockState& st) {
  short ev = 0;
  if ((st.mask & FD_ACCEPT) && st.acceptArmed) ev |= POLLIN;
  if ((st.mask & FD_READ) && st.readArmed && !st.peerEof) ev |= POLLIN;
  // A close is reported only once the data are drained; while a reported read
  // waits for its recv, that recv looks again, so the hang-up is not watched.
  const bool readOutstanding = st.mode == Mode::Async && (st.mask & FD_READ) && !st.readArmed;
  if ((st.mask & FD_CLOSE) && st.closeArmed && st.type == SOCK_STREAM && !readOutstanding) ev |= POLLRDHUP;
  if (((st.mask & FD_WRITE) && st.writeArmed) || st.connectPending) ev |= POLLOUT;
  return ev;
}

void RearmAll(SockState& st) {
  st.readArmed = st.writeArmed = st.acceptArmed = st.closeArmed = true;
  st.idle = false;
}

// Arms the registration for what is wanted and not armed yet: one MOD (ADD
// the first time). Narrowing is left alone; a report of something no longer
// wanted finds nothing to do and re-arms for what is. Under the state lock.
void UpdateInterest(SockState& st) {
  std::shared_ptr<Reactor> r = st.reactor.lock();
  if (!r) {
    st.inEpoll = false;
    st.armed = 0;
    return;
  }
  const uint32_t want = (st.mode == Mode::Async && !st.idle) ? static_cast<uint16_t>(Interest(st)) : 0;
  if (want == 0 || (want & ~st.armed) == 0) return;
  epoll_event ev{};
  ev.events = want | EPOLLONESHOT;
  ev.data.u64 = st.handle;
  int rc = ::epoll_ctl(r->ep.Get(), st.inEpoll ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, st.fd, &ev);
  if (rc != 0 && !st.inEpoll && errno == EEXIST) rc = ::epoll_ctl(r->ep.Get(), EPOLL_CTL_MOD, st.fd, &ev);
  if (rc != 0 && st.inEpoll && errno == ENOENT) rc = ::epoll_ctl(r->ep.Get(), EPOLL_CTL_ADD, st.fd, &ev);
  if (rc == 0) {
    st.inEpoll = true;
    st.armed = want;
  }
}

// Takes the socket out of its epoll instance (a cancel or a close).
void RemoveFromEpoll(SockState& st) {
  if (st.inEpoll) {
    if (std::shared_ptr<Reactor> r = st.reactor.lock()) ::epoll_ctl(r->ep.Get(), EPOLL_CTL_DEL, st.fd, nullptr);
  }
  st.inEpoll = false;
  st.armed = 0;
}

void Rearmed(SockState& st) {
  st.idle = false;
  UpdateInterest(st);
}

void Report(SockState& st, long event, int bit, uint32_t error, std::vector<Posting>* out) {
  if (st.mode == Mode::Event) {
    st.recorded |= event;
    st.errors[bit] = error;
  } else if (st.mode == Mode::Async && out) {
    const intptr_t tag = static_cast<intptr_t>(static_cast<uint64_t>(st.serial & 0x7FFFFFFFu) << 32);
    out->push_back({st.hwnd, st.msg, st.handle, WSAMAKESELECTREPLY(event, error) | tag});
  }
}

short PollNow(const SockState& st) {
  pollfd p{st.fd, static_cast<short>(POLLIN | POLLOUT | POLLRDHUP), 0};
  if (::poll(&p, 1, 0) <= 0) return 0;
  return p.revents;
}

// Reports what is armed and true, given the socket's readiness r (from epoll
// or poll). Under the state lock.
void Evaluate(SockState& st, short r, std::vector<Posting>* out) {
  const short want = Interest(st);
  if (st.mode == Mode::None || want == 0 || st.idle) return;
  if (r & POLLNVAL) return;
  if ((r & (want | POLLERR | POLLHUP)) == 0) return;
  bool reported = false;
  auto report = [&](long event, int bit, uint32_t error) {
    Report(st, event, bit, error, out);
    reported = true;
  };

  if (st.connectPending && (r & (POLLOUT | POLLERR | POLLHUP))) {
    int e = 0;
    socklen_t len = sizeof e;
    ::getsockopt(st.fd, SOL_SOCKET, SO_ERROR, &e, &len);
    st.connectPending = false;
    st.connected = e == 0;
    if (st.mask & FD_CONNECT) report(FD_CONNECT, FD_CONNECT_BIT, MapErrnoToWsa(e));
    if (e != 0) {
      if (!reported) st.idle = true;
      return;
    }
  }
  if ((st.mask & FD_ACCEPT) && st.acceptArmed && (r & POLLIN)) {
    st.acceptArmed = false;
    report(FD_ACCEPT, FD_ACCEPT_BIT, 0);
  }
  if (st.type == SOCK_STREAM && !st.connected) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    st.connected = ::getpeername(st.fd, reinterpret_cast<sockaddr*>(&ss), &len) == 0;
  }
  if (st.type == SOCK_STREAM && !st.connected) {
    if (!reported) st.idle = true;  // a fresh socket hangs up until connect or listen
    return;
  }

  uint32_t error = 0;
  if (r & POLLERR) {
    int e = 0;
    socklen_t len = sizeof e;
    ::getsockopt(st.fd, SOL_SOCKET, SO_ERROR, &e, &len);
    error = MapErrnoToWsa(e);
  }
  // Readable without a hang-up means data; only beside one must the bytes be
  // counted to tell the last data from the end of the stream.
  int avail = 0;
  if ((r & POLLIN) && !(r & (POLLRDHUP | POLLHUP)))
    avail = 1;
  else if (r & POLLIN)
    ::ioctl(st.fd, FIONREAD, &avail);

  if (st.type != SOCK_STREAM) {
    // Datagram errors (a port unreachable) are consumed above; reads go on.
    if ((st.mask & FD_READ) && st.readArmed && (r & POLLIN) && !(r & POLLERR)) {
      st.readArmed = false;
      report(FD_READ, FD_READ_BIT, 0);
    }
    if ((st.mask & FD_WRITE) && st.writeArmed && (r & POLLOUT)) {
      st.writeArmed = false;
      report(FD_WRITE, FD_WRITE_BIT, 0);
    }
    return;
  }

  if ((st.mask & FD_READ) && st.readArmed && (r & POLLIN) && avail > 0) {
    st.readArmed = false;
    report(FD_READ, FD_READ_BIT, 0);
  }
  if ((st.mask & FD_WRITE) && st.writeArmed && (r & POLLOUT)) {
    st.writeArmed = false;
    report(FD_WRITE, FD_WRITE_BIT, 0);
  }
  if ((r & (POLLRDHUP | POLLHUP)) && avail == 0) st.peerEof = true;
  if ((st.mask & FD_CLOSE) && st.closeArmed) {
    if (error == 0 && (r & (POLLERR | POLLHUP))) error = st.resetError;
    if (error != 0 || ((r & (POLLRDHUP | POLLHUP)) && avail == 0)) {
      st.closeArmed = false;
      report(FD_CLOSE, FD_CLOSE_BIT, error);
    }
  }
  // Go quiet only when something still watched is true but unreportable;
  // a half-closed socket keeps waiting for writability.
  if (!reported && (r & (Interest(st) | POLLERR | POLLHUP))) st.idle = true;
}

// Looks at the socket now (event select). Under the state lock.
void EvaluateNow(SockState& st, std::vector<Posting>* out) {
  if (st.mode == Mode::None || st.idle || Interest(st) == 0) return;
  const short r = PollNow(st);
  if (r) Evaluate(st, r, out);
}

void PostAll(const std::vector<Posting>& out) {
  for (const Posting& p : out)
    PostMessage(p.hwnd, p.msg, static_cast<uintptr_t>(p.handle), p.lParam);
}

Reactor::Reactor() : ep(::epoll_create1(EPOLL_CLOEXEC)) {
  if (!ep) {
    uint32_t code = SetLastErrorFromErrno();
    throw EOSError(code, SysErrorMessage(code));
  }
  watchId = TMessageQueue::Current().AddWatch(ep.Get(), POLLIN, [this](short) { OnReady(); });
}

Reactor::~Reactor() { TMessageQueue::Current().RemoveWatch(watchId); }

void Reactor::OnReady() {
  epoll_event evs[128];
  int n = ::epoll_wait(ep.Get(), evs, 128, 0);
  if (n <= 0) return;
  std::vector<Posting> out;
  for (int i = 0; i < n; ++i) {
    StatePtr st = LookupHandle(evs[i].data.u64);
    if (!st) continue;
    std::scoped_lock lk(st->m);
    st->armed = 0;  // one-shot: the report disarmed it
    if (st->mode != Mode::Async) continue;
    Evaluate(*st, static_cast<short>(evs[i].events & 0xFFFF), &out);
    UpdateInterest(*st);
  }
  PostAll(out);
}

// The calling thread's reactor; its queue is made first so it outlives it.
std::shared_ptr<Reactor> ThisThreadReactor() {
  TMessageQueue::Current();
  thread_local std::shared_ptr<Reactor> r;
  if (!r) r = std::make_shared<Reactor>();
  return r;
}

// A renewal (async to async on the same window) keeps messages already queued
// and the epoll registration, as a cancel does not. Under the state lock.
void Deregister(SockState& st, bool renewing = false) {
  if (st.mode == Mode::Async && !renewing) ++st.serial;
  if (!renewing) {
    RemoveFromEpoll(st);
    st.reactor.reset();
  }
  st.mode = Mode::None;
  st.mask = 0;
  st.eventId = 0;
}

int SetNonBlocking(SockState& st) {
  if (st.nonBlocking) return 0;
  int fl = ::fcntl(st.fd, F_GETFL);
  if (fl < 0 || ::fcntl(st.fd, F_SETFL, fl | O_NONBLOCK) != 0) return -1;
  st.nonBlocking = true;
  return 0;
}

// Re-arm hooks of the I/O calls, given errno of the call.
template <class F>
void WithState(int fd, F f) {
  if (StatePtr st = Lookup(fd)) {
    std::scoped_lock lk(st->m);
    f(*st);
  }
}

void NoteReset(SockState& st, int e) {
  if (e == ECONNRESET || e == EPIPE) st.resetError = WSAECONNRESET;
}

}  // namespace

// --- Calls ---------------------------------------------------------------

SOCKET socket(int family, int type, int protocol) {
  const int native = FamilyToNative(family);
  int fd = ::socket(native, type | SOCK_CLOEXEC, protocol);
  if (fd < 0) return FailErrno(errno);
  if (native == AF_INET6) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  }
  Table& t = T();
  std::unique_lock lk(t.mutex);
  Register(t, fd, type & ~(SOCK_NONBLOCK | SOCK_CLOEXEC), false, (type & SOCK_NONBLOCK) != 0);
  return Done(fd);
}

int socketpair(int family, int type, int protocol, SOCKET sv[2]) {
  int fds[2];
  if (::socketpair(FamilyToNative(family), type | SOCK_CLOEXEC, protocol, fds) != 0)
    return FailErrno(errno);
  Table& t = T();
  std::unique_lock lk(t.mutex);
  for (int i = 0; i < 2; ++i) {
    Register(t, fds[i], type & ~(SOCK_NONBLOCK | SOCK_CLOEXEC), true, (type & SOCK_NONBLOCK) != 0);
    sv[i] = fds[i];
  }
  return Done(0);
}

int closesocket(SOCKET s) {
  if (StatePtr st = Lookup(s)) {
    {
      std::scoped_lock sl(st->m);
      Deregister(*st);
    }
    Table& t = T();
    std::unique_lock lk(t.mutex);
    t.byHandle.erase(st->handle);
    auto it = t.byFd.find(s);
    if (it != t.byFd.end() && it->second == st) t.byFd.erase(it);
  }
  // Retired before the descriptor goes, so its number cannot be taken while
  // the old entry still stands.
  if (::close(s) != 0) return FailErrno(errno);
  return Done(0);
}

int shutdown(SOCKET s, int how) {
  if (::shutdown(s, how) != 0) return FailErrno(errno);
  return Done(0);
}

int bind(SOCKET s, const sockaddr* addr, socklen_t len) {
  if (addr && (addr->sa_family == AF_INET || addr->sa_family == AF_INET6) &&
      SockType(s) == SOCK_STREAM) {
    int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  }
  if (::bind(s, addr, len) != 0) return FailErrno(errno);
  return Done(0);
}

int listen(SOCKET s, int backlog) {
  if (::listen(s, backlog) != 0) return FailErrno(errno);
  WithState(s, [](SockState& st) {
    st.acceptArmed = true;
    Rearmed(st);
  });
  return Done(0);
}

SOCKET accept(SOCKET s, sockaddr* addr, socklen_t* len) {
  int fd = ::accept4(s, addr, len, SOCK_NONBLOCK | SOCK_CLOEXEC);
  const int e = errno;
  WithState(s, [](SockState& st) {
    st.acceptArmed = true;
    Rearmed(st);
  });
  if (fd < 0) return FailErrno(e);
  Table& t = T();
  std::unique_lock lk(t.mutex);
  Register(t, fd, SOCK_STREAM, true, true);
  return Done(fd);
}

int connect(SOCKET s, const sockaddr* addr, socklen_t len) {
  int r = ::connect(s, addr, len);
  const int e = errno;
  if (r == 0 || e == EINPROGRESS) {
    WithState(s, [r](SockState& st) {
      st.connectPending = true;
      st.connected = r == 0;
      st.writeArmed = true;
      Rearmed(st);
    });
  }
  if (r != 0) return FailErrno(e);
  return Done(0);
}

int send(SOCKET s, const void* buf, int len, int flags) {
  ssize_t n = ::send(s, buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL);
  if (n >= 0) return Done(static_cast<int>(n));
  const int e = errno;
  WithState(s, [e](SockState& st) {
    NoteReset(st, e);
    if (e == EAGAIN || e == EWOULDBLOCK) {
      st.writeArmed = true;
      Rearmed(st);
    }
  });
  return FailErrno(e);
}

int recv(SOCKET s, void* buf, int len, int flags) {
  ssize_t n = ::recv(s, buf, static_cast<size_t>(len), flags);
  const int e = errno;
  WithState(s, [n, e](SockState& st) {
    if (n < 0) NoteReset(st, e);
    st.readArmed = true;
    Rearmed(st);
  });
  if (n < 0) return FailErrno(e);
  return Done(static_cast<int>(n));
}

int sendto(SOCKET s, const void* buf, int len, int flags, const sockaddr* to, socklen_t tolen) {
  ssize_t n = ::sendto(s, buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL, to, tolen);
  if (n >= 0) return Done(static_cast<int>(n));
  const int e = errno;
  if (e == EAGAIN || e == EWOULDBLOCK)
    WithState(s, [](SockState& st) {
      st.writeArmed = true;
      Rearmed(st);
    });
  return FailErrno(e);
}

int recvfrom(SOCKET s, void* buf, int len, int flags, sockaddr* from, socklen_t* fromlen) {
  // Only datagrams report their true length; on a stream MSG_TRUNC discards.
  const bool dgram = SockType(s) != SOCK_STREAM;
  ssize_t n = ::recvfrom(s, buf, static_cast<size_t>(len), flags | (dgram ? MSG_TRUNC : 0), from,
                         fromlen);
  const int e = errno;
  WithState(s, [](SockState& st) {
    st.readArmed = true;
    Rearmed(st);
  });
  if (n < 0) return FailErrno(e);
  if (n > len) return FailWith(WSAEMSGSIZE);
  return Done(static_cast<int>(n));
}

int setsockopt(SOCKET s, int level, int name, const void* value, socklen_t len) {
  if (::setsockopt(s, level, name, value, len) != 0) return FailErrno(errno);
  return Done(0);
}

int getsockopt(SOCKET s, int level, int name, void* value, socklen_t* len) {
  if (::getsockopt(s, level, name, value, len) != 0) return FailErrno(errno);
  // Pending errors read in the platform numbering.
  if (level == SOL_SOCKET && name == SO_ERROR && value && len && *len >= sizeof(int)) {
    int* e = static_cast<int*>(value);
    *e = static_cast<int>(MapErrnoToWsa(*e));
  }
  return Done(0);
}

int getsockname(SOCKET s, sockaddr* addr, socklen_t* len) {
  if (::getsockname(s, addr, len) != 0) return FailErrno(errno);
  return Done(0);
}

int getpeername(SOCKET s, sockaddr* addr, socklen_t* len) {
  if (::getpeername(s, addr, len) != 0) return FailErrno(errno);
  return Done(0);
}

int ioctlsocket(SOCKET s, long cmd, u_long* arg) {
  if (!arg) return FailWith(WSAEFAULT);
  if (cmd == static_cast<long>(FIONBIO)) {
    int fl = ::fcntl(s, F_GETFL);
    if (fl < 0) return FailErrno(errno);
    fl = *arg ? (fl | O_NONBLOCK) : (fl & ~O_NONBLOCK);
    if (::fcntl(s, F_SETFL, fl) != 0) return FailErrno(errno);
    WithState(s, [on = *arg != 0](SockState& st) { st.nonBlocking = on; });
    return Done(0);
  }
  if (cmd == static_cast<long>(FIONREAD)) {
    int n = 0;
    if (::ioctl(s, FIONREAD, &n) != 0) return FailErrno(errno);
    *arg = static_cast<u_long>(n);
    return Done(0);
  }
  return FailWith(WSAEINVAL);
}

int gethostname(char* name, int len) {
  if (!name || len <= 0) return FailWith(WSAEFAULT);
  if (::gethostname(name, static_cast<size_t>(len)) != 0) return FailErrno(errno);
  return Done(0);
}

int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res) {
  addrinfo h{};
  if (hints) {
    h = *hints;
    h.ai_family = FamilyToNative(h.ai_family);
  }
  int r = ::getaddrinfo(node, service, hints ? &h : nullptr, res);
  uint32_t code = MapGaiToWsa(r);
  SetLastError(code);
  return static_cast<int>(code);
}

void freeaddrinfo(addrinfo* res) {
  if (res) ::freeaddrinfo(res);
}

int getnameinfo(const sockaddr* addr, socklen_t len, char* host, socklen_t hostlen, char* serv,
                socklen_t servlen, int flags) {
  int r = ::getnameinfo(addr, len, host, hostlen, serv, servlen, flags);
  uint32_t code = MapGaiToWsa(r);
  SetLastError(code);
  return static_cast<int>(code);
}

namespace {
std::atomic<bool> gIPv6Available{true};
}
bool IsIPv6Available() { return gIPv6Available.load(); }
void SetIPv6AvailableForTesting(bool available) { gIPv6Available.store(available); }

// --- Handles -------------------------------------------------------------

SocketHandle HandleOfSocket(SOCKET s) {
  StatePtr st = Lookup(s);
  return st ? st->handle : 0;
}

SOCKET SocketOfHandle(SocketHandle h) {
  StatePtr st = LookupHandle(h);
  return st ? st->fd : INVALID_SOCKET;
}

bool IsSocketEventCurrent(const TMessage& m) {
  StatePtr st = LookupHandle(static_cast<SocketHandle>(m.WParam));
  if (!st) return false;
  std::scoped_lock lk(st->m);
  const uint32_t serial = static_cast<uint32_t>(static_cast<uint64_t>(m.LParam) >> 32);
  return st->mode == Mode::Async && st->msg == m.Msg && serial == (st->serial & 0x7FFFFFFFu);
}

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
