#include "qvTcpCommandServer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <algorithm>

#include "AsciiText.h"
#include "qvMailServerLimits.h"
#include "qvTranslator.h"

namespace {

// Command lines one read item executes before the connection yields to the
// others (the rest wait, in order, for its next item).
constexpr int kCommandsPerReadItem = 32;

// A command waiting for its client to take output looks again this often
// whether the connection is still there.
constexpr int kDrainPollMs = 100;

// The connection whose command runs on this thread, while its handler runs.
thread_local TqvCommandConnection* tRunning = nullptr;

class TRunningCommand {
 public:
  explicit TRunningCommand(TqvCommandConnection* AConnection) : FOuter(std::exchange(tRunning, AConnection)) {}
  ~TRunningCommand() { tRunning = FOuter; }
  TRunningCommand(const TRunningCommand&) = delete;
  TRunningCommand& operator=(const TRunningCommand&) = delete;

 private:
  TqvCommandConnection* FOuter;
};

std::string Encode(const std::string& AText, const std::string& ACharSet) {
  if (ACharSet.empty()) return AText;
  const TBytes b = TqvTranslator::GetBytes(AText, ACharSet);
  return std::string(b.begin(), b.end());
}

}  // namespace

// --- parameters, table, connection

void TqvTcpCommandParams::Parse(const std::string& ALine) {
  RawLine = ALine;
  Lines = nullptr;
  Spool = nullptr;
  SpoolFailed = false;
  const size_t blank = ALine.find(' ');
  Command = plat::AsciiUpperCase(blank == std::string::npos ? std::string_view(ALine)
                                                            : std::string_view(ALine).substr(0, blank));
  Params = blank == std::string::npos ? std::string() : ALine.substr(blank + 1);
}

void TqvTcpCommandParams::InitFromLine(const TqvProcessLineContext& AContext) {
  Command = AContext.CommandInfo ? AContext.CommandInfo->Name : std::string();
  Params = AContext.Line;
  RawLine.clear();
  Lines = nullptr;
  Spool = nullptr;
  SpoolFailed = false;
}

void TqvTcpCommandParams::InitFromLines(const TqvProcessMultiLineContext& AContext) {
  Command = AContext.CommandInfo ? AContext.CommandInfo->Name : std::string();
  Params.clear();
  RawLine.clear();
  Lines = AContext.Spool || AContext.SpoolFailed ? nullptr : const_cast<TBlockStringList*>(&AContext.Lines);
  Spool = AContext.Spool.get();
  SpoolFailed = AContext.SpoolFailed;
}

TqvTcpCommandInfo* TqvTcpCommandList::AddCommand(std::unique_ptr<TqvTcpCommandInfo> AInfo) {
  AInfo->Server = FServer;
  FItems.push_back(std::move(AInfo));
  return FItems.back().get();
}

TqvTcpCommandInfo* TqvTcpCommandList::FindCommand(const std::string& AName) const {
  for (const auto& info : FItems)
    if (info->Name == AName) return info.get();
  return nullptr;
}

TqvCommandConnection::~TqvCommandConnection() = default;

// --- the server

TqvTcpCommandServer::TqvTcpCommandServer(TComponent* AOwner)
    : TqvTcpServerTls(AOwner), FCommands(std::make_unique<TqvTcpCommandList>(this)) {}

TqvTcpCommandServer::~TqvTcpCommandServer() { Stop(); }

TqvTcpCommandList& TqvTcpCommandServer::Commands() {
  if (!FCommandsReady.load()) {
    // Re-entrant: AddCommands itself registers through Commands().
    std::scoped_lock lock(FCommandsLock);
    if (!FCommandsReady.load() && !FAddingCommands) {
      FAddingCommands = true;
      AddCommands();
      FCommandsReady = true;
    }
  }
  return *FCommands;
}

TqvUserConnectionPtr TqvTcpCommandServer::CreateConnection() {
  TqvUserConnectionPtr c = TqvTcpServer::CreateConnection();
  if (auto* cc = dynamic_cast<TqvCommandConnection*>(c.get())) SetCommandHandler(cc);
  return c;
}

void TqvTcpCommandServer::SetCommandHandler(TqvCommandConnection* AConnection) {
  SetDataHandler(AConnection,
                 std::make_unique<TqvProcessCommandHandler>(
                     this, [this](TqvCommandConnection* c, TqvProcessDataContext& x) { ProcessCommands(c, x); },
                     [this](TqvCommandConnection* c) { return NewParams(c); }));
}

void TqvTcpCommandServer::SetDataHandler(TqvCommandConnection* AConnection,
                                         std::unique_ptr<TqvProcessDataHandler> AHandler) {
  const auto lock = AConnection->WorkLock();
  AHandler->Connection = AConnection;
  if (AConnection->FDataHandler) {
    AHandler->Prepend(AConnection->FDataHandler->TakeBuffer());
    AConnection->FRetired.push_back(std::move(AConnection->FDataHandler));
  }
  AConnection->FDataHandler = std::move(AHandler);
}

void TqvTcpCommandServer::StartReadLine(TqvCommandConnection* AConnection, std::unique_ptr<TqvTcpCommandInfo> AInfo) {
  SetDataHandler(AConnection, std::make_unique<TqvProcessLineHandler>(
                                  this, [this](TqvCommandConnection* c, TqvProcessDataContext& x) { ProcessLine(c, x); },
                                  std::move(AInfo)));
}

void TqvTcpCommandServer::StartReadMultiLine(TqvCommandConnection* AConnection,
                                             std::unique_ptr<TqvTcpCommandInfo> AInfo,
                                             TqvProcessMultiLineHandler::TOpenSpool AOpenSpool) {
  SetDataHandler(AConnection,
                 std::make_unique<TqvProcessMultiLineHandler>(
                     this, [this](TqvCommandConnection* c, TqvProcessDataContext& x) { ProcessLines(c, x); },
                     std::move(AInfo), std::move(AOpenSpool), FSpoolThreshold));
}

void TqvTcpCommandServer::StartReadFixedBytes(TqvCommandConnection* AConnection,
                                              std::unique_ptr<TqvTcpCommandInfo> AInfo, int64_t ASize,
                                              std::unique_ptr<TqvMessageSpool> ASpool) {
  SetDataHandler(AConnection,
                 std::make_unique<TqvProcessFixedBytesHandler>(
                     this, [this](TqvCommandConnection* c, TqvProcessDataContext& x) { ProcessLines(c, x); },
                     std::move(AInfo), ASize, std::move(ASpool)));
}

void TqvTcpCommandServer::ReadConnection(TqvUserConnection* AConnection) {
  auto* c = dynamic_cast<TqvCommandConnection*>(AConnection);
  if (!c) return TqvTcpServerTls::ReadConnection(AConnection);
  bool read = true;
  {
    const auto lock = c->WorkLock();
    c->FCommandBudget = kCommandsPerReadItem;
    // Commands left by a yield run before the socket is read again, so the
    // buffer never grows while a client pipelines faster than it is served.
    if (c->FBacklog.exchange(false)) read = false;
  }
  for (;;) {
    TqvProcessDataHandler* handler = nullptr;
    std::unique_ptr<TqvProcessDataContext> context;
    size_t buffered = 0;
    {
      const auto lock = c->WorkLock();
      if (!c->Active() || !c->FDataHandler) return;
      if (read) {
        if (SwitchToTlsBeforeRead(c)) c->FDataHandler->ClearBuffer();
        // A bounded read: what is left stays in the socket for the next event.
        TMemoryStream data;
        c->BytesToProceed = qvMaxBytesPerRead;
        c->InitProgress(0, 0);
        try {
          ReadConnectionData(c, &data);
        } catch (...) {
          c->BytesToProceed = -1;
          throw;
        }
        c->BytesToProceed = -1;
        data.SetPosition(0);
        DoReadConnection(c, data);
        c->FDataHandler->Append(reinterpret_cast<const char*>(data.Memory()), static_cast<size_t>(data.Size()));
      }
      if (c->Closing()) {
        // Read and dropped: the socket must not keep signalling it.
        c->FDataHandler->ClearBuffer();
        return;
      }
      handler = c->FDataHandler.get();
      buffered = handler->BufferSize();
      context = handler->ExtractContext(FMaxDataSize);
    }
    try {
      handler->ProcessContext(*context);
    } catch (const EqvMaxDataSizeError& e) {
      HandleSizeError(c, e);
    } catch (const EqvConnectionGoneError&) {
      return;  // nobody is left to answer
    }
    // Bytes a new handler took over need no read event: handle them now.
    const auto lock = c->WorkLock();
    c->FRetired.clear();
    if (c->FBacklog.load()) return;  // yielded: the rest runs in the next item
    if (!c->Active() || c->Closing() || c->FDataHandler->BufferSize() == 0) return;
    // So do bytes after a line or literal whose handler stays for the next
    // one (an exchange of several lines): no read event announces them.
    // Command lines are taken all at once, so what stays there is unfinished;
    // and a handler that took nothing would only take nothing again.
    const bool stays = context->IsComplete && !dynamic_cast<TqvProcessCommandContext*>(context.get()) &&
                       c->FDataHandler->BufferSize() < buffered;
    if (c->FDataHandler.get() == handler && !context->MoreInBuffer && !stays) return;
    read = false;
  }
}

void TqvTcpCommandServer::HandleSizeError(TqvCommandConnection* AConnection, const EqvMaxDataSizeError& E) {
  // Runs inside the caller's catch block.
  if (AConnection->Closing()) return;  // its last reply is out already
  bool handled = false;
  DoMaxDataSizeExceeded(AConnection, handled);
  if (dynamic_cast<const EqvCommandLineTooLongError*>(&E)) {
    // The rest of the line cannot be told from a command: close after the reply.
    AConnection->FClosing = true;
    AConnection->WriteDataAndClose(std::string());
    if (handled) return;
  } else if (handled) {
    return;
  } else {
    CloseConnection(AConnection);
  }
  throw;  // called inside the catch: the original error goes on
}

std::unique_ptr<TqvTcpCommandParams> TqvTcpCommandServer::NewParams(TqvCommandConnection* AConnection) {
  std::unique_ptr<TqvTcpCommandParams> params;
  DoCreateCommandParams(AConnection, params);
  if (!params) params = std::make_unique<TqvTcpCommandParams>();
  return params;
}

void TqvTcpCommandServer::ProcessCommands(TqvCommandConnection* AConnection, TqvProcessDataContext& AContext) {
  auto& context = static_cast<TqvProcessCommandContext&>(AContext);
  TqvProcessDataHandler* handler = AConnection->DataHandler();
  for (size_t i = 0; i < context.Commands.size(); ++i) {
    TqvTcpCommandParams* params = context.Commands[i].get();
    try {
      if (TqvTcpCommandInfo* info = Commands().FindCommand(params->Command)) {
        ExecuteCommand(AConnection, info, params);
      } else {
        params->Unknown = true;
        std::unique_ptr<TqvTcpCommandInfo> unknown = CreateUnknownCommandInfo(params);
        if (unknown) ExecuteCommand(AConnection, unknown.get(), params);
      }
    } catch (const EqvSocketError&) {
      throw;  // the connection is broken: nothing more to answer
    } catch (const std::exception& e) {
      // Its reply went out; the commands after it still get theirs.
      DoServerError(AConnection, e);
    }
    const auto lock = AConnection->WorkLock();
    if (!AConnection->Active()) return;
    if (AConnection->Closing()) {
      AConnection->FDataHandler->ClearBuffer();
      return;
    }
    if (IsTlsSwitchPending(AConnection)) {
      // Clear text after the switch command must never run inside TLS.
      AConnection->FDataHandler->ClearBuffer();
      return;
    }
    if (AConnection->DataHandler() != handler) {
      // The command wants the following bytes as its data.
      AConnection->FDataHandler->Prepend(context.Raw.substr(context.RawEnds[i]));
      return;
    }
    if (--AConnection->FCommandBudget <= 0 && i + 1 < context.Commands.size()) {
      // Enough for one turn: the other connections' items go first, and the
      // rest of these lines, in order, wait for this connection's next item.
      AConnection->FDataHandler->Prepend(context.Raw.substr(context.RawEnds[i]));
      AConnection->FBacklog = true;
      return;
    }
  }
}

bool TqvTcpCommandServer::HasPendingInput(TqvUserConnection* AConnection) {
  auto* c = dynamic_cast<TqvCommandConnection*>(AConnection);
  return c && c->FBacklog.load();
}

void TqvTcpCommandServer::ProcessLine(TqvCommandConnection* AConnection, TqvProcessDataContext& AContext) {
  auto& context = static_cast<TqvProcessLineContext&>(AContext);
  std::unique_ptr<TqvTcpCommandParams> params = NewParams(AConnection);
  params->InitFromLine(context);
  ExecuteCommand(AConnection, context.CommandInfo, params.get());
}

void TqvTcpCommandServer::ProcessLines(TqvCommandConnection* AConnection, TqvProcessDataContext& AContext) {
  auto& context = static_cast<TqvProcessMultiLineContext&>(AContext);
  std::unique_ptr<TqvTcpCommandParams> params = NewParams(AConnection);
  params->InitFromLines(context);
  ExecuteCommand(AConnection, context.CommandInfo, params.get());
}

void TqvTcpCommandServer::ExecuteCommand(TqvCommandConnection* AConnection, TqvTcpCommandInfo* AInfo,
                                         TqvTcpCommandParams* AParams) {
  std::unique_lock<std::recursive_mutex> lock(AConnection->CommandLock, std::defer_lock);
  if (!AInfo->NoCommandLock) lock.lock();
  const TRunningCommand running(AConnection);
  try {
    if (AInfo->FromTable) {
      AParams->Flags = AInfo->Flags;
    } else {
      // A step of a command (its data, an answer, a literal) is masked as the command.
      const TqvTcpCommandInfo* entry = Commands().FindCommand(AParams->Command);
      AParams->Flags = entry ? entry->Flags : 0;
    }
    DoReceiveCommand(AConnection, AParams);
    if (AInfo->FromTable) {
      if ((AInfo->Flags & cfNeedsTls) && MustSwitchToTlsFirst(AConnection))
        RefuseCommand(AConnection, AParams, TqvCommandRefusal::NeedsTls, AInfo->States);
      if (AInfo->States != kqvAnyCommandState && !(AInfo->States & CommandState(AInfo->StateOf(AConnection))))
        RefuseCommand(AConnection, AParams, TqvCommandRefusal::WrongState, AInfo->States);
      if (StartCommandData(AConnection, AParams)) return;
    }
    AInfo->Execute(AConnection, AParams);
  } catch (const EqvTcpCommandServerError& e) {
    if (lock.owns_lock()) lock.unlock();
    if (e.CloseConnection)
      SendResponseAndClose(AConnection, e.Command, e.what());
    else
      SendResponse(AConnection, e.Command, e.what());
    return;
  } catch (const EqvSocketError&) {
    throw;
  } catch (const std::exception& e) {
    if (lock.owns_lock()) lock.unlock();
    DoCommandError(AConnection, AParams, e);
    throw;
  }
}

// --- replies

bool TqvTcpCommandServer::WriteResponseBytes(TqvCommandConnection* AConnection, const std::string& ABytes,
                                             bool AClose) {
  return AClose ? AConnection->WriteDataAndClose(ABytes) : AConnection->WriteData(ABytes);
}

int64_t TqvTcpCommandServer::UnsentBytes(TqvCommandConnection* AConnection) {
  int64_t bytes = AConnection->PendingOutput();
  for (const TqvCommandConnection::TResponse& r : AConnection->FQueue) {
    bytes += static_cast<int64_t>(r.Bytes.size()) + (r.Source ? r.SourceLeft : 0);
    if (r.Lines && r.LineCount > 0) bytes += r.LinesBytes / r.LineCount * (r.LineCount - r.LineIndex);
  }
  return bytes;
}

void TqvTcpCommandServer::WaitForOutputRoom(TqvCommandConnection* AConnection, bool AGone) {
  if (tRunning != AConnection) return;
  {
    const auto lock = AConnection->WorkLock();
    if (AGone && !AConnection->Active()) throw EqvConnectionGoneError();
    if (UnsentBytes(AConnection) <= qvMaxPendingOutputBytes) return;
  }
  // The client does not read: this worker waits for it, and the pool lets
  // another one serve the other connections meanwhile.
  const TqvThreadPool::TBlockingWait blocked(ThreadPool());
  for (bool writable = false;;) {
    plat::SOCKET s = plat::INVALID_SOCKET;
    {
      const auto lock = AConnection->WorkLock();
      if (!AConnection->Active() || Stopping()) throw EqvConnectionGoneError();
      if (writable) {
        // Only when the socket has room: a send resets the idle clock, so a
        // client that takes nothing still meets the session time-out.
        (void)AConnection->WriteData(static_cast<TStream*>(nullptr));
        SendLinesBatch(AConnection);
      }
      if (UnsentBytes(AConnection) <= qvMaxPendingOutputBytes) return;
      s = AConnection->Socket().Socket();
    }
    // No lock while waiting: a close meanwhile is seen above.
    writable = plat::WaitWritable(s, kDrainPollMs) > 0;
  }
}

void TqvTcpCommandServer::SendResponse(TqvCommandConnection* AConnection, const std::string& ACommand,
                                       const std::string& AResponse) {
  WaitForOutputRoom(AConnection, false);
  DoSendResponse(AConnection, ACommand, AResponse);
  const std::string bytes = Encode(AResponse + "\r\n", GetResponseCharSet(AConnection));
  const auto lock = AConnection->WorkLock();
  if (AConnection->FQueue.empty()) {
    WriteResponseBytes(AConnection, bytes, false);
    return;
  }
  TqvCommandConnection::TResponse r;
  r.Bytes = bytes;
  AConnection->FQueue.push_back(std::move(r));
}

void TqvTcpCommandServer::SendRawBytes(TqvCommandConnection* AConnection, const std::string& ABytes) {
  // Raw bytes come in pieces of large answers: once the client is gone, the
  // rest of the answer is not worth making.
  WaitForOutputRoom(AConnection, true);
  const auto lock = AConnection->WorkLock();
  if (AConnection->FQueue.empty()) {
    WriteResponseBytes(AConnection, ABytes, false);
    return;
  }
  TqvCommandConnection::TResponse r;
  r.Bytes = ABytes;
  AConnection->FQueue.push_back(std::move(r));
}

void TqvTcpCommandServer::SendResponseAndClose(TqvCommandConnection* AConnection, const std::string& ACommand,
                                               const std::string& AResponse) {
  DoSendResponse(AConnection, ACommand, AResponse);
  const std::string bytes = Encode(AResponse + "\r\n", GetResponseCharSet(AConnection));
  const auto lock = AConnection->WorkLock();
  AConnection->FClosing = true;
  if (AConnection->FQueue.empty()) {
    WriteResponseBytes(AConnection, bytes, true);
    return;
  }
  TqvCommandConnection::TResponse r;
  r.Bytes = bytes;
  r.Close = true;
  AConnection->FQueue.push_back(std::move(r));
}

void TqvTcpCommandServer::SendClosingReplies(TqvCommandConnection* AConnection, const std::string& ACommand,
                                             std::initializer_list<std::string> AReplies) {
  try {
    for (auto it = AReplies.begin(); it != AReplies.end(); ++it) {
      if (it + 1 == AReplies.end())
        SendResponseAndClose(AConnection, ACommand, *it);
      else
        SendResponse(AConnection, ACommand, *it);
    }
  } catch (const EqvSocketError&) {
    // The client went first; nothing is left to tell it.
  }
}

void TqvTcpCommandServer::SendMultipleLines(TqvCommandConnection* AConnection, std::unique_ptr<TStrings>& ALines,
                                            int ALineCount, const std::string& AEndLine) {
  WaitForOutputRoom(AConnection, false);
  const auto lock = AConnection->WorkLock();
  TqvCommandConnection::TResponse r;
  r.EndLine = AEndLine;
  if (!r.EndLine.empty() && r.EndLine.back() != '\n') r.EndLine += "\r\n";
  const int count = ALines ? ALines->Count() : 0;
  r.LineCount = (ALineCount <= 0 || ALineCount > count) ? count : ALineCount;
  r.Lines = std::move(ALines);
  if (!r.Lines) r.Lines = std::make_unique<TStringList>();
  if (const auto* block = dynamic_cast<const TBlockStringList*>(r.Lines.get())) {
    r.LinesBytes = static_cast<int64_t>(block->BlockSize());
  } else {
    for (int i = 0; i < r.LineCount; ++i) r.LinesBytes += static_cast<int64_t>(r.Lines->Strings(i).size()) + 2;
  }
  AConnection->FQueue.push_back(std::move(r));
  TStrings* mine = AConnection->FQueue.back().Lines.get();
  try {
    SendLinesBatch(AConnection);
  } catch (...) {
    // Not started yet: the lines go back to the caller.
    auto& q = AConnection->FQueue;
    auto it = std::find_if(q.begin(), q.end(), [mine](const auto& x) { return x.Lines.get() == mine; });
    if (it != q.end() && it->LineIndex == 0) {
      ALines = std::move(it->Lines);
      q.erase(it);
    }
    throw;
  }
}

void TqvTcpCommandServer::SendLinesBatch(TqvCommandConnection* AConnection) {
  const auto lock = AConnection->WorkLock();
  while (AConnection->FLinesSent > 0) {
    --AConnection->FLinesSent;
    DoSendMultipleLines(AConnection);
  }
  auto& q = AConnection->FQueue;
  while (!q.empty() && AConnection->Active()) {
    TqvCommandConnection::TResponse& head = q.front();
    if (head.Source) {
      if (!SendResponseStream(AConnection, head)) return;
      q.pop_front();
      continue;
    }
    if (!head.Lines) {
      const bool all = WriteResponseBytes(AConnection, head.Bytes, head.Close);
      q.pop_front();
      if (!all) return;
      continue;
    }
    if (!SendResponseLines(AConnection, head)) return;
    q.pop_front();
  }
}

bool TqvTcpCommandServer::SendResponseLines(TqvCommandConnection* AConnection,
                                            TqvCommandConnection::TResponse& AResponse) {
  const std::string charset = GetResponseCharSet(AConnection);
  const size_t batchSize = static_cast<size_t>(std::max(1, BatchSize()));
  const bool stuff = AResponse.EndLine == ".\r\n";
  std::string buffer;
  bool unbatched = false;
  // A block list lends its lines; any other list copies each one out.
  const auto* block = dynamic_cast<const TBlockStringList*>(AResponse.Lines.get());
  std::string copy;
  while (AResponse.LineIndex < AResponse.LineCount) {
    std::string_view line;
    if (block) {
      line = block->View(AResponse.LineIndex);
    } else {
      copy = AResponse.Lines->Strings(AResponse.LineIndex);
      line = copy;
    }
    if (!unbatched && line.size() > batchSize + 3) unbatched = true;
    if (!unbatched && !buffer.empty() && buffer.size() + line.size() + 3 > batchSize) {
      const bool all = AConnection->WriteData(buffer);
      buffer.clear();
      // The connection keeps what the socket refused; go on at the next write event.
      if (!all) return false;
      continue;
    }
    if (stuff && !line.empty() && line[0] == '.') buffer += '.';
    if (charset.empty())
      buffer += line;
    else
      buffer += Encode(std::string(line), charset);
    buffer += "\r\n";
    ++AResponse.LineIndex;
  }
  // Everything is handed over: the last batch and the end line queue behind
  // whatever the socket has not taken yet, in order. One write: a lone end
  // line in its own small segment waits for the peer's delayed ACK.
  buffer += std::exchange(AResponse.EndLine, {});
  ++AConnection->FLinesSent;
  AResponse.Lines.reset();
  if (!buffer.empty()) (void)AConnection->WriteData(buffer);
  return true;
}

void TqvTcpCommandServer::SendStreamedLines(TqvCommandConnection* AConnection, const std::string& AFirstLine,
                                            std::unique_ptr<TStream> ASource, const std::string& AEndLine,
                                            int64_t ABodyLines) {
  WaitForOutputRoom(AConnection, false);
  const auto lock = AConnection->WorkLock();
  TqvCommandConnection::TResponse r;
  r.EndLine = AEndLine;
  if (!r.EndLine.empty() && r.EndLine.back() != '\n') r.EndLine += "\r\n";
  r.Bytes = AFirstLine + "\r\n";
  r.Filter = std::make_unique<TqvDotStuffingFilter>(r.EndLine == ".\r\n", ABodyLines);
  r.SourceLeft = ASource->Size() - ASource->Position();
  r.Source = std::move(ASource);
  AConnection->FQueue.push_back(std::move(r));
  SendLinesBatch(AConnection);
}

bool TqvTcpCommandServer::SendResponseStream(TqvCommandConnection* AConnection,
                                             TqvCommandConnection::TResponse& AResponse) {
  // A piece is read only once the socket has taken the one before, so the
  // connection never holds more than about one piece.
  constexpr int64_t kPiece = 256 * 1024;
  std::string piece;
  while (AConnection->Active() && AConnection->PendingOutput() == 0) {
    if (piece.empty()) piece.resize(static_cast<size_t>(std::clamp<int64_t>(AResponse.SourceLeft, 1, kPiece)));
    std::string out = std::exchange(AResponse.Bytes, {});
    const int64_t n = AResponse.SourceLeft > 0
                          ? AResponse.Source->Read(piece.data(), std::min<int64_t>(AResponse.SourceLeft,
                                                                                   static_cast<int64_t>(piece.size())))
                          : 0;
    if (n > 0) {
      AResponse.SourceLeft -= n;
      AResponse.Filter->Add(std::string_view(piece.data(), static_cast<size_t>(n)), out);
    }
    if (n <= 0 || AResponse.SourceLeft <= 0 || AResponse.Filter->Done()) {
      // The last piece and the end line go out together.
      AResponse.Filter->Finish(out);
      out += std::exchange(AResponse.EndLine, {});
      ++AConnection->FLinesSent;
      AResponse.Source.reset();
      (void)AConnection->WriteData(out);
      return true;
    }
    if (!AConnection->WriteData(out)) return false;
  }
  return false;
}

void TqvTcpCommandServer::DoWriteConnection(TqvUserConnection* AConnection) {
  TqvTcpServer::DoWriteConnection(AConnection);
  if (auto* c = dynamic_cast<TqvCommandConnection*>(AConnection)) SendLinesBatch(c);
}

// --- overridable steps

bool TqvTcpCommandServer::MustSwitchToTlsFirst(TqvCommandConnection* AConnection) {
  return UseTLS == stExplicitRequire && !IsTlsConnection(AConnection);
}

void TqvTcpCommandServer::RefuseCommand(TqvCommandConnection*, TqvTcpCommandParams* AParams,
                                        TqvCommandRefusal AWhy, TqvCommandStates) {
  throw EqvTcpCommandServerError(AParams->Command,
                                 AWhy == TqvCommandRefusal::NeedsTls ? "TLS is required first"
                                                                     : "Command not allowed now",
                                 0);
}

bool TqvTcpCommandServer::StartCommandData(TqvCommandConnection*, TqvTcpCommandParams*) { return false; }

std::string TqvTcpCommandServer::GetResponseCharSet(TqvCommandConnection*) { return FCharSet; }
std::string TqvTcpCommandServer::GetRequestCharSet(TqvCommandConnection*) { return FCharSet; }
void TqvTcpCommandServer::DoMaxDataSizeExceeded(TqvCommandConnection*, bool&) {}

void TqvTcpCommandServer::DoReceiveCommand(TqvCommandConnection* AConnection, TqvTcpCommandParams* AParams) {
  if (OnReceiveCommand) OnReceiveCommand(this, AConnection, AParams);
}

void TqvTcpCommandServer::DoSendResponse(TqvCommandConnection* AConnection, const std::string& ACommand,
                                         const std::string& AResponse) {
  if (OnSendResponse) OnSendResponse(this, AConnection, ACommand, AResponse);
}

void TqvTcpCommandServer::DoCreateCommandParams(TqvCommandConnection* AConnection,
                                                std::unique_ptr<TqvTcpCommandParams>& AParams) {
  if (OnCreateCommandParams) OnCreateCommandParams(this, AConnection, AParams);
}

void TqvTcpCommandServer::DoCustomCommand(TqvCommandConnection* AConnection, TqvTcpCommandParams* AParams) {
  if (OnCustomCommand) OnCustomCommand(this, AConnection, AParams);
}

void TqvTcpCommandServer::DoSendMultipleLines(TqvCommandConnection* AConnection) {
  if (OnSendMultipleLines) OnSendMultipleLines(this, AConnection);
}

void TqvTcpCommandServer::AcknowledgeNextPromptly(TqvCommandConnection* AConnection) {
  const plat::SOCKET s = plat::SocketOfHandle(AConnection->Handle());
  if (s == plat::INVALID_SOCKET) return;
  // Quick-ACK mode lasts for the next few segments, which is all it takes.
  const int one = 1;
  (void)plat::setsockopt(s, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

bool TqvTcpCommandServer::SwitchToTlsBeforeRead(TqvCommandConnection* AConnection) {
  const bool pending = AConnection->TlsPending;
  SwitchToTlsIfPending(AConnection);
  return pending;
}
