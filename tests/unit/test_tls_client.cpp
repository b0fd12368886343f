// A client connection that starts TLS over an open connection against a real
// openssl s_server: certificate checks with each ignore flag, and 1 MiB each
// way in random pieces, closed with close_notify.
#include <gtest/gtest.h>
#include <poll.h>

#include <sys/stat.h>

#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>

#include "CryptoApi.h"
#include "TestSockets.h"
#include "TlsTestSupport.h"
#include "qvSocket.h"
#include "qvTlsSocket.h"

namespace {

class TlsClientTest : public tlstest::PkiSuite<> {
 protected:
  void StopServer() {
    Server.reset();
    Feeder.reset();
  }

  void TearDown() override {
    StopServer();
    if (HasFailure() && Pki) std::cerr << "s_server said: " << tlstest::ReadFile(Pki->Path("err.txt")) << "\n";
  }

  // s_server with the named certificate; its stdin is sent to the client
  // and what the client sends lands in its stdout.
  void StartServer(const std::string& certName, const std::string& toClient = "",
                   std::vector<std::string> extra = {}) {
    StopServer();
    Port = testsupport::FreePort();
    // A pipe that stays open: s_server ends the session at the end of its input.
    Feeder = std::make_unique<tlstest::FifoFeeder>(Pki->Path("in.fifo"), toClient);
    std::vector<std::string> argv = {"openssl", "s_server", "-quiet", "-ign_eof", "-accept", "127.0.0.1:" + std::to_string(Port),
                                     "-cert", Pki->Path(certName + ".crt"), "-key", Pki->Path(certName + ".key")};
    argv.insert(argv.end(), extra.begin(), extra.end());
    Server = std::make_unique<tlstest::PeerProcess>(argv, Pki->Path("in.fifo"), Pki->Path("out.bin"),
                                                    Pki->Path("err.txt"));
    ASSERT_TRUE(tlstest::WaitListening(Port, 5000));
  }

  // An open plain connection and the TLS stream that will replace its stream.
  std::unique_ptr<TqvTlsNetworkStream> OpenPlain(const std::string& host) {
    Conn.SetNetworkStream(std::make_unique<TqvNetworkStream>());
    Conn.TimeOut = 10000;
    Conn.Open("127.0.0.1", Port);
    auto tls = std::make_unique<TqvTlsNetworkStream>();
    tls->SetTargetHost(host);
    return tls;
  }

  // The connection switched to TLS with StartClientSession.
  TqvTlsNetworkStream& Connect(const std::string& host, TqvCertificateVerifyFlags flags = 0) {
    auto tls = OpenPlain(host);
    TqvTlsNetworkStream& t = *tls;
    t.SetCertificateFlags(flags);
    t.SetTLSFlags(qvDefaultTlsFlags | TlsFlag(tfUseTLS13));
    Conn.SetNetworkStream(std::move(tls));
    Conn.StartClientSession();
    return t;
  }

  // The status code and text a refused server certificate raises.
  std::pair<int, std::string> Refusal(const std::string& cert, const std::string& host,
                                      TqvCertificateVerifyFlags flags = 0) {
    StartServer(cert);
    try {
      (void)Connect(host, flags);
    } catch (const EqvSocketError& e) {
      return {e.ErrorCode, e.what()};
    }
    return {0, ""};
  }

  int Port = 0;
  std::unique_ptr<tlstest::PeerProcess> Server;
  std::unique_ptr<tlstest::FifoFeeder> Feeder;
  TqvTcpClientConnection Conn;
};

TEST_F(TlsClientTest, MegabyteEachWayInRandomPiecesThenCleanClose) {
  std::mt19937 rng(4711);
  std::string up(1 << 20, '\0'), down(1 << 20, '\0');
  const size_t want = down.size();
  for (auto& c : up) c = static_cast<char>(rng());
  for (auto& c : down) c = static_cast<char>(rng());
  StartServer("server", down);
  TqvTlsNetworkStream& tls = Connect("localhost");
  EXPECT_TRUE(tls.PeerAccepted());
  ASSERT_NE(tls.PeerCertificate(), nullptr);
  EXPECT_EQ(tls.PeerCertificate()->IssuerName, "VX Test CA");
  Feeder->Start();  // only now: the readiness probe must not take any of it

  TMemoryStream received;
  auto readAvailable = [&] {
    pollfd p{Conn.Socket().Socket(), POLLIN, 0};
    if (tls.HasReadData() || ::poll(&p, 1, 0) > 0) Conn.ReadData(&received);
  };
  size_t sent = 0;
  while (sent < up.size()) {
    const size_t piece = std::min<size_t>(1 + rng() % 70000, up.size() - sent);
    TMemoryStream out;
    out.WriteBuffer(up.data() + sent, static_cast<int64_t>(piece));
    out.SetPosition(0);
    Conn.WriteData(&out);
    ASSERT_EQ(out.Position(), out.Size());
    sent += piece;
    readAvailable();
  }
  try {
    while (received.Size() < static_cast<int64_t>(want) && Conn.Active()) Conn.ReadData(&received);
  } catch (const EqvSocketError& e) {
    ADD_FAILURE() << e.what() << " after " << received.Size() << " bytes, server got "
                  << tlstest::ReadFile(Pki->Path("out.bin")).size();
  }
  ASSERT_GE(received.Size(), static_cast<int64_t>(want));
  const std::string got = std::string(received.Memory(), static_cast<size_t>(received.Size()));
  const auto diff = std::mismatch(got.begin(), got.end(), down.begin());
  EXPECT_EQ(diff.first - got.begin(), received.Size()) << "first difference";

  Conn.Close(true);
  std::string atServer;
  for (int i = 0; i < 500 && atServer.size() < up.size(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    atServer = tlstest::ReadFile(Pki->Path("out.bin"));
  }
  EXPECT_EQ(atServer.size(), up.size());
  EXPECT_TRUE(atServer == up);
}

TEST_F(TlsClientTest, ExpiredCertificateRefusedUnlessDatesIgnored) {
  const auto [code, text] = Refusal("expired", "localhost");
  EXPECT_EQ(code, plat::CERT_E_EXPIRED);
  EXPECT_EQ(text,
            "A required certificate is not within its validity period when verifying against the current system "
            "clock or the timestamp in the signed file");
  StopServer();
  Conn.Close(false);
  EXPECT_EQ(Refusal("expired", "localhost", CertVerifyFlag(cfIgnoreDateInvalid)).first, 0);
}

TEST_F(TlsClientTest, WrongHostRefusedUnlessNameIgnored) {
  EXPECT_EQ(Refusal("wronghost", "localhost").first, plat::CERT_E_CN_NO_MATCH);
  StopServer();
  Conn.Close(false);
  EXPECT_EQ(Refusal("wronghost", "localhost", CertVerifyFlag(cfIgnoreCommonNameInvalid)).first, 0);
}

TEST_F(TlsClientTest, IpAddressMatchesItsAlternativeName) {
  EXPECT_EQ(Refusal("server", "127.0.0.1").first, 0);
}

TEST_F(TlsClientTest, UnknownAuthorityRefusedUnlessIgnored) {
  const int code = Refusal("rogue", "localhost").first;
  EXPECT_TRUE(code == plat::CERT_E_UNTRUSTEDROOT || code == plat::CERT_E_CHAINING) << std::hex << code;
  StopServer();
  Conn.Close(false);
  EXPECT_EQ(Refusal("rogue", "localhost", CertVerifyFlag(cfIgnoreUnknownAuthority)).first, 0);
}

TEST_F(TlsClientTest, WrongUsageRefusedUnlessIgnored) {
  EXPECT_EQ(Refusal("clientonly", "localhost").first, plat::CERT_E_WRONG_USAGE);
  StopServer();
  Conn.Close(false);
  EXPECT_EQ(Refusal("clientonly", "localhost", CertVerifyFlag(cfIgnoreWrongUsage)).first, 0);
}

TEST_F(TlsClientTest, VerifyHandlerMayAcceptARefusedPeer) {
  StartServer("expired");
  auto tls = OpenPlain("localhost");
  int seen = 0;
  std::string seenText;
  tls->OnVerifyPeer = [&](TObject*, TqvCertificate* cert, const std::string& text, int code, bool& verified) {
    seen = code;
    seenText = text;
    EXPECT_NE(cert, nullptr);
    verified = true;
  };
  Conn.SetNetworkStream(std::move(tls));
  EXPECT_NO_THROW(Conn.StartClientSession());
  EXPECT_EQ(seen, plat::CERT_E_EXPIRED);
  EXPECT_FALSE(seenText.empty());
}

TEST_F(TlsClientTest, ServerRefusingOurVersionsFailsWithAClearError) {
  StartServer("server", "", {"-tls1_3"});
  auto tls = OpenPlain("localhost");  // default flags: TLS 1.2 at most
  Conn.SetNetworkStream(std::move(tls));
  try {
    Conn.StartClientSession();
    FAIL() << "a TLS 1.3-only server must be refused";
  } catch (const EqvSSPIError& e) {
    EXPECT_EQ(e.ErrorCode, plat::SEC_E_ALGORITHM_MISMATCH);
  }
}

}  // namespace
