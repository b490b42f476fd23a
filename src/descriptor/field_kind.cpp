#include "descriptor/field_kind.h"

#include <iterator>

#include "common/py_error.h"
#include "descriptor/enum_table.h"
#include "descriptor/message_handle.h"

namespace velum {

namespace {

PyObject* HandleObject(MessageHandle* handle) noexcept {
  return handle == nullptr ? nullptr
                           : reinterpret_cast<PyObject*>(reinterpret_cast<char*>(handle) -
                                                         offsetof(MessageHandleObject, handle));
}

PyObject* TableObject(EnumTable* table) noexcept {
  return table == nullptr
             ? nullptr
             : reinterpret_cast<PyObject*>(reinterpret_cast<char*>(table) - offsetof(EnumTableObject, table));
}

Result<uint32_t> ToUint32(PyObject* value) {
  if (!PyLong_Check(value)) {
    Ref index = Ref::steal(PyNumber_Index(value));
    if (!index) return Status::Pending();
    return ToUint32(index.get());
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(value);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return Status::Pending();
  if (v > UINT32_MAX) return Status(ErrorKind::kOverflow, "value out of range for an unsigned 32-bit integer");
  return static_cast<uint32_t>(v);
}

Result<Ref> ReadOneofName(const RuntimeNames& names, PyObject* value_desc, RuntimeClass kind) {
  VELUM_ASSIGN_OR_RETURN(Ref oneof, names.read(value_desc, kind, Name::kOneof));
  if (oneof.get() == Py_None) return Ref();
  Ref local_name = Ref::steal(PyObject_GetAttr(oneof.get(), names.name(Name::kLocalName)));
  if (!local_name) return Status::Pending();
  if (!PyUnicode_Check(local_name.get())) {
    return Status(ErrorKind::kType, "oneof local_name cannot be converted to str");
  }
  return local_name;
}

Result<bool> ReadBool(const RuntimeNames& names, PyObject* obj, RuntimeClass kind, Name name) {
  VELUM_ASSIGN_OR_RETURN(Ref value, names.read(obj, kind, name));
  if (!PyBool_Check(value.get())) {
    return FormatError(ErrorKind::kType, "%U cannot be converted to bool", names.name(name));
  }
  return value.get() == Py_True;
}

Status SetMessage(const RuntimeNames& names, PyObject* message_desc, ElementKind& out) {
  VELUM_ASSIGN_OR_RETURN(Ref handle, GetMessageHandle(names, message_desc));
  out.tag = ElementTag::kMessage;
  out.handle = AsMessageHandle(handle.release());
  return Status::Ok();
}

Status SetEnum(const RuntimeNames& names, PyObject* enum_desc, ElementKind& out) {
  VELUM_ASSIGN_OR_RETURN(Ref table, GetEnumTable(names, enum_desc));
  out.tag = ElementTag::kEnum;
  out.table = AsEnumTable(table.release());
  return Status::Ok();
}

// A list element or map value: a ScalarType member, a DescEnum or a DescMessage.
Result<bool> ClassifyElement(const RuntimeNames& names, PyObject* element, ElementKind& out) {
  // Exact classes first, as the runtime makes them.
  if (names.is(element, RuntimeClass::kDescMessage)) {
    VELUM_TRY(SetMessage(names, element, out));
    return true;
  }
  if (names.is(element, RuntimeClass::kDescEnum)) {
    VELUM_TRY(SetEnum(names, element, out));
    return true;
  }
  int is = PyObject_IsInstance(element, names.cls(RuntimeClass::kScalarType));
  if (is < 0) return Status::Pending();
  if (is) {
    VELUM_ASSIGN_OR_RETURN(out.scalar, ToScalarType(element));
    out.tag = ElementTag::kScalar;
    return true;
  }
  is = PyObject_IsInstance(element, names.cls(RuntimeClass::kDescEnum));
  if (is < 0) return Status::Pending();
  if (is) {
    VELUM_TRY(SetEnum(names, element, out));
    return true;
  }
  is = PyObject_IsInstance(element, names.cls(RuntimeClass::kDescMessage));
  if (is < 0) return Status::Pending();
  if (is) {
    VELUM_TRY(SetMessage(names, element, out));
    return true;
  }
  return false;
}

}  // namespace

ElementKind::ElementKind(ElementKind&& other) noexcept
    : tag(other.tag),
      scalar(other.scalar),
      delimited(other.delimited),
      handle(std::exchange(other.handle, nullptr)),
      table(std::exchange(other.table, nullptr)) {}

ElementKind& ElementKind::operator=(ElementKind&& other) noexcept {
  if (this != &other) {
    Py_XDECREF(HandleObject(handle));
    Py_XDECREF(TableObject(table));
    tag = other.tag;
    scalar = other.scalar;
    delimited = other.delimited;
    handle = std::exchange(other.handle, nullptr);
    table = std::exchange(other.table, nullptr);
  }
  return *this;
}

ElementKind::~ElementKind() {
  Py_XDECREF(HandleObject(handle));
  Py_XDECREF(TableObject(table));
}

WireType ScalarWireType(ScalarType type) noexcept {
  switch (type) {
    case ScalarType::kDouble:
    case ScalarType::kFixed64:
    case ScalarType::kSfixed64:
      return kWireFixed64;
    case ScalarType::kFloat:
    case ScalarType::kFixed32:
    case ScalarType::kSfixed32:
      return kWireFixed32;
    case ScalarType::kString:
    case ScalarType::kBytes:
      return kWireLengthDelimited;
    default:
      return kWireVarint;
  }
}

bool IsPackable(const ElementKind& element) noexcept {
  switch (element.tag) {
    case ElementTag::kEnum:
      return true;
    case ElementTag::kScalar:
      return element.scalar != ScalarType::kString && element.scalar != ScalarType::kBytes;
    case ElementTag::kMessage:
      return false;
  }
  return false;
}

WireType ElementWireType(const ElementKind& element) noexcept {
  switch (element.tag) {
    case ElementTag::kScalar:
      return ScalarWireType(element.scalar);
    case ElementTag::kEnum:
      return kWireVarint;
    case ElementTag::kMessage:
      return element.delimited ? kWireStartGroup : kWireLengthDelimited;
  }
  return kWireVarint;
}

WireType FieldWireType(const FieldKind& kind) noexcept {
  switch (kind.kind) {
    case ValueKind::kScalar:
    case ValueKind::kEnum:
    case ValueKind::kMessage:
      return ElementWireType(kind.value);
    case ValueKind::kList:
      return kind.packed ? kWireLengthDelimited : ElementWireType(kind.value);
    case ValueKind::kMap:
      return kWireLengthDelimited;
  }
  return kWireVarint;
}

Ref ScalarZeroValue(ScalarType type) noexcept {
  switch (type) {
    case ScalarType::kDouble:
    case ScalarType::kFloat:
      return Ref::steal(PyFloat_FromDouble(0.0));
    case ScalarType::kBool:
      return Ref::borrow(Py_False);
    case ScalarType::kString:
      return Ref::steal(PyUnicode_New(0, 0));
    case ScalarType::kBytes:
      return Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    default:
      return Ref::steal(PyLong_FromLong(0));
  }
}

Result<ScalarType> ToScalarType(PyObject* value) {
  VELUM_ASSIGN_OR_RETURN(uint32_t code, ToUint32(value));
  switch (code) {
    case 1: case 2: case 3: case 4: case 5: case 6: case 7: case 8:
    case 9: case 12: case 13: case 15: case 16: case 17: case 18:
      return static_cast<ScalarType>(code);
    default:
      return FormatError(ErrorKind::kValue, "invalid scalar type: %u", code);
  }
}

Result<Presence> ToPresence(PyObject* value) {
  VELUM_ASSIGN_OR_RETURN(uint32_t code, ToUint32(value));
  if (code < 1 || code > 3) return FormatError(ErrorKind::kValue, "invalid presence: %u", code);
  return static_cast<Presence>(code);
}

Result<FieldKind> ClassifyFieldValue(const RuntimeNames& names, PyObject* value_desc) {
  static constexpr RuntimeClass kKinds[] = {
      RuntimeClass::kDescFieldValueScalar, RuntimeClass::kDescFieldValueEnum, RuntimeClass::kDescFieldValueMessage,
      RuntimeClass::kDescFieldValueList,   RuntimeClass::kDescFieldValueMap,
  };
  RuntimeClass kind = RuntimeClass::kCount;
  for (RuntimeClass c : kKinds) {
    if (names.is(value_desc, c)) {
      kind = c;
      break;
    }
  }
  for (size_t i = 0; kind == RuntimeClass::kCount && i < std::size(kKinds); ++i) {
    int is = PyObject_IsInstance(value_desc, names.cls(kKinds[i]));
    if (is < 0) return Status::Pending();
    if (is) kind = kKinds[i];
  }

  FieldKind out;
  switch (kind) {
    case RuntimeClass::kDescFieldValueScalar: {
      VELUM_ASSIGN_OR_RETURN(out.oneof_name, ReadOneofName(names, value_desc, kind));
      VELUM_ASSIGN_OR_RETURN(Ref scalar, names.read(value_desc, kind, Name::kScalar));
      VELUM_ASSIGN_OR_RETURN(out.value.scalar, ToScalarType(scalar.get()));
      out.kind = ValueKind::kScalar;
      return out;
    }
    case RuntimeClass::kDescFieldValueEnum: {
      VELUM_ASSIGN_OR_RETURN(out.oneof_name, ReadOneofName(names, value_desc, kind));
      VELUM_ASSIGN_OR_RETURN(Ref enum_desc, names.read(value_desc, kind, Name::kEnum));
      VELUM_TRY(SetEnum(names, enum_desc.get(), out.value));
      out.kind = ValueKind::kEnum;
      return out;
    }
    case RuntimeClass::kDescFieldValueMessage: {
      VELUM_ASSIGN_OR_RETURN(out.oneof_name, ReadOneofName(names, value_desc, kind));
      VELUM_ASSIGN_OR_RETURN(Ref message_desc, names.read(value_desc, kind, Name::kMessage));
      VELUM_ASSIGN_OR_RETURN(bool delimited, ReadBool(names, value_desc, kind, Name::kDelimitedEncoding));
      VELUM_TRY(SetMessage(names, message_desc.get(), out.value));
      out.value.delimited = delimited;
      out.kind = ValueKind::kMessage;
      return out;
    }
    case RuntimeClass::kDescFieldValueList: {
      VELUM_ASSIGN_OR_RETURN(Ref element, names.read(value_desc, kind, Name::kElement));
      VELUM_ASSIGN_OR_RETURN(bool known, ClassifyElement(names, element.get(), out.value));
      if (!known) return Status(ErrorKind::kValue, "invalid list element type");
      if (out.value.tag == ElementTag::kMessage) {
        VELUM_ASSIGN_OR_RETURN(out.value.delimited, ReadBool(names, value_desc, kind, Name::kDelimitedEncoding));
      }
      VELUM_ASSIGN_OR_RETURN(out.packed, ReadBool(names, value_desc, kind, Name::kPacked));
      out.kind = ValueKind::kList;
      return out;
    }
    case RuntimeClass::kDescFieldValueMap: {
      VELUM_ASSIGN_OR_RETURN(Ref key, names.read(value_desc, kind, Name::kKey));
      VELUM_ASSIGN_OR_RETURN(out.map_key, ToScalarType(key.get()));
      VELUM_ASSIGN_OR_RETURN(Ref value, names.read(value_desc, kind, Name::kValue));
      VELUM_ASSIGN_OR_RETURN(bool known, ClassifyElement(names, value.get(), out.value));
      if (!known) return Status(ErrorKind::kValue, "invalid map value type");
      out.kind = ValueKind::kMap;
      return out;
    }
    default:
      return Status(ErrorKind::kValue, "invalid field value type");
  }
}

Result<FieldKind> ClassifyTarget(const RuntimeNames& names, ValueKind shape, PyObject* target, ScalarType scalar,
                                 bool packed, bool delimited, Ref oneof_name) {
  if (shape == ValueKind::kMap) return ClassifyFieldValue(names, target);
  FieldKind out;
  out.kind = shape;
  switch (shape) {
    case ValueKind::kScalar:
      out.value.scalar = scalar;
      break;
    case ValueKind::kEnum:
      VELUM_TRY(SetEnum(names, target, out.value));
      break;
    case ValueKind::kMessage:
      VELUM_TRY(SetMessage(names, target, out.value));
      out.value.delimited = delimited;
      break;
    default: {  // a list
      VELUM_ASSIGN_OR_RETURN(bool known, ClassifyElement(names, target, out.value));
      if (!known) return Status(ErrorKind::kValue, "invalid list element type");
      if (out.value.tag == ElementTag::kMessage) out.value.delimited = delimited;
      out.packed = packed;
      return out;
    }
  }
  out.oneof_name = std::move(oneof_name);
  return out;
}

}  // namespace velum
