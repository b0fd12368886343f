#include "qvProcessDataHandler.h"

#include <malloc.h>

#include <algorithm>

#include "TextTrim.h"
#include "qvMailServerLimits.h"
#include "qvTcpCommandServer.h"
#include "qvTranslator.h"

namespace {

// A size exceeds a limit only when the limit is positive.
bool Exceeds(int64_t ASize, int64_t ALimit) { return ALimit > 0 && ALimit < ASize; }

// A receive buffer whose room grew past this gives it back once emptied.
constexpr size_t kKeptBufferBytes = 1024 * 1024;

// A block at least this large gives its memory back to the system when freed.
constexpr size_t kTrimAfterBytes = 8 * 1024 * 1024;

// The configured limit, never above the hard ceiling.
int64_t Capped(int64_t AMaxDataSize, int64_t ACeiling) {
  return AMaxDataSize > 0 ? std::min(AMaxDataSize, ACeiling) : ACeiling;
}

// Offset just after the next line terminator at or after AFrom, or npos when
// the line has not ended yet (a CR at the very end may still get its LF).
size_t NextLineEnd(std::string_view ABytes, size_t AFrom, size_t& ALineEnd) {
  for (size_t i = AFrom; i < ABytes.size(); ++i) {
    if (ABytes[i] == '\n') {
      ALineEnd = i;
      return i + 1;
    }
    if (ABytes[i] == '\r') {
      if (i + 1 == ABytes.size()) return std::string_view::npos;
      ALineEnd = i;
      return ABytes[i + 1] == '\n' ? i + 2 : i + 1;
    }
  }
  return std::string_view::npos;
}

}  // namespace

// --- base

TqvProcessDataHandler::TqvProcessDataHandler(TqvTcpCommandServer* AServer, TProcessCallback ACallback)
    : Server(AServer), FCallback(std::move(ACallback)) {}

std::unique_ptr<TqvProcessDataContext> TqvProcessDataHandler::ExtractContext(int64_t AMaxDataSize) {
  int64_t remaining = 0;
  std::unique_ptr<TqvProcessDataContext> context = ParseData(FBuffer, remaining, AMaxDataSize);
  if (remaining <= 0) {
    // Room for the next read is kept, but not that of a large block.
    if (FBuffer.Capacity() > kKeptBufferBytes)
      FBuffer.Free();
    else
      FBuffer.Clear();
  } else if (static_cast<int64_t>(FBuffer.Size()) > remaining) {
    FBuffer.EraseFront(FBuffer.Size() - static_cast<size_t>(remaining));
  }
  return context;
}

void TqvProcessDataHandler::ProcessContext(TqvProcessDataContext& AContext) {
  if (FLineTooLong) {
    FLineTooLong = false;
    throw EqvCommandLineTooLongError();
  }
  if (!AContext.IsComplete) return;
  if (FExceeded) {
    FExceeded = false;
    throw EqvMaxDataSizeError();
  }
  if (FCallback) FCallback(Connection, AContext);
}

std::string TqvProcessDataHandler::RequestCharSet() const {
  return Server ? Server->GetRequestCharSet(Connection) : std::string();
}

TqvProcessMultiLineContext::~TqvProcessMultiLineContext() {
  if (Lines.BlockSize() < kTrimAfterBytes) return;
  Lines.Clear();
  // Freed blocks of the allocator's arenas would otherwise stay with the
  // process after one large message.
  ::malloc_trim(0);
}

void TqvProcessDataHandler::DecodeLines(TByteBlock ABytes, TBlockStringList& ALines) const {
  const std::string charset = RequestCharSet();
  if (charset.empty()) {
    std::replace(ABytes.Data(), ABytes.Data() + ABytes.Size(), '\0', ' ');
    ALines.AssignText(std::move(ABytes));
    return;
  }
  const std::string_view bytes = ABytes.View();
  std::string line;
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t lineEnd = 0;
    size_t next = NextLineEnd(bytes, pos, lineEnd);
    if (next == std::string_view::npos) {
      // The last line has no terminator (or ends in a lone CR).
      lineEnd = bytes.size();
      if (lineEnd > pos && bytes[lineEnd - 1] == '\r') --lineEnd;
      next = bytes.size();
    }
    line.assign(bytes.substr(pos, lineEnd - pos));
    std::replace(line.begin(), line.end(), '\0', ' ');
    ALines.Add(charset.empty() ? line : TqvTranslator::GetString(line.data(), static_cast<int>(line.size()), charset));
    pos = next;
  }
}

// --- command lines

TqvProcessCommandHandler::TqvProcessCommandHandler(TqvTcpCommandServer* AServer, TProcessCallback ACallback,
                                                   TCreateParams ACreate)
    : TqvProcessDataHandler(AServer, std::move(ACallback)), FCreateParams(std::move(ACreate)) {}

std::unique_ptr<TqvProcessCommandContext> TqvProcessCommandHandler::CreateContext() {
  return std::make_unique<TqvProcessCommandContext>();
}

std::unique_ptr<TqvProcessDataContext> TqvProcessCommandHandler::ParseData(TByteBlock& ABuffer,
                                                                           int64_t& ARemaining,
                                                                           int64_t AMaxDataSize) {
  const std::string_view buffer = ABuffer.View();
  std::unique_ptr<TqvProcessCommandContext> context = CreateContext();
  context->IsComplete = true;
  ARemaining = 0;
  if (Exceeds(static_cast<int64_t>(buffer.size()), AMaxDataSize)) {
    FExceeded = true;
    return context;
  }
  const std::string charset = RequestCharSet();
  size_t pos = 0;
  for (;;) {
    size_t lineEnd = 0;
    const size_t next = NextLineEnd(buffer, pos, lineEnd);
    if (next == std::string::npos) break;
    if (static_cast<int64_t>(lineEnd - pos) > qvMaxCommandLineBytes) {
      if (context->Commands.empty()) {
        FLineTooLong = true;
        return context;
      }
      // The commands before it are answered first; the line is refused on
      // the next pass (or belongs to the handler one of them installs).
      context->MoreInBuffer = true;
      break;
    }
    std::string line(buffer.substr(pos, lineEnd - pos));
    pos = next;
    std::replace(line.begin(), line.end(), '\0', ' ');
    if (!charset.empty()) line = TqvTranslator::GetString(line.data(), static_cast<int>(line.size()), charset);
    const std::string_view trimmed = plat::TrimView(line);
    if (trimmed.empty() && !(Server && Server->AnswersBlankLines())) continue;
    std::unique_ptr<TqvTcpCommandParams> params = FCreateParams ? FCreateParams(Connection) : nullptr;
    if (!params) params = std::make_unique<TqvTcpCommandParams>();
    params->Parse(std::string(trimmed));
    context->Commands.push_back(std::move(params));
    context->RawEnds.push_back(pos);
  }
  // Only the unfinished line stays, byte for byte.
  ARemaining = static_cast<int64_t>(buffer.size() - pos);
  if (ARemaining > qvMaxCommandLineBytes && !context->MoreInBuffer) {
    if (context->Commands.empty()) {
      FLineTooLong = true;
      ARemaining = 0;
    } else {
      context->MoreInBuffer = true;
    }
  }
  context->Raw = buffer.substr(0, pos);
  return context;
}

// --- single-command handlers

TqvProcessSingleCommandHandler::TqvProcessSingleCommandHandler(TqvTcpCommandServer* AServer,
                                                               TProcessCallback ACallback,
                                                               std::unique_ptr<TqvTcpCommandInfo> AInfo)
    : TqvProcessDataHandler(AServer, std::move(ACallback)), FInfo(std::move(AInfo)) {}

TqvProcessSingleCommandHandler::~TqvProcessSingleCommandHandler() = default;

std::unique_ptr<TqvProcessDataContext> TqvProcessLineHandler::ParseData(TByteBlock& ABuffer,
                                                                        int64_t& ARemaining,
                                                                        int64_t AMaxDataSize) {
  const std::string_view buffer = ABuffer.View();
  auto context = std::make_unique<TqvProcessLineContext>();
  context->CommandInfo = CommandInfo();
  const int64_t size = static_cast<int64_t>(buffer.size());
  ARemaining = size;
  // The line ends at its first CR LF; what follows is the next command's.
  const size_t end = buffer.find("\r\n");
  if (end == std::string::npos) {
    if (!FExceeded && Exceeds(size, AMaxDataSize)) FExceeded = true;
    if (FExceeded) {
      if (size > 2) ARemaining = 2;  // enough to see the CR LF arrive
    } else if (size > qvMaxCommandLineBytes) {
      FLineTooLong = true;
      ARemaining = 0;
    }
    return context;
  }
  const int64_t lineSize = static_cast<int64_t>(end) + 2;
  if (!FExceeded && Exceeds(lineSize, AMaxDataSize)) FExceeded = true;
  if (!FExceeded && lineSize > qvMaxCommandLineBytes) {
    FLineTooLong = true;
    ARemaining = 0;
    return context;
  }
  if (!FExceeded) {
    std::string line(buffer.substr(0, end));
    std::replace(line.begin(), line.end(), '\0', ' ');
    const std::string charset = RequestCharSet();
    context->Line =
        charset.empty() ? line : TqvTranslator::GetString(line.data(), static_cast<int>(line.size()), charset);
  }
  ARemaining = size - lineSize;
  context->IsComplete = true;
  return context;
}

std::unique_ptr<TqvProcessDataContext> TqvProcessMultiLineHandler::ParseData(TByteBlock& ABuffer,
                                                                             int64_t& ARemaining,
                                                                             int64_t AMaxDataSize) {
  const std::string_view buffer = ABuffer.View();
  auto context = std::make_unique<TqvProcessMultiLineContext>();
  context->CommandInfo = CommandInfo();
  const int64_t size = static_cast<int64_t>(buffer.size());
  ARemaining = size;
  const int64_t limit = Capped(AMaxDataSize, qvMaxDataBlockBytes);

  // The terminator may stand at any line start, with more bytes after it.
  size_t end = std::string::npos;  // just after the terminator
  size_t contentEnd = 0;           // where the block's lines end
  if (!FDropped && buffer.compare(0, 3, ".\r\n") == 0) {
    end = 3;
  } else {
    const size_t at = buffer.find("\r\n.\r\n", FScanFrom);
    if (at != std::string::npos) {
      end = at + 5;
      contentEnd = at + 2;
    }
  }
  if (end == std::string::npos) {
    // A terminator cut by this read starts in the last 4 bytes.
    FScanFrom = buffer.size() > 4 ? buffer.size() - 4 : 0;
    if (FExceeded || Exceeds(size, limit)) {
      FExceeded = true;
      // Only enough to see the terminator arrive.
      if (size > 5) {
        ARemaining = 5;
        FDropped = true;
        FScanFrom = 0;
      }
    }
    return context;
  }
  if (!FExceeded && Exceeds(static_cast<int64_t>(end), limit)) FExceeded = true;
  // The block's bytes leave the buffer without a copy; what followed the
  // terminator stays for the next handler.
  TByteBlock block = std::move(ABuffer);
  ABuffer.Append(block.View().substr(end));
  if (!FExceeded) {
    block.Resize(contentEnd);
    TBlockStringList& lines = context->Lines;
    DecodeLines(std::move(block), lines);
    for (int i = 0, n = lines.Count(); i < n; ++i)
      if (lines.View(i).starts_with('.')) lines.CutFront(i, 1);
  }
  ARemaining = static_cast<int64_t>(ABuffer.Size());
  FScanFrom = 0;
  FDropped = false;
  context->IsComplete = true;
  return context;
}

TqvProcessFixedBytesHandler::TqvProcessFixedBytesHandler(TqvTcpCommandServer* AServer, TProcessCallback ACallback,
                                                         std::unique_ptr<TqvTcpCommandInfo> AInfo, int64_t ASize)
    : TqvProcessSingleCommandHandler(AServer, std::move(ACallback), std::move(AInfo)), FSize(ASize) {}

std::unique_ptr<TqvProcessDataContext> TqvProcessFixedBytesHandler::ParseData(TByteBlock& ABuffer,
                                                                              int64_t& ARemaining,
                                                                              int64_t AMaxDataSize) {
  const std::string_view buffer = ABuffer.View();
  auto context = std::make_unique<TqvProcessMultiLineContext>();
  context->CommandInfo = CommandInfo();
  const int64_t size = static_cast<int64_t>(buffer.size());
  // Over the limit the buffer is emptied each read: count what passed.
  const int64_t before = FExceeded ? FReceived : 0;
  FReceived = before + size;
  ARemaining = size;
  if (Exceeds(FReceived, Capped(AMaxDataSize, qvMaxDataBlockBytes))) {
    FExceeded = true;
    ARemaining = 0;
  }
  if (FReceived < FSize) return context;
  // The literal's bytes that are in this buffer start at 0 (or were dropped);
  // what follows them belongs to the next command.
  const int64_t literalHere = std::max<int64_t>(0, FSize - before);
  if (!FExceeded) {
    TByteBlock literal;
    literal.Append(buffer.substr(0, static_cast<size_t>(FSize)));
    DecodeLines(std::move(literal), context->Lines);
  }
  ARemaining = size - std::min(size, literalHere);
  FReceived = 0;
  context->IsComplete = true;
  return context;
}
