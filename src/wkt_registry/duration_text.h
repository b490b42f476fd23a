// Core unit: no Python.
// The text of a Duration: a signed decimal number of seconds with up to nine
// fraction digits and an "s" suffix, within ten thousand years either way.
#pragma once

#include <string_view>

#include "wkt_registry/text_error.h"
#include "wkt_registry/time_text.h"

namespace velum::wkt {

// Fails with kDurationSecondsRange, kDurationNanosRange or kDurationSigns.
TextError FormatDuration(SecondsNanos value, TimeText& out) noexcept;

// Fails with kInvalidDuration for malformed text and for a value out of range.
TextError ParseDuration(std::string_view text, SecondsNanos& out) noexcept;

}  // namespace velum::wkt
