// The AVX-512 forms give what the baseline forms give, byte for byte: the
// integer texts and the widening of code units. Skipped where the CPU lacks
// them (the other tests then run the baseline forms alone).
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "common/cpu_features.h"
#include "json_sink/number_text.h"
#include "json_sink/unit_widen.h"

namespace velum::json_sink {
namespace {

class VectorForms : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!cpu::HasAvx512()) GTEST_SKIP() << "no AVX-512 on this CPU";
  }
  void TearDown() override { cpu::AllowAvx512(true); }

  // The text `write` gives by either form.
  template <class F>
  static std::pair<std::string, std::string> BothForms(F write) {
    char room[kIntegerTextMax];
    cpu::AllowAvx512(true);
    std::string fast(room, write(room));
    cpu::AllowAvx512(false);
    std::string base(room, write(room));
    return {fast, base};
  }
};

TEST_F(VectorForms, IntegersOfEveryLength) {
  auto check = [](int64_t v) {
    const auto [fast, base] = BothForms([v](char* out) { return FormatIntegerInRoom(v, out); });
    ASSERT_EQ(fast, base) << v;
    const auto [ufast, ubase] = BothForms([v](char* out) { return FormatUnsignedInRoom(~static_cast<uint64_t>(v), out); });
    ASSERT_EQ(ufast, ubase) << ~static_cast<uint64_t>(v);
  };
  // Every value of up to eight digits: each lane's multiply-add near every digit boundary.
  for (int64_t v = 0; v < 100000000; ++v) {
    char fast[kIntegerTextMax];
    char base[kIntegerTextMax];
    cpu::AllowAvx512(true);
    const size_t n = FormatUnsignedInRoom(static_cast<uint64_t>(v), fast);
    cpu::AllowAvx512(false);
    ASSERT_EQ(std::string(fast, n), std::string(base, FormatUnsignedInRoom(static_cast<uint64_t>(v), base))) << v;
  }
  uint64_t power = 1;
  for (int n = 1; n <= 19; ++n, power *= 10) {
    for (uint64_t d : {0, 1, 2, 9}) {
      check(static_cast<int64_t>(power + d));
      check(static_cast<int64_t>(power - d));
      check(-static_cast<int64_t>(power + d));
    }
  }
  check(INT64_MIN);
  check(INT64_MAX);
  std::mt19937_64 rng(21);
  for (int i = 0; i < 1000000; ++i) check(static_cast<int64_t>(rng()) >> (rng() % 64));
}

template <class From, class To>
void ExpectSameWidening() {
  std::mt19937_64 rng(23);
  std::vector<From> in(400);
  for (From& unit : in) unit = static_cast<From>(rng());
  for (size_t n = 0; n < 300; ++n) {
    for (size_t offset = 0; offset < 3; ++offset) {
      // Guard units either side: the masked tail must not store beyond the run.
      std::vector<To> fast(n + 2, To{0x5a5a});
      std::vector<To> base(n + 2, To{0x5a5a});
      WidenUnitsAvx512(in.data() + offset, n, fast.data() + 1);
      WidenUnits(in.data() + offset, n, base.data() + 1);
      ASSERT_EQ(fast, base) << n << " units from " << offset;
    }
  }
}

TEST_F(VectorForms, WideningOfEveryLength) {
  ExpectSameWidening<uint8_t, uint16_t>();
  ExpectSameWidening<uint8_t, uint32_t>();
  ExpectSameWidening<uint16_t, uint32_t>();
}

}  // namespace
}  // namespace velum::json_sink
