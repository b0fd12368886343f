// The console's service control: a small wrapper over the service control
// layer (exists, running, start/stop/pause/continue and wait) and the run of
// the service program with its "/install" or "/uninstall" switch. The form
// talks to IServiceControl only, so tests can put a scripted one in its place.
// TService (not the framework's service class: this one controls, it does not
// run) opens the manager when created and closes it when freed; it never
// raises for a control failure, it answers false and keeps the reason in
// LastErrorText. GUI thread; SetServiceState blocks up to about 30 s.
#pragma once

#include <QString>
#include <cstdint>
#include <memory>
#include <string>

#include "ServiceControl.h"

namespace vxconsole {

inline constexpr char kServiceName[] = "VxMailServices";
inline constexpr char kServiceProgram[] = "VxMailServers";

// SetServiceState operations: 1 start, 2 pause, 3 continue, 4 and 5 stop.
inline constexpr int soStart = 1;
inline constexpr int soPause = 2;
inline constexpr int soContinue = 3;
inline constexpr int soStop = 4;

struct TRunResult {
  bool Started = false;  // the program could be run at all
  int ExitCode = -1;     // its exit code (-1 when it crashed or hung)
  QString Output;        // what it printed, or why it did not run
};

class IServiceControl {
 public:
  virtual ~IServiceControl() = default;
  [[nodiscard]] virtual bool ServiceExists(const std::string& AName) = 0;
  [[nodiscard]] virtual bool ServiceRunning(const std::string& AName) = 0;
  // True while the service's process is there in any state but stopped
  // (running, paused, or between two states): what stop, restart and
  // uninstall must deal with first.
  [[nodiscard]] virtual bool ServiceActive(const std::string& AName) = 0;
  // True only when the operation was issued and the service reached its
  // target state (running, paused or stopped).
  [[nodiscard]] virtual bool SetServiceState(const std::string& AName, int AOperation) = 0;
  // Runs Path with the one parameter in Folder and waits for it to end.
  [[nodiscard]] virtual TRunResult RunProgram(const std::string& Path, const std::string& Params,
                                              const std::string& Folder) = 0;
  // Why the last SetServiceState failed (may be empty).
  virtual std::string LastErrorText() const = 0;
};

struct TScHandleCloser {
  void operator()(plat::ScHandle* h) const { plat::CloseServiceHandle(h); }
};
using TScOwnedHandle = std::unique_ptr<plat::ScHandle, TScHandleCloser>;

class TService : public IServiceControl {
 public:
  // Reads the host name and opens the manager; failures leave it closed.
  TService();
  ~TService() override;
  TService(const TService&) = delete;
  TService& operator=(const TService&) = delete;

  void ReadHostName();
  // Opens the manager again (a second try if the first fails).
  void Reconnect();
  bool Connected() const { return FManager != nullptr; }
  const std::string& MachineName() const { return FMachineName; }
  uint32_t DesiredAccess() const { return FDesiredAccess; }

  [[nodiscard]] bool ServiceExists(const std::string& AName) override;
  [[nodiscard]] bool ServiceRunning(const std::string& AName) override;
  [[nodiscard]] bool ServiceActive(const std::string& AName) override;
  [[nodiscard]] bool SetServiceState(const std::string& AName, int AOperation) override;
  [[nodiscard]] TRunResult RunProgram(const std::string& Path, const std::string& Params,
                                      const std::string& Folder) override;
  std::string LastErrorText() const override { return FLastErrorText; }

  // Rounds of the wait for a target state, one status query a round.
  static constexpr int kWaitRounds = 30;
  static constexpr int kRoundMilliseconds = 1000;

 private:
  bool OpenManager();
  // The service's state as the control layer reports it; false when it
  // cannot be opened or asked.
  bool CurrentState(const std::string& AName, uint32_t& AState);
  bool WaitForState(plat::SC_HANDLE Service, uint32_t Target, bool Starting);
  bool Fail();

  std::string FMachineName;
  uint32_t FDesiredAccess = 0;
  TScOwnedHandle FManager;
  std::string FLastErrorText;
};

}  // namespace vxconsole
