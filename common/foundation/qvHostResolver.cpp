#include "qvHostResolver.h"

#include <netdb.h>
#include <netinet/in.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "Sockets.h"
#include "qvIpAddress.h"
#include "qvSocketUtils.h"
#include "qvWinSock2.h"

namespace {

// Throws for a failed look-up; the list owns the result.
TqvAddrInfoList LookUp(const std::string& AHost, int ANativeFamily) {
  addrinfo hints{};
  hints.ai_family = ANativeFamily;
  // One entry per address: without a socket type every address comes once
  // for each type.
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  const int rc = qvWinSock2::getaddrinfo(AHost.c_str(), nullptr, &hints, &res);
  TqvAddrInfoList list(res);
  if (rc != 0) RaiseSocketLastError(rc);
  return list;
}

std::string Dotted(const sockaddr* AAddr) {
  const auto* b = reinterpret_cast<const uint8_t*>(
      &reinterpret_cast<const sockaddr_in*>(AAddr)->sin_addr.s_addr);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
  return buf;
}

// One IPv4 look-up on a helper thread, so the caller can keep dispatching.
// The state is shared: after a time-out the helper finishes on its own.
struct TLookUp4 {
  std::mutex Lock;
  plat::TWaitEvent Done{true};
  TqvAddrInfoList Result;
  int Code = 0;
};

TqvAddrInfoList LookUp4(const std::string& AHost) {
  auto state = std::make_shared<TLookUp4>();
  std::thread([state, host = AHost] {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    const int rc = qvWinSock2::getaddrinfo(host.c_str(), nullptr, &hints, &res);
    {
      std::scoped_lock lk(state->Lock);
      state->Result.reset(res);
      state->Code = rc;
    }
    state->Done.Set();
  }).detach();
  for (;;) {
    // Each wait starts its clock anew: the limit is 5000 ms of silence.
    const plat::TWaitResult r =
        plat::WaitForSocketEvent(nullptr, &state->Done, TqvHostResolver4::TimeOut);
    if (r == plat::TWaitResult::Timeout) RaiseSocketError(qvTimeoutError);
    if (r == plat::TWaitResult::Failed)
      RaiseSocketLastError(static_cast<int>(plat::WSAGetLastError()));
    // Done is manual-reset, so it is still set after a turn of messages.
    if (state->Done.IsSet()) {
      std::scoped_lock lk(state->Lock);
      if (state->Code != 0) RaiseSocketLastError(state->Code);
      return std::move(state->Result);
    }
  }
}

}  // namespace

void TqvHostResolver4::ResolveIP(const std::string& AHost, std::string& AIP) {
  if (IsIpAddress(AHost)) {
    AIP = AHost;
    return;
  }
  TqvAddrInfoList list = LookUp4(AHost);
  AIP.clear();
  for (const addrinfo* p = list.get(); p; p = p->ai_next)
    if (p->ai_family == AF_INET && p->ai_addr) {
      AIP = Dotted(p->ai_addr);
      return;
    }
}

void TqvHostResolver4::ResolveIPList(const std::string& AHost, TStrings& AList) {
  AList.Clear();
  TqvAddrInfoList list = LookUp4(AHost);
  for (const addrinfo* p = list.get(); p; p = p->ai_next)
    if (p->ai_family == AF_INET && p->ai_addr) AList.Add(Dotted(p->ai_addr));
}

void TqvHostResolver6::ResolveIP(const std::string& AHost, std::string& AIP) {
  if (IsIpAddress(AHost)) {
    AIP = AHost;
    return;
  }
  TqvAddrInfoList list = LookUp(AHost, AF_UNSPEC);
  const int wanted = PreferIPv6 ? AF_INET6 : AF_INET;
  const addrinfo* pick = nullptr;
  for (const addrinfo* p = list.get(); p && !pick; p = p->ai_next)
    if (p->ai_family == wanted) pick = p;
  if (!pick) pick = list.get();
  AIP = pick ? SockAddrToString(pick->ai_addr) : std::string();
}

void TqvHostResolver6::ResolveIPList(const std::string& AHost, TStrings& AList) {
  AList.Clear();
  TqvAddrInfoList list = LookUp(AHost, AF_UNSPEC);
  for (const addrinfo* p = list.get(); p; p = p->ai_next)
    if (p->ai_family == AF_INET || p->ai_family == AF_INET6)
      AList.Add(SockAddrToString(p->ai_addr));
}

void ResolveHost(const std::string& AHost, bool AUseIpV6, std::string& AIP) {
  if (IsIPv6Available()) {
    TqvHostResolver6 r(AUseIpV6);
    r.ResolveIP(AHost, AIP);
  } else {
    TqvHostResolver4 r;
    r.ResolveIP(AHost, AIP);
  }
}

std::string GetLocalHostName() {
  char buf[256] = {};
  if (plat::gethostname(buf, sizeof buf - 1) != 0) return {};
  return buf;
}

bool IsFullyQualifiedName(const std::string& AName) {
  if (AName.empty() || AName.front() == '.' || AName.back() == '.' || AName.find("..") != std::string::npos)
    return false;
  return AName.find('.') != std::string::npos && !IsIpAddress(AName);
}

std::string GetLocalFullyQualifiedName() {
  static const std::string name = [] {
    const std::string host = GetLocalHostName();
    if (host.empty() || IsFullyQualifiedName(host)) return host;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* res = nullptr;
    if (qvWinSock2::getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0) return std::string();
    TqvAddrInfoList list(res);
    const std::string canonical = res && res->ai_canonname ? res->ai_canonname : "";
    return IsFullyQualifiedName(canonical) ? canonical : std::string();
  }();
  return name;
}
