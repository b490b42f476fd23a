// Core unit: no Python.
// Failures of the text forms of Timestamp, Duration and FieldMask as plain
// values. Every one is a ValueError; ToStatus gives it the exact message, so
// the JSON writer and reader only supply the type name and the input text.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/status.h"

namespace velum::wkt {

enum class TextError : uint8_t {
  kOk,
  // Writing.
  kTimestampSecondsRange,
  kTimestampNanosRange,
  kDurationSecondsRange,
  kDurationNanosRange,
  kDurationSigns,
  kIrreversiblePath,  // needs the path
  // Reading: the message starts "cannot decode {type} from JSON: ".
  kInvalidRfc3339,
  kTimestampRange,
  kInvalidDuration,  // needs the whole input text
  kPathNotLowerCamel,
};

// The ValueError of `error` (which must not be kOk). `type_name` is the full
// name of the type being read; `input` is the offending Duration text or
// FieldMask path, unused by the other errors.
Status ToStatus(TextError error, std::string_view type_name = {}, std::string_view input = {}) noexcept;

}  // namespace velum::wkt
