// Core unit: no Python.
#include "wkt_registry/civil_calendar.h"

namespace velum::calendar {
namespace {

constexpr int64_t kDaysPerEra = 146097;  // 400 Gregorian years
constexpr int64_t kYearsPerEra = 400;
// 0000-03-01 to 1970-01-01: eras start in March so the leap day ends the year.
constexpr int64_t kEpochShift = 719468;

}  // namespace

int DaysInMonth(int64_t year, int month) noexcept {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

bool IsValidDate(int64_t year, int month, int day) noexcept {
  return day >= 1 && day <= DaysInMonth(year, month);
}

int64_t DaysFromCivil(CivilDate date) noexcept {
  const int64_t year = date.year - (date.month <= 2 ? 1 : 0);
  const int64_t era = FloorDiv(year, kYearsPerEra);
  const int64_t year_of_era = year - era * kYearsPerEra;                       // 0 … 399
  const int64_t month_from_march = (date.month + 9) % 12;                      // March is 0
  const int64_t day_of_year = (153 * month_from_march + 2) / 5 + date.day - 1;  // 0 … 365
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * kDaysPerEra + day_of_era - kEpochShift;
}

CivilDate CivilFromDays(int64_t days) noexcept {
  const int64_t shifted = days + kEpochShift;
  const int64_t era = FloorDiv(shifted, kDaysPerEra);
  const int64_t day_of_era = shifted - era * kDaysPerEra;  // 0 … 146096
  const int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;  // 0 … 399
  const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t month_from_march = (5 * day_of_year + 2) / 153;  // 0 … 11
  CivilDate date;
  date.day = static_cast<int>(day_of_year - (153 * month_from_march + 2) / 5 + 1);
  date.month = static_cast<int>(month_from_march < 10 ? month_from_march + 3 : month_from_march - 9);
  date.year = year_of_era + era * kYearsPerEra + (date.month <= 2 ? 1 : 0);
  return date;
}

}  // namespace velum::calendar
