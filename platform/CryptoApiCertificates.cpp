// Certificate contexts over X509: creation, reference counting, properties,
// names, extensions and decoding into the platform's flat structures.
#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <functional>
#include <string_view>

#include "CryptoApiInternal.h"

namespace plat {
namespace {

std::vector<std::uint8_t> ToDer(const unsigned char* p, int n) {
  return n > 0 ? std::vector<std::uint8_t>(p, p + n) : std::vector<std::uint8_t>{};
}

std::string OidText(const ASN1_OBJECT* obj) {
  char buf[128];
  const int n = OBJ_obj2txt(buf, sizeof buf, obj, 1);
  return n > 0 && n < static_cast<int>(sizeof buf) ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::vector<std::uint8_t> ParamsDer(const X509_ALGOR* alg) {
  const ASN1_OBJECT* obj = nullptr;
  int ptype = 0;
  const void* pval = nullptr;
  X509_ALGOR_get0(&obj, &ptype, &pval, alg);
  if (ptype == V_ASN1_UNDEF) return {};
  ASN1_TYPE* t = ASN1_TYPE_new();
  if (!t) return {};
  ASN1_TYPE_set1(t, ptype, pval);
  unsigned char* der = nullptr;
  const int n = i2d_ASN1_TYPE(t, &der);
  std::vector<std::uint8_t> out = ToDer(der, n);
  OPENSSL_free(der);
  ASN1_TYPE_free(t);
  return out;
}

CRYPT_DATA_BLOB Blob(std::vector<std::uint8_t>& v) {
  return CRYPT_DATA_BLOB{static_cast<std::uint32_t>(v.size()), v.empty() ? nullptr : v.data()};
}

FILETIME ToFileTime(const ASN1_TIME* t) {
  FILETIME ft;
  struct tm tm {};
  if (!t || ASN1_TIME_to_tm(t, &tm) != 1) return ft;
  const int64_t unixSecs = timegm(&tm);
  const auto v = static_cast<std::uint64_t>((unixSecs + 11644473600LL) * 10000000LL);
  ft.dwLowDateTime = static_cast<std::uint32_t>(v);
  ft.dwHighDateTime = static_cast<std::uint32_t>(v >> 32);
  return ft;
}

CertContextData* DataOf(PCCERT_CONTEXT c) { return c ? c->Data : nullptr; }

std::u16string Ascii16(const unsigned char* p, int n) {
  std::u16string s;
  for (int i = 0; i < n; ++i) s.push_back(static_cast<char16_t>(p[i]));
  return s;
}

std::u16string Utf8To16(const unsigned char* p, int n) {
  std::u16string out;
  for (int i = 0; i < n;) {
    std::uint32_t c = p[i];
    int len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
    if (i + len > n) len = 1;
    if (len > 1) {
      c &= (0xFFu >> (len + 1));
      for (int k = 1; k < len; ++k) c = (c << 6) | (p[i + k] & 0x3F);
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
    i += len;
  }
  return out;
}

std::u16string EntryText(const X509_NAME_ENTRY* e) {
  unsigned char* utf8 = nullptr;
  const int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(e));
  if (n < 0) return {};
  std::u16string s = Utf8To16(utf8, n);
  OPENSSL_free(utf8);
  return s;
}

std::u16string FirstByNid(const ::X509_NAME* name, int nid) {
  const int i = X509_NAME_get_index_by_NID(name, nid, -1);
  return i < 0 ? std::u16string() : EntryText(X509_NAME_get_entry(name, i));
}

std::u16string FirstAltEmail(X509* x) {
  auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(x, NID_subject_alt_name, nullptr, nullptr));
  std::u16string out;
  for (int i = 0; names && i < sk_GENERAL_NAME_num(names); ++i) {
    const GENERAL_NAME* g = sk_GENERAL_NAME_value(names, i);
    if (g->type == GEN_EMAIL) {
      out = Ascii16(ASN1_STRING_get0_data(g->d.rfc822Name), ASN1_STRING_length(g->d.rfc822Name));
      break;
    }
  }
  GENERAL_NAMES_free(names);
  return out;
}

// Places objects one after another in a caller's buffer, or only measures.
class Arena {
 public:
  explicit Arena(std::uint8_t* base) : FBase(base) {}
  void* Take(size_t size, size_t align = alignof(std::max_align_t)) {
    FUsed = (FUsed + align - 1) / align * align;
    void* p = FBase ? FBase + FUsed : nullptr;
    if (p) std::memset(p, 0, size);
    FUsed += size;
    return p;
  }
  char* Text(const std::string& s) {
    auto* p = static_cast<char*>(Take(s.size() + 1, 1));
    if (p) std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
  }
  std::uint8_t* Bytes(const unsigned char* b, size_t n) {
    auto* p = static_cast<std::uint8_t*>(Take(n, 1));
    if (p && n) std::memcpy(p, b, n);
    return p;
  }
  char16_t* Text16(const std::u16string& s) {
    auto* p = static_cast<char16_t*>(Take((s.size() + 1) * 2, alignof(char16_t)));
    if (p) std::memcpy(p, s.c_str(), (s.size() + 1) * 2);
    return p;
  }
  [[nodiscard]] size_t Used() const { return FUsed; }

 private:
  std::uint8_t* FBase;
  size_t FUsed = 0;
};

std::uint32_t RdnValueType(int asn1Type) {
  switch (asn1Type) {
    case V_ASN1_PRINTABLESTRING: return CERT_RDN_PRINTABLE_STRING;
    case V_ASN1_IA5STRING: return CERT_RDN_IA5_STRING;
    case V_ASN1_UTF8STRING: return CERT_RDN_UTF8_STRING;
    case V_ASN1_T61STRING: return 5;
    case V_ASN1_BMPSTRING: return 12;
    default: return 2;
  }
}

void LayoutName(Arena& a, const ::X509_NAME* name) {
  auto* info = static_cast<CERT_NAME_INFO*>(a.Take(sizeof(CERT_NAME_INFO)));
  const int count = X509_NAME_entry_count(name);
  // Entries of one set are adjacent and share X509_NAME_ENTRY_set.
  std::vector<std::pair<int, int>> sets;  // first entry, entry count
  for (int i = 0; i < count; ++i) {
    const int set = X509_NAME_ENTRY_set(X509_NAME_get_entry(name, i));
    if (sets.empty() || X509_NAME_ENTRY_set(X509_NAME_get_entry(name, sets.back().first)) != set)
      sets.emplace_back(i, 1);
    else
      ++sets.back().second;
  }
  auto* rdns = static_cast<CERT_RDN*>(a.Take(sizeof(CERT_RDN) * sets.size()));
  if (info) {
    info->cRDN = static_cast<std::uint32_t>(sets.size());
    info->rgRDN = rdns;
  }
  for (size_t s = 0; s < sets.size(); ++s) {
    auto* attrs = static_cast<CERT_RDN_ATTR*>(a.Take(sizeof(CERT_RDN_ATTR) * static_cast<size_t>(sets[s].second)));
    if (rdns) {
      rdns[s].cRDNAttr = static_cast<std::uint32_t>(sets[s].second);
      rdns[s].rgRDNAttr = attrs;
    }
    for (int k = 0; k < sets[s].second; ++k) {
      const X509_NAME_ENTRY* e = X509_NAME_get_entry(name, sets[s].first + k);
      const ASN1_STRING* v = X509_NAME_ENTRY_get_data(e);
      char* oid = a.Text(OidText(X509_NAME_ENTRY_get_object(e)));
      std::uint8_t* bytes = a.Bytes(ASN1_STRING_get0_data(v), static_cast<size_t>(ASN1_STRING_length(v)));
      if (attrs) {
        attrs[k].pszObjId = oid;
        attrs[k].dwValueType = RdnValueType(ASN1_STRING_type(v));
        attrs[k].Value = CRYPT_DATA_BLOB{static_cast<std::uint32_t>(ASN1_STRING_length(v)), bytes};
      }
    }
  }
}

void LayoutAltNames(Arena& a, const GENERAL_NAMES* names) {
  auto* info = static_cast<CERT_ALT_NAME_INFO*>(a.Take(sizeof(CERT_ALT_NAME_INFO)));
  const int count = sk_GENERAL_NAME_num(names);
  auto* entries = static_cast<CERT_ALT_NAME_ENTRY*>(a.Take(sizeof(CERT_ALT_NAME_ENTRY) * static_cast<size_t>(count)));
  if (info) {
    info->cAltEntry = static_cast<std::uint32_t>(count);
    info->rgAltEntry = entries;
  }
  for (int i = 0; i < count; ++i) {
    const GENERAL_NAME* g = sk_GENERAL_NAME_value(names, i);
    CERT_ALT_NAME_ENTRY e;
    if (g->type == GEN_EMAIL || g->type == GEN_DNS) {
      const ASN1_IA5STRING* s = g->type == GEN_EMAIL ? g->d.rfc822Name : g->d.dNSName;
      e.dwAltNameChoice = g->type == GEN_EMAIL ? CERT_ALT_NAME_RFC822_NAME : CERT_ALT_NAME_DNS_NAME;
      e.pwszRfc822Name = a.Text16(Ascii16(ASN1_STRING_get0_data(s), ASN1_STRING_length(s)));
    } else if (g->type == GEN_IPADD) {
      e.dwAltNameChoice = CERT_ALT_NAME_IP_ADDRESS;
      const auto n = static_cast<size_t>(ASN1_STRING_length(g->d.iPAddress));
      e.IPAddress = CRYPT_DATA_BLOB{static_cast<std::uint32_t>(n), a.Bytes(ASN1_STRING_get0_data(g->d.iPAddress), n)};
    } else {
      e.dwAltNameChoice = static_cast<std::uint32_t>(g->type + 1);
    }
    if (entries) entries[i] = e;
  }
}

// Measures a layout, then runs it into the caller's buffer (size-query rule).
template <typename F>
BOOL PutLayout(F layout, void* data, std::uint32_t* length) {
  Arena measure(nullptr);
  layout(measure);
  const auto need = static_cast<std::uint32_t>(measure.Used());
  const std::uint32_t room = *length;
  *length = need;
  if (!data) return 1;
  if (room < need) return FailWith(ERROR_MORE_DATA);
  Arena fill(static_cast<std::uint8_t*>(data));
  layout(fill);
  return 1;
}

// Copies of the certificate's parts the context points into: serial
// (little-endian), signature and key algorithms, key bits, names, extensions.
void KeepParts(CertContextData& d, X509* x) {
  const ASN1_INTEGER* serial = X509_get0_serialNumber(x);
  d.Serial.assign(ASN1_STRING_get0_data(serial), ASN1_STRING_get0_data(serial) + ASN1_STRING_length(serial));
  std::reverse(d.Serial.begin(), d.Serial.end());

  const X509_ALGOR* sigAlg = nullptr;
  X509_get0_signature(nullptr, &sigAlg, x);
  const ASN1_OBJECT* sigObj = nullptr;
  X509_ALGOR_get0(&sigObj, nullptr, nullptr, sigAlg);
  d.SigOid = OidText(sigObj);
  d.SigParams = ParamsDer(sigAlg);

  X509_PUBKEY* pub = X509_get_X509_PUBKEY(x);
  const ASN1_OBJECT* keyObj = nullptr;
  const unsigned char* keyBits = nullptr;
  int keyLen = 0;
  X509_ALGOR* keyAlg = nullptr;
  X509_PUBKEY_get0_param(nullptr, &keyBits, &keyLen, &keyAlg, pub);
  X509_ALGOR_get0(&keyObj, nullptr, nullptr, keyAlg);
  d.KeyOid = OidText(keyObj);
  d.KeyParams = ParamsDer(keyAlg);
  d.KeyBits = ToDer(keyBits, keyLen);

  unsigned char* nameDer = nullptr;
  int n = i2d_X509_NAME(X509_get_issuer_name(x), &nameDer);
  d.Issuer = ToDer(nameDer, n);
  OPENSSL_free(nameDer);
  nameDer = nullptr;
  n = i2d_X509_NAME(X509_get_subject_name(x), &nameDer);
  d.Subject = ToDer(nameDer, n);
  OPENSSL_free(nameDer);

  const int extCount = X509_get_ext_count(x);
  for (int i = 0; i < extCount; ++i) {
    X509_EXTENSION* e = X509_get_ext(x, i);
    d.ExtOids.push_back(OidText(X509_EXTENSION_get_object(e)));
    const ASN1_OCTET_STRING* v = X509_EXTENSION_get_data(e);
    d.ExtValues.push_back(ToDer(ASN1_STRING_get0_data(v), ASN1_STRING_length(v)));
  }
  for (int i = 0; i < extCount; ++i) {
    CERT_EXTENSION e;
    e.pszObjId = d.ExtOids[static_cast<size_t>(i)].data();
    e.fCritical = X509_EXTENSION_get_critical(X509_get_ext(x, i));
    e.Value = Blob(d.ExtValues[static_cast<size_t>(i)]);
    d.Extensions.push_back(e);
  }
}

// The context's CERT_INFO over the parts KeepParts kept.
void FillInfo(CertContextData& d, X509* x) {
  CERT_INFO& info = d.Info;
  const long version = X509_get_version(x);
  info.dwVersion = version >= 0 && version <= 2 ? static_cast<std::uint32_t>(version) : 0;
  info.SerialNumber = Blob(d.Serial);
  info.SignatureAlgorithm.pszObjId = d.SigOid.data();
  info.SignatureAlgorithm.Parameters = Blob(d.SigParams);
  info.Issuer = Blob(d.Issuer);
  info.Subject = Blob(d.Subject);
  info.NotBefore = ToFileTime(X509_get0_notBefore(x));
  info.NotAfter = ToFileTime(X509_get0_notAfter(x));
  info.SubjectPublicKeyInfo.Algorithm.pszObjId = d.KeyOid.data();
  info.SubjectPublicKeyInfo.Algorithm.Parameters = Blob(d.KeyParams);
  info.SubjectPublicKeyInfo.PublicKey = CRYPT_BIT_BLOB{static_cast<std::uint32_t>(d.KeyBits.size()),
                                                       d.KeyBits.empty() ? nullptr : d.KeyBits.data(), 0};
  info.cExtension = static_cast<std::uint32_t>(d.Extensions.size());
  info.rgExtension = d.Extensions.empty() ? nullptr : d.Extensions.data();
}

// The key container of a certificate with its key: "vx-" and the first 8
// bytes of the certificate's SHA-1 digest in hex.
std::u16string ContainerName(X509* x) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int mdLen = 0;
  X509_digest(x, EVP_sha1(), md, &mdLen);
  static const char* hex = "0123456789abcdef";
  std::u16string name = u"vx-";
  for (unsigned int i = 0; i < mdLen && i < 8; ++i) {
    name.push_back(static_cast<char16_t>(hex[md[i] >> 4]));
    name.push_back(static_cast<char16_t>(hex[md[i] & 15]));
  }
  return name;
}

}  // namespace

PCCERT_CONTEXT MakeCertContext(X509Ptr cert, PKeyPtr key, X509StackPtr chain) {
  if (!cert) return nullptr;
  auto d = std::make_unique<CertContextData>();
  X509* x = cert.get();
  unsigned char* der = nullptr;
  const int derLen = i2d_X509(x, &der);
  if (derLen <= 0) return nullptr;
  d->Der = ToDer(der, derLen);
  OPENSSL_free(der);
  d->Cert = std::move(cert);
  d->Key = std::move(key);
  d->Chain = std::move(chain);

  KeepParts(*d, x);
  FillInfo(*d, x);
  if (d->Key) d->Container = ContainerName(x);
  int aliasLen = 0;
  if (const unsigned char* alias = X509_alias_get0(x, &aliasLen); alias && aliasLen > 0) {
    d->FriendlyName = Utf8To16(alias, aliasLen);
    d->HasFriendlyName = true;
  }

  CERT_CONTEXT& c = d->Context;
  c.pbCertEncoded = d->Der.data();
  c.cbCertEncoded = static_cast<std::uint32_t>(d->Der.size());
  c.pCertInfo = &d->Info;
  c.Data = d.get();
  return &d.release()->Context;
}

PCCERT_CONTEXT CertCreateCertificateContext(std::uint32_t encoding, const std::uint8_t* encoded,
                                            std::uint32_t length) {
  if (!(encoding & X509_ASN_ENCODING) || !encoded) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const unsigned char* p = encoded;
  X509Ptr x(d2i_X509(nullptr, &p, length));
  if (!x) {
    SetLastError(CRYPT_E_ASN1_BADTAG);
    return nullptr;
  }
  return MakeCertContext(std::move(x), nullptr, nullptr);
}

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT context) {
  if (CertContextData* d = DataOf(context)) d->Refs.fetch_add(1);
  return context;
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT context) {
  CertContextData* d = DataOf(context);
  if (d && d->Refs.fetch_sub(1) == 1) std::unique_ptr<CertContextData> last(d);
  return 1;
}

BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT context, std::uint32_t propId, void* data,
                                       std::uint32_t* length) {
  CertContextData* d = DataOf(context);
  if (!d || !length) return FailWith(ERROR_INVALID_PARAMETER);
  std::scoped_lock lock(d->PropLock);
  auto put = [&](const void* src, std::uint32_t n) { return PutSized(src, n, data, length); };
  switch (propId) {
    case CERT_SHA1_HASH_PROP_ID: {
      unsigned char md[EVP_MAX_MD_SIZE];
      unsigned int n = 0;
      if (X509_digest(d->Cert.get(), EVP_sha1(), md, &n) != 1) return FailWith(NTE_BAD_HASH);
      return put(md, n);
    }
    case CERT_FRIENDLY_NAME_PROP_ID:
      if (!d->HasFriendlyName) return FailWith(static_cast<std::uint32_t>(CRYPT_E_NOT_FOUND));
      return put(d->FriendlyName.c_str(), static_cast<std::uint32_t>((d->FriendlyName.size() + 1) * 2));
    case CERT_KEY_PROV_INFO_PROP_ID: {
      if (!d->Key) return FailWith(static_cast<std::uint32_t>(CRYPT_E_NOT_FOUND));
      auto layout = [&](Arena& a) {
        auto* info = static_cast<CRYPT_KEY_PROV_INFO*>(a.Take(sizeof(CRYPT_KEY_PROV_INFO)));
        char16_t* name = a.Text16(d->Container);
        char16_t* prov = a.Text16(u"Microsoft Enhanced RSA and AES Cryptographic Provider");
        if (info) {
          info->pwszContainerName = name;
          info->pwszProvName = prov;
          info->dwProvType = PROV_RSA_AES;
          info->dwKeySpec = 1;
        }
      };
      return PutLayout(layout, data, length);
    }
    default: return FailWith(static_cast<std::uint32_t>(CRYPT_E_NOT_FOUND));
  }
}

BOOL CertSetFriendlyName(PCCERT_CONTEXT context, const std::u16string& name) {
  CertContextData* d = DataOf(context);
  if (!d) return FailWith(ERROR_INVALID_PARAMETER);
  std::scoped_lock lock(d->PropLock);
  d->FriendlyName = name;
  d->HasFriendlyName = true;
  return 1;
}

std::uint32_t CertGetNameStringW(PCCERT_CONTEXT context, std::uint32_t type, std::uint32_t flags, void*,
                                 WCHAR* name, std::uint32_t count) {
  std::u16string text;
  if (CertContextData* d = DataOf(context); d && type == CERT_NAME_SIMPLE_DISPLAY_TYPE) {
    X509* x = d->Cert.get();
    const ::X509_NAME* n = (flags & CERT_NAME_ISSUER_FLAG) ? X509_get_issuer_name(x) : X509_get_subject_name(x);
    for (int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName, NID_pkcs9_emailAddress}) {
      text = FirstByNid(n, nid);
      if (!text.empty()) break;
    }
    if (text.empty() && !(flags & CERT_NAME_ISSUER_FLAG)) text = FirstAltEmail(x);
  }
  const auto need = static_cast<std::uint32_t>(text.size() + 1);
  if (!name || count == 0) return need;
  const std::uint32_t n = std::min(need - 1, count - 1);
  std::memcpy(name, text.data(), n * 2);
  name[n] = 0;
  return n + 1;
}

CERT_EXTENSION* CertFindExtension(const char* objId, std::uint32_t count, CERT_EXTENSION* extensions) {
  if (!objId || !extensions) return nullptr;
  for (std::uint32_t i = 0; i < count; ++i)
    if (extensions[i].pszObjId && std::strcmp(extensions[i].pszObjId, objId) == 0) return &extensions[i];
  return nullptr;
}

std::uint32_t CertGetPublicKeyLength(std::uint32_t, const CERT_PUBLIC_KEY_INFO* key) {
  if (!key || !key->Algorithm.pszObjId) return 0;
  ASN1_OBJECT* obj = OBJ_txt2obj(key->Algorithm.pszObjId, 1);
  if (!obj) return 0;
  X509_PUBKEY* pub = X509_PUBKEY_new();
  int ptype = V_ASN1_UNDEF;
  void* pval = nullptr;
  ASN1_TYPE* params = nullptr;
  if (key->Algorithm.Parameters.cbData) {
    const unsigned char* p = key->Algorithm.Parameters.pbData;
    params = d2i_ASN1_TYPE(nullptr, &p, key->Algorithm.Parameters.cbData);
    if (params) {
      ptype = params->type;
      // The public key takes the parameter's value; the shell is freed below.
      pval = params->type == V_ASN1_NULL ? nullptr : params->value.ptr;
      if (pval) params->value.ptr = nullptr;
      params->type = V_ASN1_NULL;
    }
  }
  std::uint32_t bits = 0;
  unsigned char* keyCopy = static_cast<unsigned char*>(OPENSSL_memdup(key->PublicKey.pbData, key->PublicKey.cbData));
  if (pub && (keyCopy || key->PublicKey.cbData == 0) &&
      X509_PUBKEY_set0_param(pub, obj, ptype, pval, keyCopy, static_cast<int>(key->PublicKey.cbData)) == 1) {
    // Setting the fields does not decode the key: a DER round trip does.
    unsigned char* der = nullptr;
    const int n = i2d_X509_PUBKEY(pub, &der);
    const unsigned char* p = der;
    if (n > 0) {
      if (EVP_PKEY* k = d2i_PUBKEY(nullptr, &p, n)) {
        bits = static_cast<std::uint32_t>(EVP_PKEY_get_bits(k));
        EVP_PKEY_free(k);
      }
    }
    OPENSSL_free(der);
    ERR_clear_error();
  } else {
    ASN1_OBJECT_free(obj);
    OPENSSL_free(keyCopy);
  }
  ASN1_TYPE_free(params);
  X509_PUBKEY_free(pub);
  return bits;
}

BOOL CertGetEnhancedKeyUsage(PCCERT_CONTEXT context, std::uint32_t flags, CERT_ENHKEY_USAGE* usage,
                             std::uint32_t* length) {
  CertContextData* d = DataOf(context);
  if (!d || !length || flags) return FailWith(ERROR_INVALID_PARAMETER);
  auto* eku = static_cast<EXTENDED_KEY_USAGE*>(X509_get_ext_d2i(d->Cert.get(), NID_ext_key_usage, nullptr, nullptr));
  if (!eku) return FailWith(static_cast<std::uint32_t>(CRYPT_E_NOT_FOUND));
  std::vector<std::string> oids;
  for (int i = 0; i < sk_ASN1_OBJECT_num(eku); ++i) oids.push_back(OidText(sk_ASN1_OBJECT_value(eku, i)));
  EXTENDED_KEY_USAGE_free(eku);
  auto layout = [&](Arena& a) {
    auto* u = static_cast<CERT_ENHKEY_USAGE*>(a.Take(sizeof(CERT_ENHKEY_USAGE)));
    auto** list = static_cast<char**>(a.Take(sizeof(char*) * oids.size()));
    for (size_t i = 0; i < oids.size(); ++i) {
      char* t = a.Text(oids[i]);
      if (list) list[i] = t;
    }
    if (u) {
      u->cUsageIdentifier = static_cast<std::uint32_t>(oids.size());
      u->rgpszUsageIdentifier = list;
    }
  };
  return PutLayout(layout, usage, length);
}

BOOL CryptDecodeObject(std::uint32_t encoding, std::uintptr_t structType, const std::uint8_t* encoded,
                       std::uint32_t length, std::uint32_t flags, void* info, std::uint32_t* infoLength) {
  if (!(encoding & X509_ASN_ENCODING) || !encoded || !infoLength || flags) return FailWith(ERROR_INVALID_PARAMETER);
  const unsigned char* p = encoded;
  std::function<void(Arena&)> layout;
  ::X509_NAME* name = nullptr;
  GENERAL_NAMES* alt = nullptr;
  ASN1_OCTET_STRING* octets = nullptr;
  struct Cleanup {
    ::X509_NAME*& n;
    GENERAL_NAMES*& g;
    ASN1_OCTET_STRING*& o;
    ~Cleanup() {
      X509_NAME_free(n);
      GENERAL_NAMES_free(g);
      ASN1_OCTET_STRING_free(o);
    }
  } cleanup{name, alt, octets};
  switch (structType) {
    case X509_NAME:
      name = d2i_X509_NAME(nullptr, &p, length);
      if (!name) return FailWith(CRYPT_E_ASN1_BADTAG);
      layout = [&](Arena& a) { LayoutName(a, name); };
      break;
    case X509_ALTERNATE_NAME:
      alt = d2i_GENERAL_NAMES(nullptr, &p, length);
      if (!alt) return FailWith(CRYPT_E_ASN1_BADTAG);
      layout = [&](Arena& a) { LayoutAltNames(a, alt); };
      break;
    case X509_OCTET_STRING:
      octets = d2i_ASN1_OCTET_STRING(nullptr, &p, length);
      if (!octets) return FailWith(CRYPT_E_ASN1_BADTAG);
      layout = [&](Arena& a) {
        auto* blob = static_cast<CRYPT_DATA_BLOB*>(a.Take(sizeof(CRYPT_DATA_BLOB)));
        const auto n = static_cast<size_t>(ASN1_STRING_length(octets));
        std::uint8_t* b = a.Bytes(ASN1_STRING_get0_data(octets), n);
        if (blob) *blob = CRYPT_DATA_BLOB{static_cast<std::uint32_t>(n), b};
      };
      break;
    default: return FailWith(static_cast<std::uint32_t>(CRYPT_E_BAD_ENCODE));
  }
  return PutLayout(layout, info, infoLength);
}

x509_st* CertContextX509(PCCERT_CONTEXT context) {
  CertContextData* d = DataOf(context);
  return d ? d->Cert.get() : nullptr;
}

evp_pkey_st* CertContextPrivateKey(PCCERT_CONTEXT context) {
  CertContextData* d = DataOf(context);
  return d ? d->Key.get() : nullptr;
}

PCCERT_CONTEXT CertContextFromX509(x509_st* cert, stack_st_X509* chain) {
  if (!cert || X509_up_ref(cert) != 1) return nullptr;
  X509StackPtr copy(chain ? X509_chain_up_ref(chain) : nullptr);
  return MakeCertContext(X509Ptr(cert), nullptr, std::move(copy));
}

}  // namespace plat
