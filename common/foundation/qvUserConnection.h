// The server side of one accepted TCP connection: a TqvConnection whose I/O
// goes through its network stream (plain, or TLS once a server swaps it), and
// which buffers the output the socket could not take yet. It never waits for
// socket events: the server's listening thread tells it when to read and write.
// Shared: the server's connection list and every queued work item hold a
// std::shared_ptr, so the object outlives its removal while an item still runs.
// Any thread may call anything; the connection lock (re-entrant) makes each call
// atomic, and WorkLock holds it across several. Lock order: this lock,
// then the server lock, never the reverse. I/O failures raise EqvSocketError;
// would-block is never an error. Output is never reordered or compacted away.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "ClassCore.h"
#include "MessageLoop.h"
#include "Sockets.h"
#include "Streams.h"
#include "qvSocket.h"

class TqvUserConnection;
class TqvTcpServer;

// What the server's list and work items hold.
class IqvUserConnection {
 public:
  virtual ~IqvUserConnection() = default;
  [[nodiscard]] virtual TqvUserConnection* GetUserConnection() = 0;
};

class TqvUserConnection : public TqvConnection,
                          public IqvUserConnection,
                          public std::enable_shared_from_this<TqvUserConnection> {
 public:
  TqvUserConnection();
  // Closes the socket if still open; never raises.
  ~TqvUserConnection() override;
  VX_CLASS_NAME("TqvUserConnection")

  TqvUserConnection* GetUserConnection() override { return this; }

  // The connection lock for the caller's scope, across several calls.
  [[nodiscard]] std::unique_lock<std::recursive_mutex> WorkLock() { return std::unique_lock(FLock); }

  // Appends what the stream has (up to would-block or the peer's close) to
  // AData. True when the peer closed or AData is null, false on would-block.
  // Raises 10038 when not Active, or the stream's error.
  bool ReadData(TStream* AData) override;
  // Queues AData from its position behind any waiting output and sends what
  // the stream takes. True when nothing is left waiting; a closed connection
  // answers true and drops the data.
  bool WriteData(TStream* AData) override;
  bool WriteData(const std::string& AText);
  // As WriteData, then the server closes the connection once all output is
  // gone; a write event is asked for so the close cannot be missed.
  bool WriteDataAndClose(TStream* AData);
  bool WriteDataAndClose(const std::string& AText);
  // Closes the stream (a TLS stream sends its closing record itself) and
  // always the socket: a server connection performs no next action, so
  // nothing would close it later. Later calls do nothing.
  void Close(bool ANotify) override;

  void UpdateActivity() { FLastActivity.store(plat::GetTickCount()); }
  // Tick of the last read or write call.
  [[nodiscard]] uint32_t LastActivity() const { return FLastActivity.load(); }

  // The peer closed its side during a read.
  [[nodiscard]] bool PeerClosed() const { return FPeerClosed.load(); }
  [[nodiscard]] bool CloseAfterWrite() const { return FCloseAfterWrite.load(); }
  // Bytes accepted but not yet taken by the stream.
  [[nodiscard]] int64_t PendingOutput();
  // The never-reused handle socket events carry; 0 when there is no socket.
  [[nodiscard]] plat::SocketHandle Handle() const { return FHandle.load(); }

 private:
  friend class TqvTcpServer;

  // For the server, after the stream accepted: marks the connection Active
  // and remembers the socket's event handle (0 when the stream has none).
  void Accepted();
  // For the server: async-select registration on its window, remembered so
  // WriteDataAndClose can renew it. Raises the platform error. No-op once
  // closed, and without a socket (a stream that has none, in tests).
  // The events of ATake (FD_WRITE) are not posted but returned: the caller
  // runs their work itself.
  long SelectEvents(plat::HWND AWindow, long AMask, long ATake = 0);
  // For the server: a write step that a registration handed over is due.
  void OweWrite() { FWriteOwed = true; }
  [[nodiscard]] bool TakeOwedWrite() { return FWriteOwed.exchange(false); }
  // For the server: false while another read item of this connection runs.
  [[nodiscard]] bool TryBeginRead() { return !FReading.exchange(true); }
  void EndRead() { FReading = false; }
  [[nodiscard]] bool Reading() const { return FReading.load(); }
  void SetCloseAfterWrite() { FCloseAfterWrite = true; }

  // Re-entered by every call made under WorkLock: ReadData, WriteData, Close
  // and PendingOutput each take it again.
  std::recursive_mutex FLock;
  TMemoryStream FOutput;  // position = first unsent byte
  std::atomic<bool> FCloseAfterWrite{false};
  std::atomic<uint32_t> FLastActivity{0};
  std::atomic<bool> FPeerClosed{false};
  std::atomic<bool> FReading{false};
  std::atomic<bool> FWriteOwed{false};
  std::atomic<plat::SocketHandle> FHandle{0};
  plat::HWND FWindow = 0;
  long FMask = 0;
};

using TqvUserConnectionPtr = std::shared_ptr<TqvUserConnection>;
