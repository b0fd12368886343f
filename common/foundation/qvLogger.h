// The process-wide logger: one text line per entry, appended to one file.
// Each entry opens, appends and closes the file under the instance's lock, so
// lines of concurrent writers never interleave and other programs may move or
// delete the file between entries. Every file error is swallowed (the entry is
// lost) and errno is the same after a call as before; only a bad AccessInstance
// request raises. Any thread may log. After program end the instance is gone
// and logging does nothing.
// Line: "dd-mm-yyyy:hh-nn-ss-zzz <Class|0> <tid>:<ref> <level> <text> \r\n",
// or "... <text> <EClass>: <message>\r\n" with an exception. Text is bytes.
#pragma once

#include <exception>
#include <mutex>
#include <string>
#include <string_view>

#include "ClassCore.h"
#include "Synchronization.h"

class TqvLogger : public TObject {
 public:
  VX_CLASS_NAME("TqvLogger")
  // Log file: the program folder + "quorvincomponents.log" until SetLogFile.
  TqvLogger();
  // Forgets the instance if this is it.
  ~TqvLogger() override;
  TqvLogger(const TqvLogger&) = delete;
  TqvLogger& operator=(const TqvLogger&) = delete;

  // 0: the current instance (nullptr if none); 1: created if none; 2: forgets
  // it (the caller then owns it) and returns nullptr. Else raises Exception
  // "Illegal request %d in AccessInstance". After program end: nullptr.
  static TqvLogger* AccessInstance(int Request);
  static TqvLogger* Instance() { return AccessInstance(1); }

  // The header goes once per instance, to whichever file takes the first entry.
  void SetLogFile(const std::string& FileName);
  std::string LogFile();
  const std::string& Header() const { return FHeader; }

  // Level 0 ">", 1 "<", 2 "=" (anything else "?"). E may be null.
  void WriteEntry(const TObject* Sender, int Level, const std::exception* E, const std::string& Text);
  void WriteMessage(const TObject* Sender, int Level, const std::string& Text) {
    WriteEntry(Sender, Level, nullptr, Text);
  }
  // Appends Text to the file, creating it with mode 0600; errors are silent.
  void AppendToFile(const std::string& FileName, const std::string& Text);

 private:
  // Held only for the file's open, write and close: a spinning wait is
  // cheaper than a sleep and a wake-up for each of many short entries.
  plat::TCriticalSection FLock;
  std::string FFileName;
  std::string FHeader;
  bool FHeaderWritten = false;
};

void LogMessage(const TObject* Sender, int Level, const std::string& Text);
void LogException(const TObject* Sender, int Level, const std::string& Text, const std::exception* E);

// Text from a peer as a log line may hold it: bytes below 0x20 other than
// TAB, and 0x7F, become "\xHH" (upper-case hex), so that viewing the log
// never runs a terminal's control sequences. Other bytes stay as they are.
[[nodiscard]] std::string EscapeLogText(std::string_view AText);

// The entry as written, for a given time stamp text and thread id.
std::string FormatLogEntry(const std::string& TimeStamp, long ThreadId, const TObject* Sender, int Level,
                           const std::exception* E, const std::string& Text);
