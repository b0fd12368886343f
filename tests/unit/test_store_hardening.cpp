// The stores against crashes and local users: the message counter's range
// and its reservations ahead of use, account folders that are symbolic
// links (SMTP, POP3 and IMAP4), the modes of the folders the stores make,
// and the temporary files
// a crash leaves behind.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>

#include "IniFile.h"
#include "VxMailTexts.h"
#include "Pop3TestSupport.h"
#include "ServiceTestSupport.h"
#include "SmtpTestClient.h"
#include "dmVxMailServersU.h"
#include "qvImap4FileHandler.h"
#include "qvImap4Server.h"
#include "qvLogger.h"

namespace fs = std::filesystem;
using smtptest::Files;
using smtptest::ReadFile;

namespace {

class StoreHardening : public smtptest::SmtpStoreTest {
 protected:
  void SetUp() override {
    SmtpStoreTest::SetUp();
    Store.OnStoreError = [this](TObject*, const std::exception& E) { Errors.push_back(E.what()); };
    Message.Add("Subject: s");
  }
  static mode_t Mode(const std::string& APath) {
    struct stat st {};
    EXPECT_EQ(::lstat(APath.c_str(), &st), 0) << APath;
    return st.st_mode & 07777;
  }

  std::vector<std::string> Errors;
};

// Restores the process umask.
struct TUmask {
  explicit TUmask(mode_t AMask) : Old(::umask(AMask)) {}
  ~TUmask() { ::umask(Old); }
  mode_t Old;
};

// A file system without a rename that refuses to replace: the first call
// of placing fails with Errno, counted in Calls; the system call comes back
// on destruction.
struct TNoReplaceRenameRefused {
  explicit TNoReplaceRenameRefused(int AErrno) {
    Errno = AErrno;
    Calls = 0;
    SetRenameNoReplaceForTesting([](int, const char*, int, const char*) {
      ++Calls;
      errno = Errno;
      return -1;
    });
  }
  ~TNoReplaceRenameRefused() { SetRenameNoReplaceForTesting(nullptr); }
  static inline int Errno = 0;
  static inline int Calls = 0;
};

}  // namespace

TEST_F(StoreHardening, WithoutANoReplaceRenameALinkPlacesAndNeverReplaces) {
  const std::string bob = Dir.Dir() + "MailBox/bob/";
  const std::string relay = Dir.Dir() + "Relay/";
  TStringList rcpt;
  rcpt.Add("carol@remote.test");
  for (const int err : {EINVAL, ENOSYS}) {
    SCOPED_TRACE(err);
    fs::remove_all(Dir.Dir() + "MailBox");
    fs::remove_all(relay);
    TNoReplaceRenameRefused refused(err);
    Message.Clear();
    Message.Add("Subject: first");
    Store.SetCounter(1);
    ASSERT_EQ(Deliver("bob"), mdOk);
    // The same number again: the next free name, the first file untouched.
    Message.Clear();
    Message.Add("Subject: second");
    Store.SetCounter(1);
    ASSERT_EQ(Deliver("bob"), mdOk);
    // A dangling link at a name counts as taken, as with the rename.
    fs::create_symlink(Dir.Dir() + "nowhere", bob + "MAIL00000003.MSG");
    ASSERT_EQ(Deliver("bob"), mdOk);
    EXPECT_FALSE(fs::exists(Dir.Dir() + "nowhere"));
    TqvSmtpMailDataAction action = mdOk;
    Store.QueueRelayMessage(nullptr, nullptr, "a@x.test", rcpt, Message, action);
    ASSERT_EQ(action, mdOk);
    EXPECT_GE(TNoReplaceRenameRefused::Calls, 5);
    EXPECT_EQ(Files(bob), (std::vector<std::string>{"MAIL00000002.MSG", "MAIL000000020.MSG", "MAIL00000003.MSG",
                                                    "MAIL000000030.MSG"}));
    EXPECT_EQ(ReadFile(bob + "MAIL00000002.MSG"), "Subject: first\r\n");
    EXPECT_EQ(ReadFile(bob + "MAIL000000020.MSG"), "Subject: second\r\n");
    EXPECT_EQ(ReadFile(bob + "MAIL000000030.MSG"), "Subject: second\r\n");
    EXPECT_EQ(Files(relay), (std::vector<std::string>{"MAIL00000004.ENV", "MAIL00000004.MSG"}));
    EXPECT_EQ(ReadFile(relay + "MAIL00000004.ENV"), "a@x.test\r\ncarol@remote.test\r\n");
    EXPECT_TRUE(Errors.empty());
  }
  // Any other refusal is a failed delivery that leaves nothing behind.
  TNoReplaceRenameRefused refused(EIO);
  EXPECT_EQ(Deliver("bob"), mdProcessingError);
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_NE(Errors[0].find("Cannot create file"), std::string::npos) << Errors[0];
  EXPECT_EQ(Files(bob).size(), 4u);
}

TEST_F(StoreHardening, CounterNeverGoesNegativeAndWrapsToOne) {
  Store.SetCounter(-7);
  EXPECT_EQ(Store.Counter(), 0);
  ASSERT_EQ(Deliver("bob"), mdOk);
  Store.SetCounter(INT_MAX - 1);
  ASSERT_EQ(Deliver("bob"), mdOk);
  ASSERT_EQ(Deliver("bob"), mdOk);  // past the largest number: round to 1, which is taken
  EXPECT_EQ(Store.Counter(), 1);
  EXPECT_EQ(Files(Dir.Dir() + "MailBox/bob"),
            (std::vector<std::string>{"MAIL00000001.MSG", "MAIL000000010.MSG", "MAIL2147483647.MSG"}));
}

TEST_F(StoreHardening, NumbersAreReservedInBlocksBeforeUse) {
  std::vector<int> limits;
  bool fail = true;
  Store.OnReserveCounter = [&](TObject*, int ALimit) {
    limits.push_back(ALimit);
    if (fail) throw EOSError(28, "No space left on device");
  };
  Store.SetCounter(5);
  // A reservation that cannot be kept is reported and asked again; the mail goes in.
  ASSERT_EQ(Deliver("bob"), mdOk);
  EXPECT_EQ(Errors, std::vector<std::string>{"No space left on device"});
  fail = false;
  // Numbers 7 to 1006 are one block.
  for (int i = 0; i < TqvSmtpFileHandler::CounterBlock; ++i) (void)Store.GetUniqueFileName(Dir.Dir());
  EXPECT_EQ(limits, (std::vector<int>{1005, 1006}));
  EXPECT_EQ(Store.GetUniqueFileName(Dir.Dir()), Dir.Dir() + "MAIL00001007");
  EXPECT_EQ(limits.back(), 2006);
  // Setting the counter starts a new block at once; a block may wrap.
  Store.SetCounter(INT_MAX - 10);
  (void)Store.GetUniqueFileName(Dir.Dir());
  EXPECT_EQ(limits.back(), TqvSmtpFileHandler::CounterBlock - 10);
}

TEST_F(StoreHardening, AfterACrashTheServiceCountsOnAboveEveryUsedNumber) {
  const std::string folder = Dir.Dir();
  std::ofstream(folder + "settings.ini") << "[SMTP]\r\nPort=2525\r\n";
  TqvLogger::Instance()->SetLogFile(folder + "VxMailServers.log");
  int used = 0;
  {
    TdmVxMailServers dm(folder, folder + "VxMailServers");
    dm.DataModuleCreate();
    dm.ApplySettings();
    dm.LoadCounter();
    ASSERT_TRUE(fs::create_directory(folder + "MailBox"));
    auto& smtp = static_cast<THostedSmtpStore<TqvSmtpFileHandler>&>(*dm.qvSmtpFileHandler1);
    for (int i = 0; i < 3; ++i) (void)smtp.Store->GetUniqueFileName(folder);
    used = dm.qvSmtpFileHandler1->Counter();
    // No StopServers: the process dies here.
  }
  TdmVxMailServers next(folder, folder + "VxMailServers");
  next.DataModuleCreate();
  next.ApplySettings();
  next.LoadCounter();
  EXPECT_GT(next.qvSmtpFileHandler1->Counter(), used);
  EXPECT_EQ(plat::TIniFile(folder + "MailBoxsmtp.dat").ReadInteger("SMTP", "Counter", 0),
            1 + TqvSmtpFileHandler::CounterBlock);
}

TEST_F(StoreHardening, LinkedAccountFolderIsNeverFollowed) {
  TUmask mask(0);
  ASSERT_EQ(Deliver("alice"), mdOk);
  const std::string box = Dir.Dir() + "MailBox/";
  EXPECT_EQ(Mode(box), 0700u);
  EXPECT_EQ(Mode(box + "alice"), 0700u);
  // bob's folder made a link to alice's: SMTP refuses to write through it.
  fs::create_directory_symlink(box + "alice", box + "bob");
  EXPECT_EQ(Deliver("bob"), mdProcessingError);
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_NE(Errors[0].find("symbolic link"), std::string::npos) << Errors[0];
  EXPECT_EQ(Files(box + "alice"), std::vector<std::string>{"MAIL00000002.MSG"});
  // The relay folder the administrator names may be a link.
  fs::create_directory(Dir.Dir() + "real-queue");
  fs::create_directory_symlink(Dir.Dir() + "real-queue", Dir.Dir() + "Relay");
  TStringList rcpt;
  rcpt.Add("carol@remote.test");
  TqvSmtpMailDataAction action = mdOk;
  Store.QueueRelayMessage(nullptr, nullptr, "a@x.test", rcpt, Message, action);
  EXPECT_EQ(action, mdOk);
  EXPECT_EQ(Files(Dir.Dir() + "real-queue").size(), 2u);
}

TEST_F(StoreHardening, LeftoversOfACrashAreRemovedAndNothingElse) {
  const std::string box = Dir.Dir() + "MailBox/";
  ASSERT_EQ(Deliver("alice"), mdOk);
  for (const char* name : {"vxtmp-Ab3xYz", "vxtmp-000000"}) pop3test::WriteFile(box + "alice/" + name, "partial");
  for (const char* name : {"vxtmp-short", "vxtmp-Ab3xYz.MSG", "xvxtmp-Ab3xYz", "notes.txt"})
    pop3test::WriteFile(box + "alice/" + name, "keep");
  fs::create_directory(box + "alice/vxtmp-dir123");
  fs::create_symlink(box + "alice/notes.txt", box + "alice/vxtmp-link12");
  const TqvStoreFolder mailbox = OpenStoreFolder(box, false);
  ASSERT_TRUE(mailbox);
  EXPECT_EQ(ListAccountFolders(mailbox), std::vector<std::string>{"alice"});
  EXPECT_EQ(RemoveStagedLeftovers(OpenAccountFolder(mailbox, "alice", false)), 2);
  EXPECT_EQ(Files(box + "alice"),
            (std::vector<std::string>{"MAIL00000002.MSG", "notes.txt", "vxtmp-Ab3xYz.MSG", "vxtmp-dir123",
                                      "vxtmp-link12", "vxtmp-short", "xvxtmp-Ab3xYz"}));
}

TEST_F(StoreHardening, SessionNeverWritesThroughAFolderReplacedAfterItsLastMessage) {
  // One session's messages to alice, her folder replaced between them.
  TqvSmtpCommandConnection session;
  TqvMailUserAccountItem alice;
  alice.SetUserName("alice");
  auto deliver = [&] {
    TqvSmtpMailDataAction action = mdOk;
    Store.DeliverMessage(nullptr, &session, "a@x.test", "alice", &alice, Message, action);
    return action;
  };
  const std::string box = Dir.Dir() + "MailBox/";
  ASSERT_EQ(deliver(), mdOk);
  ASSERT_EQ(deliver(), mdOk);
  EXPECT_EQ(Files(box + "alice").size(), 2u);
  // Moved away and a link to it put in its place: refused, nothing written.
  fs::rename(box + "alice", Dir.Dir() + "aside");
  fs::create_directory_symlink(Dir.Dir() + "aside", box + "alice");
  EXPECT_EQ(deliver(), mdProcessingError);
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_NE(Errors[0].find("symbolic link"), std::string::npos) << Errors[0];
  EXPECT_EQ(Files(Dir.Dir() + "aside").size(), 2u);
  // A new folder in its place gets the next message; so does a folder made
  // again after the account's folder was removed.
  fs::remove(box + "alice");
  fs::create_directory(box + "alice");
  ASSERT_EQ(deliver(), mdOk);
  EXPECT_EQ(Files(box + "alice").size(), 1u);
  fs::remove_all(box + "alice");
  ASSERT_EQ(deliver(), mdOk);
  EXPECT_EQ(Files(box + "alice").size(), 1u);
  EXPECT_EQ(Files(Dir.Dir() + "aside").size(), 2u);
  // Another account in the same session has its own folder.
  TqvMailUserAccountItem bob;
  bob.SetUserName("bob");
  TqvSmtpMailDataAction action = mdOk;
  Store.DeliverMessage(nullptr, &session, "a@x.test", "bob", &bob, Message, action);
  EXPECT_EQ(action, mdOk);
  EXPECT_EQ(Files(box + "bob").size(), 1u);
  EXPECT_EQ(Files(box + "alice").size(), 1u);
}

TEST_F(StoreHardening, StoredBytesAreTheLinesWhateverListHoldsThem) {
  // A received message as the DATA reader hands it over: spans of one block,
  // then the trace line put on top, a line cut and one removed.
  TBlockStringList block;
  block.AssignText(std::string_view("From: a\r\n\r\n..dotted\r\nbody\r\nlast"));
  block.Insert(0, "Received: from x");
  block.CutFront(3, 1);
  block.Delete(4);
  TStringList plain;
  for (const char* line : {"Received: from x", "From: a", "", ".dotted", "last"}) plain.Add(line);
  const std::string expected = "Received: from x\r\nFrom: a\r\n\r\n.dotted\r\nlast\r\n";
  // Large enough for more than one write.
  TBlockStringList big;
  std::string text;
  for (int i = 0; i < 40000; ++i) text += "line " + std::to_string(i) + "\r\n";
  big.AssignText(text);
  Message.Clear();
  for (TStrings* lines : {static_cast<TStrings*>(&block), static_cast<TStrings*>(&plain), static_cast<TStrings*>(&big)}) {
    TqvMailUserAccountItem account;
    account.SetUserName("alice");
    TqvSmtpMailDataAction action = mdOk;
    Store.DeliverMessage(nullptr, nullptr, "a@x.test", "alice", &account, *lines, action);
    ASSERT_EQ(action, mdOk);
  }
  const std::string box = Dir.Dir() + "MailBox/alice/";
  const std::vector<std::string> files = Files(box);
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(ReadFile(box + files[0]), expected);
  EXPECT_EQ(ReadFile(box + files[1]), expected);
  EXPECT_EQ(ReadFile(box + files[2]), text);
  EXPECT_TRUE(Errors.empty());
}

TEST_F(StoreHardening, StoreFoldersAreMadeOnlyWhereMissing) {
  TUmask mask(0);
  const std::string deep = Dir.Dir() + "a/b/c/";
  EXPECT_FALSE(OpenStoreFolder(deep, false));
  const TqvStoreFolder made = OpenStoreFolder(deep, true);
  ASSERT_TRUE(made);
  EXPECT_EQ(made.Path(), deep);
  EXPECT_EQ(Mode(Dir.Dir() + "a/b"), 0700u);
  // An existing folder keeps its mode; an account folder is made in it once.
  fs::permissions(deep, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  ASSERT_TRUE(OpenStoreFolder(deep, true));
  EXPECT_EQ(Mode(deep), 0750u);
  EXPECT_FALSE(OpenAccountFolder(made, "bob", false));
  EXPECT_EQ(OpenAccountFolder(made, "bob", true).Path(), deep + "bob/");
  EXPECT_TRUE(OpenAccountFolder(made, "bob", true));
  // A file in the way is an error, not a folder.
  pop3test::WriteFile(Dir.Dir() + "file", "x");
  EXPECT_THROW((void)OpenStoreFolder(Dir.Dir() + "file/sub", true), EOSError);
  EXPECT_THROW((void)OpenStoreFolder(Dir.Dir() + "file", true), EOSError);
  EXPECT_THROW((void)OpenAccountFolder(OpenStoreFolder(Dir.Dir(), false), "file", true), EOSError);
}

class Pop3LinkedFolder : public pop3test::TPop3Session {};

TEST_F(Pop3LinkedFolder, ServesAndDeletesNothingThroughALink) {
  std::vector<std::string> errors;
  Store.OnStoreError = [&](TObject*, const std::exception& E) { errors.push_back(E.what()); };
  // tim's folder is a link to alice's.
  fs::create_directory_symlink(AliceDir, Dir.Dir() + "tim");
  pop3test::TClient c(Server);
  EXPECT_EQ(c.Login("tim", "tanstaaftanstaaf"), "+OK 0 messages (0 octets)");
  EXPECT_EQ(c.Cmd("DELE 1"), "-ERR no such message");
  c.Cmd("QUIT");
  EXPECT_EQ(Files(AliceDir), (std::vector<std::string>{"MAIL00000002.MSG", "MAIL00000003.MSG"}));
  // Refused at the listing and again at QUIT's deletions.
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_NE(errors[0].find("symbolic link"), std::string::npos) << errors[0];
}

namespace {

// The connection's user comes from the test.
class TImapStore : public TqvImap4FileHandler {
 public:
  std::string User;

 protected:
  std::string ConnectionUserName(TqvImap4CommandConnection*) const override { return User; }
};

}  // namespace

TEST_F(StoreHardening, ImapMakesPrivateFoldersAndNeverFollowsALinkedAccountFolder) {
  TUmask mask(0);
  const std::string box = Dir.Dir() + "MailBox/";
  TImapStore imap;
  imap.SetMailBoxDir(box);
  std::vector<std::string> errors;
  imap.OnStoreError = [&](TObject*, const std::exception& E) { errors.push_back(E.what()); };
  auto names = [&](const std::string& ASelected) {
    TqvImap4MailBoxList boxes;
    imap.GetMailBoxes(nullptr, nullptr, ASelected, boxes);
    std::vector<std::string> result;
    for (int i = 0; i < boxes.Count(); ++i) result.push_back(boxes.Items(i)->Name);
    return result;
  };
  TStringList source;
  source.Add("Subject: appended");
  bool ok = false;

  // alice's INBOX, a created mailbox and an appended message are hers alone.
  imap.User = "alice";
  EXPECT_EQ(names("INBOX"), std::vector<std::string>{"INBOX"});
  imap.CreateMailBox(nullptr, nullptr, "Work/2026", ok);
  ASSERT_TRUE(ok);
  imap.AppendMessage(nullptr, nullptr, 0, Now(), source, "Work/2026", ok);
  ASSERT_TRUE(ok);
  for (const char* folder : {"", "alice", "alice/Work", "alice/Work/2026"})
    EXPECT_EQ(Mode(box + folder), 0700u) << folder;
  for (const std::string& file : Files(box + "alice/Work/2026"))
    EXPECT_EQ(Mode(box + "alice/Work/2026/" + file), 0600u) << file;
  EXPECT_TRUE(errors.empty());

  // bob's folder is a link to alice's: no mailbox, nothing read, written or
  // removed through it, and each refusal is told.
  fs::create_directory_symlink(box + "alice", box + "bob");
  const std::vector<std::string> before = Files(box + "alice");
  imap.User = "bob";
  EXPECT_TRUE(names("").empty());
  EXPECT_TRUE(names("INBOX").empty());
  EXPECT_TRUE(names("Work/2026").empty());
  TqvImap4MessageList messages;
  ok = true;
  imap.GetMessages(nullptr, nullptr, messages, "Work/2026", ok);
  EXPECT_FALSE(ok);
  imap.AppendMessage(nullptr, nullptr, 0, Now(), source, "INBOX", ok);
  EXPECT_FALSE(ok);
  imap.CreateMailBox(nullptr, nullptr, "Play", ok);
  EXPECT_FALSE(ok);
  imap.DeleteMailBox(nullptr, nullptr, "Work/2026", ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(Files(box + "alice"), before);
  EXPECT_EQ(Files(box + "alice/Work/2026").size(), 3u);  // the message and two state files
  EXPECT_EQ(errors.size(), 7u);
  for (const std::string& error : errors) EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
}

TEST_F(StoreHardening, ServiceStartRemovesLeftoversBeforeListening) {
  const std::string folder = Dir.Dir();
  std::ofstream(folder + "settings.ini") << "[SMTP]\r\nPort=2525\r\n[POP3]\r\nPort=1110\r\n[IMAP]\r\nPort=1143\r\n";
  fs::create_directories(folder + "MailBox/bob");
  fs::create_directories(folder + "RelayQueue");
  pop3test::WriteFile(folder + "MailBox/bob/vxtmp-aB3dE9", "half a message");
  // IMAP4 mailboxes below the account folder; a linked one is not followed.
  fs::create_directories(folder + "MailBox/bob/Work/2026");
  fs::create_directories(folder + "elsewhere");
  pop3test::WriteFile(folder + "MailBox/bob/Work/vxtmp-Qq1111", "half an append");
  pop3test::WriteFile(folder + "MailBox/bob/Work/2026/vxtmp-Rr2222", "half a state file");
  pop3test::WriteFile(folder + "elsewhere/vxtmp-Ss3333", "not the store's");
  fs::create_directory_symlink(folder + "elsewhere", folder + "MailBox/bob/Linked");
  pop3test::WriteFile(folder + "RelayQueue/vxtmp-Zz0000", "half an envelope");
  pop3test::WriteFile(folder + "RelayQueue/MAIL00000002.MSG", "queued");
  TdmVxMailServers dm(folder, folder + "VxMailServers");
  dm.DataModuleCreate();
  // Quiet servers take the slots: nothing listens.
  dm.qvSmtpServer1 = std::make_unique<servicetest::TFakeServer>();
  dm.qvPop3Server1 = std::make_unique<servicetest::TFakeServer>();
  dm.qvImap4Server1 = std::make_unique<servicetest::TFakeServer>();
  dm.BindComponents();
  dm.StartServers();
  dm.StopServers();
  EXPECT_EQ(Files(folder + "MailBox/bob"), (std::vector<std::string>{"Linked", "Work"}));
  EXPECT_EQ(Files(folder + "MailBox/bob/Work"), std::vector<std::string>{"2026"});
  EXPECT_TRUE(Files(folder + "MailBox/bob/Work/2026").empty());
  EXPECT_EQ(Files(folder + "elsewhere"), std::vector<std::string>{"vxtmp-Ss3333"});
  EXPECT_EQ(Files(folder + "RelayQueue"), std::vector<std::string>{"MAIL00000002.MSG"});
  const std::string log = ReadFile(folder + "VxMailServers.log");
  // "删除临时文件: 4" in code page 936, before the servers' start lines.
  const size_t removed = log.find(std::string(vxtext::kTempFilesRemoved) + "4 ");
  ASSERT_NE(removed, std::string::npos) << log;
  EXPECT_LT(removed, log.find(vxtext::kServerStart));
}
