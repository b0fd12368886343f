// The five service buttons: their decisions against a scripted service
// control, and one run against the real VxMailServers in a temporary folder
// with its own service database.
#include <sys/socket.h>
#include <unistd.h>

#include <QPushButton>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "../unit/TestSockets.h"
#include "ConsoleTestSupport.h"
#include "IniFile.h"
#include "ProgramPath.h"
#include "VxMailStationTexts.h"
#include "VxMailTexts.h"

using namespace consoletest;
namespace text = vxconsole::text;

namespace {

QString U(const char* s) { return QString::fromUtf8(s); }

}  // namespace

class ConsoleServiceButtons : public ConsoleFixture {
 protected:
  void SetUp() override { OpenForm(); }
  void Click(const char* Name) { Find<QPushButton>(Name)->click(); }
  std::vector<std::string> Calls() const { return Script.Calls; }
  std::string Run(const char* Switch) const {
    return "run " + Folder() + "VxMailServers " + Switch + " in " + Folder();
  }
};

TEST_F(ConsoleServiceButtons, EachButtonAsksOnlyWhatTheStateNeeds) {
  Script.Exists = false;
  for (const char* button : {"btnStart", "btnStop", "btnRestart", "btnUninstall"}) {
    Script.Calls.clear();
    Click(button);
    EXPECT_EQ(Dialogs.LastText(), U(text::kServiceMissing)) << button;
    EXPECT_EQ(Calls(), std::vector<std::string>{"exists VxMailServices"}) << button;
  }
  Script.Exists = true;
  Script.Running = true;
  Script.Calls.clear();
  Click("btnStart");  // no start request for a running service
  EXPECT_EQ(Dialogs.LastText(), U(text::kServiceAlreadyStarted));
  EXPECT_EQ(Calls(), (std::vector<std::string>{"exists VxMailServices", "running VxMailServices"}));
  Script.Running = false;
  Click("btnStop");
  EXPECT_EQ(Dialogs.LastText(), U(text::kServiceNotRunning));
  EXPECT_EQ(Calls().size(), 4u);
}

TEST_F(ConsoleServiceButtons, StateNotReachedIsAFailureNeverASuccess) {
  Script.StartReaches = false;
  Click("btnStart");
  EXPECT_EQ(Dialogs.LastText(), U(text::kFailed));
  EXPECT_EQ(Dialogs.Messages.back().Detail, "not reached");

  // Restart: a stop that does not happen starts nothing.
  Script.Running = true;
  Script.StopReaches = false;
  Script.Calls.clear();
  Click("btnRestart");
  EXPECT_EQ(Dialogs.LastText(), U(text::kFailed));
  EXPECT_EQ(Calls().back(), "state VxMailServices 4");

  Script.StopReaches = true;
  Script.Calls.clear();
  Click("btnRestart");
  EXPECT_EQ(Dialogs.LastText(), U(text::kFailed));  // the start still fails
  EXPECT_EQ(Calls(), (std::vector<std::string>{"exists VxMailServices", "active VxMailServices",
                                                "state VxMailServices 4", "state VxMailServices 1"}));
  Script.StartReaches = true;
  Click("btnRestart");
  EXPECT_EQ(Dialogs.LastText(), U(text::kSucceeded));

  // Uninstall stops first, and removes nothing that would not stop.
  Script.Running = true;
  Script.StopReaches = false;
  Script.Calls.clear();
  Click("btnUninstall");
  EXPECT_EQ(Dialogs.LastText(), U(text::kFailed));
  EXPECT_EQ(Calls().back(), "state VxMailServices 4");
  Script.StopReaches = true;
  Click("btnUninstall");
  EXPECT_EQ(Dialogs.LastText(), U(text::kSucceeded));
  EXPECT_EQ(Calls().back(), Run("/uninstall"));
}

TEST_F(ConsoleServiceButtons, RegisterRunsTheProgramOnlyWhenNeededAndJudgesItsExit) {
  Click("btnRegService");
  EXPECT_EQ(Dialogs.LastText(), U(text::kServiceExists));
  EXPECT_EQ(Calls(), std::vector<std::string>{"exists VxMailServices"});

  Script.Exists = false;
  Click("btnRegService");
  EXPECT_EQ(Calls().back(), Run("/install"));
  EXPECT_EQ(Dialogs.LastText(), U(text::kSucceeded));
  EXPECT_EQ(Dialogs.Messages.back().Detail, "Service installed successfully");

  Script.Run = {true, 1, "Service \"VxMailServices\" failed to install with error: \"x\""};
  Click("btnRegService");
  EXPECT_EQ(Dialogs.LastText(), U(text::kFailed));
  EXPECT_EQ(Dialogs.Messages.back().Detail, Script.Run.Output);

  Script.Run = {false, -1, "not run"};
  Click("btnRegService");
  EXPECT_EQ(Dialogs.LastText(), U(text::kFailed));

  Script.Throw = true;
  Click("btnRegService");
  EXPECT_EQ(Dialogs.LastText(), U(text::kError));
}

// ---- Against the real service program ----

namespace {

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = testsupport::Loopback(0);
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

bool PortOpen(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = testsupport::Loopback(static_cast<uint16_t>(port));
  bool open = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return open;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

class ConsoleServiceReal : public ConsoleFixture {
 protected:
  void SetUp() override {
    if (const char* old = getenv(plat::kScmDirVariable)) FOldScm = old;
    UseDatabase(Folder() + "scm");
    std::filesystem::copy_file(std::string(VX_TEST_BIN_DIR) + "/VxMailServers", Folder() + "VxMailServers");
    for (int& p : FPorts) p = FreePort();
  }
  void TearDown() override {
    vxconsole::TService leftover;  // never leave a service running behind a failed check
    if (leftover.ServiceRunning(vxconsole::kServiceName))
      static_cast<void>(leftover.SetServiceState(vxconsole::kServiceName, vxconsole::soStop));
    if (FOldScm)
      setenv(plat::kScmDirVariable, FOldScm->c_str(), 1);
    else
      unsetenv(plat::kScmDirVariable);
  }
  void UseDatabase(const std::string& Dir) { setenv(plat::kScmDirVariable, Dir.c_str(), 1); }
  void WritePorts(int Pop3Port) {
    WriteSettings("[SMTP]\r\nRelayInterval=300\r\nPort=" + std::to_string(FPorts[0]) +
                  "\r\nDnsServer=127.0.0.2\r\n[POP3]\r\nPort=" + std::to_string(Pop3Port) + "\r\n[IMAP]\r\nPort=" +
                  std::to_string(FPorts[2]) + "\r\n[USERS]\r\nCount=1\r\n[USER0]\r\nDisplayName=" + kZhangSan +
                  "\r\nUserName=alice@example.test\r\nPassword=secret\r\n");
  }
  void OpenRealForm() {
    Data = std::make_unique<TdmVxMailServersSettings>(Folder(), Folder() + "VxMailStation");
    Data->DataModuleCreate();
    Form = std::make_unique<vxconsole::TfrmVxMailStation>(*Data, Dialogs,
                                                          [] { return std::make_unique<vxconsole::TService>(); });
  }
  // Clicks and returns the message shown.
  QString Click(const char* Name) {
    size_t before = Dialogs.Messages.size();
    Form->findChild<QPushButton*>(Name)->click();
    EXPECT_EQ(Dialogs.Messages.size(), before + 1) << Name;
    return Dialogs.LastText();
  }
  QString Detail() const { return Dialogs.Messages.back().Detail; }
  std::string Registration() const { return Folder() + "scm/VxMailServices.service"; }

  std::optional<std::string> FOldScm;
  int FPorts[3] = {};
};

TEST_F(ConsoleServiceReal, RegisterStartStopRemoveThroughTheButtons) {
  WritePorts(FPorts[1]);
  OpenRealForm();
  EXPECT_EQ(Click("btnStart"), U(text::kServiceMissing));
  EXPECT_EQ(Click("btnRegService"), U(text::kSucceeded));
  EXPECT_EQ(Detail(), "Service installed successfully");
  EXPECT_TRUE(plat::FileExists(Registration()));
  EXPECT_EQ(Click("btnRegService"), U(text::kServiceExists));
  EXPECT_EQ(Click("btnStop"), U(text::kServiceNotRunning));

  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(Click("btnStart"), U(text::kSucceeded));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(900));  // waited a round
  EXPECT_EQ(Click("btnStart"), U(text::kServiceAlreadyStarted));
  std::string log = ReadFile(Folder() + "VxMailServers.log");
  EXPECT_NE(log.find(std::string("TqvImap4Server")), std::string::npos);
  EXPECT_NE(log.find(vxtext::kServerStart), std::string::npos);
  // SMTP, POP3 and IMAP4 listen.
  for (int port : FPorts) {
    for (int i = 0; i < 20 && !PortOpen(port); ++i) usleep(50000);
    EXPECT_TRUE(PortOpen(port)) << port;
  }

  // A paused service keeps its ports: Stop stops it rather than calling it not running.
  {
    vxconsole::TService control;
    ASSERT_TRUE(control.SetServiceState(vxconsole::kServiceName, vxconsole::soPause));
  }
  EXPECT_EQ(Click("btnStop"), U(text::kSucceeded));
  for (int port : FPorts) EXPECT_FALSE(PortOpen(port)) << port;
  EXPECT_EQ(Click("btnStart"), U(text::kSucceeded));

  EXPECT_EQ(Click("btnRestart"), U(text::kSucceeded));
  EXPECT_EQ(Click("btnStop"), U(text::kSucceeded));
  for (int port : FPorts) EXPECT_FALSE(PortOpen(port)) << port;
  plat::TIniFile counter(Folder() + "MailBoxsmtp.dat");
  EXPECT_TRUE(counter.Exists());
  EXPECT_EQ(counter.ReadInteger("SMTP", "Counter", -1), 1);
  EXPECT_EQ(Click("btnStop"), U(text::kServiceNotRunning));

  EXPECT_EQ(Click("btnUninstall"), U(text::kSucceeded));
  EXPECT_EQ(Detail(), "Service uninstalled successfully");
  EXPECT_FALSE(plat::FileExists(Registration()));
  EXPECT_EQ(Click("btnUninstall"), U(text::kServiceMissing));
}

TEST_F(ConsoleServiceReal, StartThatFallsBackToStoppedFailsWithoutWaitingOut) {
  WritePorts(70000);
  OpenRealForm();
  ASSERT_EQ(Click("btnRegService"), U(text::kSucceeded));
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(Click("btnStart"), U(text::kFailed));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
  EXPECT_TRUE(Detail().contains("Invalid port number")) << Detail().toStdString();
  for (int port : {FPorts[0], FPorts[2]}) EXPECT_FALSE(PortOpen(port)) << port;
  // Uninstall of a stopped service runs the program straight away.
  EXPECT_EQ(Click("btnUninstall"), U(text::kSucceeded));
}

TEST_F(ConsoleServiceReal, ProgramThatFailsOrIsMissingIsAFailure) {
  OpenRealForm();
  // A database the program cannot create: it exits non-zero and says why.
  { std::ofstream(Folder() + "plainfile") << "x"; }
  UseDatabase(Folder() + "plainfile/scm");
  EXPECT_EQ(Click("btnRegService"), U(text::kFailed));
  EXPECT_TRUE(Detail().contains("failed to install")) << Detail().toStdString();

  UseDatabase(Folder() + "scm");
  std::filesystem::remove(Folder() + "VxMailServers");
  EXPECT_EQ(Click("btnRegService"), U(text::kFailed));
  EXPECT_FALSE(Detail().isEmpty());
  EXPECT_FALSE(plat::FileExists(Registration()));
}

TEST_F(ConsoleServiceButtons, PausedServiceIsStoppedBeforeStopRestartAndUninstall) {
  for (const char* button : {"btnStop", "btnRestart", "btnUninstall"}) {
    Script.Paused = true;
    Script.Calls.clear();
    Click(button);
    EXPECT_EQ(Dialogs.LastText(), U(text::kSucceeded)) << button;
    ASSERT_GE(Calls().size(), 3u) << button;
    EXPECT_EQ(Calls()[2], "state VxMailServices 4") << button;
  }
  EXPECT_EQ(Calls().back(), Run("/uninstall"));
}
