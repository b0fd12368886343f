// A client for the SMTP server tests (loopback or memory session), a server set up as
// the service runs it (two accounts, a fixed host name, a file store in a
// temporary folder), and the file store alone with a local delivery through it.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "TestSockets.h"
#include "TestSupport.h"
#include "qvSmtpFileHandler.h"
#include "qvSmtpServer.h"

namespace smtptest {

class TClient : public testsupport::TLineClient {
 public:
  using TLineClient::TLineClient;

  // One reply, every line of a multi-line one, with its CR LFs.
  std::string Reply(int AQuietMs = 5000) {
    std::string reply;
    for (;;) {
      const std::string line = Line(AQuietMs);
      reply += line;
      if (line.size() < 4 || line[3] != '-') return reply;
    }
  }
  // Sends ALine with CR LF and returns the reply.
  std::string Cmd(const std::string& ALine) {
    Send(ALine + "\r\n");
    return Reply();
  }
  // One line with its CR LF; what came so far on EOF or a quiet spell.
  std::string Line(int AQuietMs = 5000) { return ReadUntil("\r\n", AQuietMs); }
  // True once the server closed (within AQuietMs).
  bool ClosedByServer(int AQuietMs = 3000) {
    ReadUntil("\x01never", AQuietMs);
    return Eof;
  }
};

inline constexpr auto& ReadFile = testsupport::ReadFileBytes;

// File names in AFolder, sorted; empty for a missing folder.
inline std::vector<std::string> Files(const std::string& AFolder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(AFolder, ec)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// The file store alone on a temporary folder: mailboxes under "MailBox/",
// the relay queue in "Relay/". Message starts empty.
class SmtpStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Store.SetMailBoxDir(Dir.Dir() + "MailBox");
    Store.SetRelayDir(Dir.Dir() + "Relay");
  }
  // Delivers Message from a@x.test to the account AUser as the server does;
  // the store's verdict.
  TqvSmtpMailDataAction Deliver(const std::string& AUser) {
    TqvMailUserAccountItem account;
    account.SetUserName(AUser);
    TqvSmtpMailDataAction action = mdOk;
    Store.DeliverMessage(nullptr, nullptr, "a@x.test", AUser, &account, Message, action);
    return action;
  }

  testsupport::TempDir Dir;
  TqvSmtpFileHandler Store;
  TStringList Message;
};

class SmtpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AddAccount("bob@example.test", "secret");
    AddAccount("alice@example.test", "pw2");
    Server.SetCaseInsensitive(false);
    Server.SetHostName("mx.test");
    Server.SetServerName("Quorvin Mail Kit SMTP service");
    Server.SetLocalBinding("127.0.0.1");
    Store.SetMailBoxDir(Dir.Dir() + "MailBox");
    Store.SetRelayDir(Dir.Dir() + "RelayQueue");
    Store.SetServer(&Server);
  }
  void AddAccount(const std::string& AName, const std::string& APassword) {
    TqvMailUserAccountItem* a = Server.UserAccounts().Add();
    a->SetUserName(AName);
    a->SetEmail(AName);
    a->SetPassword(APassword);
  }
  void Start() { testsupport::StartOnFreePort(Server); }
  // A client past the greeting and "EHLO c.test": over loopback once the
  // server is started, else over a memory session.
  std::unique_ptr<TClient> Greeted() {
    auto c = Server.IsStarted() ? std::make_unique<TClient>(Server.Port()) : std::make_unique<TClient>(Server);
    EXPECT_EQ(c->Reply(), "220 mx.test Quorvin Mail Kit SMTP service\r\n");
    EXPECT_EQ(c->Cmd("EHLO c.test").substr(0, 4), "250-");
    return c;
  }
  // As Greeted, then logged in as bob by AUTH LOGIN.
  std::unique_ptr<TClient> LoggedIn() {
    auto c = Greeted();
    EXPECT_EQ(c->Cmd("AUTH LOGIN Ym9iQGV4YW1wbGUudGVzdA=="), "334 UGFzc3dvcmQ6\r\n");
    EXPECT_EQ(c->Cmd("c2VjcmV0"), "235 Authentication successful\r\n");
    return c;
  }
  std::string MailBox(const std::string& AUser) const { return Dir.Dir() + "MailBox/" + AUser + "/"; }
  std::string Relay() const { return Dir.Dir() + "RelayQueue/"; }

  testsupport::TempDir Dir;
  TqvSmtpFileHandler Store;  // outlives the server: the server goes first
  TqvSmtpServer Server;
};

}  // namespace smtptest
