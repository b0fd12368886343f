// Test certificates made at run time with OpenSSL: a CA, certificates it signs
// (server for localhost/127.0.0.1, expired, wrong host) and one from a CA
// nobody trusts, written as PEM (certificate + key), DER and PKCS#12.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "CryptoApi.h"
#include "TestSupport.h"

namespace tlstest {

struct Issued {
  X509* Cert = nullptr;
  EVP_PKEY* Key = nullptr;
};

struct CertRequest {
  std::string CommonName;
  std::vector<std::string> AltNames;  // "DNS:x", "IP:1.2.3.4", "email:a@b"
  long NotBeforeDays = -1;
  long NotAfterDays = 365;
  bool IsCa = false;
  std::string ExtKeyUsage = "serverAuth";  // "" for none
  std::string Serial = std::string("\x01\x02\x03", 3);
  std::string Email;  // subject emailAddress
};

inline EVP_PKEY* NewKey() { return EVP_RSA_gen(2048); }

inline void AddExt(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (ext) {
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
  }
}

// Signed by issuer (self-signed when issuer is null).
inline Issued Make(const CertRequest& req, const Issued* issuer) {
  Issued out;
  out.Key = NewKey();
  out.Cert = X509_new();
  X509_set_version(out.Cert, 2);
  BIGNUM* bn = BN_bin2bn(reinterpret_cast<const unsigned char*>(req.Serial.data()), static_cast<int>(req.Serial.size()), nullptr);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(out.Cert));
  BN_free(bn);
  X509_gmtime_adj(X509_getm_notBefore(out.Cert), req.NotBeforeDays * 86400L);
  X509_gmtime_adj(X509_getm_notAfter(out.Cert), req.NotAfterDays * 86400L);
  X509_set_pubkey(out.Cert, out.Key);
  X509_NAME* name = X509_get_subject_name(out.Cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(req.CommonName.c_str()),
                             -1, -1, 0);
  if (!req.Email.empty())
    X509_NAME_add_entry_by_txt(name, "emailAddress", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(req.Email.c_str()), -1, -1, 0);
  X509* issuerCert = issuer ? issuer->Cert : out.Cert;
  X509_set_issuer_name(out.Cert, X509_get_subject_name(issuerCert));
  AddExt(out.Cert, issuerCert, NID_subject_key_identifier, "hash");
  if (req.IsCa) {
    AddExt(out.Cert, issuerCert, NID_basic_constraints, "critical,CA:TRUE");
    AddExt(out.Cert, issuerCert, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    AddExt(out.Cert, issuerCert, NID_basic_constraints, "CA:FALSE");
    if (!req.ExtKeyUsage.empty()) AddExt(out.Cert, issuerCert, NID_ext_key_usage, req.ExtKeyUsage);
  }
  if (!req.AltNames.empty()) {
    std::string alt;
    for (const auto& a : req.AltNames) alt += (alt.empty() ? "" : ",") + a;
    AddExt(out.Cert, issuerCert, NID_subject_alt_name, alt);
  }
  X509_sign(out.Cert, issuer ? issuer->Key : out.Key, EVP_sha256());
  return out;
}

inline void WritePem(const std::string& path, const Issued& c, bool withKey) {
  FILE* f = std::fopen(path.c_str(), "wb");
  PEM_write_X509(f, c.Cert);
  if (withKey) PEM_write_PrivateKey(f, c.Key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(f);
}

inline void WriteKey(const std::string& path, const Issued& c) {
  FILE* f = std::fopen(path.c_str(), "wb");
  PEM_write_PrivateKey(f, c.Key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(f);
}

inline void WriteDer(const std::string& path, const Issued& c) {
  FILE* f = std::fopen(path.c_str(), "wb");
  i2d_X509_fp(f, c.Cert);
  std::fclose(f);
}

inline void WriteP12(const std::string& path, const Issued& c, const Issued* ca, const char* password,
                     const char* friendlyName) {
  STACK_OF(X509)* chain = sk_X509_new_null();
  if (ca) sk_X509_push(chain, ca->Cert);
  PKCS12* p12 = PKCS12_create(password, friendlyName, c.Key, c.Cert, chain, 0, 0, 0, 0, 0);
  sk_X509_free(chain);
  FILE* f = std::fopen(path.c_str(), "wb");
  i2d_PKCS12_fp(f, p12);
  std::fclose(f);
  PKCS12_free(p12);
}

inline void Free(Issued& c) {
  X509_free(c.Cert);
  EVP_PKEY_free(c.Key);
  c = Issued{};
}

// The whole set in one folder: ca.pem, server.pem (cert+key), server.crt,
// server.key, server.der, server.p12 ("secret"), expired.pem, wronghost.pem,
// rogue.pem (from an untrusted CA), and chain files for s_server.
// The run's keys and certificates. The suite's ctest fixture (vx_make_test_pki)
// makes them once into a folder named by VX_TEST_PKI_DIR, which every test
// process reads; without it (a test binary run by hand) they are made here.
// Path gives a file of that set, or else a name in the instance's own scratch
// folder, which tests may write into.
class TestPki {
 public:
  TestPki() {
    const char* shared = std::getenv("VX_TEST_PKI_DIR");
    if (shared && *shared) {
      FShared = shared;
      if (FShared.back() != '/') FShared += '/';
      if (Load()) return;
      FreeAll();
      FShared.clear();
    }
    Generate(FDir.Dir());
  }
  ~TestPki() { FreeAll(); }
  TestPki(const TestPki&) = delete;
  TestPki& operator=(const TestPki&) = delete;

  // Makes the whole set into AFolder (ending in "/"), for the fixture.
  static void MakeInto(const std::string& AFolder) {
    TestPki pki(AFolder);
  }

  std::string Path(const std::string& name) const {
    if (!FShared.empty() && ::access((FShared + name).c_str(), F_OK) == 0) return FShared + name;
    return FDir.Dir() + name;
  }

  Issued Ca, Server, Expired, WrongHost, RogueCa, Rogue, ClientOnly;

 private:
  explicit TestPki(const std::string& AFolder) { Generate(AFolder); }

  // Every certificate with its key, as the fixture wrote them.
  std::vector<std::pair<const char*, Issued*>> All() {
    return {{"ca", &Ca},           {"server", &Server}, {"expired", &Expired},      {"wronghost", &WrongHost},
            {"rogueca", &RogueCa}, {"rogue", &Rogue},   {"clientonly", &ClientOnly}};
  }

  bool Load() {
    for (auto [name, c] : All()) {
      FILE* f = std::fopen((FShared + name + ".full.pem").c_str(), "rb");
      if (!f) return false;
      c->Cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
      c->Key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
      std::fclose(f);
      if (!c->Cert || !c->Key) return false;
    }
    return true;
  }

  void FreeAll() {
    for (auto [name, c] : All()) Free(*c);
  }

  void Generate(const std::string& dir) {
    CertRequest caSpec;
    caSpec.CommonName = "VX Test CA";
    caSpec.IsCa = true;
    caSpec.NotAfterDays = 3650;
    caSpec.Serial = "\x11";
    Ca = Make(caSpec, nullptr);
    CertRequest s;
    s.CommonName = "localhost";
    s.AltNames = {"DNS:localhost", "IP:127.0.0.1"};
    Server = Make(s, &Ca);
    CertRequest e = s;
    e.NotBeforeDays = -30;
    e.NotAfterDays = -1;
    e.Serial = "\x22";
    Expired = Make(e, &Ca);
    CertRequest w = s;
    w.CommonName = "elsewhere.example";
    w.AltNames = {"DNS:elsewhere.example"};
    w.Serial = "\x33";
    WrongHost = Make(w, &Ca);
    CertRequest u = s;
    u.ExtKeyUsage = "clientAuth";
    u.Serial = "\x44";
    ClientOnly = Make(u, &Ca);
    CertRequest rc = caSpec;
    rc.CommonName = "Rogue CA";
    RogueCa = Make(rc, nullptr);
    Rogue = Make(s, &RogueCa);
    WritePem(dir + "ca.pem", Ca, false);
    WritePem(dir + "server.pem", Server, true);
    WritePem(dir + "server.crt", Server, false);
    WriteKey(dir + "server.key", Server);
    WriteDer(dir + "server.der", Server);
    WriteP12(dir + "server.p12", Server, &Ca, "secret", "vx server");
    for (auto [name, c] : {std::pair{"expired", &Expired}, {"wronghost", &WrongHost}, {"rogue", &Rogue}, {"clientonly", &ClientOnly}}) {
      WritePem(dir + name + ".crt", *c, false);
      WriteKey(dir + name + ".key", *c);
    }
    for (auto [name, c] : All()) WritePem(dir + name + ".full.pem", *c, true);
    // Certificates with mail names, for the certificate property tests.
    CertRequest mail;
    mail.CommonName = "Mail User";
    mail.AltNames = {"DNS:mail.example", "email:user@example.com"};
    mail.ExtKeyUsage = "";
    mail.Serial = std::string("\x01\x02\x03", 3);
    Issued m = Make(mail, &Ca);
    WritePem(dir + "mail.pem", m, false);
    Free(m);
    CertRequest boss = mail;
    boss.Email = "boss@example.org";
    boss.ExtKeyUsage = "serverAuth,clientAuth";
    Issued b = Make(boss, &Ca);
    WritePem(dir + "boss.pem", b, false);
    Free(b);
  }

  std::string FShared;  // the fixture's folder, "" when made here
  testsupport::TempDir FDir;
};

inline constexpr auto& ReadFile = testsupport::ReadFileBytes;
inline constexpr auto& WriteFile = testsupport::WriteFileBytes;

// A peer program (openssl, python3) with stdin, stdout and stderr on files;
// killed and reaped on destruction.
class PeerProcess {
 public:
  PeerProcess(const std::vector<std::string>& argv, const std::string& in, const std::string& out,
              const std::string& err) {
    FPid = fork();
    if (FPid == 0) {
      const int i = open(in.empty() ? "/dev/null" : in.c_str(), O_RDONLY);
      const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(i, 0);
      dup2(o, 1);
      dup2(e, 2);
      std::vector<char*> args;
      for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execvp(args[0], args.data());
      _exit(127);
    }
  }
  ~PeerProcess() {
    if (FPid > 0 && !FDone) {
      kill(FPid, SIGTERM);
      waitpid(FPid, nullptr, 0);
    }
  }
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  // The exit status once it ended within ms, -1 otherwise.
  int WaitExit(int ms) {
    for (int i = 0; i < ms / 10; ++i) {
      int status = 0;
      if (waitpid(FPid, &status, WNOHANG) == FPid) {
        FDone = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

 private:
  pid_t FPid = -1;
  bool FDone = false;
};

// Feeds bytes into a named pipe that a peer reads as stdin, in random pieces,
// from Start on; the write end stays open (no end of input) until Finish.
class FifoFeeder {
 public:
  FifoFeeder(const std::string& path, std::string data) : FPath(path), FData(std::move(data)) {
    unlink(path.c_str());
    if (mkfifo(path.c_str(), 0600) != 0) return;
    FThread = std::thread([this] {
      // Never blocks, whoever reads; not inherited, or the peer would hold its own input open.
      const int fd = open(FPath.c_str(), O_RDWR | O_CLOEXEC);
      std::unique_lock lock(FLock);
      FWake.wait(lock, [this] { return FStarted || FFinished; });
      lock.unlock();
      unsigned seed = 7;
      for (size_t done = 0; fd >= 0 && done < FData.size() && !Finished();) {
        seed = seed * 1103515245u + 12345u;
        const size_t piece = std::min<size_t>(1 + (seed >> 8) % 30000, FData.size() - done);
        const ssize_t n = write(fd, FData.data() + done, piece);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
      }
      lock.lock();
      FWake.wait(lock, [this] { return FFinished; });
      if (fd >= 0) close(fd);
    });
  }
  ~FifoFeeder() {
    Finish();
    if (FThread.joinable()) FThread.join();
  }
  FifoFeeder(const FifoFeeder&) = delete;
  FifoFeeder& operator=(const FifoFeeder&) = delete;

  void Start() { Set(FStarted); }
  void Finish() { Set(FFinished); }

 private:
  void Set(bool& flag) {
    {
      std::scoped_lock lock(FLock);
      flag = true;
    }
    FWake.notify_all();
  }
  bool Finished() {
    std::scoped_lock lock(FLock);
    return FFinished;
  }

  std::string FPath;
  std::string FData;
  std::mutex FLock;
  std::condition_variable FWake;
  bool FStarted = false;
  bool FFinished = false;
  std::thread FThread;
};

// True once something accepts on 127.0.0.1:port (within ms).
inline bool WaitListening(int port, int ms) {
  for (int i = 0; i < ms / 20; ++i) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    if (ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// A test suite sharing one set of certificates, with its CA trusted for the
// suite's run.
template <class TBase = ::testing::Test>
class PkiSuite : public TBase {
 protected:
  static void SetUpTestSuite() {
    signal(SIGPIPE, SIG_IGN);
    Pki = std::make_unique<TestPki>();
    plat::SetTrustStoreOverride(Pki->Path("ca.pem"));
  }
  static void TearDownTestSuite() {
    plat::SetTrustStoreOverride("");
    Pki.reset();
  }
  static inline std::unique_ptr<TestPki> Pki;
};

}  // namespace tlstest
