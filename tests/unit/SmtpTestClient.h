// A blocking loopback client for the SMTP server tests, and a server set up
// as the service runs it: two accounts, a fixed host name, a file store in a
// temporary folder.
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

class TClient {
 public:
  explicit TClient(int APort) : FSocket(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in a = testsupport::Loopback(static_cast<uint16_t>(APort));
    EXPECT_EQ(::connect(FSocket, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  }
  ~TClient() { Close(); }
  TClient(const TClient&) = delete;
  TClient& operator=(const TClient&) = delete;

  void Close() {
    if (FSocket >= 0) ::close(FSocket);
    FSocket = -1;
  }
  void Send(const std::string& AText) {
    for (size_t done = 0; done < AText.size();) {
      const ssize_t n = ::send(FSocket, AText.data() + done, AText.size() - done, MSG_NOSIGNAL);
      ASSERT_GT(n, 0);
      done += static_cast<size_t>(n);
    }
  }
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
  std::string Line(int AQuietMs = 5000) {
    size_t end;
    while ((end = FIn.find("\r\n")) == std::string::npos) {
      if (!Fill(AQuietMs)) {
        std::string rest = std::move(FIn);
        FIn.clear();
        return rest;
      }
    }
    std::string line = FIn.substr(0, end + 2);
    FIn.erase(0, end + 2);
    return line;
  }
  // True once the server closed (within AQuietMs).
  bool ClosedByServer(int AQuietMs = 3000) {
    while (Fill(AQuietMs)) {
    }
    return Eof;
  }
  bool Eof = false;

 private:
  bool Fill(int AQuietMs) {
    pollfd p{FSocket, POLLIN, 0};
    if (::poll(&p, 1, AQuietMs) <= 0) return false;
    char buf[65536];
    const ssize_t n = ::recv(FSocket, buf, sizeof buf, 0);
    if (n <= 0) {
      Eof = true;
      return false;
    }
    FIn.append(buf, static_cast<size_t>(n));
    return true;
  }

  int FSocket;
  std::string FIn;
};

inline std::string ReadFile(const std::string& APath) {
  std::ifstream f(APath, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// File names in AFolder, sorted; empty for a missing folder.
inline std::vector<std::string> Files(const std::string& AFolder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(AFolder, ec)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

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
  // A connected client past the greeting and "EHLO c.test".
  std::unique_ptr<TClient> Greeted() {
    auto c = std::make_unique<TClient>(Server.Port());
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
