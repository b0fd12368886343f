// The header field list for real mail headers: non-ASCII text is written and
// read as RFC 2047 encoded words, address fields and lists get encoded
// display names, parameters are written as quoted encoded text or as RFC 2231
// extended parameters (name*, name*0*, ...) and read back. Also the RFC 2231
// value encoder. One thread at a time. Encoding and decoding never raise to
// the caller (malformed words stay literal, unknown charsets pass bytes
// through); no Source or a maximum length below 1 raises EAssertionFailed.
// Cuts between encoded words fall between characters of the local code page,
// never inside one, and every word is kept within the given length when its
// characters allow. Text holding CR or LF is always base64-encoded.
#pragma once

#include "qvEncoder.h"
#include "qvHeaderFieldList.h"
#include "qvPercentEncoder.h"

#include <string>
#include <string_view>
#include <vector>

class TqvEmailAddressList;

// The pieces of an address list, cut at commas outside quoted strings (with
// their backslash escapes) and comments; pieces are not trimmed.
[[nodiscard]] std::vector<std::string> SplitAddresses(std::string_view AText);

// charset'language'percent-encoded-bytes. Only RFC 2231 attribute characters
// stay literal; "%", quotes, blanks and the MIME special characters are all encoded.
class TqvRfc2231HeaderEncoder : public TqvPercentEncoder {
 public:
  VX_CLASS_NAME("TqvRfc2231HeaderEncoder")
  [[nodiscard]] bool MustEncode(uint8_t AByte) const override;
  // False (charset and language empty, AValue = AText) without two apostrophes.
  virtual bool ParseValue(std::string_view AText, std::string& ACharSet, std::string& AValue,
                          std::string& ALanguage) const;
  [[nodiscard]] virtual std::string BuildValue(std::string_view AEncoded, std::string_view ACharSet,
                                               std::string_view ALanguage) const;
  // Without a charset the text comes back unchanged.
  [[nodiscard]] std::string Encode(std::string_view AText, std::string_view ACharSet, std::string_view ALanguage);
  // Without the charset'language' prefix the text comes back unchanged.
  [[nodiscard]] std::string Decode(std::string_view AText);

  std::string Language;
  std::string CharSet;
};

class TqvMailHeaderFieldList : public TqvHeaderFieldList {
 public:
  TqvMailHeaderFieldList(std::string ACharSet, int ACharsPerLine, TqvEncodeMethod AEncoding);
  VX_CLASS_NAME("TqvMailHeaderFieldList")

  [[nodiscard]] TqvCharSet GetQuoteChars() const override;
  // "subject": the raw value untrimmed; others: address-aware and trimmed,
  // with "," added after a ">" ending a fold in address fields only.
  [[nodiscard]] std::string GetTrimmedFieldValue(int AIndex) const override;

  // ---- writing ----
  void AddEncodedField(const std::string& AName, const std::string& AValue);
  void AddEncodedAddressField(const std::string& AName, const std::string& AValue);
  void AddAddressListField(const std::string& AName, const TqvEmailAddressList& AList);
  void AddParameter(const std::string& AFieldName, const std::string& AName, const std::string& AValue);
  void AddParameter(int AFieldIndex, const std::string& AName, const std::string& AValue);

  // ---- reading ----
  [[nodiscard]] std::string GetDecodedFieldValue(const std::string& AName) const;
  [[nodiscard]] std::string GetDecodedFieldValue(int AIndex) const;
  [[nodiscard]] std::string GetDecodedAddress(const std::string& AName) const;
  [[nodiscard]] std::string GetDecodedAddress(int AIndex) const;
  // Every address of the field, display names decoded; AList is cleared.
  void GetAddressList(const std::string& AName, TqvEmailAddressList& AList) const;
  void GetAddressList(int AIndex, TqvEmailAddressList& AList) const;
  // A parameter's value decoded: plain (RFC 2047) or, for a name ending in
  // "*", RFC 2231, with continuations collected.
  [[nodiscard]] std::string GetParameter(std::string_view AValue, std::string_view AName);

  // ---- building blocks ----
  // AMethod cmNone: chosen for the text and returned.
  [[nodiscard]] static std::string EncodeWord(std::string_view AText, std::string_view ACharSet,
                                              TqvEncodeMethod& AMethod);
  // Lines separated by CRLF, each one complete encoded word (or plain text).
  [[nodiscard]] static std::string EncodeHeaderText(std::string_view AText, std::string_view ACharSet,
                                                    int AMaxLength, TqvEncodeMethod AMethod);
  [[nodiscard]] static std::string DecodeEncodedWords(std::string_view AText, std::string_view ADefaultCharSet);
  [[nodiscard]] static TqvEncodeMethod MethodOfLetter(char ALetter);
  [[nodiscard]] std::string EncodeAddress(std::string_view AFullAddress, int AMaxLength) const;
  [[nodiscard]] std::string DecodeAddress(std::string_view AText) const;
  [[nodiscard]] std::string EncodeExtendedParameter(const std::string& AName, std::string_view AValue,
                                                    int AMaxLength) const;

  std::string CharSet;
  TqvEncodeMethod HeaderEncoding;
  bool ReadingExtendedParameter = false;

 private:
  // The first line joins the field line; the rest go below it with a TAB.
  void AddFieldLines(const std::string& AName, const std::string& AText);
  [[nodiscard]] int MaxLengthFor(const std::string& AName, int AReserve) const;
};
