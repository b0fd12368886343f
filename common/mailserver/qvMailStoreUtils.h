// Durable, exclusive placing of a message or envelope file in a mail store
// folder. A file is written under a temporary name that no scanner matches
// ("vxtmp-XXXXXX", never "*.MSG" or "*.ENV"), flushed to disk, and then
// linked to its final name, which fails instead of replacing an existing
// file; the temporary name is removed whatever happens. Thread-safe, no
// locks. Failures raise EOSError with the errno's code and text.
#pragma once

#include <string>
#include <string_view>

#include "UniqueFd.h"

class TStrings;

// A written, flushed file under a temporary name in one folder; removed on
// destruction unless it was placed. One owner, one thread.
class TqvStagedFile {
 public:
  // Creates the temporary file in AFolder (which ends in "/") and writes
  // each line of ALines followed by CR LF, or AText as it is.
  TqvStagedFile(const std::string& AFolder, const TStrings& ALines);
  TqvStagedFile(const std::string& AFolder, std::string_view AText);
  ~TqvStagedFile() = default;
  TqvStagedFile(const TqvStagedFile&) = delete;
  TqvStagedFile& operator=(const TqvStagedFile&) = delete;

  // Links the file as AFinalPath. False when that name exists already (the
  // caller picks another); other failures raise.
  [[nodiscard]] bool PlaceAs(const std::string& AFinalPath);
  [[nodiscard]] const std::string& TempPath() const { return FTemp.Path; }

 private:
  void Open(const std::string& AFolder);
  void WriteAll(std::string_view ABytes);
  void Finish();

  // Removes the name even when a constructor fails half-way.
  struct TTempName {
    std::string Path;
    TTempName() = default;
    TTempName(const TTempName&) = delete;
    TTempName& operator=(const TTempName&) = delete;
    ~TTempName();
  };

  TTempName FTemp;
  plat::UniqueFd FFd;
};

// Flushes a folder's entries (new names) to disk; raises on failure.
void SyncFolder(const std::string& AFolder);

// The store's file names: AFolder + "MAIL%.8d", or "MAIL%.8d%d" with a retry
// digit ARetry >= 0.
[[nodiscard]] std::string NumberedName(const std::string& AFolder, int ANumber, int ARetry);
// Any entry counts as taken, a dangling link included.
[[nodiscard]] bool NameTaken(const std::string& APath);
// The first free name of ANumber (retry -1, 0, 1, ...): neither NAME.MSG nor,
// when given, NAME + ASkipExtension exists. ARetry gets the retry used. The
// name may be taken before it is used: place files with PlaceAs.
[[nodiscard]] std::string FirstFreeName(const std::string& AFolder, int ANumber, int& ARetry,
                                        const char* ASkipExtension);
