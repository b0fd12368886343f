// RSA keys and signatures: key forms round-trip, signatures match and verify
// against the openssl command line on the committed test key.
#include <gtest/gtest.h>

#include "PythonOracle.h"
#include "qvCryptSignature.h"
#include "qvCryptUtils.h"

namespace {

const std::string kKeyDir = std::string(VX_TEST_DATA_DIR) + "/dkim/";

TBytes FileBytes(const std::string& APath) {
  const std::string s = testsupport::ReadFileBytes(APath);
  return TBytes(s.begin(), s.end());
}

TBytes Text(const std::string& s) { return TBytes(s.begin(), s.end()); }

TBytes SignText(TqvRsaKey& AKey, TqvCryptApiSignatureRsa& ASig, const std::string& AText) {
  ASig.Init();
  ASig.SetPrivateKey(AKey);
  const TBytes data = Text(AText);
  ASig.Update(data, 0, static_cast<int>(data.size()));
  TBytes sig;
  ASig.Sign(sig);
  return sig;
}

bool VerifyText(TqvRsaKey& AKey, TqvCryptApiSignatureRsa& ASig, const std::string& AText, const TBytes& ASignature) {
  ASig.Init();
  ASig.SetPublicKey(AKey);
  const TBytes data = Text(AText);
  ASig.Update(data, 0, static_cast<int>(data.size()));
  return ASig.TryVerify(ASignature);
}

template <class F>
EqvCryptError CatchCrypt(F AAction) {
  try {
    AAction();
  } catch (const EqvCryptError& e) {
    return e;
  }
  return EqvCryptError("<none>", 0);
}

class TestKey : public ::testing::Test {
 protected:
  void SetUp() override {
    Key.Init();
    Key.SetRsaPrivateKey(FileBytes(kKeyDir + "test-key.der"));
  }
  TqvCryptApiRsaKey Key;
};

}  // namespace

TEST(RsaKey, GeneratedKeyMovesThroughEveryForm) {
  TqvCryptApiRsaKey key;
  key.Init();
  key.Generate();
  TBytes priv;
  key.GetRsaPrivateKey(priv);

  TqvCryptApiRsaKey copy;
  copy.Init();
  copy.SetRsaPrivateKey(priv);
  EXPECT_EQ(copy.KeyType, 1);
  EXPECT_EQ(copy.KeyLength, 1024);
  TBytes mod, exp;
  copy.GetRsaPublicKeyParams(mod, exp);
  EXPECT_EQ(mod.size(), 128u);
  EXPECT_EQ(exp, (TBytes{1, 0, 1}));

  // The modulus and exponent alone give the same public key.
  TqvCryptApiRsaKey pub;
  pub.Init();
  TBytes padded = mod;
  padded.insert(padded.begin(), 0);
  pub.SetRsaPublicKeyParams(padded, TBytes{0, 0, 1, 0, 1});
  EXPECT_EQ(pub.KeyLength, 1024);
  TBytes a, b;
  key.GetPublicKeyInfo(a);
  pub.GetPublicKeyInfo(b);
  EXPECT_EQ(a, b);

  TqvSignatureRsaSha256 sig;
  EXPECT_TRUE(VerifyText(pub, sig, "hello", SignText(key, sig, "hello")));

  // A modulus of an odd number of bytes keeps its length.
  // (Its top bit set: the generated modulus's second byte may be zero.)
  TBytes shorter(mod.begin() + 1, mod.end());
  shorter[0] |= 0x80;
  pub.SetRsaPublicKeyParams(shorter, TBytes{3});
  EXPECT_EQ(pub.KeyLength, 1016);
  pub.GetRsaPublicKeyParams(mod, exp);
  EXPECT_EQ(mod, shorter);
  EXPECT_EQ(exp, TBytes{3});
}

TEST(RsaKey, KeyMadeForSigningSigns) {
  TqvCryptApiRsaKey key;
  key.KeyType = 2;
  key.Init();
  key.Generate();
  TqvSignatureRsaSha1 sig;
  const TBytes s = SignText(key, sig, "data");
  EXPECT_TRUE(VerifyText(key, sig, "data", s));
}

TEST(RsaKey, MissingAndBadKeysAreRefused) {
  TqvCryptApiRsaKey empty;
  empty.Init();
  TqvSignatureRsaSha256 sig;
  sig.Init();
  auto e = CatchCrypt([&] { sig.SetPublicKey(empty); });
  EXPECT_EQ(e.ErrorCode, -4);
  EXPECT_EQ(e.Message(), "A key is required to complete the operation");
  EXPECT_EQ(CatchCrypt([&] { empty.SetRsaPrivateKey({}); }).ErrorCode, -4);
  EXPECT_EQ(CatchCrypt([&] { (void)sig.TryVerify(TBytes{1}); }).ErrorCode, -4);
  EXPECT_EQ(CatchCrypt([&] {
              TBytes out;
              sig.Sign(out);
            }).Message(),
            "Key does not exist");

  const TBytes mod(128, 0xC5);
  for (const auto& [m, x] : std::vector<std::pair<TBytes, TBytes>>{
           {{}, {1, 0, 1}}, {TBytes(16, 0), {1, 0, 1}}, {mod, {}}, {mod, {0, 0}}, {mod, {1, 0, 0, 0, 1}}}) {
    TqvCryptApiRsaKey k;
    k.Init();
    e = CatchCrypt([&] { k.SetRsaPublicKeyParams(m, x); });
    EXPECT_EQ(static_cast<uint32_t>(e.ErrorCode), plat::NTE_BAD_DATA) << m.size() << "/" << x.size();
    TBytes out;
    EXPECT_EQ(CatchCrypt([&] { k.GetRsaPublicKey(out); }).ErrorCode, -4);
  }
}

TEST_F(TestKey, SignaturesMatchTheOpensslCommandLine) {
  const std::string message = "From: a@example.com\r\nSubject: test\r\n\r\nbody\r\n";
  const std::string pem = kKeyDir + "test-key.pem";
  TqvSignatureRsaSha256 sha256;
  TqvSignatureRsaSha1 sha1;
  EXPECT_EQ(SignText(Key, sha256, message),
            Text(testsupport::RunShell("openssl dgst -sha256 -sign " + pem + " -out $OUT $IN", message)));
  EXPECT_EQ(SignText(Key, sha1, message),
            Text(testsupport::RunShell("openssl dgst -sha1 -sign " + pem + " -out $OUT $IN", message)));

  const TBytes cli = Text(testsupport::RunShell("openssl dgst -sha256 -sign " + pem + " -out $OUT $IN", message));
  TqvCryptApiRsaKey pub;
  pub.Init();
  pub.SetPublicKeyInfo(FileBytes(kKeyDir + "test-key-spki.der"));
  EXPECT_EQ(pub.KeyLength, 2048);
  EXPECT_TRUE(VerifyText(pub, sha256, message, cli));
  EXPECT_FALSE(VerifyText(pub, sha256, message + "x", cli));

  sha256.Init();
  sha256.SetPublicKey(pub);
  const TBytes data = Text(message + "x");
  sha256.Update(data, 0, static_cast<int>(data.size()));
  const auto e = CatchCrypt([&] { sha256.Verify(cli); });
  EXPECT_EQ(e.Message(), "Invalid Signature");
  EXPECT_EQ(static_cast<uint32_t>(e.ErrorCode), plat::NTE_BAD_SIGNATURE);
  EXPECT_THROW(sha256.Update(data, 2, static_cast<int>(data.size())), EAssertionFailed);
}

TEST_F(TestKey, PublicFormsMatchTheOpensslCommandLine) {
  TBytes spki, pkcs1;
  Key.GetPublicKeyInfo(spki);
  Key.GetRsaPublicKey(pkcs1);
  EXPECT_EQ(spki, FileBytes(kKeyDir + "test-key-spki.der"));
  EXPECT_EQ(pkcs1, Text(testsupport::RunShell(
                       "openssl rsa -in " + kKeyDir + "test-key.pem -RSAPublicKey_out -outform DER -out $OUT", "")));
  TBytes priv;
  Key.GetRsaPrivateKey(priv);
  EXPECT_EQ(priv, FileBytes(kKeyDir + "test-key.der"));

  TqvCryptApiRsaKey k;
  k.Init();
  k.SetRsaPublicKey(pkcs1);
  TBytes again;
  k.GetPublicKeyInfo(again);
  EXPECT_EQ(again, spki);
}

TEST(RsaKey, NonRsaPublicKeysAreRefused) {
  const std::string ed = testsupport::RunShell(
      "openssl genpkey -algorithm ed25519 -out k.pem && openssl pkey -in k.pem -pubout -outform DER -out $OUT", "");
  ASSERT_NE(ed, "<failed>");
  TqvCryptApiRsaKey k;
  k.Init();
  const auto e = CatchCrypt([&] { k.SetPublicKeyInfo(Text(ed)); });
  EXPECT_EQ(e.Message(), "Invalid algorithm specified");
  EXPECT_EQ(static_cast<uint32_t>(e.ErrorCode), plat::NTE_BAD_ALGID);
  EXPECT_EQ(CatchCrypt([&] { k.SetPublicKeyInfo(Text("garbage")); }).Message(), "ASN1 bad tag value met");
}

// Moduli of an odd number of bytes (1000, 1025 and 2056 bits) and the usual
// 2048: every form the openssl command line writes comes back byte for byte,
// and signatures are the ones it makes.
TEST(RsaKey, KeysOfAnyModulusLengthMatchTheOpensslCommandLine) {
  const std::string message = "From: a@example.com\r\nSubject: sizes\r\n\r\nbody\r\n";
  for (const std::string name : {"rsa-1000", "rsa-1025", "test-key", "rsa-2056"}) {
    const std::string pem = kKeyDir + name + ".pem";
    const auto cli = [&](const std::string& ACommand) {
      const std::string out = testsupport::RunShell(ACommand, message);
      EXPECT_NE(out, "<failed>") << ACommand;
      return Text(out);
    };
    const TBytes priv = cli("openssl rsa -in " + pem + " -traditional -outform DER -out $OUT");
    TqvCryptApiRsaKey key;
    key.Init();
    key.SetRsaPrivateKey(priv);
    TBytes out;
    key.GetRsaPrivateKey(out);
    EXPECT_EQ(out, priv) << name;
    key.GetRsaPublicKey(out);
    EXPECT_EQ(out, cli("openssl rsa -in " + pem + " -RSAPublicKey_out -outform DER -out $OUT")) << name;
    const TBytes spki = cli("openssl rsa -in " + pem + " -pubout -outform DER -out $OUT");
    key.GetPublicKeyInfo(out);
    EXPECT_EQ(out, spki) << name;

    TqvSignatureRsaSha256 sha256;
    TqvSignatureRsaSha1 sha1;
    const TBytes signature = SignText(key, sha256, message);
    EXPECT_EQ(signature, cli("openssl dgst -sha256 -sign " + pem + " -out $OUT $IN")) << name;
    EXPECT_EQ(SignText(key, sha1, message), cli("openssl dgst -sha1 -sign " + pem + " -out $OUT $IN")) << name;

    TqvCryptApiRsaKey pub;
    pub.Init();
    pub.SetPublicKeyInfo(spki);
    EXPECT_TRUE(VerifyText(pub, sha256, message, signature)) << name;
    EXPECT_FALSE(VerifyText(pub, sha256, message + "x", signature)) << name;
    TBytes mod, exp;
    pub.GetRsaPublicKeyParams(mod, exp);
    TqvCryptApiRsaKey again;
    again.Init();
    again.SetRsaPublicKeyParams(mod, exp);
    again.GetPublicKeyInfo(out);
    EXPECT_EQ(out, spki) << name;
  }
}
