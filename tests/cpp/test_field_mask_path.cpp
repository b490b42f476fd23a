#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "common/status.h"
#include "wkt_registry/field_mask_path.h"
#include "wkt_registry/text_error.h"

namespace velum::wkt {
namespace {

std::string Camel(std::string_view path, const CaseMapper* mapper = nullptr) {
  RawString out;
  const PathCase result = LowerCamelPath(path, mapper, out);
  return result == PathCase::kOk ? std::string(out) : "error " + std::to_string(int(result));
}

std::string Snake(std::string_view path, const CaseMapper* mapper = nullptr) {
  RawString out;
  const PathCase result = SnakeCasePath(path, mapper, out);
  return result == PathCase::kOk ? std::string(out) : "error " + std::to_string(int(result));
}

// The definition, spelled out: the characters allowed, then the round trip.
bool ReversibleByDefinition(std::string_view path) {
  if (path == "*") return true;
  size_t start = 0;
  for (;;) {
    const size_t dot = path.find('.', start);
    const std::string_view segment = path.substr(start, dot - start);
    if (segment.empty() || !((segment[0] >= 'a' && segment[0] <= 'z') || segment[0] == '_')) return false;
    for (char c : segment) {
      if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
    }
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return Snake(Camel(path)) == path;
}

// A stand-in for the interpreter's tables: Greek capitals and small letters
// map to each other, and "ß" upper-cases to "SS".
class GreekCase final : public CaseMapper {
 public:
  bool IsUpper(char32_t c, bool& upper) const override {
    if (c == U'\u2603') return false;  // a failing lookup
    upper = c >= U'\u0391' && c <= U'\u03a9';
    return true;
  }
  bool AppendUpper(char32_t c, RawString& out) const override {
    if (c == U'\u00df') {
      out.append("SS");
    } else {
      Append(c >= U'\u03b1' && c <= U'\u03c9' ? c - 0x20 : c, out);
    }
    return true;
  }
  bool AppendLower(char32_t c, RawString& out) const override {
    Append(c + 0x20, out);
    return true;
  }

 private:
  static void Append(char32_t c, RawString& out) {
    out.push_back(static_cast<char>(0xc0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
  }
};

struct Conversion {
  const char* snake;
  const char* camel;
};

class PathConversion : public testing::TestWithParam<Conversion> {};

TEST_P(PathConversion, BothWays) {
  EXPECT_EQ(Camel(GetParam().snake), GetParam().camel);
  EXPECT_EQ(Snake(GetParam().camel), GetParam().snake);
}

INSTANTIATE_TEST_SUITE_P(Ascii, PathConversion,
                         testing::Values(Conversion{"foo_bar", "fooBar"}, Conversion{"a.b_c", "a.bC"},
                                         Conversion{"_foo", "Foo"}, Conversion{"*", "*"}, Conversion{"", ""},
                                         Conversion{"a_b_c", "aBC"}, Conversion{"x1_y2.z", "x1Y2.z"}));

struct OneWay {
  const char* in;
  const char* out;
};

class CamelOnly : public testing::TestWithParam<OneWay> {};
TEST_P(CamelOnly, Converts) { EXPECT_EQ(Camel(GetParam().in), GetParam().out); }
INSTANTIATE_TEST_SUITE_P(Lossy, CamelOnly,
                         testing::Values(OneWay{"foo__bar", "fooBar"}, OneWay{"foo_1", "foo1"},
                                         OneWay{"foo_", "foo"}, OneWay{"a_.b", "a.b"}, OneWay{"Foo_bar", "FooBar"}));

class SnakeOnly : public testing::TestWithParam<OneWay> {};
TEST_P(SnakeOnly, Converts) { EXPECT_EQ(Snake(GetParam().in), GetParam().out); }
INSTANTIATE_TEST_SUITE_P(Pieces, SnakeOnly,
                         testing::Values(OneWay{"aBC", "a_b_c"}, OneWay{"FooBar", "_foo_bar"}, OneWay{"a,b", "a,b"},
                                         OneWay{"x.Y", "x._y"}));

struct Reversible {
  const char* path;
  bool reversible;
};

class PathReversible : public testing::TestWithParam<Reversible> {};

TEST_P(PathReversible, Check) {
  EXPECT_EQ(IsReversiblePath(GetParam().path), GetParam().reversible) << GetParam().path;
  EXPECT_EQ(ReversibleByDefinition(GetParam().path), GetParam().reversible) << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PathReversible,
    testing::Values(Reversible{"foo_bar", true}, Reversible{"a.b_c", true}, Reversible{"*", true},
                    Reversible{"_foo", true}, Reversible{"a1.b2_c", true}, Reversible{"foo__bar", false},
                    Reversible{"foo_1", false}, Reversible{"Foo", false}, Reversible{"foo_", false},
                    Reversible{"", false}, Reversible{"a..b", false}, Reversible{".a", false},
                    Reversible{"a.", false}, Reversible{"1a", false}, Reversible{"a.*", false},
                    Reversible{"**", false}, Reversible{"a-b", false}, Reversible{"caf\xc3\xa9", false}));

// Every path of up to five characters over the interesting alphabet: the
// shortcut must agree with the definition.
TEST(PathReversible, AgreesWithTheDefinitionExhaustively) {
  const std::string alphabet = "ab1_.A*";
  std::string path;
  int checked = 0;
  auto visit = [&](auto&& self, size_t length) -> void {
    if (path.size() == length) {
      ASSERT_EQ(IsReversiblePath(path), ReversibleByDefinition(path)) << path;
      ++checked;
      return;
    }
    for (char c : alphabet) {
      path.push_back(c);
      self(self, length);
      path.pop_back();
    }
  };
  for (size_t length = 0; length <= 5; ++length) visit(visit, length);
  EXPECT_EQ(checked, 1 + 7 + 49 + 343 + 2401 + 16807);
}

TEST(PathConversion, NonAsciiNeedsAMapper) {
  EXPECT_EQ(Camel("a_\xce\xb2"), "error 1");
  EXPECT_EQ(Snake("\xce\x92"), "error 1");
  const GreekCase greek;
  // β after "_" upper-cases to Β; ß to the two letters SS.
  EXPECT_EQ(Camel("a_\xce\xb2_\xc3\x9f\xce\xb3", &greek), "a\xce\x92SS\xce\xb3");
  // Β is upper case: "_" and β; γ is copied.
  EXPECT_EQ(Snake("x\xce\x92\xce\xb3", &greek), "x_\xce\xb2\xce\xb3");
  EXPECT_EQ(Snake("\xe2\x98\x83", &greek), "error 3");
  EXPECT_EQ(Snake("\xce", &greek), "error 2");
  EXPECT_EQ(Snake("\xc0\x80", &greek), "error 2");        // overlong
  EXPECT_EQ(Snake("\xed\xa0\x80", &greek), "error 2");    // surrogate
  EXPECT_EQ(Snake("\xf4\x90\x80\x80", &greek), "error 2");  // above U+10FFFF
  EXPECT_EQ(Snake("\xf0\x9f\x98\x80", &greek), "\xf0\x9f\x98\x80");
}

struct Message {
  TextError error;
  const char* input;
  const char* text;
};

class ErrorText : public testing::TestWithParam<Message> {};

TEST_P(ErrorText, Exact) {
  const Status status = ToStatus(GetParam().error, "google.protobuf.X", GetParam().input);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.kind(), ErrorKind::kValue);
  EXPECT_EQ(std::string_view(status.message()), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    All, ErrorText,
    testing::Values(
        Message{TextError::kTimestampSecondsRange, "", "timestamp seconds out of range"},
        Message{TextError::kTimestampNanosRange, "", "timestamp nanos out of range"},
        Message{TextError::kDurationSecondsRange, "", "duration seconds out of range"},
        Message{TextError::kDurationNanosRange, "", "duration nanos out of range"},
        Message{TextError::kDurationSigns, "", "duration seconds and nanos have different signs"},
        Message{TextError::kIrreversiblePath, "foo__bar",
                "invalid FieldMask path: lowerCamelCase of foo__bar is irreversible"},
        Message{TextError::kInvalidRfc3339, "", "cannot decode google.protobuf.X from JSON: invalid RFC 3339 string"},
        Message{TextError::kTimestampRange, "",
                "cannot decode google.protobuf.X from JSON: must be from 0001-01-01T00:00:00Z to "
                "9999-12-31T23:59:59Z inclusive"},
        Message{TextError::kInvalidDuration, "1.0000000001s", "cannot decode google.protobuf.X from JSON: 1.0000000001s"},
        Message{TextError::kPathNotLowerCamel, "",
                "cannot decode google.protobuf.X from JSON: path names must be lowerCamelCase"}));

}  // namespace
}  // namespace velum::wkt
