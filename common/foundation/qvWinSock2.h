// The socket-library binding: start-up and clean-up of the socket library,
// whether IPv6 can be used, and the entry points the socket units call by
// the platform's names. Here every entry is linked in, so the loaders only
// mark the library loaded (once, under call_once) and the wrappers forward to
// the platform calls; their results and last error are the platform's.
// IPv6 is always available, except under SetIPv6AvailableForTesting(false),
// which lets tests take the IPv4-only paths. Any thread may call anything.
#pragma once

#include <cstdint>
#include <memory>

#include "Sockets.h"

// Raises EqvSocketError with the platform code when start-up fails.
// Pair each call with CleanupWinSock.
void InitWinSock();
void CleanupWinSock();

// Both return at once after the first call.
void LoadWinSock2();
void LoadWinSock1();

[[nodiscard]] bool IsIPv6Available();
void SetIPv6AvailableForTesting(bool AAvailable);

// Owner of a getaddrinfo result list.
struct TqvAddrInfoFree {
  void operator()(addrinfo* p) const;
};
using TqvAddrInfoList = std::unique_ptr<addrinfo, TqvAddrInfoFree>;

namespace qvWinSock2 {

[[nodiscard]] std::unique_ptr<plat::TSocketEvent> WSACreateEvent();
void WSACloseEvent(std::unique_ptr<plat::TSocketEvent>& AEvent);
int WSAEventSelect(plat::SOCKET s, plat::TSocketEvent* event, long mask);
int WSAEnumNetworkEvents(plat::SOCKET s, plat::TSocketEvent* event, plat::WSANETWORKEVENTS* events);
// 0 or the platform code (11001 host not found, ...); hints may be null.
[[nodiscard]] int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                              addrinfo** res);
// Does nothing for null.
void freeaddrinfo(addrinfo* res);
int connect(plat::SOCKET s, const sockaddr* addr, socklen_t len);
int getsockname(plat::SOCKET s, sockaddr* addr, socklen_t* len);
int bind(plat::SOCKET s, const sockaddr* addr, socklen_t len);
[[nodiscard]] plat::SOCKET accept(plat::SOCKET s, sockaddr* addr, socklen_t* len);
[[nodiscard]] int recvfrom(plat::SOCKET s, void* buf, int len, int flags, sockaddr* from,
                           socklen_t* fromlen);
[[nodiscard]] int sendto(plat::SOCKET s, const void* buf, int len, int flags, const sockaddr* to,
                         socklen_t tolen);

// getaddrinfo calls that may have gone to a name service (hints without
// AI_NUMERICHOST), since start: lets tests prove a numeric path looked
// nothing up.
[[nodiscard]] uint64_t NameLookupCount();

}  // namespace qvWinSock2
