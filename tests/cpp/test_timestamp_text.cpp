#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "wkt_registry/timestamp_text.h"

namespace velum::wkt {
namespace {

std::string Format(int64_t seconds, int32_t nanos) {
  TimeText text;
  const TextError error = FormatTimestamp({seconds, nanos}, text);
  return error == TextError::kOk ? std::string(text.view()) : "error " + std::to_string(int(error));
}

struct FormatCase {
  int64_t seconds;
  int32_t nanos;
  const char* text;
};

class TimestampFormat : public testing::TestWithParam<FormatCase> {};

TEST_P(TimestampFormat, Text) {
  EXPECT_EQ(Format(GetParam().seconds, GetParam().nanos), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TimestampFormat,
    testing::Values(FormatCase{0, 0, "1970-01-01T00:00:00Z"}, FormatCase{-1, 0, "1969-12-31T23:59:59Z"},
                    FormatCase{0, 5000000, "1970-01-01T00:00:00.005Z"},
                    FormatCase{0, 123456789, "1970-01-01T00:00:00.123456789Z"},
                    FormatCase{0, 120000, "1970-01-01T00:00:00.000120Z"},
                    FormatCase{1709209805, 120000000, "2024-02-29T12:30:05.120Z"},
                    FormatCase{-62135596800, 1, "0001-01-01T00:00:00.000000001Z"},
                    FormatCase{253402300799, 999999999, "9999-12-31T23:59:59.999999999Z"},
                    FormatCase{951782400, 0, "2000-02-29T00:00:00Z"},
                    FormatCase{-2203977600, 0, "1900-02-28T00:00:00Z"}));

TEST(TimestampFormat, Ranges) {
  TimeText text;
  EXPECT_EQ(FormatTimestamp({-62135596801, 0}, text), TextError::kTimestampSecondsRange);
  EXPECT_EQ(FormatTimestamp({253402300800, 0}, text), TextError::kTimestampSecondsRange);
  EXPECT_EQ(FormatTimestamp({INT64_MIN, 0}, text), TextError::kTimestampSecondsRange);
  EXPECT_EQ(FormatTimestamp({0, -1}, text), TextError::kTimestampNanosRange);
  EXPECT_EQ(FormatTimestamp({0, 1000000000}, text), TextError::kTimestampNanosRange);
  EXPECT_EQ(Format(-1, 999999999), "1969-12-31T23:59:59.999999999Z");
}

struct ParseCase {
  const char* text;
  TextError error = TextError::kOk;
  int64_t seconds = 0;
  int32_t nanos = 0;
};

class TimestampParse : public testing::TestWithParam<ParseCase> {};

TEST_P(TimestampParse, Result) {
  const ParseCase& c = GetParam();
  SecondsNanos value{-7, -7};
  EXPECT_EQ(ParseTimestamp(c.text, value), c.error) << c.text;
  if (c.error == TextError::kOk) {
    EXPECT_EQ(value.seconds, c.seconds) << c.text;
    EXPECT_EQ(value.nanos, c.nanos) << c.text;
  } else {
    EXPECT_EQ(value.seconds, -7) << "a refused text must leave the output alone";
  }
}

constexpr TextError kOk = TextError::kOk;
constexpr TextError kBad = TextError::kInvalidRfc3339;
constexpr TextError kRange = TextError::kTimestampRange;

INSTANTIATE_TEST_SUITE_P(
    Accepted, TimestampParse,
    testing::Values(ParseCase{"1970-01-01T00:00:00Z", kOk, 0, 0},
                    ParseCase{"1970-01-01T01:00:00+01:00", kOk, 0, 0},
                    ParseCase{"1970-01-01T00:00:00-00:30", kOk, 1800, 0},
                    ParseCase{"1969-12-31T23:59:59.5Z", kOk, -1, 500000000},
                    ParseCase{"2024-02-29T12:30:05.12Z", kOk, 1709209805, 120000000},
                    ParseCase{"1970-01-01T00:00:00.000000001Z", kOk, 0, 1},
                    ParseCase{"0001-01-01T00:00:00Z", kOk, -62135596800, 0},
                    ParseCase{"9999-12-31T23:59:59.999999999Z", kOk, 253402300799, 999999999},
                    ParseCase{"0001-01-01T00:30:00+00:30", kOk, -62135596800, 0},
                    ParseCase{"9999-12-31T23:00:00-00:59", kOk, 253402300740, 0},
                    // A "+" is tolerated in every field, a "-" only as a zero time or offset field.
                    ParseCase{"+970-01-01T00:00:00Z", kOk, -31556908800, 0},
                    ParseCase{"1970-+1-+1T+1:+0:+0Z", kOk, 3600, 0},
                    ParseCase{"1970-01-01T-0:-0:-0Z", kOk, 0, 0},
                    ParseCase{"1970-01-01T00:00:00+-0:-0", kOk, 0, 0},
                    ParseCase{"1970-01-01T00:00:00+23:59", kOk, -86340, 0}));

INSTANTIATE_TEST_SUITE_P(
    Refused, TimestampParse,
    testing::Values(
        ParseCase{"0000-01-01T00:00:00Z", kBad}, ParseCase{"-001-01-01T00:00:00Z", kBad},
        ParseCase{"1970-01-01t00:00:00Z", kBad}, ParseCase{"1970-01-01T00:00:00z", kBad},
        ParseCase{"1970-01-01T23:59:60Z", kBad}, ParseCase{"1970-01-01T24:00:00Z", kBad},
        ParseCase{"1970-01-01T00:60:00Z", kBad}, ParseCase{"1970-01-01T00:00:00.0000000001Z", kBad},
        ParseCase{"1970-01-01T00:00:00.Z", kBad}, ParseCase{"1970-01-01T00:00:00,5Z", kBad},
        ParseCase{"1970-01-01T00:00:00.5xZ", kBad}, ParseCase{"1970-01-01T00:00:00", kBad},
        ParseCase{"1970-01-01T00:00:00+24:00", kBad}, ParseCase{"1970-01-01T00:00:00+00:60", kBad},
        ParseCase{"1970-01-01T00:00:00+0100", kBad}, ParseCase{"1970-01-01T00:00:00 01:00", kBad},
        ParseCase{"1970-01-01T00:00:00+-1:00", kBad}, ParseCase{"1970-01-01T00:00Z", kBad},
        ParseCase{"1970-1-01T00:00:00Z", kBad}, ParseCase{"1970-01-01 00:00:00Z", kBad},
        ParseCase{"1970/01/01T00:00:00Z", kBad}, ParseCase{"1970-01-01T00.00.00Z", kBad},
        ParseCase{"2023-02-29T00:00:00Z", kBad}, ParseCase{"1900-02-29T00:00:00Z", kBad},
        ParseCase{"1970-13-01T00:00:00Z", kBad}, ParseCase{"1970-00-01T00:00:00Z", kBad},
        ParseCase{"1970-01-00T00:00:00Z", kBad}, ParseCase{"1970--1-01T00:00:00Z", kBad},
        ParseCase{"1970-01--1T00:00:00Z", kBad}, ParseCase{"1970-01-01T-1:00:00Z", kBad},
        ParseCase{" 1970-01-01T00:00:00Z", kBad}, ParseCase{"1970-01-01T00:00:00Z ", kBad},
        ParseCase{"1970-01-01T00:00:00\xc3\xa9Z", kBad}, ParseCase{"", kBad}, ParseCase{"Z", kBad},
        ParseCase{"+01:00", kBad}, ParseCase{"19700-01-01T00:00:00Z", kBad},
        ParseCase{"1970-01-01TT0:00:00Z", kBad}, ParseCase{"1970-01-01T00:00:00ZZ", kBad}));

INSTANTIATE_TEST_SUITE_P(OutOfRangeAfterOffset, TimestampParse,
                         testing::Values(ParseCase{"9999-12-31T23:59:59-01:00", kRange},
                                         ParseCase{"0001-01-01T00:00:00+00:01", kRange},
                                         ParseCase{"0001-01-01T00:59:59.999+01:00", kRange}));

TEST(TimestampText, RoundTripsRandomInstants) {
  std::mt19937_64 random(14);
  std::uniform_int_distribution<int64_t> seconds(kFirstTimestampSecond, kLastTimestampSecond);
  std::uniform_int_distribution<int32_t> nanos(0, kNanosBound);
  for (int i = 0; i < 200000; ++i) {
    const SecondsNanos value{seconds(random), i % 4 == 0 ? 0 : nanos(random)};
    TimeText text;
    ASSERT_EQ(FormatTimestamp(value, text), TextError::kOk);
    SecondsNanos back;
    ASSERT_EQ(ParseTimestamp(text.view(), back), TextError::kOk) << text.view();
    ASSERT_EQ(back.seconds, value.seconds) << text.view();
    ASSERT_EQ(back.nanos, value.nanos) << text.view();
  }
}

// A text ending in "Z" and the same instant with "+00:00" are read by
// different roads; every change to a field byte must get one answer from both.
TEST(TimestampText, ZuluAgreesWithZeroOffset) {
  const std::string bases[] = {"2024-02-29T23:59:59.123456789", "0001-01-01T00:00:00", "9999-12-31T23:59:59.5",
                               "1970-01-01T00:00:00.000001"};
  const char replacements[] = {'0', '1', '2', '3', '5', '9', '+', '-', ':', '.', 'T', 'Z', ' ', 'a', '/'};
  for (const std::string& base : bases) {
    for (size_t i = 0; i < base.size(); ++i) {
      for (char c : replacements) {
        std::string changed = base;
        changed[i] = c;
        SecondsNanos zulu{-7, -7};
        SecondsNanos offset{-7, -7};
        const TextError a = ParseTimestamp(changed + "Z", zulu);
        const TextError b = ParseTimestamp(changed + "+00:00", offset);
        ASSERT_EQ(a, b) << changed;
        ASSERT_EQ(zulu.seconds, offset.seconds) << changed;
        ASSERT_EQ(zulu.nanos, offset.nanos) << changed;
      }
    }
  }
}

}  // namespace
}  // namespace velum::wkt
