// Notes beyond the header: a BOM is kept on the first line and written back;
// CR or LF inside a name or value written is turned into a blank (it would
// split the line); a file larger than kMaxIniFileSize reads as unreadable; when
// the target is a symbolic link, UpdateFile replaces the link itself with a
// regular file of the linked file's mode.
#include "IniFile.h"

#include "AsciiText.h"
#include "ClassCore.h"
#include "Decimal.h"
#include "FileOps.h"
#include "PlatformLimits.h"
#include "SysError.h"
#include "TextTrim.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <optional>
#include <string_view>
#include <utility>

namespace plat {
namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

[[noreturn]] void RaiseCode(uint32_t code) { throw EOSError(code, SysErrorMessage(code)); }

// INI names and values lose blanks and tabs only.
std::string_view IniTrim(std::string_view s) { return TrimView(s, TTrim::BlanksAndTabs); }

// Section and key names compare without ASCII case.
bool SameName(std::string_view a, std::string_view b) { return AsciiSameText(a, b); }

std::string_view LineText(const std::vector<std::string>& lines, size_t i) {
  std::string_view s = lines[i];
  if (i == 0 && s.starts_with(kBom)) s.remove_prefix(kBom.size());
  return s;
}

// The name of a section line, or nothing for any other line.
std::optional<std::string_view> SectionName(std::string_view line) {
  std::string_view t = IniTrim(line);
  if (!t.starts_with('[')) return std::nullopt;
  size_t close = t.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return IniTrim(t.substr(1, close - 1));
}

struct KeyLine {
  std::string_view key;
  std::string_view value;  // trimmed, quotes still on
};

// A key line: not a comment, not a section, has "=".
std::optional<KeyLine> ParseKey(std::string_view line) {
  std::string_view t = IniTrim(line);
  if (t.empty() || t.front() == ';' || t.front() == '[') return std::nullopt;
  size_t eq = t.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  return KeyLine{IniTrim(t.substr(0, eq)), IniTrim(t.substr(eq + 1))};
}

// Index of the first section line of the name, or npos.
size_t FindSection(const std::vector<std::string>& lines, std::string_view section) {
  for (size_t i = 0; i < lines.size(); ++i) {
    auto name = SectionName(LineText(lines, i));
    if (name && SameName(*name, section)) return i;
  }
  return std::string::npos;
}

// One past the last line of the section starting at sectionLine.
size_t SectionEnd(const std::vector<std::string>& lines, size_t sectionLine) {
  size_t i = sectionLine + 1;
  while (i < lines.size() && !SectionName(LineText(lines, i))) ++i;
  return i;
}

size_t FindKey(const std::vector<std::string>& lines, std::string_view section, std::string_view key) {
  size_t s = FindSection(lines, section);
  if (s == std::string::npos || key.empty()) return std::string::npos;
  size_t end = SectionEnd(lines, s);
  for (size_t i = s + 1; i < end; ++i) {
    auto kl = ParseKey(lines[i]);
    if (kl && SameName(kl->key, key)) return i;
  }
  return std::string::npos;
}

std::string Unquote(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  return std::string(v);
}

std::string OneLine(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c == '\r' || c == '\n') c = ' ';
  return r;
}

}  // namespace

TIniFile::TIniFile(std::string fileName) : FFileName(std::move(fileName)) {
  std::string data;
  if (int e = ReadSmallFile(FFileName, kMaxIniFileSize, data); e != 0) {
    // A missing file (or folder on the way) is no error: it is made on write.
    if (e != ENOENT && e != ENOTDIR) FReadError = ErrnoToError(e);
    return;
  }
  FExists = true;
  size_t pos = 0;
  while (pos < data.size()) {
    size_t nl = data.find('\n', pos);
    size_t end = nl == std::string::npos ? data.size() : nl;
    std::string line = data.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    FLines.push_back(std::move(line));
    pos = nl == std::string::npos ? data.size() : nl + 1;
  }
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& def) const {
  size_t i = FindKey(FLines, IniTrim(section), IniTrim(key));
  if (i == std::string::npos) return def;
  return Unquote(ParseKey(FLines[i])->value);
}

int TIniFile::ReadInteger(const std::string& section, const std::string& key, int def) const {
  size_t i = FindKey(FLines, IniTrim(section), IniTrim(key));
  if (i == std::string::npos) return def;
  return ParseDecimal<int>(Unquote(ParseKey(FLines[i])->value), TDecimalSign::PlusOrMinus).value_or(def);
}

bool TIniFile::SectionExists(const std::string& section) const {
  return FindSection(FLines, IniTrim(section)) != std::string::npos;
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
  return FindKey(FLines, IniTrim(section), IniTrim(key)) != std::string::npos;
}

std::vector<std::string> TIniFile::ReadSections() const {
  std::vector<std::string> names;
  for (size_t i = 0; i < FLines.size(); ++i) {
    auto name = SectionName(LineText(FLines, i));
    if (!name) continue;
    bool seen = false;
    for (const auto& n : names) seen = seen || SameName(n, *name);
    if (!seen) names.emplace_back(*name);
  }
  return names;
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  const std::string sec(IniTrim(OneLine(section)));
  const std::string k(IniTrim(OneLine(key)));
  const std::string v = OneLine(value);

  size_t existing = FindKey(FLines, sec, k);
  if (existing != std::string::npos) {
    std::string spelled(ParseKey(FLines[existing])->key);
    FLines[existing] = spelled + "=" + v;
    return;
  }
  size_t s = FindSection(FLines, sec);
  if (s == std::string::npos) {
    FLines.push_back("[" + sec + "]");
    FLines.push_back(k + "=" + v);
    return;
  }
  size_t at = s + 1;
  size_t end = SectionEnd(FLines, s);
  for (size_t i = s + 1; i < end; ++i)
    if (ParseKey(FLines[i])) at = i + 1;
  FLines.insert(FLines.begin() + static_cast<std::ptrdiff_t>(at), k + "=" + v);
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int value) {
  WriteString(section, key, std::to_string(value));
}

void TIniFile::Clear() {
  FLines.clear();
  FReadError = 0;
}

void TIniFile::UpdateFile() { (void)Save(false); }

bool TIniFile::CreateNew() { return Save(true); }

bool TIniFile::Save(bool ANoReplace) {
  const size_t slash = FFileName.rfind('/');
  if (FFileName.empty() || slash == FFileName.size() - 1) RaiseCode(ERROR_INVALID_PARAMETER);
  // What could not be read would be lost by writing the lines held here.
  if (FReadError != 0) RaiseCode(FReadError);

  TReplaceOptions options;
  options.NoReplace = ANoReplace;
  options.BeforeRename = BeforeRenameForTesting;
  struct stat st {};
  if (!ANoReplace && ::stat(FFileName.c_str(), &st) == 0) {
    options.Mode = OwnerOnly ? 0600 : st.st_mode & 07777;
    options.SetOwner = ::geteuid() == 0 && (st.st_uid != ::geteuid() || st.st_gid != ::getegid());
    options.Uid = st.st_uid;
    options.Gid = st.st_gid;
  }
  if (FixedMode != 0) options.Mode = FixedMode;

  std::string content;
  for (const auto& line : FLines) {
    content += line;
    content += "\r\n";
  }
  if (const int e = ReplaceFile(FFileName, content, options); e != 0) {
    if (ANoReplace && e == EEXIST) return false;
    // A missing entry on the way is the folder: the file name itself is new.
    const uint32_t code = e == ENOENT ? ERROR_PATH_NOT_FOUND : ErrnoToError(e);
    SetLastError(code);
    RaiseCode(code);
  }
  FExists = true;
  return true;
}

}  // namespace plat
