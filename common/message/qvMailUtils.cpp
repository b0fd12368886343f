#include "qvMailUtils.h"

#include "DateTime.h"
#include "MessageLoop.h"
#include "Random.h"
#include "qvIdnTranslator.h"
#include "qvTextUtils.h"

#include <atomic>

using qvtext::IntToHex;

namespace {
std::atomic<uint32_t> gMessageIdCounter{0};
}  // namespace

std::string GenerateMessageId(std::string_view AHost) {
  uint16_t year, month, day, hour, min, sec, ms;
  DecodeDateTime(Now(), year, month, day, hour, min, sec, ms);
  const std::string stamp = IntToHex(month, 2) + IntToHex(day, 2) + IntToHex(hour, 2) + IntToHex(min, 2) +
                            IntToHex(sec, 2) + IntToHex(ms, 2);
  // The value this call's own increment produced, so no two threads share one.
  const uint32_t counter = gMessageIdCounter.fetch_add(1) + 1;
  return "<" + IntToHex(plat::GetTickCount(), 8) + stamp.substr(0, 12) + IntToHex(counter, 3) +
         IntToHex(counter * 2, 3) + "@" + std::string(AHost) + ">";
}

std::string GenerateTalmerixoMessageId(std::string_view AHost) {
  uint16_t year, month, day, hour, min, sec, ms;
  DecodeDateTime(Now(), year, month, day, hour, min, sec, ms);
  const std::string tail = IntToHex(min, 3) + IntToHex(sec, 3) + IntToHex(ms, 3) + IntToHex(plat::Random(100), 5);
  return "<TALMERIXO-F" + std::to_string(year) + std::to_string(month) + std::to_string(day) +
         std::to_string(hour) + std::to_string(min) + "." + tail + "@" + std::string(AHost) + ">";
}

std::string EmailAddressToIdn(std::string_view AAddress) {
  const size_t at = AAddress.find('@');
  if (at == std::string_view::npos) return std::string(AAddress);
  return std::string(AAddress.substr(0, at + 1)) + TqvIdnTranslator::EncodeDomain(AAddress.substr(at + 1));
}
