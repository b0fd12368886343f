// The service control layer: a folder-based service database with the calls
// the console and the service program make of a service control manager.
//
// Database: a folder (VXMAIL_SCM_DIR names it, else DefaultDatabaseFolder()).
// Per service NAME: "NAME.service" (registration, INI), "NAME.status" (the last
// status the service wrote, INI, replaced atomically) and "NAME.lock" (run lock).
// A service is running while some process holds a POSIX write lock on
// NAME.lock; the pid to signal comes from that lock, never from a file, so a
// crashed service reads as stopped. Control codes become signals: stop SIGTERM,
// pause SIGUSR1, continue SIGUSR2.
// Calls return false/nullptr on failure and set the thread's last error
// (SysError.h). Handles are owned by the caller and freed by CloseServiceHandle.
// Thread-safe; StartServiceA may be called from a multi-threaded program.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace plat {

struct ScHandle;  // opaque
using SC_HANDLE = ScHandle*;

// Access masks are accepted and ignored: file permissions decide.
constexpr uint32_t SC_MANAGER_ALL_ACCESS = 0xF003F;
constexpr uint32_t SERVICE_ALL_ACCESS = 0xF01FF;

constexpr uint32_t SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr uint32_t SERVICE_AUTO_START = 2;
constexpr uint32_t SERVICE_DEMAND_START = 3;
constexpr uint32_t SERVICE_ERROR_NORMAL = 1;

// States.
constexpr uint32_t SERVICE_STOPPED = 1;
constexpr uint32_t SERVICE_START_PENDING = 2;
constexpr uint32_t SERVICE_STOP_PENDING = 3;
constexpr uint32_t SERVICE_RUNNING = 4;
constexpr uint32_t SERVICE_CONTINUE_PENDING = 5;
constexpr uint32_t SERVICE_PAUSE_PENDING = 6;
constexpr uint32_t SERVICE_PAUSED = 7;

// Control codes.
constexpr uint32_t SERVICE_CONTROL_STOP = 1;
constexpr uint32_t SERVICE_CONTROL_PAUSE = 2;
constexpr uint32_t SERVICE_CONTROL_CONTINUE = 3;
constexpr uint32_t SERVICE_CONTROL_INTERROGATE = 4;

// Controls accepted.
constexpr uint32_t SERVICE_ACCEPT_STOP = 1;
constexpr uint32_t SERVICE_ACCEPT_PAUSE_CONTINUE = 2;

struct SERVICE_STATUS {
  uint32_t dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  uint32_t dwCurrentState = SERVICE_STOPPED;
  uint32_t dwControlsAccepted = 0;
  uint32_t dwWin32ExitCode = 0;
  uint32_t dwServiceSpecificExitCode = 0;
  uint32_t dwCheckPoint = 0;
  uint32_t dwWaitHint = 0;
};

// Environment variables: the database folder, and the marker our StartServiceA
// gives the program it starts (the service name), with the fd on which the
// started program reports that it holds its run lock.
constexpr const char* kScmDirVariable = "VXMAIL_SCM_DIR";
constexpr const char* kServiceNameVariable = "VXMAIL_SERVICE_NAME";
constexpr const char* kReadyFdVariable = "VXMAIL_SERVICE_READY_FD";

// "/var/lib/vxmail/services" for root, "$XDG_STATE_HOME/vxmail/services"
// (default ~/.local/state/vxmail/services) for anyone else.
std::string DefaultDatabaseFolder();
// VXMAIL_SCM_DIR if set and non-empty, else the default.
std::string DatabaseFolder();

// ---- The calls of a service control manager ----

// Opens (creating if needed) the database; machine and database names are ignored.
SC_HANDLE OpenSCManagerA(const char* lpMachineName, const char* lpDatabaseName, uint32_t dwDesiredAccess);
// A registered service; 1060 if none.
SC_HANDLE OpenServiceA(SC_HANDLE hSCManager, const char* lpServiceName, uint32_t dwDesiredAccess);
// Registers a service; 1073 if it is registered already. lpBinaryPathName is
// the program to start (no arguments).
SC_HANDLE CreateServiceA(SC_HANDLE hSCManager, const char* lpServiceName, const char* lpDisplayName,
                         uint32_t dwDesiredAccess, uint32_t dwServiceType, uint32_t dwStartType,
                         uint32_t dwErrorControl, const char* lpBinaryPathName);
// Removes the registration; a running service keeps running until it stops
// (1072 for later calls on the deleted handle).
bool DeleteService(SC_HANDLE hService);
// Starts the registered program detached (own session, std streams on
// /dev/null, working folder = its folder, marker environment) and waits, up to
// 30 s, until it holds its run lock or has exited. 1056 while an instance holds
// the lock; the exec error if the program cannot be run; 1067 when it ended
// before taking its lock; 1053 on time-out.
bool StartServiceA(SC_HANDLE hService, uint32_t dwNumServiceArgs, const char** lpServiceArgVectors);
// Sends a control code to the running service and returns its status.
// 1062 when not running; 1052 for a code the service does not accept now.
bool ControlService(SC_HANDLE hService, uint32_t dwControl, SERVICE_STATUS* lpServiceStatus);
// Lock free: STOPPED with the last exit code written. Lock held: the status
// file's state (START_PENDING while there is none yet).
bool QueryServiceStatus(SC_HANDLE hService, SERVICE_STATUS* lpServiceStatus);
bool CloseServiceHandle(SC_HANDLE hSCObject);

// The started program calls this once it holds its run lock: StartServiceA
// then returns at once. Harmless when the program was not started by us.
void ReportServiceReady();

// Our additions: the last error text the service reported (empty if none),
// and the registered program.
bool QueryServiceLastErrorText(SC_HANDLE hService, std::string& text);
bool QueryServiceBinaryPath(SC_HANDLE hService, std::string& path);

// ---- The running service's side ----

// The run lock and status writer of one service instance. Open it once and
// keep it for the process's life: closing any descriptor of the lock file
// would drop the lock. Not copyable.
class ServiceInstance {
 public:
  // Database folder and service name; nothing is touched until Acquire.
  ServiceInstance(std::string databaseFolder, std::string serviceName);
  ~ServiceInstance();  // releases the lock
  ServiceInstance(const ServiceInstance&) = delete;
  ServiceInstance& operator=(const ServiceInstance&) = delete;

  // Takes the run lock (creating the folder and lock file); false with 1056
  // when another process holds it, or the error that prevented it.
  bool Acquire();
  bool Held() const;
  // Writes the status file atomically (temp file, fsync, rename); errorText
  // is kept for QueryServiceLastErrorText. Pid is filled in.
  bool WriteStatus(const SERVICE_STATUS& status, const std::string& errorText = std::string());
  // Drops the lock (the process stays).
  void Release();

 private:
  std::string FFolder, FName;
  int FLockFd = -1;
};

}  // namespace plat
