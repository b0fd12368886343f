// SOCKS 4, 4a and 5 through the TCP client: byte-exact requests and every
// refusal against a scripted SOCKS server, replies in pieces and with the
// target's greeting behind them, long bound addresses, over-long fields, TLS
// through the tunnel, and SOCKS 5 against a real microsocks.
#include <gtest/gtest.h>
#include <signal.h>

#include <functional>

#include "ClientTestSupport.h"
#include "CryptoApi.h"
#include "TestSockets.h"
#include "TlsTestSupport.h"
#include "qvIpAddress.h"
#include "qvSocks.h"

using clienttest::ReadUntil;
using clienttest::TTestClient;
using testsupport::TPeerConn;
using testsupport::TScriptedPeer;

namespace {

const std::string kGreeting = "220 target ready\r\n";

std::string Bytes(std::initializer_list<int> ABytes) {
  std::string s;
  for (int b : ABytes) s += static_cast<char>(b);
  return s;
}

// A client aimed at AHost:25 through the SOCKS server on APort.
void Aim(TTestClient& AClient, int APort, TqvFirewallType AType, const std::string& AHost = "mx.example.com",
         const std::string& AUser = "", const std::string& APassword = "") {
  AClient.SetServer(AHost);
  AClient.SetPort(25);
  AClient.SetTimeOut(3000);
  AClient.FirewallSettings().Server = "127.0.0.1";
  AClient.FirewallSettings().Port = APort;
  AClient.FirewallSettings().FirewallType = AType;
  AClient.FirewallSettings().UserName = AUser;
  AClient.FirewallSettings().Password = APassword;
}

// The SOCKS error Open raises, as (code, text); (0, "") when it opened.
std::pair<int, std::string> OpenError(TTestClient& AClient) {
  try {
    AClient.Open();
  } catch (const EqvSocksFirewallError& e) {
    return {e.ErrorCode, e.what()};
  }
  return {0, ""};
}

// A SOCKS 5 server without authentication that answers the connect request
// with AReply, sent in one write together with the target's greeting.
TScriptedPeer::Script Socks5Answering(const std::string& AReply, size_t ARequestSize) {
  return [=](TPeerConn& c) {
    c.Read(3);
    c.Send(Bytes({5, 0}));
    c.Read(ARequestSize);
    c.Send(AReply + kGreeting);
    c.Line();
  };
}

}  // namespace

TEST(Socks4, AddressTargetSendsTheAddressAndTheUserName) {
  TScriptedPeer socks([](TPeerConn& c) {
    c.Read(12);
    c.Send(Bytes({0, 90, 0, 0, 0, 0, 0, 0}) + kGreeting);  // the greeting right behind the reply
    c.Line();
  });
  TTestClient client;
  Aim(client, socks.Port, ftSocks4, "10.0.0.5", "bob");
  client.Open();
  EXPECT_EQ(ReadUntil(client, "\n"), kGreeting);
  client.Close();
  socks.Wait();
  EXPECT_EQ(socks.Received(), Bytes({4, 1, 0, 25, 10, 0, 0, 5, 'b', 'o', 'b', 0}));
}

TEST(Socks4, NameTargetUsesTheFourAForm) {
  TScriptedPeer socks([](TPeerConn& c) {
    c.Read(9 + 15);
    c.Send(Bytes({0, 90}));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the rest of the reply later
    c.Send(Bytes({0, 0, 0, 0, 0, 0}) + kGreeting);
    c.Line();
  });
  TTestClient client;
  Aim(client, socks.Port, ftSocks4);
  client.Open();
  EXPECT_EQ(ReadUntil(client, "\n"), kGreeting);
  client.Close();
  socks.Wait();
  EXPECT_EQ(socks.Received(), Bytes({4, 1, 0, 25, 0, 0, 0, 1, 0}) + "mx.example.com" + std::string(1, '\0'));
}

TEST(Socks4, RefusalsCarryTheirCodeAndText) {
  const std::pair<int, const char*> cases[] = {
      {91, "SOCKS error: request rejected or failed"},
      {92, "SOCKS error: request rejected becasue SOCKS server cannot connect to identd on the client"},
      {93, "SOCKS error: request rejected because the client program and identd report different user-ids"},
      {99, "Unknown SOCKS error occured"},
  };
  for (const auto& [code, text] : cases) {
    TScriptedPeer socks([code = code](TPeerConn& c) {
      c.Read(24);
      c.Send(Bytes({0, code, 0, 0, 0, 0, 0, 0}));
    });
    TTestClient client;
    int opens = 0;
    client.OnOpen = [&](TObject*) { ++opens; };
    Aim(client, socks.Port, ftSocks4);
    EXPECT_EQ(OpenError(client), std::make_pair(code, std::string(text)));
    EXPECT_FALSE(client.Active());
    EXPECT_EQ(opens, 0);
  }
}

TEST(Socks5, NoAuthenticationThenConnectByName) {
  TScriptedPeer socks(Socks5Answering(Bytes({5, 0, 0, 1, 1, 2, 3, 4, 0, 25}), 21));
  TTestClient client;
  Aim(client, socks.Port, ftSocks5);
  client.Open();
  EXPECT_EQ(ReadUntil(client, "\n"), kGreeting);
  client.Close();
  socks.Wait();
  EXPECT_EQ(socks.Received(), Bytes({5, 1, 0}) + Bytes({5, 1, 0, 3, 14}) + "mx.example.com" + Bytes({0, 25}));
}

TEST(Socks5, UserAndPasswordThenConnectByAddress) {
  TScriptedPeer socks([](TPeerConn& c) {
    c.Read(3);
    c.Send(Bytes({5, 2}));
    c.Read(10);
    c.Send(Bytes({1, 0}));
    c.Read(10);
    // The connect reply in two pieces.
    c.Send(Bytes({5, 0, 0}));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    c.Send(Bytes({1, 9, 9, 9, 9, 4, 0}) + kGreeting);
    c.Line();
  });
  TTestClient client;
  Aim(client, socks.Port, ftSocks5, "10.0.0.5", "bob", "pass");
  client.Open();
  EXPECT_EQ(ReadUntil(client, "\n"), kGreeting);
  client.Close();
  socks.Wait();
  EXPECT_EQ(socks.Received(), Bytes({5, 1, 2}) + Bytes({1, 3, 'b', 'o', 'b', 4, 'p', 'a', 's', 's'}) +
                                  Bytes({5, 1, 0, 1, 10, 0, 0, 5, 0, 25}));
}

TEST(Socks5, MethodAndAuthenticationRefusals) {
  TScriptedPeer noMethod([](TPeerConn& c) {
    c.Read(3);
    c.Send(Bytes({5, 255}));
  });
  TTestClient a;
  Aim(a, noMethod.Port, ftSocks5);
  EXPECT_EQ(OpenError(a), std::make_pair(255, std::string("SOCKS error: No acceptable authentication methods")));

  TScriptedPeer badPassword([](TPeerConn& c) {
    c.Read(3);
    c.Send(Bytes({5, 2}));
    c.Read(11);
    c.Send(Bytes({1, 1}));
  });
  TTestClient b;
  Aim(b, badPassword.Port, ftSocks5, "mx.example.com", "bob", "wrong");
  EXPECT_EQ(OpenError(b), std::make_pair(1, std::string("SOCKS error: authentication failed")));
  EXPECT_FALSE(b.Active());
}

TEST(Socks5, ConnectRefusalsCarryTheirCodeAndText) {
  const char* texts[] = {"General SOCKS server failure",
                         "SOCKS error: connection not allowed by ruleset",
                         "SOCKS error: Network unreachable",
                         "SOCKS error: Host unreachable",
                         "SOCKS error: Connection refused",
                         "SOCKS error: TTL expired",
                         "SOCKS error: Command not supported",
                         "SOCKS error: Address type not supported",
                         "Unknown SOCKS error occured"};
  for (int code = 1; code <= 9; ++code) {
    TScriptedPeer socks(Socks5Answering(Bytes({5, code, 0, 1, 0, 0, 0, 0, 0, 0}), 21));
    TTestClient client;
    Aim(client, socks.Port, ftSocks5);
    EXPECT_EQ(OpenError(client), std::make_pair(code, std::string(texts[code - 1])));
  }
}

TEST(Socks5, LongBoundAddressesAreReadWholeAndUnknownTypesRefused) {
  // IPv6 bound address: 22 bytes; a domain: 7 + its length. The greeting
  // behind either must reach the protocol intact.
  const std::string ipv6 = Bytes({5, 0, 0, 4}) + std::string(16, '\x01') + Bytes({4, 0});
  const std::string domain = Bytes({5, 0, 0, 3, 1, 'x', 4, 0});
  for (const std::string& reply : {ipv6, domain}) {
    TScriptedPeer socks(Socks5Answering(reply, 21));
    TTestClient client;
    Aim(client, socks.Port, ftSocks5);
    client.Open();
    EXPECT_EQ(ReadUntil(client, "\n"), kGreeting);
  }
  TScriptedPeer socks(Socks5Answering(Bytes({5, 0, 0, 7, 0, 0, 0, 0, 0, 0}), 21));
  TTestClient client;
  Aim(client, socks.Port, ftSocks5);
  EXPECT_EQ(OpenError(client), std::make_pair(8, std::string("SOCKS error: Address type not supported")));
}

TEST(SocksFields, OverLongFieldsAreRefusedBeforeTheyAreSent) {
  const std::string tooLong(256, 'u');
  // SOCKS 5: the user name in the user/password step, the host in connect.
  TScriptedPeer userPeer([](TPeerConn& c) {
    c.Read(3);
    c.Send(Bytes({5, 2}));
    c.Read(600);
  });
  TTestClient a;
  Aim(a, userPeer.Port, ftSocks5, "mx.example.com", tooLong, "pw");
  EXPECT_EQ(OpenError(a).first, qvSocksFieldTooLong);
  a.Close();
  userPeer.Wait();
  EXPECT_EQ(userPeer.Received(), Bytes({5, 1, 2}));  // nothing malformed went out

  TScriptedPeer hostPeer([](TPeerConn& c) {
    c.Read(3);
    c.Send(Bytes({5, 0}));
    c.Read(600);
  });
  TTestClient b;
  Aim(b, hostPeer.Port, ftSocks5, std::string(300, 'h') + ".test");
  EXPECT_EQ(OpenError(b).first, qvSocksFieldTooLong);
  b.Close();
  hostPeer.Wait();
  EXPECT_EQ(hostPeer.Received(), Bytes({5, 1, 0}));

  TScriptedPeer socks4([](TPeerConn& c) { c.Read(600); });
  TTestClient d;
  Aim(d, socks4.Port, ftSocks4, "mx.example.com", tooLong);
  EXPECT_EQ(OpenError(d).first, qvSocksFieldTooLong);
  d.Close();
  socks4.Wait();
  EXPECT_EQ(socks4.Received(), "");
}

class SocksTls : public tlstest::PkiSuite<> {};

TEST_F(SocksTls, HandshakeStartsOnlyAfterTheConnectReply) {
  auto tls = clienttest::TlsServerScript("", Pki->Path("server.crt"), Pki->Path("server.key"));
  TScriptedPeer socks([tls](TPeerConn& c) {
    c.Read(3);
    c.Send(Bytes({5, 0}));
    c.Read(10);
    c.Send(Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0, 25}));
    tls(c);
  });
  TTestClient client;
  Aim(client, socks.Port, ftSocks5, "127.0.0.1");
  client.SetUseTLS(ctImplicit);
  client.Open();
  EXPECT_EQ(ReadUntil(client, "\n"), "secure\r\n");
  client.Close();
  socks.Wait();
  EXPECT_EQ(socks.Received().find("[tls refused]"), std::string::npos);
}

// SOCKS 5 against microsocks on a free loopback port, started and stopped by
// its process id; the target is a scripted greeter.
class Microsocks : public ::testing::Test {
 protected:
  void Start(std::vector<std::string> AExtra) {
    Dir = std::make_unique<testsupport::TempDir>();
    Port = testsupport::FreePort();
    std::vector<std::string> argv = {"microsocks", "-i", "127.0.0.1", "-p", std::to_string(Port)};
    argv.insert(argv.end(), AExtra.begin(), AExtra.end());
    Server = std::make_unique<tlstest::PeerProcess>(argv, "", Dir->Dir() + "out.txt", Dir->Dir() + "err.txt");
    ASSERT_TRUE(tlstest::WaitListening(Port, 5000));
  }
  std::unique_ptr<testsupport::TempDir> Dir;
  std::unique_ptr<tlstest::PeerProcess> Server;
  int Port = 0;
};

TEST_F(Microsocks, TunnelWithoutAuthentication) {
  Start({});
  const TScriptedPeer::Script greeter = [](TPeerConn& c) {
    c.Send(kGreeting);
    c.Line();
  };
  TScriptedPeer target(std::vector<TScriptedPeer::Script>{greeter, greeter});
  // The name resolved by microsocks, then an address resolved here.
  for (bool byName : {true, false}) {
    TTestClient client;
    Aim(client, Port, ftSocks5, byName ? "localhost" : "127.0.0.1");
    client.SetPort(target.Port);
    client.FirewallSettings().NeedResolveIP = byName;
    client.Open();
    EXPECT_EQ(ReadUntil(client, "\n"), kGreeting);
    clienttest::Write(client, "QUIT\r\n");
    client.Close();
  }
  target.Wait();
  EXPECT_EQ(target.Received(0), "QUIT\r\n");
  EXPECT_EQ(target.Received(1), "QUIT\r\n");
}

TEST_F(Microsocks, TunnelWithUserAndPassword) {
  Start({"-u", "bob", "-P", "s3cret"});
  TScriptedPeer target([](TPeerConn& c) {
    c.Send(kGreeting);
    c.Line();
  });
  TTestClient wrong;
  Aim(wrong, Port, ftSocks5, "127.0.0.1", "bob", "nope");
  wrong.SetPort(target.Port);
  EXPECT_EQ(OpenError(wrong).second, "SOCKS error: authentication failed");
  TTestClient none;
  Aim(none, Port, ftSocks5, "127.0.0.1");
  none.SetPort(target.Port);
  EXPECT_EQ(OpenError(none).second, "SOCKS error: No acceptable authentication methods");
  TTestClient client;
  Aim(client, Port, ftSocks5, "127.0.0.1", "bob", "s3cret");
  client.SetPort(target.Port);
  client.Open();
  EXPECT_EQ(ReadUntil(client, "\n"), kGreeting);
}

TEST(SocksStreams, ServerAndDatagramOperationsSayTheyAreNotImplemented) {
  for (int version : {4, 5}) {
    std::unique_ptr<TqvSocksNetworkStream> s;
    if (version == 4)
      s = std::make_unique<TqvSocks4NetworkStream>(std::make_unique<TqvNetworkStream>());
    else
      s = std::make_unique<TqvSocks5NetworkStream>(std::make_unique<TqvNetworkStream>());
    TMemoryStream data;
    std::string ip;
    int port = 0;
    TqvIPAddress4 address;
    const std::vector<std::pair<const char*, std::function<void()>>> calls = {
        {"Accept", [&] { s->Accept(); }},
        {"Listen", [&] { s->Listen(); }},
        {"EnableBroadcast", [&] { s->EnableBroadcast(); }},
        {"InitServerSession", [&] { s->InitServerSession(); }},
        {"ReadFrom", [&] { (void)s->ReadFrom(&data, ip, port); }},
        {"WriteTo", [&] { (void)s->WriteTo(&data, address, 25); }},
    };
    for (const auto& [name, call] : calls) {
      try {
        call();
        ADD_FAILURE() << name << " raised nothing";
      } catch (const EAssertionFailed& e) {
        EXPECT_EQ(e.Message(), "Not implemented") << name;
      }
    }
  }
}
