#include "ValueStream.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace plat {

namespace {

constexpr int kExtendedBias = 16383;
constexpr uint16_t kExtendedMaxExponent = 0x7FFF;

void PutLE(uint8_t* AOut, uint64_t AValue, int ABytes) {
  for (int i = 0; i < ABytes; ++i) AOut[i] = static_cast<uint8_t>(AValue >> (8 * i));
}

uint64_t GetLE(const uint8_t* AIn, int ABytes) {
  uint64_t v = 0;
  for (int i = 0; i < ABytes; ++i) v |= static_cast<uint64_t>(AIn[i]) << (8 * i);
  return v;
}

int64_t SignExtend(uint64_t AValue, int ABytes) {
  if (ABytes >= 8) return static_cast<int64_t>(AValue);
  const uint64_t sign = uint64_t{1} << (8 * ABytes - 1);
  return static_cast<int64_t>((AValue ^ sign) - sign);
}

}  // namespace

std::array<uint8_t, 10> DoubleToExtended(double AValue) {
  std::array<uint8_t, 10> out{};
  uint16_t signExp = std::signbit(AValue) ? 0x8000 : 0;
  uint64_t mantissa = 0;
  if (std::isnan(AValue)) {
    signExp |= kExtendedMaxExponent;
    mantissa = 0xC000000000000000ull;
  } else if (std::isinf(AValue)) {
    signExp |= kExtendedMaxExponent;
    mantissa = 0x8000000000000000ull;
  } else if (AValue != 0) {
    int exponent = 0;
    const double fraction = std::frexp(std::fabs(AValue), &exponent);  // in [0.5, 1)
    // The extended form keeps the leading 1 explicitly in bit 63.
    mantissa = static_cast<uint64_t>(std::ldexp(fraction, 64));
    signExp |= static_cast<uint16_t>(exponent - 1 + kExtendedBias);
  }
  PutLE(out.data(), mantissa, 8);
  PutLE(out.data() + 8, signExp, 2);
  return out;
}

double ExtendedToDouble(const std::array<uint8_t, 10>& ABytes) {
  const uint64_t mantissa = GetLE(ABytes.data(), 8);
  const auto signExp = static_cast<uint16_t>(GetLE(ABytes.data() + 8, 2));
  const bool negative = (signExp & 0x8000) != 0;
  const int exponent = signExp & kExtendedMaxExponent;
  double value = 0;
  if (exponent == kExtendedMaxExponent) {
    value = (mantissa << 1) == 0 ? std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
  } else if (mantissa != 0) {
    // A denormal extended (exponent 0) scales like exponent 1.
    value = std::ldexp(static_cast<double>(mantissa), std::max(exponent, 1) - kExtendedBias - 63);
  }
  return negative ? -value : value;
}

void TValueWriter::WriteTag(TValueTag ATag) {
  const uint8_t tag = ATag;
  FStream.WriteBuffer(&tag, 1);
}

void TValueWriter::WriteInteger(int64_t AValue) {
  uint8_t buf[8];
  int bytes = 8;
  TValueTag tag = vaInt64;
  if (AValue >= INT8_MIN && AValue <= INT8_MAX) {
    tag = vaInt8;
    bytes = 1;
  } else if (AValue >= INT16_MIN && AValue <= INT16_MAX) {
    tag = vaInt16;
    bytes = 2;
  } else if (AValue >= INT32_MIN && AValue <= INT32_MAX) {
    tag = vaInt32;
    bytes = 4;
  }
  WriteTag(tag);
  PutLE(buf, static_cast<uint64_t>(AValue), bytes);
  FStream.WriteBuffer(buf, bytes);
}

void TValueWriter::WriteBoolean(bool AValue) { WriteTag(AValue ? vaTrue : vaFalse); }

void TValueWriter::WriteFloat(double AValue) {
  WriteTag(vaExtended);
  const std::array<uint8_t, 10> bytes = DoubleToExtended(AValue);
  FStream.WriteBuffer(bytes.data(), 10);
}

void TValueWriter::WriteString(std::string_view AText) {
  bool ascii = true;
  for (char c : AText)
    if (static_cast<unsigned char>(c) >= 0x80) ascii = false;
  uint8_t len[4];
  if (ascii && AText.size() <= 255) {
    WriteTag(vaString);
    len[0] = static_cast<uint8_t>(AText.size());
    FStream.WriteBuffer(len, 1);
  } else {
    WriteTag(ascii ? vaLString : vaUTF8String);
    PutLE(len, static_cast<uint32_t>(AText.size()), 4);
    FStream.WriteBuffer(len, 4);
  }
  FStream.WriteBuffer(AText.data(), static_cast<int64_t>(AText.size()));
}

uint8_t TValueReader::ReadTag() {
  uint8_t tag = 0;
  FStream.ReadBuffer(&tag, 1);
  return tag;
}

int64_t TValueReader::ReadIntegerPayload(uint8_t ATag) {
  int bytes = 0;
  switch (ATag) {
    case vaInt8: bytes = 1; break;
    case vaInt16: bytes = 2; break;
    case vaInt32: bytes = 4; break;
    case vaInt64: bytes = 8; break;
    default: throw EReadError();
  }
  uint8_t buf[8];
  FStream.ReadBuffer(buf, bytes);
  return SignExtend(GetLE(buf, bytes), bytes);
}

int64_t TValueReader::ReadInteger() { return ReadIntegerPayload(ReadTag()); }

bool TValueReader::ReadBoolean() {
  const uint8_t tag = ReadTag();
  if (tag != vaTrue && tag != vaFalse) throw EReadError();
  return tag == vaTrue;
}

double TValueReader::ReadFloat() {
  const uint8_t tag = ReadTag();
  if (tag != vaExtended) return static_cast<double>(ReadIntegerPayload(tag));
  std::array<uint8_t, 10> bytes{};
  FStream.ReadBuffer(bytes.data(), 10);
  return ExtendedToDouble(bytes);
}

std::string TValueReader::ReadString() {
  const uint8_t tag = ReadTag();
  uint8_t len[4] = {};
  uint64_t size = 0;
  if (tag == vaString) {
    FStream.ReadBuffer(len, 1);
    size = len[0];
  } else if (tag == vaLString || tag == vaUTF8String) {
    FStream.ReadBuffer(len, 4);
    size = GetLE(len, 4);
  } else {
    throw EReadError();
  }
  // A length past the end is a damaged file, not a reason to allocate.
  if (static_cast<int64_t>(size) > FStream.Size() - FStream.Position()) throw EReadError();
  std::string text(size, '\0');
  FStream.ReadBuffer(text.data(), static_cast<int64_t>(size));
  return text;
}

}  // namespace plat
