#include "ServiceControl.h"

// Notes beyond the header:
// - Handles live in a table under a mutex, so a freed or foreign pointer is
//   refused with 6 and never dereferenced.
// - POSIX locks belong to the process and any close() of the file drops them,
//   and F_GETLK cannot see the caller's own lock. So locks this process holds
//   are also kept by file identity; the probe answers from that set without
//   opening the file, under the same mutex that Acquire and Release take.
// - A status file written by another process than the lock holder (a stale
//   file from an earlier run) reads as START_PENDING; Pid 0 is ours, from
//   StartServiceA.
// - Query and Control still work on a deleted handle, so a running service
//   whose registration is gone can be watched and stopped.

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "ClassCore.h"
#include "Decimal.h"
#include "FileOps.h"
#include "IniFile.h"
#include "PlatformLimits.h"
#include "ProgramPath.h"
#include "ServiceControlInternal.h"
#include "SysError.h"
#include "UniqueFd.h"

namespace plat {

enum class ScHandleKind { Manager, Service };

struct ScHandle {
  ScHandleKind kind;
  std::string folder;
  std::string name;
  bool deleted = false;
};

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kStartTimeout = std::chrono::seconds(30);
constexpr auto kExitingWait = std::chrono::seconds(5);
constexpr auto kPollStep = std::chrono::milliseconds(50);
constexpr mode_t kFileMode = 0644;
constexpr const char* kServiceSection = "Service";
constexpr const char* kStatusSection = "Status";
constexpr uint32_t kStartWaitHint = 5000;

using scdetail::Fail;
using scdetail::FailErrno;
using scdetail::PreparePlan;
using scdetail::SpawnDetached;
using scdetail::SpawnPlan;

SC_HANDLE NoHandle(uint32_t code) {
  SetLastError(code);
  return nullptr;
}

std::string FilePath(const std::string& folder, const std::string& name, const char* ext) {
  return IncludeTrailingPathDelimiter(folder) + name + ext;
}

bool ValidServiceName(const char* name) {
  if (name == nullptr || name[0] == '\0' || name[0] == '.') return false;
  size_t n = strlen(name);
  if (n > kMaxServiceName) return false;
  for (size_t i = 0; i < n; ++i) {
    auto c = static_cast<unsigned char>(name[i]);
    if (c == '/' || c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

std::string OneLine(std::string_view text, size_t limit) {
  std::string s(text.substr(0, limit));
  for (char& c : s)
    if (c == '\r' || c == '\n') c = ' ';
  return s;
}

// Creates the folder and missing parents with mode 0755 (not left to the umask).
bool MakeFolders(const std::string& path) {
  if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND);
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    std::string part = path.substr(0, pos);
    if (part.empty() || DirectoryExists(part)) continue;
    if (::mkdir(part.c_str(), 0755) == 0) {
      if (::chmod(part.c_str(), 0755) != 0) return FailErrno();
    } else if (!(errno == EEXIST && DirectoryExists(part))) {
      return FailErrno();
    }
  }
  return true;
}

// Writes the lines of ini as its file, atomically, with the mode our files
// have; createNew only when there is none yet (1073 when there is). False
// with the platform code on failure.
bool SaveIni(TIniFile& ini, bool createNew) {
  ini.FixedMode = kFileMode;
  try {
    if (!createNew) {
      ini.UpdateFile();
      return true;
    }
    return ini.CreateNew() || Fail(ERROR_SERVICE_EXISTS);
  } catch (const EOSError& e) {
    return Fail(e.ErrorCode);
  }
}

// An unsigned 32-bit decimal, "+" allowed; anything else reads as 0.
uint32_t Number(const std::string& text) {
  return ParseDecimal<uint32_t>(text, TDecimalSign::PlusOrMinus).value_or(0);
}

// ---- status file ----

struct StatusFile {
  bool exists = false;
  SERVICE_STATUS status;
  long pid = 0;
  std::string lastError;
};

bool ReadStatusFile(const std::string& folder, const std::string& name, StatusFile& out) {
  out = StatusFile{};
  const TIniFile file(FilePath(folder, name, ".status"));
  if (file.ReadError() != 0) return Fail(file.ReadError());
  if (!file.Exists()) return true;
  auto number = [&file](const char* key) { return Number(file.ReadString(kStatusSection, key, "")); };
  out.exists = true;
  out.status.dwCurrentState = number("State");
  if (out.status.dwCurrentState < SERVICE_STOPPED || out.status.dwCurrentState > SERVICE_PAUSED)
    out.status.dwCurrentState = SERVICE_STOPPED;
  out.status.dwControlsAccepted = number("ControlsAccepted");
  out.status.dwWin32ExitCode = number("Win32ExitCode");
  out.status.dwServiceSpecificExitCode = number("ServiceSpecificExitCode");
  out.status.dwCheckPoint = number("CheckPoint");
  out.status.dwWaitHint = number("WaitHint");
  out.pid = static_cast<long>(number("Pid"));
  out.lastError = file.ReadString(kStatusSection, "LastError", "");
  return true;
}

bool WriteStatusFile(const std::string& folder, const std::string& name, const SERVICE_STATUS& s, long pid,
                     std::string_view errorText) {
  TIniFile file(FilePath(folder, name, ".status"));
  file.Clear();
  auto add = [&file](const char* key, unsigned long v) { file.WriteString(kStatusSection, key, std::to_string(v)); };
  add("State", s.dwCurrentState);
  add("Pid", static_cast<unsigned long>(pid));
  add("ControlsAccepted", s.dwControlsAccepted);
  add("Win32ExitCode", s.dwWin32ExitCode);
  add("ServiceSpecificExitCode", s.dwServiceSpecificExitCode);
  add("CheckPoint", s.dwCheckPoint);
  add("WaitHint", s.dwWaitHint);
  file.WriteString(kStatusSection, "LastError", OneLine(errorText, kMaxErrorText));
  return SaveIni(file, false);
}

// ---- run lock ----

struct LockState {
  bool held = false;
  pid_t pid = 0;  // the holder; 0 when unknown (another pid namespace)
};

std::mutex gLockMutex;
std::set<std::pair<dev_t, ino_t>> gHeldHere;  // lock files this process holds

bool ProbeLock(const std::string& path, LockState& out) {
  out = LockState{};
  std::scoped_lock guard(gLockMutex);
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return errno == ENOENT ? true : FailErrno();
  if (gHeldHere.count({st.st_dev, st.st_ino}) != 0) {
    out = {true, ::getpid()};
    return true;
  }
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd.Valid()) return errno == ENOENT ? true : FailErrno();
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  if (::fcntl(fd.Get(), F_GETLK, &fl) != 0) return FailErrno();
  if (fl.l_type != F_UNLCK) out = {true, fl.l_pid > 0 ? fl.l_pid : 0};
  return true;
}

// What QueryServiceStatus reports, with the lock state behind it.
bool CurrentStatus(const ScHandle& h, SERVICE_STATUS& out, LockState& lock) {
  if (!ProbeLock(FilePath(h.folder, h.name, ".lock"), lock)) return false;
  StatusFile file;
  if (!ReadStatusFile(h.folder, h.name, file)) return false;
  out = SERVICE_STATUS{};
  if (!lock.held) {
    out.dwCurrentState = SERVICE_STOPPED;
    out.dwWin32ExitCode = file.status.dwWin32ExitCode;
    out.dwServiceSpecificExitCode = file.status.dwServiceSpecificExitCode;
    return true;
  }
  bool stale = !file.exists || (lock.pid > 0 && file.pid != 0 && file.pid != lock.pid);
  if (stale) {
    out.dwCurrentState = SERVICE_START_PENDING;
    out.dwWaitHint = kStartWaitHint;
    return true;
  }
  out = file.status;
  out.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  return true;
}

// ---- handles ----

std::mutex gHandleMutex;
std::map<const ScHandle*, std::unique_ptr<ScHandle>> gHandles;

SC_HANDLE NewHandle(ScHandleKind kind, std::string folder, std::string name) {
  auto h = std::make_unique<ScHandle>(ScHandle{kind, std::move(folder), std::move(name)});
  ScHandle* raw = h.get();
  std::scoped_lock guard(gHandleMutex);
  gHandles.emplace(raw, std::move(h));
  return raw;
}

// A copy of the live handle's data, or nullopt with 6.
std::optional<ScHandle> FindHandle(SC_HANDLE h, ScHandleKind kind) {
  std::scoped_lock guard(gHandleMutex);
  auto it = gHandles.find(h);
  if (it == gHandles.end() || it->second->kind != kind) {
    SetLastError(ERROR_INVALID_HANDLE);
    return std::nullopt;
  }
  return *it->second;
}

void MarkDeleted(SC_HANDLE h) {
  std::scoped_lock guard(gHandleMutex);
  if (auto it = gHandles.find(h); it != gHandles.end()) it->second->deleted = true;
}

bool ReadBinaryPath(const ScHandle& h, std::string& path) {
  if (h.deleted) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  const TIniFile file(FilePath(h.folder, h.name, ".service"));
  if (file.ReadError() != 0) return Fail(file.ReadError());
  if (!file.Exists()) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
  std::string found = file.ReadString(kServiceSection, "BinaryPathName", "");
  if (found.empty()) return Fail(ERROR_FILE_NOT_FOUND);
  path = std::move(found);
  return true;
}

// ---- waiting for the started program ----

enum class ReadyResult { Ready, Ended, TimedOut, Error };

// Waits for the ready byte or the lock, whichever shows first.
ReadyResult WaitUntilReady(const UniqueFd& readyRead, const std::string& lockPath, Clock::time_point deadline) {
  for (;;) {
    pollfd pfd{readyRead.Get(), POLLIN, 0};
    int r = ::poll(&pfd, 1, static_cast<int>(kPollStep.count()));
    bool ended = false;
    if (r > 0) {
      char c;
      ssize_t n = ::read(readyRead.Get(), &c, 1);
      if (n == 1) return ReadyResult::Ready;
      ended = n == 0;
    }
    LockState lock;
    if (!ProbeLock(lockPath, lock)) return ReadyResult::Error;
    if (lock.held) return ReadyResult::Ready;
    if (ended) return ReadyResult::Ended;
    if (Clock::now() >= deadline) return ReadyResult::TimedOut;
  }
}

// Rewrites our START_PENDING record as STOPPED unless the program wrote its own.
void RecordStartFailure(const ScHandle& h, uint32_t code, const std::string& text) {
  StatusFile file;
  if (ReadStatusFile(h.folder, h.name, file) && file.exists && file.pid != 0) return;
  SERVICE_STATUS s;
  s.dwCurrentState = SERVICE_STOPPED;
  s.dwWin32ExitCode = code;
  (void)WriteStatusFile(h.folder, h.name, s, 0, text);
}

// Lock held: refuses, unless the holder has written STOPPED and is exiting.
bool WaitForExitingInstance(const ScHandle& h) {
  auto lockPath = FilePath(h.folder, h.name, ".lock");
  auto until = Clock::now() + kExitingWait;
  for (;;) {
    SERVICE_STATUS s;
    LockState lock;
    if (!CurrentStatus(h, s, lock)) return false;
    if (!lock.held) return true;
    if (s.dwCurrentState != SERVICE_STOPPED || Clock::now() >= until) return Fail(ERROR_SERVICE_ALREADY_RUNNING);
    std::this_thread::sleep_for(kPollStep);
  }
}

}  // namespace

std::string DefaultDatabaseFolder() {
  if (::geteuid() == 0) return "/var/lib/vxmail/services";
  std::string base;
  const char* xdg = getenv("XDG_STATE_HOME");
  if (xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = getenv("HOME");
    std::string h = home != nullptr ? home : "";
    if (h.empty()) {
      struct passwd pw;
      struct passwd* found = nullptr;
      char buf[4096];
      if (getpwuid_r(::geteuid(), &pw, buf, sizeof buf, &found) == 0 && found != nullptr) h = found->pw_dir;
    }
    base = IncludeTrailingPathDelimiter(h) + ".local/state";
  }
  return IncludeTrailingPathDelimiter(base) + "vxmail/services";
}

std::string DatabaseFolder() {
  const char* dir = getenv(kScmDirVariable);
  return dir != nullptr && dir[0] != '\0' ? std::string(dir) : DefaultDatabaseFolder();
}

SC_HANDLE OpenSCManagerA(const char*, const char*, uint32_t) {
  std::string folder = DatabaseFolder();
  if (folder[0] != '/') {  // the started program runs in another folder
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return NoHandle(ErrnoToError(errno));
    folder = IncludeTrailingPathDelimiter(cwd) + folder;
  }
  if (!MakeFolders(folder)) return nullptr;
  return NewHandle(ScHandleKind::Manager, std::move(folder), std::string());
}

SC_HANDLE OpenServiceA(SC_HANDLE hSCManager, const char* lpServiceName, uint32_t) {
  auto m = FindHandle(hSCManager, ScHandleKind::Manager);
  if (!m) return nullptr;
  if (!ValidServiceName(lpServiceName)) return NoHandle(ERROR_INVALID_PARAMETER);
  struct stat st;
  if (::stat(FilePath(m->folder, lpServiceName, ".service").c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return NoHandle(ERROR_SERVICE_DOES_NOT_EXIST);
    return NoHandle(ErrnoToError(errno));
  }
  return NewHandle(ScHandleKind::Service, m->folder, lpServiceName);
}

SC_HANDLE CreateServiceA(SC_HANDLE hSCManager, const char* lpServiceName, const char* lpDisplayName, uint32_t,
                         uint32_t dwServiceType, uint32_t dwStartType, uint32_t dwErrorControl,
                         const char* lpBinaryPathName) {
  auto m = FindHandle(hSCManager, ScHandleKind::Manager);
  if (!m) return nullptr;
  // No PATH search and the child changes folder, so the program path is absolute.
  if (!ValidServiceName(lpServiceName) || lpBinaryPathName == nullptr || lpBinaryPathName[0] != '/' ||
      strpbrk(lpBinaryPathName, "\r\n") != nullptr)
    return NoHandle(ERROR_INVALID_PARAMETER);
  TIniFile registration(FilePath(m->folder, lpServiceName, ".service"));
  registration.Clear();
  registration.WriteString(kServiceSection, "DisplayName",
                           OneLine(lpDisplayName != nullptr ? lpDisplayName : lpServiceName, kMaxErrorText));
  registration.WriteString(kServiceSection, "BinaryPathName", lpBinaryPathName);
  registration.WriteString(kServiceSection, "ServiceType", std::to_string(dwServiceType));
  registration.WriteString(kServiceSection, "StartType", std::to_string(dwStartType));
  registration.WriteString(kServiceSection, "ErrorControl", std::to_string(dwErrorControl));
  if (!SaveIni(registration, true)) return nullptr;
  return NewHandle(ScHandleKind::Service, m->folder, lpServiceName);
}

bool DeleteService(SC_HANDLE hService) {
  auto h = FindHandle(hService, ScHandleKind::Service);
  if (!h) return false;
  if (h->deleted) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  // The lock and status files stay: a running instance still holds the lock.
  if (::unlink(FilePath(h->folder, h->name, ".service").c_str()) != 0)
    return errno == ENOENT ? Fail(ERROR_SERVICE_DOES_NOT_EXIST) : FailErrno();
  MarkDeleted(hService);
  (void)SyncFolder(h->folder);
  return true;
}

bool StartServiceA(SC_HANDLE hService, uint32_t dwNumServiceArgs, const char** lpServiceArgVectors) {
  auto h = FindHandle(hService, ScHandleKind::Service);
  if (!h) return false;
  if (dwNumServiceArgs > kMaxServiceArgs || (dwNumServiceArgs > 0 && lpServiceArgVectors == nullptr))
    return Fail(ERROR_INVALID_PARAMETER);
  SpawnPlan plan;
  if (!ReadBinaryPath(*h, plan.binary)) return false;
  if (!WaitForExitingInstance(*h)) return false;

  SERVICE_STATUS pending;
  pending.dwCurrentState = SERVICE_START_PENDING;
  pending.dwWaitHint = kStartWaitHint;
  if (!WriteStatusFile(h->folder, h->name, pending, 0, "")) return false;

  PreparePlan(plan, h->folder, h->name, dwNumServiceArgs, lpServiceArgVectors);
  auto deadline = Clock::now() + kStartTimeout;
  UniqueFd readyRead;
  int execError = 0;
  if (!SpawnDetached(plan, readyRead, execError, deadline)) {
    uint32_t code = GetLastError();
    RecordStartFailure(*h, code, SysErrorMessage(code));
    return Fail(code);
  }
  if (execError != 0) {
    uint32_t code = ErrnoToError(execError);
    RecordStartFailure(*h, code, "Cannot run " + plan.binary + ": " + SysErrorMessage(code));
    return Fail(code);
  }
  switch (WaitUntilReady(readyRead, FilePath(h->folder, h->name, ".lock"), deadline)) {
    case ReadyResult::Ready:
      SetLastError(ERROR_SUCCESS);
      return true;
    case ReadyResult::Ended:
      RecordStartFailure(*h, ERROR_PROCESS_ABORTED, SysErrorMessage(ERROR_PROCESS_ABORTED));
      return Fail(ERROR_PROCESS_ABORTED);
    case ReadyResult::TimedOut:
      return Fail(ERROR_SERVICE_REQUEST_TIMEOUT);
    case ReadyResult::Error:
      break;
  }
  return false;
}

bool ControlService(SC_HANDLE hService, uint32_t dwControl, SERVICE_STATUS* lpServiceStatus) {
  auto h = FindHandle(hService, ScHandleKind::Service);
  if (!h) return false;
  if (lpServiceStatus == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (dwControl < SERVICE_CONTROL_STOP || dwControl > SERVICE_CONTROL_INTERROGATE)
    return Fail(ERROR_INVALID_SERVICE_CONTROL);
  SERVICE_STATUS s;
  LockState lock;
  if (!CurrentStatus(*h, s, lock)) return false;
  if (!lock.held) return Fail(ERROR_SERVICE_NOT_ACTIVE);
  *lpServiceStatus = s;
  if (dwControl == SERVICE_CONTROL_INTERROGATE) return true;

  switch (s.dwCurrentState) {
    case SERVICE_STOPPED: return Fail(ERROR_SERVICE_NOT_ACTIVE);
    case SERVICE_START_PENDING:
    case SERVICE_STOP_PENDING: return Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    default: break;
  }
  uint32_t needed = dwControl == SERVICE_CONTROL_STOP ? SERVICE_ACCEPT_STOP : SERVICE_ACCEPT_PAUSE_CONTINUE;
  if ((s.dwControlsAccepted & needed) == 0) return Fail(ERROR_INVALID_SERVICE_CONTROL);
  if (lock.pid <= 0) return Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  int sig = dwControl == SERVICE_CONTROL_STOP ? SIGTERM : dwControl == SERVICE_CONTROL_PAUSE ? SIGUSR1 : SIGUSR2;
  if (::kill(lock.pid, sig) != 0) return errno == ESRCH ? Fail(ERROR_SERVICE_NOT_ACTIVE) : FailErrno();
  return true;
}

bool QueryServiceStatus(SC_HANDLE hService, SERVICE_STATUS* lpServiceStatus) {
  auto h = FindHandle(hService, ScHandleKind::Service);
  if (!h) return false;
  if (lpServiceStatus == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  LockState lock;
  return CurrentStatus(*h, *lpServiceStatus, lock);
}

bool CloseServiceHandle(SC_HANDLE hSCObject) {
  std::unique_ptr<ScHandle> gone;  // freed after the mutex is released
  std::scoped_lock guard(gHandleMutex);
  auto it = gHandles.find(hSCObject);
  if (it == gHandles.end()) return Fail(ERROR_INVALID_HANDLE);
  gone = std::move(it->second);
  gHandles.erase(it);
  return true;
}

void ReportServiceReady() {
  const char* value = getenv(kReadyFdVariable);
  if (value == nullptr) return;
  // As strtol reads it: white space before, a sign, digits, nothing after.
  const std::string_view text(value);
  const size_t start = text.find_first_not_of(" \t\n\v\f\r");
  const std::optional<int> fd =
      start == std::string_view::npos ? std::nullopt : ParseDecimal<int>(text.substr(start), TDecimalSign::PlusOrMinus);
  unsetenv(kReadyFdVariable);
  if (!fd || *fd < 0) return;
  // Only a pipe is ours; any other descriptor with that number is left alone.
  struct stat st;
  if (::fstat(*fd, &st) != 0 || !S_ISFIFO(st.st_mode)) return;
  UniqueFd ready(*fd);
  char byte = 1;
  (void)WriteAll(ready.Get(), std::string_view(&byte, 1));
}

bool QueryServiceLastErrorText(SC_HANDLE hService, std::string& text) {
  auto h = FindHandle(hService, ScHandleKind::Service);
  if (!h) return false;
  StatusFile file;
  if (!ReadStatusFile(h->folder, h->name, file)) return false;
  text = file.lastError;
  return true;
}

bool QueryServiceBinaryPath(SC_HANDLE hService, std::string& path) {
  auto h = FindHandle(hService, ScHandleKind::Service);
  return h && ReadBinaryPath(*h, path);
}

// ---- ServiceInstance ----

ServiceInstance::ServiceInstance(std::string databaseFolder, std::string serviceName)
    : FFolder(std::move(databaseFolder)), FName(std::move(serviceName)) {}

ServiceInstance::~ServiceInstance() { Release(); }

bool ServiceInstance::Acquire() {
  if (FLockFd >= 0) return true;
  if (!ValidServiceName(FName.c_str())) return Fail(ERROR_INVALID_PARAMETER);
  if (!MakeFolders(FFolder)) return false;
  std::string path = FilePath(FFolder, FName, ".lock");
  std::scoped_lock guard(gLockMutex);
  // Opening a file this process already locks, then closing it, would drop that lock.
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && gHeldHere.count({st.st_dev, st.st_ino}) != 0)
    return Fail(ERROR_SERVICE_ALREADY_RUNNING);
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644));
  if (!fd.Valid()) return FailErrno();
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  if (::fcntl(fd.Get(), F_SETLK, &fl) != 0)
    return errno == EAGAIN || errno == EACCES ? Fail(ERROR_SERVICE_ALREADY_RUNNING) : FailErrno();
  if (::fstat(fd.Get(), &st) != 0) return FailErrno();
  gHeldHere.insert({st.st_dev, st.st_ino});
  FLockFd = fd.Release();
  return true;
}

bool ServiceInstance::Held() const { return FLockFd >= 0; }

bool ServiceInstance::WriteStatus(const SERVICE_STATUS& status, const std::string& errorText) {
  // Only the lock holder speaks for the service: a refused second instance
  // must not overwrite the running one's status.
  if (!Held()) {
    SetLastError(ERROR_SERVICE_NOT_ACTIVE);
    return false;
  }
  return WriteStatusFile(FFolder, FName, status, static_cast<long>(::getpid()), errorText);
}

void ServiceInstance::Release() {
  if (FLockFd < 0) return;
  std::scoped_lock guard(gLockMutex);
  struct stat st;
  if (::fstat(FLockFd, &st) == 0) gHeldHere.erase({st.st_dev, st.st_ino});
  UniqueFd closing(std::exchange(FLockFd, -1));  // closing drops the lock
}

}  // namespace plat
