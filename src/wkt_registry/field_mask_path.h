// Core unit: no Python.
// FieldMask paths between their stored snake_case and their JSON
// lowerCamelCase, each "."-separated segment on its own. ASCII is converted
// here; other characters need full Unicode casing, which the caller supplies
// as a CaseMapper (the interpreter's tables).
#pragma once

#include <cstdint>
#include <string_view>

#include "common/raw_alloc.h"

namespace velum::wkt {

class CaseMapper {
 public:
  // Each returns false when the mapping failed (the mapper keeps the reason).
  virtual bool IsUpper(char32_t c, bool& upper) const = 0;
  // Append the UTF-8 of the full upper- or lower-case form, which may be
  // several characters.
  virtual bool AppendUpper(char32_t c, RawString& out) const = 0;
  virtual bool AppendLower(char32_t c, RawString& out) const = 0;

 protected:
  ~CaseMapper() = default;
};

enum class PathCase : uint8_t {
  kOk,
  kNeedsUnicode,  // a non-ASCII character and no mapper
  kInvalidUtf8,
  kMapperFailed,
  kNoMemory,
};

// Appends the lowerCamelCase of `path` to `out`: every "_" is dropped and the
// character after it upper-cased. `unicode` may be null.
PathCase LowerCamelPath(std::string_view path, const CaseMapper* unicode, RawString& out) noexcept;

// Appends the snake_case of `path` to `out`: every upper-case character
// becomes "_" and its lower-case form. `unicode` may be null.
PathCase SnakeCasePath(std::string_view path, const CaseMapper* unicode, RawString& out) noexcept;

// Whether the path survives the trip to lowerCamelCase and back: exactly "*",
// or non-empty segments of [a-z0-9_] starting with [a-z_] that snake_case
// restores. Such paths are ASCII, so their lowerCamelCase needs no mapper.
bool IsReversiblePath(std::string_view path) noexcept;

}  // namespace velum::wkt
