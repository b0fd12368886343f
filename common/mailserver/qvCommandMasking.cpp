#include "qvCommandMasking.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "AsciiText.h"
#include "qvTcpCommandServer.h"

namespace {

constexpr size_t kMaxPlausibleCommand = 12;

bool IsPlausibleCommand(const std::string& AWord) {
  if (AWord.empty() || AWord.size() > kMaxPlausibleCommand) return false;
  return std::all_of(AWord.begin(), AWord.end(),
                     [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); });
}

// Verb to masking flags of every registered table. Filled by static
// initialisers, so it is made on first use.
struct TRegistry {
  std::mutex Lock;
  std::map<std::string, TqvCommandFlags, std::less<>> Flags;
};

TRegistry& Registry() {
  static TRegistry registry;
  return registry;
}

// The first word of AParams and " ***" when more follows it (or always when
// AAlwaysMark); AParams unchanged when it holds only blanks.
std::string FirstWordShown(const std::string& AParams, bool AAlwaysMark) {
  const size_t first = AParams.find_first_not_of(' ');
  if (first == std::string::npos) return AParams;
  const size_t blank = AParams.find(' ', first);
  const bool more = blank != std::string::npos && AParams.find_first_not_of(' ', blank) != std::string::npos;
  if (!more && !AAlwaysMark) return AParams;
  return AParams.substr(first, blank == std::string::npos ? blank : blank - first) + " ***";
}

}  // namespace

void TqvCommandMasks::Register(std::string_view AVerb, TqvCommandFlags AFlags) {
  TRegistry& r = Registry();
  std::scoped_lock lock(r.Lock);
  r.Flags[std::string(AVerb)] |= static_cast<TqvCommandFlags>(AFlags & kqvMaskingFlags);
}

TqvCommandFlags RegisteredCommandFlags(std::string_view AVerb) {
  TRegistry& r = Registry();
  std::scoped_lock lock(r.Lock);
  const auto it = r.Flags.find(AVerb);
  return it == r.Flags.end() ? 0 : it->second;
}

std::string MaskedCommand(const TqvTcpCommandParams& AParams) {
  return !AParams.Unknown || IsPlausibleCommand(AParams.Command) ? AParams.Command : "***";
}

std::string MaskedResponse(const std::string& ACommand, const std::string& AResponse) {
  if (ACommand.empty() || IsPlausibleCommand(ACommand)) return AResponse;
  std::string result;
  size_t start = 0;
  while (start <= AResponse.size()) {
    size_t end = AResponse.find(' ', start);
    if (end == std::string::npos) end = AResponse.size();
    const std::string_view word(AResponse.data() + start, end - start);
    result += plat::AsciiSameText(word, ACommand) ? std::string_view("***") : word;
    if (end == AResponse.size()) break;
    result += ' ';
    start = end + 1;
  }
  return result;
}

std::string MaskedParams(const TqvTcpCommandParams& AParams) {
  const std::string& p = AParams.Params;
  if (AParams.Unknown) return {};
  const TqvCommandFlags flags = AParams.Flags ? *AParams.Flags : RegisteredCommandFlags(AParams.Command);
  // A line with no command word of its own continues its command: an
  // answer of an exchange, a literal, or the rest of a line after one.
  const bool continued = AParams.RawLine.empty();
  if (continued && (flags & cfSecretAnswers)) return "***";
  const bool secret = flags & cfSecretParams;
  if ((flags & cfSecretAfterFirstWord) && !(continued && secret)) return FirstWordShown(p, secret);
  if (secret) return p.empty() ? p : "***";
  return p;
}
