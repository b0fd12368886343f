#include "qvSspi.h"

#include <cstdio>

#include "TextTrim.h"

namespace {

std::string SystemMessage(int ACode) {
  std::string s = plat::SecurityStatusMessage(static_cast<uint32_t>(ACode));
  if (s.size() > 512) s.resize(512);
  return std::string(plat::TrimMessageView(s));
}

}  // namespace

std::string GetSspiErrorText(int ACode, bool& AFound) {
  AFound = true;
  if (const char* text = plat::CodeText(qvSspiErrorTexts, ACode, nullptr)) return text;
  std::string s = SystemMessage(ACode);
  if (!s.empty()) return s;
  AFound = false;
  char buf[64];
  std::snprintf(buf, sizeof buf, "The unknown error was occured: %x", static_cast<unsigned>(ACode));
  return buf;
}

std::string GetSspiErrorText(int ACode) {
  bool found = false;
  return GetSspiErrorText(ACode, found);
}

void RaiseSspiError(int AStatus, int AFallback) {
  bool found = false;
  std::string text = GetSspiErrorText(AStatus, found);
  if (!found) text = GetSspiErrorText(AFallback);
  throw EqvSSPIError(std::move(text), AStatus);
}

void RaiseSspiError(int AStatus) { RaiseSspiError(AStatus, AStatus); }

uint8_t CheckSspiStatus(int AStatus, int AFallback) {
  switch (AStatus) {
    case plat::SEC_E_OK: return 0;
    case plat::SEC_I_CONTINUE_NEEDED: return 7;
    case plat::SEC_I_COMPLETE_NEEDED: return 6;
    case plat::SEC_I_CONTEXT_EXPIRED: return 8;
    case plat::SEC_I_RENEGOTIATE: return 2;
    case plat::SEC_E_INCOMPLETE_MESSAGE: return 9;
    default: RaiseSspiError(AStatus, AFallback);
  }
}

uint8_t CheckSspiStatus(bool ACondition, int AStatus, int AFallback) {
  return ACondition ? CheckSspiStatus(AStatus, AFallback) : 0;
}

const plat::SecurityFunctionTableA& TqvSspi::FunctionTable() {
  if (!FTable) {
    FTable = plat::InitSecurityInterfaceA();
    if (!FTable) RaiseSspiError(qvSspiInitFailed);
  }
  return *FTable;
}
