// The IMAP4 file store driven through its event handlers against a
// temporary mailbox folder: the state files' bytes, listings, mailbox
// operations and their refusals, append numbering, two sessions on one
// mailbox, stale entries, crash safety of the state files, hostile names.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "ImapStoreSupport.h"
#include "qvFileUtils.h"

using namespace imapstoretest;

TEST_F(ImapStore, FirstListingWritesInboxSettings) {
  ASSERT_EQ(Names(), std::vector<std::string>{"INBOX"});
  const std::string bytes = ReadFileBytes(Bob + "imap.dat");
  ASSERT_GE(bytes.size(), 8u);
  // version 1, subscribed, UIDNext 1, a short string, LastMessageNumber 0
  EXPECT_EQ(bytes.substr(0, 6), std::string("\x02\x01\x09\x02\x01\x06", 6));
  EXPECT_EQ(bytes.substr(bytes.size() - 2), std::string("\x02\x00", 2));
  const unsigned long long validity = std::stoull(Settings(Bob).UIDValidity);
  EXPECT_GE(validity, 1u);
  EXPECT_LE(validity, 4294967295u);

  // A mailbox looked up alone first is not subscribed; nor is one listed.
  fs::create_directories(Bob + "Work/2026");
  TqvImap4MailBoxList one;
  Store.GetMailBoxes(nullptr, nullptr, "Work", one);
  ASSERT_EQ(one.Count(), 1);
  EXPECT_FALSE(one.Items(0)->Subscribed);
  EXPECT_EQ(ReadFileBytes(Bob + "Work/imap.dat")[2], '\x08');
  EXPECT_EQ(Names(), (std::vector<std::string>{"INBOX", "Work", "Work/2026"}));
}

TEST_F(ImapStore, InboxAlwaysExistsButNotForUnsafeUsers) {
  Store.User = "new@example.test";
  TSelect s;
  SelectRead(s);
  EXPECT_EQ(s.Messages.Count(), 0);
  EXPECT_TRUE(fs::is_directory(Dir.Dir() + "mail/new@example.test"));

  const auto before = Tree();
  for (const char* user : {"", ".", "..", "../alice@example.test", "a/b", "x\ty"}) {
    Store.User = user;
    EXPECT_TRUE(Names().empty()) << user;
    EXPECT_FALSE(Append("INBOX", "x")) << user;
  }
  Store.User = "bob@example.test";
  Store.SetMailBoxDir("");
  EXPECT_TRUE(Names().empty());
  EXPECT_EQ(Tree(), before);
}

TEST_F(ImapStore, NewMessagesGetUidsOnce) {
  WriteFileBytes(Bob + "MAIL00000002.MSG", "Subject: a\r\n\r\nx\r\n");
  TSelect first;
  SelectRead(first);
  ASSERT_EQ(first.Messages.Count(), 1);
  EXPECT_EQ(first.Messages.Items(0)->UID, 1);
  SelectWrite(first);
  TqvImap4MessageList stored;
  Entries(Bob, stored);
  ASSERT_EQ(stored.Count(), 1);
  EXPECT_EQ(stored.Items(0)->Name, "MAIL00000002.MSG");
  EXPECT_EQ(stored.Items(0)->UID, 1);
  EXPECT_EQ(stored.Items(0)->Flags, MessageFlag(mfRecent));
  EXPECT_NE(ReadFileBytes(Bob + "messages.dat").find(std::string("\x06\x07\\Recent", 9)), std::string::npos);
  EXPECT_EQ(Settings(Bob).UIDNext, 2);

  TSelect second;
  SelectRead(second);
  EXPECT_EQ(second.Messages.Items(0)->UID, 1);
  EXPECT_EQ(second.Messages.Items(0)->Flags, 0);
}

TEST_F(ImapStore, ListingsTakeRealFoldersAndRegularFilesOnly) {
  fs::create_directories(Bob + "a/b/c");
  fs::create_directories(Bob + "folder.MSG");
  fs::create_directory_symlink(Alice, Bob + "alice");
  WriteFileBytes(Bob + "MAIL00000001.MSG", "one\r\n");
  fs::create_symlink(Alice + "MAIL00000001.MSG", Bob + "MAIL00000002.MSG");
  EXPECT_EQ(Names(), (std::vector<std::string>{"INBOX", "a", "a/b", "a/b/c", "folder.MSG"}));
  TSelect s;
  SelectRead(s, "a/b/c");
  SelectRead(s);
  ASSERT_EQ(s.Messages.Count(), 1);
  EXPECT_EQ(s.Messages.Items(0)->Name, Bob + "MAIL00000001.MSG");
  // A link is not a mailbox either when named.
  TqvImap4MailBoxList boxes;
  Store.GetMailBoxes(nullptr, nullptr, "alice", boxes);
  EXPECT_EQ(boxes.Count(), 0);
}

TEST_F(ImapStore, MailBoxOperations) {
  bool ok = true;
  Store.CreateMailBox(nullptr, nullptr, "Work/2026", ok);
  EXPECT_TRUE(ok && fs::is_directory(Bob + "Work/2026"));
  Store.CreateMailBox(nullptr, nullptr, "Work", ok);
  EXPECT_FALSE(ok);  // exists
  for (const char* inbox : {"INBOX", "inbox"}) {
    Store.CreateMailBox(nullptr, nullptr, inbox, ok);
    EXPECT_FALSE(ok);
    Store.DeleteMailBox(nullptr, nullptr, inbox, ok);
    EXPECT_FALSE(ok);
    Store.RenameMailBox(nullptr, nullptr, inbox, "X", ok);
    EXPECT_FALSE(ok);
    Store.RenameMailBox(nullptr, nullptr, "Work", inbox, ok);
    EXPECT_FALSE(ok);
  }
  Store.DeleteMailBox(nullptr, nullptr, "Work", ok);
  EXPECT_FALSE(ok);  // has a sub-folder
  Store.RenameMailBox(nullptr, nullptr, "Work/2026", "Nope/2026", ok);
  EXPECT_FALSE(ok);  // missing parent
  Store.RenameMailBox(nullptr, nullptr, "Work", "Play", ok);
  EXPECT_TRUE(ok);
  Store.DeleteMailBox(nullptr, nullptr, "Play/2026", ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(Names(), (std::vector<std::string>{"INBOX", "Play"}));

  // Names on disk are UTF-8; "messages.dat" names the message file alone.
  Store.CreateMailBox(nullptr, nullptr, "Entw\xC3\xBCrfe", ok);
  EXPECT_TRUE(ok && fs::is_directory(Bob + "Entw\xC3\xBCrfe"));
  EXPECT_TRUE(Append("Entw\xC3\xBCrfe", "x"));
  const std::string entries = ReadFileBytes(Bob + "Entw\xC3\xBCrfe/messages.dat");
  EXPECT_NE(entries.find("\x06\x10MAIL00000001.MSG"), std::string::npos);
  EXPECT_EQ(entries.find("Entw"), std::string::npos);
}

TEST_F(ImapStore, HostileNamesChangeNothing) {
  fs::create_directory_symlink(Alice, Bob + "alice");
  fs::create_directories(Bob + "Work");
  const auto before = Tree();
  for (const std::string& name : std::vector<std::string>{"../alice@example.test", "..", ".", "a//b", "/etc", "Work/", "Work/..", "Work/../../alice@example.test",
        "a\\b", std::string("a\0b", 3), "a\x01", "", "alice", "alice/x"}) {
    bool ok = true;
    Store.CreateMailBox(nullptr, nullptr, name, ok);
    EXPECT_FALSE(ok) << name;
    ok = true;
    Store.DeleteMailBox(nullptr, nullptr, name, ok);
    EXPECT_FALSE(ok) << name;
    ok = true;
    Store.RenameMailBox(nullptr, nullptr, "Work", name, ok);
    EXPECT_FALSE(ok) << name;
    ok = true;
    Store.RenameMailBox(nullptr, nullptr, name, "Taken", ok);
    EXPECT_FALSE(ok) << name;
    TqvImap4MessageList messages;
    ok = true;
    Store.GetMessages(nullptr, nullptr, messages, name, ok);
    EXPECT_FALSE(ok) << name;
    EXPECT_FALSE(Append(name, "x")) << name;
  }
  // A message path from outside the mailbox is neither read nor deleted.
  TStringList source;
  bool ok = true;
  Store.GetMessageSource(nullptr, nullptr, source, Alice + "MAIL00000001.MSG", "INBOX", ok);
  EXPECT_FALSE(ok);
  TqvImap4MessageItem other;
  other.Name = Bob + "../alice@example.test/MAIL00000001.MSG";
  Store.DeleteMessage(nullptr, nullptr, other, "INBOX", ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(Tree(), before);
}

TEST_F(ImapStore, AppendTakesTheNextFreeNumber) {
  for (int i = 1; i <= 5; ++i) WriteFileBytes(Bob + "MAIL0000000" + std::to_string(i) + ".MSG", "old\r\n");
  TqvImap4MailBoxItem box;
  box.Name = "INBOX";
  box.UIDValidity = "7";
  box.LastMessageNumber = 3;
  TStringStream data;
  TqvImap4MailBoxStore(box).SaveToStream(data);
  WriteFileBytes(Bob + "imap.dat", data.DataString());
  // A stale entry for the name the message will take.
  TqvImap4MessageList entries(true);
  entries.Add(Bob + "MAIL00000006.MSG", 3, MessageFlag(mfDeleted), 1.0);
  TStringStream stale;
  TqvImap4MessageStore(entries).SaveToStream(stale);
  WriteFileBytes(Bob + "messages.dat", stale.DataString());

  ASSERT_TRUE(Append("INBOX", "Subject: new\r\n\r\n8-bit \xE4 body"));
  EXPECT_EQ(ReadFileBytes(Bob + "MAIL00000006.MSG"), "Subject: new\r\n\r\n8-bit \xE4 body\r\n");
  EXPECT_EQ(Settings(Bob).LastMessageNumber, 6);
  EXPECT_EQ(Settings(Bob).UIDValidity, "7");
  EXPECT_NEAR(GetFileDateTime(Bob + "MAIL00000006.MSG"), 46083.5, 1e-6);
  TqvImap4MessageList stored;
  Entries(Bob, stored);
  // Its UID, above every one given (the stale entry's too), is on disk with
  // the message, and UIDNext covers it.
  ASSERT_EQ(stored.Count(), 1);
  EXPECT_EQ(stored.Items(0)->UID, 4);
  EXPECT_EQ(stored.Items(0)->Flags, MessageFlag(mfSeen) | MessageFlag(mfRecent));
  EXPECT_EQ(Settings(Bob).UIDNext, 5);
  for (const auto& e : fs::directory_iterator(Bob))
    EXPECT_EQ(e.path().filename().string().rfind("vxtmp-", 0), std::string::npos);
}

TEST_F(ImapStore, AppendWithTheMessageCounterNeverTakesAnExistingOrEarlierName) {
  int counter = 2000;
  Store.OnNewMessageNumber = [&](TObject*, int& ANumber) { ANumber = ++counter; };
  // More than a thousand consecutive files above LastMessageNumber (which
  // the folder's own numbering could not get past), and one at the
  // counter's next number put there by other means.
  char name[32];
  for (int i = 1; i <= 1001; ++i) {
    std::snprintf(name, sizeof name, "MAIL%.8d.MSG", i);
    WriteFileBytes(Bob + name, "x\r\n");
  }
  WriteFileBytes(Bob + "MAIL00002001.MSG", "other\r\n");
  ASSERT_TRUE(Append("INBOX", "first"));
  EXPECT_EQ(ReadFileBytes(Bob + "MAIL000020010.MSG"), "first\r\n");
  EXPECT_EQ(ReadFileBytes(Bob + "MAIL00002001.MSG"), "other\r\n");
  // An expunged message's name is never taken again.
  ASSERT_TRUE(Append("INBOX", "second"));
  fs::remove(Bob + "MAIL00002002.MSG");
  ASSERT_TRUE(Append("INBOX", "third"));
  EXPECT_FALSE(fs::exists(Bob + "MAIL00002002.MSG"));
  EXPECT_EQ(ReadFileBytes(Bob + "MAIL00002003.MSG"), "third\r\n");
}

TEST_F(ImapStore, AMailBoxMadeAgainNeverHasAnEarlierUidValidity) {
  const auto validity = [&](TqvImap4FileHandler& AStore) {
    TqvImap4MailBoxList boxes;
    AStore.GetMailBoxes(nullptr, nullptr, "Again", boxes);
    EXPECT_EQ(boxes.Count(), 1);
    return boxes.Count() == 1 ? std::stoull(boxes.Items(0)->UIDValidity) : 0ull;
  };
  std::set<unsigned long long> given;
  bool ok = true;
  for (int round = 0; round < 3; ++round) {
    // Within one second, and with a store that starts afresh in between.
    TStore fresh;
    fresh.SetMailBoxDir(Dir.Dir() + "mail");
    TqvImap4FileHandler& store = round == 1 ? static_cast<TqvImap4FileHandler&>(fresh) : Store;
    store.CreateMailBox(nullptr, nullptr, "Again", ok);
    ASSERT_TRUE(ok);
    const unsigned long long v = validity(store);
    EXPECT_GE(v, 1u);
    EXPECT_LE(v, 4294967295u);
    if (!given.empty()) {
      EXPECT_GT(v, *given.rbegin());
    }
    given.insert(v);
    store.DeleteMailBox(nullptr, nullptr, "Again", ok);
    ASSERT_TRUE(ok);
  }
  EXPECT_EQ(given.size(), 3u);
}

TEST_F(ImapStore, OtherBytesUnderTheSameInodeNameAndDateHaveAnotherContentKey) {
  // What a mailbox deleted and made again can give: its new message file
  // under the old name, with the old date and the freed inode.
  const std::string path = Bob + "MAIL00000001.MSG";
  WriteFileBytes(path, "Subject: A\r\n\r\nthe longer first message\r\n");
  ASSERT_TRUE(SetExistingFileDateTime(path, 46083.5));
  const auto listed = [&] {
    TqvImap4MessageList list;
    bool ok = true;
    Store.GetMessages(nullptr, nullptr, list, "INBOX", ok);
    EXPECT_EQ(list.Count(), 1);
    return std::pair{list.Peek(0)->ContentKey, list.Peek(0)->Date};
  };
  const auto before = listed();
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  {
    std::ofstream rewrite(path, std::ios::binary | std::ios::trunc);
    rewrite << "Subject: B\r\n\r\nsecond\r\n";
  }
  ASSERT_TRUE(SetExistingFileDateTime(path, 46083.5));
  struct stat again {};
  ASSERT_EQ(::stat(path.c_str(), &again), 0);
  ASSERT_EQ(again.st_ino, st.st_ino);
  Store.SetMailBoxDir(Dir.Dir() + "mail");  // nothing known of the folder
  const auto after = listed();
  EXPECT_EQ(after.second, before.second);
  EXPECT_NE(after.first, before.first);
  EXPECT_NE(after.first, 0u);
}

TEST_F(ImapStore, TwoSessionsNeverReuseUids) {
  WriteFileBytes(Bob + "MAIL00000001.MSG", "a\r\n");
  TSelect a, b;
  SelectRead(a);  // sees message 1 and gives it UID 1
  WriteFileBytes(Bob + "MAIL00000002.MSG", "b\r\n");
  SelectRead(b);  // sees both, gives them UIDs 1 and 2
  SelectWrite(b);
  EXPECT_EQ(Settings(Bob).UIDNext, 3);
  SelectWrite(a);  // its older item must not take UIDNext back
  EXPECT_EQ(Settings(Bob).UIDNext, 3);

  // Session C read before a new message arrived and was numbered by D.
  TSelect c, d;
  WriteFileBytes(Bob + "MAIL00000004.MSG", "d\r\n");
  SelectRead(c);  // MAIL4 -> 3
  std::filesystem::remove(Bob + "MAIL00000004.MSG");
  WriteFileBytes(Bob + "MAIL00000003.MSG", "c\r\n");
  SelectRead(d);  // MAIL3 -> 3
  SelectWrite(d);
  WriteFileBytes(Bob + "MAIL00000004.MSG", "d\r\n");
  SelectWrite(c);  // MAIL4 may not keep 3
  TqvImap4MessageList stored;
  Entries(Bob, stored);
  std::set<int64_t> uids;
  for (int i = 0; i < stored.Count(); ++i) EXPECT_TRUE(uids.insert(stored.Items(i)->UID).second);
  EXPECT_EQ(uids, (std::set<int64_t>{1, 2, 3, 4}));
  EXPECT_EQ(c.Messages.Find(Bob + "MAIL00000004.MSG")->UID, 4);
  EXPECT_EQ(Settings(Bob).UIDNext, 5);
}

TEST_F(ImapStore, GoneFilesLoseTheirEntriesAndAreNeverRecreated) {
  WriteFileBytes(Bob + "MAIL00000001.MSG", "a\r\n");
  WriteFileBytes(Bob + "MAIL00000002.MSG", "b\r\n");
  TSelect s;
  Select(s);
  fs::remove(Bob + "MAIL00000001.MSG");
  TSelect t;
  SelectRead(t);
  EXPECT_EQ(t.Messages.Count(), 1);
  // The session's list still names the gone file: it is neither touched
  // (which would create it) nor kept in "messages.dat".
  SelectWrite(s);
  EXPECT_FALSE(fs::exists(Bob + "MAIL00000001.MSG"));
  TqvImap4MessageList stored;
  Entries(Bob, stored);
  ASSERT_EQ(stored.Count(), 1);
  EXPECT_EQ(stored.Items(0)->Name, "MAIL00000002.MSG");
  EXPECT_FALSE(SetExistingFileDateTime(Bob + "MAIL00000001.MSG", 46083.5));
  EXPECT_FALSE(fs::exists(Bob + "MAIL00000001.MSG"));
}

TEST_F(ImapStore, FailedWriteLeavesTheOldStateFileWhole) {
  for (int i = 1; i <= 9; ++i) WriteFileBytes(Bob + "MAIL0000000" + std::to_string(i) + ".MSG", "m\r\n");
  TSelect s;
  Select(s);
  const std::string before = ReadFileBytes(Bob + "messages.dat");
  ASSERT_GT(before.size(), 200u);
  for (int i = 0; i < s.Messages.Count(); ++i) s.Messages.Items(i)->Flags = MessageFlag(mfSeen);
  {
    // The disk "fills" half-way through the new file.
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const sighandler_t oldHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool ok = true;
    EXPECT_ANY_THROW(Store.UpdateMessages(nullptr, nullptr, s.Messages, "INBOX", ok));
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);
  }
  EXPECT_EQ(ReadFileBytes(Bob + "messages.dat"), before);
  for (const auto& e : fs::directory_iterator(Bob))
    EXPECT_EQ(e.path().filename().string().rfind("vxtmp-", 0), std::string::npos);
}

TEST_F(ImapStore, WrongVersionsRaise) {
  (void)Names();
  std::string bytes = ReadFileBytes(Bob + "imap.dat");
  bytes[1] = '\x03';
  WriteFileBytes(Bob + "imap.dat", bytes);
  try {
    (void)Names();
    ADD_FAILURE();
  } catch (const EStreamError& e) {
    EXPECT_EQ(e.Message(), "Cannot load mailbox settings");
  }
  WriteFileBytes(Bob + "imap.dat", "");
  fs::remove(Bob + "imap.dat");
  WriteFileBytes(Bob + "messages.dat", std::string("\x02\x01\x02\x00", 4));
  TqvImap4MessageList messages;
  bool ok = true;
  try {
    Store.GetMessages(nullptr, nullptr, messages, "INBOX", ok);
    ADD_FAILURE();
  } catch (const EStreamError& e) {
    EXPECT_EQ(e.Message(), "Cannot load messages");
  }
}

TEST_F(ImapStore, SharedFoldersAreReadOnlyMailBoxes) {
  const std::string shared = Dir.Dir() + "shared/";
  fs::create_directories(shared + "News/2026");
  WriteFileBytes(shared + "News/MAIL00000001.MSG", "news\r\n");
  Store.SetSharedFolders(shared);
  EXPECT_EQ(Names(), (std::vector<std::string>{"INBOX", "News", "News/2026"}));
  TSelect s;
  SelectRead(s, "News");
  EXPECT_EQ(s.Messages.Count(), 1);
  TStringList source;
  bool ok = true;
  Store.GetMessageSource(nullptr, nullptr, source, shared + "News/MAIL00000001.MSG", "News", ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(source.Strings(0), "news");
  Store.DeleteMailBox(nullptr, nullptr, "News/2026", ok);
  EXPECT_FALSE(ok);
  Store.CreateMailBox(nullptr, nullptr, "Fresh", ok);
  EXPECT_FALSE(ok);  // a missing name resolves below the shared folder
  Store.RenameMailBox(nullptr, nullptr, "News", "Mine", ok);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(fs::is_directory(shared + "News/2026"));
  // A new account's INBOX is its own folder, never the shared root.
  Store.User = "new@example.test";
  EXPECT_TRUE(Append("INBOX", "mine"));
  EXPECT_TRUE(fs::exists(Dir.Dir() + "mail/new@example.test/MAIL00000001.MSG"));
  EXPECT_FALSE(fs::exists(shared + "MAIL00000001.MSG"));
}
