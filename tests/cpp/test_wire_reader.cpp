#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "parser/wire_reader.h"
#include "common/wire.h"

namespace velum {
namespace {

using Bytes = std::vector<uint8_t>;
using wire::MakeTag;

WireReader ReaderOver(const Bytes& bytes) { return WireReader(InputRef::Copy(bytes.data(), bytes.size())); }

void AppendVarint(Bytes& out, uint64_t value) {
  uint8_t scratch[wire::kMaxVarintBytes];
  out.insert(out.end(), scratch, scratch + wire::EncodeVarint(value, scratch));
}

std::string ErrorText(const Status& status) {
  return status.ok() ? "ok" : std::string(status.message().data(), status.message().size());
}

constexpr const char* kInvalidVarint = "invalid varint";

struct VarintCase {
  Bytes bytes;
  std::optional<uint64_t> value;  // nullopt: "invalid varint"
  size_t consumed;
};

// Each case is read alone, followed by one continuation byte (the byte-by-byte
// path) and followed by twelve (the windowed path): all must agree.
class ReadVarintTest : public ::testing::TestWithParam<std::tuple<VarintCase, size_t>> {};

TEST_P(ReadVarintTest, BothPathsAgree) {
  const auto& [c, padding] = GetParam();
  Bytes input = c.bytes;
  input.insert(input.end(), padding, 0x80);
  WireReader reader = ReaderOver(input);
  uint64_t value = 0;
  const bool ok = reader.ReadVarint64(value);
  ASSERT_EQ(ok, c.value.has_value());
  if (ok) {
    EXPECT_EQ(value, *c.value);
    EXPECT_EQ(reader.offset(), c.consumed);
  } else {
    EXPECT_EQ(ErrorText(reader.LastError()), kInvalidVarint);
    EXPECT_EQ(reader.LastError().kind(), ErrorKind::kValue);
  }
}

const Bytes kTen63 = {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01};

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadVarintTest,
    ::testing::Combine(
        ::testing::Values(
            VarintCase{{0x00}, 0, 1}, VarintCase{{0x7f}, 127, 1}, VarintCase{{0x80, 0x01}, 128, 2},
            VarintCase{{0x80, 0x00}, 0, 2},  // non-minimal zero
            VarintCase{{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}, UINT64_MAX, 10},
            VarintCase{kTen63, uint64_t{1} << 63, 10},
            VarintCase{{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x02}, std::nullopt, 0},
            VarintCase{{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x81, 0x00}, std::nullopt, 0},
            VarintCase{{}, std::nullopt, 0}, VarintCase{{0x80}, std::nullopt, 0},
            VarintCase{{0xff, 0xff, 0xff}, std::nullopt, 0}),
        ::testing::Values(size_t{0}, size_t{1}, size_t{12})));

// Every encoded length, through both the unrolled windowed path (padding
// after the value) and the bounded one (the value ends the input).
TEST(ReadVarintTest, EveryLengthRoundTrips) {
  for (uint32_t bits = 0; bits <= 64; ++bits) {
    for (const uint64_t pattern : {~uint64_t{0}, uint64_t{0xa5a5a5a5a5a5a5a5}, uint64_t{1}}) {
      const uint64_t mask = bits == 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
      const uint64_t value = (pattern & mask) | (bits == 0 ? 0 : uint64_t{1} << (bits - 1));
      Bytes encoded;
      AppendVarint(encoded, value);
      for (const size_t padding : {size_t{0}, size_t{12}}) {
        Bytes input = encoded;
        input.insert(input.end(), padding, 0x80);
        WireReader reader = ReaderOver(input);
        uint64_t got = 0;
        ASSERT_TRUE(reader.ReadVarint64(got)) << bits;
        EXPECT_EQ(got, value) << bits;
        EXPECT_EQ(reader.offset(), encoded.size()) << bits;
      }
    }
  }
}

struct TagCase {
  Bytes bytes;
  std::optional<uint32_t> tag;
};

class ReadTagTest : public ::testing::TestWithParam<TagCase> {};

TEST_P(ReadTagTest, FiveByteWindow) {
  WireReader reader = ReaderOver(GetParam().bytes);
  uint32_t tag = 0;
  const bool ok = reader.ReadTag(tag);
  ASSERT_EQ(ok, GetParam().tag.has_value());
  if (ok) {
    EXPECT_EQ(tag, *GetParam().tag);
  } else {
    EXPECT_EQ(ErrorText(reader.LastError()), kInvalidVarint);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ReadTagTest,
                         ::testing::Values(TagCase{{0x08}, 8}, TagCase{{0x80, 0x01}, 128},
                                           TagCase{{0x88, 0x80, 0x00}, 8},  // padded
                                           TagCase{{0xff, 0xff, 0xff, 0xff, 0x0f}, UINT32_MAX},
                                           TagCase{{0xff, 0xff, 0xff, 0xff, 0x10}, std::nullopt},  // 2^32
                                           TagCase{{0x88, 0x80, 0x80, 0x80, 0x80, 0x00}, std::nullopt},
                                           TagCase{{0x88, 0x80}, std::nullopt}, TagCase{{}, std::nullopt}));

TEST(WireReaderTest, FixedWidth) {
  WireReader reader = ReaderOver({0x04, 0x03, 0x02, 0x01, 0xaa, 0xbb, 0xcc});
  uint32_t value32 = 0;
  ASSERT_TRUE(reader.ReadFixed32(value32));
  EXPECT_EQ(value32, 0x01020304u);
  uint64_t value64 = 0;
  EXPECT_FALSE(reader.ReadFixed64(value64));
  EXPECT_EQ(ErrorText(reader.LastError()), "unexpected end of buffer: needed 8 bytes but only 3 available");
}

TEST(WireReaderTest, LengthDelimitedSharesInput) {
  WireReader reader = ReaderOver({0x03, 0x61, 0x62, 0x63, 0x05, 0x01});
  WireReader payload;
  ASSERT_TRUE(reader.ReadLengthDelimited(payload));
  EXPECT_EQ(payload.view().get(), reader.view().get());
  EXPECT_EQ(reader.view().use_count(), 2u);
  EXPECT_EQ(payload.offset(), 1u);
  EXPECT_EQ(payload.remaining(), 3u);
  EXPECT_EQ(reader.offset(), 4u);
  // The length is read before the bytes are counted.
  EXPECT_FALSE(reader.ReadLengthDelimited(payload));
  EXPECT_EQ(ErrorText(reader.LastError()), "unexpected end of buffer: needed 5 bytes but only 1 available");
}

TEST(WireReaderTest, ViewReleasedWithLastReader) {
  int released = 0;
  const Bytes bytes = {0x01, 0x02};
  {
    WireReader outer(InputRef::Wrap(
        bytes.data(), bytes.size(), [](void* count) noexcept { ++*static_cast<int*>(count); }, &released));
    WireReader inner = outer.Slice(outer.cursor(), 1);
    outer = WireReader();
    EXPECT_EQ(released, 0);
    EXPECT_EQ(inner.view().use_count(), 1u);
  }
  EXPECT_EQ(released, 1);
}

TEST(WireReaderTest, ScopedInputNeedsNoAllocation) {
  const Bytes bytes = {0x08, 0x96, 0x01};
  wire::ScopedInput scope(bytes.data(), bytes.size());
  {
    WireReader reader(scope.ref());
    WireReader copy = reader.Slice(reader.cursor(), 1);
    EXPECT_EQ(reader.view().use_count(), 3u);  // the scope's own count included
    uint32_t tag = 0;
    ASSERT_TRUE(reader.ReadTag(tag));
    uint64_t value = 0;
    ASSERT_TRUE(reader.ReadVarint64(value));
    EXPECT_EQ(value, 150u);
  }
}

struct ConsumeCase {
  Bytes bytes;
  uint32_t tag;
  bool consumed;
};

class ConsumeTagTest : public ::testing::TestWithParam<ConsumeCase> {};

// Only the shortest form of a one- or two-byte tag is taken; anything else
// leaves the reader untouched for the general path.
TEST_P(ConsumeTagTest, TakesOnlyTheShortestForm) {
  const ConsumeCase& c = GetParam();
  WireReader reader = ReaderOver(c.bytes);
  EXPECT_EQ(reader.ConsumeTag(c.tag), c.consumed);
  EXPECT_EQ(reader.offset(), c.consumed ? (c.tag < 0x80 ? 1u : 2u) : 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, ConsumeTagTest,
                         ::testing::Values(ConsumeCase{{0x0a, 0x00}, 0x0a, true}, ConsumeCase{{0x12}, 0x0a, false},
                                           ConsumeCase{{}, 0x0a, false},
                                           ConsumeCase{{0x8a, 0x00}, 0x0a, false},  // padded
                                           ConsumeCase{{0x82, 0x01}, 0x82, true}, ConsumeCase{{0x82}, 0x82, false},
                                           ConsumeCase{{0x82, 0x02}, 0x82, false},
                                           ConsumeCase{{0x80, 0x80, 0x01}, 0x4000, false}));

// Builds `levels` groups nested in one another, numbered 1 (outermost) up,
// without the outermost start tag (the caller has read it).
Bytes NestedGroups(uint32_t levels) {
  Bytes out;
  for (uint32_t n = 2; n <= levels; ++n) AppendVarint(out, MakeTag(n, kWireStartGroup));
  for (uint32_t n = levels; n >= 1; --n) AppendVarint(out, MakeTag(n, kWireEndGroup));
  return out;
}

struct SkipCase {
  const char* name;
  uint32_t wire_type;
  Bytes bytes;  // after a tag of field 7
  const char* error;  // nullptr: the whole input is skipped
};

class SkipFieldTest : public ::testing::TestWithParam<SkipCase> {};

TEST_P(SkipFieldTest, SkipsOrFails) {
  const SkipCase& c = GetParam();
  Bytes input = c.bytes;
  if (c.error == nullptr) input.push_back(0x99);  // must stay unread
  WireReader reader = ReaderOver(input);
  const Status status = reader.SkipField(7, c.wire_type, 1);
  if (c.error == nullptr) {
    ASSERT_TRUE(status.ok()) << ErrorText(status);
    EXPECT_EQ(reader.offset(), c.bytes.size());
  } else {
    EXPECT_EQ(ErrorText(status), c.error);
    EXPECT_EQ(status.kind(), ErrorKind::kValue);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SkipFieldTest,
    ::testing::Values(
        SkipCase{"varint", 0, {0xff, 0x01}, nullptr}, SkipCase{"fixed64", 1, Bytes(8, 0xab), nullptr},
        SkipCase{"fixed32", 5, Bytes(4, 0xab), nullptr}, SkipCase{"delimited", 2, {0x02, 0x10, 0x20}, nullptr},
        SkipCase{"group", 3, {0x08, 0x01, 0x1b, 0x0d, 0, 0, 0, 0, 0x1c, 0x00, 0x00, 0x3c}, nullptr},  // field 0 inside
        SkipCase{"padded_end", 3, {0xbc, 0x80, 0x00}, nullptr},
        SkipCase{"bad_varint", 0, {0xff}, "invalid varint"},
        SkipCase{"short_fixed64", 1, {1, 2, 3}, "unexpected end of buffer: needed 8 bytes but only 3 available"},
        SkipCase{"short_fixed32", 5, {1}, "unexpected end of buffer: needed 4 bytes but only 1 available"},
        SkipCase{"short_delimited", 2, {0x05, 1}, "unexpected end of buffer: needed 5 bytes but only 1 available"},
        SkipCase{"end_group", 4, {}, "Unexpected end group tag for field 7"},
        SkipCase{"wire_type_6", 6, {}, "invalid wire type: 6"},
        SkipCase{"wire_type_7_in_group", 3, {0x0f}, "invalid wire type: 7"},
        SkipCase{"mismatched", 3, {0x44}, "mismatched group end tag: expected 7, got 8"},
        SkipCase{"nested_mismatched", 3, {0x1b, 0x24}, "mismatched group end tag: expected 3, got 4"},
        SkipCase{"unterminated", 3, {0x08, 0x01}, "Unterminated group in unknown field"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(SkipFieldTest, GroupDepthLimit) {
  // Each level of the input adds one to the depth; the outermost is depth 1.
  {
    Bytes input = NestedGroups(100);
    WireReader reader = ReaderOver(input);
    const Status status = reader.SkipField(1, kWireStartGroup, 1);
    EXPECT_TRUE(status.ok()) << ErrorText(status);
    EXPECT_TRUE(reader.empty());
  }
  Bytes input = NestedGroups(101);
  WireReader reader = ReaderOver(input);
  const Status status = reader.SkipField(1, kWireStartGroup, 1);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.kind(), ErrorKind::kRecursion);
  EXPECT_EQ(ErrorText(status), "exceeded maximum recursion depth 100 while skipping field 101");
}

struct ScanCase {
  const char* name;
  Bytes bytes;  // after the start tag of field 1
  size_t content_size;
  const char* error;  // nullptr: the scan ends at the end of the input
};

class ScanGroupTest : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ScanGroupTest, FindsContent) {
  const ScanCase& c = GetParam();
  WireReader reader = ReaderOver(c.bytes);
  WireReader content;
  const Status status = reader.ScanGroup(1, content);
  if (c.error != nullptr) {
    EXPECT_EQ(ErrorText(status), c.error);
    return;
  }
  ASSERT_TRUE(status.ok()) << ErrorText(status);
  EXPECT_EQ(content.offset(), 0u);
  EXPECT_EQ(content.remaining(), c.content_size);
  EXPECT_TRUE(reader.empty());
}

Bytes DeepScan() {
  Bytes out = NestedGroups(40);
  out.insert(out.begin(), {0x10, 0x05});
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScanGroupTest,
    ::testing::Values(
        ScanCase{"empty", {0x0c}, 0, nullptr}, ScanCase{"fields", {0x10, 0x96, 0x01, 0x1a, 0x01, 0x61, 0x0c}, 6, nullptr},
        // A padded end tag is not cut short: the content ends where the tag begins.
        ScanCase{"padded_end", {0x10, 0x01, 0x8c, 0x80, 0x00}, 2, nullptr},
        ScanCase{"nested", {0x13, 0x18, 0x01, 0x14, 0x0c}, 4, nullptr},
        ScanCase{"deep", DeepScan(), DeepScan().size() - 1, nullptr},
        ScanCase{"mismatched", {0x13, 0x0c}, 0, "mismatched group end tag: expected 2, got 1"},
        ScanCase{"unterminated", {0x10, 0x01}, 0, "unterminated group"},
        ScanCase{"wire_type_6", {0x16}, 0, "invalid wire type: 6"},
        ScanCase{"short_fixed64", {0x11, 1, 2}, 0, "unexpected end of buffer: needed 8 bytes but only 2 available"},
        ScanCase{"bad_varint", {0x10, 0x80}, 0, "invalid varint"}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace velum
