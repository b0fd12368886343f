// Fixtures of the console tests: recording message boxes, a scripted service
// control, and a program folder with a settings.ini in code page 936.
#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <deque>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "../unit/TestSupport.h"
#include "ConsoleDialogs.h"
#include "dmVxMailServersSettingsU.h"
#include "frmVxMailStationU.h"
#include "regServerU.h"

namespace consoletest {

// Code page 936 bytes of the names the tests use.
inline constexpr char kZhangSan[] = "\xd5\xc5\xc8\xfd";  // 张三
inline constexpr char kLiSi[] = "\xc0\xee\xcb\xc4";      // 李四
inline constexpr char kWangWu[] = "\xcd\xf5\xce\xe5";    // 王五

struct TMessage {
  QString Text, Detail;
};

class TFakeDialogs : public vxconsole::IConsoleDialogs {
 public:
  void ShowMessage(const QString& Text, const QString& Detail) override { Messages.push_back({Text, Detail}); }
  bool Confirm(const QString& Text, const QString& Caption) override {
    Confirms.push_back({Text, Caption});
    return ConfirmAnswer;
  }
  QString LastText() const { return Messages.empty() ? QString() : Messages.back().Text; }

  std::vector<TMessage> Messages;
  std::vector<TMessage> Confirms;  // Detail holds the caption
  bool ConfirmAnswer = true;
};

// What the scripted service control answers, and the calls it saw.
struct TServiceScript {
  bool Exists = true;
  bool Running = false;
  bool Paused = false;  // counts as active, not as running
  bool StopReaches = true;
  bool StartReaches = true;
  bool Throw = false;
  vxconsole::TRunResult Run{true, 0, "Service installed successfully"};
  std::vector<std::string> Calls;
};

class TFakeServiceControl : public vxconsole::IServiceControl {
 public:
  explicit TFakeServiceControl(TServiceScript& Script) : S(Script) {}
  bool ServiceExists(const std::string& AName) override {
    S.Calls.push_back("exists " + AName);
    if (S.Throw) throw std::runtime_error("boom");
    return S.Exists;
  }
  bool ServiceRunning(const std::string& AName) override {
    S.Calls.push_back("running " + AName);
    return S.Running;
  }
  bool ServiceActive(const std::string& AName) override {
    S.Calls.push_back("active " + AName);
    return S.Running || S.Paused;
  }
  bool SetServiceState(const std::string& AName, int AOperation) override {
    S.Calls.push_back("state " + AName + " " + std::to_string(AOperation));
    bool reached = AOperation == vxconsole::soStart ? S.StartReaches : S.StopReaches;
    if (reached) S.Running = AOperation == vxconsole::soStart;
    if (reached) S.Paused = false;
    return reached;
  }
  vxconsole::TRunResult RunProgram(const std::string& Path, const std::string& Params,
                                   const std::string& Folder) override {
    S.Calls.push_back("run " + Path + " " + Params + " in " + Folder);
    return S.Run;
  }
  std::string LastErrorText() const override { return "not reached"; }

 private:
  TServiceScript& S;
};

// A program folder with settings.ini, its data module and the form on it.
class ConsoleFixture : public ::testing::Test {
 protected:
  std::string Folder() const { return FTemp.Dir(); }
  std::string SettingsFile() const { return Folder() + "settings.ini"; }

  void WriteSettings(const std::string& Text) {
    std::ofstream out(SettingsFile(), std::ios::binary);
    out << Text;
  }
  // Three accounts and a stale USER3 section the reader ignores.
  void WriteThreeAccounts() {
    WriteSettings(std::string("[SMTP]\r\nRelayInterval=300\r\nPort=2525\r\nDnsServer=127.0.0.2\r\n") +
                  "RelayDir=/q/relay\r\nBadDir=/q/bad\r\n[MAILBOX]\r\nMailboxDir=/q/box\r\n" +
                  "[POP3]\r\nPort=1110\r\n[IMAP]\r\nPort=1143\r\n[USERS]\r\nCount=3\r\n" +
                  "[USER0]\r\nDisplayName=" + kZhangSan + "\r\nUserName=zhang@example.test\r\nPassword=z1\r\n" +
                  "[USER1]\r\nDisplayName=" + kLiSi + "\r\nUserName=li@example.test\r\nPassword=l1\r\n" +
                  "[USER2]\r\nDisplayName=" + kWangWu + "\r\nUserName=wang@example.test\r\nPassword=w1\r\n" +
                  "[USER3]\r\nDisplayName=old\r\nUserName=old@example.test\r\nPassword=o1\r\n");
  }

  // Loads the folder's settings into a data module and opens the form on it.
  void OpenForm(const std::string& ProgramFolder = std::string()) {
    std::string folder = ProgramFolder.empty() ? Folder() : ProgramFolder;
    Data = std::make_unique<TdmVxMailServersSettings>(folder, folder + "VxMailStation");
    Data->DataModuleCreate();
    Form = std::make_unique<vxconsole::TfrmVxMailStation>(
        *Data, Dialogs, [this] { return std::make_unique<TFakeServiceControl>(Script); });
  }

  template <class T>
  T* Find(const char* Name) {
    T* w = Form->findChild<T*>(Name);
    EXPECT_NE(w, nullptr) << Name;
    return w;
  }

  testsupport::TempDir FTemp;
  TFakeDialogs Dialogs;
  TServiceScript Script;
  std::unique_ptr<TdmVxMailServersSettings> Data;
  std::unique_ptr<vxconsole::TfrmVxMailStation> Form;
};

}  // namespace consoletest
