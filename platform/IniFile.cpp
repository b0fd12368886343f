// Notes beyond the header: a BOM is kept on the first line and written back;
// CR or LF inside a name or value written is turned into a blank (it would
// split the line); a file larger than kMaxIniFileSize reads as unreadable; when
// the target is a symbolic link, UpdateFile replaces the link itself with a
// regular file of the linked file's mode.
#include "IniFile.h"

#include "UniqueFd.h"

#include "ClassCore.h"
#include "SysError.h"
#include "TextTrim.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <optional>
#include <random>
#include <string_view>
#include <utility>

namespace plat {
namespace {

constexpr size_t kMaxIniFileSize = 16u * 1024 * 1024;
constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr int kTempNameAttempts = 16;

// Unlinks the temporary file unless the rename took it.
class TTempFileGuard {
 public:
  TTempFileGuard() = default;
  ~TTempFileGuard() {
    if (!FName.empty()) ::unlink(FName.c_str());
  }
  TTempFileGuard(const TTempFileGuard&) = delete;
  TTempFileGuard& operator=(const TTempFileGuard&) = delete;
  void Arm(std::string name) { FName = std::move(name); }
  void Dismiss() { FName.clear(); }

 private:
  std::string FName;
};

[[noreturn]] void RaiseCode(uint32_t code) { throw EOSError(code, SysErrorMessage(code)); }
[[noreturn]] void RaiseErrno() { RaiseCode(SetLastErrorFromErrno()); }

// INI names and values lose blanks and tabs only.
std::string_view IniTrim(std::string_view s) { return TrimView(s, TTrim::BlanksAndTabs); }

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

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

// 0 when read, else the errno of the failure (ENOENT: no such file).
[[nodiscard]] int ReadWhole(const std::string& fileName, std::string& out) {
  plat::UniqueFd fd(::open(fileName.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.Valid()) return errno;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd.Get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    if (out.size() + static_cast<size_t>(n) > kMaxIniFileSize) return EFBIG;
    out.append(buf, static_cast<size_t>(n));
  }
}

void WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) RaiseErrno();
    data.remove_prefix(static_cast<size_t>(n));
  }
}

std::string RandomSuffix() {
  static thread_local std::mt19937_64 gen{std::random_device{}()};
  static constexpr char kDigits[] = "0123456789abcdef";
  uint64_t v = gen();
  std::string s;
  for (int i = 0; i < 12; ++i, v >>= 4) s += kDigits[v & 15];
  return s;
}

}  // namespace

TIniFile::TIniFile(std::string fileName) : FFileName(std::move(fileName)) {
  std::string data;
  if (int e = ReadWhole(FFileName, data); e != 0) {
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
  const std::string text = Unquote(ParseKey(FLines[i])->value);
  std::string_view s = text;
  std::string_view digits = s;
  if (digits.starts_with('+') || digits.starts_with('-')) digits.remove_prefix(1);
  if (digits.empty()) return def;
  for (char c : digits)
    if (c < '0' || c > '9') return def;
  // from_chars takes a leading '-' but not '+'.
  if (s.starts_with('+')) s.remove_prefix(1);
  int value = 0;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value, 10);
  if (ec != std::errc() || ptr != s.data() + s.size()) return def;
  return value;
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

void TIniFile::UpdateFile() {
  size_t slash = FFileName.rfind('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : FFileName.substr(0, slash));
  std::string base = slash == std::string::npos ? FFileName : FFileName.substr(slash + 1);
  if (base.empty()) RaiseCode(ERROR_INVALID_PARAMETER);
  // What could not be read would be lost by writing the lines held here.
  if (FReadError != 0) RaiseCode(FReadError);

  mode_t mode = 0600;
  bool needChown = false;
  struct stat st {};
  if (::stat(FFileName.c_str(), &st) == 0) {
    mode = OwnerOnly ? 0600 : st.st_mode & 07777;
    needChown = ::geteuid() == 0 && (st.st_uid != ::geteuid() || st.st_gid != ::getegid());
  }

  std::string content;
  for (const auto& line : FLines) {
    content += line;
    content += "\r\n";
  }

  TTempFileGuard guard;
  plat::UniqueFd fd;
  std::string tmp;
  for (int attempt = 0; attempt < kTempNameAttempts && !fd.Valid(); ++attempt) {
    tmp = dir + "/." + base + "." + std::to_string(::getpid()) + "." + RandomSuffix() + ".tmp";
    fd.Reset(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd.Valid() && errno != EEXIST) break;
  }
  if (!fd.Valid()) {
    // The file name is new, so a missing entry is the folder.
    uint32_t code = errno == ENOENT ? ERROR_PATH_NOT_FOUND : ErrnoToError(errno);
    SetLastError(code);
    RaiseCode(code);
  }
  guard.Arm(tmp);

  // Owner before mode: a change of owner may clear mode bits.
  if (needChown && ::fchown(fd.Get(), st.st_uid, st.st_gid) != 0) RaiseErrno();
  // Set explicitly: the umask must not narrow a kept mode.
  if (::fchmod(fd.Get(), mode) != 0) RaiseErrno();
  WriteAll(fd.Get(), content);
  if (::fsync(fd.Get()) != 0) RaiseErrno();
  if (fd.Close() != 0) RaiseErrno();

  if (BeforeRenameForTesting) BeforeRenameForTesting();

  if (::rename(tmp.c_str(), FFileName.c_str()) != 0) RaiseErrno();
  guard.Dismiss();
  FExists = true;

  plat::UniqueFd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dirFd.Valid()) RaiseErrno();
  // Some file systems cannot sync a folder; the rename stands either way.
  if (::fsync(dirFd.Get()) != 0 && errno != EINVAL) RaiseErrno();
}

}  // namespace plat
