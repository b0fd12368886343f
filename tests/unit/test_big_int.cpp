// Big integers: text round trips, ordering, shifts, errors, and products,
// quotients and remainders checked against Python's integers.
#include <gtest/gtest.h>

#include <sstream>

#include "PythonOracle.h"
#include "qvBigInt.h"

namespace {
TqvBigInt Big(const char* s) { return TqvBigInt::FromString(s); }
}  // namespace

TEST(BigInt, TextRoundTripsAndOrdering) {
  const TqvBigInt x = Big("123456789012345678901234567890");
  EXPECT_EQ(x.ToString(), "123456789012345678901234567890");
  EXPECT_EQ((x * x) / x, x);
  EXPECT_TRUE(((x * x) % x).IsZero());
  EXPECT_EQ(Big("0000").ToString(), "0");
  EXPECT_EQ(Big("").ToString(), "0");
  EXPECT_EQ(Big("65536").ToString(16), "10000");
  EXPECT_EQ(TqvBigInt::FromInt64(INT64_MAX).ToString(), "9223372036854775807");
  EXPECT_EQ(Big("35").ToString(36), "Z");
  EXPECT_LT(Big("65536"), Big("131071"));
  EXPECT_GT(Big("131071"), Big("65536"));
  EXPECT_EQ(TqvBigInt::Compare(Big("70000"), TqvBigInt::FromInt64(70000)), 0);
  EXPECT_EQ(Big("42").CastTo(TBiCastType::bcWideString), "42");
}

TEST(BigInt, ShiftsUseTheLowestDigitAndEmptyToZero) {
  const TqvBigInt one = Big("1"), hundred = Big("100");
  EXPECT_EQ(((one << hundred) >> hundred), one);
  EXPECT_EQ((one << hundred).ToString(), "1267650600228229401496703205376");
  EXPECT_TRUE((one >> hundred).IsZero());
  EXPECT_TRUE((Big("123456789123456789") >> Big("64")).IsZero());
  // 65537 has the lowest digit 1.
  EXPECT_EQ((one << Big("65537")).ToString(), "2");
}

TEST(BigInt, BadInputAndMissingOperatorsRaise) {
  EXPECT_THROW((void)Big("12a"), EConvertError);
  EXPECT_THROW((void)Big("-1"), EConvertError);
  EXPECT_THROW((void)TqvBigInt::FromInt64(-5), EConvertError);
  EXPECT_THROW((void)(Big("5") / Big("0")), EDivByZero);
  EXPECT_THROW((void)(Big("123456789123456789") % Big("0")), EDivByZero);
  EXPECT_THROW((void)(Big("5") - Big("1")), EVariantInvalidOpError);
  EXPECT_THROW((void)TqvBigInt::BinaryOp(Big("5"), Big("1"), TBiOperator::boXor), EVariantInvalidOpError);
  EXPECT_THROW((void)Big("5").CastTo(TBiCastType::bcInt64), EVariantTypeCastError);
}

TEST(BigInt, ArithmeticMatchesPythonIntegers) {
  // Random operands of 1 to 300 digits, fixed seed; divisors of one to many
  // 16-bit digits, also with a top digit that needs normalising.
  const std::string lines = testsupport::RunPython(R"(
import random, sys
r = random.Random(20261209)
out = []
for i in range(300):
    a = r.randrange(10 ** r.randint(1, 300))
    b = r.randrange(1, 10 ** r.randint(1, 300))
    if i % 3 == 0:
        b = r.randrange(1, 65536)
    elif i % 3 == 1 and b > 1:
        a = a * b + r.randrange(b)
    out.append("%d %d %d %d %d %d" % (a, b, a + b, a * b, a // b, a % b))
open(sys.argv[2], "w").write("\n".join(out) + "\n")
)",
                                                   "");
  ASSERT_NE(lines, "<failed>");
  std::istringstream in(lines);
  std::string a, b, sum, product, quotient, remainder;
  int count = 0;
  while (in >> a >> b >> sum >> product >> quotient >> remainder) {
    const TqvBigInt x = TqvBigInt::FromString(a), y = TqvBigInt::FromString(b);
    ASSERT_EQ((x + y).ToString(), sum) << a << " + " << b;
    ASSERT_EQ((x * y).ToString(), product) << a << " * " << b;
    ASSERT_EQ((x / y).ToString(), quotient) << a << " / " << b;
    ASSERT_EQ((x % y).ToString(), remainder) << a << " % " << b;
    ++count;
  }
  EXPECT_EQ(count, 300);
}
