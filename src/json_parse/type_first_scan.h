// Core unit: no Python.
// Whether an Any object can be read member by member straight from the text
// instead of being taken whole as Python values first. Reading it whole gives
// a dict, in which a repeated name keeps its last value and "@type" may come
// anywhere; reading it as it goes gives the same message only when neither
// can make a difference, which this scan decides before anything is read.
#pragma once

#include <cstdint>
#include <string_view>

#include "json_parse/json_tokenizer.h"

namespace velum::json {

// Scans the value ahead of `tok`. True when it is a well-formed object whose
// first member is "@type" holding a string without escapes (`*url` views it
// in the input), no object within repeats a member name, nothing nests more
// than a few levels, and every number is one a tree would hold with the same
// value (an integer within 64 bits other than -0, a finite double). Consumes
// what it scans, and may leave `tok` failed: the caller rewinds either way.
bool ScanTypeFirstObject(JsonTokenizer& tok, std::string_view* url) noexcept;

// Tells member names apart for the repeated-name test: equal names hash
// equal; unequal ones rarely collide, and a collision only errs on the safe
// side (the object is taken whole).
uint64_t MemberNameHash(std::string_view name) noexcept;

// Whether the number literal `text` starts with is one a tree would hold with
// the same value (the test the scan applies to every number). False for
// anything that does not start with a valid literal.
bool NumberReadsAlike(std::string_view text) noexcept;

}  // namespace velum::json
