// The TLS session over the security provider: TqvTlsSspi with its client and
// server sides drives the provider's handshake steps on a memory stream that
// holds the peer's bytes or the token to send, encrypts and decrypts records,
// keeps partial records, shuts down and verifies the server's certificate
// chain and name. Step results are the small numbers below; provider failures
// raise EqvSSPIError. Owned by one TLS network stream, used under its lock.
// A final handshake token (sent with SEC_E_OK) or an alert made by a failed
// step waits in TakeFinalToken, so that data behind it is never lost.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "SecurityProvider.h"
#include "Streams.h"
#include "qvCertificate.h"
#include "qvSspi.h"

// Step results.
constexpr uint8_t qvTlsDone = 0;
constexpr uint8_t qvTlsRenegotiate = 2;
constexpr uint8_t qvTlsTokenToSend = 3;
constexpr uint8_t qvTlsWaitPeer = 4;
constexpr uint8_t qvTlsNeedMoreData = 5;
constexpr uint8_t qvTlsShutdownToken = 6;
constexpr uint8_t qvTlsContinue = 7;
constexpr uint8_t qvTlsPeerClosed = 8;
constexpr uint8_t qvTlsIncomplete = 9;
constexpr uint8_t qvTlsDoneWithData = 10;
constexpr uint8_t qvTlsPartlyDecrypted = 11;
constexpr uint8_t qvTlsNoCertificate = 12;

enum TqvTlsFlag : uint8_t { tfUseSSL2, tfUseSSL3, tfUseTLS, tfUseTLS11, tfUseTLS12, tfUseTLS13 };
// A set of TqvTlsFlag: bit n is flag n.
using TqvTlsFlags = uint8_t;
constexpr TqvTlsFlags TlsFlag(TqvTlsFlag AFlag) { return static_cast<TqvTlsFlags>(1u << AFlag); }
constexpr TqvTlsFlags qvDefaultTlsFlags = 0x1C;  // [tfUseTLS, tfUseTLS11, tfUseTLS12]

enum TqvCertificateVerifyFlag : uint8_t {
  cfIgnoreCommonNameInvalid,
  cfIgnoreDateInvalid,
  cfIgnoreUnknownAuthority,
  cfIgnoreRevocation,
  cfIgnoreWrongUsage
};
using TqvCertificateVerifyFlags = uint8_t;
constexpr TqvCertificateVerifyFlags CertVerifyFlag(TqvCertificateVerifyFlag AFlag) {
  return static_cast<TqvCertificateVerifyFlags>(1u << AFlag);
}

// The provider's protocol bits of a flag set, for one side.
[[nodiscard]] uint32_t TlsProtocolBits(TqvTlsFlags AFlags, bool AClient);
// The chain-policy check bits of a verify flag set.
[[nodiscard]] uint32_t CertificatePolicyChecks(TqvCertificateVerifyFlags AFlags);
// The current date-time as text, the client's default target host.
[[nodiscard]] std::string DefaultTargetHost();

class TqvTlsSspi : public TqvSspi {
 public:
  // Chooses the package (-6 when the provider cannot list them, -5 when none fits).
  TqvTlsSspi();
  ~TqvTlsSspi() override;
  VX_CLASS_NAME("TqvTlsSspi")

  virtual uint8_t Shutdown(TMemoryStream& AStream);
  virtual uint8_t Handshake(TMemoryStream& AStream, TqvCertificateList& ACertificates, bool AForce) = 0;
  // Count bytes of ASource from its position, as records appended to ADest.
  uint8_t Encrypt(TStream& ASource, TStream& ADest, int64_t ACount);
  // Records from ASource's position; plain text appended to ADest, an
  // incomplete record left in ARemainder (which may be ASource).
  uint8_t Decrypt(TStream& ASource, TStream& ADest, TMemoryStream& ARemainder);
  [[nodiscard]] const plat::SecPkgContext_StreamSizes& GetStreamSizes();
  // The token that must go out before anything else; empty when none.
  [[nodiscard]] std::string TakeFinalToken();

  [[nodiscard]] bool Verified() const { return FVerified; }
  [[nodiscard]] int LastStatus() const { return FLastStatus; }
  [[nodiscard]] TqvCertificate* PeerCertificate() const { return FPeerCertificate.get(); }
  [[nodiscard]] const std::string& PackageName() const { return FPackageFound; }
  [[nodiscard]] bool HasContext() const { return FHasContext; }

  TqvTlsFlags TLSFlags = qvDefaultTlsFlags;
  TqvCertificateVerifyFlags CertificateFlags = 0;
  bool SendRootCertificate = false;
  bool UseStrongCryptoAlgorithms = false;
  std::string SecurityPackage;

 protected:
  [[nodiscard]] virtual bool IsClient() const = 0;
  // 12 when the list is empty and not forced; raises with fallback -4.
  uint8_t AcquireCredentials(TqvCertificateList& ACertificates, bool AForce);
  void FreeHandles();
  void FetchPeerCertificate();
  // Checks the peer's chain (and, for a server peer, AHost) against the trust
  // store; sets Verified and, on a refusal, LastStatus.
  void VerifyPeerChain(uint32_t AAuthType, const std::string& AHost, uint32_t AChecks);
  // Replaces AStream's content with ABytes, rewound.
  static void Replace(TMemoryStream& AStream, const void* ABytes, size_t ACount);
  [[nodiscard]] std::string UsedPackage() const;
  // Takes an output token and releases it.
  std::string TakeToken(plat::SecBuffer& ABuffer);
  // Bytes kept from an earlier step go in front of the stream's content.
  void PrependPending(TMemoryStream& AStream);

  plat::CredHandle FCredentials;
  plat::CtxtHandle FContext;
  bool FHasCredentials = false;
  bool FHasContext = false;
  plat::SecPkgContext_StreamSizes FSizes;
  bool FHaveSizes = false;
  int FLastStatus = 0;
  std::unique_ptr<TqvCertificate> FPeerCertificate;
  bool FVerified = false;
  bool FFirstStep = true;
  std::string FPackageFound;
  int FPackageIndex = -1;
  std::string FFinalToken;
  std::string FPendingInput;
};

class TqvTlsClientSspi : public TqvTlsSspi {
 public:
  TqvTlsClientSspi();
  VX_CLASS_NAME("TqvTlsClientSspi")
  uint8_t Handshake(TMemoryStream& AStream, TqvCertificateList& ACertificates, bool AForce) override;
  uint8_t Shutdown(TMemoryStream& AStream) override;

  std::string TargetHost;

 protected:
  [[nodiscard]] bool IsClient() const override { return true; }

 private:
  void VerifyServer();
  uint8_t Steps(TMemoryStream& AStream, TqvCertificateList& ACertificates, bool AForce);
};

class TqvTlsServerSspi : public TqvTlsSspi {
 public:
  VX_CLASS_NAME("TqvTlsServerSspi")
  uint8_t Handshake(TMemoryStream& AStream, TqvCertificateList& ACertificates, bool AForce) override;

  bool RequireClientCertificate = false;

 protected:
  [[nodiscard]] bool IsClient() const override { return false; }

 private:
  // A required client certificate counts only when one came and its chain holds.
  void VerifyClient();
};
