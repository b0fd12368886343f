// RSA keys and PKCS #1 v1.5 signatures over the CryptoAPI binding
// (qvCryptAPI.h). TqvCryptApiRsaKey holds one RSA key in its own context and
// moves it in and out as DER (PKCS #1 RSAPrivateKey, PKCS #1 RSAPublicKey,
// X.509 SubjectPublicKeyInfo) or as modulus and exponent (big-endian bytes).
// TqvSignatureRsaSha1/Sha256 hash data and sign or verify the hash with a
// key imported from a key object; signatures are big-endian bytes.
// Calling order: key: Init, then Generate or a Set, then Gets; signature:
// Init, SetPrivateKey/SetPublicKey, Updates, Sign or (Try)Verify, and Init
// again for the next one. One thread per object. Errors: EqvCryptError with
// the failed call's name; -4 "A key is required to complete the operation"
// for a Get without a key, an empty Set input or a verification without a
// key. Calls before Init and ranges outside a buffer raise EAssertionFailed.
// A failed Set has already dropped the key held before it.
#pragma once

#include <cstdint>
#include <string>

#include "ClassCore.h"
#include "qvConfig.h"
#include "qvCryptAPI.h"
#include "qvCryptHash.h"

constexpr int32_t kCryptKeyRequired = -4;
constexpr const char* kCryptKeyRequiredText = "A key is required to complete the operation";

class TqvRsaKey : public TqvConfigObject {
 public:
  VX_CLASS_NAME("TqvRsaKey")
  virtual void Init() = 0;
  // A new exportable key pair of KeyLength bits for KeyType.
  virtual void Generate() = 0;
  virtual void GetRsaPrivateKey(TBytes& AKey) = 0;
  virtual void GetRsaPublicKey(TBytes& AKey) = 0;
  virtual void GetPublicKeyInfo(TBytes& AKey) = 0;
  virtual void SetRsaPrivateKey(const TBytes& AKey) = 0;
  virtual void SetRsaPublicKey(const TBytes& AKey) = 0;
  virtual void SetPublicKeyInfo(const TBytes& AKey) = 0;
  virtual void SetRsaPublicKeyParams(const TBytes& AModulus, const TBytes& AExponent) = 0;
  virtual void GetRsaPublicKeyParams(TBytes& AModulus, TBytes& AExponent) = 0;

  // Bits; counted from the modulus's bytes after a Set.
  int32_t KeyLength = 1024;
  // 1 AT_KEYEXCHANGE, 2 AT_SIGNATURE.
  int32_t KeyType = static_cast<int32_t>(plat::AT_KEYEXCHANGE);
};

class TqvCryptApiRsaKey : public TqvRsaKey {
 public:
  TqvCryptApiRsaKey() = default;
  ~TqvCryptApiRsaKey() override;
  TqvCryptApiRsaKey(const TqvCryptApiRsaKey&) = delete;
  TqvCryptApiRsaKey& operator=(const TqvCryptApiRsaKey&) = delete;
  VX_CLASS_NAME("TqvCryptApiRsaKey")

  void Init() override;
  void Generate() override;
  void GetRsaPrivateKey(TBytes& AKey) override;
  void GetRsaPublicKey(TBytes& AKey) override;
  void GetPublicKeyInfo(TBytes& AKey) override;
  void SetRsaPrivateKey(const TBytes& AKey) override;
  void SetRsaPublicKey(const TBytes& AKey) override;
  void SetPublicKeyInfo(const TBytes& AKey) override;
  // Leading zero bytes of both numbers are ignored; an empty or zero modulus,
  // a zero exponent or one wider than 32 bits fails as "CryptImportKey".
  void SetRsaPublicKeyParams(const TBytes& AModulus, const TBytes& AExponent) override;
  void GetRsaPublicKeyParams(TBytes& AModulus, TBytes& AExponent) override;

  [[nodiscard]] virtual std::string GetProviderName() const { return "Microsoft Enhanced Cryptographic Provider v1.0"; }
  [[nodiscard]] virtual uint32_t GetProviderType() const { return plat::PROV_RSA_FULL; }

 private:
  void Release() noexcept;
  void DestroyKey() noexcept;
  void ImportDer(const TBytes& AKey, uintptr_t AStructType);
  void ImportBlob(const TBytes& ABlob, uint32_t AFlags);
  void RefreshProperties();
  [[nodiscard]] TBytes ExportBlob(uint32_t ABlobType);
  [[nodiscard]] TBytes ExportDer(uint32_t ABlobType, uintptr_t AStructType);

  HCRYPTPROV FProvider = 0;
  HCRYPTKEY FKey = 0;
  TqvCryptProviderName FProviderName;
};

class TqvSignature : public TqvConfigObject {
 public:
  VX_CLASS_NAME("TqvSignature")
  virtual void Init() = 0;
  virtual void Update(const TBytes& ABuffer, int AIndex, int ACount) = 0;
  // As TryVerify; a mismatch raises the crypt error "CryptVerifySignature".
  virtual void Verify(const TBytes& ASignature) = 0;
  [[nodiscard]] virtual bool TryVerify(const TBytes& ASignature) = 0;
  virtual void Sign(TBytes& ASignature) = 0;
};

class TqvSignatureRsa : public TqvSignature {
 public:
  VX_CLASS_NAME("TqvSignatureRsa")
  virtual void SetPrivateKey(TqvRsaKey& AKey) = 0;
  virtual void SetPublicKey(TqvRsaKey& AKey) = 0;
};

class TqvCryptApiSignatureRsa : public TqvSignatureRsa {
 public:
  TqvCryptApiSignatureRsa() = default;
  ~TqvCryptApiSignatureRsa() override;
  TqvCryptApiSignatureRsa(const TqvCryptApiSignatureRsa&) = delete;
  TqvCryptApiSignatureRsa& operator=(const TqvCryptApiSignatureRsa&) = delete;
  VX_CLASS_NAME("TqvCryptApiSignatureRsa")

  void Init() override;
  void Update(const TBytes& ABuffer, int AIndex, int ACount) override;
  void Verify(const TBytes& ASignature) override;
  [[nodiscard]] bool TryVerify(const TBytes& ASignature) override;
  // Without an imported private key this fails as "CryptSignHash".
  void Sign(TBytes& ASignature) override;
  void SetPrivateKey(TqvRsaKey& AKey) override;
  void SetPublicKey(TqvRsaKey& AKey) override;

  [[nodiscard]] virtual ALG_ID GetAlgorithmId() const = 0;
  [[nodiscard]] virtual std::string GetProviderName() const = 0;
  [[nodiscard]] virtual uint32_t GetProviderType() const = 0;

 private:
  void Release() noexcept;
  void ImportKey(const TBytes& ADer, uintptr_t AStructType);

  HCRYPTPROV FProvider = 0;
  HCRYPTKEY FKey = 0;
  HCRYPTHASH FHash = 0;
  TqvCryptProviderName FProviderName;
  uint32_t FKeySpec = plat::AT_KEYEXCHANGE;
};

class TqvSignatureRsaSha1 : public TqvCryptApiSignatureRsa {
 public:
  VX_CLASS_NAME("TqvSignatureRsaSha1")
  [[nodiscard]] ALG_ID GetAlgorithmId() const override { return plat::CALG_SHA1; }
  [[nodiscard]] std::string GetProviderName() const override { return "Microsoft Enhanced Cryptographic Provider v1.0"; }
  [[nodiscard]] uint32_t GetProviderType() const override { return plat::PROV_RSA_FULL; }
};

class TqvSignatureRsaSha256 : public TqvCryptApiSignatureRsa {
 public:
  VX_CLASS_NAME("TqvSignatureRsaSha256")
  [[nodiscard]] ALG_ID GetAlgorithmId() const override { return plat::CALG_SHA_256; }
  [[nodiscard]] std::string GetProviderName() const override {
    return "Microsoft Enhanced RSA and AES Cryptographic Provider";
  }
  [[nodiscard]] uint32_t GetProviderType() const override { return plat::PROV_RSA_AES; }
};
