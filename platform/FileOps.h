// The file-system steps every writer and reader of our own files shares:
// writing a whole buffer, flushing a folder's entries, reading a small file
// under a bound, walking a folder, and the durable replacement of a file
// (written aside in its folder, flushed, renamed over the old one, the folder
// flushed), so that a reader sees the old file or the new one, whole.
// Calls return 0 or the errno of the step that failed and raise nothing of
// their own (a callback passed in may throw; the aside file is then removed).
// No locks; one object is used by one thread at a time.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "UniqueFd.h"

namespace plat {

// Writes all of AData to AFd, going on after short writes and EINTR.
[[nodiscard]] int WriteAll(int AFd, std::string_view AData);

// Flushes the entries of an open folder (names made and removed) to disk.
// EINVAL, from file systems that cannot flush a folder, counts as done.
[[nodiscard]] int SyncFolderFd(int AFolderFd);
// The same for the folder at APath (links followed).
[[nodiscard]] int SyncFolder(const std::string& APath);

// The whole of the file APath (links followed) in AOut, when it has at most
// AMaxSize bytes. ENOENT when it is missing; EFBIG when it is longer; AOut
// is empty after any failure.
[[nodiscard]] int ReadSmallFile(const std::string& APath, size_t AMaxSize, std::string& AOut);

// The entries of one folder, "." and ".." passed over, in the order the file
// system gives them. The stream closes its own descriptor; a folder
// descriptor it reads from stays the caller's. Valid() is false, with the
// errno in Error(), when the folder could not be opened.
class TDirStream {
 public:
  // The folder at APath (links followed).
  explicit TDirStream(const std::string& APath);
  // The open folder AFolderFd, from its first entry, whatever was read of it before.
  explicit TDirStream(int AFolderFd);
  [[nodiscard]] bool Valid() const { return static_cast<bool>(FDir); }
  [[nodiscard]] int Error() const { return FError; }
  // The next entry, or nullptr at the end; valid until the next call.
  [[nodiscard]] const dirent* Next();

 private:
  struct TCloser {
    void operator()(DIR* ADir) const;
  };
  std::unique_ptr<DIR, TCloser> FDir;
  int FError = 0;
};

// A new file under a temporary name in a folder, written and flushed there
// before it takes its final name. Removed on destruction unless it was placed.
// The folder descriptor is borrowed and must outlive the object.
class TAsideFile {
 public:
  TAsideFile() = default;
  ~TAsideFile();
  TAsideFile(const TAsideFile&) = delete;
  TAsideFile& operator=(const TAsideFile&) = delete;

  // Makes AName in AFolderFd: a new entry only (EEXIST when the name is
  // taken), no link followed, mode AMode before the umask.
  [[nodiscard]] int Create(int AFolderFd, const std::string& AName, mode_t AMode);
  [[nodiscard]] int Fd() const { return FFd.Get(); }
  [[nodiscard]] int FolderFd() const { return FFolderFd; }
  // The temporary name; empty once placed.
  [[nodiscard]] const std::string& Name() const { return FName; }
  [[nodiscard]] int Write(std::string_view AData) { return WriteAll(FFd.Get(), AData); }
  // Flushes the data to disk.
  [[nodiscard]] int Flush();
  // Starts writing the data out without waiting for it, so that the next
  // flush in the same file system finds it on its way; only Flush makes it
  // durable. Best effort: nothing is reported.
  void StartWriteback();
  // Closes the file; a write error the system reports late shows here.
  [[nodiscard]] int Close();
  // Renames the file over AName in the same folder (any entry there is replaced).
  [[nodiscard]] int ReplaceAs(const std::string& AName);
  // The caller gave the file its final name by a call of its own.
  void Placed() { FName.clear(); }

 private:
  UniqueFd FFd;
  int FFolderFd = -1;
  std::string FName;
};

// How ReplaceFile writes the new file.
struct TReplaceOptions {
  mode_t Mode = 0600;  // set as given, whatever the umask
  bool SetOwner = false;  // give the file Uid and Gid (before the mode)
  uid_t Uid = 0;
  gid_t Gid = 0;
  // Place the file only when no entry of its name exists (EEXIST then, the
  // entry untouched), instead of replacing it.
  bool NoReplace = false;
  // Runs after the file is written and closed, before it takes its name.
  std::function<void()> BeforeRename;
};

// Writes AData as the file APath: a temporary file in the same folder
// (".NAME.<pid>.<random>.tmp"), flushed, renamed over APath, then the folder
// flushed. On failure before the rename the old file is untouched and the
// temporary file is gone; a symbolic link at APath is replaced, not followed.
[[nodiscard]] int ReplaceFile(const std::string& APath, std::string_view AData, const TReplaceOptions& AOptions);

}  // namespace plat
