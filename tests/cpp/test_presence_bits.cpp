#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <random>
#include <set>
#include <string>
#include <thread>
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

class PresenceFormTest : public ::testing::TestWithParam<Form> {};

TEST_P(PresenceFormTest, SetGetClearList) {
  PresenceBits bits(GetParam());
  for (uint32_t n : {5u, 1u, 3u, 0u, 319u, 64u}) ASSERT_TRUE(bits.Set(n));
  ASSERT_TRUE(bits.Set(3));  // setting twice changes nothing
  ASSERT_TRUE(bits.Clear(64));
  ASSERT_TRUE(bits.Clear(2));  // clearing an absent number is fine
  EXPECT_TRUE(bits.Get(3));
  EXPECT_FALSE(bits.Get(64));
  EXPECT_FALSE(bits.Get(1000));
  EXPECT_EQ(bits.Count(), 5u);
  const RawVector<uint32_t> listed = bits.List();
  if (GetParam() == Form::kFixed) {
    EXPECT_EQ(std::vector<uint32_t>(listed.begin(), listed.end()), (std::vector<uint32_t>{0, 1, 3, 5, 319}));
  } else {
    EXPECT_EQ(Sorted(listed), (std::vector<uint32_t>{0, 1, 3, 5, 319}));
  }
}

TEST_P(PresenceFormTest, MergeIsUnion) {
  PresenceBits target(GetParam());
  PresenceBits source(GetParam());
  ASSERT_TRUE(target.Set(1));
  ASSERT_TRUE(source.Set(2));
  ASSERT_TRUE(source.Set(300));
  ASSERT_TRUE(target.MergeFrom(source).ok());
  ASSERT_TRUE(target.MergeFrom(target).ok());
  EXPECT_EQ(Sorted(target.List()), (std::vector<uint32_t>{1, 2, 300}));
  EXPECT_EQ(Sorted(source.List()), (std::vector<uint32_t>{2, 300}));
}

TEST_P(PresenceFormTest, LockSerialisesWriters) {
  // Two threads set bits of the same words in many instances, each once, so
  // an unguarded update that is lost stays lost.
  std::vector<std::unique_ptr<PresenceBits>> instances;
  for (int i = 0; i < 20000; ++i) instances.push_back(std::make_unique<PresenceBits>(GetParam()));
  std::atomic<int> ready{0};
  auto writer = [&instances, &ready](uint32_t parity) {
    ready.fetch_add(1);
    while (ready.load() < 2) {
    }
    for (auto& bits : instances) {
      for (uint32_t n = parity; n < 128; n += 2) {
        if (!bits->Set(n)) return;
      }
    }
  };
  std::thread even(writer, 0);
  std::thread odd(writer, 1);
  even.join();
  odd.join();
  for (const auto& bits : instances) ASSERT_EQ(bits->Count(), 128u);
}

INSTANTIATE_TEST_SUITE_P(Forms, PresenceFormTest, ::testing::Values(Form::kFixed, Form::kSet),
                         [](const auto& test) { return std::string(test.param == Form::kFixed ? "Fixed" : "Set"); });

TEST(PresenceBitsTest, FormChoice) {
  EXPECT_EQ(PresenceBits::FormFor(319), Form::kFixed);
  EXPECT_EQ(PresenceBits::FormFor(320), Form::kSet);
  EXPECT_LE(sizeof(PresenceBits), 48u);
}

TEST(PresenceBitsTest, FixedFormRejectsLargeNumbers) {
  PresenceBits bits(Form::kFixed);
  ASSERT_TRUE(bits.Set(7));
  EXPECT_FALSE(bits.Set(320));
  EXPECT_FALSE(bits.Clear(UINT32_MAX));
  EXPECT_EQ(Sorted(bits.List()), std::vector<uint32_t>{7});
  const Status status = bits.FailureStatus(320);
  EXPECT_EQ(status.kind(), ErrorKind::kValue);
  EXPECT_EQ(std::string(status.message().data(), status.message().size()),
            "field number 320 out of range for presence bits (0 to 319)");

  PresenceBits wide(Form::kSet);
  ASSERT_TRUE(wide.Set(4));
  ASSERT_TRUE(wide.Set(1000));
  EXPECT_EQ(bits.MergeFrom(wide).kind(), ErrorKind::kValue);
  EXPECT_FALSE(bits.Get(1000));
  EXPECT_TRUE(bits.Get(7));
}

// Random inserts and removals, checked against std::set: exercises growth and
// the removal that keeps probe chains intact.
TEST(PresenceBitsTest, SetFormMatchesReference) {
  const long before = testing::LiveAllocations();
  {
    PresenceBits bits(Form::kSet);
    std::set<uint32_t> reference;
    std::mt19937 random(12345);
    for (int i = 0; i < 20000; ++i) {
      // A narrow range forces collisions and repeated removals.
      const uint32_t n = i % 7 == 0 ? UINT32_MAX - random() % 3 : random() % 3000;
      if (random() % 3 == 0) {
        ASSERT_TRUE(bits.Clear(n));
        reference.erase(n);
      } else {
        ASSERT_TRUE(bits.Set(n));
        reference.insert(n);
      }
      ASSERT_EQ(bits.Get(n), reference.count(n) == 1);
    }
    EXPECT_EQ(Sorted(bits.List()), std::vector<uint32_t>(reference.begin(), reference.end()));
    for (uint32_t n = 0; n < 3000; ++n) ASSERT_EQ(bits.Get(n), reference.count(n) == 1) << n;
  }
  EXPECT_EQ(testing::LiveAllocations(), before);
}

TEST(PresenceBitsTest, SetFormOutOfMemoryKeepsState) {
  PresenceBits bits(Form::kSet);
  for (uint32_t n = 0; n < 6; ++n) ASSERT_TRUE(bits.Set(n * 1000));
  {
    testing::AllocationFailureScope fail(0);
    EXPECT_FALSE(bits.Set(7));  // needs the table to grow
  }
  EXPECT_EQ(bits.FailureStatus(7).kind(), ErrorKind::kMemory);
  EXPECT_FALSE(bits.Get(7));
  EXPECT_EQ(Sorted(bits.List()), (std::vector<uint32_t>{0, 1000, 2000, 3000, 4000, 5000}));
}

TEST(PresenceBitsTest, PlacementConstruction) {
  const long before = testing::LiveAllocations();
  alignas(PresenceBits) unsigned char storage[sizeof(PresenceBits)];
  auto* bits = new (storage) PresenceBits(Form::kSet);
  ASSERT_TRUE(bits->Set(42));
  EXPECT_TRUE(bits->Get(42));
  bits->~PresenceBits();
  EXPECT_EQ(testing::LiveAllocations(), before);
}

}  // namespace
}  // namespace velum
