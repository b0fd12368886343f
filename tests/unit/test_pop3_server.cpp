// POP3 dialogues against the server and its file store, through memory
// sessions on the test's thread (the whole session once more over loopback).
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "NtlmTestClient.h"
#include "Pop3TestSupport.h"
#include "qvCryptHash.h"
#include "qvEncoder.h"
#include "qvSspiAuth.h"

using pop3test::TClient;
using testsupport::ExpectDialogue;
using Pop3Session = pop3test::TPop3Session;

namespace {

std::string B64(const std::string& s) { return TqvEncoder::EncodeBytesToLine(TBytes(s.begin(), s.end()), cmBase64); }
std::string UnB64(const std::string& s) {
  const TBytes b = TqvEncoder::DecodeTextToBytes(s, cmBase64);
  return std::string(b.begin(), b.end());
}

}  // namespace

namespace {

// A whole session from the greeting to QUIT, every reply word for word.
void ExpectFullSession(TClient& c) {
  const std::string greeting = c.Line();
  // "<" tick, date and time, two counters (at least 26 hex digits) "@host>".
  const std::string prefix = "+OK Quorvin Mail Kit - Ostra Edition POP3 service ready <";
  ASSERT_EQ(greeting.substr(0, prefix.size()), prefix);
  const std::string id = greeting.substr(prefix.size());
  const size_t at = id.find('@');
  ASSERT_NE(at, std::string::npos);
  EXPECT_GE(at, 26u);
  EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF"), at) << greeting;
  EXPECT_EQ(id.back(), '>');
  ExpectDialogue(c, {
      {"STAT", "-ERR that command is valid only in the TRANSACTION state!"},
      {"NOOP", "-ERR that command is valid only in the TRANSACTION state!"},
      {"CAPA", "-ERR Invalid command"},
      {"USER alice@example.com", "+OK please send the PASS"},
      {"PASS wrong", "-ERR incorrect password or account name"},
      {"PASS secret", "-ERR incorrect password or account name"},  // the user went with the reset
      {"user alice@example.com", "+OK please send the PASS"},
      {"PASS secret", "+OK 2 messages (591 octets)"},
      {"STAT", "+OK 2 591"},
  });
  EXPECT_EQ(c.Multi("LIST"), "+OK 2 591\r\n1 91\r\n2 500\r\n.\r\n");
  EXPECT_EQ(c.Cmd("LIST 2"), "+OK 2 500");
  EXPECT_EQ(c.Cmd("LIST 3"), "-ERR no such message");
  EXPECT_EQ(c.Multi("UIDL"), "+OK\r\n1 MAIL00000002:MSG:91\r\n2 MAIL00000003:MSG:500\r\n.\r\n");
  EXPECT_EQ(c.Cmd("UIDL 1"), "+OK 1 MAIL00000002:MSG:91");
  const std::string header = "Return-path: <carol@example.net>\r\nFrom: carol@example.net\r\nSubject: one\r\n\r\n";
  EXPECT_EQ(c.Multi("TOP 1 0"), "+OK\r\n" + header + ".\r\n");
  EXPECT_EQ(c.Multi("TOP 1 1"), "+OK\r\n" + header + "..dot line\r\n.\r\n");
  EXPECT_EQ(c.Multi("RETR 1"), "+OK 91\r\n" + header + "..dot line\r\nbye\r\n.\r\n");
  ExpectDialogue(c, {
      {"DELE 2", "+OK message 2 deleted"},
      {"STAT", "+OK 1 91"},
      {"RETR 2", "-ERR no such message"},
      {"RSET", "+OK"},
      {"STAT", "+OK 2 591"},
      {"USER x", "-ERR that command is valid only in the AUTHORIZATION state!"},
      {"HELP",
       "+OK Valid commands: USER, PASS, APOP, AUTH, QUIT, NOOP, HELP, STAT, RETR, TOP, DELE, RSET, LIST, UIDL, STLS"},
      {"STLS", "-ERR Invalid command"},  // TLS off
      {"DELE 1", "+OK message 1 deleted"},
      {"QUIT", "+OK Quorvin Mail Kit - Ostra Edition POP3 service connection closed"},
  });
  EXPECT_TRUE(c.Closed());
}

}  // namespace

TEST_F(Pop3Session, FullSessionRepliesAndDeletionAtQuit) {
  TClient c(Server);
  ExpectFullSession(c);
  EXPECT_FALSE(std::filesystem::exists(AliceDir + "MAIL00000002.MSG"));
  EXPECT_TRUE(std::filesystem::exists(AliceDir + "MAIL00000003.MSG"));
}

TEST_F(Pop3Session, FullSessionRepliesAndDeletionAtQuitOverLoopback) {
  Start();
  TClient c(Server.BoundPort());
  ExpectFullSession(c);
  EXPECT_FALSE(std::filesystem::exists(AliceDir + "MAIL00000002.MSG"));
  EXPECT_TRUE(std::filesystem::exists(AliceDir + "MAIL00000003.MSG"));
}

// A SASL exchange takes over the input wherever a read ends, and multi-line
// answers are the same however the commands came.
TEST_F(Pop3Session, ASessionFedOneByteAtATimeGetsTheRepliesOfOneFedAtOnce) {
  Server.Stamp = "<1.2@h>";
  Server.Challenge = "<1896.697170952@postoffice.reston.mci.net>";
  for (const std::string script : {
           "USER alice@example.com\r\nPASS secret\r\nSTAT\r\nLIST\r\nRETR 1\r\nTOP 2 1\r\nUIDL\r\nDELE 2\r\n"
           "NOOP\r\nRSET\r\nQUIT\r\n",
           "AUTH CRAM-MD5\r\ndGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\nSTAT\r\nQUIT\r\n"}) {
    const std::string whole = testsupport::SessionOutput(Server, script, false);
    EXPECT_EQ(testsupport::SessionOutput(Server, script, true), whole);
    EXPECT_TRUE(whole.ends_with(" connection closed\r\n")) << whole;
    EXPECT_EQ(whole.find("-ERR"), std::string::npos) << whole;
  }
  EXPECT_TRUE(std::filesystem::exists(AliceDir + "MAIL00000003.MSG"));  // the mark went with RSET
}

TEST_F(Pop3Session, DroppedSessionKeepsMarkedMessagesAndTheMaildropLocks) {
  {
    TClient first(Server);
    EXPECT_EQ(first.Login("alice@example.com", "secret"), "+OK 2 messages (591 octets)");
    EXPECT_EQ(first.Cmd("DELE 1"), "+OK message 1 deleted");
    // The same user in another spelling of the case: still locked.
    TClient second(Server);
    EXPECT_EQ(second.Login("ALICE@example.com", "secret"), "-ERR maildrop already locked");
    EXPECT_TRUE(second.Closed());
    EXPECT_EQ(first.Cmd("STAT"), "+OK 1 500");
  }  // dropped without QUIT: the server has seen the end of input
  EXPECT_TRUE(std::filesystem::exists(AliceDir + "MAIL00000002.MSG"));
  TClient again(Server);
  EXPECT_EQ(again.Login("alice@example.com", "secret"), "+OK 2 messages (591 octets)");
}

TEST_F(Pop3Session, ApopUsesTheGreetingStampAlsoAfterAFailedLogin) {
  Server.Stamp = "<1896.697170952@dbc.mtview.ca.us>";
  {
    TClient c(Server);
    EXPECT_EQ(c.Line(), "+OK Quorvin Mail Kit - Ostra Edition POP3 service ready <1896.697170952@dbc.mtview.ca.us>");
    ExpectDialogue(c, {
        {"APOP mrose", "-ERR Invalid command"},
        {"APOP mrose c4c9334bac560ecc979e58001b3e22fb extra", "-ERR Invalid command"},
        {"USER mrose", "+OK please send the PASS"},
        {"PASS wrong", "-ERR incorrect password or account name"},
        // md5(password) alone must not pass once the reset has happened.
        {"APOP mrose " + CalcMd5Hex("tanstaaf"), "-ERR incorrect password or account name"},
        {"APOP mrose c4c9334bac560ecc979e58001b3e22fb", "+OK 0 messages (0 octets)"},
    });
  }
  Server.Stamp.clear();
  TClient c(Server);
  const std::string greeting = c.Line();
  const std::string stamp = greeting.substr(greeting.find('<'));
  EXPECT_EQ(c.Cmd("APOP alice@example.com " + CalcMd5Hex(stamp + "secret")), "+OK 2 messages (591 octets)");
}

TEST_F(Pop3Session, EmptyPasswordsAndNamesNeverLogIn) {
  Server.Stamp = "<1.2@h>";
  TClient c(Server);
  c.Line();
  ExpectDialogue(c, {
      {"USER nopass", "+OK please send the PASS"},
      {"PASS ", "-ERR incorrect password or account name"},
      {"APOP nopass " + CalcMd5Hex("<1.2@h>"), "-ERR incorrect password or account name"},
      {"USER", "+OK please send the PASS"},
      {"PASS", "-ERR incorrect password or account name"},
  });
  c.Send("AUTH CRAM-MD5\r\n");
  const std::string challenge = UnB64(c.Line().substr(2));
  EXPECT_EQ(c.Cmd(B64("nopass " + HMAC_MD5(challenge, "x"))), "-ERR incorrect password or account name");
}

TEST_F(Pop3Session, AuthListCramMd5AndAborts) {
  Server.Challenge = "<1896.697170952@postoffice.reston.mci.net>";
  TClient c(Server);
  c.Line();
  EXPECT_EQ(c.Multi("AUTH"), "+OK\r\nNTLM\r\nCRAM-MD5\r\n.\r\n");
  ExpectDialogue(c, {
      {"AUTH PLAIN", "-ERR Invalid command"},
      {"AUTH LOGIN", "-ERR Invalid command"},
      {"AUTH CRAM-MD5", "+ PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+"},
      {"*", "-ERR authentication aborted"},
  });
  EXPECT_EQ(c.Cmd("AUTH cram-md5").substr(0, 2), "+ ");
  EXPECT_EQ(c.Cmd("%%%"), "-ERR authentication aborted");
  EXPECT_EQ(c.Cmd("AUTH CRAM-MD5").substr(0, 2), "+ ");
  EXPECT_EQ(c.Cmd(B64("tim")), "-ERR authentication aborted");  // one word
  EXPECT_EQ(c.Cmd("STAT"), "-ERR that command is valid only in the TRANSACTION state!");
  // The client line and the challenge in one packet.
  c.Send("AUTH CRAM-MD5\r\ndGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\n");
  EXPECT_EQ(c.Line().substr(0, 2), "+ ");
  EXPECT_EQ(c.Line(), "+OK 0 messages (0 octets)");
}

TEST_F(Pop3Session, NtlmLogsInOnlyWithTheAccountPassword) {
  auto attempt = [this](const std::string& user, const std::string& password) {
    TClient c(Server);
    c.Line();
    EXPECT_EQ(c.Cmd("AUTH NTLM"), "+ OK");
    return testsupport::NtlmExchange(c, user, password);
  };
  EXPECT_EQ(attempt("alice@example.com", "secret"), "+OK 2 messages (591 octets)");
  EXPECT_EQ(attempt("alice@example.com", "wrong"), "-ERR authentication aborted");
  EXPECT_EQ(attempt("stranger", "x"), "-ERR authentication aborted");
  EXPECT_EQ(attempt("nopass", ""), "-ERR authentication aborted");
}

TEST_F(Pop3Session, TopClampsOddLineCounts) {
  TClient c(Server);
  c.Login("alice@example.com", "secret");
  const std::string header = "Return-path: <carol@example.net>\r\nFrom: carol@example.net\r\nSubject: one\r\n\r\n";
  const std::string all = "+OK\r\n" + header + "..dot line\r\nbye\r\n.\r\n";
  EXPECT_EQ(c.Multi("TOP 1 -5"), "+OK\r\n" + header + ".\r\n");
  EXPECT_EQ(c.Multi("TOP 1 2147483647"), all);
  EXPECT_EQ(c.Multi("TOP 1 99999999999999999999999"), all);
  EXPECT_EQ(c.Multi("TOP 1 x"), "+OK\r\n" + header + ".\r\n");
  ExpectDialogue(c, {
      {"TOP 1", "-ERR Invalid command"},
      {"TOP 9 1", "-ERR no such message"},
      {"RETR 4294967297", "-ERR no such message"},  // not message 1 by wrap-around
  });
}

TEST_F(Pop3Session, SaslOnlyAndTlsRequiredModesAndTheServiceHelpText) {
  TStringList help;
  for (const char* l : {"Valid commands:", "USER,", "PASS,", "APOP,", "AUTH,", "QUIT,", "NOOP,", "HELP,", "STAT,",
                        "RETR,", "TOP,", "DELE,", "RSET,", "LIST,", "UIDL,", "STLS"})
    help.Add(l);
  Server.SetHelpText(help);
  std::atomic<int> stateEvents{0};
  Server.OnStateChanged = [&](TObject*, TqvPop3CommandConnection*) { ++stateEvents; };
  Server.SetUseAuth(pmUseSASL);
  {
    TClient c(Server);
    EXPECT_EQ(c.Line(), "+OK Quorvin Mail Kit - Ostra Edition POP3 service ready");
    ExpectDialogue(c, {
        {"USER alice@example.com", "-ERR Invalid command"},
        {"APOP a b", "-ERR Invalid command"},
        {"STLS", "-ERR Invalid command"},
    });
  }
  Server.SetUseAuth(pmUsePOPAuth);
  Server.RequireTls();
  TClient c(Server);
  c.Line();
  EXPECT_EQ(c.Cmd("USER alice@example.com"), "-ERR Must issue a STLS command first");
  EXPECT_EQ(c.Cmd("AUTH"), "-ERR Must issue a STLS command first");
  EXPECT_EQ(c.Cmd("HELP"),
            "+OK Valid commands:, USER,, PASS,, APOP,, AUTH,, QUIT,, NOOP,, HELP,, STAT,, RETR,, TOP,, DELE,, "
            "RSET,, LIST,, UIDL,, STLS");
  EXPECT_EQ(c.Cmd("QUIT"), "+OK Quorvin Mail Kit - Ostra Edition POP3 service connection closed");
  EXPECT_EQ(stateEvents, 0);  // QUIT before login changes no state
}

TEST_F(Pop3Session, MaskedParamsHideCredentials) {
  std::mutex m;
  std::vector<std::string> log;
  Server.OnReceiveCommand = [&](TObject*, TqvCommandConnection*, TqvTcpCommandParams* p) {
    std::scoped_lock lock(m);
    log.push_back(p->Command + " " + MaskedParams(*p));
  };
  Server.Stamp = "<1.2@h>";
  TClient c(Server);
  c.Login("alice@example.com", "secret");
  c.Cmd("QUIT");
  TClient d(Server);
  d.Line();
  d.Cmd("APOP alice@example.com " + CalcMd5Hex("<1.2@h>secret"));
  d.Cmd("QUIT");
  TClient e(Server);
  e.Line();
  e.Cmd("AUTH CRAM-MD5");
  e.Cmd(B64("tim 0123"));
  e.Cmd("AUTH PLAIN AGJvYgBz");
  std::scoped_lock lock(m);
  EXPECT_EQ(log, (std::vector<std::string>{"USER alice@example.com", "PASS ***", "QUIT ", "APOP alice@example.com ***",
                                           "QUIT ", "AUTH CRAM-MD5", "AUTH ***", "AUTH PLAIN ***"}));
}

TEST_F(Pop3Session, CommandsAfterAClosingReplyNeverRun) {
  {
    // QUIT, then a whole login and deletion in the same packet.
    TClient c(Server);
    c.Line();
    c.Send("QUIT\r\nUSER alice@example.com\r\nPASS secret\r\nDELE 1\r\nQUIT\r\n");
    EXPECT_EQ(c.ReadUntil("\x01never", 1500), "+OK " + Server.ServerName() + " connection closed\r\n");
    EXPECT_TRUE(c.Eof);
  }
  EXPECT_TRUE(std::filesystem::exists(AliceDir + "MAIL00000002.MSG"));
  // A refused second login: what follows it never logs in as anyone else.
  TClient first(Server);
  EXPECT_EQ(first.Login("alice@example.com", "secret").substr(0, 4), "+OK ");
  TClient second(Server);
  second.Line();
  second.Send("USER alice@example.com\r\nPASS secret\r\nUSER tim\r\nPASS tanstaaftanstaaf\r\nSTAT\r\n");
  EXPECT_EQ(second.ReadUntil("\x01never", 1500),
            "+OK please send the PASS\r\n-ERR maildrop already locked\r\n");
  EXPECT_TRUE(second.Eof);
}

TEST_F(Pop3Session, ListingsOfALargeMaildropSkipMarkedMessagesAndKeepTheirNumbers) {
  // 600 messages: the listings run past one batch of the connection.
  std::string lines;
  std::string uids;
  int64_t total = 0;
  for (int i = 2; i <= 600; ++i) {
    const std::string body = "Subject: " + std::to_string(i) + "\r\n\r\nx\r\n";
    char name[32];
    std::snprintf(name, sizeof name, "MAIL%.8d.MSG", i + 2);
    pop3test::WriteFile(AliceDir + name, body);
    const int64_t size = static_cast<int64_t>(body.size());
    total += size;
    lines += std::to_string(i + 1) + " " + std::to_string(size) + "\r\n";
    uids += std::to_string(i + 1) + " " + TqvPop3FileHandler::GetMessageUID(name, size) + "\r\n";
  }
  TClient c(Server);
  EXPECT_EQ(c.Login("alice@example.com", "secret"), "+OK 601 messages (" + std::to_string(total + 591) + " octets)");
  EXPECT_EQ(c.Cmd("DELE 1"), "+OK message 1 deleted");
  EXPECT_EQ(c.Cmd("DELE 2"), "+OK message 2 deleted");
  EXPECT_EQ(c.Multi("LIST"), "+OK 599 " + std::to_string(total) + "\r\n" + lines + ".\r\n");
  EXPECT_EQ(c.Multi("UIDL"), "+OK\r\n" + uids + ".\r\n");
  ExpectDialogue(c, {
      {"LIST 2", "-ERR no such message"},
      {"UIDL 601", "+OK 601 " + TqvPop3FileHandler::GetMessageUID("MAIL00000602.MSG", 19)},
      {"RSET", "+OK"},
  });
  const std::string head = "+OK 601 " + std::to_string(total + 591) + "\r\n1 91\r\n2 500\r\n3 ";
  EXPECT_EQ(c.Multi("LIST").substr(0, head.size()), head);
}

TEST_F(Pop3Session, ListAndUidlOfNoMessageAndBlankLinesAnswerErr) {
  TClient c(Server);
  c.Line();
  // Before login too, a blank line gets a reply.
  ExpectDialogue(c, {
      {"", "-ERR Invalid command"},
      {"USER alice@example.com", "+OK please send the PASS"},
      {"PASS secret", "+OK 2 messages (591 octets)"},
  });
  for (const char* arg : {"0", "-1", "x", "+0", "3"}) {
    EXPECT_EQ(c.Cmd(std::string("LIST ") + arg), "-ERR no such message") << arg;
    EXPECT_EQ(c.Cmd(std::string("UIDL ") + arg), "-ERR no such message") << arg;
  }
  EXPECT_EQ(c.Multi("LIST "), "+OK 2 591\r\n1 91\r\n2 500\r\n.\r\n");
  EXPECT_EQ(c.Multi("UIDL"), "+OK\r\n1 MAIL00000002:MSG:91\r\n2 MAIL00000003:MSG:500\r\n.\r\n");
  ExpectDialogue(c, {
      {std::string(4, '\0'), "-ERR Invalid command"},
      {"\x01\x02", "-ERR Invalid command"},
      {"STAT", "+OK 2 591"},
  });
}
