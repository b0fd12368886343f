// Notes beyond the header: the program is started by a double fork (the
// intermediate child calls setsid and exits at once, so the program is
// nobody's child and never a zombie of the host); between fork and execve
// only async-signal-safe calls run. The exec-error pipe is close-on-exec:
// EOF on it means execve succeeded, an int on it is the errno that stopped it.
#include "ServiceControlInternal.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "ProgramPath.h"
#include "ServiceControl.h"
#include "SysError.h"

extern char** environ;

namespace plat::scdetail {
namespace {

constexpr int kReadyFd = 3;
constexpr int kExecErrorFd = 4;

// Moves a descriptor above the numbers the program gets, so the dup2 calls in
// the child never meet their own source.
UniqueFd AboveChildFds(UniqueFd fd) {
  if (!fd.Valid() || fd.Get() > kExecErrorFd) return fd;
  return UniqueFd(::fcntl(fd.Get(), F_DUPFD_CLOEXEC, kExecErrorFd + 1));
}

bool MakePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
  int p[2];
  if (::pipe2(p, O_CLOEXEC) != 0) return FailErrno();
  readEnd = AboveChildFds(UniqueFd(p[0]));
  writeEnd = AboveChildFds(UniqueFd(p[1]));
  return readEnd.Valid() && writeEnd.Valid() ? true : FailErrno();
}

// Blocks every signal in this thread across fork, so no handler of the host
// runs in the child before the grandchild has reset them.
class SignalsBlocked {
 public:
  SignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &FOld);
  }
  ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &FOld, nullptr); }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t FOld;
};

[[noreturn]] void ChildFailed(int fd, int error) {
  ssize_t n = ::write(fd, &error, sizeof error);
  (void)n;
  ::_exit(127);
}

[[noreturn]] void RunGrandchild(const SpawnPlan& p) {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  for (int s = 1; s < NSIG; ++s) ::sigaction(s, &dfl, nullptr);  // fails harmlessly for KILL, STOP
  if (::dup2(p.devNull, 0) < 0 || ::dup2(p.devNull, 1) < 0 || ::dup2(p.devNull, 2) < 0 ||
      ::dup2(p.readyWrite, kReadyFd) < 0 || ::dup2(p.execWrite, kExecErrorFd) < 0)
    ChildFailed(p.execWrite, errno);
  if (::fcntl(kExecErrorFd, F_SETFD, FD_CLOEXEC) < 0) ChildFailed(kExecErrorFd, errno);
  if (::close_range(kExecErrorFd + 1, ~0U, 0) != 0)
    for (int fd = kExecErrorFd + 1; fd < p.maxFd; ++fd) ::close(fd);
  if (::chdir(p.folder.c_str()) != 0) ChildFailed(kExecErrorFd, errno);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::execve(p.argv[0], p.argv.data(), p.envp.data());
  ChildFailed(kExecErrorFd, errno);
}

}  // namespace

void PreparePlan(SpawnPlan& p, const std::string& folder, const std::string& service, uint32_t argc,
                 const char** args) {
  p.folder = ExtractFilePath(p.binary);
  p.args.push_back(p.binary);
  for (uint32_t i = 0; i < argc; ++i)
    if (args[i] != nullptr) p.args.emplace_back(args[i]);
  const std::string_view ours[] = {kScmDirVariable, kServiceNameVariable, kReadyFdVariable};
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    std::string_view v(*e);
    bool replaced = false;
    for (auto name : ours)
      if (v.size() > name.size() && v.substr(0, name.size()) == name && v[name.size()] == '=') replaced = true;
    if (!replaced) p.env.emplace_back(v);
  }
  p.env.push_back(std::string(kScmDirVariable) + "=" + folder);
  p.env.push_back(std::string(kServiceNameVariable) + "=" + service);
  p.env.push_back(std::string(kReadyFdVariable) + "=" + std::to_string(kReadyFd));
  for (auto& s : p.args) p.argv.push_back(s.data());
  p.argv.push_back(nullptr);
  for (auto& s : p.env) p.envp.push_back(s.data());
  p.envp.push_back(nullptr);
  struct rlimit rl;
  if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < static_cast<rlim_t>(kFallbackMaxFd))
    p.maxFd = static_cast<int>(rl.rlim_cur);
}

bool SpawnDetached(SpawnPlan& plan, UniqueFd& readyRead, int& execError, std::chrono::steady_clock::time_point deadline) {
  execError = 0;
  UniqueFd devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
  if (!devNull.Valid()) return FailErrno();
  devNull = AboveChildFds(std::move(devNull));
  UniqueFd readyWrite, execRead, execWrite;
  if (!devNull.Valid()) return FailErrno();
  if (!MakePipe(readyRead, readyWrite) || !MakePipe(execRead, execWrite)) return false;
  plan.devNull = devNull.Get();
  plan.readyWrite = readyWrite.Get();
  plan.execWrite = execWrite.Get();

  pid_t child;
  int forkError = 0;
  {
    SignalsBlocked blocked;
    child = ::fork();
    if (child == 0) {
      if (::setsid() < 0) ChildFailed(plan.execWrite, errno);
      pid_t worker = ::_Fork();  // no atfork handlers: they may take locks
      if (worker < 0) ChildFailed(plan.execWrite, errno);
      if (worker > 0) ::_exit(0);
      RunGrandchild(plan);
    }
    forkError = errno;
  }
  if (child < 0) return Fail(ErrnoToError(forkError));
  devNull.Reset();
  readyWrite.Reset();
  execWrite.Reset();
  int status;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }  // ECHILD: the host reaps children itself; the pipe still tells the outcome

  // EOF on the exec pipe means execve succeeded (the end was close-on-exec).
  char buf[sizeof(int)];
  size_t got = 0;
  while (got < sizeof buf) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return Fail(ERROR_SERVICE_REQUEST_TIMEOUT);
    pollfd pfd{execRead.Get(), POLLIN, 0};
    int r = ::poll(&pfd, 1, static_cast<int>(left));
    if (r < 0 && errno != EINTR) return FailErrno();
    if (r <= 0) continue;
    ssize_t n = ::read(execRead.Get(), buf + got, sizeof buf - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return FailErrno();
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  if (got == sizeof buf) {
    memcpy(&execError, buf, sizeof execError);
    if (execError == 0) execError = EIO;
  }
  return true;
}


}  // namespace plat::scdetail
