// The TCP client base against scripted loopback peers: open and close events,
// failed opens, the proxy route, keep-alive ticks (never inside a busy
// exchange) and TLS from the start or after a switch.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>

#include <cerrno>
#include <sys/socket.h>

#include "ClientTestSupport.h"
#include "SysError.h"
#include "CryptoApi.h"
#include "TestSockets.h"
#include "TlsTestSupport.h"

using clienttest::ReadUntil;
using clienttest::TTestClient;
using testsupport::TPeerConn;
using testsupport::TScriptedPeer;

namespace {

// Sends a greeting, then waits for the client to go.
TScriptedPeer::Script Greeter(const std::string& AGreeting = "220 hello\r\n") {
  return [AGreeting](TPeerConn& c) {
    c.Send(AGreeting);
    c.Line();
  };
}

// Dispatches this thread's messages for AMs.
void Pump(int AMs) {
  const uint32_t start = plat::GetTickCount();
  while (plat::GetTickCount() - start < static_cast<uint32_t>(AMs)) (void)plat::TMessageQueue::Current().ProcessMessages(10);
}

// A proxy that "tunnels" by connecting its own connection straight to the target.
class TDirectProxy : public TqvTcpProxy {
 public:
  ~TDirectProxy() override { Close(); }
  void Connect(const std::string& AHost, int APort) override {
    ++Connects;
    GetConnection().SetNetworkStream(std::make_unique<TqvNetworkStream>());
    GetConnection().Open(AHost, APort);
  }
  int Connects = 0;

 protected:
  int GetDefaultPort() const override { return 1080; }
};

}  // namespace

TEST(TcpClient, OpenAndCloseFireOnlyOnRealChanges) {
  TScriptedPeer peer(Greeter());
  TTestClient client;
  int opens = 0, closes = 0;
  client.OnOpen = [&](TObject*) { ++opens; };
  client.OnClose = [&](TObject*) { ++closes; };
  client.Close();
  EXPECT_EQ(closes, 0);
  client.SetServer("127.0.0.1");
  client.SetPort(peer.Port);
  client.Open();
  client.Open();
  EXPECT_EQ(opens, 1);
  EXPECT_EQ(ReadUntil(client, "\n"), "220 hello\r\n");
  // Small writes leave at once (no Nagle wait for the peer's delayed ACK).
  int nodelay = 0;
  socklen_t len = sizeof nodelay;
  ASSERT_EQ(::getsockopt(client.GetConnection().Socket().Socket(), IPPROTO_TCP, TCP_NODELAY, &nodelay, &len), 0);
  EXPECT_NE(nodelay, 0);
  client.Close();
  client.Close();
  EXPECT_EQ(closes, 1);
  EXPECT_FALSE(client.Active());
}

TEST(TcpClient, AKeepAliveTimerThatCannotBeSetRaisesThePlatformsOwnError) {
  // What the keep-alive start meets when its timer cannot be set: the
  // platform's last error, its code and its text, never a made-up EINVAL.
  plat::SetLastError(0);
  ASSERT_FALSE(plat::SetTimer(static_cast<plat::HWND>(987654321), 1, 100));
  const uint32_t last = plat::GetLastError();
  ASSERT_NE(last, 0u);
  try {
    RaiseSocketLastError();
    ADD_FAILURE() << "nothing raised";
  } catch (const EqvSocketError& e) {
    EXPECT_EQ(e.ErrorCode, static_cast<int>(last));
    EXPECT_EQ(e.Message(), GetSystemErrorText(static_cast<int>(last)));
    EXPECT_NE(e.ErrorCode, EINVAL);
  }
}

TEST(TcpClient, DefaultsAndChangeNotification) {
  TTestClient client;
  int changes = 0;
  client.OnChanged = [&](TObject*) { ++changes; };
  EXPECT_EQ(client.Port(), 25);
  EXPECT_EQ(client.BatchSize(), 8192);
  EXPECT_EQ(client.TimeOut(), 60000);
  EXPECT_EQ(client.KeepAlive(), 0);
  EXPECT_EQ(client.TLSFlags(), 28);
  EXPECT_EQ(client.FirewallSettings().Port, 1080);
  EXPECT_TRUE(client.FirewallSettings().NeedResolveIP);
  client.SetPort(25);
  client.SetTimeOut(60000);
  EXPECT_EQ(changes, 0);
  client.SetPort(587);
  client.SetTimeOut(1000);
  client.SetServer("mx.test");
  EXPECT_EQ(changes, 3);
  TqvFirewallSettings fw;
  fw.Server = "socks.test";
  client.SetFirewallSettings(fw);
  EXPECT_EQ(changes, 3);
  EXPECT_EQ(client.FirewallSettings().Server, "socks.test");
}

TEST(TcpClient, FailedOpensLeaveTheClientClosedWithTheFirstError) {
  TTestClient client;
  int opens = 0;
  client.OnOpen = [&](TObject*) { ++opens; };
  client.SetServer("127.0.0.1");
  client.SetPort(testsupport::FreePort());
  EXPECT_THROW(client.Open(), EqvSocketError);  // nobody listens
  EXPECT_FALSE(client.Active());
  try {
    client.CheckConnected();
    ADD_FAILURE();
  } catch (const EqvSocketError& e) {
    EXPECT_EQ(e.ErrorCode, -6);
    EXPECT_STREQ(e.what(), "The connection to the server is not active");
  }
  client.SetBatchSize(0);
  try {
    client.Open();
    ADD_FAILURE();
  } catch (const EqvSocketError& e) {
    EXPECT_EQ(e.ErrorCode, -4);
    EXPECT_STREQ(e.what(), "Invalid Batch Size");
  }
  client.SetBatchSize(8192);
  client.FirewallSettings().Server = "127.0.0.1";
  client.FirewallSettings().FirewallType = static_cast<TqvFirewallType>(7);
  try {
    client.Open();
    ADD_FAILURE();
  } catch (const EqvTcpClientError& e) {
    EXPECT_EQ(e.ErrorCode, -101);
    EXPECT_STREQ(e.what(), "Unsupported firewall type");
  }
  EXPECT_FALSE(client.Active());
  EXPECT_EQ(opens, 0);
}

TEST(TcpClient, FirewallSettingsSendTheConnectionToTheSocksServer) {
  TScriptedPeer target(Greeter());
  TScriptedPeer socks([](TPeerConn& c) { c.Read(3); });
  TTestClient client;
  client.SetServer("127.0.0.1");
  client.SetPort(target.Port);
  client.SetTimeOut(300);
  client.FirewallSettings().Server = "127.0.0.1";
  client.FirewallSettings().Port = socks.Port;
  client.FirewallSettings().FirewallType = ftSocks5;
  EXPECT_THROW(client.Open(), EqvSocketError);  // the SOCKS server never answers
  socks.Wait();
  EXPECT_EQ(socks.Received(), std::string("\x05\x01\x00", 3));
}

TEST(TcpClient, ProxyRouteSharesTheProxysConnection) {
  TScriptedPeer peer(Greeter("220 via proxy\r\n"));
  TTestClient client;
  {
    TDirectProxy proxy;
    client.SetProxy(&proxy);
    client.SetTimeOut(4321);
    client.SetBatchSize(100);
    EXPECT_EQ(proxy.TimeOut(), 4321);
    EXPECT_EQ(proxy.BatchSize(), 100);
    client.SetServer("127.0.0.1");
    client.SetPort(peer.Port);
    client.Open();
    EXPECT_EQ(proxy.Connects, 1);
    EXPECT_TRUE(proxy.Active());
    EXPECT_EQ(ReadUntil(client, "\n"), "220 via proxy\r\n");
    client.Close();
    EXPECT_FALSE(proxy.Active());
  }
  // The proxy is gone: the client forgot it and has its own connection again.
  EXPECT_EQ(client.Proxy(), nullptr);
  EXPECT_EQ(client.TimeOut(), 60000);
}

TEST(TcpClient, KeepAliveTicksWhileTheThreadDispatchesButNeverWhileBusy) {
  TScriptedPeer peer([](TPeerConn& c) {
    c.Send("220 hello\r\n");
    c.Line();  // waits for the client to write
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    c.Send("250 late\r\n");
    c.Line();
  });
  TTestClient client;
  client.SetServer("127.0.0.1");
  client.SetPort(peer.Port);
  client.Open();
  Pump(200);
  EXPECT_EQ(client.KeepAlives, 0);  // KeepAlive 0: no timer
  client.Close();
  peer.Wait();

  TScriptedPeer peer2([](TPeerConn& c) {
    c.Send("220 hello\r\n");
    c.Line();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    c.Send("250 late\r\n");
    c.Line();
  });
  client.SetPort(peer2.Port);
  client.SetKeepAlive(40);
  client.FailKeepAlive = true;  // a failing keep-alive does not stop the next tick
  client.Open();
  EXPECT_EQ(ReadUntil(client, "\n"), "220 hello\r\n");
  Pump(250);
  EXPECT_GE(client.KeepAlives, 2);
  // A command exchange: the wait for the reply dispatches messages, and the
  // ticks due meanwhile are skipped.
  client.SetBusy(true);
  const int before = client.KeepAlives;
  clienttest::Write(client, "CMD\r\n");
  EXPECT_EQ(ReadUntil(client, "\n"), "250 late\r\n");
  EXPECT_EQ(client.KeepAlives, before);
  client.SetBusy(false);
  Pump(150);
  EXPECT_GT(client.KeepAlives, before);
  client.Close();
  const int closed = client.KeepAlives;
  Pump(150);
  EXPECT_EQ(client.KeepAlives, closed);
}

class TcpClientTls : public tlstest::PkiSuite<> {
 protected:
  TScriptedPeer::Script Tls(const std::string& APlainFirst = "") {
    return clienttest::TlsServerScript(APlainFirst, Pki->Path("server.crt"), Pki->Path("server.key"));
  }
  void Aim(TTestClient& AClient, int APort) {
    AClient.SetServer("127.0.0.1");
    AClient.SetPort(APort);
    AClient.SetTimeOut(5000);
  }
};

TEST_F(TcpClientTls, AutomaticOnAnotherPortIsImplicitTls) {
  TScriptedPeer peer(Tls());
  TTestClient client;
  Aim(client, peer.Port);
  client.SetUseTLS(ctAutomatic);
  client.Open();
  EXPECT_EQ(ReadUntil(client, "\n"), "secure\r\n");
  EXPECT_NE(dynamic_cast<TqvTlsNetworkStream*>(client.GetConnection().NetworkStream()), nullptr);
  EXPECT_FALSE(client.StartTlsIfExplicit());
}

TEST_F(TcpClientTls, AutomaticOnTheDefaultPortSwitchesAfterThePlainStart) {
  TScriptedPeer peer(Tls("220 plain\r\n"));
  TTestClient client;
  Aim(client, peer.Port);
  client.DefaultPort = peer.Port;
  client.SetUseTLS(ctAutomatic);
  client.Open();
  EXPECT_EQ(ReadUntil(client, "\n"), "220 plain\r\n");
  EXPECT_TRUE(client.StartTlsIfExplicit());
  EXPECT_EQ(ReadUntil(client, "\n"), "secure\r\n");
  EXPECT_EQ(client.UseTLS(), ctAutomatic);
}

TEST_F(TcpClientTls, StartTlsFromNoneBecomesExplicitAndStays) {
  TScriptedPeer peer(std::vector<TScriptedPeer::Script>{Tls("220 plain\r\n"), Tls("220 plain\r\n")});
  TTestClient client;
  Aim(client, peer.Port);
  int changes = 0;
  client.OnChanged = [&](TObject*) { ++changes; };
  client.Open();
  EXPECT_EQ(ReadUntil(client, "\n"), "220 plain\r\n");
  client.StartTls();
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(ReadUntil(client, "\n"), "secure\r\n");
  client.Close();
  EXPECT_EQ(client.UseTLS(), ctExplicit);
  // The next session is plain at first, then switches when asked.
  client.Open();
  EXPECT_EQ(ReadUntil(client, "\n"), "220 plain\r\n");
  EXPECT_TRUE(client.StartTlsIfExplicit());
  EXPECT_EQ(ReadUntil(client, "\n"), "secure\r\n");
}

TEST_F(TcpClientTls, FailedHandshakeClosesWithOnCloseAndRaises) {
  TScriptedPeer peer([](TPeerConn& c) {
    c.Send("220 plain\r\n");
    c.Read(5);  // the client's hello
    c.Send("this is not a TLS record at all\r\n");
    c.Line();
  });
  TTestClient client;
  Aim(client, peer.Port);
  int closes = 0;
  client.OnClose = [&](TObject*) { ++closes; };
  client.Open();
  EXPECT_EQ(ReadUntil(client, "\n"), "220 plain\r\n");
  EXPECT_ANY_THROW(client.StartTls());
  EXPECT_FALSE(client.Active());
  EXPECT_EQ(closes, 1);
}

TEST_F(TcpClientTls, UntrustedServerIsRefusedUnlessTheHandlerAccepts) {
  TScriptedPeer peer(std::vector<TScriptedPeer::Script>{
      clienttest::TlsServerScript("", Pki->Path("rogue.crt"), Pki->Path("rogue.key")),
      clienttest::TlsServerScript("", Pki->Path("rogue.crt"), Pki->Path("rogue.key"))});
  TTestClient client;
  Aim(client, peer.Port);
  client.SetUseTLS(ctImplicit);
  EXPECT_THROW(client.Open(), EqvSocketError);
  EXPECT_FALSE(client.Active());
  int asked = 0;
  client.OnVerifyServer = [&](TObject*, TqvCertificate*, const std::string&, int, bool& AVerified) {
    ++asked;
    AVerified = true;
  };
  client.Open();
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(ReadUntil(client, "\n"), "secure\r\n");
}
