// Digests and HMAC against the published vectors, and the calling-order
// rules of the hash and MAC objects.
#include "qvCryptHash.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

TBytes B(const std::string& s) { return TBytes(s.begin(), s.end()); }

std::string Hex(const TBytes& b) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (uint8_t v : b) {
    s += d[v >> 4];
    s += d[v & 15];
  }
  return s;
}

std::string Digest(TqvHash& h, const std::string& text, int repeat = 1) {
  h.Init();
  const TBytes b = B(text);
  for (int i = 0; i < repeat; ++i) h.Update(b, 0, static_cast<int>(b.size()));
  TBytes out;
  h.Done(out);
  return Hex(out);
}

std::string Hmac(const TBytes& key, const TBytes& data) {
  TqvHmacMd5 m;
  m.Init(key);
  m.Update(data, 0, static_cast<int>(data.size()));
  TBytes out;
  m.Done(out);
  return Hex(out);
}

}  // namespace

TEST(Hashes, Md5MatchesRfc1321) {
  TqvMd5 md5;
  EXPECT_EQ(Digest(md5, ""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(md5.GetHashSize(), 16);
  EXPECT_EQ(CalcMd5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(CalcMd5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(CalcMd5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(CalcMd5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(CalcMd5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(Digest(md5, "1234567890", 8), "57edf4a22be3c955ac49da2e2107b67a");
  EXPECT_EQ(CalcMd5Hex(""), "");
  EXPECT_EQ(CalcMd5Hex("\xe4"), "c15bcc5577f9fade4b4a3256190a59b0");  // one byte, not UTF-8
}

TEST(Hashes, Sha1MatchesRfc3174AndSha256Fips180) {
  TqvSha1 sha1;
  EXPECT_EQ(Digest(sha1, "abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(Digest(sha1, "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  EXPECT_EQ(Digest(sha1, std::string(1000, 'a'), 1000), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
  EXPECT_EQ(Digest(sha1, "0123456701234567012345670123456701234567012345670123456701234567", 10),
            "dea356a2cddd90c7a7ecedc5ebb563934f460452");
  EXPECT_EQ(sha1.GetHashSize(), 20);
  TqvSha256 sha256;
  EXPECT_EQ(Digest(sha256, "abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Digest(sha256, "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(Digest(sha256, std::string(1000, 'a'), 1000),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  EXPECT_EQ(sha256.GetHashSize(), 32);
  EXPECT_EQ(sha256.GetProviderName(), "Microsoft Enhanced RSA and AES Cryptographic Provider");
  EXPECT_EQ(sha256.GetProviderType(), 24u);
}

TEST(Hashes, HmacMd5MatchesRfc2202AndCramMd5) {
  EXPECT_EQ(Hmac(TBytes(16, 0x0b), B("Hi There")), "9294727a3638bb1c13f48ef8158bfc9d");
  EXPECT_EQ(HMAC_MD5("what do ya want for nothing?", "Jefe"), "750c783e6ab0b503eaa86e310a5db738");
  EXPECT_EQ(Hmac(TBytes(16, 0xaa), TBytes(50, 0xdd)), "56be34521d144c88dbb8c733f0e8b3f6");
  TBytes key25;
  for (uint8_t i = 1; i <= 25; ++i) key25.push_back(i);
  EXPECT_EQ(Hmac(key25, TBytes(50, 0xcd)), "697eaf0aca3a3aea3a75164746ffaa79");
  EXPECT_EQ(Hmac(TBytes(16, 0x0c), B("Test With Truncation")), "56461ef2342edc00f9bab995690efd4c");
  EXPECT_EQ(Hmac(TBytes(80, 0xaa), B("Test Using Larger Than Block-Size Key - Hash Key First")),
            "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd");
  EXPECT_EQ(Hmac(TBytes(80, 0xaa), B("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data")),
            "6f630fad67cda0ee1fb1f562db3aa53e");
  EXPECT_EQ(HMAC_MD5("<1896.697170952@postoffice.reston.mci.net>", "tanstaaftanstaaf"),
            "b913a602c7eda7a495b4e6e7334d3890");
  EXPECT_EQ(HMAC_MD5("", "key"), "");
  EXPECT_EQ(HMAC_MD5("text", ""), "");
}

TEST(Hashes, KeysAtAndOverTheBlockSize) {
  const TBytes k64(64, 0x42), k65(65, 0x42);
  TqvMd5 md5;
  md5.Init();
  md5.Update(k65, 0, 65);
  TBytes reduced;
  md5.Done(reduced);
  EXPECT_EQ(Hmac(k65, B("data")), Hmac(reduced, B("data")));
  EXPECT_NE(Hmac(k64, B("data")), Hmac(TBytes(k64.begin(), k64.begin() + 16), B("data")));
  // A sub-range of a key is the key; a count past the end is cut.
  TqvHmacMd5 m;
  const TBytes padded = B("xxJefeyy");
  m.Init(padded, 2, 4);
  const TBytes text = B("what do ya want for nothing?");
  m.Update(text, 0, static_cast<int>(text.size()));
  TBytes out;
  m.Done(out);
  EXPECT_EQ(Hex(out), "750c783e6ab0b503eaa86e310a5db738");
  m.Init(B("xxJefe"), 2, 1000);
  m.Update(text, 0, static_cast<int>(text.size()));
  m.Done(out);
  EXPECT_EQ(Hex(out), "750c783e6ab0b503eaa86e310a5db738");
}

TEST(Hashes, RepeatedDoneAndIntegerUpdates) {
  TqvHmacMd5 m;
  m.Init(B("key"));
  TBytes a, b, c;
  m.Update(B("one"), 0, 3);
  m.Done(a);
  m.Update(B("one"), 0, 3);
  m.Done(b);
  EXPECT_EQ(a, b);  // the key stays in force
  m.Update(1u);
  m.Done(c);
  EXPECT_EQ(Hex(c), Hmac(B("key"), TBytes{0, 0, 0, 1}));

  TqvSha1 h;
  h.Init();
  h.Update(B("old"), 0, 3);
  h.Done(a);
  h.Update(B("abc"), 0, 3);
  h.Done(b);
  EXPECT_EQ(Hex(b), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(Hashes, UsageErrorsAreAssertions) {
  TqvMd5 h;
  const TBytes b = B("abc");
  EXPECT_THROW(h.Update(b, 0, 3), EAssertionFailed);
  h.Init();
  EXPECT_THROW(h.Update(b, 2, 2), EAssertionFailed);
  EXPECT_THROW(h.Update(b, -1, 1), EAssertionFailed);
  TqvHmacMd5 m;
  m.Init(B("key"));
  TBytes out;
  EXPECT_THROW(m.Done(out), EAssertionFailed);
  // The registry makes them by name, as the DKIM code does.
  TqvConfig config;
  config.SetType("sha256", &CreateConfigObject<TqvSha256>);
  std::unique_ptr<TqvConfigObject> made = config.CreateInstance("SHA256");
  auto* sha = dynamic_cast<TqvHash*>(made.get());
  ASSERT_NE(sha, nullptr);
  EXPECT_EQ(Digest(*sha, "abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}
