#include "qvLogger.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>

#include "FileOps.h"
#include "ProgramPath.h"
#include "UniqueFd.h"

namespace {

// The instance slot. Its lock is constant-initialised, so it is usable from
// any static constructor; the slot's destructor ends logging for good.
constinit std::mutex gInstanceLock;

struct InstanceSlot {
  TqvLogger* current = nullptr;
  std::unique_ptr<TqvLogger> owned;
  bool finalised = false;
  ~InstanceSlot() {
    std::unique_ptr<TqvLogger> doomed;
    {
      std::scoped_lock lock(gInstanceLock);
      finalised = true;
      current = nullptr;
      doomed = std::move(owned);
    }
  }
};
InstanceSlot gSlot;

std::string TimeStampNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm t{};
  localtime_r(&ts.tv_sec, &t);
  char buf[40];
  snprintf(buf, sizeof buf, "%02d-%02d-%04d:%02d-%02d-%02d-%03d", t.tm_mday, t.tm_mon + 1, t.tm_year + 1900, t.tm_hour,
           t.tm_min, t.tm_sec, static_cast<int>(ts.tv_nsec / 1000000));
  return buf;
}

// Restores errno on every path out of a logging call.
class ErrnoKeeper {
 public:
  ErrnoKeeper() : FSaved(errno) {}
  ~ErrnoKeeper() { errno = FSaved; }
  ErrnoKeeper(const ErrnoKeeper&) = delete;
  ErrnoKeeper& operator=(const ErrnoKeeper&) = delete;

 private:
  int FSaved;
};

}  // namespace

TqvLogger::TqvLogger()
    : FFileName(plat::ProgramFolder() + "quorvincomponents.log"),
      FHeader(std::string("Log started, build ") + VXMAIL_VERSION_TEXT) {}

TqvLogger::~TqvLogger() {
  std::scoped_lock lock(gInstanceLock);
  if (gSlot.current == this) {
    gSlot.current = nullptr;
    // Being destroyed already: the slot must not free it again.
    if (gSlot.owned.get() == this) static_cast<void>(gSlot.owned.release());
  }
}

TqvLogger* TqvLogger::AccessInstance(int Request) {
  std::scoped_lock lock(gInstanceLock);
  switch (Request) {
    case 0:
      return gSlot.current;
    case 1:
      if (!gSlot.current && !gSlot.finalised) {
        gSlot.owned = std::make_unique<TqvLogger>();
        gSlot.current = gSlot.owned.get();
      }
      return gSlot.current;
    case 2:
      if (gSlot.owned.get() == gSlot.current) static_cast<void>(gSlot.owned.release());
      gSlot.current = nullptr;
      return nullptr;
    default:
      throw Exception("Illegal request " + std::to_string(Request) + " in AccessInstance");
  }
}

void TqvLogger::SetLogFile(const std::string& FileName) {
  std::scoped_lock lock(FLock);
  FFileName = FileName;
}

std::string TqvLogger::LogFile() {
  std::scoped_lock lock(FLock);
  return FFileName;
}

std::string FormatLogEntry(const std::string& TimeStamp, long ThreadId, const TObject* Sender, int Level,
                           const std::exception* E, const std::string& Text) {
  static const char kLevels[] = {'>', '<', '='};
  std::string line;
  line.reserve(TimeStamp.size() + Text.size() + 64);
  line += TimeStamp;
  line += ' ';
  line += Sender ? Sender->ClassName() : "0";
  line += ' ';
  line += std::to_string(ThreadId);
  line += ':';
  line += std::to_string(reinterpret_cast<intptr_t>(Sender));
  line += ' ';
  line += (Level >= 0 && Level <= 2) ? kLevels[Level] : '?';
  line += ' ';
  line += Text;
  line += ' ';
  if (E) {
    if (auto* obj = dynamic_cast<const TObject*>(E)) {
      line += obj->ClassName();
    } else {
      line += "Exception";
    }
    line += ": ";
    line += E->what();
  }
  line += "\r\n";
  return line;
}

void TqvLogger::WriteEntry(const TObject* Sender, int Level, const std::exception* E, const std::string& Text) {
  ErrnoKeeper keep;
  // The thread's id, asked for once per thread.
  thread_local const long tThreadId = plat::CurrentThreadId();
  std::string line;
  try {
    // Formatted before the lock is taken: writers wait only for each other's I/O.
    line = FormatLogEntry(TimeStampNow(), tThreadId, Sender, Level, E, Text);
  } catch (...) {
    return;  // out of memory: the entry is lost, the caller goes on
  }
  std::scoped_lock lock(FLock);
  if (!FHeaderWritten && !FHeader.empty()) {
    FHeaderWritten = true;
    // The header and the first entry go to the file together.
    try {
      line.insert(0, FHeader + "\r\n");
    } catch (...) {
      return;
    }
  }
  AppendToFile(FFileName, line);
}

void TqvLogger::AppendToFile(const std::string& FileName, const std::string& Text) {
  ErrnoKeeper keep;
  std::scoped_lock lock(FLock);
  // Opened as it is, created only when missing: an open that may create
  // locks the whole folder in the kernel. Losing a race to create it, the
  // file is opened as the other writer made it.
  plat::UniqueFd file(::open(FileName.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
  if (!file && errno == ENOENT) {
    file.Reset(::open(FileName.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!file && errno == EEXIST) file.Reset(::open(FileName.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
  }
  if (!file) return;
  (void)plat::WriteAll(file.Get(), Text);  // a log line that cannot be written is dropped
}

std::string EscapeLogText(std::string_view AText) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(AText.size());
  for (char ch : AText) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c < 0x20 && c != '\t') || c == 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    } else {
      out += ch;
    }
  }
  return out;
}

void LogMessage(const TObject* Sender, int Level, const std::string& Text) {
  if (TqvLogger* logger = TqvLogger::Instance()) logger->WriteEntry(Sender, Level, nullptr, Text);
}

void LogException(const TObject* Sender, int Level, const std::string& Text, const std::exception* E) {
  if (TqvLogger* logger = TqvLogger::Instance()) logger->WriteEntry(Sender, Level, E, Text);
}
