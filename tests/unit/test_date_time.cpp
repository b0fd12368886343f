#include "DateTime.h"

#include "ClassCore.h"

#include <gtest/gtest.h>

#include "TestSupport.h"

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <tuple>

namespace {

using testsupport::TzGuard;


struct Ymd {
  uint16_t y, m, d;
};

TEST(DateTimeEncode, KnownSerialsAndRoundTrips) {
  struct Case {
    Ymd date;
    double serial;
    int dayOfWeek;
  };
  const Case cases[] = {
      {{1899, 12, 30}, 0, 7},       {{1970, 1, 1}, 25569, 5},      {{2000, 1, 1}, 36526, 7},
      {{2024, 2, 29}, 45351, 5},    {{2026, 3, 5}, 46086, 5},      {{1, 1, 1}, -693593, 2},
      {{9999, 12, 31}, 2958465, 6}, {{2000, 2, 29}, 36585, 3},
  };
  for (const auto& c : cases) {
    const TDateTime dt = EncodeDate(c.date.y, c.date.m, c.date.d);
    EXPECT_EQ(dt, c.serial) << c.date.y << "-" << c.date.m << "-" << c.date.d;
    EXPECT_EQ(DayOfWeek(dt), c.dayOfWeek) << c.date.y << "-" << c.date.m << "-" << c.date.d;
    // Before 1899-12-30 the time of day still counts forward, away from zero.
    uint16_t y, m, d, h, n, s, z;
    DecodeDateTime(dt < 0 ? dt - 0.75 : dt + 0.75, y, m, d, h, n, s, z);
    EXPECT_EQ((std::tuple{y, m, d}), (std::tuple{c.date.y, c.date.m, c.date.d}));
    EXPECT_EQ(h, 18);
  }
}

TEST(DateTimeEncode, RejectsInvalidFields) {
  const Ymd badDates[] = {{2023, 2, 29}, {1900, 2, 29}, {2024, 13, 1}, {0, 1, 1}, {2024, 4, 31}, {2024, 1, 0}};
  for (const auto& b : badDates) EXPECT_THROW((void)EncodeDate(b.y, b.m, b.d), EConvertError) << b.y << "-" << b.m;
  EXPECT_NO_THROW((void)EncodeDate(2000, 2, 29));
  TDateTime r = 42;
  EXPECT_FALSE(TryEncodeTime(24, 0, 0, 0, r));
  EXPECT_FALSE(TryEncodeTime(0, 60, 0, 0, r));
  EXPECT_FALSE(TryEncodeTime(0, 0, 60, 0, r));
  EXPECT_FALSE(TryEncodeTime(0, 0, 0, 1000, r));
  EXPECT_EQ(r, 42);
  EXPECT_THROW((void)EncodeTime(0, 0, 0, 1000), EConvertError);
  EXPECT_EQ(DaysInMonth(2100, 2), 28);
  EXPECT_EQ(DaysInMonth(2400, 2), 29);
}

TEST(DateTimeDecode, EveryMillisecondSurvivesAndNoneRollsTo1000) {
  const TDateTime day = EncodeDate(2024, 12, 31);
  for (uint16_t s : {0, 1, 59}) {
    for (uint16_t ms = 0; ms < 1000; ++ms) {
      uint16_t h, n, sec, z;
      DecodeTime(day + EncodeTime(23, 59, s, ms), h, n, sec, z);
      ASSERT_EQ((std::tuple{h, n, sec, z}), (std::tuple<uint16_t, uint16_t, uint16_t, uint16_t>{23, 59, s, ms}));
    }
  }
  // Just short of midnight rounds into the next day, never to 60 s or 1000 ms.
  uint16_t y, m, d, h, n, s, z;
  DecodeDateTime(day + 0.9999999999, y, m, d, h, n, s, z);
  EXPECT_EQ((std::tuple{y, m, d, h, n, s, z}),
            (std::tuple<uint16_t, uint16_t, uint16_t, uint16_t, uint16_t, uint16_t, uint16_t>{2025, 1, 1, 0, 0, 0, 0}));
}

TEST(DateTimeFormat, PatternsAndLiterals) {
  const TDateTime dt = EncodeDate(2026, 3, 5) + EncodeTime(9, 4, 7, 123);
  struct Case {
    const char* format;
    const char* expected;
  };
  const Case cases[] = {
      {"dd-mm-yyyy:hh-nn-ss-zzz", "05-03-2026:09-04-07-123"},
      {"d/m/yy h:n:s.z", "5/3/26 9:4:7.123"},
      {"YYYY-MM-DD HH:NN", "2026-03-05 09:04"},
      {"hh:mm", "09:04"},
      {"yyyy'mm'\"dd\"", "2026mmdd"},
      {"[dd]", "[05]"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatDateTime(c.format, dt), c.expected) << c.format;
  EXPECT_EQ(FormatDateTime("z", EncodeTime(0, 0, 0, 5)), "5");
}

TEST(DateTimeZone, LocalAndUtcUnderPosixZones) {
  struct Case {
    const char* tz;
    Ymd date;
    uint16_t localHour;
    uint16_t utcHour;
    int bias;
  };
  const Case cases[] = {
      {"CET-1CEST,M3.5.0,M10.5.0/3", {2026, 1, 15}, 12, 11, -60},
      {"CET-1CEST,M3.5.0,M10.5.0/3", {2026, 7, 15}, 12, 10, -120},
      {"EST5EDT,M3.2.0,M11.1.0", {2026, 1, 15}, 12, 17, 300},
      {"UTC0", {2026, 1, 15}, 12, 12, 0},
  };
  for (const auto& c : cases) {
    TzGuard tz(c.tz);
    const TDateTime local = EncodeDate(c.date.y, c.date.m, c.date.d) + EncodeTime(c.localHour, 30, 0, 250);
    const TDateTime utc = EncodeDate(c.date.y, c.date.m, c.date.d) + EncodeTime(c.utcHour, 30, 0, 250);
    EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", LocalToUTC(local)),
              FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", utc))
        << c.tz;
    EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", UTCToLocal(utc)),
              FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", local))
        << c.tz;
    EXPECT_EQ(LocalTimeBias(local), c.bias) << c.tz;
    EXPECT_NEAR((LocalToUTC(Now()) - NowUTC()) * SecsPerDay, 0, 2) << c.tz;
  }
}

TEST(DateTimeUnix, ConvertsBothWays) {
  EXPECT_EQ(UnixToDateTime(0), EncodeDate(1970, 1, 1));
  const TDateTime dt = EncodeDate(2026, 3, 5) + EncodeTime(9, 4, 7, 123);
  EXPECT_EQ(DateTimeToUnix(dt), 1772701447);
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss", UnixToDateTime(1772701447)), "2026-03-05 09:04:07");
  EXPECT_EQ(DateTimeToUnix(UnixToDateTime(-86401)), -86401);
}

}  // namespace
