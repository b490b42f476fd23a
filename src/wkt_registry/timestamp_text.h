// Core unit: no Python.
// The RFC 3339 text of a Timestamp: always UTC with "Z" when written; read
// with any zone offset, strictly fixed-width, upper-case "T" and "Z" only.
#pragma once

#include <string_view>

#include "wkt_registry/text_error.h"
#include "wkt_registry/time_text.h"

namespace velum::wkt {

// Fails with kTimestampSecondsRange or kTimestampNanosRange.
TextError FormatTimestamp(SecondsNanos value, TimeText& out) noexcept;

// Fails with kInvalidRfc3339 for any malformed text and kTimestampRange when
// the instant, after its zone offset, lies outside 0001 … 9999.
TextError ParseTimestamp(std::string_view text, SecondsNanos& out) noexcept;

}  // namespace velum::wkt
