// Output a client does not take: a command producing a large answer waits
// while the connection holds more than its bound, without holding up the
// other connections, and a server stop ends such commands instead of
// waiting for them.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "TestSockets.h"
#include "TestSupport.h"
#include "qvMailServerLimits.h"
#include "qvTcpCommandServer.h"

using testsupport::PollUntil;

namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

constexpr size_t kPiece = 64 * 1024;

// Piece i of a flood: its number, then filler, 64 KB in all.
std::string Piece(int i) {
  std::string p = "piece " + std::to_string(i) + " ";
  p.resize(kPiece - 2, 'x');
  return p + "\r\n";
}

// NOOP; FLOOD n (n pieces, then "250 done"); FOREVER (pieces for up to 20 s);
// SAVE (300 ms of store work, then "250 saved").
class TFloodServer : public TqvTcpCommandServer {
 public:
  TFloodServer() {
    SetLocalBinding("127.0.0.1");
    SetMinThreadCount(2);
    SetMaxThreadCount(2);
  }
  ~TFloodServer() override { Stop(); }
  std::atomic<int> Saved{0};
  std::atomic<int> Producing{0};
  TqvUserConnectionPtr Connection(int AIndex) { return GetConnection(AIndex); }

 protected:
  TqvUserConnectionPtr CreateDefaultConnection() override { return std::make_shared<TqvCommandConnection>(); }
  void Add(const std::string& name, TqvTcpCommandFunc::THandler h) {
    Commands().AddCommand(std::make_unique<TqvTcpCommandFunc>(name, std::move(h)));
  }
  void AddCommands() override {
    Add("NOOP", [this](TqvCommandConnection* c, TqvTcpCommandParams* p) { SendResponse(c, p->Command, "250 OK"); });
    Add("FLOOD", [this](TqvCommandConnection* c, TqvTcpCommandParams* p) {
      const int n = std::stoi(p->Params);
      for (int i = 0; i < n; ++i) SendRawBytes(c, Piece(i));
      SendResponse(c, p->Command, "250 done");
    });
    Add("FOREVER", [this](TqvCommandConnection* c, TqvTcpCommandParams*) {
      ++Producing;
      const auto end = TClock::now() + 20s;
      for (int i = 0; TClock::now() < end; ++i) SendRawBytes(c, Piece(i));
    });
    Add("STREAM", [this](TqvCommandConnection* c, TqvTcpCommandParams*) {
      std::string text;
      for (int i = 0; i < 64; ++i) text += Piece(i);
      SendStreamedLines(c, "250 stream", std::make_unique<TStringStream>(text), ".");
    });
    Add("SAVE", [this](TqvCommandConnection* c, TqvTcpCommandParams* p) {
      ++Producing;
      std::this_thread::sleep_for(300ms);
      ++Saved;
      SendResponse(c, p->Command, "250 saved");
    });
  }
  std::unique_ptr<TqvTcpCommandInfo> CreateUnknownCommandInfo(TqvTcpCommandParams*) override {
    return std::make_unique<TqvTcpCommandFunc>("", [this](TqvCommandConnection* c, TqvTcpCommandParams* p) {
      SendResponse(c, p->Command, "500 unknown");
    });
  }
  void DoCommandError(TqvCommandConnection* c, TqvTcpCommandParams* p, const std::exception&) override {
    SendResponse(c, p->Command, "451 internal");
  }
};

using TSlowClient = testsupport::TLineClient;


}  // namespace

TEST(OutputBound, ClientsThatDoNotReadHoldTheBoundAndOthersAreStillServed) {
  TFloodServer server;
  testsupport::StartOnFreePort(server);
  constexpr int kPieces = 400;  // 25 MB each
  std::vector<std::unique_ptr<TSlowClient>> flooders;
  // More flooders than workers: each waiting one gives its place up.
  for (int i = 0; i < 3; ++i) {
    flooders.push_back(std::make_unique<TSlowClient>(server.BoundPort()));
    flooders.back()->Send("FLOOD " + std::to_string(kPieces) + "\r\n");
  }
  ASSERT_TRUE(PollUntil([&] { return server.ThreadPool().BlockedCount() == 3; }));
  for (int i = 0; i < 3; ++i) {
    const TqvUserConnectionPtr c = server.Connection(i);
    ASSERT_TRUE(c);
    EXPECT_LE(c->PendingOutput(), qvMaxPendingOutputBytes + static_cast<int64_t>(kPiece)) << i;
  }
  // Another client meets no queue behind the flooders.
  testsupport::TLineClient other(server.BoundPort());
  const auto asked = TClock::now();
  EXPECT_EQ(other.Cmd("NOOP"), "250 OK");
  EXPECT_LT(TClock::now() - asked, 1s);

  // Once read, every flood is whole and in order.
  for (auto& f : flooders) {
    for (int i = 0; i < kPieces; ++i) {
      const std::string got = f->ReadUntil("\r\n", 5000);
      ASSERT_TRUE(got == Piece(i)) << i << ": " << got.size() << " bytes: " << got.substr(0, 20);
    }
    EXPECT_EQ(f->Line(), "250 done");
  }
  EXPECT_TRUE(PollUntil([&] { return server.ThreadPool().BlockedCount() == 0; }));
}

TEST(OutputBound, StopEndsCommandsThatWouldRunOnAndKeepsFinishedStoreWork) {
  TFloodServer server;
  testsupport::StartOnFreePort(server);
  // One client never reads, one reads all the time, one waits for a store write.
  TSlowClient stalled(server.BoundPort());
  stalled.Send("FOREVER\r\n");
  testsupport::TLineClient reading(server.BoundPort());
  reading.Send("FOREVER\r\n");
  testsupport::TLineClient saving(server.BoundPort());
  saving.Send("SAVE\r\n");
  std::atomic<bool> readerDone{false};
  std::thread reader([&] {
    while (!reading.Eof) reading.ReadUntil("\x01never", 10000);
    readerDone = true;
  });
  ASSERT_TRUE(PollUntil([&] { return server.Producing.load() == 3; }));
  std::this_thread::sleep_for(50ms);
  const auto asked = TClock::now();
  server.Stop();
  const auto took = TClock::now() - asked;
  EXPECT_LT(took, 3s);
  // The running store write was not cut short.
  EXPECT_EQ(server.Saved.load(), 1);
  EXPECT_TRUE(PollUntil([&] { return readerDone.load(); }));
  reader.join();
  stalled.ReadUntil("\x01never", 100);
}

TEST(OutputBound, PipelinedStreamedAnswersWaitTheirTurnInsteadOfPilingUp) {
  TFloodServer server;
  testsupport::StartOnFreePort(server);
  testsupport::TLineClient c(server.BoundPort());
  std::string batch;
  for (int i = 0; i < 20; ++i) batch += "STREAM\r\n";
  c.Send(batch);
  // The first answer streams; the next one waits for it to drain.
  ASSERT_TRUE(PollUntil([&] { return server.ThreadPool().BlockedCount() == 1; }));
  for (int n = 0; n < 20; ++n) {
    ASSERT_EQ(c.Line(), "250 stream") << n;
    for (int i = 0; i < 64; ++i) ASSERT_TRUE(c.ReadUntil("\r\n", 5000) == Piece(i)) << n << " " << i;
    ASSERT_EQ(c.Line(), ".") << n;
  }
}
