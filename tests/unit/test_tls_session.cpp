// TLS sessions pumped in memory: our client against our server, tokens moved
// by hand, so split records, extra and missing data can be forced.
#include <gtest/gtest.h>

#include "CryptoApi.h"
#include "TlsTestSupport.h"
#include "qvCertificate.h"
#include "qvSocketUtils.h"
#include "qvSspiTls.h"

namespace {

std::string AllOf(TMemoryStream& s) { return std::string(s.Memory(), static_cast<size_t>(s.Size())); }

void Put(TMemoryStream& s, const std::string& bytes) {
  s.Clear();
  s.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  s.SetPosition(0);
}

void Append(TMemoryStream& s, const std::string& bytes) {
  const int64_t pos = s.Position();
  s.Seek(0, soFromEnd);
  s.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  s.SetPosition(pos);
}

// One set of certificates for the suite: key generation is slow.
class TlsSessionTest : public tlstest::PkiSuite<> {
 protected:
  void SetUp() override {
    ServerCerts.Add(TqvCertificate::LoadFromFile(Pki->Path("server.pem")));
    Client.TargetHost = "localhost";
  }

  // Runs the handshake; the client's last bytes (server data behind the
  // handshake) stay in C. Returns the client's final result.
  uint8_t Pump() {
    uint8_t rc = Client.Handshake(C, None, false);
    EXPECT_EQ(rc, qvTlsTokenToSend);
    for (int round = 0; round < 6; ++round) {
      Put(S, AllOf(C) + Client.TakeFinalToken());
      const uint8_t rs = Server.Handshake(S, ServerCerts, false);
      const std::string toClient = Server.TakeFinalToken() + AllOf(S);
      Put(C, toClient);  // session tickets may follow the server's last step
      if (rc == qvTlsDone) return rc;
      rc = Client.Handshake(C, None, false);
      if (rc == qvTlsDone && rs == qvTlsDone) {
        // A final client token (TLS 1.3 Finished) still has to reach the server.
        const std::string last = Client.TakeFinalToken();
        if (!last.empty()) {
          Put(S, last);
          EXPECT_EQ(Server.Handshake(S, ServerCerts, false), qvTlsDone);
          Put(C, Server.TakeFinalToken() + AllOf(S));
        }
        return rc;
      }
      EXPECT_NE(rc, qvTlsNeedMoreData);
    }
    ADD_FAILURE() << "handshake did not finish";
    return rc;
  }

  static std::string Encrypt(TqvTlsSspi& from, const std::string& text) {
    TMemoryStream src, dst;
    Put(src, text);
    EXPECT_EQ(from.Encrypt(src, dst, static_cast<int64_t>(text.size())), qvTlsDone);
    return AllOf(dst);
  }

  TqvTlsClientSspi Client;
  TqvTlsServerSspi Server;
  TqvCertificateList ServerCerts{true};
  TqvCertificateList None{false};
  TMemoryStream C, S;
};

TEST_F(TlsSessionTest, HandshakeVerifiesServerAndMovesDataBothWays) {
  const uint8_t rc = Pump();
  EXPECT_TRUE(rc == qvTlsDone || rc == qvTlsDoneWithData);
  EXPECT_TRUE(Client.Verified());
  ASSERT_NE(Client.PeerCertificate(), nullptr);
  EXPECT_EQ(Client.PeerCertificate()->SubjectName, "localhost");

  const std::string records = Encrypt(Client, "hello server");
  TMemoryStream in, plain;
  Put(in, records);
  EXPECT_EQ(Server.Decrypt(in, plain, in), qvTlsDone);
  EXPECT_EQ(AllOf(plain), "hello server");

  Put(in, Encrypt(Server, "hello client"));
  TMemoryStream back;
  const uint8_t r = Client.Decrypt(in, back, in);
  EXPECT_EQ(AllOf(back), "hello client");
  EXPECT_EQ(r, qvTlsDone);
}

TEST_F(TlsSessionTest, ServerReplyInTwoPiecesNeedsMoreDataThenCompletes) {
  ASSERT_EQ(Client.Handshake(C, None, false), qvTlsTokenToSend);
  Put(S, AllOf(C));
  ASSERT_EQ(Server.Handshake(S, ServerCerts, false), qvTlsTokenToSend);
  const std::string reply = AllOf(S);
  ASSERT_GT(reply.size(), 20u);
  Put(C, reply.substr(0, 3));  // not even a record header
  EXPECT_EQ(Client.Handshake(C, None, false), qvTlsNeedMoreData);
  Append(C, reply.substr(3, reply.size() / 2));
  EXPECT_EQ(Client.Handshake(C, None, false), qvTlsNeedMoreData);
  Append(C, reply.substr(3 + reply.size() / 2));
  const uint8_t rc = Client.Handshake(C, None, false);
  EXPECT_TRUE(rc == qvTlsTokenToSend || rc == qvTlsDone) << int(rc);
}

TEST_F(TlsSessionTest, ClientHelloSplitKeepsServerWaiting) {
  ASSERT_EQ(Client.Handshake(C, None, false), qvTlsTokenToSend);
  const std::string hello = AllOf(C);
  Put(S, hello.substr(0, hello.size() - 10));
  EXPECT_EQ(Server.Handshake(S, ServerCerts, false), qvTlsNeedMoreData);
  Append(S, hello.substr(hello.size() - 10));
  EXPECT_EQ(Server.Handshake(S, ServerCerts, false), qvTlsTokenToSend);
}

TEST_F(TlsSessionTest, SplitRecordsAndExtraData) {
  Pump();
  std::string stream = Encrypt(Client, "first");
  stream += Encrypt(Client, "second");
  stream += Encrypt(Client, "third");
  const std::string third = Encrypt(Client, "fourth");
  stream += third.substr(0, 7);  // a record cut inside its body
  TMemoryStream in, plain;
  Put(in, stream);
  EXPECT_EQ(Server.Decrypt(in, plain, in), qvTlsPartlyDecrypted);
  EXPECT_EQ(AllOf(plain), "firstsecondthird");
  EXPECT_EQ(AllOf(in), third.substr(0, 7));

  TMemoryStream more;
  EXPECT_EQ(Server.Decrypt(in, more, in), qvTlsIncomplete);  // still cut: nothing decrypted
  EXPECT_EQ(more.Size(), 0);
  Append(in, third.substr(7));
  EXPECT_EQ(Server.Decrypt(in, more, in), qvTlsDone);
  EXPECT_EQ(AllOf(more), "fourth");
}

TEST_F(TlsSessionTest, RecordCutAtEveryByteWaitsThenDecrypts) {
  Pump();
  const size_t size = Encrypt(Server, "probe").size();
  for (size_t cut = 1; cut < size; ++cut) {
    const std::string rec = Encrypt(Client, "split me anywhere");
    TMemoryStream in, plain;
    Put(in, rec.substr(0, cut));
    EXPECT_EQ(Server.Decrypt(in, plain, in), qvTlsIncomplete) << cut;
    Append(in, rec.substr(cut));
    EXPECT_EQ(Server.Decrypt(in, plain, in), qvTlsDone) << cut;
    EXPECT_EQ(AllOf(plain), "split me anywhere") << cut;
  }
}

TEST_F(TlsSessionTest, GarbageAndOversizedRecordsAreRefused) {
  Pump();
  TMemoryStream in, plain;
  Put(in, "MAIL FROM:<a@b>\r\n");  // clear text after a switch is never data
  EXPECT_THROW((void)Server.Decrypt(in, plain, in), EqvSSPIError);
  Put(in, std::string("\x17\x03\x03\xff\xff", 5) + std::string(64, 'x'));  // length beyond any record
  EXPECT_THROW((void)Server.Decrypt(in, plain, in), EqvSSPIError);
  EXPECT_EQ(plain.Size(), 0);
}

TEST_F(TlsSessionTest, ShutdownTokenReachesPeerAsClose) {
  Pump();
  TMemoryStream token;
  EXPECT_EQ(Client.Shutdown(token), qvTlsShutdownToken);
  EXPECT_GT(token.Size(), 0);
  TMemoryStream plain;
  EXPECT_EQ(Server.Decrypt(token, plain, token), qvTlsPeerClosed);
  EXPECT_FALSE(Client.HasContext());
  TMemoryStream none;
  EXPECT_EQ(Client.Shutdown(none), qvTlsDone);  // nothing left to close
  EXPECT_EQ(none.Size(), 0);
}

TEST_F(TlsSessionTest, ServerWithoutCertificateAsksForOne) {
  TqvCertificateList empty(true);
  ASSERT_EQ(Client.Handshake(C, None, false), qvTlsTokenToSend);
  Put(S, AllOf(C));
  EXPECT_EQ(Server.Handshake(S, empty, false), qvTlsNoCertificate);
}

TEST_F(TlsSessionTest, WrongHostFailsVerificationWithItsStatus) {
  Client.TargetHost = "mail.other.test";
  Pump();
  EXPECT_FALSE(Client.Verified());
  EXPECT_EQ(Client.LastStatus(), plat::CERT_E_CN_NO_MATCH);
  EXPECT_EQ(GetSspiErrorText(Client.LastStatus()), "The certificate's CN name does not match the passed value");
}

TEST_F(TlsSessionTest, IgnoreCommonNameAcceptsWrongHost) {
  Client.TargetHost = "mail.other.test";
  Client.CertificateFlags = CertVerifyFlag(cfIgnoreCommonNameInvalid);
  Pump();
  EXPECT_TRUE(Client.Verified());
}

TEST_F(TlsSessionTest, ProtocolFlags) {
  EXPECT_EQ(TlsProtocolBits(qvDefaultTlsFlags, true), 0xA80u);
  EXPECT_EQ(TlsProtocolBits(qvDefaultTlsFlags, false), 0x540u);
  // SSL 2 counts only without TLS 1.2.
  EXPECT_EQ(TlsProtocolBits(TlsFlag(tfUseSSL2) | TlsFlag(tfUseTLS12), true), 0x800u);
  EXPECT_EQ(TlsProtocolBits(TlsFlag(tfUseSSL2), false), 0x4u);
  EXPECT_EQ(CertificatePolicyChecks(0x1F), 0x1000u | 0x2000u | 0x100u | 0x80u | 0x200u);
}

TEST_F(TlsSessionTest, OnlyTls12WhenAskedAndPolicyForbiddenVersionsFail) {
  Client.TLSFlags = TlsFlag(tfUseSSL2) | TlsFlag(tfUseTLS12);
  Server.TLSFlags = TlsFlag(tfUseTLS12) | TlsFlag(tfUseTLS13);
  Pump();
  EXPECT_TRUE(Client.Verified());

  TqvTlsClientSspi old;
  old.TLSFlags = TlsFlag(tfUseTLS);  // TLS 1.0: below the machine's security level
  TMemoryStream s;
  try {
    (void)old.Handshake(s, None, false);
    FAIL() << "TLS 1.0 alone must be refused";
  } catch (const EqvSSPIError& e) {
    EXPECT_EQ(e.ErrorCode, plat::SEC_E_ALGORITHM_MISMATCH);
    EXPECT_EQ(std::string(e.what()),
              "The client and server cannot communicate, because they do not possess a common algorithm");
  }
}

TEST_F(TlsSessionTest, Tls13BothSides) {
  Client.TLSFlags = TlsFlag(tfUseTLS13);
  Server.TLSFlags = TlsFlag(tfUseTLS12) | TlsFlag(tfUseTLS13);
  const uint8_t rc = Pump();
  EXPECT_TRUE(rc == qvTlsDone || rc == qvTlsDoneWithData);
  EXPECT_TRUE(Client.Verified());
  TMemoryStream in, plain;
  const std::string tickets = AllOf(C);
  Put(in, tickets + Encrypt(Server, "greeting"));  // tickets first, then data
  const uint8_t r = Client.Decrypt(in, plain, in);
  EXPECT_EQ(AllOf(plain), "greeting");
  EXPECT_EQ(r, qvTlsDone);
}

}  // namespace

namespace {

TEST_F(TlsSessionTest, ServerHandshakeEndingWithApplicationDataYieldsIt) {
  Client.TLSFlags = TlsFlag(tfUseTLS13);
  Server.TLSFlags = TlsFlag(tfUseTLS13);
  ASSERT_EQ(Client.Handshake(C, None, false), qvTlsTokenToSend);
  Put(S, AllOf(C));
  ASSERT_EQ(Server.Handshake(S, ServerCerts, false), qvTlsTokenToSend);
  Put(C, AllOf(S));
  ASSERT_EQ(Client.Handshake(C, None, false), qvTlsDone);
  const std::string finished = Client.TakeFinalToken();
  ASSERT_FALSE(finished.empty());
  Put(S, finished + Encrypt(Client, "early data"));
  ASSERT_EQ(Server.Handshake(S, ServerCerts, false), qvTlsDoneWithData);
  EXPECT_FALSE(Server.TakeFinalToken().empty());  // the session tickets
  TMemoryStream plain;
  EXPECT_EQ(Server.Decrypt(S, plain, S), qvTlsDone);
  EXPECT_EQ(AllOf(plain), "early data");
}

}  // namespace
