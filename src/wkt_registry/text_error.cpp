// Core unit: no Python.
#include "wkt_registry/text_error.h"

#include <new>

namespace velum::wkt {
namespace {

std::string_view FixedText(TextError error) noexcept {
  switch (error) {
    case TextError::kTimestampSecondsRange:
      return "timestamp seconds out of range";
    case TextError::kTimestampNanosRange:
      return "timestamp nanos out of range";
    case TextError::kDurationSecondsRange:
      return "duration seconds out of range";
    case TextError::kDurationNanosRange:
      return "duration nanos out of range";
    case TextError::kDurationSigns:
      return "duration seconds and nanos have different signs";
    case TextError::kInvalidRfc3339:
      return "invalid RFC 3339 string";
    case TextError::kTimestampRange:
      return "must be from 0001-01-01T00:00:00Z to 9999-12-31T23:59:59Z inclusive";
    case TextError::kPathNotLowerCamel:
      return "path names must be lowerCamelCase";
    case TextError::kOk:
    case TextError::kIrreversiblePath:
    case TextError::kInvalidDuration:
      break;
  }
  return {};
}

bool IsReadError(TextError error) noexcept { return error >= TextError::kInvalidRfc3339; }

}  // namespace

Status ToStatus(TextError error, std::string_view type_name, std::string_view input) noexcept {
  try {
    RawString message;
    if (IsReadError(error)) {
      message.append("cannot decode ").append(type_name).append(" from JSON: ");
    }
    if (error == TextError::kIrreversiblePath) {
      message.append("invalid FieldMask path: lowerCamelCase of ").append(input).append(" is irreversible");
    } else if (error == TextError::kInvalidDuration) {
      message.append(input);
    } else {
      message.append(FixedText(error));
    }
    return Status(ErrorKind::kValue, message);
  } catch (const std::bad_alloc&) {
    return Status(ErrorKind::kMemory, {});
  }
}

}  // namespace velum::wkt
