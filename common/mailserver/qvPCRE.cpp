#include "qvPCRE.h"

#include <pcre.h>

#include <cstring>

void TPCRE::TCodeFree::operator()(real_pcre* ACode) const { pcre_free(ACode); }

void TPCRE::TExtraFree::operator()(pcre_extra* AExtra) const { pcre_free_study(AExtra); }

TPCRE::TPCRE(bool AAutoStudy, int ACompileOptions) : FAutoStudy(AAutoStudy), FCompileOptions(ACompileOptions) {}

TPCRE::~TPCRE() = default;

void TPCRE::Compile(const std::string& APattern) {
  FExtra.reset();
  FCode.reset();
  const char* error = nullptr;
  int errorOffset = 0;
  FCode.reset(pcre_compile(APattern.c_str(), FCompileOptions, &error, &errorOffset, nullptr));
  if (!FCode) throw EPCRE(std::string("PCRE/compile: ") + (error ? error : ""));
  FStartOffset = 0;
  FMatchCount = -1;
  if (FAutoStudy) Study();
}

void TPCRE::Study() {
  if (!FCode) throw EPCRE("PCRE/study: .Study without .Compile");
  const char* error = nullptr;
  FExtra.reset(pcre_study(FCode.get(), FStudyOptions, &error));
  if (error) {
    FExtra.reset();
    throw EPCRE(std::string("PCRE/study: ") + error);
  }
}

bool TPCRE::Exec(const char* ASubject, int AStartOffset) {
  if (!ASubject) throw EPCRE("PCRE/exec: .Exec without Subject");
  if (!FCode) throw EPCRE("PCRE/exec: .Exec without .Compile");
  FSubject = ASubject;
  FSubjectLength = static_cast<int>(FSubject.size());
  if (AStartOffset >= 0) FStartOffset = AStartOffset;
  // The limits ride on a copy of the study data, which may be absent.
  pcre_extra extra{};
  if (FExtra) extra = *FExtra;
  extra.flags |= PCRE_EXTRA_MATCH_LIMIT | PCRE_EXTRA_MATCH_LIMIT_RECURSION;
  extra.match_limit = MatchLimit;
  extra.match_limit_recursion = MatchLimitRecursion;
  FMatchCount = pcre_exec(FCode.get(), &extra, FSubject.c_str(), FSubjectLength, FStartOffset, FExecOptions,
                          FOffsets, OffsetCount);
  if (FMatchCount < 0) return false;
  FStartOffset = FOffsets[1];
  return true;
}

bool TPCRE::Match(const std::string& APattern, const std::string& ASubject) {
  Compile(APattern);
  return Exec(ASubject, -1);
}

bool PcreMatch(const std::string& ASubject, const std::string& APattern, int AOptions) {
  TPCRE re(false, AOptions);
  return re.Match(APattern, ASubject);
}
