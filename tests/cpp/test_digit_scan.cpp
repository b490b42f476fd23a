#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "json_parse/digit_scan.h"

namespace velum::json {
namespace {

// Every non-digit neighbour of the digit range, and bytes that wrap, at every
// position of runs spanning one to three words.
TEST(DigitScan, StopsAtTheFirstNonDigitAtEveryPosition) {
  const char stops[] = {'/', ':', '.', 'e', '-', '\0', '\x7f', '\x80', '\xb9', '\xba', '\xff'};
  for (size_t length = 1; length <= 24; ++length) {
    for (size_t at = 0; at < length; ++at) {
      for (char stop : stops) {
        std::string text;
        for (size_t i = 0; i < length; ++i) text.push_back(static_cast<char>('0' + (i * 7 + 3) % 10));
        text[at] = stop;
        EXPECT_EQ(SkipDigits(text.data(), text.data() + text.size()) - text.data(), static_cast<ptrdiff_t>(at))
            << "length " << length << " at " << at << " byte " << int(static_cast<unsigned char>(stop));
      }
    }
    const std::string digits(length, '9');
    EXPECT_EQ(SkipDigits(digits.data(), digits.data() + length), digits.data() + length);
  }
}

TEST(DigitScan, ValuesOfEveryLength) {
  std::string text;
  for (size_t n = 1; n <= 19; ++n) {
    text.push_back(static_cast<char>('0' + (n * 3 + 1) % 10));
    EXPECT_EQ(DigitsValue(text.data(), n), std::stoull(text)) << text;
    const std::string nines(n, '9');
    EXPECT_EQ(DigitsValue(nines.data(), n), std::stoull(nines)) << nines;
  }
  EXPECT_EQ(DigitsValue("0000000000000000001", 19), 1u);
}

}  // namespace
}  // namespace velum::json

namespace velum::json {
namespace {

// Random runs of every length from a word on, where the tail word overlaps
// digits already valued: zeros and nines around the overlap catch a tail
// that keeps or drops the wrong bytes.
TEST(DigitScan, RandomRunsValueAsTheirText) {
  uint64_t state = 12345;
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    const size_t n = 8 + static_cast<size_t>(i % 12);
    for (size_t k = 0; k < n; ++k) {
      state = state * 6364136223846793005u + 1442695040888963407u;
      const auto pick = static_cast<unsigned>(state >> 60);
      text.push_back(pick < 3 ? '0' : pick < 6 ? '9' : static_cast<char>('0' + (state >> 33) % 10));
    }
    ASSERT_EQ(DigitsValue(text.data(), n), std::stoull(text)) << text;
  }
}

}  // namespace
}  // namespace velum::json

namespace velum::json {
namespace {

// Every length up to 19 with one non-digit at every position (refused), and
// the same runs all digits (valued as their text).
TEST(DigitScan, DigitRunValueChecksEveryByte) {
  const char stops[] = {'/', ':', ' ', '-', '\0', '\x80', '\xff'};
  for (size_t n = 1; n <= 19; ++n) {
    std::string text;
    for (size_t i = 0; i < n; ++i) text.push_back(static_cast<char>('0' + (i * 7 + 5) % 10));
    uint64_t value = 0;
    ASSERT_TRUE(DigitRunValue(text.data(), n, &value)) << text;
    EXPECT_EQ(value, std::stoull(text)) << text;
    for (size_t at = 0; at < n; ++at) {
      for (char stop : stops) {
        std::string bad = text;
        bad[at] = stop;
        EXPECT_FALSE(DigitRunValue(bad.data(), n, &value)) << n << " at " << at;
      }
    }
  }
}

}  // namespace
}  // namespace velum::json
