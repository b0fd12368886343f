// Byte-array helpers: reversing, leading zeros, hex text, big-endian words
// at a moving index, and comparison. Pure functions, any thread. Errors: the
// big-endian stores raise EAssertionFailed when the value does not fit at
// the index; the loads return 0 and leave the index; nothing else raises.
#pragma once

#include "ClassCore.h"

#include <cstdint>
#include <string>
#include <string_view>

[[nodiscard]] TBytes ReverseBytes(const TBytes& ABytes);
[[nodiscard]] int FirstNonZeroByte(const TBytes& ABytes);
// An all-zero array is returned whole.
[[nodiscard]] TBytes TrimLeadingZeroBytes(const TBytes& ABytes);
// Two upper-case digits per byte; the separator only between bytes.
[[nodiscard]] std::string BytesToHex(const TBytes& ABytes);
[[nodiscard]] std::string BytesToHex(const TBytes& ABytes, std::string_view ASeparator);
[[nodiscard]] std::string BytesToHex(const void* ABuffer, int ACount);
// Big-endian store/load at AIndex, which advances by 2 or 4. Out of range:
// the stores raise EAssertionFailed, the loads return 0 and leave AIndex.
void PutWordBE(uint16_t AValue, TBytes& ABytes, int& AIndex);
void PutDWordBE(uint32_t AValue, TBytes& ABytes, int& AIndex);
[[nodiscard]] uint16_t GetWordBE(const TBytes& ABytes, int& AIndex);
[[nodiscard]] uint32_t GetDWordBE(const TBytes& ABytes, int& AIndex);
[[nodiscard]] constexpr uint16_t MakeWordBE(uint8_t AHigh, uint8_t ALow) {
  return static_cast<uint16_t>((AHigh << 8) | ALow);
}
[[nodiscard]] bool ByteArraysEqual(const TBytes& A, const TBytes& B);
