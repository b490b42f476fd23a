#include "json_parse/json_text_source.h"

#include <cstring>

#include "common/py_error.h"
#include "common/utf8_text.h"
#include "field_ops/scalar_convert.h"
#include "json_parse/json_number.h"

namespace velum::json {

Status JsonTextSource::Open(PyObject* json) {
  const char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyUnicode_Check(json)) {
    data = PyUnicode_AsUTF8AndSize(json, &size);
    if (data == nullptr) return Status::Pending();
  } else if (PyBytes_Check(json)) {
    data = PyBytes_AS_STRING(json);
    size = PyBytes_GET_SIZE(json);
  } else if (PyByteArray_Check(json)) {
    copy_.assign(PyByteArray_AS_STRING(json), static_cast<size_t>(PyByteArray_GET_SIZE(json)));
    data = copy_.data();
    size = static_cast<Py_ssize_t>(copy_.size());
  } else {
    return FormatError(ErrorKind::kType, "json must be str, bytes, or bytearray, got %S",
                       reinterpret_cast<PyObject*>(Py_TYPE(json)));
  }
  tok_.Reset(data, static_cast<size_t>(size));
  return Status();
}

Status JsonTextSource::Failure() {
  const SyntaxError& error = tok_.error();
  if (error.code == SyntaxCode::kOutOfMemory) return Status(ErrorKind::kMemory, "");
  try {
    return Status::JsonDecode(SyntaxMessage(error), tok_.text(), error.offset);
  } catch (const std::bad_alloc&) {
    return Status(ErrorKind::kMemory, "");
  }
}

Status JsonTextSource::ReadFloat(double& value) {
  NumberToken token;
  if (!tok_.ReadNumber(&token)) return Failure();
  value = LiteralToDouble(token);
  return Status();
}

Status JsonTextSource::ReadNumber(NumberValue& value) {
  NumberToken token;
  if (!tok_.ReadNumber(&token)) return Failure();
  // Short integers come valued from the scan.
  if (token.small) [[likely]] {
    value.form = NumberValue::Form::kInt64;
    value.int64 = token.small_value;
    return Status();
  }
  if (!token.is_integer) {
    value.form = NumberValue::Form::kDouble;
    value.real = LiteralToDouble(token);
    return Status();
  }
  if (LiteralToInt64(token, &value.int64)) {
    value.form = NumberValue::Form::kInt64;
    return Status();
  }
  // PyLong_FromString needs the digits terminated.
  const RawString digits(token.text);
  value.object = Ref::steal(PyLong_FromString(digits.c_str(), nullptr, 10));
  if (!value.object) return Status::Pending();
  value.form = NumberValue::Form::kInt;
  return Status();
}

namespace {

template <class Unit>
void Narrow(const uint32_t* in, size_t n, Unit* out) noexcept {
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<Unit>(in[i]);
}

// A str of a string as the tokenizer delivered it: ASCII text copied as it
// is, decoded code points copied at the width they need.
PyObject* NewStrFromUnits(const StringUnits& s) {
  if (s.in_place) return NewStrFromText(s.ascii, true);
  if (s.length <= 1) {
    // The interpreter's shared objects, as for one-character text.
    return s.length == 0 ? PyUnicode_New(0, 0) : PyUnicode_FromOrdinal(static_cast<int>(s.units[0]));
  }
  PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(s.length), s.max_char);
  if (str == nullptr) return nullptr;
  switch (s.max_char) {
    case utf8::kAsciiMax:
    case utf8::kLatin1Max: Narrow(s.units, s.length, PyUnicode_1BYTE_DATA(str)); break;
    case utf8::kBmpMax: Narrow(s.units, s.length, PyUnicode_2BYTE_DATA(str)); break;
    default: std::memcpy(PyUnicode_4BYTE_DATA(str), s.units, s.length * sizeof(uint32_t)); break;
  }
  return str;
}

}  // namespace

Status JsonTextSource::ReadStr(Ref& value) {
  StringUnits text;
  if (!tok_.ReadStringUnits(&text)) return Failure();
  value = Ref::steal(NewStrFromUnits(text));
  return value ? Status() : Status::Pending();
}

Status JsonTextSource::TakeValue(Ref& value) { return TakeInto(value); }

// Recursion is bounded by the tokenizer's nesting limit.
Status JsonTextSource::TakeInto(Ref& value) {
  JsonKind kind{};
  VELUM_TRY(Peek(kind));
  switch (kind) {
    case JsonKind::kNull:
      VELUM_TRY(ReadNull());
      value = Ref::borrow(Py_None);
      return Status();
    case JsonKind::kBool: {
      bool b = false;
      VELUM_TRY(ReadBool(b));
      value = Ref::borrow(b ? Py_True : Py_False);
      return Status();
    }
    case JsonKind::kNumber: {
      NumberValue number;
      VELUM_TRY(ReadNumber(number));
      switch (number.form) {
        case NumberValue::Form::kInt64: value = Ref::steal(PyLong_FromLongLong(number.int64)); break;
        case NumberValue::Form::kDouble: value = Ref::steal(PyFloat_FromDouble(number.real)); break;
        case NumberValue::Form::kInt: value = std::move(number.object); break;
      }
      return value ? Status() : Status::Pending();
    }
    case JsonKind::kString: return ReadStr(value);
    case JsonKind::kArray: {
      Ref list = Ref::steal(PyList_New(0));
      if (!list) return Status::Pending();
      auto element = [&]() -> Status {
        Ref item;
        VELUM_TRY(TakeInto(item));
        return PyList_Append(list.get(), item.get()) == 0 ? Status() : Status::Pending();
      };
      VELUM_TRY(ForEachElement(element));
      value = std::move(list);
      return Status();
    }
    case JsonKind::kObject: {
      Ref dict = Ref::steal(PyDict_New());
      if (!dict) return Status::Pending();
      auto member = [&](const MemberName& name) -> Status {
        VELUM_ASSIGN_OR_RETURN(Ref key, MemberNameObject(name));
        Ref item;
        VELUM_TRY(TakeInto(item));
        return PyDict_SetItem(dict.get(), key.get(), item.get()) == 0 ? Status() : Status::Pending();
      };
      VELUM_TRY(ForEachMember(member));
      value = std::move(dict);
      return Status();
    }
  }
  return Status();
}

}  // namespace velum::json
