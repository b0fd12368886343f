#include "qvByteUtils.h"

TBytes ReverseBytes(const TBytes& ABytes) { return TBytes(ABytes.rbegin(), ABytes.rend()); }

int FirstNonZeroByte(const TBytes& ABytes) {
  for (size_t i = 0; i < ABytes.size(); ++i)
    if (ABytes[i] != 0) return static_cast<int>(i);
  return -1;
}

TBytes TrimLeadingZeroBytes(const TBytes& ABytes) {
  const int first = FirstNonZeroByte(ABytes);
  if (first <= 0) return ABytes;
  return TBytes(ABytes.begin() + first, ABytes.end());
}

std::string BytesToHex(const void* ABuffer, int ACount) {
  if (ACount <= 0 || ABuffer == nullptr) return {};
  const auto* p = static_cast<const uint8_t*>(ABuffer);
  return BytesToHex(TBytes(p, p + ACount));
}

std::string BytesToHex(const TBytes& ABytes) { return BytesToHex(ABytes, {}); }

std::string BytesToHex(const TBytes& ABytes, std::string_view ASeparator) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(ABytes.size() * (2 + ASeparator.size()));
  for (size_t i = 0; i < ABytes.size(); ++i) {
    if (i > 0) out += ASeparator;
    out += kHex[ABytes[i] >> 4];
    out += kHex[ABytes[i] & 0x0F];
  }
  return out;
}

namespace {
bool Fits(const TBytes& b, int index, int n) {
  return index >= 0 && static_cast<size_t>(index) + static_cast<size_t>(n) <= b.size();
}
}  // namespace

void PutWordBE(uint16_t AValue, TBytes& ABytes, int& AIndex) {
  Assert(Fits(ABytes, AIndex, 2));
  ABytes[static_cast<size_t>(AIndex)] = static_cast<uint8_t>(AValue >> 8);
  ABytes[static_cast<size_t>(AIndex) + 1] = static_cast<uint8_t>(AValue);
  AIndex += 2;
}

void PutDWordBE(uint32_t AValue, TBytes& ABytes, int& AIndex) {
  Assert(Fits(ABytes, AIndex, 4));
  PutWordBE(static_cast<uint16_t>(AValue >> 16), ABytes, AIndex);
  PutWordBE(static_cast<uint16_t>(AValue), ABytes, AIndex);
}

uint16_t GetWordBE(const TBytes& ABytes, int& AIndex) {
  if (!Fits(ABytes, AIndex, 2)) return 0;
  const auto i = static_cast<size_t>(AIndex);
  AIndex += 2;
  return MakeWordBE(ABytes[i], ABytes[i + 1]);
}

uint32_t GetDWordBE(const TBytes& ABytes, int& AIndex) {
  if (!Fits(ABytes, AIndex, 4)) return 0;
  const uint32_t hi = GetWordBE(ABytes, AIndex);
  return (hi << 16) | GetWordBE(ABytes, AIndex);
}

bool ByteArraysEqual(const TBytes& A, const TBytes& B) { return A == B; }
