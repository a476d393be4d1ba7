#include "common/DateTime.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "common/Clock.h"
#include "common/Error.h"
#include "common/Regional.h"

namespace vnpp::common {
namespace {

// Every second of the first and last days of the range and of every year's first day, and a
// seeded random sample of a million seconds between (the whole range was checked once; it
// takes too long for every run).
TEST(DateTime, EpochRoundTripsAcrossTheRange) {
  const EpochSeconds first = 86400;  // 1985-01-01 00:00:00
  const EpochSeconds last = DateTimeToEpoch(EncodeDateTime(2053, 1, 18, 3, 14, 7));
  ASSERT_EQ(last, 2147483647);
  auto check = [](std::int64_t s) {
    ASSERT_EQ(DateTimeToEpoch(EpochToDateTime(s)), s) << "second " << s;
  };
  for (std::int64_t s = first; s < first + 86400; ++s) check(s);
  for (std::int64_t s = std::int64_t{last} - 86400; s <= last; ++s) check(s);
  for (int year = 1986; year <= 2052; ++year) {
    const std::int64_t day = DateTimeToEpoch(EncodeDateTime(year, 1, 1));
    for (std::int64_t s = day - 600; s < day + 600; ++s) check(s);
  }
  std::mt19937_64 random(20261208);
  std::uniform_int_distribution<std::int64_t> pick(first, last);
  for (int i = 0; i < 1000000; ++i) check(pick(random));
}

TEST(DateTime, EpochRoundsExactHalvesToEven) {
  // Date-times whose distance from the base is exactly a half second after the
  // subtraction and scaling must go to the even neighbour; others to the nearest.
  int exactHalves = 0;
  for (std::int64_t s = 86400; s < 86400 + 200000; s += 7) {
    const TDateTime t = EpochToDateTime(s) + 0.5 / kSecondsPerDay;
    const double x = (t - kEpochBaseDate) * kSecondsPerDay;
    const double whole = std::floor(x);
    const EpochSeconds got = DateTimeToEpoch(t);
    if (x - whole == 0.5) {
      ++exactHalves;
      EXPECT_EQ(got % 2, 0) << s;
      EXPECT_TRUE(got == whole || got == whole + 1) << s;
    } else {
      EXPECT_EQ(got, static_cast<EpochSeconds>(std::llround(x))) << s;
    }
  }
  EXPECT_GT(exactHalves, 0);
  EXPECT_EQ(DateTimeToEpoch(kEpochBaseDate), 0);
  EXPECT_EQ(DateTimeToEpoch(EncodeDateTime(1985, 1, 1)), 86400);
  EXPECT_EQ(DateTimeToEpoch(EncodeDateTime(1984, 12, 31, 17)), 61200);
}

TEST(DateTime, EncodesAndDecodesCalendarValues) {
  EXPECT_DOUBLE_EQ(EncodeDateTime(1899, 12, 30), 0.0);
  EXPECT_DOUBLE_EQ(EncodeDateTime(1984, 12, 31), 31047.0);
  EXPECT_DOUBLE_EQ(EncodeDateTime(1900, 3, 1), 61.0);
  const TDateTimeParts p = DecodeDateTime(EncodeDateTime(2024, 2, 29, 23, 59, 59, 999));
  EXPECT_EQ(p.Year, 2024);
  EXPECT_EQ(p.Month, 2);
  EXPECT_EQ(p.Day, 29);
  EXPECT_EQ(p.Hour, 23);
  EXPECT_EQ(p.Minute, 59);
  EXPECT_EQ(p.Second, 59);
  EXPECT_EQ(p.Millisecond, 999);
  EXPECT_THROW(EncodeDateTime(2023, 2, 29), EConvertError);
  EXPECT_EQ(DayOfTheWeek(EncodeDateTime(2024, 3, 13, 14, 25, 10)), 3);  // Wednesday
  EXPECT_EQ(DayOfTheWeek(EncodeDateTime(2024, 3, 17)), 7);              // Sunday
  EXPECT_EQ(DayOfTheWeek(EncodeDateTime(2024, 3, 16, 23, 59, 59)), 6);  // Saturday
}

class DateTimeText : public ::testing::Test {
 protected:
  void TearDown() override { SetRegionalSettings(TRegionalSettings{}); }
};

TEST_F(DateTimeText, WritesWithRegionalSeparatorsAndReadsBackUnderAnyLocale) {
  const TDateTime t = EncodeDateTime(2024, 3, 5, 7, 8, 9, 250);
  EXPECT_EQ(FormatDateTimeText(t), "03/05/2024 07:08:09");
  EXPECT_EQ(FormatDateTimeText(t, true), "03/05/2024 07:08:09.250");

  SetRegionalSettings(TRegionalSettings{'.', '.', ','});
  const std::string german = FormatDateTimeText(t, true);
  EXPECT_EQ(german, "03.05.2024 07.08.09,250");
  TDateTime back = 0;
  ASSERT_TRUE(TryParseDateTimeText(german, back));
  EXPECT_EQ(DecodeDateTime(back).Millisecond, 250);
  ASSERT_TRUE(TryParseDateTimeText("03/05/2024 07:08:09", back));  // written under C
  EXPECT_DOUBLE_EQ(back, EncodeDateTime(2024, 3, 5, 7, 8, 9));

  SetRegionalSettings(TRegionalSettings{});
  ASSERT_TRUE(TryParseDateTimeText("03.05.2024 07.08.09", back) == false);
  ASSERT_TRUE(TryParseDateTimeText("3/5/2024", back));
  EXPECT_DOUBLE_EQ(back, EncodeDateTime(2024, 3, 5));
}

TEST_F(DateTimeText, RejectsTextThatIsNoDate) {
  TDateTime out = 0;
  for (const char* text : {"", "NOW", "13/01/2024", "02/30/2024", "01/01/2024 25:00:00",
                           "01/01/2024 10:00:00 x", " NOW", "LAST 2 DAYS"}) {
    EXPECT_FALSE(TryParseDateTimeText(text, out)) << text;
  }
}

TEST(Clock, OverrideReplacesNowForItsLifetime) {
  const TDateTime before = Now();
  {
    FakeClock fake(EncodeDateTime(2024, 3, 15, 10, 17, 30));
    ScopedClockOverride override(fake);
    EXPECT_DOUBLE_EQ(Now(), EncodeDateTime(2024, 3, 15, 10, 17, 30));
    fake.AdvanceSeconds(3600);
    EXPECT_EQ(DecodeDateTime(Now()).Hour, 11);
  }
  EXPECT_GE(Now(), before);
}

}  // namespace
}  // namespace vnpp::common
