#include "json_parse/scalar_read.h"

#include <cmath>
#include <limits>
#include <type_traits>

#include "common/py_error.h"
#include "field_ops/scalar_convert.h"
#include "json_parse/base64_decode.h"
#include "json_parse/json_number.h"
#include "json_parse/json_text_source.h"
#include "json_parse/json_tree_source.h"

namespace velum::json {

namespace {

Status Message(ErrorKind kind, std::string_view head, std::string_view text, std::string_view tail = {}) {
  try {
    RawString message(head);
    message.append(text).append(tail);
    return Status(kind, message);
  } catch (const std::bad_alloc&) {
    return Status(ErrorKind::kMemory, "");
  }
}

// The value of a kind the conversion refuses, shown by its Python type.
template <class Source>
Status RefuseKind(Source& source, const char* format) {
  Ref value;
  VELUM_TRY(source.TakeValue(value));
  return FormatError(ErrorKind::kType, format, reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
}

Status NonFinite() { return Status(ErrorKind::kValue, "unexpected infinite/NaN number"); }

Status CheckFloatRangeSlow(ScalarType type, double value) {
  if (!std::isfinite(value)) return NonFinite();
  // Refused only when no finite float is nearest: 3.4028235e38, the text of
  // the largest float, reads as a double just above it and is accepted.
  if (type == ScalarType::kFloat && OverflowsFloat32(value)) {
    try {
      return Message(ErrorKind::kOverflow, "float value out of range: ", PlainDecimal(value));
    } catch (const std::bad_alloc&) {
      return Status(ErrorKind::kMemory, "");
    }
  }
  return Status();
}

// A finite double for a double field, the common case, needs no call.
[[gnu::always_inline]] inline Status CheckFloatRange(ScalarType type, double value) {
  if (std::isfinite(value) && type == ScalarType::kDouble) [[likely]]
    return Status();
  return CheckFloatRangeSlow(type, value);
}

template <class Source>
Status ReadDouble(Source& source, ScalarType type, JsonKind kind, Ref& out) {
  double value = 0;
  if (kind == JsonKind::kNumber) {
    VELUM_TRY(source.ReadFloat(value, out));
  } else if (kind == JsonKind::kString) {
    std::string_view text;
    VELUM_TRY(source.ReadText(text));
    if (text == "NaN") {
      value = std::numeric_limits<double>::quiet_NaN();
    } else if (text == "Infinity") {
      value = std::numeric_limits<double>::infinity();
    } else if (text == "-Infinity") {
      value = -std::numeric_limits<double>::infinity();
    } else {
      // Text with white space (or any non-ASCII) at either end never parses.
      if (HasAsciiSpaceEnd(text) || !ParseDecimalFloat(text, &value)) {
        return Message(ErrorKind::kValue, "invalid float/double value: ", text);
      }
      VELUM_TRY(CheckFloatRange(type, value));
    }
    out = Ref::steal(PyFloat_FromDouble(value));
    return out ? Status() : Status::Pending();
  } else {
    return RefuseKind(source, "unexpected json type: %S");
  }
  Status range = CheckFloatRange(type, value);
  if (!range.ok()) {
    out.reset();
    return range;
  }
  if (!out) out = Ref::steal(PyFloat_FromDouble(value));
  return out ? Status() : Status::Pending();
}

enum class IntRange : uint8_t { kInt64, kUint64, kInt32, kUint32 };

IntRange RangeOf(ScalarType type) noexcept {
  switch (type) {
    case ScalarType::kUint64:
    case ScalarType::kFixed64: return IntRange::kUint64;
    case ScalarType::kInt32:
    case ScalarType::kSfixed32:
    case ScalarType::kSint32: return IntRange::kInt32;
    case ScalarType::kUint32:
    case ScalarType::kFixed32: return IntRange::kUint32;
    default: return IntRange::kInt64;
  }
}

const char* RangeName(IntRange range) noexcept {
  switch (range) {
    case IntRange::kInt64: return "int64";
    case IntRange::kUint64: return "uint64";
    case IntRange::kInt32: return "int32";
    case IntRange::kUint32: return "uint32";
  }
  return "int64";
}

bool InRange(IntRange range, int64_t v) noexcept {
  switch (range) {
    case IntRange::kInt64: return true;
    case IntRange::kUint64: return v >= 0;
    case IntRange::kInt32: return v >= INT32_MIN && v <= INT32_MAX;
    case IntRange::kUint32: return v >= 0 && v <= UINT32_MAX;
  }
  return false;
}

Status OutOfRange(IntRange range, PyObject* value) {
  Ref shown = MessageText(value);
  if (!shown) return Status::Pending();
  return FormatError(ErrorKind::kOverflow, "value %U out of range for %s", shown.get(), RangeName(range));
}

// The range check of an int object of any size; the result is the object itself.
Status CheckIntObject(IntRange range, Ref value, Ref& out) {
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) return Status::Pending();
  bool ok = overflow == 0 && InRange(range, v);
  if (overflow > 0 && range == IntRange::kUint64) {
    PyLong_AsUnsignedLongLong(value.get());
    ok = !PyErr_Occurred();
    PyErr_Clear();
  }
  if (!ok) return OutOfRange(range, value.get());
  out = std::move(value);
  return Status();
}

Status CheckInt64(IntRange range, int64_t v, Ref& out) {
  if (!InRange(range, v)) [[unlikely]] {
    Ref value = Ref::steal(PyLong_FromLongLong(v));
    if (!value) return Status::Pending();
    return OutOfRange(range, value.get());
  }
  out = Ref::steal(PyLong_FromLongLong(v));
  return out ? Status() : Status::Pending();
}

bool IsIntegral(double v) noexcept { return v - std::trunc(v) == 0; }

// The int of what ParseDecimalInteger read.
PyObject* NewInt(bool negative, uint64_t magnitude) {
  if (negative) return PyLong_FromLongLong(static_cast<int64_t>(0 - magnitude));
  return PyLong_FromUnsignedLongLong(magnitude);
}

// The range check of what ParseDecimalInteger read.
Status CheckParsed(IntRange range, bool negative, uint64_t magnitude, Ref& out) {
  if (negative || magnitude <= INT64_MAX) {
    return CheckInt64(range, negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude), out);
  }
  Ref value = Ref::steal(PyLong_FromUnsignedLongLong(magnitude));
  if (!value) return Status::Pending();
  if (range != IntRange::kUint64) return OutOfRange(range, value.get());
  out = std::move(value);
  return Status();
}

// An integer written as a string: the interpreter's own integer syntax, else
// a decimal float without fraction. No range check.
Status IntegerFromText(std::string_view text, Ref& out) {
  bool negative = false;
  uint64_t magnitude = 0;
  if (ParseDecimalInteger(text, &negative, &magnitude)) {
    out = Ref::steal(NewInt(negative, magnitude));
    return out ? Status() : Status::Pending();
  }
  bool spaced = text.empty() || HasAsciiSpaceEnd(text);
  Ref str = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!str) return Status::Pending();
  if (!spaced && !IsAscii(text)) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(str.get());
    spaced = Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(str.get(), 0)) ||
             Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(str.get(), n - 1));
  }
  if (spaced) return Message(ErrorKind::kValue, "invalid integer value: ", text);
  out = Ref::steal(PyLong_FromUnicodeObject(str.get(), 10));
  if (out) return Status();
  if (!PyErr_ExceptionMatches(PyExc_ValueError)) return Status::Pending();
  PyErr_Clear();
  double value = 0;
  if (!ParseDecimalFloat(text, &value) || !std::isfinite(value) || !IsIntegral(value)) {
    return Message(ErrorKind::kValue, "invalid integer value: '", text, "'");
  }
  out = Ref::steal(PyLong_FromDouble(value));
  return out ? Status() : Status::Pending();
}

template <class Source>
Status ReadInteger(Source& source, ScalarType type, JsonKind kind, Ref& out) {
  const IntRange range = RangeOf(type);
  if (kind == JsonKind::kNumber) {
    NumberValue number;
    VELUM_TRY(source.ReadNumber(number));
    switch (number.form) {
      case NumberValue::Form::kInt64: return CheckInt64(range, number.int64, out);
      case NumberValue::Form::kInt: return CheckIntObject(range, std::move(number.object), out);
      case NumberValue::Form::kDouble: break;
    }
    if (!IsIntegral(number.real)) {
      Ref shown = Ref::steal(PyFloat_FromDouble(number.real));
      if (!shown) return Status::Pending();
      return FormatError(ErrorKind::kValue, "expected integer, got non-integer float: %S", shown.get());
    }
    Ref value = Ref::steal(PyLong_FromDouble(number.real));
    if (!value) return Status::Pending();
    return CheckIntObject(range, std::move(value), out);
  }
  if (kind == JsonKind::kString) {
    std::string_view text;
    VELUM_TRY(source.ReadText(text));
    bool negative = false;
    uint64_t magnitude = 0;
    if (ParseDecimalInteger(text, &negative, &magnitude)) return CheckParsed(range, negative, magnitude, out);
    Ref value;
    VELUM_TRY(IntegerFromText(text, value));
    return CheckIntObject(range, std::move(value), out);
  }
  return RefuseKind(source, "unexpected json type: %S");
}

template <class Source>
Status ReadBytes(Source& source, JsonKind kind, Ref& out) {
  if (kind != JsonKind::kString) return RefuseKind(source, "expected base64-encoded string got: %S");
  std::string_view text;
  VELUM_TRY(source.ReadText(text));
  const auto size = Base64PaddedSize(text);
  if (!size) return Status(ErrorKind::kValue, "invalid base64 data");
  Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(*size)));
  if (!bytes) return Status::Pending();
  if (!Base64Decode(text, reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes.get())))) {
    return Status(ErrorKind::kValue, "invalid base64 data");
  }
  out = std::move(bytes);
  return Status();
}

Status UnknownEnum(const EnumTable& table, PyObject* shown) {
  return FormatError(ErrorKind::kValue, "cannot decode %S from JSON: %S", table.type_name.get(), shown);
}

}  // namespace

template <class Source>
Status ReadScalar(Source& source, ScalarType type, Ref& out) {
  JsonKind kind;
  VELUM_TRY(source.Peek(kind));
  return ReadScalar(source, type, kind, out);
}

template <class Source>
Status ReadScalar(Source& source, ScalarType type, JsonKind kind, Ref& out) {
  switch (type) {
    case ScalarType::kDouble:
    case ScalarType::kFloat: return ReadDouble(source, type, kind, out);
    case ScalarType::kBool: {
      if (kind != JsonKind::kBool) return RefuseKind(source, "unexpected json type: %S");
      bool value = false;
      VELUM_TRY(source.ReadBool(value));
      out = Ref::borrow(value ? Py_True : Py_False);
      return Status();
    }
    case ScalarType::kString:
      if (kind != JsonKind::kString) return RefuseKind(source, "expected string got: %S");
      if constexpr (std::is_same_v<Source, JsonTextSource>) {
        return source.ReadStrInline(out);
      } else {
        return source.ReadStr(out);
      }
    case ScalarType::kBytes: return ReadBytes(source, kind, out);
    default: return ReadInteger(source, type, kind, out);
  }
}

namespace {

// Enums of at most this many names are matched by name in place.
constexpr size_t kNamesMatchedInPlace = 8;

Status EnumMember(const EnumTable& table, int32_t number, Ref& out) {
  PyObject* member = table.Member(number);
  if (member == nullptr) return Status(ErrorKind::kValue, "enum value table lookup failed");
  out = Ref::borrow(member);
  return Status();
}

// Every form of an enum value but a short enum's name matched in place.
template <class Source>
[[gnu::noinline]] Status ReadEnumGeneral(Source& source, const EnumTable& table, bool ignore_unknown, Ref& out) {
  JsonKind kind;
  VELUM_TRY(source.Peek(kind));
  switch (kind) {
    case JsonKind::kNull:
      VELUM_TRY(source.ReadNull());
      out = table.default_value.clone();
      return Status();
    case JsonKind::kString: {
      int32_t number = 0;
      std::string_view text;
      VELUM_TRY(source.ReadText(text));
      if (!table.NumberOfName(text, &number)) {
        if (ignore_unknown) return Status();
        Ref shown = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
        if (!shown) return Status::Pending();
        return UnknownEnum(table, shown.get());
      }
      return EnumMember(table, number, out);
    }
    case JsonKind::kNumber: {
      NumberValue number;
      VELUM_TRY(source.ReadNumber(number));
      if (number.form == NumberValue::Form::kDouble) {
        Ref shown = Ref::steal(PyFloat_FromDouble(number.real));
        if (!shown) return Status::Pending();
        return UnknownEnum(table, shown.get());
      }
      int64_t v = number.int64;
      bool fits = number.form == NumberValue::Form::kInt64;
      if (!fits) {
        int overflow = 0;
        v = PyLong_AsLongLongAndOverflow(number.object.get(), &overflow);
        if (v == -1 && PyErr_Occurred()) return Status::Pending();
        fits = overflow == 0;
      }
      if (fits && v >= INT32_MIN && v <= INT32_MAX) {
        if (PyObject* member = table.Member(static_cast<int32_t>(v))) {
          out = Ref::borrow(member);
          return Status();
        }
      }
      if (ignore_unknown) return Status();
      if (!number.object) {
        number.object = Ref::steal(PyLong_FromLongLong(v));
        if (!number.object) return Status::Pending();
      }
      if (!fits) {
        // The enum class would refuse it too, but its message prints the int,
        // which fails past the interpreter's digit limit; same text, shown safely.
        Ref shown = MessageText(number.object.get());
        if (!shown) return Status::Pending();
        Ref qualname = Ref::steal(PyObject_GetAttrString(table.enum_class.get(), "__qualname__"));
        if (!qualname) return Status::Pending();
        return FormatError(ErrorKind::kValue, "%S is not a valid %S", shown.get(), qualname.get());
      }
      out = Ref::steal(PyObject_CallOneArg(table.enum_class.get(), number.object.get()));
      return out ? Status() : Status::Pending();
    }
    default: {
      Ref value;
      VELUM_TRY(source.TakeValue(value));
      // A tree's container may hold an int too long for str().
      Ref shown = MessageText(value.get());
      if (!shown) return Status::Pending();
      return UnknownEnum(table, shown.get());
    }
  }
}

}  // namespace

Status ReadMapKey(const MemberName& name, ScalarType key_type, Ref& out) {
  switch (key_type) {
    case ScalarType::kBool:
      if (name.text == "true" || name.text == "false") {
        out = Ref::borrow(name.text == "true" ? Py_True : Py_False);
        return Status();
      }
      return Message(ErrorKind::kValue, "unexpected bool map key value ", name.text);
    case ScalarType::kInt32:
    case ScalarType::kInt64:
    case ScalarType::kUint32:
    case ScalarType::kUint64:
    case ScalarType::kSint32:
    case ScalarType::kSint64:
    case ScalarType::kFixed32:
    case ScalarType::kFixed64:
    case ScalarType::kSfixed32:
    case ScalarType::kSfixed64: return IntegerFromText(name.text, out);
    default: {
      VELUM_ASSIGN_OR_RETURN(out, MemberNameObject(name));
      return Status();
    }
  }
}

template <class Source>
Status ReadEnum(Source& source, const EnumTable& table, bool ignore_unknown, Ref& out) {
  if constexpr (std::is_same_v<Source, JsonTextSource>) {
    // A short enum's names are compared in place with the string ahead,
    // without scanning it or hashing it; this part stays small, as every
    // enum member of a document runs it.
    if (table.numbers_by_name.size() <= kNamesMatchedInPlace) {
      JsonTokenizer& tok = source.tokenizer();
      const char* p = tok.ValueAhead();
      if (p != nullptr && p < tok.input_end() && *p == '"') {
        for (const auto& [name, value] : table.numbers_by_name) {
          if (tok.MatchString(name)) return EnumMember(table, value, out);
        }
      }
    }
  }
  return ReadEnumGeneral(source, table, ignore_unknown, out);
}

template Status ReadScalar<JsonTextSource>(JsonTextSource&, ScalarType, Ref&);
template Status ReadScalar<JsonTreeSource>(JsonTreeSource&, ScalarType, Ref&);
template Status ReadScalar<JsonTextSource>(JsonTextSource&, ScalarType, JsonKind, Ref&);
template Status ReadScalar<JsonTreeSource>(JsonTreeSource&, ScalarType, JsonKind, Ref&);
template Status ReadEnum<JsonTextSource>(JsonTextSource&, const EnumTable&, bool, Ref&);
template Status ReadEnum<JsonTreeSource>(JsonTreeSource&, const EnumTable&, bool, Ref&);

}  // namespace velum::json
