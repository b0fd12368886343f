#include "qvCryptUtils.h"

#include <cstdio>

#include "CryptoApi.h"
#include "SysError.h"
#include "TextTrim.h"

std::string GetCryptErrorText(uint32_t ACode) {
  std::string s = plat::CryptoErrorMessage(ACode);
  if (s.size() > 256) s.resize(256);
  return std::string(plat::TrimMessageView(s));
}

void RaiseCryptError(const std::string& AFunctionName) {
  const uint32_t code = plat::GetLastError();
  std::string text = GetCryptErrorText(code);
  if (text.empty()) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%d", static_cast<int32_t>(code));
    text = AFunctionName + " error - " + buf;
  }
  throw EqvCryptError(std::move(text), static_cast<int32_t>(code));
}

void RaiseCryptErrorCode(const std::string& AMessage, int32_t ACode) { throw EqvCryptError(AMessage, ACode); }

uintptr_t AcquireCryptContext(const char* AName, uint32_t AType) {
  plat::HCRYPTPROV prov = 0;
  if (!plat::CryptAcquireContextA(&prov, nullptr, AName, AType, plat::CRYPT_VERIFYCONTEXT))
    RaiseCryptError("CryptAcquireContext");
  return prov;
}
