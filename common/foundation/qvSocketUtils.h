// Socket errors: EqvSocketError with its code, the fixed texts of the
// library's own codes (-1..-7) and the platform's texts for positive codes
// (10035 would-block, 10061 refused, 11001 host not found, ...).
// The library codes and texts live in one table; look them up, never retype
// them. Every routine here is thread-safe; the Raise* routines always throw.
#pragma once

#include <cstdint>
#include <string>

#include "ClassCore.h"
#include "CodeTable.h"

// The library's own error codes.
constexpr int qvTimeoutError = -1;
constexpr int qvInvalidHostAddress = -2;
constexpr int qvInvalidPortNumber = -3;
constexpr int qvInvalidBatchSize = -4;
constexpr int qvNetworkStreamRequired = -5;
constexpr int qvConnectionNotActive = -6;
constexpr int qvInvalidAddressFamily = -7;

inline constexpr plat::TCodeText<> qvSocketErrorTexts[] = {
    {qvTimeoutError, "Timeout error occured"},
    {qvInvalidHostAddress, "Invalid host address"},
    {qvInvalidPortNumber, "Invalid port number"},
    {qvInvalidBatchSize, "Invalid Batch Size"},
    {qvNetworkStreamRequired, "NetworkStream is required"},
    {qvConnectionNotActive, "The connection to the server is not active"},
    {qvInvalidAddressFamily, "Invalid address family"},
};

// The fixed text of a library code, empty for any other code.
[[nodiscard]] std::string GetSocketErrorText(int ACode);

class EqvSocketError : public Exception {
 public:
  EqvSocketError(std::string AMessage, int ACode)
      : Exception(std::move(AMessage)), ErrorCode(ACode) {}
  VX_CLASS_NAME("EqvSocketError")
  int ErrorCode;
};

// The platform's English text for a code, white space trimmed.
[[nodiscard]] std::string GetSystemErrorText(int ACode);

[[noreturn]] void RaiseSocketError(const std::string& AMessage, int ACode);
// A library code (negative) with its fixed text.
[[noreturn]] void RaiseSocketError(int ACode);
// A platform code with the platform's text.
[[noreturn]] void RaiseSocketLastError(int ACode);
// The calling thread's last platform error (plat::GetLastError), with its text.
[[noreturn]] void RaiseSocketLastError();
