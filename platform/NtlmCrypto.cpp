// MD4, DES and RC4 exist in libcrypto only behind the low-level calls that
// OpenSSL 3 marks deprecated; NTLM cannot do without them, so the warning is
// silenced for this file alone.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include "NtlmCrypto.h"

#include <openssl/des.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/md4.h>
#include <openssl/rc4.h>

#include <cstring>
#include <memory>
#include <new>

namespace plat::ntlm {

Digest16 Md4(ByteView data) {
  Digest16 out{};
  MD4(data.data(), data.size(), out.data());
  return out;
}

Digest16 Md5(ByteView data) {
  Digest16 out{};
  unsigned int len = 0;
  if (EVP_Digest(data.data(), data.size(), out.data(), &len, EVP_md5(), nullptr) != 1)
    throw std::bad_alloc();
  return out;
}

namespace {

struct HmacCtxDeleter {
  void operator()(HMAC_CTX* c) const { HMAC_CTX_free(c); }
};

}  // namespace

Digest16 HmacMd5(ByteView key, std::initializer_list<ByteView> parts) {
  std::unique_ptr<HMAC_CTX, HmacCtxDeleter> ctx(HMAC_CTX_new());
  if (!ctx) throw std::bad_alloc();
  static const uint8_t kNoKey = 0;
  const uint8_t* k = key.empty() ? &kNoKey : key.data();
  if (HMAC_Init_ex(ctx.get(), k, static_cast<int>(key.size()), EVP_md5(), nullptr) != 1)
    throw std::bad_alloc();
  for (ByteView p : parts)
    if (!p.empty() && HMAC_Update(ctx.get(), p.data(), p.size()) != 1) throw std::bad_alloc();
  Digest16 out{};
  unsigned int len = 0;
  if (HMAC_Final(ctx.get(), out.data(), &len) != 1) throw std::bad_alloc();
  return out;
}

std::array<uint8_t, 8> DesEncrypt7(const uint8_t key7[7], const uint8_t block[8]) {
  // 56 key bits go into the top 7 bits of each of 8 bytes; the low bit is parity.
  DES_cblock key;
  key[0] = key7[0];
  key[1] = static_cast<uint8_t>((key7[0] << 7) | (key7[1] >> 1));
  key[2] = static_cast<uint8_t>((key7[1] << 6) | (key7[2] >> 2));
  key[3] = static_cast<uint8_t>((key7[2] << 5) | (key7[3] >> 3));
  key[4] = static_cast<uint8_t>((key7[3] << 4) | (key7[4] >> 4));
  key[5] = static_cast<uint8_t>((key7[4] << 3) | (key7[5] >> 5));
  key[6] = static_cast<uint8_t>((key7[5] << 2) | (key7[6] >> 6));
  key[7] = static_cast<uint8_t>(key7[6] << 1);
  DES_set_odd_parity(&key);
  DES_key_schedule schedule;
  DES_set_key_unchecked(&key, &schedule);
  DES_cblock in;
  DES_cblock out;
  std::memcpy(in, block, 8);
  DES_ecb_encrypt(&in, &out, &schedule, DES_ENCRYPT);
  std::array<uint8_t, 8> result{};
  std::memcpy(result.data(), out, 8);
  OPENSSL_cleanse(&schedule, sizeof schedule);
  OPENSSL_cleanse(key, sizeof key);
  return result;
}

std::array<uint8_t, 24> Desl(const Digest16& key, const uint8_t block[8]) {
  uint8_t k21[21] = {};
  std::memcpy(k21, key.data(), key.size());
  std::array<uint8_t, 24> out{};
  for (int i = 0; i < 3; ++i) {
    auto part = DesEncrypt7(k21 + 7 * i, block);
    std::memcpy(out.data() + 8 * i, part.data(), 8);
  }
  OPENSSL_cleanse(k21, sizeof k21);
  return out;
}

Bytes Rc4(ByteView key, ByteView data) {
  Bytes out(data.size());
  if (key.empty() || data.empty()) return out;
  RC4_KEY k;
  RC4_set_key(&k, static_cast<int>(key.size()), key.data());
  RC4(&k, data.size(), data.data(), out.data());
  OPENSSL_cleanse(&k, sizeof k);
  return out;
}

bool ConstantTimeEqual(ByteView a, ByteView b) {
  if (a.size() != b.size()) return false;
  uint8_t diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<uint8_t>(a[i] ^ b[i]);
  return diff == 0;
}

}  // namespace plat::ntlm
