// Core unit: no Python.
#include "wkt_registry/field_mask_path.h"

#include <new>

namespace velum::wkt {
namespace {

constexpr bool IsAsciiUpper(char c) noexcept { return c >= 'A' && c <= 'Z'; }
constexpr bool IsAsciiLower(char c) noexcept { return c >= 'a' && c <= 'z'; }

void AppendUtf8(char32_t c, RawString& out) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xc0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xe0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
  } else {
    out.push_back(static_cast<char>(0xf0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
  }
}

// Decodes the non-ASCII character starting at path[i] and advances i past it;
// false for a malformed, overlong or surrogate sequence.
bool DecodeUtf8(std::string_view path, size_t& i, char32_t& out) noexcept {
  const auto lead = static_cast<unsigned char>(path[i]);
  const size_t length = (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
  if (length == 0 || path.size() - i < length) return false;
  char32_t c = lead & (0x7f >> length);
  for (size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(path[i + k]);
    if ((next & 0xc0) != 0x80) return false;
    c = c << 6 | (next & 0x3f);
  }
  static constexpr char32_t kSmallest[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kSmallest[length] || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff)) return false;
  i += length;
  out = c;
  return true;
}

enum class Direction : bool { kToCamel, kToSnake };

PathCase Convert(std::string_view path, const CaseMapper* unicode, RawString& out, Direction direction) {
  bool upper_next = false;
  for (size_t i = 0; i < path.size();) {
    const char byte = path[i];
    if (static_cast<unsigned char>(byte) < 0x80) {
      ++i;
      if (direction == Direction::kToSnake) {
        if (IsAsciiUpper(byte)) {
          out.push_back('_');
          out.push_back(static_cast<char>(byte - 'A' + 'a'));
        } else {
          out.push_back(byte);
        }
      } else if (byte == '_') {
        upper_next = true;
      } else {
        out.push_back(upper_next && IsAsciiLower(byte) ? static_cast<char>(byte - 'a' + 'A') : byte);
        // A segment boundary ends the pending upper-casing like any other character.
        upper_next = false;
      }
      continue;
    }
    if (unicode == nullptr) return PathCase::kNeedsUnicode;
    char32_t c = 0;
    if (!DecodeUtf8(path, i, c)) return PathCase::kInvalidUtf8;
    if (direction == Direction::kToSnake) {
      bool upper = false;
      if (!unicode->IsUpper(c, upper)) return PathCase::kMapperFailed;
      if (upper) {
        out.push_back('_');
        if (!unicode->AppendLower(c, out)) return PathCase::kMapperFailed;
      } else {
        AppendUtf8(c, out);
      }
    } else if (upper_next) {
      if (!unicode->AppendUpper(c, out)) return PathCase::kMapperFailed;
      upper_next = false;
    } else {
      AppendUtf8(c, out);
    }
  }
  return PathCase::kOk;
}

PathCase ConvertGuarded(std::string_view path, const CaseMapper* unicode, RawString& out,
                        Direction direction) noexcept {
  try {
    return Convert(path, unicode, out, direction);
  } catch (const std::bad_alloc&) {
    return PathCase::kNoMemory;
  }
}

bool IsReversibleSegment(std::string_view segment) noexcept {
  if (segment.empty() || !(IsAsciiLower(segment[0]) || segment[0] == '_')) return false;
  for (char c : segment) {
    if (!(IsAsciiLower(c) || (c >= '0' && c <= '9') || c == '_')) return false;
  }
  // snake_case(lowerCamelCase(s)) == s exactly when every "_" is followed by a
  // lower-case letter: the letter comes back as "_" plus itself, while a "_"
  // before a digit, another "_" or the end is lost.
  for (size_t i = 0; i < segment.size(); ++i) {
    if (segment[i] == '_' && (i + 1 == segment.size() || !IsAsciiLower(segment[i + 1]))) return false;
  }
  return true;
}

}  // namespace

PathCase LowerCamelPath(std::string_view path, const CaseMapper* unicode, RawString& out) noexcept {
  return ConvertGuarded(path, unicode, out, Direction::kToCamel);
}

PathCase SnakeCasePath(std::string_view path, const CaseMapper* unicode, RawString& out) noexcept {
  return ConvertGuarded(path, unicode, out, Direction::kToSnake);
}

bool IsReversiblePath(std::string_view path) noexcept {
  if (path == "*") return true;
  for (;;) {
    const size_t dot = path.find('.');
    if (!IsReversibleSegment(path.substr(0, dot))) return false;
    if (dot == std::string_view::npos) return true;
    path.remove_prefix(dot + 1);
  }
}

}  // namespace velum::wkt
