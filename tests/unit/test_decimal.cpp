// The one decimal parser, and the rules readers add on top of it: a reader
// that trims, saturates or takes a prefix must keep doing exactly that.
#include "Decimal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "dmVxMailServersSettingsU.h"
#include "qvMailDate.h"
#include "qvPop3Replies.h"

namespace {

using plat::ParseDecimal;
using plat::TDecimalSign;

TEST(Decimal, WholeTextOrNothing) {
  struct Case {
    std::string_view Text;
    TDecimalSign Sign;
    std::optional<int> Want;
  };
  const Case cases[] = {
      {"0", TDecimalSign::None, 0},
      {"007", TDecimalSign::None, 7},
      {"2147483647", TDecimalSign::None, 2147483647},
      {"2147483648", TDecimalSign::None, std::nullopt},  // one past int
      {"99999999999999999999999", TDecimalSign::None, std::nullopt},
      {"", TDecimalSign::None, std::nullopt},
      {"12 ", TDecimalSign::None, std::nullopt},  // trailing blank
      {" 12", TDecimalSign::PlusOrMinus, std::nullopt},
      {"12a", TDecimalSign::None, std::nullopt},
      {std::string_view("1\0" "2", 3), TDecimalSign::None, std::nullopt},
      {"-5", TDecimalSign::None, std::nullopt},
      {"+5", TDecimalSign::None, std::nullopt},
      {"-5", TDecimalSign::Minus, -5},
      {"+5", TDecimalSign::Minus, std::nullopt},
      {"+5", TDecimalSign::PlusOrMinus, 5},
      {"-2147483648", TDecimalSign::PlusOrMinus, std::numeric_limits<int>::min()},
      {"-2147483649", TDecimalSign::PlusOrMinus, std::nullopt},
      {"-", TDecimalSign::PlusOrMinus, std::nullopt},
      {"+", TDecimalSign::PlusOrMinus, std::nullopt},
      {"+-5", TDecimalSign::PlusOrMinus, std::nullopt},
      {"--5", TDecimalSign::Minus, std::nullopt},
      {"\xEF\xBC\x95", TDecimalSign::None, std::nullopt},  // a full-width digit is no digit
  };
  for (const Case& c : cases) EXPECT_EQ(ParseDecimal<int>(c.Text, c.Sign), c.Want) << '"' << c.Text << '"';
  // Unsigned types refuse a minus even where a sign is allowed.
  EXPECT_EQ(ParseDecimal<uint32_t>("-0", TDecimalSign::PlusOrMinus), std::nullopt);
  EXPECT_EQ(ParseDecimal<uint32_t>("4294967295"), 4294967295u);
  EXPECT_EQ(ParseDecimal<uint32_t>("4294967296"), std::nullopt);
  EXPECT_EQ(ParseDecimal<int64_t>("-9223372036854775808", TDecimalSign::Minus),
            std::numeric_limits<int64_t>::min());
}

TEST(Decimal, PrefixStopsAtTheFirstOtherByteOrTheLimit) {
  EXPECT_EQ(plat::DecimalPrefix("2024-01"), "2024");
  EXPECT_EQ(plat::DecimalPrefix("123456", 2), "12");
  EXPECT_EQ(plat::DecimalPrefix("x1"), "");
  EXPECT_TRUE(plat::AllDecimalDigits("0123"));
  EXPECT_FALSE(plat::AllDecimalDigits(""));
  EXPECT_FALSE(plat::AllDecimalDigits("12-"));
}

// POP3 message numbers: trimmed, a sign allowed, too many digits saturate,
// anything else is 0 (which no message has).
TEST(Decimal, Pop3NumbersTrimAndSaturate) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  EXPECT_EQ(pop3text::ToNumber(" 12\t"), 12);
  EXPECT_EQ(pop3text::ToNumber("+3"), 3);
  EXPECT_EQ(pop3text::ToNumber("-3"), -3);
  EXPECT_EQ(pop3text::ToNumber("99999999999999999999"), kMax);
  EXPECT_EQ(pop3text::ToNumber("-99999999999999999999"), -kMax);
  EXPECT_EQ(pop3text::ToNumber("-9223372036854775808"), -kMax);
  EXPECT_EQ(pop3text::ToNumber("1 2"), 0);
  EXPECT_EQ(pop3text::ToNumber("-"), 0);
  EXPECT_EQ(pop3text::ToNumber(""), 0);
}

// Settings: whole text, a sign allowed, 32 bits, no blanks.
TEST(Decimal, SettingsIntegersAreStrict) {
  int v = -1;
  EXPECT_TRUE(TryStrToInt("+42", v));
  EXPECT_EQ(v, 42);
  EXPECT_TRUE(TryStrToInt("-2147483648", v));
  EXPECT_EQ(v, std::numeric_limits<int>::min());
  v = 7;
  for (const char* bad : {"", "-", "2147483648", " 1", "1 ", "0x10", "1e3"}) {
    EXPECT_FALSE(TryStrToInt(bad, v)) << bad;
    EXPECT_EQ(v, 7) << bad;
  }
}

// Times of day: each part trimmed and a sign allowed; a part that is no
// number, or INT_MIN (its magnitude is past the int), reads as 0.
TEST(Decimal, TimeOfDayPartsAreTrimmedAndNeverIntMin) {
  constexpr double kSecond = 1.0 / 86400;
  EXPECT_NEAR(StrToTimeOfDay(" 7 : +5 :\t3 "), (7 * 3600 + 5 * 60 + 3) * kSecond, 1e-9);
  EXPECT_NEAR(StrToTimeOfDay("-2147483648:5:0"), 5 * 60 * kSecond, 1e-9);
  EXPECT_NEAR(StrToTimeOfDay("99999999999:5:0"), 5 * 60 * kSecond, 1e-9);
  EXPECT_THROW((void)StrToTimeOfDay("-1:5:0"), EConvertError);
}

}  // namespace
