// Real mail clients against the SMTP server: Python's smtplib, curl and swaks.
#include <cstdlib>

#include "PythonOracle.h"
#include "SmtpTestClient.h"

using smtptest::Files;
using smtptest::ReadFile;

namespace {

class SmtpClients : public smtptest::SmtpServerTest {
 protected:
  void SetUp() override {
    SmtpServerTest::SetUp();
    Start();
  }
  std::string Port() const { return std::to_string(Server.Port()); }
  // A shell command's exit status, its output in OUT.
  int Shell(const std::string& ACommand, std::string& AOut) {
    testsupport::TempDir dir;
    const int rc = std::system(("cd " + dir.Dir() + " && " + ACommand + " > out 2>&1").c_str());
    AOut = testsupport::ReadFileBytes(dir.Dir() + "out");
    return rc;
  }
};

const char* kSmtplib = R"(
import smtplib, sys
port = int(open(sys.argv[1]).read())
out = []
msg = b'Subject: py\r\n\r\n8bit \xe4\xb8\xad\r\n.leading dot\r\n' + b'x' * 998 + b'\r\n'
s = smtplib.SMTP('127.0.0.1', port); s.ehlo('c.test')
out.append(' '.join(s.esmtp_features['auth'].split()[:3]))
try:
    s.sendmail('alice@example.test', ['carol@remote.test'], msg)
except smtplib.SMTPRecipientsRefused as e:
    out.append(repr(e.recipients['carol@remote.test']))
try:
    s.login('bob@example.test', 'wrong')
except smtplib.SMTPAuthenticationError as e:
    out.append('%d %s' % (e.smtp_code, e.smtp_error.decode()))
s.login('bob@example.test', 'secret')
out.append(repr(s.sendmail('bob@example.test', ['carol@remote.test', 'alice@example.test'], msg)))
s.quit()
s = smtplib.SMTP('127.0.0.1', port); s.ehlo('c.test')
s.user, s.password = 'bob@example.test', 'secret'
out.append(repr(s.auth('LOGIN', s.auth_login, initial_response_ok=False)))
big = b'Subject: big\r\n\r\n' + (b'y' * 76 + b'\r\n') * (20 * 1024 * 1024 // 78)
out.append(repr(s.sendmail('bob@example.test', ['alice@example.test'], big)))
s.quit()
open(sys.argv[2], 'w').write('\n'.join(out))
)";

}  // namespace

TEST_F(SmtpClients, PythonSmtplibPlainLoginCramAndBigMessage) {
  const std::string out = testsupport::RunPython(kSmtplib, Port());
  EXPECT_EQ(out,
            "LOGIN CRAM-MD5 NTLM\n"
            "(550, b'<carol@remote.test> Relay denied')\n"
            "535 Authentication failed\n"
            "{}\n"
            "(235, b'Authentication successful')\n"
            "{}");
  EXPECT_EQ(ReadFile(Relay() + "MAIL00000002.ENV"), "bob@example.test\r\ncarol@remote.test\r\n");
  const auto files = Files(MailBox("alice@example.test"));
  ASSERT_EQ(files.size(), 2u);
  const std::string first = ReadFile(MailBox("alice@example.test") + files[0]);
  EXPECT_EQ(first.substr(0, 33), "Return-path: <bob@example.test>\r\n");
  EXPECT_NE(first.find("\r\n\r\n8bit \xe4\xb8\xad\r\n.leading dot\r\n" + std::string(998, 'x') + "\r\n"),
            std::string::npos);
  EXPECT_GT(ReadFile(MailBox("alice@example.test") + files[1]).size(), 20u * 1000 * 1000);
}

TEST_F(SmtpClients, CurlPlainAndNtlmAndSwaksPipelining) {
  testsupport::WriteFileBytes(Dir.Dir() + "msg.eml", "Subject: curl\r\n\r\nhello\r\n");
  const std::string url = " smtp://127.0.0.1:" + Port();
  std::string out;
  EXPECT_EQ(Shell("curl -sS" + url + " --mail-from alice@example.test --mail-rcpt bob@example.test -T " +
                      Dir.Dir() + "msg.eml",
                  out),
            0)
      << out;
  EXPECT_NE(Shell("curl -sS" + url + " --mail-from alice@example.test --mail-rcpt carol@remote.test -T " +
                      Dir.Dir() + "msg.eml",
                  out),
            0);
  EXPECT_NE(out.find("550"), std::string::npos) << out;
  EXPECT_EQ(Shell("curl -sS" + url + " -u bob@example.test:secret --login-options AUTH=NTLM"
                  " --mail-from bob@example.test --mail-rcpt carol@remote.test -T " + Dir.Dir() + "msg.eml",
                  out),
            0)
      << out;
  EXPECT_EQ(Shell("curl -sS" + url + " -u bob@example.test:secret --login-options AUTH=LOGIN --sasl-ir"
                  " --mail-from bob@example.test --mail-rcpt dave@remote.test -T " + Dir.Dir() + "msg.eml",
                  out),
            0)
      << out;
  EXPECT_EQ(Files(Relay()).size(), 4u);

  EXPECT_EQ(Shell("swaks -s 127.0.0.1 -p " + Port() +
                      " -f alice@example.test -t carol@remote.test --quit-after RCPT",
                  out) == 0,
            false);
  EXPECT_NE(out.find("<** 550 <carol@remote.test> Relay denied"), std::string::npos) << out;
  EXPECT_EQ(Shell("swaks --pipeline -s 127.0.0.1 -p " + Port() +
                      " -f bob@example.test -t carol@remote.test -a LOGIN -au bob@example.test -ap secret",
                  out),
            0)
      << out;
  EXPECT_NE(out.find("235 Authentication successful"), std::string::npos) << out;
  EXPECT_EQ(Files(Relay()).size(), 6u);
  // swaks adds its own Message-Id, which stays the only one.
  const std::string swaks = ReadFile(Relay() + Files(Relay()).back());
  EXPECT_EQ(swaks.find("Message-ID:"), std::string::npos);
  EXPECT_NE(swaks.find("Message-Id:"), std::string::npos);
}

TEST_F(SmtpClients, SwaksLogsInWithNtlmVersionTwo) {
  // swaks waits for "334" and its blank before it sends the first NTLM token.
  std::string out;
  EXPECT_EQ(Shell("perl -MAuthen::NTLM -e 'Authen::NTLM::ntlmv2(1); do \"/usr/bin/swaks\"; exit($? >> 8)' --"
                  " --timeout 10 -s 127.0.0.1 -p " + Port() +
                      " -f bob@example.test -t carol@remote.test -a NTLM -au bob@example.test -ap secret",
                  out),
            0)
      << out;
  EXPECT_NE(out.find("235 Authentication successful"), std::string::npos) << out;
  EXPECT_EQ(Files(Relay()).size(), 2u);
}
