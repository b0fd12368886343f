// SMTP sessions against the server and its file store, through memory
// sessions on the test's thread (a few over loopback, for the socket path and
// real concurrency): the replies word for word, the envelope rules, DATA
// framing and what lands on disk.
#include <atomic>
#include <regex>
#include <set>
#include <thread>

#include "SmtpTestClient.h"

using smtptest::Files;
using smtptest::ReadFile;
using smtptest::TClient;
using testsupport::ExpectDialogue;

namespace {

class SmtpSession : public smtptest::SmtpServerTest {
 protected:
  // alice's folder cannot be made: a file has its name.
  void BlockAliceFolder() {
    std::filesystem::create_directories(Dir.Dir() + "MailBox");
    const std::string folder = MailBox("alice@example.test");
    std::ofstream(folder.substr(0, folder.size() - 1)) << "x";
  }
};

}  // namespace

namespace {

// The greeting, then every reply of a short session, in order.
void ExpectGreetingEhloHelpAndSmallCommands(TClient& c) {
  EXPECT_EQ(c.Reply(), "220 mx.test Quorvin Mail Kit SMTP service\r\n");
  ExpectDialogue(c, {
      {"EHLO client.test",
       "250-mx.test Hello client.test, pleased to meet you\r\n"
       "250-AUTH LOGIN CRAM-MD5 NTLM\r\n"
       "250-AUTH=LOGIN CRAM-MD5 NTLM\r\n"
       "250 HELP\r\n"},
      {"EHLO again.test", "503 Bad sequence of commands\r\n"},
      {"HELP",
       "214-Commands Supported:\r\n"
       "214-HELO EHLO AUTH HELP QUIT MAIL NOOP RSET RCPT DATA STARTTLS\r\n"
       "214 End Of Help\r\n"},
      {"noop", "250 OK\r\n"},
      {"vrfy bob", "500 Syntax error, command unrecognized: VRFY\r\n"},
      {"STARTTLS", "454 TLS not available\r\n"},
      {"RSET", "250 Reset state\r\n"},
      {"QUIT", "221 mx.test closing connection\r\n"},
  });
  EXPECT_TRUE(c.ClosedByServer());
}

}  // namespace

TEST_F(SmtpSession, GreetingEhloHelpAndSmallCommands) {
  TClient c(Server);
  ExpectGreetingEhloHelpAndSmallCommands(c);
}

TEST_F(SmtpSession, GreetingEhloHelpAndSmallCommandsOverLoopback) {
  Start();
  TClient c(Server.Port());
  ExpectGreetingEhloHelpAndSmallCommands(c);
}

TEST_F(SmtpSession, HeloEhloArgumentsAndAuthAfterHelo) {
  Server.Extensions().Add("8BITMIME");
  Server.SetSaslFlags(SaslFlag(ssUseCramMD5));
  {
    TClient c(Server);
    c.Reply();
    ExpectDialogue(c, {
        {"EHLO", "501 EHLO requires domain address\r\n"},
        {"HELO  ", "501 HELO requires domain address\r\n"},
        {"HELO x.test", "250 mx.test Hello x.test, pleased to meet you\r\n"},
        {"AUTH LOGIN", "503 Bad sequence of commands\r\n"},
    });
  }
  TClient c(Server);
  c.Reply();
  EXPECT_EQ(c.Cmd("EHLO y.test"),
            "250-mx.test Hello y.test, pleased to meet you\r\n"
            "250-AUTH CRAM-MD5\r\n250-AUTH=CRAM-MD5\r\n250-8BITMIME\r\n250 HELP\r\n");
}

TEST_F(SmtpSession, SequenceAndSyntaxRefusals) {
  TClient c(Server);
  c.Reply();
  EXPECT_EQ(c.Cmd("MAIL FROM:<alice@example.test>"), "503 Bad sequence of commands\r\n");
  c.Cmd("EHLO c.test");
  ExpectDialogue(c, {
      {"RCPT TO:<bob@example.test>", "503 Bad sequence of commands\r\n"},
      {"DATA", "503 Bad sequence of commands\r\n"},
      {"MAIL <alice@example.test>", "501 Syntax error in parameters or arguments\r\n"},
      {"MAIL FROM:<a@b@c.test>", "553 This server does not accept routed mail\r\n"},
      {"MAIL FROM:<>", "250 <> Sender ok\r\n"},
      {"MAIL FROM:<alice@example.test>", "503 Bad sequence of commands\r\n"},
      {"RCPT bob@example.test", "501 Syntax error in parameters or arguments\r\n"},
      {"RCPT TO:<>", "500 <> Invalid address\r\n"},
      {"DATA", "503 Bad sequence of commands\r\n"},
      // ESMTP parameters after the path are not part of the address.
      {"RSET", "250 Reset state\r\n"},
      {"mail from:<a@x.test> SIZE=100 BODY=8BITMIME", "250 <a@x.test> Sender ok\r\n"},
      {"RCPT TO:<bob@example.test> NOTIFY=NEVER", "250 <bob@example.test> Recipient ok\r\n"},
  });
}

TEST_F(SmtpSession, RelayRuleBeforeAndAfterAuthentication) {
  auto c = Greeted();
  ExpectDialogue(*c, {
      {"MAIL FROM:<alice@example.test>", "250 <alice@example.test> Sender ok\r\n"},
      {"RCPT TO:<bob@example.test>", "250 <bob@example.test> Recipient ok\r\n"},
      {"RCPT TO:<carol@remote.test>", "550 <carol@remote.test> Relay denied\r\n"},
      {"RCPT TO:<Bob@example.test>", "550 <Bob@example.test> Relay denied\r\n"},
      {"RCPT TO:<x@y@z.test>", "550 <x@y@z.test> Relay denied\r\n"},
      {"AUTH LOGIN Ym9iQGV4YW1wbGUudGVzdA==", "334 UGFzc3dvcmQ6\r\n"},
      {"c2VjcmV0", "235 Authentication successful\r\n"},
      {"RCPT TO:<carol@remote.test>", "250 <carol@remote.test> Recipient ok\r\n"},
      {"RCPT TO:<x@y@z.test>", "550 <x@y@z.test> Relay denied\r\n"},
  });
}

TEST_F(SmtpSession, HundredRecipientsThenTooManyUntilReset) {
  auto c = Greeted();
  c->Cmd("MAIL FROM:<alice@example.test>");
  std::string batch;
  for (int i = 0; i < 101; ++i) batch += "RCPT TO:<bob@example.test>\r\n";
  c->Send(batch);  // pipelined: replies come in order
  for (int i = 0; i < 100; ++i) ASSERT_EQ(c->Reply(), "250 <bob@example.test> Recipient ok\r\n") << i;
  EXPECT_EQ(c->Reply(), "452 Too many recipients\r\n");
  EXPECT_EQ(c->Cmd("RSET"), "250 Reset state\r\n");
  EXPECT_EQ(c->Cmd("RCPT TO:<bob@example.test>"), "503 Bad sequence of commands\r\n");
}

TEST_F(SmtpSession, DataIsUnstuffedAndGetsTraceLines) {
  auto c = Greeted();
  c->Cmd("MAIL FROM:<alice@example.test>");
  c->Cmd("RCPT TO:<bob@example.test>");
  ExpectDialogue(*c, {
      {"DATA", "354 Start mail input, end with <CRLF>.<CRLF>\r\n"},
      {"Subject: t\r\n\r\n..hidden\r\n.x\r\n8bit \xE4\xB8\xAD\r\nend\r\n.", "250 Ok\r\n"},
      // Back in state 1: RCPT needs a new MAIL.
      {"RCPT TO:<bob@example.test>", "503 Bad sequence of commands\r\n"},
  });
  const auto files = Files(MailBox("bob@example.test"));
  ASSERT_EQ(files, std::vector<std::string>{"MAIL00000002.MSG"});
  const std::string text = ReadFile(MailBox("bob@example.test") + files[0]);
  const std::regex expected(
      "Return-path: <alice@example\\.test>\r\n"
      "Received: from c\\.test \\[127\\.0\\.0\\.1\\]\r\n"
      "\tby mx\\.test \\[127\\.0\\.0\\.1\\];\r\n"
      "\t(Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-9]{1,2} [A-Z][a-z]{2} [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} [-+][0-9]{4}\r\n"
      "Message-ID: <[^>]+@mx\\.test>\r\n"
      "Subject: t\r\n\r\n\\.hidden\r\nx\r\n8bit \xE4\xB8\xAD\r\nend\r\n");
  EXPECT_TRUE(std::regex_match(text, expected)) << text;

  // A message with its own Message-Id keeps it; an empty message gets the lines.
  c->Cmd("MAIL FROM:<alice@example.test>");
  c->Cmd("RCPT TO:<bob@example.test>");
  c->Cmd("DATA");
  EXPECT_EQ(c->Cmd("Message-Id: <own@x>\r\n\r\nbody\r\n."), "250 Ok\r\n");
  c->Cmd("MAIL FROM:<alice@example.test>");
  c->Cmd("RCPT TO:<bob@example.test>");
  c->Cmd("DATA");
  EXPECT_EQ(c->Cmd("."), "250 Ok\r\n");
  const std::string own = ReadFile(MailBox("bob@example.test") + "MAIL00000003.MSG");
  EXPECT_EQ(own.find("Message-ID:"), std::string::npos);
  EXPECT_NE(own.find("\r\nMessage-Id: <own@x>\r\n\r\nbody\r\n"), std::string::npos);
  const std::string empty = ReadFile(MailBox("bob@example.test") + "MAIL00000004.MSG");
  EXPECT_EQ(std::count(empty.begin(), empty.end(), '\n'), 5);
  EXPECT_EQ(empty.substr(empty.rfind("\r\nMessage-ID: <"), 15), "\r\nMessage-ID: <");
}

TEST_F(SmtpSession, WholeTransactionInOneWriteOverLoopback) {
  Start();
  TClient c(Server.Port());
  c.Reply();
  c.Send("EHLO c.test\r\nMAIL FROM:<alice@example.test>\r\nRCPT TO:<bob@example.test>\r\nDATA\r\n"
         "body\r\n.\r\nQUIT\r\n");
  EXPECT_EQ(c.Reply().substr(0, 4), "250-");
  EXPECT_EQ(c.Reply(), "250 <alice@example.test> Sender ok\r\n");
  EXPECT_EQ(c.Reply(), "250 <bob@example.test> Recipient ok\r\n");
  EXPECT_EQ(c.Reply(), "354 Start mail input, end with <CRLF>.<CRLF>\r\n");
  EXPECT_EQ(c.Reply(), "250 Ok\r\n");
  EXPECT_EQ(c.Reply(), "221 mx.test closing connection\r\n");
  EXPECT_EQ(Files(MailBox("bob@example.test")).size(), 1u);
}

// AUTH's lines and DATA's block take over the input wherever a read ends.
TEST_F(SmtpSession, ASessionFedOneByteAtATimeGetsTheRepliesOfOneFedAtOnce) {
  const std::string script =
      "EHLO c.test\r\nAUTH LOGIN\r\nYm9iQGV4YW1wbGUudGVzdA==\r\nc2VjcmV0\r\nMAIL FROM:<bob@example.test>\r\n"
      "RCPT TO:<alice@example.test>\r\nRCPT TO:<carol@remote.test>\r\nDATA\r\nSubject: s\r\n\r\n..dot\r\n.\r\n"
      "NOOP\r\nQUIT\r\n";
  const std::string whole = testsupport::SessionOutput(Server, script, false);
  EXPECT_EQ(testsupport::SessionOutput(Server, script, true), whole);
  EXPECT_NE(whole.find("235 Authentication successful\r\n"), std::string::npos) << whole;
  EXPECT_TRUE(whole.ends_with("250 Ok\r\n250 OK\r\n221 mx.test closing connection\r\n")) << whole;
  const auto files = Files(MailBox("alice@example.test"));
  ASSERT_EQ(files.size(), 2u);
  const std::string first = ReadFile(MailBox("alice@example.test") + files[0]);
  EXPECT_TRUE(first.ends_with("\r\nSubject: s\r\n\r\n.dot\r\n")) << first;
  EXPECT_EQ(Files(Relay()).size(), 4u);
}

TEST_F(SmtpSession, RelayPairAndLocalCopiesShareOneCounter) {
  auto c = LoggedIn();
  c->Cmd("MAIL FROM:<bob@example.test>");
  c->Cmd("RCPT TO:<alice@example.test>");
  c->Cmd("RCPT TO:<carol@remote.test>");
  c->Cmd("RCPT TO:<bob@example.test>");
  c->Cmd("RCPT TO:<dave@far.test>");
  c->Cmd("DATA");
  EXPECT_EQ(c->Cmd("Subject: s\r\n\r\nhi\r\n."), "250 Ok\r\n");
  EXPECT_EQ(Files(Relay()), (std::vector<std::string>{"MAIL00000002.ENV", "MAIL00000002.MSG"}));
  EXPECT_EQ(ReadFile(Relay() + "MAIL00000002.ENV"), "bob@example.test\r\ncarol@remote.test\r\ndave@far.test\r\n");
  EXPECT_EQ(Files(MailBox("alice@example.test")), std::vector<std::string>{"MAIL00000003.MSG"});
  EXPECT_EQ(Files(MailBox("bob@example.test")), std::vector<std::string>{"MAIL00000004.MSG"});
  const std::string relayed = ReadFile(Relay() + "MAIL00000002.MSG");
  const std::string local = ReadFile(MailBox("alice@example.test") + "MAIL00000003.MSG");
  EXPECT_EQ(relayed.substr(0, 15), "Received: from ");
  EXPECT_EQ(local, "Return-path: <bob@example.test>\r\n" + relayed);
  EXPECT_EQ(Store.Counter(), 4);
}

TEST_F(SmtpSession, FailedAuthAndSizeErrorEndTheEnvelope) {
  Server.SetMaxDataSize(50);  // bounds command lines too
  auto c = std::make_unique<TClient>(Server);
  c->Reply();
  const std::string ehlo = c->Cmd("EHLO c.test");
  EXPECT_EQ(ehlo.substr(ehlo.rfind("250 ")), "250 SIZE 50\r\n");
  // Earlier recipients must not ride along after a failed AUTH.
  c->Cmd("MAIL FROM:<a@x.test>");
  c->Cmd("RCPT TO:<bob@example.test>");
  c->Cmd("AUTH LOGIN Ym9iQGV4YW1wbGUudGVzdA==");
  EXPECT_EQ(c->Cmd("d3Jvbmc="), "535 Authentication failed\r\n");
  EXPECT_EQ(c->Cmd("MAIL FROM:<a@x.test>"), "250 <a@x.test> Sender ok\r\n");
  c->Cmd("RCPT TO:<alice@example.test>");
  c->Cmd("DATA");
  EXPECT_EQ(c->Cmd("ok\r\n."), "250 Ok\r\n");
  EXPECT_TRUE(Files(MailBox("bob@example.test")).empty());
  EXPECT_EQ(Files(MailBox("alice@example.test")).size(), 1u);
  // Too big: refused after the terminator, and the next MAIL needs no RSET.
  c->Cmd("MAIL FROM:<a@x.test>");
  c->Cmd("RCPT TO:<alice@example.test>");
  c->Cmd("DATA");
  ExpectDialogue(*c, {
      {std::string(100, 'x') + "\r\n.", "552 Requested action aborted: exceeded storage allocation\r\n"},
      {"MAIL FROM:<a@x.test>", "250 <a@x.test> Sender ok\r\n"},
      {"RCPT TO:<alice@example.test>", "250 <alice@example.test> Recipient ok\r\n"},
  });
  EXPECT_EQ(Files(MailBox("alice@example.test")).size(), 1u);
}

TEST_F(SmtpSession, ClientVanishingInDataLeavesNothing) {
  auto c = LoggedIn();
  c->Cmd("MAIL FROM:<bob@example.test>");
  c->Cmd("RCPT TO:<alice@example.test>");
  c->Cmd("RCPT TO:<carol@remote.test>");
  c->Cmd("DATA");
  c->Send("Subject: half\r\n\r\n" + std::string(200000, 'y') + "\r\n");
  c->Close();
  // The server has seen the end of input and closed the session.
  ASSERT_TRUE(c->Memory()->Closed());
  EXPECT_TRUE(Files(MailBox("alice@example.test")).empty());
  EXPECT_TRUE(Files(Relay()).empty());
}

TEST_F(SmtpSession, StoreAndHandlerFailuresGetTheirReplies) {
  std::ofstream(Dir.Dir() + "MailBox") << "a file where the folder should be";
  auto c = Greeted();
  c->Cmd("MAIL FROM:<a@x.test>");
  c->Cmd("RCPT TO:<bob@example.test>");
  c->Cmd("DATA");
  EXPECT_EQ(c->Cmd("x\r\n."), "451 Requested action aborted: error in processing\r\n");
  Server.OnMessageReceived = [](TObject*, TqvSmtpCommandConnection*, const std::string&, const TStrings&, TStrings&,
                                TqvSmtpMailDataAction&) { throw std::runtime_error("boom"); };
  c->Cmd("MAIL FROM:<a@x.test>");
  c->Cmd("RCPT TO:<bob@example.test>");
  c->Cmd("DATA");
  EXPECT_EQ(c->Cmd("x\r\n."), "451 Requested action aborted: unknown server error\r\n");
  EXPECT_EQ(c->Cmd("RCPT TO:<bob@example.test>"), "503 Bad sequence of commands\r\n");
}

TEST_F(SmtpSession, ParallelSessionsToOneAccountKeepEveryMessageOverLoopback) {
  Start();
  constexpr int kClients = 8, kMessages = 10;
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  // The relay pass must never see an envelope before its complete message.
  std::thread watcher([&] {
    while (!done) {
      for (const std::string& f : Files(Relay())) {
        if (f.size() < 4 || f.substr(f.size() - 4) != ".ENV") continue;
        const std::string msg = ReadFile(Relay() + f.substr(0, f.size() - 4) + ".MSG");
        if (msg.find("end-of-message\r\n") == std::string::npos) ++torn;
      }
    }
  });
  std::vector<std::thread> clients;
  for (int k = 0; k < kClients; ++k) {
    clients.emplace_back([&, k] {
      auto c = LoggedIn();
      for (int i = 0; i < kMessages; ++i) {
        c->Cmd("MAIL FROM:<bob@example.test>");
        c->Cmd("RCPT TO:<alice@example.test>");
        c->Cmd("RCPT TO:<r@remote.test>");
        c->Cmd("DATA");
        const std::string tag = std::to_string(k) + "-" + std::to_string(i);
        EXPECT_EQ(c->Cmd("Subject: " + tag + "\r\n\r\n" + std::string(5000, 'z') + "\r\nend-of-message\r\n."),
                  "250 Ok\r\n");
      }
    });
  }
  for (auto& t : clients) t.join();
  done = true;
  watcher.join();
  EXPECT_EQ(torn.load(), 0);
  const auto files = Files(MailBox("alice@example.test"));
  ASSERT_EQ(files.size(), static_cast<size_t>(kClients * kMessages));
  std::set<std::string> subjects;
  for (const std::string& f : files) {
    const std::string text = ReadFile(MailBox("alice@example.test") + f);
    ASSERT_NE(text.find("end-of-message\r\n"), std::string::npos) << f;
    subjects.insert(text.substr(text.find("Subject: "), 14));
  }
  EXPECT_EQ(subjects.size(), files.size());
  EXPECT_EQ(Files(Relay()).size(), 2u * kClients * kMessages);
}

namespace {

// The TLS answers as a TLS-capable base gives them; no real handshake.
class TTlsModeServer : public TqvSmtpServer {
 public:
  using TTlsState = TqvSmtpServer::TTlsState;
  ~TTlsModeServer() override { Stop(); }
  std::atomic<TTlsState> Mode{TTlsState::PlainRequired};
  std::atomic<int> Switches{0};

 protected:
  TTlsState GetTlsState(TqvSmtpCommandConnection*) override { return Mode; }
  void BeginTls(TqvSmtpCommandConnection*) override { ++Switches; }
};

}  // namespace

TEST(SmtpTlsRules, RequiredTlsRefusesMailCommandsAndStartTlsResetsTheSession) {
  TTlsModeServer server;
  server.SetHostName("mx.test");
  server.SetLocalBinding("127.0.0.1");
  server.SetUseAuth(false);
  TClient c(server);
  c.Reply();
  EXPECT_EQ(c.Cmd("EHLO c.test"), "250-mx.test Hello c.test, pleased to meet you\r\n250-STARTTLS\r\n250 HELP\r\n");
  for (const char* command : {"MAIL FROM:<a@x.test>", "RCPT TO:<b@x.test>", "DATA", "RSET", "AUTH LOGIN"})
    EXPECT_EQ(c.Cmd(command), "530 Must issue a STARTTLS command first\r\n") << command;
  EXPECT_EQ(c.Cmd("NOOP"), "250 OK\r\n");
  server.Mode = TTlsModeServer::TTlsState::Plain;
  EXPECT_EQ(c.Cmd("MAIL FROM:<a@x.test>"), "250 <a@x.test> Sender ok\r\n");
  EXPECT_EQ(c.Cmd("STARTTLS"), "220 please start a TLS connection\r\n");
  EXPECT_EQ(server.Switches.load(), 1);
  // Back to the start: a new EHLO is needed and the sender is gone.
  EXPECT_EQ(c.Cmd("RCPT TO:<b@x.test>"), "503 Bad sequence of commands\r\n");
  server.Mode = TTlsModeServer::TTlsState::Secured;
  EXPECT_EQ(c.Cmd("EHLO c.test"), "250-mx.test Hello c.test, pleased to meet you\r\n250 HELP\r\n");
  EXPECT_EQ(c.Cmd("STARTTLS"), "454 connection is already secured\r\n");
}

TEST_F(SmtpSession, AccountWhoseNameHasA5CTrailByteGetsItsMailbox) {
  const std::string name = "\xD6\xBE\xD5\x5C@example.test";  // code page 936
  AddAccount(name, "pw");
  auto c = Greeted();
  c->Cmd("MAIL FROM:<a@x.test>");
  EXPECT_EQ(c->Cmd("RCPT TO:<" + name + ">"), "250 <" + name + "> Recipient ok\r\n");
  c->Cmd("DATA");
  EXPECT_EQ(c->Cmd("Subject: s\r\n\r\nhi\r\n."), "250 Ok\r\n");
  EXPECT_EQ(Files(MailBox("\xE5\xBF\x97\xE8\xAA\xA0@example.test")), std::vector<std::string>{"MAIL00000002.MSG"});
}

TEST_F(SmtpSession, NothingAfterQuitAndNoCredentialsAfterAnOversizedAuthLine) {
  {
    auto c = Greeted();
    c->Send("QUIT\r\nMAIL FROM:<a@x.test>\r\nNOOP\r\n");
    EXPECT_EQ(c->ReadUntil("\x01never", 1500), "221 mx.test closing connection\r\n");
    EXPECT_TRUE(c->Eof);
  }
  // NOOP and RSET written together with an over-long line are answered first.
  {
    auto c = Greeted();
    c->Send("NOOP\r\nRSET\r\n" + std::string(70000, 'z') + "\r\n");
    EXPECT_EQ(c->ReadUntil("\x01never", 1500),
              "250 OK\r\n250 Reset state\r\n552 Requested action aborted: exceeded storage allocation\r\n");
  }
  Server.SetMaxDataSize(100);
  auto c = Greeted();
  ExpectDialogue(*c, {
      {"AUTH LOGIN", "334 VXNlcm5hbWU6\r\n"},
      {std::string(150, 'Q'), "552 Requested action aborted: exceeded storage allocation\r\n"},
      // Back in command mode, logged out: the next lines are commands.
      {"NOOP", "250 OK\r\n"},
      {"MAIL FROM:<a@x.test>", "250 <a@x.test> Sender ok\r\n"},
      {"RCPT TO:<carol@remote.test>", "550 <carol@remote.test> Relay denied\r\n"},
  });
}

TEST_F(SmtpSession, EsmtpParametersAfterThePathNeverReplaceIt) {
  auto c = LoggedIn();
  ExpectDialogue(*c, {
      {"MAIL FROM:<bob@example.test> AUTH=<>", "250 <bob@example.test> Sender ok\r\n"},
      {"RCPT TO:<carol@remote.test> ORCPT=rfc822;<x@y.test>", "250 <carol@remote.test> Recipient ok\r\n"},
      {"RCPT TO:<alice@example.test> NOTIFY=NEVER", "250 <alice@example.test> Recipient ok\r\n"},
  });
  c->Cmd("DATA");
  EXPECT_EQ(c->Cmd("hi\r\n."), "250 Ok\r\n");
  EXPECT_EQ(ReadFile(Relay() + "MAIL00000002.ENV"), "bob@example.test\r\ncarol@remote.test\r\n");
  ExpectDialogue(*c, {
      {"MAIL FROM:<> ENVID=<q@x> SIZE=10", "250 <> Sender ok\r\n"},
      {"RSET", "250 Reset state\r\n"},
      // Without angle brackets the old parsing holds.
      {"MAIL FROM:bob@example.test", "250 <bob@example.test> Sender ok\r\n"},
  });
}

namespace {

// A message to carol (relayed), bob and alice, whose folder is blocked
// (BlockAliceFolder): it fails at its last local copy.
void SendFailingAtAlice(smtptest::TClient& c) {
  c.Cmd("MAIL FROM:<bob@example.test>");
  c.Cmd("RCPT TO:<carol@remote.test>");
  c.Cmd("RCPT TO:<bob@example.test>");
  c.Cmd("RCPT TO:<alice@example.test>");
  c.Cmd("DATA");
  EXPECT_EQ(c.Cmd("Subject: s\r\n\r\nhi\r\n."), "451 Requested action aborted: error in processing\r\n");
}

}  // namespace

TEST_F(SmtpSession, FailedLocalCopyTakesBackTheCopiesAlreadyStored) {
  BlockAliceFolder();
  auto c = LoggedIn();
  for (int attempt = 0; attempt < 2; ++attempt) SendFailingAtAlice(*c);
  EXPECT_TRUE(Files(MailBox("bob@example.test")).empty());
  EXPECT_TRUE(Files(Relay()).empty());
  // A transaction that stores every copy keeps them all.
  c->Cmd("MAIL FROM:<bob@example.test>");
  c->Cmd("RCPT TO:<carol@remote.test>");
  c->Cmd("RCPT TO:<bob@example.test>");
  c->Cmd("DATA");
  EXPECT_EQ(c->Cmd("hi\r\n."), "250 Ok\r\n");
  EXPECT_EQ(Files(MailBox("bob@example.test")).size(), 1u);
  EXPECT_EQ(Files(Relay()).size(), 2u);
}

TEST_F(SmtpSession, TheRelayHearsOfAPairOnlyOnceTheWholeMessageIsStored) {
  BlockAliceFolder();
  std::vector<size_t> localCopiesSeen;
  Store.OnRelayQueued = [&](TObject*) { localCopiesSeen.push_back(Files(MailBox("bob@example.test")).size()); };
  auto c = LoggedIn();
  SendFailingAtAlice(*c);
  EXPECT_TRUE(localCopiesSeen.empty()) << "a pair taken back is never announced";
  c->Cmd("MAIL FROM:<bob@example.test>");
  c->Cmd("RCPT TO:<carol@remote.test>");
  c->Cmd("RCPT TO:<bob@example.test>");
  c->Cmd("DATA");
  EXPECT_EQ(c->Cmd("hi\r\n."), "250 Ok\r\n");
  // Announced once, after bob's copy too was stored.
  EXPECT_EQ(localCopiesSeen, (std::vector<size_t>{1}));
}

TEST_F(SmtpSession, BarePostmasterReachesTheFirstLocalDomainWithOne) {
  // Local domains in account order: example.test, then other.test; only
  // other.test has a postmaster account.
  AddAccount("PostMaster@other.test", "pm");
  auto c = Greeted();
  c->Cmd("MAIL FROM:<someone@remote.test>");
  ExpectDialogue(*c, {
      {"RCPT TO:<Postmaster>", "250 <Postmaster> Recipient ok\r\n"},
      {"DATA", "354 Start mail input, end with <CRLF>.<CRLF>\r\n"},
      {"Subject: hi\r\n\r\nbody\r\n.", "250 Ok\r\n"},
  });
  EXPECT_EQ(Files(MailBox("PostMaster@other.test")), std::vector<std::string>{"MAIL00000002.MSG"});
  EXPECT_TRUE(Files(Relay()).empty());
  // An address with a domain is an ordinary one.
  c->Cmd("MAIL FROM:<someone@remote.test>");
  EXPECT_EQ(c->Cmd("RCPT TO:<postmaster@example.test>"), "550 <postmaster@example.test> Relay denied\r\n");
}

TEST_F(SmtpSession, BarePostmasterWithoutAnAccountIsRefusedPlainly) {
  for (bool loggedIn : {false, true}) {
    auto c = loggedIn ? LoggedIn() : Greeted();
    c->Cmd("MAIL FROM:<alice@example.test>");
    EXPECT_EQ(c->Cmd("RCPT TO:<postmaster>"), "550 <postmaster> No postmaster mailbox on this server\r\n");
  }
}

TEST_F(SmtpSession, BlankAndNulLinesGetTheUnknownCommandReply) {
  auto c = Greeted();
  const std::string unknown = "500 Syntax error, command unrecognized: \r\n";
  ExpectDialogue(*c, {
      {"", unknown},
      {std::string(3, '\0'), unknown},
      {" \t ", unknown},
  });
  // Pipelined with real commands, each keeps its place.
  c->Send("NOOP\r\n\r\nNOOP\r\n");
  EXPECT_EQ(c->Reply(), "250 OK\r\n");
  EXPECT_EQ(c->Reply(), unknown);
  EXPECT_EQ(c->Reply(), "250 OK\r\n");
  // Inside DATA an empty line is message text.
  c->Cmd("MAIL FROM:<alice@example.test>");
  c->Cmd("RCPT TO:<bob@example.test>");
  c->Cmd("DATA");
  EXPECT_EQ(c->Cmd("Subject: x\r\n\r\n\r\nbody\r\n."), "250 Ok\r\n");
}
