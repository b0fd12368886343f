// Loopback helpers shared by the socket tests, and the line client the
// protocol tests drive a server with, over loopback or a memory session.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <initializer_list>
#include <memory>
#include <string>

#include "SessionDriver.h"
#include "Sockets.h"

namespace testsupport {

inline sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// The local port a socket is bound to.
inline uint16_t PortOf(plat::SOCKET s) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  EXPECT_EQ(plat::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len), 0);
  return ntohs(a.sin_port);
}

// A loopback port that was free a moment ago.
inline int FreePort() {
  plat::SOCKET s = plat::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(0);
  EXPECT_EQ(plat::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  const int port = PortOf(s);
  plat::closesocket(s);
  return port;
}

// Starts a server on a free port, retrying when another process took it.
template <class TServer>
void StartOnFreePort(TServer& server) {
  for (int attempt = 0;; ++attempt) {
    server.SetPort(FreePort());
    try {
      server.Start();
      return;
    } catch (const std::exception&) {
      if (attempt == 5) throw;
    }
  }
}

// A client for line protocols: a blocking loopback one for a started
// server's port, or one over a memory session (SessionDriver.h) for a server
// that need not be started, where each Send has run the server already and a
// read never waits (a quiet spell is there at once).
class TLineClient {
 public:
  explicit TLineClient(int port) : FSocket(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in a = Loopback(static_cast<uint16_t>(port));
    EXPECT_EQ(::connect(FSocket, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  }
  explicit TLineClient(TqvTcpServer& AServer) : FSocket(-1), FMemory(std::make_unique<TMemorySession>(AServer)) {}
  ~TLineClient() { Close(); }
  TLineClient(const TLineClient&) = delete;
  TLineClient& operator=(const TLineClient&) = delete;

  void Close() {
    if (FSocket >= 0) ::close(FSocket);
    FSocket = -1;
    if (FMemory && !FMemory->Closed()) FMemory->EndInput();
  }

  // The memory session; null for a loopback client.
  TMemorySession* Memory() const { return FMemory.get(); }

  void Send(const std::string& s) {
    if (FMemory) return FMemory->Send(s);
    for (size_t done = 0; done < s.size();) {
      const ssize_t n = ::send(FSocket, s.data() + done, s.size() - done, MSG_NOSIGNAL);
      ASSERT_GT(n, 0);
      done += static_cast<size_t>(n);
    }
  }
  // Up to and including AUntil; what came so far on EOF or a quiet spell.
  std::string ReadUntil(const std::string& AUntil, int quietMs = 3000) {
    // Only the new bytes (and the tail a match may start in) are searched,
    // so a long reply read in small pieces costs no quadratic time.
    size_t from = 0;
    size_t at;
    while ((at = FIn.find(AUntil, from)) == std::string::npos) {
      from = FIn.size() >= AUntil.size() ? FIn.size() - AUntil.size() + 1 : 0;
      if (!Receive(quietMs)) break;
    }
    const size_t cut = at == std::string::npos ? FIn.size() : at + AUntil.size();
    std::string out = FIn.substr(0, cut);
    FIn.erase(0, cut);
    return out;
  }

  // One reply line without its CR LF.
  std::string Line() {
    std::string l = ReadUntil("\r\n");
    if (l.size() >= 2 && l.compare(l.size() - 2, 2, "\r\n") == 0) l.resize(l.size() - 2);
    return l;
  }
  // Sends ACommand with CR LF and returns the next reply line.
  std::string Cmd(const std::string& ACommand) {
    Send(ACommand + "\r\n");
    return Line();
  }

  int FSocket;
  std::string FIn;
  bool Eof = false;

 private:
  // Appends what came to FIn; false on a quiet spell or the end (Eof).
  bool Receive(int quietMs) {
    if (FMemory) {
      const std::string more = FMemory->TakeOutput();
      FIn += more;
      if (more.empty()) Eof = FMemory->Closed();
      return !more.empty();
    }
    pollfd p{FSocket, POLLIN, 0};
    if (::poll(&p, 1, quietMs) <= 0) return false;
    char buf[65536];
    const ssize_t n = ::recv(FSocket, buf, sizeof buf, 0);
    if (n <= 0) {
      Eof = true;
      return false;
    }
    FIn.append(buf, static_cast<size_t>(n));
    return true;
  }

  std::unique_ptr<TMemorySession> FMemory;
};

// One step of a dialogue: a command line and the reply it must get.
struct TExchange {
  std::string Command;
  std::string Reply;
};

// Sends each command through AClient.Cmd and checks its reply, in order.
template <class TClient>
void ExpectDialogue(TClient& AClient, std::initializer_list<TExchange> ASteps) {
  for (const TExchange& step : ASteps) EXPECT_EQ(AClient.Cmd(step.Command), step.Reply) << step.Command;
}

}  // namespace testsupport
