// Where the running program lives, and the few path and folder helpers the
// host needs. The program folder is the folder of the real executable (symlinks
// resolved), always with a trailing "/". Thread-safe.
#pragma once

#include <string>

namespace plat {

// Full path of the running executable ("/opt/vx/VxMailServers").
const std::string& ProgramPath();
// Its folder with a trailing "/" ("/opt/vx/").
const std::string& ProgramFolder();

// Path with a trailing "/" added unless it has one; "" stays "".
std::string IncludeTrailingPathDelimiter(const std::string& path);
// The folder part of a path, up to and including its last "/" ("" if none).
std::string ExtractFilePath(const std::string& path);
std::string ExtractFileName(const std::string& path);
// Changes the extension of the last path component only (a dot in a folder
// name does not count); ext includes its dot (".log").
std::string ChangeFileExt(const std::string& path, const std::string& ext);

bool FileExists(const std::string& path);       // a regular file (or link to one)
bool DirectoryExists(const std::string& path);  // a directory (or link to one)
// Creates the folder with all missing parents; true when it exists afterwards.
// Sets the thread's last error on failure.
bool ForceDirectories(const std::string& path);

// The Linux thread id (small decimal, as the log prints it).
long CurrentThreadId();

}  // namespace plat
