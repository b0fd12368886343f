// The command table's dispatcher: state and TLS checks before a handler runs,
// masking of the log by each entry's flags, and the SASL mechanism choice the
// protocol servers share. Sessions run over memory streams.
#include <gtest/gtest.h>

#include <atomic>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "TestSockets.h"
#include "qvServerSasl.h"
#include "qvTcpCommandServer.h"

namespace {

class TTableConnection : public TqvCommandConnection {
 public:
  [[nodiscard]] unsigned State() const { return FState.load(); }
  std::atomic<unsigned> FState{0};
};

// OPEN (state 0, to state 1), READ (state 1, needs TLS), PEEK (states 0 and
// 1, needs TLS, takes "{data}" as a data line of its own), and commands of
// every state that only answer, flagged for the log.
class TTableServer : public TqvTcpCommandServer {
 public:
  TTableServer() {
    OnReceiveCommand = [this](TObject*, TqvCommandConnection*, TqvTcpCommandParams* p) {
      std::scoped_lock lock(Mutex);
      Log.push_back(MaskedCommand(*p) + " " + MaskedParams(*p));
    };
  }
  ~TTableServer() override { Stop(); }

  std::atomic<bool> RequireTls{false};
  std::mutex Mutex;
  std::vector<std::string> Log;

 protected:
  TqvUserConnectionPtr CreateDefaultConnection() override { return std::make_shared<TTableConnection>(); }
  void DoAcceptConnection(TqvUserConnection* c, bool&) override {
    SendResponse(static_cast<TqvCommandConnection*>(c), "", "220 ready");
  }
  void AddCommands() override;
  std::unique_ptr<TqvTcpCommandInfo> CreateUnknownCommandInfo(TqvTcpCommandParams*) override {
    return std::make_unique<TqvTcpCommandFunc>("", [this](TqvCommandConnection* c, TqvTcpCommandParams* p) {
      SendResponse(c, p->Command, "500 unknown");
    });
  }
  void DoCommandError(TqvCommandConnection* c, TqvTcpCommandParams* p, const std::exception&) override {
    SendResponse(c, p->Command, "451 internal");
  }
  bool MustSwitchToTlsFirst(TqvCommandConnection*) override { return RequireTls.load(); }
  [[noreturn]] void RefuseCommand(TqvCommandConnection*, TqvTcpCommandParams* p, TqvCommandRefusal AWhy,
                                  TqvCommandStates AStates) override {
    if (AWhy == TqvCommandRefusal::NeedsTls) throw EqvTcpCommandServerError(p->Command, "530 tls first", 530);
    throw EqvTcpCommandServerError(p->Command, "503 allowed " + std::to_string(AStates), 503);
  }
  bool StartCommandData(TqvCommandConnection* c, TqvTcpCommandParams* p) override {
    if (p->Params != "{data}") return false;
    SendResponse(c, p->Command, "+ go");
    StartReadLine(c, std::make_unique<TqvTcpCommandFunc>(p->Command, [this](TqvCommandConnection* c2,
                                                                             TqvTcpCommandParams* d) {
      SetCommandHandler(c2);
      SendResponse(c2, d->Command, "250 " + d->Command + " with " + d->Params);
    }));
    return true;
  }

 private:
  using TEntry = TqvCommandEntry<TTableServer, TTableConnection>;
  static const TEntry kTable[];

  void CmdOpen(TTableConnection* c, TqvTcpCommandParams* p) {
    c->FState = 1;
    SendResponse(c, p->Command, "250 open");
  }
  void CmdReply(TTableConnection* c, TqvTcpCommandParams* p) { SendResponse(c, p->Command, "250 " + p->Command); }
  void CmdAuth(TTableConnection* c, TqvTcpCommandParams* p) {
    SendResponse(c, p->Command, "334 go");
    StartReadLine(c, std::make_unique<TqvTcpCommandFunc>("AUTH", [this](TqvCommandConnection* c2,
                                                                         TqvTcpCommandParams* d) {
      if (!d->Params.empty()) return SendResponse(c2, "AUTH", "334 again");
      SetCommandHandler(c2);
      SendResponse(c2, "AUTH", "235 done");
    }));
  }
};

constexpr TqvCommandStates kBoth = CommandState(0) | CommandState(1);

constexpr TTableServer::TEntry TTableServer::kTable[] = {
    {"OPEN", &TTableServer::CmdOpen, CommandState(0), 0},
    {"READ", &TTableServer::CmdReply, CommandState(1), cfNeedsTls},
    {"PEEK", &TTableServer::CmdReply, kBoth, cfNeedsTls},
    {"NOOP", &TTableServer::CmdReply, kqvAnyCommandState, 0},
    {"PASS", &TTableServer::CmdReply, kqvAnyCommandState, cfSecretParams},
    {"USER", &TTableServer::CmdReply, kqvAnyCommandState, cfSecretAfterFirstWord},
    {"AUTH", &TTableServer::CmdAuth, kqvAnyCommandState, cfSecretAfterFirstWord | cfSecretAnswers},
    // Secret in another protocol's table, not in this one's.
    {"APOP", &TTableServer::CmdReply, kqvAnyCommandState, 0},
};

void TTableServer::AddCommands() { AddCommandTable(this, kTable); }

using TClient = testsupport::TLineClient;

}  // namespace

TEST(CommandTable, WrongStateAndMissingTlsAreRefusedBeforeTheHandlerOrItsData) {
  TTableServer server;
  TClient c(server);
  EXPECT_EQ(c.Line(), "220 ready");
  struct {
    bool requireTls;
    const char* line;
    const char* reply;
  } steps[] = {
      {false, "READ", "503 allowed 2"},
      // A refused command never asks for its data.
      {false, "READ {data}", "503 allowed 2"},
      {false, "PEEK {data}", "+ go"},
      {false, "payload", "250 PEEK with payload"},
      // TLS is checked first, and only for the commands that need it.
      {true, "READ", "530 tls first"},
      {true, "PEEK", "530 tls first"},
      {true, "NOOP", "250 NOOP"},
      {true, "OPEN", "250 open"},
      {false, "OPEN", "503 allowed 1"},
      {false, "READ", "250 READ"},
      {false, "PEEK", "250 PEEK"},
  };
  for (const auto& s : steps) {
    server.RequireTls = s.requireTls;
    EXPECT_EQ(c.Cmd(s.line), s.reply) << s.line;
  }
  // Refused commands are logged as any other, before their refusal.
  std::scoped_lock lock(server.Mutex);
  ASSERT_EQ(server.Log.size(), std::size(steps));
  EXPECT_EQ(server.Log[0], "READ ");
  EXPECT_EQ(server.Log[3], "PEEK payload");
}

TEST(CommandTable, TheLogIsMaskedByTheFlagsOfTheServersOwnEntry) {
  TTableServer server;
  TClient c(server);
  c.Line();
  c.Cmd("PASS secret");
  c.Cmd("user bob secret");
  c.Cmd("APOP bob 0123");
  c.Cmd("AUTH PLAIN AGJvYgBz");
  c.Cmd("c2VjcmV0");
  c.Cmd("");  // an empty answer shows no more than any other
  c.Cmd("NOOP x");
  std::scoped_lock lock(server.Mutex);
  EXPECT_EQ(server.Log, (std::vector<std::string>{"PASS ***", "USER bob ***", "APOP bob 0123", "AUTH PLAIN ***",
                                                  "AUTH ***", "AUTH ***", "NOOP x"}));
}

TEST(CommandTable, MaskingFlagsOnLinesAndOnTheStepsOfAnExchange) {
  struct {
    TqvCommandFlags flags;
    bool line;  // a command line, else a step of its command (no line of its own)
    const char* params;
    const char* shown;
  } cases[] = {
      {0, true, "a b", "a b"},
      {cfSecretParams, true, "secret", "***"},
      {cfSecretParams, true, "", ""},
      {cfSecretAfterFirstWord, true, "bob secret", "bob ***"},
      {cfSecretAfterFirstWord, true, "  bob   secret", "bob ***"},
      {cfSecretAfterFirstWord, true, "bob", "bob"},
      {cfSecretAfterFirstWord, true, "bob  ", "bob  "},
      {cfSecretAfterFirstWord, false, "bob secret", "bob ***"},
      {cfSecretAfterFirstWord | cfSecretParams, true, "bob", "bob ***"},
      {cfSecretAfterFirstWord | cfSecretParams, true, "   ", "   "},
      {cfSecretAfterFirstWord | cfSecretParams, false, " secret", "***"},
      {cfSecretAfterFirstWord | cfSecretParams, false, "", ""},
      {cfSecretAnswers, true, "CRAM-MD5", "CRAM-MD5"},
      {cfSecretAnswers, false, "", "***"},
      {cfSecretAnswers | cfSecretAfterFirstWord, false, "a b", "***"},
      {cfNeedsTls, true, "secret", "secret"},
  };
  for (const auto& c : cases) {
    TqvTcpCommandParams p;
    p.Command = "X";
    p.Params = c.params;
    if (c.line) p.RawLine = std::string("X ") + c.params;
    p.Flags = c.flags;
    EXPECT_EQ(MaskedParams(p), c.shown) << int(c.flags) << " '" << c.params << "'";
    p.Unknown = true;
    EXPECT_EQ(MaskedParams(p), "") << c.params;
  }
}

TEST(SaslStart, MechanismNamesMapToTheOfferedExchangesOnly) {
  const TqvServerSaslFlags all = SaslFlag(ssUseLogin) | SaslFlag(ssUseCramMD5) | SaslFlag(ssUseNTLM);
  struct {
    const char* name;
    TqvServerSaslFlags offered;
    std::optional<TqvServerSaslFlag> chosen;
  } cases[] = {
      {"CRAM-MD5", all, ssUseCramMD5},
      {"cram-md5", all, ssUseCramMD5},
      {"Ntlm", all, ssUseNTLM},
      {"login", all, ssUseLogin},
      {"NTLM", SaslFlag(ssUseCramMD5), std::nullopt},
      {"LOGIN", SaslFlag(ssUseNTLM) | SaslFlag(ssUseCramMD5), std::nullopt},
      {"CRAM", all, std::nullopt},
      {"CRAM-MD5X", all, std::nullopt},
      {"NTLM ", all, std::nullopt},
      {"PLAIN", all, std::nullopt},
      {"", all, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(OfferedSaslMechanism(c.name, c.offered), c.chosen) << c.name;
  for (const TqvServerSaslFlag m : {ssUseLogin, ssUseCramMD5, ssUseNTLM})
    EXPECT_EQ(OfferedSaslMechanism(SaslMechanismName(m), all), m);

  int challenges = 0;
  TqvSaslServerExchange::TStartInfo start;
  start.Challenge = [&challenges] {
    ++challenges;
    return std::string("<1.2@h>");
  };
  EXPECT_EQ(TqvSaslServerExchange::Start(ssUseLogin, start), nullptr);
  const auto ntlm = TqvSaslServerExchange::Start(ssUseNTLM, start);
  ASSERT_NE(ntlm, nullptr);
  EXPECT_EQ(ntlm->Mechanism(), ssUseNTLM);
  EXPECT_EQ(ntlm->FirstChallenge(), "");
  EXPECT_EQ(challenges, 0);  // a challenge is made only for the mechanism that sends one
  const auto cram = TqvSaslServerExchange::Start(ssUseCramMD5, start);
  ASSERT_NE(cram, nullptr);
  EXPECT_EQ(cram->Mechanism(), ssUseCramMD5);
  EXPECT_EQ(cram->FirstChallenge(), "PDEuMkBoPg==");
  EXPECT_EQ(challenges, 1);
}
