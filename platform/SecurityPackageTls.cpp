// The TLS package: OpenSSL over memory BIOs, with the provider's stream
// semantics. Handshake steps take whole records only (a partial record is
// SEC_E_INCOMPLETE_MESSAGE, or SECBUFFER_EXTRA once earlier records were
// used), bytes behind the last handshake record come back as extra, one
// EncryptMessage makes one record and one DecryptMessage opens one record.
// Every record header from the peer is checked before its bytes are used.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstring>

#include "CryptoApiInternal.h"
#include "PlatformLimits.h"
#include "SecurityPackage.h"

namespace plat {
namespace {

constexpr std::uint32_t kRecordHeader = 5;
constexpr std::uint32_t kMaxPlain = 16384;
static_assert(kMaxTlsRecordBody > kMaxPlain, "a full record's ciphertext is larger than its text");
constexpr std::uint32_t kTrailerRoom = 2048;

struct SslCtxFree {
  void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
};
struct SslFree {
  void operator()(SSL* p) const { SSL_free(p); }
};

// Length of the whole record at p, 0 when the header is not complete yet,
// -1 when the bytes are not a TLS record.
long RecordLength(const std::uint8_t* p, size_t n) {
  if (n >= 1 && (p[0] < 20 || p[0] > 24)) return -1;
  if (n >= 2 && p[1] != 3) return -1;
  if (n < kRecordHeader) return 0;
  const std::uint32_t body = (static_cast<std::uint32_t>(p[3]) << 8) | p[4];
  if (body == 0 || body > kMaxTlsRecordBody) return -1;
  return static_cast<long>(kRecordHeader + body);
}

int VersionOf(std::uint32_t bit) {
  switch (bit) {
    case SP_PROT_SSL3_CLIENT: case SP_PROT_SSL3_SERVER: return SSL3_VERSION;
    case SP_PROT_TLS1_CLIENT: case SP_PROT_TLS1_SERVER: return TLS1_VERSION;
    case SP_PROT_TLS1_1_CLIENT: case SP_PROT_TLS1_1_SERVER: return TLS1_1_VERSION;
    case SP_PROT_TLS1_2_CLIENT: case SP_PROT_TLS1_2_SERVER: return TLS1_2_VERSION;
    case SP_PROT_TLS1_3_CLIENT: case SP_PROT_TLS1_3_SERVER: return TLS1_3_VERSION;
    default: return 0;
  }
}

std::uint32_t ProtocolBit(int version, bool client) {
  switch (version) {
    case SSL3_VERSION: return client ? SP_PROT_SSL3_CLIENT : SP_PROT_SSL3_SERVER;
    case TLS1_VERSION: return client ? SP_PROT_TLS1_CLIENT : SP_PROT_TLS1_SERVER;
    case TLS1_1_VERSION: return client ? SP_PROT_TLS1_1_CLIENT : SP_PROT_TLS1_1_SERVER;
    case TLS1_2_VERSION: return client ? SP_PROT_TLS1_2_CLIENT : SP_PROT_TLS1_2_SERVER;
    case TLS1_3_VERSION: return client ? SP_PROT_TLS1_3_CLIENT : SP_PROT_TLS1_3_SERVER;
    default: return 0;
  }
}

SECURITY_STATUS VerifyStatus(long result) {
  switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID: return SEC_E_CERT_EXPIRED;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH: return SEC_E_WRONG_PRINCIPAL;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED: return SEC_E_UNTRUSTED_ROOT;
    default: return SEC_E_CERT_UNKNOWN;
  }
}

// What a failed handshake means to the caller.
SECURITY_STATUS HandshakeFailure(SSL* ssl) {
  const unsigned long e = ERR_peek_last_error();
  ERR_clear_error();
  if (ERR_GET_LIB(e) != ERR_LIB_SSL) return SEC_E_INTERNAL_ERROR;
  switch (ERR_GET_REASON(e)) {
    case SSL_R_CERTIFICATE_VERIFY_FAILED: return VerifyStatus(SSL_get_verify_result(ssl));
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_NO_PROTOCOLS_AVAILABLE:
    case SSL_R_WRONG_VERSION_NUMBER:
    case SSL_R_NO_SHARED_CIPHER:
    case SSL_R_NO_CIPHERS_AVAILABLE:
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
    case SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE:
    case SSL_R_TLSV1_ALERT_INSUFFICIENT_SECURITY:
    case SSL_R_UNSUPPORTED_SSL_VERSION:
    case SSL_R_VERSION_TOO_LOW:
    case SSL_R_VERSION_TOO_HIGH: return SEC_E_ALGORITHM_MISMATCH;
    case SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE: return SEC_E_NO_CREDENTIALS;
    case SSL_R_SSLV3_ALERT_BAD_CERTIFICATE:
    case SSL_R_SSLV3_ALERT_CERTIFICATE_UNKNOWN:
    case SSL_R_TLSV1_ALERT_UNKNOWN_CA:
    case SSL_R_SSLV3_ALERT_CERTIFICATE_EXPIRED: return SEC_E_CERT_UNKNOWN;
    default: return SEC_E_ILLEGAL_MESSAGE;
  }
}

class TlsCredentials : public SecurityCredentials {
 public:
  std::unique_ptr<SSL_CTX, SslCtxFree> Ctx;
  bool Client = true;
};

// The protocol window the request allows inside the machine's policy; false
// when nothing is left.
bool ApplyProtocols(SSL_CTX* ctx, std::uint32_t bits, bool client) {
  // What the machine's configuration already demands stays the floor: OpenSSL 3
  // refuses TLS 1.0/1.1 at security level 1 and above.
  int floor = SSL_CTX_get_min_proto_version(ctx);
  if (SSL_CTX_get_security_level(ctx) >= 1 && floor < TLS1_2_VERSION) floor = TLS1_2_VERSION;
  int ceiling = SSL_CTX_get_max_proto_version(ctx);
  if (ceiling == 0) ceiling = TLS1_3_VERSION;
  int lo = 0;
  int hi = 0;
  if (bits == 0) {
    lo = floor;
    hi = ceiling;
  } else {
    for (int b = 0; b < 32; ++b) {
      const std::uint32_t bit = 1u << b;
      if (!(bits & bit)) continue;
      const bool isClientBit = (bit & 0xAAAAAAAAu) != 0;
      if (isClientBit != client) continue;
      const int v = VersionOf(bit);
      if (v == 0) continue;  // SSL 2 does not exist here
      if (lo == 0 || v < lo) lo = v;
      if (v > hi) hi = v;
    }
    if (hi == 0) return false;
    if (lo < floor) lo = floor;
    if (hi > ceiling) hi = ceiling;
  }
  if (lo == 0 || lo > hi) return false;
  return SSL_CTX_set_min_proto_version(ctx, lo) == 1 && SSL_CTX_set_max_proto_version(ctx, hi) == 1;
}

int AcceptAnyClient(int, X509_STORE_CTX*) { return 1; }

class TlsContext : public SecurityContext {
 public:
  TlsContext(std::shared_ptr<SecurityCredentials> creds, bool client)
      : FCreds(std::move(creds)), FClient(client) {
    auto& c = static_cast<TlsCredentials&>(*FCreds);
    FSsl.reset(SSL_new(c.Ctx.get()));
    if (!FSsl) return;
    FIn = BIO_new(BIO_s_mem());
    FOut = BIO_new(BIO_s_mem());
    if (!FIn || !FOut) {
      BIO_free(FIn);
      BIO_free(FOut);
      FSsl.reset();
      return;
    }
    BIO_set_mem_eof_return(FIn, -1);
    BIO_set_mem_eof_return(FOut, -1);
    SSL_set_bio(FSsl.get(), FIn, FOut);
    if (client) SSL_set_connect_state(FSsl.get());
    else SSL_set_accept_state(FSsl.get());
  }

  [[nodiscard]] bool Valid() const { return FSsl != nullptr; }

  SECURITY_STATUS Step(ContextStep& step) override {
    step.ContextAttributes = FClient ? (ISC_REQ_STREAM | ISC_REQ_CONFIDENTIALITY | ISC_REQ_REPLAY_DETECT |
                                        ISC_REQ_SEQUENCE_DETECT | ISC_REQ_ALLOCATE_MEMORY)
                                     : (ASC_REQ_STREAM | ISC_REQ_CONFIDENTIALITY | ISC_REQ_REPLAY_DETECT |
                                        ISC_REQ_SEQUENCE_DETECT | ASC_REQ_ALLOCATE_MEMORY);
    if (FShutdownPending) return ShutdownStep(step);
    if (FFirst) {
      FFirst = false;
      if (FClient) {
        const std::string host(step.TargetName);
        // Server names only; IP literals and blank names carry no SNI.
        if (host.find_first_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ") != std::string::npos &&
            host.find(':') == std::string::npos)
          SSL_set_tlsext_host_name(FSsl.get(), host.c_str());
        if (SSL_get_verify_mode(FSsl.get()) & SSL_VERIFY_PEER) SSL_set1_host(FSsl.get(), host.c_str());
      } else if (step.RequestFlags & ASC_REQ_MUTUAL_AUTH) {
        SSL_set_verify(FSsl.get(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, &AcceptAnyClient);
      }
    }
    if (SSL_is_init_finished(FSsl.get())) return SEC_E_OK;

    // Feed complete records only; the caller resubmits what we do not take.
    const std::uint8_t* p = step.InputToken.data();
    size_t left = step.InputToken.size();
    size_t fed = 0;
    while (left > 0) {
      const long len = RecordLength(p + fed, left);
      if (len < 0) return SEC_E_ILLEGAL_MESSAGE;
      if (len == 0 || static_cast<size_t>(len) > left) break;
      fed += static_cast<size_t>(len);
      left -= static_cast<size_t>(len);
    }
    if (fed == 0 && !(FClient && step.InputToken.empty() && !FStarted)) {
      if (step.InputToken.empty()) return SEC_E_INCOMPLETE_MESSAGE;
      const long len = RecordLength(p, left);
      step.MissingBytes = len > 0 ? static_cast<std::uint32_t>(static_cast<size_t>(len) - left) : 0;
      return SEC_E_INCOMPLETE_MESSAGE;
    }
    FStarted = true;
    if (fed && BIO_write(FIn, p, static_cast<int>(fed)) != static_cast<int>(fed)) return SEC_E_INSUFFICIENT_MEMORY;
    ERR_clear_error();
    const int r = SSL_do_handshake(FSsl.get());
    TakeOutput(step.OutputToken);
    const auto unread = static_cast<std::uint32_t>(BIO_ctrl_pending(FIn));
    if (r == 1) {
      step.ExtraBytes = unread + static_cast<std::uint32_t>(left);
      (void)BIO_reset(FIn);
      return SEC_E_OK;
    }
    const int err = SSL_get_error(FSsl.get(), r);
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
      step.ExtraBytes = unread + static_cast<std::uint32_t>(left);
      (void)BIO_reset(FIn);
      return SEC_I_CONTINUE_NEEDED;
    }
    const SECURITY_STATUS s = HandshakeFailure(FSsl.get());
    if (!step.OutputToken.empty()) step.ContextAttributes |= FClient ? ISC_RET_EXTENDED_ERROR : ASC_RET_EXTENDED_ERROR;
    return s;
  }

  SECURITY_STATUS ApplyControlToken(std::span<const std::uint8_t> token) override {
    std::uint32_t type = 0;
    if (token.size() < sizeof type) return SEC_E_INVALID_TOKEN;
    std::memcpy(&type, token.data(), sizeof type);
    if (type != SCHANNEL_SHUTDOWN) return SEC_E_UNSUPPORTED_FUNCTION;
    FShutdownPending = true;
    return SEC_E_OK;
  }

  SECURITY_STATUS QueryAttribute(std::uint32_t attribute, void* buffer) override {
    switch (attribute) {
      case SECPKG_ATTR_STREAM_SIZES: {
        SecPkgContext_StreamSizes s;
        s.cbHeader = kRecordHeader;
        s.cbTrailer = kTrailerRoom;
        s.cbMaximumMessage = kMaxPlain;
        s.cBuffers = 4;
        s.cbBlockSize = 16;
        std::memcpy(buffer, &s, sizeof s);
        return SEC_E_OK;
      }
      case SECPKG_ATTR_REMOTE_CERT_CONTEXT: {
        X509* peer = SSL_get0_peer_certificate(FSsl.get());
        if (!peer) return SEC_E_NO_CREDENTIALS;
        PCCERT_CONTEXT c = CertContextFromX509(peer, SSL_get_peer_cert_chain(FSsl.get()));
        if (!c) return SEC_E_INSUFFICIENT_MEMORY;
        std::memcpy(buffer, &c, sizeof c);
        return SEC_E_OK;
      }
      case SECPKG_ATTR_CONNECTION_INFO: {
        SecPkgContext_ConnectionInfo info;
        info.dwProtocol = ProtocolBit(SSL_version(FSsl.get()), FClient);
        int bits = 0;
        SSL_CIPHER_get_bits(SSL_get_current_cipher(FSsl.get()), &bits);
        info.dwCipherStrength = static_cast<std::uint32_t>(bits);
        std::memcpy(buffer, &info, sizeof info);
        return SEC_E_OK;
      }
      default: return SEC_E_UNSUPPORTED_FUNCTION;
    }
  }

  // [header, data, trailer, empty]: one record over the three, contiguous.
  SECURITY_STATUS Encrypt(SecBufferDesc* m) override {
    SecBuffer* header = Buffer(m, SECBUFFER_STREAM_HEADER);
    SecBuffer* data = Buffer(m, SECBUFFER_DATA);
    SecBuffer* trailer = Buffer(m, SECBUFFER_STREAM_TRAILER);
    if (!header || !data || !trailer || !header->pvBuffer || (data->cbBuffer && !data->pvBuffer))
      return SEC_E_INVALID_TOKEN;
    if (!SSL_is_init_finished(FSsl.get())) return SEC_E_INVALID_HANDLE;
    if (data->cbBuffer > kMaxPlain) return SEC_E_BUFFER_TOO_SMALL;
    auto* base = static_cast<std::uint8_t*>(header->pvBuffer);
    if (static_cast<std::uint8_t*>(data->pvBuffer) != base + header->cbBuffer) return SEC_E_INVALID_TOKEN;
    const size_t room = size_t{header->cbBuffer} + data->cbBuffer + trailer->cbBuffer;
    if (data->cbBuffer == 0) {
      trailer->cbBuffer = 0;
      header->cbBuffer = 0;
      return SEC_E_OK;
    }
    ERR_clear_error();
    if (SSL_write(FSsl.get(), data->pvBuffer, static_cast<int>(data->cbBuffer)) != static_cast<int>(data->cbBuffer)) {
      ERR_clear_error();
      return SEC_E_ENCRYPT_FAILURE;
    }
    std::vector<std::uint8_t> out;
    TakeOutput(out);
    if (out.size() > room || out.size() < size_t{header->cbBuffer} + data->cbBuffer) return SEC_E_BUFFER_TOO_SMALL;
    std::memcpy(base, out.data(), out.size());
    trailer->cbBuffer = static_cast<std::uint32_t>(out.size() - header->cbBuffer - data->cbBuffer);
    return SEC_E_OK;
  }

  // [data = ciphertext, empty x3] -> [header, data = plaintext, trailer, extra].
  SECURITY_STATUS Decrypt(SecBufferDesc* m) override {
    if (m->cBuffers < 4) return SEC_E_INVALID_TOKEN;
    SecBuffer* b = m->pBuffers;
    if (b[0].BufferType != SECBUFFER_DATA || (b[0].cbBuffer && !b[0].pvBuffer)) return SEC_E_INVALID_TOKEN;
    auto* p = static_cast<std::uint8_t*>(b[0].pvBuffer);
    const std::uint32_t n = b[0].cbBuffer;
    const long len = RecordLength(p, n);
    if (len < 0) return SEC_E_ILLEGAL_MESSAGE;
    if (len == 0 || static_cast<std::uint32_t>(len) > n) {
      b[1].BufferType = SECBUFFER_MISSING;
      b[1].cbBuffer = len > 0 ? static_cast<std::uint32_t>(len) - n : kRecordHeader - n;
      return SEC_E_INCOMPLETE_MESSAGE;
    }
    const auto recLen = static_cast<std::uint32_t>(len);
    if (BIO_write(FIn, p, static_cast<int>(recLen)) != static_cast<int>(recLen)) return SEC_E_INSUFFICIENT_MEMORY;
    std::vector<std::uint8_t> plain;
    SECURITY_STATUS status = SEC_E_OK;
    std::uint8_t chunk[kMaxPlain];
    for (;;) {
      ERR_clear_error();
      const int r = SSL_read(FSsl.get(), chunk, sizeof chunk);
      if (r > 0) {
        plain.insert(plain.end(), chunk, chunk + r);
        continue;
      }
      const int err = SSL_get_error(FSsl.get(), r);
      if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) break;
      if (err == SSL_ERROR_ZERO_RETURN) {
        status = SEC_I_CONTEXT_EXPIRED;
        break;
      }
      ERR_clear_error();
      (void)BIO_reset(FIn);
      return SEC_E_DECRYPT_FAILURE;
    }
    (void)BIO_reset(FIn);
    // Plain text is never longer than its record, so it fits in place.
    if (plain.size() > recLen - kRecordHeader) return SEC_E_DECRYPT_FAILURE;
    if (!plain.empty()) std::memcpy(p + kRecordHeader, plain.data(), plain.size());
    b[0] = SecBuffer{kRecordHeader, SECBUFFER_STREAM_HEADER, p};
    b[1] = SecBuffer{static_cast<std::uint32_t>(plain.size()), SECBUFFER_DATA, p + kRecordHeader};
    b[2] = SecBuffer{static_cast<std::uint32_t>(recLen - kRecordHeader - plain.size()), SECBUFFER_STREAM_TRAILER,
                     p + kRecordHeader + plain.size()};
    if (n > recLen) b[3] = SecBuffer{n - recLen, SECBUFFER_EXTRA, p + recLen};
    else b[3] = SecBuffer{};
    return status;
  }

 private:
  static SecBuffer* Buffer(SecBufferDesc* m, std::uint32_t type) {
    for (std::uint32_t i = 0; i < m->cBuffers; ++i)
      if (m->pBuffers[i].BufferType == type) return &m->pBuffers[i];
    return nullptr;
  }

  void TakeOutput(std::vector<std::uint8_t>& out) {
    const size_t pending = BIO_ctrl_pending(FOut);
    if (!pending) return;
    const size_t at = out.size();
    out.resize(at + pending);
    const int r = BIO_read(FOut, out.data() + at, static_cast<int>(pending));
    out.resize(at + static_cast<size_t>(r > 0 ? r : 0));
  }

  SECURITY_STATUS ShutdownStep(ContextStep& step) {
    FShutdownPending = false;
    if (FClosed) return SEC_E_OK;
    FClosed = true;
    ERR_clear_error();
    // Quiet: a peer that is gone must not turn our close into an error.
    if (SSL_is_init_finished(FSsl.get())) (void)SSL_shutdown(FSsl.get());
    ERR_clear_error();
    TakeOutput(step.OutputToken);
    return SEC_E_OK;
  }

  std::shared_ptr<SecurityCredentials> FCreds;
  std::unique_ptr<SSL, SslFree> FSsl;
  BIO* FIn = nullptr;   // owned by FSsl
  BIO* FOut = nullptr;  // owned by FSsl
  bool FClient;
  bool FFirst = true;
  bool FStarted = false;
  bool FShutdownPending = false;
  bool FClosed = false;
};

class TlsPackage : public SecurityPackage {
 public:
  TlsPackage() {
    FInfo.Name = UNISP_NAME_A;
    FInfo.Comment = "Schannel Security Package";
    FInfo.Capabilities = 0x107B3;
    FInfo.RpcId = 14;
    FInfo.MaxToken = 24576;
  }

  const SecurityPackageInfo& Info() const override { return FInfo; }

  SECURITY_STATUS AcquireCredentials(const CredentialRequest& request,
                                     std::shared_ptr<SecurityCredentials>& credentials) override {
    const bool client = request.Direction == CredentialDirection::Outbound;
    SCHANNEL_CRED cred;
    if (request.AuthData) std::memcpy(&cred, request.AuthData, sizeof cred);
    if (cred.dwVersion != SCHANNEL_CRED_VERSION) return SEC_E_UNKNOWN_CREDENTIALS;
    auto c = std::make_shared<TlsCredentials>();
    c->Client = client;
    c->Ctx.reset(SSL_CTX_new(client ? TLS_client_method() : TLS_server_method()));
    if (!c->Ctx) return SEC_E_INTERNAL_ERROR;
    SSL_CTX* ctx = c->Ctx.get();
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE);
    if (!ApplyProtocols(ctx, cred.grbitEnabledProtocols, client)) return SEC_E_ALGORITHM_MISMATCH;

    PCCERT_CONTEXT own = nullptr;
    for (std::uint32_t i = 0; cred.paCred && i < cred.cCreds; ++i)
      if (cred.paCred[i] && CertContextPrivateKey(cred.paCred[i])) {
        own = cred.paCred[i];
        break;
      }
    if (cred.cCreds && !own) return SEC_E_NO_CREDENTIALS;  // a certificate without its key
    if (own) {
      if (SSL_CTX_use_certificate(ctx, CertContextX509(own)) != 1 ||
          SSL_CTX_use_PrivateKey(ctx, CertContextPrivateKey(own)) != 1) {
        ERR_clear_error();
        return SEC_E_UNKNOWN_CREDENTIALS;
      }
      if (STACK_OF(X509)* chain = own->Data->Chain.get()) {
        for (int i = 0; i < sk_X509_num(chain); ++i) {
          X509* x = sk_X509_value(chain, i);
          const bool selfSigned = X509_check_issued(x, x) == X509_V_OK;
          if (selfSigned && !(cred.dwFlags & SCH_SEND_ROOT_CERT)) continue;
          SSL_CTX_add1_chain_cert(ctx, x);
        }
      }
    } else if (!client) {
      return SEC_E_NO_CREDENTIALS;
    }
    if (client && !(cred.dwFlags & SCH_CRED_MANUAL_CRED_VALIDATION)) {
      // Automatic validation: the chain and the target name are checked in the handshake.
      if (X509_STORE* trust = CertOpenTrustX509Store()) SSL_CTX_set_cert_store(ctx, trust);
      SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    }
    if (cred.dwFlags & SCH_USE_STRONG_CRYPTO) SSL_CTX_set_security_level(ctx, std::max(SSL_CTX_get_security_level(ctx), 2));
    credentials = std::move(c);
    return SEC_E_OK;
  }

  SECURITY_STATUS CreateContext(const std::shared_ptr<SecurityCredentials>& credentials,
                                CredentialDirection direction, std::unique_ptr<SecurityContext>& context) override {
    auto* c = dynamic_cast<TlsCredentials*>(credentials.get());
    if (!c) return SEC_E_INVALID_HANDLE;
    const bool client = direction == CredentialDirection::Outbound;
    if (c->Client != client) return SEC_E_UNKNOWN_CREDENTIALS;
    auto made = std::make_unique<TlsContext>(credentials, client);
    if (!made->Valid()) return SEC_E_INSUFFICIENT_MEMORY;
    context = std::move(made);
    return SEC_E_OK;
  }

 private:
  SecurityPackageInfo FInfo;
};

}  // namespace

std::unique_ptr<SecurityPackage> CreateTlsSecurityPackage() { return std::make_unique<TlsPackage>(); }

}  // namespace plat
