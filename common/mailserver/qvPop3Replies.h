// The POP3 server's fixed reply texts, and the small parsers its command
// handlers share. Internal to the server's units.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pop3reply {

// Error texts follow "-ERR ".
inline constexpr char kInvalidCommand[] = "Invalid command";
inline constexpr char kNoSuchMessage[] = "no such message";
inline constexpr char kMaildropLocked[] = "maildrop already locked";
inline constexpr char kIncorrectLogin[] = "incorrect password or account name";
inline constexpr char kAuthAborted[] = "authentication aborted";
inline constexpr char kMustStls[] = "Must issue a STLS command first";
inline constexpr char kWrongStatePrefix[] = "that command is valid only in the ";
inline constexpr char kWrongStateSuffix[] = " state!";
inline constexpr char kNotRemoved[] = "some deleted messages not removed";  // QUIT, RFC 1939 section 6
inline constexpr char kAccessDenied[] = "-ERR access denied ";  // the trailing blank is part of it

inline constexpr char kOk[] = "+OK";
inline constexpr char kSendPass[] = "+OK please send the PASS";
inline constexpr char kStartTls[] = "+OK start TLS negotiation";
inline constexpr char kNtlmGoAhead[] = "+ OK";

}  // namespace pop3reply

namespace pop3text {

// Runs of blanks and tabs separate words.
[[nodiscard]] std::vector<std::string> Words(std::string_view AText);
// A decimal integer with an optional sign, saturated to 64 bits; 0 for
// anything that is not one.
[[nodiscard]] int64_t ToNumber(std::string_view AText);

}  // namespace pop3text
