// The platform's error numbers and texts. The library reports system errors in
// the numbering the components test by (the original platform's codes: 5 access
// denied, 1060 no such service, ...); errno values are mapped into it where a
// code exists, and otherwise carried as ErrnoCode(e) with strerror's text.
// The last error is kept per thread. All functions are thread-safe.
#pragma once

#include <cstdint>
#include <string>

namespace plat {

constexpr uint32_t ERROR_SUCCESS = 0;
constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
constexpr uint32_t ERROR_PATH_NOT_FOUND = 3;
constexpr uint32_t ERROR_ACCESS_DENIED = 5;
constexpr uint32_t ERROR_INVALID_HANDLE = 6;
constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr uint32_t ERROR_FILE_EXISTS = 80;
constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
constexpr uint32_t ERROR_DISK_FULL = 112;
constexpr uint32_t ERROR_ALREADY_EXISTS = 183;
constexpr uint32_t ERROR_INVALID_SERVICE_CONTROL = 1052;
constexpr uint32_t ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
constexpr uint32_t ERROR_SERVICE_ALREADY_RUNNING = 1056;
constexpr uint32_t ERROR_SERVICE_DOES_NOT_EXIST = 1060;
constexpr uint32_t ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061;
constexpr uint32_t ERROR_SERVICE_NOT_ACTIVE = 1062;
constexpr uint32_t ERROR_EXCEPTION_IN_SERVICE = 1064;
constexpr uint32_t ERROR_PROCESS_ABORTED = 1067;
constexpr uint32_t ERROR_SERVICE_MARKED_FOR_DELETE = 1072;
constexpr uint32_t ERROR_SERVICE_EXISTS = 1073;

// Socket errors, in the numbering the socket units test by (see Sockets.h
// for the errno mapping).
constexpr uint32_t WSAEINTR = 10004;
constexpr uint32_t WSAEBADF = 10009;
constexpr uint32_t WSAEACCES = 10013;
constexpr uint32_t WSAEFAULT = 10014;
constexpr uint32_t WSAEINVAL = 10022;
constexpr uint32_t WSAEMFILE = 10024;
constexpr uint32_t WSAEWOULDBLOCK = 10035;
constexpr uint32_t WSAEINPROGRESS = 10036;
constexpr uint32_t WSAEALREADY = 10037;
constexpr uint32_t WSAENOTSOCK = 10038;
constexpr uint32_t WSAEDESTADDRREQ = 10039;
constexpr uint32_t WSAEMSGSIZE = 10040;
constexpr uint32_t WSAEPROTOTYPE = 10041;
constexpr uint32_t WSAENOPROTOOPT = 10042;
constexpr uint32_t WSAEPROTONOSUPPORT = 10043;
constexpr uint32_t WSAESOCKTNOSUPPORT = 10044;
constexpr uint32_t WSAEOPNOTSUPP = 10045;
constexpr uint32_t WSAEAFNOSUPPORT = 10047;
constexpr uint32_t WSAEADDRINUSE = 10048;
constexpr uint32_t WSAEADDRNOTAVAIL = 10049;
constexpr uint32_t WSAENETDOWN = 10050;
constexpr uint32_t WSAENETUNREACH = 10051;
constexpr uint32_t WSAENETRESET = 10052;
constexpr uint32_t WSAECONNABORTED = 10053;
constexpr uint32_t WSAECONNRESET = 10054;
constexpr uint32_t WSAENOBUFS = 10055;
constexpr uint32_t WSAEISCONN = 10056;
constexpr uint32_t WSAENOTCONN = 10057;
constexpr uint32_t WSAESHUTDOWN = 10058;
constexpr uint32_t WSAETIMEDOUT = 10060;
constexpr uint32_t WSAECONNREFUSED = 10061;
constexpr uint32_t WSAEHOSTDOWN = 10064;
constexpr uint32_t WSAEHOSTUNREACH = 10065;
constexpr uint32_t WSANOTINITIALISED = 10093;
constexpr uint32_t WSATYPE_NOT_FOUND = 10109;
constexpr uint32_t WSAHOST_NOT_FOUND = 11001;
constexpr uint32_t WSATRY_AGAIN = 11002;
constexpr uint32_t WSANO_RECOVERY = 11003;
constexpr uint32_t WSANO_DATA = 11004;

// Codes of errno values without a platform code: this bit plus errno.
constexpr uint32_t ERRNO_CODE_BIT = 0x20000000u;
constexpr uint32_t ErrnoCode(int e) { return ERRNO_CODE_BIT | static_cast<uint32_t>(e); }

// The platform code for an errno value.
uint32_t ErrnoToError(int e);

uint32_t GetLastError();
void SetLastError(uint32_t code);
// Sets the last error from errno and returns it.
uint32_t SetLastErrorFromErrno();

// The English text of a code ("The specified service does not exist as an
// installed service."), without a trailing full stop removed or line end added.
std::string SysErrorMessage(uint32_t code);

}  // namespace plat
