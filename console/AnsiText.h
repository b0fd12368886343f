// The code page 936 edge of the console: account texts are stored as ANSI
// code page bytes (settings.ini) and shown as Unicode. Decoding replaces what
// does not convert with "?", so shown text alone cannot restore odd bytes:
// KeepOrEncode keeps the stored bytes whenever the shown text still equals
// their decoded form, and only encodes text the user really changed
// (characters the code page lacks become "?"). Pure functions, any thread.
#pragma once

#include <QString>
#include <string>

namespace vxconsole {

[[nodiscard]] QString FromAnsi(const std::string& Bytes);
[[nodiscard]] std::string ToAnsi(const QString& Text);
// Bytes to store for Text when Stored is what the field held before.
[[nodiscard]] std::string KeepOrEncode(const std::string& Stored, const QString& Text);

}  // namespace vxconsole
