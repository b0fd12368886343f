// A private-profile INI file held in memory: load once, read and change, save
// once. Reading follows the rules the settings files were written for:
// sections and keys match without regard to ASCII case, the first section and
// the first key of a name win, names and values are trimmed of blanks and
// tabs, a value in a matching pair of quotes loses them, lines starting with
// ";" or without "=" are ignored, CR LF and LF are read, a UTF-8 BOM is
// skipped. Text is kept as bytes (no charset conversion).
// Writing changes the first matching key's line in place, adds a new key after
// the last key line of its section and a new section at the end, and keeps
// every other line byte for byte. Lines are ended by CR LF.
// One object is used by one thread at a time.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace plat {

class TIniFile {
 public:
  // Reads the file; a missing or unreadable file reads as empty (ReadError
  // tells the two apart).
  explicit TIniFile(std::string fileName);

  const std::string& FileName() const { return FFileName; }
  // True when the file existed when it was read.
  bool Exists() const { return FExists; }
  // The platform code of why an existing file could not be read (denied, an
  // I/O error, over the size this reader takes); 0 when it was read or is
  // missing. UpdateFile never writes over a file it could not read.
  uint32_t ReadError() const { return FReadError; }
  // The file written is readable and writable by its owner only, whatever
  // mode it had (for files that hold passwords).
  bool OwnerOnly = false;
  // When not 0, the mode of the file written, whatever it had (before
  // OwnerOnly).
  mode_t FixedMode = 0;

  // A key present with an empty value gives "", not the default.
  std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
  // Strict decimal (optional sign, digits, nothing else after trimming) that
  // fits an int; anything else, or a missing key, gives def.
  int ReadInteger(const std::string& section, const std::string& key, int def) const;
  bool SectionExists(const std::string& section) const;
  bool ValueExists(const std::string& section, const std::string& key) const;
  // Section names in file order (first of each name).
  std::vector<std::string> ReadSections() const;

  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, int value);
  // Forgets the lines read and why the file could not be read: the file
  // written next holds only what is written after.
  void Clear();

  // Writes the whole file atomically (ReplaceFile of FileOps.h). An existing
  // file's mode (and, for root, its owner) is kept; a new file gets mode
  // 0600. Raises EOSError (with the
  // platform code and text) on failure, leaving the old file whole.
  void UpdateFile();
  // Writes the file as UpdateFile does, but only when no entry of its name
  // exists: false, with that entry untouched, when one does. A new file
  // gets mode 0600 (or FixedMode).
  [[nodiscard]] bool CreateNew();

  // Test hook: runs after the temporary file is written, before the rename.
  std::function<void()> BeforeRenameForTesting;

 private:
  bool Save(bool ANoReplace);

  std::string FFileName;
  bool FExists = false;
  uint32_t FReadError = 0;
  std::vector<std::string> FLines;  // without line ends
};

}  // namespace plat
