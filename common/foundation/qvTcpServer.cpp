#include "qvTcpServer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>

#include "qvIpAddress.h"
#include "qvTcpServerListener.h"
#include "qvWinSock2.h"

using qvtcpserver::kMinIdleClose;
using qvtcpserver::kReadMask;
using qvtcpserver::UnknownError;

namespace {

constexpr long kNoReadMask = plat::FD_WRITE | plat::FD_CLOSE;

std::string ServerErrorText(int ACode) {
  return plat::CodeText(qvTcpServerErrorTexts, ACode);
}

}  // namespace

namespace qvtcpserver {

const Exception& UnknownError() {
  static const Exception e("Unknown error");
  return e;
}

}  // namespace qvtcpserver

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
      const auto lock = c.WorkLock();
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
        const auto lock = c.WorkLock();
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
      const auto lock = c.WorkLock();
      if (c.Active() && c.PendingOutput() == 0 && !c.CloseAfterWrite()) s = c.Socket().Socket();
    }
    // The wait holds no lock: a close meanwhile is seen by Active below.
    if (s != plat::INVALID_SOCKET && FLingerWake) {
      ++FLingering;
      // Counted before the stopping and queue tests: a stop's wake-ups, and
      // those of work queued from now on, reach this wait; work queued
      // before the count was seen is seen here, and the wait is not begun.
      ready = !FStopping.load() && FThreadPool->QueuedCount() == 0 &&
              plat::WaitReadable(s, FReadLinger.load(), FLingerWake.get()) > 0 && !FStopping.load();
      --FLingering;
    }
    if (ready) {
      const auto lock = c.WorkLock();
      ready = c.Active() && !c.CloseAfterWrite();
      if (ready) return true;
    }
    // Handed back: read events on again, as after any read. The write event
    // this registration reports has no work left when the output is gone.
    reading = false;
    c.EndRead();
    const auto lock = c.WorkLock();
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
      const auto lock = c.WorkLock();
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
  RequireListing();
  CloseListed(AConnection);
}

int TqvTcpServer::GetConnectionCount() {
  std::scoped_lock lock(FLock);
  RequireListing();
  return static_cast<int>(FConnections.size());
}

TqvUserConnectionPtr TqvTcpServer::GetConnection(int AIndex) {
  std::scoped_lock lock(FLock);
  RequireListing();
  if (AIndex < 0 || AIndex >= static_cast<int>(FConnections.size())) return nullptr;
  return FConnections[static_cast<size_t>(AIndex)];
}

void TqvTcpServer::ReadConnectionData(TqvUserConnection* AConnection, TStream* AData) {
  const auto lock = AConnection->WorkLock();
  if (!AConnection->Active()) return;
  // The write event this would post is owed to the read item instead.
  if (AConnection->SelectEvents(FWindow.load(), kNoReadMask, plat::FD_WRITE) != 0) AConnection->OweWrite();
  AConnection->ReadData(AData);
}

void TqvTcpServer::RequireListing() {
  // A stopped server lists nothing, except connections AcceptStream made.
  std::scoped_lock lock(FLock);
  if (!FStarted.load() && FConnections.empty()) throw EqvTcpServerError(qvServerNotStarted);
}

TqvUserConnectionPtr TqvTcpServer::AcceptStream(std::unique_ptr<TqvNetworkStream> AStream,
                                                const std::string& APeerIP) {
  TqvUserConnectionPtr c = CreateConnection();
  if (!c) throw EqvTcpServerError(qvConnectionNotCreated);
  {
    std::scoped_lock lock(FLock);
    FConnections.push_back(c);
  }
  try {
    c->SetNetworkStream(std::move(AStream));
    c->BatchSize = FBatchSize;
    c->BitsPerSec = FBitsPerSec;
    c->UseIpV6 = FUseIpV6;
    c->OnReady = [this](TObject* ASender) { ConnectionReady(static_cast<TqvUserConnection*>(ASender)); };
    const auto lock = c->WorkLock();
    TqvNetworkStream& stream = c->GetNetworkStream();
    stream.SetPeer(APeerIP, 0);
    stream.SetLocal(FLocalBinding.empty() ? "127.0.0.1" : FLocalBinding, FPort);
    c->Accepted();  // no socket: the handle stays 0 and no events are selected
    if (FGuard && !FGuard->CheckConnection(c->PeerIP, FPort)) throw EqvTcpServerError(qvConnectionBlocked);
    stream.StreamReady();
  } catch (const std::exception& e) {
    DoServerError(c.get(), e);
    CloseListed(c.get());
  }
  return c;
}

void TqvTcpServer::RunStreamReadItem(const TqvUserConnectionPtr& AConnection) {
  TqvUserConnection& c = *AConnection;
  try {
    do {
      {
        const auto lock = c.WorkLock();
        c.InitProgress(0, 0);
      }
      if (c.Active()) ReadConnection(&c);
    } while (c.Active() && HasPendingInput(&c));
  } catch (const std::exception& e) {
    DoServerError(&c, e);
  } catch (...) {
    DoServerError(&c, UnknownError());
  }
  RunWriteStep(c);
  if (!c.Active() || !c.PeerClosed()) return;
  // The peer ended its input: close now, or (output the stream would not
  // take yet) at the write step of the next item.
  try {
    bool now;
    {
      const auto lock = c.WorkLock();
      now = c.PendingOutput() == 0;
      if (!now) c.SetCloseAfterWrite();
    }
    if (now) CloseListed(&c);
  } catch (const std::exception& e) {
    DoServerError(&c, e);
  }
}

void TqvTcpServer::ReadConnection(TqvUserConnection* AConnection) {
  TMemoryStream data;
  const auto lock = AConnection->WorkLock();
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
    const auto lock = c.WorkLock();
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
