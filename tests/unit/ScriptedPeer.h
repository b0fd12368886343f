// A scripted loopback peer for client tests: listens on 127.0.0.1 at a free
// port and runs a script on a thread for each accepted connection, in order.
// The script reads exact byte counts or lines and writes replies; what it read
// is kept for the test. The destructor closes everything and joins.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// One accepted connection, as the script sees it. Reads give up after
// TimeOutMs of silence or at the peer's close, returning what came.
class TPeerConn {
 public:
  explicit TPeerConn(int AFd) : Fd(AFd) {}
  std::string Read(size_t ACount) {
    std::string out;
    while (out.size() < ACount && Fill()) {
      const size_t take = std::min(ACount - out.size(), FIn.size());
      out += FIn.substr(0, take);
      FIn.erase(0, take);
    }
    if (out.size() < ACount) {
      const size_t take = std::min(ACount - out.size(), FIn.size());
      out += FIn.substr(0, take);
      FIn.erase(0, take);
    }
    Received += out;
    return out;
  }
  // Up to and including LF; without it on close or silence.
  std::string Line() {
    size_t at;
    while ((at = FIn.find('\n')) == std::string::npos && Fill()) {
    }
    at = FIn.find('\n');
    const size_t cut = at == std::string::npos ? FIn.size() : at + 1;
    std::string out = FIn.substr(0, cut);
    FIn.erase(0, cut);
    Received += out;
    return out;
  }
  void Send(const std::string& AData) {
    for (size_t done = 0; done < AData.size();) {
      const ssize_t n = ::send(Fd, AData.data() + done, AData.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }
  // Bytes read by Read/Line so far.
  std::string Received;
  int Fd;
  int TimeOutMs = 5000;

 private:
  bool Fill() {
    pollfd p{Fd, POLLIN, 0};
    if (::poll(&p, 1, TimeOutMs) <= 0) return false;
    char buf[4096];
    const ssize_t n = ::recv(Fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    FIn.append(buf, static_cast<size_t>(n));
    return true;
  }
  std::string FIn;
};

class TScriptedPeer {
 public:
  using Script = std::function<void(TPeerConn&)>;
  // One script per expected connection; AAddress may be any 127/8 address.
  explicit TScriptedPeer(std::vector<Script> AScripts, const std::string& AAddress = "127.0.0.1")
      : FScripts(std::move(AScripts)) {
    FListener = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(FListener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, AAddress.c_str(), &a.sin_addr);
    ::bind(FListener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(FListener, 8);
    socklen_t len = sizeof a;
    ::getsockname(FListener, reinterpret_cast<sockaddr*>(&a), &len);
    Port = ntohs(a.sin_port);
    FThread = std::thread([this] { Run(); });
  }
  explicit TScriptedPeer(Script AScript) : TScriptedPeer(std::vector<Script>{std::move(AScript)}) {}
  ~TScriptedPeer() {
    FStop = true;
    if (FThread.joinable()) FThread.join();
    ::close(FListener);
  }
  TScriptedPeer(const TScriptedPeer&) = delete;
  TScriptedPeer& operator=(const TScriptedPeer&) = delete;

  // What connection AIndex read; complete once the peer is destroyed or Wait returned.
  std::string Received(size_t AIndex = 0) {
    std::scoped_lock lock(FLock);
    return AIndex < FReceived.size() ? FReceived[AIndex] : std::string();
  }
  // Waits until every script ran (or AMs passed).
  void Wait(int AMs = 10000) {
    for (int i = 0; i < AMs / 10 && !FDone; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  int Port = 0;

 private:
  void Run() {
    for (Script& script : FScripts) {
      int fd = -1;
      while (!FStop && fd < 0) {
        pollfd p{FListener, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0) fd = ::accept(FListener, nullptr, nullptr);
      }
      if (fd < 0) break;
      TPeerConn conn(fd);
      script(conn);
      // Let the client read to the end before the close.
      ::shutdown(fd, SHUT_WR);
      pollfd p{fd, POLLIN, 0};
      char buf[4096];
      while (!FStop && ::poll(&p, 1, 2000) > 0 && ::recv(fd, buf, sizeof buf, 0) > 0) {
      }
      ::close(fd);
      std::scoped_lock lock(FLock);
      FReceived.push_back(conn.Received);
    }
    FDone = true;
  }

  std::vector<Script> FScripts;
  int FListener = -1;
  std::thread FThread;
  std::atomic<bool> FStop{false};
  std::atomic<bool> FDone{false};
  std::mutex FLock;
  std::vector<std::string> FReceived;
};

}  // namespace testsupport
