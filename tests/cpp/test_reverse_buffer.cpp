#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "raw_alloc_stub.h"
#include "reverse_buffer/reverse_buffer.h"

namespace velum {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Content(const ReverseBuffer& buffer) { return Bytes(buffer.data(), buffer.data() + buffer.size()); }

struct GrowthCase {
  std::vector<size_t> writes;         // sizes put one after the other
  std::vector<uint64_t> capacities;  // capacity after each write
};

class GrowthTest : public ::testing::TestWithParam<GrowthCase> {};

TEST_P(GrowthTest, CapacityAfterEachWrite) {
  const GrowthCase& c = GetParam();
  ReverseBuffer buffer;
  Bytes expected;
  for (size_t i = 0; i < c.writes.size(); ++i) {
    const Bytes chunk(c.writes[i], static_cast<uint8_t>(i + 1));
    buffer.PutBytes(chunk.data(), chunk.size());
    expected.insert(expected.begin(), chunk.begin(), chunk.end());
    EXPECT_EQ(buffer.capacity(), c.capacities[i]) << "after write " << i;
  }
  ASSERT_TRUE(buffer.ok());
  EXPECT_EQ(Content(buffer), expected);
}

INSTANTIATE_TEST_SUITE_P(Sizes, GrowthTest,
                         ::testing::Values(GrowthCase{{1}, {128}}, GrowthCase{{128}, {128}},
                                           GrowthCase{{129}, {256}}, GrowthCase{{100, 200}, {128, 512}},
                                           GrowthCase{{128, 1}, {128, 256}}, GrowthCase{{60, 60, 8}, {128, 128, 128}},
                                           GrowthCase{{0, 1000}, {0, 1024}}));

TEST(ReverseBufferTest, EmptyBufferAllocatesNothing) {
  const long before = testing::LiveAllocations();
  {
    ReverseBuffer buffer;
    buffer.PutBytes(nullptr, 0);
    EXPECT_EQ(buffer.capacity(), 0u);
    EXPECT_EQ(buffer.ContentLength(), 0u);
    EXPECT_EQ(testing::LiveAllocations(), before);
  }
  EXPECT_EQ(testing::LiveAllocations(), before);
}

struct VarintCase {
  uint64_t value;
  Bytes bytes;
};

class PutVarintTest : public ::testing::TestWithParam<VarintCase> {};

TEST_P(PutVarintTest, WritesShortestForm) {
  ReverseBuffer buffer;
  buffer.PutVarint(GetParam().value);
  EXPECT_EQ(Content(buffer), GetParam().bytes);
  EXPECT_EQ(wire::VarintSize(GetParam().value), GetParam().bytes.size());
}

INSTANTIATE_TEST_SUITE_P(
    Values, PutVarintTest,
    ::testing::Values(VarintCase{0, {0x00}}, VarintCase{127, {0x7f}}, VarintCase{128, {0x80, 0x01}},
                      VarintCase{300, {0xac, 0x02}},
                      VarintCase{UINT64_MAX, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}},
                      // int32 -1 is sign-extended to 64 bits.
                      VarintCase{wire::SignExtend(int32_t{-1}),
                                 {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}},
                      VarintCase{uint64_t{1} << 63, {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}}));

TEST(ZigZagTest, KnownValuesAndRoundTrip) {
  const std::vector<std::pair<int64_t, uint64_t>> cases = {
      {0, 0}, {-1, 1}, {1, 2}, {-2, 3}, {INT32_MAX, 0xfffffffe}, {INT32_MIN, 0xffffffff}};
  for (const auto& [n, z] : cases) {
    EXPECT_EQ(wire::ZigZagEncode32(static_cast<int32_t>(n)), z) << n;
    EXPECT_EQ(wire::ZigZagDecode32(static_cast<uint32_t>(z)), n) << n;
    EXPECT_EQ(wire::ZigZagEncode64(n), z) << n;
    EXPECT_EQ(wire::ZigZagDecode64(z), n) << n;
  }
  EXPECT_EQ(wire::ZigZagEncode64(INT64_MIN), UINT64_MAX);
  EXPECT_EQ(wire::ZigZagDecode64(UINT64_MAX - 1), INT64_MAX);
}

TEST(ReverseBufferTest, FixedWidthIsLittleEndian) {
  ReverseBuffer buffer;
  buffer.PutFixed64(0x0102030405060708ull);
  buffer.PutFixed32(0x0a0b0c0du);
  EXPECT_EQ(Content(buffer), (Bytes{0x0d, 0x0c, 0x0b, 0x0a, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}));
}

// A nested record measured by content length stays right across a growth
// that moves the content.
TEST(ReverseBufferTest, LengthPrefixAcrossGrowth) {
  ReverseBuffer buffer;
  buffer.PutByte(0xee);
  const uint64_t before = buffer.ContentLength();
  const Bytes payload(300, 0x11);
  buffer.PutBytes(payload.data(), payload.size());
  buffer.PutVarint(buffer.ContentLength() - before);
  buffer.PutVarint(wire::MakeTag(1, kWireLengthDelimited));
  Bytes expected = {0x0a, 0xac, 0x02};
  expected.insert(expected.end(), payload.begin(), payload.end());
  expected.push_back(0xee);
  EXPECT_EQ(Content(buffer), expected);
  EXPECT_EQ(buffer.capacity(), 512u);
}

TEST(ReverseBufferTest, FailedGrowthKeepsContentAndSticks) {
  ReverseBuffer buffer;
  const Bytes first(100, 0x22);
  buffer.PutBytes(first.data(), first.size());
  {
    testing::AllocationFailureScope fail(0);
    const Bytes more(200, 0x33);
    buffer.PutBytes(more.data(), more.size());
  }
  EXPECT_FALSE(buffer.ok());
  EXPECT_EQ(buffer.capacity(), 128u);
  EXPECT_EQ(Content(buffer), first);
  // Later writes that fit still land, but the buffer stays failed.
  buffer.PutByte(1);
  EXPECT_FALSE(buffer.ok());
}

TEST(ReverseBufferTest, OversizedRequestFailsWithoutAllocating) {
  ReverseBuffer buffer;
  buffer.PutByte(7);
  const long before = testing::LiveAllocations();
  EXPECT_FALSE(buffer.Reserve(std::numeric_limits<uint64_t>::max()));
  EXPECT_FALSE(buffer.Reserve(uint64_t{1} << 62));  // would need a 2^63-byte block
  EXPECT_EQ(testing::LiveAllocations(), before);
  EXPECT_FALSE(buffer.ok());
  EXPECT_EQ(Content(buffer), Bytes{7});
}

TEST(ReverseBufferTest, FailedTryReserveLeavesBufferUsable) {
  ReverseBuffer buffer;
  buffer.PutByte(7);
  {
    testing::AllocationFailureScope fail(0);
    EXPECT_FALSE(buffer.TryReserve(4096));
  }
  EXPECT_TRUE(buffer.ok());
  EXPECT_TRUE(buffer.TryReserve(4096));
  EXPECT_GE(buffer.capacity(), 4097u);
  EXPECT_EQ(Content(buffer), Bytes{7});
}

TEST(ReverseBufferTest, MoveTransfersStorage) {
  ReverseBuffer a;
  a.PutVarint(300);
  ReverseBuffer b = std::move(a);
  EXPECT_EQ(a.capacity(), 0u);
  EXPECT_EQ(Content(b), (Bytes{0xac, 0x02}));
}

// Content starts in the caller's block and moves to an owned one on growth;
// only the owned block is ever freed.
TEST(ReverseBufferTest, CallerBlockThenHeap) {
  const long before = testing::LiveAllocations();
  {
    uint8_t block[16];
    ReverseBuffer buffer(block, sizeof block);
    const Bytes small(10, 0x44);
    buffer.PutBytes(small.data(), small.size());
    EXPECT_EQ(testing::LiveAllocations(), before);
    EXPECT_EQ(buffer.data(), block + 6);
    const Bytes more(20, 0x55);
    buffer.PutBytes(more.data(), more.size());
    EXPECT_EQ(testing::LiveAllocations(), before + 1);
    EXPECT_EQ(buffer.capacity(), 128u);
    Bytes expected = more;
    expected.insert(expected.end(), small.begin(), small.end());
    EXPECT_EQ(Content(buffer), expected);
  }
  EXPECT_EQ(testing::LiveAllocations(), before);
}

// Every length of the short-copy paths, and one above them.
TEST(ReverseBufferTest, PutBytesEveryShortLength) {
  for (size_t n = 0; n <= 40; ++n) {
    ReverseBuffer buffer;
    buffer.PutByte(0xee);
    Bytes payload(n);
    for (size_t i = 0; i < n; ++i) payload[i] = static_cast<uint8_t>(i + 1);
    buffer.PutBytes(payload.data(), n);
    payload.push_back(0xee);
    EXPECT_EQ(Content(buffer), payload) << n;
  }
}

TEST(ReverseBufferTest, CursorWritesVarintsInPlace) {
  ReverseBuffer buffer;
  buffer.PutByte(0xee);
  ASSERT_TRUE(buffer.Reserve(3 * wire::kMaxVarintBytes));
  uint8_t* front = buffer.Front();
  for (uint64_t value : {uint64_t{1}, uint64_t{300}, UINT64_MAX}) front = wire::EncodeVarintBefore(front, value);
  buffer.SetFront(front);
  Bytes expected = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01, 0xac, 0x02, 0x01, 0xee};
  EXPECT_EQ(Content(buffer), expected);
}

}  // namespace
}  // namespace velum
