// The IMAP4 message commands against the file store, through memory sessions
// on the test's thread (several at once where sessions share a mailbox): message
// sets by number and by UID, FETCH with and without \Seen, STORE modes,
// SEARCH keys, COPY, EXPUNGE numbering, CLOSE, and the read-only selection.
#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <regex>

#include "PythonOracle.h"
#include "ImapTestSupport.h"
#include "TestSockets.h"
#include "TestSupport.h"
#include "qvImap4FileHandler.h"
#include "qvImap4Server.h"
#include "qvFileUtils.h"

namespace fs = std::filesystem;
using testsupport::WriteFileBytes;

namespace {

std::string Uids(const TqvImap4MessageList& AList) {
  std::string s;
  for (int i = 0; i < AList.Count(); ++i) s += (s.empty() ? "" : ",") + std::to_string(AList.Items(i)->UID);
  return s;
}

using imaptest::TClient;

class ImapMessages : public ::testing::Test {
 protected:
  void SetUp() override {
    TqvMailUserAccountItem* a = Server.UserAccounts().Add();
    a->SetUserName("bob@example.test");
    a->SetPassword("secret");
    Server.UserAccounts().SetCaseInsensitive(false);
    Server.SetLocalBinding("127.0.0.1");
    Store.SetMailBoxDir(Dir.Dir() + "mail");
    Store.SetServer(&Server);
    fs::create_directories(Inbox);
    Put(1, "From: Alice <alice@example.test>\r\nTo: bob@example.test\r\nSubject: two words here\r\n\r\nfirst\r\n");
    Put(2, "From: carol@example.test\r\nTo: bob@example.test\r\nSubject: other\r\n\r\nsecond\r\n");
    Put(3, "From: dave@example.test\r\nSubject: third\r\n\r\nthird\r\n");
  }
  void TearDown() override { Server.Stop(); }
  void Put(int ANumber, const std::string& AText) {
    char name[32];
    std::snprintf(name, sizeof name, "MAIL%.8d.MSG", ANumber);
    WriteFileBytes(Inbox + name, AText);
  }
  std::unique_ptr<TClient> LoggedIn() {
    auto c = std::make_unique<TClient>(Server);
    c->Line();
    EXPECT_EQ(c->Cmd("a0 LOGIN bob@example.test secret"), "a0 OK LOGIN completed");
    return c;
  }
  // Logged in, INBOX selected twice (so no \Recent is left).
  std::unique_ptr<TClient> Open(const char* ASelect = "SELECT") {
    auto c = LoggedIn();
    c->Tagged("a1", "SELECT INBOX");
    c->Tagged("a2", std::string(ASelect) + " INBOX");
    return c;
  }

  testsupport::TempDir Dir;
  TqvImap4Server Server;
  TqvImap4FileHandler Store;
  const std::string Inbox = Dir.Dir() + "mail/bob@example.test/";
};

}  // namespace

TEST(ImapMessageSet, NumbersAndUidsResolveAsRfc3501Says) {
  TqvImap4MessageList list;
  for (int64_t uid : {1, 2, 4, 5, 7}) list.Add("m" + std::to_string(uid), uid, 0, 0);
  list.Add("new", -1, 0, 0);  // no UID: not addressable
  const auto view = [&](const char* ASet, bool AUid) { return Uids(*list.SetView(ASet, AUid)); };
  EXPECT_EQ(view("1", false), "1");
  EXPECT_EQ(view("5:3", false), "4,5,7");
  EXPECT_EQ(view("2:10", false), "2,4,5,7");
  EXPECT_EQ(view("*", false), "7");
  EXPECT_EQ(view("0", false), "");
  EXPECT_EQ(view("1,1,1:2", false), "1,2");
  EXPECT_EQ(view("6", false), "");
  EXPECT_EQ(view("3", true), "");
  EXPECT_EQ(view("3:5", true), "4,5");
  EXPECT_EQ(view("8:*", true), "7");
  EXPECT_EQ(view("*:2", true), "2,4,5,7");
  EXPECT_EQ(view("1:99999999999999999999", true), "1,2,4,5,7");
  EXPECT_EQ(view("x:2,5", false), "1,2,7");
  TqvImap4MessageList empty;
  EXPECT_EQ(Uids(*empty.SetView("1:*", true)), "");
}

TEST(ImapMessageList, RecordsSharedWithOtherListsAreCopiedBeforeAnyChange) {
  auto made = std::make_shared<TqvImap4MessageSnapshot>();
  for (int64_t uid : {1, 2, 3}) {
    made->emplace_back(0.0);
    made->back().Name = "m" + std::to_string(uid);
    made->back().UID = uid;
    made->back().SequenceNumber = static_cast<int>(uid);
  }
  TqvImap4MessageSnapshotPtr shared = made;
  made.reset();
  TqvImap4MessageList a, b;
  ASSERT_TRUE(a.AddShared(shared));
  ASSERT_TRUE(b.AddShared(shared));
  EXPECT_FALSE(a.AddShared(shared));
  EXPECT_EQ(a.Count(), 3);
  // Sets and reads take the records as they are.
  const auto view = a.SetView("2:*", false);
  EXPECT_EQ(Uids(*view), "2,3");
  EXPECT_EQ(view->Peek(0), &(*shared)[1]);
  // Every way to change a message changes the list's own copy only.
  a.Items(0)->Flags = MessageFlag(mfSeen);
  a.Writable(view->Peek(1))->Flags = MessageFlag(mfFlagged);
  a.Find("m2")->UID = 9;
  EXPECT_EQ(a.Writable(b.Peek(0)), nullptr);
  EXPECT_EQ(Uids(a), "1,9,3");
  EXPECT_EQ(a.Peek(0)->Flags, MessageFlag(mfSeen));
  EXPECT_EQ(a.Peek(2)->Flags, MessageFlag(mfFlagged));
  for (const TqvImap4MessageItem& record : *shared) EXPECT_EQ(record.Flags, 0);
  EXPECT_EQ(Uids(b), "1,2,3");
  EXPECT_EQ(view->Peek(1)->Flags, 0);
  // Numbering after a delete numbers the list's copies, not the records.
  b.Delete(0);
  b.Renumber();
  EXPECT_EQ(b.Peek(0)->SequenceNumber, 1);
  EXPECT_EQ((*shared)[1].SequenceNumber, 2);
  // The records last as long as a list holds them.
  a.Clear();
  shared.reset();
  EXPECT_EQ(b.Peek(1)->Name, "m3");
  EXPECT_EQ(Uids(b), "2,3");
}

TEST_F(ImapMessages, EachSessionSeesAnothersChangesAtItsNextCommand) {
  auto c = Open();
  auto d = Open();
  EXPECT_EQ(d->Tagged("d1", "FETCH 1:* FLAGS"),
            "* 1 FETCH (FLAGS ())|* 2 FETCH (FLAGS ())|* 3 FETCH (FLAGS ())|d1 OK FETCH completed");
  EXPECT_EQ(c->Tagged("c1", "STORE 1 +FLAGS (\\Flagged)"), "* 1 FETCH (FLAGS (\\Flagged))|c1 OK STORE completed");
  EXPECT_EQ(c->Tagged("c2", "FETCH 2 BODY[TEXT]"),
            "* 2 FETCH (BODY[TEXT] {8}|second| FLAGS (\\Seen))|c2 OK FETCH completed");
  EXPECT_EQ(d->Tagged("d2", "FETCH 1:* FLAGS"),
            "* 1 FETCH (FLAGS (\\Flagged))|* 2 FETCH (FLAGS (\\Seen))|* 3 FETCH (FLAGS ())|d2 OK FETCH completed");
  // A change of the other session's leaves the first one's in place.
  EXPECT_EQ(d->Tagged("d3", "STORE 3 +FLAGS.SILENT (\\Deleted)"), "d3 OK STORE completed");
  // The other session's change is reported after the answer (RFC 3501 5.2).
  EXPECT_EQ(c->Tagged("c3", "SEARCH FLAGGED"), "* SEARCH 1|* 3 FETCH (FLAGS (\\Deleted))|c3 OK SEARCH completed");
  EXPECT_EQ(c->Tagged("c4", "SEARCH DELETED"), "* SEARCH 3|c4 OK SEARCH completed");
  // Delivered mail and an expunge: the new message is recent in the first
  // session told of it. The other keeps its numbers until it may be told of
  // the expunge (not within FETCH), but hears of the new message.
  Put(4, "From: erin@example.test\r\nSubject: fourth\r\n\r\nfourth\r\n");
  EXPECT_EQ(c->Tagged("c5", "EXPUNGE"), "* 3 EXPUNGE|* 3 EXISTS|* 1 RECENT|c5 OK EXPUNGE completed");
  EXPECT_EQ(d->Tagged("d4", "FETCH 1:* UID"),
            "* 1 FETCH (UID 1)|* 2 FETCH (UID 2)|* 3 FETCH (UID 3)|* 4 EXISTS|d4 OK FETCH completed");
  EXPECT_EQ(d->Tagged("d4", "FETCH 3 BODY.PEEK[]"), "d4 OK [EXPUNGEISSUED] Some messages were already expunged");
  EXPECT_EQ(d->Tagged("d5", "NOOP"), "* 3 EXPUNGE|d5 OK NOOP completed");
  EXPECT_NE(d->Tagged("d6", "SELECT INBOX").find("* 3 EXISTS|* 0 RECENT|"), std::string::npos);
  EXPECT_EQ(c->Tagged("c6", "FETCH 1:* (UID FLAGS)"),
            "* 1 FETCH (UID 1 FLAGS (\\Flagged))|* 2 FETCH (UID 2 FLAGS (\\Seen))|* 3 FETCH (UID 4 FLAGS (\\Recent))|"
            "c6 OK FETCH completed");
}

TEST_F(ImapMessages, FetchReportsItemsAndSetsSeenOnlyForBodies) {
  auto c = Open();
  EXPECT_EQ(c->Tagged("f1", "FETCH 1 (FLAGS UID)"), "* 1 FETCH (FLAGS () UID 1)|f1 OK FETCH completed");
  EXPECT_EQ(c->Tagged("f2", "UID FETCH 2 FLAGS"), "* 2 FETCH (UID 2 FLAGS ())|f2 OK FETCH completed");
  EXPECT_EQ(c->Tagged("f3", "FETCH 0 FLAGS"), "f3 OK FETCH completed");
  EXPECT_EQ(c->Tagged("f4", "FETCH 1"), "f4 BAD FETCH parse error");
  EXPECT_EQ(c->Tagged("f5", "UID FETCH 4:* UID"), "* 3 FETCH (UID 3)|f5 OK FETCH completed");
  EXPECT_EQ(c->Tagged("f6", "FETCH 2:10 UID"), "* 2 FETCH (UID 2)|* 3 FETCH (UID 3)|f6 OK FETCH completed");
  EXPECT_EQ(c->Tagged("f7", "FETCH 1 (RFC822.SIZE BOGUS UID)"), "* 1 FETCH (RFC822.SIZE 90 UID 1)|f7 OK FETCH completed");
  EXPECT_EQ(c->Tagged("f8", "FETCH 1 BODY[FOO]"), "f8 BAD FETCH parse error");
  // PEEK changes nothing; BODY[] sets \Seen and reports it.
  EXPECT_EQ(c->Tagged("g1", "FETCH 2 BODY.PEEK[TEXT]"), "* 2 FETCH (BODY[TEXT] {8}|second|)|g1 OK FETCH completed");
  EXPECT_EQ(c->Tagged("g2", "FETCH 2 FLAGS"), "* 2 FETCH (FLAGS ())|g2 OK FETCH completed");
  EXPECT_EQ(c->Tagged("g3", "FETCH 2 BODY[TEXT]"),
            "* 2 FETCH (BODY[TEXT] {8}|second| FLAGS (\\Seen))|g3 OK FETCH completed");
  EXPECT_EQ(c->Tagged("g4", "FETCH 2 RFC822.TEXT"), "* 2 FETCH (RFC822.TEXT {8}|second|)|g4 OK FETCH completed");
  // The item list may come without parentheses, with blanks inside a section.
  c->Send("g5 FETCH 1 BODY.PEEK[HEADER.FIELDS (SUBJECT)]\r\n");
  EXPECT_EQ(c->ReadUntil("g5 OK FETCH completed\r\n"),
            "* 1 FETCH (BODY[HEADER.FIELDS (SUBJECT)] {27}\r\nSubject: two words here\r\n\r\n)\r\n"
            "g5 OK FETCH completed\r\n");
  const std::string date = c->Tagged("g6", "FETCH 3 INTERNALDATE");
  EXPECT_TRUE(std::regex_search(
      date, std::regex("^\\* 3 FETCH \\(INTERNALDATE \"[ 0-9][0-9]-[A-Z][a-z]{2}-[0-9]{4} [0-9]{2}:")))
      << date;
}

TEST_F(ImapMessages, StoreModesAndTheirReplies) {
  auto c = Open();
  EXPECT_EQ(c->Tagged("s1", "STORE 1 +FLAGS (\\Deleted \\Seen)"),
            "* 1 FETCH (FLAGS (\\Deleted \\Seen))|s1 OK STORE completed");
  EXPECT_EQ(c->Tagged("s2", "STORE 2 +FLAGS.SILENT (\\Flagged)"), "s2 OK STORE completed");
  EXPECT_EQ(c->Tagged("s3", "STORE 1 -FLAGS (\\Seen)"), "* 1 FETCH (FLAGS (\\Deleted))|s3 OK STORE completed");
  EXPECT_EQ(c->Tagged("s4", "STORE 1 FLAGS"), "s4 BAD STORE parse error");
  EXPECT_EQ(c->Tagged("s5", "STORE 1:2 FLAGS ()"),
            "* 1 FETCH (FLAGS ())|* 2 FETCH (FLAGS ())|s5 OK STORE completed");
  EXPECT_EQ(c->Tagged("s6", "UID STORE 3 +FLAGS \\Answered \\Draft"),
            "* 3 FETCH (UID 3 FLAGS (\\Answered \\Draft))|s6 OK STORE completed");
  // The flags are kept by the store: a new session sees them.
  auto d = Open();
  EXPECT_EQ(d->Tagged("t1", "FETCH 1:* FLAGS"),
            "* 1 FETCH (FLAGS ())|* 2 FETCH (FLAGS ())|* 3 FETCH (FLAGS (\\Answered \\Draft))|t1 OK FETCH completed");
}

TEST_F(ImapMessages, SearchKeys) {
  auto c = Open();
  c->Tagged("s0", "STORE 2 +FLAGS.SILENT (\\Seen)");
  EXPECT_EQ(c->Tagged("h1", "SEARCH ALL"), "* SEARCH 1 2 3|h1 OK SEARCH completed");
  EXPECT_EQ(c->Tagged("h2", "UID SEARCH ALL"), "* SEARCH 1 2 3|h2 OK SEARCH completed");
  EXPECT_EQ(c->Tagged("h3", "SEARCH FROM alice"), "* SEARCH 1|h3 OK SEARCH completed");
  EXPECT_EQ(c->Tagged("h4", "SEARCH SUBJECT \"two words\""), "* SEARCH 1|h4 OK SEARCH completed");
  EXPECT_EQ(c->Tagged("h5", "SEARCH TO nobody"), "* SEARCH |h5 OK SEARCH completed");
  EXPECT_EQ(c->Tagged("h6", "SEARCH UNSEEN"), "* SEARCH 1 3|h6 OK SEARCH completed");
  EXPECT_EQ(c->Tagged("h7", "SEARCH NOT SEEN 2:3"), "* SEARCH 3|h7 OK SEARCH completed");
  EXPECT_EQ(c->Tagged("h8", "UID SEARCH OR UID 1 (SEEN FROM carol)"), "* SEARCH 1 2|h8 OK SEARCH completed");
  EXPECT_EQ(c->Tagged("h9", "SEARCH CHARSET UTF-8 UNDELETED"), "* SEARCH 1 2 3|h9 OK SEARCH completed");
  EXPECT_EQ(c->Tagged("h10", "SEARCH SINCE 1-Jan-2026"), "h10 BAD SEARCH parse error");
  EXPECT_EQ(c->Tagged("h11", "SEARCH FROM"), "h11 BAD SEARCH parse error");
}

// Text keys decode the header's encoded words and the search string to
// UTF-8 and compare them case-insensitively; FROM sees an address's comment.
TEST_F(ImapMessages, SearchTextInAnyCharsetAndNestingBound) {
  Put(4, "From: anna@example.test (Anna Lind)\r\nSubject: =?UTF-8?B?6aG555uu5Lya6K6uIE1vbmRheQ==?=\r\n\r\nx\r\n");
  Put(5, "From: zhang@example.test\r\nSubject: =?GBK?B?w/fM7LXEu+HS6Q==?=\r\n\r\nx\r\n");
  auto c = Open();
  EXPECT_EQ(c->Tagged("u1", "SEARCH CHARSET UTF-8 SUBJECT \"\xe4\xbc\x9a\xe8\xae\xae\""),
            "* SEARCH 4 5|u1 OK SEARCH completed");
  EXPECT_EQ(c->Tagged("u2", "SEARCH CHARSET utf-8 SUBJECT MONDAY"), "* SEARCH 4|u2 OK SEARCH completed");
  EXPECT_EQ(c->Tagged("u3", "SEARCH FROM \"anna lind\""), "* SEARCH 4|u3 OK SEARCH completed");
  EXPECT_EQ(c->Tagged("u4", "SEARCH CHARSET KOI8-R SUBJECT x"),
            "u4 NO [BADCHARSET (US-ASCII UTF-8)] Unknown charset");
  const auto nested = [](int ADepth) {
    return "SEARCH " + std::string(static_cast<size_t>(ADepth), '(') + "ALL" +
           std::string(static_cast<size_t>(ADepth), ')');
  };
  EXPECT_EQ(c->Tagged("n1", nested(100)), "* SEARCH 1 2 3 4 5|n1 OK SEARCH completed");
  EXPECT_EQ(c->Tagged("n2", nested(101)), "n2 BAD SEARCH parse error");
  EXPECT_EQ(c->Tagged("n3", nested(20000)), "n3 BAD SEARCH parse error");
  std::string nots = "SEARCH";
  for (int i = 0; i < 15000; ++i) nots += " NOT";
  EXPECT_EQ(c->Tagged("n4", nots + " ALL"), "n4 BAD SEARCH parse error");
  EXPECT_EQ(c->Tagged("n5", "SEARCH ALL"), "* SEARCH 1 2 3 4 5|n5 OK SEARCH completed");
}

TEST_F(ImapMessages, CopyExpungeAndClose) {
  auto c = Open();
  EXPECT_EQ(c->Tagged("c0", "CREATE Work"), "c0 OK CREATE completed");
  EXPECT_EQ(c->Tagged("k1", "COPY 1:2 Work"), "k1 OK COPY completed");
  EXPECT_EQ(c->Tagged("k2", "COPY 1 Nope"), "k2 NO [TRYCREATE] Mailbox does not exist");
  EXPECT_EQ(c->Tagged("k3", "UID COPY 1"), "k3 BAD COPY parse error");
  EXPECT_EQ(c->Tagged("k4", "COPY 1 ../alice@example.test"), "k4 NO [TRYCREATE] Mailbox does not exist");
  EXPECT_EQ(c->Tagged("k5", "STATUS Work (MESSAGES)"), "* STATUS \"Work\" (MESSAGES 2)|k5 OK STATUS completed");
  // Messages 2 and 3 deleted: reported highest first, so that no report
  // shifts the number of a later one.
  c->Tagged("e0", "STORE 2:3 +FLAGS.SILENT (\\Deleted)");
  EXPECT_EQ(c->Tagged("e1", "EXPUNGE"), "* 3 EXPUNGE|* 2 EXPUNGE|e1 OK EXPUNGE completed");
  EXPECT_EQ(c->Tagged("e2", "FETCH 1:* UID"), "* 1 FETCH (UID 1)|e2 OK FETCH completed");
  // CLOSE expunges silently and deselects.
  c->Tagged("e3", "STORE 1 +FLAGS.SILENT (\\Deleted)");
  EXPECT_EQ(c->Tagged("e4", "CLOSE"), "e4 OK CLOSE completed");
  EXPECT_EQ(c->Tagged("e5", "FETCH 1 FLAGS"), "e5 BAD Bad state for FETCH");
  EXPECT_FALSE(fs::exists(Inbox + "MAIL00000001.MSG"));
  EXPECT_FALSE(fs::exists(Inbox + "MAIL00000002.MSG"));
}

TEST_F(ImapMessages, ExamineChangesNothing) {
  {
    auto w = Open();
    w->Tagged("x", "STORE 1 +FLAGS.SILENT (\\Deleted)");
  }
  auto c = Open("EXAMINE");
  EXPECT_EQ(c->Tagged("r1", "FETCH 2 BODY[TEXT]"), "* 2 FETCH (BODY[TEXT] {8}|second|)|r1 OK FETCH completed");
  EXPECT_EQ(c->Tagged("r2", "FETCH 2 FLAGS"), "* 2 FETCH (FLAGS ())|r2 OK FETCH completed");
  EXPECT_EQ(c->Tagged("r3", "STORE 2 +FLAGS (\\Seen)"), "r3 NO Mailbox is read-only");
  EXPECT_EQ(c->Tagged("r4", "EXPUNGE"), "r4 NO Mailbox is read-only");
  EXPECT_EQ(c->Tagged("r5", "CLOSE"), "r5 OK CLOSE completed");
  EXPECT_EQ(c->Tagged("r6", "FETCH 1 FLAGS"), "r6 BAD Bad state for FETCH");
  EXPECT_TRUE(fs::exists(Inbox + "MAIL00000001.MSG"));
}

TEST_F(ImapMessages, AnswersKeptForReuseFollowTheMessageFile) {
  auto c = Open();
  const std::string first = "* 1 FETCH (BODY[TEXT] {7}|first|)|b1 OK FETCH completed";
  EXPECT_EQ(c->Tagged("b1", "FETCH 1 BODY.PEEK[TEXT]"), first);
  EXPECT_EQ(c->Tagged("b1", "FETCH 1 BODY.PEEK[TEXT]"), first);
  // Another file under the same name and with the same date is other bytes.
  const std::string path = Inbox + "MAIL00000001.MSG";
  const TDateTime date = GetFileDateTime(path);
  fs::rename(path, Inbox + "aside");
  Put(1, "From: Alice <alice@example.test>\r\nSubject: two words here\r\n\r\nreplaced\r\n");
  ASSERT_TRUE(SetExistingFileDateTime(path, date));
  EXPECT_EQ(c->Tagged("b2", "FETCH 1 (BODY.PEEK[TEXT] RFC822.SIZE)"),
            "* 1 FETCH (BODY[TEXT] {10}|replaced| RFC822.SIZE 71)|b2 OK FETCH completed");
  // BODY answers as BODY.PEEK does, and still sets \Seen.
  EXPECT_EQ(c->Tagged("b3", "FETCH 1 BODY[TEXT]"),
            "* 1 FETCH (BODY[TEXT] {10}|replaced| FLAGS (\\Seen))|b3 OK FETCH completed");
  // Message 2 gone, number 2 is the third message: its own answer.
  EXPECT_NE(c->Tagged("b4", "FETCH 2 ENVELOPE").find("\"carol\""), std::string::npos);
  fs::remove(Inbox + "MAIL00000002.MSG");
  EXPECT_EQ(c->Tagged("b5", "NOOP"), "* 2 EXPUNGE|b5 OK NOOP completed");
  EXPECT_EQ(c->Tagged("b5", "FETCH 2 ENVELOPE"),
            "* 2 FETCH (ENVELOPE (NIL \"third\" ((NIL NIL \"dave\" \"example.test\")) ((NIL NIL \"dave\" "
            "\"example.test\")) ((NIL NIL \"dave\" \"example.test\")) NIL NIL NIL NIL NIL))|b5 OK FETCH completed");
}

TEST_F(ImapMessages, AMailBoxMadeAgainServesItsOwnMessagesAndStateFileNamesAreNoMailBoxes) {
  auto c = Open();
  const std::string a = "Subject: A\r\n\r\nthe first message, which is longer than the second\r\n";
  const std::string b = "Subject: B\r\n\r\nsecond\r\n";
  const auto append = [&](const std::string& ATag, const std::string& AText) {
    c->Send(ATag + " APPEND stalebox \"22-Feb-2008 17:06:23 +0000\" {" + std::to_string(AText.size()) + "}\r\n");
    EXPECT_EQ(c->Line(), "+ Ready for append literal");
    c->Send(AText + "\r\n");
    for (std::string l = c->Line(); !l.empty() && l.rfind(ATag + " ", 0) != 0; l = c->Line()) {
    }
  };
  EXPECT_EQ(c->Tagged("c1", "CREATE stalebox"), "c1 OK CREATE completed");
  append("c2", a);
  c->Tagged("c3", "SELECT stalebox");
  EXPECT_NE(c->Tagged("c4", "FETCH 1 (RFC822.SIZE BODY.PEEK[])").find("RFC822.SIZE " + std::to_string(a.size())),
            std::string::npos);
  c->Tagged("c5", "SELECT INBOX");
  EXPECT_EQ(c->Tagged("c6", "DELETE stalebox"), "c6 OK DELETE completed");
  EXPECT_EQ(c->Tagged("c7", "CREATE stalebox"), "c7 OK CREATE completed");
  append("c8", b);
  c->Tagged("c9", "SELECT stalebox");
  EXPECT_EQ(c->Tagged("d1", "FETCH 1 (RFC822.SIZE BODY.PEEK[TEXT])"),
            "* 1 FETCH (RFC822.SIZE " + std::to_string(b.size()) + " BODY[TEXT] {8}|second|)|d1 OK FETCH completed");

  // The store's own files are no mailbox names, and listings stay whole.
  for (const char* name : {"imap.dat", "messages.dat", "IMAP.DAT", "stalebox/messages.dat"})
    EXPECT_EQ(c->Tagged("d2", std::string("CREATE ") + name), "d2 NO Access denied") << name;
  EXPECT_EQ(c->Tagged("d3", "SELECT messages.dat"), "d3 NO Mailbox does not exist");
  const std::string listed = c->Tagged("d4", "LIST \"\" *");
  EXPECT_NE(listed.find("d4 OK LIST completed"), std::string::npos);
  EXPECT_EQ(listed.find(Dir.Dir()), std::string::npos);
  EXPECT_EQ(c->Tagged("d5", "LSUB \"\" *").find("BAD"), std::string::npos);
  // A state file the store cannot read fails the command without naming it.
  fs::create_directories(Inbox + "Broken/imap.dat");
  const std::string refused = c->Tagged("d6", "SELECT Broken");
  EXPECT_NE(refused.find("d6 BAD "), std::string::npos) << "[" << refused << "]";
  EXPECT_EQ(refused.find('/'), std::string::npos) << refused;
}

TEST_F(ImapMessages, OneStoreWritePerCommandAndRepliesInOrderWithTheirEvents) {
  std::mutex m;
  int updates = 0;
  std::vector<std::string> sent;
  const TqvImap4MessagesEvent update = Server.OnUpdateMessages;
  Server.OnUpdateMessages = [&](TObject* S, TqvImap4CommandConnection* C, TqvImap4MessageList& L,
                                const std::string& B, bool& ok) {
    {
      std::scoped_lock lock(m);
      ++updates;
    }
    update(S, C, L, B, ok);
  };
  Server.OnSendResponse = [&](TObject*, TqvCommandConnection*, const std::string&, const std::string& AText) {
    std::scoped_lock lock(m);
    sent.push_back(AText);
  };
  auto c = Open();
  {
    std::scoped_lock lock(m);
    updates = 0;
    sent.clear();
  }
  EXPECT_EQ(c->Tagged("s1", "STORE 1:3 +FLAGS (\\Flagged)"),
            "* 1 FETCH (FLAGS (\\Flagged))|* 2 FETCH (FLAGS (\\Flagged))|* 3 FETCH (FLAGS (\\Flagged))|"
            "s1 OK STORE completed");
  EXPECT_EQ(c->Tagged("f1", "FETCH 1:3 (FLAGS BODY[TEXT])"),
            "* 1 FETCH (FLAGS (\\Flagged \\Seen) BODY[TEXT] {7}|first|)|"
            "* 2 FETCH (FLAGS (\\Flagged \\Seen) BODY[TEXT] {8}|second|)|"
            "* 3 FETCH (FLAGS (\\Flagged \\Seen) BODY[TEXT] {7}|third|)|f1 OK FETCH completed");
  EXPECT_EQ(c->Tagged("h1", "SEARCH SEEN"), "* SEARCH 1 2 3|h1 OK SEARCH completed");
  // A FETCH answer of several pieces arrives whole.
  Put(4, "Subject: big\r\n\r\n" + std::string(3 * TqvImap4Server::kFetchPieceBytes, 'x') + "\r\n");
  c->Tagged("s2", "SELECT INBOX");
  c->Send("f2 FETCH 1:4 (UID RFC822.SIZE)\r\n");
  EXPECT_EQ(c->ReadUntil("f2 OK FETCH completed\r\n"),
            "* 1 FETCH (UID 1 RFC822.SIZE 90)\r\n* 2 FETCH (UID 2 RFC822.SIZE 74)\r\n"
            "* 3 FETCH (UID 3 RFC822.SIZE 50)\r\n* 4 FETCH (UID 4 RFC822.SIZE " +
                std::to_string(16 + 3 * TqvImap4Server::kFetchPieceBytes + 2) + ")\r\nf2 OK FETCH completed\r\n");
  c->Send("f3 FETCH 4 BODY.PEEK[TEXT]\r\n");
  const std::string text(3 * TqvImap4Server::kFetchPieceBytes, 'x');
  EXPECT_EQ(c->ReadUntil("f3 OK FETCH completed\r\n"), "* 4 FETCH (BODY[TEXT] {" + std::to_string(text.size() + 2) +
                                                            "}\r\n" + text + "\r\n)\r\nf3 OK FETCH completed\r\n");
  std::scoped_lock lock(m);
  // The \Flagged of three messages, the \Seen of three, the SELECT (which
  // gives the new message its UID and takes its \Recent): a write each.
  EXPECT_EQ(updates, 3);
  // Every single-line reply still fires its event, in order.
  EXPECT_EQ(sent, (std::vector<std::string>{"f1 OK FETCH completed", "* SEARCH 1 2 3", "h1 OK SEARCH completed",
                                             "f2 OK FETCH completed", "f3 OK FETCH completed"}));
}

// ---- each session's own view of the mailbox

namespace {

std::unique_ptr<TqvImap4MessageList> Stored(std::initializer_list<std::pair<int64_t, TqvMailMessageFlags>> AMessages) {
  auto list = std::make_unique<TqvImap4MessageList>();
  for (const auto& [uid, flags] : AMessages) list->Add("m" + std::to_string(uid), uid, flags, 0);
  return list;
}

std::string Joined(const std::vector<std::string>& ALines) {
  std::string s;
  for (const std::string& l : ALines) s += (s.empty() ? "" : "|") + l;
  return s;
}

}  // namespace

TEST(ImapSessionView, TellsExpungesHighestFirstAndNeverLetsExistsDrop) {
  const TqvMailMessageFlags seen = MessageFlag(mfSeen), recent = MessageFlag(mfRecent);
  TqvImap4SessionView view;
  std::vector<std::string> lines;
  const auto all = [](const TqvImap4MessageItem&) { return true; };
  view.Update(*Stored({{1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0}}), true, false, all, lines);
  EXPECT_EQ(Joined(lines), "* 5 EXISTS|* 5 RECENT");
  // 2 and 4 gone, 1 seen by another session, 6 new: inside FETCH the gone
  // ones stay (their numbers still mean them) and nothing drops.
  lines.clear();
  const auto later = Stored({{1, seen}, {3, 0}, {5, 0}, {6, 0}});
  view.Update(*later, false, false, nullptr, lines);
  EXPECT_EQ(Joined(lines), "* 6 EXISTS|* 1 FETCH (FLAGS (\\Seen \\Recent))");
  EXPECT_TRUE(view.Pending());
  EXPECT_EQ(view.Count(), 6);
  EXPECT_EQ(view.Uid(3), 4);
  // Where EXPUNGE may be told: highest first, then the recent count.
  lines.clear();
  view.Update(*later, true, true, nullptr, lines);
  EXPECT_EQ(Joined(lines), "* 4 EXPUNGE|* 2 EXPUNGE|* 3 RECENT");
  EXPECT_FALSE(view.Pending());
  EXPECT_EQ(view.IndexOf(5), 2);
  EXPECT_EQ(view.IndexOf(4), -1);
  // A flag change told with the UID after a UID command; \Recent stays the
  // session's own whatever the store says.
  lines.clear();
  view.Update(*Stored({{1, seen | recent}, {3, MessageFlag(mfFlagged)}, {5, 0}, {6, 0}}), true, true, nullptr, lines);
  EXPECT_EQ(Joined(lines), "* 2 FETCH (UID 3 FLAGS (\\Flagged \\Recent))");
  EXPECT_EQ(view.SessionFlags(3, recent), 0);
  // A stored UID below the last known one that the view never had is left
  // out: it could only join by renumbering the others.
  lines.clear();
  view.Update(*Stored({{1, seen}, {2, 0}, {3, MessageFlag(mfFlagged)}, {5, 0}, {6, 0}}), true, false, nullptr, lines);
  EXPECT_EQ(Joined(lines), "");
  EXPECT_EQ(view.Count(), 4);
}

TEST_F(ImapMessages, AnotherSessionsExpungeNeverShiftsThisSessionsNumbers) {
  Put(4, "From: erin@example.test\r\nSubject: message 4\r\n\r\nfour\r\n");
  Put(5, "From: fred@example.test\r\nSubject: message 5\r\n\r\nfive\r\n");
  auto a = Open();
  auto b = Open();
  EXPECT_EQ(a->Tagged("a1", "STORE 1 +FLAGS.SILENT (\\Deleted)"), "a1 OK STORE completed");
  EXPECT_EQ(a->Tagged("a2", "EXPUNGE"), "* 1 EXPUNGE|a2 OK EXPUNGE completed");
  // B was not told: its 2 is still UID 2.
  EXPECT_EQ(b->Tagged("b1", "FETCH 2 (UID FLAGS)"), "* 2 FETCH (UID 2 FLAGS ())|b1 OK FETCH completed");
  EXPECT_EQ(b->Tagged("b2", "STORE 2 +FLAGS.SILENT (\\Deleted)"), "b2 OK STORE completed");
  EXPECT_EQ(b->Tagged("b3", "EXPUNGE"), "* 2 EXPUNGE|* 1 EXPUNGE|b3 OK EXPUNGE completed");
  // What B's user chose is gone, and only that.
  EXPECT_FALSE(fs::exists(Inbox + "MAIL00000002.MSG"));
  EXPECT_TRUE(fs::exists(Inbox + "MAIL00000003.MSG"));
  EXPECT_EQ(a->Tagged("a3", "NOOP"), "* 1 EXPUNGE|a3 OK NOOP completed");
  EXPECT_EQ(a->Tagged("a4", "FETCH 1:* UID"),
            "* 1 FETCH (UID 3)|* 2 FETCH (UID 4)|* 3 FETCH (UID 5)|a4 OK FETCH completed");
  // A message deleted outside IMAP (a POP3 QUIT) is told the same way; a
  // STORE or COPY naming it changes and copies nothing.
  fs::remove(Inbox + "MAIL00000004.MSG");
  EXPECT_EQ(a->Tagged("a5", "STORE 2 +FLAGS (\\Flagged)"), "* 2 FETCH (FLAGS (\\Flagged))|a5 OK STORE completed");
  EXPECT_EQ(a->Tagged("a6", "CREATE Work"), "* 2 EXPUNGE|a6 OK CREATE completed");
  EXPECT_EQ(a->Tagged("a7", "FETCH 2 FLAGS"), "* 2 FETCH (FLAGS ())|a7 OK FETCH completed");
  fs::remove(Inbox + "MAIL00000005.MSG");
  EXPECT_EQ(a->Tagged("a8", "COPY 2 Work"),
            "* 2 EXPUNGE|a8 NO [EXPUNGEISSUED] Some of the requested messages no longer exist");
  EXPECT_EQ(a->Tagged("a9", "STATUS Work (MESSAGES)"), "* STATUS \"Work\" (MESSAGES 0)|a9 OK STATUS completed");
}

TEST_F(ImapMessages, NewMailIsAnnouncedAndRecentInOneSessionOnly) {
  auto a = Open();
  auto b = Open();
  EXPECT_EQ(a->Tagged("a1", "NOOP"), "a1 OK NOOP completed");
  Put(4, "From: erin@example.test\r\nSubject: new\r\n\r\nnew\r\n");
  // The first session told of it takes its \Recent; the other sees it old.
  EXPECT_EQ(a->Tagged("a2", "CHECK"), "* 4 EXISTS|* 1 RECENT|a2 OK CHECK completed");
  EXPECT_EQ(b->Tagged("b1", "NOOP"), "* 4 EXISTS|b1 OK NOOP completed");
  EXPECT_EQ(a->Tagged("a3", "SEARCH RECENT"), "* SEARCH 4|a3 OK SEARCH completed");
  EXPECT_EQ(a->Tagged("a4", "SEARCH NEW"), "* SEARCH 4|a4 OK SEARCH completed");
  EXPECT_EQ(b->Tagged("b2", "SEARCH RECENT"), "* SEARCH |b2 OK SEARCH completed");
  EXPECT_EQ(b->Tagged("b3", "SEARCH OLD"), "* SEARCH 1 2 3 4|b3 OK SEARCH completed");
  // Clients neither set nor clear it; EXAMINE and STATUS do not take it.
  EXPECT_EQ(a->Tagged("a5", "STORE 4 -FLAGS (\\Recent)"), "* 4 FETCH (FLAGS (\\Recent))|a5 OK STORE completed");
  EXPECT_EQ(b->Tagged("b4", "STORE 1 +FLAGS (\\Recent \\Seen)"), "* 1 FETCH (FLAGS (\\Seen))|b4 OK STORE completed");
  EXPECT_EQ(a->Tagged("a6", "NOOP"), "* 1 FETCH (FLAGS (\\Seen))|a6 OK NOOP completed");
  Put(5, "From: fred@example.test\r\nSubject: newer\r\n\r\nnewer\r\n");
  auto s = LoggedIn();
  EXPECT_EQ(s->Tagged("s1", "STATUS INBOX (MESSAGES RECENT)"),
            "* STATUS \"INBOX\" (MESSAGES 5 RECENT 1)|s1 OK STATUS completed");
  EXPECT_NE(s->Tagged("s2", "EXAMINE INBOX").find("* 5 EXISTS|* 1 RECENT|"), std::string::npos);
  EXPECT_EQ(s->Tagged("s3", "SEARCH RECENT"), "* SEARCH 5|s3 OK SEARCH completed");
  EXPECT_EQ(b->Tagged("b6", "NOOP"), "* 5 EXISTS|* 1 RECENT|b6 OK NOOP completed");
  // A number the session was never told of names nothing.
  EXPECT_EQ(a->Tagged("a7", "FETCH 5 FLAGS"), "* 5 EXISTS|a7 OK FETCH completed");
  EXPECT_EQ(a->Cmd("a8 APPEND INBOX (\\Flagged \\Recent) {2}"), "+ Ready for append literal");
  a->Send("hi\r\n");
  EXPECT_EQ(a->Line(), "* 6 EXISTS");
  EXPECT_EQ(a->Line(), "* 2 RECENT");
  EXPECT_EQ(a->Line().substr(0, 17), "a8 OK [APPENDUID ");
  EXPECT_EQ(a->Tagged("a10", "FETCH 6 FLAGS"), "* 6 FETCH (FLAGS (\\Flagged \\Recent))|a10 OK FETCH completed");
  // What the appending session took, no other session takes after it.
  EXPECT_EQ(b->Tagged("b7", "NOOP"), "* 6 EXISTS|b7 OK NOOP completed");
  EXPECT_EQ(b->Tagged("b8", "FETCH 6 FLAGS"), "* 6 FETCH (FLAGS (\\Flagged))|b8 OK FETCH completed");
}
