#include "qvTcpServerListener.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>

#include "qvIpAddress.h"
#include "qvWinSock2.h"

using qvtcpserver::kMinIdleClose;
using qvtcpserver::kReadMask;
using qvtcpserver::UnknownError;

namespace {

constexpr uintptr_t kSessionTimer = 1;
constexpr uintptr_t kAcceptPauseTimer = 2;
// After running out of descriptors the listener rests this long, since a
// level-triggered accept event would otherwise spin.
constexpr uint32_t kAcceptPauseMs = 200;
constexpr int kMaxAcceptsPerEvent = 256;

// Listeners of several servers create and destroy their hidden windows under
// one process-wide lock.
std::mutex& WindowLock() {
  static std::mutex m;
  return m;
}

std::unique_ptr<plat::TMessageWindow> AllocateWindowSafe(plat::TMessageWindow::Handler AMethod) {
  const std::scoped_lock lock(WindowLock());
  return std::make_unique<plat::TMessageWindow>(std::move(AMethod));
}

void DeallocateWindowSafe(std::unique_ptr<plat::TMessageWindow>& AWnd) {
  const std::scoped_lock lock(WindowLock());
  AWnd.reset();
}

}  // namespace

void TqvTcpServer::TListener::WaitStarted() {
  // Keeps the caller's own messages flowing while the listener starts.
  for (;;) {
    const plat::TWaitResult r = plat::WaitForSocketEvent(nullptr, &FStartEvent, -1);
    if (r == plat::TWaitResult::Interrupt) return;
    if (r == plat::TWaitResult::Failed) RaiseSocketLastError(static_cast<int>(plat::WSAGetLastError()));
  }
}

void TqvTcpServer::TListener::RequestStop() {
  FStop = true;
  std::scoped_lock lock(FQueueLock);
  if (FQueue) FQueue->Post([] {});
}

void TqvTcpServer::TListener::Execute() noexcept {
  try {
    plat::TMessageQueue& q = plat::TMessageQueue::Current();
    {
      std::scoped_lock lock(FQueueLock);
      FQueue = &q;
    }
    Listen();
    FStarting = false;
    FStartEvent.Set();
    while (!FStop.load()) {
      if (!q.ProcessMessages(-1)) break;
    }
  } catch (const std::exception& e) {
    if (FStarting) {
      FFailed = true;
      FStartErrorText = e.what();
      if (auto* se = dynamic_cast<const EqvSocketError*>(&e)) FStartErrorCode = se->ErrorCode;
    }
    FServer->DoServerError(nullptr, e);
  } catch (...) {
    if (FStarting) FFailed = true;
    FServer->DoServerError(nullptr, UnknownError());
  }
  Cleanup();
  {
    // The queue ends with this thread.
    std::scoped_lock lock(FQueueLock);
    FQueue = nullptr;
  }
  FStartEvent.Set();
}

void TqvTcpServer::TListener::Listen() {
  const int port = FServer->FPort;
  if (port < 1 || port > 65535) RaiseSocketError(qvInvalidPortNumber);
  FWindow = AllocateWindowSafe([this](plat::TMessage& m) { HandleMessage(m); });
  FHwnd = FWindow->Handle();
  FServer->FWindow = FHwnd;

  std::unique_ptr<TqvIPAddress> addr = CreateBindingAddress(FServer->FLocalBinding, FServer->FUseIpV6);
  addr->SetPort(port);
  FFamily = addr->GetFamily();
  FListenSocket = plat::socket(plat::FamilyToNative(FFamily), SOCK_STREAM, IPPROTO_TCP);
  auto fail = [] { RaiseSocketLastError(static_cast<int>(plat::WSAGetLastError())); };
  if (FListenSocket == plat::INVALID_SOCKET) fail();
  FListenHandle = plat::HandleOfSocket(FListenSocket);
  if (plat::bind(FListenSocket, addr->GetSockAddr(), static_cast<socklen_t>(addr->GetSockAddrSize())) != 0)
    fail();
  if (plat::WSAAsyncSelect(FListenSocket, FHwnd, plat::WM_SOCKET_EVENT, plat::FD_ACCEPT) != 0) fail();
  // Linux drops handshakes beyond the accept queue without a word, leaving a
  // burst's clients to retransmit SYNs (or, with SYN cookies, hung on a
  // socket the server never saw): the queue is never shorter than the
  // system's usual maximum, which the kernel caps at net.core.somaxconn.
  if (plat::listen(FListenSocket, std::max(FServer->FMaxConnectionQueue, SOMAXCONN)) != 0) fail();
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (plat::getsockname(FListenSocket, reinterpret_cast<sockaddr*>(&ss), &len) != 0) fail();
  FServer->FBoundPort = ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(ss).sin6_port
                                                        : reinterpret_cast<sockaddr_in&>(ss).sin_port);

  std::scoped_lock lock(FServer->FLock);
  if (FTimerSet) plat::KillTimer(FHwnd, kSessionTimer);
  FTimerSet = false;
  const int timeOut = FServer->FSessionTimeOut.load();
  if (timeOut > 0) {
    if (!plat::SetTimer(FHwnd, kSessionTimer, static_cast<uint32_t>(timeOut)))
      RaiseSocketError("The session timer cannot be set", qvServerStartError);
    FTimerSet = true;
  }
}

void TqvTcpServer::TListener::Cleanup() noexcept {
  try {
    {
      std::scoped_lock lock(FServer->FLock);
      if (FTimerSet && FHwnd) plat::KillTimer(FHwnd, kSessionTimer);
      FTimerSet = false;
    }
    if (FListenSocket != plat::INVALID_SOCKET) plat::closesocket(FListenSocket);
    FListenSocket = plat::INVALID_SOCKET;
    FServer->FWindow = 0;
    if (FWindow) DeallocateWindowSafe(FWindow);
    FServer->CloseEveryConnection();
  } catch (...) {
    FServer->DoServerError(nullptr, UnknownError());
  }
}

TqvUserConnectionPtr TqvTcpServer::TListener::Find(plat::SocketHandle AHandle) {
  std::scoped_lock lock(FServer->FLock);
  auto it = FServer->FByHandle.find(AHandle);
  return it == FServer->FByHandle.end() ? nullptr : it->second;
}

void TqvTcpServer::TListener::HandleMessage(plat::TMessage& m) {
  // Nothing may end the loop: every error goes to the server's error event.
  try {
    if (m.Msg == plat::WM_SOCKET_EVENT) {
      if (!plat::IsSocketEventCurrent(m)) return;
      const auto handle = static_cast<plat::SocketHandle>(m.WParam);
      switch (plat::WSAGETSELECTEVENT(m.LParam)) {
        case plat::FD_READ:
          QueueItem(handle, 0);
          break;
        case plat::FD_WRITE:
          QueueItem(handle, 1);
          break;
        case plat::FD_ACCEPT:
          if (handle == FListenHandle) Accept();
          break;
        case plat::FD_CLOSE:
          if (TqvUserConnectionPtr c = Find(handle)) {
            if (plat::WSAGETSELECTERROR(m.LParam) == 0)
              FServer->PeerHalfClosed(c);
            else
              FServer->CloseListed(c.get());
          }
          break;
        default:
          break;
      }
    } else if (m.Msg == plat::WM_TIMER) {
      if (m.WParam == kSessionTimer) {
        CheckTimeOut();
      } else if (m.WParam == kAcceptPauseTimer) {
        plat::KillTimer(FHwnd, kAcceptPauseTimer);
        if (plat::WSAAsyncSelect(FListenSocket, FHwnd, plat::WM_SOCKET_EVENT, plat::FD_ACCEPT) != 0)
          RaiseSocketLastError(static_cast<int>(plat::WSAGetLastError()));
      }
    }
  } catch (const std::exception& e) {
    FServer->DoServerError(nullptr, e);
  } catch (...) {
    FServer->DoServerError(nullptr, UnknownError());
  }
}

void TqvTcpServer::TListener::QueueItem(plat::SocketHandle AHandle, int AAction) {
  TqvUserConnectionPtr c = Find(AHandle);
  if (c) FServer->QueueWork(c, AAction);
}

void TqvTcpServer::TListener::Accept() {
  // Every pending connection, so a burst never waits in the kernel's queue
  // for one event each; bounded, so the other events of the loop still run
  // (the rest raises the accept event again).
  for (int i = 0; i < kMaxAcceptsPerEvent; ++i)
    if (!AcceptOne()) return;
}

bool TqvTcpServer::TListener::AcceptOne() {
  if (FServer->FStopping.load()) return false;
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  plat::SOCKET s = plat::accept(FListenSocket, reinterpret_cast<sockaddr*>(&ss), &len);
  if (s == plat::INVALID_SOCKET) {
    // A failed accept never touches the listening socket.
    const uint32_t e = plat::WSAGetLastError();
    if (e == plat::WSAEWOULDBLOCK) return false;
    if (e == plat::WSAECONNABORTED || e == plat::WSAECONNRESET || e == plat::WSAEINTR) return true;
    if (e == plat::WSAEMFILE || e == plat::WSAENOBUFS) {
      plat::WSAAsyncSelect(FListenSocket, FHwnd, plat::WM_SOCKET_EVENT, 0);
      plat::SetTimer(FHwnd, kAcceptPauseTimer, kAcceptPauseMs);
    }
    RaiseSocketLastError(static_cast<int>(e));
  }
  // Every write leaves at once: a reply's last small segment never waits for
  // the ACK of the one before (Nagle) while the client delays that ACK.
  const int one = 1;
  (void)plat::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  TqvUserConnectionPtr c;
  try {
    c = FServer->CreateConnection();
    if (!c) throw EqvTcpServerError(qvConnectionNotCreated);
    {
      std::scoped_lock lock(FServer->FLock);
      FServer->FConnections.push_back(c);
    }
    FServer->CreateNetworkStream(c.get());
    c->BatchSize = FServer->FBatchSize;
    c->BitsPerSec = FServer->FBitsPerSec;
    c->UseIpV6 = FServer->FUseIpV6;
    TqvTcpServer* server = FServer;
    c->OnReady = [server](TObject* ASender) { server->ConnectionReady(static_cast<TqvUserConnection*>(ASender)); };
    {
      const auto accepting = c->WorkLock();
      TqvNetworkStream& stream = c->GetNetworkStream();
      // The socket was accepted here so that a failed accept never reaches
      // a connection; the stream takes it over as if it had accepted it.
      stream.Accepted(s, FFamily, reinterpret_cast<sockaddr*>(&ss));
      s = plat::INVALID_SOCKET;
      c->Accepted();
      stream.AcceptDone();
    }
    if (TqvServerGuard* guard = FServer->FGuard; guard && !guard->CheckConnection(c->PeerIP, FServer->FPort))
      throw EqvTcpServerError(qvConnectionBlocked);
    c->SelectEvents(FHwnd, kReadMask);
    {
      std::scoped_lock lock(FServer->FLock);
      FServer->FByHandle[c->Handle()] = c;
    }
    const auto lock = c->WorkLock();
    c->GetNetworkStream().StreamReady();
  } catch (const std::exception& e) {
    if (s != plat::INVALID_SOCKET) plat::closesocket(s);
    FServer->DoServerError(c.get(), e);
    if (c) {
      try {
        FServer->CloseListed(c.get());
      } catch (const std::exception& e2) {
        FServer->DoServerError(c.get(), e2);
      }
    }
  }
  return true;
}

void TqvTcpServer::TListener::CheckTimeOut() {
  std::vector<TqvUserConnectionPtr> idle;
  {
    std::scoped_lock lock(FServer->FLock);
    plat::KillTimer(FHwnd, kSessionTimer);
    FTimerSet = false;
    const int timeOut = FServer->FSessionTimeOut.load();
    if (timeOut <= 0) return;
    const uint32_t now = plat::GetTickCount();
    int next = timeOut;
    for (auto it = FServer->FConnections.rbegin(); it != FServer->FConnections.rend(); ++it) {
      // A worker may have touched the connection after now was taken: that
      // negative age counts as just active, not as four billion ms idle.
      const auto age = static_cast<int32_t>(now - (*it)->LastActivity());
      const int idleMs = age < 0 ? 0 : age;
      if (idleMs > kMinIdleClose && idleMs > timeOut)
        idle.push_back(*it);
      else
        next = std::min(next, timeOut - idleMs);
    }
    plat::SetTimer(FHwnd, kSessionTimer, static_cast<uint32_t>(std::max(next, 1)));
    FTimerSet = true;
  }
  for (const TqvUserConnectionPtr& c : idle) {
    try {
      FServer->DoSessionTimeOut(c.get());
      FServer->CloseListed(c.get());
    } catch (const EqvSocketError&) {
    } catch (const std::exception& e) {
      FServer->DoServerError(c.get(), e);
    }
  }
}
