// Percent-encoding: bytes that must not stand literally become "%" and two
// upper-case hex digits, and back. Descendants choose which bytes by
// replacing MustEncode (the RFC 2231 parameter encoder in qvMailHeader does).
// Decoding keeps a malformed escape literally and never raises. One thread at
// a time (ExtraBytes is cached on first use).
#pragma once

#include "ClassCore.h"

#include <cstdint>
#include <string>
#include <string_view>

class TqvPercentEncoder : public TObject {
 public:
  TqvPercentEncoder() = default;
  VX_CLASS_NAME("TqvPercentEncoder")

  // Default: the bytes of ExtraChars, control bytes and bytes above 126.
  [[nodiscard]] virtual bool MustEncode(uint8_t AByte) const;
  [[nodiscard]] virtual uint8_t DecodeChar(uint8_t AByte) const { return AByte; }
  [[nodiscard]] virtual uint8_t EncodeChar(uint8_t AByte) const { return AByte; }
  [[nodiscard]] virtual TBytes DecodeToBytes(std::string_view AText) const;
  [[nodiscard]] virtual std::string EncodeBytes(const TBytes& ABytes) const;
  // Text -> bytes in ACharSet -> encoded, and back.
  [[nodiscard]] virtual std::string EncodeString(std::string_view AText, std::string_view ACharSet) const;
  [[nodiscard]] virtual std::string DecodeString(std::string_view AText, std::string_view ACharSet) const;

  // True: a "%" already followed by two hex digits is copied, not encoded again.
  bool KeepEscapes = false;
  [[nodiscard]] const std::string& ExtraChars() const { return FExtraChars; }
  void SetExtraChars(std::string Value) {
    FExtraChars = std::move(Value);
    FExtraBytesBuilt = false;
  }

 protected:
  [[nodiscard]] const TBytes& ExtraBytes() const;

 private:
  std::string FExtraChars;
  mutable TBytes FExtraBytes;
  mutable bool FExtraBytesBuilt = false;
};
