// The listening thread of a TqvTcpServer: it opens the listening socket,
// accepts connections onto the server's list, turns their socket events
// into work items for the server's pool, and closes idle sessions on its
// timer. Internal to the server (qvTcpServer.cpp and
// qvTcpServerListener.cpp); no other unit includes it. Its members are its
// thread's, but for the start result (FFailed and the start error), which
// the server reads after WaitStarted; Launch, WaitStarted, RequestStop and
// Join are the server's calls.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "MessageLoop.h"
#include "Sockets.h"
#include "qvTcpServer.h"

namespace qvtcpserver {

// No session idle for less than this is closed, and a session time-out
// below it (other than none) is not taken.
constexpr int kMinIdleClose = 5000;
constexpr long kReadMask = plat::FD_READ | plat::FD_WRITE | plat::FD_CLOSE;

// What DoServerError is told of an exception of no known type.
[[nodiscard]] const Exception& UnknownError();

}  // namespace qvtcpserver

class TqvTcpServer::TListener {
 public:
  explicit TListener(TqvTcpServer* AServer) : FServer(AServer) {}
  ~TListener() { Join(); }
  TListener(const TListener&) = delete;
  TListener& operator=(const TListener&) = delete;

  void Launch() { FThread = std::thread([this] { Execute(); }); }
  void WaitStarted();
  void RequestStop();
  void Join() noexcept {
    if (FThread.joinable()) FThread.join();
  }

  std::string FStartErrorText;
  int FStartErrorCode = 0;
  bool FFailed = false;

 private:
  void Execute() noexcept;
  void Listen();
  void Cleanup() noexcept;
  void HandleMessage(plat::TMessage& m);
  void Accept();
  // False when nothing more can be accepted now.
  bool AcceptOne();
  void QueueItem(plat::SocketHandle AHandle, int AAction);
  void CheckTimeOut();
  TqvUserConnectionPtr Find(plat::SocketHandle AHandle);

  TqvTcpServer* FServer;
  std::thread FThread;
  plat::TWaitEvent FStartEvent;
  std::mutex FQueueLock;
  plat::TMessageQueue* FQueue = nullptr;
  std::atomic<bool> FStop{false};
  std::unique_ptr<plat::TMessageWindow> FWindow;
  plat::HWND FHwnd = 0;
  plat::SOCKET FListenSocket = plat::INVALID_SOCKET;
  plat::SocketHandle FListenHandle = 0;
  int FFamily = 0;
  bool FTimerSet = false;
  bool FStarting = true;
};
