#include "SysError.h"

#include <cerrno>
#include <cstring>

namespace plat {
namespace {

struct ErrorText {
  uint32_t code;
  const char* text;
};

constexpr ErrorText kTexts[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_FILE_EXISTS, "The file exists."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_DISK_FULL, "There is not enough space on the disk."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_INVALID_SERVICE_CONTROL, "The requested control is not valid for this service."},
    {ERROR_SERVICE_REQUEST_TIMEOUT, "The service did not respond to the start or control request in a timely fashion."},
    {ERROR_SERVICE_ALREADY_RUNNING, "An instance of the service is already running."},
    {ERROR_SERVICE_DOES_NOT_EXIST, "The specified service does not exist as an installed service."},
    {ERROR_SERVICE_CANNOT_ACCEPT_CTRL, "The service cannot accept control messages at this time."},
    {ERROR_SERVICE_NOT_ACTIVE, "The service has not been started."},
    {ERROR_EXCEPTION_IN_SERVICE, "An exception occurred in the service when handling the control request."},
    {ERROR_PROCESS_ABORTED, "The process terminated unexpectedly."},
    {ERROR_SERVICE_MARKED_FOR_DELETE, "The specified service has been marked for deletion."},
    {ERROR_SERVICE_EXISTS, "The specified service already exists."},
};

thread_local uint32_t tLastError = 0;

}  // namespace

uint32_t ErrnoToError(int e) {
  switch (e) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST: return ERROR_FILE_EXISTS;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOSPC: return ERROR_DISK_FULL;
    default: return ErrnoCode(e);
  }
}

uint32_t GetLastError() { return tLastError; }
void SetLastError(uint32_t code) { tLastError = code; }

uint32_t SetLastErrorFromErrno() {
  tLastError = ErrnoToError(errno);
  return tLastError;
}

std::string SysErrorMessage(uint32_t code) {
  for (const auto& t : kTexts)
    if (t.code == code) return t.text;
  if (code & ERRNO_CODE_BIT) {
    char buf[256];
    // GNU strerror_r returns the text, which may not be buf.
    const char* s = strerror_r(static_cast<int>(code & ~ERRNO_CODE_BIT), buf, sizeof buf);
    return std::string(s) + ".";
  }
  return "Unknown error " + std::to_string(code) + ".";
}

}  // namespace plat
