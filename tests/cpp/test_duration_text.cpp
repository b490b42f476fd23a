#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "wkt_registry/duration_text.h"

namespace velum::wkt {
namespace {

struct FormatCase {
  int64_t seconds;
  int32_t nanos;
  const char* text;
};

class DurationFormat : public testing::TestWithParam<FormatCase> {};

TEST_P(DurationFormat, Text) {
  TimeText text;
  ASSERT_EQ(FormatDuration({GetParam().seconds, GetParam().nanos}, text), TextError::kOk);
  EXPECT_EQ(text.view(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Cases, DurationFormat,
                         testing::Values(FormatCase{0, 0, "0s"}, FormatCase{1, 500000000, "1.500s"},
                                         FormatCase{-1, -500000000, "-1.500s"}, FormatCase{0, -1, "-0.000000001s"},
                                         FormatCase{0, -1000, "-0.000001s"}, FormatCase{3, 1, "3.000000001s"},
                                         FormatCase{315576000000, 0, "315576000000s"},
                                         FormatCase{-315576000000, -999999999, "-315576000000.999999999s"},
                                         FormatCase{-5, 0, "-5s"}, FormatCase{10, 10000000, "10.010s"}));

struct ErrorCase {
  int64_t seconds;
  int32_t nanos;
  TextError error;
};

class DurationFormatError : public testing::TestWithParam<ErrorCase> {};

TEST_P(DurationFormatError, Refused) {
  TimeText text;
  EXPECT_EQ(FormatDuration({GetParam().seconds, GetParam().nanos}, text), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(Cases, DurationFormatError,
                         testing::Values(ErrorCase{315576000001, 0, TextError::kDurationSecondsRange},
                                         ErrorCase{-315576000001, 0, TextError::kDurationSecondsRange},
                                         ErrorCase{INT64_MIN, 0, TextError::kDurationSecondsRange},
                                         ErrorCase{0, 1000000000, TextError::kDurationNanosRange},
                                         ErrorCase{0, INT32_MIN, TextError::kDurationNanosRange},
                                         ErrorCase{1, -1, TextError::kDurationSigns},
                                         ErrorCase{-1, 1, TextError::kDurationSigns}));

struct ParseCase {
  const char* text;
  bool ok = false;
  int64_t seconds = 0;
  int32_t nanos = 0;
};

class DurationParse : public testing::TestWithParam<ParseCase> {};

TEST_P(DurationParse, Result) {
  const ParseCase& c = GetParam();
  SecondsNanos value{-7, -7};
  const TextError error = ParseDuration(c.text, value);
  if (!c.ok) {
    EXPECT_EQ(error, TextError::kInvalidDuration) << c.text;
    EXPECT_EQ(value.seconds, -7);
    return;
  }
  ASSERT_EQ(error, TextError::kOk) << c.text;
  EXPECT_EQ(value.seconds, c.seconds) << c.text;
  EXPECT_EQ(value.nanos, c.nanos) << c.text;
}

INSTANTIATE_TEST_SUITE_P(Accepted, DurationParse,
                         testing::Values(ParseCase{"0s", true, 0, 0}, ParseCase{"1.s", true, 1, 0},
                                         ParseCase{"-0.5s", true, 0, -500000000},
                                         ParseCase{"1.5s", true, 1, 500000000},
                                         ParseCase{"-1.000000001s", true, -1, -1},
                                         ParseCase{"0001s", true, 1, 0},
                                         ParseCase{"315576000000.999999999s", true, 315576000000, 999999999},
                                         ParseCase{"-315576000000s", true, -315576000000, 0},
                                         ParseCase{"-0s", true, 0, 0}));

INSTANTIATE_TEST_SUITE_P(Refused, DurationParse,
                         testing::Values(ParseCase{"+1s"}, ParseCase{".5s"}, ParseCase{"1"}, ParseCase{"1S"},
                                         ParseCase{"1.0000000001s"}, ParseCase{"s"}, ParseCase{"-s"},
                                         ParseCase{""}, ParseCase{"--1s"}, ParseCase{"-+1s"},
                                         ParseCase{"1.-5s"}, ParseCase{"1.5.0s"}, ParseCase{"1e3s"},
                                         ParseCase{" 1s"}, ParseCase{"1 s"}, ParseCase{"315576000001s"},
                                         ParseCase{"-315576000001s"}, ParseCase{"9223372036854775808s"},
                                         ParseCase{"99999999999999999999999s"}, ParseCase{"\xd9\xa1s"}));

TEST(DurationText, RoundTripsFormattedValues) {
  for (int64_t seconds : {int64_t{0}, int64_t{1}, int64_t{-1}, int64_t{86400}, -kDurationSecondBound}) {
    for (int32_t nanos : {0, 1, 999999999, 1000, 1000000}) {
      const SecondsNanos value{seconds, seconds < 0 ? -nanos : nanos};
      TimeText text;
      ASSERT_EQ(FormatDuration(value, text), TextError::kOk);
      SecondsNanos back;
      ASSERT_EQ(ParseDuration(text.view(), back), TextError::kOk) << text.view();
      EXPECT_EQ(back.seconds, value.seconds);
      EXPECT_EQ(back.nanos, value.nanos);
    }
  }
}

}  // namespace
}  // namespace velum::wkt
