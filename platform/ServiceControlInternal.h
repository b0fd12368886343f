// What the service control's two units share (ServiceControl.cpp, and
// ServiceControlSpawn.cpp, which starts a registered program detached); not
// for any other caller. Failures return false with the thread's last error
// set (SysError.h). StartServiceA's thread only; no locks.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "SysError.h"
#include "UniqueFd.h"

namespace plat::scdetail {

inline bool Fail(uint32_t code) {
  SetLastError(code);
  return false;
}

inline bool FailErrno() {
  SetLastErrorFromErrno();
  return false;
}

// Descriptors closed in the program when the open-files limit cannot tell.
constexpr int kFallbackMaxFd = 65536;

// Everything the child needs, made before fork: after it only
// async-signal-safe calls are allowed. The caller sets binary (an absolute
// path); PreparePlan fills the rest.
struct SpawnPlan {
  std::string binary, folder;
  std::vector<std::string> args, env;
  std::vector<char*> argv, envp;
  int devNull = -1, readyWrite = -1, execWrite = -1, maxFd = kFallbackMaxFd;
};

// The program's folder, its arguments, and this process's environment with
// our three variables set for the database folder and the service.
void PreparePlan(SpawnPlan& p, const std::string& folder, const std::string& service, uint32_t argc,
                 const char** args);

// Forks the detached program. On return true, execError is 0 when the program
// runs, else the errno that stopped it; readyRead is the ready pipe's read end.
// False (1053 at the deadline) when the outcome could not be learnt.
bool SpawnDetached(SpawnPlan& plan, UniqueFd& readyRead, int& execError,
                   std::chrono::steady_clock::time_point deadline);

}  // namespace plat::scdetail
