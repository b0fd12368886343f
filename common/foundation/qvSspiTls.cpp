#include "qvSspiTls.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "DateTime.h"
#include "SysError.h"
#include "TextTrim.h"
#include "qvTranslator.h"

namespace {

constexpr uint32_t kClientCredFlags = plat::SCH_CRED_NO_DEFAULT_CREDS | plat::SCH_CRED_MANUAL_CRED_VALIDATION;
constexpr uint32_t kClientContextFlags = 0xC11C;
constexpr uint32_t kServerContextFlags = 0x1811C;

constexpr const char* kPackageNames[] = {"Microsoft Unified Security Protocol Provider", "Microsoft SSL 3.0", "NTLM",
                                         "Negotiate"};

int64_t Remaining(TStream& AStream) { return AStream.Size() - AStream.Position(); }

std::string Rest(TStream& AStream) {
  const int64_t pos = AStream.Position();
  std::string s(static_cast<size_t>(std::max<int64_t>(Remaining(AStream), 0)), '\0');
  if (!s.empty()) AStream.ReadBuffer(s.data(), static_cast<int64_t>(s.size()));
  AStream.SetPosition(pos);
  return s;
}

std::string AllOf(TMemoryStream& AStream) {
  return std::string(AStream.Memory(), static_cast<size_t>(AStream.Size()));
}

bool IsFailure(int AStatus) { return AStatus < 0; }

// Bytes of an extra buffer, bounded by the input they point into.
std::string ExtraOf(const plat::SecBuffer& AExtra, const std::string& AInput) {
  if (AExtra.BufferType != plat::SECBUFFER_EXTRA || AExtra.cbBuffer == 0) return {};
  const size_t n = std::min<size_t>(AExtra.cbBuffer, AInput.size());
  return AInput.substr(AInput.size() - n);
}

}  // namespace

uint32_t TlsProtocolBits(TqvTlsFlags AFlags, bool AClient) {
  struct Bit {
    TqvTlsFlag Flag;
    uint32_t Client, Server;
  };
  static constexpr Bit kBits[] = {
      {tfUseSSL3, plat::SP_PROT_SSL3_CLIENT, plat::SP_PROT_SSL3_SERVER},
      {tfUseTLS, plat::SP_PROT_TLS1_CLIENT, plat::SP_PROT_TLS1_SERVER},
      {tfUseTLS11, plat::SP_PROT_TLS1_1_CLIENT, plat::SP_PROT_TLS1_1_SERVER},
      {tfUseTLS12, plat::SP_PROT_TLS1_2_CLIENT, plat::SP_PROT_TLS1_2_SERVER},
      {tfUseTLS13, plat::SP_PROT_TLS1_3_CLIENT, plat::SP_PROT_TLS1_3_SERVER},
  };
  uint32_t bits = 0;
  if ((AFlags & TlsFlag(tfUseSSL2)) && !(AFlags & TlsFlag(tfUseTLS12)))
    bits |= AClient ? plat::SP_PROT_SSL2_CLIENT : plat::SP_PROT_SSL2_SERVER;
  for (const Bit& b : kBits)
    if (AFlags & TlsFlag(b.Flag)) bits |= AClient ? b.Client : b.Server;
  return bits;
}

uint32_t CertificatePolicyChecks(TqvCertificateVerifyFlags AFlags) {
  uint32_t checks = 0;
  if (AFlags & CertVerifyFlag(cfIgnoreCommonNameInvalid)) checks |= plat::SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
  if (AFlags & CertVerifyFlag(cfIgnoreDateInvalid)) checks |= plat::SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
  if (AFlags & CertVerifyFlag(cfIgnoreUnknownAuthority)) checks |= plat::SECURITY_FLAG_IGNORE_UNKNOWN_CA;
  if (AFlags & CertVerifyFlag(cfIgnoreRevocation)) checks |= plat::SECURITY_FLAG_IGNORE_REVOCATION;
  if (AFlags & CertVerifyFlag(cfIgnoreWrongUsage)) checks |= plat::SECURITY_FLAG_IGNORE_WRONG_USAGE;
  return checks;
}

std::string DefaultTargetHost() {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", Now());
  return buf;
}

// --- TqvTlsSspi

TqvTlsSspi::TqvTlsSspi() {
  const plat::SecurityFunctionTableA& t = FunctionTable();
  uint32_t count = 0;
  plat::SecPkgInfoA* infos = nullptr;
  const int status = t.EnumerateSecurityPackagesA(&count, &infos);
  if (status != plat::SEC_E_OK) RaiseSspiError(status, qvSspiQueryPackageFailed);
  for (const char* wanted : kPackageNames) {
    for (uint32_t i = 0; i < count && FPackageIndex < 0; ++i)
      if (infos[i].Name && std::strcmp(infos[i].Name, wanted) == 0) {
        FPackageFound = wanted;
        FPackageIndex = static_cast<int>(i);
      }
    if (FPackageIndex >= 0) break;
  }
  (void)t.FreeContextBuffer(infos);
  if (FPackageIndex < 0) RaiseSspiError(qvSspiNoPackage);
}

TqvTlsSspi::~TqvTlsSspi() { FreeHandles(); }

std::string TqvTlsSspi::UsedPackage() const {
  const std::string p = plat::Trim(SecurityPackage);
  return p.empty() ? FPackageFound : p;
}

void TqvTlsSspi::FreeHandles() {
  if (!FHasContext && !FHasCredentials) return;
  const plat::SecurityFunctionTableA& t = FunctionTable();
  if (FHasContext) (void)t.DeleteSecurityContext(&FContext);
  if (FHasCredentials) (void)t.FreeCredentialsHandle(&FCredentials);
  FHasContext = FHasCredentials = false;
  plat::SecInvalidateHandle(&FContext);
  plat::SecInvalidateHandle(&FCredentials);
}

uint8_t TqvTlsSspi::AcquireCredentials(TqvCertificateList& ACertificates, bool AForce) {
  const plat::SecurityFunctionTableA& t = FunctionTable();
  if (FHasCredentials) {
    (void)t.FreeCredentialsHandle(&FCredentials);
    FHasCredentials = false;
  }
  if (ACertificates.Count() == 0 && !AForce) return qvTlsNoCertificate;
  std::vector<const plat::CERT_CONTEXT*> contexts;
  for (int i = 0; i < ACertificates.Count(); ++i) contexts.push_back(ACertificates.Items(i)->Context());
  plat::SCHANNEL_CRED cred;
  cred.cCreds = static_cast<uint32_t>(contexts.size());
  cred.paCred = contexts.empty() ? nullptr : contexts.data();
  cred.grbitEnabledProtocols = TlsProtocolBits(TLSFlags, IsClient());
  cred.dwFlags = IsClient() ? kClientCredFlags : 0;
  if (SendRootCertificate) cred.dwFlags |= plat::SCH_SEND_ROOT_CERT;
  if (UseStrongCryptoAlgorithms) cred.dwFlags |= plat::SCH_USE_STRONG_CRYPTO;
  const std::string package = UsedPackage();
  plat::TimeStamp expiry = 0;
  const int status = t.AcquireCredentialsHandleA(
      nullptr, package.c_str(), IsClient() ? plat::SECPKG_CRED_OUTBOUND : plat::SECPKG_CRED_INBOUND, nullptr, &cred,
      nullptr, nullptr, &FCredentials, &expiry);
  if (status != plat::SEC_E_OK) RaiseSspiError(status, qvSspiAcquireFailed);
  FHasCredentials = true;
  return qvTlsDone;
}

void TqvTlsSspi::Replace(TMemoryStream& AStream, const void* ABytes, size_t ACount) {
  AStream.Clear();
  if (ACount) AStream.WriteBuffer(ABytes, static_cast<int64_t>(ACount));
  AStream.SetPosition(0);
}

std::string TqvTlsSspi::TakeToken(plat::SecBuffer& ABuffer) {
  std::string token;
  if (ABuffer.pvBuffer && ABuffer.cbBuffer) token.assign(static_cast<const char*>(ABuffer.pvBuffer), ABuffer.cbBuffer);
  if (ABuffer.pvBuffer) (void)FunctionTable().FreeContextBuffer(ABuffer.pvBuffer);
  ABuffer.pvBuffer = nullptr;
  ABuffer.cbBuffer = 0;
  return token;
}

void TqvTlsSspi::PrependPending(TMemoryStream& AStream) {
  if (FPendingInput.empty()) return;
  std::string all = FPendingInput + Rest(AStream);
  FPendingInput.clear();
  Replace(AStream, all.data(), all.size());
}

std::string TqvTlsSspi::TakeFinalToken() {
  std::string t;
  t.swap(FFinalToken);
  return t;
}

void TqvTlsSspi::FetchPeerCertificate() {
  PCCERT_CONTEXT peer = nullptr;
  const int status = FunctionTable().QueryContextAttributesA(&FContext, plat::SECPKG_ATTR_REMOTE_CERT_CONTEXT, &peer);
  if (status != plat::SEC_E_OK || !peer) RaiseSspiError(status, qvSspiServerCredentials);
  try {
    FPeerCertificate = std::make_unique<TqvCertificate>(peer);
  } catch (...) {
    CertFreeCertificateContext(peer);
    throw;
  }
  CertFreeCertificateContext(peer);
}

const plat::SecPkgContext_StreamSizes& TqvTlsSspi::GetStreamSizes() {
  if (!FHaveSizes) {
    if (!FHasContext) RaiseSspiError(plat::SEC_E_INVALID_HANDLE, qvSspiQueryPackageFailed);
    const int status = FunctionTable().QueryContextAttributesA(&FContext, plat::SECPKG_ATTR_STREAM_SIZES, &FSizes);
    if (status != plat::SEC_E_OK) RaiseSspiError(status, qvSspiQueryPackageFailed);
    FHaveSizes = true;
  }
  return FSizes;
}

uint8_t TqvTlsSspi::Shutdown(TMemoryStream& AStream) {
  uint8_t result = qvTlsDone;
  if (FHasContext) {
    const plat::SecurityFunctionTableA& t = FunctionTable();
    uint32_t type = plat::SCHANNEL_SHUTDOWN;
    plat::SecBuffer control{sizeof type, plat::SECBUFFER_TOKEN, &type};
    plat::SecBufferDesc controlDesc{plat::SECBUFFER_VERSION, 1, &control};
    plat::SecBuffer out{0, plat::SECBUFFER_TOKEN, nullptr};
    plat::SecBufferDesc outDesc{plat::SECBUFFER_VERSION, 1, &out};
    try {
      int status = t.ApplyControlToken(&FContext, &controlDesc);
      if (status == plat::SEC_E_OK) {
        uint32_t attr = 0;
        plat::TimeStamp expiry = 0;
        status = IsClient() ? t.InitializeSecurityContextA(&FCredentials, &FContext, nullptr, kClientContextFlags, 0, 0,
                                                           nullptr, 0, &FContext, &outDesc, &attr, &expiry)
                            : t.AcceptSecurityContext(&FCredentials, &FContext, nullptr, kServerContextFlags, 0,
                                                      &FContext, &outDesc, &attr, &expiry);
      }
      const std::string token = TakeToken(out);
      if (!token.empty() && status >= 0) {
        Replace(AStream, token.data(), token.size());
        result = qvTlsShutdownToken;
      } else {
        result = CheckSspiStatus(status, status);
      }
    } catch (...) {
      (void)TakeToken(out);
      FreeHandles();
      FVerified = false;
      FFirstStep = true;
      throw;
    }
  }
  FreeHandles();
  FVerified = false;
  FFirstStep = true;
  FHaveSizes = false;
  return result;
}

uint8_t TqvTlsSspi::Encrypt(TStream& ASource, TStream& ADest, int64_t ACount) {
  const plat::SecPkgContext_StreamSizes& sizes = GetStreamSizes();
  const int64_t destStart = ADest.Position();
  const int64_t maxChunk = sizes.cbMaximumMessage;
  std::vector<char> work(sizes.cbHeader + static_cast<size_t>(std::min(ACount, maxChunk)) + sizes.cbTrailer);
  int64_t done = 0;
  uint8_t result = qvTlsDone;
  while (done < ACount) {
    const auto chunk = static_cast<uint32_t>(std::min(ACount - done, maxChunk));
    ASource.ReadBuffer(work.data() + sizes.cbHeader, chunk);
    plat::SecBuffer b[4] = {
        {sizes.cbHeader, plat::SECBUFFER_STREAM_HEADER, work.data()},
        {chunk, plat::SECBUFFER_DATA, work.data() + sizes.cbHeader},
        {sizes.cbTrailer, plat::SECBUFFER_STREAM_TRAILER, work.data() + sizes.cbHeader + chunk},
        {0, plat::SECBUFFER_EMPTY, nullptr},
    };
    plat::SecBufferDesc desc{plat::SECBUFFER_VERSION, 4, b};
    result = CheckSspiStatus(FunctionTable().EncryptMessage(&FContext, 0, &desc, 0), qvSspiNotSupported);
    const size_t total = size_t{b[0].cbBuffer} + b[1].cbBuffer + b[2].cbBuffer;
    if (total > work.size()) RaiseSspiError(plat::SEC_E_BUFFER_TOO_SMALL);
    ADest.WriteBuffer(work.data(), static_cast<int64_t>(total));
    done += chunk;
  }
  if (ASource.Position() >= ACount) ASource.Seek(-ACount, soFromCurrent);
  ADest.SetPosition(destStart);
  return result;
}

uint8_t TqvTlsSspi::Decrypt(TStream& ASource, TStream& ADest, TMemoryStream& ARemainder) {
  std::string input = Rest(ASource);
  size_t offset = 0;
  bool decrypted = false;
  uint8_t result = qvTlsDone;
  auto keepIncomplete = [&] {
    if (decrypted) {
      Replace(ARemainder, input.data() + offset, input.size() - offset);
      result = qvTlsPartlyDecrypted;
    } else {
      result = qvTlsIncomplete;
    }
  };
  for (;;) {
    const size_t left = input.size() - offset;
    if (left <= 5) {
      keepIncomplete();
      break;
    }
    plat::SecBuffer b[4] = {{static_cast<uint32_t>(left), plat::SECBUFFER_DATA, input.data() + offset}, {}, {}, {}};
    plat::SecBufferDesc desc{plat::SECBUFFER_VERSION, 4, b};
    result = CheckSspiStatus(FunctionTable().DecryptMessage(&FContext, &desc, 0, nullptr), qvSspiNotSupported);
    if (result == qvTlsIncomplete) {
      keepIncomplete();
      break;
    }
    if (result == qvTlsPeerClosed) {
      ARemainder.Clear();
      break;
    }
    size_t extra = 0;
    for (const plat::SecBuffer& x : b) {
      const char* p = static_cast<const char*>(x.pvBuffer);
      // Whatever the provider hands back must lie inside the input we gave it.
      const bool inside = p && p >= input.data() + offset && x.cbBuffer <= left &&
                          p + x.cbBuffer <= input.data() + input.size();
      if (x.BufferType == plat::SECBUFFER_DATA && inside && x.cbBuffer) {
        ADest.WriteBuffer(p, x.cbBuffer);
        decrypted = true;
      } else if (x.BufferType == plat::SECBUFFER_EXTRA && inside) {
        extra = std::min<size_t>(x.cbBuffer, left - 1);
      }
    }
    if (extra == 0) break;
    offset = input.size() - extra;
  }
  return result;
}

// --- Client

TqvTlsClientSspi::TqvTlsClientSspi() : TargetHost(DefaultTargetHost()) {}

uint8_t TqvTlsClientSspi::Handshake(TMemoryStream& AStream, TqvCertificateList& ACertificates, bool AForce) {
  const uint8_t result = Steps(AStream, ACertificates, AForce);
  if ((result == qvTlsDone || result == qvTlsDoneWithData) && !FVerified) VerifyServer();
  return result;
}

uint8_t TqvTlsClientSspi::Steps(TMemoryStream& AStream, TqvCertificateList& ACertificates, bool AForce) {
  const plat::SecurityFunctionTableA& t = FunctionTable();
  if (FLastStatus == plat::SEC_I_INCOMPLETE_CREDENTIALS &&
      AcquireCredentials(ACertificates, AForce) == qvTlsNoCertificate)
    return qvTlsNoCertificate;
  FLastStatus = plat::SEC_I_CONTINUE_NEEDED;
  uint32_t attr = 0;
  plat::TimeStamp expiry = 0;
  if (FFirstStep) {
    TqvCertificateList none(false);
    (void)AcquireCredentials(none, true);
    plat::SecBuffer out{0, plat::SECBUFFER_TOKEN, nullptr};
    plat::SecBufferDesc outDesc{plat::SECBUFFER_VERSION, 1, &out};
    const int status = t.InitializeSecurityContextA(&FCredentials, nullptr, TargetHost.c_str(), kClientContextFlags, 0,
                                                    0, nullptr, 0, &FContext, &outDesc, &attr, &expiry);
    const std::string token = TakeToken(out);
    if (status >= 0) FHasContext = true;
    (void)CheckSspiStatus(status, status);
    FFirstStep = false;
    FLastStatus = status;
    Replace(AStream, token.data(), token.size());
    return qvTlsTokenToSend;
  }
  PrependPending(AStream);
  bool passed = false;
  while (FLastStatus == plat::SEC_I_CONTINUE_NEEDED || FLastStatus == plat::SEC_I_INCOMPLETE_CREDENTIALS ||
         FLastStatus == plat::SEC_E_INCOMPLETE_MESSAGE) {
    if (Remaining(AStream) <= 0 || FLastStatus == plat::SEC_E_INCOMPLETE_MESSAGE) {
      if (passed) return qvTlsNeedMoreData;
      passed = true;
    }
    std::string input = Rest(AStream);
    plat::SecBuffer in[2] = {{static_cast<uint32_t>(input.size()), plat::SECBUFFER_TOKEN, input.data()},
                             {0, plat::SECBUFFER_EMPTY, nullptr}};
    plat::SecBufferDesc inDesc{plat::SECBUFFER_VERSION, 2, in};
    plat::SecBuffer out{0, plat::SECBUFFER_TOKEN, nullptr};
    plat::SecBufferDesc outDesc{plat::SECBUFFER_VERSION, 1, &out};
    const int status = t.InitializeSecurityContextA(&FCredentials, &FContext, TargetHost.c_str(), kClientContextFlags,
                                                    0, 0, &inDesc, 0, nullptr, &outDesc, &attr, &expiry);
    FLastStatus = status;
    const std::string token = TakeToken(out);
    const std::string extra = ExtraOf(in[1], input);
    if (IsFailure(status) && status != plat::SEC_E_INCOMPLETE_MESSAGE) {
      // The alert goes out before the error is raised, so the peer learns why.
      if (!token.empty() && (attr & plat::ISC_RET_EXTENDED_ERROR)) FFinalToken = token;
      RaiseSspiError(status, status);
    }
    if (status == plat::SEC_I_CONTINUE_NEEDED && !token.empty()) {
      FPendingInput = extra;
      Replace(AStream, token.data(), token.size());
      return qvTlsTokenToSend;
    }
    if (status == plat::SEC_E_INCOMPLETE_MESSAGE) return qvTlsNeedMoreData;
    if (status == plat::SEC_I_INCOMPLETE_CREDENTIALS) {
      if (AcquireCredentials(ACertificates, AForce) == qvTlsNoCertificate) return qvTlsNoCertificate;
      passed = false;
      continue;
    }
    if (status == plat::SEC_E_OK) {
      // A final token (TLS 1.3 Finished) is kept for the stream to send first.
      FFinalToken = token;
      Replace(AStream, extra.data(), extra.size());
      return extra.empty() ? qvTlsDone : qvTlsDoneWithData;
    }
    (void)CheckSspiStatus(status, status);
    Replace(AStream, extra.data(), extra.size());
  }
  return qvTlsNeedMoreData;
}

void TqvTlsSspi::VerifyPeerChain(uint32_t AAuthType, const std::string& AHost, uint32_t AChecks) {
  PCCERT_CONTEXT peer = FPeerCertificate->Context();
  plat::CERT_CHAIN_PARA para;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!CertGetCertificateChain(nullptr, peer, nullptr, nullptr, &para, 0, nullptr, &chain))
    RaiseSspiError(static_cast<int>(plat::GetLastError()), qvSspiServerCredentials);
  const std::u16string host = Utf8ToWideString(AHost);
  plat::SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl;
  ssl.dwAuthType = AAuthType;
  ssl.fdwChecks = AChecks;
  ssl.pwszServerName = AAuthType == plat::AUTHTYPE_SERVER ? host.c_str() : nullptr;
  plat::CERT_CHAIN_POLICY_PARA policy;
  policy.pvExtraPolicyPara = &ssl;
  plat::CERT_CHAIN_POLICY_STATUS status;
  const bool ran = CertVerifyCertificateChainPolicy(plat::CERT_CHAIN_POLICY_SSL, chain, &policy, &status) != 0;
  const uint32_t error = plat::GetLastError();
  CertFreeCertificateChain(chain);
  if (!ran) RaiseSspiError(static_cast<int>(error), qvSspiServerCredentials);
  if (status.dwError != 0) {
    FLastStatus = static_cast<int>(status.dwError);
    FVerified = false;
  } else {
    FVerified = true;
  }
}

void TqvTlsClientSspi::VerifyServer() {
  FetchPeerCertificate();
  VerifyPeerChain(plat::AUTHTYPE_SERVER, TargetHost, CertificatePolicyChecks(CertificateFlags));
}

uint8_t TqvTlsClientSspi::Shutdown(TMemoryStream& AStream) {
  const uint8_t r = TqvTlsSspi::Shutdown(AStream);
  FLastStatus = 0;
  return r;
}

// --- Server

void TqvTlsServerSspi::VerifyClient() {
  PCCERT_CONTEXT peer = nullptr;
  const int status = FunctionTable().QueryContextAttributesA(&FContext, plat::SECPKG_ATTR_REMOTE_CERT_CONTEXT, &peer);
  if (status != plat::SEC_E_OK || !peer) {
    FVerified = false;
    FLastStatus = plat::SEC_E_NO_CREDENTIALS;
    return;
  }
  CertFreeCertificateContext(peer);
  FetchPeerCertificate();
  VerifyPeerChain(plat::AUTHTYPE_CLIENT, {}, 0);
}

uint8_t TqvTlsServerSspi::Handshake(TMemoryStream& AStream, TqvCertificateList& ACertificates, bool AForce) {
  const plat::SecurityFunctionTableA& t = FunctionTable();
  if (FFirstStep && !FHasContext && AcquireCredentials(ACertificates, AForce) == qvTlsNoCertificate)
    return qvTlsNoCertificate;
  PrependPending(AStream);
  std::string input = AllOf(AStream);
  plat::SecBuffer in[2] = {{static_cast<uint32_t>(input.size()), plat::SECBUFFER_TOKEN, input.data()},
                           {0, plat::SECBUFFER_EMPTY, nullptr}};
  plat::SecBufferDesc inDesc{plat::SECBUFFER_VERSION, 2, in};
  plat::SecBuffer out{0, plat::SECBUFFER_TOKEN, nullptr};
  plat::SecBufferDesc outDesc{plat::SECBUFFER_VERSION, 1, &out};
  uint32_t flags = kServerContextFlags;
  if (RequireClientCertificate) flags |= plat::ASC_REQ_MUTUAL_AUTH;
  uint32_t attr = 0;
  plat::TimeStamp expiry = 0;
  const int status = t.AcceptSecurityContext(&FCredentials, FHasContext ? &FContext : nullptr, &inDesc, flags, 0,
                                             &FContext, &outDesc, &attr, &expiry);
  FLastStatus = status;
  std::string token = TakeToken(out);
  if (status == plat::SEC_E_INCOMPLETE_MESSAGE) return qvTlsNeedMoreData;
  if (IsFailure(status)) {
    if (!token.empty() && (attr & plat::ASC_RET_EXTENDED_ERROR)) FFinalToken = token;
    RaiseSspiError(status, status);
  }
  FHasContext = true;
  const uint8_t r = CheckSspiStatus(status, status);
  if (status == plat::SEC_I_COMPLETE_NEEDED) (void)t.CompleteAuthToken(&FContext, &outDesc);
  FFirstStep = false;
  const std::string extra = ExtraOf(in[1], input);
  if (r == qvTlsContinue) {
    FPendingInput = extra;
    Replace(AStream, token.data(), token.size());
    return qvTlsTokenToSend;
  }
  if (RequireClientCertificate)
    VerifyClient();
  else
    FVerified = true;
  if (!extra.empty()) {
    // Application data behind the client's last handshake record.
    FFinalToken = token;
    Replace(AStream, extra.data(), extra.size());
    return qvTlsDoneWithData;
  }
  Replace(AStream, token.data(), token.size());
  return qvTlsDone;
}
