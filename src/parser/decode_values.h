// Conversion of one wire value to its Python object, by scalar type and for
// enums. Inline: these run once per decoded value.
#pragma once

#include <bit>
#include <cstring>

#include "common/ref.h"
#include "common/status.h"
#include "descriptor/enum_table.h"
#include "descriptor/field_kind.h"
#include "field_ops/scalar_convert.h"
#include "parser/wire_reader.h"
#include "common/wire.h"

namespace velum::decoder {

inline Status ReaderError(const WireReader& reader) { return reader.LastError(); }

inline Status PyResult(PyObject* value, Ref& out) {
  if (value == nullptr) [[unlikely]]
    return Status::Pending();
  out = Ref::steal(value);
  return Status::Ok();
}

// Reads one value of scalar type T (whose wire type the caller has checked)
// as a new object. False for a reader fault (see LastError()); true with a
// null `out` when creating the object failed (a Python exception is set).
template <ScalarType T, bool kUnrolled = false>
[[gnu::always_inline]] inline bool ReadScalarObject(WireReader& reader, PyObject*& out) {
  uint64_t v64 = 0;
  uint32_t v32 = 0;
  const auto read_varint = [&reader](uint64_t& value) {
    if constexpr (kUnrolled) {
      return reader.ReadVarint64Unrolled(value);
    } else {
      return reader.ReadVarint64(value);
    }
  };
  if constexpr (T == ScalarType::kInt32) {
    if (!read_varint(v64)) return false;
    out = PyLong_FromLong(static_cast<int32_t>(static_cast<uint32_t>(v64)));
  } else if constexpr (T == ScalarType::kInt64) {
    if (!read_varint(v64)) return false;
    out = PyLong_FromLongLong(static_cast<int64_t>(v64));
  } else if constexpr (T == ScalarType::kUint32) {
    if (!read_varint(v64)) return false;
    out = PyLong_FromUnsignedLong(static_cast<uint32_t>(v64));
  } else if constexpr (T == ScalarType::kUint64) {
    if (!read_varint(v64)) return false;
    out = PyLong_FromUnsignedLongLong(v64);
  } else if constexpr (T == ScalarType::kSint32) {
    if (!read_varint(v64)) return false;
    out = PyLong_FromLong(wire::ZigZagDecode32(static_cast<uint32_t>(v64)));
  } else if constexpr (T == ScalarType::kSint64) {
    if (!read_varint(v64)) return false;
    out = PyLong_FromLongLong(wire::ZigZagDecode64(v64));
  } else if constexpr (T == ScalarType::kBool) {
    if (!read_varint(v64)) return false;
    out = Py_NewRef(v64 != 0 ? Py_True : Py_False);
  } else if constexpr (T == ScalarType::kFixed32) {
    if (!reader.ReadFixed32(v32)) return false;
    out = PyLong_FromUnsignedLong(v32);
  } else if constexpr (T == ScalarType::kSfixed32) {
    if (!reader.ReadFixed32(v32)) return false;
    out = PyLong_FromLong(static_cast<int32_t>(v32));
  } else if constexpr (T == ScalarType::kFloat) {
    if (!reader.ReadFixed32(v32)) return false;
    out = PyFloat_FromDouble(std::bit_cast<float>(v32));
  } else if constexpr (T == ScalarType::kFixed64) {
    if (!reader.ReadFixed64(v64)) return false;
    out = PyLong_FromUnsignedLongLong(v64);
  } else if constexpr (T == ScalarType::kSfixed64) {
    if (!reader.ReadFixed64(v64)) return false;
    out = PyLong_FromLongLong(static_cast<int64_t>(v64));
  } else if constexpr (T == ScalarType::kDouble) {
    if (!reader.ReadFixed64(v64)) return false;
    out = PyFloat_FromDouble(std::bit_cast<double>(v64));
  } else {
    const uint8_t* data = nullptr;
    size_t size = 0;
    if (!reader.ReadLengthDelimited(data, size)) return false;
    if constexpr (T == ScalarType::kString) {
      out = NewStrFromUtf8(data, size);
    } else {
      static_assert(T == ScalarType::kBytes);
      out = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size));
    }
  }
  return true;
}

template <ScalarType T>
[[gnu::always_inline]] inline Status ReadScalarAs(WireReader& reader, Ref& out) {
  PyObject* value = nullptr;
  if (!ReadScalarObject<T>(reader, value)) [[unlikely]]
    return ReaderError(reader);
  return PyResult(value, out);
}

// ReadScalarObject for the scalar type `type`, expanded in place (the record
// loop's plain fields); ReadScalarObject below is the out-of-line one.
[[gnu::always_inline]] inline bool ReadScalarObjectInline(ScalarType type, WireReader& reader, PyObject*& out) {
  switch (type) {
    case ScalarType::kDouble: return ReadScalarObject<ScalarType::kDouble>(reader, out);
    case ScalarType::kFloat: return ReadScalarObject<ScalarType::kFloat>(reader, out);
    case ScalarType::kInt64: return ReadScalarObject<ScalarType::kInt64>(reader, out);
    case ScalarType::kUint64: return ReadScalarObject<ScalarType::kUint64>(reader, out);
    case ScalarType::kInt32: return ReadScalarObject<ScalarType::kInt32>(reader, out);
    case ScalarType::kFixed64: return ReadScalarObject<ScalarType::kFixed64>(reader, out);
    case ScalarType::kFixed32: return ReadScalarObject<ScalarType::kFixed32>(reader, out);
    case ScalarType::kBool: return ReadScalarObject<ScalarType::kBool>(reader, out);
    case ScalarType::kString: return ReadScalarObject<ScalarType::kString>(reader, out);
    case ScalarType::kBytes: return ReadScalarObject<ScalarType::kBytes>(reader, out);
    case ScalarType::kUint32: return ReadScalarObject<ScalarType::kUint32>(reader, out);
    case ScalarType::kSfixed32: return ReadScalarObject<ScalarType::kSfixed32>(reader, out);
    case ScalarType::kSfixed64: return ReadScalarObject<ScalarType::kSfixed64>(reader, out);
    case ScalarType::kSint32: return ReadScalarObject<ScalarType::kSint32>(reader, out);
    case ScalarType::kSint64: return ReadScalarObject<ScalarType::kSint64>(reader, out);
  }
  // Not a scalar type: reported as a reader failure without a recorded fault,
  // which is an internal error.
  out = nullptr;
  return false;
}

inline bool ReadScalarObject(ScalarType type, WireReader& reader, PyObject*& out) {
  return ReadScalarObjectInline(type, reader, out);
}

inline Status ReadScalar(ScalarType type, WireReader& reader, Ref& out) {
  PyObject* value = nullptr;
  if (!ReadScalarObject(type, reader, value)) [[unlikely]]
    return ReaderError(reader);
  return PyResult(value, out);
}

// How many values a packed payload can hold at most: exact for fixed widths,
// the number of varint terminators otherwise.
constexpr size_t FixedWidth(ScalarType type) noexcept {
  switch (type) {
    case ScalarType::kFixed32:
    case ScalarType::kSfixed32:
    case ScalarType::kFloat:
      return 4;
    case ScalarType::kFixed64:
    case ScalarType::kSfixed64:
    case ScalarType::kDouble:
      return 8;
    default:
      return 0;
  }
}

template <ScalarType T>
inline size_t PackedCapacity(const WireReader& packed) noexcept {
  if constexpr (FixedWidth(T) != 0) return packed.remaining() / FixedWidth(T);
  // Terminators eight bytes at a time: each byte's inverted top bit moved to
  // its bottom bit, and the eight summed by the multiply into the top byte.
  constexpr uint64_t kTops = 0x8080808080808080u;
  size_t count = 0;
  const uint8_t* p = packed.cursor();
  const uint8_t* const end = p + packed.remaining();
  for (; end - p >= 8; p += 8) {
    uint64_t word = 0;
    std::memcpy(&word, p, 8);
    count += static_cast<size_t>((((~word & kTops) >> 7) * 0x0101010101010101u) >> 56);
  }
  for (; p != end; ++p) count += *p < 0x80;
  return count;
}

// Every value of a packed payload as a new list of exactly their number. On a
// failure `values` holds the values decoded before it (or stays empty).
template <ScalarType T>
inline Status ReadPackedAs(WireReader& packed, Ref& values) {
  const size_t capacity = PackedCapacity<T>(packed);
  Ref batch = Ref::steal(PyList_New(static_cast<Py_ssize_t>(capacity)));
  if (!batch) return Status::Pending();
  // Until it is full the batch holds null items; keep it out of the
  // collector's reach so no Python code can ever see it.
  PyObject_GC_UnTrack(batch.get());
  Status status;
  size_t filled = 0;
  PyObject* value = nullptr;
  while (filled < capacity && !packed.empty()) {
    if (!ReadScalarObject<T, true>(packed, value)) [[unlikely]] {
      status = ReaderError(packed);
      break;
    }
    if (value == nullptr) [[unlikely]] {
      status = Status::Pending();
      break;
    }
    PyList_SET_ITEM(batch.get(), static_cast<Py_ssize_t>(filled++), value);
  }
  // Bytes left after `capacity` values hold no complete value: reading them
  // reports the error.
  if (status.ok() && !packed.empty()) {
    Ref rest;
    status = ReadScalarAs<T>(packed, rest);
  }
  if (filled == capacity) {
    PyObject_GC_Track(batch.get());
  } else if (filled != 0) {
    batch = Ref::steal(PyList_GetSlice(batch.get(), 0, static_cast<Py_ssize_t>(filled)));
    if (!batch) return Status::Pending();
  } else {
    batch = Ref();
  }
  values = std::move(batch);
  return status;
}

// Appends every value of a packed payload to `list`. The values are gathered
// in a private list sized up front and spliced in once; on a failure the
// values decoded before it are still appended.
inline constexpr size_t kSmallPacked = 4;

template <ScalarType T>
inline Status AppendPackedAs(PyObject* list, WireReader& packed) {
  if (PackedCapacity<T>(packed) <= kSmallPacked) {
    // The first append reserves room for this many anyway.
    Ref value;
    while (!packed.empty()) {
      VELUM_TRY(ReadScalarAs<T>(packed, value));
      if (PyList_Append(list, value.get()) < 0) return Status::Pending();
    }
    return Status::Ok();
  }
  Ref batch;
  Status status = ReadPackedAs<T>(packed, batch);
  if (batch) {
    const Py_ssize_t end = PyList_GET_SIZE(list);
    if (PyList_SetSlice(list, end, end, batch.get()) < 0) return Status::Pending();
  }
  return status;
}

template <class F>
inline Status DispatchPackable(ScalarType type, F&& fn) {
  return WithScalarType(type, [&]<ScalarType T>() -> Status {
    if constexpr (T == ScalarType::kString || T == ScalarType::kBytes) {
      return Status(ErrorKind::kRuntime, "strings and bytes are never packed");
    } else {
      return fn.template operator()<T>();
    }
  });
}

inline Status AppendPacked(ScalarType type, PyObject* list, WireReader& packed) {
  return DispatchPackable(type, [&]<ScalarType T>() { return AppendPackedAs<T>(list, packed); });
}

inline Status ReadPacked(ScalarType type, WireReader& packed, Ref& values) {
  return DispatchPackable(type, [&]<ScalarType T>() { return ReadPackedAs<T>(packed, values); });
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
