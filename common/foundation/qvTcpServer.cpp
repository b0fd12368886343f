#include "qvTcpServer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>

#include "qvIpAddress.h"
#include "qvWinSock2.h"

namespace {

constexpr uintptr_t kSessionTimer = 1;
constexpr uintptr_t kAcceptPauseTimer = 2;
// After running out of descriptors the listener rests this long, since a
// level-triggered accept event would otherwise spin.
constexpr uint32_t kAcceptPauseMs = 200;
constexpr int kMinIdleClose = 5000;
constexpr int kMaxAcceptsPerEvent = 256;
constexpr long kReadMask = plat::FD_READ | plat::FD_WRITE | plat::FD_CLOSE;
constexpr long kNoReadMask = plat::FD_WRITE | plat::FD_CLOSE;

std::string ServerErrorText(int ACode) {
  for (const auto& e : qvTcpServerErrorTexts)
    if (e.Code == ACode) return e.Text;
  return {};
}

// Holds a connection's lock for a scope.
class TWorkLock {
 public:
  explicit TWorkLock(TqvUserConnection& AConnection) : FConnection(AConnection) { FConnection.BeginWork(); }
  ~TWorkLock() { FConnection.EndWork(); }
  TWorkLock(const TWorkLock&) = delete;
  TWorkLock& operator=(const TWorkLock&) = delete;

 private:
  TqvUserConnection& FConnection;
};

const Exception& UnknownError() {
  static const Exception e("Unknown error");
  return e;
}

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

EqvTcpServerError::EqvTcpServerError(int ACode) : EqvSocketError(ServerErrorText(ACode), ACode) {}

// --- Work items: a read (0) or a write (1) of one connection, holding it alive.

class TqvTcpServer::TWorkItem : public TqvWorkItem {
 public:
  TWorkItem(TqvTcpServer* AServer, TqvUserConnectionPtr AConnection, int AAction)
      : FServer(AServer), FConnection(std::move(AConnection)), FAction(AAction) {}
  VX_CLASS_NAME("TqvTcpServerWorkItem")
  void Execute(TqvWorkerThread*) override { FServer->RunWorkItem(FConnection, FAction); }

 private:
  TqvTcpServer* FServer;
  TqvUserConnectionPtr FConnection;
  int FAction;
};

// --- The listening thread ------------------------------------------------

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
      TWorkLock accepting(*c);
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
    TWorkLock lock(*c);
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

void TqvTcpServer::CloseEveryConnection() noexcept {
  // Last accepted first; each close runs without the server lock.
  for (;;) {
    TqvUserConnectionPtr c;
    try {
      std::scoped_lock lock(FLock);
      if (FConnections.empty()) return;
      c = std::move(FConnections.back());
      FConnections.pop_back();
      FByHandle.erase(c->Handle());
    } catch (...) {
      return;
    }
    try {
      c->Interrupt();
      c->Close(false);
      DoCloseConnection(c.get());
    } catch (const std::exception& e) {
      DoServerError(c.get(), e);
    } catch (...) {
      DoServerError(c.get(), UnknownError());
    }
  }
}

void TqvTcpServer::RunWorkItem(const TqvUserConnectionPtr& AConnection, int AAction) {
  TqvUserConnection& c = *AConnection;
  if (AAction != 0) {
    RunWriteStep(c);
    return;
  }
  // Each pass is one read and its write step. A pass that may carry the
  // connection's next input keeps read events off and the read slot taken
  // while it waits for that input on this worker.
  for (bool first = true;; first = false) {
    try {
      TWorkLock lock(c);
      c.InitProgress(0, 0);
    } catch (const std::exception& e) {
      DoServerError(&c, e);
    }
    // A duplicate read item drops out; the running one renews the
    // registration when done, which posts a read for anything left.
    if (first && !c.TryBeginRead()) return;
    bool write = false;
    bool again = false;
    bool carry = false;
    bool reading = true;
    auto endRead = [&c, &reading] {
      if (reading) c.EndRead();
      reading = false;
    };
    try {
      std::exception_ptr error;
      try {
        if (c.Active()) ReadConnection(&c);
      } catch (...) {
        error = std::current_exception();
      }
      carry = !error && FLingerWake && FReadLinger.load() > 0 && !FStopping.load() &&
              FThreadPool->HasSpareWorker();
      try {
        TWorkLock lock(c);
        // Input already buffered waits for its own item, behind other
        // connections; no read event is wanted for this one meanwhile.
        again = c.Active() && HasPendingInput(&c);
        carry = carry && !again && c.Active() && !c.CloseAfterWrite() && !c.PeerClosed();
        if (!carry) endRead();
        // The write event every read is followed by is taken here and run on
        // this worker, so it costs no hand-off.
        const long mask = again || carry ? kNoReadMask : kReadMask;
        if (c.Active() && c.SelectEvents(FWindow.load(), mask, plat::FD_WRITE) != 0) c.OweWrite();
        write = c.TakeOwedWrite();
      } catch (...) {
        if (!error) error = std::current_exception();
        carry = false;
      }
      if (error) std::rethrow_exception(error);
    } catch (const std::exception& e) {
      DoServerError(&c, e);
    } catch (...) {
      DoServerError(&c, UnknownError());
    }
    if (!carry) endRead();
    if (write) RunWriteStep(c);
    if (carry && LingerForInput(c)) continue;
    if (again && c.Active()) QueueWork(AConnection, 0);
    return;
  }
}

void TqvTcpServer::QueueWork(const TqvUserConnectionPtr& AConnection, int AAction) {
  // The stopping test and the queueing share the server lock, so Stop's pool
  // Clear cannot be followed by a late item.
  std::scoped_lock lock(FLock);
  if (FStopping.load()) return;
  FThreadPool->QueueWorkItem(std::make_unique<TWorkItem>(this, AConnection, AAction));
  if (FLingering.load() > 0 && FThreadPool->QueuedCount() > 0) FLingerWake->Signal();
}

bool TqvTcpServer::LingerForInput(TqvUserConnection& c) {
  bool ready = false;
  bool reading = true;
  try {
    plat::SOCKET s = plat::INVALID_SOCKET;
    {
      TWorkLock lock(c);
      if (c.Active() && c.PendingOutput() == 0 && !c.CloseAfterWrite()) s = c.Socket().Socket();
    }
    // The wait holds no lock: a close meanwhile is seen by Active below.
    if (s != plat::INVALID_SOCKET && FLingerWake) {
      ++FLingering;
      // Counted before the stopping test: a stop's wake-ups reach this wait.
      ready = !FStopping.load() && plat::WaitReadable(s, FReadLinger.load(), FLingerWake.get()) > 0 &&
              !FStopping.load();
      --FLingering;
    }
    if (ready) {
      TWorkLock lock(c);
      ready = c.Active() && !c.CloseAfterWrite();
      if (ready) return true;
    }
    // Handed back: read events on again, as after any read. The write event
    // this registration reports has no work left when the output is gone.
    reading = false;
    c.EndRead();
    TWorkLock lock(c);
    if (c.Active() && c.SelectEvents(FWindow.load(), kReadMask, plat::FD_WRITE) != 0 &&
        (c.PendingOutput() > 0 || c.CloseAfterWrite()))
      c.OweWrite();
  } catch (const std::exception& e) {
    DoServerError(&c, e);
  } catch (...) {
    DoServerError(&c, UnknownError());
  }
  if (reading) c.EndRead();
  if (c.TakeOwedWrite()) RunWriteStep(c);
  return false;
}

void TqvTcpServer::RunWriteStep(TqvUserConnection& c) {
  try {
    bool close = false;
    {
      TWorkLock lock(c);
      c.InitProgress(0, 0);
      c.WriteData(static_cast<TStream*>(nullptr));
      DoWriteConnection(&c);
      // Only once the last byte has gone: a close with output waiting
      // would cut the final reply.
      // A read item still handling its data, or input still waiting for
      // one, may yet queue a reply; that item renews the registration when
      // done, and the write step that follows closes.
      close = c.CloseAfterWrite() && c.PendingOutput() == 0 && !c.Reading() && !HasPendingInput(&c);
    }
    if (close) CloseListed(&c);
  } catch (const std::exception& e) {
    DoServerError(&c, e);
  } catch (...) {
    DoServerError(&c, UnknownError());
  }
}

bool TqvTcpServer::HasPendingInput(TqvUserConnection*) { return false; }

// --- The server ----------------------------------------------------------

TqvTcpServer::TqvTcpServer(TComponent* AOwner) : TComponent(AOwner) {
  InitWinSock();
  FThreadPool = CreateThreadPool();
  // Socket events come in bursts: keep a burst's workers for a second rather
  // than start new threads for the next one.
  FThreadPool->SetIdleTrimDelay(1000);
  try {
    FLingerWake = std::make_unique<plat::TReadWaitWake>();
  } catch (const std::exception&) {
    // Without it no worker waits for a connection's next input.
  }
  FThreadPool->OnWorkItemError = [this](TObject*, TqvWorkItem*, TqvWorkerThread*, const std::exception& E) {
    DoServerError(nullptr, E);
  };
}

TqvTcpServer::~TqvTcpServer() {
  try {
    Stop();
  } catch (...) {
  }
  StopInner();
  if (FGuard) FGuard->RemoveFreeNotification(this);
  FThreadPool.reset();
  CleanupWinSock();
}

void TqvTcpServer::Start() {
  if (FStarted.load()) throw EqvTcpServerError(qvServerAlreadyStarted);
  FStarted = true;
  try {
    FListener = std::make_unique<TListener>(this);
    FListener->Launch();
    FListener->WaitStarted();
    if (FListener->FFailed) {
      const std::string text =
          FListener->FStartErrorText.empty() ? ServerErrorText(qvServerStartError) : FListener->FStartErrorText;
      const int code = FListener->FStartErrorCode == 0 ? qvServerStartError : FListener->FStartErrorCode;
      throw EqvTcpServerError(text, code);
    }
  } catch (...) {
    StopInner();
    throw;
  }
  DoStart();
}

void TqvTcpServer::StopInner() noexcept {
  if (!FListener) {
    FStarted = false;
    return;
  }
  {
    std::scoped_lock lock(FLock);
    FStopping = true;
  }
  // Workers waiting for their connection's next input give up at once: one
  // wake-up each. A worker counts itself before it tests the stop, so any
  // worker not counted here sees the stop and does not wait. (Wake-ups are
  // taken one system call each; a count far above the waiters would cost
  // that many calls in Reset.)
  if (FLingerWake) {
    const int waiting = FLingering.load();
    if (waiting > 0) FLingerWake->Signal(static_cast<uint32_t>(waiting));
  }
  // The connections close before the running items are awaited: a command
  // still producing output (a large FETCH, or one whose client does not
  // read) meets its closed connection at its next piece and ends, so no
  // stop waits for it. A command's store work is never cut: its reply, the
  // acknowledgement, is what goes unsent.
  CloseEveryConnection();
  FThreadPool->Clear();
  if (FLingerWake) FLingerWake->Reset();
  FListener->RequestStop();
  FListener->Join();
  FListener.reset();
  FBoundPort = 0;
  FStopping = false;
  FStarted = false;
}

void TqvTcpServer::Stop() {
  if (!FStarted.load()) return;
  StopInner();
  DoStop();
}

bool TqvTcpServer::IsStarted() const { return FStarted.load(); }

void TqvTcpServer::CloseListed(TqvUserConnection* AConnection) {
  TqvUserConnectionPtr c;
  {
    std::scoped_lock lock(FLock);
    auto it = std::find_if(FConnections.begin(), FConnections.end(),
                           [AConnection](const TqvUserConnectionPtr& p) { return p.get() == AConnection; });
    if (it == FConnections.end()) return;
    c = std::move(*it);
    FConnections.erase(it);
    FByHandle.erase(c->Handle());
  }
  c->Interrupt();
  c->Close(true);
  DoCloseConnection(c.get());
}

void TqvTcpServer::CloseConnection(TqvUserConnection* AConnection) {
  if (!FStarted.load()) throw EqvTcpServerError(qvServerNotStarted);
  CloseListed(AConnection);
}

int TqvTcpServer::GetConnectionCount() {
  if (!FStarted.load()) throw EqvTcpServerError(qvServerNotStarted);
  std::scoped_lock lock(FLock);
  return static_cast<int>(FConnections.size());
}

TqvUserConnectionPtr TqvTcpServer::GetConnection(int AIndex) {
  if (!FStarted.load()) throw EqvTcpServerError(qvServerNotStarted);
  std::scoped_lock lock(FLock);
  if (AIndex < 0 || AIndex >= static_cast<int>(FConnections.size())) return nullptr;
  return FConnections[static_cast<size_t>(AIndex)];
}

void TqvTcpServer::ReadConnectionData(TqvUserConnection* AConnection, TStream* AData) {
  TWorkLock lock(*AConnection);
  if (!AConnection->Active()) return;
  // The write event this would post is owed to the read item instead.
  if (AConnection->SelectEvents(FWindow.load(), kNoReadMask, plat::FD_WRITE) != 0) AConnection->OweWrite();
  AConnection->ReadData(AData);
}

void TqvTcpServer::ReadConnection(TqvUserConnection* AConnection) {
  TMemoryStream data;
  TWorkLock lock(*AConnection);
  ReadConnectionData(AConnection, &data);
  data.SetPosition(0);
  DoReadConnection(AConnection, data);
}

void TqvTcpServer::DoSessionTimeOut(TqvUserConnection*) {}

void TqvTcpServer::SetSessionTimeOut(int Value) {
  if (Value >= 1 && Value < kMinIdleClose) return;
  FSessionTimeOut = Value;
}

void TqvTcpServer::SetGuard(TqvServerGuard* Value) {
  if (FGuard == Value) return;
  if (FGuard) FGuard->RemoveFreeNotification(this);
  FGuard = Value;
  if (FGuard) FGuard->FreeNotification(this);
}

void TqvTcpServer::Notification(TComponent* AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
  if (Operation == TOperation::opRemove && AComponent == FGuard) FGuard = nullptr;
}

void TqvTcpServer::DoServerError(TqvUserConnection* AConnection, const std::exception& E) noexcept {
  if (!OnServerError) return;
  try {
    OnServerError(this, AConnection, E);
  } catch (const std::exception& e2) {
    try {
      OnServerError(this, nullptr, e2);
    } catch (...) {
    }
  } catch (...) {
  }
}

void TqvTcpServer::DoCreateConnection(TqvUserConnectionPtr& AConnection) {
  if (OnCreateConnection) OnCreateConnection(this, AConnection);
}

void TqvTcpServer::DoAcceptConnection(TqvUserConnection* AConnection, bool& Handled) {
  if (OnAcceptConnection) OnAcceptConnection(this, AConnection, Handled);
}

void TqvTcpServer::DoCloseConnection(TqvUserConnection* AConnection) {
  if (OnCloseConnection) OnCloseConnection(this, AConnection);
}

void TqvTcpServer::DoReadConnection(TqvUserConnection* AConnection, TStream& AData) {
  if (OnReadConnection) OnReadConnection(this, AConnection, AData);
}

void TqvTcpServer::DoWriteConnection(TqvUserConnection* AConnection) {
  if (OnWriteConnection) OnWriteConnection(this, AConnection);
}

void TqvTcpServer::DoStart() {
  if (OnStart) OnStart(this);
}

void TqvTcpServer::DoStop() {
  if (OnStop) OnStop(this);
}

TqvUserConnectionPtr TqvTcpServer::CreateConnection() {
  TqvUserConnectionPtr c;
  DoCreateConnection(c);
  if (!c) c = CreateDefaultConnection();
  return c;
}

std::unique_ptr<TqvThreadPool> TqvTcpServer::CreateThreadPool() { return std::make_unique<TqvThreadPool>(); }

void TqvTcpServer::CreateNetworkStream(TqvUserConnection* AConnection) {
  AConnection->SetNetworkStream(std::make_unique<TqvNetworkStream>());
}

void TqvTcpServer::ConnectionReady(TqvUserConnection* AConnection) {
  bool handled = false;
  DoAcceptConnection(AConnection, handled);
  AConnection->OnReady = nullptr;
}

void TqvTcpServer::PeerHalfClosed(const TqvUserConnectionPtr& AConnection) {
  // A client may send its last command and shut down its side at once; the
  // reply still has to reach it. Output still waiting, or a read still being
  // handled, defers the close to the write item that flushes it.
  TqvUserConnection& c = *AConnection;
  bool defer = false;
  {
    TWorkLock lock(c);
    if (c.Active() && (c.Reading() || c.PendingOutput() > 0 || HasPendingInput(&c))) {
      c.SetCloseAfterWrite();
      defer = true;
    }
  }
  if (!defer) {
    CloseListed(&c);
    return;
  }
  QueueWork(AConnection, 1);
}
