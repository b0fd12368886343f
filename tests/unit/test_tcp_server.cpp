// The TCP server over real loopback sockets: an echo server built on it, with
// clients on plat:: sockets.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "qvServerGuard.h"
#include "qvTcpServer.h"
#include "TestSockets.h"

using testsupport::PollUntil;

namespace {

std::atomic<int> gLiveConnections{0};

class TCountedConnection : public TqvUserConnection {
 public:
  TCountedConnection() { ++gLiveConnections; }
  ~TCountedConnection() override { --gLiveConnections; }
};

// Echoes what arrives. "BIG\n" answers 4 MiB and closes after it, "HUGE\n"
// the same 4 MiB without closing; "QUIT\n" answers "bye\n" and closes;
// "SLOW\n" answers "slow\n" after 3 s.
class TEchoServer : public TqvTcpServer {
 public:
  static constexpr int64_t kBigSize = 4 * 1024 * 1024;
  TEchoServer() {
    SetLocalBinding("127.0.0.1");
    OnServerError = [this](TObject*, TqvUserConnection*, const std::exception& E) {
      std::scoped_lock lock(Mutex);
      auto* se = dynamic_cast<const EqvSocketError*>(&E);
      Log.push_back("error " + std::to_string(se ? se->ErrorCode : 0));
    };
    OnAcceptConnection = [this](TObject*, TqvUserConnection* c, bool&) {
      std::scoped_lock lock(Mutex);
      Log.push_back("accept " + std::to_string(c->PeerPort));
    };
    OnCloseConnection = [this](TObject*, TqvUserConnection* c) {
      std::scoped_lock lock(Mutex);
      Log.push_back("close " + std::to_string(c->PeerPort));
    };
  }
  ~TEchoServer() override { Stop(); }

  std::vector<std::string> Events() {
    std::scoped_lock lock(Mutex);
    return Log;
  }
  int Count(const std::string& prefix) {
    int n = 0;
    for (const std::string& e : Events()) n += e.rfind(prefix, 0) == 0;
    return n;
  }

  std::mutex Mutex;
  std::vector<std::string> Log;
  // Close-after-write replies the socket could not take at once.
  std::atomic<int> DeferredCloses{0};
  std::atomic<int> SlowCommands{0};  // SLOW commands begun

 protected:
  TqvUserConnectionPtr CreateDefaultConnection() override { return std::make_shared<TCountedConnection>(); }
  void DoReadConnection(TqvUserConnection* c, TStream& AData) override {
    std::string text(static_cast<size_t>(AData.Size()), '\0');
    AData.ReadBuffer(text.data(), AData.Size());
    if (text == "BIG\n" || text == "HUGE\n") {
      std::string big(static_cast<size_t>(kBigSize), '\0');
      for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 4096);
      int small = 65536;  // so the reply cannot fit the socket buffers
      plat::setsockopt(c->Socket().Socket(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
      if (text == "HUGE\n")
        c->WriteData(big);  // stays open: the client decides when to go
      else if (!c->WriteDataAndClose(big))
        ++DeferredCloses;
    } else if (text == "QUIT\n") {
      c->WriteDataAndClose(std::string("bye\n"));
    } else if (text == "SLOW\n") {
      ++SlowCommands;
      std::this_thread::sleep_for(std::chrono::seconds(3));
      c->WriteData(std::string("slow\n"));
    } else {
      c->WriteData(text);
    }
  }
};


using testsupport::StartOnFreePort;

class TClient {
 public:
  explicit TClient(int port) {
    FSocket = plat::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (plat::connect(FSocket, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      EXPECT_EQ(plat::WSAGetLastError(), plat::WSAEWOULDBLOCK);
    }
    pollfd p{FSocket, POLLOUT, 0};
    ::poll(&p, 1, 5000);
    sockaddr_in local{};
    socklen_t len = sizeof local;
    plat::getsockname(FSocket, reinterpret_cast<sockaddr*>(&local), &len);
    LocalPort = ntohs(local.sin_port);
  }
  ~TClient() { plat::closesocket(FSocket); }
  TClient(const TClient&) = delete;
  TClient& operator=(const TClient&) = delete;

  void Send(const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
      int n = plat::send(FSocket, data.data() + done, static_cast<int>(data.size() - done), 0);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else {
        pollfd p{FSocket, POLLOUT, 0};
        ASSERT_GT(::poll(&p, 1, 5000), 0);
      }
    }
  }
  // Reads until want bytes, EOF or a quiet spell of timeoutMs; Eof tells which.
  std::string Read(size_t want, int timeoutMs = 5000) {
    std::string out;
    char buf[65536];
    while (out.size() < want) {
      pollfd p{FSocket, POLLIN, 0};
      if (::poll(&p, 1, timeoutMs) <= 0) break;
      int n = plat::recv(FSocket, buf, sizeof buf, 0);
      if (n == 0) {
        Eof = true;
        break;
      }
      if (n < 0) {
        if (plat::WSAGetLastError() == plat::WSAEWOULDBLOCK) continue;
        Eof = true;
        break;
      }
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }
  std::string ReadToEof(int timeoutMs = 5000) { return Read(SIZE_MAX, timeoutMs); }

  plat::SOCKET FSocket;
  int LocalPort = 0;
  bool Eof = false;
};

}  // namespace

TEST(TcpServerStart, RefusesBadStartsAndQueriesWhileStopped) {
  TEchoServer server;
  server.SetPort(70000);
  try {
    server.Start();
    FAIL() << "port 70000 started";
  } catch (const EqvTcpServerError& e) {
    EXPECT_EQ(e.ErrorCode, -3);
    EXPECT_STREQ(e.what(), "Invalid port number");
  }
  EXPECT_FALSE(server.IsStarted());
  EXPECT_EQ(server.Events(), std::vector<std::string>{"error -3"});  // reported before raising
  server.SetPort(0);
  EXPECT_THROW(server.Start(), EqvTcpServerError);
  EXPECT_FALSE(server.IsStarted());

  try {
    (void)server.GetConnectionCount();
    FAIL();
  } catch (const EqvTcpServerError& e) {
    EXPECT_EQ(e.ErrorCode, -301);
  }

  server.SetSessionTimeOut(3000);
  EXPECT_EQ(server.SessionTimeOut(), 600000);

  StartOnFreePort(server);
  try {
    server.Start();
    FAIL();
  } catch (const EqvTcpServerError& e) {
    EXPECT_EQ(e.ErrorCode, -300);
  }
  TEchoServer second;
  second.SetPort(server.Port());
  try {
    second.Start();
    FAIL() << "second listener on one port";
  } catch (const EqvTcpServerError& e) {
    EXPECT_EQ(e.ErrorCode, 10048);
  }
  EXPECT_FALSE(second.IsStarted());
  server.Stop();
  EXPECT_FALSE(server.IsStarted());
}

TEST(TcpServerEcho, ClientsGetTheirOwnBytesBackInOrder) {
  TEchoServer server;
  StartOnFreePort(server);
  {
    TClient a(server.Port()), b(server.Port()), c(server.Port());
    std::string lines;
    for (int i = 0; i < 1000; ++i) lines += "line " + std::to_string(i) + "\r\n";
    a.Send(lines);
    b.Send("hello b\n");
    c.Send("hello c\n");
    EXPECT_EQ(a.Read(lines.size()), lines);
    EXPECT_EQ(b.Read(8), "hello b\n");
    EXPECT_EQ(c.Read(8), "hello c\n");
    EXPECT_TRUE(PollUntil([&] { return server.GetConnectionCount() == 3; }));
  }
  EXPECT_TRUE(PollUntil([&] { return server.Count("close") == 3; }));
  EXPECT_EQ(server.Count("error"), 0);
  server.Stop();
  EXPECT_EQ(gLiveConnections.load(), 0);
}

// Handles what it read outside the connection lock and slowly, as a command
// server does: a second read item for the connection must not overtake it.
class TSlowHandlerServer : public TEchoServer {
 protected:
  void ReadConnection(TqvUserConnection* c) override {
    TMemoryStream data;
    {
      const auto lock = c->WorkLock();
      ReadConnectionData(c, &data);
    }
    // Uneven handling times let a later item finish first if it may run.
    thread_local std::mt19937 rng(std::random_device{}());
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 4000));
    data.SetPosition(0);
    c->WriteData(&data);
  }
};

TEST(TcpServerEcho, PipelinedPiecesAreHandledInArrivalOrder) {
  TSlowHandlerServer server;
  server.SetMaxThreadCount(5);
  StartOnFreePort(server);
  {
    TClient client(server.Port());
    std::string all;
    for (int i = 0; i < 500; ++i) {
      const std::string piece = std::to_string(i) + ";";
      client.Send(piece);
      all += piece;
      if (i % 5 == 0) std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    EXPECT_EQ(client.Read(all.size()), all);
  }
  server.Stop();
}

TEST(TcpServerEcho, TwoHundredClientsMiBEachInRandomPieces) {
  constexpr int kClients = 200;
  constexpr size_t kBytes = 1 << 20;
  TEchoServer server;
  StartOnFreePort(server);
  {
    std::vector<std::unique_ptr<TClient>> clients;
    std::vector<std::string> data(kClients);
    std::vector<size_t> sent(kClients, 0), got(kClients, 0);
    std::mt19937 rng(12345);
    for (int i = 0; i < kClients; ++i) {
      clients.push_back(std::make_unique<TClient>(server.Port()));
      data[i].resize(kBytes);
      for (char& ch : data[i]) ch = static_cast<char>(rng());
    }
    std::vector<char> buf(1 << 16);
    bool mismatch = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int done = 0;
    while (done < kClients && !mismatch && std::chrono::steady_clock::now() < deadline) {
      std::vector<pollfd> fds;
      for (int i = 0; i < kClients; ++i) {
        short ev = got[i] < kBytes ? POLLIN : 0;
        if (sent[i] < kBytes) ev |= POLLOUT;
        fds.push_back({clients[i]->FSocket, ev, 0});
      }
      if (::poll(fds.data(), fds.size(), 1000) <= 0) continue;
      for (int i = 0; i < kClients; ++i) {
        if ((fds[i].revents & POLLOUT) && sent[i] < kBytes) {
          const size_t piece = std::min<size_t>(kBytes - sent[i], 1 + rng() % 40000);
          int n = plat::send(clients[i]->FSocket, data[i].data() + sent[i], static_cast<int>(piece), 0);
          if (n > 0) sent[i] += static_cast<size_t>(n);
        }
        if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
          int n = plat::recv(clients[i]->FSocket, buf.data(), static_cast<int>(1 + rng() % buf.size()), 0);
          if (n == 0) mismatch = true;  // the server must not close
          if (n > 0) {
            if (data[i].compare(got[i], static_cast<size_t>(n), buf.data(), static_cast<size_t>(n)) != 0)
              mismatch = true;
            got[i] += static_cast<size_t>(n);
            if (got[i] == kBytes) ++done;
          }
        }
      }
    }
    EXPECT_FALSE(mismatch);
    EXPECT_EQ(done, kClients);
  }
  EXPECT_TRUE(PollUntil([&] { return server.Count("close") == kClients; }, std::chrono::seconds(20)));
  EXPECT_EQ(server.Count("error"), 0);
  server.Stop();
  EXPECT_EQ(gLiveConnections.load(), 0);
}

TEST(TcpServerLifecycle, StopClosesOpenConnectionsLastAcceptedFirst) {
  TEchoServer server;
  int stops = 0;
  server.OnStop = [&](TObject*) { ++stops; };
  StartOnFreePort(server);
  TClient a(server.Port());
  ASSERT_TRUE(PollUntil([&] { return server.GetConnectionCount() == 1; }));
  TClient b(server.Port());
  ASSERT_TRUE(PollUntil([&] { return server.GetConnectionCount() == 2; }));
  TClient c(server.Port());
  ASSERT_TRUE(PollUntil([&] { return server.GetConnectionCount() == 3; }));
  server.Stop();
  EXPECT_EQ(stops, 1);
  for (TClient* client : {&a, &b, &c}) {
    EXPECT_EQ(client->ReadToEof(), "");
    EXPECT_TRUE(client->Eof);
  }
  const std::vector<std::string> want = {
      "accept " + std::to_string(a.LocalPort), "accept " + std::to_string(b.LocalPort),
      "accept " + std::to_string(c.LocalPort), "close " + std::to_string(c.LocalPort),
      "close " + std::to_string(b.LocalPort),  "close " + std::to_string(a.LocalPort)};
  EXPECT_EQ(server.Events(), want);
  EXPECT_EQ(gLiveConnections.load(), 0);
  server.Stop();  // a second stop does nothing
  EXPECT_EQ(stops, 1);
}

TEST(TcpServerWrite, CloseAfterWriteSendsEverythingFirst) {
  TEchoServer server;
  StartOnFreePort(server);
  {
    // The reply fits one send: the close still follows without the client
    // doing anything more.
    TClient quick(server.Port());
    quick.Send("QUIT\n");
    EXPECT_EQ(quick.ReadToEof(), "bye\n");
    EXPECT_TRUE(quick.Eof);

    // A reader that waits first: it reads only once the server has found
    // that most of the 4 MiB must stay buffered behind the close.
    TClient slow(server.Port());
    int small = 65536;
    plat::setsockopt(slow.FSocket, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    slow.Send("BIG\n");
    ASSERT_TRUE(PollUntil([&] { return server.DeferredCloses.load() > 0; }));
    const std::string got = slow.ReadToEof();
    ASSERT_EQ(static_cast<int64_t>(got.size()), TEchoServer::kBigSize);
    for (size_t i = 0; i < got.size(); i += 4093)
      ASSERT_EQ(got[i], static_cast<char>(i * 7 + i / 4096)) << i;
    EXPECT_TRUE(slow.Eof);
    EXPECT_GT(server.DeferredCloses.load(), 0);  // the case above was really met
  }
  server.Stop();
  EXPECT_EQ(gLiveConnections.load(), 0);
}

TEST(TcpServerSession, IdleConnectionClosedWhileBusyOneStays) {
  TEchoServer server;
  server.SetSessionTimeOut(5000);
  StartOnFreePort(server);
  TClient idle(server.Port()), busy(server.Port());
  const auto start = std::chrono::steady_clock::now();
  bool idleClosed = false;
  while (std::chrono::steady_clock::now() - start < std::chrono::seconds(15)) {
    busy.Send("x");
    ASSERT_EQ(busy.Read(1), "x");
    std::string r = idle.Read(1, 400);
    if (idle.Eof) {
      idleClosed = true;
      EXPECT_EQ(r, "");
      break;
    }
  }
  EXPECT_TRUE(idleClosed);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4900));
  busy.Send("still here");
  EXPECT_EQ(busy.Read(10), "still here");
  EXPECT_FALSE(busy.Eof);
  EXPECT_EQ(server.Count("close " + std::to_string(idle.LocalPort)), 1);
  EXPECT_EQ(server.Count("close " + std::to_string(busy.LocalPort)), 0);
  server.Stop();
}

TEST(TcpServerGuard, BlackListedPeerIsRefusedWithoutAccept) {
  TqvServerGuard guard;
  guard.BlackIPList().Add("127.0.0.1");
  TEchoServer server;
  server.SetGuard(&guard);
  StartOnFreePort(server);
  TClient client(server.Port());
  client.Send("hello");
  EXPECT_EQ(client.ReadToEof(), "");
  EXPECT_TRUE(client.Eof);
  ASSERT_TRUE(PollUntil([&] { return server.Count("close") == 1; }));
  EXPECT_EQ(server.Events(),
            (std::vector<std::string>{"error -302", "close " + std::to_string(client.LocalPort)}));
  server.Stop();
  EXPECT_EQ(gLiveConnections.load(), 0);
}

namespace {

void ExpectBigReply(const std::string& got) {
  ASSERT_EQ(static_cast<int64_t>(got.size()), TEchoServer::kBigSize);
  for (size_t i = 0; i < got.size(); i += 4093) ASSERT_EQ(got[i], static_cast<char>(i * 7 + i / 4096)) << i;
}

}  // namespace

TEST(TcpServerPeerClose, HalfClosingClientStillGetsQueuedReply) {
  TEchoServer server;
  StartOnFreePort(server);
  {
    // The client asks and shuts its side at once, then reads late: the reply
    // is far larger than the socket buffers, so most of it is still queued on
    // the server when the peer's close arrives.
    TClient c(server.Port());
    int small = 65536;
    plat::setsockopt(c.FSocket, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    c.Send("HUGE\n");
    plat::shutdown(c.FSocket, SHUT_WR);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ExpectBigReply(c.ReadToEof());
    EXPECT_TRUE(c.Eof);  // and the server closes once it is out
  }
  EXPECT_TRUE(PollUntil([&] { return server.Count("close") == 1; }));
  server.Stop();
  EXPECT_EQ(gLiveConnections.load(), 0);
}

TEST(TcpServerPeerClose, ClientVanishingMidReplyLeavesServerServing) {
  TEchoServer server;
  StartOnFreePort(server);
  {
    TClient gone(server.Port());
    gone.Send("HUGE\n");
    (void)gone.Read(1000);
    // Closing with unread data resets the connection under the server's write.
    linger hard{1, 0};
    plat::setsockopt(gone.FSocket, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  }
  EXPECT_TRUE(PollUntil([&] { return server.Count("close") == 1; }));
  TClient next(server.Port());
  next.Send("still here\n");
  EXPECT_EQ(next.Read(11), "still here\n");
  // Once no item is queued or running, no path is left that could close
  // the gone connection again (the listener no longer knows its socket).
  ASSERT_TRUE(PollUntil([&] {
    return server.ThreadPool().BusyCount() == 0 && server.ThreadPool().QueuedCount() == 0;
  }));
  EXPECT_EQ(server.Count("close"), 1);  // closed once, whichever path saw it
  server.Stop();
  EXPECT_EQ(gLiveConnections.load(), 0);
}

TEST(TcpServerThrottle, ServerConnectionsAreThrottledByBitsPerSec) {
  TEchoServer server;
  // One 8192-byte batch takes 250 ms at this rate; a read item asks for at
  // least one batch before it sees the data.
  server.SetBitsPerSec(8192 * 8 * 4);
  StartOnFreePort(server);
  TClient c(server.Port());
  const auto start = std::chrono::steady_clock::now();
  c.Send("ping\n");
  EXPECT_EQ(c.Read(5), "ping\n");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(240));
  server.Stop();
}

// A worker that handled a read waits on the socket for the next input and
// carries it itself, while the pool has a worker to spare.
namespace {

void RoundTrips(TClient& c, int n) {
  for (int i = 0; i < n; ++i) {
    const std::string text = "line " + std::to_string(i) + "\n";
    c.Send(text);
    ASSERT_EQ(c.Read(text.size()), text);
  }
}

}  // namespace

TEST(TcpServerCarry, AskAndAnswerClientCostsNoItemPerCommandUnlessSwitchedOff) {
  for (int linger : {5000, 0}) {
    TEchoServer server;
    server.SetReadLinger(linger);
    std::atomic<int> items{0};  // read and write items handed to the pool
    server.ThreadPool().OnQueueWorkItem = [&items](TObject*, TqvWorkItem*) { ++items; };
    StartOnFreePort(server);
    TClient c(server.Port());
    RoundTrips(c, 30);
    if (linger > 0)
      EXPECT_LE(items.load(), 2) << "each command went through the pool";
    else
      EXPECT_GE(items.load(), 30);
    // Carried or not, the connection ends as before.
    c.Send("QUIT\n");
    EXPECT_EQ(c.ReadToEof(), "bye\n");
    EXPECT_TRUE(c.Eof);
    EXPECT_TRUE(PollUntil([&] { return server.Count("close") == 1; }));
    server.Stop();
    EXPECT_EQ(gLiveConnections.load(), 0);
  }
}

TEST(TcpServerCarry, PeerCloseAndStopEndAWaitingWorkerEarly) {
  TEchoServer server;
  server.SetReadLinger(20000);
  StartOnFreePort(server);
  const auto start = std::chrono::steady_clock::now();
  {
    TClient gone(server.Port());
    RoundTrips(gone, 3);
  }
  // The waiting worker sees the close at once, not after its wait.
  EXPECT_TRUE(PollUntil([&] { return server.Count("close") == 1; }, std::chrono::seconds(5)));
  TClient kept(server.Port());
  RoundTrips(kept, 3);
  server.Stop();
  EXPECT_EQ(kept.ReadToEof(), "");
  EXPECT_TRUE(kept.Eof);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(19));
  EXPECT_EQ(gLiveConnections.load(), 0);
}

TEST(TcpServerCarry, NoWorkerWaitsWhileAnotherConnectionWouldQueue) {
  TEchoServer server;
  server.SetReadLinger(20000);
  server.SetMaxThreadCount(2);
  StartOnFreePort(server);
  TClient a(server.Port()), b(server.Port()), c(server.Port());
  const auto start = std::chrono::steady_clock::now();
  for (int round = 0; round < 5; ++round)
    for (TClient* client : {&a, &b, &c}) RoundTrips(*client, 1);
  // Two workers, three talking connections: a worker that waited for its
  // own connection's next input would hold the others up for its wait.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  server.Stop();

  // One worker waits for d's input, the other is busy with e's command: f's
  // input must queue, and the waiting worker gives way to it.
  TEchoServer fresh;
  fresh.SetReadLinger(20000);
  fresh.SetMaxThreadCount(2);
  StartOnFreePort(fresh);
  TClient d(fresh.Port()), e(fresh.Port()), f(fresh.Port());
  ASSERT_TRUE(PollUntil([&] { return fresh.GetConnectionCount() == 3 && fresh.ThreadPool().BusyCount() == 0; }));
  RoundTrips(d, 1);
  e.Send("SLOW\n");
  // e's command holds a worker from now on.
  ASSERT_TRUE(PollUntil([&] { return fresh.SlowCommands.load() == 1; }));
  const auto asked = std::chrono::steady_clock::now();
  RoundTrips(f, 1);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(2000));
  EXPECT_EQ(e.Read(5), "slow\n");
  fresh.Stop();
}
