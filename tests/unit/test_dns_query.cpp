#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <set>
#include <thread>

#include "DnsTestSupport.h"
#include "MessageLoop.h"
#include "ResolverConfig.h"
#include "TestSupport.h"
#include "qvDnsQuery.h"

using testsupport::AddA;
using testsupport::AddMX;
using testsupport::AddRecord;
using testsupport::DnsReply;
using testsupport::QueryName;
using testsupport::TDnsDatagram;
using testsupport::TFakeDnsServer;
using testsupport::TFakeDnsTcpServer;

namespace {

using TDatagrams = std::vector<TDnsDatagram>;

void Configure(TqvDnsQuery& AQuery, const std::string& AServer, int APort) {
  AQuery.SetServer(AServer);
  AQuery.SetPort(APort);
  AQuery.SetTimeOut(300);
  AQuery.SetAutodetectServer(false);
}

int ErrorOf(const std::function<void()>& f) { return testsupport::ErrorCodeOf<EqvSocketError>(f); }

TDatagrams NoSuchName(const std::string& q) { return {{DnsReply(q, nullptr, 3)}}; }

TDatagrams OneA(const std::string& q) {
  return {{DnsReply(q, [&](TqvDnsMessage& m) { AddA(m.Answers, QueryName(q), "10.9.8.7"); })}};
}

// Aborts ADns from another thread once AServer has a query beyond the
// AAsked it had, that is, while the look-up waits for the answer.
std::thread AbortWhenAsked(TqvDnsQuery& ADns, const TFakeDnsServer& AServer, size_t AAsked) {
  return std::thread([&ADns, &AServer, AAsked] {
    for (int i = 0; i < 500 && AServer.Queries().size() <= AAsked; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ADns.Abort();
  });
}

}  // namespace

TEST(DnsQuery, MailServersSortByPreferenceWithGlueNameServersAndAliases) {
  TFakeDnsServer server([](const std::string& q) {
    return TDatagrams{{DnsReply(q, [&](TqvDnsMessage& m) {
      const std::string d = QueryName(q);
      AddMX(m, d, 20, "mx20.test");
      AddMX(m, d, 10, "mx10a.test");
      AddMX(m, d, 10, "mx10b.test");
      AddMX(m, d, 30, "mx30.test");
      AddRecord<TqvDnsCNAMERecord>(m.Answers, "alias.test").PrimaryName = d;
      AddRecord<TqvDnsNSRecord>(m.Authorities, d).NameServer = "ns1.test";
      AddA(m.AdditionalRecords, "MX10B.test", "10.0.0.2");
      AddRecord<TqvDnsAAAARecord>(m.AdditionalRecords, "mx20.test").IPAddress = "2001:db8::20";
    })}};
  });
  TqvDnsQuery dns;
  Configure(dns, "127.0.0.1", server.Port());
  TqvMailServerInfo* first = dns.ResolveMX("user@example.test");
  ASSERT_NE(first, nullptr);
  TqvMailServerList& list = dns.MailServers();
  ASSERT_EQ(list.Count(), 4);
  EXPECT_EQ(list.Items(0)->Name, "mx10a.test");
  EXPECT_EQ(list.Items(1)->Name, "mx10b.test");
  EXPECT_EQ(list.Items(2)->Name, "mx20.test");
  EXPECT_EQ(list.Items(3)->Name, "mx30.test");
  EXPECT_EQ(list.Items(0)->IPAddress, "");
  EXPECT_EQ(list.Items(1)->IPAddress, "10.0.0.2");
  EXPECT_EQ(dns.IPv6HostList().Count(), 1);
  EXPECT_EQ(dns.NameServers().Text(), "ns1.test\r\n");
  EXPECT_EQ(dns.Aliases().Text(), "alias.test\r\n");

  dns.ResolveMX("a@b@c.test");
  const auto queries = server.Queries();
  ASSERT_EQ(queries.size(), 2u);
  // Header (RD set, one question), then the name and type MX, class IN.
  EXPECT_EQ(queries[0].substr(2), std::string("\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00", 10) +
                                      "\x07" "example\x04test" + std::string("\x00\x00\x0f\x00\x01", 5));
  EXPECT_EQ(QueryName(queries[1]), "b@c.test");
}

TEST(DnsQuery, ListServersAreTriedInTurnAndTheAnsweringOneIsKept) {
  // The first list server is silent, then refuses the name; the second answers.
  std::atomic<int> mode{0};
  TFakeDnsServer second(OneA, "127.0.0.2");
  TFakeDnsServer first(
      [&](const std::string& q) { return mode == 0 ? TDatagrams{} : NoSuchName(q); }, "127.0.0.1", second.Port());
  TStringList roots;
  roots.Add("127.0.0.1");
  roots.Add("127.0.0.2");
  for (int m : {0, 1}) {
    mode = m;
    TqvDnsQuery dns;
    Configure(dns, "", second.Port());
    dns.SetRootNameServers(roots);
    const uint32_t start = plat::GetTickCount();
    TqvHostInfo* host = dns.ResolveIP("www.test");
    ASSERT_NE(host, nullptr) << m;
    EXPECT_EQ(host->IPAddress, "10.9.8.7");
    EXPECT_EQ(dns.Server(), "127.0.0.2");
    EXPECT_EQ(plat::GetTickCount() - start >= 250, m == 0);
  }

}

TEST(DnsQuery, ListServersGiveWayWhenOneFallsSilentAndEveryFailureHasItsCause) {
  // The first list server answers once, then falls silent: the next look-up
  // goes on to the second instead of timing out on the first for ever.
  std::atomic<int> mode{0};
  TFakeDnsServer second([&](const std::string& q) { return mode == 2 ? TDatagrams{} : OneA(q); }, "127.0.0.2");
  TFakeDnsServer first(
      [&](const std::string& q) {
        if (mode == 0) return OneA(q);
        return mode == 1 ? TDatagrams{} : NoSuchName(q);
      },
      "127.0.0.1", second.Port());
  TStringList roots;
  roots.Add("127.0.0.1");
  roots.Add("127.0.0.2");
  TqvDnsQuery dns;
  Configure(dns, "", second.Port());
  dns.SetRootNameServers(roots);
  ASSERT_NE(dns.ResolveIP("www.test"), nullptr);
  EXPECT_EQ(dns.Server(), "127.0.0.1");
  mode = 1;
  ASSERT_NE(dns.ResolveIP("www.test"), nullptr);
  EXPECT_EQ(dns.Server(), "127.0.0.2");
  // The one that answered last is asked first.
  const size_t askedFirst = first.Queries().size();
  ASSERT_NE(dns.ResolveIP("www.test"), nullptr);
  EXPECT_EQ(first.Queries().size(), askedFirst);

  // Every server failing: the cause is raised as a fixed server raises it,
  // the name's non-existence ahead of another server's silence.
  mode = 2;
  try {
    dns.ResolveMX("nosuch.test");
    ADD_FAILURE() << "no error";
  } catch (const EqvDnsError& e) {
    EXPECT_EQ(e.ErrorCode, 3);
    EXPECT_EQ(e.Message(), "No such name");
    EXPECT_TRUE(IsPermanentDnsError(e.ErrorCode));
  }
  EXPECT_EQ(dns.Server(), "");
  EXPECT_EQ(dns.Response().Answers.Count(), 0);
  TqvDnsQuery silent;
  Configure(silent, "", second.Port());
  TStringList one;
  one.Add("127.0.0.2");
  silent.SetRootNameServers(one);
  EXPECT_EQ(ErrorOf([&] { silent.ResolveMX("example.test"); }), qvTimeoutError);
  EXPECT_FALSE(IsPermanentDnsError(qvTimeoutError));
}

TEST(DnsQuery, RepliesToAnotherQuestionAreDroppedAndIdsCannotBeGuessed) {
  std::atomic<int> mode{0};
  TFakeDnsServer server([&](const std::string& q) -> TDatagrams {
    // The right ID, but the answer to another question.
    TqvDnsMessage asked;
    asked.Parse(q);
    asked.Queries.Items(0)->Name = "evil.test";
    TStringStream other;
    asked.Build(other);
    const std::string forged =
        DnsReply(other.DataString(), [](TqvDnsMessage& m) { AddA(m.Answers, "www.test", "6.6.6.6"); });
    std::string noQuestion = DnsReply(q, nullptr);
    noQuestion = noQuestion.substr(0, 4) + std::string(8, '\0');
    if (mode == 0) return {{forged}, {noQuestion}, {OneA(q)[0]}};
    return {{forged}};
  });
  TqvDnsQuery dns;
  Configure(dns, "127.0.0.1", server.Port());
  TqvHostInfo* host = dns.ResolveIP("www.test");
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(host->IPAddress, "10.9.8.7");
  mode = 1;
  EXPECT_EQ(ErrorOf([&] { dns.ResolveIP("www.test"); }), qvTimeoutError);

  std::set<uint16_t> ids;
  for (int i = 0; i < 64; ++i) ids.insert(TqvDnsMessageHeader().ID);
  EXPECT_GT(ids.size(), 60u);
}

TEST(DnsQuery, TruncatedRepliesAreAskedAgainOverTcpAndNeverReadAsNoAnswer) {
  TFakeDnsServer udp([](const std::string& q) -> TDatagrams {
    std::string truncated = DnsReply(q, nullptr);
    truncated[2] = static_cast<char>(truncated[2] | 0x02);
    return {{truncated}};
  });
  TqvDnsQuery dns;
  Configure(dns, "127.0.0.1", udp.Port());
  {
    TFakeDnsTcpServer tcp(
        [](const std::string& q) {
          return DnsReply(q, [&](TqvDnsMessage& m) {
            for (int i = 0; i < 8; ++i) AddMX(m, QueryName(q), 10 + i, "mx" + std::to_string(i) + ".example.test");
          });
        },
        "127.0.0.1", udp.Port());
    ASSERT_NE(dns.ResolveMX("example.test"), nullptr);
    EXPECT_EQ(dns.MailServers().Count(), 8);
    EXPECT_EQ(tcp.Queries(), 1);
  }
  // No TCP side: a temporary failure, not an empty answer.
  try {
    dns.ResolveMX("example.test");
    ADD_FAILURE() << "no error";
  } catch (const EqvDnsError& e) {
    EXPECT_EQ(e.ErrorCode, qvDnsTruncatedReply);
    EXPECT_EQ(e.Message(), GetDnsQueryErrorText(qvDnsTruncatedReply));
    EXPECT_FALSE(IsPermanentDnsError(e.ErrorCode));
  }
  // A TCP answer to another question is no answer either.
  TFakeDnsTcpServer wrong([](const std::string& q) { return DnsReply(q.substr(0, 2) + std::string(10, '\0'), nullptr); },
                          "127.0.0.1", udp.Port());
  EXPECT_EQ(ErrorOf([&] { dns.ResolveMX("example.test"); }), qvDnsTruncatedReply);
}

TEST(DnsQuery, FixedServerPassesRefusalsTimeOutsAndOversizedRepliesOn) {
  std::atomic<int> mode{0};
  TFakeDnsServer server([&](const std::string& q) -> TDatagrams {
    if (mode == 0) return NoSuchName(q);
    if (mode == 1) return {};
    return {{OneA(q)[0].Bytes + std::string(600, '\0')}};
  });
  TqvDnsQuery dns;
  Configure(dns, "127.0.0.1", server.Port());
  try {
    dns.ResolveMX("nosuch.test");
    ADD_FAILURE() << "no error";
  } catch (const EqvDnsError& e) {
    EXPECT_EQ(e.ErrorCode, 3);
    EXPECT_EQ(e.Message(), "No such name");
  }
  EXPECT_EQ(dns.Server(), "127.0.0.1");
  mode = 1;
  EXPECT_EQ(ErrorOf([&] { dns.ResolveIP("www.test"); }), qvTimeoutError);
  mode = 2;
  EXPECT_EQ(ErrorOf([&] { dns.ResolveIP("www.test"); }), 10040);
}

TEST(DnsQuery, OnlyTheAskedServersReplyWithTheQueryIdCounts) {
  std::atomic<int> mode{0};
  TFakeDnsServer server([&](const std::string& q) -> TDatagrams {
    const std::string good = OneA(q)[0].Bytes;
    std::string wrongId = DnsReply(q, [](TqvDnsMessage& m) { AddA(m.Answers, "www.test", "6.6.6.6"); });
    wrongId[1] = static_cast<char>(wrongId[1] ^ 0x55);
    const std::string spoof = DnsReply(q, [](TqvDnsMessage& m) { AddA(m.Answers, "www.test", "6.6.6.7"); });
    if (mode == 0) return {{spoof, true}, {wrongId}, {good}};
    if (mode == 1) return {{wrongId}, {spoof, true}};  // nothing valid: time-out
    // The question, then an answer whose name is a pointer to itself.
    std::string loop = DnsReply(q, nullptr);
    loop[7] = 1;
    const size_t at = loop.size();
    return {{loop + static_cast<char>(0xC0 | (at >> 8)) + static_cast<char>(at & 0xFF)}};
  });
  TqvDnsQuery dns;
  Configure(dns, "127.0.0.1", server.Port());
  TqvHostInfo* host = dns.ResolveIP("www.test");
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(host->IPAddress, "10.9.8.7");
  mode = 1;
  const uint32_t start = plat::GetTickCount();
  EXPECT_EQ(ErrorOf([&] { dns.ResolveIP("www.test"); }), qvTimeoutError);
  EXPECT_LT(plat::GetTickCount() - start, 1000u);
  mode = 2;
  EXPECT_EQ(ErrorOf([&] { dns.ResolveIP("www.test"); }), qvDnsInvalidDatagram);
}

TEST(DnsQuery, ReferralsFollowGlueAndCyclicDelegationsEnd) {
  // 127.0.0.1 refers to ns.zone.test with glue 127.0.0.3, which answers.
  TFakeDnsServer glued(OneA, "127.0.0.3");
  TFakeDnsServer referring(
      [](const std::string& q) {
        return TDatagrams{{DnsReply(q, [](TqvDnsMessage& m) {
          AddRecord<TqvDnsNSRecord>(m.Authorities, "zone.test").NameServer = "ns.zone.test";
          AddA(m.AdditionalRecords, "NS.zone.test", "127.0.0.3");
        })}};
      },
      "127.0.0.1", glued.Port());
  TqvDnsQuery dns;
  Configure(dns, "127.0.0.1", glued.Port());
  dns.SetUseRecursiveQueries(true);
  TqvHostInfo* host = dns.ResolveIP("www.zone.test");
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(host->IPAddress, "10.9.8.7");
  EXPECT_EQ(glued.Queries().size(), 1u);
  EXPECT_EQ(dns.Server(), "127.0.0.1");

  // Every answer delegates to a name server without glue, whose own address
  // is delegated the same way: the shared depth budget ends it.
  TFakeDnsServer looping([](const std::string& q) {
    return TDatagrams{{DnsReply(q, [](TqvDnsMessage& m) {
      AddRecord<TqvDnsNSRecord>(m.Authorities, "loop.test").NameServer = "ns.loop.test";
    })}};
  });
  TqvDnsQuery loop;
  Configure(loop, "", looping.Port());
  TStringList roots;
  roots.Add("127.0.0.1");
  loop.SetRootNameServers(roots);
  loop.SetUseRecursiveQueries(true);
  EXPECT_EQ(loop.ResolveIP("www.loop.test"), nullptr);
  EXPECT_LE(looping.Queries().size(), 5u);
}

TEST(DnsQuery, TxtAnswersAreQuotedAndJoined) {
  std::atomic<int> mode{0};
  TFakeDnsServer server([&](const std::string& q) {
    return TDatagrams{{DnsReply(q, [&](TqvDnsMessage& m) {
      if (mode == 0) {
        AddRecord<TqvDnsTXTRecord>(m.Answers, "t.test").Text = "a";
        AddRecord<TqvDnsTXTRecord>(m.Answers, "t.test").Text = "b";
      } else {
        AddRecord<TqvDnsTXTRecord>(m.Answers, "t.test").Text = "v=DKIM1; p=AB";
      }
    })}};
  });
  TqvDnsQuery dns;
  Configure(dns, "127.0.0.1", server.Port());
  EXPECT_EQ(dns.ResolveTXT("t.test"), "\"a\",\"b\"");
  mode = 1;
  EXPECT_EQ(dns.ResolveTXT("t.test"), "v=DKIM1; p=AB");
}

TEST(DnsQuery, SystemNameServersComeFromTheResolverConfiguration) {
  EXPECT_EQ(plat::ParseResolverConfig("# local\nsearch example.test\nnameserver 10.0.0.1\n"
                                      "  nameserver\t10.0.0.2,10.0.0.1 fe80::1%eth0 ; comment\n"
                                      ";nameserver 10.0.0.9\nnameservers 10.0.0.8\nnameserver 127.0.0.53\n"),
            (std::vector<std::string>{"10.0.0.1", "10.0.0.2", "fe80::1%eth0", "127.0.0.53"}));
  EXPECT_TRUE(plat::GetSystemNameServers("/nonexistent/resolv.conf").empty());

  TFakeDnsServer server(OneA);
  testsupport::TempDir dir;
  std::ofstream(dir.Dir() + "resolv.conf") << "nameserver 127.0.0.1\n";
  TqvDnsQuery dns;
  Configure(dns, "", server.Port());
  dns.SetAutodetectServer(true);
  dns.SetResolverConfig(dir.Dir() + "resolv.conf");
  ASSERT_NE(dns.ResolveIP("www.test"), nullptr);
  EXPECT_EQ(dns.RootNameServers().Text(), "127.0.0.1\r\n");
  EXPECT_EQ(dns.Server(), "127.0.0.1");
}

TEST(DnsQuery, AbortEndsTheWaitAndAsksNoFurtherServerUntilReset) {
  using Clock = std::chrono::steady_clock;
  std::atomic<bool> answer{false};
  TFakeDnsServer second(OneA, "127.0.0.2");
  TFakeDnsServer first([&](const std::string& q) { return answer ? OneA(q) : TDatagrams{}; }, "127.0.0.1",
                       second.Port());
  // A fixed server that stays silent: the wait ends long before its time-out.
  TqvDnsQuery dns;
  Configure(dns, "127.0.0.1", first.Port());
  dns.SetTimeOut(30000);
  std::thread aborter = AbortWhenAsked(dns, first, 0);
  Clock::time_point start = Clock::now();
  EXPECT_EQ(ErrorOf([&] { dns.ResolveMX("one.test"); }), qvTimeoutError);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  aborter.join();
  EXPECT_TRUE(dns.Aborted());
  // Until reset nothing more is asked, even of a server that would answer.
  answer = true;
  EXPECT_EQ(ErrorOf([&] { dns.ResolveIP("www.test"); }), qvTimeoutError);
  EXPECT_EQ(first.Queries().size(), 1u);
  dns.ResetAbort();
  TqvHostInfo* host = dns.ResolveIP("www.test");
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(host->IPAddress, "10.9.8.7");

  // Name servers tried in turn: an abort on the first leaves the next unasked.
  answer = false;
  TStringList roots;
  roots.Add("127.0.0.1");
  roots.Add("127.0.0.2");
  TqvDnsQuery list;
  Configure(list, "", second.Port());
  list.SetTimeOut(30000);
  list.SetRootNameServers(roots);
  aborter = AbortWhenAsked(list, first, first.Queries().size());
  start = Clock::now();
  EXPECT_EQ(ErrorOf([&] { list.ResolveIP("www.test"); }), qvTimeoutError);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  aborter.join();
  EXPECT_TRUE(second.Queries().empty());
}

namespace {

// A datagram client that says goodbye to its server when it is destroyed.
class TGoodbyeClient : public TqvUdpClient {
 public:
  explicit TGoodbyeClient(int& ACalls) : FCalls(ACalls) { InitDefaultPort(); }
  ~TGoodbyeClient() override { RunBeforeDestroy(); }

 protected:
  int GetDefaultPort() const override { return 9; }
  void BeforeDestroy() override {
    ++FCalls;
    Open();
    TStringStream bye("bye");
    SendPacket(bye);
    Close();
  }

 private:
  int& FCalls;
};

}  // namespace

TEST(UdpClient, ADescendantsPreDestroyHookRunsOnceWhileItCanStillSend) {
  TFakeDnsServer server([](const std::string&) { return TDatagrams{}; });
  int calls = 0;
  {
    TGoodbyeClient client(calls);
    client.SetServer("127.0.0.1");
    client.SetPort(server.Port());
  }
  EXPECT_EQ(calls, 1);
  for (int i = 0; i < 100 && server.Queries().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(server.Queries(), std::vector<std::string>{"bye"});
}
