// What the file-based mail stores share: store folders held open by
// descriptor, account folders opened without following a symbolic link, and
// durable, exclusive placing of a message or envelope file. A file is written
// under a temporary name that no scanner matches ("vxtmp-" and six letters
// or digits, never "*.MSG" or "*.ENV"), flushed to disk, and then given
// its final name by a rename that never replaces (or, where the file system
// has none, a link), which fails instead of replacing an existing file; the
// temporary name is removed whatever happens, and leftovers of a crash are
// removed by RemoveStagedLeftovers. Folders the stores make have mode 0700,
// files 0600. Thread-safe, no locks. Failures raise EOSError with the errno's
// code and text.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "ClassCore.h"
#include "FileOps.h"
#include "UniqueFd.h"

class TObject;
class TStrings;

// A store failure that became a protocol reply; the host logs it.
using TqvStoreErrorEvent = std::function<void(TObject* Sender, const std::exception& E)>;

// An open folder of the store. Names inside it are resolved against the
// folder that was opened and checked, whatever happens to its path later.
// The store's error for a failed call: AWhat, the path in quotes and the
// system's text of AErrno ("Cannot delete file "/x/y": Access is denied."),
// with the platform code of AErrno.
[[nodiscard]] EOSError StoreOSError(int AErrno, const std::string& AWhat, const std::string& APath);

class TqvStoreFolder {
 public:
  TqvStoreFolder() = default;
  TqvStoreFolder(plat::UniqueFd AFd, std::string APath) : FFd(std::move(AFd)), FPath(std::move(APath)) {}
  [[nodiscard]] int Fd() const { return FFd.Get(); }
  // The path it was opened by, ending in "/" (for messages and file names).
  [[nodiscard]] const std::string& Path() const { return FPath; }
  explicit operator bool() const { return static_cast<bool>(FFd); }
  // Flushes the folder's entries (new and removed names) to disk.
  void Sync() const;

 private:
  plat::UniqueFd FFd;
  std::string FPath;
};

// An account folder a session keeps open between messages, for the user and
// mailbox folder setting it was opened for. It serves only while its path
// still leads to that very folder (one stat: not a link, not another folder
// put in its place); otherwise the caller opens the folder afresh, as it
// would without it, and keeps the new one. One session, one thread.
class TqvKeptFolder {
 public:
  // The kept folder, or nullptr when there is none for AUser in AMailBoxDir
  // or its path no longer leads to it.
  [[nodiscard]] const TqvStoreFolder* Find(const std::string& AUser, const std::string& AMailBoxDir) const;
  // Keeps AFolder (opened for AUser in AMailBoxDir) in place of the one
  // before and returns it; nullptr, with AFolder left to the caller, when it
  // could not be checked later.
  const TqvStoreFolder* Keep(const std::string& AUser, const std::string& AMailBoxDir, TqvStoreFolder&& AFolder);
  void Clear() { *this = TqvKeptFolder(); }

 private:
  std::string FUser;
  std::string FMailBoxDir;
  std::string FPath;  // the folder's path without the trailing "/"
  dev_t FDevice = 0;
  ino_t FInode = 0;
  TqvStoreFolder FFolder;
};

// A folder the administrator configured: it may be a symbolic link. With
// ACreate, the folder and its missing parents are made (mode 0700); without,
// a missing folder gives an empty object. Raises for anything else.
[[nodiscard]] TqvStoreFolder OpenStoreFolder(const std::string& APath, bool ACreate);

// The account folder AName (one name, as MailBoxFolderName gives it) inside
// AMailBox, opened without following a symbolic link at that name; made with
// mode 0700 when ACreate (and the mailbox folder flushed). Without ACreate a
// missing folder gives an empty object. A link (or anything but a folder)
// raises EOSError with the code of ELOOP.
[[nodiscard]] TqvStoreFolder OpenAccountFolder(const TqvStoreFolder& AMailBox, const std::string& AName,
                                               bool ACreate);

// The folders directly inside AMailBox that are real folders (links are
// passed over), sorted by name.
[[nodiscard]] std::vector<std::string> ListAccountFolders(const TqvStoreFolder& AMailBox);

// Removes from AFolder the regular files whose names are temporary names of
// this scheme, and nothing else; returns how many went.
int RemoveStagedLeftovers(const TqvStoreFolder& AFolder);

// A written, flushed file under a temporary name in one folder; removed on
// destruction unless it was placed. One owner, one thread.
class TqvStagedFile {
 public:
  // Creates the temporary file in AFolder and writes each line of ALines
  // followed by CR LF, or AText as it is. AFolder must outlive the file.
  TqvStagedFile(const TqvStoreFolder& AFolder, const TStrings& ALines);
  TqvStagedFile(const TqvStoreFolder& AFolder, std::string_view AText);
  // The same in the folder at path AFolder (ending in "/"; links followed).
  TqvStagedFile(const std::string& AFolder, const TStrings& ALines);
  TqvStagedFile(const std::string& AFolder, std::string_view AText);
  // An empty file in AFolder, written piece by piece (Append, AppendFrom)
  // and ended by Commit; it keeps a descriptor of its own for the folder.
  explicit TqvStagedFile(const TqvStoreFolder& AFolder);
  ~TqvStagedFile() = default;
  TqvStagedFile(const TqvStagedFile&) = delete;
  TqvStagedFile& operator=(const TqvStagedFile&) = delete;

  // Links the file as AFinalPath, a name in the same folder (only its last
  // part is used). False when that name exists already (the caller picks
  // another); other failures raise.
  [[nodiscard]] bool PlaceAs(const std::string& AFinalPath);
  // Renames the file over AFinalPath (a name in the same folder), which
  // readers then see whole, old or new, never in between. Raises on failure.
  void ReplaceAs(const std::string& AFinalPath);
  [[nodiscard]] std::string TempPath() const { return FFolderPath + FFile.Name(); }

  // Piece by piece (the folder-only constructor): bytes at the end; the
  // bytes [AOffset, AOffset + ACount) of the open file AFd, copied by the
  // kernel where it can; then flushed and closed. Raise on failure.
  void Append(std::string_view ABytes);
  void AppendFrom(int AFd, int64_t AOffset, int64_t ACount);
  void Commit();
  // Sends what was appended so far on its way to disk without waiting
  // (a later flush in the folder then carries it); Commit still flushes.
  void StartWriteback() { FFile.StartWriteback(); }
  // A read-only descriptor of the file, valid after it was placed too.
  [[nodiscard]] plat::UniqueFd OpenForReading() const;
  // True when the file lies in AFolder (the very folder, by device and inode).
  [[nodiscard]] bool InFolder(const TqvStoreFolder& AFolder) const;

 private:
  // AOwnFolder: keeps a descriptor of its own for the folder, else borrows AFolderFd.
  void Open(int AFolderFd, const std::string& AFolderPath, bool AOwnFolder);
  void WriteLines(const TStrings& ALines);
  void WriteAll(std::string_view ABytes);
  void Finish();

  std::string FFolderPath;
  plat::UniqueFd FOwnFolder;  // the folder's descriptor when the file keeps its own
  // After the folder: the temporary name goes, even when a constructor fails
  // half-way, while the folder is still open.
  plat::TAsideFile FFile;
};

// Flushes a folder's entries (new names) to disk; raises on failure.
void SyncFolder(const std::string& AFolder);

// The store's file names, made here alone: AFolder + "MAIL%.8d", or
// "MAIL%.8d%d" with a retry digit ARetry >= 0 (no extension).
[[nodiscard]] std::string NumberedName(const std::string& AFolder, int64_t ANumber, int ARetry);
// A taken name's alternative: ABase itself (ARetry < 0) or with the retry digit.
[[nodiscard]] std::string RetriedName(const std::string& ABase, int ARetry);
// Any entry counts as taken, a dangling link included. APath is resolved in
// AFolderFd (only its last part), or as a path of its own with AT_FDCWD.
[[nodiscard]] bool NameTaken(int AFolderFd, const std::string& APath);
// The first free name of ANumber (retry -1, 0, 1, ...): neither NAME.MSG nor,
// when given, NAME + ASkipExtension exists in AFolder (open as AFolderFd, or
// AT_FDCWD to go by the path). ARetry gets the retry used. The name may be
// taken before it is used: place files with PlaceAs.
[[nodiscard]] std::string FirstFreeName(int AFolderFd, const std::string& AFolder, int ANumber, int& ARetry,
                                        const char* ASkipExtension);
// The same by paths alone.
[[nodiscard]] bool NameTaken(const std::string& APath);
[[nodiscard]] std::string FirstFreeName(const std::string& AFolder, int ANumber, int& ARetry,
                                        const char* ASkipExtension);

// Test seam: the call PlaceAs tries first, renameat2 with RENAME_NOREPLACE
// (same arguments, flag implied; -1 and errno on failure). A stand-in that
// fails with EINVAL exercises the link path of file systems without it;
// nullptr puts the system call back.
using TqvRenameNoReplace = int (*)(int AFromDir, const char* AFrom, int AToDir, const char* ATo);
void SetRenameNoReplaceForTesting(TqvRenameNoReplace ARename);
