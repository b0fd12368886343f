// AUTH LOGIN, CRAM-MD5 and NTLM against the SMTP server, through memory sessions.
#include "AsciiText.h"
#include "SmtpTestClient.h"
#include "qvCryptHash.h"
#include "qvEncoder.h"
#include "qvSspiAuth.h"

using smtptest::TClient;
using testsupport::ExpectDialogue;

namespace {

std::string B64(const std::string& AText) { return TqvEncoder::EncodeTextToLine(AText, cmBase64); }
std::string UnB64(const std::string& AText) { return TqvEncoder::DecodeText(AText, cmBase64); }

class SmtpAuth : public smtptest::SmtpServerTest {
 protected:
  void SetUp() override {
    SmtpServerTest::SetUp();
    AddAccount("nopw@example.test", "");
  }
  // The CRAM-MD5 answer to the challenge in a "334 <b64>" reply.
  static std::string CramLine(const std::string& AReply, const std::string& AUser, const std::string& APassword) {
    const std::string challenge = UnB64(AReply.substr(4, AReply.size() - 6));
    return B64(AUser + " " + HMAC_MD5(challenge, APassword));
  }
  // A whole NTLM exchange; returns the final reply.
  static std::string Ntlm(TClient& c, const std::string& AUser, const std::string& APassword) {
    EXPECT_EQ(c.Cmd("AUTH NTLM"), "334 \r\n");
    TqvNtAuthClientSspi client;
    TqvAuthIdentity id(AUser, APassword);
    TMemoryStream negotiate;
    EXPECT_FALSE(client.GenerateToken("NTLM", negotiate, &id, "mx.test"));
    const std::string challenge =
        c.Cmd(B64(std::string(negotiate.Memory(), static_cast<size_t>(negotiate.Size()))));
    if (challenge.substr(0, 4) != "334 ") return challenge;
    const TBytes type2 = TqvEncoder::DecodeTextToBytes(challenge.substr(4, challenge.size() - 6), cmBase64);
    TMemoryStream s;
    s.WriteBuffer(type2.data(), static_cast<int64_t>(type2.size()));
    s.SetPosition(0);
    EXPECT_TRUE(client.GenerateToken("NTLM", s, &id, "mx.test"));
    return c.Cmd(B64(std::string(s.Memory(), static_cast<size_t>(s.Size()))));
  }
};

}  // namespace

TEST_F(SmtpAuth, LoginWithPromptsOrInitialResponse) {
  {
    auto c = Greeted();
    ExpectDialogue(*c, {
        {"AUTH LOGIN", "334 VXNlcm5hbWU6\r\n"},
        {"Ym9iQGV4YW1wbGUudGVzdA==", "334 UGFzc3dvcmQ6\r\n"},
        {"c2VjcmV0", "235 Authentication successful\r\n"},
        {"AUTH LOGIN", "503 Bad sequence of commands\r\n"},
    });
  }
  auto c = Greeted();
  // The password line pipelined behind the command still reaches the exchange.
  c->Send("AUTH LOGIN Ym9iQGV4YW1wbGUudGVzdA==\r\nc2VjcmV0\r\nNOOP\r\n");
  EXPECT_EQ(c->Reply(), "334 UGFzc3dvcmQ6\r\n");
  EXPECT_EQ(c->Reply(), "235 Authentication successful\r\n");
  EXPECT_EQ(c->Reply(), "250 OK\r\n");
}

TEST_F(SmtpAuth, WrongPasswordLeavesAGreetedUnauthenticatedSession) {
  auto c = Greeted();
  c->Cmd("AUTH LOGIN");
  c->Cmd("Ym9iQGV4YW1wbGUudGVzdA==");
  ExpectDialogue(*c, {
      {"d3Jvbmc=", "535 Authentication failed\r\n"},
      {"MAIL FROM:<a@x.test>", "250 <a@x.test> Sender ok\r\n"},
      {"RCPT TO:<carol@remote.test>", "550 <carol@remote.test> Relay denied\r\n"},
      {"AUTH LOGIN", "334 VXNlcm5hbWU6\r\n"},
      {"*", "501 Authentication aborted\r\n"},
  });
}

TEST_F(SmtpAuth, AbortsAndUnknownMechanisms) {
  auto c = Greeted();
  c->Cmd("AUTH LOGIN");
  EXPECT_EQ(c->Cmd(" * "), "501 Authentication aborted\r\n");
  c->Cmd("AUTH LOGIN");
  ExpectDialogue(*c, {
      {"%%%", "501 Authentication aborted\r\n"},
      {"AUTH", "504 Unrecognized authentication type\r\n"},
      {"AUTH PLAIN AGJvYgBz", "504 Unrecognized authentication type\r\n"},
  });
  EXPECT_EQ(c->Cmd("AUTH cram-md5").substr(0, 4), "334 ");
  ExpectDialogue(*c, {
      {"*", "501 Authentication aborted\r\n"},
      {"AUTH NTLM", "334 \r\n"},
      {"*", "501 Authentication aborted\r\n"},
      {"AUTH NTLM", "334 \r\n"},
      {"bm90IG50bG0=", "501 Authentication aborted\r\n"},
      {"NOOP", "250 OK\r\n"},
  });
}

TEST_F(SmtpAuth, CramMd5ChecksTheDigestExactly) {
  auto c = Greeted();
  std::string reply = c->Cmd("AUTH CRAM-MD5");
  const std::string challenge = UnB64(reply.substr(4, reply.size() - 6));
  EXPECT_EQ(challenge.front(), '<');
  EXPECT_EQ(challenge.substr(challenge.size() - 9), "@mx.test>");
  EXPECT_EQ(c->Cmd(B64("bob@example.test")), "501 Authentication aborted\r\n");

  reply = c->Cmd("AUTH CRAM-MD5");
  EXPECT_EQ(c->Cmd(CramLine(reply, "bob@example.test", "wrong")), "535 Authentication failed\r\n");
  reply = c->Cmd("AUTH CRAM-MD5");
  std::string upper = plat::AsciiUpperCase(UnB64(CramLine(reply, "bob@example.test", "secret")));
  upper.replace(0, 16, "bob@example.test");
  EXPECT_EQ(c->Cmd(B64(upper)), "535 Authentication failed\r\n");
  reply = c->Cmd("AUTH CRAM-MD5");
  EXPECT_EQ(c->Cmd(CramLine(reply, "bob@example.test", "secret")), "235 Authentication successful\r\n");
  EXPECT_EQ(c->Cmd("RCPT TO:<x@remote.test>"), "503 Bad sequence of commands\r\n");
}

TEST_F(SmtpAuth, NtlmCompletesOnlyForAnAccountWithItsPassword) {
  {
    auto c = Greeted();
    EXPECT_EQ(Ntlm(*c, "bob@example.test", "wrong"), "501 Authentication aborted\r\n");
    EXPECT_EQ(Ntlm(*c, "mallory@example.test", "x"), "501 Authentication aborted\r\n");
    EXPECT_EQ(c->Cmd("MAIL FROM:<a@x.test>"), "250 <a@x.test> Sender ok\r\n");
    EXPECT_EQ(c->Cmd("RCPT TO:<carol@remote.test>"), "550 <carol@remote.test> Relay denied\r\n");
  }
  auto c = Greeted();
  EXPECT_EQ(Ntlm(*c, "bob@example.test", "secret"), "235 Authentication successful\r\n");
  c->Cmd("MAIL FROM:<bob@example.test>");
  EXPECT_EQ(c->Cmd("RCPT TO:<carol@remote.test>"), "250 <carol@remote.test> Recipient ok\r\n");
}

TEST_F(SmtpAuth, AccountWithoutPasswordNeverLogsIn) {
  auto c = Greeted();
  c->Cmd("AUTH LOGIN " + B64("nopw@example.test"));
  EXPECT_EQ(c->Cmd(""), "535 Authentication failed\r\n");
  const std::string reply = c->Cmd("AUTH CRAM-MD5");
  EXPECT_EQ(c->Cmd(B64("nopw@example.test " + HMAC_MD5(UnB64(reply.substr(4, reply.size() - 6)), ""))),
            "501 Authentication aborted\r\n");  // an empty key gives no digest: one word
  EXPECT_EQ(Ntlm(*c, "nopw@example.test", ""), "501 Authentication aborted\r\n");
  EXPECT_EQ(c->Cmd("RCPT TO:<carol@remote.test>"), "503 Bad sequence of commands\r\n");
}
