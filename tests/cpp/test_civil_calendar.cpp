#include <gtest/gtest.h>

#include <cstdint>

#include "wkt_registry/civil_calendar.h"

namespace velum::calendar {
namespace {

// Walks every day of years 1 … 9999 one at a time, the obvious way, and
// checks both conversions against the running count.
TEST(CivilCalendar, EveryDayOfTheTimestampRange) {
  int64_t count = -719162;  // 0001-01-01
  for (int64_t year = 1; year <= 9999; ++year) {
    for (int month = 1; month <= 12; ++month) {
      for (int day = 1; day <= DaysInMonth(year, month); ++day, ++count) {
        ASSERT_EQ(DaysFromCivil({year, month, day}), count) << year << "-" << month << "-" << day;
        const CivilDate back = CivilFromDays(count);
        ASSERT_EQ(back.year, year);
        ASSERT_EQ(back.month, month);
        ASSERT_EQ(back.day, day);
      }
    }
  }
  EXPECT_EQ(count - 1, 2932896);  // 9999-12-31
}

TEST(CivilCalendar, KnownDays) {
  EXPECT_EQ(DaysFromCivil({1970, 1, 1}), 0);
  EXPECT_EQ(DaysFromCivil({1969, 12, 31}), -1);
  EXPECT_EQ(DaysFromCivil({2000, 3, 1}), 11017);
  EXPECT_EQ(DaysFromCivil({2024, 2, 29}), 19782);
}

struct DateCase {
  int64_t year;
  int month;
  int day;
  bool valid;
};

class ValidDate : public testing::TestWithParam<DateCase> {};

TEST_P(ValidDate, Gregorian) {
  const DateCase& c = GetParam();
  EXPECT_EQ(IsValidDate(c.year, c.month, c.day), c.valid);
}

INSTANTIATE_TEST_SUITE_P(LeapRules, ValidDate,
                         testing::Values(DateCase{2024, 2, 29, true}, DateCase{2023, 2, 29, false},
                                         DateCase{1900, 2, 29, false}, DateCase{2000, 2, 29, true},
                                         DateCase{4, 2, 29, true}, DateCase{2023, 4, 31, false},
                                         DateCase{2023, 12, 31, true}, DateCase{2023, 13, 1, false},
                                         DateCase{2023, 0, 1, false}, DateCase{2023, 1, 0, false},
                                         DateCase{2023, -1, 1, false}));

TEST(CivilCalendar, FloorDivRoundsDown) {
  EXPECT_EQ(FloorDiv(-1, 86400), -1);
  EXPECT_EQ(FloorDiv(-86400, 86400), -1);
  EXPECT_EQ(FloorDiv(-86401, 86400), -2);
  EXPECT_EQ(FloorDiv(86399, 86400), 0);
}

}  // namespace
}  // namespace velum::calendar
