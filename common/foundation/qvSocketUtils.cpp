#include "qvSocketUtils.h"

#include "SysError.h"

std::string GetSocketErrorText(int ACode) {
  for (const auto& e : qvSocketErrorTexts)
    if (e.Code == ACode) return e.Text;
  return {};
}

std::string GetSystemErrorText(int ACode) {
  std::string s = plat::SysErrorMessage(static_cast<uint32_t>(ACode));
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  const auto last = s.find_last_not_of(" \t\r\n");
  return s.substr(first, last - first + 1);
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
