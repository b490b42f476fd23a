#include "reverse_buffer/encoder.h"

#include <bit>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>

#include "common/py_error.h"
#include "descriptor/enum_table.h"
#include "descriptor/message_handle.h"
#include "nativemessage/native_message.h"
#include "nativemessage/operations.h"
#include "oneof/oneof.h"
#include "parser/field_access.h"
#include "parser/field_default.h"

namespace velum::encoder {

namespace {

static_assert(sizeof(long) == 8, "the range checks assume a 64-bit C long");

// Field-type numbering of descriptor.proto: the scalar codes plus these three.
constexpr uint8_t kCodeGroup = 10;
constexpr uint8_t kCodeMessage = 11;
constexpr uint8_t kCodeEnum = 14;

inline uint8_t ValueCode(const ElementKind& kind) noexcept {
  switch (kind.tag) {
    case ElementTag::kScalar:
      return static_cast<uint8_t>(kind.scalar);
    case ElementTag::kEnum:
      return kCodeEnum;
    case ElementTag::kMessage:
      break;
  }
  return kind.delimited ? kCodeGroup : kCodeMessage;
}

// Varints are written byte by byte from their last byte: cheaper than building
// them in a scratch area and copying it for the short lengths that dominate.
inline void PutVarint(ReverseBuffer& buf, uint64_t value) noexcept {
  if (value < 0x80) [[likely]] {
    buf.PutByte(static_cast<uint8_t>(value));
    return;
  }
  const size_t n = wire::VarintSize(value);
  if (!buf.Reserve(n)) [[unlikely]]
    return;
  buf.PutByte(static_cast<uint8_t>(value >> (7 * (n - 1))));
  for (size_t i = n - 1; i-- > 0;) buf.PutByte(static_cast<uint8_t>(value >> (7 * i)) | 0x80);
}

Status DictChanged(bool size) {
  return Status(ErrorKind::kRuntime,
                size ? "dictionary changed size during iteration" : "dictionary keys changed during iteration");
}

// ---- scalar conversions ---------------------------------------------------

Status ExpectedError(const char* what, PyObject* value) {
  return FormatError(ErrorKind::kType, "expected %s, got %S", what, reinterpret_cast<PyObject*>(Py_TYPE(value)));
}

Status RangeError(PyObject* value, const char* type) {
  return FormatError(ErrorKind::kOverflow, "value %S out of range for %s", value, type);
}

Status IntegralRangeError() {
  return Status(ErrorKind::kOverflow, "out of range integral type conversion attempted");
}

inline bool IsInt(PyObject* value) noexcept {
  return PyLong_CheckExact(value) || (PyLong_Check(value) && !PyBool_Check(value));
}

inline Status ToDouble(PyObject* value, double* out) {
  if (PyFloat_CheckExact(value)) [[likely]] {
    *out = PyFloat_AS_DOUBLE(value);
    return Status::Ok();
  }
  double d = PyFloat_AsDouble(value);
  if (d == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return ExpectedError("float", value);
  }
  *out = d;
  return Status::Ok();
}

// The int as a C long; a value beyond it fails with the interpreter's message.
inline Status ToLong(PyObject* value, long* out) {
  long long compact = 0;
  if (CompactValue(value, &compact)) [[likely]] {
    *out = static_cast<long>(compact);
    return Status::Ok();
  }
  int overflow = 0;
  long v = PyLong_AsLongAndOverflow(value, &overflow);
  if (overflow != 0 || (v == -1 && PyErr_Occurred())) [[unlikely]] {
    if (overflow != 0) PyLong_AsLong(value);  // sets the interpreter's OverflowError
    return Status::Pending();
  }
  *out = v;
  return Status::Ok();
}

// Signed 64-bit kinds that name their type in a range failure.
inline Status ToNamedSigned(PyObject* value, long long lo, long long hi, const char* type, long long* out) {
  if (!IsInt(value)) return ExpectedError("int", value);
  int overflow = 0;
  long long v = 0;
  if (!CompactValue(value, &v)) {
    v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) return Status::Pending();
  }
  if (overflow != 0 || v < lo || v > hi) return RangeError(value, type);
  *out = v;
  return Status::Ok();
}

inline Status ToNamedUnsigned(PyObject* value, unsigned long long hi, const char* type, unsigned long long* out) {
  if (!IsInt(value)) return ExpectedError("int", value);
  int overflow = 0;
  long long v = 0;
  if (!CompactValue(value, &v)) {
    v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) return Status::Pending();
  }
  if (overflow == 0) {
    if (v < 0 || static_cast<unsigned long long>(v) > hi) return RangeError(value, type);
    *out = static_cast<unsigned long long>(v);
    return Status::Ok();
  }
  if (overflow < 0) return RangeError(value, type);
  unsigned long long u = PyLong_AsUnsignedLongLong(value);
  if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return Status::Pending();
    PyErr_Clear();
    return RangeError(value, type);
  }
  if (u > hi) return RangeError(value, type);
  *out = u;
  return Status::Ok();
}

// Kinds that let the conversion's own OverflowError through.
inline Status ToPlainSigned(PyObject* value, long lo, long hi, long* out) {
  if (!IsInt(value)) return ExpectedError("int", value);
  VELUM_TRY(ToLong(value, out));
  if (*out < lo || *out > hi) return IntegralRangeError();
  return Status::Ok();
}

inline Status ToFixed64(PyObject* value, uint64_t* out) {
  if (!IsInt(value)) return ExpectedError("int", value);
  int overflow = 0;
  long long v = 0;
  if (!CompactValue(value, &v)) v = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow == 0 && v >= 0) {
    *out = static_cast<uint64_t>(v);
    return Status::Ok();
  }
  if (v == -1 && PyErr_Occurred()) return Status::Pending();
  unsigned long long u = PyLong_AsUnsignedLongLong(value);
  if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return Status::Pending();
  *out = u;
  return Status::Ok();
}

Status WriteScalar(ReverseBuffer& buf, ScalarType type, PyObject* value) {
  switch (type) {
    case ScalarType::kDouble: {
      double d = 0;
      VELUM_TRY(ToDouble(value, &d));
      buf.PutFixed64(std::bit_cast<uint64_t>(d));
      return Status::Ok();
    }
    case ScalarType::kFloat: {
      double d = 0;
      VELUM_TRY(ToDouble(value, &d));
      float f = static_cast<float>(d);
      if (std::isinf(f) && std::isfinite(d)) return RangeError(value, "float32");
      buf.PutFixed32(std::bit_cast<uint32_t>(f));
      return Status::Ok();
    }
    case ScalarType::kInt64: {
      long long v = 0;
      VELUM_TRY(ToNamedSigned(value, LLONG_MIN, LLONG_MAX, "int64", &v));
      PutVarint(buf, wire::SignExtend(v));
      return Status::Ok();
    }
    case ScalarType::kInt32: {
      long long v = 0;
      VELUM_TRY(ToNamedSigned(value, INT32_MIN, INT32_MAX, "int32", &v));
      PutVarint(buf, wire::SignExtend(v));
      return Status::Ok();
    }
    case ScalarType::kUint64: {
      unsigned long long v = 0;
      VELUM_TRY(ToNamedUnsigned(value, ULLONG_MAX, "uint64", &v));
      PutVarint(buf, v);
      return Status::Ok();
    }
    case ScalarType::kUint32: {
      unsigned long long v = 0;
      VELUM_TRY(ToNamedUnsigned(value, UINT32_MAX, "uint32", &v));
      PutVarint(buf, v);
      return Status::Ok();
    }
    case ScalarType::kFixed64: {
      uint64_t v = 0;
      VELUM_TRY(ToFixed64(value, &v));
      buf.PutFixed64(v);
      return Status::Ok();
    }
    case ScalarType::kFixed32: {
      long v = 0;
      VELUM_TRY(ToPlainSigned(value, 0, UINT32_MAX, &v));
      buf.PutFixed32(static_cast<uint32_t>(v));
      return Status::Ok();
    }
    case ScalarType::kSfixed32: {
      long v = 0;
      VELUM_TRY(ToPlainSigned(value, INT32_MIN, INT32_MAX, &v));
      buf.PutFixed32(static_cast<uint32_t>(static_cast<int32_t>(v)));
      return Status::Ok();
    }
    case ScalarType::kSint32: {
      long v = 0;
      VELUM_TRY(ToPlainSigned(value, INT32_MIN, INT32_MAX, &v));
      PutVarint(buf, wire::ZigZagEncode32(static_cast<int32_t>(v)));
      return Status::Ok();
    }
    case ScalarType::kSfixed64: {
      long v = 0;
      VELUM_TRY(ToPlainSigned(value, LONG_MIN, LONG_MAX, &v));
      buf.PutFixed64(static_cast<uint64_t>(v));
      return Status::Ok();
    }
    case ScalarType::kSint64: {
      long v = 0;
      VELUM_TRY(ToPlainSigned(value, LONG_MIN, LONG_MAX, &v));
      PutVarint(buf, wire::ZigZagEncode64(v));
      return Status::Ok();
    }
    case ScalarType::kBool:
      if (value == Py_True) {
        buf.PutByte(1);
      } else if (value == Py_False) {
        buf.PutByte(0);
      } else {
        return ExpectedError("bool", value);
      }
      return Status::Ok();
    case ScalarType::kString: {
      if (!PyUnicode_Check(value)) return ExpectedError("string", value);
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
      if (utf8 == nullptr) return Status::Pending();
      buf.PutBytes(utf8, static_cast<size_t>(size));
      PutVarint(buf, static_cast<uint64_t>(size));
      return Status::Ok();
    }
    case ScalarType::kBytes: {
      if (!PyBytes_Check(value)) return ExpectedError("bytes", value);
      Py_ssize_t size = PyBytes_GET_SIZE(value);
      buf.PutBytes(PyBytes_AS_STRING(value), static_cast<size_t>(size));
      PutVarint(buf, static_cast<uint64_t>(size));
      return Status::Ok();
    }
  }
  return Status(ErrorKind::kRuntime, "invalid scalar type in field table");
}

Status WriteEnum(ReverseBuffer& buf, const EnumTable& table, PyObject* value) {
  long long compact = 0;
  long number = 0;
  if (PyLong_Check(value) && CompactValue(value, &compact)) {
    number = static_cast<long>(compact);
  } else {
    number = PyLong_AsLong(value);
    if (number == -1 && PyErr_Occurred()) return Status::Pending();
  }
  if (number < INT32_MIN || number > INT32_MAX) return IntegralRangeError();
  if (!table.open && table.Member(static_cast<int32_t>(number)) == nullptr) {
    return FormatError(ErrorKind::kValue, "invalid enum value %ld for enum '%S'", number, table.type_name.get());
  }
  PutVarint(buf, wire::SignExtend(number));
  return Status::Ok();
}

// ---- values and fields -------------------------------------------------------

// Writes one value without its tag: a scalar, an enum number, a nested message
// with its length, or (for a group) the end tag and the content; the caller
// puts the start tag in front.
Status WriteValue(ReverseBuffer& buf, const ElementKind& kind, uint32_t end_tag, PyObject* value, uint32_t depth,
                  bool write_unknown) {
  uint8_t code = ValueCode(kind);
  switch (code) {
    case kCodeEnum:
      return WriteEnum(buf, *kind.table, value);
    case kCodeMessage:
    case kCodeGroup: {
      if (code == kCodeGroup) PutVarint(buf, end_tag);
      if (value == Py_None) {
        if (code == kCodeMessage) buf.PutByte(0);
        return Status::Ok();
      }
      if (!IsNativeMessage(value)) return TypeCheckError(value, "NativeMessage");
      VELUM_ASSIGN_OR_RETURN(MessageMarshaler * nested, Resolve(kind.handle));
      uint64_t before = buf.ContentLength();
      VELUM_TRY(EncodeMessage(*nested, value, buf, depth, write_unknown));
      if (code == kCodeMessage) PutVarint(buf, buf.ContentLength() - before);
      return Status::Ok();
    }
    default:
      return WriteScalar(buf, kind.scalar, value);
  }
}

Status WriteList(ReverseBuffer& buf, const FieldSpec& f, PyObject* list, uint32_t depth, bool write_unknown) {
  if (!PyList_Check(list)) return TypeCheckError(list, "list");
  if (PyList_GET_SIZE(list) == 0) return Status::Ok();
  if (f.kind.packed && f.packable) {
    uint64_t before = buf.ContentLength();
    for (Py_ssize_t i = PyList_GET_SIZE(list) - 1; i >= 0; --i) {
      // Conversions may run Python code that shrinks the list.
      if (i >= PyList_GET_SIZE(list)) {
        i = PyList_GET_SIZE(list);
        continue;
      }
      Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
      VELUM_TRY(WriteValue(buf, f.kind.value, f.end_tag, item.get(), depth, write_unknown));
    }
    PutVarint(buf, buf.ContentLength() - before);
    PutVarint(buf, f.tag);
    return Status::Ok();
  }
  // Elements that cannot be packed always carry their own tag, whatever the
  // packed flag says: a packed run of strings or messages could not be read back.
  const uint32_t tag = f.kind.packed ? (f.number << 3) | f.element_wire_type : f.tag;
  for (Py_ssize_t i = PyList_GET_SIZE(list) - 1; i >= 0; --i) {
    if (i >= PyList_GET_SIZE(list)) {
      i = PyList_GET_SIZE(list);
      continue;
    }
    Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
    VELUM_TRY(WriteValue(buf, f.kind.value, f.end_tag, item.get(), depth, write_unknown));
    PutVarint(buf, tag);
  }
  return Status::Ok();
}

Status WriteMap(ReverseBuffer& buf, const FieldSpec& f, PyObject* dict, uint32_t depth, bool write_unknown) {
  if (!PyDict_Check(dict)) return TypeCheckError(dict, "dict");
  const Py_ssize_t size = PyDict_GET_SIZE(dict);
  Py_ssize_t pos = 0;
  Py_ssize_t seen = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (++seen > size) return DictChanged(false);
    Ref key_ref = Ref::borrow(key);
    Ref value_ref = Ref::borrow(value);
    uint64_t before = buf.ContentLength();
    VELUM_TRY(WriteValue(buf, f.kind.value, 0, value_ref.get(), depth, write_unknown));
    PutVarint(buf, f.map_value_tag);
    VELUM_TRY(WriteScalar(buf, f.kind.map_key, key_ref.get()));
    PutVarint(buf, f.map_key_tag);
    PutVarint(buf, buf.ContentLength() - before);
    PutVarint(buf, f.tag);
    if (PyDict_GET_SIZE(dict) != size) return DictChanged(true);
  }
  return Status::Ok();
}

Status WriteField(ReverseBuffer& buf, const FieldSpec& f, PyObject* value, uint32_t depth, bool write_unknown) {
  switch (f.shape) {
    case FieldShape::kSingular:
      VELUM_TRY(WriteValue(buf, f.kind.value, f.end_tag, value, depth, write_unknown));
      PutVarint(buf, f.tag);
      return Status::Ok();
    case FieldShape::kList:
      return WriteList(buf, f, value, depth, write_unknown);
    case FieldShape::kMap:
      return WriteMap(buf, f, value, depth, write_unknown);
  }
  return Status::Ok();
}

Status RequiredNotSet(const FieldSpec& f) {
  return FormatError(ErrorKind::kValue, "cannot encode %U to binary: required field not set", f.local_name.get());
}

Status WriteUnknown(ReverseBuffer& buf, PyObject* store) {
  const Py_ssize_t size = PyDict_GET_SIZE(store);
  if (size == 0) return Status::Ok();
  // Nothing below runs Python code, so the lists stay alive and unchanged
  // while they are borrowed here.
  RawVector<PyObject*> lists;
  lists.reserve(static_cast<size_t>(size));
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(store, &pos, &key, &value)) {
    if (static_cast<Py_ssize_t>(lists.size()) >= size) return DictChanged(false);
    if (!PyList_Check(value)) return TypeCheckError(value, "list");
    lists.push_back(value);
  }
  if (PyDict_GET_SIZE(store) != size) return DictChanged(true);
  for (size_t l = lists.size(); l-- > 0;) {
    PyObject* list = lists[l];
    for (Py_ssize_t i = PyList_GET_SIZE(list) - 1; i >= 0; --i) {
      PyObject* record = PyList_GET_ITEM(list, i);
      if (!PyBytes_Check(record)) return TypeCheckError(record, "bytes");
      buf.PutBytes(PyBytes_AS_STRING(record), static_cast<size_t>(PyBytes_GET_SIZE(record)));
    }
  }
  return Status::Ok();
}

Status CheckOneofs(const MessageMarshaler& m, PyObject* msg) {
  for (const OneofEntry& oneof : m.oneofs) {
    VELUM_ASSIGN_OR_RETURN(Ref value, ReadField(msg, oneof.access));
    if (value.get() == Py_None) continue;
    if (!oneof::Check(value.get())) {
      return FormatError(ErrorKind::kType, "expected Oneof, got '%S'",
                         reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
    }
    PyObject* field = oneof::Field(value.get());
    if (!m.fields_by_name) return Status(ErrorKind::kRuntime, "message marshaler was cleared");
    int known = PySequence_Contains(m.fields_by_name.get(), field);
    if (known < 0) return Status::Pending();
    if (!known) return FormatError(ErrorKind::kValue, "unknown oneof field '%S'", field);
  }
  return Status::Ok();
}

}  // namespace

Status EncodeMessage(const MessageMarshaler& m, PyObject* msg, ReverseBuffer& buf, uint32_t depth,
                     bool write_unknown) {
  if (depth > wire::kMaxDepth) {
    return FormatError(ErrorKind::kRecursion, "exceeded maximum recursion depth %u while serializing message",
                       static_cast<unsigned>(wire::kMaxDepth));
  }
  PyObject* cls = m.message_class.get();
  if (cls == nullptr) return Status(ErrorKind::kRuntime, "message marshaler was cleared");
  if (reinterpret_cast<PyObject*>(Py_TYPE(msg)) != cls) {
    int is = PyObject_IsInstance(msg, cls);
    if (is < 0) return Status::Pending();
    // The field slots are offsets into the class's layout: an __instancecheck__
    // that accepts an unrelated type must not lead to reading them.
    if (!is || !PyObject_TypeCheck(msg, reinterpret_cast<PyTypeObject*>(cls))) {
      return FormatError(ErrorKind::kType, "expected %S, got '%S'", cls, reinterpret_cast<PyObject*>(Py_TYPE(msg)));
    }
  }
  // The native state read below exists only on NativeMessage instances.
  if (!IsNativeMessage(msg)) return TypeCheckError(msg, "NativeMessage");
  if (!m.oneofs.empty()) VELUM_TRY(CheckOneofs(m, msg));

  NativeMessageObject* native = AsNative(msg);
  if (write_unknown && native->unknown_fields != nullptr) VELUM_TRY(WriteUnknown(buf, native->unknown_fields));

  const uint32_t child_depth = depth + 1;
  for (size_t i = m.fields.size(); i-- > 0;) {
    const FieldSpec& f = m.fields[i];
    if (f.in_oneof()) {
      VELUM_ASSIGN_OR_RETURN(Ref holder, ReadField(msg, f.access));
      if (!oneof::Check(holder.get())) continue;
      PyObject* field = oneof::Field(holder.get());
      if (!PyUnicode_Check(field)) continue;
      if (field != f.local_name.get() && PyUnicode_Compare(field, f.local_name.get()) != 0) {
        if (PyErr_Occurred()) return Status::Pending();
        continue;
      }
      VELUM_TRY(WriteField(buf, f, oneof::Value(holder.get()), child_depth, write_unknown));
      continue;
    }
    VELUM_ASSIGN_OR_RETURN(Ref value, ReadField(msg, f.access));
    if (f.presence == Presence::kImplicit || f.shape != FieldShape::kSingular) {
      int set = HoldsNonDefault(f, value.get());
      if (set < 0) return Status::Pending();
      if (!set) continue;
    } else {
      bool set = f.kind.value.tag == ElementTag::kMessage ? value.get() != Py_None : native->presence.Get(f.number);
      if (!set) {
        if (f.presence == Presence::kRequired) return RequiredNotSet(f);
        continue;
      }
    }
    VELUM_TRY(WriteField(buf, f, value.get(), child_depth, write_unknown));
  }
  return Status::Ok();
}

}  // namespace velum::encoder

namespace velum {

Result<Ref> EncodeToBytes(const MessageMarshaler& m, PyObject* msg, bool write_unknown_fields) {
  ReverseBuffer buf;
  VELUM_TRY(encoder::EncodeMessage(m, msg, buf, 0, write_unknown_fields));
  if (!buf.ok()) return Status(ErrorKind::kMemory, "out of memory while serializing message");
  PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buf.data()),
                                              static_cast<Py_ssize_t>(buf.ContentLength()));
  if (bytes == nullptr) return Status::Pending();
  return Ref::steal(bytes);
}

}  // namespace velum
