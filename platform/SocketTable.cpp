#include "SocketTable.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "ClassCore.h"

namespace plat::socktable {

namespace {

StatePtr Find(Table& t, int fd) {
  auto it = t.byFd.find(fd);
  return it == t.byFd.end() ? nullptr : it->second;
}

// Takes the socket out of its epoll instance (a cancel or a close).
void RemoveFromEpoll(SockState& st) {
  if (st.inEpoll) {
    if (std::shared_ptr<Reactor> r = st.reactor.lock()) ::epoll_ctl(r->ep.Get(), EPOLL_CTL_DEL, st.fd, nullptr);
  }
  st.inEpoll = false;
  st.armed = 0;
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

}  // namespace

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

void Rearmed(SockState& st) {
  st.idle = false;
  UpdateInterest(st);
}

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

std::shared_ptr<Reactor> ThisThreadReactor() {
  TMessageQueue::Current();
  thread_local std::shared_ptr<Reactor> r;
  if (!r) r = std::make_shared<Reactor>();
  return r;
}

void Deregister(SockState& st, bool renewing) {
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

void NoteReset(SockState& st, int e) {
  if (e == ECONNRESET || e == EPIPE) st.resetError = WSAECONNRESET;
}

}  // namespace plat::socktable
