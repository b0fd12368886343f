// The POP3 file store: what a maildrop listing takes, numbering, UIDs, byte
// transparency, unsafe user names, 64-bit sizes, files gone under a session;
// through memory sessions, except where the socket's write events matter.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Pop3TestSupport.h"
#include "qvMailBoxFiles.h"
#include "qvStringsUtils.h"

#include <chrono>
#include <future>

using pop3test::TClient;
class Pop3Store : public pop3test::TPop3Session {};
using pop3test::WriteFile;
using testsupport::ExpectDialogue;

TEST(Pop3StoreNames, UidAndSafeUserNames) {
  EXPECT_EQ(TqvPop3FileHandler::GetMessageUID("MAIL 1.MSG", 10), "MAIL_1:MSG:10");
  EXPECT_EQ(TqvPop3FileHandler::GetMessageUID("mail00000001.msg", 1234), "MAIL00000001:MSG:1234");
  for (const char* bad : {"", ".", "..", "a/b", "a\\b", "../alice", "a\tb", "a\x7f"})
    EXPECT_FALSE(IsSafeMailBoxUserName(bad)) << bad;
  EXPECT_FALSE(IsSafeMailBoxUserName(std::string("a\0b", 3)));
  EXPECT_TRUE(IsSafeMailBoxUserName("bob@example.test"));
  EXPECT_TRUE(IsSafeMailBoxUserName("..bob"));
  // A code page 936 name becomes its UTF-8 folder name.
  EXPECT_EQ(MailBoxFolderName("\xD5\xC5\xC8\xFD"), "\xE5\xBC\xA0\xE4\xB8\x89");
  EXPECT_EQ(MailBoxFolderName("bob@example.test"), "bob@example.test");
  EXPECT_EQ(MailBoxFolderName(".."), "");
  // 0x5C as the second byte of a double-byte character is no separator.
  EXPECT_EQ(MailBoxFolderName("\xD6\xBE\xD5\x5C@example.test"), "\xE5\xBF\x97\xE8\xAA\xA0@example.test");
  EXPECT_EQ(MailBoxFolderName("\x9C\x5C"), "\xE6\xB7\xBA");
  EXPECT_EQ(MailBoxFolderName("a\\b"), "");
  EXPECT_EQ(MailBoxFolderName("a\x01"), "");
  TqvPop3FileHandler store;
  store.SetMailBoxDir("/m");
  EXPECT_EQ(store.GetMailBoxPath("bob"), "/m/bob/");
  EXPECT_EQ(store.GetMailBoxPath("../bob"), "");
  store.SetMailBoxDir("");
  EXPECT_EQ(store.GetMailBoxPath("bob"), "bob/");
}

TEST(Pop3MessageList, CountsSkipMarkedMessagesAndIndexesAreChecked) {
  TqvPop3MessageList box;
  box.Add(std::make_unique<TqvPop3MessageItem>("a", 10));
  box.Add(std::make_unique<TqvPop3MessageItem>("b", 5LL << 30));
  box.MarkDeleted(1);
  EXPECT_EQ(box.ActiveCount(), 1);
  EXPECT_EQ(box.ActiveSize(), 5LL << 30);
  EXPECT_FALSE(box.IsValid(1));
  EXPECT_TRUE(box.IsValid(2));
  EXPECT_FALSE(box.IsValid(3));
  for (int bad : {-1, 2}) {
    try {
      (void)box.Items(bad);
      ADD_FAILURE() << bad;
    } catch (const EListError& e) {
      EXPECT_EQ(std::string(e.what()), "List index out of bounds (" + std::to_string(bad) + ")");
    }
  }
  box.UnmarkAll();
  EXPECT_EQ(box.ActiveCount(), 2);
}

TEST_F(Pop3Store, ListingTakesRegularMsgFilesInNameOrder) {
  WriteFile(AliceDir + "MAIL00000010.msg", "Subject: ten\r\n\r\nx\r\n");  // 19 bytes, lower-case extension
  WriteFile(AliceDir + "MAIL 1.MSG", "0123456789");
  WriteFile(AliceDir + "notes.txt", "not mail");
  WriteFile(AliceDir + "vxtmp-abc", "half written");
  std::filesystem::create_directory(AliceDir + "folder.MSG");
  WriteFile(Dir.Dir() + "outside.MSG", "secret");
  std::filesystem::create_symlink(Dir.Dir() + "outside.MSG", AliceDir + "link.MSG");
  TClient c(Server);
  EXPECT_EQ(c.Login("alice@example.com", "secret"), "+OK 4 messages (620 octets)");
  EXPECT_EQ(c.Multi("UIDL"),
            "+OK\r\n1 MAIL_1:MSG:10\r\n2 MAIL00000002:MSG:91\r\n3 MAIL00000003:MSG:500\r\n"
            "4 MAIL00000010:MSG:19\r\n.\r\n");
}

TEST_F(Pop3Store, HiddenMessagesAreRenumberedAndMissingFoldersAreEmpty) {
  Store.OnLoadMessage = [](TObject*, TqvPop3CommandConnection*, const std::string& path, const std::string& file,
                           bool& load) {
    EXPECT_EQ(path.back(), '/');
    load = file != "MAIL00000002.MSG";
  };
  {
    TClient c(Server);
    EXPECT_EQ(c.Login("alice@example.com", "secret"), "+OK 1 messages (500 octets)");
    EXPECT_EQ(c.Multi("LIST"), "+OK 1 500\r\n1 500\r\n.\r\n");
    EXPECT_EQ(c.Cmd("UIDL 1"), "+OK 1 MAIL00000003:MSG:500");
    EXPECT_EQ(c.Multi("RETR 1").substr(0, 21), "+OK 500\r\nSubject: m\r\n");
  }
  TClient t(Server);
  EXPECT_EQ(t.Login("tim", "tanstaaftanstaaf"), "+OK 0 messages (0 octets)");
}

TEST_F(Pop3Store, UnsafeUserNamesGetAnEmptyMaildrop) {
  // Messages right in the mailbox root and in a sibling of it.
  WriteFile(Dir.Dir() + "MAIL00000001.MSG", "root");
  TqvMailUserAccountItem* up = Server.UserAccounts().Add();
  up->SetUserName("..");
  up->SetPassword("pw");
  TqvMailUserAccountItem* slash = Server.UserAccounts().Add();
  slash->SetUserName("x/../alice@example.com");
  slash->SetPassword("pw");
  for (const char* user : {"..", "x/../alice@example.com"}) {
    TClient c(Server);
    EXPECT_EQ(c.Login(user, "pw"), "+OK 0 messages (0 octets)") << user;
  }
}

TEST_F(Pop3Store, RetrIsByteTransparentAndSizesAre64Bit) {
  std::filesystem::remove(AliceDir + "MAIL00000003.MSG");
  const std::string eight = "Subject: \xE4\xF6\xFC\r\n\r\nline\rlone CR\r\n\xC3\xA9t\xE9\r\n";
  WriteFile(AliceDir + "MAIL00000004.MSG", eight);
  // A sparse 5 GiB file: its size must not wrap in STAT and LIST.
  const std::string big = AliceDir + "MAIL00000009.MSG";
  WriteFile(big, "");
  ASSERT_EQ(::truncate(big.c_str(), 5LL << 30), 0);
  TClient c(Server);
  const int64_t total = 91 + static_cast<int64_t>(eight.size()) + (5LL << 30);
  EXPECT_EQ(c.Login("alice@example.com", "secret"), "+OK 3 messages (" + std::to_string(total) + " octets)");
  EXPECT_EQ(c.Cmd("LIST 3"), "+OK 3 5368709120");
  const std::string expected = "Subject: \xE4\xF6\xFC\r\n\r\nline\r\nlone CR\r\n\xC3\xA9t\xE9\r\n";
  EXPECT_EQ(c.Multi("RETR 2"), "+OK " + std::to_string(expected.size()) + "\r\n" + expected + ".\r\n");
}

TEST_F(Pop3Store, FilesGoneOrSwappedForLinksDuringASession) {
  TClient c(Server);
  EXPECT_EQ(c.Login("alice@example.com", "secret"), "+OK 2 messages (591 octets)");
  std::filesystem::remove(AliceDir + "MAIL00000002.MSG");
  WriteFile(Dir.Dir() + "outside.MSG", "secret\r\n");
  std::filesystem::remove(AliceDir + "MAIL00000003.MSG");
  std::filesystem::create_symlink(Dir.Dir() + "outside.MSG", AliceDir + "MAIL00000003.MSG");
  EXPECT_EQ(c.Multi("LIST"), "+OK 2 591\r\n1 91\r\n2 500\r\n.\r\n");  // the listing is the login's
  ExpectDialogue(c, {
      {"RETR 1", "-ERR no such message"},
      {"TOP 2 0", "-ERR no such message"},
      {"DELE 2", "+OK message 2 deleted"},
  });
  EXPECT_EQ(c.Cmd("QUIT").substr(0, 4), "+OK ");  // even though nothing could be deleted as such
  EXPECT_TRUE(std::filesystem::exists(Dir.Dir() + "outside.MSG"));
}

TEST_F(Pop3Store, AccountWhoseNameHasA5CTrailByteSeesItsMail) {
  TqvMailUserAccountItem* a = Server.UserAccounts().Add();
  a->SetUserName("\xD6\xBE\xD5\x5C");
  a->SetPassword("pw");
  const std::string folder = Dir.Dir() + "\xE5\xBF\x97\xE8\xAA\xA0/";
  std::filesystem::create_directories(folder);
  WriteFile(folder + "MAIL00000007.MSG", "Subject: x\r\n\r\nbody\r\n");
  TClient c(Server);
  EXPECT_EQ(c.Login("\xD6\xBE\xD5\x5C", "pw"), "+OK 1 messages (20 octets)");
}

TEST_F(Pop3Store, LargeMessageIsStreamedAsItsLinesWouldBeSent) {
  // Past the size read in one go: sent in pieces of 256 KiB, with a dot
  // line right at the first piece's start, a CR LF cut by the second, bare
  // line breaks, and no line break at the end.
  constexpr size_t kPiece = 256 * 1024;
  std::string text = "Subject: big\r\n\r\n";
  while (text.size() < kPiece - 1) text += std::string(70, 'b') + "\r\n";
  text.resize(kPiece - 1);
  text += "\n.\r\n";
  while (text.size() < 2 * kPiece - 1) text += ".x" + std::string(60, 'c') + "\n";
  text.resize(2 * kPiece - 1);
  text += "\r\n";
  // Several megabytes: more than the socket takes at once, so the sending
  // goes on from write events (over loopback, for that reason).
  while (text.size() < 24 * kPiece) text += std::string(61, 'd') + "\r";
  text += "end";
  WriteFile(AliceDir + "MAIL00000009.MSG", text);
  std::string expected;
  {
    TStringList lines;
    TStringStream stream(text);
    LoadStringsFromStream(stream, lines);
    for (int i = 0; i < lines.Count(); ++i) {
      const std::string line = lines.Strings(i);
      expected += (line.starts_with(".") ? "." : "") + line + "\r\n";
    }
    expected = "+OK " + std::to_string(lines.Text().size()) + "\r\n" + expected + ".\r\n";
  }
  Start();
  TClient c(Server.BoundPort());
  EXPECT_EQ(c.Login("alice@example.com", "secret").substr(0, 16), "+OK 3 messages (");
  const std::string got = c.Multi("RETR 3");
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
  EXPECT_EQ(c.Cmd("NOOP"), "+OK");  // the response ended where it should
  // TOP reads no further than the lines it sends.
  const std::string line = std::string(70, 'b') + "\r\n";
  EXPECT_EQ(c.Multi("TOP 3 2"), "+OK\r\nSubject: big\r\n\r\n" + line + line + ".\r\n");
  EXPECT_EQ(c.Multi("TOP 3 -1"), "+OK\r\nSubject: big\r\n\r\n.\r\n");
}

TEST_F(Pop3Store, MarkedFilesGoAfterTheServerLockAtQuit) {
  // Under the server lock (where OnStateChanged fires) nothing is deleted,
  // and another thread can take that lock while the files go.
  const TqvPop3ConnectionEvent storeHandler = Server.OnStateChanged;
  bool presentUnderLock = false;
  bool lockFreeAfter = false;
  Server.OnStateChanged = [&](TObject* ASender, TqvPop3CommandConnection* c) {
    storeHandler(ASender, c);
    if (c->State() != psUpdate) return;
    presentUnderLock = std::filesystem::exists(AliceDir + "MAIL00000002.MSG");
    c->AfterStateChange([&] {
      auto other = std::async(std::launch::async, [&] { (void)Server.ServerLock(); });
      lockFreeAfter = other.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    });
  };
  TClient c(Server);
  EXPECT_EQ(c.Login("alice@example.com", "secret"), "+OK 2 messages (591 octets)");
  EXPECT_EQ(c.Cmd("DELE 1"), "+OK message 1 deleted");
  EXPECT_EQ(c.Cmd("QUIT").substr(0, 4), "+OK ");
  EXPECT_TRUE(presentUnderLock);
  EXPECT_TRUE(lockFreeAfter);
  // The deletion is done by the time QUIT is answered.
  EXPECT_FALSE(std::filesystem::exists(AliceDir + "MAIL00000002.MSG"));
  EXPECT_TRUE(std::filesystem::exists(AliceDir + "MAIL00000003.MSG"));
}

TEST_F(Pop3Store, AccountFolderReplacedDuringASessionIsNeverServedStale) {
  TClient c(Server);
  EXPECT_EQ(c.Login("alice@example.com", "secret"), "+OK 2 messages (591 octets)");
  const std::string first = c.Multi("RETR 1");
  EXPECT_EQ(first.substr(0, 8), "+OK 91\r\n");
  EXPECT_EQ(c.Multi("RETR 1"), first);  // served again from the same folder
  const std::string aside = Dir.Dir() + "aside";
  const std::string folder = AliceDir.substr(0, AliceDir.size() - 1);
  // The folder moved away and a link to it put in its place: not followed.
  std::filesystem::rename(folder, aside);
  std::filesystem::create_directory_symlink(aside, folder);
  EXPECT_EQ(c.Cmd("RETR 1"), "-ERR no such message");
  EXPECT_EQ(c.Cmd("TOP 2 0"), "-ERR no such message");
  // A new real folder in its place is the one served, not the old one.
  std::filesystem::remove(folder);
  std::filesystem::create_directory(folder);
  WriteFile(AliceDir + "MAIL00000002.MSG", "Subject: new\r\n\r\nnew\r\n");
  EXPECT_EQ(c.Multi("RETR 1"), "+OK 21\r\nSubject: new\r\n\r\nnew\r\n.\r\n");
  EXPECT_EQ(c.Cmd("RETR 2"), "-ERR no such message");
  // Gone altogether.
  std::filesystem::remove_all(folder);
  EXPECT_EQ(c.Cmd("RETR 1"), "-ERR no such message");
  std::filesystem::rename(aside, folder);
  EXPECT_EQ(c.Multi("RETR 1"), first);
}

// A marked message whose file cannot be removed (here a folder has taken
// its name) is reported with its path and the system's words, the others
// still go, and QUIT answers -ERR as RFC 1939 section 6 allows.
TEST_F(Pop3Store, FailedRemovalAtQuitIsReportedAndAnsweredWithErr) {
  std::vector<std::string> errors;
  Store.OnStoreError = [&](TObject*, const std::exception& E) { errors.emplace_back(E.what()); };
  TClient c(Server);
  EXPECT_EQ(c.Login("alice@example.com", "secret"), "+OK 2 messages (591 octets)");
  EXPECT_EQ(c.Cmd("DELE 1"), "+OK message 1 deleted");
  EXPECT_EQ(c.Cmd("DELE 2"), "+OK message 2 deleted");
  const std::string stuck = AliceDir + "MAIL00000003.MSG";
  std::filesystem::remove(stuck);
  std::filesystem::create_directory(stuck);
  WriteFile(stuck + "/inside", "x");
  EXPECT_EQ(c.Cmd("QUIT"), "-ERR some deleted messages not removed");
  EXPECT_FALSE(std::filesystem::exists(AliceDir + "MAIL00000002.MSG"));
  EXPECT_TRUE(std::filesystem::exists(stuck));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].find("Cannot delete file \"" + stuck + "\": "), 0u) << errors[0];
  EXPECT_GT(errors[0].size(), std::string("Cannot delete file \"" + stuck + "\": ").size());

  // A clean session still says +OK.
  errors.clear();
  TClient again(Server);
  EXPECT_EQ(again.Login("alice@example.com", "secret"), "+OK 0 messages (0 octets)");
  EXPECT_EQ(again.Cmd("QUIT").substr(0, 4), "+OK ");
  EXPECT_TRUE(errors.empty());
}
