// The crypto and security-provider bindings: hash calls, error texts, status
// mapping, the provider's package list and the configuration registry.
#include <gtest/gtest.h>

#include "SecurityPackage.h"
#include "SysError.h"
#include "qvConfig.h"
#include "qvCryptAPI.h"
#include "qvCryptUtils.h"
#include "qvSspi.h"

namespace {

std::string Hex(const uint8_t* p, size_t n) {
  static const char* h = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) s += {h[p[i] >> 4], h[p[i] & 15]};
  return s;
}

std::string Digest(ALG_ID alg, uint32_t type, const char* provider, const std::string& text) {
  HCRYPTPROV prov = 0;
  HCRYPTHASH hash = 0;
  EXPECT_TRUE(CryptAcquireContextA(&prov, nullptr, provider, type, plat::CRYPT_VERIFYCONTEXT));
  EXPECT_TRUE(CryptCreateHash(prov, alg, 0, 0, &hash));
  uint32_t size = 0, len = sizeof size;
  EXPECT_TRUE(CryptGetHashParam(hash, plat::HP_HASHSIZE, reinterpret_cast<uint8_t*>(&size), &len, 0));
  // Fed in two parts: the object keeps state between calls.
  const size_t half = text.size() / 2;
  EXPECT_TRUE(CryptHashData(hash, reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(half), 0));
  EXPECT_TRUE(CryptHashData(hash, reinterpret_cast<const uint8_t*>(text.data() + half),
                            static_cast<uint32_t>(text.size() - half), 0));
  std::vector<uint8_t> out(size);
  len = size;
  EXPECT_TRUE(CryptGetHashParam(hash, plat::HP_HASHVAL, out.data(), &len, 0));
  EXPECT_EQ(len, size);
  EXPECT_TRUE(CryptDestroyHash(hash));
  EXPECT_TRUE(CryptReleaseContext(prov, 0));
  return Hex(out.data(), len);
}

TEST(CryptoHashTest, KnownDigests) {
  EXPECT_EQ(Digest(plat::CALG_MD5, plat::PROV_RSA_FULL, "Microsoft Base Cryptographic Provider v1.0", "abc"),
            "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Digest(plat::CALG_SHA1, plat::PROV_RSA_FULL, nullptr, "abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(Digest(plat::CALG_SHA_256, plat::PROV_RSA_AES, "Microsoft Enhanced RSA and AES Cryptographic Provider",
                   "abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Digest(plat::CALG_MD5, plat::PROV_RSA_FULL, nullptr, ""), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(CryptoHashTest, MisuseFailsWithTheLastError) {
  HCRYPTPROV prov = 0;
  EXPECT_FALSE(CryptAcquireContextA(&prov, nullptr, "No Such Provider", plat::PROV_RSA_FULL, plat::CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(plat::GetLastError(), plat::NTE_BAD_KEYSET);
  ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, nullptr, plat::PROV_RSA_FULL, plat::CRYPT_VERIFYCONTEXT));
  HCRYPTHASH hash = 0;
  EXPECT_FALSE(CryptCreateHash(prov, 0x6610, 0, 0, &hash));
  EXPECT_EQ(plat::GetLastError(), plat::NTE_BAD_ALGID);
  ASSERT_TRUE(CryptCreateHash(prov, plat::CALG_SHA1, 0, 0, &hash));
  uint8_t small[4];
  uint32_t len = sizeof small;
  EXPECT_FALSE(CryptGetHashParam(hash, plat::HP_HASHVAL, small, &len, 0));
  EXPECT_EQ(plat::GetLastError(), plat::ERROR_MORE_DATA);
  EXPECT_EQ(len, 20u);  // a short buffer reports the size and leaves the digest open
  EXPECT_TRUE(CryptHashData(hash, reinterpret_cast<const uint8_t*>("x"), 1, 0));
  uint8_t value[20];
  len = sizeof value;
  EXPECT_TRUE(CryptGetHashParam(hash, plat::HP_HASHVAL, value, &len, 0));
  EXPECT_FALSE(CryptHashData(hash, reinterpret_cast<const uint8_t*>("x"), 1, 0));  // finished
  EXPECT_EQ(plat::GetLastError(), plat::NTE_BAD_HASH);
  EXPECT_TRUE(CryptDestroyHash(hash));
  EXPECT_FALSE(CryptDestroyHash(hash));  // a stale handle is refused, not used
  EXPECT_FALSE(CryptHashData(hash, reinterpret_cast<const uint8_t*>("x"), 1, 0));
  EXPECT_TRUE(CryptReleaseContext(prov, 0));
}

TEST(CryptErrorTest, TextOrFunctionNameAndCode) {
  plat::SetLastError(plat::NTE_BAD_HASH);
  try {
    RaiseCryptError("CryptHashData");
  } catch (const EqvCryptError& e) {
    EXPECT_STREQ(e.what(), "Bad Hash");  // "." and CR LF removed
    EXPECT_EQ(e.ErrorCode, static_cast<int32_t>(plat::NTE_BAD_HASH));
  }
  plat::SetLastError(0x80091234u);
  try {
    RaiseCryptError("CryptGetHashParam");
  } catch (const EqvCryptError& e) {
    EXPECT_STREQ(e.what(), "CryptGetHashParam error - -2146889164");
    EXPECT_EQ(e.ErrorCode, static_cast<int32_t>(0x80091234u));
  }
  EXPECT_THROW(RaiseCryptErrorCode("given", 7), EqvCryptError);
  EXPECT_TRUE(LoadCryptLibraries());
  EXPECT_TRUE(LoadCryptLibraries());
}

TEST(SspiErrorTest, LibraryCodesSystemTextsAndUnknownStatuses) {
  bool found = false;
  EXPECT_EQ(GetSspiErrorText(-1, found), "Could not load the dll (schannel.dll, security.dll or secur32.dll)");
  EXPECT_TRUE(found);
  EXPECT_EQ(GetSspiErrorText(-5), "None of needed security package was found");
  EXPECT_EQ(GetSspiErrorText(20), "Out of memory");
  EXPECT_EQ(GetSspiErrorText(plat::SEC_E_LOGON_DENIED, found), "The logon attempt failed");
  EXPECT_TRUE(found);
  const std::string unknown = GetSspiErrorText(static_cast<int>(0x80091234u), found);
  EXPECT_FALSE(found);
  EXPECT_EQ(unknown.rfind("The unknown error was occured: ", 0), 0u);
  EXPECT_NE(unknown.find("80091234"), std::string::npos);
}

TEST(SspiErrorTest, RaiseUsesFallbackTextButKeepsTheStatus) {
  try {
    RaiseSspiError(static_cast<int>(0x80091234u), qvSspiAcquireFailed);
  } catch (const EqvSSPIError& e) {
    EXPECT_STREQ(e.what(), "AcquireCredentials failed");
    EXPECT_EQ(e.ErrorCode, static_cast<int>(0x80091234u));
  }
}

TEST(SspiErrorTest, StatusMapping) {
  EXPECT_EQ(CheckSspiStatus(plat::SEC_E_OK, -4), 0);
  EXPECT_EQ(CheckSspiStatus(plat::SEC_I_CONTINUE_NEEDED, -4), 7);
  EXPECT_EQ(CheckSspiStatus(plat::SEC_I_COMPLETE_NEEDED, -4), 6);
  EXPECT_EQ(CheckSspiStatus(plat::SEC_I_CONTEXT_EXPIRED, -4), 8);
  EXPECT_EQ(CheckSspiStatus(plat::SEC_I_RENEGOTIATE, -4), 2);
  EXPECT_EQ(CheckSspiStatus(plat::SEC_E_INCOMPLETE_MESSAGE, -4), 9);
  try {
    (void)CheckSspiStatus(plat::SEC_E_LOGON_DENIED, -4);
    FAIL();
  } catch (const EqvSSPIError& e) {
    EXPECT_STREQ(e.what(), "The logon attempt failed");
    EXPECT_EQ(e.ErrorCode, plat::SEC_E_LOGON_DENIED);
  }
  // Another success code is not a step result (SEC_E_BUFFER_TOO_SMALL differs from RENEGOTIATE by one bit).
  EXPECT_THROW((void)CheckSspiStatus(plat::SEC_I_COMPLETE_AND_CONTINUE, -4), EqvSSPIError);
  EXPECT_THROW((void)CheckSspiStatus(plat::SEC_E_BUFFER_TOO_SMALL, -4), EqvSSPIError);
  EXPECT_EQ(CheckSspiStatus(false, plat::SEC_E_LOGON_DENIED, -4), 0);
}

TEST(SecurityProviderTest, ListsTlsAndRefusesUnknownPackages) {
  TqvSspi sspi;
  const plat::SecurityFunctionTableA& t = sspi.FunctionTable();
  uint32_t count = 0;
  plat::SecPkgInfoA* infos = nullptr;
  ASSERT_EQ(t.EnumerateSecurityPackagesA(&count, &infos), plat::SEC_E_OK);
  bool tls = false;
  for (uint32_t i = 0; i < count; ++i) tls = tls || std::string(infos[i].Name) == plat::UNISP_NAME_A;
  EXPECT_TRUE(tls);
  EXPECT_EQ(t.FreeContextBuffer(infos), plat::SEC_E_OK);
  EXPECT_EQ(t.FreeContextBuffer(infos), plat::SEC_E_INVALID_HANDLE);  // released once only
  plat::CredHandle cred;
  EXPECT_EQ(t.AcquireCredentialsHandleA(nullptr, "Kerberos", plat::SECPKG_CRED_OUTBOUND, nullptr, nullptr, nullptr,
                                        nullptr, &cred, nullptr),
            plat::SEC_E_SECPKG_NOT_FOUND);
  plat::CtxtHandle bogus{0x1234, 99};
  EXPECT_EQ(t.DeleteSecurityContext(&bogus), plat::SEC_E_INVALID_HANDLE);
}

class FakePackage : public plat::SecurityPackage {
 public:
  FakePackage() { FInfo.Name = "VX Fake Package"; }
  const plat::SecurityPackageInfo& Info() const override { return FInfo; }
  plat::SECURITY_STATUS AcquireCredentials(const plat::CredentialRequest& r,
                                           std::shared_ptr<plat::SecurityCredentials>&) override {
    return r.Identity && r.Identity->User == "bob" ? plat::SEC_E_LOGON_DENIED : plat::SEC_E_NO_CREDENTIALS;
  }
  plat::SECURITY_STATUS CreateContext(const std::shared_ptr<plat::SecurityCredentials>&, plat::CredentialDirection,
                                      std::unique_ptr<plat::SecurityContext>&) override {
    return plat::SEC_E_UNSUPPORTED_FUNCTION;
  }

 private:
  plat::SecurityPackageInfo FInfo;
};

std::unique_ptr<plat::SecurityPackage> MakeFake() {
  auto p = std::make_unique<FakePackage>();
  return p;
}

TEST(SecurityProviderTest, RegisteredPackagesAreListedOnceAndFoundByName) {
  plat::RegisterSecurityPackage(&MakeFake);
  plat::RegisterSecurityPackage(&MakeFake);  // the same name again replaces it
  TqvSspi sspi;
  const plat::SecurityFunctionTableA& t = sspi.FunctionTable();
  uint32_t count = 0;
  plat::SecPkgInfoA* infos = nullptr;
  ASSERT_EQ(t.EnumerateSecurityPackagesA(&count, &infos), plat::SEC_E_OK);
  int fakes = 0;
  for (uint32_t i = 0; i < count; ++i) fakes += std::string(infos[i].Name) == "VX Fake Package" ? 1 : 0;
  EXPECT_EQ(fakes, 1);
  (void)t.FreeContextBuffer(infos);
  plat::CredHandle cred;
  EXPECT_EQ(t.AcquireCredentialsHandleA(nullptr, "vx fake package", plat::SECPKG_CRED_OUTBOUND, nullptr, nullptr,
                                        nullptr, nullptr, &cred, nullptr),
            plat::SEC_E_NO_CREDENTIALS);
  // Identity records reach the package decoded only when it asks for them.
  const std::string user = "bob";
  plat::SEC_WINNT_AUTH_IDENTITY_A id;
  id.User = reinterpret_cast<const unsigned char*>(user.data());
  id.UserLength = static_cast<uint32_t>(user.size());
  EXPECT_EQ(t.AcquireCredentialsHandleA(nullptr, "VX Fake Package", plat::SECPKG_CRED_OUTBOUND, nullptr, &id, nullptr,
                                        nullptr, &cred, nullptr),
            plat::SEC_E_NO_CREDENTIALS);
}

class TqvTestConfigA : public TqvConfigObject {
 public:
  VX_CLASS_NAME("TqvTestConfigA")
};
class TqvTestConfigB : public TqvConfigObject {
 public:
  VX_CLASS_NAME("TqvTestConfigB")
};

TEST(ConfigTest, TypesRegisterReplaceAndRemoveRegardlessOfCase) {
  TqvConfig config;
  EXPECT_EQ(config.CreateInstance("sha1"), nullptr);
  config.SetType("SHA1", &CreateConfigObject<TqvTestConfigA>);
  config.SetType("sha1", &CreateConfigObject<TqvTestConfigB>);
  auto obj = config.CreateInstance("Sha1");
  ASSERT_NE(obj, nullptr);
  EXPECT_STREQ(obj->ClassName(), "TqvTestConfigB");
  config.SetType("sha1", nullptr);
  EXPECT_EQ(config.CreateInstance("SHA1"), nullptr);
  config.Settings().Add("a=b");
  EXPECT_EQ(config.GetValue("a"), "b");
  EXPECT_EQ(config.GetValue("missing"), "");
}

}  // namespace
