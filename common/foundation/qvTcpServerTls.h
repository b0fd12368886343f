// A TCP server that can speak TLS: it decides which stream a new connection
// gets (a server TLS stream from the first byte with stImplicit) and swaps a
// connection's plain stream for a server TLS stream in mid-session, after a
// protocol's switch reply (STARTTLS, STLS). The switch happens at the start of
// the connection's next read, under its lock, once the clear reply has left
// (-1 after 30 s); whatever the client sent in
// clear before its handshake is refused as TLS, never read as data. The
// server's certificate comes from OnGetCertificate. Threads as TqvTcpServer.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "qvCertificate.h"
#include "qvTcpServer.h"
#include "qvTlsSocket.h"

enum TqvServerTlsMode { stNone, stImplicit, stExplicitAllow, stExplicitRequire };

class TqvUserConnectionTls : public TqvUserConnection {
 public:
  VX_CLASS_NAME("TqvUserConnectionTls")
  // Switch to TLS at the next read.
  bool TlsPending = false;
};

using TqvVerifyClientEvent =
    std::function<void(TObject* Sender, TqvUserConnectionTls* AConnection, TqvCertificate* ACertificate,
                       const std::string& AStatusText, int AStatusCode, bool& AVerified)>;

class TqvTcpServerTls : public TqvTcpServer {
 public:
  explicit TqvTcpServerTls(TComponent* AOwner = nullptr);
  VX_CLASS_NAME("TqvTcpServerTls")

  // Marks the connection for the switch (assertion when already marked or not
  // a TqvUserConnectionTls); the caller then sends its reply in clear.
  void StartTls(TqvUserConnection* AConnection);
  // Attaches a server TLS stream and starts its session when marked.
  void SwitchToTlsIfPending(TqvUserConnection* AConnection);
  // Raises -5 without a stream.
  [[nodiscard]] bool IsTlsConnection(TqvUserConnection* AConnection) const;

  TqvServerTlsMode UseTLS = stNone;
  TqvTlsFlags TLSFlags = qvDefaultTlsFlags;
  bool RequireClientCertificate = false;
  std::string SecurityPackage;
  bool UseStrongCryptoAlgorithms = false;
  bool SendRootCertificate = false;
  TqvGetCertificateEvent OnGetCertificate;
  TqvVerifyClientEvent OnVerifyClient;

 protected:
  void ReadConnection(TqvUserConnection* AConnection) override;
  void CreateNetworkStream(TqvUserConnection* AConnection) override;
  virtual void DoGetCertificate(std::unique_ptr<TqvCertificate>& ACertificate, TqvCertificateList& AExtraCerts,
                                bool& Handled);
  virtual void DoVerifyClient(TqvUserConnectionTls* AConnection, TqvCertificate* ACertificate,
                              const std::string& AStatusText, int AStatusCode, bool& AVerified);

 private:
  void AttachTlsStream(TqvUserConnection* AConnection);
  void FlushClearOutput(TqvUserConnection& AConnection);
};
