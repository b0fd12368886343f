// The security provider binding: TqvSspi holds the provider's function table
// (the TLS sessions and the NTLM objects derive from it), EqvSSPIError is the
// error of the security layer, and the routines below turn provider statuses
// into texts, errors and the small step results of the TLS session.
// Library codes and texts live in one table (qvSspiErrorTexts). An instance
// belongs to one thread; the routines are thread-safe. Raise* always throw.
#pragma once

#include <cstdint>
#include <string>

#include "ClassCore.h"
#include "CodeTable.h"
#include "SecurityProvider.h"

constexpr int qvSspiOutOfMemory = 20;
constexpr int qvSspiLoadFailed = -1;
constexpr int qvSspiNoInitRoutine = -2;
constexpr int qvSspiInitFailed = -3;
constexpr int qvSspiAcquireFailed = -4;
constexpr int qvSspiNoPackage = -5;
constexpr int qvSspiQueryPackageFailed = -6;
constexpr int qvSspiLocalCertificate = -9;
constexpr int qvSspiServerCredentials = -11;
constexpr int qvSspiNotSupported = -12;

inline constexpr plat::TCodeText<> qvSspiErrorTexts[] = {
    {qvSspiOutOfMemory, "Out of memory"},
    {qvSspiLoadFailed, "Could not load the dll (schannel.dll, security.dll or secur32.dll)"},
    {qvSspiNoInitRoutine, "Could not get security initialization routine"},
    {qvSspiInitFailed, "Could not initialize the security package"},
    {qvSspiAcquireFailed, "AcquireCredentials failed"},
    {qvSspiNoPackage, "None of needed security package was found"},
    {qvSspiQueryPackageFailed, "Could not query package information"},
    {qvSspiLocalCertificate, "Error querying local certificate"},
    {qvSspiServerCredentials, "Error occured when authenticating server credentials"},
    {qvSspiNotSupported, "Not supported"},
};

class EqvSSPIError : public Exception {
 public:
  EqvSSPIError(std::string AMessage, int ACode) : Exception(std::move(AMessage)), ErrorCode(ACode) {}
  VX_CLASS_NAME("EqvSSPIError")
  int ErrorCode;
};

// The text of a library code or provider status; AFound is false only for the
// "The unknown error was occured: %x" text.
[[nodiscard]] std::string GetSspiErrorText(int ACode, bool& AFound);
[[nodiscard]] std::string GetSspiErrorText(int ACode);

// A known status raises its own text; an unknown one the fallback code's text.
// ErrorCode is always the status.
[[noreturn]] void RaiseSspiError(int AStatus, int AFallback);
[[noreturn]] void RaiseSspiError(int AStatus);

// Step results of the TLS session (qvSspiTls.h names them).
[[nodiscard]] uint8_t CheckSspiStatus(int AStatus, int AFallback);
// Does nothing (result 0) when ACondition is false.
uint8_t CheckSspiStatus(bool ACondition, int AStatus, int AFallback);

class TqvSspi : public TObject {
 public:
  TqvSspi() = default;
  TqvSspi(const TqvSspi&) = delete;
  TqvSspi& operator=(const TqvSspi&) = delete;
  VX_CLASS_NAME("TqvSspi")

  // Loads on first use; a failed load (-3) is tried again next time.
  [[nodiscard]] const plat::SecurityFunctionTableA& FunctionTable();

 private:
  const plat::SecurityFunctionTableA* FTable = nullptr;
};
