// Addresses, their text and the host resolvers (numeric, "localhost" and
// names under .invalid only).
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <optional>
#include <set>
#include <string>

#include "StringList.h"
#include "qvHostResolver.h"
#include "qvIpAddress.h"
#include "qvSocketUtils.h"
#include "qvWinSock2.h"

namespace {

// Takes the IPv4-only paths for one test and restores IPv6 after it.
struct IPv4Only {
  IPv4Only() { SetIPv6AvailableForTesting(false); }
  ~IPv4Only() { SetIPv6AvailableForTesting(true); }
};

template <typename F>
int CodeOf(F&& f) {
  try {
    f();
  } catch (const EqvSocketError& e) {
    EXPECT_FALSE(e.Message().empty()) << e.ErrorCode;
    return e.ErrorCode;
  }
  return 0;
}

}  // namespace

TEST(IpAddressText, Ipv6GroupsFollowTheFirstRunRule) {
  struct Case {
    uint16_t Groups[8];
    const char* Text;
  } cases[] = {
      {{0, 0, 0, 0, 0, 0, 0, 1}, "::1"},
      {{0xFE80, 0, 0, 0, 0, 0, 0, 1}, "FE80::1"},
      {{1, 0, 0, 2, 0, 0, 0, 3}, "1::2:0:0:0:3"},
      {{1, 2, 3, 4, 5, 6, 7, 0}, "1:2:3:4:5:6:7:0"},
      {{0xFE80, 0, 0, 0, 0, 0, 0, 0}, "FE80::"},
      {{0, 0, 0, 0, 0, 0, 0, 0}, "::"},
      {{1, 0, 2, 0, 0, 0, 0, 3}, "1:0:2:0:0:0:0:3"},
      {{0, 1, 2, 3, 4, 5, 6, 7}, "0:1:2:3:4:5:6:7"},
      {{0x2001, 0xDB8, 0xABC, 0, 0, 0, 0, 0x00FF}, "2001:DB8:ABC::FF"},
  };
  for (const auto& c : cases) {
    uint8_t b[16];
    for (int i = 0; i < 8; ++i) {
      b[2 * i] = static_cast<uint8_t>(c.Groups[i] >> 8);
      b[2 * i + 1] = static_cast<uint8_t>(c.Groups[i]);
    }
    EXPECT_EQ(FormatIPv6Address(b), c.Text);
  }
}

TEST(IpAddressParse, EachClassAcceptsItsForms) {
  struct Case {
    std::string Text;
    bool By4, By6;
    const char* Printed;  // as the parsing class prints it
  } cases[] = {
      {"127.0.0.1", true, true, "127.0.0.1"},
      {"127.1", true, true, "127.0.0.1"},
      {"0x7f.0.0.1", true, true, "127.0.0.1"},
      {"255.255.255.255", false, true, "255.255.255.255"},
      {"fe80::1", false, true, "FE80::1"},
      {"::ffff:10.0.0.1", false, true, "::FFFF:A00:1"},
      {"1.2.3.256", false, false, ""},
      {"mail.example", false, false, ""},
      {"", false, false, ""},
      {std::string("10.0.0.1\0.5", 11), false, false, ""},
  };
  for (const auto& c : cases) {
    TqvIPAddress4 a4;
    TqvIPAddress6 a6;
    EXPECT_EQ(a4.Parse(c.Text), c.By4) << c.Text;
    EXPECT_EQ(a6.Parse(c.Text), c.By6) << c.Text;
    if (c.By4) {
      EXPECT_EQ(a4.ToString(), c.Printed);
    }
    if (c.By6) {
      EXPECT_EQ(a6.ToString(), c.Printed);
    }
    if (!c.By4) {
      EXPECT_EQ(a4.GetFamily(), qvFamilyNone) << c.Text;
    }
    if (!c.By6) {
      EXPECT_EQ(a6.GetSockAddr(), nullptr) << c.Text;
    }
  }
}

TEST(IpAddressParse, FamilyAndSocketAddressMatchTheText) {
  auto v4 = ParseAddress("192.0.2.7");
  auto v6 = ParseAddress("2001:db8::7");
  EXPECT_EQ(v4->GetFamily(), qvFamilyIPv4);
  EXPECT_EQ(v4->GetSockAddr()->sa_family, AF_INET);
  EXPECT_EQ(v4->GetSockAddrSize(), static_cast<int>(sizeof(sockaddr_in)));
  EXPECT_FALSE(v4->IsIPv6());
  EXPECT_EQ(v6->GetFamily(), qvFamilyIPv6);
  EXPECT_EQ(v6->GetSockAddr()->sa_family, AF_INET6);
  EXPECT_EQ(v6->GetSockAddrSize(), static_cast<int>(sizeof(sockaddr_in6)));
  EXPECT_TRUE(v6->IsIPv6());
  EXPECT_EQ(v6->ToString(), "2001:DB8::7");
}

TEST(IpAddressPort, RangeIsCheckedAndStoredInNetworkOrder) {
  struct Case {
    int Port;
    int Code;
  } cases[] = {
      {-1, qvInvalidPortNumber},   {0, 0}, {25, 0}, {65535, 0}, {65536, qvInvalidPortNumber},
      {70000, qvInvalidPortNumber}};
  for (const char* text : {"127.0.0.1", "::1"}) {
    for (const auto& c : cases) {
      auto a = ParseAddress(text);
      EXPECT_EQ(CodeOf([&] { a->SetPort(c.Port); }), c.Code) << text << " " << c.Port;
      if (c.Code == 0) {
        EXPECT_EQ(a->GetPort(), c.Port);
      }
    }
  }
  auto a = ParseAddress("10.0.0.1");
  a->SetPort(0x1234);
  const auto* in = reinterpret_cast<const sockaddr_in*>(a->GetSockAddr());
  EXPECT_EQ(in->sin_port, htons(0x1234));
  TqvIPAddress6 empty;
  EXPECT_EQ(CodeOf([&] { empty.SetPort(25); }), qvInvalidHostAddress);
  EXPECT_EQ(empty.GetPort(), 0);
}

TEST(IpAddressFamily, WildcardsAndRefusedFamilies) {
  TqvIPAddress4 a4;
  TqvIPAddress6 a6;
  EXPECT_EQ(CodeOf([&] { a4.InitFamily(qvFamilyIPv6); }), qvInvalidAddressFamily);
  EXPECT_EQ(CodeOf([&] { a6.InitFamily(7); }), qvInvalidAddressFamily);
  EXPECT_EQ(CodeOf([] { (void)CreateIPAddress(0); }), qvInvalidAddressFamily);

  EXPECT_EQ(CreateBindingAddress("", true)->ToString(), "::");
  EXPECT_EQ(CreateBindingAddress("", false)->ToString(), "0.0.0.0");
  EXPECT_EQ(CreateBindingAddress("", qvFamilyIPv6)->GetFamily(), qvFamilyIPv6);
  EXPECT_EQ(CreateBindingAddress("192.0.2.1", true)->ToString(), "192.0.2.1");
  EXPECT_EQ(CodeOf([] { (void)CreateBindingAddress("bind.invalid", false); }),
            qvInvalidHostAddress);
  EXPECT_EQ(CreateIPAddress(qvFamilyIPv4)->GetFamily(), qvFamilyIPv4);
}

TEST(IpAddressFactory, NumericChecksNeverLookNamesUp) {
  const uint64_t before = qvWinSock2::NameLookupCount();
  EXPECT_EQ(CodeOf([] { (void)ParseAddress("mail.example"); }), qvInvalidHostAddress);
  EXPECT_FALSE(IsIpAddress(""));
  EXPECT_TRUE(IsIpAddress("::1"));
  EXPECT_TRUE(IsIpAddress("127.0.0.1"));
  EXPECT_FALSE(IsIpAddress("localhost"));
  EXPECT_EQ(qvWinSock2::NameLookupCount(), before);
}

TEST(IpAddressFactory, WithoutIpv6EverythingIsIpv4) {
  IPv4Only hook;
  EXPECT_FALSE(IsIPv6Available());
  EXPECT_FALSE(IsIpAddress("::1"));
  EXPECT_TRUE(IsIpAddress("127.0.0.1"));
  EXPECT_STREQ(CreateIPAddress(qvFamilyIPv4)->ClassName(), "TqvIPAddress4");
  EXPECT_STREQ(ParseAddress("10.0.0.1")->ClassName(), "TqvIPAddress4");
  EXPECT_EQ(CodeOf([] { (void)CreateAnyAddress(qvFamilyIPv6); }), qvInvalidAddressFamily);
  EXPECT_EQ(CreateBindingAddress("", false)->ToString(), "0.0.0.0");
}

TEST(IpAddressCompare, SameAddressIgnoresClassAndPort) {
  TqvIPAddress4 a;
  TqvIPAddress6 b, c, d;
  ASSERT_TRUE(a.Parse("127.0.0.1"));
  ASSERT_TRUE(b.Parse("127.0.0.1"));
  ASSERT_TRUE(c.Parse("::ffff:127.0.0.1"));
  ASSERT_TRUE(d.Parse("127.0.0.2"));
  b.SetPort(25);
  EXPECT_TRUE(SameAddress(a, b));
  EXPECT_FALSE(SameAddress(a, c));  // mapped form is another family
  EXPECT_FALSE(SameAddress(a, d));
  EXPECT_FALSE(SameAddress(a, TqvIPAddress6()));
}

TEST(IpAddressErrorTexts, LibraryCodesHaveFixedTexts) {
  const char* texts[] = {"Timeout error occured",     "Invalid host address",
                         "Invalid port number",       "Invalid Batch Size",
                         "NetworkStream is required", "The connection to the server is not active",
                         "Invalid address family"};
  for (int code = -1; code >= -7; --code) {
    try {
      RaiseSocketError(code);
    } catch (const EqvSocketError& e) {
      EXPECT_EQ(e.ErrorCode, code);
      EXPECT_EQ(e.Message(), texts[-code - 1]);
    }
  }
  EXPECT_EQ(GetSocketErrorText(0), "");
  try {
    RaiseSocketLastError(10061);
  } catch (const EqvSocketError& e) {
    EXPECT_EQ(e.ErrorCode, 10061);
    EXPECT_EQ(e.Message(), GetSystemErrorText(10061));
    EXPECT_FALSE(e.Message().empty());
  }
}

TEST(HostResolve, NumericHostsComeBackUnchangedWithoutALookUp) {
  const uint64_t before = qvWinSock2::NameLookupCount();
  for (const char* host : {"127.0.0.1", "::1", "127.1"}) {
    std::string ip;
    ResolveHost(host, false, ip);
    EXPECT_EQ(ip, host);
    TqvHostResolver4 r4;
    r4.ResolveIP(host, ip);
    EXPECT_EQ(ip, host);
  }
  EXPECT_EQ(qvWinSock2::NameLookupCount(), before);
}

TEST(HostResolve, LocalhostResolvesOncePerAddress) {
  std::string ip;
  ResolveHost("localhost", false, ip);
  EXPECT_EQ(ip, "127.0.0.1");
  for (bool ipv4Only : {false, true}) {
    if (ipv4Only) SetIPv6AvailableForTesting(false);
    TStringList list;
    list.Add("stale");
    if (ipv4Only) {
      TqvHostResolver4().ResolveIPList("localhost", list);
    } else {
      TqvHostResolver6(false).ResolveIPList("localhost", list);
    }
    SetIPv6AvailableForTesting(true);
    std::set<std::string> seen;
    for (int i = 0; i < list.Count(); ++i)
      EXPECT_TRUE(seen.insert(list.Strings(i)).second) << "duplicate " << list.Strings(i);
    EXPECT_TRUE(seen.count("127.0.0.1")) << ipv4Only;
    EXPECT_FALSE(seen.count("stale"));
  }
}

TEST(HostResolve, UnknownHostsCarryPlatformCodes) {
  // Never the library's negative codes, whichever resolver runs.
  for (bool ipv4Only : {false, true}) {
    std::optional<IPv4Only> hook;
    if (ipv4Only) hook.emplace();
    std::string ip = "unchanged";
    const int code = CodeOf([&] { ResolveHost("no-such-host.invalid", false, ip); });
    hook.reset();
    EXPECT_GE(code, 11001) << ipv4Only;
    EXPECT_LE(code, 11004) << ipv4Only;
    EXPECT_EQ(ip, "unchanged");
  }
  EXPECT_FALSE(GetLocalHostName().empty());
}
