// Certificates from PEM, DER and PKCS#12 files, their properties, lists, and
// the chain policy behind the TLS verify flags.
#include <gtest/gtest.h>

#include "CryptoApi.h"
#include "TlsTestSupport.h"
#include "qvCertificate.h"
#include "qvCryptUtils.h"
#include "qvSspiTls.h"

namespace {

class CertificateTest : public ::testing::Test {
 protected:
  // The set holds mail.pem and boss.pem, two certificates with mail names.
  static void SetUpTestSuite() { Pki = std::make_unique<tlstest::TestPki>(); }
  static void TearDownTestSuite() { Pki.reset(); }

  static inline std::unique_ptr<tlstest::TestPki> Pki;
};

TEST_F(CertificateTest, PemDerAndPkcs12GiveTheSameProperties) {
  auto pem = TqvCertificate::LoadFromFile(Pki->Path("server.pem"));
  auto der = TqvCertificate::LoadFromFile(Pki->Path("server.der"));
  auto p12 = TqvCertificate::LoadFromFile(Pki->Path("server.p12"), "secret");
  for (TqvCertificate* c : {pem.get(), der.get(), p12.get()}) {
    EXPECT_EQ(c->SubjectName, "localhost");
    EXPECT_EQ(c->IssuerName, "VX Test CA");
    EXPECT_EQ(c->SerialNumberHex, "010203");
    EXPECT_EQ(c->VersionNumber, 2);
    EXPECT_EQ(c->SignatureAlgorithmOid, "1.2.840.113549.1.1.11");
    EXPECT_EQ(c->SignatureAlgorithmText, "sha256RSA");
    EXPECT_EQ(c->PublicKeyAlgorithmOid, "1.2.840.113549.1.1.1");
    EXPECT_EQ(c->PublicKeyAlgorithmText, "RSA");
    EXPECT_EQ(c->PublicKeyBits, 2048);
    EXPECT_EQ(c->EnhancedKeyUsage, "1.3.6.1.5.5.7.3.1");
    EXPECT_EQ(c->CertHash.size(), 40u);
    EXPECT_EQ(c->KeyIdentifier.size(), 40u);
    EXPECT_LT(c->NotBeforeDate, Now());
    EXPECT_GT(c->NotAfterDate, Now() + 300);
  }
  EXPECT_EQ(pem->CertHash, der->CertHash);
  EXPECT_EQ(pem->CertHash, p12->CertHash);
  EXPECT_EQ(pem->KeyIdentifier, p12->KeyIdentifier);
  // Keys: PEM with its key and PKCS#12 carry one, DER cannot.
  EXPECT_TRUE(pem->HasPrivateKey());
  EXPECT_TRUE(p12->HasPrivateKey());
  EXPECT_FALSE(der->HasPrivateKey());
  EXPECT_FALSE(p12->PrivateKeyContainer.empty());
  EXPECT_TRUE(der->PrivateKeyContainer.empty());
  EXPECT_EQ(p12->CertFriendlyName, "vx server");
  EXPECT_EQ(pem->CertFriendlyName, "");
}

TEST_F(CertificateTest, EmailFromSubjectOrAlternativeName) {
  auto alt = TqvCertificate::LoadFromFile(Pki->Path("mail.pem"));
  EXPECT_EQ(alt->EmailAddress, "user@example.com");  // no subject attribute: from the alternative name
  EXPECT_EQ(alt->EnhancedKeyUsage, "");               // none, and no error
  EXPECT_EQ(alt->SerialNumberHex, "010203");
  auto subj = TqvCertificate::LoadFromFile(Pki->Path("boss.pem"));
  EXPECT_EQ(subj->EmailAddress, "boss@example.org");  // the subject's attribute wins
  EXPECT_EQ(subj->EnhancedKeyUsage, "1.3.6.1.5.5.7.3.1,1.3.6.1.5.5.7.3.2");
}

TEST_F(CertificateTest, BadFilesRaise) {
  tlstest::WriteFile(Pki->Path("junk.der"), "not a certificate");
  EXPECT_THROW((void)TqvCertificate::LoadFromFile(Pki->Path("junk.der")), EqvCryptError);
  EXPECT_THROW((void)TqvCertificate::LoadFromFile(Pki->Path("server.p12"), "wrong"), EqvCryptError);
  EXPECT_THROW((void)TqvCertificate::LoadFromFile(Pki->Path("absent.pem")), EqvCryptError);
}

TEST_F(CertificateTest, OwningListFreesItsItemsOnClear) {
  auto keep = TqvCertificate::LoadFromFile(Pki->Path("server.der"));
  {
    TqvCertificateList borrowed(false);
    borrowed.Add(keep.get());
    EXPECT_EQ(borrowed.Count(), 1);
    borrowed.Clear();
    EXPECT_EQ(borrowed.Count(), 0);
  }
  EXPECT_EQ(keep->SubjectName, "localhost");  // still ours
  TqvCertificateList owning(true);
  owning.Add(std::move(keep));
  owning.Add(TqvCertificate::LoadFromFile(Pki->Path("ca.pem")));
  EXPECT_EQ(owning.Items(1)->SubjectName, "VX Test CA");
  EXPECT_THROW((void)owning.Items(2), EListError);
  owning.Clear();
  EXPECT_EQ(owning.Count(), 0);
}

// The chain policy alone, as the client's verification runs it.
uint32_t PolicyError(const std::string& file, const std::u16string& host, TqvCertificateVerifyFlags flags) {
  auto cert = TqvCertificate::LoadFromFile(file);
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  plat::CERT_CHAIN_PARA para;
  EXPECT_TRUE(CertGetCertificateChain(nullptr, cert->Context(), nullptr, nullptr, &para, 0, nullptr, &chain));
  plat::SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl;
  ssl.fdwChecks = CertificatePolicyChecks(flags);
  ssl.pwszServerName = host.c_str();
  plat::CERT_CHAIN_POLICY_PARA policy;
  policy.pvExtraPolicyPara = &ssl;
  plat::CERT_CHAIN_POLICY_STATUS status;
  EXPECT_TRUE(CertVerifyCertificateChainPolicy(plat::CERT_CHAIN_POLICY_SSL, chain, &policy, &status));
  CertFreeCertificateChain(chain);
  return status.dwError;
}

TEST_F(CertificateTest, ChainPolicyAndItsIgnoreFlags) {
  plat::SetTrustStoreOverride(Pki->Path("ca.pem"));
  const auto err = [](plat::SECURITY_STATUS s) { return static_cast<uint32_t>(s); };
  EXPECT_EQ(PolicyError(Pki->Path("server.crt"), u"localhost", 0), 0u);
  EXPECT_EQ(PolicyError(Pki->Path("server.crt"), u"LOCALHOST", 0), 0u);
  EXPECT_EQ(PolicyError(Pki->Path("server.crt"), u"127.0.0.1", 0), 0u);
  EXPECT_EQ(PolicyError(Pki->Path("server.crt"), u"127.0.0.2", 0), err(plat::CERT_E_CN_NO_MATCH));
  EXPECT_EQ(PolicyError(Pki->Path("expired.crt"), u"localhost", 0), err(plat::CERT_E_EXPIRED));
  EXPECT_EQ(PolicyError(Pki->Path("expired.crt"), u"localhost", CertVerifyFlag(cfIgnoreDateInvalid)), 0u);
  EXPECT_EQ(PolicyError(Pki->Path("clientonly.crt"), u"localhost", 0), err(plat::CERT_E_WRONG_USAGE));
  EXPECT_EQ(PolicyError(Pki->Path("clientonly.crt"), u"localhost", CertVerifyFlag(cfIgnoreWrongUsage)), 0u);
  // Revocation is never checked here, so its flag changes nothing.
  EXPECT_EQ(PolicyError(Pki->Path("server.crt"), u"localhost", CertVerifyFlag(cfIgnoreRevocation)), 0u);
  const uint32_t rogue = PolicyError(Pki->Path("rogue.crt"), u"localhost", 0);
  EXPECT_TRUE(rogue == err(plat::CERT_E_CHAINING) || rogue == err(plat::CERT_E_UNTRUSTEDROOT));
  EXPECT_EQ(PolicyError(Pki->Path("rogue.crt"), u"localhost", CertVerifyFlag(cfIgnoreUnknownAuthority)), 0u);
  // Two faults: the unknown authority is reported first, the date once it is ignored.
  plat::SetTrustStoreOverride(Pki->Path("server.crt"));
  EXPECT_EQ(PolicyError(Pki->Path("expired.crt"), u"localhost", CertVerifyFlag(cfIgnoreUnknownAuthority)),
            err(plat::CERT_E_EXPIRED));
  plat::SetTrustStoreOverride("");
}

TEST_F(CertificateTest, FolderStoreListsItsFiles) {
  testsupport::TempDir root;
  std::filesystem::create_directory(root.Dir() + "MY");
  std::filesystem::copy_file(Pki->Path("server.p12"), root.Dir() + "MY/a.p12");  // no password: skipped
  std::filesystem::copy_file(Pki->Path("server.pem"), root.Dir() + "MY/b.pem");
  std::filesystem::copy_file(Pki->Path("ca.pem"), root.Dir() + "MY/c.crt");
  plat::SetCertificateStoreRoot(root.Dir());
  HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
  ASSERT_NE(store, nullptr);
  int count = 0, withKey = 0;
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c; c = CertEnumCertificatesInStore(store, c)) {
    ++count;
    withKey += plat::CertContextPrivateKey(c) ? 1 : 0;
  }
  EXPECT_EQ(count, 2);
  EXPECT_EQ(withKey, 1);
  PCCERT_CONTEXT found = CertFindCertificateInStore(store, plat::X509_ASN_ENCODING, 0, plat::CERT_FIND_SUBJECT_STR_A,
                                                    "Test CA", nullptr);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(TqvCertificate(found).SubjectName, "VX Test CA");
  CertFreeCertificateContext(found);
  CertCloseStore(store, 0);
  EXPECT_EQ(CertOpenSystemStoreA(0, "../etc"), nullptr);  // names stay inside the root
  plat::SetCertificateStoreRoot("");
}

}  // namespace
