// Numbers read from JSON text in place: a list of numbers in one tight loop,
// and single values for callers that read many of them (map values). Each
// value in the common forms (a number literal; for the integer types also a
// plain decimal integer in quotes) is scanned, valued and made into its
// object without the general read's dispatch; anything else is left to the
// general read, which reports whatever is wrong with it.
#pragma once

#include "common/ref.h"
#include "common/status.h"
#include "descriptor/field_kind.h"
#include "json_parse/json_text_source.h"

namespace velum::json {

// Whether the reads below take values of `type` (the integer and float types).
inline bool IsQuickNumberType(ScalarType type) noexcept {
  return type != ScalarType::kBool && type != ScalarType::kString && type != ScalarType::kBytes;
}

// The general read of one list element; `item` left empty adds nothing.
using ElementFallback = Status (*)(void* context, Ref& item);

// Reads the array ahead (the caller peeked it) and appends its elements to
// `list`. Elements not in the common forms, and those the quick conversion
// cannot decide or the range of `type` refuses, are read by `fallback`.
Status ReadNumberList(JsonTextSource& source, ScalarType type, PyObject* list, ElementFallback fallback,
                      void* context);

// The value ahead, which the caller has just peeked, as a number of `type`
// when it is in a common form and in range: true with `out` set, or with an
// error status when making the object failed. False consumes nothing.
bool ReadQuickNumber(JsonTextSource& source, ScalarType type, Ref& out, Status& status);

// As ReadQuickNumber for an integer type, without an object: the value's 64
// bits, two's complement (a uint64 or fixed64 above int64 as it is).
bool ReadQuickIntegerBits(JsonTextSource& source, ScalarType type, uint64_t* bits) noexcept;

// As ReadQuickNumber for a double (a float when `float32`), for the numbers
// of Struct values: a short decimal (see ShortDecimalDouble) is tried first.
bool ReadQuickReal(JsonTextSource& source, bool float32, Ref& out, Status& status);

}  // namespace velum::json
