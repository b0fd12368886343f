// The line-command framework: receive handlers fed in every split, and a small
// protocol server driven through memory sessions on the test's thread (and
// over loopback where sockets, workers or timing are the point).
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TestSockets.h"
#include "TestSupport.h"
#include "qvServerGuard.h"
#include "qvMailServerLimits.h"
#include "qvTcpCommandServer.h"

namespace {

class TTestConnection : public TqvCommandConnection {};

// NOOP, ECHO, DATA (block), AUTH (one more line), LIT n (n bytes), LIST n
// (n lines, dot-terminated), QUIT, FAIL/FAILCLOSE (command errors), BOOM (a
// handler failure); anything else is unknown.
class TTestServer : public TqvTcpCommandServer {
 public:
  TTestServer() {
    SetLocalBinding("127.0.0.1");
    OnSendResponse = [this](TObject*, TqvCommandConnection*, const std::string&, const std::string& r) {
      std::scoped_lock lock(Mutex);
      Logged.push_back(r);
    };
  }
  ~TTestServer() override { Stop(); }
  void DoServerError(TqvUserConnection*, const std::exception& E) noexcept override {
    std::scoped_lock lock(Mutex);
    Errors.push_back(E.what());
  }
  std::vector<std::string> Errors;
  std::mutex Mutex;
  std::vector<std::string> Logged;

 protected:
  TqvUserConnectionPtr CreateDefaultConnection() override { return std::make_shared<TTestConnection>(); }
  void DoAcceptConnection(TqvUserConnection* c, bool&) override {
    SendResponse(static_cast<TqvCommandConnection*>(c), "", "220 ready");
  }
  void Add(const std::string& name, TqvTcpCommandFunc::THandler h) {
    Commands().AddCommand(std::make_unique<TqvTcpCommandFunc>(name, std::move(h)));
  }
  void AddCommands() override {
    Add("NOOP", [this](TqvCommandConnection* c, TqvTcpCommandParams* p) { SendResponse(c, p->Command, "250 OK"); });
    Add("ECHO", [this](TqvCommandConnection* c, TqvTcpCommandParams* p) { SendResponse(c, p->Command, "250 " + p->Params); });
    Add("QUIT", [this](TqvCommandConnection* c, TqvTcpCommandParams* p) { SendResponseAndClose(c, p->Command, "221 bye"); });
    Add("FAIL", [](TqvCommandConnection*, TqvTcpCommandParams* p) {
      throw EqvTcpCommandServerError(p->Command, "550 failed", 550);
    });
    Add("FAILCLOSE", [](TqvCommandConnection*, TqvTcpCommandParams* p) {
      throw EqvTcpCommandServerError(p->Command, true, 421, "421 closing");
    });
    Add("BOOM", [](TqvCommandConnection*, TqvTcpCommandParams*) { throw std::runtime_error("boom"); });
    Add("SLOW", [this](TqvCommandConnection* c, TqvTcpCommandParams* p) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      SendResponse(c, p->Command, "250 slow");
    });
    Add("DATA", [this](TqvCommandConnection* c, TqvTcpCommandParams* p) {
      SendResponse(c, p->Command, "354 go");
      StartReadMultiLine(c, std::make_unique<TqvTcpCommandFunc>("DATA", [this](TqvCommandConnection* c2, TqvTcpCommandParams* d) {
        std::string all;
        for (int i = 0; i < d->Lines->Count(); ++i) all += d->Lines->Strings(i) + "|";
        SetCommandHandler(c2);
        SendResponse(c2, "DATA", "250 " + std::to_string(d->Lines->Count()) + " " + all.substr(0, 40));
      }));
    });
    Add("AUTH", [this](TqvCommandConnection* c, TqvTcpCommandParams* p) {
      SendResponse(c, p->Command, "334 more");
      StartReadLine(c, std::make_unique<TqvTcpCommandFunc>("AUTH", [this](TqvCommandConnection* c2, TqvTcpCommandParams* d) {
        SetCommandHandler(c2);
        SendResponse(c2, "AUTH", "235 " + d->Params);
      }));
    });
    // An exchange of several lines on one handler, as SASL steps are.
    Add("ASK", [this](TqvCommandConnection* c, TqvTcpCommandParams* p) {
      SendResponse(c, p->Command, "334 more");
      StartReadLine(c, std::make_unique<TqvTcpCommandFunc>("ASK", [this](TqvCommandConnection* c2, TqvTcpCommandParams* d) {
        if (d->Params != "done") return SendResponse(c2, "ASK", "334 again " + d->Params);
        SetCommandHandler(c2);
        SendResponse(c2, "ASK", "250 asked");
      }));
    });
    Add("LIT", [this](TqvCommandConnection* c, TqvTcpCommandParams* p) {
      StartReadFixedBytes(c, std::make_unique<TqvTcpCommandFunc>("LIT", [this](TqvCommandConnection* c2, TqvTcpCommandParams* d) {
        SetCommandHandler(c2);
        SendResponse(c2, "LIT", "250 " + (d->Lines->Count() ? d->Lines->Strings(0) : std::string()));
      }), std::stoll(p->Params));
    });
    Add("LIST", [this](TqvCommandConnection* c, TqvTcpCommandParams* p) {
      auto lines = std::make_unique<TStringList>();
      const int n = std::stoi(p->Params);
      for (int i = 0; i < n; ++i) lines->Add((i % 7 == 0 ? "." : "") + std::to_string(i) + std::string(60, 'x'));
      std::unique_ptr<TStrings> l = std::move(lines);
      SendMultipleLinesAll(c, l, ".");
    });
  }
  std::unique_ptr<TqvTcpCommandInfo> CreateUnknownCommandInfo(TqvTcpCommandParams*) override {
    return std::make_unique<TqvTcpCommandFunc>("", [this](TqvCommandConnection* c, TqvTcpCommandParams* p) {
      SendResponse(c, p->Command, "500 unknown " + p->Command);
    });
  }
  void DoCommandError(TqvCommandConnection* c, TqvTcpCommandParams* p, const std::exception&) override {
    SendResponse(c, p->Command, "451 internal");
  }
  void DoMaxDataSizeExceeded(TqvCommandConnection* c, bool& Handled) override {
    SendResponse(c, "", "552 too big");
    Handled = true;
  }
};

using TClient = testsupport::TLineClient;

// A session script: every request, and the replies in order.
const std::string kScript =
    "noop\r\nECHO a  b\r\n\r\nFAIL\r\nBOOM\r\nWHAT x\r\n"
    "DATA\r\nline1\r\n..dot\r\n.\r\n"
    "AUTH\r\nsecret\r\n"
    "LIT 5\r\nabcdeECHO after\r\n"
    "QUIT\r\n";
const std::string kReplies =
    "220 ready\r\n250 OK\r\n250 a  b\r\n550 failed\r\n451 internal\r\n500 unknown WHAT\r\n"
    "354 go\r\n250 2 line1|.dot|\r\n"
    "334 more\r\n235 secret\r\n"
    "250 abcde\r\n250 after\r\n"
    "221 bye\r\n";

}  // namespace

TEST(CommandServerSession, PipelinedAndBytewiseSessionsGiveTheSameReplies) {
  TTestServer server;
  {
    TClient all(server);
    all.Send(kScript);  // one read: every handler switch happens mid-read
    EXPECT_EQ(all.ReadUntil("221 bye\r\n"), kReplies);
    all.ReadUntil("never");
    EXPECT_TRUE(all.Eof);
  }
  {
    TClient slow(server);
    for (char ch : kScript) slow.Send(std::string(1, ch));  // one read per byte
    EXPECT_EQ(slow.ReadUntil("221 bye\r\n"), kReplies);
  }
  std::scoped_lock lock(server.Mutex);
  EXPECT_EQ(server.Errors, (std::vector<std::string>{"boom", "boom"}));
  EXPECT_EQ(server.Logged.front(), "220 ready");
  EXPECT_EQ(server.Logged.size(), 2u * 13u);  // single-line replies only, both sessions
}

TEST(CommandServerSession, LinesOfAnExchangeSentTogetherAreEachAnswered) {
  TTestServer server;
  TClient c(server);
  EXPECT_EQ(c.Line(), "220 ready");
  EXPECT_EQ(c.Cmd("ASK"), "334 more");
  // The handler stays for the next line: what follows in the same read
  // has no read event of its own to wait for.
  c.Send("a\r\nb\r\ndone\r\nNOOP\r\n");
  EXPECT_EQ(c.Line(), "334 again a");
  EXPECT_EQ(c.Line(), "334 again b");
  EXPECT_EQ(c.Line(), "250 asked");
  EXPECT_EQ(c.Line(), "250 OK");
}

TEST(CommandServerSession, LongResponseToSlowReaderKeepsLaterRepliesBehindIt) {
  TTestServer server;
  testsupport::StartOnFreePort(server);
  TClient c(server.Port());
  c.ReadUntil("220 ready\r\n");
  // About 10 MB of lines, more than both sockets' buffers hold while the
  // client waits, then a pipelined command the server answers at once.
  c.Send("LIST 150000\r\nNOOP\r\n");
  // The NOOP has been read and its reply waits for room behind the list:
  // only then could the reply try to overtake it.
  ASSERT_TRUE(testsupport::PollUntil([&] { return server.ThreadPool().BlockedCount() == 1; }));
  const std::string got = c.ReadUntil("\r\n.\r\n", 10000);
  ASSERT_TRUE(got.size() > 150000u * 60u) << got.size();
  EXPECT_EQ(got.substr(0, 5), "..0xx");  // dot-stuffed under a "." end line
  EXPECT_EQ(got.find("250 OK"), std::string::npos);
  EXPECT_EQ(c.ReadUntil("250 OK\r\n"), "250 OK\r\n");
}

TEST(CommandServerSession, NothingAfterAClosingReplyRunsOrIsAnswered) {
  TTestServer server;
  // A closing command error, and a closing reply, each followed in the same
  // packet by commands that must never run.
  for (const char* first : {"FAILCLOSE", "QUIT"}) {
    TClient c(server);
    c.Send(std::string(first) + "\r\nNOOP\r\nDATA\r\nx\r\n.\r\nECHO late\r\n");
    const std::string got = c.ReadUntil("never");
    EXPECT_EQ(got, std::string("220 ready\r\n") + (first[0] == 'F' ? "421 closing\r\n" : "221 bye\r\n"));
    EXPECT_TRUE(c.Eof);
  }
  std::scoped_lock lock(server.Mutex);
  EXPECT_EQ(server.Logged.size(), 4u);
}

// A client pipelining more than one turn's worth of commands: every reply in
// order, a handler switch and a close in the middle of the stream included,
// also when the client half-closes right after its last command.
TEST(CommandServerFairness, LongPipelineIsAnsweredWholeAndInOrder) {
  TTestServer server;
  std::string requests, replies = "220 ready\r\n";
  for (int i = 0; i < 300; ++i) {
    requests += "ECHO " + std::to_string(i) + "\r\n";
    replies += "250 " + std::to_string(i) + "\r\n";
    if (i == 150) {
      requests += "DATA\r\nmid\r\n.\r\n";
      replies += "354 go\r\n250 1 mid|\r\n";
    }
  }
  for (const bool halfClose : {false, true}) {
    TClient c(server);
    if (halfClose) {
      // The end of input comes in the same read as the commands.
      c.Memory()->Stream().FeedInput(requests);
      c.Memory()->EndInput();
    } else {
      c.Send(requests + "QUIT\r\nECHO never\r\n");
    }
    const std::string want = replies + (halfClose ? "" : "221 bye\r\n");
    EXPECT_EQ(c.ReadUntil("never"), want);
    EXPECT_TRUE(c.Eof);
  }
  // The same over loopback, with the half-close a socket makes.
  testsupport::StartOnFreePort(server);
  TClient c(server.Port());
  c.Send(requests);
  ::shutdown(c.FSocket, SHUT_WR);
  EXPECT_EQ(c.ReadUntil("never", 3000), replies);
  EXPECT_TRUE(c.Eof);
}

// Five clients each pipeline two seconds of slow commands, enough to keep
// every worker busy; a sixth client's command must still be answered within
// a small part of that, since a read item runs a bounded number of commands
// and then lets the other connections' items go first.
TEST(CommandServerFairness, FloodingClientsCannotHoldAnotherClientsReply) {
  TTestServer server;
  testsupport::StartOnFreePort(server);
  std::string flood;
  for (int i = 0; i < 2000; ++i) flood += "SLOW\r\n";
  std::vector<std::unique_ptr<TClient>> flooders;
  for (int i = 0; i < 5; ++i) {
    flooders.push_back(std::make_unique<TClient>(server.Port()));
    flooders.back()->ReadUntil("220 ready\r\n");
    flooders.back()->Send(flood);
  }
  for (auto& f : flooders) f->ReadUntil("250 slow\r\n");  // every worker has a flooder's item
  TClient normal(server.Port());
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(normal.ReadUntil("220 ready\r\n"), "220 ready\r\n");
  normal.Send("ECHO mine\r\n");
  EXPECT_EQ(normal.ReadUntil("250 mine\r\n"), "250 mine\r\n");
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1000));
  for (auto& f : flooders) f->Close();
}

// A burst of connections larger than the configured backlog: the kernel drops
// what overflows its accept queue without telling the client, which then
// waits on SYN retransmissions or, with SYN cookies, forever. Every one of
// them must be greeted.
TEST(CommandServerFairness, BurstBeyondTheBacklogIsGreetedWhole) {
  TTestServer server;
  server.SetMaxConnectionQueue(2);
  testsupport::StartOnFreePort(server);
  constexpr int kClients = 400;
  std::vector<int> fds;
  for (int i = 0; i < kClients; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in a = testsupport::Loopback(static_cast<uint16_t>(server.Port()));
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fds.push_back(fd);
  }
  int greeted = 0;
  std::vector<pollfd> waiting;
  for (int fd : fds) waiting.push_back({fd, POLLIN, 0});
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!waiting.empty() && std::chrono::steady_clock::now() < end) {
    if (::poll(waiting.data(), waiting.size(), 200) <= 0) continue;
    std::erase_if(waiting, [&](const pollfd& p) {
      if (!p.revents) return false;
      char buf[64];
      const ssize_t n = ::recv(p.fd, buf, sizeof buf, 0);
      if (n > 0 && std::string(buf, static_cast<size_t>(n)).starts_with("220 ready")) ++greeted;
      return true;
    });
  }
  for (int fd : fds) ::close(fd);
  EXPECT_EQ(greeted, kClients);
}

TEST(CommandServerSession, OverlongCommandLineGetsTheSizeReplyAndIsClosed) {
  TTestServer server;
  TClient c(server);
  c.ReadUntil("220 ready\r\n");
  const std::string junk(static_cast<size_t>(qvMaxCommandLineBytes) * 3, 'A');
  c.Send(junk);
  EXPECT_EQ(c.ReadUntil("552 too big\r\n"), "552 too big\r\n");
  c.ReadUntil("never");
  EXPECT_TRUE(c.Eof);
}

TEST(CommandServerSession, CommandsBeforeAnOverlongLineAreAnsweredFirst) {
  TTestServer server;
  const std::string junk(static_cast<size_t>(qvMaxCommandLineBytes) + 5000, 'A');
  // The long line complete in the same write, or still unfinished.
  for (const std::string end : {"\r\nNOOP\r\n", ""}) {
    TClient c(server);
    c.ReadUntil("220 ready\r\n");
    c.Send("NOOP\r\nECHO x\r\n" + junk + end);
    EXPECT_EQ(c.ReadUntil("552 too big\r\n"), "250 OK\r\n250 x\r\n552 too big\r\n");
    c.ReadUntil("never");
    EXPECT_TRUE(c.Eof);
  }
  // A block started before it takes the long line as its data.
  TClient d(server);
  d.ReadUntil("220 ready\r\n");
  d.Send("DATA\r\n" + junk + "\r\n.\r\nNOOP\r\n");
  EXPECT_EQ(d.ReadUntil("250 OK\r\n"), "354 go\r\n250 1 " + junk.substr(0, 40) + "\r\n250 OK\r\n");
}

// --- the memory session itself

// A stopped server lists a memory session's connection while it is open, and
// either side's close ends it once, with the close event, and frees it.
TEST(CommandServerMemorySession, ListedWhileOpenAndClosedOnceByEitherSide) {
  TTestServer server;
  int closes = 0;
  server.OnCloseConnection = [&](TObject*, TqvUserConnection*) { ++closes; };
  {
    TClient quits(server);
    EXPECT_EQ(quits.Line(), "220 ready");
    EXPECT_EQ(server.GetConnectionCount(), 1);
    const std::weak_ptr<TqvUserConnection> held = server.GetConnection(0);
    EXPECT_EQ(held.lock().get(), &quits.Memory()->Connection());
    {
      TClient other(server);
      EXPECT_EQ(server.GetConnectionCount(), 2);
    }  // the client leaves: the server sees the end of its input
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(quits.Cmd("QUIT"), "221 bye");
    EXPECT_TRUE(quits.Memory()->Closed());
    EXPECT_EQ(closes, 2);
    EXPECT_TRUE(held.expired());  // let go as a finished work item lets go
  }
  EXPECT_EQ(closes, 2);
  // Nothing listed any more: the queries answer as on any stopped server.
  EXPECT_EQ(testsupport::ErrorCodeOf<EqvTcpServerError>([&] { (void)server.GetConnectionCount(); }), -301);
}

// Input beyond one read's bound and one item's command budget is answered
// whole by one Send, as the socket's further read events would have it.
TEST(CommandServerMemorySession, OneSendIsAnsweredWholeBeyondTheReadBound) {
  TTestServer server;
  TClient c(server);
  c.Line();
  const std::string word(1000, 'w');
  std::string requests, replies;
  for (int i = 0; i < 600; ++i) {  // about 600 KB: three reads' worth
    requests += "ECHO " + std::to_string(i) + word + "\r\n";
    replies += "250 " + std::to_string(i) + word + "\r\n";
  }
  ASSERT_GT(static_cast<int64_t>(requests.size()), 2 * qvMaxBytesPerRead);
  c.Send(requests);
  EXPECT_EQ(c.ReadUntil("never"), replies);
  EXPECT_FALSE(c.Eof);
}

// A guard that refuses the peer's address closes the connection before any
// greeting, and says why.
TEST(CommandServerMemorySession, GuardRefusalClosesBeforeTheGreeting) {
  TTestServer server;
  TqvServerGuard guard;
  guard.SetAllowWhiteListOnly(true);
  server.SetGuard(&guard);
  TClient c(server);
  EXPECT_TRUE(c.Memory()->Closed());
  EXPECT_EQ(c.ReadUntil("never"), "");
  std::scoped_lock lock(server.Mutex);
  EXPECT_EQ(server.Errors, std::vector<std::string>{"Connection is blocked"});
}

// --- handlers fed directly

namespace {

class THandlerServer : public TTestServer {
 public:
  using TqvTcpCommandServer::SetCommandHandler;
};

struct TFeed {
  std::vector<std::string> Commands;
  std::vector<std::string> Lines;
  int SizeErrors = 0;
};

// Feeds AInput in pieces of the given sizes through AHandler.
void FeedPieces(TqvProcessDataHandler& AHandler, const std::string& AInput, const std::vector<size_t>& ACuts,
                int64_t AMax, TFeed& AOut) {
  size_t pos = 0;
  for (size_t i = 0; i <= ACuts.size(); ++i) {
    const size_t end = i < ACuts.size() ? ACuts[i] : AInput.size();
    AHandler.Append(AInput.data() + pos, end - pos);
    pos = end;
    auto context = AHandler.ExtractContext(AMax);
    try {
      AHandler.ProcessContext(*context);
    } catch (const EqvMaxDataSizeError&) {
      ++AOut.SizeErrors;
    }
    if (auto* cc = dynamic_cast<TqvProcessCommandContext*>(context.get())) {
      for (auto& p : cc->Commands) AOut.Commands.push_back(p->Command + ":" + p->Params);
    }
  }
}

}  // namespace

TEST(CommandHandlers, CommandLinesAreTheSameInEverySplit) {
  THandlerServer server;
  const std::string input = "NOOP\r\nNO";
  const std::string more = "OP\r\nA  b \r\n\r\n\tC\rD\nE\r";
  const std::string all = input + more;
  // Each piece boundary anywhere, the trailing CR held back until its LF.
  for (size_t cut = 0; cut <= all.size(); ++cut) {
    TqvProcessCommandHandler h(&server, nullptr, nullptr);
    TFeed out;
    FeedPieces(h, all, {cut}, -1, out);
    EXPECT_EQ(out.Commands, (std::vector<std::string>{"NOOP:", "NOOP:", "A: b", "C:", "D:"})) << cut;
    EXPECT_EQ(h.BufferSize(), 2u) << cut;  // "E" and its lone CR wait for an LF
  }
}

TEST(CommandHandlers, BlockEndsAtAnyLineStartAndLeavesTheRest) {
  THandlerServer server;
  const std::string input = "a\r\n..b\r\n.c\r\n\r\n.\r\nQUIT\r\n";
  for (size_t cut = 0; cut <= input.size(); ++cut) {
    TFeed out;
    TqvTcpCommandParams seen;
    TqvProcessMultiLineHandler h(&server, [&](TqvCommandConnection*, TqvProcessDataContext& x) {
      auto& m = static_cast<TqvProcessMultiLineContext&>(x);
      for (int i = 0; i < m.Lines.Count(); ++i) out.Lines.push_back(m.Lines.Strings(i));
    }, std::make_unique<TqvTcpCommandFunc>("DATA", nullptr));
    FeedPieces(h, input, {cut}, -1, out);
    EXPECT_EQ(out.Lines, (std::vector<std::string>{"a", ".b", "c", ""})) << cut;
    EXPECT_EQ(h.TakeBuffer(), "QUIT\r\n") << cut;
  }
  // An empty block.
  TFeed out;
  bool called = false;
  TqvProcessMultiLineHandler h(&server, [&](TqvCommandConnection*, TqvProcessDataContext& x) {
    called = static_cast<TqvProcessMultiLineContext&>(x).Lines.Count() == 0;
  }, std::make_unique<TqvTcpCommandFunc>("DATA", nullptr));
  FeedPieces(h, ".\r\n", {1}, -1, out);
  EXPECT_TRUE(called);
}

TEST(CommandHandlers, BlockEndIsFoundAcrossAnyTwoReads) {
  // Near misses of the terminator: a dot inside a line, a stuffed dot line,
  // a dot line ended by a bare CR, and a NUL byte; the terminator itself may
  // be cut anywhere by two reads.
  const std::string input = std::string("a\0b\r\nx.\r\n..\r\n.\rz\r\nlf\nline\r\n.\r\nNOOP\r\n", 36);
  const std::vector<std::string> expected{"a b", "x.", ".", "", "z", "lf", "line"};
  THandlerServer server;
  for (size_t first = 1; first < input.size(); ++first) {
    for (size_t second = first; second < input.size(); ++second) {
      TFeed out;
      int calls = 0;
      TqvProcessMultiLineHandler h(&server, [&](TqvCommandConnection*, TqvProcessDataContext& x) {
        ++calls;
        auto& m = static_cast<TqvProcessMultiLineContext&>(x);
        for (int i = 0; i < m.Lines.Count(); ++i) out.Lines.push_back(m.Lines.Strings(i));
      }, std::make_unique<TqvTcpCommandFunc>("DATA", nullptr));
      FeedPieces(h, input, {first, second}, -1, out);
      ASSERT_EQ(calls, 1) << first << " " << second;
      ASSERT_EQ(out.Lines, expected) << first << " " << second;
      ASSERT_EQ(h.TakeBuffer(), "NOOP\r\n") << first << " " << second;
    }
  }
}

TEST(CommandHandlers, LargeBlockArrivesInReadsAndKeepsEveryLine) {
  THandlerServer server;
  std::string block;
  for (int i = 0; i < 40000; ++i) block += (i % 1000 == 0 ? "." : "") + std::to_string(i) + std::string(60, 'x') + "\r\n";
  const std::string input = block + ".\r\nQUIT\r\n";
  std::vector<size_t> cuts;
  for (size_t at = 65536; at < input.size(); at += 65536) cuts.push_back(at);
  int count = 0;
  std::string first, stuffed, last;
  TqvProcessMultiLineHandler h(&server, [&](TqvCommandConnection*, TqvProcessDataContext& x) {
    auto& m = static_cast<TqvProcessMultiLineContext&>(x);
    count = m.Lines.Count();
    first = m.Lines.Strings(0);
    stuffed = m.Lines.Strings(1000);
    last = m.Lines.Strings(count - 1);
  }, std::make_unique<TqvTcpCommandFunc>("DATA", nullptr));
  TFeed out;
  FeedPieces(h, input, cuts, -1, out);
  EXPECT_EQ(count, 40000);
  EXPECT_EQ(first, "0" + std::string(60, 'x'));
  EXPECT_EQ(stuffed, "1000" + std::string(60, 'x'));
  EXPECT_EQ(last, "39999" + std::string(60, 'x'));
  EXPECT_EQ(h.TakeBuffer(), "QUIT\r\n");
}

TEST(CommandHandlers, OversizedBlockIsSkippedToItsEndThenRefusedOnce) {
  THandlerServer server;
  std::string block;
  for (int i = 0; i < 10; ++i) block += "0123456789\r\n";
  block += ".\r\nNOOP\r\n";
  std::vector<size_t> cuts;
  for (size_t i = 7; i < block.size(); i += 7) cuts.push_back(i);
  TFeed out;
  bool called = false;
  TqvProcessMultiLineHandler h(&server, [&](TqvCommandConnection*, TqvProcessDataContext&) { called = true; },
                               std::make_unique<TqvTcpCommandFunc>("DATA", nullptr));
  size_t pos = 0;
  for (size_t cut : cuts) {
    if (out.SizeErrors) break;
    h.Append(block.data() + pos, cut - pos);
    pos = cut;
    auto x = h.ExtractContext(10);
    try {
      h.ProcessContext(*x);
    } catch (const EqvMaxDataSizeError&) {
      ++out.SizeErrors;
    }
    if (!out.SizeErrors) {
      EXPECT_LE(h.BufferSize(), 12u);
    }
  }
  EXPECT_EQ(out.SizeErrors, 1);
  EXPECT_FALSE(called);
}

TEST(CommandHandlers, FixedBytesTakeTheirCountAndPassTheRestOn) {
  THandlerServer server;
  std::string got;
  TqvProcessFixedBytesHandler h(&server, [&](TqvCommandConnection*, TqvProcessDataContext& x) {
    got = static_cast<TqvProcessMultiLineContext&>(x).Lines.Text();
  }, std::make_unique<TqvTcpCommandFunc>("LIT", nullptr), 5);
  TFeed out;
  FeedPieces(h, "abcdefg", {2}, -1, out);
  EXPECT_EQ(got, "abcde\r\n");
  EXPECT_EQ(h.TakeBuffer(), "fg");
}
