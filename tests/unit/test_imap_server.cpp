// IMAP4 dialogues against the server with an in-memory store, through memory
// sessions on the test's thread (a few over loopback: the socket path, curl,
// the idle time-out): the reply forms and states, the three login paths, and
// the mailbox commands, including names that try to leave the account's folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

#include "NtlmTestClient.h"
#include "ImapTestSupport.h"
#include "TestSockets.h"
#include "qvCryptHash.h"
#include "qvEncoder.h"
#include "qvImap4Server.h"
#include "qvSspiAuth.h"

namespace {

std::string B64(const std::string& s) { return TqvEncoder::EncodeBytesToLine(TBytes(s.begin(), s.end()), cmBase64); }

class TServer : public TqvImap4Server {
 public:
  TServer() { SetLocalBinding("127.0.0.1"); }
  ~TServer() override { Stop(); }
  std::string Challenge;
  void RequireTls() { UseTLS = stExplicitRequire; }

 protected:
  std::string GenerateChallenge() override {
    return Challenge.empty() ? TqvImap4Server::GenerateChallenge() : Challenge;
  }
};

// One user's mailboxes in memory, in creation order; every name an event
// saw is recorded, so a test can prove an unsafe one never reached it.
class TMemoryStore {
 public:
  struct TMessage {
    std::string Name;
    int64_t UID = -1;
    TqvMailMessageFlags Flags = 0;
    std::vector<std::string> Lines;
    TDateTime Date = 0;
  };
  struct TBox {
    TqvImap4MailBoxItem Item;
    std::vector<TMessage> Messages;
  };

  explicit TMemoryStore(TqvImap4Server& AServer) {
    Add("INBOX", true);
    AServer.OnGetMailBoxes = [this](TObject*, TqvImap4CommandConnection*, const std::string& n,
                                    TqvImap4MailBoxList& l) {
      std::scoped_lock lock(M);
      Seen.push_back(n);
      for (auto& [name, box] : Boxes)
        if (n.empty() || name == n) l.Add()->Assign(box.Item);
    };
    AServer.OnUpdateMailBox = [this](TObject*, TqvImap4CommandConnection*, TqvImap4MailBoxItem& i, bool& ok) {
      std::scoped_lock lock(M);
      ok = Boxes.count(i.Name) > 0;
      if (ok) Boxes[i.Name].Item.Assign(i);
    };
    AServer.OnCreateMailBox = [this](TObject*, TqvImap4CommandConnection*, const std::string& n, bool&) {
      std::scoped_lock lock(M);
      Seen.push_back(n);
      Add(n, false);
    };
    AServer.OnDeleteMailBox = [this](TObject*, TqvImap4CommandConnection*, const std::string& n, bool& ok) {
      std::scoped_lock lock(M);
      Seen.push_back(n);
      for (auto& [name, box] : Boxes)
        if (name.rfind(n + "/", 0) == 0) ok = false;
      if (n == "INBOX") ok = false;
      if (ok) Boxes.erase(n);
    };
    AServer.OnRenameMailBox = [this](TObject*, TqvImap4CommandConnection*, const std::string& a, const std::string& b,
                                     bool&) {
      std::scoped_lock lock(M);
      Seen.push_back(a);
      Seen.push_back(b);
      TBox box = Boxes[a];
      Boxes.erase(a);
      box.Item.Name = b;
      Boxes[b] = box;
    };
    AServer.OnGetMessages = [this](TObject*, TqvImap4CommandConnection*, TqvImap4MessageList& l,
                                   const std::string& n, bool& ok) {
      std::scoped_lock lock(M);
      ok = Boxes.count(n) > 0;
      if (ok)
        for (const TMessage& m : Boxes[n].Messages) l.Add(m.Name, m.UID, m.Flags, m.Date);
    };
    AServer.OnUpdateMessages = [this](TObject*, TqvImap4CommandConnection*, TqvImap4MessageList& l,
                                      const std::string& n, bool&) {
      std::scoped_lock lock(M);
      for (TMessage& m : Boxes[n].Messages)
        if (TqvImap4MessageItem* i = l.Find(m.Name)) {
          m.UID = i->UID;
          m.Flags = i->Flags;
        }
    };
    AServer.OnGetMessageSource = [this](TObject*, TqvImap4CommandConnection*, TStrings& AOut, const std::string& AName,
                                        const std::string& ABox, bool& ok) {
      std::scoped_lock lock(M);
      ok = false;
      for (const TMessage& m : Boxes[ABox].Messages) {
        if (m.Name != AName) continue;
        for (const std::string& l : m.Lines) AOut.Add(l);
        ok = true;
      }
    };
    AServer.OnAppendMessage = [this](TObject*, TqvImap4CommandConnection*, TqvMailMessageFlags f, TDateTime d,
                                     const TStrings& s, const std::string& n, bool&) {
      std::scoped_lock lock(M);
      TMessage m;
      m.Name = n + "#" + std::to_string(Boxes[n].Messages.size() + 1);
      m.Flags = f;
      m.Date = d;
      for (int i = 0; i < s.Count(); ++i) m.Lines.push_back(s.Strings(i));
      Boxes[n].Messages.push_back(m);
    };
  }

  void Add(const std::string& AName, bool ASubscribed) {
    TBox& box = Boxes[AName];
    box.Item.Name = AName;
    box.Item.Subscribed = ASubscribed;
    box.Item.UIDNext = 1;
    box.Item.UIDValidity = "1770000000";
  }

  std::mutex M;
  std::map<std::string, TBox> Boxes;
  std::vector<std::string> Seen;
};

using imaptest::TClient;
using testsupport::ExpectDialogue;

class ImapSession : public ::testing::Test {
 protected:
  void SetUp() override {
    auto add = [this](const char* user, const char* password) {
      TqvMailUserAccountItem* a = Server.UserAccounts().Add();
      a->SetUserName(user);
      a->SetPassword(password);
      a->SetEmail(user);
    };
    add("bob@example.test", "secret");
    add("tim", "tanstaaftanstaaf");
    add("quote", "a\\b\"c");
    Server.UserAccounts().SetCaseInsensitive(false);
    Server.SetServerName("Quorvin Mail Kit IMAP4 service");
    for (const char* w : {"IMAP4rev1", "NAMESPACE", "AUTH=CRAM-MD5"}) Server.Capabilities().Add(w);
  }
  void Start() { testsupport::StartOnFreePort(Server); }
  void TearDown() override { Server.Stop(); }
  // Greeting and LOGIN as bob.
  void LogIn(TClient& c) {
    c.Line();
    ASSERT_EQ(c.Cmd("a0 LOGIN bob@example.test secret"), "a0 OK LOGIN completed");
  }

  TServer Server;
  TMemoryStore Store{Server};
};

}  // namespace

namespace {

// A session before and after login, every reply word for word.
void ExpectRepliesStatesAndUnservedCommands(TClient& c) {
  EXPECT_EQ(c.Line(), "* OK IMAP4rev1 Quorvin Mail Kit IMAP4 service Ready");
  EXPECT_EQ(c.Tagged("a1", "CAPABILITY"),
            "* CAPABILITY IMAP4REV1 AUTH=CRAM-MD5 AUTH=NTLM IMAP4rev1 NAMESPACE AUTH=CRAM-MD5|a1 OK CAPABILITY "
            "completed");
  ExpectDialogue(c, {
      {"a2 NAMESPACE", "a2 BAD Bad state for NAMESPACE"},
      {"a3 FOO", "a3 BAD Invalid command: FOO"},
      {"NOOP", "* OK NOOP completed"},
      {"LOGIN bob secret", "LOGIN BAD Invalid command: BOB"},
      {"a4 SELECT INBOX", "a4 BAD Bad state for SELECT"},
      {"a4 CHECK", "a4 BAD Bad state for CHECK"},
      {"a5 LOGIN bob@example.test", "a5 BAD LOGIN parse error"},
      {"a6 LOGIN bob@example.test wrong", "a6 NO LOGIN failed"},
      {"a7 STARTTLS", "a7 NO you have already logged in"},
      {"a8 login \"bob@example.test\" \"secret\"", "a8 OK LOGIN completed"},
      {"a9 LOGIN bob@example.test secret", "a9 BAD Bad state for LOGIN"},
      // CHECK belongs to the selected state, as the message commands do.
      {"a10 CHECK", "a10 BAD Bad state for CHECK"},
      {"a11 UID EXPUNGE 1", "a11 BAD Invalid command: UID EXPUNGE"},
  });
  // The message commands need a selected mailbox.
  for (const char* cmd : {"FETCH", "SEARCH", "COPY", "STORE", "CLOSE", "EXPUNGE", "UID FETCH", "UID STORE"})
    EXPECT_EQ(c.Cmd(std::string("m1 ") + cmd + " 1 x"), std::string("m1 BAD Bad state for ") + cmd);
  EXPECT_EQ(c.Cmd("z LOGOUT"), "* BYE IMAP engine signing off");
  EXPECT_EQ(c.Line(), "z OK LOGOUT completed");
  c.ReadUntil("\x01never", 2000);
  EXPECT_TRUE(c.Eof);
}

}  // namespace

TEST_F(ImapSession, RepliesStatesAndUnservedCommands) {
  TClient c(Server);
  ExpectRepliesStatesAndUnservedCommands(c);
}

TEST_F(ImapSession, RepliesStatesAndUnservedCommandsOverLoopback) {
  Start();
  TClient c(Server.BoundPort());
  ExpectRepliesStatesAndUnservedCommands(c);
}

TEST_F(ImapSession, QuotedPasswordsAndAuthModes) {
  {
    TClient c(Server);
    c.Line();
    // As imaplib quotes it: backslash and quote escaped.
    EXPECT_EQ(c.Cmd("q1 LOGIN quote \"a\\\\b\\\"c\""), "q1 OK LOGIN completed");
  }
  Server.SetUseAuth(imUseSASL);
  {
    TClient c(Server);
    c.Line();
    EXPECT_EQ(c.Cmd("a LOGIN x y"), "a BAD Unrecognized authentication type");
  }
  Server.SetUseAuth(imUseIMAPLogin);
  {
    TClient c(Server);
    c.Line();
    EXPECT_EQ(c.Cmd("a AUTHENTICATE CRAM-MD5"), "a BAD Unrecognized authentication type");
    EXPECT_EQ(c.Tagged("b", "CAPABILITY"),
              "* CAPABILITY IMAP4REV1 IMAP4rev1 NAMESPACE AUTH=CRAM-MD5|b OK CAPABILITY completed");
  }
  Server.SetUseAuth(imUseBoth);
  Server.RequireTls();
  TClient c(Server);
  c.Line();
  EXPECT_EQ(c.Cmd("a LOGIN bob@example.test secret"), "a BAD Must issue a STARTTLS command first");
  EXPECT_EQ(c.Cmd("b NOOP"), "b OK NOOP completed");
  EXPECT_NE(c.Tagged("c", "CAPABILITY").find(" STARTTLS "), std::string::npos);
}

TEST_F(ImapSession, LoginNamesTheStoreFolderByTheAccount) {
  Server.SetCaseInsensitive(true);
  std::mutex m;
  std::vector<std::string> users;
  auto list = Server.OnGetMailBoxes;
  Server.OnGetMailBoxes = [&, list](TObject* s, TqvImap4CommandConnection* c, const std::string& n,
                                    TqvImap4MailBoxList& l) {
    {
      std::scoped_lock lock(m);
      users.push_back(c->UserName());
    }
    list(s, c, n, l);
  };
  TClient c(Server);
  c.Line();
  EXPECT_EQ(c.Cmd("a LOGIN \"\" \"\""), "a NO LOGIN failed");
  EXPECT_EQ(c.Cmd("b LOGIN BOB@Example.TEST secret"), "b OK LOGIN completed");
  c.Tagged("c", "SELECT INBOX");
  std::scoped_lock lock(m);
  EXPECT_EQ(users, std::vector<std::string>{"bob@example.test"});
}

TEST_F(ImapSession, CramMd5AndNtlm) {
  Server.Challenge = "<1896.697170952@postoffice.reston.mci.net>";
  TClient c(Server);
  c.Line();
  ExpectDialogue(c, {
      {"a1 AUTHENTICATE PLAIN", "a1 BAD Unrecognized authentication type"},
      {"a1 AUTHENTICATE CRAM-MD5", "+ " + B64(Server.Challenge)},
      {"*", "a1 BAD Authentication aborted"},
  });
  c.Cmd("a2 AUTHENTICATE CRAM-MD5");
  EXPECT_EQ(c.Cmd(B64("tim")), "a2 BAD Authentication aborted");
  c.Cmd("a3 AUTHENTICATE CRAM-MD5");
  ExpectDialogue(c, {
      {B64("tim 0123"), "a3 NO AUTHENTICATE failed"},
      {"a4 AUTHENTICATE NTLM", "+ "},
      {"*", "a4 BAD Authentication aborted"},
  });
  c.Cmd("a5 AUTHENTICATE CRAM-MD5");
  EXPECT_EQ(c.Cmd("dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw"), "a5 OK AUTHENTICATE completed");
  EXPECT_EQ(c.Cmd("a6 SELECT Nope"), "a6 NO Mailbox does not exist");

  auto ntlm = [this](const std::string& user, const std::string& password) {
    TClient d(Server);
    d.Line();
    EXPECT_EQ(d.Cmd("n1 AUTHENTICATE NTLM"), "+ ");
    return testsupport::NtlmExchange(d, user, password);
  };
  EXPECT_EQ(ntlm("bob@example.test", "secret"), "n1 OK AUTHENTICATE completed");
  EXPECT_EQ(ntlm("bob@example.test", "wrong"), "n1 BAD Authentication aborted");
  EXPECT_EQ(ntlm("stranger", "x"), "n1 BAD Authentication aborted");
}

TEST_F(ImapSession, CredentialsNeverReachTheLog) {
  std::mutex m;
  std::vector<std::string> log;
  Server.OnReceiveCommand = [&](TObject*, TqvCommandConnection*, TqvTcpCommandParams* p) {
    std::scoped_lock lock(m);
    log.push_back(p->Command + " " + MaskedParams(*p));
  };
  TClient c(Server);
  c.Line();
  c.Cmd("a LOGIN bob@example.test secret");
  c.Cmd("b LOGOUT");
  TClient d(Server);
  d.Line();
  d.Cmd("a AUTHENTICATE CRAM-MD5");
  d.Cmd(B64("tim 0123"));
  std::scoped_lock lock(m);
  EXPECT_EQ(log, (std::vector<std::string>{"LOGIN bob@example.test ***", "LOGOUT ", "AUTHENTICATE CRAM-MD5",
                                           "AUTHENTICATE ***"}));
}

TEST_F(ImapSession, MailBoxCommands) {
  TClient c(Server);
  LogIn(c);
  EXPECT_EQ(c.Tagged("a1", "LIST \"\" \"\""), "* LIST (\\Noselect) \"/\" \"\"|a1 OK LIST completed");
  EXPECT_EQ(c.Tagged("a2", "LIST \"\" *"), "* LIST () \"/\" \"INBOX\"|a2 OK LIST completed");
  ExpectDialogue(c, {
      {"a3 CREATE Work", "a3 OK CREATE completed"},
      {"a4 CREATE Work", "a4 NO Mailbox already exists"},
      {"a5 CREATE Work/2026", "a5 OK CREATE completed"},
  });
  EXPECT_EQ(c.Tagged("a6", "LIST \"\" %"), "* LIST () \"/\" \"INBOX\"|* LIST () \"/\" \"Work\"|a6 OK LIST completed");
  EXPECT_EQ(c.Tagged("a7", "LIST \"\" \"work/*\""), "* LIST () \"/\" \"Work/2026\"|a7 OK LIST completed");
  EXPECT_EQ(c.Tagged("a8", "LIST \"\" \"W.rk\""), "a8 OK LIST completed");
  EXPECT_EQ(c.Tagged("a9", "LSUB \"\" *"), "* LSUB () \"/\" \"INBOX\"|a9 OK LSUB completed");
  EXPECT_EQ(c.Cmd("b1 SUBSCRIBE Work"), "b1 OK SUBSCRIBE completed");
  EXPECT_EQ(c.Tagged("b1", "LSUB \"\" *"), "* LSUB () \"/\" \"INBOX\"|* LSUB () \"/\" \"Work\"|b1 OK LSUB completed");
  ExpectDialogue(c, {
      {"b2 SUBSCRIBE Nope", "b2 NO Access denied"},
      {"b3 DELETE Work", "b3 NO Access denied"},
      {"b4 DELETE Work/2026", "b4 OK DELETE completed"},
      {"b5 DELETE INBOX", "b5 NO Access denied"},
      {"b6 CREATE INBOX", "b6 NO Mailbox already exists"},
      {"b7 RENAME a a", "b7 BAD RENAME parse error"},
      {"b8 RENAME Nope X", "b8 NO Mailbox does not exist"},
      {"b9 RENAME Work INBOX", "b9 NO Mailbox already exists"},
      {"c1 RENAME Work Play", "c1 OK RENAME completed"},
      {"c2 CREATE \"\"", "c2 BAD CREATE parse error"},
      {"c3 LIST \"\"", "c3 BAD LIST parse error"},
      {"c4 CREATE \"Entw&APw-rfe\"", "c4 OK CREATE completed"},
  });
  EXPECT_EQ(Store.Boxes.count("Entw\xC3\xBCrfe"), 1u);  // UTF-8 for the store
  EXPECT_EQ(c.Tagged("c5", "LIST \"\" Entw*"), "* LIST () \"/\" \"Entw&APw-rfe\"|c5 OK LIST completed");
  // Regular-expression characters of a pattern match only themselves.
  c.Cmd("d1 CREATE \"[Gmail]\"");
  c.Cmd("d2 CREATE \"[Gmail]/Sent\"");
  c.Cmd("d3 CREATE G/x");
  EXPECT_EQ(c.Tagged("d4", "LIST \"\" \"[Gmail]/%\""), "* LIST () \"/\" \"[Gmail]/Sent\"|d4 OK LIST completed");
  EXPECT_EQ(c.Tagged("d5", "LIST \"\" \"a[\""), "d5 OK LIST completed");
  EXPECT_EQ(c.Tagged("d6", "LIST \"\" \"x|.*\""), "d6 OK LIST completed");
}

TEST_F(ImapSession, NamesThatLeaveTheAccountFolderNeverReachTheStore) {
  TClient c(Server);
  LogIn(c);
  {
    std::scoped_lock lock(Store.M);
    Store.Seen.clear();
  }
  ExpectDialogue(c, {
      {"t1 CREATE ../evil", "t1 NO Access denied"},
      {"t2 SELECT \"../alice@example.test\"", "t2 NO Mailbox does not exist"},
      {"t3 DELETE &AC4ALg-/alice@example.test", "t3 NO Access denied"},
      {"t4 RENAME INBOX ../x", "t4 NO Access denied"},
      {"t5 STATUS /etc (MESSAGES)", "t5 NO Mailbox does not exist"},
      {"t6 SUBSCRIBE a//b", "t6 NO Access denied"},
      {"t7 EXAMINE \"a\\\\b\"", "t7 NO Mailbox does not exist"},
      {"t8 CREATE /Work", "t8 NO Access denied"},
      {"t9 APPEND ../x {3}", "t9 NO [TRYCREATE] Mailbox does not exist"},
      {"u1 CREATE &AAo-", "u1 NO Access denied"},  // a line feed
  });
  std::scoped_lock lock(Store.M);
  EXPECT_TRUE(Store.Seen.empty());
}

TEST_F(ImapSession, SelectExamineAndStatusAssignUids) {
  Store.Boxes["INBOX"].Messages = {{"m1", -1, 0, {}, 0}, {"m2", -1, 0, {}, 0}};
  TClient c(Server);
  LogIn(c);
  EXPECT_EQ(c.Tagged("s1", "SELECT INBOX"),
            "* 2 EXISTS|* 2 RECENT|* OK [UNSEEN 1] first unseen|* OK [UIDVALIDITY 1770000000] UIDs valid|"
            "* OK [UIDNEXT 3] Predicted next UID|* FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft \\Recent)|"
            "* OK [PERMANENTFLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft)] .|"
            "s1 OK [READ-WRITE] SELECT completed");
  EXPECT_EQ(Store.Boxes["INBOX"].Messages[1].UID, 2);
  EXPECT_EQ(Store.Boxes["INBOX"].Item.UIDNext, 3);
  EXPECT_NE(c.Tagged("s2", "SELECT INBOX").find("* 0 RECENT|"), std::string::npos);
  EXPECT_NE(c.Tagged("s3", "EXAMINE INBOX").find("s3 OK [READ-ONLY] EXAMINE completed"), std::string::npos);
  EXPECT_EQ(c.Cmd("s4 SELECT Nope"), "s4 NO Mailbox does not exist");
  EXPECT_EQ(c.Tagged("s5", "STATUS INBOX (MESSAGES RECENT UIDNEXT UIDVALIDITY UNSEEN)"),
            "* STATUS \"INBOX\" (MESSAGES 2 RECENT 0 UIDNEXT 3 UIDVALIDITY 1770000000 UNSEEN 2)|"
            "s5 OK STATUS completed");
  EXPECT_EQ(c.Cmd("s6 STATUS INBOX"), "s6 BAD STATUS parse error");
  {
    // Another session gave UID 7 after this mailbox item was last written.
    std::scoped_lock lock(Store.M);
    Store.Boxes["INBOX"].Messages.push_back({"m3", 7, 0, {}, 0});
    Store.Boxes["INBOX"].Messages.push_back({"m4", -1, 0, {}, 0});
  }
  EXPECT_EQ(c.Tagged("s6", "STATUS INBOX (UIDNEXT)"), "* STATUS \"INBOX\" (UIDNEXT 9)|s6 OK STATUS completed");
  EXPECT_EQ(Store.Boxes["INBOX"].Messages[3].UID, 8);
  EXPECT_EQ(c.Cmd("s7 STATUS Nope (MESSAGES)"), "s7 NO Mailbox does not exist");
  // A name with a quote is escaped in the reply.
  c.Cmd("s8 CREATE \"say \\\"hi\\\"\"");
  EXPECT_EQ(c.Tagged("s9", "STATUS \"say \\\"hi\\\"\" (MESSAGES)"),
            "* STATUS \"say \\\"hi\\\"\" (MESSAGES 0)|s9 OK STATUS completed");
}

TEST_F(ImapSession, AppendTakesItsLiteralWithinBounds) {
  Server.SetMaxDataSize(1000);
  TClient c(Server);
  LogIn(c);
  ExpectDialogue(c, {
      {"p1 APPEND INBOX (\\Seen) {11}", "+ Ready for append literal"},
      // The reply names the UID the message got at once.
      {"Hello world", "p1 OK [APPENDUID 1770000000 1] APPEND completed"},
      {"p2 APPEND INBOX {0}", "p2 BAD APPEND parse error"},
      {"p3 APPEND INBOX (\\Seen)", "p3 BAD APPEND parse error"},
      {"p4 APPEND Nope {5}", "p4 NO [TRYCREATE] Mailbox does not exist"},
      {"p5 APPEND INBOX {abc}", "p5 BAD APPEND parse error"},
      {"p6 APPEND INBOX {-5}", "p6 BAD APPEND parse error"},
      {"p7 APPEND INBOX {1001}", "p7 BAD APPEND parse error"},
      // The IMAP date-time form, and a message ending in an empty line.
      {"p8 APPEND \"INBOX\" () \"05-Mar-2026 09:04:07 +0000\" {19}", "+ Ready for append literal"},
  });
  c.Send("Subject: a\r\n\r\nx\r\n\r\n\r\n");
  EXPECT_EQ(c.Line(), "p8 OK [APPENDUID 1770000000 2] APPEND completed");
  EXPECT_EQ(c.Cmd("p9 NOOP"), "p9 OK NOOP completed");
  // Into the selected mailbox, the session hears of the new message first,
  // and it is recent there (the SELECT took the first two).
  EXPECT_NE(c.Tagged("q1", "SELECT INBOX").find("* 2 RECENT"), std::string::npos);
  EXPECT_EQ(c.Cmd("q2 APPEND INBOX {2}"), "+ Ready for append literal");
  c.Send("hi\r\n");
  EXPECT_EQ(c.Line(), "* 3 EXISTS");
  EXPECT_EQ(c.Line(), "* 3 RECENT");
  EXPECT_EQ(c.Line(), "q2 OK [APPENDUID 1770000000 3] APPEND completed");
  std::scoped_lock lock(Store.M);
  const auto& messages = Store.Boxes["INBOX"].Messages;
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0].Lines, std::vector<std::string>{"Hello world"});
  EXPECT_EQ(messages[0].Flags, MessageFlag(mfSeen));
  // Only the CR LF that ends the command line is dropped.
  EXPECT_EQ(messages[1].Lines, (std::vector<std::string>{"Subject: a", "", "x", ""}));
  EXPECT_EQ(DateTimeToUnix(LocalToUTC(messages[1].Date)), 1772701447);
}

TEST_F(ImapSession, CurlUsesLoginWhereNoMechanismIsOffered) {
  if (std::system("command -v curl >/dev/null 2>&1") != 0) GTEST_SKIP() << "curl is not installed";
  Server.SetUseAuth(imUseIMAPLogin);
  Server.Capabilities().Clear();
  std::mutex m;
  std::vector<std::string> commands;
  Server.OnReceiveCommand = [&](TObject*, TqvCommandConnection*, TqvTcpCommandParams* p) {
    std::scoped_lock lock(m);
    commands.push_back(p->Command);
  };
  Start();
  const std::string cmd = "curl -sS --max-time 20 imap://127.0.0.1:" + std::to_string(Server.BoundPort()) +
                          "/ -u 'quote:a\\b\"c' 2>&1";
  std::string out;
  if (FILE* f = popen(cmd.c_str(), "r")) {
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
    pclose(f);
  }
  EXPECT_NE(out.find("* LIST () \"/\" \"INBOX\""), std::string::npos) << out;
  std::scoped_lock lock(m);
  EXPECT_NE(std::find(commands.begin(), commands.end(), "LOGIN"), commands.end());
}

TEST_F(ImapSession, RepliesAsRfc3501AsksWhereClientsTrip) {
  Store.Add("Sent/2026", false);
  TClient c(Server);
  LogIn(c);
  // A failed SELECT leaves no mailbox selected.
  c.Tagged("v1", "SELECT INBOX");
  ExpectDialogue(c, {
      {"v2 SELECT Nope", "v2 NO Mailbox does not exist"},
      {"v3 SEARCH ALL", "v3 BAD Bad state for SEARCH"},
      // A trailing separator is no part of the name.
      {"v4 CREATE Work/", "v4 OK CREATE completed"},
  });
  EXPECT_EQ(Store.Boxes.count("Work"), 1u);
  // LSUB "%" shows the unsubscribed parent of a subscribed child.
  EXPECT_EQ(c.Cmd("v5 SUBSCRIBE Sent/2026"), "v5 OK SUBSCRIBE completed");
  EXPECT_EQ(c.Tagged("v6", "LSUB \"\" %"),
            "* LSUB () \"/\" \"INBOX\"|* LSUB (\\Noselect) \"/\" \"Sent\"|v6 OK LSUB completed");
  EXPECT_EQ(c.Tagged("v7", "LSUB \"\" *"), "* LSUB () \"/\" \"INBOX\"|* LSUB () \"/\" \"Sent/2026\"|v7 OK LSUB completed");
}

TEST_F(ImapSession, LiteralsStandForAnyStringAndNeverRunAsCommands) {
  Store.Boxes["INBOX"].Messages = {{"m1", 1, 0, {"Subject: two words here", "", "x"}, 0}};
  TClient c(Server);
  c.Line();
  // The rest of a command line after its literal, up to the tagged reply.
  const auto rest = [&](const std::string& ATag, const std::string& AText) {
    c.Send(AText + "\r\n");
    std::string all;
    for (;;) {
      const std::string l = c.Line();
      all += (all.empty() ? "" : "|") + l;
      if (l.empty() || l.rfind(ATag + " ", 0) == 0 || l.rfind("+ ", 0) == 0) return all;
    }
  };
  // The user name and the password as literals.
  EXPECT_EQ(c.Cmd("l1 LOGIN {16}"), "+ Ready for literal data");
  EXPECT_EQ(rest("l1", "bob@example.test {6}"), "+ Ready for literal data");
  EXPECT_EQ(rest("l1", "secret"), "l1 OK LOGIN completed");
  // A mailbox name as a literal, with a blank and a quote in it.
  EXPECT_EQ(c.Cmd("l2 CREATE {5}"), "+ Ready for literal data");
  EXPECT_EQ(rest("l2", "a \"b\""), "l2 OK CREATE completed");
  EXPECT_EQ(Store.Boxes.count("a \"b\""), 1u);
  EXPECT_EQ(c.Cmd("l3 SELECT {5}"), "+ Ready for literal data");
  EXPECT_NE(rest("l3", "INBOX").find("l3 OK [READ-WRITE] SELECT completed"), std::string::npos);
  // A literal's bytes are an argument, never a command, whatever they say.
  const std::string inside = "x\r\nl5 LOGOUT";
  EXPECT_EQ(c.Cmd("l4 SEARCH CHARSET UTF-8 SUBJECT {" + std::to_string(inside.size()) + "}"),
            "+ Ready for literal data");
  EXPECT_EQ(rest("l4", inside), "* SEARCH |l4 OK SEARCH completed");
  EXPECT_EQ(c.Cmd("l6 SEARCH SUBJECT {10}"), "+ Ready for literal data");
  EXPECT_EQ(rest("l6", "words here"), "* SEARCH 1|l6 OK SEARCH completed");
  // APPEND with its mailbox as a literal still takes its message.
  EXPECT_EQ(c.Cmd("l7 APPEND {5}"), "+ Ready for literal data");
  EXPECT_EQ(rest("l7", "INBOX {2}"), "+ Ready for append literal");
  EXPECT_NE(rest("l7", "hi").find("l7 OK"), std::string::npos);
  // Refused before the client sends it: too large for a command line, or
  // the wrong state.
  ExpectDialogue(c, {
      {"l8 CREATE {99999}", "l8 BAD Literal too large"},
      {"l9 LOGIN {3}", "l9 BAD Bad state for LOGIN"},
      {"m1 NOOP", "m1 OK NOOP completed"},
  });
}

// Literals take over the input wherever a read ends, also when the client
// sends them without waiting for the server's prompt.
TEST_F(ImapSession, ASessionFedOneByteAtATimeGetsTheRepliesOfOneFedAtOnce) {
  Store.Boxes["INBOX"].Messages = {{"m1", 1, 0, {"Subject: two words here", "", "x"}, 0}};
  const std::string script =
      "l1 LOGIN {16}\r\nbob@example.test {6}\r\nsecret\r\nl2 SELECT {5}\r\nINBOX\r\n"
      "l3 SEARCH SUBJECT {10}\r\nwords here\r\nl4 FETCH 1 (FLAGS RFC822.SIZE)\r\nl5 LIST \"\" *\r\nl6 LOGOUT\r\n";
  (void)testsupport::SessionOutput(Server, script, false);  // the first SELECT takes \Recent
  const std::string whole = testsupport::SessionOutput(Server, script, false);
  EXPECT_EQ(testsupport::SessionOutput(Server, script, true), whole);
  for (const char* reply : {"l1 OK LOGIN completed", "l2 OK [READ-WRITE] SELECT completed", "* SEARCH 1",
                            "l4 OK FETCH completed", "l6 OK LOGOUT completed"})
    EXPECT_NE(whole.find(reply), std::string::npos) << reply << "\n" << whole;
}

TEST_F(ImapSession, AnOverLongLineIsAnsweredBeforeTheConnectionCloses) {
  TClient c(Server);
  LogIn(c);
  c.Send("a1 NOOP " + std::string(70 * 1024, 'x') + "\r\n");
  EXPECT_EQ(c.Line(), "* BYE Command line too long");
  c.ReadUntil("\x01never", 2000);
  EXPECT_TRUE(c.Eof);
}

TEST(ImapSessionTimeOut, ThirtyMinutesAndAByeBeforeTheClose) {
  TServer server;
  EXPECT_EQ(server.SessionTimeOut(), 30 * 60 * 1000);
  server.SetSessionTimeOut(5000);
  testsupport::StartOnFreePort(server);
  TClient c(server.BoundPort());
  c.Line();
  EXPECT_EQ(c.ReadUntil("\r\n", 15000), "* BYE Autologout; idle for too long\r\n");
  c.ReadUntil("\x01never", 2000);
  EXPECT_TRUE(c.Eof);
  server.Stop();
}

TEST_F(ImapSession, ATagWithoutACommandIsAnsweredWithItsTag) {
  TClient c(Server);
  c.Line();
  c.Send(std::string("a \x00\x00\x00\r\n", 8));
  EXPECT_EQ(c.Line(), "a BAD Invalid command");
  c.Send("b \x01\x7f\t \r\n");
  EXPECT_EQ(c.Line(), "b BAD Invalid command");
  c.Send("c \x01X\r\n");
  EXPECT_EQ(c.Line(), "c BAD Invalid command");
  EXPECT_EQ(c.Cmd("NOOP"), "* OK NOOP completed");
}

TEST_F(ImapSession, MalformedModifiedUtf7NamesAreRefused) {
  TClient c(Server);
  LogIn(c);
  for (const char* name : {"&Jjo", "&Jjo!-", "&AGE-", "&2D0-", "&Jj-", "a\xff", "&,,,,-"})
    EXPECT_EQ(c.Cmd(std::string("c CREATE \"") + name + "\""), "c NO Access denied") << name;
  ExpectDialogue(c, {
      {"c CREATE \"&Jjo-&AOQ-\"", "c OK CREATE completed"},
      {"d COPY 1 \"&Jjo\"", "d BAD Bad state for COPY"},
      {"s SELECT \"&Jjo\"", "s NO Mailbox does not exist"},
  });
}
