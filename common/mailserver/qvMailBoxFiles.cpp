#include "qvMailBoxFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "AsciiText.h"
#include "CodePage.h"
#include "FileOps.h"
#include "Streams.h"
#include "StringList.h"
#include "UniqueFd.h"
#include "qvMailStoreUtils.h"
#include "qvTranslator.h"
#include "qvStringsUtils.h"

namespace {

// Folded order first; names equal under the fold in byte order.
bool LessFolded(const std::string& a, const std::string& b) {
  const int folded = plat::AsciiCompareText(a, b);
  return folded != 0 ? folded < 0 : a < b;
}

// AName is resolved in AFolderFd; AFileName names the file in errors.
// ASize gets the file's size.
plat::UniqueFd OpenMailFileAt(int AFolderFd, const std::string& AName, const std::string& AFileName,
                              int64_t& ASize) {
  plat::UniqueFd fd(::openat(AFolderFd, AName.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd) throw EFOpenError("Cannot open file \"" + AFileName + "\". " + std::strerror(errno));
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))
    throw EFOpenError("Cannot open file \"" + AFileName + "\". Not a regular file");
  ASize = st.st_size;
  return fd;
}

// A message file read from its descriptor; writing is refused. A placed
// message file never changes, so its size is the one seen at the opening
// and the position is kept here: neither costs a system call.
class TMailFileStream : public TStream {
 public:
  TMailFileStream(plat::UniqueFd AFd, int64_t ASize) : FFd(std::move(AFd)), FSize(ASize) {}
  VX_CLASS_NAME("TMailFileStream")

  [[nodiscard]] int64_t Read(void* Buffer, int64_t Count) override {
    for (;;) {
      const ssize_t n = ::read(FFd.Get(), Buffer, static_cast<size_t>(std::max<int64_t>(Count, 0)));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return 0;
      FPosition += n;
      return n;
    }
  }
  [[nodiscard]] int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override {
    const int64_t at = Origin == soFromBeginning ? Offset : Origin == soFromCurrent ? FPosition + Offset : FSize + Offset;
    if (at < 0) throw EStreamError("Stream seek error");
    if (at != FPosition) {
      if (::lseek(FFd.Get(), at, SEEK_SET) < 0) throw EStreamError("Stream seek error");
      FPosition = at;
    }
    return FPosition;
  }
  int64_t Size() override { return FSize; }

 private:
  plat::UniqueFd FFd;
  int64_t FSize;
  int64_t FPosition = 0;
};

void LoadMailFileAt(int AFolderFd, const std::string& AName, const std::string& AFileName, TStrings& ALines) {
  ALines.Clear();
  int64_t size = 0;
  const plat::UniqueFd fd = OpenMailFileAt(AFolderFd, AName, AFileName, size);
  TByteBlock data;
  data.Reserve(static_cast<size_t>(size));
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd.Get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw EReadError();
    if (n == 0) break;
    data.Append(std::string_view(buf, static_cast<size_t>(n)));
  }
  if (auto* block = dynamic_cast<TBlockStringList*>(&ALines)) {
    // The loader's rule without its copies: NUL bytes as blanks, then lines.
    std::replace(data.Data(), data.Data() + data.Size(), '\0', ' ');
    block->AssignText(std::move(data));
    return;
  }
  TStringStream stream{std::string(data.View())};
  LoadStringsFromStream(stream, ALines);
}

}  // namespace

bool IsSafeMailBoxUserName(std::string_view AUserName) {
  if (AUserName.empty() || AUserName == "." || AUserName == "..") return false;
  for (char ch : AUserName) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F || c == '/' || c == '\\') return false;
  }
  return true;
}

bool IsSafeMailBoxName(std::string_view AName, char ASeparator) {
  size_t start = 0;
  for (;;) {
    const size_t end = AName.find(ASeparator, start);
    if (!IsSafeMailBoxUserName(AName.substr(start, end == std::string_view::npos ? end : end - start)))
      return false;
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

std::string MailBoxFolderName(std::string_view AUserName) {
  // Only control bytes are tested before the conversion: in code page 936
  // the second byte of many characters is 0x5C, which is no "\\" there.
  if (AUserName.empty()) return {};
  for (char ch : AUserName) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) return {};
  }
  const std::u16string wide = plat::CodePageToWideString(AUserName, plat::CP_ACP);
  // A name with bytes the code page cannot read would share a folder with
  // another name whose bytes came out as the same "?".
  if (plat::WideStringToCodePage(wide, plat::CP_ACP) != AUserName) return {};
  std::string utf8 = WideStringToUtf8(wide);
  return IsSafeMailBoxUserName(utf8) ? utf8 : std::string();
}

bool MailFileNameLess(const std::string& A, const std::string& B) { return LessFolded(A, B); }

std::vector<TqvMailFileEntry> ListMailFiles(const std::string& AFolder, std::string_view AExtension) {
  plat::UniqueFd dirFd(::open(AFolder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dirFd) return {};
  return ListMailFiles(TqvStoreFolder(std::move(dirFd), AFolder), AExtension);
}

std::vector<TqvMailFileEntry> ListMailFiles(const TqvStoreFolder& AFolder, std::string_view AExtension) {
  std::vector<TqvMailFileEntry> result;
  plat::TDirStream dir(AFolder.Fd());
  while (const dirent* e = dir.Next()) {
    const std::string name = e->d_name;
    if (!plat::AsciiEndsWith(name, AExtension)) continue;
    struct stat st {};
    if (::fstatat(AFolder.Fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(st.st_mode)) continue;
    result.push_back({name, static_cast<int64_t>(st.st_size)});
  }
  std::sort(result.begin(), result.end(),
            [](const TqvMailFileEntry& a, const TqvMailFileEntry& b) { return LessFolded(a.Name, b.Name); });
  return result;
}

std::vector<std::string> ListMailSubFolders(const std::string& AFolder) {
  std::vector<std::string> result;
  plat::UniqueFd dirFd(::open(AFolder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dirFd) return result;
  plat::TDirStream dir(dirFd.Get());
  while (const dirent* e = dir.Next()) {
    const std::string name = e->d_name;
    struct stat st {};
    if (::fstatat(dirFd.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) result.push_back(name);
  }
  std::sort(result.begin(), result.end(), LessFolded);
  return result;
}

void LoadMailFile(const std::string& AFileName, TStrings& ALines) {
  LoadMailFileAt(AT_FDCWD, AFileName, AFileName, ALines);
}

void LoadMailFile(const TqvStoreFolder& AFolder, const std::string& AName, TStrings& ALines) {
  LoadMailFileAt(AFolder.Fd(), AName, AFolder.Path() + AName, ALines);
}

std::unique_ptr<TStream> OpenMailFile(const TqvStoreFolder& AFolder, const std::string& AName) {
  int64_t size = 0;
  plat::UniqueFd fd = OpenMailFileAt(AFolder.Fd(), AName, AFolder.Path() + AName, size);
  return std::make_unique<TMailFileStream>(std::move(fd), size);
}
