// Message digests and the keyed digest, over the CryptoAPI binding
// (qvCryptAPI.h): TqvHash with TqvMd5, TqvSha1, TqvSha256; TqvMac with
// TqvHmacMd5; and HMAC_MD5 / CalcMd5Hex as 32 lower-case hex digits (CRAM-MD5,
// APOP). Calling order: Init, Updates, Done; after Done, more Updates and Done
// reuse the algorithm (and the MAC its key). Texts are hashed as their bytes,
// no charset. An object owns its handles and belongs to one thread; the plain
// routines are thread-safe. A failing crypto call raises EqvCryptError;
// Update/Done before Init, a range outside the buffer and a MAC Done without
// Update raise EAssertionFailed.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "ClassCore.h"
#include "qvConfig.h"
#include "qvCryptAPI.h"

class TqvHash : public TqvConfigObject {
 public:
  VX_CLASS_NAME("TqvHash")
  virtual void Init() = 0;
  // The digest size read at the last Init (0 before it).
  [[nodiscard]] virtual int GetHashSize() = 0;
  virtual void Update(const TBytes& ABuffer, int AIndex, int ACount) = 0;
  // Returns the digest and starts the next one.
  virtual void Done(TBytes& ADigest) = 0;
};

// The provider name the CryptoAPI calls get: read once; "" (after trimming)
// means the type's default provider.
class TqvCryptProviderName {
 public:
  [[nodiscard]] const char* Get(const std::string& AName);
  void Reset() { FName.reset(); FRead = false; }

 private:
  std::optional<std::string> FName;
  bool FRead = false;
};

class TqvCryptApiHash : public TqvHash {
 public:
  TqvCryptApiHash() = default;
  ~TqvCryptApiHash() override;
  TqvCryptApiHash(const TqvCryptApiHash&) = delete;
  TqvCryptApiHash& operator=(const TqvCryptApiHash&) = delete;
  VX_CLASS_NAME("TqvCryptApiHash")

  void Init() override;
  [[nodiscard]] int GetHashSize() override { return FHashSize; }
  void Update(const TBytes& ABuffer, int AIndex, int ACount) override;
  void Done(TBytes& ADigest) override;

  [[nodiscard]] virtual ALG_ID GetAlgorithmId() const = 0;
  [[nodiscard]] virtual std::string GetProviderName() const = 0;
  [[nodiscard]] virtual uint32_t GetProviderType() const = 0;

 private:
  void Release() noexcept;

  HCRYPTPROV FProvider = 0;
  HCRYPTHASH FHash = 0;
  int32_t FHashSize = 0;
  TqvCryptProviderName FProviderName;
};

class TqvMd5 : public TqvCryptApiHash {
 public:
  VX_CLASS_NAME("TqvMd5")
  [[nodiscard]] ALG_ID GetAlgorithmId() const override { return plat::CALG_MD5; }
  [[nodiscard]] std::string GetProviderName() const override { return "Microsoft Base Cryptographic Provider v1.0"; }
  [[nodiscard]] uint32_t GetProviderType() const override { return plat::PROV_RSA_FULL; }
};

class TqvSha1 : public TqvCryptApiHash {
 public:
  VX_CLASS_NAME("TqvSha1")
  [[nodiscard]] ALG_ID GetAlgorithmId() const override { return plat::CALG_SHA1; }
  [[nodiscard]] std::string GetProviderName() const override { return "Microsoft Base Cryptographic Provider v1.0"; }
  [[nodiscard]] uint32_t GetProviderType() const override { return plat::PROV_RSA_FULL; }
};

class TqvSha256 : public TqvCryptApiHash {
 public:
  VX_CLASS_NAME("TqvSha256")
  [[nodiscard]] ALG_ID GetAlgorithmId() const override { return plat::CALG_SHA_256; }
  [[nodiscard]] std::string GetProviderName() const override {
    return "Microsoft Enhanced RSA and AES Cryptographic Provider";
  }
  [[nodiscard]] uint32_t GetProviderType() const override { return plat::PROV_RSA_AES; }
};

class TqvMac : public TqvConfigObject {
 public:
  VX_CLASS_NAME("TqvMac")
  // The key is AKey[AIndex .. AIndex+ACount), the count cut to the array.
  virtual void Init(const TBytes& AKey, int AIndex, int ACount) = 0;
  virtual void Init(const TBytes& AKey) = 0;
  [[nodiscard]] virtual int GetHashSize() = 0;
  virtual void Update(const TBytes& ABuffer, int AIndex, int ACount) = 0;
  // The value's 4 bytes, big-endian.
  virtual void Update(uint32_t AValue) = 0;
  virtual void Done(TBytes& AMac) = 0;
};

// HMAC (RFC 2104) over a CryptoAPI hash with a 64-byte block.
class TqvCryptApiHmac : public TqvMac {
 public:
  TqvCryptApiHmac() = default;
  ~TqvCryptApiHmac() override;
  TqvCryptApiHmac(const TqvCryptApiHmac&) = delete;
  TqvCryptApiHmac& operator=(const TqvCryptApiHmac&) = delete;
  VX_CLASS_NAME("TqvCryptApiHmac")

  void Init(const TBytes& AKey, int AIndex, int ACount) override;
  void Init(const TBytes& AKey) override { Init(AKey, 0, static_cast<int>(AKey.size())); }
  void Update(const TBytes& ABuffer, int AIndex, int ACount) override;
  void Update(uint32_t AValue) override;
  void Done(TBytes& AMac) override;

  [[nodiscard]] virtual ALG_ID GetAlgorithmId() const = 0;
  [[nodiscard]] virtual std::string GetProviderName() const = 0;
  [[nodiscard]] virtual uint32_t GetProviderType() const = 0;

 private:
  static constexpr int kBlockSize = 64;
  void Release() noexcept;
  [[nodiscard]] HCRYPTHASH NewHash();
  void HashBytes(HCRYPTHASH AHash, const uint8_t* AData, size_t ACount);
  [[nodiscard]] TBytes HashValue(HCRYPTHASH AHash);

  HCRYPTPROV FProvider = 0;
  HCRYPTHASH FHash = 0;
  TqvCryptProviderName FProviderName;
  std::array<uint8_t, kBlockSize> FInnerPad{};
  std::array<uint8_t, kBlockSize> FOuterPad{};
};

class TqvHmacMd5 : public TqvCryptApiHmac {
 public:
  VX_CLASS_NAME("TqvHmacMd5")
  [[nodiscard]] int GetHashSize() override { return 16; }
  [[nodiscard]] ALG_ID GetAlgorithmId() const override { return plat::CALG_MD5; }
  [[nodiscard]] std::string GetProviderName() const override { return "Microsoft Base Cryptographic Provider v1.0"; }
  [[nodiscard]] uint32_t GetProviderType() const override { return plat::PROV_RSA_FULL; }
};

// HMAC-MD5 of AText under AKey in lower-case hex; "" when either is empty.
[[nodiscard]] std::string HMAC_MD5(const std::string& AText, const std::string& AKey);
// MD5 of AText in lower-case hex; "" for an empty text.
[[nodiscard]] std::string CalcMd5Hex(const std::string& AText);
