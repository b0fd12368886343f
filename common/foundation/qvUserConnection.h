// The server side of one accepted TCP connection. It owns the accepted socket
// and buffers the output the socket could not take yet; it never waits for
// socket events: the server's listening thread tells it when to read and write.
// Shared: the server's connection list and every queued work item hold a
// std::shared_ptr, so the object outlives its removal while an item still runs.
// Any thread may call anything; the connection lock (re-entrant) makes each call
// atomic, and BeginWork/EndWork hold it across several. Lock order: this lock,
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

class TqvUserConnection;

// What the server's list and work items hold.
class IqvUserConnection {
 public:
  virtual ~IqvUserConnection() = default;
  [[nodiscard]] virtual TqvUserConnection* GetUserConnection() = 0;
};

class TqvUserConnection : public TObject,
                          public IqvUserConnection,
                          public std::enable_shared_from_this<TqvUserConnection> {
 public:
  TqvUserConnection();
  // Closes the socket if still open; never raises.
  ~TqvUserConnection() override;
  TqvUserConnection(const TqvUserConnection&) = delete;
  TqvUserConnection& operator=(const TqvUserConnection&) = delete;
  VX_CLASS_NAME("TqvUserConnection")

  TqvUserConnection* GetUserConnection() override { return this; }

  void BeginWork() { FLock.lock(); }
  void EndWork() { FLock.unlock(); }

  // Appends what the socket has (up to would-block or the peer's close) to
  // AData. True when the peer closed or AData is null, false on would-block.
  // Raises 10038 when not Active, or the socket's error.
  virtual bool ReadData(TStream* AData);
  // Queues AData from its position behind any waiting output and sends what
  // the socket takes. True when nothing is left waiting; a closed connection
  // answers true and drops the data.
  virtual bool WriteData(TStream* AData);
  bool WriteData(const std::string& AText);
  // As WriteData, then the server closes the connection once all output is
  // gone; a write event is asked for so the close cannot be missed.
  bool WriteDataAndClose(TStream* AData);
  bool WriteDataAndClose(const std::string& AText);
  // Shuts the socket down and closes it; later calls do nothing. ANotify is
  // for protocol layers that send a closing record; the plain socket has none.
  virtual void Close(bool ANotify);
  // Marks the connection aborted; safe from any thread.
  virtual void Interrupt() { FAborted = true; }

  void UpdateActivity() { FLastActivity.store(plat::GetTickCount()); }
  // Tick of the last read or write call.
  [[nodiscard]] uint32_t LastActivity() const { return FLastActivity.load(); }

  [[nodiscard]] bool Active() const { return FActive.load(); }
  [[nodiscard]] bool Aborted() const { return FAborted.load(); }
  // The peer closed its side during a read.
  [[nodiscard]] bool PeerClosed() const { return FPeerClosed.load(); }
  [[nodiscard]] bool CloseAfterWrite() const { return FCloseAfterWrite.load(); }
  // Bytes accepted but not yet taken by the socket.
  [[nodiscard]] int64_t PendingOutput();

  [[nodiscard]] plat::SOCKET Socket() const { return FSocket; }
  // The never-reused handle socket events carry; 0 when there is no socket.
  [[nodiscard]] plat::SocketHandle Handle() const { return FHandle; }
  [[nodiscard]] int AddressFamily() const { return FAddressFamily; }

  std::string LocalIP;
  int LocalPort = 0;
  std::string PeerIP;
  int PeerPort = 0;
  // Largest byte count of one send or receive call.
  int BatchSize = 8192;
  int BitsPerSec = 0;  // kept for the protocol layers; no throttling here
  bool UseIpV6 = false;

  // Bytes moved since InitProgress.
  void InitProgress(int64_t ABytesProceed, int64_t ATotalBytes);
  [[nodiscard]] int64_t BytesProceed() const { return FBytesProceed.load(); }
  TqvProgressEvent OnProgress;

  // For the server: takes the accepted socket (marking the connection Active)
  // and reads both addresses.
  void AttachSocket(plat::SOCKET ASocket, int AFamily);
  // For the server: async-select registration on its window, remembered so
  // WriteDataAndClose can renew it. Raises the platform error. No-op once closed.
  void SelectEvents(plat::HWND AWindow, long AMask);
  [[nodiscard]] long SelectedEvents() const { return FMask; }
  // For the server: false while another read item of this connection runs.
  [[nodiscard]] bool TryBeginRead() { return !FReading.exchange(true); }
  void EndRead() { FReading = false; }

 protected:
  void AddProgress(int64_t ACount);
  [[nodiscard]] int CheckedBatchSize() const;

 private:
  void CloseSocketLocked() noexcept;

  std::recursive_mutex FLock;
  TMemoryStream FOutput;  // position = first unsent byte
  std::atomic<bool> FCloseAfterWrite{false};
  std::atomic<uint32_t> FLastActivity{0};
  std::atomic<bool> FActive{false};
  std::atomic<bool> FAborted{false};
  std::atomic<bool> FPeerClosed{false};
  std::atomic<bool> FReading{false};
  std::atomic<int64_t> FBytesProceed{0};
  int64_t FTotalBytes = 0;
  plat::SOCKET FSocket = plat::INVALID_SOCKET;
  plat::SocketHandle FHandle = 0;
  int FAddressFamily = 0;
  plat::HWND FWindow = 0;
  long FMask = 0;
  std::string FReadBuffer;
};

using TqvUserConnectionPtr = std::shared_ptr<TqvUserConnection>;
