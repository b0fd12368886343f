// settings.ini is shared by the console (writer) and the service (reader):
// defaults, the account sections and the counter path must read the same in
// both, and a save must not lose what the file held.
#include <gtest/gtest.h>
#include <iconv.h>
#include <sys/stat.h>

#include <filesystem>

#include "IniFile.h"
#include "TestSupport.h"
#include "VxMailTexts.h"
#include "dmVxMailServersU.h"

namespace fs = std::filesystem;

namespace {

struct Folder {
  testsupport::TempDir dir;
  const std::string path = dir.Dir();
  void Write(const std::string& name, const std::string& text) const { testsupport::WriteFileBytes(path + name, text); }
  std::string Read(const std::string& name) const { return testsupport::ReadFileBytes(path + name); }
};

struct Module {
  explicit Module(const Folder& f) : dm(f.path, f.path + "VxMailServers") {
    dm.UserAccounts = std::make_unique<TqvMailUserAccountList>();
  }
  TdmVxMailServersSettings dm;
};

std::string FromCp936(const std::string& bytes) {
  iconv_t cd = iconv_open("UTF-8", "CP936");
  std::string out(bytes.size() * 3 + 1, '\0');
  char* in = const_cast<char*>(bytes.data());
  size_t inLeft = bytes.size(), outLeft = out.size();
  char* o = out.data();
  size_t r = iconv(cd, &in, &inLeft, &o, &outLeft);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1)) return "<bad bytes>";
  out.resize(out.size() - outLeft);
  return out;
}

}  // namespace

TEST(Settings, NoFileGivesProgramDefaults) {
  Folder f;
  Module m(f);
  m.dm.LoadSettings();
  EXPECT_EQ(m.dm.RelayInterval, "5000");
  EXPECT_EQ(m.dm.SmtpPort, "25");
  EXPECT_EQ(m.dm.Pop3Port, "110");
  EXPECT_EQ(m.dm.ImapPort, "143");
  EXPECT_EQ(m.dm.DnsServer, "127.0.0.1");
  EXPECT_EQ(m.dm.RelayDir, f.path + "RelayQueue");
  EXPECT_EQ(m.dm.BadDir, f.path + "Bad");
  EXPECT_EQ(m.dm.MailboxDir, f.path + "MailBox");
  EXPECT_EQ(m.dm.RetryWaits, "60,300,900,1800,3600");
  EXPECT_EQ(m.dm.GiveUpAge, "432000");
  EXPECT_EQ(m.dm.UserAccounts->Count(), 0);
  EXPECT_EQ(m.dm.GetLogFile(), f.path + "VxMailServers.log");
}

TEST(Settings, FileWithMissingOrBadKeysGivesKeyDefaults) {
  Folder f;
  f.Write("settings.ini", "[smtp]\r\nport=abc\r\nRelayInterval = 300 \r\n[IMAP]\r\nPort=1143\r\n");
  Module m(f);
  m.dm.LoadSettings();
  EXPECT_EQ(m.dm.SmtpPort, "25");
  EXPECT_EQ(m.dm.RelayInterval, "300");
  EXPECT_EQ(m.dm.ImapPort, "1143");
  EXPECT_EQ(m.dm.Pop3Port, "110");
  EXPECT_EQ(m.dm.DnsServer, "");  // unlike the no-file default
  EXPECT_EQ(m.dm.MailboxDir, f.path + "MailBox");
  EXPECT_EQ(m.dm.RetryWaits, "60,300,900,1800,3600");
  EXPECT_EQ(m.dm.GiveUpAge, "432000");
}

TEST(Settings, RelayWaitsAndGiveUpAge) {
  Folder f;
  f.Write("settings.ini", "[SMTP]\r\nRetryWaits= 1, 2 ,30\r\nGiveUpAge=90\r\n");
  Module m(f);
  m.dm.LoadSettings();
  std::vector<int> waits;
  ASSERT_TRUE(ParseRetryWaits(m.dm.RetryWaits, waits));
  EXPECT_EQ(waits, (std::vector<int>{1, 2, 30}));
  EXPECT_EQ(m.dm.GiveUpAge, "90");
  for (const char* bad : {"1,,2", "x", "", "1,-2"}) {
    f.Write("settings.ini", std::string("[SMTP]\r\nRetryWaits=") + bad + "\r\nGiveUpAge=-1\r\n");
    m.dm.LoadSettings();
    EXPECT_EQ(m.dm.RetryWaits, "60,300,900,1800,3600") << bad;
    EXPECT_EQ(m.dm.GiveUpAge, "432000");
  }
}

TEST(Settings, AccountSectionsAndCountClamp) {
  Folder f;
  std::string users =
      "[USER0]\r\nDisplayName=\xd5\xc5\xc8\xfd\r\nUserName=alice@example.test\r\nPassword=secret\r\n"
      "[USER1]\r\nUserName=\r\nPassword=x\r\n"
      "[USER2]\r\nUserName=carol@example.test\r\n";
  f.Write("settings.ini", "[USERS]\r\nCount=2\r\n" + users);
  Module m(f);
  m.dm.LoadSettings();
  ASSERT_EQ(m.dm.UserAccounts->Count(), 2);  // USER2 is beyond Count
  auto* a = m.dm.UserAccounts->Items(0);
  EXPECT_EQ(FromCp936(a->DisplayName()), "张三");
  EXPECT_EQ(a->Email(), "alice@example.test");
  EXPECT_EQ(m.dm.UserAccounts->Items(1)->UserName(), "");  // kept, though it can never log in

  // A huge Count stops at the highest section present.
  f.Write("settings.ini", "[USERS]\r\nCount=2147483647\r\n" + users);
  m.dm.LoadSettings();
  EXPECT_EQ(m.dm.UserAccounts->Count(), 3);
  EXPECT_FALSE(m.dm.UserAccounts->CaseInsensitive());
}

TEST(Settings, SaveWritesEveryKeyInOrderAndKeepsStaleSections) {
  Folder f;
  f.Write("settings.ini", "; mine\r\n[USERS]\r\nCount=3\r\n[USER2]\r\nUserName=old@example.test\r\n[Other]\r\nk=v\r\n");
  chmod((f.path + "settings.ini").c_str(), 0640);
  Module m(f);
  m.dm.LoadSettings();
  m.dm.SmtpPort = "junk";
  m.dm.UserAccounts->Clear();
  auto* u = m.dm.UserAccounts->Add();
  u->SetDisplayName("Alice");
  u->SetUserName("alice@example.test");
  u->SetPassword("pw");
  m.dm.SaveSettings();

  plat::TIniFile ini(f.path + "settings.ini");
  EXPECT_EQ(ini.ReadString("SMTP", "Port", ""), "25");  // unparseable text saves its default
  EXPECT_EQ(ini.ReadString("SMTP", "RelayDir", ""), f.path + "RelayQueue");
  EXPECT_EQ(ini.ReadString("USERS", "Count", ""), "1");
  EXPECT_EQ(ini.ReadString("USER0", "Password", ""), "pw");
  EXPECT_FALSE(ini.ValueExists("USER0", "Email"));
  EXPECT_EQ(ini.ReadString("USER2", "UserName", ""), "old@example.test");
  EXPECT_EQ(ini.ReadString("Other", "k", ""), "v");
  std::string text = f.Read("settings.ini");
  EXPECT_TRUE(text.starts_with("; mine\r\n"));
  size_t at = 0;
  for (const char* key : {"RelayInterval=", "Port=", "DnsServer=", "RelayDir=", "BadDir=", "RetryWaits=", "GiveUpAge="}) {
    size_t p = text.find(key, at);
    ASSERT_NE(p, std::string::npos) << key;
    at = p;
  }
  struct stat st;
  stat((f.path + "settings.ini").c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0600u);  // it holds passwords: the owner's alone

  m.dm.LoadSettings();
  EXPECT_EQ(m.dm.UserAccounts->Count(), 1);
}

TEST(Settings, SaveIntoMissingFolderRaises) {
  TdmVxMailServersSettings dm("/nonexistent-vx/", "/nonexistent-vx/VxMailStation");
  dm.UserAccounts = std::make_unique<TqvMailUserAccountList>();
  dm.LoadSettings();
  EXPECT_THROW(dm.SaveSettings(), EOSError);
}

TEST(Settings, FoldersAndCounterPath) {
  Folder f;
  TdmVxMailServers dm(f.path, f.path + "VxMailServers");
  dm.UserAccounts = std::make_unique<TqvMailUserAccountList>();
  dm.LoadSettings();
  EXPECT_EQ(dm.GetCounterFile(), f.path + "MailBoxsmtp.dat");  // beside, not inside
  dm.MailboxDir = "/var/mail/vx/";
  EXPECT_EQ(dm.GetCounterFile(), "/var/mail/vx/smtp.dat");
  // An empty folder is its default, never the file-system root; a relative
  // one hangs off the program folder.
  dm.MailboxDir = "";
  EXPECT_EQ(dm.GetCounterFile(), f.path + "MailBoxsmtp.dat");
  dm.RelayDir = "";
  EXPECT_EQ(dm.RelayFolder(), f.path + "RelayQueue");
  dm.BadDir = "spool/bad";
  EXPECT_EQ(dm.BadFolder(), f.path + "spool/bad");
}

TEST(Settings, CounterSavedOnlyWhereItsFolderExists) {
  Folder f;
  TdmVxMailServers dm(f.path, f.path + "VxMailServers");
  dm.UserAccounts = std::make_unique<TqvMailUserAccountList>();
  dm.LoadSettings();
  dm.LoadCounter();
  EXPECT_EQ(dm.qvSmtpFileHandler1->Counter(), 1);
  dm.qvSmtpFileHandler1->SetCounter(42);
  dm.SaveCounter();
  EXPECT_EQ(plat::TIniFile(f.path + "MailBoxsmtp.dat").ReadInteger("SMTP", "Counter", 0), 42);
  dm.qvSmtpFileHandler1->SetCounter(1);
  dm.LoadCounter();
  EXPECT_EQ(dm.qvSmtpFileHandler1->Counter(), 42);

  dm.MailboxDir = f.path + "absent/";
  dm.SaveCounter();
  EXPECT_FALSE(fs::exists(f.path + "absent"));
}

TEST(Settings, HostTextsAreCodePage936) {
  struct {
    const char* bytes;
    const char* utf8;
  } texts[] = {
      {vxtext::kDisplayName, "Fenwa邮件服务器"},
      {vxtext::kRelaySendCommand, "发送转发命令: "},
      {vxtext::kRelayReceiveResponse, "接收转发响应: "},
      {vxtext::kAcceptConnection, "接受连接. 主机: "},
      {vxtext::kCloseConnection, "断开连接. 主机: "},
      {vxtext::kReceiveCommand, "命令: "},
      {vxtext::kSendResponse, "转发: "},
      {vxtext::kServerError, "异常 !!!"},
      {vxtext::kServerStart, "启动服务"},
      {vxtext::kServerStop, "停止服务"},
      {vxtext::kProcessQueue, "处理队列"},
      {vxtext::kDeliveryError, "传送错误: 代码 = %d, 错误 = %d, 信息 = %s, %s 复制到错误文件夹 - %s"},
      {vxtext::kCopySucceeded, "成功"},
      {vxtext::kCopyFailed, "复制失败"},
      {vxtext::kTempFilesRemoved, "删除临时文件: "},
      {vxtext::kDescriptorLimit, "文件描述符上限: "},
      {vxtext::kRecipientRefused, "收件人被拒绝: "},
      {vxtext::kRecipientDeferred, "收件人暂缓: "},
      {vxtext::kDomainDeferred, "域名暂缓: "},
      {vxtext::kRetryLater, "稍后重试: "},
      {vxtext::kGivenUp, "排队时间已到: "},
      {vxtext::kNoRecipients, "信封没有收件人: "},
      {vxtext::kCodeField, ", 代码 = "},
      {vxtext::kErrorField, ", 错误 = "},
      {vxtext::kInfoField, ", 信息 = "},
      {vxtext::kRecipientsField, ", 收件人 = "},
      {vxtext::kWaitField, ", 等待秒数 = "},
      {vxtext::kSavedAs, "另存为 "},
  };
  for (const auto& t : texts) EXPECT_EQ(FromCp936(t.bytes), t.utf8);
}
