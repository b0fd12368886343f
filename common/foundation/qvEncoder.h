// The transfer encoder: quoted-printable, base64 and uuencode both ways, plus
// pass-through for unencoded and 8-bit data, over streams, strings and byte
// arrays; and a proposal of an encoding for given content. Source streams are
// read from their position to their end, destinations written at theirs. One
// thread uses an encoder at a time; the static helpers make their own.
// Raises EqvEncoderError (-1 unsupported method, -2 bad base64 symbol under
// epStop) and whatever the streams raise; empty input gives empty output.
// Traps: uuencode lines never carry more than 63 bytes (the most one length
// character can say), so even SuppressCrlf breaks longer input into lines;
// quoted-printable always encodes a blank that would end a line.
#pragma once

#include "ClassCore.h"
#include "CodeTable.h"

#include <cstdint>
#include <string>
#include <string_view>

class TStream;

enum TqvEncodeMethod { cmNone = 0, cmQuotedPrintable = 1, cmBase64 = 2, cmUUEncode = 3, cm8Bit = 4 };
enum TqvEncodeErrorProcessing { epStop = 0, epContinue = 1 };

// Codes and fixed texts of the encoder's errors.
constexpr int kEncoderUnsupportedFormat = -1;
constexpr int kEncoderWrongSymbols = -2;
constexpr plat::TCodeText<> kEncoderErrors[] = {
    {kEncoderUnsupportedFormat, "Unsupported format."},
    {kEncoderWrongSymbols, "Wrong symbols in source stream."},
};
[[nodiscard]] const char* EncoderErrorText(int ACode);

class EqvEncoderError : public Exception {
 public:
  EqvEncoderError(std::string AMessage, int ACode) : Exception(std::move(AMessage)), ErrorCode(ACode) {}
  // The fixed text of ACode.
  explicit EqvEncoderError(int ACode) : EqvEncoderError(EncoderErrorText(ACode), ACode) {}
  VX_CLASS_NAME("EqvEncoderError")
  int ErrorCode;
};

// The most bytes one uuencoded line can hold.
constexpr int kUUMaxLineBytes = 63;

class TqvEncoder : public TComponent {
 public:
  explicit TqvEncoder(TComponent* AOwner = nullptr);
  VX_CLASS_NAME("TqvEncoder")

  int CharsPerLine() const { return FCharsPerLine; }
  void SetCharsPerLine(int Value);
  TqvEncodeMethod EncodeMethod() const { return FEncodeMethod; }
  void SetEncodeMethod(TqvEncodeMethod Value);
  bool SuppressCrlf() const { return FSuppressCrlf; }
  void SetSuppressCrlf(bool Value);
  int BatchSize() const { return FBatchSize; }
  void SetBatchSize(int Value);
  bool AllowESC() const { return FAllowESC; }
  void SetAllowESC(bool Value);
  const std::string& CharSet() const { return FCharSet; }
  void SetCharSet(const std::string& Value);
  TqvEncodeErrorProcessing ErrorProcessing() const { return FErrorProcessing; }
  void SetErrorProcessing(TqvEncodeErrorProcessing Value);
  TqvProgressEvent OnProgress;

  void Encode(TStream& ASource, TStream& ADest);
  void Decode(TStream& ASource, TStream& ADest);

  // Text -> bytes in CharSet -> encoded text.
  [[nodiscard]] std::string EncodeString(std::string_view AText);
  [[nodiscard]] std::string EncodeStreamToString(TStream& AStream);
  [[nodiscard]] std::string EncodeBytes(const TBytes& ABytes);
  // AIndex/ACount clipped to the array.
  [[nodiscard]] std::string EncodeBytes(const TBytes& ABytes, int AIndex, int ACount);
  // Text (taken as bytes in CharSet) decoded into ADest / into bytes / into text in CharSet.
  void DecodeToStream(std::string_view AText, TStream& ADest);
  [[nodiscard]] TBytes DecodeToBytes(std::string_view AText);
  [[nodiscard]] std::string DecodeString(std::string_view AText);

  // cmNone, cmQuotedPrintable or cmBase64 for the rest of AStream; the
  // position is put back.
  [[nodiscard]] TqvEncodeMethod GetPreferredEncoding(TStream& AStream) const;
  [[nodiscard]] TqvEncodeMethod GetPreferredEncoding(const TBytes& ABytes) const;
  // The line length the current method really uses.
  [[nodiscard]] int GetLineLength() const;

  // One-shot helpers with default properties and the given method.
  [[nodiscard]] static std::string EncodeBytesToLine(const TBytes& ABytes, TqvEncodeMethod AMethod);
  [[nodiscard]] static std::string EncodeBytesToText(const TBytes& ABytes, TqvEncodeMethod AMethod);
  [[nodiscard]] static std::string EncodeStreamToLine(TStream& AStream, TqvEncodeMethod AMethod);
  [[nodiscard]] static std::string EncodeTextToLine(std::string_view AText, TqvEncodeMethod AMethod);
  [[nodiscard]] static std::string DecodeText(std::string_view AText, TqvEncodeMethod AMethod);
  static void DecodeTextToStream(std::string_view AText, TStream& ADest, TqvEncodeMethod AMethod);
  [[nodiscard]] static TBytes DecodeTextToBytes(std::string_view AText, TqvEncodeMethod AMethod);

 protected:
  virtual void DoProgress(int64_t ABytesProceed, int64_t ATotalBytes);

 private:
  std::string EncodeBase64(std::string_view AIn);
  void DecodeBase64(TStream& ASource, TStream& ADest, int64_t ATotal);
  std::string EncodeQP(std::string_view AIn);
  std::string DecodeQP(std::string_view AIn);
  std::string EncodeUU(std::string_view AIn);
  std::string DecodeUU(std::string_view AIn);

  int FCharsPerLine = 76;
  TqvEncodeMethod FEncodeMethod = cmBase64;
  bool FSuppressCrlf = false;
  int FBatchSize = 8192;
  bool FAllowESC = false;
  std::string FCharSet;
  TqvEncodeErrorProcessing FErrorProcessing = epStop;
  bool FStopped = false;
};
