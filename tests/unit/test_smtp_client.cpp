// The line-command and SMTP clients: the dialogue as a scripted receiver sees
// it byte for byte, reply parsing and refusals, bounded replies, the AUTH
// choices, and AUTH, STARTTLS and delivery against our own SMTP server.
#include <gtest/gtest.h>
#include <algorithm>
#include <signal.h>

#include "ClientTestSupport.h"
#include "CryptoApi.h"
#include "MimeTestSupport.h"
#include "SmtpTestClient.h"
#include "TlsTestSupport.h"
#include "qvEncoder.h"
#include "qvHostResolver.h"
#include "qvSmtp.h"
#include "qvTextUtils.h"

using testsupport::TPeerConn;
using testsupport::TScriptedPeer;

namespace {

std::string B64(const std::string& AText) { return TqvEncoder::EncodeTextToLine(AText, cmBase64); }

const std::string kEhloReply = "250-mx.one.test\r\n250-PIPELINING\r\n250 SIZE 1000000\r\n";

// Greets, answers EHLO with AEhlo, then answers each further line from
// AReplies in order (QUIT gets 221 and ends the session).
TScriptedPeer::Script Receiver(std::string AEhlo, std::vector<std::string> AReplies = {}) {
  return [=](TPeerConn& c) {
    c.Send("220 mx.one.test ESMTP\r\n");
    c.Line();
    c.Send(AEhlo);
    size_t next = 0;
    for (;;) {
      const std::string line = c.Line();
      if (line.empty()) return;
      if (line == "QUIT\r\n") {
        c.Send("221 2.0.0 Bye\r\n");
        return;
      }
      if (line == "DATA\r\n") {
        c.Send("354 End data with <CR><LF>.<CR><LF>\r\n");
        while (!c.Line().empty() && c.Received.substr(c.Received.size() - 5) != "\r\n.\r\n") {
        }
        c.Send(next < AReplies.size() ? AReplies[next++] : "250 2.0.0 Ok: queued\r\n");
        continue;
      }
      c.Send(next < AReplies.size() ? AReplies[next++] : "250 Ok\r\n");
    }
  };
}

void Aim(TqvSmtp& AClient, int APort) {
  AClient.SetServer("127.0.0.1");
  AClient.SetPort(APort);
  AClient.SetTimeOut(5000);
  AClient.SetHostName("client.test");
}

// The code and text of what F raises as EqvTcpClientError.
template <class F>
std::pair<int, std::string> ReplyError(F&& AStep) {
  try {
    AStep();
  } catch (const EqvTcpClientError& e) {
    return {e.ErrorCode, e.what()};
  }
  return {0, ""};
}

// A two-part message with blind copies and lines a receiver must unstuff.
void Compose(TqvMailMessage& AMessage) {
  AMessage.From().SetFullAddress("Alice <alice@example.com>");
  AMessage.ToList().AddFullAddress("Bob <bob@one.test>");
  AMessage.CCList().AddFullAddress("carol@one.test");
  // Enough blind copies for the field to fold over several lines.
  for (const char* hidden : {"hidden.one@two.test", "hidden.two@two.test", "hidden.three@two.test",
                             "hidden.four@two.test", "hidden.five@two.test"})
    AMessage.BCCList().AddFullAddress(hidden);
  AMessage.SetSubject("road test");
  auto* text = AMessage.Bodies().Add<TqvTextBody>();
  for (const char* line : {"first", ".leading dot", ".", "last"}) text->Strings().Add(line);
  AMessage.Bodies().Add<TqvTextBody>()->Strings().Add("second part");
}

// The message text of the first DATA in a receiver's bytes, unstuffed.
std::string DataOf(const std::string& AReceived) {
  const size_t start = AReceived.find("DATA\r\n") + 6;
  const size_t end = AReceived.find("\r\n.\r\n", start);
  std::string out;
  for (size_t at = start; at < end + 2;) {
    const size_t eol = AReceived.find("\r\n", at) + 2;
    const std::string line = AReceived.substr(at, eol - at);
    out += line.compare(0, 2, "..") == 0 ? line.substr(1) : line;
    at = eol;
  }
  return out;
}

}  // namespace

TEST(SmtpClient, RelayDialogueByteForByte) {
  TScriptedPeer peer(Receiver(kEhloReply, {"250 2.1.0 Ok\r\n", "250 2.1.5 Ok\r\n", "250 2.1.5 Ok\r\n"}));
  TqvSmtp client;
  Aim(client, peer.Port);
  client.SetMailAgent("Quorvin Mail Kit");
  std::vector<std::string> commands;
  client.OnSendCommand = [&](TObject*, const std::string& ACommand) { commands.push_back(ACommand); };
  client.Open();
  EXPECT_EQ(client.Extensions.Count(), 2);
  EXPECT_EQ(client.Extensions.Strings(1), "SIZE 1000000");
  EXPECT_EQ(client.MessageSizeLimit, 1000000);
  client.SetMailFrom("Alice <alice@example.com>");
  client.MailToList.Add("bob@one.test");
  client.MailToList.Add("Carol@ONE.test");
  for (const char* line : {"Received: from x", "Bcc: hidden@one.test", "Subject: hi", "BCC: other@one.test",
                           "", ".leading dot", "body"})
    client.MailData.Add(line);
  client.Send();
  client.Close();
  peer.Wait();
  const std::string got = peer.Received();
  const size_t id = got.find("Message-ID: <");
  ASSERT_NE(id, std::string::npos);
  const std::string messageId = got.substr(id + 12, got.find("\r\n", id) - id - 12);
  EXPECT_NE(messageId.find("@client.test>"), std::string::npos);
  EXPECT_EQ(got,
            "EHLO client.test\r\n"
            "MAIL FROM: <alice@example.com>\r\n"
            "RCPT TO: <bob@one.test>\r\n"
            "RCPT TO: <Carol@ONE.test>\r\n"
            "DATA\r\n"
            "Received: from x\r\n"
            "Subject: hi\r\n"
            "X-Mailer: Quorvin Mail Kit\r\n"
            "Message-ID: " + messageId + "\r\n"
            "\r\n"
            "..leading dot\r\n"
            "body\r\n"
            ".\r\n"
            "QUIT\r\n");
  EXPECT_EQ(commands.front(), "EHLO client.test");
  EXPECT_EQ(commands.back(), "QUIT");
  // The header changes stay in the caller's lines; present fields are kept.
  EXPECT_EQ(client.MailData.IndexOf("X-Mailer: Quorvin Mail Kit"), 2);
}

TEST(SmtpClient, PresentHeaderFieldsAreKeptAndANullSenderIsSent) {
  TScriptedPeer peer(Receiver("250 mx.one.test\r\n"));
  TqvSmtp client;
  Aim(client, peer.Port);
  client.Open();
  TStringList lines, rcpts;
  for (const char* line : {"Message-ID: <given@x>", "X-Mailer: Other", "", "b"}) lines.Add(line);
  rcpts.Add("bob@one.test");
  client.Send("", lines, rcpts);
  client.Close();
  peer.Wait();
  EXPECT_NE(peer.Received().find("MAIL FROM: <>\r\n"), std::string::npos);
  EXPECT_NE(peer.Received().find("DATA\r\nMessage-ID: <given@x>\r\nX-Mailer: Other\r\n\r\nb\r\n.\r\n"),
            std::string::npos);
}

TEST(SmtpClient, AComposedMessageGoesOutWithoutItsBlindCopies) {
  TScriptedPeer peer(Receiver(kEhloReply));
  TqvSmtp client;
  Aim(client, peer.Port);
  TqvMailMessage message;
  Compose(message);
  client.SetMailMessage(&message);
  std::vector<std::string> commands;
  client.OnSendCommand = [&](TObject*, const std::string& ACommand) { commands.push_back(ACommand); };
  client.Open();
  client.Send();
  const std::string firstId = message.MessageID();
  // Given sender and recipients win over the message's; each send has its own Message-ID.
  client.SetMailFrom("postmaster@example.com");
  client.MailToList.Add("dave@one.test");
  client.Send();
  client.Close();
  peer.Wait();
  const std::vector<std::string> envelope(commands.begin() + 1, commands.begin() + 10);
  EXPECT_EQ(envelope, (std::vector<std::string>{
                          "MAIL FROM: <alice@example.com>", "RCPT TO: <bob@one.test>", "RCPT TO: <carol@one.test>",
                          "RCPT TO: <hidden.one@two.test>", "RCPT TO: <hidden.two@two.test>",
                          "RCPT TO: <hidden.three@two.test>", "RCPT TO: <hidden.four@two.test>",
                          "RCPT TO: <hidden.five@two.test>", "DATA"}));
  EXPECT_NE(std::find(commands.begin(), commands.end(), "MAIL FROM: <postmaster@example.com>"), commands.end());
  EXPECT_NE(std::find(commands.begin(), commands.end(), "RCPT TO: <dave@one.test>"), commands.end());

  const std::string received = peer.Received();
  const std::string data = DataOf(received);
  EXPECT_EQ(data.find("hidden."), std::string::npos);
  EXPECT_EQ(qvtext::FindText(data, "bcc:"), std::string::npos);
  EXPECT_NE(received.find("\r\n..leading dot\r\n..\r\n"), std::string::npos);
  EXPECT_NE(data.find("Message-ID: " + firstId + "\r\n"), std::string::npos);
  EXPECT_NE(firstId, message.MessageID());
  EXPECT_NE(data.find("X-Mailer: Quorvin Mail Kit - Ostra Edition\r\n"), std::string::npos);

  // What arrived parses back to the same message, by our parser and by the oracle.
  TqvMailMessage parsed;
  testsupport::TPayloadCapture capture(parsed);
  TStringList lines;
  testsupport::TextToLines(data, lines);
  parsed.SetMessageSource(lines);
  EXPECT_EQ(parsed.Subject(), "road test");
  EXPECT_EQ(parsed.From().GetFullAddress(), message.From().GetFullAddress());
  EXPECT_EQ(parsed.ToList().Count(), 1);
  EXPECT_EQ(parsed.CCList().Count(), 1);
  EXPECT_EQ(parsed.BCCList().Count(), 0);
  const std::string described = testsupport::DescribeParsed(parsed, capture);
  EXPECT_NE(described.find(testsupport::detail::Hex("first\n.leading dot\n.\nlast")), std::string::npos);
  EXPECT_EQ(testsupport::PythonDescribe(data), described);
}

TEST(SmtpClient, TheMessageIsBorrowedAndMailDataComesFirst) {
  TScriptedPeer peer(Receiver(kEhloReply));
  TqvSmtp client;
  Aim(client, peer.Port);
  {
    TqvMailMessage gone;
    client.SetMailMessage(&gone);
  }
  EXPECT_EQ(client.MailMessage(), nullptr);
  TqvMailMessage message;
  Compose(message);
  client.SetMailMessage(&message);
  client.Open();
  client.SetMailFrom("relay@example.com");
  client.MailToList.Add("bob@one.test");
  client.MailData.Add("Subject: queued");
  client.MailData.Add("");
  client.MailData.Add("as stored");
  client.Send();
  client.Close();
  peer.Wait();
  const std::string data = DataOf(peer.Received());
  EXPECT_NE(data.find("Subject: queued\r\n"), std::string::npos);
  EXPECT_EQ(data.find("road test"), std::string::npos);
}

TEST(SmtpClient, WithoutAHostNameEhloGivesAQualifiedNameOrTheLocalAddressLiteral) {
  EXPECT_TRUE(IsFullyQualifiedName("mx.example.test"));
  for (const char* bare : {"vm", "", ".test", "mx.", "a..b", "127.0.0.1"}) EXPECT_FALSE(IsFullyQualifiedName(bare)) << bare;

  TScriptedPeer peer(Receiver(kEhloReply));
  TqvSmtp smtp;
  Aim(smtp, peer.Port);
  smtp.SetHostName("  ");
  smtp.Open();
  smtp.Close();
  peer.Wait();
  const std::string ehlo = peer.Received(0).substr(0, peer.Received(0).find("\r\n"));
  ASSERT_EQ(ehlo.rfind("EHLO ", 0), 0u) << ehlo;
  const std::string name = ehlo.substr(5);
  // Either this machine has a qualified name, or the literal of our end.
  const std::string fqdn = GetLocalFullyQualifiedName();
  EXPECT_EQ(name, fqdn.empty() ? "[127.0.0.1]" : fqdn);
  EXPECT_TRUE(IsFullyQualifiedName(name) || name == "[127.0.0.1]") << name;
}

TEST(SmtpClient, RepliesInPiecesAndRefusals) {
  TScriptedPeer peer([](TPeerConn& c) {
    c.Send("220 hi\r\n");
    c.Line();
    c.Send("250-mx.one.test\r\n250-SIZE 5");  // a reply in two reads, cut inside a line
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    c.Send("00\r\n250 HELP\r\n");
    c.Line();
    c.Send("550 no\r\n");
    c.Line();
    c.Send("550-x\r\n550 y\r\n");
    c.Line();
    c.Send("250 still here\r\n");
    c.Line();
  });
  TqvSmtp client;
  Aim(client, peer.Port);
  client.Open();
  EXPECT_EQ(client.Response().Count(), 3);
  EXPECT_EQ(client.ResponseCode(), 250);
  EXPECT_EQ(client.MessageSizeLimit, 0);  // SIZE on a line that is not the last
  EXPECT_EQ(ReplyError([&] { client.SendMailFrom("a@b.test"); }), std::make_pair(550, std::string("550 no")));
  EXPECT_EQ(ReplyError([&] { client.SendMailFrom("a@b.test"); }), std::make_pair(550, std::string("550-x\r\n550 y")));
  EXPECT_TRUE(client.Active());
  client.Noop();
  EXPECT_EQ(client.ResponseText(), "250 still here");
  EXPECT_FALSE(client.Busy());
}

TEST(SmtpClient, RefusedEhloClosesWithoutQuitButA530GoesOn) {
  TScriptedPeer refused(Receiver("500 no EHLO here\r\n"));
  TqvSmtp a;
  Aim(a, refused.Port);
  EXPECT_EQ(ReplyError([&] { a.Open(); }).first, 500);
  EXPECT_FALSE(a.Active());
  refused.Wait();
  EXPECT_EQ(refused.Received(), "EHLO client.test\r\n");

  TScriptedPeer needsTls(Receiver("530 Must issue a STARTTLS command first\r\n", {"530 still no\r\n"}));
  TqvSmtp b;
  Aim(b, needsTls.Port);
  b.Open();
  TStringList lines, rcpts;
  lines.Add("x");
  rcpts.Add("bob@one.test");
  EXPECT_EQ(ReplyError([&] { b.Send("a@b.test", lines, rcpts); }).first, 530);
}

TEST(SmtpClient, SkippedRecipientsAreListedAndStillRaise) {
  TScriptedPeer peer(Receiver(kEhloReply, {"250 Ok\r\n", "550 5.1.1 No such user\r\n", "250 Ok\r\n"}));
  TqvSmtp client;
  Aim(client, peer.Port);
  client.SetSkipFailedRecipients(true);
  client.Open();
  TStringList lines, rcpts;
  lines.Add("x");
  rcpts.Add("r1@one.test");
  rcpts.Add("r2@one.test");
  EXPECT_EQ(ReplyError([&] { client.Send("a@b.test", lines, rcpts); }),
            std::make_pair(-202, std::string("There are recipients that failed to receive the message")));
  ASSERT_EQ(client.FailedRecipients.Count(), 1);
  EXPECT_EQ(client.FailedRecipients.Items(0).Email, "r1@one.test");
  EXPECT_EQ(client.FailedRecipients.Items(0).ErrorCode, 550);
  EXPECT_EQ(client.FailedRecipients.Items(0).ErrorText, "550 5.1.1 No such user");
  client.Close();
  peer.Wait();
  EXPECT_NE(peer.Received().find("DATA\r\n"), std::string::npos);
  // Without skipping, the refusal ends the transaction before DATA.
  TScriptedPeer strict(Receiver(kEhloReply, {"250 Ok\r\n", "550 5.1.1 No such user\r\n"}));
  TqvSmtp s;
  Aim(s, strict.Port);
  s.Open();
  EXPECT_EQ(ReplyError([&] { s.Send("a@b.test", lines, rcpts); }).first, 550);
  s.Close();
  strict.Wait();
  EXPECT_EQ(strict.Received().find("DATA"), std::string::npos);
  EXPECT_NE(strict.Received().find("QUIT\r\n"), std::string::npos);
}

TEST(SmtpClient, AuthChoices) {
  // The RFC 2195 example exchange.
  const std::string challenge = "<1896.697170952@postoffice.reston.mci.net>";
  const std::string offer = "250-mx\r\n250 AUTH LOGIN CRAM-MD5\r\n";
  TScriptedPeer login(Receiver(offer, {"334 VXNlcm5hbWU6\r\n", "334 UGFzc3dvcmQ6\r\n", "235 ok\r\n"}));
  TScriptedPeer cram(Receiver(offer, {"334 " + B64(challenge) + "\r\n", "235 ok\r\n"}));
  TScriptedPeer none(Receiver(offer));
  TScriptedPeer plainOnly(Receiver("250-mx\r\n250 AUTH PLAIN\r\n"));
  {
    TqvSmtp c;
    Aim(c, login.Port);
    c.SetUserName("tim");
    c.SetPassword("tanstaaftanstaaf");
    c.Open();
    EXPECT_EQ(c.AuthMethods.Count(), 2);
  }
  {
    TqvSmtp c;
    Aim(c, cram.Port);
    c.SetUserName("tim");
    c.SetPassword("tanstaaftanstaaf");
    c.SetUseSasl(true);
    c.Open();
  }
  {
    TqvSmtp c;
    Aim(c, none.Port);
    c.Open();
  }
  {
    TqvSmtp c;
    Aim(c, plainOnly.Port);
    c.SetUserName("tim");
    c.SetUseSasl(true);
    c.SetSaslOnly(true);
    EXPECT_EQ(ReplyError([&] { c.Open(); }).first, -400);
    EXPECT_FALSE(c.Active());
  }
  login.Wait();
  cram.Wait();
  none.Wait();
  EXPECT_EQ(login.Received(), "EHLO client.test\r\nAUTH LOGIN\r\ndGlt\r\ndGFuc3RhYWZ0YW5zdGFhZg==\r\nQUIT\r\n");
  EXPECT_EQ(cram.Received(),
            "EHLO client.test\r\nAUTH CRAM-MD5\r\ndGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\nQUIT\r\n");
  EXPECT_EQ(none.Received(), "EHLO client.test\r\nQUIT\r\n");
}

TEST(SmtpClient, AuthorizationTurnsSaslOnAndBuildsTheXOAuth2String) {
  TqvSmtp c;
  c.SetUserName("u");
  c.Loading = true;
  c.SetAuthorization("stored");
  EXPECT_FALSE(c.UseSasl());
  c.Loading = false;
  c.SetAuthorization("t");
  EXPECT_TRUE(c.UseSasl());
  EXPECT_EQ(c.BuildXOAuth2String(), B64(std::string("user=u\x01" "auth=t\x01\x01")));
}

TEST(SmtpClient, EverySettingAndEveryListChangeFiresOnChangedOnce) {
  TqvSmtp c;
  int changes = 0;
  c.OnChanged = [&](TObject* ASender) {
    EXPECT_EQ(ASender, &c);
    ++changes;
  };
  const std::vector<std::pair<const char*, std::function<void()>>> setters = {
      {"UseEHLO", [&] { c.SetUseEHLO(false); }},
      {"SkipFailedRecipients", [&] { c.SetSkipFailedRecipients(true); }},
      {"MailAgent", [&] { c.SetMailAgent("agent"); }},
      {"HostName", [&] { c.SetHostName("relay.test"); }},
      {"MailFrom", [&] { c.SetMailFrom("a@example.com"); }},
      {"UserName", [&] { c.SetUserName("u"); }},
      {"Password", [&] { c.SetPassword("p"); }},
      {"CharSet", [&] { c.SetCharSet("utf-8"); }},
      {"UseSasl", [&] { c.SetUseSasl(true); }},
      {"SaslOnly", [&] { c.SetSaslOnly(true); }},
  };
  for (const auto& [name, set] : setters) {
    const int before = changes;
    set();
    EXPECT_EQ(changes, before + 1) << name;
    set();  // the same value again: no change
    EXPECT_EQ(changes, before + 1) << name;
  }
  EXPECT_FALSE(c.UseEHLO());
  EXPECT_EQ(c.MailAgent(), "agent");
  EXPECT_EQ(c.MailFrom(), "a@example.com");
  EXPECT_EQ(c.CharSet(), "utf-8");

  // The owned lists: adding, copying in and clearing each count.
  int before = changes;
  c.MailToList.Add("b@example.com");
  EXPECT_EQ(changes, before + 1);
  TStringList lines;
  lines.Add("Subject: x");
  lines.Add("");
  before = changes;
  c.MailData.Assign(lines);
  EXPECT_EQ(changes, before + 1);
  before = changes;
  c.MailData.Clear();
  EXPECT_EQ(changes, before + 1);
  // Deferred inside an update block: one notification at its end.
  before = changes;
  c.BeginUpdate();
  c.SetHostName("other.test");
  c.MailToList.Add("c@example.com");
  c.EndUpdate();
  EXPECT_EQ(changes, before + 1);
}

TEST(CommandClient, FormattedCommandsFillTheirArgumentsInOrder) {
  EXPECT_EQ(FormatCommand("MAIL FROM: <%s>", {"a@b.test"}), "MAIL FROM: <a@b.test>");
  EXPECT_EQ(FormatCommand("AUTH %s %s", {"XOAUTH2", std::string("dG9r")}), "AUTH XOAUTH2 dG9r");
  EXPECT_EQ(FormatCommand("SIZE=%d 100%% %s", {4096, 7}), "SIZE=4096 100% 7");
  // An argument holding "%" is taken as it is.
  EXPECT_EQ(FormatCommand("EHLO %s", {"a%sb"}), "EHLO a%sb");
  for (const auto& bad : std::vector<std::pair<const char*, std::vector<std::string>>>{
           {"RCPT %s", {}}, {"NOOP", {"x"}}, {"X %d", {"text"}}, {"X %x", {"1"}}, {"X %", {}}}) {
    EXPECT_THROW((void)FormatCommand(bad.first, bad.second.empty() ? std::initializer_list<TqvCommandArg>{}
                                                                   : std::initializer_list<TqvCommandArg>{bad.second[0]}),
                 EConvertError)
        << bad.first;
  }

  // Against a receiver: the formatted line goes out and the reply is checked.
  TScriptedPeer peer(Receiver(kEhloReply, {"250 2.1.0 Ok\r\n", "550 5.1.1 No\r\n"}));
  TqvSmtp client;
  Aim(client, peer.Port);
  client.Open();
  client.SendCommandSyncFmt("MAIL FROM: <%s> SIZE=%d", {"a@b.test", 4096}, {250});
  EXPECT_EQ(ReplyError([&] { client.SendCommandSyncFmt("RCPT TO: <%s>", {"x@b.test"}, {250}); }),
            std::make_pair(550, std::string("550 5.1.1 No")));
  // A bad format sends nothing.
  EXPECT_THROW(client.SendCommandSyncFmt("RSET %s", {}, {250}), EConvertError);
  client.Close();
  peer.Wait();
  EXPECT_NE(peer.Received(0).find("MAIL FROM: <a@b.test> SIZE=4096\r\nRCPT TO: <x@b.test>\r\nQUIT\r\n"),
            std::string::npos);
}

TEST(CommandClient, LinesAreStuffedAndBatched) {
  std::vector<std::string> writes;
  TqvDotStuffingWriter stuffed(16, true, [&](const std::string& s) { writes.push_back(s); });
  for (const char* line : {".a", "b", "", "twenty-byte-line-xx", ".c"}) stuffed.Add(line);
  stuffed.Finish();
  EXPECT_EQ(writes, (std::vector<std::string>{"..a\r\nb\r\n\r\n", "twenty-byte-line-xx\r\n", "..c\r\n"}));
  writes.clear();
  TqvDotStuffingWriter plain(100, false, [&](const std::string& s) { writes.push_back(s); });
  plain.Add(".a");
  plain.Finish();
  EXPECT_EQ(writes, std::vector<std::string>{".a\r\n"});
  // The end line and the commands behind it leave in the last write, even
  // with no lines before them.
  writes.clear();
  plain.Add("b");
  plain.Finish(".\r\nRSET\r\n");
  plain.Finish("QUIT\r\n");
  EXPECT_EQ(writes, (std::vector<std::string>{"b\r\n.\r\nRSET\r\n", "QUIT\r\n"}));
}

TEST(CommandClient, RepliesAreBoundedInSizeAndTime) {
  TScriptedPeer flood([](TPeerConn& c) {
    c.Send("220 " + std::string(100 * 1024, 'x'));
    c.Line();
  });
  TqvSmtp a;
  Aim(a, flood.Port);
  EXPECT_EQ(ReplyError([&] { a.Open(); }), std::make_pair(qvReplyTooLong, std::string("Reply too long")));
  TScriptedPeer trickle([](TPeerConn& c) {
    for (int i = 0; i < 20 && c.Received.empty(); ++i) {
      c.Send("2");
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  TqvSmtp b;
  Aim(b, trickle.Port);
  b.SetTimeOut(100);  // each byte comes in time; the exchange as a whole does not
  const uint32_t start = plat::GetTickCount();
  try {
    b.Open();
    ADD_FAILURE();
  } catch (const EqvSocketError& e) {
    EXPECT_EQ(e.ErrorCode, qvTimeoutError);
  }
  EXPECT_LT(plat::GetTickCount() - start, 1500u);
}

TEST(CommandClient, QuitAfterThePeerLeftRaisesNothing) {
  TScriptedPeer peer([](TPeerConn& c) {
    c.Send("220 hi\r\n");
    c.Line();
    c.Send("250 ok\r\n");
  });
  TqvSmtp client;
  Aim(client, peer.Port);
  client.Open();
  peer.Wait();
  EXPECT_NO_THROW(client.Close());
  EXPECT_FALSE(client.Active());
}

// Against our own SMTP server: every AUTH mechanism, then delivery to a
// local account; and STARTTLS with TLS offered.
class SmtpClientAgainstServer : public smtptest::SmtpServerTest {
 protected:
  // Logged in as bob.
  void Connect(TqvSmtp& AClient) {
    AClient.SetServer("127.0.0.1");
    AClient.SetPort(Server.Port());
    AClient.SetTimeOut(5000);
    AClient.SetHostName("client.test");
    AClient.SetUserName("bob@example.test");
    AClient.SetPassword("secret");
    AClient.Open();
  }
  void Deliver(TqvSmtp& AClient) {
    Connect(AClient);
    AClient.SetMailFrom("bob@example.test");
    AClient.MailToList.Add("alice@example.test");
    AClient.MailData.Add("Subject: road test");
    AClient.MailData.Add("");
    AClient.MailData.Add(".dot");
    AClient.Send();
    AClient.Close();
  }
  std::string Delivered() {
    const std::vector<std::string> files = smtptest::Files(MailBox("alice@example.test"));
    return files.empty() ? "" : smtptest::ReadFile(MailBox("alice@example.test") + files.front());
  }
};

TEST_F(SmtpClientAgainstServer, EveryAuthMechanismLogsInAndDelivers) {
  Start();
  const std::pair<bool, std::string> cases[] = {{false, "LOGIN"}, {true, "CRAM-MD5"}, {true, "NTLM"}};
  for (const auto& [sasl, mechanism] : cases) {
    TqvSmtp client;
    client.SetUseSasl(sasl);
    // Without NTLM on offer, SASL takes CRAM-MD5.
    Server.SetSaslFlags(mechanism == "CRAM-MD5" ? SaslFlag(ssUseLogin) | SaslFlag(ssUseCramMD5)
                                                : SaslFlag(ssUseLogin) | SaslFlag(ssUseCramMD5) | SaslFlag(ssUseNTLM));
    std::vector<std::string> sent;
    client.OnSendCommand = [&](TObject*, const std::string& c) { sent.push_back(c); };
    Deliver(client);
    EXPECT_NE(std::find(sent.begin(), sent.end(), "AUTH " + mechanism), sent.end()) << mechanism;
    EXPECT_EQ(client.ResponseCode(), 221);
  }
  EXPECT_EQ(smtptest::Files(MailBox("alice@example.test")).size(), 3u);
  EXPECT_NE(Delivered().find("\r\n\r\n.dot\r\n"), std::string::npos);
}

TEST_F(SmtpClientAgainstServer, AComposedMessageIsStoredAsBuilt) {
  Start();
  TqvMailMessage message;
  Compose(message);
  message.ToList().Clear();
  message.CCList().Clear();
  message.BCCList().Clear();
  message.ToList().AddFullAddress("Alice <alice@example.test>");
  message.BCCList().AddFullAddress("Bob <bob@example.test>");
  TqvSmtp client;
  client.SetMailFrom("bob@example.test");
  client.SetMailMessage(&message);
  Connect(client);
  client.Send();
  client.Close();
  const std::string stored = Delivered();
  ASSERT_FALSE(stored.empty());
  EXPECT_EQ(smtptest::Files(MailBox("bob@example.test")).size(), 1u);
  EXPECT_EQ(qvtext::FindText(stored, "\nbcc:"), std::string::npos);
  EXPECT_NE(stored.find("Message-ID: " + message.MessageID() + "\r\n"), std::string::npos);
  TStringList built;
  built.Assign(message.MessageSource());
  EXPECT_EQ(testsupport::PythonDescribe(stored), testsupport::PythonDescribe(testsupport::LinesToText(built)));
}

TEST_F(SmtpClientAgainstServer, StartTlsThenAuthAndDelivery) {
  signal(SIGPIPE, SIG_IGN);
  tlstest::TestPki pki;
  plat::SetTrustStoreOverride(pki.Path("ca.pem"));
  Server.UseTLS = stExplicitAllow;
  Server.OnGetCertificate = [&pki](TObject*, std::unique_ptr<TqvCertificate>& cert, TqvCertificateList&,
                                   bool& handled) {
    cert = TqvCertificate::LoadFromFile(pki.Path("server.p12"), "secret");
    handled = true;
  };
  Start();
  TqvSmtp client;
  client.SetUseTLS(ctExplicit);
  std::vector<std::string> sent;
  client.OnSendCommand = [&](TObject*, const std::string& c) { sent.push_back(c); };
  Deliver(client);
  plat::SetTrustStoreOverride("");
  ASSERT_GE(sent.size(), 4u);
  EXPECT_EQ(sent[0], "EHLO client.test");
  EXPECT_EQ(sent[1], "STARTTLS");
  EXPECT_EQ(sent[2], "EHLO client.test");
  EXPECT_EQ(sent[3], "AUTH LOGIN");
  EXPECT_NE(Delivered().find("Subject: road test"), std::string::npos);
}
