// TqvTlsNetworkStream: the network stream that puts a TLS session between a
// connection and its socket. It drives the handshake through the connection's
// read and write cycle (client) or from the reads alone (server: it sends its
// own handshake records and close_notify, waiting for the socket itself),
// encrypts what is written, decrypts what is read (all decrypted data of a
// read is handed over at once), keeps partial records and verifies the peer.
// Bytes that are not TLS records (clear text left over from before a switch)
// are refused as a TLS error, never read as data. Thread of the connection;
// the session lock guards the session object. Errors: EqvSSPIError from the
// provider, EqvSocketError for a refused peer (-9 without a certificate).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "qvCertificate.h"
#include "qvNetworkStream.h"
#include "qvSspiTls.h"

using TqvGetCertificateEvent = std::function<void(TObject* Sender, std::unique_ptr<TqvCertificate>& ACertificate,
                                                  TqvCertificateList& AExtraCerts, bool& Handled)>;
using TqvVerifyPeerEvent = std::function<void(TObject* Sender, TqvCertificate* ACertificate,
                                              const std::string& AStatusText, int AStatusCode, bool& AVerified)>;

class TqvTlsNetworkStream : public TqvNetworkStream {
 public:
  TqvTlsNetworkStream();
  ~TqvTlsNetworkStream() override;
  VX_CLASS_NAME("TqvTlsNetworkStream")

  void Assign(const TqvNetworkStream& ASource) override;
  void Close(bool ANotify) override;
  void StreamReady() override {}
  bool Read(TStream* AData) override;
  [[nodiscard]] bool Write(TStream* AData) override;
  [[nodiscard]] int GetReadBatchSize() override;
  [[nodiscard]] int GetWriteBatchSize() override;
  [[nodiscard]] bool IsLimitReached() override;
  void InitProgress() override;
  void UpdateProgress(int64_t ACount) override;
  void InitClientSession() override;
  void InitServerSession() override;

  void SetTLSFlags(TqvTlsFlags AValue);
  void SetCertificateFlags(TqvCertificateVerifyFlags AValue);
  void SetTargetHost(const std::string& AValue);
  void SetSecurityPackage(const std::string& AValue);
  void SetSendRootCertificate(bool AValue);
  void SetUseStrongCryptoAlgorithms(bool AValue);
  void SetRequireClientCertificate(bool AValue);
  [[nodiscard]] TqvTlsFlags TLSFlags() const { return FTLSFlags; }
  [[nodiscard]] TqvCertificateVerifyFlags CertificateFlags() const { return FCertificateFlags; }
  [[nodiscard]] const std::string& TargetHost() const { return FTargetHost; }
  [[nodiscard]] const std::string& SecurityPackage() const { return FSecurityPackage; }
  [[nodiscard]] bool SendRootCertificate() const { return FSendRootCertificate; }
  [[nodiscard]] bool UseStrongCryptoAlgorithms() const { return FUseStrongCryptoAlgorithms; }
  [[nodiscard]] bool RequireClientCertificate() const { return FRequireClientCertificate; }

  [[nodiscard]] uint8_t StepResult() const { return FStepResult; }
  [[nodiscard]] bool PeerAccepted() const { return FPeerAccepted; }
  [[nodiscard]] int64_t EncryptedBytes() const { return FEncryptedBytes; }
  // The session's view of the peer's certificate; null before verification.
  [[nodiscard]] TqvCertificate* PeerCertificate() const;
  // Certificates offered as ours (the server's, or a client's); owned.
  TqvCertificateList& Certificates() { return FCertificates; }

  TqvGetCertificateEvent OnGetCertificate;
  TqvVerifyPeerEvent OnVerifyPeer;

 private:
  void ProcessRaw(const std::string& ABytes, TStream& ADest);
  void DecryptTokens(TStream& ADest);
  void Authenticate(TStream& ADest);
  void VerifyPeer();
  void AnswerClose();
  // Queues bytes behind anything unsent and sends; false when some wait.
  [[nodiscard]] bool Send(const std::string& ABytes);
  [[nodiscard]] bool FlushCipher();
  void SendOrAskWrite(const std::string& ABytes);
  [[nodiscard]] bool IsServer() const;
  [[nodiscard]] TqvTlsSspi& Session() const;
  void ApplySettings(TqvTlsSspi& ASession) const;
  void StartSession(std::unique_ptr<TqvTlsSspi> ASession);

  // Re-entered by OnVerifyPeer, which runs inside Read under it and may ask
  // PeerCertificate.
  mutable std::recursive_mutex FSessionLock;
  TMemoryStream FPlainBuffer;
  TMemoryStream FCipherBuffer;
  TMemoryStream FTokenBuffer;
  std::unique_ptr<TqvTlsSspi> FSession;
  uint8_t FStepResult = qvTlsDone;
  bool FHandshakePending = false;
  bool FPeerAccepted = false;
  bool FPeerChecked = false;
  int FPacketOverhead = 0;
  int64_t FChunkSize = 0;
  int64_t FEncryptedBytes = 0;
  TqvCertificateList FCertificates{true};
  TqvTlsFlags FTLSFlags = qvDefaultTlsFlags;
  TqvCertificateVerifyFlags FCertificateFlags = 0;
  std::string FTargetHost;
  std::string FSecurityPackage;
  bool FSendRootCertificate = false;
  bool FUseStrongCryptoAlgorithms = false;
  bool FRequireClientCertificate = false;
};
