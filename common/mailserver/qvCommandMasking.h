// What a log may show of a received command, and the flags a protocol's
// command table gives each command for it (and for the dispatcher's checks).
// The line-command server sets a command's flags on its parameters before the
// receive event fires; a line that no server dispatched is masked by the
// flags the command tables registered for its word (TqvCommandMasks), the
// strictest where tables differ. The registry is filled before main and only
// read afterwards: any thread may call these functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class TqvTcpCommandParams;

// What the dispatcher does for a command besides running it.
using TqvCommandFlags = uint8_t;
enum TqvCommandFlag : TqvCommandFlags {
  // Refused while the server requires TLS and the connection has none yet.
  cfNeedsTls = 1u << 0,
  // The parameters show as "***" (none stay none).
  cfSecretParams = 1u << 1,
  // The first word of the parameters shows and what follows it as "***".
  // With cfSecretParams " ***" follows the first word even when nothing
  // else does, and the rest of the line after a literal shows as "***".
  cfSecretAfterFirstWord = 1u << 2,
  // The client's answers in the command's exchange (lines with no command
  // word of their own) show as "***", even an empty one.
  cfSecretAnswers = 1u << 3,
};
constexpr TqvCommandFlags kqvMaskingFlags = cfSecretParams | cfSecretAfterFirstWord | cfSecretAnswers;

// Makes the masking of a command table known for lines no server dispatched:
// one namespace-scope object beside each table.
class TqvCommandMasks {
 public:
  template <class TEntry, size_t N>
  explicit TqvCommandMasks(const TEntry (&ATable)[N]) {
    for (const TEntry& e : ATable) Register(e.Verb, e.Flags);
  }

 private:
  static void Register(std::string_view AVerb, TqvCommandFlags AFlags);
};

// The masking flags registered for AVerb (all tables together); 0 for none.
[[nodiscard]] TqvCommandFlags RegisteredCommandFlags(std::string_view AVerb);

// What a log may show of a received command's parameters, by its flags:
// nothing for an unknown command (it may be a credential sent where no
// exchange expected it); everything unchanged where no flag masks.
[[nodiscard]] std::string MaskedParams(const TqvTcpCommandParams& AParams);
// What a log may show of the command word: an unknown word only when it
// looks like one (letters only, up to 12), else "***".
[[nodiscard]] std::string MaskedCommand(const TqvTcpCommandParams& AParams);
// A reply to ACommand as a log may show it: where the command word is no
// plausible one, every blank-delimited copy of it in the reply is "***".
[[nodiscard]] std::string MaskedResponse(const std::string& ACommand, const std::string& AResponse);
