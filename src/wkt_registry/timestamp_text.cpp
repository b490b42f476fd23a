// Core unit: no Python.
#include "wkt_registry/timestamp_text.h"

#include <bit>
#include <cstring>
#include <optional>

#include "json_parse/digit_scan.h"
#include "wkt_registry/civil_calendar.h"

namespace velum::wkt {
namespace {

// A fixed-width decimal field. A leading "+" is tolerated everywhere; a
// leading "-" only where `allow_minus`, giving a negative value that the
// range checks then refuse unless it is zero.
std::optional<int> ReadField(std::string_view text, bool allow_minus) noexcept {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || (allow_minus && text[0] == '-'))) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (!IsDigit(c)) return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return negative ? -value : value;
}

bool InRange(std::optional<int> value, int low, int high) noexcept {
  return value && *value >= low && *value <= high;
}

// The zone suffix, removed from `text`; nullopt when it is malformed.
std::optional<int64_t> TakeOffset(std::string_view& text) noexcept {
  if (!text.empty() && text.back() == 'Z') {
    text.remove_suffix(1);
    return 0;
  }
  if (text.size() <= 5) return std::nullopt;
  const std::string_view zone = text.substr(text.size() - 6);
  if ((zone[0] != '+' && zone[0] != '-') || zone[3] != ':') return std::nullopt;
  const std::optional<int> hours = ReadField(zone.substr(1, 2), true);
  const std::optional<int> minutes = ReadField(zone.substr(4, 2), true);
  if (!InRange(hours, 0, 23) || !InRange(minutes, 0, 59)) return std::nullopt;
  text.remove_suffix(6);
  const int64_t offset = int64_t{*hours} * 3600 + int64_t{*minutes} * 60;
  return zone[0] == '+' ? offset : -offset;
}

// Seconds since the epoch of the local date-time, before the zone offset.
std::optional<SecondsNanos> ReadLocal(std::string_view text) noexcept {
  if (text.find('T') != 10 || text.size() < 19) return std::nullopt;
  const std::string_view date = text.substr(0, 10);
  const std::string_view time = text.substr(11);
  if (date[4] != '-' || date[7] != '-' || time[2] != ':' || time[5] != ':') return std::nullopt;
  const std::optional<int> year = ReadField(date.substr(0, 4), true);
  const std::optional<int> month = ReadField(date.substr(5, 2), false);
  const std::optional<int> day = ReadField(date.substr(8, 2), false);
  const std::optional<int> hour = ReadField(time.substr(0, 2), true);
  const std::optional<int> minute = ReadField(time.substr(3, 2), true);
  const std::optional<int> second = ReadField(time.substr(6, 2), true);
  if (!InRange(hour, 0, 23) || !InRange(minute, 0, 59) || !InRange(second, 0, 59)) return std::nullopt;
  SecondsNanos local;
  if (time.size() > 8) {
    if (time[8] != '.') return std::nullopt;
    local.nanos = ParseFraction(time.substr(9));
    if (local.nanos < 0) return std::nullopt;
  }
  if (!InRange(year, 1, 9999) || !month || !day || !calendar::IsValidDate(*year, *month, *day)) {
    return std::nullopt;
  }
  const int64_t days = calendar::DaysFromCivil({*year, *month, *day});
  local.seconds = days * calendar::kSecondsPerDay + int64_t{*hour} * 3600 + int64_t{*minute} * 60 + *second;
  return local;
}

// Whether the 19 bytes at `p` read "DDDD-DD-DDTDD:DD:DD", D a digit: three
// words (the last overlapping) each checked at once, separators and digits.
bool CanonicalLayout(const char* p) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    using json::digit_detail::kZeros;
    using json::digit_detail::NonDigitBits;
    // One word: the separators where `mask` has their bytes, digits elsewhere.
    auto fits = [](const char* at, uint64_t mask, uint64_t separators) noexcept {
      uint64_t word;
      std::memcpy(&word, at, 8);
      return (word & mask) == separators && NonDigitBits((word & ~mask) | (kZeros & mask)) == 0;
    };
    // Bytes 0-7 "DDDD-DD-", 8-15 "DDTDD:DD", 11-18 "DD:DD:DD".
    return fits(p, 0xff0000ff00000000u, 0x2d00002d00000000u) && fits(p + 8, 0x0000ff0000ff0000u, 0x00003a0000540000u) &&
           fits(p + 11, 0x0000ff0000ff0000u, 0x00003a00003a0000u);
  } else {
    constexpr size_t kDigitAt[] = {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18};
    for (size_t i : kDigitAt) {
      if (!IsDigit(p[i])) return false;
    }
    return p[4] == '-' && p[7] == '-' && p[10] == 'T' && p[13] == ':' && p[16] == ':';
  }
}

// The text as written: "YYYY-MM-DDTHH:MM:SS", an optional fraction and "Z",
// digits only in the fields. Nearly every text read has this form, which is
// checked and valued here without the general field reads; false leaves any
// other text, valid or not, to them (this reads none differently).
bool ReadCanonical(std::string_view text, SecondsNanos& out) noexcept {
  const size_t n = text.size();
  const char* p = text.data();
  if (n < 20 || p[n - 1] != 'Z' || !CanonicalLayout(p)) return false;
  auto digit = [p](size_t i) noexcept { return static_cast<unsigned>(static_cast<unsigned char>(p[i] - '0')); };
  auto pair = [&](size_t i) noexcept { return static_cast<int>(digit(i) * 10 + digit(i + 1)); };
  const int year = pair(0) * 100 + pair(2);
  const int month = pair(5);
  const int day = pair(8);
  const int hour = pair(11);
  const int minute = pair(14);
  const int second = pair(17);
  int32_t nanos = 0;
  if (n > 20) {
    if (p[19] != '.') return false;
    nanos = ParseFraction(text.substr(20, n - 21), p);
    if (nanos < 0) return false;
  }
  if (hour > 23 || minute > 59 || second > 59 || year < 1 || !calendar::IsValidDate(year, month, day)) return false;
  const int64_t days = calendar::DaysFromCivil({year, month, day});
  out = {days * calendar::kSecondsPerDay + int64_t{hour} * 3600 + int64_t{minute} * 60 + second, nanos};
  return true;
}

}  // namespace

TextError FormatTimestamp(SecondsNanos value, TimeText& out) noexcept {
  if (value.seconds < kFirstTimestampSecond || value.seconds > kLastTimestampSecond) {
    return TextError::kTimestampSecondsRange;
  }
  if (value.nanos < 0 || value.nanos > kNanosBound) return TextError::kTimestampNanosRange;
  const int64_t days = calendar::FloorDiv(value.seconds, calendar::kSecondsPerDay);
  const auto second_of_day = static_cast<uint64_t>(value.seconds - days * calendar::kSecondsPerDay);
  const calendar::CivilDate date = calendar::CivilFromDays(days);
  // Every field is in range here: the year is 1 … 9999.
  const auto year = static_cast<uint32_t>(date.year);
  out.PushTwo(year / 100);
  out.PushTwo(year % 100);
  out.Push('-');
  out.PushTwo(static_cast<uint32_t>(date.month));
  out.Push('-');
  out.PushTwo(static_cast<uint32_t>(date.day));
  out.Push('T');
  const auto second = static_cast<uint32_t>(second_of_day);
  out.PushTwo(second / 3600);
  out.Push(':');
  out.PushTwo(second / 60 % 60);
  out.Push(':');
  out.PushTwo(second % 60);
  out.PushFraction(static_cast<uint32_t>(value.nanos));
  out.Push('Z');
  return TextError::kOk;
}

TextError ParseTimestamp(std::string_view text, SecondsNanos& out) noexcept {
  // Years 1 … 9999 in UTC are all in range.
  if (ReadCanonical(text, out)) return TextError::kOk;
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return TextError::kInvalidRfc3339;
  }
  const std::optional<int64_t> offset = TakeOffset(text);
  if (!offset) return TextError::kInvalidRfc3339;
  std::optional<SecondsNanos> local = ReadLocal(text);
  if (!local) return TextError::kInvalidRfc3339;
  const int64_t seconds = local->seconds - *offset;
  if (seconds < kFirstTimestampSecond || seconds > kLastTimestampSecond) return TextError::kTimestampRange;
  out = {seconds, local->nanos};
  return TextError::kOk;
}

}  // namespace velum::wkt
