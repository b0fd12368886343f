// Helpers the file-based mail stores share: which user names may become a
// folder under the mailbox folder, the UTF-8 folder name of a user, a sorted
// listing of message files, and loading or opening one message file. Nothing here
// follows a symbolic link: a listing takes regular files only, and a load
// refuses a link. Any thread; no state. The listing returns empty for a
// missing or unreadable folder; LoadMailFile raises EFOpenError or EReadError.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TStream;
class TStrings;
class TqvStoreFolder;

// Non-empty, not "." or "..", and free of "/", "\", NUL and control
// characters (below 0x20 and 0x7F).
[[nodiscard]] bool IsSafeMailBoxUserName(std::string_view AUserName);

// A mailbox name below a user folder: every level between ASeparator
// characters is a safe user name, so the name has no empty, "." or ".."
// level, no leading or trailing separator, and no "/" inside a level.
[[nodiscard]] bool IsSafeMailBoxName(std::string_view AName, char ASeparator);

// The folder name on disk for a user name in the process code page: its
// UTF-8 form. "" when the name holds control bytes, does not convert both
// ways, or its UTF-8 form is unsafe (the separators are tested there, since
// a double-byte character may end in the byte of "\").
[[nodiscard]] std::string MailBoxFolderName(std::string_view AUserName);

struct TqvMailFileEntry {
  std::string Name;  // the file name alone
  int64_t Size = 0;
};

// Regular files of AFolder whose names end in AExtension (".MSG"; ASCII case
// ignored), sorted by name with ASCII case ignored (then bytewise). AFolder
// itself must not be a symbolic link.
[[nodiscard]] std::vector<TqvMailFileEntry> ListMailFiles(const std::string& AFolder,
                                                          std::string_view AExtension);
// The same for a folder that is open already.
[[nodiscard]] std::vector<TqvMailFileEntry> ListMailFiles(const TqvStoreFolder& AFolder,
                                                          std::string_view AExtension);
// The order of those listings: names compared with ASCII case ignored, then
// bytewise.
[[nodiscard]] bool MailFileNameLess(const std::string& A, const std::string& B);

// The names of AFolder's sub-folders (symbolic links skipped), in the order
// of ListMailFiles. Empty for a missing folder or one that is a link.
[[nodiscard]] std::vector<std::string> ListMailSubFolders(const std::string& AFolder);

// The file's bytes cut into lines (CR LF, LF or CR; NUL as a blank), with no
// charset conversion. Refuses anything but a regular file. A block string
// list takes the file's bytes as its block.
void LoadMailFile(const std::string& AFileName, TStrings& ALines);
// The same for the file AName in an open folder.
void LoadMailFile(const TqvStoreFolder& AFolder, const std::string& AName, TStrings& ALines);

// The file AName in an open folder, opened for reading (never through a
// symbolic link, a regular file only), as a stream positioned at its start.
[[nodiscard]] std::unique_ptr<TStream> OpenMailFile(const TqvStoreFolder& AFolder, const std::string& AName);
