// Tiny string helpers the whole library calls: identity copy into a byte
// string, a string from a C string, and membership in a 256-bit byte set.
// Pure functions, any thread.
#pragma once

#include <bitset>
#include <cstdint>
#include <string>

using TqvCharSet = std::bitset<256>;

// Copies ASource into ADest unchanged (strings are already local bytes).
void ToAnsiString(const std::string& ASource, std::string& ADest);
// The bytes up to the first NUL; empty for a null pointer.
[[nodiscard]] std::string PCharToString(const char* AText);
[[nodiscard]] inline bool CharInSet(uint8_t AChar, const TqvCharSet& ASet) {
  return ASet.test(AChar);
}
