#include "qvPercentEncoder.h"

#include "qvTranslator.h"

#include <algorithm>

namespace {
int HexDigit(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}
}  // namespace

const TBytes& TqvPercentEncoder::ExtraBytes() const {
  if (!FExtraBytesBuilt) {
    FExtraBytes = TqvTranslator::GetBytes(FExtraChars, "us-ascii");
    FExtraBytesBuilt = true;
  }
  return FExtraBytes;
}

bool TqvPercentEncoder::MustEncode(uint8_t AByte) const {
  const TBytes& extra = ExtraBytes();
  return AByte < 32 || AByte > 126 || std::find(extra.begin(), extra.end(), AByte) != extra.end();
}

std::string TqvPercentEncoder::EncodeBytes(const TBytes& ABytes) const {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < ABytes.size(); ++i) {
    const uint8_t b = ABytes[i];
    if (KeepEscapes && b == '%' && i + 2 < ABytes.size() && HexDigit(ABytes[i + 1]) >= 0 &&
        HexDigit(ABytes[i + 2]) >= 0) {
      out.append(reinterpret_cast<const char*>(&ABytes[i]), 3);
      i += 2;
    } else if (MustEncode(b)) {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    } else {
      out += static_cast<char>(EncodeChar(b));
    }
  }
  return out;
}

TBytes TqvPercentEncoder::DecodeToBytes(std::string_view AText) const {
  TBytes out;
  for (size_t i = 0; i < AText.size(); ++i) {
    const auto c = static_cast<uint8_t>(AText[i]);
    if (c == '%' && i + 2 < AText.size()) {
      const int hi = HexDigit(static_cast<uint8_t>(AText[i + 1]));
      const int lo = HexDigit(static_cast<uint8_t>(AText[i + 2]));
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<uint8_t>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(c == '%' ? c : DecodeChar(c));
  }
  return out;
}

std::string TqvPercentEncoder::EncodeString(std::string_view AText, std::string_view ACharSet) const {
  const TBytes bytes = TqvTranslator::GetBytes(AText, ACharSet);
  return bytes.empty() ? std::string() : EncodeBytes(bytes);
}

std::string TqvPercentEncoder::DecodeString(std::string_view AText, std::string_view ACharSet) const {
  const TBytes bytes = DecodeToBytes(AText);
  return bytes.empty() ? std::string() : TqvTranslator::GetString(bytes, ACharSet);
}
