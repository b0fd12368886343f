// TCP server base: one listening thread per started server owns the listening
// socket, the connection list and a hidden window that receives every socket
// event (async select) and the session timer; reads and writes run as work
// items on the server's own pool. Protocol servers override ReadConnection and
// CreateDefaultConnection. Start/Stop from the owning thread; CloseConnection
// and the connection queries from any thread. Lock order: a connection's lock,
// then the server lock, then the guard's; the server lock is never held while
// a connection is closed. Events fire on the listening thread or a worker (see
// each); OnServerError gets every error of accept, work items and the loop.
// Start raises EqvTcpServerError; -301 for queries on a stopped server.
// One connection's reads run one at a time: read events are off from the start
// of a read item until its data were handled, then a write step always follows
// on the same worker (flush, OnWriteConnection, close-after-write). Input a
// subclass keeps for later (HasPendingInput) gets a read item of its own,
// queued behind the other connections' items. The listener accepts every
// pending connection per event.
#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "ClassCore.h"
#include "MessageLoop.h"
#include "Sockets.h"
#include "Streams.h"
#include "qvServerGuard.h"
#include "qvSocketUtils.h"
#include "qvThreadPool.h"
#include "qvUserConnection.h"

constexpr int qvServerStartError = -299;
constexpr int qvServerAlreadyStarted = -300;
constexpr int qvServerNotStarted = -301;
constexpr int qvConnectionBlocked = -302;
constexpr int qvConnectionNotCreated = -303;

inline constexpr plat::TCodeText<> qvTcpServerErrorTexts[] = {
    {qvServerStartError, "An unknown error occured during starting the server"},
    {qvServerAlreadyStarted, "The server is already started"},
    {qvServerNotStarted, "The server is not started"},
    {qvConnectionBlocked, "Connection is blocked"},
    {qvConnectionNotCreated, "Connection is not created"},
};

class EqvTcpServerError : public EqvSocketError {
 public:
  using EqvSocketError::EqvSocketError;
  // The fixed text of a server code (-299..-303).
  explicit EqvTcpServerError(int ACode);
  VX_CLASS_NAME("EqvTcpServerError")
};

using TqvServerErrorEvent =
    std::function<void(TObject* Sender, TqvUserConnection* AConnection, const std::exception& E)>;
using TqvAcceptConnectionEvent =
    std::function<void(TObject* Sender, TqvUserConnection* AConnection, bool& Handled)>;
using TqvConnectionEvent = std::function<void(TObject* Sender, TqvUserConnection* AConnection)>;
using TqvCreateConnectionEvent = std::function<void(TObject* Sender, TqvUserConnectionPtr& AConnection)>;
using TqvConnectionDataEvent =
    std::function<void(TObject* Sender, TqvUserConnection* AConnection, TStream& AData)>;

class TqvTcpServer : public TComponent {
 public:
  explicit TqvTcpServer(TComponent* AOwner = nullptr);
  // Stops (firing OnStop) and waits for every thread. A subclass whose
  // overrides the threads may call must call Stop in its own destructor.
  ~TqvTcpServer() override;
  VX_CLASS_NAME("TqvTcpServer")

  // Raises -300 when started, or the start error (text and code of the
  // underlying error, -3 for a port outside 1..65535) after OnServerError
  // fired; the server then stays stopped.
  void Start();
  // Closes every connection (last accepted first), so commands still running
  // end at their next output, then waits for the workers and ends the
  // threads; then OnStop. Nothing when stopped. Not from a pool worker or
  // the listener.
  void Stop();
  [[nodiscard]] bool IsStarted() const;

  // Closes now; OnCloseConnection fires once whichever path closes first.
  void CloseConnection(TqvUserConnection* AConnection);
  [[nodiscard]] int GetConnectionCount();
  // A counted reference; null for an index out of range.
  [[nodiscard]] TqvUserConnectionPtr GetConnection(int AIndex);
  // The server lock for the caller's scope (after any connection's lock).
  [[nodiscard]] std::unique_lock<std::recursive_mutex> ServerLock() { return std::unique_lock(FLock); }

  // Read events off, then the connection's ReadData. The read item turns them
  // on again after ReadConnection returns.
  void ReadConnectionData(TqvUserConnection* AConnection, TStream* AData);

  // For session tests, on the calling thread, with no listener or pool: lists
  // a new connection over AStream (a stream with no socket behind it, such as
  // TqvMemoryNetworkStream) as an accept from APeerIP would, then lets the
  // stream announce it ready (the greeting). Raises what CreateConnection
  // raises; a guard's refusal closes it (OnServerError, then closed). While
  // such a connection is listed, the connection queries and CloseConnection
  // answer even on a stopped server; Stop leaves it to CloseConnection.
  TqvUserConnectionPtr AcceptStream(std::unique_ptr<TqvNetworkStream> AStream, const std::string& APeerIP);
  // One read item of a connection AcceptStream made, on the calling thread,
  // as a worker runs it: the read step (again while it kept input back), the
  // write step, which closes the connection once a closing reply has gone,
  // and the close a peer's end of input asks for. Errors go to OnServerError.
  void RunStreamReadItem(const TqvUserConnectionPtr& AConnection);

  int Port() const { return FPort; }
  void SetPort(int Value) { FPort = Value; }
  // The port the listener is bound to while started.
  [[nodiscard]] int BoundPort() const { return FBoundPort.load(); }
  int BatchSize() const { return FBatchSize; }
  void SetBatchSize(int Value) { FBatchSize = Value; }
  int BitsPerSec() const { return FBitsPerSec; }
  void SetBitsPerSec(int Value) { FBitsPerSec = Value; }
  const std::string& ServerName() const { return FServerName; }
  void SetServerName(const std::string& Value) { FServerName = Value; }
  const std::string& LocalBinding() const { return FLocalBinding; }
  void SetLocalBinding(const std::string& Value) { FLocalBinding = Value; }
  // The listen backlog; the listener asks for at least SOMAXCONN.
  int MaxConnectionQueue() const { return FMaxConnectionQueue; }
  void SetMaxConnectionQueue(int Value) { FMaxConnectionQueue = Value; }
  // Milliseconds; 0 or less switches the check off; 1..4999 are ignored.
  int SessionTimeOut() const { return FSessionTimeOut.load(); }
  void SetSessionTimeOut(int Value);
  bool UseIpV6() const { return FUseIpV6; }
  void SetUseIpV6(bool Value) { FUseIpV6 = Value; }
  // Borrowed; cleared when the guard is destroyed.
  TqvServerGuard* Guard() const { return FGuard; }
  void SetGuard(TqvServerGuard* Value);
  // Milliseconds a worker that handled a connection's input waits on that
  // socket for the next command before handing the connection back to the
  // listener (0: never). Only with output gone, no input kept and a spare
  // worker in the pool, so no other connection's item waits for it; each
  // input it carries is a read with its write step, as if its event came.
  int ReadLinger() const { return FReadLinger.load(); }
  void SetReadLinger(int Value) { FReadLinger = Value < 0 ? 0 : Value; }
  int MinThreadCount() const { return FThreadPool->MinThreadCount(); }
  void SetMinThreadCount(int Value) { FThreadPool->SetMinThreadCount(Value); }
  int MaxThreadCount() const { return FThreadPool->MaxThreadCount(); }
  void SetMaxThreadCount(int Value) { FThreadPool->SetMaxThreadCount(Value); }
  TqvThreadPool& ThreadPool() { return *FThreadPool; }

  TNotifyEvent OnStart;
  TNotifyEvent OnStop;
  TqvServerErrorEvent OnServerError;
  TqvAcceptConnectionEvent OnAcceptConnection;
  TqvConnectionEvent OnCloseConnection;
  TqvCreateConnectionEvent OnCreateConnection;
  TqvConnectionDataEvent OnReadConnection;
  TqvConnectionEvent OnWriteConnection;

 protected:
  // The read step of a read item, on a worker: reads what arrived and hands
  // it to DoReadConnection, under the connection lock.
  virtual void ReadConnection(TqvUserConnection* AConnection);
  // Must not raise; errors of its handler are dropped.
  virtual void DoServerError(TqvUserConnection* AConnection, const std::exception& E) noexcept;
  virtual void DoCreateConnection(TqvUserConnectionPtr& AConnection);
  // Protocol servers send their greeting here (listening thread).
  virtual void DoAcceptConnection(TqvUserConnection* AConnection, bool& Handled);
  virtual void DoCloseConnection(TqvUserConnection* AConnection);
  // On the listening thread, just before an idle connection is closed for
  // its time-out: a protocol may say goodbye. Errors go to OnServerError.
  virtual void DoSessionTimeOut(TqvUserConnection* AConnection);
  virtual void DoReadConnection(TqvUserConnection* AConnection, TStream& AData);
  virtual void DoWriteConnection(TqvUserConnection* AConnection);
  virtual void DoStart();
  virtual void DoStop();
  // The handler's connection, else CreateDefaultConnection.
  virtual TqvUserConnectionPtr CreateConnection();
  virtual TqvUserConnectionPtr CreateDefaultConnection() = 0;
  virtual std::unique_ptr<TqvThreadPool> CreateThreadPool();
  // Gives a new connection its stream before the accept: a plain one here.
  virtual void CreateNetworkStream(TqvUserConnection* AConnection);
  // True while the connection holds received input that its next read item
  // must handle before reading the socket again (a subclass that yields
  // between commands says so); that item is queued behind the others.
  virtual bool HasPendingInput(TqvUserConnection* AConnection);
  void Notification(TComponent* AComponent, TOperation Operation) override;
  // Set while Stop runs.
  [[nodiscard]] bool Stopping() const { return FStopping.load(); }

 private:
  class TListener;
  class TWorkItem;
  friend class TListener;
  friend class TWorkItem;

  void StopInner() noexcept;
  // Raises -301 on a stopped server that lists no connection.
  void RequireListing();
  // Removes and closes every listed connection, firing OnCloseConnection.
  void CloseEveryConnection() noexcept;
  // The stream is ready for application data: OnAcceptConnection, once.
  void ConnectionReady(TqvUserConnection* AConnection);
  // The peer ended its side: close now, or after the output still queued.
  void PeerHalfClosed(const TqvUserConnectionPtr& AConnection);
  void CloseListed(TqvUserConnection* AConnection);
  void RunWorkItem(const TqvUserConnectionPtr& AConnection, int AAction);
  // After a carried read's write step: waits for the connection's next input
  // while that is allowed; true when there is input to read.
  bool LingerForInput(TqvUserConnection& AConnection);
  // Queues a work item unless stopping (takes the server lock); a worker
  // waiting for its connection's input gives way when the item must queue.
  void QueueWork(const TqvUserConnectionPtr& AConnection, int AAction);
  // A write event's work: flush, OnWriteConnection, close-after-write.
  void RunWriteStep(TqvUserConnection& AConnection);

  // The server lock. Re-entered by GetConnectionCount and GetConnection when a
  // holder of ServerLock walks the list (POP3's maildrop check).
  mutable std::recursive_mutex FLock;
  // Guarded by the server lock; in accept order.
  std::vector<TqvUserConnectionPtr> FConnections;
  // The listed connections by event handle, for the listener's look-ups.
  std::unordered_map<plat::SocketHandle, TqvUserConnectionPtr> FByHandle;
  std::atomic<bool> FStarted{false};
  std::atomic<plat::HWND> FWindow{0};  // the listener's window while started
  int FPort = 0;
  std::atomic<int> FBoundPort{0};
  std::unique_ptr<TListener> FListener;
  int FBatchSize = 8192;
  std::unique_ptr<TqvThreadPool> FThreadPool;
  std::string FServerName;
  int FBitsPerSec = 0;
  std::string FLocalBinding;
  int FMaxConnectionQueue = 100;
  std::atomic<bool> FStopping{false};
  std::atomic<int> FSessionTimeOut{600000};
  std::atomic<int> FReadLinger{2};
  // Ends the waits of LingerForInput: one per item that had to queue, all at
  // a stop. Null when it could not be made; workers then never wait.
  std::unique_ptr<plat::TReadWaitWake> FLingerWake;
  std::atomic<int> FLingering{0};
  TqvServerGuard* FGuard = nullptr;
  bool FUseIpV6 = false;
};
