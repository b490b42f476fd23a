#include "json_parse/number_list_read.h"

#include <cstdint>

#include "common/kept_floats.h"
#include "field_ops/scalar_convert.h"
#include "json_parse/digit_scan.h"
#include "json_parse/number_literal.h"

namespace velum::json {

namespace {

struct IntBounds {
  int64_t lo;
  int64_t hi;
  // uint64 and fixed64 also take quoted values above hi, up to 2^64-1.
  bool unsigned64 = false;
};

IntBounds BoundsOf(ScalarType type) noexcept {
  switch (type) {
    case ScalarType::kInt32:
    case ScalarType::kSint32:
    case ScalarType::kSfixed32: return {INT32_MIN, INT32_MAX};
    case ScalarType::kUint32:
    case ScalarType::kFixed32: return {0, UINT32_MAX};
    case ScalarType::kUint64:
    case ScalarType::kFixed64: return {0, INT64_MAX, true};
    default: return {INT64_MIN, INT64_MAX};
  }
}

bool IsReal(ScalarType type) noexcept { return type == ScalarType::kDouble || type == ScalarType::kFloat; }

// At `p`, a quote: an optional minus, 1 to 20 digits and the closing quote,
// whose magnitude fits 64 bits. The byte after the quote, or nullptr.
[[gnu::always_inline]] inline const char* ScanQuotedInteger(const char* p, const char* end, uint64_t* magnitude,
                                                            bool* negative) noexcept {
  ++p;
  *negative = p < end && *p == '-';
  if (*negative) ++p;
  const char* digits = p;
  uint64_t value = 0;
  p = AccumulateDigits(p, end, &value);
  const auto n = static_cast<size_t>(p - digits);
  if (n == 0 || n > 20 || p == end || *p != '"') return nullptr;
  if (n == 20) {
    // The fold wrapped: the first 19 digits decide against 2^64-1.
    constexpr uint64_t kTop = UINT64_MAX / 10;
    const uint64_t head = DigitsValue(digits, 19);
    if (head > kTop || (head == kTop && static_cast<uint64_t>(digits[19] - '0') > UINT64_MAX % 10)) return nullptr;
  }
  *magnitude = value;
  return p + 1;
}

// The literal at `p` (before `end`) as a new float of a double field (of a
// float field when `float32`), or nullptr with *after null when it takes the
// general read (or with *after set when making the object failed).
[[gnu::always_inline]] inline PyObject* QuickReal(const char* p, const char* end, bool float32, const char** after) {
  DecimalLiteral literal;
  *after = nullptr;
  const char* stop = ScanNumberLiteral(p, end, &literal);
  double value = 0;
  if (stop == nullptr || !LiteralDoubleQuick(literal, &value)) return nullptr;
  if (float32 && OverflowsFloat32(value)) return nullptr;
  *after = stop;
  return PyFloat_FromDouble(value);
}

// The integer types' common forms: a literal or a plain integer in quotes
// within `bounds`. Where it ends (nullptr for any other form) and its value's
// 64 bits: two's complement, or above int64 (`*above`) an unsigned value.
[[gnu::always_inline]] inline const char* QuickIntegerValue(const char* p, const char* end, IntBounds bounds,
                                                            uint64_t* bits, bool* above) noexcept {
  int64_t value = 0;
  const char* stop = nullptr;
  *above = false;
  if (p < end && *p == '"') {
    uint64_t magnitude = 0;
    bool negative = false;
    stop = ScanQuotedInteger(p, end, &magnitude, &negative);
    if (stop == nullptr) return nullptr;
    if (magnitude > uint64_t{INT64_MAX}) {
      // Beyond int64 only an unsigned field's value (uint64 ids and hashes).
      if (negative || !bounds.unsigned64) return nullptr;
      *bits = magnitude;
      *above = true;
      return stop;
    }
    value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  } else {
    DecimalLiteral literal;
    stop = ScanNumberLiteral(p, end, &literal);
    // Up to 18 digits the folded value is exact.
    if (stop == nullptr || !literal.is_integer || literal.integer_digits > 18) return nullptr;
    const auto magnitude = static_cast<int64_t>(literal.mantissa);
    value = literal.negative ? -magnitude : magnitude;
  }
  if (value < bounds.lo || value > bounds.hi) return nullptr;
  *bits = static_cast<uint64_t>(value);
  return stop;
}

// As QuickReal for the integer types, as a new int.
[[gnu::always_inline]] inline PyObject* QuickInteger(const char* p, const char* end, IntBounds bounds,
                                                     const char** after) {
  uint64_t bits = 0;
  bool above = false;
  const char* stop = QuickIntegerValue(p, end, bounds, &bits, &above);
  *after = stop;
  if (stop == nullptr) return nullptr;
  if (above) [[unlikely]]
    return PyLong_FromUnsignedLongLong(bits);
  return PyLong_FromLongLong(static_cast<int64_t>(bits));
}

// The value at `p` as a new object of the list's type (see QuickReal).
[[gnu::always_inline]] inline PyObject* QuickValue(const char* p, const char* end, bool real, ScalarType type,
                                                   IntBounds bounds, const char** after) {
  if (real) return QuickReal(p, end, type == ScalarType::kFloat, after);
  return QuickInteger(p, end, bounds, after);
}

// The end of ReadQuickNumber and ReadQuickDouble: `item` made from the
// value ahead, which ends at `after`.
[[gnu::always_inline]] inline bool TakeQuick(JsonTokenizer& tok, PyObject* item, const char* after, Ref& out, Status& status) {
  if (after == nullptr) return false;
  if (item == nullptr) [[unlikely]] {
    status = Status::Pending();
    return true;
  }
  tok.SkipTo(after);
  out = Ref::steal(item);
  return true;
}

}  // namespace

Status ReadNumberList(JsonTextSource& source, ScalarType type, PyObject* list, ElementFallback fallback,
                      void* context) {
  JsonTokenizer& tok = source.tokenizer();
  bool more = false;
  if (!tok.EnterArray(&more)) return source.Failure();
  const bool real = IsReal(type);
  const IntBounds bounds = BoundsOf(type);
  const char* const end = tok.input_end();
  while (more) {
    const char* p = tok.ValueAhead();
    if (p == nullptr) return source.Failure();
    const char* after = nullptr;
    if (PyObject* item = QuickValue(p, end, real, type, bounds, &after)) [[likely]] {
      tok.SkipTo(after);
      const int appended = PyList_Append(list, item);
      Py_DECREF(item);
      if (appended != 0) return Status::Pending();
    } else if (after != nullptr) {
      return Status::Pending();
    } else {
      Ref general;
      VELUM_TRY(fallback(context, general));
      if (general && PyList_Append(list, general.get()) != 0) return Status::Pending();
    }
    if (!tok.NextElement(&more)) return source.Failure();
  }
  return Status();
}

bool ReadQuickNumber(JsonTextSource& source, ScalarType type, Ref& out, Status& status) {
  JsonTokenizer& tok = source.tokenizer();
  if (IsReal(type)) {
    // Double fields mostly hold computed values of 15 to 17 digits, which the
    // short decimal road (see ReadQuickReal) would only try and leave.
    const char* after = nullptr;
    PyObject* item = QuickReal(tok.PeekedValue(), tok.input_end(), type == ScalarType::kFloat, &after);
    return TakeQuick(tok, item, after, out, status);
  }
  const char* p = tok.PeekedValue();
  const char* after = nullptr;
  PyObject* item = QuickInteger(p, tok.input_end(), BoundsOf(type), &after);
  return TakeQuick(tok, item, after, out, status);
}

bool ReadQuickIntegerBits(JsonTextSource& source, ScalarType type, uint64_t* bits) noexcept {
  JsonTokenizer& tok = source.tokenizer();
  bool above = false;
  const char* after = QuickIntegerValue(tok.PeekedValue(), tok.input_end(), BoundsOf(type), bits, &above);
  if (after == nullptr) return false;
  tok.SkipTo(after);
  return true;
}

bool ReadQuickReal(JsonTextSource& source, bool float32, Ref& out, Status& status) {
  JsonTokenizer& tok = source.tokenizer();
  const char* p = tok.PeekedValue();
  // A short decimal (most numbers of a document's Struct values) is valued
  // at once; at most seven integer digits never overflow a float either.
  double value = 0;
  // A Value's number: freed with the Value, it is kept for the next (see
  // floats::Release), which the fields' numbers are not.
  if (const char* stop = ShortDecimalDouble(p, tok.input_end(), &value)) [[likely]]
    return TakeQuick(tok, floats::New(value), stop, out, status);
  const char* after = nullptr;
  PyObject* item = QuickReal(p, tok.input_end(), float32, &after);
  return TakeQuick(tok, item, after, out, status);
}

}  // namespace velum::json
