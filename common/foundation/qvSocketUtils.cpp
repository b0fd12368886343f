#include "qvSocketUtils.h"

#include "SysError.h"
#include "TextTrim.h"

std::string GetSocketErrorText(int ACode) {
  return plat::CodeText(qvSocketErrorTexts, ACode);
}

std::string GetSystemErrorText(int ACode) {
  return plat::Trim(plat::SysErrorMessage(static_cast<uint32_t>(ACode)));
}

void RaiseSocketError(const std::string& AMessage, int ACode) {
  throw EqvSocketError(AMessage, ACode);
}

void RaiseSocketError(int ACode) { throw EqvSocketError(GetSocketErrorText(ACode), ACode); }

void RaiseSocketLastError() { RaiseSocketLastError(static_cast<int>(plat::GetLastError())); }

void RaiseSocketLastError(int ACode) {
  // Callers sometimes pass on a library code; keep its own text then.
  if (ACode < 0) RaiseSocketError(ACode);
  throw EqvSocketError(GetSystemErrorText(ACode), ACode);
}
