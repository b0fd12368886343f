// Folder and file helpers on path names: creating a folder with its parents,
// deleting a folder tree without following links, and reading and setting a
// file's times as local time. Re-entrant, any thread; they share the file
// system's races with other processes. Errors: nothing raises; a failure is a
// false result (or, for SetFileDateTime, nothing done), and ForceDirectoryPath
// and DeleteDirectoryTree leave the failing call's code in the thread's last
// error, which GetLastErrorCode returns.
#pragma once

#include "DateTime.h"

#include <cstdint>
#include <string>

// Creates a folder with its missing parents ("/" separators, a trailing "/"
// ignored). True for "", "/" and an existing folder; false when a creation
// fails or a part of the path is not a folder.
[[nodiscard]] bool ForceDirectoryPath(const std::string& ADir);
[[nodiscard]] bool ForceFileDirectories(const std::string& AFileName);
// Deletes ADir's files and sub-folders, then ADir; the result is that of the
// final removal. Symbolic links are removed, never followed.
bool DeleteDirectoryTree(const std::string& ADir);
// Sets access and modification times (creating a missing file, never
// truncating); does nothing when the file cannot be opened.
void SetFileDateTime(const std::string& AFileName, TDateTime ALocalTime);
// The same for a file that must already be there: never creates one and
// never follows a symbolic link. False when the file is missing or the
// system refuses.
[[nodiscard]] bool SetExistingFileDateTime(const std::string& AFileName, TDateTime ALocalTime);
// Last write time as local time; the current time when the file is missing.
[[nodiscard]] TDateTime GetFileDateTime(const std::string& AFileName);
[[nodiscard]] uint32_t GetLastErrorCode();
