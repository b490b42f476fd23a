// Core unit: no Python.
// The proleptic Gregorian calendar over the whole range a Timestamp can hold:
// day counts relative to 1970-01-01 and back, in 400-year cycles of 146097
// days so that dates before 1970 need no special case.
#pragma once

#include <cstdint>

namespace velum::calendar {

inline constexpr int64_t kSecondsPerDay = 86400;

struct CivilDate {
  int64_t year = 1970;
  int month = 1;  // 1 … 12
  int day = 1;    // 1 … 31
};

// Division rounding toward negative infinity; `divisor` must be positive.
constexpr int64_t FloorDiv(int64_t value, int64_t divisor) noexcept {
  const int64_t quotient = value / divisor;
  return quotient - (value % divisor < 0 ? 1 : 0);
}

constexpr bool IsLeapYear(int64_t year) noexcept {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

// 0 for a month outside 1 … 12, so that any day then fails IsValidDate.
int DaysInMonth(int64_t year, int month) noexcept;

bool IsValidDate(int64_t year, int month, int day) noexcept;

// Days from 1970-01-01 to the date; the date must be valid.
int64_t DaysFromCivil(CivilDate date) noexcept;

// The date `days` after 1970-01-01 (before it when negative).
CivilDate CivilFromDays(int64_t days) noexcept;

}  // namespace velum::calendar
