// Connections: a socket holder (TqvSocket), the connection base that owns one
// socket and one network stream and decides when to read and write, and the
// blocking client connections over TCP and UDP. Client waits go through
// WaitForSocketEvent, which keeps dispatching the calling thread's messages
// and measures its time-out from the last activity, so a long transfer only
// fails when it stalls. A connection belongs to one thread; Interrupt is the
// only call allowed from another, and ends any wait without an error.
// Failures raise EqvSocketError (platform codes, or -1 time-out, -2 bad host,
// -5 no stream, -6 not active); reading or writing a closed connection raises
// 10038. Destruction closes the socket and never throws.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "ClassCore.h"
#include "Sockets.h"
#include "Streams.h"
#include "qvNetworkStream.h"
#include "qvSocketUtils.h"

// Owns one socket handle (-1 = none) and its family (0, 2 or 23).
class TqvSocket : public TObject {
 public:
  TqvSocket() = default;
  ~TqvSocket() override;
  TqvSocket(const TqvSocket&) = delete;
  TqvSocket& operator=(const TqvSocket&) = delete;
  VX_CLASS_NAME("TqvSocket")

  // Shuts down both ways and closes; the handle is gone even if closing fails.
  virtual void Close();
  // Takes ownership of AHandle. A handle held before is not closed: the
  // server lends its listener here for Accept, which replaces it.
  virtual void SetSocket(plat::SOCKET AHandle, int AFamily);
  [[nodiscard]] plat::SOCKET Socket() const { return FSocket; }
  [[nodiscard]] int AddressFamily() const { return FAddressFamily; }

 private:
  plat::SOCKET FSocket = plat::INVALID_SOCKET;
  int FAddressFamily = 0;
};

class TqvConnection : public TObject {
 public:
  TqvConnection();
  ~TqvConnection() override;
  TqvConnection(const TqvConnection&) = delete;
  TqvConnection& operator=(const TqvConnection&) = delete;
  VX_CLASS_NAME("TqvConnection")

  // Frees the socket holder and the stream.
  virtual void ReleaseResources();
  virtual void DoProgress();
  virtual void DoReady();
  // Closes the stream (letting it send a closing record when ANotify) and
  // the socket. A stream that still has something to send keeps the socket
  // open until a Close(false). The socket is closed even when this raises.
  virtual void Close(bool ANotify);
  // Both return true; the result carries no information.
  virtual bool ReadData(TStream* AData) = 0;
  virtual bool WriteData(TStream* AData) = 0;
  // Performs the stream's pending action, if any.
  virtual void DispatchNextAction() {}
  // Any thread: ends the current wait and the transfer loop.
  virtual void Interrupt();

  // -5 when there is none. Valid until SetNetworkStream or ReleaseResources.
  [[nodiscard]] TqvNetworkStream& GetNetworkStream() const;
  [[nodiscard]] TqvNetworkStream* NetworkStream() const { return FNetworkStream.get(); }
  // The new stream takes over the old one's addresses and read flag; the
  // socket stays as it is, so TLS or SOCKS can be put on a live connection.
  void SetNetworkStream(std::unique_ptr<TqvNetworkStream> AStream);

  // Asserts that no socket is held; raises the platform error.
  void OpenSocket(int AFamily, int AType, int AProtocol);
  void CloseSocket();
  void CloseNetworkStream(bool ANotify);
  void InitProgress(int64_t ABytesProceed, int64_t ATotalBytes);
  void AddProgress(int64_t ACount);

  [[nodiscard]] TqvSocket& Socket() const { return *FSocket; }
  [[nodiscard]] bool Active() const { return FActive.load(); }
  [[nodiscard]] bool Aborted() const { return FAborted.load(); }
  // How many times Interrupt was called; opening a socket leaves it alone.
  [[nodiscard]] uint32_t InterruptCount() const { return FInterrupts.load(); }
  [[nodiscard]] int64_t BytesProceed() const { return FBytesProceed; }
  [[nodiscard]] int64_t TotalBytes() const { return FTotalBytes; }

  // The most one socket call moves.
  int BatchSize = 8192;
  // 0 or less: no throttling.
  int BitsPerSec = 0;
  // Negative: no limit; else the stream stops after this many bytes.
  int64_t BytesToProceed = -1;
  TqvProgressEvent OnProgress;
  TNotifyEvent OnReady;
  // Written by the stream.
  std::string LocalIP;
  int LocalPort = 0;
  std::string PeerIP;
  int PeerPort = 0;
  // Kept for the owner; the connection does not read it.
  bool UseIpV6 = false;

 protected:
  void SetActive(bool AValue) { FActive = AValue; }
  void SetAborted() { FAborted = true; }
  // Close(false) and CloseSocket without raising; for destructors.
  void CloseQuietly() noexcept;

 private:
  std::unique_ptr<TqvSocket> FSocket;
  std::atomic<bool> FAborted{false};
  std::atomic<uint32_t> FInterrupts{0};
  std::unique_ptr<TqvNetworkStream> FNetworkStream;
  // Read by a server's listening thread while a worker closes.
  std::atomic<bool> FActive{false};
  int64_t FBytesProceed = 0;
  int64_t FTotalBytes = 0;
};

// A connection that blocks its thread while it waits for socket events.
class TqvSyncConnection : public TqvConnection {
 public:
  TqvSyncConnection();
  ~TqvSyncConnection() override;
  VX_CLASS_NAME("TqvSyncConnection")

  void ReleaseResources() override;
  void Interrupt() override;
  void UpdateActivity();
  // Raises the platform error.
  void SelectNetworkEvents(long AMask);
  [[nodiscard]] uint32_t LastActivity() const { return FLastActivity; }

  // Inactivity limit of every wait, ms.
  int TimeOut = 5000;
  // Address to bind before connecting; empty for none.
  std::string LocalBinding;

 protected:
  // Waits on this connection's events from LastActivity for ATimeOut.
  [[nodiscard]] bool WaitForEvent(int ATimeOut);
  // Takes the recorded events; raises the platform error.
  [[nodiscard]] plat::WSANETWORKEVENTS EnumNetworkEvents();
  // One wait of a blocked write: true when the socket takes data again. A
  // read seen meanwhile is kept for later (HasReadData); a close is reported
  // through AClosed and ACloseError.
  [[nodiscard]] bool WaitWritable(TqvNetworkStream& AStream, bool& AClosed, uint32_t& ACloseError);

 private:
  std::unique_ptr<plat::TSocketEvent> FNetworkEvent;
  std::unique_ptr<plat::TWaitEvent> FAbortEvent;
  uint32_t FLastActivity = 0;
};

class TqvTcpConnection : public TqvSyncConnection {
 public:
  VX_CLASS_NAME("TqvTcpConnection")
  // Delivers what one read event brought; a peer close reads what is left,
  // then closes the connection.
  bool ReadData(TStream* AData) override;
  // Returns early when the peer closes, on Interrupt or at the byte limit:
  // check AData's position (WriteConnectionString does).
  bool WriteData(TStream* AData) override;
  void DispatchNextAction() override;
  [[nodiscard]] bool PeerClosed() const { return FPeerClosed; }

 private:
  void ReadStep(TStream* AData);
  void DoReadStep(TStream* AData);
  void WriteStep(TStream* AData);

  bool FPeerClosed = false;
};

class TqvTcpClientConnection : public TqvTcpConnection {
 public:
  VX_CLASS_NAME("TqvTcpClientConnection")
  // AHost is numeric IPv6 or IPv4 text (-2 otherwise, no look-up). An
  // Interrupt during the connect leaves the connection closed, without an
  // error. A failed open leaves no socket behind.
  void Open(const std::string& AHost, int APort);
  // Called before the host look-up that precedes Open: an Interrupt from
  // then on (a stop while the look-up blocks) ends that Open as one during
  // the connect would, although opening the socket clears Aborted.
  void BeginOpen();
  // Starts the stream's client side on an open connection (-6 when closed).
  void StartClientSession();
  // Acknowledges what came in at once (quick ACK, renewed after each read,
  // as the system leaves that mode by itself): a peer that writes a reply
  // in pieces with Nagle's algorithm on holds the rest until its first
  // piece is acknowledged, and a delayed ACK would make that 40 ms.
  bool ReadData(TStream* AData) override;

  // 0 uses TimeOut.
  int ConnectTimeOut = 0;

 private:
  // InterruptCount as BeginOpen saw it; empty outside such an open.
  std::optional<uint32_t> FOpenMark;
};

class TqvUdpConnection : public TqvSyncConnection {
 public:
  VX_CLASS_NAME("TqvUdpConnection")
  // One datagram; its sender becomes PeerIP/PeerPort. The wait counts from
  // the last send or open (LastActivity), so repeated reads share one limit.
  bool ReadData(TStream* AData) override;
  // One datagram to PeerIP/PeerPort.
  bool WriteData(TStream* AData) override;
};

class TqvUdpClientConnection : public TqvUdpConnection {
 public:
  VX_CLASS_NAME("TqvUdpClientConnection")
  // Binds the socket to AHost/APort as its peer (no datagram is sent):
  // datagrams from anywhere else are dropped by the system.
  void Open(const std::string& AHost, int APort);
};

// The text in ACharSet through AConnection.WriteData. Raises -6 when the
// connection stopped before every byte went out (peer close, Interrupt).
void WriteConnectionString(TqvConnection& AConnection, const std::string& AText,
                           const std::string& ACharSet);

// One wait for AEvent or AAbortEvent (may be null), dispatching the thread's
// messages. True for a socket event; false after an abort or dispatched
// messages (callers loop). Raises -1 once more than ATimeOut ms (-1: none)
// have passed since AStartTick, and the platform error when waiting fails.
// Each call waits only for the part of ATimeOut that is left.
[[nodiscard]] bool WaitForSocketEvent(plat::TSocketEvent* AEvent, plat::TWaitEvent* AAbortEvent,
                                      uint32_t AStartTick, int ATimeOut);
