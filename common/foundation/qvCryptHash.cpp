#include "qvCryptHash.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "AsciiText.h"
#include "qvCryptUtils.h"
#include "qvByteUtils.h"

namespace {

// Owns a hash object made for one step; destroyed on every path.
struct ScopedHash {
  HCRYPTHASH H = 0;
  ~ScopedHash() {
    if (H) (void)CryptDestroyHash(H);
  }
};

void CheckRange(const TBytes& ABuffer, int AIndex, int ACount) {
  // The range must lie inside the buffer; reading past it would hash foreign memory.
  Assert(AIndex >= 0 && ACount >= 0 && static_cast<size_t>(AIndex) + static_cast<size_t>(ACount) <= ABuffer.size());
}

std::string LowerHex(const TBytes& ABytes) {
  return plat::AsciiLowerCase(BytesToHex(ABytes));
}

TBytes TextBytes(const std::string& AText) { return TBytes(AText.begin(), AText.end()); }

void ReleaseHandles(HCRYPTHASH& AHash, HCRYPTPROV& AProvider) noexcept {
  if (AHash) (void)CryptDestroyHash(AHash);
  if (AProvider) (void)CryptReleaseContext(AProvider, 0);
  AHash = 0;
  AProvider = 0;
}

}  // namespace

const char* TqvCryptProviderName::Get(const std::string& AName) {
  if (!FRead) {
    FRead = true;
    size_t b = 0, e = AName.size();
    while (b < e && AName[b] == ' ') ++b;
    while (e > b && AName[e - 1] == ' ') --e;
    if (e > b) FName = AName;
  }
  return FName ? FName->c_str() : nullptr;
}

// ---- hashes ----

TqvCryptApiHash::~TqvCryptApiHash() { Release(); }

void TqvCryptApiHash::Release() noexcept { ReleaseHandles(FHash, FProvider); }

void TqvCryptApiHash::Init() {
  Release();
  FProvider = AcquireCryptContext(FProviderName.Get(GetProviderName()), GetProviderType());
  if (!CryptCreateHash(FProvider, GetAlgorithmId(), 0, 0, &FHash)) {
    FHash = 0;
    RaiseCryptError("CryptCreateHash");
  }
  uint32_t size = 0;
  uint32_t len = sizeof size;
  if (!CryptGetHashParam(FHash, plat::HP_HASHSIZE, reinterpret_cast<uint8_t*>(&size), &len, 0))
    RaiseCryptError("CryptGetHashParam");
  FHashSize = static_cast<int32_t>(size);
}

void TqvCryptApiHash::Update(const TBytes& ABuffer, int AIndex, int ACount) {
  Assert(FHash != 0);
  CheckRange(ABuffer, AIndex, ACount);
  if (!CryptHashData(FHash, ABuffer.data() + AIndex, static_cast<uint32_t>(ACount), 0)) RaiseCryptError("CryptHashData");
}

void TqvCryptApiHash::Done(TBytes& ADigest) {
  Assert(FHash != 0);
  TqvCryptData value(FHashSize);
  uint32_t len = static_cast<uint32_t>(FHashSize);
  if (!CryptGetHashParam(FHash, plat::HP_HASHVAL, value.Data, &len, 0)) RaiseCryptError("CryptGetHashParam");
  value.Reduce(static_cast<int32_t>(len));
  ADigest = value.ToBytes();
  Init();
}

// ---- HMAC ----

TqvCryptApiHmac::~TqvCryptApiHmac() { Release(); }

void TqvCryptApiHmac::Release() noexcept { ReleaseHandles(FHash, FProvider); }

HCRYPTHASH TqvCryptApiHmac::NewHash() {
  HCRYPTHASH h = 0;
  if (!CryptCreateHash(FProvider, GetAlgorithmId(), 0, 0, &h)) RaiseCryptError("CryptCreateHash");
  return h;
}

void TqvCryptApiHmac::HashBytes(HCRYPTHASH AHash, const uint8_t* AData, size_t ACount) {
  if (!CryptHashData(AHash, AData, static_cast<uint32_t>(ACount), 0)) RaiseCryptError("CryptHashData");
}

TBytes TqvCryptApiHmac::HashValue(HCRYPTHASH AHash) {
  TqvCryptData value(GetHashSize());
  uint32_t len = static_cast<uint32_t>(GetHashSize());
  if (!CryptGetHashParam(AHash, plat::HP_HASHVAL, value.Data, &len, 0)) RaiseCryptError("CryptGetHashParam");
  value.Reduce(static_cast<int32_t>(len));
  return value.ToBytes();
}

void TqvCryptApiHmac::Init(const TBytes& AKey, int AIndex, int ACount) {
  Release();
  FProviderName.Reset();
  FInnerPad.fill(0);
  FOuterPad.fill(0);
  FProvider = AcquireCryptContext(FProviderName.Get(GetProviderName()), GetProviderType());
  Assert(AIndex >= 0 && static_cast<size_t>(AIndex) <= AKey.size());
  const int count = std::max(0, std::min(ACount, static_cast<int>(AKey.size()) - AIndex));
  std::array<uint8_t, kBlockSize> block{};
  if (count <= kBlockSize) {
    if (count > 0) std::memcpy(block.data(), AKey.data() + AIndex, static_cast<size_t>(count));
  } else {
    // A key longer than a block is replaced by its digest.
    ScopedHash temp{NewHash()};
    HashBytes(temp.H, AKey.data() + AIndex, static_cast<size_t>(count));
    const TBytes digest = HashValue(temp.H);
    std::memcpy(block.data(), digest.data(), std::min(digest.size(), block.size()));
  }
  for (int i = 0; i < kBlockSize; ++i) {
    FInnerPad[i] = block[i] ^ 0x36;
    FOuterPad[i] = block[i] ^ 0x5C;
  }
}

void TqvCryptApiHmac::Update(const TBytes& ABuffer, int AIndex, int ACount) {
  Assert(FProvider != 0);
  CheckRange(ABuffer, AIndex, ACount);
  if (!FHash) {
    FHash = NewHash();
    HashBytes(FHash, FInnerPad.data(), FInnerPad.size());
  }
  HashBytes(FHash, ABuffer.data() + AIndex, static_cast<size_t>(ACount));
}

void TqvCryptApiHmac::Update(uint32_t AValue) {
  TBytes b(4);
  int at = 0;
  PutDWordBE(AValue, b, at);
  Update(b, 0, 4);
}

void TqvCryptApiHmac::Done(TBytes& AMac) {
  Assert(FHash != 0);
  ScopedHash inner{FHash};
  FHash = 0;
  const TBytes innerDigest = HashValue(inner.H);
  ScopedHash outer{NewHash()};
  HashBytes(outer.H, FOuterPad.data(), FOuterPad.size());
  HashBytes(outer.H, innerDigest.data(), innerDigest.size());
  AMac = HashValue(outer.H);
}

// ---- plain routines ----

std::string HMAC_MD5(const std::string& AText, const std::string& AKey) {
  if (AText.empty() || AKey.empty()) return {};
  const TBytes text = TextBytes(AText);
  TqvHmacMd5 mac;
  mac.Init(TextBytes(AKey));
  mac.Update(text, 0, static_cast<int>(text.size()));
  TBytes result;
  mac.Done(result);
  return LowerHex(result);
}

std::string CalcMd5Hex(const std::string& AText) {
  if (AText.empty()) return {};
  const TBytes text = TextBytes(AText);
  TqvMd5 md5;
  md5.Init();
  md5.Update(text, 0, static_cast<int>(text.size()));
  TBytes digest;
  md5.Done(digest);
  return LowerHex(digest);
}
