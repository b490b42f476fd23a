// What the field resolver holds (the record classes' slot offsets, the makers and
// shared values the runtime configured it with) and the record readers its units
// share: resolving fields (field_resolve.cpp) and checking them at load
// (field_check.cpp).
#pragma once

#include <initializer_list>

#include "common/ref.h"
#include "common/status.h"

namespace velum::field_resolver {

enum ProtoSlot {
  kName,
  kNumber,
  kLabel,
  kType,
  kDefault,
  kOptions,
  kOneofIndex,
  kJsonName,
  kProto3Optional,
  kTypeName,
  kProtoSlots,
};
enum OptionSlot { kPacked, kFeatures, kOptionSlots };
enum ValueSlot { kEnumValues, kEnumValueLocal, kEnumValueName, kIsMapEntry, kValueSlots };
enum Maker { kNewField, kNewOneof, kNewScalar, kNewEnum, kNewMessage, kNewList, kNewEnumDefault, kMakers };
enum TargetClass { kEnumClass, kMessageClass, kMapClass, kEnumValueClass, kClasses };

// Numbers from descriptor.proto and the feature sets.
constexpr long kLabelRequired = 2;
constexpr long kLabelRepeated = 3;
constexpr long kTypeGroup = 10;
constexpr long kTypeMessage = 11;
constexpr long kTypeEnum = 14;
constexpr long kTypeString = 9;
constexpr long kTypeBytes = 12;
constexpr long kMaxScalar = 18;
constexpr long kPresenceImplicit = 2;
constexpr long kPresenceLegacyRequired = 3;
constexpr long kRepeatedPacked = 1;
constexpr long kRepeatedExpanded = 2;
constexpr long kMessageDelimited = 2;

// Where a decoded message record keeps its fields while they are bytes.
struct MessageRecordLayout {
  PyTypeObject* type = nullptr;  // borrowed from `held`
  Py_ssize_t source = 0;
  Py_ssize_t views = 0;
  Ref held;
  Ref fields;  // the record's `fields`, which makes the field records
};

struct FieldResolver {
  Ref proto_class;
  Py_ssize_t proto_slot[kProtoSlots] = {};
  Ref options_class;
  Py_ssize_t option_slot[kOptionSlots] = {};
  Py_ssize_t value_slot[kValueSlots] = {};
  Ref makers[kMakers];
  Ref scalar_types, scalar_values, scalar_lists, zeros;
  Ref presence[3];
  Ref classes[kClasses];
  Ref keywords, reserved, json_name;
  Py_ssize_t longest_reserved = PY_SSIZE_T_MAX;  // LongestName of keywords and reserved
  MessageRecordLayout message_record;
};

inline PyObject* SlotAt(PyObject* obj, Py_ssize_t offset) {
  return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
}

// Whether a record's default_value is given and not empty.
inline bool HasDefault(PyObject* text) {
  return text != Py_None && (!PyUnicode_Check(text) || PyUnicode_GET_LENGTH(text) != 0);
}

// Whether `seq` can hold a message's field records: a record's repeated field is
// a tuple; callers may pass a list. Read with the PySequence_Fast macros.
inline bool IsRecordSequence(PyObject* seq) { return PyTuple_Check(seq) || PyList_Check(seq); }

Result<PyObject*> ReadSlot(PyObject* obj, Py_ssize_t offset);

// A label or type number; one beyond `long` (no valid record has one) reads as -1,
// which matches no label or type, as its value would not.
Result<long> ReadInt(PyObject* obj, Py_ssize_t offset);

Result<Ref> Call(PyObject* fn, std::initializer_list<PyObject*> args);

// The value of enum `desc` named `name` (the first value when `name` is null), or
// null when there is none.
Result<PyObject*> EnumValueNamed(const FieldResolver& r, PyObject* desc, PyObject* name);

// The field descriptor of an extension declared in `parent` (None at file level),
// its full name `prefix` + its name, `features` its scope's (field_presence,
// message_encoding, repeated_field_encoding); None when the runtime must make it
// (see field_resolve.h). Made in field_resolve.cpp.
Result<Ref> ExtensionField(const FieldResolver& r, PyObject* proto, PyObject* target, PyObject* local,
                           PyObject* prefix, PyObject* parent, const long features[3]);

}  // namespace velum::field_resolver
