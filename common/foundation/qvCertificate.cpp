#include "qvCertificate.h"

#include "AsciiText.h"
#include "qvFoundationLimits.h"
#include <cctype>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "FileOps.h"
#include "SysError.h"
#include "qvCryptUtils.h"
#include "qvTranslator.h"

namespace {

constexpr const char* kHex = "0123456789ABCDEF";

std::string Hex(const uint8_t* p, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s.push_back(kHex[p[i] >> 4]);
    s.push_back(kHex[p[i] & 15]);
  }
  return s;
}

TDateTime FileTimeToDateTime(const plat::FILETIME& t) {
  const uint64_t v = (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  if (v == 0) return 0;
  const int64_t unixMs = static_cast<int64_t>(v / 10000) - 11644473600000LL;
  const TDateTime utc = UnixDateDelta + static_cast<double>(unixMs) / MSecsPerDay;
  return UTCToLocal(utc);
}

std::string NameString(PCCERT_CONTEXT c, uint32_t flags) {
  const uint32_t n = CertGetNameStringW(c, plat::CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, nullptr, 0);
  if (n <= 1) return {};
  std::u16string buf(n, u'\0');
  const uint32_t got = CertGetNameStringW(c, plat::CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, buf.data(), n);
  buf.resize(got > 0 ? got - 1 : 0);
  return WideStringToUtf8(buf);
}

// Decodes into a buffer sized by a first call; empty on failure.
std::vector<uint8_t> Decode(uintptr_t AType, const plat::CRYPT_DATA_BLOB& ABlob) {
  uint32_t size = 0;
  if (!CryptDecodeObject(plat::X509_ASN_ENCODING | plat::PKCS_7_ASN_ENCODING, AType, ABlob.pbData, ABlob.cbData, 0,
                         nullptr, &size) || size == 0)
    return {};
  std::vector<uint8_t> buf(size);
  if (!CryptDecodeObject(plat::X509_ASN_ENCODING | plat::PKCS_7_ASN_ENCODING, AType, ABlob.pbData, ABlob.cbData, 0,
                         buf.data(), &size))
    return {};
  return buf;
}

std::vector<uint8_t> Property(PCCERT_CONTEXT c, uint32_t id) {
  uint32_t size = 0;
  if (!CertGetCertificateContextProperty(c, id, nullptr, &size) || size == 0) return {};
  std::vector<uint8_t> buf(size);
  if (!CertGetCertificateContextProperty(c, id, buf.data(), &size)) return {};
  buf.resize(size);
  return buf;
}

std::string OidText(const char* AOid) {
  if (!AOid) return {};
  const plat::CRYPT_OID_INFO* info = CryptFindOIDInfo(plat::CRYPT_OID_INFO_OID_KEY, AOid, 0);
  return info && info->pwszName ? WideStringToUtf8(info->pwszName) : std::string(AOid);
}

PCCERT_CONTEXT FirstOfStore(HCERTSTORE AStore) {
  PCCERT_CONTEXT best = nullptr;
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(AStore, nullptr); c;
       c = CertEnumCertificatesInStore(AStore, c)) {
    if (!best) best = CertDuplicateCertificateContext(c);
    if (plat::CertContextPrivateKey(c)) {
      CertFreeCertificateContext(best);
      best = CertDuplicateCertificateContext(c);
      CertFreeCertificateContext(c);
      break;
    }
  }
  return best;
}

}  // namespace

TqvCertificate::TqvCertificate(PCCERT_CONTEXT AContext) {
  Assert(AContext != nullptr && AContext->pCertInfo != nullptr);
  FContext = CertDuplicateCertificateContext(AContext);
  LoadProperties();
}

TqvCertificate::~TqvCertificate() { CertFreeCertificateContext(FContext); }

bool TqvCertificate::HasPrivateKey() const { return plat::CertContextPrivateKey(FContext) != nullptr; }

void TqvCertificate::LoadProperties() {
  const plat::CERT_INFO& info = *FContext->pCertInfo;
  SubjectName = NameString(FContext, 0);
  IssuerName = NameString(FContext, plat::CERT_NAME_ISSUER_FLAG);

  const std::vector<uint8_t> name = Decode(plat::X509_NAME, info.Subject);
  if (!name.empty()) {
    const auto* ni = reinterpret_cast<const plat::CERT_NAME_INFO*>(name.data());
    for (uint32_t r = 0; r < ni->cRDN && EmailAddress.empty(); ++r) {
      const plat::CERT_RDN& rdn = ni->rgRDN[r];
      for (uint32_t a = 0; a < rdn.cRDNAttr; ++a) {
        const plat::CERT_RDN_ATTR& attr = rdn.rgRDNAttr[a];
        if (attr.pszObjId && std::string(attr.pszObjId) == plat::szOID_RSA_emailAddr) {
          EmailAddress.assign(reinterpret_cast<const char*>(attr.Value.pbData), attr.Value.cbData);
          break;
        }
      }
    }
  }
  if (EmailAddress.empty()) {
    if (const plat::CERT_EXTENSION* ext =
            CertFindExtension(plat::szOID_SUBJECT_ALT_NAME2, info.cExtension, info.rgExtension)) {
      const std::vector<uint8_t> alt = Decode(plat::X509_ALTERNATE_NAME, ext->Value);
      if (!alt.empty()) {
        const auto* ai = reinterpret_cast<const plat::CERT_ALT_NAME_INFO*>(alt.data());
        for (uint32_t i = 0; i < ai->cAltEntry; ++i)
          if (ai->rgAltEntry[i].dwAltNameChoice == plat::CERT_ALT_NAME_RFC822_NAME && ai->rgAltEntry[i].pwszRfc822Name) {
            EmailAddress = WideStringToUtf8(ai->rgAltEntry[i].pwszRfc822Name);
            break;
          }
      }
    }
  }

  // Stored least significant byte first.
  for (uint32_t i = info.SerialNumber.cbData; i > 0; --i)
    SerialNumberHex += Hex(&info.SerialNumber.pbData[i - 1], 1);

  NotBeforeDate = FileTimeToDateTime(info.NotBefore);
  NotAfterDate = FileTimeToDateTime(info.NotAfter);

  const std::vector<uint8_t> friendly = Property(FContext, plat::CERT_FRIENDLY_NAME_PROP_ID);
  if (friendly.size() >= 2) {
    std::u16string w(friendly.size() / 2, u'\0');
    std::memcpy(w.data(), friendly.data(), w.size() * 2);
    while (!w.empty() && w.back() == u'\0') w.pop_back();
    CertFriendlyName = WideStringToUtf8(w);
  }

  uint32_t ekuSize = 0;
  if (CertGetEnhancedKeyUsage(FContext, 0, nullptr, &ekuSize)) {
    std::vector<uint8_t> buf(ekuSize);
    auto* usage = reinterpret_cast<plat::CERT_ENHKEY_USAGE*>(buf.data());
    if (!CertGetEnhancedKeyUsage(FContext, 0, usage, &ekuSize)) RaiseCryptError("CertGetEnhancedKeyUsage");
    for (uint32_t i = 0; i < usage->cUsageIdentifier; ++i) {
      const char* id = usage->rgpszUsageIdentifier[i];
      if (id && *id) EnhancedKeyUsage += std::string(id) + ",";
    }
    if (!EnhancedKeyUsage.empty()) EnhancedKeyUsage.pop_back();
  } else if (plat::GetLastError() != static_cast<uint32_t>(plat::CRYPT_E_NOT_FOUND)) {
    RaiseCryptError("CertGetEnhancedKeyUsage");
  }

  VersionNumber = info.dwVersion <= 2 ? static_cast<int>(info.dwVersion) : 0;
  SignatureAlgorithmOid = info.SignatureAlgorithm.pszObjId ? info.SignatureAlgorithm.pszObjId : "";
  SignatureAlgorithmText = OidText(info.SignatureAlgorithm.pszObjId);
  PublicKeyAlgorithmOid =
      info.SubjectPublicKeyInfo.Algorithm.pszObjId ? info.SubjectPublicKeyInfo.Algorithm.pszObjId : "";
  PublicKeyAlgorithmText = OidText(info.SubjectPublicKeyInfo.Algorithm.pszObjId);
  PublicKeyBits = static_cast<int>(CertGetPublicKeyLength(FContext->dwCertEncodingType, &info.SubjectPublicKeyInfo));

  const std::vector<uint8_t> prov = Property(FContext, plat::CERT_KEY_PROV_INFO_PROP_ID);
  if (!prov.empty()) {
    const auto* pi = reinterpret_cast<const plat::CRYPT_KEY_PROV_INFO*>(prov.data());
    if (pi->pwszContainerName) PrivateKeyContainer = WideStringToUtf8(pi->pwszContainerName);
  }
  const std::vector<uint8_t> hash = Property(FContext, plat::CERT_SHA1_HASH_PROP_ID);
  CertHash = Hex(hash.data(), hash.size());

  if (const plat::CERT_EXTENSION* ext =
          CertFindExtension(plat::szOID_SUBJECT_KEY_IDENTIFIER, info.cExtension, info.rgExtension)) {
    const std::vector<uint8_t> id = Decode(plat::X509_OCTET_STRING, ext->Value);
    if (!id.empty()) {
      const auto* blob = reinterpret_cast<const plat::CRYPT_DATA_BLOB*>(id.data());
      KeyIdentifier = Hex(blob->pbData, blob->cbData);
    }
  }
}

std::unique_ptr<TqvCertificate> TqvCertificate::LoadFromBytes(const std::string& ABytes, bool APkcs12,
                                                              const std::string& APassword) {
  HCERTSTORE store = nullptr;
  if (APkcs12) {
    plat::CRYPT_DATA_BLOB blob{static_cast<uint32_t>(ABytes.size()),
                               reinterpret_cast<uint8_t*>(const_cast<char*>(ABytes.data()))};
    const std::u16string pass = Utf8ToWideString(APassword);
    store = PFXImportCertStore(&blob, pass.c_str(), 0);
    if (!store) RaiseCryptError("PFXImportCertStore");
  } else if (ABytes.find("-----BEGIN") != std::string::npos) {
    store = plat::PEMImportCertStore(ABytes.data(), static_cast<uint32_t>(ABytes.size()),
                                     APassword.empty() ? nullptr : APassword.c_str());
    if (!store) RaiseCryptError("CryptStringToBinary");
  } else {
    PCCERT_CONTEXT c = CertCreateCertificateContext(plat::X509_ASN_ENCODING,
                                                    reinterpret_cast<const uint8_t*>(ABytes.data()),
                                                    static_cast<uint32_t>(ABytes.size()));
    if (!c) RaiseCryptError("CertCreateCertificateContext");
    auto cert = std::make_unique<TqvCertificate>(c);
    CertFreeCertificateContext(c);
    return cert;
  }
  PCCERT_CONTEXT c = FirstOfStore(store);
  CertCloseStore(store, 0);
  if (!c) RaiseCryptErrorCode("CertEnumCertificatesInStore error - " + std::to_string(plat::CRYPT_E_NOT_FOUND),
                              plat::CRYPT_E_NOT_FOUND);
  std::unique_ptr<TqvCertificate> cert;
  try {
    cert = std::make_unique<TqvCertificate>(c);
  } catch (...) {
    CertFreeCertificateContext(c);
    throw;
  }
  CertFreeCertificateContext(c);
  return cert;
}

std::unique_ptr<TqvCertificate> TqvCertificate::LoadFromFile(const std::string& AFileName,
                                                             const std::string& APassword) {
  std::string bytes;
  const int error = plat::ReadSmallFile(AFileName, qvMaxCertificateFileBytes, bytes);
  if (error == EFBIG) RaiseCryptErrorCode("File too large: " + AFileName, plat::NTE_BAD_DATA);
  if (error != 0)
    RaiseCryptErrorCode("Cannot open " + AFileName, static_cast<int32_t>(plat::ERROR_FILE_NOT_FOUND));
  return LoadFromBytes(bytes, plat::AsciiEndsWith(AFileName, ".p12") || plat::AsciiEndsWith(AFileName, ".pfx"),
                       APassword);
}

void TqvCertificateList::Add(std::unique_ptr<TqvCertificate> AItem) {
  Assert(FOwnsItems);
  FItems.push_back(AItem.release());
}

void TqvCertificateList::Clear() {
  std::vector<TqvCertificate*> items;
  items.swap(FItems);
  // An owning list holds each item once; free them through unique_ptr.
  if (FOwnsItems)
    for (TqvCertificate* c : items) std::unique_ptr<TqvCertificate> hold(c);
}

TqvCertificate* TqvCertificateList::Items(int AIndex) const {
  if (AIndex < 0 || AIndex >= Count()) throw EListError::OutOfBounds(AIndex);
  return FItems[static_cast<size_t>(AIndex)];
}
