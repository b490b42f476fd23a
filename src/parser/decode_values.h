// Conversion of one wire value to its Python object, by scalar type and for
// enums. Inline: these run once per decoded value.
#pragma once

#include <bit>
#include <cstring>

#include "common/ref.h"
#include "common/status.h"
#include "descriptor/enum_table.h"
#include "descriptor/field_kind.h"
#include "parser/wire_reader.h"
#include "reverse_buffer/varint.h"

namespace velum::decoder {

inline Status ReaderError(const WireReader& reader) { return reader.LastError(); }

inline Status PyResult(PyObject* value, Ref& out) {
  if (value == nullptr) [[unlikely]]
    return Status::Pending();
  out = Ref::steal(value);
  return Status::Ok();
}

// Reads one value of `type` (whose wire type the caller has checked) into `out`.
inline Status ReadScalar(ScalarType type, WireReader& reader, Ref& out) {
  uint64_t v64 = 0;
  uint32_t v32 = 0;
  switch (type) {
    case ScalarType::kInt32:
      if (!reader.ReadVarint64(v64)) return ReaderError(reader);
      return PyResult(PyLong_FromLong(static_cast<int32_t>(static_cast<uint32_t>(v64))), out);
    case ScalarType::kInt64:
      if (!reader.ReadVarint64(v64)) return ReaderError(reader);
      return PyResult(PyLong_FromLongLong(static_cast<int64_t>(v64)), out);
    case ScalarType::kUint32:
      if (!reader.ReadVarint64(v64)) return ReaderError(reader);
      return PyResult(PyLong_FromUnsignedLong(static_cast<uint32_t>(v64)), out);
    case ScalarType::kUint64:
      if (!reader.ReadVarint64(v64)) return ReaderError(reader);
      return PyResult(PyLong_FromUnsignedLongLong(v64), out);
    case ScalarType::kSint32:
      if (!reader.ReadVarint64(v64)) return ReaderError(reader);
      return PyResult(PyLong_FromLong(wire::ZigZagDecode32(static_cast<uint32_t>(v64))), out);
    case ScalarType::kSint64:
      if (!reader.ReadVarint64(v64)) return ReaderError(reader);
      return PyResult(PyLong_FromLongLong(wire::ZigZagDecode64(v64)), out);
    case ScalarType::kBool:
      if (!reader.ReadVarint64(v64)) return ReaderError(reader);
      out = Ref::borrow(v64 != 0 ? Py_True : Py_False);
      return Status::Ok();
    case ScalarType::kFixed32:
      if (!reader.ReadFixed32(v32)) return ReaderError(reader);
      return PyResult(PyLong_FromUnsignedLong(v32), out);
    case ScalarType::kSfixed32:
      if (!reader.ReadFixed32(v32)) return ReaderError(reader);
      return PyResult(PyLong_FromLong(static_cast<int32_t>(v32)), out);
    case ScalarType::kFloat:
      if (!reader.ReadFixed32(v32)) return ReaderError(reader);
      return PyResult(PyFloat_FromDouble(std::bit_cast<float>(v32)), out);
    case ScalarType::kFixed64:
      if (!reader.ReadFixed64(v64)) return ReaderError(reader);
      return PyResult(PyLong_FromUnsignedLongLong(v64), out);
    case ScalarType::kSfixed64:
      if (!reader.ReadFixed64(v64)) return ReaderError(reader);
      return PyResult(PyLong_FromLongLong(static_cast<int64_t>(v64)), out);
    case ScalarType::kDouble:
      if (!reader.ReadFixed64(v64)) return ReaderError(reader);
      return PyResult(PyFloat_FromDouble(std::bit_cast<double>(v64)), out);
    case ScalarType::kString: {
      const uint8_t* data = nullptr;
      size_t size = 0;
      if (!reader.ReadLengthDelimited(data, size)) return ReaderError(reader);
      return PyResult(
          PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size), nullptr), out);
    }
    case ScalarType::kBytes: {
      const uint8_t* data = nullptr;
      size_t size = 0;
      if (!reader.ReadLengthDelimited(data, size)) return ReaderError(reader);
      return PyResult(
          PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size)), out);
    }
  }
  return Status(ErrorKind::kRuntime, "unexpected scalar type");
}

// Reads an enum number (the low 32 bits, signed). A known number gives its
// member, an unknown one of an open enum what the enum class makes of it; for
// an unknown number of a closed enum `out` stays empty.
inline Status ReadEnum(const EnumTable& table, WireReader& reader, Ref& out, int32_t& number) {
  uint64_t v64 = 0;
  if (!reader.ReadVarint64(v64)) return ReaderError(reader);
  number = static_cast<int32_t>(static_cast<uint32_t>(v64));
  if (PyObject* member = table.Member(number)) [[likely]] {
    out = Ref::borrow(member);
    return Status::Ok();
  }
  if (!table.open) return Status::Ok();
  Ref arg = Ref::steal(PyLong_FromLong(number));
  if (!arg) return Status::Pending();
  return PyResult(PyObject_CallOneArg(table.enum_class.get(), arg.get()), out);
}

}  // namespace velum::decoder
