#include "qvTcpServerTls.h"

#include <poll.h>

namespace {
constexpr int kSwitchFlushRounds = 300;
constexpr int kSwitchFlushPollMs = 100;
}  // namespace

TqvTcpServerTls::TqvTcpServerTls(TComponent* AOwner) : TqvTcpServer(AOwner) {}

void TqvTcpServerTls::StartTls(TqvUserConnection* AConnection) {
  auto* c = dynamic_cast<TqvUserConnectionTls*>(AConnection);
  Assert(c != nullptr && !c->TlsPending);
  c->TlsPending = true;
}

void TqvTcpServerTls::AttachTlsStream(TqvUserConnection* AConnection) {
  auto stream = std::make_unique<TqvTlsNetworkStream>();
  TqvTlsNetworkStream& t = *stream;
  t.SetTLSFlags(TLSFlags);
  t.SetSendRootCertificate(SendRootCertificate);
  t.SetUseStrongCryptoAlgorithms(UseStrongCryptoAlgorithms);
  t.SetSecurityPackage(SecurityPackage);
  t.OnGetCertificate = [this](TObject*, std::unique_ptr<TqvCertificate>& ACert, TqvCertificateList& AExtra,
                              bool& AHandled) { DoGetCertificate(ACert, AExtra, AHandled); };
  AConnection->SetNetworkStream(std::move(stream));
  t.SetRequireClientCertificate(RequireClientCertificate);
  auto* c = dynamic_cast<TqvUserConnectionTls*>(AConnection);
  // The stream belongs to the connection, so the connection outlives the callback.
  t.OnVerifyPeer = [this, c](TObject*, TqvCertificate* ACert, const std::string& AText, int ACode,
                             bool& AVerified) { DoVerifyClient(c, ACert, AText, ACode, AVerified); };
}

void TqvTcpServerTls::FlushClearOutput(TqvUserConnection& AConnection) {
  // The switch reply must leave in clear before the stream changes; output
  // still queued would otherwise be encrypted by the new stream.
  for (int i = 0; i < kSwitchFlushRounds && AConnection.PendingOutput() > 0; ++i) {
    if (AConnection.WriteData(static_cast<TStream*>(nullptr))) break;
    pollfd p{AConnection.Socket().Socket(), POLLOUT, 0};
    (void)::poll(&p, 1, kSwitchFlushPollMs);
  }
  if (AConnection.PendingOutput() > 0) RaiseSocketError(qvTimeoutError);
}

void TqvTcpServerTls::SwitchToTlsIfPending(TqvUserConnection* AConnection) {
  auto* c = dynamic_cast<TqvUserConnectionTls*>(AConnection);
  if (!c) return;
  const auto lock = c->WorkLock();
  if (c->TlsPending) {
    c->TlsPending = false;
    FlushClearOutput(*c);
    AttachTlsStream(c);
    c->GetNetworkStream().InitServerSession();
  }
}

bool TqvTcpServerTls::IsTlsConnection(TqvUserConnection* AConnection) const {
  return dynamic_cast<TqvTlsNetworkStream*>(&AConnection->GetNetworkStream()) != nullptr;
}

void TqvTcpServerTls::ReadConnection(TqvUserConnection* AConnection) {
  SwitchToTlsIfPending(AConnection);
  TqvTcpServer::ReadConnection(AConnection);
}

void TqvTcpServerTls::CreateNetworkStream(TqvUserConnection* AConnection) {
  // Implicit TLS: the stream's accept starts the handshake, and the greeting
  // (OnAcceptConnection) waits until it has completed.
  if (UseTLS == stImplicit)
    AttachTlsStream(AConnection);
  else
    TqvTcpServer::CreateNetworkStream(AConnection);
}

void TqvTcpServerTls::DoGetCertificate(std::unique_ptr<TqvCertificate>& ACertificate,
                                       TqvCertificateList& AExtraCerts, bool& Handled) {
  if (OnGetCertificate) OnGetCertificate(this, ACertificate, AExtraCerts, Handled);
}

void TqvTcpServerTls::DoVerifyClient(TqvUserConnectionTls* AConnection, TqvCertificate* ACertificate,
                                     const std::string& AStatusText, int AStatusCode, bool& AVerified) {
  if (OnVerifyClient) OnVerifyClient(this, AConnection, ACertificate, AStatusText, AStatusCode, AVerified);
}
