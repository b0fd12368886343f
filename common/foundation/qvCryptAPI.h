// The library's one way to the platform's cryptography: the CryptoAPI calls by
// their platform names (hashes, RSA keys and signatures, certificate contexts,
// decoding, chains), bound to the platform layer. Nothing is loaded at run
// time here, so the first call never fails for want of a library;
// LoadCryptLibraries stays for callers that load up front. All calls are
// thread-safe; failures set the thread's last error and are turned into
// EqvCryptError by RaiseCryptError (qvCryptUtils.h).
#pragma once

#include "CryptoApi.h"

using plat::ALG_ID;
using plat::BOOL;
using plat::HCERTSTORE;
using plat::HCRYPTHASH;
using plat::HCRYPTKEY;
using plat::HCRYPTPROV;
using plat::PCCERT_CHAIN_CONTEXT;
using plat::PCCERT_CONTEXT;

using plat::CertAddCertificateContextToStore;
using plat::CertCloseStore;
using plat::CertCreateCertificateContext;
using plat::CertDuplicateCertificateContext;
using plat::CertEnumCertificatesInStore;
using plat::CertFindCertificateInStore;
using plat::CertFindExtension;
using plat::CertFreeCertificateChain;
using plat::CertFreeCertificateContext;
using plat::CertGetCertificateChain;
using plat::CertGetCertificateContextProperty;
using plat::CertGetEnhancedKeyUsage;
using plat::CertGetNameStringW;
using plat::CertGetPublicKeyLength;
using plat::CertOpenStore;
using plat::CertOpenSystemStoreA;
using plat::CertVerifyCertificateChainPolicy;
using plat::CryptAcquireContextA;
using plat::CryptCreateHash;
using plat::CryptDecodeObject;
using plat::CryptDecodeObjectEx;
using plat::CryptDestroyHash;
using plat::CryptDestroyKey;
using plat::CryptEncodeObjectEx;
using plat::CryptExportKey;
using plat::CryptGenKey;
using plat::CryptGetKeyParam;
using plat::CryptGetUserKey;
using plat::CryptImportKey;
using plat::CryptImportPublicKeyInfoEx;
using plat::CryptSignHashA;
using plat::CryptVerifySignatureA;
using plat::CryptFindOIDInfo;
using plat::CryptGetHashParam;
using plat::CryptHashData;
using plat::CryptReleaseContext;
using plat::CryptStringToBinaryA;
using plat::PFXImportCertStore;

// Idempotent; true once the crypto library is ready.
bool LoadCryptLibraries();
[[nodiscard]] bool CryptLibrariesLoaded();
