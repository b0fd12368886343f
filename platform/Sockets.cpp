// The socket calls under the platform's names, and the handles of sockets,
// kept in the socket table.
#include "Sockets.h"

#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "SocketTable.h"

namespace plat {

using namespace socktable;

int FamilyToNative(int family) { return family == AF_INET6_PLATFORM ? AF_INET6 : family; }
int FamilyFromNative(int family) { return family == AF_INET6 ? AF_INET6_PLATFORM : family; }

int WSAStartup(uint16_t version, WSADATA* data) {
  if (data) *data = WSADATA{version, MAKEWORD(2, 2)};
  return 0;
}
int WSACleanup() { return 0; }

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

}  // namespace plat
