// The TLS-capable server against Python's ssl module and openssl s_client:
// implicit TLS and a switch after a STARTTLS-like command, 1 MiB echoed in
// random pieces, close_notify both ways.
#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "CryptoApi.h"
#include "TestSockets.h"
#include "TlsTestSupport.h"
#include "qvTcpServerTls.h"

namespace {

constexpr const char* kClientScript = R"PY(
import random, socket, ssl, sys
port, ca, mode = int(sys.argv[1]), sys.argv[2], sys.argv[3]
ctx = ssl.create_default_context(cafile=ca)
raw = socket.create_connection(("127.0.0.1", port), timeout=20)

def line(sock):
    got = b""
    while not got.endswith(b"\r\n"):
        b = sock.recv(1)
        if not b:
            raise SystemExit("closed early")
        got += b
    return got

if mode == "explicit":
    line(raw)
    raw.sendall(b"STARTTLS\r\n")
    assert line(raw) == b"220 go ahead\r\n"
s = ctx.wrap_socket(raw, server_hostname="localhost")
greeting = line(s) if mode == "implicit" else b""
rng = random.Random(99)
data = bytes(rng.getrandbits(8) for _ in range(1 << 20))
echo = bytearray()
sent = 0
# One SSL object must not be driven from two threads: lock-step, piece by piece.
while sent < len(data):
    n = min(rng.randint(1, 70000), len(data) - sent)
    s.sendall(data[sent:sent + n])
    sent += n
    while len(echo) < sent:
        b = s.recv(65536)
        if not b:
            raise SystemExit("closed early at %d" % len(echo))
        echo.extend(b)
assert bytes(echo) == data, (len(echo), len(data))
s.unwrap()  # our close_notify, then the server's
print("OK", greeting.decode().strip())
)PY";

class EchoTlsServer : public TqvTcpServerTls {
 public:
  EchoTlsServer() = default;
  ~EchoTlsServer() override { Stop(); }

 protected:
  TqvUserConnectionPtr CreateDefaultConnection() override { return std::make_shared<TqvUserConnectionTls>(); }
};

class TlsServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Pki = std::make_unique<tlstest::TestPki>();
    tlstest::WriteFile(Pki->Path("client.py"), kClientScript);
  }
  static void TearDownTestSuite() { Pki.reset(); }

  void SetUp() override {
    Server.OnGetCertificate = [](TObject*, std::unique_ptr<TqvCertificate>& cert, TqvCertificateList&, bool& handled) {
      cert = TqvCertificate::LoadFromFile(Pki->Path("server.p12"), "secret");
      handled = true;
    };
    Server.OnAcceptConnection = [](TObject*, TqvUserConnection* c, bool&) { c->WriteData("220 hello\r\n"); };
    Server.OnReadConnection = [this](TObject*, TqvUserConnection* c, TStream& data) {
      std::string bytes(static_cast<size_t>(data.Size()), '\0');
      data.ReadBuffer(bytes.data(), data.Size());
      if (!Server.IsTlsConnection(c) && bytes.rfind("STARTTLS\r\n", 0) == 0) {
        // Anything after the command is dropped with the clear-text buffer.
        c->WriteData("220 go ahead\r\n");
        Server.StartTls(c);
        return;
      }
      Echoed += static_cast<int64_t>(bytes.size());
      c->WriteData(bytes);
    };
    Server.OnServerError = [this](TObject*, TqvUserConnection*, const std::exception& e) {
      std::scoped_lock lock(ErrorLock);
      Errors += std::string(e.what()) + "\n";
    };
    Server.SetMaxThreadCount(2);
  }

  // The server's handlers use the members below, which go before it.
  void TearDown() override { Server.Stop(); }

  void Start(TqvServerTlsMode mode) {
    Server.UseTLS = mode;
    Server.TLSFlags = qvDefaultTlsFlags | TlsFlag(tfUseTLS13);
    testsupport::StartOnFreePort(Server);
  }

  // Runs the client; its stdout, or "" when it failed.
  std::string RunPython(const std::string& mode) {
    tlstest::PeerProcess p({"/usr/bin/python3", Pki->Path("client.py"), std::to_string(Server.BoundPort()),
                            Pki->Path("ca.pem"), mode},
                           "", Pki->Path("py.out"), Pki->Path("py.err"));
    const int rc = p.WaitExit(60000);
    EXPECT_EQ(rc, 0) << tlstest::ReadFile(Pki->Path("py.err")) << "server echoed " << Echoed.load() << " errors: " << Errors;
    return tlstest::ReadFile(Pki->Path("py.out"));
  }

  static inline std::unique_ptr<tlstest::TestPki> Pki;
  EchoTlsServer Server;
  std::atomic<int64_t> Echoed{0};
  std::mutex ErrorLock;
  std::string Errors;
};

TEST_F(TlsServerTest, ImplicitTlsGreetsAfterHandshakeAndEchoesAMegabyte) {
  Start(stImplicit);
  const std::string out = RunPython("implicit");
  EXPECT_EQ(out.rfind("OK 220 hello", 0), 0u) << out;
  EXPECT_EQ(Echoed.load(), 1 << 20);
}

TEST_F(TlsServerTest, ExplicitSwitchAfterClearReplyEchoesAMegabyte) {
  Start(stExplicitAllow);
  const std::string out = RunPython("explicit");
  EXPECT_EQ(out.rfind("OK", 0), 0u) << out;
  EXPECT_EQ(Echoed.load(), 1 << 20);
}

TEST_F(TlsServerTest, ImplicitClientThatSendsNothingGetsNoGreeting) {
  Start(stImplicit);
  plat::SOCKET s = plat::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = testsupport::Loopback(static_cast<uint16_t>(Server.BoundPort()));
  ASSERT_EQ(plat::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  pollfd p{s, POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 300), 0);  // nothing: the greeting waits for the handshake
  plat::closesocket(s);
}

TEST_F(TlsServerTest, ClearTextAfterTheSwitchIsNeverReadAsData) {
  Start(stExplicitAllow);
  plat::SOCKET s = plat::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = testsupport::Loopback(static_cast<uint16_t>(Server.BoundPort()));
  ASSERT_EQ(plat::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  char buf[256];
  ASSERT_GT(plat::recv(s, buf, sizeof buf, 0), 0);  // greeting
  const std::string cmd = "STARTTLS\r\n";
  ASSERT_EQ(plat::send(s, cmd.data(), static_cast<int>(cmd.size()), 0), static_cast<int>(cmd.size()));
  ASSERT_GT(plat::recv(s, buf, sizeof buf, 0), 0);  // the clear reply
  const std::string injected = "MAIL FROM:<evil@example.com>\r\n";
  ASSERT_EQ(plat::send(s, injected.data(), static_cast<int>(injected.size()), 0), static_cast<int>(injected.size()));
  // The server refuses the bytes as TLS; nothing is echoed or executed.
  std::string errors;
  for (int i = 0; i < 100 && errors.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::scoped_lock lock(ErrorLock);
    errors = Errors;
  }
  EXPECT_NE(errors.find("The message received was unexpected or badly formatted"), std::string::npos) << errors;
  pollfd p{s, POLLIN, 0};
  if (::poll(&p, 1, 100) > 0) {
    EXPECT_LE(plat::recv(s, buf, sizeof buf, 0), 7);  // an alert at most
  }
  EXPECT_EQ(Echoed.load(), 0);
  plat::closesocket(s);
}

// The client's Finished and the first half of its first record in one
// segment (a TLS 1.3 client may send at once): the server finishes the
// handshake, keeps the half record, and greets all the same.
constexpr const char* kSplitRecordScript = R"PY(
import socket, ssl, sys
port, ca = int(sys.argv[1]), sys.argv[2]
ctx = ssl.create_default_context(cafile=ca)
ctx.minimum_version = ssl.TLSVersion.TLSv1_3
inc, out = ssl.MemoryBIO(), ssl.MemoryBIO()
tls = ctx.wrap_bio(inc, out, server_hostname="localhost")
sock = socket.create_connection(("127.0.0.1", port), timeout=5)

def pump():
    chunk = sock.recv(65536)
    if not chunk:
        raise SystemExit("closed early")
    inc.write(chunk)

def read_until(want):
    got = b""
    while want not in got:
        try:
            got += tls.read(65536)
        except ssl.SSLWantReadError:
            pump()
    return got

while True:
    try:
        tls.do_handshake()
        break
    except ssl.SSLWantReadError:
        sock.sendall(out.read())
        pump()
finished = out.read()
tls.write(b"ping\r\n")
record = out.read()
sock.sendall(finished + record[:len(record) // 2])
try:
    greeting = read_until(b"\r\n")
except socket.timeout:
    raise SystemExit("no greeting after the handshake")
sock.sendall(record[len(record) // 2:])
echo = read_until(b"ping\r\n")
print("OK", greeting.decode().strip(), echo.decode().strip())
)PY";

TEST_F(TlsServerTest, HandshakeFollowedByHalfARecordStillGreets) {
  Start(stImplicit);
  tlstest::WriteFile(Pki->Path("split.py"), kSplitRecordScript);
  tlstest::PeerProcess p({"/usr/bin/python3", Pki->Path("split.py"), std::to_string(Server.BoundPort()),
                          Pki->Path("ca.pem")},
                         "", Pki->Path("split.out"), Pki->Path("split.err"));
  EXPECT_EQ(p.WaitExit(30000), 0) << tlstest::ReadFile(Pki->Path("split.err"));
  EXPECT_EQ(tlstest::ReadFile(Pki->Path("split.out")), "OK 220 hello ping\n");
}

TEST_F(TlsServerTest, OpensslClientExchangesAMegabyteAndClosesCleanly) {
  Start(stImplicit);
  // s_client takes a line starting with Q, R or k as a command: letters a-j only.
  std::string data(1 << 20, 'a');
  unsigned seed = 1;
  for (size_t i = 0; i < data.size(); ++i) {
    seed = seed * 1103515245u + 12345u;
    data[i] = (seed >> 16) % 50 == 0 ? '\n' : static_cast<char>('a' + (seed >> 20) % 10);
  }
  tlstest::FifoFeeder feeder(Pki->Path("sc.fifo"), data);
  tlstest::PeerProcess p({"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(Server.BoundPort()),
                          "-CAfile", Pki->Path("ca.pem"), "-verify_return_error", "-verify_hostname", "localhost"},
                         Pki->Path("sc.fifo"), Pki->Path("sc.out"), Pki->Path("sc.err"));
  feeder.Start();
  std::string out;
  for (int i = 0; i < 1500 && Echoed.load() < static_cast<int64_t>(data.size()); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  for (int i = 0; i < 1500 && out.find(data) == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    out = tlstest::ReadFile(Pki->Path("sc.out"));
  }
  feeder.Finish();  // end of input: s_client sends close_notify and waits for ours
  EXPECT_EQ(p.WaitExit(20000), 0) << tlstest::ReadFile(Pki->Path("sc.err"));
  EXPECT_NE(out.find("Verify return code: 0 (ok)"), std::string::npos);
  EXPECT_NE(out.find("220 hello"), std::string::npos);
  EXPECT_NE(out.find(data), std::string::npos);
  EXPECT_EQ(Echoed.load(), static_cast<int64_t>(data.size()));
}

}  // namespace

namespace {

const char* kClientCertScript = R"PY(
import socket, ssl, sys
port, ca, cert, key = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
ctx = ssl.create_default_context(cafile=ca)
if cert != "-":
    ctx.load_cert_chain(cert, key)
try:
    s = ctx.wrap_socket(socket.create_connection(("127.0.0.1", port), timeout=10), server_hostname="localhost")
    s.settimeout(10)
    print("GOT", s.recv(100))
except (OSError, ssl.SSLError) as e:
    print("ERR", type(e).__name__)
)PY";

}  // namespace

TEST_F(TlsServerTest, RequiredClientCertificateMustChainToTheTrustStore) {
  plat::SetTrustStoreOverride(Pki->Path("ca.pem"));
  Server.RequireClientCertificate = true;
  Start(stImplicit);
  tlstest::WriteFile(Pki->Path("cc.py"), kClientCertScript);
  auto run = [&](const std::string& cert) {
    const std::string crt = cert == "-" ? "-" : Pki->Path(cert + ".crt");
    const std::string key = cert == "-" ? "-" : Pki->Path(cert + ".key");
    tlstest::PeerProcess p({"/usr/bin/python3", Pki->Path("cc.py"), std::to_string(Server.BoundPort()),
                            Pki->Path("ca.pem"), crt, key},
                           "", Pki->Path("cc.out"), Pki->Path("cc.err"));
    EXPECT_EQ(p.WaitExit(60000), 0) << tlstest::ReadFile(Pki->Path("cc.err"));
    return tlstest::ReadFile(Pki->Path("cc.out"));
  };
  // Only a certificate from the trusted CA gets the greeting.
  EXPECT_EQ(run("clientonly"), "GOT b'220 hello\\r\\n'\n");
  EXPECT_EQ(run("rogue").find("220 hello"), std::string::npos);
  EXPECT_EQ(run("-").find("220 hello"), std::string::npos);
  plat::SetTrustStoreOverride("");
}
