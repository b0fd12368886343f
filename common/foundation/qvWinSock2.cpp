#include "qvWinSock2.h"

#include <atomic>
#include <mutex>

#include "qvSocketUtils.h"

namespace {

std::once_flag gWinSock2Once, gWinSock1Once;
std::atomic<bool> gIPv6Available{true};
std::atomic<uint64_t> gNameLookups{0};

}  // namespace

void InitWinSock() {
  plat::WSADATA data;
  if (plat::WSAStartup(plat::MAKEWORD(2, 2), &data) != 0)
    RaiseSocketLastError(static_cast<int>(plat::WSAGetLastError()));
}

void CleanupWinSock() { plat::WSACleanup(); }

void LoadWinSock2() {
  // Everything is linked in: loading is only the once-only mark.
  std::call_once(gWinSock2Once, [] {});
}

void LoadWinSock1() {
  std::call_once(gWinSock1Once, [] {});
}

bool IsIPv6Available() {
  LoadWinSock2();
  return gIPv6Available.load();
}

void SetIPv6AvailableForTesting(bool AAvailable) { gIPv6Available = AAvailable; }

void TqvAddrInfoFree::operator()(addrinfo* p) const { qvWinSock2::freeaddrinfo(p); }

namespace qvWinSock2 {

std::unique_ptr<plat::TSocketEvent> WSACreateEvent() {
  LoadWinSock2();
  return std::make_unique<plat::TSocketEvent>();
}

void WSACloseEvent(std::unique_ptr<plat::TSocketEvent>& AEvent) {
  LoadWinSock2();
  AEvent.reset();
}

int WSAEventSelect(plat::SOCKET s, plat::TSocketEvent* event, long mask) {
  LoadWinSock2();
  return plat::WSAEventSelect(s, event, mask);
}

int WSAEnumNetworkEvents(plat::SOCKET s, plat::TSocketEvent* event,
                         plat::WSANETWORKEVENTS* events) {
  LoadWinSock2();
  return plat::WSAEnumNetworkEvents(s, event, events);
}

int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res) {
  LoadWinSock2();
  if (!hints || !(hints->ai_flags & AI_NUMERICHOST)) ++gNameLookups;
  return plat::getaddrinfo(node, service, hints, res);
}

void freeaddrinfo(addrinfo* res) {
  LoadWinSock2();
  if (res) plat::freeaddrinfo(res);
}

int connect(plat::SOCKET s, const sockaddr* addr, socklen_t len) {
  LoadWinSock1();
  return plat::connect(s, addr, len);
}

int getsockname(plat::SOCKET s, sockaddr* addr, socklen_t* len) {
  LoadWinSock1();
  return plat::getsockname(s, addr, len);
}

int bind(plat::SOCKET s, const sockaddr* addr, socklen_t len) {
  LoadWinSock1();
  return plat::bind(s, addr, len);
}

plat::SOCKET accept(plat::SOCKET s, sockaddr* addr, socklen_t* len) {
  LoadWinSock1();
  return plat::accept(s, addr, len);
}

int recvfrom(plat::SOCKET s, void* buf, int len, int flags, sockaddr* from, socklen_t* fromlen) {
  LoadWinSock1();
  return plat::recvfrom(s, buf, len, flags, from, fromlen);
}

int sendto(plat::SOCKET s, const void* buf, int len, int flags, const sockaddr* to,
           socklen_t tolen) {
  LoadWinSock1();
  return plat::sendto(s, buf, len, flags, to, tolen);
}

uint64_t NameLookupCount() { return gNameLookups.load(); }

}  // namespace qvWinSock2
