// The header of an Internet message held as lines in a TStrings that someone
// else owns (bound by Parse, never freed): an index from lower-case field
// names to line numbers (topmost first), the header end, folding of long
// lines, and reading and editing "name=value" items inside field values.
// Descendants replace the virtual operations. One thread at a time.
// Broken preconditions (no Source, a line or item value holding CR or LF)
// raise EAssertionFailed "Assertion failure"; bad indexes read as empty / -1
// and edit nothing. The index is stale after changes made behind its back
// until the next Parse. Reading keeps the whitespace of folds made by other
// software (RFC 5322 unfolding) and joins exactly what this list's own
// fixed-width folding cut, so both read back unchanged.
#pragma once

#include "ClassCore.h"
#include "qvWUtils.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

class TStrings;

class TqvHeaderFieldList : public TObject {
 public:
  TqvHeaderFieldList() = default;
  ~TqvHeaderFieldList() override = default;
  TqvHeaderFieldList(const TqvHeaderFieldList&) = delete;
  TqvHeaderFieldList& operator=(const TqvHeaderFieldList&) = delete;
  VX_CLASS_NAME("TqvHeaderFieldList")

  // ---- the replaceable operations ----
  [[nodiscard]] virtual TqvCharSet GetQuoteChars() const;
  [[nodiscard]] virtual TqvCharSet GetItemSeparators() const;
  [[nodiscard]] virtual TqvCharSet GetSpecialChars() const;
  [[nodiscard]] virtual TqvCharSet GetBlanks() const;
  // The raw value of field AIndex; "" outside the list.
  [[nodiscard]] virtual std::string GetFieldValue(int AIndex) const;
  // An item's raw value (quotes kept); APos is its 1-based start, ALen the
  // length of name, "=" and value; "" with 0, 0 when absent. The name also
  // matches the end of a longer name ("name" finds "filename=").
  [[nodiscard]] virtual std::string GetItemValue(std::string_view AValue, std::string_view AName, int& APos,
                                                 int& ALen) const;
  // Inserts one line (folded when AFold and CharsPerLine > 0) at AIndex,
  // clamped to ParseStart..HeaderEnd; returns the new HeaderEnd.
  virtual int InsertLine(int AIndex, const std::string& ALine, bool AFold);
  [[nodiscard]] virtual std::string RemoveItem(std::string_view AText, std::string_view AName) const;
  [[nodiscard]] virtual std::string ClearItemValue(std::string_view AText, std::string_view AName) const;
  virtual void InsertLines(int AIndex, const TStrings& AList);
  virtual void DeleteField(int AIndex);
  // Binds ASource and rebuilds the index from line AStart; returns HeaderEnd.
  virtual int Parse(int AStart, TStrings* ASource);
  [[nodiscard]] virtual std::string GetTrimmedFieldValue(int AIndex) const;
  // GetItemValue trimmed, one enclosing pair of quote characters removed.
  [[nodiscard]] virtual std::string GetItem(std::string_view AValue, std::string_view AName) const;

  // ---- reading ----
  [[nodiscard]] int GetFieldIndex(std::string_view AName) const;
  [[nodiscard]] std::string GetFieldName(int AIndex) const;
  [[nodiscard]] int GetFieldLine(int AIndex) const;
  [[nodiscard]] int GetFieldLastLine(int AIndex) const;
  void GetFieldLines(int AIndex, TStrings& AList) const;
  [[nodiscard]] std::string GetFieldValue(std::string_view AName) const;
  [[nodiscard]] int FieldCount() const { return static_cast<int>(FFields.size()); }

  // ---- adding (nothing for an empty value unless said) ----
  void AddField(const std::string& AName, const std::string& AValue);
  void AddUnfoldedField(const std::string& AName, const std::string& AValue);
  void AddFieldIfMissing(const std::string& AName, const std::string& AValue);
  // Always added.
  void AddEmptyField(const std::string& AName);
  void InsertEmptyField(int ALineIndex, const std::string& AName);
  void AddLines(const TStrings& AList);
  // One empty line after the header unless there is one.
  void AddEndOfHeader();

  // ---- items ----
  void AddFieldItem(const std::string& AFieldName, const std::string& AName, const std::string& AValue);
  void AddFieldItem(const std::string& AFieldName, const std::string& AName, bool ANewLine,
                    const std::string& AValue);
  void AddFieldItem(int AFieldIndex, const std::string& AName, const std::string& AValue);
  void AddFieldItem(int AFieldIndex, const std::string& AName, bool ANewLine, const std::string& AValue);
  void AddQuotedFieldItem(const std::string& AFieldName, const std::string& AName, bool ANewLine,
                          const std::string& AValue);
  void AddQuotedFieldItem(int AFieldIndex, const std::string& AName, bool ANewLine, const std::string& AValue);
  void AddEmptyFieldItem(const std::string& AFieldName, const std::string& AName, bool ANewLine);
  void AddEmptyFieldItem(int AFieldIndex, const std::string& AName, bool ANewLine);
  void RemoveFieldItem(const std::string& AFieldName, const std::string& AName);
  void RemoveFieldItem(int AIndex, const std::string& AName);
  void ClearFieldItemValue(int AIndex, const std::string& AName);
  void RemoveField(const std::string& AName);
  void RemoveField(int AIndex);

  // ---- state ----
  [[nodiscard]] TStrings* Source() const { return FSource; }
  [[nodiscard]] int HeaderEnd() const { return FHeaderEnd; }
  [[nodiscard]] int ParseStart() const { return FParseStart; }
  [[nodiscard]] int CharsPerLine() const { return FCharsPerLine; }
  void SetCharsPerLine(int Value) { FCharsPerLine = Value; }
  [[nodiscard]] char ItemSeparator() const { return FItemSeparator; }
  void SetItemSeparator(char Value) { FItemSeparator = Value; }

  // The pieces fixed-width folding cuts AText into at width AWidth: the first
  // line, then the continuation texts (without their prefix). A lone special
  // character left at the end joins the piece before it.
  [[nodiscard]] std::vector<std::string> FoldPieces(std::string_view AText, int AWidth) const;
  // The lines ALine folds into at width AWidth, cut only before whitespace
  // that follows a token (RFC 5322 folding): each continuation starts with
  // the blank or TAB it was cut at, so unfolding gives ALine back. A token
  // longer than the width stays whole on its line; the field name is never
  // left alone.
  [[nodiscard]] static std::vector<std::string> FoldAtWhitespace(std::string_view ALine, int AWidth);

 protected:
  // The item-adding operation behind the AddFieldItem family (any value).
  virtual void DoAddFieldItem(int AFieldIndex, const std::string& AName, bool ANewLine,
                              const std::string& AValue);
  // The field's value unfolded; AAddressAware joins a fold inside "<...>"
  // directly, AListCommas adds "," after a ">" that ends a line (for fields
  // holding address lists only).
  [[nodiscard]] std::string UnfoldValue(int AIndex, bool AAddressAware, bool AListCommas) const;
  // Inserts ALines at ALine (each with its prefix), moving HeaderEnd.
  void InsertRawLines(int ALine, const std::vector<std::string>& ALines);
  TStrings& Lines() const;
  [[nodiscard]] bool ValidIndex(int AIndex) const { return AIndex >= 0 && AIndex < FieldCount(); }
  static void AssertSingleLine(std::string_view AText);

 private:
  void EditFieldText(int AIndex, const std::string& AName, bool ARemove);
  bool IsOwnFold(const std::vector<std::string>& ALines) const;
  bool IsOwnItemFold(const std::vector<std::string>& ALines, size_t AFrom, size_t ATo) const;
  static bool IsContinuation(const std::string& ALine);

  std::vector<std::pair<std::string, int>> FFields;  // lower-case name, line
  TStrings* FSource = nullptr;
  int FHeaderEnd = 0;
  int FParseStart = 0;
  int FCharsPerLine = 0;
  char FItemSeparator = ';';
};

// A set of the characters of AChars.
[[nodiscard]] TqvCharSet MakeCharSet(std::string_view AChars);
