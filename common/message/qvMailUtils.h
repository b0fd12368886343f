// Unique texts the servers and the SMTP client need: message identifiers
// (Message-ID, the POP3 greeting's time stamp), the CRAM-MD5 challenge, and an
// address in its IDN form. Any thread: the message-ID counter is one atomic
// process-wide value and the challenge draws on the process's one random
// generator (plat::Random). Only EmailAddressToIdn raises (EqvIdnError).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// "<" tick(8 hex) + month..ms stamp(12) + counter(3+ hex) + 2*counter(3+ hex) "@" host ">".
[[nodiscard]] std::string GenerateMessageId(std::string_view AHost);
// "<TALMERIXO-F" year month day hour minute "." hex tail "@" host ">".
[[nodiscard]] std::string GenerateTalmerixoMessageId(std::string_view AHost);
// The local part unchanged, "@", the domain through Punycode; an address
// without "@" comes back unchanged.
[[nodiscard]] std::string EmailAddressToIdn(std::string_view AAddress);
