#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "common/status.h"
#include "raw_alloc_stub.h"

namespace velum {
namespace {

std::string Text(const RawString& s) { return std::string(s.data(), s.size()); }

// Nested field reads attach the context as the error leaves each field; only
// the innermost one names itself.
TEST(FieldContext, InnermostFieldOnly) {
  Status status(ErrorKind::kValue, "invalid value 7");
  EXPECT_TRUE(status.AppendFieldContext(" for field pkg.Inner.x"));
  EXPECT_FALSE(status.AppendFieldContext(" for field pkg.Outer.inner"));
  EXPECT_TRUE(status.has_field_context());
  EXPECT_EQ(Text(status.message()), "invalid value 7 for field pkg.Inner.x");
  EXPECT_EQ(status.kind(), ErrorKind::kValue);
}

TEST(FieldContext, SurvivesMoves) {
  Status inner(ErrorKind::kType, "expected list got <class 'int'>");
  ASSERT_TRUE(inner.AppendFieldContext(" for extension pkg.ext"));
  Status outer = std::move(inner);
  EXPECT_FALSE(outer.AppendFieldContext(" for field pkg.M.f"));
  EXPECT_EQ(Text(outer.message()), "expected list got <class 'int'> for extension pkg.ext");
}

// A pending exception carries its text in the interpreter: the status only
// records that the context was attached, once.
TEST(FieldContext, PendingIsMarkedOnce) {
  Status status = Status::Pending();
  EXPECT_TRUE(status.AppendFieldContext(" for field pkg.M.f"));
  EXPECT_TRUE(status.message().empty());
  EXPECT_FALSE(status.AppendFieldContext(" for field pkg.M.g"));
}

TEST(FieldContext, JsonDecodeKeepsParserMessage) {
  Status status = Status::JsonDecode("expected value", "{\"a\": x}", 6);
  EXPECT_FALSE(status.AppendFieldContext(" for field pkg.M.a"));
  EXPECT_EQ(Text(status.message()), "expected value");
}

TEST(JsonDecode, CarriesMessageInputAndOffset) {
  const std::string input("{\"a\":\xff}", 7);  // invalid UTF-8 is kept as given
  Status status = Status::JsonDecode("invalid unicode code point", input, 5);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.kind(), ErrorKind::kJsonDecode);
  EXPECT_EQ(Text(status.message()), "invalid unicode code point");
  EXPECT_EQ(Text(status.json_doc()), input);
  EXPECT_EQ(status.json_offset(), 5u);
}

TEST(JsonDecode, OutOfMemoryIsMemoryError) {
  testing::AllocationFailureScope fail(0);
  Status status = Status::JsonDecode("trailing characters", "{} x", 3);
  EXPECT_EQ(status.kind(), ErrorKind::kMemory);
}

TEST(JsonDecode, OutOfMemoryCopyingTheInputLeaksNothing) {
  const long before = testing::LiveAllocations();
  {
    Status status = [] {
      testing::AllocationFailureScope fail(2);  // the record and its message succeed
      return Status::JsonDecode("trailing characters", std::string(1000, ' '), 3);
    }();
    EXPECT_EQ(status.kind(), ErrorKind::kMemory);
  }
  EXPECT_EQ(testing::LiveAllocations(), before);
}

TEST(Path, SegmentsArePrependedOutward) {
  Status status(ErrorKind::kType, "expected int, got <class 'str'>");
  status.PrependPath(".cents");
  status.PrependPath("[3]");
  status.PrependPath(".items");
  EXPECT_EQ(Text(status.path()), ".items[3].cents");
  EXPECT_EQ(Text(status.message()), "expected int, got <class 'str'>");
}

TEST(Path, SharedOutOfMemoryRecordIsNeverChanged) {
  Status status = [] {
    testing::AllocationFailureScope fail(0);
    return Status(ErrorKind::kValue, "lost");
  }();
  ASSERT_EQ(status.kind(), ErrorKind::kMemory);
  status.PrependPath(".x");
  EXPECT_FALSE(status.AppendFieldContext(" for field a.b"));
  EXPECT_TRUE(status.path().empty());
  EXPECT_TRUE(status.message().empty());
  Status again = [] {
    testing::AllocationFailureScope fail(0);
    return Status(ErrorKind::kValue, "lost");
  }();
  EXPECT_TRUE(again.path().empty());
  EXPECT_FALSE(again.has_field_context());
}

}  // namespace
}  // namespace velum
