#include "AnsiText.h"

#include "CodePage.h"

namespace vxconsole {

QString FromAnsi(const std::string& Bytes) {
  return QString::fromStdU16String(plat::CodePageToWideString(Bytes, plat::CP_ACP));
}

std::string ToAnsi(const QString& Text) {
  return plat::WideStringToCodePage(Text.toStdU16String(), plat::CP_ACP);
}

std::string KeepOrEncode(const std::string& Stored, const QString& Text) {
  if (FromAnsi(Stored) == Text) return Stored;
  return ToAnsi(Text);
}

}  // namespace vxconsole
