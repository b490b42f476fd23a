#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <tuple>
#include <vector>

#include "bitset/presence_bits.h"
#include "raw_alloc_stub.h"

namespace velum {
namespace {

using Form = PresenceBits::Form;

std::vector<uint32_t> Sorted(const RawVector<uint32_t>& numbers) {
  std::vector<uint32_t> out(numbers.begin(), numbers.end());
  std::sort(out.begin(), out.end());
  return out;
}

// (target form, source form)
class UnsharedMergeTest : public ::testing::TestWithParam<std::tuple<Form, Form>> {};

TEST_P(UnsharedMergeTest, IsUnionLikeMergeFrom) {
  const auto [target_form, source_form] = GetParam();
  PresenceBits source(source_form);
  for (uint32_t n : {0u, 63u, 64u, 200u, 319u}) ASSERT_TRUE(source.Set(n));
  PresenceBits target(target_form);
  ASSERT_TRUE(target.Set(7));
  ASSERT_TRUE(target.MergeFromUnshared(source).ok());
  EXPECT_EQ(Sorted(target.List()), (std::vector<uint32_t>{0, 7, 63, 64, 200, 319}));
  EXPECT_EQ(Sorted(source.List()), (std::vector<uint32_t>{0, 63, 64, 200, 319}));
  ASSERT_TRUE(target.MergeFromUnshared(target).ok());
  EXPECT_EQ(target.Count(), 6u);
}

INSTANTIATE_TEST_SUITE_P(Forms, UnsharedMergeTest,
                         ::testing::Combine(::testing::Values(Form::kFixed, Form::kSet),
                                            ::testing::Values(Form::kFixed, Form::kSet)));

TEST(UnsharedMergeTest, FixedTargetRejectsLargeNumbersOfASet) {
  PresenceBits source(Form::kSet);
  ASSERT_TRUE(source.Set(5));
  ASSERT_TRUE(source.Set(1000));
  PresenceBits target(Form::kFixed);
  const Status status = target.MergeFromUnshared(source);
  EXPECT_FALSE(status.ok());
}

}  // namespace
}  // namespace velum
