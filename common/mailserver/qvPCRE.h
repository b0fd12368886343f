// A thin object over the classic PCRE library: compile a pattern, study it,
// run it over a subject from a start offset that advances behind each match.
// TPCRE owns its compiled pattern and study data (freed with the library's
// own routines) and belongs to one thread at a time; PcreMatch is a one-shot
// match with a temporary object, safe from any thread. Every library error
// raises EPCRE ("PCRE/compile: ...", "PCRE/study: ...", "PCRE/exec: ...").
// Every Exec runs under a match limit, so a pattern that would backtrack
// without end counts as "no match" instead of holding a worker. Subjects are
// bytes; the library sees them only up to the first NUL.
#pragma once

#include <memory>
#include <string>

#include "ClassCore.h"

struct real_pcre;  // the library's compiled pattern
struct pcre_extra;

class EPCRE : public Exception {
 public:
  using Exception::Exception;
  VX_CLASS_NAME("EPCRE")
};

class TPCRE : public TObject {
 public:
  // The offset vector: 14 captured substrings (the whole match and 13
  // groups), the last third being the library's work space.
  static constexpr int OffsetCount = 42;
  // Backtracking steps one Exec may take (and the nesting it may reach).
  static constexpr unsigned long MatchLimit = 100000;
  static constexpr unsigned long MatchLimitRecursion = 10000;

  TPCRE(bool AAutoStudy, int ACompileOptions);
  ~TPCRE() override;
  TPCRE(const TPCRE&) = delete;
  TPCRE& operator=(const TPCRE&) = delete;
  VX_CLASS_NAME("TPCRE")

  // Replaces the compiled pattern; raises "PCRE/compile: <library text>".
  // Resets StartOffset and MatchCount, and studies when AutoStudy is set.
  void Compile(const std::string& APattern);
  // Raises "PCRE/study: .Study without .Compile" before Compile, or the
  // library's study error. Study data may stay absent: that is normal.
  void Study();
  // Matches from AStartOffset (a negative value keeps StartOffset). True on
  // a match, after which StartOffset is the match's end. A null subject or a
  // missing Compile raises "PCRE/exec: ..."; a match limit hit is false.
  [[nodiscard]] bool Exec(const char* ASubject, int AStartOffset);
  [[nodiscard]] bool Exec(const std::string& ASubject, int AStartOffset) {
    return Exec(ASubject.c_str(), AStartOffset);
  }
  // Compile, then Exec from the start offset Compile left (0).
  [[nodiscard]] bool Match(const std::string& APattern, const std::string& ASubject);

  // The last library result: -1 before any match, negative for no match,
  // else the number of filled offset pairs (0: the vector was too small).
  [[nodiscard]] int MatchCount() const { return FMatchCount; }
  // Offsets()[2*i] and [2*i+1]: start and end of substring i of the match.
  [[nodiscard]] const int* Offsets() const { return FOffsets; }
  [[nodiscard]] const std::string& Subject() const { return FSubject; }
  [[nodiscard]] int SubjectLength() const { return FSubjectLength; }
  [[nodiscard]] int StartOffset() const { return FStartOffset; }
  [[nodiscard]] bool AutoStudy() const { return FAutoStudy; }
  [[nodiscard]] int CompileOptions() const { return FCompileOptions; }
  [[nodiscard]] bool Compiled() const { return FCode != nullptr; }
  [[nodiscard]] bool Studied() const { return FExtra != nullptr; }

 private:
  struct TCodeFree {
    void operator()(real_pcre* ACode) const;
  };
  struct TExtraFree {
    void operator()(pcre_extra* AExtra) const;
  };

  std::unique_ptr<real_pcre, TCodeFree> FCode;
  std::unique_ptr<pcre_extra, TExtraFree> FExtra;
  int FMatchCount = -1;
  int FOffsets[OffsetCount] = {};
  std::string FSubject;
  int FSubjectLength = 0;
  int FStartOffset = 0;
  bool FAutoStudy;
  int FCompileOptions;
  int FStudyOptions = 0;
  int FExecOptions = 0;
};

// One match of APattern (compiled with AOptions, not studied) against
// ASubject; note the subject comes first. Raises EPCRE as TPCRE does.
[[nodiscard]] bool PcreMatch(const std::string& ASubject, const std::string& APattern, int AOptions);
