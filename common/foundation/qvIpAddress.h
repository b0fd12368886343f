// IPv4 and IPv6 socket addresses behind one interface, so connection code
// never asks which it has. Families use the platform's numbers (2 IPv4,
// 23 IPv6, 0 none); ports are given and returned in host order. Parse takes
// numeric text only and never looks a name up. IPv6 text is upper-case hex
// with only the first run of zero groups shortened ("FE80::1",
// "1:0:2:0:0:0:0:3"): logs and stored lists hold that form, so keep it.
// TqvIPAddress4 refuses "255.255.255.255" (its parser's failure value) while
// TqvIPAddress6 accepts it. Raises EqvSocketError -2, -3, -7. An object
// belongs to one thread.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <string>

#include "ClassCore.h"
#include "qvWinSock2.h"

constexpr int qvFamilyNone = 0;
constexpr int qvFamilyIPv4 = 2;
constexpr int qvFamilyIPv6 = 23;

class TqvIPAddress : public TObject {
 public:
  VX_CLASS_NAME("TqvIPAddress")
  [[nodiscard]] virtual bool IsIPv6() const = 0;
  // For socket calls; null for an IPv6 object without an address. Valid until
  // the next Clear, Parse or Init*.
  [[nodiscard]] virtual sockaddr* GetSockAddr() = 0;
  [[nodiscard]] virtual const sockaddr* GetSockAddr() const = 0;
  [[nodiscard]] virtual int GetFamily() const = 0;
  [[nodiscard]] virtual int GetSockAddrSize() const = 0;
  [[nodiscard]] virtual int GetPort() const = 0;
  virtual void Clear() = 0;
  // False, with the object cleared, for anything but a numeric address.
  [[nodiscard]] virtual bool Parse(const std::string& AText) = 0;
  // Raises -7 for a family the class cannot hold.
  virtual void InitFamily(int AFamily) = 0;
  virtual void InitAnyAddress(int AFamily) = 0;
  // The base raises -3 outside 0..65535; descendants call it first.
  virtual void SetPort(int APort);
  // Empty when there is no address.
  [[nodiscard]] virtual std::string ToString() const = 0;
};

class TqvIPAddress4 : public TqvIPAddress {
 public:
  TqvIPAddress4() { Clear(); }
  VX_CLASS_NAME("TqvIPAddress4")
  bool IsIPv6() const override { return false; }
  sockaddr* GetSockAddr() override { return reinterpret_cast<sockaddr*>(&FAddr); }
  const sockaddr* GetSockAddr() const override { return reinterpret_cast<const sockaddr*>(&FAddr); }
  int GetFamily() const override { return FFamily; }
  int GetSockAddrSize() const override { return sizeof FAddr; }
  int GetPort() const override;
  void Clear() override;
  bool Parse(const std::string& AText) override;
  void InitFamily(int AFamily) override;
  void InitAnyAddress(int AFamily) override;
  void SetPort(int APort) override;
  std::string ToString() const override;

 private:
  sockaddr_in FAddr;
  int FFamily = qvFamilyNone;
};

// Holds one getaddrinfo result and answers from its first entry.
class TqvIPAddress6 : public TqvIPAddress {
 public:
  VX_CLASS_NAME("TqvIPAddress6")
  bool IsIPv6() const override { return GetFamily() == qvFamilyIPv6; }
  sockaddr* GetSockAddr() override { return FList ? FList->ai_addr : nullptr; }
  const sockaddr* GetSockAddr() const override { return FList ? FList->ai_addr : nullptr; }
  int GetFamily() const override;
  int GetSockAddrSize() const override { return FList ? static_cast<int>(FList->ai_addrlen) : 0; }
  int GetPort() const override;
  void Clear() override { FList.reset(); }
  // Accepts IPv4 and IPv6 text; false whenever IPv6 is unavailable.
  bool Parse(const std::string& AText) override;
  // Raises -7 for a family other than 2 or 23, -2 when the wildcard fails.
  void InitFamily(int AFamily) override;
  void InitAnyAddress(int AFamily) override;
  // Raises -2 without an address of family 2 or 23.
  void SetPort(int APort) override;
  std::string ToString() const override;

 private:
  TqvAddrInfoList FList;
};

// "FE80::1" for the 16 bytes of an IPv6 address (network order).
[[nodiscard]] std::string FormatIPv6Address(const uint8_t (&ABytes)[16]);
// The text of an IPv4 or IPv6 socket address; empty for other families.
[[nodiscard]] std::string SockAddrToString(const sockaddr* AAddr);

// Same family and address bytes; ports are not compared.
[[nodiscard]] bool SameAddress(const TqvIPAddress& A, const TqvIPAddress& B);

// New objects owned by the caller: TqvIPAddress6 while IPv6 is available,
// else TqvIPAddress4. Raise what InitFamily/InitAnyAddress raise.
[[nodiscard]] std::unique_ptr<TqvIPAddress> CreateIPAddress(int AFamily);
[[nodiscard]] std::unique_ptr<TqvIPAddress> CreateAnyAddress(int AFamily);
// IPv6 class first, then IPv4; raises -2 when neither parses.
[[nodiscard]] std::unique_ptr<TqvIPAddress> ParseAddress(const std::string& AText);
[[nodiscard]] bool IsIpAddress(const std::string& AText);
// ALocalBinding parsed when not empty, else the wildcard of AFamily.
[[nodiscard]] std::unique_ptr<TqvIPAddress> CreateBindingAddress(const std::string& ALocalBinding,
                                                                 int AFamily);
// AUseIpV6 false means family 2, true family 23.
[[nodiscard]] std::unique_ptr<TqvIPAddress> CreateBindingAddress(const std::string& ALocalBinding,
                                                                 bool AUseIpV6);
