// The crypto layer's error and output buffer: EqvCryptError carries the
// failed call's text and the platform's error number; RaiseCryptError builds
// it from the thread's last error ("%s error - %d" when the number has no
// text). TqvCryptData receives variable-length crypto outputs. Thread-safe
// routines; a TqvCryptData belongs to one thread. Raise* always throw.
#pragma once

#include <cstdint>
#include <string>

#include "ClassCore.h"
#include "qvBinaryData.h"

class EqvCryptError : public Exception {
 public:
  EqvCryptError(std::string AMessage, int32_t ACode) : Exception(std::move(AMessage)), ErrorCode(ACode) {}
  VX_CLASS_NAME("EqvCryptError")
  int32_t ErrorCode;
};

// The platform's text for a crypto error number, trailing blanks, controls
// and "." removed; "" when it has none.
[[nodiscard]] std::string GetCryptErrorText(uint32_t ACode);

// AFunctionName without its A suffix ("CryptAcquireContext").
[[noreturn]] void RaiseCryptError(const std::string& AFunctionName);
[[noreturn]] void RaiseCryptErrorCode(const std::string& AMessage, int32_t ACode);

// A verify-only provider context (no key container) of AName (null: the
// type's default provider); raises the crypt error for "CryptAcquireContext".
[[nodiscard]] uintptr_t AcquireCryptContext(const char* AName, uint32_t AType);

class TqvCryptData : public TqvBinaryData {
 public:
  explicit TqvCryptData(int32_t ASize) : TqvBinaryData(ASize) {}
  VX_CLASS_NAME("TqvCryptData")
};
