// Writing one scalar or enum value (without its tag) into the encoder's buffer.
//
// Two layers: TryWrite handles the exact built-in types inline and reports
// anything else as kSlow without writing; WriteScalar / WriteEnum convert
// through the general conversions of field_ops/scalar_convert.h (int
// subclasses, __index__, __float__, range errors) and write the result. Both
// write the same bytes for the values TryWrite accepts, so the fast layer is
// only a shortcut.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "common/ref.h"
#include "common/status.h"
#include "descriptor/enum_table.h"
#include "descriptor/field_kind.h"
#include "field_ops/field_default.h"
#include "field_ops/scalar_convert.h"
#include "reverse_buffer/reverse_buffer.h"

namespace velum::encoder {

Status WriteScalar(ReverseBuffer& buf, ScalarType type, PyObject* value);
Status WriteEnum(ReverseBuffer& buf, const EnumTable& table, PyObject* value);

enum class Fast : uint8_t { kWritten, kDefault, kSlow };

enum class Encoding : uint8_t { kVarint, kFixed32, kFixed64, kDelimited };

template <ScalarType T>
constexpr Encoding EncodingOf() noexcept {
  if constexpr (T == ScalarType::kDouble || T == ScalarType::kFixed64 || T == ScalarType::kSfixed64) {
    return Encoding::kFixed64;
  } else if constexpr (T == ScalarType::kFloat || T == ScalarType::kFixed32 || T == ScalarType::kSfixed32) {
    return Encoding::kFixed32;
  } else if constexpr (T == ScalarType::kString || T == ScalarType::kBytes) {
    return Encoding::kDelimited;
  } else {
    return Encoding::kVarint;
  }
}

// The wire bits of a numeric value (the varint's value or the fixed-width
// word) when its type allows the inline path. With kSkipDefault (an
// implicit-presence singular field) a zero value is reported as kDefault; the
// zero test is the one HoldsNonDefault applies. Out-of-range values are kSlow:
// the general path reports them.
template <ScalarType T, bool kSkipDefault>
[[gnu::always_inline]] inline Fast ConvertNumber(PyObject* value, uint64_t* bits) noexcept {
  if constexpr (T == ScalarType::kDouble || T == ScalarType::kFloat) {
    if (!PyFloat_CheckExact(value)) return Fast::kSlow;
    const double d = PyFloat_AS_DOUBLE(value);
    if (kSkipDefault && std::bit_cast<uint64_t>(d) == 0) return Fast::kDefault;
    if constexpr (T == ScalarType::kDouble) {
      *bits = std::bit_cast<uint64_t>(d);
    } else {
      const float f = static_cast<float>(d);
      if (std::isinf(f) && std::isfinite(d)) return Fast::kSlow;
      *bits = std::bit_cast<uint32_t>(f);
    }
  } else if constexpr (T == ScalarType::kBool) {
    if (value == Py_True) {
      *bits = 1;
    } else {
      if (value != Py_False) return Fast::kSlow;
      if (kSkipDefault) return Fast::kDefault;
      *bits = 0;
    }
  } else if constexpr (T == ScalarType::kUint64 || T == ScalarType::kFixed64) {
    if (!ReadExactUint64(value, bits)) return Fast::kSlow;
    if (kSkipDefault && *bits == 0) return Fast::kDefault;
  } else {
    static_assert(EncodingOf<T>() != Encoding::kDelimited);
    int64_t v = 0;
    if (!ReadExactInt(value, &v)) return Fast::kSlow;
    if (kSkipDefault && v == 0) return Fast::kDefault;
    if constexpr (T == ScalarType::kInt64 || T == ScalarType::kSfixed64) {
      *bits = static_cast<uint64_t>(v);
    } else if constexpr (T == ScalarType::kInt32) {
      if (v < INT32_MIN || v > INT32_MAX) return Fast::kSlow;
      *bits = wire::SignExtend(v);
    } else if constexpr (T == ScalarType::kUint32 || T == ScalarType::kFixed32) {
      if (v < 0 || v > UINT32_MAX) return Fast::kSlow;
      *bits = static_cast<uint64_t>(v);
    } else if constexpr (T == ScalarType::kSint64) {
      *bits = wire::ZigZagEncode64(v);
    } else if constexpr (T == ScalarType::kSint32) {
      if (v < INT32_MIN || v > INT32_MAX) return Fast::kSlow;
      *bits = wire::ZigZagEncode32(static_cast<int32_t>(v));
    } else {
      static_assert(T == ScalarType::kSfixed32);
      if (v < INT32_MIN || v > INT32_MAX) return Fast::kSlow;
      *bits = static_cast<uint32_t>(static_cast<int32_t>(v));
    }
  }
  return Fast::kWritten;
}

// The payload of an exact str (its UTF-8) or bytes; null for anything else.
template <ScalarType T>
[[gnu::always_inline]] inline const char* ExactDelimited(PyObject* value, Py_ssize_t* size) noexcept {
  static_assert(T == ScalarType::kString || T == ScalarType::kBytes);
  if constexpr (T == ScalarType::kString) {
    return ExactStrUtf8(value, size);
  } else {
    if (!PyBytes_CheckExact(value)) return nullptr;
    *size = PyBytes_GET_SIZE(value);
    return PyBytes_AS_STRING(value);
  }
}

// Writes the wire form of `bits` (see ConvertNumber) so that it ends just
// before `front`, which has room for kMaxVarintBytes; returns its first byte.
template <ScalarType T>
[[gnu::always_inline]] inline uint8_t* EncodeBitsBefore(uint8_t* front, uint64_t bits) noexcept {
  if constexpr (EncodingOf<T>() == Encoding::kVarint) {
    return wire::EncodeVarintBefore(front, bits);
  } else if constexpr (EncodingOf<T>() == Encoding::kFixed64) {
    if constexpr (std::endian::native == std::endian::big) bits = __builtin_bswap64(bits);
    std::memcpy(front - 8, &bits, 8);
    return front - 8;
  } else {
    uint32_t word = static_cast<uint32_t>(bits);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap32(word);
    std::memcpy(front - 4, &word, 4);
    return front - 4;
  }
}

// Writes `value` when its type allows the inline path (see ConvertNumber).
template <ScalarType T, bool kSkipDefault>
[[gnu::always_inline]] inline Fast TryWrite(ReverseBuffer& buf, PyObject* value) noexcept {
  if constexpr (EncodingOf<T>() == Encoding::kDelimited) {
    Py_ssize_t size = 0;
    const char* data = ExactDelimited<T>(value, &size);
    if (data == nullptr) return Fast::kSlow;
    if (kSkipDefault && size == 0) return Fast::kDefault;
    buf.PutBytes(data, static_cast<size_t>(size));
    buf.PutVarint(static_cast<uint64_t>(size));
    return Fast::kWritten;
  } else {
    uint64_t bits = 0;
    const Fast fast = ConvertNumber<T, kSkipDefault>(value, &bits);
    if (fast != Fast::kWritten) return fast;
    if constexpr (EncodingOf<T>() == Encoding::kFixed64) {
      buf.PutFixed64(bits);
    } else if constexpr (EncodingOf<T>() == Encoding::kFixed32) {
      buf.PutFixed32(static_cast<uint32_t>(bits));
    } else {
      buf.PutVarint(bits);
    }
    return Fast::kWritten;
  }
}

// As TryWrite, followed by the field's tag: one reservation covers both, and
// both are written through a cursor.
template <ScalarType T, bool kSkipDefault>
[[gnu::always_inline]] inline Fast TryWriteField(ReverseBuffer& buf, PyObject* value, uint32_t tag) noexcept {
  constexpr uint64_t kRoom = wire::kMaxVarintBytes + wire::kMaxTagBytes;
  if constexpr (EncodingOf<T>() == Encoding::kDelimited) {
    Py_ssize_t size = 0;
    const char* data = ExactDelimited<T>(value, &size);
    if (data == nullptr) return Fast::kSlow;
    if (kSkipDefault && size == 0) return Fast::kDefault;
    if (!buf.Reserve(static_cast<uint64_t>(size) + kRoom)) [[unlikely]]
      return Fast::kWritten;  // the buffer has failed; the caller checks it at the end
    uint8_t* front = buf.Front() - size;
    CopyBytes(front, reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(size));
    front = wire::EncodeVarintBefore(front, static_cast<uint64_t>(size));
    buf.SetFront(wire::EncodeVarintBefore(front, tag));
    return Fast::kWritten;
  } else {
    uint64_t bits = 0;
    const Fast fast = ConvertNumber<T, kSkipDefault>(value, &bits);
    if (fast != Fast::kWritten) return fast;
    if (!buf.Reserve(kRoom)) [[unlikely]]
      return Fast::kWritten;
    buf.SetFront(wire::EncodeVarintBefore(EncodeBitsBefore<T>(buf.Front(), bits), tag));
    return Fast::kWritten;
  }
}

// As TryWrite for a packed element, writing just before `*front` (room for
// kMaxVarintBytes reserved) and moving it back; false when the value needs
// the general path.
template <ScalarType T>
[[gnu::always_inline]] inline bool TryPutBefore(uint8_t** front, PyObject* value) noexcept {
  uint64_t bits = 0;
  if (ConvertNumber<T, false>(value, &bits) != Fast::kWritten) return false;
  *front = EncodeBitsBefore<T>(*front, bits);
  return true;
}

// An enum number of an exact or enum-member int, inline when it is compact and
// (for a closed enum) known; kSlow otherwise.
inline Fast TryWriteEnum(ReverseBuffer& buf, const EnumTable& table, PyObject* value) noexcept {
  if (!PyLong_Check(value)) return Fast::kSlow;
  long long number = 0;
  if (!CompactValue(value, &number)) return Fast::kSlow;
  if (!table.open && table.Member(static_cast<int32_t>(number)) == nullptr) return Fast::kSlow;
  buf.PutVarint(wire::SignExtend(number));
  return Fast::kWritten;
}

}  // namespace velum::encoder
