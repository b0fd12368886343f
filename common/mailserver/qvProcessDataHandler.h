// Receive handlers of the line-command servers. Each connection owns one
// handler, which decides how received bytes are read: as command lines, as
// one line for one command (AUTH continuations), as a block ended by a line
// holding a single "." (DATA), or as a fixed byte count (literals). A handler
// buffers what it has not consumed; ExtractContext (under the connection lock)
// cuts a context from the buffer, ProcessContext (outside it) hands a complete
// one to the server. Lines are split on raw bytes (CR LF, a bare LF and a bare
// CR each end one, a CR at the very end waits for its LF), then each line is
// decoded in the request charset with NUL bytes as blanks. Bytes after a
// block or literal stay in the buffer and move on to the next handler. Every
// buffer is bounded (qvMailServerLimits.h) whatever MaxDataSize says.
// Oversized data raise EqvMaxDataSizeError from ProcessContext once the data
// have ended; an over-long line raises EqvCommandLineTooLongError at once,
// but only after the complete commands that came before it have run.
// A block or literal larger than the spool threshold goes, as it arrives, to
// a spool file the server opens for it (qvMessageSpool.h) rather than to
// memory, cut into the same lines; the context then holds the spool instead
// of lines. A spool that cannot be opened or written makes the rest of the
// data be skipped to its end, and the context says so (SpoolFailed).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "StringList.h"
#include "qvTcpCommandErrors.h"

class TqvCommandConnection;
class TqvTcpCommandServer;
class TqvTcpCommandInfo;
class TqvTcpCommandParams;
class TqvMessageSpool;

class TqvProcessDataContext {
 public:
  virtual ~TqvProcessDataContext() = default;
  bool IsComplete = false;
  // The handler stopped early: the buffer holds more to parse without a new
  // read (a line it refuses, met after the commands before it were answered).
  bool MoreInBuffer = false;
};

// Command lines in arrival order; always complete (may hold none).
class TqvProcessCommandContext : public TqvProcessDataContext {
 public:
  std::vector<std::unique_ptr<TqvTcpCommandParams>> Commands;
  // The consumed bytes and, per command, the offset just after its line, so
  // a command that installs another handler can pass the rest on.
  std::string Raw;
  std::vector<size_t> RawEnds;
};

class TqvProcessSingleCommandContext : public TqvProcessDataContext {
 public:
  TqvTcpCommandInfo* CommandInfo = nullptr;  // the handler's
};

class TqvProcessLineContext : public TqvProcessSingleCommandContext {
 public:
  std::string Line;
};

// A block's lines are spans of the received bytes themselves (no copy per
// line). A large block hands its memory back to the system when it goes.
// A spooled one has no lines but its spool, which goes with the context
// (taking its staged file along unless a copy took it over).
class TqvProcessMultiLineContext : public TqvProcessSingleCommandContext {
 public:
  ~TqvProcessMultiLineContext() override;
  TBlockStringList Lines;
  std::unique_ptr<TqvMessageSpool> Spool;
  bool SpoolFailed = false;  // the data were skipped: no spool could take them
};

// Received bytes cut into lines as the handlers cut them (CR LF, a bare LF
// and a bare CR each end one, NUL bytes become blanks, each line decoded in
// ACharSet), written out each with CR LF, fed in pieces split anywhere. With
// AUnstuff a line's leading "." is dropped (a DATA block); with
// ADropLastEmpty a last line that is empty is left out (an APPEND literal).
// A line without an end at the end of the data is ended. A line longer than
// qvMaxCommandLineBytes is decoded in pieces of that size.
class TqvSpoolLineWriter {
 public:
  TqvSpoolLineWriter(std::string ACharSet, bool AUnstuff, bool ADropLastEmpty);
  // Appends the lines' bytes that AData completes to AOut.
  void Feed(std::string_view AData, std::string& AOut);
  // The end of the data: what is still open, to AOut.
  void End(std::string& AOut);

 private:
  void EndLine(std::string& AOut);
  void FlushLine(std::string& AOut);

  std::string FCharSet;
  bool FUnstuff;
  bool FDropLastEmpty;
  bool FLineStart = true;
  bool FAfterCR = false;
  bool FHeldEmpty = false;  // an empty line not yet known not to be the last
  std::string FLine;        // the open line, when it is decoded
};

class TqvProcessDataHandler {
 public:
  using TProcessCallback = std::function<void(TqvCommandConnection*, TqvProcessDataContext&)>;

  TqvProcessDataHandler(TqvTcpCommandServer* AServer, TProcessCallback ACallback);
  virtual ~TqvProcessDataHandler() = default;
  TqvProcessDataHandler(const TqvProcessDataHandler&) = delete;
  TqvProcessDataHandler& operator=(const TqvProcessDataHandler&) = delete;

  // Under the connection lock: a new context; the buffer keeps only what
  // ParseData asked to keep.
  [[nodiscard]] std::unique_ptr<TqvProcessDataContext> ExtractContext(int64_t AMaxDataSize);
  // Outside the lock: nothing for an incomplete context; the size error
  // once for data that went over the limit; else the server's callback.
  void ProcessContext(TqvProcessDataContext& AContext);

  void Append(const char* AData, size_t ASize) { FBuffer.Append(std::string_view(AData, ASize)); }
  void Prepend(const std::string& AData) { FBuffer.Prepend(AData); }
  // Hands the unconsumed bytes over (to the next handler).
  [[nodiscard]] std::string TakeBuffer() {
    std::string bytes(FBuffer.View());
    FBuffer.Free();
    return bytes;
  }
  void ClearBuffer() { FBuffer.Clear(); }
  [[nodiscard]] size_t BufferSize() const { return FBuffer.Size(); }

  TqvCommandConnection* Connection = nullptr;
  TqvTcpCommandServer* Server = nullptr;

 protected:
  // A new context; ARemaining := the bytes at the end of the buffer to keep.
  // A handler may take the consumed bytes out of ABuffer, leaving exactly
  // the ARemaining bytes to keep.
  [[nodiscard]] virtual std::unique_ptr<TqvProcessDataContext> ParseData(TByteBlock& ABuffer,
                                                                         int64_t& ARemaining,
                                                                         int64_t AMaxDataSize) = 0;
  [[nodiscard]] std::string RequestCharSet() const;
  // ABytes cut into decoded lines (see the contract above); a final line
  // without terminator counts as a line. Without a request charset the
  // bytes become the list's block as they are.
  void DecodeLines(TByteBlock ABytes, TBlockStringList& ALines) const;

  bool FExceeded = false;
  bool FLineTooLong = false;

 private:
  TProcessCallback FCallback;
  TByteBlock FBuffer;
};

// The command lines of command mode.
class TqvProcessCommandHandler : public TqvProcessDataHandler {
 public:
  using TCreateParams = std::function<std::unique_ptr<TqvTcpCommandParams>(TqvCommandConnection*)>;
  TqvProcessCommandHandler(TqvTcpCommandServer* AServer, TProcessCallback ACallback, TCreateParams ACreate);

 protected:
  std::unique_ptr<TqvProcessDataContext> ParseData(TByteBlock& ABuffer, int64_t& ARemaining,
                                                   int64_t AMaxDataSize) override;
  [[nodiscard]] virtual std::unique_ptr<TqvProcessCommandContext> CreateContext();

 private:
  TCreateParams FCreateParams;
};

// Data for one command; owns that command's info.
class TqvProcessSingleCommandHandler : public TqvProcessDataHandler {
 public:
  TqvProcessSingleCommandHandler(TqvTcpCommandServer* AServer, TProcessCallback ACallback,
                                 std::unique_ptr<TqvTcpCommandInfo> AInfo);
  ~TqvProcessSingleCommandHandler() override;
  [[nodiscard]] TqvTcpCommandInfo* CommandInfo() const { return FInfo.get(); }

 private:
  std::unique_ptr<TqvTcpCommandInfo> FInfo;
};

// One line ended by its first CR LF (a bare LF does not end it).
class TqvProcessLineHandler : public TqvProcessSingleCommandHandler {
 public:
  using TqvProcessSingleCommandHandler::TqvProcessSingleCommandHandler;

 protected:
  std::unique_ptr<TqvProcessDataContext> ParseData(TByteBlock& ABuffer, int64_t& ARemaining,
                                                   int64_t AMaxDataSize) override;
};

// A dot-terminated block, dot-stuffing removed.
class TqvProcessMultiLineHandler : public TqvProcessSingleCommandHandler {
 public:
  // Opens the spool of a block that grew past the threshold; AHeader holds
  // the block's header lines (up to its first empty line, or as much as came)
  // as they will be stored. May return null or raise: the block is then
  // skipped and the context marked SpoolFailed.
  using TOpenSpool = std::function<std::unique_ptr<TqvMessageSpool>(std::string_view AHeader)>;
  TqvProcessMultiLineHandler(TqvTcpCommandServer* AServer, TProcessCallback ACallback,
                             std::unique_ptr<TqvTcpCommandInfo> AInfo, TOpenSpool AOpenSpool = nullptr,
                             int64_t AThreshold = 0);
  ~TqvProcessMultiLineHandler() override;

 protected:
  std::unique_ptr<TqvProcessDataContext> ParseData(TByteBlock& ABuffer, int64_t& ARemaining,
                                                   int64_t AMaxDataSize) override;

 private:
  // Opens the spool and hands it what the buffer holds so far.
  void StartSpool(TByteBlock& ABuffer, int64_t& ARemaining);
  std::unique_ptr<TqvProcessDataContext> ParseSpooled(TByteBlock& ABuffer, int64_t& ARemaining, int64_t ALimit,
                                                      std::unique_ptr<TqvProcessMultiLineContext> AContext);
  // Writes ABytes to the spool; a failure drops it and marks the block failed.
  void SpoolBytes(std::string_view ABytes);
  void DropSpool();

  // Where the search for the terminator goes on.
  size_t FScanFrom = 0;
  bool FDropped = false;  // bytes of the block were skipped (over the limit)
  TOpenSpool FOpenSpool;
  int64_t FThreshold;
  std::unique_ptr<TqvMessageSpool> FSpool;
  std::unique_ptr<TqvSpoolLineWriter> FWriter;
  int64_t FSpooled = 0;  // bytes of the block that went to the spool
  bool FSpoolFailed = false;
};

// Exactly ASize bytes; with a spool, they go to it as they come.
class TqvProcessFixedBytesHandler : public TqvProcessSingleCommandHandler {
 public:
  TqvProcessFixedBytesHandler(TqvTcpCommandServer* AServer, TProcessCallback ACallback,
                              std::unique_ptr<TqvTcpCommandInfo> AInfo, int64_t ASize,
                              std::unique_ptr<TqvMessageSpool> ASpool = nullptr);
  ~TqvProcessFixedBytesHandler() override;

 protected:
  std::unique_ptr<TqvProcessDataContext> ParseData(TByteBlock& ABuffer, int64_t& ARemaining,
                                                   int64_t AMaxDataSize) override;

 private:
  std::unique_ptr<TqvProcessDataContext> ParseSpooled(TByteBlock& ABuffer, int64_t& ARemaining,
                                                      std::unique_ptr<TqvProcessMultiLineContext> AContext);

  int64_t FSize;
  int64_t FReceived = 0;
  std::unique_ptr<TqvMessageSpool> FSpool;
  std::unique_ptr<TqvSpoolLineWriter> FWriter;
  bool FSpooling = false;  // the literal goes to a spool (FSpool, until it fails)
};
