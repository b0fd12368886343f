// The line-command server: a TCP server for line-oriented text protocols. It
// cuts received bytes into commands through the connection's receive handler,
// looks each command up in the table the protocol fills (AddCommands, from a
// constant table of TqvCommandEntry), sets the entry's masking flags for the
// log, refuses the command in a wrong state or without a TLS it needs (the
// protocol words the refusal), runs its handler under the connection's
// command lock, turns a command error into its reply line, and sends
// multi-line responses in batches that resume when
// the socket takes more. Every connection has one ordered output queue: a
// reply or response never overtakes an earlier one still waiting. Commands
// of one connection run one at a time in arrival order, and none after one
// whose reply closes the connection; a command that
// installs another receive handler (DATA, AUTH, a literal) gets the bytes that
// followed it, and a switch to TLS drops whatever clear text followed.
// Threads: pool workers. Lock order: command lock, connection lock, server
// lock, then the handlers' own. Replies to command errors go out after the
// command lock is released. Only single-line replies fire OnSendResponse.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "StringList.h"
#include "Streams.h"
#include "qvCommandMasking.h"
#include "qvDotStuffing.h"
#include "qvMailServerLimits.h"
#include "qvMessageSpool.h"
#include "qvProcessDataHandler.h"
#include "qvTcpCommandErrors.h"
#include "qvTcpServerTls.h"
#include "qvUserConnection.h"

class TqvTcpCommandServer;
class TqvCommandConnection;

// One received command.
class TqvTcpCommandParams : public TObject {
 public:
  VX_CLASS_NAME("TqvTcpCommandParams")
  // Command := the first word, ASCII letters upper-cased; Params := all after
  // the first blank, unchanged.
  virtual void Parse(const std::string& ALine);
  virtual void InitFromLine(const TqvProcessLineContext& AContext);
  virtual void InitFromLines(const TqvProcessMultiLineContext& AContext);

  std::string Command;
  std::string Params;
  std::string RawLine;        // the trimmed line; empty for data
  TStrings* Lines = nullptr;  // a data block's lines, not owned
  // A data block or literal that went to a spool instead (then Lines is
  // null), not owned; SpoolFailed when it was skipped because no spool
  // could take it.
  TqvMessageSpool* Spool = nullptr;
  bool SpoolFailed = false;
  bool Unknown = false;       // no command of the table has this word
  // Blanks or control bytes (NULs) followed the text of the line and were
  // trimmed: set before Parse.
  bool TrimmedTail = false;
  // The flags of the table entry of Command, set by the dispatcher before
  // the receive event (0 for a word no entry has); none for a line parsed
  // outside a server.
  std::optional<TqvCommandFlags> Flags;
};

// The states a command is allowed in: bit n for the protocol's state n.
using TqvCommandStates = uint32_t;
constexpr TqvCommandStates kqvAnyCommandState = ~TqvCommandStates{0};
constexpr TqvCommandStates CommandState(unsigned AState) { return TqvCommandStates{1} << AState; }

// One command of a protocol's table: the server's method that runs it, the
// states it is allowed in and its flags (qvCommandMasking.h). The dispatcher
// refuses it in another state or without TLS where cfNeedsTls asks for it
// (TLS first) before the method runs.
template <class TServer, class TConnection, class TParams = TqvTcpCommandParams>
struct TqvCommandEntry {
  using THandler = void (TServer::*)(TConnection*, TParams*);
  std::string_view Verb;  // upper case
  THandler Handler;
  TqvCommandStates States;
  TqvCommandFlags Flags;
};

// Why the dispatcher refused a command.
enum class TqvCommandRefusal { NeedsTls, WrongState };

// One registered command.
class TqvTcpCommandInfo : public TObject {
 public:
  explicit TqvTcpCommandInfo(std::string AName) : Name(std::move(AName)) {}
  VX_CLASS_NAME("TqvTcpCommandInfo")
  virtual void Execute(TqvCommandConnection* AConnection, TqvTcpCommandParams* AParams) = 0;

  std::string Name;  // upper case
  bool NoCommandLock = false;
  TqvTcpCommandServer* Server = nullptr;
  // From a command table (AddCommandTable): the dispatcher checks States and
  // cfNeedsTls first. Other infos (data steps, continuations) run as they are.
  bool FromTable = false;
  TqvCommandStates States = kqvAnyCommandState;
  TqvCommandFlags Flags = 0;
  // The protocol state of AConnection, for States; 0 unless from a table.
  [[nodiscard]] virtual unsigned StateOf(TqvCommandConnection*) const { return 0; }
};

// A command whose handler is a function (a protocol server's method).
class TqvTcpCommandFunc : public TqvTcpCommandInfo {
 public:
  using THandler = std::function<void(TqvCommandConnection*, TqvTcpCommandParams*)>;
  TqvTcpCommandFunc(std::string AName, THandler AHandler)
      : TqvTcpCommandInfo(std::move(AName)), Handler(std::move(AHandler)) {}
  void Execute(TqvCommandConnection* AConnection, TqvTcpCommandParams* AParams) override {
    if (Handler) Handler(AConnection, AParams);
  }
  THandler Handler;
};

// A command of a table: runs the entry's method of the server on the
// protocol's own connection and parameter types.
template <class TServer, class TConnection, class TParams>
class TqvTableCommandInfo : public TqvTcpCommandInfo {
 public:
  using TEntry = TqvCommandEntry<TServer, TConnection, TParams>;
  TqvTableCommandInfo(TServer* AServer, const TEntry& AEntry)
      : TqvTcpCommandInfo(std::string(AEntry.Verb)), FServer(AServer), FHandler(AEntry.Handler) {
    FromTable = true;
    States = AEntry.States;
    Flags = AEntry.Flags;
  }
  void Execute(TqvCommandConnection* AConnection, TqvTcpCommandParams* AParams) override {
    (FServer->*FHandler)(&Connection(AConnection), &Cast<TParams>(AParams));
  }
  [[nodiscard]] unsigned StateOf(TqvCommandConnection* AConnection) const override {
    return static_cast<unsigned>(Connection(AConnection).State());
  }

 private:
  template <class T, class TFrom>
  static T& Cast(TFrom* AValue) {
    auto* v = dynamic_cast<T*>(AValue);
    if (!v) throw EInvalidCast();
    return *v;
  }
  static TConnection& Connection(TqvCommandConnection* AConnection) { return Cast<TConnection>(AConnection); }

  TServer* FServer;
  typename TEntry::THandler FHandler;
};

class TqvTcpCommandList {
 public:
  explicit TqvTcpCommandList(TqvTcpCommandServer* AServer) : FServer(AServer) {}
  // Appends the info and returns it; the list owns it.
  TqvTcpCommandInfo* AddCommand(std::unique_ptr<TqvTcpCommandInfo> AInfo);
  // Exact, case-sensitive match; null when none. Valid while the list lives.
  [[nodiscard]] TqvTcpCommandInfo* FindCommand(const std::string& AName) const;
  [[nodiscard]] int Count() const { return static_cast<int>(FItems.size()); }

 private:
  TqvTcpCommandServer* FServer;
  std::vector<std::unique_ptr<TqvTcpCommandInfo>> FItems;
};

class TqvCommandConnection : public TqvUserConnectionTls {
 public:
  VX_CLASS_NAME("TqvCommandConnection")
  ~TqvCommandConnection() override;

  // Held by ExecuteCommand around each command. Recursive so that a server's
  // size handler (SMTP's DoMaxDataSizeExceeded) may take it whether or not the
  // command that ran into the limit holds it.
  std::recursive_mutex CommandLock;
  [[nodiscard]] TqvProcessDataHandler* DataHandler() const { return FDataHandler.get(); }
  // True while output is queued behind a multi-line response.
  [[nodiscard]] bool HasQueuedResponses() const { return !FQueue.empty(); }
  // A reply that closes the connection is queued: nothing the client sent
  // after the command that gave it is run or answered.
  [[nodiscard]] bool Closing() const { return FClosing.load(); }

 private:
  friend class TqvTcpCommandServer;

  // A multi-line response (from a line list or streamed), or a single
  // reply waiting behind one.
  struct TResponse {
    std::unique_ptr<TStrings> Lines;  // null for a single reply
    int LineCount = 0;
    int LineIndex = 0;
    std::string EndLine;
    std::string Bytes;  // a single reply, already in the response charset
    bool Close = false;
    // A streamed response: its lines are read from Source piece by piece;
    // Bytes holds its first line until that is sent.
    std::unique_ptr<TStream> Source;
    std::unique_ptr<TqvDotStuffingFilter> Filter;
    int64_t SourceLeft = 0;
    // The bytes of Lines when queued, for the output bound.
    int64_t LinesBytes = 0;
  };

  std::unique_ptr<TqvProcessDataHandler> FDataHandler;
  // Replaced while one of their own calls may still run; freed after the read.
  std::vector<std::unique_ptr<TqvProcessDataHandler>> FRetired;
  std::deque<TResponse> FQueue;
  int FLinesSent = 0;  // finished responses whose event is still due
  std::atomic<bool> FClosing{false};
  // Command lines the running read item may still execute before it yields.
  int FCommandBudget = 0;
  // Complete command lines wait in the handler's buffer after a yield.
  std::atomic<bool> FBacklog{false};
};

using TqvTcpCommandEvent =
    std::function<void(TObject* Sender, TqvCommandConnection* AConnection, TqvTcpCommandParams* ACommandParams)>;
using TqvTcpResponseEvent = std::function<void(TObject* Sender, TqvCommandConnection* AConnection,
                                               const std::string& ACommand, const std::string& AResponse)>;
using TqvCreateCommandParamsEvent = std::function<void(TObject* Sender, TqvCommandConnection* AConnection,
                                                       std::unique_ptr<TqvTcpCommandParams>& ACommandParams)>;
using TqvTcpCommandConnectionEvent = std::function<void(TObject* Sender, TqvCommandConnection* AConnection)>;

class TqvTcpCommandServer : public TqvTcpServerTls {
 public:
  explicit TqvTcpCommandServer(TComponent* AOwner = nullptr);
  ~TqvTcpCommandServer() override;
  VX_CLASS_NAME("TqvTcpCommandServer")

  // The table; AddCommands fills it on first use (a constructor cannot reach
  // the protocol's override).
  [[nodiscard]] TqvTcpCommandList& Commands();

  void SetCommandHandler(TqvCommandConnection* AConnection);
  // Replaces the connection's handler; the bytes the old one had not consumed
  // move to the new one.
  void SetDataHandler(TqvCommandConnection* AConnection, std::unique_ptr<TqvProcessDataHandler> AHandler);
  // The next bytes are one line, a dot-terminated block, or ASize bytes for
  // AInfo, which runs with them once they are complete.
  void StartReadLine(TqvCommandConnection* AConnection, std::unique_ptr<TqvTcpCommandInfo> AInfo);
  // A block past SpoolThreshold goes to the spool AOpenSpool opens, and a
  // literal given ASpool goes to it (qvProcessDataHandler.h).
  void StartReadMultiLine(TqvCommandConnection* AConnection, std::unique_ptr<TqvTcpCommandInfo> AInfo,
                          TqvProcessMultiLineHandler::TOpenSpool AOpenSpool = nullptr);
  void StartReadFixedBytes(TqvCommandConnection* AConnection, std::unique_ptr<TqvTcpCommandInfo> AInfo,
                           int64_t ASize, std::unique_ptr<TqvMessageSpool> ASpool = nullptr);

  // Command errors become their reply here; others get DoCommandError and go on.
  void ExecuteCommand(TqvCommandConnection* AConnection, TqvTcpCommandInfo* AInfo, TqvTcpCommandParams* AParams);

  void SendResponse(TqvCommandConnection* AConnection, const std::string& ACommand, const std::string& AResponse);
  void SendResponseAndClose(TqvCommandConnection* AConnection, const std::string& ACommand,
                            const std::string& AResponse);
  // The last answer of a session (QUIT, LOGOUT): each of AReplies as
  // SendResponse sends it, the last one closing. A client that has gone
  // meanwhile is nobody to tell: the rest is dropped without an error.
  void SendClosingReplies(TqvCommandConnection* AConnection, const std::string& ACommand,
                          std::initializer_list<std::string> AReplies);
  // Takes ALines (null afterwards); on an error they stay with the caller.
  // ALineCount 0 (or too many) sends all. Fires no OnSendResponse.
  void SendMultipleLines(TqvCommandConnection* AConnection, std::unique_ptr<TStrings>& ALines, int ALineCount,
                         const std::string& AEndLine);
  // A multi-line response whose lines are the bytes of ASource from its
  // position to its end, cut and sent as qvDotStuffing.h describes (stuffed
  // when AEndLine is "."; with ABodyLines >= 0 only the header and that many
  // lines), after AFirstLine and before AEndLine, in pieces read as the
  // socket takes them: memory stays bounded whatever the size. No charset
  // conversion; fires no OnSendResponse.
  void SendStreamedLines(TqvCommandConnection* AConnection, const std::string& AFirstLine,
                         std::unique_ptr<TStream> ASource, const std::string& AEndLine,
                         int64_t ABodyLines = TqvDotStuffingFilter::kAllLines);
  // ABytes as they stand, in order behind any waiting output: no response
  // event, no charset conversion, no line end added.
  void SendRawBytes(TqvCommandConnection* AConnection, const std::string& ABytes);
  void SendMultipleLinesAll(TqvCommandConnection* AConnection, std::unique_ptr<TStrings>& ALines,
                            const std::string& AEndLine) {
    SendMultipleLines(AConnection, ALines, 0, AEndLine);
  }

  [[nodiscard]] virtual std::string GetResponseCharSet(TqvCommandConnection* AConnection);
  [[nodiscard]] virtual std::string GetRequestCharSet(TqvCommandConnection* AConnection);

  int64_t MaxDataSize() const { return FMaxDataSize; }
  void SetMaxDataSize(int64_t Value) { FMaxDataSize = Value; }
  // Bytes of a block or literal kept in memory before it goes to a spool.
  int64_t SpoolThreshold() const { return FSpoolThreshold; }
  void SetSpoolThreshold(int64_t Value) { FSpoolThreshold = Value > 0 ? Value : qvSpoolThresholdBytes; }
  // A line with nothing but blanks, NULs or control bytes is a command of
  // its own, answered as an unknown one; otherwise it is dropped unanswered.
  [[nodiscard]] bool AnswersBlankLines() const { return FAnswersBlankLines; }
  const std::string& CharSet() const { return FCharSet; }
  void SetCharSet(const std::string& Value) { FCharSet = Value; }

  TqvTcpCommandEvent OnReceiveCommand;
  TqvTcpResponseEvent OnSendResponse;
  TqvCreateCommandParamsEvent OnCreateCommandParams;
  TqvTcpCommandEvent OnCustomCommand;
  TqvTcpCommandConnectionEvent OnSendMultipleLines;

 protected:
  void ReadConnection(TqvUserConnection* AConnection) override;
  bool HasPendingInput(TqvUserConnection* AConnection) override;
  void DoWriteConnection(TqvUserConnection* AConnection) override;
  TqvUserConnectionPtr CreateConnection() override;

  void SetAnswersBlankLines(bool Value) { FAnswersBlankLines = Value; }
  virtual void AddCommands() = 0;
  // Registers the commands of ATable, in order, for AServer (this server).
  template <class TServer, class TConnection, class TParams, size_t N>
  void AddCommandTable(TServer* AServer, const TqvCommandEntry<TServer, TConnection, TParams> (&ATable)[N]) {
    for (const auto& entry : ATable)
      Commands().AddCommand(std::make_unique<TqvTableCommandInfo<TServer, TConnection, TParams>>(AServer, entry));
  }
  // The dispatcher's checks, for a command of a table. True while the server
  // requires TLS and AConnection is still plain.
  [[nodiscard]] virtual bool MustSwitchToTlsFirst(TqvCommandConnection* AConnection);
  // Raises the protocol's refusal of a command (its reply); AStates are the
  // states the command is allowed in.
  [[noreturn]] virtual void RefuseCommand(TqvCommandConnection* AConnection, TqvTcpCommandParams* AParams,
                                          TqvCommandRefusal AWhy, TqvCommandStates AStates);
  // After the checks: a command line that announces data of its own (an
  // IMAP literal) starts reading it here instead of running; true then, and
  // the command runs once its data has come.
  virtual bool StartCommandData(TqvCommandConnection* AConnection, TqvTcpCommandParams* AParams);
  // The caller frees the info after use.
  [[nodiscard]] virtual std::unique_ptr<TqvTcpCommandInfo> CreateUnknownCommandInfo(TqvTcpCommandParams* AParams) = 0;
  virtual void DoCommandError(TqvCommandConnection* AConnection, TqvTcpCommandParams* AParams,
                              const std::exception& E) = 0;
  virtual void DoMaxDataSizeExceeded(TqvCommandConnection* AConnection, bool& Handled);
  virtual void DoReceiveCommand(TqvCommandConnection* AConnection, TqvTcpCommandParams* AParams);
  virtual void DoSendResponse(TqvCommandConnection* AConnection, const std::string& ACommand,
                              const std::string& AResponse);
  virtual void DoCreateCommandParams(TqvCommandConnection* AConnection,
                                     std::unique_ptr<TqvTcpCommandParams>& AParams);
  virtual void DoCustomCommand(TqvCommandConnection* AConnection, TqvTcpCommandParams* AParams);
  virtual void DoSendMultipleLines(TqvCommandConnection* AConnection);
  // A TLS switch asked for by the last reply, made before the next read.
  // True when it happened, so clear text read before it is dropped.
  bool SwitchToTlsBeforeRead(TqvCommandConnection* AConnection);
  // A command asked for TLS: what the client sent after it is not run.
  [[nodiscard]] static bool IsTlsSwitchPending(TqvCommandConnection* AConnection) {
    return AConnection->TlsPending;
  }

  void SendLinesBatch(TqvCommandConnection* AConnection);
  // After a reply that asks the client for data (an IMAP literal's "+"): the
  // next segments the client sends are acknowledged at once. A client that
  // writes a literal and the line end after it in two writes otherwise
  // waits with the second (Nagle) for our delayed ACK of the first.
  static void AcknowledgeNextPromptly(TqvCommandConnection* AConnection);

 private:
  std::unique_ptr<TqvTcpCommandParams> NewParams(TqvCommandConnection* AConnection);
  void ProcessCommands(TqvCommandConnection* AConnection, TqvProcessDataContext& AContext);
  void ProcessLine(TqvCommandConnection* AConnection, TqvProcessDataContext& AContext);
  void ProcessLines(TqvCommandConnection* AConnection, TqvProcessDataContext& AContext);
  // False when the socket took not all of it (the rest waits in the connection).
  bool WriteResponseBytes(TqvCommandConnection* AConnection, const std::string& ABytes, bool AClose);
  // Sends a multi-line response as far as the socket allows; true once it is
  // all handed over.
  bool SendResponseLines(TqvCommandConnection* AConnection, TqvCommandConnection::TResponse& AResponse);
  // The same for a streamed response.
  bool SendResponseStream(TqvCommandConnection* AConnection, TqvCommandConnection::TResponse& AResponse);
  void HandleSizeError(TqvCommandConnection* AConnection, const EqvMaxDataSizeError& E);
  // Inside a command of AConnection (on its worker, no connection lock held):
  // waits while the output its client has not taken is above
  // qvMaxPendingOutputBytes, sending what the socket takes. Raises
  // EqvConnectionGoneError when the connection goes meanwhile (or AGone and
  // it has gone already), or the server stops. Elsewhere: nothing.
  void WaitForOutputRoom(TqvCommandConnection* AConnection, bool AGone);
  // Output handed over but not taken by the socket yet; connection lock held.
  [[nodiscard]] static int64_t UnsentBytes(TqvCommandConnection* AConnection);

  std::unique_ptr<TqvTcpCommandList> FCommands;
  // Re-entered by AddCommands, which registers through Commands() while
  // Commands() holds it.
  std::recursive_mutex FCommandsLock;
  std::atomic<bool> FCommandsReady{false};
  bool FAddingCommands = false;
  int64_t FMaxDataSize = -1;
  int64_t FSpoolThreshold = qvSpoolThresholdBytes;
  bool FAnswersBlankLines = false;
  std::string FCharSet;
};
