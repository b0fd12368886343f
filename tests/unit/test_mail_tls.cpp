// STARTTLS and STLS for real: the SMTP, POP3 and IMAP4 servers with TLS
// allowed and a certificate, driven by Python's smtplib, poplib and imaplib,
// which verify the chain.
#include <gtest/gtest.h>

#include "Pop3TestSupport.h"
#include "SmtpTestClient.h"
#include "TestSockets.h"
#include "TlsTestSupport.h"
#include "qvImap4Server.h"

namespace {

const char* kSmtpScript = R"PY(
import smtplib, ssl, sys
port, ca = int(sys.argv[1]), sys.argv[2]
ctx = ssl.create_default_context(cafile=ca)
s = smtplib.SMTP("127.0.0.1", port, timeout=20)
s.ehlo("c.test")
assert s.has_extn("starttls")
s.starttls(context=ctx)
s.ehlo("c.test")
assert not s.has_extn("starttls")
code, _ = s.docmd("STARTTLS")
assert code == 454, code
s.login("bob@example.test", "secret")
s.sendmail("alice@example.test", ["bob@example.test"], b"Subject: tls\r\n\r\nover tls\r\n")
s.quit()
print("OK")
)PY";

const char* kPop3Script = R"PY(
import poplib, ssl, sys
port, ca = int(sys.argv[1]), sys.argv[2]
ctx = ssl.create_default_context(cafile=ca)
p = poplib.POP3("127.0.0.1", port, timeout=20)
# poplib's stls() asks CAPA first, which this server does not know: switch by hand.
assert p._shortcmd("STLS").startswith(b"+OK")
p.sock = ctx.wrap_socket(p.sock, server_hostname="localhost")
p.file = p.sock.makefile("rb")
p.user("alice@example.com")
p.pass_("secret")
n, _ = p.stat()
_, lines, _ = p.retr(1)
assert b"Subject: one" in lines, lines
p.quit()
print("OK", n)
)PY";

const char* kImapScript = R"PY(
import imaplib, ssl, sys
port, ca = int(sys.argv[1]), sys.argv[2]
ctx = ssl.create_default_context(cafile=ca)
m = imaplib.IMAP4("127.0.0.1", port, timeout=20)
assert "STARTTLS" in m.capabilities, m.capabilities
m.starttls(ssl_context=ctx)
assert "STARTTLS" not in m.capabilities, m.capabilities
assert m._simple_command("STARTTLS")[0] == "NO"
assert m.login("bob@example.test", "secret")[0] == "OK"
m.logout()
print("OK")
)PY";

std::string RunScript(tlstest::TestPki& APki, const char* AName, const char* AScript, int APort) {
  tlstest::WriteFile(APki.Path(AName), AScript);
  tlstest::PeerProcess p({"/usr/bin/python3", APki.Path(AName), std::to_string(APort), APki.Path("ca.pem")}, "",
                         APki.Path("out"), APki.Path("err"));
  EXPECT_EQ(p.WaitExit(60000), 0) << tlstest::ReadFile(APki.Path("err"));
  return tlstest::ReadFile(APki.Path("out"));
}

template <class TServer>
void OfferTls(TServer& AServer, tlstest::TestPki& APki) {
  AServer.UseTLS = stExplicitAllow;
  AServer.OnGetCertificate = [&APki](TObject*, std::unique_ptr<TqvCertificate>& cert, TqvCertificateList&,
                                     bool& handled) {
    cert = TqvCertificate::LoadFromFile(APki.Path("server.p12"), "secret");
    handled = true;
  };
}

class SmtpTls : public smtptest::SmtpServerTest {};
class Pop3Tls : public pop3test::TPop3Session {};

}  // namespace

TEST_F(SmtpTls, StartTlsThenAuthAndDeliveryOverTheSecuredSession) {
  tlstest::TestPki pki;
  OfferTls(Server, pki);
  Start();
  EXPECT_EQ(RunScript(pki, "smtp.py", kSmtpScript, Server.Port()), "OK\n");
  EXPECT_EQ(std::filesystem::exists(MailBox("bob@example.test")), true);
}

TEST_F(Pop3Tls, StlsThenLoginAndRetrieveOverTheSecuredSession) {
  tlstest::TestPki pki;
  OfferTls(Server, pki);
  Start();
  EXPECT_EQ(RunScript(pki, "pop3.py", kPop3Script, Server.Port()), "OK 2\n");
}

TEST(ImapTls, StartTlsThenLoginOverTheSecuredSession) {
  TqvImap4Server server;
  server.SetLocalBinding("127.0.0.1");
  TqvMailUserAccountItem* a = server.UserAccounts().Add();
  a->SetUserName("bob@example.test");
  a->SetPassword("secret");
  tlstest::TestPki pki;
  OfferTls(server, pki);
  testsupport::StartOnFreePort(server);
  EXPECT_EQ(RunScript(pki, "imap.py", kImapScript, server.Port()), "OK\n");
  server.Stop();
}
