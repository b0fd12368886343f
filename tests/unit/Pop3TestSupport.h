// A POP3 server with its file store on a temporary maildrop folder, and a
// line client for it (over loopback or a memory session). Shared by the POP3
// dialogue and store tests.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "TestSockets.h"
#include "TestSupport.h"
#include "qvPop3FileHandler.h"
#include "qvPop3Server.h"

namespace pop3test {

// Two stored messages: A (91 bytes, a dot-led line) and M (500 bytes).
inline const std::string kMessageA =
    "Return-path: <carol@example.net>\r\nFrom: carol@example.net\r\nSubject: one\r\n\r\n.dot line\r\nbye\r\n";
inline std::string MessageM() { return "Subject: m\r\n\r\n" + std::string(484, 'm') + "\r\n"; }

inline constexpr auto& WriteFile = testsupport::WriteFileBytes;

// Test seams: fixed time stamp and challenge when set.
class TServer : public TqvPop3Server {
 public:
  TServer() { SetLocalBinding("127.0.0.1"); }
  ~TServer() override { Stop(); }
  std::string Stamp, Challenge;
  // Unqualified, so it names the mode wherever the server's TLS settings live.
  void RequireTls() { UseTLS = stExplicitRequire; }

 protected:
  std::string GenerateTimeStamp() override { return Stamp.empty() ? TqvPop3Server::GenerateTimeStamp() : Stamp; }
  std::string GenerateChallenge() override {
    return Challenge.empty() ? TqvPop3Server::GenerateChallenge() : Challenge;
  }
};

// Accounts alice@example.com/secret, tim/tanstaaftanstaaf, mrose/tanstaaf,
// nopass/(empty); alice's folder holds A and M as MAIL00000002/3.MSG.
class TPop3Session : public ::testing::Test {
 protected:
  void SetUp() override {
    auto add = [this](const char* user, const char* password) {
      TqvMailUserAccountItem* a = Server.UserAccounts().Add();
      a->SetUserName(user);
      a->SetPassword(password);
      a->SetEmail(user);
    };
    add("alice@example.com", "secret");
    add("tim", "tanstaaftanstaaf");
    add("mrose", "tanstaaf");
    add("nopass", "");
    Store.SetMailBoxDir(Dir.Dir());
    Store.SetServer(&Server);
    AliceDir = Dir.Dir() + "alice@example.com/";
    std::filesystem::create_directories(AliceDir);
    WriteFile(AliceDir + "MAIL00000002.MSG", kMessageA);
    WriteFile(AliceDir + "MAIL00000003.MSG", MessageM());
  }
  void Start() { testsupport::StartOnFreePort(Server); }
  // No event may still run when the store unbinds.
  void TearDown() override { Server.Stop(); }

  testsupport::TempDir Dir;
  TServer Server;
  TqvPop3FileHandler Store;
  std::string AliceDir;
};

class TClient : public testsupport::TLineClient {
 public:
  using TLineClient::TLineClient;
  // A dot-terminated response as raw bytes, end line included.
  std::string Multi(const std::string& ACommand) {
    Send(ACommand + "\r\n");
    std::string first = ReadUntil("\r\n");
    if (first.rfind("+OK", 0) != 0) return first;
    FIn.insert(0, first);
    return ReadUntil("\r\n.\r\n");
  }
  bool Closed() {
    ReadUntil("\x01never", 2000);
    return Eof;
  }
  // Greeting, USER and PASS; the PASS reply.
  std::string Login(const std::string& user, const std::string& password) {
    Line();
    Cmd("USER " + user);
    return Cmd("PASS " + password);
  }
};

}  // namespace pop3test
