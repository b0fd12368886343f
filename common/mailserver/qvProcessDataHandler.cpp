#include "qvProcessDataHandler.h"

#include <malloc.h>

#include <algorithm>

#include "TextTrim.h"
#include "qvMailServerLimits.h"
#include "qvMessageSpool.h"
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
  if (Lines.BlockSize() < kTrimAfterBytes && !Spool) return;
  Lines.Clear();
  Spool.reset();
  // A spooled message passed its pieces through the arenas too.
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

// --- lines for a spool

TqvSpoolLineWriter::TqvSpoolLineWriter(std::string ACharSet, bool AUnstuff, bool ADropLastEmpty)
    : FCharSet(std::move(ACharSet)), FUnstuff(AUnstuff), FDropLastEmpty(ADropLastEmpty) {}

void TqvSpoolLineWriter::Feed(std::string_view AData, std::string& AOut) {
  for (char c : AData) {
    if (FAfterCR) {
      FAfterCR = false;
      if (c == '\n') continue;  // the CR ended the line already
    }
    if (c == '\r' || c == '\n') {
      EndLine(AOut);
      FAfterCR = c == '\r';
      continue;
    }
    if (FLineStart) {
      FLineStart = false;
      if (FHeldEmpty) {
        AOut += "\r\n";
        FHeldEmpty = false;
      }
      if (FUnstuff && c == '.') continue;
    }
    if (c == '\0') c = ' ';
    if (FCharSet.empty()) {
      AOut += c;
    } else {
      FLine += c;
      if (static_cast<int64_t>(FLine.size()) >= qvMaxCommandLineBytes) FlushLine(AOut);
    }
  }
}

void TqvSpoolLineWriter::End(std::string& AOut) {
  if (!FLineStart) EndLine(AOut);
  FAfterCR = false;
  FHeldEmpty = false;  // it was the last line
}

void TqvSpoolLineWriter::EndLine(std::string& AOut) {
  const bool empty = FLineStart;
  FlushLine(AOut);
  FLineStart = true;
  if (empty && FDropLastEmpty) {
    if (FHeldEmpty) AOut += "\r\n";
    FHeldEmpty = true;
    return;
  }
  AOut += "\r\n";
}

void TqvSpoolLineWriter::FlushLine(std::string& AOut) {
  if (FLine.empty()) return;
  AOut += TqvTranslator::GetString(FLine.data(), static_cast<int>(FLine.size()), FCharSet);
  FLine.clear();
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
    params->TrimmedTail = trimmed.data() + trimmed.size() < line.data() + line.size();
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

TqvProcessMultiLineHandler::TqvProcessMultiLineHandler(TqvTcpCommandServer* AServer, TProcessCallback ACallback,
                                                       std::unique_ptr<TqvTcpCommandInfo> AInfo,
                                                       TOpenSpool AOpenSpool, int64_t AThreshold)
    : TqvProcessSingleCommandHandler(AServer, std::move(ACallback), std::move(AInfo)),
      FOpenSpool(std::move(AOpenSpool)),
      FThreshold(AThreshold > 0 ? AThreshold : qvSpoolThresholdBytes) {}

TqvProcessMultiLineHandler::~TqvProcessMultiLineHandler() = default;

std::unique_ptr<TqvProcessDataContext> TqvProcessMultiLineHandler::ParseData(TByteBlock& ABuffer,
                                                                             int64_t& ARemaining,
                                                                             int64_t AMaxDataSize) {
  const std::string_view buffer = ABuffer.View();
  auto context = std::make_unique<TqvProcessMultiLineContext>();
  context->CommandInfo = CommandInfo();
  const int64_t size = static_cast<int64_t>(buffer.size());
  ARemaining = size;
  const int64_t limit = Capped(AMaxDataSize, qvMaxDataBlockBytes);
  if (FSpool) return ParseSpooled(ABuffer, ARemaining, limit, std::move(context));

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
    if (FExceeded || FSpoolFailed || Exceeds(size, limit)) {
      if (!FSpoolFailed) FExceeded = true;
      // Only enough to see the terminator arrive.
      if (size > 5) {
        ARemaining = 5;
        FDropped = true;
        FScanFrom = 0;
      }
    } else if (FOpenSpool && size > FThreshold) {
      StartSpool(ABuffer, ARemaining);
    }
    return context;
  }
  if (!FExceeded && Exceeds(static_cast<int64_t>(end), limit)) FExceeded = true;
  // The block's bytes leave the buffer without a copy; what followed the
  // terminator stays for the next handler.
  TByteBlock block = std::move(ABuffer);
  ABuffer.Append(block.View().substr(end));
  if (!FExceeded && !FSpoolFailed) {
    block.Resize(contentEnd);
    TBlockStringList& lines = context->Lines;
    DecodeLines(std::move(block), lines);
    for (int i = 0, n = lines.Count(); i < n; ++i)
      if (lines.View(i).starts_with('.')) lines.CutFront(i, 1);
  }
  context->SpoolFailed = FSpoolFailed;
  ARemaining = static_cast<int64_t>(ABuffer.Size());
  FScanFrom = 0;
  FDropped = false;
  FSpoolFailed = false;
  context->IsComplete = true;
  return context;
}

void TqvProcessMultiLineHandler::StartSpool(TByteBlock& ABuffer, int64_t& ARemaining) {
  const std::string_view buffer = ABuffer.View();
  // The header ends at the first empty line; a block with none is all header so far.
  size_t headerEnd = buffer.size();
  if (buffer.starts_with("\r\n") || buffer.starts_with("\n")) {
    headerEnd = 0;
  } else {
    for (std::string_view blank : {std::string_view("\r\n\r\n"), std::string_view("\n\n")})
      if (const size_t at = buffer.find(blank); at != std::string_view::npos) headerEnd = std::min(headerEnd, at + 1);
  }
  std::string header;
  TqvSpoolLineWriter headerLines(RequestCharSet(), true, false);
  headerLines.Feed(buffer.substr(0, headerEnd), header);
  headerLines.End(header);
  try {
    FSpool = FOpenSpool(header);
  } catch (const std::exception&) {
    FSpool.reset();
  }
  // A terminator cut by this read starts in the last 4 bytes: they stay.
  constexpr size_t kKeep = 4;
  if (FSpool) {
    FWriter = std::make_unique<TqvSpoolLineWriter>(RequestCharSet(), true, false);
    SpoolBytes(buffer.substr(0, buffer.size() - kKeep));
    FSpooled = static_cast<int64_t>(buffer.size() - kKeep);
  } else {
    FSpoolFailed = true;
  }
  if (!FSpool) FDropped = true;
  // The block's memory goes back; only the kept bytes stay.
  TByteBlock kept;
  kept.Append(buffer.substr(buffer.size() - kKeep));
  ABuffer = std::move(kept);
  ARemaining = kKeep;
  FScanFrom = 0;
}

std::unique_ptr<TqvProcessDataContext> TqvProcessMultiLineHandler::ParseSpooled(
    TByteBlock& ABuffer, int64_t& ARemaining, int64_t ALimit, std::unique_ptr<TqvProcessMultiLineContext> AContext) {
  const std::string_view buffer = ABuffer.View();
  const size_t at = buffer.find("\r\n.\r\n");
  if (at == std::string_view::npos) {
    const size_t keep = std::min<size_t>(buffer.size(), 4);
    if (Exceeds(FSpooled + static_cast<int64_t>(buffer.size()), ALimit)) {
      FExceeded = true;
      DropSpool();
    } else {
      SpoolBytes(buffer.substr(0, buffer.size() - keep));
      FSpooled += static_cast<int64_t>(buffer.size() - keep);
    }
    if (!FSpool) FDropped = true;
    ARemaining = static_cast<int64_t>(keep);
    return AContext;
  }
  const size_t end = at + 5;
  if (Exceeds(FSpooled + static_cast<int64_t>(end), ALimit)) {
    FExceeded = true;
    DropSpool();
  } else {
    SpoolBytes(buffer.substr(0, at + 2));
    if (FSpool) {
      try {
        std::string rest;
        FWriter->End(rest);
        FSpool->Write(rest);
        FSpool->Finish();
      } catch (const std::exception&) {
        DropSpool();
        FSpoolFailed = true;
      }
    }
  }
  AContext->Spool = std::move(FSpool);
  AContext->SpoolFailed = FSpoolFailed;
  AContext->IsComplete = true;
  // What followed the terminator stays for the next handler.
  ABuffer.EraseFront(end);
  ARemaining = static_cast<int64_t>(ABuffer.Size());
  FWriter.reset();
  FSpooled = 0;
  FSpoolFailed = false;
  FDropped = false;
  FScanFrom = 0;
  return AContext;
}

void TqvProcessMultiLineHandler::SpoolBytes(std::string_view ABytes) {
  if (!FSpool) return;
  try {
    std::string lines;
    lines.reserve(ABytes.size() + ABytes.size() / 16 + 16);
    FWriter->Feed(ABytes, lines);
    FSpool->Write(lines);
  } catch (const std::exception&) {
    DropSpool();
    FSpoolFailed = true;
  }
}

void TqvProcessMultiLineHandler::DropSpool() {
  FSpool.reset();
  FWriter.reset();
}

TqvProcessFixedBytesHandler::TqvProcessFixedBytesHandler(TqvTcpCommandServer* AServer, TProcessCallback ACallback,
                                                         std::unique_ptr<TqvTcpCommandInfo> AInfo, int64_t ASize,
                                                         std::unique_ptr<TqvMessageSpool> ASpool)
    : TqvProcessSingleCommandHandler(AServer, std::move(ACallback), std::move(AInfo)),
      FSize(ASize),
      FSpool(std::move(ASpool)),
      FSpooling(FSpool != nullptr) {}

TqvProcessFixedBytesHandler::~TqvProcessFixedBytesHandler() = default;

std::unique_ptr<TqvProcessDataContext> TqvProcessFixedBytesHandler::ParseData(TByteBlock& ABuffer,
                                                                              int64_t& ARemaining,
                                                                              int64_t AMaxDataSize) {
  const std::string_view buffer = ABuffer.View();
  auto context = std::make_unique<TqvProcessMultiLineContext>();
  context->CommandInfo = CommandInfo();
  if (FSpooling) return ParseSpooled(ABuffer, ARemaining, std::move(context));
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

std::unique_ptr<TqvProcessDataContext> TqvProcessFixedBytesHandler::ParseSpooled(
    TByteBlock& ABuffer, int64_t& ARemaining, std::unique_ptr<TqvProcessMultiLineContext> AContext) {
  // The size was bounded before the literal was asked for; each read's
  // bytes go on at once, and what follows the literal stays.
  const std::string_view buffer = ABuffer.View();
  const size_t take = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(buffer.size()), FSize - FReceived));
  if (FSpool) {
    try {
      if (!FWriter) FWriter = std::make_unique<TqvSpoolLineWriter>(RequestCharSet(), false, true);
      std::string lines;
      lines.reserve(take + take / 16 + 16);
      FWriter->Feed(buffer.substr(0, take), lines);
      FSpool->Write(lines);
    } catch (const std::exception&) {
      FSpool.reset();
    }
  }
  FReceived += static_cast<int64_t>(take);
  ABuffer.EraseFront(take);
  ARemaining = static_cast<int64_t>(ABuffer.Size());
  if (FReceived < FSize) return AContext;
  if (FSpool) {
    try {
      std::string rest;
      if (FWriter) FWriter->End(rest);
      FSpool->Write(rest);
      FSpool->Finish();
    } catch (const std::exception&) {
      FSpool.reset();
    }
  }
  AContext->SpoolFailed = !FSpool;
  AContext->Spool = std::move(FSpool);
  AContext->IsComplete = true;
  FWriter.reset();
  FReceived = 0;
  FSpooling = false;
  return AContext;
}
