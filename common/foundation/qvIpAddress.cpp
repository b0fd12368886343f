#include "qvIpAddress.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstdio>
#include <cstring>

#include "qvSocketUtils.h"

void TqvIPAddress::SetPort(int APort) {
  // A port past 16 bits would be truncated silently by the byte-order call.
  if (APort < 0 || APort > 65535) RaiseSocketError(qvInvalidPortNumber);
}

// --- IPv4 ------------------------------------------------------------------

int TqvIPAddress4::GetPort() const { return ntohs(FAddr.sin_port); }

void TqvIPAddress4::Clear() {
  std::memset(&FAddr, 0, sizeof FAddr);
  FFamily = qvFamilyNone;
}

bool TqvIPAddress4::Parse(const std::string& AText) {
  Clear();
  // A NUL would end the text early and let trailing bytes pass unseen.
  if (AText.find('\0') != std::string::npos) return false;
  const in_addr_t a = ::inet_addr(AText.c_str());
  if (a == INADDR_NONE) return false;
  FAddr.sin_family = AF_INET;
  FAddr.sin_addr.s_addr = a;
  FFamily = qvFamilyIPv4;
  return true;
}

void TqvIPAddress4::InitFamily(int AFamily) {
  if (AFamily != qvFamilyIPv4) RaiseSocketError(qvInvalidAddressFamily);
  Clear();
  FAddr.sin_family = AF_INET;
  FFamily = AFamily;
}

void TqvIPAddress4::InitAnyAddress(int AFamily) {
  InitFamily(AFamily);
  FAddr.sin_addr.s_addr = htonl(INADDR_ANY);
}

void TqvIPAddress4::SetPort(int APort) {
  TqvIPAddress::SetPort(APort);
  FAddr.sin_port = htons(static_cast<uint16_t>(APort));
}

std::string TqvIPAddress4::ToString() const {
  char buf[INET_ADDRSTRLEN];
  if (!::inet_ntop(AF_INET, &FAddr.sin_addr, buf, sizeof buf)) return {};
  return buf;
}

// --- IPv6-capable ----------------------------------------------------------

int TqvIPAddress6::GetFamily() const {
  const sockaddr* sa = GetSockAddr();
  return sa ? plat::FamilyFromNative(sa->sa_family) : qvFamilyNone;
}

int TqvIPAddress6::GetPort() const {
  const sockaddr* sa = GetSockAddr();
  if (!sa) return 0;
  if (sa->sa_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(sa)->sin_port);
  if (sa->sa_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(sa)->sin6_port);
  return 0;
}

bool TqvIPAddress6::Parse(const std::string& AText) {
  Clear();
  if (!IsIPv6Available() || AText.find('\0') != std::string::npos) return false;
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  hints.ai_family = AF_UNSPEC;
  // One entry per address, not one per socket type.
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (qvWinSock2::getaddrinfo(AText.c_str(), nullptr, &hints, &res) != 0) return false;
  FList.reset(res);
  return FList && FList->ai_addr;
}

void TqvIPAddress6::InitFamily(int AFamily) {
  if (AFamily != qvFamilyIPv4 && AFamily != qvFamilyIPv6) RaiseSocketError(qvInvalidAddressFamily);
  if (!Parse(AFamily == qvFamilyIPv6 ? "::" : "0.0.0.0")) RaiseSocketError(qvInvalidHostAddress);
}

void TqvIPAddress6::InitAnyAddress(int AFamily) {
  InitFamily(AFamily);
  if (AFamily == qvFamilyIPv4)
    reinterpret_cast<sockaddr_in*>(GetSockAddr())->sin_addr.s_addr = htonl(INADDR_ANY);
}

void TqvIPAddress6::SetPort(int APort) {
  TqvIPAddress::SetPort(APort);
  sockaddr* sa = GetSockAddr();
  const uint16_t port = htons(static_cast<uint16_t>(APort));
  if (sa && sa->sa_family == AF_INET)
    reinterpret_cast<sockaddr_in*>(sa)->sin_port = port;
  else if (sa && sa->sa_family == AF_INET6)
    reinterpret_cast<sockaddr_in6*>(sa)->sin6_port = port;
  else
    RaiseSocketError(qvInvalidHostAddress);
}

std::string TqvIPAddress6::ToString() const { return SockAddrToString(GetSockAddr()); }

// --- Text ------------------------------------------------------------------

std::string FormatIPv6Address(const uint8_t (&ABytes)[16]) {
  std::string text;
  char hex[8];
  auto put = [&](const char* prefix, unsigned group) {
    std::snprintf(hex, sizeof hex, "%X", group);
    text += prefix;
    text += hex;
  };
  // zeros >= 0: counting a run; -1: the one shortened run is written.
  int zeros = 0;
  for (int i = 0; i < 8; ++i) {
    const unsigned g = (static_cast<unsigned>(ABytes[2 * i]) << 8) | ABytes[2 * i + 1];
    if (zeros >= 0 && g == 0) {
      ++zeros;
    } else if (zeros == 1) {
      put(text.empty() ? "0:" : ":0:", g);
      zeros = -1;
    } else if (zeros >= 2) {
      put("::", g);
      zeros = -1;
    } else {
      put(text.empty() ? "" : ":", g);
    }
  }
  if (zeros == 1)
    text += ":0";
  else if (zeros >= 2)
    text += "::";
  return text;
}

std::string SockAddrToString(const sockaddr* AAddr) {
  if (!AAddr) return {};
  if (AAddr->sa_family == AF_INET) {
    char buf[INET_ADDRSTRLEN];
    const auto* in = reinterpret_cast<const sockaddr_in*>(AAddr);
    return ::inet_ntop(AF_INET, &in->sin_addr, buf, sizeof buf) ? std::string(buf) : std::string();
  }
  if (AAddr->sa_family == AF_INET6) {
    uint8_t b[16];
    std::memcpy(b, reinterpret_cast<const sockaddr_in6*>(AAddr)->sin6_addr.s6_addr, sizeof b);
    return FormatIPv6Address(b);
  }
  return {};
}

bool SameAddress(const TqvIPAddress& A, const TqvIPAddress& B) {
  const sockaddr* a = A.GetSockAddr();
  const sockaddr* b = B.GetSockAddr();
  if (!a || !b || a->sa_family != b->sa_family) return false;
  if (a->sa_family == AF_INET)
    return reinterpret_cast<const sockaddr_in*>(a)->sin_addr.s_addr ==
           reinterpret_cast<const sockaddr_in*>(b)->sin_addr.s_addr;
  if (a->sa_family == AF_INET6)
    return std::memcmp(&reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr,
                       &reinterpret_cast<const sockaddr_in6*>(b)->sin6_addr, sizeof(in6_addr)) == 0;
  return false;
}

// --- Factories -------------------------------------------------------------

namespace {

std::unique_ptr<TqvIPAddress> NewAddress() {
  if (IsIPv6Available()) return std::make_unique<TqvIPAddress6>();
  return std::make_unique<TqvIPAddress4>();
}

}  // namespace

std::unique_ptr<TqvIPAddress> CreateIPAddress(int AFamily) {
  auto a = NewAddress();
  a->InitFamily(AFamily);
  return a;
}

std::unique_ptr<TqvIPAddress> CreateAnyAddress(int AFamily) {
  auto a = NewAddress();
  a->InitAnyAddress(AFamily);
  return a;
}

std::unique_ptr<TqvIPAddress> ParseAddress(const std::string& AText) {
  auto a6 = std::make_unique<TqvIPAddress6>();
  if (a6->Parse(AText)) return a6;
  auto a4 = std::make_unique<TqvIPAddress4>();
  if (a4->Parse(AText)) return a4;
  RaiseSocketError(qvInvalidHostAddress);
}

bool IsIpAddress(const std::string& AText) {
  if (AText.empty()) return false;
  TqvIPAddress6 a6;
  if (a6.Parse(AText)) return true;
  TqvIPAddress4 a4;
  return a4.Parse(AText);
}

std::unique_ptr<TqvIPAddress> CreateBindingAddress(const std::string& ALocalBinding, int AFamily) {
  if (!ALocalBinding.empty()) return ParseAddress(ALocalBinding);
  return CreateAnyAddress(AFamily);
}

std::unique_ptr<TqvIPAddress> CreateBindingAddress(const std::string& ALocalBinding,
                                                   bool AUseIpV6) {
  return CreateBindingAddress(ALocalBinding, AUseIpV6 ? qvFamilyIPv6 : qvFamilyIPv4);
}
