// The relay against scripted receivers and a fake name server: grouping by
// whole domain, exchangers tried in order, the MX-then-address look-up, and
// the per-domain status each failure leaves.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <thread>

#include "DnsTestSupport.h"
#include "RelayTestSupport.h"
#include "TestSupport.h"
#include "qvIdnTranslator.h"
#include "qvSmtpRelay.h"

using testsupport::TPeerConn;
using testsupport::TScriptedPeer;

namespace {

std::unique_ptr<TStringList> Lines(std::initializer_list<const char*> AItems) {
  auto l = std::make_unique<TStringList>();
  for (const char* s : AItems) l->Add(s);
  return l;
}

struct RelayRun {
  TqvSmtpRelay Relay;
  std::map<std::string, std::vector<std::string>> Hosts;
  std::vector<std::string> Asked;
  explicit RelayRun(int APort) {
    Relay.SetPort(APort);
    Relay.SetTimeOut(5000);
    Relay.SetHostName("relay.test");
    Relay.OnResolveMX = [this](TObject*, const std::string& d, TStrings& list, bool& handled) {
      Asked.push_back(d);
      auto it = Hosts.find(d);
      if (it == Hosts.end()) return;
      for (const std::string& h : it->second) list.Add(h);
      handled = true;
    };
  }
  void Send(std::initializer_list<const char*> ARcpts) {
    auto data = Lines({"Subject: hi", "Bcc: a@x.test", "bcc: b@x.test", "", ".dot", "end"});
    Relay.Send("alice@example.com", *data, *Lines(ARcpts));
  }
};

// A relay that delivers to APeerPort and asks the fake name server ADnsPort.
void AskFakeDns(TqvSmtpRelay& ARelay, int APeerPort, int ADnsPort) {
  ARelay.SetPort(APeerPort);
  ARelay.SetDnsServer("127.0.0.1");
  ARelay.Dns().SetPort(ADnsPort);
}

}  // namespace

TEST(SmtpRelay, GroupsByWholeDomainAndTriesExchangersInOrder) {
  TScriptedPeer peer({testsupport::SmtpReceiver(), testsupport::SmtpReceiver()});
  RelayRun run(peer.Port);
  // The first exchanger of example.com has no listener on this port.
  run.Hosts["example.com"] = {"127.0.0.5", "127.0.0.1"};
  run.Hosts["example.community"] = {"127.0.0.1"};
  run.Send({"bob@example.com", "Eve <eve@example.community>", "Carol@EXAMPLE.com"});
  peer.Wait();

  EXPECT_EQ(run.Asked, (std::vector<std::string>{"example.com", "example.community"}));
  const TqvSmtpRelayStatusList& list = run.Relay.StatusList();
  ASSERT_EQ(list.Count(), 2);
  const TqvSmtpRelayStatus& first = list.Items(0);
  EXPECT_TRUE(first.Sent);
  EXPECT_EQ(first.ResponseCode, 250);
  EXPECT_EQ(first.MailServer, "127.0.0.1");
  EXPECT_EQ(first.Domain, "example.com");
  // Delivered through the second exchanger: no error left from the first.
  EXPECT_EQ(first.ErrorCode, 0);
  EXPECT_EQ(first.ErrorText, "");
  ASSERT_EQ(first.Recipients.size(), 2u);
  for (const TqvRelayRecipient& r : first.Recipients) EXPECT_EQ(r.Outcome, TqvRelayOutcome::roDelivered);
  EXPECT_TRUE(list.Items(1).Sent);
  EXPECT_EQ(list.Items(1).ErrorCode, 0);

  const std::string one = peer.Received(0);
  EXPECT_NE(one.find("MAIL FROM: <alice@example.com>\r\nRCPT TO: <bob@example.com>\r\n"
                     "RCPT TO: <Carol@EXAMPLE.com>\r\nDATA\r\n"),
            std::string::npos);
  EXPECT_EQ(one.find("community"), std::string::npos);
  EXPECT_EQ(one.find("cc:"), std::string::npos) << "every Bcc removed";
  EXPECT_NE(one.find("\r\n..dot\r\nend\r\n.\r\nQUIT\r\n"), std::string::npos);
  const std::string two = peer.Received(1);
  EXPECT_NE(two.find("RCPT TO: <eve@example.community>\r\nDATA\r\n"), std::string::npos);
  // Every domain gets the same message, Message-ID included.
  auto id = [](const std::string& s) { return s.substr(s.find("Message-ID: "), s.find('\n', s.find("Message-ID: "))); };
  EXPECT_EQ(id(one).substr(0, 60), id(two).substr(0, 60));
}

TEST(SmtpRelay, FailuresAreRecordedPerDomain) {
  TScriptedPeer peer({testsupport::SmtpReceiver({{"reject@one.test", "550 5.1.1 No such user"}}), testsupport::SmtpReceiver()});
  RelayRun run(peer.Port);
  run.Hosts["one.test"] = {"127.0.0.1"};
  run.Hosts["none.test"] = {};
  run.Hosts["two.test"] = {"127.0.0.1"};
  run.Send({"reject@one.test", "x@none.test", "y@two.test"});
  peer.Wait();

  const TqvSmtpRelayStatusList& list = run.Relay.StatusList();
  ASSERT_EQ(list.Count(), 3);
  const TqvSmtpRelayStatus& refused = list.Items(0);
  EXPECT_FALSE(refused.Sent);
  EXPECT_EQ(refused.ResponseCode, 550);
  EXPECT_EQ(refused.ErrorCode, 550);
  EXPECT_EQ(refused.ErrorText, "550 5.1.1 No such user");
  EXPECT_NE(peer.Received(0).find("QUIT"), std::string::npos);
  EXPECT_EQ(peer.Received(0).find("DATA"), std::string::npos);
  EXPECT_EQ(refused.Recipients[0].Outcome, TqvRelayOutcome::roFailed);
  // No exchanger at all: untried, nothing recorded.
  EXPECT_FALSE(list.Items(1).Sent);
  EXPECT_EQ(list.Items(1).Recipients[0].Outcome, TqvRelayOutcome::roFailed);
  EXPECT_EQ(list.Items(1).ResponseCode, 0);
  EXPECT_EQ(list.Items(1).ErrorCode, 0);
  // The next domain is still tried.
  EXPECT_TRUE(list.Items(2).Sent);
}

TEST(SmtpRelay, LooksUpExchangersThenTheAddressThroughDns) {
  TScriptedPeer peer({testsupport::SmtpReceiver(), testsupport::SmtpReceiver()});
  testsupport::TFakeDnsServer dns([&](const std::string& q) -> std::vector<testsupport::TDnsDatagram> {
    const std::string name = testsupport::QueryName(q);
    TqvDnsMessage m;
    m.Parse(q);
    const int type = m.Queries.Items(0)->RecordType;
    if (name == "mx.test" && type == qvDnsTypeMX)
      return {{testsupport::DnsReply(q, [](TqvDnsMessage& r) { testsupport::AddMX(r, "mx.test", 10, "127.0.0.1"); })}};
    if (name == "amx.test" && type == qvDnsTypeA)
      return {{testsupport::DnsReply(q, [](TqvDnsMessage& r) { testsupport::AddA(r.Answers, "amx.test", "127.0.0.1"); })}};
    if (name == "amx.test" || name == "mx.test")
      return {{testsupport::DnsReply(q, nullptr)}};
    if (name == "servfail.test") return {{testsupport::DnsReply(q, nullptr, 2)}};
    return {{testsupport::DnsReply(q, nullptr, 3)}};
  });
  TqvSmtpRelay relay;
  AskFakeDns(relay, peer.Port, dns.Port());
  auto data = Lines({"Subject: x", "", "body"});
  relay.Send("", *data,
             *Lines({"a@mx.test", "b@amx.test", "c@nosuch.test", "d@\xd6\xd0\xce\xc4.test", "e@servfail.test"}));
  peer.Wait();

  const TqvSmtpRelayStatusList& list = relay.StatusList();
  ASSERT_EQ(list.Count(), 5);
  // A name that does not exist fails for good; a server failure passes.
  EXPECT_EQ(list.Items(2).Recipients[0].Outcome, TqvRelayOutcome::roFailed);
  EXPECT_EQ(list.Items(4).ErrorCode, 2);
  EXPECT_EQ(list.Items(4).Recipients[0].Outcome, TqvRelayOutcome::roRetry);
  EXPECT_TRUE(list.Items(0).Sent);
  EXPECT_TRUE(list.Items(1).Sent);
  EXPECT_EQ(list.Items(1).MailServer, "127.0.0.1");
  EXPECT_FALSE(list.Items(2).Sent);
  EXPECT_EQ(list.Items(2).ErrorCode, 3);
  EXPECT_EQ(list.Items(2).ResponseCode, 0);
  // The look-up uses the IDN form that RCPT sends.
  EXPECT_FALSE(list.Items(3).Sent);
  const std::string idn = TqvIdnTranslator::EncodeDomain("\xd6\xd0\xce\xc4.test");
  ASSERT_EQ(idn.rfind("xn--", 0), 0u);
  bool askedIdn = false;
  for (const std::string& q : dns.Queries()) askedIdn = askedIdn || testsupport::QueryName(q) == idn;
  EXPECT_TRUE(askedIdn);
  EXPECT_NE(peer.Received(0).find("MAIL FROM: <>\r\n"), std::string::npos);
}

TEST(SmtpRelay, RefusedRecipientsFailAloneAndTooManyGoInAFurtherTransaction) {
  // Two recipients per transaction; one unknown, one greylisted.
  TScriptedPeer peer(testsupport::SmtpReceiver(
      {{"unknown@one.test", "550 5.1.1 No such user"}, {"grey@one.test", "451 4.7.1 Greylisted"}}, 2));
  RelayRun run(peer.Port);
  run.Hosts["one.test"] = {"127.0.0.1"};
  run.Send({"a@one.test", "unknown@one.test", "b@one.test", "grey@one.test", "c@one.test", "d@one.test"});
  peer.Wait();

  const std::string got = peer.Received(0);
  EXPECT_EQ(testsupport::CountOf(got, "MAIL FROM:"), 2u);
  EXPECT_EQ(testsupport::CountOf(got, "\r\n.\r\n"), 2u);
  // After the first "452" no further RCPT in that transaction.
  EXPECT_EQ(testsupport::CountOf(got, "RCPT TO: <d@one.test>"), 1u);
  // The second transaction holds the two put off.
  EXPECT_NE(got.find("MAIL FROM: <alice@example.com>\r\nRCPT TO: <c@one.test>\r\nRCPT TO: <d@one.test>\r\nDATA"),
            std::string::npos);
  const TqvSmtpRelayStatus& st = run.Relay.StatusList().Items(0);
  ASSERT_EQ(st.Recipients.size(), 6u);
  const TqvRelayOutcome want[] = {TqvRelayOutcome::roDelivered, TqvRelayOutcome::roFailed,
                                  TqvRelayOutcome::roDelivered, TqvRelayOutcome::roRetry,
                                  TqvRelayOutcome::roDelivered, TqvRelayOutcome::roDelivered};
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(st.Recipients[i].Outcome, want[i]) << st.Recipients[i].Email;
  EXPECT_EQ(st.Recipients[1].ErrorCode, 550);
  EXPECT_EQ(st.Recipients[1].ErrorText, "550 5.1.1 No such user");
  EXPECT_TRUE(st.Recipients[3].OwnReply);
  EXPECT_FALSE(st.Sent);
  EXPECT_TRUE(st.Transient);
  EXPECT_EQ(st.ErrorCode, 550);
}

TEST(SmtpRelay, EachDomainsCodeIsItsOwnAndUnreachableDomainsWait) {
  TScriptedPeer peer({testsupport::SmtpReceiver()});
  RelayRun run(peer.Port);
  run.Relay.DeferUnreachable = true;
  run.Hosts["one.test"] = {"127.0.0.1"};
  // Nothing listens there: the connection is refused.
  run.Hosts["dead.test"] = {"127.0.0.5", "127.0.0.6"};
  run.Send({"a@one.test", "b@dead.test", "noatsign"});
  peer.Wait();

  const TqvSmtpRelayStatusList& list = run.Relay.StatusList();
  ASSERT_EQ(list.Count(), 3);
  EXPECT_TRUE(list.Items(0).Sent);
  const TqvSmtpRelayStatus& dead = list.Items(1);
  // No reply came from dead.test: not the 221 of one.test's QUIT.
  EXPECT_EQ(dead.ResponseCode, 0);
  EXPECT_NE(dead.ErrorCode, 0);
  EXPECT_EQ(dead.Recipients[0].Outcome, TqvRelayOutcome::roRetry);
  EXPECT_FALSE(dead.Deferred);
  // A recipient without a domain: refused at once, nothing looked up.
  const TqvSmtpRelayStatus& none = list.Items(2);
  EXPECT_EQ(none.Domain, "");
  EXPECT_EQ(none.ErrorCode, qvRelayNoDomain);
  EXPECT_EQ(none.Recipients[0].Outcome, TqvRelayOutcome::roFailed);
  EXPECT_EQ(run.Asked, (std::vector<std::string>{"one.test", "dead.test"}));

  // The next message to it waits without a try, with the error first met.
  run.Send({"c@dead.test"});
  EXPECT_TRUE(run.Relay.StatusList().Items(0).Deferred);
  EXPECT_EQ(run.Relay.StatusList().Items(0).ErrorCode, dead.ErrorCode);
  EXPECT_EQ(run.Relay.StatusList().Items(0).Recipients[0].Outcome, TqvRelayOutcome::roRetry);
  EXPECT_EQ(run.Asked.size(), 2u);
  run.Relay.ForgetUnreachable();
  run.Send({"c@dead.test"});
  EXPECT_FALSE(run.Relay.StatusList().Items(0).Deferred);
  EXPECT_EQ(run.Asked.size(), 3u);
}

TEST(SmtpRelay, HeaderFieldsGoIntoAHeaderWithoutEmptyLineAfterIt) {
  TScriptedPeer peer(testsupport::SmtpReceiver());
  RelayRun run(peer.Port);
  run.Hosts["one.test"] = {"127.0.0.1"};
  auto data = Lines({"Subject: hi", "Bcc: x@one.test", "the body: no empty line before it", "end"});
  run.Relay.Send("alice@example.com", *data, *Lines({"a@one.test"}));
  peer.Wait();

  const std::string got = peer.Received(0);
  const size_t body = got.find("the body: no empty line before it\r\nend\r\n.\r\n");
  ASSERT_NE(body, std::string::npos);
  const size_t mailer = got.find("X-Mailer: ");
  const size_t id = got.find("Message-ID: ");
  EXPECT_LT(got.find("Subject: hi\r\n"), mailer);
  EXPECT_LT(mailer, body);
  EXPECT_LT(id, body);
  EXPECT_EQ(got.find("Bcc"), std::string::npos);
  // The lines hold no stand-in empty line afterwards.
  for (int i = 0; i < data->Count(); ++i) EXPECT_NE(data->Strings(i), "");
}

TEST(SmtpRelay, RefusalsCountWhenTheSessionBreaksDuringRcpt) {
  TScriptedPeer peer([](TPeerConn& c) {
    c.Send("220 mx.test ESMTP\r\n");
    c.Line();
    c.Send("250 mx.test\r\n");
    c.Line();
    c.Send("250 Ok\r\n");
    c.Line();
    c.Send("550 5.1.1 No such user\r\n");
    c.Line();  // the second RCPT: the connection ends without a reply
  });
  RelayRun run(peer.Port);
  run.Hosts["one.test"] = {"127.0.0.1"};
  run.Send({"gone@one.test", "b@one.test"});
  peer.Wait();

  const TqvSmtpRelayStatus& st = run.Relay.StatusList().Items(0);
  ASSERT_EQ(st.Recipients.size(), 2u);
  EXPECT_EQ(st.Recipients[0].Outcome, TqvRelayOutcome::roFailed);
  EXPECT_EQ(st.Recipients[0].ErrorCode, 550);
  EXPECT_EQ(st.Recipients[1].Outcome, TqvRelayOutcome::roRetry);
  EXPECT_FALSE(st.Recipients[1].OwnReply);
}

TEST(SmtpRelay, ExchangersAreReachedThroughTheRelaysNameServerAddressByAddress) {
  // Nothing listens on 127.0.0.5 at the peer's port: each first address is
  // refused, and the next address of the same exchanger takes the message.
  TScriptedPeer peer({testsupport::SmtpReceiver(), testsupport::SmtpReceiver(), testsupport::SmtpReceiver()});
  testsupport::TFakeDnsServer dns([&](const std::string& q) -> std::vector<testsupport::TDnsDatagram> {
    using testsupport::AddA;
    using testsupport::DnsReply;
    const std::string name = testsupport::QueryName(q);
    TqvDnsMessage m;
    m.Parse(q);
    const int type = m.Queries.Items(0)->RecordType;
    if (name == "named.test" && type == qvDnsTypeMX)
      return {{DnsReply(q, [](TqvDnsMessage& r) { testsupport::AddMX(r, "named.test", 10, "mx.named.test"); })}};
    if (name == "mx.named.test" && type == qvDnsTypeA)
      return {{DnsReply(q, [](TqvDnsMessage& r) {
        AddA(r.Answers, "mx.named.test", "127.0.0.5");
        AddA(r.Answers, "mx.named.test", "127.0.0.1");
      })}};
    if (name == "glue.test" && type == qvDnsTypeMX)
      return {{DnsReply(q, [](TqvDnsMessage& r) {
        testsupport::AddMX(r, "glue.test", 10, "MX.glue.test");
        AddA(r.AdditionalRecords, "mx.glue.test", "127.0.0.5");
        AddA(r.AdditionalRecords, "mx.glue.test", "127.0.0.1");
      })}};
    if (name == "multi.test" && type == qvDnsTypeA)
      return {{DnsReply(q, [](TqvDnsMessage& r) {
        AddA(r.Answers, "multi.test", "127.0.0.5");
        AddA(r.Answers, "multi.test", "127.0.0.1");
      })}};
    if (name == "truncated.test") {
      std::string t = DnsReply(q, nullptr);
      t[2] = static_cast<char>(t[2] | 0x02);
      return {{t}};
    }
    if (name == "noaddress.test" || name == "multi.test") return {{DnsReply(q, nullptr)}};
    return {{DnsReply(q, nullptr, 3)}};
  });
  TqvSmtpRelay relay;
  AskFakeDns(relay, peer.Port, dns.Port());
  relay.Dns().SetTimeOut(2000);
  std::vector<std::string> connected;
  relay.OnConnectMX = [&](TObject*, const std::string&, const std::string& AHost) {
    connected.push_back(AHost + "=" + relay.Server());
  };
  auto data = Lines({"Subject: x", "", "body"});
  relay.Send("a@example.com", *data,
             *Lines({"a@named.test", "b@glue.test", "c@multi.test", "d@nosuch.test", "e@truncated.test",
                     "f@noaddress.test"}));
  peer.Wait();

  const TqvSmtpRelayStatusList& list = relay.StatusList();
  ASSERT_EQ(list.Count(), 6);
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(list.Items(i).Sent) << list.Items(i).Domain << " " << list.Items(i).ErrorText;
    EXPECT_EQ(list.Items(i).LookUp, dlFound);
  }
  EXPECT_EQ(connected, (std::vector<std::string>{"mx.named.test=127.0.0.1", "MX.glue.test=127.0.0.1",
                                                 "127.0.0.1=127.0.0.1"}));
  EXPECT_EQ(list.Items(0).MailServer, "mx.named.test");
  // The answer's own addresses were used: no address look-up for mx.glue.test.
  for (const std::string& q : dns.Queries()) EXPECT_NE(testsupport::QueryName(q), "MX.glue.test");
  // What a queue needs to decide between trying again and giving up.
  EXPECT_EQ(list.Items(3).LookUp, dlPermanent);
  EXPECT_EQ(list.Items(3).ErrorCode, 3);
  EXPECT_EQ(list.Items(4).LookUp, dlTemporary);
  EXPECT_EQ(list.Items(4).ErrorCode, qvDnsTruncatedReply);
  EXPECT_EQ(list.Items(4).MailServer, "");
  EXPECT_EQ(list.Items(5).LookUp, dlPermanent);
  EXPECT_EQ(list.Items(5).ErrorCode, 0);
}

TEST(SmtpRelay, AnExchangerWithoutAnAddressIsAFailureOfThatExchanger) {
  TScriptedPeer peer({testsupport::SmtpReceiver()});
  testsupport::TFakeDnsServer dns([&](const std::string& q) -> std::vector<testsupport::TDnsDatagram> {
    const std::string name = testsupport::QueryName(q);
    if (name == "lame.test")
      return {{testsupport::DnsReply(q, [](TqvDnsMessage& r) {
        testsupport::AddMX(r, "lame.test", 10, "gone.lame.test");
        testsupport::AddMX(r, "lame.test", 20, "127.0.0.1");
      })}};
    return {{testsupport::DnsReply(q, nullptr, 3)}};
  });
  TqvSmtpRelay relay;
  AskFakeDns(relay, peer.Port, dns.Port());
  auto data = Lines({"Subject: x", "", "body"});
  relay.Send("a@example.com", *data, *Lines({"a@lame.test"}));
  peer.Wait();
  const TqvSmtpRelayStatus& status = relay.StatusList().Items(0);
  EXPECT_TRUE(status.Sent);
  EXPECT_EQ(status.LookUp, dlFound);
  EXPECT_EQ(status.MailServer, "127.0.0.1");
  // The first exchanger's name does not exist at the relay's name server;
  // delivered through the second, the domain shows no error.
  EXPECT_EQ(status.ErrorCode, 0);
}

namespace {

// A receiver that thinks before its greeting and before its answer to the
// final ".", as content scanners do.
testsupport::TScriptedPeer::Script SlowReceiver(int AThinkMs) {
  return [AThinkMs](TPeerConn& c) {
    std::this_thread::sleep_for(std::chrono::milliseconds(AThinkMs));
    c.Send("220 slow.test ESMTP\r\n");
    for (;;) {
      const std::string line = c.Line();
      if (line.empty()) return;
      if (line == "DATA\r\n") {
        c.Send("354 go ahead\r\n");
        while (c.Line() != ".\r\n" && c.Received.size() < 100000) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(AThinkMs));
        c.Send("250 2.0.0 Ok: queued\r\n");
      } else if (line == "QUIT\r\n") {
        c.Send("221 Bye\r\n");
        return;
      } else {
        c.Send("250 Ok\r\n");
      }
    }
  };
}

}  // namespace

TEST(SmtpRelay, SlowReceiversGetTheWaitsOfRfc5321) {
  TqvSmtpRelay relay;
  EXPECT_EQ(relay.TimeOuts(), qvRfc5321TimeOuts);
  EXPECT_EQ(qvRfc5321TimeOuts.Greeting, 5 * 60000);
  EXPECT_EQ(qvRfc5321TimeOuts.DataEnd, 10 * 60000);

  // A client TimeOut far below the receiver's thinking: the relay still waits.
  TScriptedPeer peer(SlowReceiver(600));
  relay.SetPort(peer.Port);
  relay.SetTimeOut(200);
  relay.OnResolveMX = [](TObject*, const std::string&, TStrings& list, bool& handled) {
    list.Add("127.0.0.1");
    handled = true;
  };
  auto data = Lines({"Subject: x", "", "body"});
  relay.Send("a@example.com", *data, *Lines({"b@slow.test"}));
  peer.Wait();
  ASSERT_EQ(relay.StatusList().Count(), 1);
  EXPECT_TRUE(relay.StatusList().Items(0).Sent) << relay.StatusList().Items(0).ErrorText;
  EXPECT_EQ(relay.TimeOut(), 200) << "each step's wait ends with the step";

  // A plain client keeps its one TimeOut for every reply.
  TScriptedPeer again(SlowReceiver(600));
  TqvSmtp smtp;
  smtp.SetServer("127.0.0.1");
  smtp.SetPort(again.Port);
  smtp.SetTimeOut(200);
  EXPECT_EQ(testsupport::ErrorCodeOf<EqvSocketError>([&] { smtp.Open(); }), qvTimeoutError);
}

TEST(SmtpRelay, WithTheSystemsNameServersANameThatDoesNotExistReadsTheSameEveryTime) {
  TScriptedPeer peer({testsupport::SmtpReceiver()});
  testsupport::TFakeDnsServer dns([&](const std::string& q) -> std::vector<testsupport::TDnsDatagram> {
    if (testsupport::QueryName(q) == "good.test")
      return {{testsupport::DnsReply(q, [](TqvDnsMessage& r) { testsupport::AddMX(r, "good.test", 10, "127.0.0.1"); })}};
    return {{testsupport::DnsReply(q, nullptr, 3)}};
  });
  TqvSmtpRelay relay;
  relay.SetPort(peer.Port);
  relay.SetDnsServer("");
  relay.Dns().SetAutodetectServer(false);
  relay.Dns().SetPort(dns.Port());
  TStringList roots;
  roots.Add("127.0.0.1");
  relay.Dns().SetRootNameServers(roots);
  auto data = Lines({"Subject: x", "", "body"});
  std::vector<std::pair<int, std::string>> causes;
  for (const char* rcpt : {"a@nosuch.test", "b@good.test", "c@nosuch.test"}) {
    relay.Send("a@example.com", *data, *Lines({rcpt}));
    const TqvSmtpRelayStatus& status = relay.StatusList().Items(0);
    causes.emplace_back(status.ErrorCode, status.ErrorText);
  }
  peer.Wait();
  EXPECT_EQ(causes[0], (std::pair<int, std::string>{3, "No such name"}));
  EXPECT_EQ(causes[1].first, 0);
  EXPECT_EQ(causes[2], causes[0]);
  EXPECT_EQ(relay.StatusList().Items(0).LookUp, dlPermanent);
}

TEST(SmtpRelay, ACallerCanDriveOneDomainStepByStep) {
  TScriptedPeer peer({testsupport::SmtpReceiver()});
  testsupport::TFakeDnsServer dns([&](const std::string& q) -> std::vector<testsupport::TDnsDatagram> {
    return {{testsupport::DnsReply(q, [](TqvDnsMessage& r) { testsupport::AddMX(r, "step.test", 10, "127.0.0.1"); })}};
  });
  TqvSmtpRelay relay;
  AskFakeDns(relay, peer.Port, dns.Port());
  std::vector<std::string> events;
  relay.OnConnectMX = [&](TObject*, const std::string& d, const std::string& h) { events.push_back("open " + d + " " + h); };
  relay.OnRelayMessage = [&](TObject*, const std::string& d, TStrings& r, TqvSmtpRelayStatus&) {
    events.push_back("sent " + d + " " + r.Strings(0));
  };
  relay.OnDisconnectMX = [&](TObject*, const std::string& d, const std::string& h) { events.push_back("closed " + d + " " + h); };

  TqvSmtpRelayStatus status;
  TStringList hosts;
  relay.ResolveMX("step.test", hosts, status);
  ASSERT_EQ(hosts.Count(), 1);
  EXPECT_EQ(status.Domain, "step.test");
  ASSERT_TRUE(relay.ConnectMX("step.test", hosts.Strings(0), status));
  auto data = Lines({"Subject: x", "", "body"});
  relay.RelayToDomain("step.test", "a@example.com", status, *Lines({"b@step.test"}), *data);
  relay.DisconnectMX("step.test", hosts.Strings(0));
  peer.Wait();
  EXPECT_TRUE(status.Sent);
  EXPECT_EQ(status.ResponseCode, 250);
  EXPECT_FALSE(relay.Active());
  EXPECT_EQ(events, (std::vector<std::string>{"open step.test 127.0.0.1", "sent step.test b@step.test",
                                              "closed step.test 127.0.0.1"}));
  EXPECT_NE(peer.Received(0).find("RCPT TO: <b@step.test>\r\nDATA\r\n"), std::string::npos);
}

namespace {

// A receiver that offers PIPELINING and answers nothing until DATA has come:
// a client that waits for each reply before the next command stalls here.
testsupport::TScriptedPeer::Script PipeliningReceiver(std::vector<std::string> ARcptReplies) {
  return [ARcptReplies](TPeerConn& c) {
    c.TimeOutMs = 1500;
    c.Send("220 mx.test ESMTP\r\n");
    if (c.Line().rfind("EHLO ", 0) != 0) return;
    c.Send("250-mx.test\r\n250-PIPELINING\r\n250 SIZE 1000000\r\n");
    size_t next = 0;
    for (;;) {
      std::string replies;
      std::string line;
      int rcpts = 0;
      while ((line = c.Line()) != "DATA\r\n") {
        if (line.empty() || line == "QUIT\r\n") return c.Send("221 Bye\r\n");
        if (line.rfind("RCPT ", 0) == 0) {
          const std::string reply = next < ARcptReplies.size() ? ARcptReplies[next++] : std::string("250 2.1.5 Ok");
          replies += reply + "\r\n";
          rcpts += reply.rfind("250", 0) == 0 || reply.rfind("251", 0) == 0 ? 1 : 0;
        } else {
          replies += "250 Ok\r\n";
        }
      }
      // Every reply of the group in one write.
      c.Send(replies + (rcpts > 0 ? "354 go ahead\r\n" : "554 No valid recipients\r\n"));
      if (rcpts == 0) continue;
      while (c.Line() != ".\r\n" && c.Received.size() < 100000) {
      }
      c.Send("250 2.0.0 Ok: queued\r\n");
    }
  };
}

}  // namespace

TEST(SmtpRelay, PipelinedTransactionsGiveEachRecipientItsOwnFate) {
  TScriptedPeer peer(PipeliningReceiver({"250 2.1.5 Ok", "550 5.1.1 No such user", "452 4.5.3 Too many recipients",
                                         "452 4.5.3 Too many recipients"}));
  RelayRun run(peer.Port);
  run.Hosts["one.test"] = {"127.0.0.1"};
  run.Send({"a@one.test", "unknown@one.test", "b@one.test", "c@one.test"});
  peer.Wait();

  const std::string got = peer.Received(0);
  EXPECT_NE(got.find("MAIL FROM: <alice@example.com>\r\nRCPT TO: <a@one.test>\r\nRCPT TO: <unknown@one.test>\r\n"
                     "RCPT TO: <b@one.test>\r\nRCPT TO: <c@one.test>\r\nDATA\r\n"),
            std::string::npos);
  // The two put off go together in a second transaction, then QUIT.
  EXPECT_NE(got.find("MAIL FROM: <alice@example.com>\r\nRCPT TO: <b@one.test>\r\nRCPT TO: <c@one.test>\r\nDATA\r\n"),
            std::string::npos);
  EXPECT_EQ(testsupport::CountOf(got, "\r\n.\r\n"), 2u);
  EXPECT_NE(got.find("QUIT\r\n"), std::string::npos);
  const TqvSmtpRelayStatus& st = run.Relay.StatusList().Items(0);
  ASSERT_EQ(st.Recipients.size(), 4u);
  EXPECT_EQ(st.Recipients[0].Outcome, TqvRelayOutcome::roDelivered);
  EXPECT_EQ(st.Recipients[1].Outcome, TqvRelayOutcome::roFailed);
  EXPECT_EQ(st.Recipients[1].ErrorText, "550 5.1.1 No such user");
  EXPECT_EQ(st.Recipients[2].Outcome, TqvRelayOutcome::roDelivered);
  EXPECT_EQ(st.Recipients[3].Outcome, TqvRelayOutcome::roDelivered);
  EXPECT_EQ(run.Relay.ResponseCode(), 221);
  EXPECT_EQ(st.ErrorCode, 550);
}

TEST(SmtpRelay, ARecipientTheReceiverForwardsIsDelivered) {
  // "251 User not local; will forward" takes the recipient, as "250" does,
  // one RCPT at a time and in a pipelined group alike.
  const std::string forwarded = "251 2.1.5 User not local; will forward";
  for (const bool pipelined : {false, true}) {
    TScriptedPeer peer(pipelined ? PipeliningReceiver({forwarded})
                                 : testsupport::SmtpReceiver({{"fwd@one.test", forwarded}}));
    RelayRun run(peer.Port);
    run.Hosts["one.test"] = {"127.0.0.1"};
    run.Send({"fwd@one.test"});
    peer.Wait();

    EXPECT_EQ(testsupport::CountOf(peer.Received(0), "\r\n.\r\n"), 1u) << pipelined;
    const TqvSmtpRelayStatus& st = run.Relay.StatusList().Items(0);
    EXPECT_EQ(st.Recipients[0].Outcome, TqvRelayOutcome::roDelivered) << pipelined;
    EXPECT_TRUE(st.Sent) << pipelined;
  }
}

TEST(SmtpRelay, APipelinedTransactionWithoutAcceptedRecipientsSendsNoMessage) {
  TScriptedPeer peer(PipeliningReceiver({"550 5.1.1 No such user", "450 4.2.0 Mailbox busy"}));
  RelayRun run(peer.Port);
  run.Hosts["one.test"] = {"127.0.0.1"};
  run.Send({"x@one.test", "y@one.test"});
  peer.Wait();

  EXPECT_EQ(peer.Received(0).find("\r\n.\r\n"), std::string::npos);
  const TqvSmtpRelayStatus& st = run.Relay.StatusList().Items(0);
  EXPECT_EQ(st.Recipients[0].Outcome, TqvRelayOutcome::roFailed);
  EXPECT_EQ(st.Recipients[1].Outcome, TqvRelayOutcome::roRetry);
  EXPECT_EQ(st.Recipients[1].ErrorCode, 450);
  // The session stayed in step: QUIT got its own reply.
  EXPECT_EQ(run.Relay.ResponseCode(), 221);
}

TEST(SmtpRelay, AKeptSessionCarriesTheNextMessagesAfterRsetUntilThePassEnds) {
  TScriptedPeer peer({testsupport::SmtpReceiver()});
  RelayRun run(peer.Port);
  run.Relay.KeepSessions = true;
  std::vector<std::string> events;
  run.Relay.OnConnectMX = [&](TObject*, const std::string& d, const std::string&) { events.push_back("open " + d); };
  run.Relay.OnDisconnectMX = [&](TObject*, const std::string& d, const std::string&) { events.push_back("close " + d); };
  run.Hosts["one.test"] = {"127.0.0.1"};
  run.Hosts["two.test"] = {"127.0.0.1"};
  run.Send({"a@one.test"});
  run.Send({"b@one.test"});
  run.Send({"c@two.test", "d@one.test"});
  EXPECT_TRUE(run.Relay.SessionKept());
  run.Relay.EndPass();
  EXPECT_FALSE(run.Relay.Active());
  peer.Wait();

  const std::string got = peer.Received(0);
  EXPECT_EQ(testsupport::CountOf(got, "EHLO"), 1u);
  EXPECT_EQ(testsupport::CountOf(got, "\r\n.\r\n"), 4u);
  // Every transaction after the first starts with RSET; one QUIT at the end.
  EXPECT_EQ(testsupport::CountOf(got, "RSET\r\nMAIL FROM: <alice@example.com>\r\n"), 3u);
  EXPECT_EQ(testsupport::CountOf(got, "QUIT\r\n"), 1u);
  EXPECT_EQ(got.substr(got.size() - 6), "QUIT\r\n");
  // The domain the session served goes on without a look-up; another
  // domain at the same exchanger is looked up, then shares it.
  EXPECT_EQ(run.Asked, (std::vector<std::string>{"one.test", "two.test", "one.test"}));
  EXPECT_EQ(events, (std::vector<std::string>{"open one.test", "close one.test"}));
  for (int i = 0; i < run.Relay.StatusList().Count(); ++i) EXPECT_TRUE(run.Relay.StatusList().Items(i).Sent);
}

TEST(SmtpRelay, AKeptPipeliningSessionSendsItsRsetWithTheNextTransaction) {
  TScriptedPeer peer(PipeliningReceiver({}));
  RelayRun run(peer.Port);
  run.Relay.KeepSessions = true;
  run.Hosts["one.test"] = {"127.0.0.1"};
  run.Send({"a@one.test"});
  run.Send({"b@one.test"});
  run.Relay.EndPass();
  peer.Wait();

  const std::string got = peer.Received(0);
  EXPECT_EQ(testsupport::CountOf(got, "EHLO"), 1u);
  EXPECT_NE(got.find("RSET\r\nMAIL FROM: <alice@example.com>\r\nRCPT TO: <b@one.test>\r\nDATA\r\n"), std::string::npos);
  EXPECT_EQ(testsupport::CountOf(got, "\r\n.\r\n"), 2u);
  EXPECT_TRUE(run.Relay.StatusList().Items(0).Sent);
}

namespace {

// One message, then the session ends at the next RSET: closed without a
// word, or after AOnRset.
testsupport::TScriptedPeer::Script OneMessageThenGone(std::string AOnRset, bool APipelining) {
  return [AOnRset, APipelining](TPeerConn& c) {
    c.TimeOutMs = 1500;
    c.Send("220 mx.test ESMTP\r\n");
    if (c.Line().rfind("EHLO ", 0) != 0) return;
    c.Send(APipelining ? "250-mx.test\r\n250 PIPELINING\r\n" : "250 mx.test\r\n");
    int messages = 0;
    for (std::string line; !(line = c.Line()).empty();) {
      if (line == "RSET\r\n" && messages > 0) return c.Send(AOnRset);
      if (line != "DATA\r\n") {
        if (!APipelining) c.Send("250 Ok\r\n");
        continue;
      }
      c.Send(APipelining ? "250 Ok\r\n250 Ok\r\n354 go ahead\r\n" : "354 go ahead\r\n");
      while (c.Line() != ".\r\n" && c.Received.size() < 100000) {
      }
      c.Send("250 2.0.0 Ok: queued\r\n");
      ++messages;
    }
  };
}

}  // namespace

TEST(SmtpRelay, AKeptSessionFoundGoneCarriesNothingAndTheMessageGoesOnce) {
  for (const bool pipelining : {false, true}) {
    SCOPED_TRACE(pipelining ? "with PIPELINING" : "one command at a time");
    TScriptedPeer peer({OneMessageThenGone("", pipelining),
                        OneMessageThenGone("421 4.4.2 Idle too long\r\n", pipelining),
                        pipelining ? PipeliningReceiver({}) : testsupport::SmtpReceiver()});
    RelayRun run(peer.Port);
    run.Relay.KeepSessions = true;
    std::vector<std::string> events;
    run.Relay.OnRelayMessage = [&](TObject*, const std::string& d, TStrings& r, TqvSmtpRelayStatus&) {
      events.push_back(d + " " + r.Strings(0));
    };
    run.Hosts["one.test"] = {"127.0.0.1"};
    for (const char* rcpt : {"a@one.test", "b@one.test", "c@one.test"}) {
      run.Send({rcpt});
      const TqvSmtpRelayStatus& st = run.Relay.StatusList().Items(0);
      EXPECT_TRUE(st.Sent) << rcpt;
      EXPECT_EQ(st.ErrorCode, 0) << rcpt;
      EXPECT_EQ(st.Recipients[0].Outcome, TqvRelayOutcome::roDelivered) << rcpt;
    }
    run.Relay.EndPass();
    peer.Wait();
    EXPECT_EQ(testsupport::CountOf(peer.Received(0), "\r\n.\r\n"), 1u);
    EXPECT_EQ(testsupport::CountOf(peer.Received(0), "RSET\r\n"), 1u);
    EXPECT_EQ(testsupport::CountOf(peer.Received(1), "RCPT TO: <b@one.test>"), 1u);
    EXPECT_EQ(testsupport::CountOf(peer.Received(1), "\r\n.\r\n"), 1u);
    EXPECT_EQ(testsupport::CountOf(peer.Received(2), "RCPT TO: <c@one.test>"), 1u);
    EXPECT_EQ(testsupport::CountOf(peer.Received(2), "\r\n.\r\n"), 1u);
    // Each domain's outcome is told once, for the attempt that counted.
    EXPECT_EQ(events, (std::vector<std::string>{"one.test a@one.test", "one.test b@one.test", "one.test c@one.test"}));
  }
}

TEST(SmtpRelay, CachedAnswersServeThePassWithinTheirTtl) {
  std::vector<testsupport::TScriptedPeer::Script> scripts(7, testsupport::SmtpReceiver());
  TScriptedPeer peer(scripts);
  testsupport::TFakeDnsServer dns([&](const std::string& q) -> std::vector<testsupport::TDnsDatagram> {
    const std::string name = testsupport::QueryName(q);
    if (name == "c.test" || name == "z.test")
      return {{testsupport::DnsReply(q, [name](TqvDnsMessage& r) {
        testsupport::AddMX(r, name, 10, "mx." + name);
        testsupport::AddA(r.AdditionalRecords, "mx." + name, "127.0.0.1");
        // z.test's records must not be kept.
        if (name == "z.test") r.AdditionalRecords.Items(0)->TTL = 0;
      })}};
    if (name == "n.test")
      return {{testsupport::DnsReply(q, [](TqvDnsMessage& r) { testsupport::AddMX(r, "n.test", 10, "mxn.test"); })}};
    if (name == "mxn.test")
      return {{testsupport::DnsReply(q, [](TqvDnsMessage& r) { testsupport::AddA(r.Answers, "mxn.test", "127.0.0.1"); })}};
    return {{testsupport::DnsReply(q, nullptr, 3)}};
  });
  TqvSmtpRelay relay;
  AskFakeDns(relay, peer.Port, dns.Port());
  relay.CacheLookUps = true;
  auto send = [&](const char* ARcpt) {
    auto data = Lines({"Subject: x", "", "body"});
    relay.Send("a@example.com", *data, *Lines({ARcpt}));
    EXPECT_TRUE(relay.StatusList().Items(0).Sent) << ARcpt;
  };
  for (const char* rcpt : {"a@c.test", "b@c.test", "a@z.test", "b@z.test", "a@n.test", "b@n.test"}) send(rcpt);
  auto asked = [&](const std::string& AName) {
    int n = 0;
    for (const std::string& q : dns.Queries()) n += testsupport::QueryName(q) == AName ? 1 : 0;
    return n;
  };
  EXPECT_EQ(asked("c.test"), 1);
  EXPECT_EQ(asked("z.test"), 2) << "a TTL of 0 is never kept";
  EXPECT_EQ(asked("n.test"), 1);
  EXPECT_EQ(asked("mxn.test"), 1);
  // A new pass asks again.
  relay.EndPass();
  send("c@c.test");
  peer.Wait();
  EXPECT_EQ(asked("c.test"), 2);
}

TEST(SmtpRelay, TheNextMessagesGroupGoesOutWithTheEndOfThisOne) {
  TScriptedPeer peer(testsupport::EndAnsweredWithTheNextGroup());
  RelayRun run(peer.Port);
  run.Relay.KeepSessions = true;
  run.Hosts["one.test"] = {"127.0.0.1"};
  std::vector<std::string> events;
  run.Relay.OnSendCommand = [&](TObject*, const std::string& AText) { events.push_back("> " + AText); };
  run.Relay.OnReceiveResponse = [&](TObject*, TStrings& AList) { events.push_back("< " + AList.Strings(0)); };
  run.Relay.SetNextMessage("alice@example.com", *Lines({"b@one.test"}));
  run.Send({"a@one.test"});
  EXPECT_TRUE(run.Relay.StatusList().Items(0).Sent);
  run.Send({"b@one.test"});
  EXPECT_TRUE(run.Relay.StatusList().Items(0).Sent);
  run.Relay.EndPass();
  peer.Wait();

  const std::string got = peer.Received(0);
  EXPECT_NE(got.find("end\r\n.\r\nRSET\r\nMAIL FROM: <alice@example.com>\r\nRCPT TO: <b@one.test>\r\nDATA\r\n"),
            std::string::npos);
  EXPECT_EQ(testsupport::CountOf(got, "\r\n.\r\n"), 2u);
  // Each message's lines stay together: the second group shows after the
  // first message's last reply.
  const auto at = [&](const std::string& AEvent) { return std::find(events.begin(), events.end(), AEvent) - events.begin(); };
  EXPECT_LT(at("< 250 2.0.0 Ok: queued"), at("> RSET"));
  EXPECT_LT(at("> RSET"), at("> RCPT TO: <b@one.test>"));
}

TEST(SmtpRelay, AGroupSentForAMessageThatDoesNotFollowIsDroppedWithItsSession) {
  // The first session takes a, then gets b's group and DATA, and b never
  // comes: it must not see a QUIT inside that DATA.
  TScriptedPeer peer({testsupport::EndAnsweredWithTheNextGroup(), testsupport::SmtpReceiver()});
  RelayRun run(peer.Port);
  run.Relay.KeepSessions = true;
  run.Hosts["one.test"] = {"127.0.0.1"};
  run.Relay.SetNextMessage("alice@example.com", *Lines({"b@one.test"}));
  run.Send({"a@one.test"});
  run.Send({"c@one.test"});
  EXPECT_TRUE(run.Relay.StatusList().Items(0).Sent);
  EXPECT_EQ(run.Relay.StatusList().Items(0).ErrorCode, 0);
  run.Relay.EndPass();
  peer.Wait();

  const std::string first = peer.Received(0);
  EXPECT_EQ(testsupport::CountOf(first, "\r\n.\r\n"), 1u);
  EXPECT_NE(first.find("RCPT TO: <b@one.test>\r\nDATA\r\n"), std::string::npos);
  EXPECT_EQ(first.find("QUIT"), std::string::npos);
  EXPECT_EQ(testsupport::CountOf(peer.Received(1), "RCPT TO: <c@one.test>"), 1u);
  EXPECT_EQ(testsupport::CountOf(peer.Received(1), "\r\n.\r\n"), 1u);
}
