// SOCKS 4/4a and 5 client streams. A SOCKS stream sits between a client
// connection and the stream the protocol uses (plain or TLS, the inner stream,
// which it owns): while the connection to the SOCKS server comes up it runs
// the SOCKS handshake itself, then passes every operation to the inner stream,
// so a TLS handshake runs through the tunnel. A reply is read with exact-size
// receives, so bytes the target sends right behind it stay for the protocol.
// SOCKS 5 bound addresses of every type (IPv4, domain, IPv6) are read whole.
// Refusals raise EqvSocksFirewallError (ErrorCode = the reply's status byte);
// a user name, password or target name over 255 bytes is refused before
// anything is sent (qvSocksFieldTooLong). A short reply waits for the rest up
// to the connection's time-out. Thread of the connection only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ClassCore.h"
#include "Streams.h"
#include "qvNetworkStream.h"
#include "qvSocketUtils.h"

enum TqvFirewallType { ftSocks4, ftSocks5 };

// A user name, password or host name too long for its one-byte length.
constexpr int qvSocksFieldTooLong = -110;

class EqvSocksFirewallError : public EqvSocketError {
 public:
  using EqvSocketError::EqvSocketError;
  VX_CLASS_NAME("EqvSocksFirewallError")
};

// The fixed texts of SOCKS 4 (90..93) and SOCKS 5 (0..8) reply codes; any
// other code gives "Unknown SOCKS error occured".
[[nodiscard]] std::string GetSocks4ErrorText(int ACode);
[[nodiscard]] std::string GetSocks5ErrorText(int ACode);

// How a client reaches its server through SOCKS. An empty Server means none.
class TqvFirewallSettings : public TPersistent {
 public:
  VX_CLASS_NAME("TqvFirewallSettings")
  // Copies all six from another TqvFirewallSettings; other sources are refused.
  void Assign(const TPersistent& Source) override;

  TqvFirewallType FirewallType = ftSocks4;
  std::string UserName;
  std::string Password;
  std::string Server;
  int Port = 1080;
  // True: the target's host name goes to the SOCKS server unresolved.
  bool NeedResolveIP = true;
};

class TqvSocksNetworkStream : public TqvNetworkStream {
 public:
  // Handshake states.
  static constexpr uint8_t StateRequest = 0;
  static constexpr uint8_t StateUserPass = 1;
  static constexpr uint8_t StateConnect = 2;
  static constexpr uint8_t StateDone = 3;
  static constexpr uint8_t StatePassThrough = 4;

  // Takes ownership of AInner (not null).
  explicit TqvSocksNetworkStream(std::unique_ptr<TqvNetworkStream> AInner);
  VX_CLASS_NAME("TqvSocksNetworkStream")

  [[nodiscard]] bool Connect(TqvIPAddress& AAddress, int APort) override;
  void ConnectDone() override;
  void StreamReady() override;
  void InitClientSession() override;
  bool Read(TStream* AData) override;
  [[nodiscard]] bool Write(TStream* AData) override;
  [[nodiscard]] int GetReadBatchSize() override;
  [[nodiscard]] int GetWriteBatchSize() override;
  [[nodiscard]] bool IsLimitReached() override;
  void InitProgress() override;
  void UpdateProgress(int64_t ACount) override;
  void Close(bool ANotify) override;
  void SetConnection(TqvConnection* AConnection) override;
  // Also takes target and credentials from another SOCKS stream.
  void Assign(const TqvNetworkStream& ASource) override;
  // Not for SOCKS streams: each raises the assertion error.
  void Accept() override;
  void Listen() override;
  void EnableBroadcast() override;
  bool ReadFrom(TStream* AData, std::string& ASenderIP, int& APort) override;
  [[nodiscard]] bool WriteTo(TStream* AData, TqvIPAddress& AAddress, int APort) override;
  void InitServerSession() override;

  [[nodiscard]] uint8_t State() const { return FState; }
  [[nodiscard]] TqvNetworkStream& Inner() const { return *FInner; }

  std::string TargetServer;
  uint16_t TargetPort = 0;
  std::string UserName;
  std::string Password;

 protected:
  // The next request of the current state.
  [[nodiscard]] virtual std::string BuildRequest() = 0;
  // False while more bytes are needed; raises on a refusal.
  [[nodiscard]] virtual bool ProcessReply(const std::string& AReply) = 0;
  // Bytes the current reply needs in all.
  [[nodiscard]] virtual int GetReplySize() = 0;
  void SetState(uint8_t AState) { FState = AState; }
  // True when TargetServer is an IPv4 address; AAddress gets its 4 bytes.
  [[nodiscard]] bool TargetIPv4(std::string& AAddress) const;

 private:
  void HandshakeWrite(TStream* AData);
  bool HandshakeRead();
  // After a pass-through call: the inner stream's flags become ours.
  void CopyInnerState();

  std::unique_ptr<TqvNetworkStream> FInner;
  std::string FReply;
  TMemoryStream FRequest;
  bool FRequestPending = false;
  uint8_t FState = StateRequest;
};

class TqvSocks4NetworkStream : public TqvSocksNetworkStream {
 public:
  using TqvSocksNetworkStream::TqvSocksNetworkStream;
  VX_CLASS_NAME("TqvSocks4NetworkStream")

 protected:
  std::string BuildRequest() override;
  bool ProcessReply(const std::string& AReply) override;
  int GetReplySize() override { return 8; }
};

class TqvSocks5NetworkStream : public TqvSocksNetworkStream {
 public:
  using TqvSocksNetworkStream::TqvSocksNetworkStream;
  VX_CLASS_NAME("TqvSocks5NetworkStream")

  [[nodiscard]] bool Connect(TqvIPAddress& AAddress, int APort) override;
  void InitClientSession() override;

 protected:
  std::string BuildRequest() override;
  bool ProcessReply(const std::string& AReply) override;
  int GetReplySize() override;

 private:
  // The connect reply's size, known once its address type has arrived.
  int FReplySize = 0;
};
