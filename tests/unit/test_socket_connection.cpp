#include <gtest/gtest.h>

#include "TestSockets.h"
#include <arpa/inet.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "MessageLoop.h"
#include "Sockets.h"
#include "qvIpAddress.h"
#include "qvSocket.h"
#include "qvWinSock2.h"
#include "TestSupport.h"

using namespace std::chrono_literals;
using plat::SOCKET;

namespace {

using testsupport::Loopback;
using testsupport::PortOf;

void SetBlocking(SOCKET s) {
  plat::u_long off = 0;
  EXPECT_EQ(plat::ioctlsocket(s, FIONBIO, &off), 0);
}

// A loopback socket on port 0, closed with the object.
struct TestSocket {
  SOCKET s;
  TestSocket(int type, int backlog) : s(plat::socket(AF_INET, type, 0)) {
    sockaddr_in a = Loopback(0);
    EXPECT_EQ(plat::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    if (backlog >= 0) {
      EXPECT_EQ(plat::listen(s, backlog), 0);
    }
  }
  ~TestSocket() {
    if (s != plat::INVALID_SOCKET) (void)plat::closesocket(s);
  }
  uint16_t Port() const { return PortOf(s); }
  // Blocking accept, so the peer side of a test reads plainly.
  SOCKET Accept() const {
    SOCKET c = plat::accept(s, nullptr, nullptr);
    EXPECT_NE(c, plat::INVALID_SOCKET);
    SetBlocking(c);
    return c;
  }
};

std::unique_ptr<TqvTcpClientConnection> NewTcpClient(int timeOut = 5000) {
  auto c = std::make_unique<TqvTcpClientConnection>();
  c->SetNetworkStream(std::make_unique<TqvNetworkStream>());
  c->TimeOut = timeOut;
  return c;
}

int ErrorCodeOf(const std::function<void()>& f) { return testsupport::ErrorCodeOf<EqvSocketError>(f); }

int64_t MsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t)
      .count();
}

std::string ReadAll(SOCKET s) {
  std::string got;
  char buf[65536];
  for (;;) {
    const int n = plat::recv(s, buf, sizeof buf, 0);
    if (n <= 0) return got;
    got.append(buf, static_cast<size_t>(n));
  }
}

}  // namespace

// --- TCP client connections against a loopback listener

TEST(SocketConnectionTcp, OpenWriteAndReadBack) {
  TestSocket listener(SOCK_STREAM, 4);
  auto c = NewTcpClient();
  c->LocalBinding = " 127.0.0.1 ";
  int ready = 0;
  c->OnReady = [&](TObject*) { ++ready; };
  c->Open("127.0.0.1", listener.Port());
  ASSERT_TRUE(c->Active());
  EXPECT_EQ(ready, 1);
  EXPECT_EQ(c->PeerIP, "127.0.0.1");
  EXPECT_EQ(c->PeerPort, listener.Port());
  EXPECT_EQ(c->LocalIP, "127.0.0.1");
  EXPECT_NE(c->LocalPort, 0);

  SOCKET peer = listener.Accept();
  WriteConnectionString(*c, "HELO x\r\n", "");
  char buf[16] = {};
  ASSERT_EQ(plat::recv(peer, buf, 8, MSG_WAITALL), 8);
  EXPECT_EQ(std::string(buf, 8), "HELO x\r\n");

  ASSERT_EQ(plat::send(peer, "250 ok\r\n", 8, 0), 8);
  TStringStream got;
  while (got.DataString().size() < 8) c->ReadData(&got);
  EXPECT_EQ(got.DataString(), "250 ok\r\n");
  EXPECT_EQ(c->BytesProceed(), 16);  // progress counts both directions

  c->Close(false);
  EXPECT_FALSE(c->Active());
  EXPECT_EQ(c->Socket().Socket(), plat::INVALID_SOCKET);
  EXPECT_EQ(ErrorCodeOf([&] { c->ReadData(&got); }), 10038);
  (void)plat::closesocket(peer);
}

TEST(SocketConnectionTcp, OpenRefusesBadTargetsWithTheirCodes) {
  TestSocket idle(SOCK_STREAM, -1);  // bound, never listening: refused
  auto c = NewTcpClient();
  std::string text;
  try {
    c->Open("127.0.0.1", idle.Port());
  } catch (const EqvSocketError& e) {
    EXPECT_EQ(e.ErrorCode, 10061);
    text = e.Message();
  }
  EXPECT_FALSE(text.empty());
  EXPECT_FALSE(c->Active());
  EXPECT_EQ(c->Socket().Socket(), plat::INVALID_SOCKET);  // a retry can open again

  const uint64_t lookups = qvWinSock2::NameLookupCount();
  EXPECT_EQ(ErrorCodeOf([&] { c->Open("some.host.name", 25); }), qvInvalidHostAddress);
  EXPECT_EQ(qvWinSock2::NameLookupCount(), lookups);
  EXPECT_EQ(ErrorCodeOf([&] { c->Open("127.0.0.1", 70000); }), qvInvalidPortNumber);
}

TEST(SocketConnectionTcp, ConnectTimesOutOrIsInterruptedWhenTheQueueIsFull) {
  TestSocket listener(SOCK_STREAM, 0);  // never accepts: the queue fills
  std::vector<std::unique_ptr<TqvTcpClientConnection>> fillers;
  // Fill the accept queue until a connect no longer completes.
  for (int i = 0; i < 8; ++i) {
    auto f = NewTcpClient();
    f->ConnectTimeOut = 200;
    if (ErrorCodeOf([&] { f->Open("127.0.0.1", listener.Port()); }) == qvTimeoutError) break;
    fillers.push_back(std::move(f));
  }
  ASSERT_LT(fillers.size(), 8u);

  auto c = NewTcpClient(60000);
  c->ConnectTimeOut = 300;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(ErrorCodeOf([&] { c->Open("127.0.0.1", listener.Port()); }), qvTimeoutError);
  EXPECT_GE(MsSince(t0), 250);
  EXPECT_LT(MsSince(t0), 30000);  // ConnectTimeOut wins over TimeOut

  auto d = NewTcpClient(60000);
  std::thread stopper([&] {
    std::this_thread::sleep_for(100ms);
    d->Interrupt();
  });
  t0 = std::chrono::steady_clock::now();
  EXPECT_NO_THROW(d->Open("127.0.0.1", listener.Port()));
  stopper.join();
  EXPECT_LT(MsSince(t0), 30000);
  EXPECT_FALSE(d->Active());
  EXPECT_EQ(d->Socket().Socket(), plat::INVALID_SOCKET);

  // A stop while the host look-up before the open blocks: opening the socket
  // clears Aborted, yet the open ends at once instead of waiting out the
  // connect time-out.
  auto e = NewTcpClient(60000);
  e->ConnectTimeOut = 20000;
  e->BeginOpen();
  e->Interrupt();
  t0 = std::chrono::steady_clock::now();
  EXPECT_NO_THROW(e->Open("127.0.0.1", listener.Port()));
  EXPECT_LT(MsSince(t0), 2000);
  EXPECT_FALSE(e->Active());
  EXPECT_EQ(e->Socket().Socket(), plat::INVALID_SOCKET);

  // An Interrupt before the open began (the previous session's close) does
  // not end it.
  TestSocket open(SOCK_STREAM, 4);
  auto f = NewTcpClient();
  f->Interrupt();
  f->BeginOpen();
  EXPECT_NO_THROW(f->Open("127.0.0.1", open.Port()));
  EXPECT_TRUE(f->Active());
}

TEST(SocketConnectionTcp, ReadTimeOutCountsFromLastActivityAndWaitsOnlyWhatRemains) {
  TestSocket listener(SOCK_STREAM, 4);
  auto c = NewTcpClient(1000);
  c->Open("127.0.0.1", listener.Port());
  SOCKET peer = listener.Accept();

  // Messages keep arriving for 900 ms, then stop: the wait must still end
  // about 1000 ms after the read began, not a full time-out after the last one.
  plat::TMessageQueue& q = plat::TMessageQueue::Current();
  std::atomic<int> dispatched{0};
  std::thread poster([&] {
    for (int i = 0; i < 9; ++i) {
      std::this_thread::sleep_for(100ms);
      q.Post([&] { ++dispatched; });
    }
  });
  TStringStream got;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(ErrorCodeOf([&] { c->ReadData(&got); }), qvTimeoutError);
  const int64_t took = MsSince(t0);
  poster.join();
  EXPECT_GE(dispatched.load(), 5);
  EXPECT_GE(took, 950);
  EXPECT_LT(took, 1600);
  // The time-out is an error of the read only; the connection stays usable.
  ASSERT_TRUE(c->Active());

  // Data that keeps coming never times out, however long the whole read takes.
  c->TimeOut = 400;
  std::thread trickler([&] {
    for (int i = 0; i < 6; ++i) {
      std::this_thread::sleep_for(150ms);
      EXPECT_EQ(plat::send(peer, "x", 1, 0), 1);
    }
  });
  while (got.DataString().size() < 6) c->ReadData(&got);
  trickler.join();
  EXPECT_EQ(got.DataString(), "xxxxxx");
  (void)plat::closesocket(peer);
}

TEST(SocketConnectionTcp, PeerCloseDeliversBufferedBytesThenCloses) {
  TestSocket listener(SOCK_STREAM, 4);
  auto c = NewTcpClient();
  c->Open("127.0.0.1", listener.Port());
  SOCKET peer = listener.Accept();
  std::string sent(300000, '\0');
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>('a' + i % 23);
  std::thread writer([&] {
    size_t off = 0;
    while (off < sent.size()) {
      const int n = plat::send(peer, sent.data() + off, static_cast<int>(sent.size() - off), 0);
      ASSERT_GT(n, 0);
      off += static_cast<size_t>(n);
    }
    (void)plat::shutdown(peer, SHUT_WR);
  });
  TStringStream got;
  int reads = 0;
  while (c->Active() && reads++ < 100000) c->ReadData(&got);
  writer.join();
  EXPECT_FALSE(c->Active());
  EXPECT_EQ(got.DataString().size(), sent.size());
  EXPECT_TRUE(got.DataString() == sent);
  (void)plat::closesocket(peer);
}

TEST(SocketConnectionTcp, InterruptFromAnotherThreadEndsAReadQuietly) {
  TestSocket listener(SOCK_STREAM, 4);
  auto c = NewTcpClient(60000);
  c->Open("127.0.0.1", listener.Port());
  SOCKET peer = listener.Accept();
  std::thread stopper([&] {
    std::this_thread::sleep_for(100ms);
    c->Interrupt();
  });
  TStringStream got;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_NO_THROW(c->ReadData(&got));
  stopper.join();
  EXPECT_LT(MsSince(t0), 30000);
  EXPECT_TRUE(c->Aborted());
  EXPECT_TRUE(got.DataString().empty());
  (void)plat::closesocket(peer);
}

TEST(SocketConnectionTcp, PeerClosingDuringALargeWriteRaisesASocketError) {
  TestSocket listener(SOCK_STREAM, 4);
  auto c = NewTcpClient(10000);
  c->Open("127.0.0.1", listener.Port());
  SOCKET peer = listener.Accept();
  std::thread closer([&] {
    char buf[1000];
    (void)plat::recv(peer, buf, sizeof buf, MSG_WAITALL);
    (void)plat::closesocket(peer);  // unread data: the close is a reset
  });
  const std::string big(16 * 1024 * 1024, 'z');
  int code = 0;
  try {
    WriteConnectionString(*c, big, "");
  } catch (const EqvSocketError& e) {
    code = e.ErrorCode;
  } catch (const EAssertionFailed&) {
    ADD_FAILURE() << "assertion instead of a socket error";
  }
  closer.join();
  EXPECT_TRUE(code == 10054 || code == 10053 || code == qvConnectionNotActive) << code;
}

// --- UDP client connections

TEST(SocketConnectionUdp, KeepsItsPeerAndCountsTheWaitFromTheSend) {
  TestSocket server(SOCK_DGRAM, -1);
  TestSocket other(SOCK_DGRAM, -1);  // a stranger on another port
  TqvUdpClientConnection c;
  c.SetNetworkStream(std::make_unique<TqvNetworkStream>());
  c.TimeOut = 5000;
  c.Open("127.0.0.1", server.Port());
  ASSERT_TRUE(c.Active());
  EXPECT_EQ(c.PeerPort, server.Port());

  WriteConnectionString(c, "ping", "");
  char buf[64];
  sockaddr_in from{};
  socklen_t len = sizeof from;
  const int n = plat::recvfrom(server.s, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
  ASSERT_EQ(n, 4);
  EXPECT_EQ(std::string(buf, 4), "ping");
  EXPECT_EQ(ntohs(from.sin_port), c.LocalPort);

  // The stranger's datagram never arrives; the peer's does, and the peer stays.
  ASSERT_EQ(plat::sendto(other.s, "spoof", 5, 0, reinterpret_cast<sockaddr*>(&from), len), 5);
  ASSERT_EQ(plat::sendto(server.s, "pong", 4, 0, reinterpret_cast<sockaddr*>(&from), len), 4);
  TStringStream got;
  c.ReadData(&got);
  EXPECT_EQ(got.DataString(), "pong");
  EXPECT_EQ(c.PeerIP, "127.0.0.1");
  EXPECT_EQ(c.PeerPort, server.Port());

  // Reads after the send share one limit: a second read may not restart it.
  c.TimeOut = 300;
  WriteConnectionString(c, "again", "");
  const uint32_t sent = plat::GetTickCount();
  EXPECT_EQ(ErrorCodeOf([&] { c.ReadData(&got); }), qvTimeoutError);
  EXPECT_EQ(ErrorCodeOf([&] { c.ReadData(&got); }), qvTimeoutError);
  EXPECT_LT(plat::GetTickCount() - sent, 900u);
}

TEST(SocketConnectionUdp, DatagramLongerThanTheBufferIsTooLong) {
  TestSocket server(SOCK_DGRAM, -1);
  TqvUdpClientConnection c;
  c.SetNetworkStream(std::make_unique<TqvNetworkStream>());
  c.BatchSize = 512;
  c.Open("127.0.0.1", server.Port());
  WriteConnectionString(c, "q", "");
  char buf[16];
  sockaddr_in from{};
  socklen_t len = sizeof from;
  ASSERT_EQ(plat::recvfrom(server.s, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len), 1);
  const std::string big(513, 'x');
  ASSERT_EQ(plat::sendto(server.s, big.data(), 513, 0, reinterpret_cast<sockaddr*>(&from), len), 513);
  TStringStream got;
  EXPECT_EQ(ErrorCodeOf([&] { c.ReadData(&got); }), 10040);
}

// --- The network stream over a socket pair

namespace {

// A connection that only lends its socket to a stream under test.
class TPairConnection : public TqvConnection {
 public:
  explicit TPairConnection(SOCKET s) {
    Socket().SetSocket(s, 0);
    SetNetworkStream(std::make_unique<TqvNetworkStream>());
  }
  bool ReadData(TStream*) override { return true; }
  bool WriteData(TStream*) override { return true; }
  void MakeActive() { SetActive(true); }
};

class TCountingStream : public TqvNetworkStream {
 public:
  int Sends = 0;
  int WriteBuffer(const void* ABuffer, int ASize) override {
    ++Sends;
    return TqvNetworkStream::WriteBuffer(ABuffer, ASize);
  }
};

struct Pair {
  SOCKET s[2];
  Pair() { EXPECT_EQ(plat::socketpair(AF_UNIX, SOCK_STREAM, 0, s), 0); }
  ~Pair() {
    if (s[1] != plat::INVALID_SOCKET) (void)plat::closesocket(s[1]);
  }
};

}  // namespace

TEST(SocketNetworkStream, PartialSendsResumeWithoutLossOrReorder) {
  Pair p;
  int small = 4096;
  ASSERT_EQ(plat::setsockopt(p.s[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  plat::u_long on = 1;
  ASSERT_EQ(plat::ioctlsocket(p.s[0], FIONBIO, &on), 0);
  ASSERT_EQ(plat::ioctlsocket(p.s[1], FIONBIO, &on), 0);
  TPairConnection c(p.s[0]);
  auto counting = std::make_unique<TCountingStream>();
  TCountingStream* stream = counting.get();
  c.SetNetworkStream(std::move(counting));

  TStringStream empty;
  EXPECT_TRUE(stream->Write(&empty));
  TStringStream consumed("abc");
  consumed.SetPosition(3);
  EXPECT_TRUE(stream->Write(&consumed));
  EXPECT_TRUE(stream->Write(nullptr));
  EXPECT_EQ(stream->Sends, 0);

  std::string sent(1 << 20, '\0');
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i * 7 % 251);
  TStringStream data(sent);
  std::string got;
  char buf[65536];
  bool sawWouldBlock = false;
  while (!stream->Write(&data)) {
    sawWouldBlock = true;
    // Everything before the position has gone out, nothing after it.
    int n;
    while ((n = plat::recv(p.s[1], buf, sizeof buf, 0)) > 0) got.append(buf, static_cast<size_t>(n));
    EXPECT_EQ(static_cast<int64_t>(got.size()), data.Position());
  }
  EXPECT_TRUE(sawWouldBlock);
  (void)plat::shutdown(p.s[0], SHUT_WR);
  SetBlocking(p.s[1]);
  got += ReadAll(p.s[1]);
  EXPECT_TRUE(got == sent);
  EXPECT_EQ(stream->BytesProceed(), static_cast<int64_t>(sent.size()));
}

TEST(SocketNetworkStream, ThrottlePausesAndKeepsTheCallsOwnError) {
  Pair p;
  plat::u_long on = 1;
  ASSERT_EQ(plat::ioctlsocket(p.s[0], FIONBIO, &on), 0);
  TPairConnection c(p.s[0]);
  c.BitsPerSec = 80000;
  char buf[1000];
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(c.GetNetworkStream().ReadBuffer(buf, 1000), plat::SOCKET_ERROR);
  EXPECT_EQ(plat::WSAGetLastError(), 10035u);
  EXPECT_GE(MsSince(t0), 95);
}

TEST(SocketNetworkStream, FailedAcceptNeverKeepsTheListener) {
  TestSocket listener(SOCK_STREAM, 4);
  plat::u_long on = 1;
  ASSERT_EQ(plat::ioctlsocket(listener.s, FIONBIO, &on), 0);
  TPairConnection c(listener.s);
  c.Socket().SetSocket(listener.s, 2);
  EXPECT_EQ(ErrorCodeOf([&] { c.GetNetworkStream().Accept(); }), 10035);
  EXPECT_EQ(c.Socket().Socket(), plat::INVALID_SOCKET);
  c.CloseSocket();

  // The listener still takes connections.
  auto client = NewTcpClient();
  client->Open("127.0.0.1", listener.Port());
  c.Socket().SetSocket(listener.s, 2);
  c.GetNetworkStream().Accept();
  EXPECT_NE(c.Socket().Socket(), listener.s);
  EXPECT_EQ(c.PeerPort, client->LocalPort);
  c.CloseSocket();
}

// --- Connections over the memory-backed stream

namespace {

class TMemoryTcpConnection : public TqvTcpConnection {
 public:
  TMemoryTcpConnection() {
    auto s = std::make_unique<TqvMemoryNetworkStream>();
    Memory = s.get();
    SetNetworkStream(std::move(s));
    SetActive(true);
  }
  TqvMemoryNetworkStream* Memory;
};

// Queues a closing record when asked to close with notice, the way a TLS
// stream sends its close alert.
class TClosingRecordStream : public TqvMemoryNetworkStream {
 public:
  void Close(bool ANotify) override {
    TqvMemoryNetworkStream::Close(ANotify);
    if (ANotify) SetNextAction(qvNextActionWrite);
  }
  bool Write(TStream* AData) override {
    if (AData) return TqvMemoryNetworkStream::Write(AData);
    TStringStream record("BYE");
    return TqvMemoryNetworkStream::Write(&record);
  }
};

}  // namespace

TEST(SocketMemoryStream, BufferedInputIsReadWithoutWaitingThenClosed) {
  TMemoryTcpConnection c;
  c.BatchSize = 4;
  c.Memory->FeedInput("line one\r\nline two\r\n");
  c.BytesToProceed = 12;
  c.InitProgress(0, 0);
  TStringStream got;
  c.ReadData(&got);
  EXPECT_EQ(got.DataString(), "line one\r\nli");
  EXPECT_TRUE(c.Memory->HasReadData());  // the rest is announced by no socket event
  c.BytesToProceed = -1;
  c.Memory->EndInput();
  c.ReadData(&got);
  EXPECT_EQ(got.DataString(), "line one\r\nline two\r\n");
  EXPECT_FALSE(c.Active());
}

TEST(SocketMemoryStream, WriteStoppedShortRaisesNotAnAssertion) {
  TMemoryTcpConnection c;
  WriteConnectionString(c, "+OK ready\r\n", "");
  EXPECT_EQ(c.Memory->Output(), "+OK ready\r\n");
  c.BytesToProceed = 3;
  c.InitProgress(0, 0);
  EXPECT_EQ(ErrorCodeOf([&] { WriteConnectionString(c, "hello", ""); }), qvConnectionNotActive);
  EXPECT_EQ(c.Memory->Output(), "+OK ready\r\nhel");
}

TEST(SocketMemoryStream, SwappedStreamTakesOverAddressesAndPendingInput) {
  TMemoryTcpConnection c;
  c.Memory->SetPeer("192.0.2.1", 25);
  c.Memory->FeedInput("x");
  auto next = std::make_unique<TqvMemoryNetworkStream>();
  TqvMemoryNetworkStream* n = next.get();
  c.SetNetworkStream(std::move(next));
  EXPECT_EQ(&c.GetNetworkStream(), n);
  EXPECT_EQ(n->PeerIP(), "192.0.2.1");
  EXPECT_EQ(n->PeerPort(), 25);
  EXPECT_TRUE(n->HasReadData());
  EXPECT_TRUE(c.Active());  // the live connection is untouched
}

TEST(SocketMemoryStream, CloseWithNoticeLetsTheStreamSendItsClosingRecord) {
  TMemoryTcpConnection quiet;
  quiet.SetNetworkStream(std::make_unique<TClosingRecordStream>());
  quiet.Close(false);
  EXPECT_FALSE(quiet.Active());
  EXPECT_EQ(static_cast<TqvMemoryNetworkStream&>(quiet.GetNetworkStream()).Output(), "");

  TMemoryTcpConnection c;
  c.SetNetworkStream(std::make_unique<TClosingRecordStream>());
  c.Close(true);
  EXPECT_EQ(static_cast<TqvMemoryNetworkStream&>(c.GetNetworkStream()).Output(), "BYE");
  EXPECT_FALSE(c.Active());
}
