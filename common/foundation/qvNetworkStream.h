// The network stream: moves bytes between a connection's socket and memory
// streams. It is the one byte-stream seam of the networking code: TLS and
// SOCKS streams override its virtual operations and keep their contract, so
// connections never know which transport they have. The stream borrows its
// connection (SetConnection) and reaches the socket only through it; the
// connection owns the stream. Thread of the connection only. Socket failures
// raise EqvSocketError with the platform code; would-block (10035) is never an
// error but a false result of Read/Write/ReadFrom/WriteTo. A receive of 0 bytes
// sets NeedClose. TqvMemoryNetworkStream stands in for a socket in tests.
#pragma once

#include <cstdint>
#include <string>

#include "ClassCore.h"
#include "Sockets.h"
#include "Streams.h"

class TqvConnection;
class TqvIPAddress;

// What the stream asks its connection to do next.
constexpr uint8_t qvNextActionNone = 0;
constexpr uint8_t qvNextActionRead = 1;
constexpr uint8_t qvNextActionWrite = 2;

class TqvNetworkStream : public TObject {
 public:
  TqvNetworkStream();
  ~TqvNetworkStream() override = default;
  TqvNetworkStream(const TqvNetworkStream&) = delete;
  TqvNetworkStream& operator=(const TqvNetworkStream&) = delete;
  VX_CLASS_NAME("TqvNetworkStream")

  // The connection's BatchSize (below 1 raises -4), cut to what the byte
  // limit still allows.
  [[nodiscard]] virtual int GetBatchSize();
  virtual void SetConnection(TqvConnection* AConnection);
  // Takes over addresses and HasReadData from the stream being replaced.
  virtual void Assign(const TqvNetworkStream& ASource);
  // Starts a non-blocking connect; true only when it completed at once.
  [[nodiscard]] virtual bool Connect(TqvIPAddress& AAddress, int APort);
  virtual void ConnectDone();
  virtual void Bind(TqvIPAddress& AAddress, int APort);
  // Binds the first free port of AFirst..ALast; -3 for a bad range, the last
  // port's error when none is free.
  virtual void BindPortRange(TqvIPAddress& AAddress, int AFirst, int ALast);
  // -7 on IPv6 sockets.
  virtual void EnableBroadcast();
  virtual void Listen();
  // Accepts on the listening handle the connection's socket holds and puts
  // the accepted one there. On failure the holder is emptied (never left
  // holding the listener) before the error is raised.
  virtual void Accept();
  // The second half of Accept for a socket someone else accepted: starts the
  // server session, puts ASocket (of the holder's family) into the holder and
  // records the peer. Accept is accept() followed by this.
  virtual void Accepted(plat::SOCKET ASocket, int AFamily, const sockaddr* APeer);
  virtual void AcceptDone();
  // A protocol layer may queue a closing record here (NextAction 2).
  virtual void Close(bool ANotify);
  // Called once application data may flow; fires the connection's OnReady.
  virtual void StreamReady();
  // Appends what is available to AData (null: nothing). False only when the
  // socket would block; the result is informational.
  virtual bool Read(TStream* AData);
  // Sends AData from its position. False when the socket would block, with
  // AData positioned at the first unsent byte; call again after FD_WRITE.
  [[nodiscard]] virtual bool Write(TStream* AData);
  // One datagram, its sender recorded as the peer and returned.
  virtual bool ReadFrom(TStream* AData, std::string& ASenderIP, int& APort);
  [[nodiscard]] virtual bool WriteTo(TStream* AData, TqvIPAddress& AAddress, int APort);
  // One raw, throttled call each; the call's result.
  [[nodiscard]] virtual int ReadBuffer(void* ABuffer, int ASize);
  [[nodiscard]] virtual int WriteBuffer(const void* ABuffer, int ASize);
  [[nodiscard]] virtual int GetReadBatchSize() { return GetBatchSize(); }
  [[nodiscard]] virtual int GetWriteBatchSize() { return GetBatchSize(); }
  [[nodiscard]] virtual bool IsLimitReached();
  virtual void InitProgress() { FBytesProceed = 0; }
  // Application bytes only.
  virtual void UpdateProgress(int64_t ACount);
  virtual void InitClientSession() {}
  virtual void InitServerSession() {}

  // The owner; asserts that there is one.
  [[nodiscard]] TqvConnection& GetConnection() const;
  [[nodiscard]] uint8_t NextAction() const { return FNextAction; }
  void ClearNextAction() { FNextAction = qvNextActionNone; }
  // The first request of a pass wins.
  void SetNextAction(uint8_t AAction);
  [[nodiscard]] bool HasReadData() const { return FHasReadData; }
  void SetHasReadData(bool AValue) { FHasReadData = AValue; }
  [[nodiscard]] bool NeedClose() const { return FNeedClose; }
  void SetNeedClose(bool AValue) { FNeedClose = AValue; }
  [[nodiscard]] int64_t BytesProceed() const { return FBytesProceed; }

  const std::string& LocalIP() const { return FLocalIP; }
  int LocalPort() const { return FLocalPort; }
  const std::string& PeerIP() const { return FPeerIP; }
  int PeerPort() const { return FPeerPort; }
  // Both also set the connection's copies.
  void SetPeer(const std::string& AIP, int APort);
  void SetLocal(const std::string& AIP, int APort);
  // Only while the connection is Active: reads the socket's own address.
  void UpdateLocalAddress();
  [[nodiscard]] bool IsAbortedOrLimitReached();

 protected:
  // Pauses for ABytes at the connection's BitsPerSec, dispatching messages;
  // the platform's last error survives the pause.
  void Throttle(int64_t ABytes);
  [[nodiscard]] plat::SOCKET Handle() const;

 private:
  TqvConnection* FConnection = nullptr;
  // Never set: the throttle only waits on it.
  plat::TWaitEvent FSleepEvent;
  uint8_t FNextAction = qvNextActionNone;
  std::string FLocalIP;
  int FLocalPort = 0;
  std::string FPeerIP;
  int FPeerPort = 0;
  bool FHasReadData = false;
  int64_t FBytesProceed = 0;
  bool FNeedClose = false;
};

// A stream over two byte buffers instead of a socket, for session tests: Read
// takes fed input (batch by batch), Write appends to Output. Input that is
// left after a read keeps HasReadData set, so connections read it without
// waiting. With EndInput, an exhausted input reads as the peer's close.
// WriteCapacity (-1 = none) makes Write accept only that many more bytes and
// then report would-block.
class TqvMemoryNetworkStream : public TqvNetworkStream {
 public:
  VX_CLASS_NAME("TqvMemoryNetworkStream")
  void FeedInput(const std::string& ABytes);
  void EndInput() { FInputEnded = true; }
  const std::string& Output() const { return FOutput; }
  void SetWriteCapacity(int64_t ABytes) { FWriteCapacity = ABytes; }

  bool Read(TStream* AData) override;
  bool Write(TStream* AData) override;

 private:
  std::string FInput;
  size_t FInputPos = 0;
  bool FInputEnded = false;
  std::string FOutput;
  int64_t FWriteCapacity = -1;
};
