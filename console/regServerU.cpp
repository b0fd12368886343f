#include "regServerU.h"

#include <unistd.h>

#include <QFileInfo>
#include <QProcess>
#include <chrono>
#include <thread>

#include "SysError.h"

namespace vxconsole {

namespace {

constexpr size_t kHostNameMax = 256;
// /install and /uninstall end at once; this only bounds a hung program.
constexpr int kRunTimeoutMs = 30000;

}  // namespace

TService::TService() {
  ReadHostName();
  static_cast<void>(OpenManager());
}

TService::~TService() = default;

void TService::ReadHostName() {
  char name[kHostNameMax + 1] = {};
  if (gethostname(name, kHostNameMax) != 0) return;
  if (name[0] == '\0') return;
  FMachineName = name;
  FDesiredAccess = plat::SC_MANAGER_ALL_ACCESS;
}

bool TService::OpenManager() {
  FManager.reset(plat::OpenSCManagerA(FMachineName.c_str(), nullptr, FDesiredAccess));
  return FManager != nullptr;
}

void TService::Reconnect() {
  ReadHostName();
  FManager.reset();
  if (!OpenManager()) static_cast<void>(OpenManager());
}

bool TService::ServiceExists(const std::string& AName) {
  Reconnect();
  if (!FManager) return false;
  TScOwnedHandle service(plat::OpenServiceA(FManager.get(), AName.c_str(), plat::SERVICE_ALL_ACCESS));
  return service != nullptr;
}

bool TService::CurrentState(const std::string& AName, uint32_t& AState) {
  Reconnect();
  if (!FManager) return false;
  TScOwnedHandle service(plat::OpenServiceA(FManager.get(), AName.c_str(), plat::SERVICE_ALL_ACCESS));
  plat::SERVICE_STATUS status;
  if (!service || !plat::QueryServiceStatus(service.get(), &status)) return false;
  AState = status.dwCurrentState;
  return true;
}

bool TService::ServiceRunning(const std::string& AName) {
  uint32_t state = 0;
  return CurrentState(AName, state) && state == plat::SERVICE_RUNNING;
}

bool TService::ServiceActive(const std::string& AName) {
  uint32_t state = 0;
  return CurrentState(AName, state) && state != plat::SERVICE_STOPPED;
}

bool TService::Fail() {
  FLastErrorText = plat::SysErrorMessage(plat::GetLastError());
  return false;
}

bool TService::SetServiceState(const std::string& AName, int AOperation) {
  FLastErrorText.clear();
  if (!FManager) return false;
  TScOwnedHandle service(plat::OpenServiceA(FManager.get(), AName.c_str(), plat::SERVICE_ALL_ACCESS));
  if (!service) return Fail();
  plat::SERVICE_STATUS status;
  uint32_t target = plat::SERVICE_STOPPED;
  bool issued = false;
  switch (AOperation) {
    case soStart:
      target = plat::SERVICE_RUNNING;
      issued = plat::StartServiceA(service.get(), 0, nullptr);
      break;
    case soPause:
      target = plat::SERVICE_PAUSED;
      issued = plat::ControlService(service.get(), plat::SERVICE_CONTROL_PAUSE, &status);
      break;
    case soContinue:
      target = plat::SERVICE_RUNNING;
      issued = plat::ControlService(service.get(), plat::SERVICE_CONTROL_CONTINUE, &status);
      break;
    case soStop:
    case soStop + 1:
      target = plat::SERVICE_STOPPED;
      issued = plat::ControlService(service.get(), plat::SERVICE_CONTROL_STOP, &status);
      break;
    default: plat::SetLastError(plat::ERROR_INVALID_PARAMETER); return Fail();
  }
  if (!issued) return Fail();
  if (WaitForState(service.get(), target, AOperation == soStart)) return true;
  // The service's own account of why (a failed start writes it), else the
  // plain time-out.
  std::string text;
  if (plat::QueryServiceLastErrorText(service.get(), text) && !text.empty())
    FLastErrorText = text;
  else
    FLastErrorText = plat::SysErrorMessage(plat::ERROR_SERVICE_REQUEST_TIMEOUT);
  return false;
}

bool TService::WaitForState(plat::SC_HANDLE Service, uint32_t Target, bool Starting) {
  for (int round = 0; round < kWaitRounds; ++round) {
    plat::SERVICE_STATUS status;
    if (plat::QueryServiceStatus(Service, &status)) {
      if (status.dwCurrentState == Target) return true;
      // A start that fell back to stopped will not get anywhere by waiting.
      if (Starting && status.dwCurrentState == plat::SERVICE_STOPPED) return false;
    }
    if (round + 1 < kWaitRounds) std::this_thread::sleep_for(std::chrono::milliseconds(kRoundMilliseconds));
  }
  return false;
}

TRunResult TService::RunProgram(const std::string& Path, const std::string& Params, const std::string& Folder) {
  TRunResult result;
  QFileInfo info(QString::fromLocal8Bit(Path));
  if (!info.isFile()) {
    result.Output = QString::fromStdString(plat::SysErrorMessage(plat::ERROR_FILE_NOT_FOUND));
    return result;
  }
  if (!info.isExecutable()) {
    result.Output = QString::fromStdString(plat::SysErrorMessage(plat::ERROR_ACCESS_DENIED));
    return result;
  }
  // No shell: the folder may hold blanks, and nothing is quoted.
  QProcess process;
  process.setProgram(info.filePath());
  process.setArguments({QString::fromLocal8Bit(Params)});
  process.setWorkingDirectory(QString::fromLocal8Bit(Folder));
  process.setProcessChannelMode(QProcess::MergedChannels);
  process.setStandardInputFile(QProcess::nullDevice());
  process.start();
  if (!process.waitForStarted(kRunTimeoutMs)) {
    result.Output = process.errorString();
    return result;
  }
  result.Started = true;
  if (!process.waitForFinished(kRunTimeoutMs)) {
    process.kill();
    process.waitForFinished(-1);
    result.Output = QString::fromLocal8Bit(process.readAll()).trimmed();
    return result;
  }
  result.Output = QString::fromLocal8Bit(process.readAll()).trimmed();
  if (process.exitStatus() == QProcess::NormalExit) result.ExitCode = process.exitCode();
  return result;
}

}  // namespace vxconsole
