// The settings half of the host's data module, shared by the service and the
// console: the settings strings and the master account list, loaded from and
// saved to "settings.ini" in the program folder, and the log file name.
// The strings hold the values exactly as loaded; folders are resolved only
// where they are used (ResolveFolder). One thread at a time: the service loads
// on its service thread at each start, the console on its GUI thread.
// LoadSettings never raises; a settings.ini that exists but cannot be read
// loads as defaults and is remembered in SettingsError, and SaveSettings then
// refuses to write over it. SaveSettings raises EOSError when the file cannot
// be written (the old file then stays whole); the file it writes is readable
// by its owner only (it holds passwords).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ClassCore.h"
#include "qvMailUserMgr.h"

class TdmVxMailServersSettings : public TComponent {
 public:
  // Folder (with trailing "/") and full path of the program whose settings
  // these are; the defaults are the running program's.
  TdmVxMailServersSettings();
  TdmVxMailServersSettings(std::string ProgramFolder, std::string ProgramPath);
  ~TdmVxMailServersSettings() override;
  VX_CLASS_NAME("TdmVxMailServers")

  // Creates UserAccounts, points the logger at GetLogFile, loads the settings.
  void DataModuleCreate();

  std::string GetLogFile() const;       // program path with ".log"
  std::string GetSettingsFile() const;  // program folder + "settings.ini"
  void LoadSettings();
  void SaveSettings();
  // Why the last LoadSettings could not read settings.ini (names the file
  // and the system error); empty when it was read or does not exist.
  const std::string& SettingsError() const { return FSettingsError; }

  // The folder a setting names: empty means its default, a relative folder is
  // taken from the program folder; a trailing "/" is kept.
  std::string ResolveFolder(const std::string& Value, const char* DefaultName) const;
  std::string MailboxFolder() const { return ResolveFolder(MailboxDir, "MailBox"); }
  std::string RelayFolder() const { return ResolveFolder(RelayDir, "RelayQueue"); }
  std::string BadFolder() const { return ResolveFolder(BadDir, "Bad"); }

  const std::string& ProgramFolder() const { return FProgramFolder; }

  std::string RelayInterval;
  std::string SmtpPort;
  std::string DnsServer;
  std::string RelayDir;
  std::string BadDir;
  // Seconds a queued pair waits after its 1st, 2nd, ... temporary failure
  // (the last one repeats), comma-separated; and the age in seconds (from
  // its message file's time) past which a pair that fails again goes to the
  // bad-mail folder.
  std::string RetryWaits;
  std::string GiveUpAge;
  std::string MailboxDir;
  std::string Pop3Port;
  std::string ImapPort;
  std::unique_ptr<TqvMailUserAccountList> UserAccounts;
  bool LoadingUser = false;

 private:
  std::string FProgramFolder;
  std::string FProgramPath;
  std::string FSettingsError;
  uint32_t FSettingsErrorCode = 0;
};

// Strict decimal text to int; false when it is not one.
bool TryStrToInt(const std::string& Text, int& Value);

// 1, 5, 15 and 30 minutes, then every hour; five days.
inline constexpr char kDefaultRetryWaits[] = "60,300,900,1800,3600";
inline constexpr int kDefaultGiveUpAge = 5 * 24 * 3600;
// RetryWaits text as its numbers of seconds (blanks around each allowed);
// false, AWaits untouched, unless every item is a number from 0 up.
bool ParseRetryWaits(const std::string& Text, std::vector<int>& AWaits);
