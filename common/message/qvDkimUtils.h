// DKIM helpers: the error EqvDkimError with its fixed code table, the DKIM
// form of quoted-printable (the i=, z= and n= tags), and TqvDkimHeaderFieldList,
// the header list that reads DKIM tag-lists: tags separated by ";" only,
// matched by name only where a tag starts (never inside "bh=" or a base64
// value), no quoting, values unfolded with each line trimmed, long tags
// folded only where RFC 6376 allows whitespace; and a bottom-up walk over
// repeated fields for "h=". Stateless routines any thread; a list
// belongs to one thread and borrows the lines it reads.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ClassCore.h"
#include "CodeTable.h"
#include "qvHeaderFieldList.h"

constexpr int kDkimInvalidFormat = -10;
constexpr int kDkimInvalidParams = -11;
constexpr int kDkimInvalidAlgorithm = -12;
constexpr int kDkimBodyHashDiffers = -13;
constexpr int kDkimUnknownVersion = -14;
constexpr int kDkimKeyRequired = -15;
constexpr int kDkimSignatureExpired = -16;
constexpr int kDkimKeyRevoked = -18;
constexpr int kDkimInvalidKey = -19;

constexpr plat::TCodeText<> kDkimErrors[] = {
    {kDkimInvalidFormat, "The format of the DKIM-Signature header field is ivalid"},
    {kDkimInvalidParams, "There are errors in signature parameters"},
    {kDkimInvalidAlgorithm, "The SignatureAlgorithm is invalid"},
    {kDkimBodyHashDiffers, "Body hash values differ"},
    {kDkimUnknownVersion, "The version of the DKIM-Signature is unknown"},
    {kDkimKeyRequired, "The key is required to complete the operation"},
    {kDkimSignatureExpired, "The DKIM-Signature has expired"},
    {kDkimKeyRevoked, "The key is revoked"},
    {kDkimInvalidKey, "The publik key is invalid or has wrong parameters"},
};
[[nodiscard]] const char* DkimErrorText(int ACode);

class EqvDkimError : public Exception {
 public:
  EqvDkimError(std::string AMessage, int ACode) : Exception(std::move(AMessage)), ErrorCode(ACode) {}
  // The fixed text of ACode.
  explicit EqvDkimError(int ACode) : EqvDkimError(DkimErrorText(ACode), ACode) {}
  VX_CLASS_NAME("EqvDkimError")
  int ErrorCode;
};

// The parts of a tag value between ADelimiter characters (":" in h=, "|" in
// z=), each trimmed; empty parts are left out.
[[nodiscard]] std::vector<std::string> SplitDkimTagValue(std::string_view AValue, char ADelimiter);

class TqvDkimQuotedPrintableEncoder {
 public:
  TqvDkimQuotedPrintableEncoder() = delete;
  // Bytes outside 0x21-0x3A, 0x3C, 0x3E-0x7E become "=XX" (upper-case hex).
  [[nodiscard]] static std::string Encode(std::string_view AText);
  // "=XX" (hex in either case) gives the byte; a malformed escape stays as
  // written; an escape cut off by the end is dropped.
  [[nodiscard]] static std::string Decode(std::string_view AText);
};

class TqvDkimHeaderFieldList : public TqvHeaderFieldList {
 public:
  VX_CLASS_NAME("TqvDkimHeaderFieldList")

  [[nodiscard]] TqvCharSet GetQuoteChars() const override;
  [[nodiscard]] TqvCharSet GetItemSeparators() const override;
  // The first line after its ":" trimmed, then each continuation line
  // trimmed, joined with nothing between.
  [[nodiscard]] std::string GetFieldValue(int AIndex) const override;
  using TqvHeaderFieldList::GetFieldValue;
  // A tag is found only where one starts: at the start of the text, after
  // the field name's ":" or after ";", each followed by optional whitespace.
  [[nodiscard]] std::string GetItemValue(std::string_view AValue, std::string_view AName, int& APos,
                                         int& ALen) const override;

  // The next instance of the field going upwards from the one chosen last
  // for that name (from the bottom at first); -1 when none is left. Names
  // compare without case and without blanks before the ":".
  [[nodiscard]] int NextFieldIndex(std::string_view AName);
  void ResetInstances() { FInstances.clear(); }
  // The field's name as indexed: lower case, trailing blanks removed.
  [[nodiscard]] std::string IndexedName(int AIndex) const;

 protected:
  // Tags that do not fit the line go onto lines of their own: "b" and "bh"
  // (base64) may be cut anywhere, "h" only after a ":", the others stay whole.
  void DoAddFieldItem(int AFieldIndex, const std::string& AName, bool ANewLine, const std::string& AValue) override;

 private:
  std::vector<std::pair<std::string, int>> FInstances;
};
