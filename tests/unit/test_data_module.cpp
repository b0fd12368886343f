// The data module's start and stop sequences with recording components in
// the server slots: the order servers start and stop in, what a failed start
// leaves behind, and what reaches the components from settings.ini.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "IniFile.h"
#include "ServiceTestSupport.h"
#include "dmVxMailServersU.h"
#include "qvLogger.h"

namespace fs = std::filesystem;

namespace {

using servicetest::TFakeServer;

struct Host {
  std::string folder;
  std::vector<std::string> calls;
  std::unique_ptr<TdmVxMailServers> dm;
  TFakeServer *smtp, *pop3, *imap;

  explicit Host(const std::string& ini) {
    char tmpl[] = "/tmp/vxdmXXXXXX";
    folder = std::string(mkdtemp(tmpl)) + "/";
    std::ofstream(folder + "settings.ini", std::ios::binary) << ini;
    // The handlers log; keep that out of the build folder.
    TqvLogger::Instance()->SetLogFile(folder + "VxMailServers.log");
    dm = std::make_unique<TdmVxMailServers>(folder, folder + "VxMailServers");
    dm->UserAccounts = std::make_unique<TqvMailUserAccountList>();
    auto s = std::make_unique<TFakeServer>("smtp", calls);
    auto p = std::make_unique<TFakeServer>("pop3", calls);
    auto i = std::make_unique<TFakeServer>("imap", calls);
    smtp = s.get();
    pop3 = p.get();
    imap = i.get();
    dm->qvSmtpServer1 = std::move(s);
    dm->qvPop3Server1 = std::move(p);
    dm->qvImap4Server1 = std::move(i);
    dm->BindComponents();
  }
  ~Host() {
    dm.reset();
    fs::remove_all(folder);
  }
};

const char* kIni =
    "[SMTP]\r\nPort=2525\r\nRelayInterval=700\r\nRelayDir=queue\r\n[POP3]\r\nPort=1110\r\n[IMAP]\r\nPort=1143\r\n"
    "[USERS]\r\nCount=1\r\n[USER0]\r\nUserName=alice@example.test\r\nPassword=secret\r\n";

}  // namespace

TEST(DataModule, StartAppliesSettingsAndStartsInOrder) {
  Host h(kIni);
  h.dm->StartServers();
  EXPECT_EQ(h.calls, (std::vector<std::string>{"start smtp", "start pop3", "start imap"}));
  EXPECT_EQ(h.smtp->Port(), 2525);
  EXPECT_EQ(h.pop3->Port(), 1110);
  EXPECT_EQ(h.imap->Port(), 1143);
  EXPECT_EQ(h.dm->Timer1.Interval(), 700);
  EXPECT_TRUE(h.dm->Timer1.Enabled());
  EXPECT_TRUE(h.dm->Serving());
  EXPECT_EQ(h.dm->qvSmtpFileHandler1->RelayDir(), h.folder + "queue");
  EXPECT_TRUE(fs::is_directory(h.folder + "queue"));
  EXPECT_TRUE(fs::is_directory(h.folder + "MailBox"));
  EXPECT_TRUE(fs::is_directory(h.folder + "Bad"));

  // Each server has its own copy, matched exactly like the master list.
  ASSERT_EQ(h.pop3->FAccounts.Count(), 1);
  EXPECT_FALSE(h.pop3->FAccounts.CaseInsensitive());
  h.dm->UserAccounts->Clear();
  EXPECT_EQ(h.pop3->FAccounts.Count(), 1);

  h.calls.clear();
  h.dm->qvSmtpFileHandler1->SetCounter(9);
  h.dm->StopServers();
  EXPECT_EQ(h.calls, (std::vector<std::string>{"stop imap", "stop pop3", "stop smtp"}));
  EXPECT_FALSE(h.dm->Timer1.Enabled());
  EXPECT_EQ(plat::TIniFile(h.folder + "MailBoxsmtp.dat").ReadInteger("SMTP", "Counter", 0), 9);
}

TEST(DataModule, EachStartRereadsSettings) {
  Host h(kIni);
  h.dm->StartServers();
  h.dm->StopServers();
  // The console adds an account between two runs.
  plat::TIniFile ini(h.folder + "settings.ini");
  ini.WriteInteger("USERS", "Count", 2);
  ini.WriteString("USER1", "UserName", "bob@example.test");
  ini.UpdateFile();
  h.dm->StartServers();
  ASSERT_EQ(h.smtp->FAccounts.Count(), 2);
  EXPECT_NE(h.smtp->FAccounts.FindAccountByEmail("bob@example.test"), nullptr);
}

TEST(DataModule, FailedStartStopsWhatItStarted) {
  Host h(kIni);
  h.imap->FailStart = true;
  h.dm->qvSmtpFileHandler1->SetCounter(5);
  EXPECT_THROW(h.dm->StartServers(), Exception);
  EXPECT_EQ(h.calls, (std::vector<std::string>{"start smtp", "start pop3", "stop pop3", "stop smtp"}));
  EXPECT_FALSE(h.smtp->Active());
  EXPECT_FALSE(h.dm->Timer1.Enabled());
  EXPECT_FALSE(h.dm->Serving());
}

TEST(DataModule, PortOutOfRangeFailsThatServersStart) {
  Host h("[SMTP]\r\nPort=70000\r\n");
  TdmVxMailServers dm(h.folder, h.folder + "VxMailServers");  // with its own placeholders
  dm.UserAccounts = std::make_unique<TqvMailUserAccountList>();
  try {
    dm.StartServers();
    FAIL() << "started on port 70000";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "SMTP port 70000: Invalid port number");
  }
  EXPECT_FALSE(dm.qvSmtpServer1->Active());
  EXPECT_FALSE(dm.qvPop3Server1->Active());
}

TEST(DataModule, NonDecimalSettingStopsTheApplyStep) {
  Host h(kIni);
  h.dm->LoadSettings();
  h.dm->Pop3Port = "11O";
  EXPECT_THROW(h.dm->ApplySettings(), EConvertError);
  EXPECT_EQ(h.smtp->Port(), 2525);  // applied before the bad one
  EXPECT_EQ(h.imap->Port(), 0);
}

TEST(DataModule, StartRemovesCrashLeftoversDownTheMailboxTreeOnly) {
  Host h(kIni);
  const std::string box = h.folder + "MailBox/alice/INBOX/Sub/";
  const std::string outside = h.folder + "outside/";
  fs::create_directories(box);
  fs::create_directories(h.folder + "queue");
  fs::create_directories(outside);
  fs::create_directory_symlink(outside, h.folder + "MailBox/alice/link");
  for (const std::string& path : {h.folder + "MailBox/alice/vxtmp-a1b2c3", box + "vxtmp-d4e5f6",
                                  box + "MAIL00000001.MSG", h.folder + "queue/vxtmp-g7h8i9",
                                  outside + "vxtmp-j1k2l3"})
    std::ofstream(path, std::ios::binary) << "x";
  h.dm->StartServers();
  EXPECT_FALSE(fs::exists(h.folder + "MailBox/alice/vxtmp-a1b2c3"));
  EXPECT_FALSE(fs::exists(box + "vxtmp-d4e5f6"));
  EXPECT_FALSE(fs::exists(h.folder + "queue/vxtmp-g7h8i9"));
  // Mail stays, and a linked folder is never followed.
  EXPECT_TRUE(fs::exists(box + "MAIL00000001.MSG"));
  EXPECT_TRUE(fs::exists(outside + "vxtmp-j1k2l3"));
  h.dm->StopServers();
}

TEST(DataModule, StartSweepsQueueAndBadMailFoldersWhenTheMailboxFolderCannotBeListed) {
  Host h(kIni);
  // A file where the mailbox folder should be.
  std::ofstream(h.folder + "MailBox", std::ios::binary) << "not a folder";
  fs::create_directories(h.folder + "queue");
  fs::create_directories(h.folder + "Bad");
  for (const char* name : {"queue/vxtmp-g7h8i9", "Bad/vxtmp-m4n5p6"})
    std::ofstream(h.folder + name, std::ios::binary) << "x";
  for (const char* name : {"queue/MAIL00000001.ENV", "Bad/MAIL00000002.ENV"})
    std::ofstream(h.folder + name, std::ios::binary) << "a@x.test\r\nb@y.test\r\n";
  h.dm->StartServers();
  EXPECT_FALSE(fs::exists(h.folder + "queue/vxtmp-g7h8i9"));
  EXPECT_FALSE(fs::exists(h.folder + "Bad/vxtmp-m4n5p6"));
  EXPECT_TRUE(fs::exists(h.folder + "queue/MAIL00000001.ENV"));
  EXPECT_TRUE(fs::exists(h.folder + "Bad/MAIL00000002.ENV"));
  EXPECT_TRUE(fs::is_regular_file(h.folder + "MailBox"));
  h.dm->StopServers();
}
