// The primitives NTLM is built from: MD4, MD5, HMAC-MD5, single-block DES and
// RC4, over OpenSSL 3 libcrypto (MD4, DES and RC4 through its low-level calls,
// which need no legacy provider). Pure functions on byte spans; thread-safe;
// nothing here raises except std::bad_alloc. These are for the NTLM engine and
// its tests: MD4, DES and RC4 are broken ciphers, never use them for anything new.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace plat::ntlm {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;
using Digest16 = std::array<uint8_t, 16>;

[[nodiscard]] Digest16 Md4(ByteView data);
[[nodiscard]] Digest16 Md5(ByteView data);
// HMAC-MD5 of the concatenation of the parts (saves building the message).
[[nodiscard]] Digest16 HmacMd5(ByteView key, std::initializer_list<ByteView> parts);

// DES-ECB of one 8-byte block under a 7-byte key (parity bits spread in as
// NTLM does).
[[nodiscard]] std::array<uint8_t, 8> DesEncrypt7(const uint8_t key7[7], const uint8_t block[8]);
// The 24-byte DESL of NTLMv1: the 16-byte key, zero-padded to 21, in three
// 7-byte keys over the same block.
[[nodiscard]] std::array<uint8_t, 24> Desl(const Digest16& key, const uint8_t block[8]);

// RC4 of data under key (encryption and decryption are the same).
[[nodiscard]] Bytes Rc4(ByteView key, ByteView data);

// Compares without an early exit, so timing tells nothing about the match.
[[nodiscard]] bool ConstantTimeEqual(ByteView a, ByteView b);

}  // namespace plat::ntlm
