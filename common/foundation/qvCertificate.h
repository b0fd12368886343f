// Certificates: TqvCertificate wraps one platform certificate context (its own
// duplicate) and reads the commonly shown properties once, when created;
// TqvCertificateList holds several, owning them or not. Loading from files
// (PEM with or without a key, DER, PKCS#12 with its key) gives a certificate
// that can serve as a TLS credential when it carries a private key.
// Objects belong to one thread. Only the enhanced-key-usage read raises
// (EqvCryptError naming "CertGetEnhancedKeyUsage"); a file that holds no
// certificate raises EqvCryptError with the decoding error.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ClassCore.h"
#include "DateTime.h"
#include "qvCryptAPI.h"

class TqvCertificate : public TObject {
 public:
  // Asserts that AContext has its information block.
  explicit TqvCertificate(PCCERT_CONTEXT AContext);
  ~TqvCertificate() override;
  TqvCertificate(const TqvCertificate&) = delete;
  TqvCertificate& operator=(const TqvCertificate&) = delete;
  VX_CLASS_NAME("TqvCertificate")

  // The first certificate of a file (the one with the key, when there is one).
  // PKCS#12 by the ".p12"/".pfx" extension, else PEM by its armour, else DER.
  [[nodiscard]] static std::unique_ptr<TqvCertificate> LoadFromFile(const std::string& AFileName,
                                                                    const std::string& APassword = "");
  [[nodiscard]] static std::unique_ptr<TqvCertificate> LoadFromBytes(const std::string& ABytes, bool APkcs12,
                                                                     const std::string& APassword = "");

  [[nodiscard]] PCCERT_CONTEXT Context() const { return FContext; }
  [[nodiscard]] bool HasPrivateKey() const;

  std::string SubjectName;
  std::string IssuerName;
  std::string EmailAddress;
  std::string SerialNumberHex;
  TDateTime NotBeforeDate = 0;
  TDateTime NotAfterDate = 0;
  std::string CertFriendlyName;
  std::string EnhancedKeyUsage;
  int VersionNumber = 0;
  std::string SignatureAlgorithmOid;
  std::string SignatureAlgorithmText;
  std::string PublicKeyAlgorithmOid;
  std::string PublicKeyAlgorithmText;
  int PublicKeyBits = 0;
  std::string PrivateKeyContainer;
  std::string CertHash;
  std::string KeyIdentifier;

 private:
  void LoadProperties();

  PCCERT_CONTEXT FContext = nullptr;
};

class TqvCertificateList : public TObject {
 public:
  explicit TqvCertificateList(bool AOwnsItems) : FOwnsItems(AOwnsItems) {}
  ~TqvCertificateList() override { Clear(); }
  TqvCertificateList(const TqvCertificateList&) = delete;
  TqvCertificateList& operator=(const TqvCertificateList&) = delete;
  VX_CLASS_NAME("TqvCertificateList")

  // An owning list takes ownership of AItem.
  void Add(TqvCertificate* AItem) { FItems.push_back(AItem); }
  void Add(std::unique_ptr<TqvCertificate> AItem);
  // Frees the items only when owning.
  void Clear();
  [[nodiscard]] int Count() const { return static_cast<int>(FItems.size()); }
  // Raises EListError outside 0..Count-1.
  [[nodiscard]] TqvCertificate* Items(int AIndex) const;
  [[nodiscard]] bool OwnsItems() const { return FOwnsItems; }

 private:
  std::vector<TqvCertificate*> FItems;
  bool FOwnsItems;
};
