// The class library's typed value stream: each value is one tag byte and its
// payload, little-endian, as the library's own settings files hold them.
// Integers take the smallest of int8 (tag 2), int16 (3) and int32 (4), and
// int64 (19) beyond that; floats are 80-bit extended (5); booleans are tags 8
// and 9; strings are short ASCII (6, length byte), long ASCII (12, 4-byte
// length) or UTF-8 (20, 4-byte length) when any byte is non-ASCII. Text is
// UTF-8 on both sides, so no bytes change. A reader over a stream it does
// not own, one thread; a wrong tag or a short stream raises EReadError.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "Streams.h"

namespace plat {

enum TValueTag : uint8_t {
  vaInt8 = 2,
  vaInt16 = 3,
  vaInt32 = 4,
  vaExtended = 5,
  vaString = 6,
  vaFalse = 8,
  vaTrue = 9,
  vaLString = 12,
  vaInt64 = 19,
  vaUTF8String = 20,
};

// The 80-bit extended form of a double (exact: every double fits) and back
// (rounded to the nearest double; out of range gives an infinity).
[[nodiscard]] std::array<uint8_t, 10> DoubleToExtended(double AValue);
[[nodiscard]] double ExtendedToDouble(const std::array<uint8_t, 10>& ABytes);

class TValueWriter {
 public:
  explicit TValueWriter(TStream& AStream) : FStream(AStream) {}
  void WriteInteger(int64_t AValue);
  void WriteBoolean(bool AValue);
  void WriteFloat(double AValue);
  void WriteString(std::string_view AText);

 private:
  void WriteTag(TValueTag ATag);
  TStream& FStream;
};

class TValueReader {
 public:
  explicit TValueReader(TStream& AStream) : FStream(AStream) {}
  // Tags 2, 3, 4 and 19.
  [[nodiscard]] int64_t ReadInteger();
  [[nodiscard]] bool ReadBoolean();
  // Tag 5 or any integer tag.
  [[nodiscard]] double ReadFloat();
  // Tags 6, 12 and 20.
  [[nodiscard]] std::string ReadString();

 private:
  [[nodiscard]] uint8_t ReadTag();
  [[nodiscard]] int64_t ReadIntegerPayload(uint8_t ATag);
  TStream& FStream;
};

}  // namespace plat
