// Interned attribute names and runtime classes, built once per process from
// velum._descriptors so that no hot path creates a name string.
#pragma once

#include "common/ref.h"
#include "common/status.h"

namespace velum {

enum class Name : uint8_t {
  kDefaults,
  kDelimitedEncoding,
  kDesc,
  kElement,
  kEnum,
  kExtension,
  kExtensionFor,
  kExtMarshaler,
  kExtValueType,
  kFields,
  kFieldsByName,
  kFile,
  kJsonName,
  kKey,
  kLocalName,
  kMessage,
  kName,
  kNumber,
  kOneof,
  kOneofsByLocalName,
  kOpen,
  kPacked,
  kPresence,
  kRequiresPresence,
  kScalar,
  kTypeName,
  kType,
  kValue,
  kValues,
  kNew,
  kCount,
};

enum class RuntimeClass : uint8_t {
  kDescField,
  kDescFieldValueScalar,
  kDescFieldValueEnum,
  kDescFieldValueMessage,
  kDescFieldValueList,
  kDescFieldValueMap,
  kScalarType,
  kDescMessage,
  kDescEnum,
  kDescEnumValue,
  kCount,
};

// Slots of the descriptor classes that the runtime hides behind lazy
// properties (or keeps for the extension), read directly by offset.
enum class RawSlot : uint8_t {
  kMessageType,
  kMessageResolve,
  kMessageFields,
  kMessageFieldsByName,
  kMessageOneofsByLocalName,
  kMessageDefaults,
  kEnumType,
  kEnumTable,
  kCount,
};

struct RuntimeNames {
  Ref names[static_cast<int>(Name::kCount)];
  Ref classes[static_cast<int>(RuntimeClass::kCount)];
  // Byte offset of each raw slot in its class, -1 when the runtime does not
  // publish it (every read then goes through the attribute).
  Py_ssize_t raw_slots[static_cast<int>(RawSlot::kCount)];
  Ref enum_default_class;  // velum._descriptors.EnumDefault, or null
  // Byte offset of the plain slot `name` in each runtime class, -1 when the
  // class has no such slot (a property, say).
  Py_ssize_t offsets[static_cast<int>(RuntimeClass::kCount)][static_cast<int>(Name::kCount)];

  PyObject* name(Name n) const noexcept { return names[static_cast<int>(n)].get(); }
  PyObject* cls(RuntimeClass c) const noexcept { return classes[static_cast<int>(c)].get(); }
  bool is(PyObject* obj, RuntimeClass c) const noexcept {
    return Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(cls(c));
  }

  // `obj.<n>` for a descriptor of class `c`: straight from its slot when `obj`
  // is exactly of that class and the slot is filled, else the attribute.
  Result<Ref> read(PyObject* obj, RuntimeClass c, Name n) const {
    const Py_ssize_t offset = offsets[static_cast<int>(c)][static_cast<int>(n)];
    if (offset > 0 && is(obj, c)) {
      if (PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset)) {
        return Ref::borrow(value);
      }
    }
    PyObject* value = PyObject_GetAttr(obj, name(n));
    if (value == nullptr) return Status::Pending();
    return Ref::steal(value);
  }

  // Where `slot` lives in `obj`, or null when `obj` is not exactly of the
  // slot's class or the runtime did not publish the slot.
  PyObject** raw_address(PyObject* obj, RawSlot slot) const noexcept {
    const Py_ssize_t offset = raw_slots[static_cast<int>(slot)];
    const RuntimeClass owner = slot < RawSlot::kEnumType ? RuntimeClass::kDescMessage : RuntimeClass::kDescEnum;
    if (offset < 0 || Py_TYPE(obj) != reinterpret_cast<PyTypeObject*>(cls(owner))) return nullptr;
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
  }
};

// The process-wide record, built on first call. It is never freed, so the
// pointer stays valid for the life of the process.
Result<const RuntimeNames*> GetRuntimeNames();

// Null until GetRuntimeNames has succeeded once.
const RuntimeNames* RuntimeNamesIfReady() noexcept;

}  // namespace velum
