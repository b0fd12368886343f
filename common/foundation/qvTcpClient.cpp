#include "qvTcpClient.h"

#include "qvHostResolver.h"

namespace {

constexpr uintptr_t kKeepAliveTimer = 1;

// Runs AStep and swallows the socket errors it raises; others pass.
template <class F>
void IgnoringSocketErrors(F&& AStep) {
  try {
    AStep();
  } catch (const EqvSocketError&) {
  }
}

}  // namespace

void RaiseTcpClientError(const std::string& AMessage, int ACode) { throw EqvTcpClientError(AMessage, ACode); }

// --- TqvTcpClient

TqvTcpClient::TqvTcpClient(TComponent* AOwner) : TComponent(AOwner) {}

TqvTcpClient::~TqvTcpClient() {
  try {
    Close();
  } catch (...) {
  }
  try {
    DoDestroy();
  } catch (...) {
  }
  if (FProxy) FProxy->RemoveFreeNotification(this);
  FKeepAliveWindow.reset();
  FConnection.reset();
}

TqvTcpClientConnection& TqvTcpClient::GetConnection() {
  if (TqvTcpProxy* proxy = GetProxy()) return proxy->GetConnection();
  if (!FConnection) {
    FConnection = std::make_unique<TqvTcpClientConnection>();
    FConnection->TimeOut = 60000;
  }
  return *FConnection;
}

bool TqvTcpClient::Active() {
  if (!GetProxy() && !FConnection) return false;
  return GetConnection().Active();
}

void TqvTcpClient::CheckConnected() {
  if (!Active()) RaiseSocketError(qvConnectionNotActive);
}

void TqvTcpClient::SetServer(const std::string& AValue) {
  if (AssignIfDifferent(FServer, AValue)) Changed();
}

void TqvTcpClient::SetPort(int AValue) {
  if (Port() == AValue && FPort) return;
  const bool same = Port() == AValue;
  FPort = AValue;
  if (!same) Changed();
}

void TqvTcpClient::SetKeepAlive(int AValue) {
  if (AssignIfDifferent(FKeepAlive, AValue)) Changed();
}

void TqvTcpClient::SetLocalBinding(const std::string& AValue) {
  if (GetConnection().LocalBinding == AValue) return;
  GetConnection().LocalBinding = AValue;
  Changed();
}

int TqvTcpClient::GetBatchSize() { return GetConnection().BatchSize; }

void TqvTcpClient::SetBatchSize(int AValue) {
  if (GetConnection().BatchSize == AValue) return;
  GetConnection().BatchSize = AValue;
  Changed();
}

void TqvTcpClient::SetTimeOut(int AValue) {
  if (GetConnection().TimeOut == AValue) return;
  GetConnection().TimeOut = AValue;
  Changed();
}

void TqvTcpClient::SetBitsPerSec(int AValue) {
  if (GetConnection().BitsPerSec == AValue) return;
  GetConnection().BitsPerSec = AValue;
  Changed();
}

void TqvTcpClient::SetUseIpV6(bool AValue) {
  if (GetConnection().UseIpV6 == AValue) return;
  GetConnection().UseIpV6 = AValue;
  Changed();
}

void TqvTcpClient::SetConnectTimeOut(int AValue) {
  if (GetConnection().ConnectTimeOut == AValue) return;
  GetConnection().ConnectTimeOut = AValue;
  Changed();
}

void TqvTcpClient::SetProxy(TqvTcpProxy* AValue) {
  if (FProxy == AValue) return;
  if (FProxy) FProxy->RemoveFreeNotification(this);
  FProxy = AValue;
  if (FProxy) FProxy->FreeNotification(this);
}

void TqvTcpClient::Notification(TComponent* AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
  if (Operation == TOperation::opRemove && AComponent == FProxy) FProxy = nullptr;
}

void TqvTcpClient::Open() {
  if (Active()) return;
  try {
    OpenSession();
    StartKeepAlive();
    DoOpen();
  } catch (...) {
    SetBusy(true);
    try {
      StopKeepAlive();
      IgnoringSocketErrors([this] { CloseSession(false); });
    } catch (...) {
      // Anything but a socket error replaces the first error.
      SetBusy(false);
      throw;
    }
    SetBusy(false);
    throw;
  }
}

void TqvTcpClient::Close() {
  StopKeepAlive();
  const bool wasActive = Active();
  CloseSession(true);
  if (wasActive) DoClose();
}

void TqvTcpClient::OpenSession() {
  if (BatchSize() < 1) RaiseSocketError(qvInvalidBatchSize);
  OpenConnection(FServer, Port());
}

void TqvTcpClient::CloseSession(bool ANotify) {
  if (!GetProxy() && !FConnection) return;
  TqvTcpClientConnection& c = GetConnection();
  c.Interrupt();
  c.Close(ANotify);
}

void TqvTcpClient::OpenConnection(const std::string& AHost, int APort) {
  TqvTcpClientConnection& c = GetConnection();
  // The look-ups below may block; a stop meanwhile must still end the open.
  c.BeginOpen();
  if (TqvTcpProxy* proxy = GetProxy()) {
    proxy->Connect(AHost, APort);
    c.SetNetworkStream(CreateNetworkStream());
    c.StartClientSession();
    return;
  }
  c.SetNetworkStream(nullptr);
  std::unique_ptr<TqvNetworkStream> stream = CreateNetworkStream();
  if (!FFirewallSettings.Server.empty()) {
    // Made before the look-ups, so a bad firewall type fails first; the
    // connection owns it from here on and frees it with the next stream.
    c.SetNetworkStream(CreateSocksStream(std::move(stream), AHost, APort));
    std::string ip;
    ResolveHost(FFirewallSettings.Server, c.UseIpV6, ip);
    c.Open(ip, FFirewallSettings.Port);
    return;
  }
  c.SetNetworkStream(std::move(stream));
  std::string ip;
  ResolveHost(AHost, c.UseIpV6, ip);
  c.Open(ip, APort);
}

std::unique_ptr<TqvSocksNetworkStream> TqvTcpClient::CreateSocksStream(std::unique_ptr<TqvNetworkStream> ABase,
                                                                       const std::string& AHost, int APort) {
  std::unique_ptr<TqvSocksNetworkStream> socks;
  switch (FFirewallSettings.FirewallType) {
    case ftSocks4:
      socks = std::make_unique<TqvSocks4NetworkStream>(std::move(ABase));
      break;
    case ftSocks5:
      socks = std::make_unique<TqvSocks5NetworkStream>(std::move(ABase));
      break;
    default:
      RaiseTcpClientError("Unsupported firewall type", qvUnsupportedFirewallType);
  }
  socks->TargetPort = static_cast<uint16_t>(APort);
  socks->UserName = FFirewallSettings.UserName;
  socks->Password = FFirewallSettings.Password;
  if (FFirewallSettings.NeedResolveIP)
    socks->TargetServer = AHost;
  else
    ResolveHost(AHost, GetConnection().UseIpV6, socks->TargetServer);
  return socks;
}

std::unique_ptr<TqvNetworkStream> TqvTcpClient::CreateNetworkStream() { return std::make_unique<TqvNetworkStream>(); }

void TqvTcpClient::DoOpen() {
  if (OnOpen) OnOpen(this);
}

void TqvTcpClient::DoClose() {
  if (OnClose) OnClose(this);
}

// Keep-alive. The window belongs to the thread that opened the session, and
// goes with the session, so ticks never run on another thread.
void TqvTcpClient::StartKeepAlive() {
  if (FKeepAlive <= 0) return;
  if (!FKeepAliveWindow)
    FKeepAliveWindow = std::make_unique<plat::TMessageWindow>([this](plat::TMessage& m) {
      if (m.Msg == plat::WM_TIMER && m.WParam == kKeepAliveTimer) KeepAliveTick();
    });
  // The platform's own reason, as it left it.
  if (!plat::SetTimer(FKeepAliveWindow->Handle(), kKeepAliveTimer, static_cast<uint32_t>(FKeepAlive)))
    RaiseSocketLastError();
  FTimerRunning = true;
}

void TqvTcpClient::StopKeepAlive() {
  if (!FKeepAliveWindow) return;
  if (FTimerRunning) (void)plat::KillTimer(FKeepAliveWindow->Handle(), kKeepAliveTimer);
  FTimerRunning = false;
  FKeepAliveWindow.reset();
}

void TqvTcpClient::KeepAliveTick() {
  if (!FKeepAliveWindow) return;
  (void)plat::KillTimer(FKeepAliveWindow->Handle(), kKeepAliveTimer);
  FTimerRunning = false;
  // A tick inside a wait of a command exchange would put a command in the
  // middle of it: skip it and wait for the next one.
  if (!FBusy && Active()) {
    try {
      SendKeepAlive();
    } catch (...) {
    }
  }
  if (FKeepAliveWindow && FKeepAlive > 0) {
    FTimerRunning = plat::SetTimer(FKeepAliveWindow->Handle(), kKeepAliveTimer, static_cast<uint32_t>(FKeepAlive));
  }
}

// --- TqvTcpClientTls

void TqvTcpClientTls::SetUseTLS(TqvClientTlsMode AValue) {
  if (AssignIfDifferent(FUseTLS, AValue)) Changed();
}

void TqvTcpClientTls::SetCertificateFlags(TqvCertificateVerifyFlags AValue) {
  if (AssignIfDifferent(FCertificateFlags, AValue)) Changed();
}

void TqvTcpClientTls::SetTLSFlags(TqvTlsFlags AValue) {
  if (AssignIfDifferent(FTLSFlags, AValue)) Changed();
}

void TqvTcpClientTls::SetSendRootCertificate(bool AValue) {
  if (AssignIfDifferent(FSendRootCertificate, AValue)) Changed();
}

void TqvTcpClientTls::SetUseStrongCryptoAlgorithms(bool AValue) {
  if (AssignIfDifferent(FUseStrongCryptoAlgorithms, AValue)) Changed();
}

void TqvTcpClientTls::SetSecurityPackage(const std::string& AValue) {
  if (AssignIfDifferent(FSecurityPackage, AValue)) Changed();
}

std::unique_ptr<TqvNetworkStream> TqvTcpClientTls::CreateNetworkStream() {
  if (FUseTLS == ctImplicit || (FUseTLS == ctAutomatic && Port() != GetDefaultPort())) return CreateTlsStream();
  return TqvTcpClient::CreateNetworkStream();
}

std::unique_ptr<TqvTlsNetworkStream> TqvTcpClientTls::CreateTlsStream() {
  auto tls = std::make_unique<TqvTlsNetworkStream>();
  tls->SetCertificateFlags(FCertificateFlags);
  tls->SetTLSFlags(FTLSFlags);
  tls->SetSendRootCertificate(FSendRootCertificate);
  tls->SetUseStrongCryptoAlgorithms(FUseStrongCryptoAlgorithms);
  tls->SetTargetHost(Server());
  tls->SetSecurityPackage(FSecurityPackage);
  tls->OnGetCertificate = [this](TObject*, std::unique_ptr<TqvCertificate>& ACert, TqvCertificateList& AExtra,
                                 bool& AHandled) { DoGetCertificate(ACert, AExtra, AHandled); };
  tls->OnVerifyPeer = [this](TObject*, TqvCertificate* ACert, const std::string& AText, int ACode,
                             bool& AVerified) { DoVerifyServer(ACert, AText, ACode, AVerified); };
  return tls;
}

void TqvTcpClientTls::DoGetCertificate(std::unique_ptr<TqvCertificate>& ACertificate,
                                       TqvCertificateList& AExtraCerts, bool& AHandled) {
  if (OnGetCertificate) OnGetCertificate(this, ACertificate, AExtraCerts, AHandled);
}

void TqvTcpClientTls::DoVerifyServer(TqvCertificate* ACertificate, const std::string& AStatusText, int AStatusCode,
                                     bool& AVerified) {
  if (OnVerifyServer) OnVerifyServer(this, ACertificate, AStatusText, AStatusCode, AVerified);
}

bool TqvTcpClientTls::StartTlsIfExplicit() {
  if (FUseTLS == ctExplicit || (FUseTLS == ctAutomatic && Port() == GetDefaultPort())) {
    StartTls();
    return true;
  }
  return false;
}

void TqvTcpClientTls::StartTls() {
  const bool wasActive = Active();
  try {
    if (FUseTLS == ctNone) SetUseTLS(ctExplicit);
    TqvTcpClientConnection& c = GetConnection();
    c.SetNetworkStream(CreateTlsStream());
    c.StartClientSession();
    // An Interrupt during the handshake closes without an error.
    CheckConnected();
  } catch (...) {
    SetBusy(true);
    try {
      // The failed handshake may have closed the socket already; the session
      // still ends here, with its OnClose.
      const bool stillActive = Active();
      IgnoringSocketErrors([this] { Close(); });
      if (wasActive && !stillActive) DoClose();
    } catch (...) {
      SetBusy(false);
      throw;
    }
    SetBusy(false);
    throw;
  }
}
