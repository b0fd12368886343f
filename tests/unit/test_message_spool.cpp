// Large messages through a spool file: the line cutting of received pieces,
// SMTP DATA stored byte for byte through the spool (copies for several
// accounts and the relay queue), handlers that take lines, and transfers
// that fail, go over the limit or are dropped leaving no staged file; the
// sessions through memory streams on the test's thread.
#include <sys/stat.h>

#include <algorithm>
#include <regex>

#include "SmtpTestClient.h"
#include "ImapTestSupport.h"
#include "qvImap4FileHandler.h"
#include "qvImap4Server.h"
#include "qvMessageSpool.h"
#include "qvTranslator.h"

using smtptest::Files;
using smtptest::ReadFile;

namespace {

// What the in-memory path stores for ABytes: the block's lines, NUL as a
// blank, unstuffed (a DATA block) or without an empty last line (a
// literal), each with CR LF.
std::string StoredAsLines(std::string ABytes, bool AUnstuff, bool ADropLastEmpty) {
  std::replace(ABytes.begin(), ABytes.end(), '\0', ' ');
  TBlockStringList lines;
  lines.AssignText(std::string_view(ABytes));
  if (ADropLastEmpty && lines.Count() > 0 && lines.View(lines.Count() - 1).empty()) lines.Delete(lines.Count() - 1);
  std::string out;
  for (int i = 0; i < lines.Count(); ++i) {
    std::string_view line = lines.View(i);
    if (AUnstuff && line.starts_with('.')) line.remove_prefix(1);
    out += line;
    out += "\r\n";
  }
  return out;
}

bool HasStagedFile(const std::string& AFolder) {
  const std::vector<std::string> names = Files(AFolder);
  return std::any_of(names.begin(), names.end(), [](const std::string& n) { return n.starts_with("vxtmp-"); });
}

ino_t InodeOf(const std::string& APath) {
  struct stat st {};
  return ::stat(APath.c_str(), &st) == 0 ? st.st_ino : 0;
}

}  // namespace

TEST(SpoolLineWriter, CutsLinesAsTheInMemoryPathInEverySplit) {
  const std::vector<std::string> inputs = {
      "a\r\nb\r\n", "a\nb\rc\r\n", ".x\r\n..y\r\n.\r\n", "a\r\n\r\n", "a\r\n\r\n\r\n", "\r\n", "no end",
      std::string("nul\0byte\r\n", 10), "cr at end\r", "\r\r\n\n", "a\r\nb"};
  for (const bool literal : {false, true}) {
    for (const std::string& input : inputs) {
      const std::string expected = StoredAsLines(input, !literal, literal);
      for (size_t split = 0; split <= input.size(); ++split) {
        TqvSpoolLineWriter writer("", !literal, literal);
        std::string out;
        writer.Feed(std::string_view(input).substr(0, split), out);
        writer.Feed(std::string_view(input).substr(split), out);
        writer.End(out);
        EXPECT_EQ(out, expected) << "literal " << literal << " input '" << input << "' split " << split;
      }
      // One byte at a time.
      TqvSpoolLineWriter writer("", !literal, literal);
      std::string out;
      for (char c : input) writer.Feed(std::string_view(&c, 1), out);
      writer.End(out);
      EXPECT_EQ(out, expected) << input;
    }
  }
}

TEST(SpoolLineWriter, DecodesWholeLinesInTheRequestCharSet) {
  // A character split between two pieces is decoded once its line is whole.
  const std::string input = "\xC3\xA9t\xC3\xA9\r\n.x\r\n";
  for (size_t split = 0; split <= input.size(); ++split) {
    TqvSpoolLineWriter writer("utf-8", true, false);
    std::string out;
    writer.Feed(std::string_view(input).substr(0, split), out);
    writer.Feed(std::string_view(input).substr(split), out);
    writer.End(out);
    EXPECT_EQ(out, TqvTranslator::GetString("\xC3\xA9t\xC3\xA9", 5, "utf-8") + "\r\nx\r\n") << split;
  }
}

namespace {

// A session server whose blocks past 64 KB go to the store's spool (the
// bodies sent are larger than one read, so they never end in the first); each
// spool opened is noted with the inode of its staged file.
class SpooledData : public smtptest::SmtpServerTest {
 protected:
  void SetUp() override {
    SmtpServerTest::SetUp();
    Server.SetSpoolThreshold(64 * 1024);
    auto create = Server.OnCreateSpool;
    Server.OnCreateSpool = [this, create](TObject* s, TqvSmtpCommandConnection* c, TqvMailUserAccountItem* a,
                                          const std::string& p, std::unique_ptr<TqvMessageSpool>& spool) {
      create(s, c, a, p, spool);
      if (spool) SpoolInodes.push_back(InodeOf(spool->TempPath()));
    };
  }
  // About ABytes of body lines, some starting with a dot, one of them NUL.
  static std::string Body(size_t ABytes) {
    std::string body = "Subject: big\r\n\r\n";
    for (int i = 0; body.size() < ABytes; ++i)
      body += (i % 97 == 0 ? "." : "") + std::string(70, static_cast<char>('A' + i % 26)) + "\r\n";
    return body;
  }
  static std::string Stuffed(const std::string& ABody) {
    std::string out;
    size_t pos = 0;
    while (pos < ABody.size()) {
      const size_t end = ABody.find("\r\n", pos) + 2;
      if (ABody[pos] == '.') out += '.';
      out.append(ABody, pos, end - pos);
      pos = end;
    }
    return out;
  }
  // MAIL, the recipients and DATA; the reply to the message ABody.
  std::string Send(smtptest::TClient& c, const std::vector<std::string>& ARecipients, const std::string& ABody) {
    c.Cmd("MAIL FROM:<bob@example.test>");
    for (const std::string& r : ARecipients) c.Cmd("RCPT TO:<" + r + ">");
    EXPECT_EQ(c.Cmd("DATA").substr(0, 4), "354 ");
    c.Send(Stuffed(ABody));
    return c.Cmd(".");
  }
  std::vector<ino_t> SpoolInodes;
};

}  // namespace

TEST_F(SpooledData, CopiesForAccountsAndRelayAreStoredByteForByteThroughTheSpool) {
  auto c = LoggedIn();
  const std::string body = Body(600 * 1024);
  ASSERT_EQ(Send(*c, {"carol@remote.test", "alice@example.test", "bob@example.test"}, body), "250 Ok\r\n");
  // One spool, in alice's folder: her copy is that very file.
  ASSERT_EQ(SpoolInodes.size(), 1u);
  const auto aliceFiles = Files(MailBox("alice@example.test"));
  ASSERT_EQ(aliceFiles.size(), 1u);
  EXPECT_EQ(InodeOf(MailBox("alice@example.test") + aliceFiles[0]), SpoolInodes[0]);
  const std::string alice = ReadFile(MailBox("alice@example.test") + aliceFiles[0]);
  const std::string bob = ReadFile(MailBox("bob@example.test") + Files(MailBox("bob@example.test")).at(0));
  const std::string relayed = ReadFile(Relay() + "MAIL00000002.MSG");
  EXPECT_EQ(alice, bob);
  EXPECT_EQ(alice, "Return-path: <bob@example.test>\r\n" + relayed);
  const std::regex trace(
      "Received: from c\\.test \\[127\\.0\\.0\\.1\\]\r\n\tby mx\\.test \\[127\\.0\\.0\\.1\\];\r\n\t[^\r\n]+\r\n"
      "Message-ID: <[^>]+@mx\\.test>\r\n");
  const std::string head = relayed.substr(0, 400);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(head, m, trace, std::regex_constants::match_continuous)) << head;
  EXPECT_TRUE(relayed.substr(m.length()) == body) << "body differs";
  EXPECT_EQ(ReadFile(Relay() + "MAIL00000002.ENV"), "bob@example.test\r\ncarol@remote.test\r\n");
  // Only the relay queue: the spool is the relay's message file; its own Message-ID is kept.
  const std::string own = "Message-ID: <own@x.test>\r\n" + body;
  ASSERT_EQ(Send(*c, {"dave@far.test"}, own), "250 Ok\r\n");
  ASSERT_EQ(SpoolInodes.size(), 2u);
  EXPECT_EQ(InodeOf(Relay() + "MAIL00000005.MSG"), SpoolInodes[1]);
  const std::string second = ReadFile(Relay() + "MAIL00000005.MSG");
  EXPECT_EQ(second.substr(second.size() - own.size()), own);
  EXPECT_EQ(std::count(second.begin(), second.end() - own.size(), '\n'), 3);  // the Received lines only
  EXPECT_FALSE(HasStagedFile(MailBox("alice@example.test")) || HasStagedFile(MailBox("bob@example.test")) ||
               HasStagedFile(Relay()));
  // A message under the threshold opens no spool.
  ASSERT_EQ(Send(*c, {"bob@example.test"}, "Subject: small\r\n\r\nhi\r\n"), "250 Ok\r\n");
  EXPECT_EQ(SpoolInodes.size(), 2u);
}

TEST_F(SpooledData, BoundHandlerReceivesTheLinesReadBackFromTheSpool) {
  std::vector<std::string> seen;
  Server.OnMessageReceived = [&](TObject*, TqvSmtpCommandConnection*, const std::string&, const TStrings&,
                                 TStrings& AMessage, TqvSmtpMailDataAction&) {
    for (int i = 0; i < AMessage.Count(); ++i) seen.push_back(AMessage.Strings(i));
  };
  auto c = LoggedIn();
  const std::string body = Body(600 * 1024);
  ASSERT_EQ(Send(*c, {"alice@example.test", "bob@example.test"}, body), "250 Ok\r\n");
  ASSERT_EQ(SpoolInodes.size(), 1u);
  std::string lines;
  for (const std::string& l : seen) lines += l + "\r\n";
  const std::string alice = ReadFile(MailBox("alice@example.test") + Files(MailBox("alice@example.test")).at(0));
  EXPECT_EQ(alice, "Return-path: <bob@example.test>\r\n" + lines);
  EXPECT_EQ(lines.substr(0, 15), "Received: from ");
  EXPECT_TRUE(lines.ends_with(body));
  EXPECT_EQ(ReadFile(MailBox("bob@example.test") + Files(MailBox("bob@example.test")).at(0)), alice);
  EXPECT_FALSE(HasStagedFile(MailBox("alice@example.test")));
}

TEST_F(SpooledData, FailedOrOversizedOrDroppedTransfersLeaveNoStagedFile) {
  // alice's folder cannot be made: no spool, the block is skipped, 451.
  std::filesystem::create_directories(Dir.Dir() + "MailBox");
  std::ofstream(Dir.Dir() + "MailBox/alice@example.test") << "x";
  Server.SetMaxDataSize(1024 * 1024);
  auto c = LoggedIn();
  EXPECT_EQ(Send(*c, {"alice@example.test", "bob@example.test"}, Body(600 * 1024)),
            "451 Requested action aborted: error in processing\r\n");
  EXPECT_TRUE(SpoolInodes.empty());
  // The spool in bob's folder and a relay copy are stored, alice's copy
  // fails: both are taken back, nothing stays.
  EXPECT_EQ(Send(*c, {"carol@remote.test", "bob@example.test", "alice@example.test"}, Body(600 * 1024)),
            "451 Requested action aborted: error in processing\r\n");
  ASSERT_EQ(SpoolInodes.size(), 1u);
  EXPECT_TRUE(Files(MailBox("bob@example.test")).empty());
  EXPECT_TRUE(Files(Relay()).empty());
  SpoolInodes.clear();
  // Over the limit after the spool began: 552 at the end, the spool gone.
  EXPECT_EQ(Send(*c, {"bob@example.test"}, Body(1536 * 1024)),
            "552 Requested action aborted: exceeded storage allocation\r\n");
  EXPECT_EQ(SpoolInodes.size(), 1u);
  EXPECT_TRUE(Files(MailBox("bob@example.test")).empty());
  // The session goes on.
  ASSERT_EQ(Send(*c, {"bob@example.test"}, Body(600 * 1024)), "250 Ok\r\n");
  EXPECT_EQ(Files(MailBox("bob@example.test")).size(), 1u);
  // A client that goes away in the middle of the data.
  c->Cmd("MAIL FROM:<bob@example.test>");
  c->Cmd("RCPT TO:<bob@example.test>");
  c->Cmd("DATA");
  c->Send(Body(600 * 1024));
  ASSERT_EQ(SpoolInodes.size(), 3u);
  EXPECT_TRUE(HasStagedFile(MailBox("bob@example.test")));
  c->Close();  // the server has seen the end of input when this returns
  EXPECT_FALSE(HasStagedFile(MailBox("bob@example.test")));
  EXPECT_EQ(Files(MailBox("bob@example.test")).size(), 1u);
}

namespace {

// APPEND against the IMAP file store, literals past 64 KB spooled; each
// spool opened is noted with the inode of its staged file.
class SpooledAppend : public ::testing::Test {
 protected:
  void SetUp() override {
    TqvMailUserAccountItem* a = Server.UserAccounts().Add();
    a->SetUserName("bob@example.test");
    a->SetPassword("secret");
    Server.SetLocalBinding("127.0.0.1");
    Server.SetSpoolThreshold(64 * 1024);
    Store.SetMailBoxDir(Dir.Dir() + "mail");
    Store.SetServer(&Server);
    std::filesystem::create_directories(Inbox);
    auto create = Server.OnCreateSpool;
    Server.OnCreateSpool = [this, create](TObject* s, TqvImap4CommandConnection* c, const std::string& m,
                                          std::unique_ptr<TqvMessageSpool>& spool) {
      create(s, c, m, spool);
      if (spool) SpoolInodes.push_back(InodeOf(spool->TempPath()));
    };
  }
  void TearDown() override { Server.Stop(); }
  std::unique_ptr<imaptest::TClient> Open() {
    auto c = std::make_unique<imaptest::TClient>(Server);
    c->Line();
    EXPECT_EQ(c->Cmd("a0 LOGIN bob@example.test secret"), "a0 OK LOGIN completed");
    return c;
  }
  // APPEND of ALiteral (ASize bytes declared) to INBOX; the tagged reply.
  static std::string Append(imaptest::TClient& c, const std::string& ATag, const std::string& ALiteral) {
    c.Send(ATag + " APPEND INBOX (\\Seen) {" + std::to_string(ALiteral.size()) + "}\r\n");
    const std::string go = c.Line();
    if (go != "+ Ready for append literal") return go;
    c.Send(ALiteral + "\r\n");  // the command line's end
    for (;;) {
      const std::string l = c.Line();
      if (l.empty() || l.starts_with(ATag + " ")) return l;
    }
  }
  std::vector<std::string> Messages() {
    std::vector<std::string> names;
    for (const std::string& n : Files(Inbox))
      if (n.ends_with(".MSG")) names.push_back(n);
    return names;
  }

  testsupport::TempDir Dir;
  TqvImap4Server Server;
  TqvImap4FileHandler Store;
  std::vector<ino_t> SpoolInodes;
  const std::string Inbox = Dir.Dir() + "mail/bob@example.test/";
};

std::string Literal(size_t ABytes) {
  std::string text = "Subject: appended\r\n\r\n";
  for (int i = 0; text.size() < ABytes; ++i) text += std::string(76, static_cast<char>('a' + i % 26)) + "\r\n";
  return text;
}

}  // namespace

TEST_F(SpooledAppend, LargeLiteralIsStoredByteForByteFromItsSpool) {
  auto c = Open();
  const std::string literal = Literal(700 * 1024);
  EXPECT_EQ(Append(*c, "a1", literal).substr(0, 17), "a1 OK [APPENDUID ");
  ASSERT_EQ(SpoolInodes.size(), 1u);
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(InodeOf(Inbox + Messages()[0]), SpoolInodes[0]);
  EXPECT_TRUE(ReadFile(Inbox + Messages()[0]) == literal);
  EXPECT_FALSE(HasStagedFile(Inbox));
  // Without the spooled event the literal is read back for OnAppendMessage;
  // only one empty last line is dropped, as in memory.
  Server.OnAppendSpooledMessage = nullptr;
  EXPECT_EQ(Append(*c, "a3", literal + "\r\n").substr(0, 6), "a3 OK ");
  ASSERT_EQ(Messages().size(), 2u);
  EXPECT_TRUE(ReadFile(Inbox + Messages()[1]) == literal + "\r\n");
  EXPECT_FALSE(HasStagedFile(Inbox));
}

TEST_F(SpooledAppend, DroppedLiteralLeavesNoStagedFileAndAMissingMailboxGetsNoSpool) {
  auto c = Open();
  EXPECT_EQ(c->Cmd("a1 APPEND Nowhere {100000}"), "a1 NO [TRYCREATE] Mailbox does not exist");
  EXPECT_TRUE(SpoolInodes.empty());
  c->Send("a2 APPEND INBOX {1000000}\r\n");
  ASSERT_EQ(c->Line(), "+ Ready for append literal");
  c->Send(Literal(300 * 1024));
  EXPECT_EQ(SpoolInodes.size(), 1u);
  EXPECT_TRUE(HasStagedFile(Inbox));
  c->Close();
  EXPECT_FALSE(HasStagedFile(Inbox));
  EXPECT_TRUE(Messages().empty());
}
