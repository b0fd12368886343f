// Host-name resolution for the client connections: one address text for a
// host (ResolveHost), or every address (ResolveIPList), and the local host's
// name. A numeric host is returned as given, without a look-up. While IPv6 is
// available TqvHostResolver6 answers on the calling thread with a blocking
// look-up; otherwise TqvHostResolver4 looks up IPv4 addresses on a helper
// thread and dispatches the caller's messages while it waits (5000 ms without
// an answer or a message raises -1). Failures raise EqvSocketError with the
// platform code (11001 host not found, ...). Objects belong to one thread.
#pragma once

#include <string>

#include "ClassCore.h"
#include "StringList.h"

class TqvHostResolver : public TObject {
 public:
  VX_CLASS_NAME("TqvHostResolver")
  virtual void ResolveIP(const std::string& AHost, std::string& AIP) = 0;
  // Clears AList, then adds the address texts in the resolver's order.
  virtual void ResolveIPList(const std::string& AHost, TStrings& AList) = 0;
};

class TqvHostResolver4 : public TqvHostResolver {
 public:
  static constexpr int TimeOut = 5000;
  VX_CLASS_NAME("TqvHostResolver4")
  // The first IPv4 address as "%d.%d.%d.%d", empty when there is none.
  void ResolveIP(const std::string& AHost, std::string& AIP) override;
  void ResolveIPList(const std::string& AHost, TStrings& AList) override;
};

class TqvHostResolver6 : public TqvHostResolver {
 public:
  explicit TqvHostResolver6(bool APreferIPv6) : PreferIPv6(APreferIPv6) {}
  VX_CLASS_NAME("TqvHostResolver6")
  // The first address of the preferred family, else the first of any.
  void ResolveIP(const std::string& AHost, std::string& AIP) override;
  // IPv4 and IPv6 addresses in the order the name service gave them.
  void ResolveIPList(const std::string& AHost, TStrings& AList) override;
  bool PreferIPv6;
};

// One address text for AHost into AIP; AUseIpV6 prefers IPv6 addresses.
void ResolveHost(const std::string& AHost, bool AUseIpV6, std::string& AIP);
// Empty when the name cannot be had.
[[nodiscard]] std::string GetLocalHostName();
// The machine's fully qualified name: the host name when it has a dot, else
// the canonical name the name service gives it when that has one; empty when
// there is none (a bare "vm" is not one). Looked up once per process.
[[nodiscard]] std::string GetLocalFullyQualifiedName();
// True for a name with at least two labels, none empty.
[[nodiscard]] bool IsFullyQualifiedName(const std::string& AName);
