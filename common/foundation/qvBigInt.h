// Non-negative integers of any size: base-65536 digits (one per 32-bit word,
// least significant first, never a leading zero, 0 is the single digit 0),
// made from decimal text or a 64-bit integer and written as text in any radix
// 2..36. Addition, multiplication, quotient, remainder and shifts; there is
// no subtraction. A shift count is the right operand's lowest digit only.
// Values are plain copies; any thread. Errors: EConvertError for text that is
// not decimal digits or a negative integer, EDivByZero, EVariantInvalidOpError
// for an operator the type lacks, EVariantTypeCastError for a cast to a type
// other than text.
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ClassCore.h"

class EVariantInvalidOpError : public Exception {
 public:
  EVariantInvalidOpError() : Exception("Invalid variant operation") {}
  VX_CLASS_NAME("EVariantInvalidOpError")
};

class EVariantTypeCastError : public Exception {
 public:
  EVariantTypeCastError() : Exception("Invalid variant type conversion") {}
  VX_CLASS_NAME("EVariantTypeCastError")
};

enum class TBiOperator { boAdd, boSubtract, boMultiply, boDivide, boIntDivide, boModulus, boShiftLeft, boShiftRight,
                         boAnd, boOr, boXor };
enum class TBiCastType { bcString, bcWideString, bcInteger, bcInt64, bcDouble, bcBoolean };

class TqvBigInt {
 public:
  TqvBigInt() : FDigits{0} {}
  [[nodiscard]] static TqvBigInt FromString(std::string_view AText);
  [[nodiscard]] static TqvBigInt FromInt64(int64_t AValue);

  // "0" for 0; ARadix must be 2..36 (EAssertionFailed otherwise).
  [[nodiscard]] std::string ToString(int ARadix = 10) const;
  [[nodiscard]] std::u16string ToWideString() const;
  // Text casts give the decimal text; every other target raises.
  [[nodiscard]] std::string CastTo(TBiCastType AType) const;

  [[nodiscard]] static TqvBigInt BinaryOp(const TqvBigInt& ALeft, const TqvBigInt& ARight, TBiOperator AOp);
  // Quotient and remainder at once.
  static void DivMod(const TqvBigInt& ALeft, const TqvBigInt& ARight, TqvBigInt& AQuotient, TqvBigInt& ARemainder);

  friend TqvBigInt operator+(const TqvBigInt& A, const TqvBigInt& B) { return BinaryOp(A, B, TBiOperator::boAdd); }
  friend TqvBigInt operator-(const TqvBigInt& A, const TqvBigInt& B) { return BinaryOp(A, B, TBiOperator::boSubtract); }
  friend TqvBigInt operator*(const TqvBigInt& A, const TqvBigInt& B) { return BinaryOp(A, B, TBiOperator::boMultiply); }
  friend TqvBigInt operator/(const TqvBigInt& A, const TqvBigInt& B) { return BinaryOp(A, B, TBiOperator::boIntDivide); }
  friend TqvBigInt operator%(const TqvBigInt& A, const TqvBigInt& B) { return BinaryOp(A, B, TBiOperator::boModulus); }
  friend TqvBigInt operator<<(const TqvBigInt& A, const TqvBigInt& B) { return BinaryOp(A, B, TBiOperator::boShiftLeft); }
  friend TqvBigInt operator>>(const TqvBigInt& A, const TqvBigInt& B) { return BinaryOp(A, B, TBiOperator::boShiftRight); }

  [[nodiscard]] static int Compare(const TqvBigInt& A, const TqvBigInt& B);
  friend bool operator==(const TqvBigInt& A, const TqvBigInt& B) { return A.FDigits == B.FDigits; }
  friend std::strong_ordering operator<=>(const TqvBigInt& A, const TqvBigInt& B) { return Compare(A, B) <=> 0; }

  [[nodiscard]] const std::vector<uint32_t>& Digits() const { return FDigits; }
  [[nodiscard]] bool IsZero() const { return FDigits.size() == 1 && FDigits[0] == 0; }

 private:
  using Digits_t = std::vector<uint32_t>;
  explicit TqvBigInt(Digits_t ADigits);
  static void Normalize(Digits_t& A);
  static Digits_t Add(const Digits_t& A, const Digits_t& B);
  static void AddSmall(Digits_t& A, uint32_t AValue);
  static void MulSmall(Digits_t& A, uint32_t AValue);
  static Digits_t Multiply(const Digits_t& A, const Digits_t& B);
  // Short division in place; returns the remainder.
  static uint32_t DivSmall(Digits_t& A, uint32_t ADivisor);
  static void Divide(const Digits_t& A, const Digits_t& B, Digits_t& AQuot, Digits_t& ARem);
  static Digits_t ShiftLeft(const Digits_t& A, uint32_t ABits);
  static Digits_t ShiftRight(const Digits_t& A, uint32_t ABits);

  Digits_t FDigits;
};
