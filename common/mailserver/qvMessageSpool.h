// A received message kept in a file of the store instead of in memory. It is
// written under a staged (temporary) name in the folder of its first copy,
// so that copy is stored by a rename; any other copy is a new staged file the
// kernel fills from it, never passing through this process's memory. Its
// bytes are a prefix of that first copy's own (a "Return-path:" line, or
// nothing) and the rest, which every copy shares. The staged name is removed
// when the spool goes unless a copy took it over, so a failed or dropped
// transfer leaves nothing, and a crash leaves only what the start-up clean-up
// of staged names removes. One owner, one thread at a time; errors raise
// EOSError (qvMailStoreUtils.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "UniqueFd.h"
#include "qvMailStoreUtils.h"

class TBlockStringList;

class TqvMessageSpool {
 public:
  // An empty spool in AFolder, starting with APrefix.
  TqvMessageSpool(const TqvStoreFolder& AFolder, std::string APrefix);
  ~TqvMessageSpool();
  TqvMessageSpool(const TqvMessageSpool&) = delete;
  TqvMessageSpool& operator=(const TqvMessageSpool&) = delete;

  // Bytes of the shared part, in order; kept in a small buffer between writes.
  void Write(std::string_view ABytes);
  // Writes out and flushes the file; nothing can be written afterwards.
  void Finish();
  [[nodiscard]] bool Finished() const { return FFinished; }
  // Bytes of the shared part written so far.
  [[nodiscard]] int64_t Size() const { return FSize; }
  [[nodiscard]] const std::string& Prefix() const { return FPrefix; }

  // What the next copy starts with in place of the spool's prefix; the
  // caller sets it before it asks for a copy.
  std::string CopyPrefix;
  // A finished file in AFolder holding CopyPrefix and the shared part, to be
  // placed by the caller: the spool's own file the first time it is asked for
  // in its own folder with its own prefix, else a new staged file.
  [[nodiscard]] std::unique_ptr<TqvStagedFile> StageCopy(const TqvStoreFolder& AFolder);
  // The shared part as lines (without their CR LF), read back from the
  // file once it is finished (this finishes it).
  void ReadLines(TBlockStringList& ALines);
  // Removes the staged file now unless a copy took it over (as the
  // destructor would); nothing can be copied or read afterwards.
  void Discard();
  // The staged name while the spool still owns its file, else empty.
  [[nodiscard]] std::string TempPath() const;

 private:
  void Flush();

  std::unique_ptr<TqvStagedFile> FFile;  // null once a copy took it
  plat::UniqueFd FRead;
  std::string FPrefix;
  std::string FBuffer;
  int64_t FSize = 0;
  bool FFinished = false;
};
