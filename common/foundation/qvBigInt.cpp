#include "qvBigInt.h"

#include "Decimal.h"
#include <algorithm>

namespace {
constexpr uint32_t kBase = 65536;
constexpr uint32_t kMask = 0xFFFF;
constexpr const char kDigitChars[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
}  // namespace

TqvBigInt::TqvBigInt(Digits_t ADigits) : FDigits(std::move(ADigits)) { Normalize(FDigits); }

void TqvBigInt::Normalize(Digits_t& A) {
  while (A.size() > 1 && A.back() == 0) A.pop_back();
  if (A.empty()) A.push_back(0);
}

TqvBigInt TqvBigInt::FromString(std::string_view AText) {
  // Groups of four decimal digits from the left, after left-padding to the
  // next multiple of four above the length.
  std::string text(4 - AText.size() % 4, '0');
  text += AText;
  Digits_t d{0};
  for (size_t i = 0; i < text.size(); i += 4) {
    const std::optional<uint32_t> group = plat::ParseDecimal<uint32_t>(std::string_view(text).substr(i, 4));
    if (!group) throw EConvertError("'" + std::string(AText) + "' is not a valid integer value");
    MulSmall(d, 10000);
    AddSmall(d, *group);
  }
  return TqvBigInt(std::move(d));
}

TqvBigInt TqvBigInt::FromInt64(int64_t AValue) {
  if (AValue < 0) throw EConvertError("Range check error: negative values are outside the big integer type");
  Digits_t d;
  auto v = static_cast<uint64_t>(AValue);
  do {
    d.push_back(static_cast<uint32_t>(v & kMask));
    v >>= 16;
  } while (v);
  return TqvBigInt(std::move(d));
}

std::string TqvBigInt::ToString(int ARadix) const {
  Assert(ARadix >= 2 && ARadix <= 36);
  if (IsZero()) return "0";
  Digits_t d = FDigits;
  std::string out;
  while (!(d.size() == 1 && d[0] == 0)) {
    out.push_back(kDigitChars[DivSmall(d, static_cast<uint32_t>(ARadix))]);
    Normalize(d);
  }
  std::reverse(out.begin(), out.end());
  return out;
}

std::u16string TqvBigInt::ToWideString() const {
  const std::string s = ToString();
  return std::u16string(s.begin(), s.end());
}

std::string TqvBigInt::CastTo(TBiCastType AType) const {
  if (AType != TBiCastType::bcString && AType != TBiCastType::bcWideString) throw EVariantTypeCastError();
  return ToString();
}

int TqvBigInt::Compare(const TqvBigInt& A, const TqvBigInt& B) {
  if (A.FDigits.size() != B.FDigits.size()) return A.FDigits.size() < B.FDigits.size() ? -1 : 1;
  for (size_t i = A.FDigits.size(); i-- > 0;)
    if (A.FDigits[i] != B.FDigits[i]) return A.FDigits[i] < B.FDigits[i] ? -1 : 1;
  return 0;
}

TqvBigInt::Digits_t TqvBigInt::Add(const Digits_t& A, const Digits_t& B) {
  Digits_t r(std::max(A.size(), B.size()) + 1, 0);
  for (size_t i = 0; i < A.size(); ++i) r[i] += A[i];
  for (size_t i = 0; i < B.size(); ++i) r[i] += B[i];
  for (size_t i = 0; i + 1 < r.size(); ++i) {
    r[i + 1] += r[i] >> 16;
    r[i] &= kMask;
  }
  Normalize(r);
  return r;
}

void TqvBigInt::AddSmall(Digits_t& A, uint32_t AValue) {
  uint32_t carry = AValue;
  for (size_t i = 0; i < A.size() && carry; ++i) {
    const uint32_t t = A[i] + carry;
    A[i] = t & kMask;
    carry = t >> 16;
  }
  if (carry) A.push_back(carry);
}

void TqvBigInt::MulSmall(Digits_t& A, uint32_t AValue) {
  uint64_t carry = 0;
  for (uint32_t& digit : A) {
    const uint64_t t = static_cast<uint64_t>(digit) * AValue + carry;
    digit = static_cast<uint32_t>(t & kMask);
    carry = t >> 16;
  }
  while (carry) {
    A.push_back(static_cast<uint32_t>(carry & kMask));
    carry >>= 16;
  }
  Normalize(A);
}

TqvBigInt::Digits_t TqvBigInt::Multiply(const Digits_t& A, const Digits_t& B) {
  if (B.size() == 1) {
    Digits_t r = A;
    MulSmall(r, B[0]);
    return r;
  }
  Digits_t r(A.size() + B.size(), 0);
  for (size_t i = 0; i < A.size(); ++i) {
    uint64_t carry = 0;
    for (size_t j = 0; j < B.size(); ++j) {
      const uint64_t t = static_cast<uint64_t>(A[i]) * B[j] + r[i + j] + carry;
      r[i + j] = static_cast<uint32_t>(t & kMask);
      carry = t >> 16;
    }
    for (size_t k = i + B.size(); carry; ++k) {
      const uint64_t t = r[k] + carry;
      r[k] = static_cast<uint32_t>(t & kMask);
      carry = t >> 16;
    }
  }
  Normalize(r);
  return r;
}

uint32_t TqvBigInt::DivSmall(Digits_t& A, uint32_t ADivisor) {
  if (ADivisor == 0) throw EDivByZero();
  uint32_t rem = 0;
  for (size_t i = A.size(); i-- > 0;) {
    const uint32_t cur = (rem << 16) | A[i];
    A[i] = cur / ADivisor;
    rem = cur % ADivisor;
  }
  return rem;
}

void TqvBigInt::Divide(const Digits_t& A, const Digits_t& B, Digits_t& AQuot, Digits_t& ARem) {
  if (B.size() == 1 && B[0] == 0) throw EDivByZero();
  if (Compare(TqvBigInt(A), TqvBigInt(B)) < 0) {
    AQuot = {0};
    ARem = A;
    return;
  }
  if (B.size() == 1) {
    AQuot = A;
    ARem = {DivSmall(AQuot, B[0])};
    Normalize(AQuot);
    return;
  }
  // Knuth's Algorithm D: normalise so that the divisor's top digit has its
  // high bit set, estimate each quotient digit from the top two remainder
  // digits, multiply and subtract, and add back once when that borrowed.
  const size_t n = B.size(), m = A.size() - n;
  uint32_t s = 0;
  while (((B[n - 1] << s) & 0x8000) == 0) ++s;
  Digits_t vn = ShiftLeft(B, s);
  vn.resize(n, 0);
  Digits_t un = ShiftLeft(A, s);
  un.resize(A.size() + 1, 0);
  AQuot.assign(m + 1, 0);
  for (size_t j = m + 1; j-- > 0;) {
    const uint64_t num = static_cast<uint64_t>(un[j + n]) * kBase + un[j + n - 1];
    uint64_t qhat = num / vn[n - 1];
    uint64_t rhat = num % vn[n - 1];
    while (qhat >= kBase || qhat * vn[n - 2] > kBase * rhat + un[j + n - 2]) {
      --qhat;
      rhat += vn[n - 1];
      if (rhat >= kBase) break;
    }
    int64_t borrow = 0, t = 0;
    for (size_t i = 0; i < n; ++i) {
      const uint64_t p = qhat * vn[i];
      t = static_cast<int64_t>(un[i + j]) - borrow - static_cast<int64_t>(p & kMask);
      un[i + j] = static_cast<uint32_t>(t & kMask);
      borrow = static_cast<int64_t>(p >> 16) - (t >> 16);
    }
    t = static_cast<int64_t>(un[j + n]) - borrow;
    un[j + n] = static_cast<uint32_t>(t & kMask);
    if (t < 0) {
      --qhat;
      uint64_t carry = 0;
      for (size_t i = 0; i < n; ++i) {
        const uint64_t sum = static_cast<uint64_t>(un[i + j]) + vn[i] + carry;
        un[i + j] = static_cast<uint32_t>(sum & kMask);
        carry = sum >> 16;
      }
      un[j + n] = static_cast<uint32_t>((un[j + n] + carry) & kMask);
    }
    AQuot[j] = static_cast<uint32_t>(qhat);
  }
  Normalize(AQuot);
  un.resize(n);
  ARem = ShiftRight(un, s);
}

TqvBigInt::Digits_t TqvBigInt::ShiftLeft(const Digits_t& A, uint32_t ABits) {
  const uint32_t whole = ABits / 16, bits = ABits % 16;
  Digits_t r(A.size() + whole + 1, 0);
  for (size_t i = 0; i < A.size(); ++i) {
    const uint32_t v = A[i] << bits;
    r[i + whole] |= v & kMask;
    r[i + whole + 1] |= v >> 16;
  }
  Normalize(r);
  return r;
}

TqvBigInt::Digits_t TqvBigInt::ShiftRight(const Digits_t& A, uint32_t ABits) {
  const uint32_t whole = ABits / 16, bits = ABits % 16;
  // Shifting out every digit leaves 0.
  if (whole >= A.size()) return {0};
  Digits_t r(A.size() - whole, 0);
  for (size_t i = 0; i < r.size(); ++i) {
    const uint32_t hi = i + whole + 1 < A.size() ? A[i + whole + 1] : 0;
    r[i] = ((A[i + whole] | (hi << 16)) >> bits) & kMask;
  }
  Normalize(r);
  return r;
}

void TqvBigInt::DivMod(const TqvBigInt& ALeft, const TqvBigInt& ARight, TqvBigInt& AQuotient,
                       TqvBigInt& ARemainder) {
  Digits_t q, r;
  Divide(ALeft.FDigits, ARight.FDigits, q, r);
  AQuotient = TqvBigInt(std::move(q));
  ARemainder = TqvBigInt(std::move(r));
}

TqvBigInt TqvBigInt::BinaryOp(const TqvBigInt& ALeft, const TqvBigInt& ARight, TBiOperator AOp) {
  TqvBigInt q, r;
  switch (AOp) {
    case TBiOperator::boAdd: return TqvBigInt(Add(ALeft.FDigits, ARight.FDigits));
    case TBiOperator::boMultiply: return TqvBigInt(Multiply(ALeft.FDigits, ARight.FDigits));
    case TBiOperator::boDivide:
    case TBiOperator::boIntDivide: DivMod(ALeft, ARight, q, r); return q;
    case TBiOperator::boModulus: DivMod(ALeft, ARight, q, r); return r;
    case TBiOperator::boShiftLeft: return TqvBigInt(ShiftLeft(ALeft.FDigits, ARight.FDigits[0]));
    case TBiOperator::boShiftRight: return TqvBigInt(ShiftRight(ALeft.FDigits, ARight.FDigits[0]));
    default: throw EVariantInvalidOpError();
  }
}
