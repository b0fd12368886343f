// The IMAP4 file store between events: what it keeps of each folder follows
// the disk, state files are written only when they change, sessions share
// one listing until a change, counters and folder names follow their
// sources, concurrent sessions keep UIDs and flags, moved folders keep
// theirs; and the store's binding to its server.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

#include "CodePage.h"
#include "ImapStoreSupport.h"
#include "qvFileUtils.h"

using namespace imapstoretest;

namespace {

struct TFileId {
  ino_t Ino = 0;
  int64_t MTimeNs = 0;
  bool operator==(const TFileId&) const = default;
};
TFileId IdOf(const std::string& APath) {
  struct stat st {};
  if (::stat(APath.c_str(), &st) != 0) return {};
  return {st.st_ino, static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

}  // namespace

TEST_F(ImapStore, WhatTheStoreKeepsBetweenEventsFollowsTheDisk) {
  WriteFileBytes(Bob + "MAIL00000001.MSG", "a\r\n");
  WriteFileBytes(Bob + "MAIL00000002.MSG", "b\r\n");
  TSelect s;
  Select(s);
  // Another writer of the same folder (a second store) flags message 2 and
  // gives a new file its UID: the first store's next listing shows both.
  TStore other;
  other.SetMailBoxDir(Dir.Dir() + "mail");
  WriteFileBytes(Bob + "MAIL00000003.MSG", "c\r\n");
  {
    TqvImap4MailBoxList boxes;
    other.GetMailBoxes(nullptr, nullptr, "INBOX", boxes);
    TqvImap4MessageList list;
    bool ok = true;
    other.GetMessages(nullptr, nullptr, list, "INBOX", ok);
    ASSERT_EQ(list.Count(), 3);
    list.Items(1)->Flags = MessageFlag(mfFlagged);
    list.Items(2)->UID = 7;
    other.UpdateMessages(nullptr, nullptr, list, "INBOX", ok);
  }
  TSelect t;
  SelectRead(t);
  ASSERT_EQ(t.Messages.Count(), 3);
  EXPECT_EQ(t.Messages.Items(1)->Flags, MessageFlag(mfFlagged));
  EXPECT_EQ(t.Messages.Items(2)->UID, 7);

  // A message file replaced under its name carries the new file's date.
  ASSERT_TRUE(SetExistingFileDateTime(Bob + "MAIL00000001.MSG", 46000.25));
  fs::rename(Bob + "MAIL00000001.MSG", Bob + "old");
  WriteFileBytes(Bob + "MAIL00000001.MSG", "a again\r\n");
  ASSERT_TRUE(SetExistingFileDateTime(Bob + "MAIL00000001.MSG", 46001.5));
  TSelect u;
  SelectRead(u);
  EXPECT_EQ(u.Messages.Find(Bob + "MAIL00000001.MSG")->Date, 46001.5);
  // A removed one is gone from the next listing.
  fs::remove(Bob + "MAIL00000002.MSG");
  TSelect v;
  SelectRead(v);
  EXPECT_EQ(v.Messages.Count(), 2);
  EXPECT_EQ(v.Messages.Find(Bob + "MAIL00000002.MSG"), nullptr);
}

TEST_F(ImapStore, StateFilesAreWrittenOnlyWhenTheyChange) {
  WriteFileBytes(Bob + "MAIL00000001.MSG", "a\r\n");
  TSelect first;
  Select(first);  // UID 1 and \Recent
  TSelect second;
  Select(second);  // \Recent cleared
  const TFileId messages = IdOf(Bob + "messages.dat");
  const TFileId settings = IdOf(Bob + "imap.dat");
  const std::string before = ReadFileBytes(Bob + "messages.dat");
  TSelect same;
  Select(same);
  EXPECT_EQ(IdOf(Bob + "messages.dat"), messages);
  EXPECT_EQ(IdOf(Bob + "imap.dat"), settings);
  // A flag, or an entry whose file went, is a change.
  same.Messages.Items(0)->Flags = MessageFlag(mfSeen);
  SelectWrite(same);
  EXPECT_FALSE(IdOf(Bob + "messages.dat") == messages);
  TqvImap4MessageList stored;
  Entries(Bob, stored);
  EXPECT_EQ(stored.Items(0)->Flags, MessageFlag(mfSeen));
  WriteFileBytes(Bob + "MAIL00000002.MSG", "b\r\n");
  TSelect more;
  Select(more);
  fs::remove(Bob + "MAIL00000002.MSG");
  const TFileId withTwo = IdOf(Bob + "messages.dat");
  TSelect fewer;
  Select(fewer);
  EXPECT_FALSE(IdOf(Bob + "messages.dat") == withTwo);
  Entries(Bob, stored);
  ASSERT_EQ(stored.Count(), 1);
  EXPECT_EQ(stored.Items(0)->Name, "MAIL00000001.MSG");
}

TEST_F(ImapStore, SessionsShareTheListedMessagesUntilOneOfThemChanges) {
  WriteFileBytes(Bob + "MAIL00000001.MSG", "a\r\n");
  WriteFileBytes(Bob + "MAIL00000002.MSG", "b\r\n");
  TSelect s;
  Select(s);
  Select(s);  // UIDs 1 and 2, no \Recent
  bool ok = true;
  const auto list = [&](TqvImap4MessageList& AList) { Store.GetMessages(nullptr, nullptr, AList, "INBOX", ok); };
  const auto update = [&](TqvImap4MessageList& AList) { Store.UpdateMessages(nullptr, nullptr, AList, "INBOX", ok); };
  TqvImap4MessageList a, b;
  list(a);
  list(b);
  ASSERT_EQ(b.Count(), 2);
  EXPECT_EQ(a.Peek(1), b.Peek(1));
  // Records handed back unchanged are no change.
  const TFileId stored = IdOf(Bob + "messages.dat");
  update(a);
  EXPECT_EQ(IdOf(Bob + "messages.dat"), stored);
  // A change is stored and seen by the next listing; what another session
  // holds stays as it was read.
  a.Items(1)->Flags = MessageFlag(mfFlagged);
  update(a);
  EXPECT_FALSE(IdOf(Bob + "messages.dat") == stored);
  EXPECT_EQ(b.Peek(1)->Flags, 0);
  TqvImap4MessageList c;
  list(c);
  EXPECT_EQ(c.Peek(1)->Flags, MessageFlag(mfFlagged));
  // So are a delivered file and the UID one session gives it.
  WriteFileBytes(Bob + "MAIL00000003.MSG", "c\r\n");
  TqvImap4MessageList d;
  list(d);
  ASSERT_EQ(d.Count(), 3);
  EXPECT_EQ(d.Peek(2)->UID, -1);
  d.Items(2)->UID = 3;
  update(d);
  TqvImap4MessageList e;
  list(e);
  EXPECT_EQ(Uids(e), "1,2,3");
  EXPECT_EQ(Uids(c), "1,2");
  // Only a session's own change is stored: a record read before another
  // session's change and handed back as it was undoes nothing, and a change
  // of another flag of the same message keeps both.
  TqvImap4MessageList g;
  list(g);
  e.Items(0)->Flags = MessageFlag(mfDeleted);
  update(e);
  update(g);
  g.Items(0)->Flags |= MessageFlag(mfSeen);
  g.Items(1)->Flags &= static_cast<TqvMailMessageFlags>(~MessageFlag(mfFlagged));
  update(g);
  EXPECT_EQ(g.Peek(0)->Flags, MessageFlag(mfDeleted) | MessageFlag(mfSeen)) << "the session sees what is stored";
  TqvImap4MessageList f;
  list(f);
  EXPECT_EQ(f.Peek(0)->Flags, MessageFlag(mfDeleted) | MessageFlag(mfSeen));
  EXPECT_EQ(f.Peek(1)->Flags, 0);
}

TEST_F(ImapStore, CountersSettingsAndFolderNamesFollowWhatTheyComeFrom) {
  // A lost imap.dat: a UID given afterwards still never repeats one of
  // messages.dat.
  WriteFileBytes(Bob + "MAIL00000001.MSG", "a\r\n");
  TSelect s;
  Select(s);
  WriteFileBytes(Bob + "MAIL00000002.MSG", "b\r\n");
  TSelect t;
  Select(t);
  fs::remove(Bob + "imap.dat");
  WriteFileBytes(Bob + "MAIL00000003.MSG", "c\r\n");
  TSelect u;
  Select(u);
  TqvImap4MessageList stored;
  Entries(Bob, stored);
  EXPECT_EQ(Uids(stored), "1,2,3");
  EXPECT_EQ(u.Messages.Find(Bob + "MAIL00000003.MSG")->UID, 3);
  EXPECT_EQ(Settings(Bob).UIDNext, 4);

  // Settings another store wrote are read again.
  fs::create_directories(Bob + "Work");
  const auto subscribed = [&](TqvImap4FileHandler& AStore) {
    TqvImap4MailBoxList boxes;
    AStore.GetMailBoxes(nullptr, nullptr, "Work", boxes);
    return boxes.Count() == 1 && boxes.Items(0)->Subscribed;
  };
  EXPECT_FALSE(subscribed(Store));
  TStore other;
  other.SetMailBoxDir(Dir.Dir() + "mail");
  TqvImap4MailBoxList boxes;
  other.GetMailBoxes(nullptr, nullptr, "Work", boxes);
  ASSERT_EQ(boxes.Count(), 1);
  boxes.Items(0)->Subscribed = true;
  bool ok = true;
  other.UpdateMailBox(nullptr, nullptr, *boxes.Items(0), ok);
  EXPECT_TRUE(subscribed(Store));

  // An 8-bit user name names its folder by the code page in force.
  const std::string zhang = Dir.Dir() + "mail/\xE5\xBC\xA0\xE4\xB8\x89/";
  fs::create_directories(zhang);
  WriteFileBytes(zhang + "MAIL00000001.MSG", "z\r\n");
  Store.User = "\xD5\xC5\xC8\xFD";
  TSelect z;
  SelectRead(z);
  EXPECT_EQ(z.Messages.Count(), 1);
  plat::SetACP(1252);
  struct TRestore {
    ~TRestore() { plat::SetACP(plat::kDefaultAnsiCodePage); }
  } restore;
  TSelect w;
  SelectRead(w);
  EXPECT_EQ(w.Messages.Count(), 0);
}

TEST_F(ImapStore, SessionsOfOneAndOfTwoFoldersAtOnceKeepEveryUidOnce) {
  fs::create_directories(Bob + "Work");
  std::atomic<bool> failed{false};
  const auto session = [&](const std::string& AMailBox, int ARounds) {
    try {
      for (int i = 0; i < ARounds; ++i) {
        TSelect s;
        SelectRead(s, AMailBox);
        SelectWrite(s);
        if (i % 3 == 0) (void)Append(AMailBox, "Subject: " + std::to_string(i) + "\r\n\r\nx");
      }
    } catch (const std::exception&) {
      failed = true;
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) threads.emplace_back(session, "INBOX", 12);
  threads.emplace_back(session, "Work", 12);
  for (std::thread& t : threads) t.join();
  ASSERT_FALSE(failed);
  for (const std::string& folder : {Bob, Bob + "Work/"}) {
    TSelect last;
    SelectRead(last, folder == Bob ? "INBOX" : "Work");
    SelectWrite(last);
    TqvImap4MessageList stored;
    Entries(folder, stored);
    std::set<int64_t> uids;
    for (int i = 0; i < stored.Count(); ++i) EXPECT_TRUE(uids.insert(stored.Items(i)->UID).second);
    EXPECT_EQ(stored.Count(), folder == Bob ? 12 : 4);
    EXPECT_EQ(uids.count(-1), 0u);
    EXPECT_GT(Settings(folder).UIDNext, *uids.rbegin());
  }
}

TEST_F(ImapStore, RenamingOrMovingFoldersKeepsUidsFlagsAndUidValidity) {
  // Entries written by full path, as files from before name them, Windows
  // paths included, are read by the file name.
  fs::create_directories(Bob + "Work");
  WriteFileBytes(Bob + "Work/MAIL00000001.MSG", "a\r\n");
  WriteFileBytes(Bob + "Work/MAIL00000002.MSG", "b\r\n");
  TqvImap4MessageList old(true);
  old.Add("C:\\Mail\\MailBox\\bob\\Work\\MAIL00000001.MSG", 7, MessageFlag(mfSeen), 1.0);
  old.Add("/srv/old/MailBox/bob@example.test/Work/MAIL00000002.MSG", 9, MessageFlag(mfFlagged), 1.0);
  TStringStream data;
  TqvImap4MessageStore(old).SaveToStream(data);
  WriteFileBytes(Bob + "Work/messages.dat", data.DataString());
  TSelect s;
  SelectRead(s, "Work");
  EXPECT_EQ(Uids(s.Messages), "7,9");
  EXPECT_EQ(s.Messages.Peek(0)->Flags, MessageFlag(mfSeen));
  EXPECT_EQ(s.Messages.Peek(1)->Flags, MessageFlag(mfFlagged));
  s.Messages.Items(0)->Flags |= MessageFlag(mfAnswered);
  SelectWrite(s);
  TqvImap4MessageList stored;
  Entries(Bob + "Work/", stored);
  ASSERT_EQ(stored.Count(), 2);
  EXPECT_EQ(stored.Peek(0)->Name, "MAIL00000001.MSG");
  EXPECT_EQ(stored.Peek(1)->Name, "MAIL00000002.MSG");
  const std::string validity = Settings(Bob + "Work/").UIDValidity;

  const auto expectKept = [&](const std::string& AMailBox, const char* AWhen) {
    TSelect again;
    SelectRead(again, AMailBox);
    EXPECT_EQ(Uids(again.Messages), "7,9") << AWhen;
    EXPECT_EQ(again.Messages.Peek(0)->Flags, MessageFlag(mfSeen) | MessageFlag(mfAnswered)) << AWhen;
    EXPECT_EQ(again.Messages.Peek(1)->Flags, MessageFlag(mfFlagged)) << AWhen;
    EXPECT_EQ(again.Box.UIDValidity, validity) << AWhen;
  };
  bool ok = true;
  Store.RenameMailBox(nullptr, nullptr, "Work", "Done", ok);
  ASSERT_TRUE(ok);
  expectKept("Done", "after RENAME");
  // The whole mailbox folder moved elsewhere.
  fs::rename(Dir.Dir() + "mail", Dir.Dir() + "moved");
  Store.SetMailBoxDir(Dir.Dir() + "moved");
  expectKept("Done", "after the mailbox folder moved");
}

TEST_F(ImapStore, SessionsStoringFlagsAtOnceLoseNoChange) {
  constexpr int kMessages = 40;
  for (int i = 1; i <= kMessages; ++i) WriteFileBytes(Bob + "MAIL" + std::to_string(10000000 + i) + ".MSG", "m\r\n");
  TSelect first;
  Select(first);
  const TqvMailMessageFlag kFlags[] = {mfSeen, mfFlagged, mfAnswered, mfDraft};
  // Each session sets its own flag on every message and takes \Recent off
  // them, each time from a listing read before the others wrote.
  std::vector<std::thread> sessions;
  for (const TqvMailMessageFlag flag : kFlags) {
    sessions.emplace_back([&, flag] {
      for (int i = 0; i < kMessages; ++i) {
        TqvImap4MessageList list;
        bool ok = true;
        Store.GetMessages(nullptr, nullptr, list, "INBOX", ok);
        TqvImap4MessageItem* m = list.Items(i);
        m->Flags = static_cast<TqvMailMessageFlags>((m->Flags | MessageFlag(flag)) & ~MessageFlag(mfRecent));
        TqvImap4MessageList one(false);
        one.AddRef(m);
        Store.UpdateMessages(nullptr, nullptr, one, "INBOX", ok);
      }
    });
  }
  for (std::thread& t : sessions) t.join();
  TqvImap4MessageList stored;
  Entries(Bob, stored);
  ASSERT_EQ(stored.Count(), kMessages);
  for (int i = 0; i < kMessages; ++i)
    EXPECT_EQ(stored.Peek(i)->Flags, MessageFlag(mfSeen) | MessageFlag(mfFlagged) | MessageFlag(mfAnswered) |
                                         MessageFlag(mfDraft))
        << stored.Peek(i)->Name;
}

TEST(ImapStoreBinding, TakesTheStoreEventsAndLetsGoOfAGoneServer) {
  auto server = std::make_unique<TqvImap4Server>();
  server->OnSearchMessage = [](TObject*, TqvImap4CommandConnection*, TqvImap4MessageItem&, TStrings&, bool&,
                               bool&) {};
  TqvImap4FileHandler store;
  store.SetServer(server.get());
  EXPECT_TRUE(server->OnGetMailBoxes && server->OnUpdateMailBox && server->OnCreateMailBox &&
              server->OnDeleteMailBox && server->OnRenameMailBox && server->OnGetMessages &&
              server->OnUpdateMessages && server->OnDeleteMessage && server->OnGetMessageSource &&
              server->OnAppendMessage);
  EXPECT_TRUE(server->OnSearchMessage);
  EXPECT_FALSE(server->OnAuthenticate || server->OnStateChanged || server->OnCreateUserAccount);
  store.SetServer(nullptr);
  EXPECT_FALSE(server->OnGetMailBoxes || server->OnAppendMessage);
  EXPECT_TRUE(server->OnSearchMessage);
  store.SetServer(server.get());
  server.reset();
  EXPECT_EQ(store.Server(), nullptr);
}
