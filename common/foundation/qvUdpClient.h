// The datagram client component: one UDP connection to Server:Port, opened
// per exchange, that sends one datagram and receives one. The connection is
// bound to its peer, so datagrams from any other address or port never reach
// ReceivePacket, and the wait for a reply counts from the last send: stray
// traffic cannot stretch it. Descendants give the default port. One thread
// at a time; Interrupt may come from any. Failures raise EqvSocketError: the
// host resolver's errors, -1 "Timeout error occured" when no datagram came
// within TimeOut (or the wait was interrupted), 10040 for a datagram longer
// than DatagramSize, and the platform's codes.
// The most derived class's destructor calls RunBeforeDestroy(), so that its
// BeforeDestroy override runs while the connection still exists (a base
// destructor reaches only its own class's version).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "ClassCore.h"
#include "Streams.h"

class TqvUdpClientConnection;

using TqvUdpPacketEvent = std::function<void(TObject* Sender, TStream& AData)>;

class TqvUdpClient : public TComponent {
 public:
  explicit TqvUdpClient(TComponent* AOwner = nullptr);
  ~TqvUdpClient() override;
  VX_CLASS_NAME("TqvUdpClient")

  // Open(Server, Port).
  void Open();
  // Resolves AHost (IPv6 preferred when UseIpV6) and opens the connection.
  virtual void Open(const std::string& AHost, int APort);
  void Close();
  [[nodiscard]] bool Active() const;
  // Sends AData from its position as one datagram, then OnSendPacket.
  void SendPacket(TStream& AData);
  // Appends one datagram from the peer to AData, then OnReceivePacket.
  void ReceivePacket(TStream& AData);
  // Any thread: ends the current wait, which raises -1. The next Open
  // clears it, so one that comes before the open is not seen.
  void Interrupt();

  [[nodiscard]] const std::string& Server() const { return FServer; }
  void SetServer(const std::string& Value);
  [[nodiscard]] int Port() const { return FPort; }
  void SetPort(int Value);
  [[nodiscard]] const std::string& CharSet() const { return FCharSet; }
  void SetCharSet(const std::string& Value);
  [[nodiscard]] int DatagramSize() const;
  void SetDatagramSize(int Value);
  [[nodiscard]] int TimeOut() const;
  void SetTimeOut(int Value);
  [[nodiscard]] int BitsPerSec() const;
  void SetBitsPerSec(int Value);
  [[nodiscard]] bool UseIpV6() const;
  void SetUseIpV6(bool Value);
  [[nodiscard]] const std::string& LocalBinding() const;
  void SetLocalBinding(const std::string& Value);

  TqvUdpPacketEvent OnReceivePacket;
  TqvUdpPacketEvent OnSendPacket;

 protected:
  [[nodiscard]] virtual int GetDefaultPort() const = 0;
  // Descendants call this from their constructor.
  void InitDefaultPort() { FPort = GetDefaultPort(); }
  // Runs before the connection goes; empty here.
  virtual void BeforeDestroy() {}
  // BeforeDestroy, once: from the most derived destructor (the base
  // destructor calls it too, for classes that do not).
  void RunBeforeDestroy() noexcept;
  virtual void DoReceivePacket(TStream& AData);
  virtual void DoSendPacket(TStream& AData);
  [[nodiscard]] TqvUdpClientConnection& Connection() const { return *FConnection; }

 private:
  std::unique_ptr<TqvUdpClientConnection> FConnection;
  std::string FServer;
  int FPort = 0;
  std::string FCharSet;
  bool FBeforeDestroyDone = false;
};
