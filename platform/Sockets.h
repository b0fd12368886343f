// The socket calls of the library's socket units: BSD calls under the
// platform's names, failures as platform numbers (10035 would-block, 10061
// refused, 11001 no such host) in the thread's last error; event select for
// client connections with WaitForSocketEvent, async select for servers as
// window messages tagged with never-reused handles (descriptor numbers are
// reused at once). Re-arm rules: FD_READ once until the next recv, FD_WRITE
// at connection/registration and after a send would block, FD_ACCEPT until the
// next accept, FD_CONNECT once, FD_CLOSE once after the data are drained (at
// once on a reset). Thread-safe. Close sockets with closesocket only; call
// these qualified (plat::bind), as the C library has the same names.
#pragma once

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "MessageLoop.h"
#include "SysError.h"
#include "UniqueFd.h"

namespace plat {

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;
using u_long = unsigned long;

// The platform's family number for IPv6; the calls here also take AF_INET6.
constexpr int AF_INET6_PLATFORM = 23;
// 2 -> AF_INET, 23 or AF_INET6 -> AF_INET6, others unchanged; and back.
int FamilyToNative(int family);
int FamilyFromNative(int family);

constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;
constexpr int FD_READ_BIT = 0, FD_WRITE_BIT = 1, FD_OOB_BIT = 2, FD_ACCEPT_BIT = 3,
              FD_CONNECT_BIT = 4, FD_CLOSE_BIT = 5, FD_MAX_EVENTS = 6;

// The async-select message the servers listen for.
constexpr uint32_t WM_SOCKET_EVENT = 3134;
constexpr intptr_t WSAMAKESELECTREPLY(long event, uint32_t error) {
  return static_cast<intptr_t>((error << 16) | (static_cast<uint32_t>(event) & 0xFFFFu));
}
constexpr long WSAGETSELECTEVENT(intptr_t lParam) { return static_cast<long>(lParam & 0xFFFF); }
constexpr uint32_t WSAGETSELECTERROR(intptr_t lParam) {
  return static_cast<uint32_t>((lParam >> 16) & 0xFFFF);
}

// errno and getaddrinfo results in the platform numbering.
uint32_t MapErrnoToWsa(int e);
uint32_t MapGaiToWsa(int gaiResult);  // EAI_SYSTEM maps errno

// --- Library start-up: no-ops kept for the callers' pairing.
struct WSADATA {
  uint16_t wVersion = 0;
  uint16_t wHighVersion = 0;
};
inline uint16_t MAKEWORD(uint8_t lo, uint8_t hi) { return static_cast<uint16_t>(lo | (hi << 8)); }
int WSAStartup(uint16_t version, WSADATA* data);  // 0
int WSACleanup();                                // 0
inline uint32_t WSAGetLastError() { return GetLastError(); }
inline void WSASetLastError(uint32_t code) { SetLastError(code); }

// --- Calls. Failures return SOCKET_ERROR / INVALID_SOCKET (getaddrinfo and
// getnameinfo: the code) and set the last error. Sockets are close-on-exec;
// IPv6 sockets are IPv6-only; stream sockets get SO_REUSEADDR at bind so a
// restarted listener rebinds at once.
[[nodiscard]] SOCKET socket(int family, int type, int protocol);
// For tests and local plumbing: both ends get handles.
[[nodiscard]] int socketpair(int family, int type, int protocol, SOCKET sv[2]);
// Closes and retires the handle; notifications for it stop.
int closesocket(SOCKET s);
int shutdown(SOCKET s, int how);
int bind(SOCKET s, const sockaddr* addr, socklen_t len);
int listen(SOCKET s, int backlog);
// The accepted socket is non-blocking, as under an async-select listener.
[[nodiscard]] SOCKET accept(SOCKET s, sockaddr* addr, socklen_t* len);
// Non-blocking: an unfinished connect fails with 10035, FD_CONNECT follows.
int connect(SOCKET s, const sockaddr* addr, socklen_t len);
// Byte counts, or SOCKET_ERROR. Never raises SIGPIPE.
[[nodiscard]] int send(SOCKET s, const void* buf, int len, int flags);
[[nodiscard]] int recv(SOCKET s, void* buf, int len, int flags);
[[nodiscard]] int sendto(SOCKET s, const void* buf, int len, int flags, const sockaddr* to,
                         socklen_t tolen);
// A datagram longer than len fails with 10040 (its head is in buf).
[[nodiscard]] int recvfrom(SOCKET s, void* buf, int len, int flags, sockaddr* from,
                           socklen_t* fromlen);
int setsockopt(SOCKET s, int level, int name, const void* value, socklen_t len);
int getsockopt(SOCKET s, int level, int name, void* value, socklen_t* len);
int getsockname(SOCKET s, sockaddr* addr, socklen_t* len);
int getpeername(SOCKET s, sockaddr* addr, socklen_t* len);
// FIONBIO (*arg non-zero: non-blocking) and FIONREAD (*arg := unread bytes).
int ioctlsocket(SOCKET s, long cmd, u_long* arg);
int gethostname(char* name, int len);
[[nodiscard]] int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                              addrinfo** res);
void freeaddrinfo(addrinfo* res);
[[nodiscard]] int getnameinfo(const sockaddr* addr, socklen_t len, char* host, socklen_t hostlen,
                              char* serv, socklen_t servlen, int flags);

// Always true here; tests switch it off to reach the IPv4-only paths.
bool IsIPv6Available();
void SetIPv6AvailableForTesting(bool available);

// --- Connection handles. 0 is none.
using SocketHandle = uint64_t;
// The handle of a live socket, 0 for one not made or adopted here.
SocketHandle HandleOfSocket(SOCKET s);
// The socket of a handle, INVALID_SOCKET once it has been closed.
SOCKET SocketOfHandle(SocketHandle h);

// --- Waitable events, pollable with sockets. Set from any thread. The
// descriptor is made on first use (Set or Fd), so an event that is never
// waited on or set (a connection's sleep event without throttling) costs
// no system call.
class TWaitEvent {
 public:
  explicit TWaitEvent(bool manualReset = false);
  ~TWaitEvent();
  TWaitEvent(const TWaitEvent&) = delete;
  TWaitEvent& operator=(const TWaitEvent&) = delete;
  // Without a descriptor to be had, nothing can wait on it: dropped.
  void Set();
  void Reset();
  // Auto-reset events are reset by the wait that sees them.
  [[nodiscard]] bool IsSet();
  // Raises EOSError when no descriptor can be had.
  int Fd() const;
  bool ManualReset() const { return FManual; }

 private:
  // -1 until made; made once, by whichever thread comes first.
  int Made() const noexcept;
  mutable std::atomic<int> FFd{-1};
  bool FManual;
};

// The event object of event select: sockets selected on it signal it when a
// network event is recorded. Owner thread of the waits only.
class TSocketEvent {
 public:
  TSocketEvent();
  ~TSocketEvent();
  TSocketEvent(const TSocketEvent&) = delete;
  TSocketEvent& operator=(const TSocketEvent&) = delete;
  uint64_t Id() const { return FId; }

 private:
  uint64_t FId;
};

struct WSANETWORKEVENTS {
  long lNetworkEvents = 0;
  uint32_t iErrorCode[FD_MAX_EVENTS] = {};
};

// Records the events of mask on event (0 cancels); sets s non-blocking and
// cancels an async select. Re-registering re-arms every event.
int WSAEventSelect(SOCKET s, TSocketEvent* event, long mask);
// Takes and clears what has been recorded for s (checked at once first).
int WSAEnumNetworkEvents(SOCKET s, TSocketEvent* event, WSANETWORKEVENTS* events);

enum class TWaitResult { Event, Interrupt, Messages, Timeout, Failed };
// Waits up to timeoutMs (-1: no limit) until a socket selected on event
// records something, interrupt (may be null) is set, or the thread's message
// queue has something to do; then the messages are dispatched once
// (ProcessMessages(0)) and Messages returned. Failed leaves the last error.
// Dispatch may nest. A queue that has been told to quit is not waited on.
[[nodiscard]] TWaitResult WaitForSocketEvent(TSocketEvent* event, TWaitEvent* interrupt,
                                             int timeoutMs);

// Posts WM_SOCKET_EVENT-style messages msg (WParam = the socket's handle,
// LParam = WSAMAKESELECTREPLY) to hWnd for the events of mask (0 cancels and
// drops its events). Any thread, but the first registration for a window
// must be made on the window's thread: the events are watched there, by one
// epoll instance per thread on its message queue. Events already true are
// posted at once by a new registration (FD_WRITE when writable, and so on),
// and by a renewal as soon as that thread looks.
// Sets s non-blocking; cancels an event select. The bits of LParam above the
// low 32 tag the registration. Renewing a registration on the same window
// costs at most one epoll call and no other system call.
int WSAAsyncSelect(SOCKET s, HWND hWnd, uint32_t msg, long mask);
// As WSAAsyncSelect, but the events of take that this registration would
// report (FD_WRITE only) are handed to the caller in *taken instead of being
// posted: the caller handles them as if their message had arrived. A taken
// FD_WRITE comes again, as a message, after a send that would block.
int WSAAsyncSelectTake(SOCKET s, HWND hWnd, uint32_t msg, long mask, long take, long* taken);
// False for a message posted before its socket was closed or cancelled (mask
// 0), which were already queued and must be dropped by the handler.
[[nodiscard]] bool IsSocketEventCurrent(const TMessage& m);
// Wake-ups for threads in WaitReadable, counted: each one given ends one
// wait, a running one or the next to start. Any thread.
class TReadWaitWake {
 public:
  // Raises EOSError when the kernel object cannot be made.
  TReadWaitWake();
  void Signal(uint32_t count = 1);
  // Drops the wake-ups nobody took.
  void Reset();

 private:
  friend int WaitReadable(SOCKET s, int timeoutMs, TReadWaitWake* wake);
  UniqueFd FFd;
};

// Waits up to timeoutMs for s to become readable or to end (data, the peer's
// close, an error), without touching its event registration: 1 when it did,
// 0 on time-out or a wake-up of wake (taken), SOCKET_ERROR otherwise. A close
// of s by another thread does not end the wait early.
int WaitReadable(SOCKET s, int timeoutMs, TReadWaitWake* wake = nullptr);
// The same for room to send (or an error or hang-up on s).
int WaitWritable(SOCKET s, int timeoutMs);

}  // namespace plat
