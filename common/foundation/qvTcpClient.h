// The TCP client base every protocol client descends from. TqvTcpClient owns
// one client connection and opens it directly, through a SOCKS server
// (FirewallSettings) or through a proxy component (Proxy, borrowed; when set,
// the connection-held properties are the proxy's). It keeps the session alive
// with a timer that calls SendKeepAlive on the opening thread while that
// thread dispatches messages, never while the busy flag is set (a command
// exchange or data transfer is under way). TqvTcpClientTls adds TLS, from the
// first byte or switched on over the open connection (StartTls).
// A client is used by one thread at a time. A failed open or TLS start leaves
// the client closed and raises the first error (EqvSocketError family:
// -4 bad batch size, -6 not active, -101 unsupported firewall type, SOCKS
// refusals, TLS errors). Keep-alive errors never reach the caller.
// The most derived class's destructor must call Close(): base destructors
// cannot reach a descendant's closing exchange.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "ClassCore.h"
#include "MessageLoop.h"
#include "qvNetworkStream.h"
#include "qvSocket.h"
#include "qvSocketUtils.h"
#include "qvSocks.h"
#include "qvTlsSocket.h"

constexpr int qvUnsupportedFirewallType = -101;

class EqvTcpClientError : public EqvSocketError {
 public:
  using EqvSocketError::EqvSocketError;
  VX_CLASS_NAME("EqvTcpClientError")
};

[[noreturn]] void RaiseTcpClientError(const std::string& AMessage, int ACode);

class TqvTcpProxy;

class TqvTcpClient : public TComponent {
 public:
  explicit TqvTcpClient(TComponent* AOwner = nullptr);
  ~TqvTcpClient() override;
  VX_CLASS_NAME("TqvTcpClient")

  // Opens the session; nothing (no event) when already active.
  void Open();
  // Closes the session; OnClose fires only when it was active.
  void Close();
  [[nodiscard]] bool Active();
  // -6 when not active.
  void CheckConnected();

  [[nodiscard]] const std::string& Server() const { return FServer; }
  void SetServer(const std::string& AValue);
  // GetDefaultPort until set.
  [[nodiscard]] int Port() const { return FPort ? *FPort : GetDefaultPort(); }
  void SetPort(int AValue);
  [[nodiscard]] int KeepAlive() const { return FKeepAlive; }
  void SetKeepAlive(int AValue);

  // Kept in the connection (the proxy's when Proxy is set).
  [[nodiscard]] std::string LocalBinding() { return GetConnection().LocalBinding; }
  void SetLocalBinding(const std::string& AValue);
  [[nodiscard]] int BatchSize() { return GetBatchSize(); }
  [[nodiscard]] virtual int GetBatchSize();
  virtual void SetBatchSize(int AValue);
  [[nodiscard]] int TimeOut() { return GetConnection().TimeOut; }
  void SetTimeOut(int AValue);
  [[nodiscard]] int BitsPerSec() { return GetConnection().BitsPerSec; }
  void SetBitsPerSec(int AValue);
  [[nodiscard]] bool UseIpV6() { return GetConnection().UseIpV6; }
  void SetUseIpV6(bool AValue);
  [[nodiscard]] int ConnectTimeOut() { return GetConnection().ConnectTimeOut; }
  void SetConnectTimeOut(int AValue);

  // Owned; the setter copies.
  [[nodiscard]] TqvFirewallSettings& FirewallSettings() { return FFirewallSettings; }
  void SetFirewallSettings(const TqvFirewallSettings& AValue) { FFirewallSettings.Assign(AValue); }
  [[nodiscard]] TqvTcpProxy* Proxy() const { return GetProxy(); }
  void SetProxy(TqvTcpProxy* AValue);

  // The connection in use: the proxy's when Proxy is set, else our own
  // (made on first use).
  [[nodiscard]] virtual TqvTcpClientConnection& GetConnection();
  // True while a command exchange, a data transfer or a failed open's
  // clean-up runs.
  [[nodiscard]] bool Busy() const { return FBusy; }

  TNotifyEvent OnOpen;
  TNotifyEvent OnClose;

 protected:
  [[nodiscard]] virtual std::unique_ptr<TqvNetworkStream> CreateNetworkStream();
  [[nodiscard]] virtual TqvTcpProxy* GetProxy() const { return FProxy; }
  [[nodiscard]] virtual int GetDefaultPort() const = 0;
  virtual void OpenConnection(const std::string& AHost, int APort);
  virtual void OpenSession();
  virtual void CloseSession(bool ANotify);
  virtual void DoDestroy() {}
  virtual void SendKeepAlive() {}
  virtual void DoOpen();
  virtual void DoClose();
  void Notification(TComponent* AComponent, TOperation Operation) override;

  void SetBusy(bool AValue) { FBusy = AValue; }
  // Wraps ABase in the SOCKS stream FirewallSettings names.
  [[nodiscard]] std::unique_ptr<TqvSocksNetworkStream> CreateSocksStream(std::unique_ptr<TqvNetworkStream> ABase,
                                                                         const std::string& AHost, int APort);
  void StartKeepAlive();
  void StopKeepAlive();

 private:
  void KeepAliveTick();

  std::unique_ptr<TqvTcpClientConnection> FConnection;
  std::string FServer;
  std::optional<int> FPort;
  bool FBusy = false;
  TqvFirewallSettings FFirewallSettings;
  int FKeepAlive = 0;
  // Made by the thread that opens a session with keep-alive, dropped at close.
  std::unique_ptr<plat::TMessageWindow> FKeepAliveWindow;
  bool FTimerRunning = false;
  TqvTcpProxy* FProxy = nullptr;
};

// A component that opens a tunnel to a target over its own connection.
// Connect is its one operation of its own: the client's proxy route calls
// nothing else, so no other is asked of a descendant.
class TqvTcpProxy : public TqvTcpClient {
 public:
  using TqvTcpClient::TqvTcpClient;
  VX_CLASS_NAME("TqvTcpProxy")
  // Leaves the proxy's connection open and through to AHost:APort.
  virtual void Connect(const std::string& AHost, int APort) = 0;
};

enum TqvClientTlsMode { ctNone, ctAutomatic, ctImplicit, ctExplicit };

class TqvTcpClientTls : public TqvTcpClient {
 public:
  using TqvTcpClient::TqvTcpClient;
  VX_CLASS_NAME("TqvTcpClientTls")

  // TLS from the start for ctImplicit, and for ctAutomatic on a port other
  // than the protocol's default; ctExplicit and ctAutomatic on the default
  // port switch later (StartTlsIfExplicit).
  [[nodiscard]] TqvClientTlsMode UseTLS() const { return FUseTLS; }
  virtual void SetUseTLS(TqvClientTlsMode AValue);
  [[nodiscard]] TqvCertificateVerifyFlags CertificateFlags() const { return FCertificateFlags; }
  void SetCertificateFlags(TqvCertificateVerifyFlags AValue);
  [[nodiscard]] TqvTlsFlags TLSFlags() const { return FTLSFlags; }
  void SetTLSFlags(TqvTlsFlags AValue);
  [[nodiscard]] bool SendRootCertificate() const { return FSendRootCertificate; }
  void SetSendRootCertificate(bool AValue);
  [[nodiscard]] bool UseStrongCryptoAlgorithms() const { return FUseStrongCryptoAlgorithms; }
  void SetUseStrongCryptoAlgorithms(bool AValue);
  [[nodiscard]] const std::string& SecurityPackage() const { return FSecurityPackage; }
  void SetSecurityPackage(const std::string& AValue);

  // Starts TLS when the mode asks for a switch after connecting; true then.
  bool StartTlsIfExplicit();
  // Switches the open connection to TLS (ctNone becomes ctExplicit, which
  // stays). A failure closes the client (OnClose fires) and re-raises.
  virtual void StartTls();

  TqvGetCertificateEvent OnGetCertificate;
  TqvVerifyPeerEvent OnVerifyServer;

 protected:
  std::unique_ptr<TqvNetworkStream> CreateNetworkStream() override;
  [[nodiscard]] std::unique_ptr<TqvTlsNetworkStream> CreateTlsStream();
  virtual void DoGetCertificate(std::unique_ptr<TqvCertificate>& ACertificate, TqvCertificateList& AExtraCerts,
                                bool& AHandled);
  virtual void DoVerifyServer(TqvCertificate* ACertificate, const std::string& AStatusText, int AStatusCode,
                              bool& AVerified);

 private:
  TqvClientTlsMode FUseTLS = ctNone;
  TqvCertificateVerifyFlags FCertificateFlags = 0;
  TqvTlsFlags FTLSFlags = qvDefaultTlsFlags;
  bool FSendRootCertificate = false;
  bool FUseStrongCryptoAlgorithms = false;
  std::string FSecurityPackage;
};
