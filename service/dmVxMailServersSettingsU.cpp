#include "dmVxMailServersSettingsU.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "AsciiText.h"
#include "Decimal.h"
#include "IniFile.h"
#include "ProgramPath.h"
#include "SysError.h"
#include "TextTrim.h"
#include "qvLogger.h"

namespace {

// "USERn" with n decimal without leading zeros (the names the reader asks for).
bool UserSectionNumber(const std::string& name, int& n) {
  if (name.size() < 5 || name.size() > 14 || !plat::AsciiStartsWith(name, "USER")) return false;
  std::string digits = name.substr(4);
  if (digits.size() > 1 && digits[0] == '0') return false;
  const std::optional<int> v = plat::ParseDecimal<int>(digits);
  if (v) n = *v;
  return v.has_value();
}

}  // namespace

bool TryStrToInt(const std::string& Text, int& Value) {
  const std::optional<int> v = plat::ParseDecimal<int>(Text, plat::TDecimalSign::PlusOrMinus);
  if (v) Value = *v;
  return v.has_value();
}

bool ParseRetryWaits(const std::string& Text, std::vector<int>& AWaits) {
  std::vector<int> waits;
  size_t from = 0;
  for (;;) {
    const size_t comma = Text.find(',', from);
    int v;
    if (!TryStrToInt(plat::Trim(Text.substr(from, comma - from)), v) || v < 0) return false;
    waits.push_back(v);
    if (comma == std::string::npos) break;
    from = comma + 1;
  }
  AWaits = std::move(waits);
  return true;
}

TdmVxMailServersSettings::TdmVxMailServersSettings()
    : TdmVxMailServersSettings(plat::ProgramFolder(), plat::ProgramPath()) {}

TdmVxMailServersSettings::TdmVxMailServersSettings(std::string ProgramFolder, std::string ProgramPath)
    : FProgramFolder(plat::IncludeTrailingPathDelimiter(ProgramFolder)), FProgramPath(std::move(ProgramPath)) {}

TdmVxMailServersSettings::~TdmVxMailServersSettings() = default;

void TdmVxMailServersSettings::DataModuleCreate() {
  UserAccounts = std::make_unique<TqvMailUserAccountList>();
  TqvLogger::Instance()->SetLogFile(GetLogFile());
  LoadSettings();
}

std::string TdmVxMailServersSettings::GetLogFile() const { return plat::ChangeFileExt(FProgramPath, ".log"); }

std::string TdmVxMailServersSettings::GetSettingsFile() const { return FProgramFolder + "settings.ini"; }

std::string TdmVxMailServersSettings::ResolveFolder(const std::string& Value, const char* DefaultName) const {
  if (Value.empty()) return FProgramFolder + DefaultName;
  if (Value[0] == '/') return Value;
  return FProgramFolder + Value;
}

void TdmVxMailServersSettings::LoadSettings() {
  plat::TIniFile ini(GetSettingsFile());
  FSettingsErrorCode = ini.ReadError();
  FSettingsError = FSettingsErrorCode == 0 ? std::string()
                                           : "Cannot read settings file \"" + GetSettingsFile() +
                                                 "\": " + plat::SysErrorMessage(FSettingsErrorCode);
  if (!ini.Exists()) {
    RelayDir = FProgramFolder + "RelayQueue";
    BadDir = FProgramFolder + "Bad";
    MailboxDir = FProgramFolder + "MailBox";
    RelayInterval = "5000";
    SmtpPort = "25";
    DnsServer = "127.0.0.1";
    RetryWaits = kDefaultRetryWaits;
    GiveUpAge = std::to_string(kDefaultGiveUpAge);
    Pop3Port = "110";
    ImapPort = "143";
    return;
  }
  RelayInterval = std::to_string(ini.ReadInteger("SMTP", "RelayInterval", 5000));
  SmtpPort = std::to_string(ini.ReadInteger("SMTP", "Port", 25));
  DnsServer = ini.ReadString("SMTP", "DnsServer", "");
  RelayDir = ini.ReadString("SMTP", "RelayDir", FProgramFolder + "RelayQueue");
  BadDir = ini.ReadString("SMTP", "BadDir", FProgramFolder + "Bad");
  RetryWaits = ini.ReadString("SMTP", "RetryWaits", kDefaultRetryWaits);
  std::vector<int> waits;
  if (!ParseRetryWaits(RetryWaits, waits)) RetryWaits = kDefaultRetryWaits;
  const int giveUp = ini.ReadInteger("SMTP", "GiveUpAge", kDefaultGiveUpAge);
  GiveUpAge = std::to_string(giveUp < 0 ? kDefaultGiveUpAge : giveUp);
  MailboxDir = ini.ReadString("MAILBOX", "MailboxDir", FProgramFolder + "MailBox");
  Pop3Port = std::to_string(ini.ReadInteger("POP3", "Port", 110));
  ImapPort = std::to_string(ini.ReadInteger("IMAP", "Port", 143));

  UserAccounts->Clear();
  // A Count beyond the sections present would only make empty accounts:
  // read no further than the highest USERn section.
  int count = ini.ReadInteger("USERS", "Count", 0);
  int highest = -1;
  for (const auto& section : ini.ReadSections()) {
    int n;
    if (UserSectionNumber(section, n)) highest = std::max(highest, n);
  }
  count = std::min(count, highest + 1);
  for (int i = 0; i < count; ++i) {
    std::string section = "USER" + std::to_string(i);
    TqvMailUserAccountItem* item = UserAccounts->Add();
    item->SetDisplayName(ini.ReadString(section, "DisplayName", ""));
    item->SetUserName(ini.ReadString(section, "UserName", ""));
    item->SetPassword(ini.ReadString(section, "Password", ""));
    item->SetEmail(item->UserName());
  }
}

void TdmVxMailServersSettings::SaveSettings() {
  auto toInt = [](const std::string& s, int def) {
    int v;
    return TryStrToInt(s, v) ? v : def;
  };
  // Defaults in place of a file that could not be read must never replace it.
  if (FSettingsErrorCode != 0) throw EOSError(FSettingsErrorCode, FSettingsError);
  plat::TIniFile ini(GetSettingsFile());
  ini.OwnerOnly = true;
  ini.WriteInteger("SMTP", "RelayInterval", toInt(RelayInterval, 5000));
  ini.WriteInteger("SMTP", "Port", toInt(SmtpPort, 25));
  ini.WriteString("SMTP", "DnsServer", DnsServer);
  ini.WriteString("SMTP", "RelayDir", RelayDir);
  ini.WriteString("SMTP", "BadDir", BadDir);
  std::vector<int> waits;
  ini.WriteString("SMTP", "RetryWaits", ParseRetryWaits(RetryWaits, waits) ? RetryWaits : kDefaultRetryWaits);
  ini.WriteInteger("SMTP", "GiveUpAge", toInt(GiveUpAge, kDefaultGiveUpAge));
  ini.WriteString("MAILBOX", "MailboxDir", MailboxDir);
  ini.WriteInteger("POP3", "Port", toInt(Pop3Port, 110));
  ini.WriteInteger("IMAP", "Port", toInt(ImapPort, 143));
  int count = UserAccounts ? UserAccounts->Count() : 0;
  ini.WriteInteger("USERS", "Count", count);
  for (int i = 0; i < count; ++i) {
    const TqvMailUserAccountItem* item = UserAccounts->Items(i);
    std::string section = "USER" + std::to_string(i);
    ini.WriteString(section, "DisplayName", item->DisplayName());
    ini.WriteString(section, "UserName", item->UserName());
    ini.WriteString(section, "Password", item->Password());
  }
  ini.UpdateFile();
}
