#include "descriptor/field_check.h"

#include "common/py_error.h"
#include <array>

#include "descriptor/default_parse.h"
#include "descriptor/field_names.h"
#include "descriptor/field_view.h"
#include "descriptor/pending_fields.h"
#include "descriptor/slot_constructor.h"

namespace velum::field_resolver {

namespace {

// The entry in `types` a type_name names (leading dots dropped), borrowed; null
// when there is none. `more`, when given, is looked in after `types`.
Result<PyObject*> TypeNamed(PyObject* type_name, PyObject* types, PyObject* more = nullptr) {
  if (!PyUnicode_Check(type_name)) return nullptr;
  Py_ssize_t length = PyUnicode_GET_LENGTH(type_name);
  Py_ssize_t start = 0;
  while (start < length && PyUnicode_READ_CHAR(type_name, start) == '.') ++start;
  Ref name = Ref::steal(PyUnicode_Substring(type_name, start, length));
  if (!name) return Status::Pending();
  PyObject* found = PyDict_GetItemWithError(types, name.get());
  if (found == nullptr && more != nullptr && !PyErr_Occurred()) found = PyDict_GetItemWithError(more, name.get());
  if (found == nullptr && PyErr_Occurred()) return Status::Pending();
  return found;
}

// The dicts a named type is looked up in: the batch being loaded, then (when
// given) what earlier batches declared.
struct TypeScope {
  PyObject* messages;
  PyObject* enums;
  PyObject* known_messages = nullptr;
  PyObject* known_enums = nullptr;
};

// The type a message or enum field names when it is declared in `scope` with the
// right kind, else None: not found, the runtime looks it up itself and reports
// it. A repeated field naming a map entry is left to the runtime too, which
// checks the entry.
// The same for a type found (or not: null) by its name.
Result<PyObject*> TargetFound(const FieldResolver& r, PyObject* found, long type, long label) {
  if (found == nullptr) return Py_None;
  bool is_enum = type == kTypeEnum;
  PyObject* expected = r.classes[is_enum ? kEnumClass : kMessageClass].get();
  if (Py_TYPE(found) != reinterpret_cast<PyTypeObject*>(expected)) return Py_None;
  if (!is_enum && label == kLabelRepeated) {
    VELUM_ASSIGN_OR_RETURN(PyObject * map_entry, ReadSlot(found, r.value_slot[kIsMapEntry]));
    if (map_entry != Py_False) return Py_None;
  }
  return found;
}

Result<PyObject*> NamedTarget(const FieldResolver& r, PyObject* proto, long type, long label,
                              const TypeScope& scope) {
  VELUM_ASSIGN_OR_RETURN(PyObject * type_name, ReadSlot(proto, r.proto_slot[kTypeName]));
  bool is_enum = type == kTypeEnum;
  VELUM_ASSIGN_OR_RETURN(PyObject * found, TypeNamed(type_name, is_enum ? scope.enums : scope.messages,
                                                     is_enum ? scope.known_enums : scope.known_messages));
  return TargetFound(r, found, type, label);
}

// Fields still in the bytes of their file (see field_view.h) -----------------

// A message's field views and the bytes they point into.
struct Views {
  const FieldView* views = nullptr;  // aligned by the bytes object holding them
  Py_ssize_t count = 0;
  const uint8_t* source = nullptr;
};

Result<Views> ReadViews(PyObject* views, PyObject* source) {
  if (views == Py_None) return Views{};
  if (!PyBytes_Check(views) || !PyBytes_Check(source) ||
      PyBytes_GET_SIZE(views) % static_cast<Py_ssize_t>(sizeof(FieldView)) != 0) {
    return Status(ErrorKind::kType, "a message record's field views must be bytes");
  }
  return Views{reinterpret_cast<const FieldView*>(PyBytes_AS_STRING(views)),
               PyBytes_GET_SIZE(views) / static_cast<Py_ssize_t>(sizeof(FieldView)),
               reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(source))};
}

// A text of a view as a str ("" when absent), dropping the leading dots when `undotted`.
Result<Ref> ViewText(const Views& v, TextSpan span, bool undotted = false) {
  const uint8_t* data = v.source + span.offset;
  size_t size = span.present() ? span.size : 0;
  while (undotted && size > 0 && *data == '.') {
    ++data;
    --size;
  }
  // (checked to be UTF-8 when the record was read)
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size), nullptr));
  if (!text) return Status::Pending();
  return text;
}

// The bytes of ASCII identifiers.
constexpr auto kWordBytes = [] {
  std::array<bool, 256> word{};
  for (int c = 0; c < 256; ++c) {
    word[c] = c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
  }
  return word;
}();

// Whether a view's name is an identifier, as IsIdentifier says of its str: an
// ASCII byte outside [A-Za-z0-9_] never is one; a name with other characters is
// left to IsIdentifier.
Result<bool> ViewNameIsIdentifier(const Views& v, const FieldView& view) {
  const uint8_t* name = v.source + view.name.offset;
  const size_t size = view.name.present() ? view.name.size : 0;
  if (IsAsciiIdentifier(name, size)) return true;  // (most names, a word at a step)
  if (size == 0 || (name[0] >= '0' && name[0] <= '9')) return false;
  for (size_t i = 0; i < size; ++i) {
    if (kWordBytes[name[i]]) continue;
    if (name[i] < 0x80) return false;
    VELUM_ASSIGN_OR_RETURN(Ref text, ViewText(v, view.name));
    return IsIdentifier(text.get());
  }
  return true;
}

// The type a message or enum field of a view names (see NamedTarget).
Result<PyObject*> ViewTarget(const FieldResolver& r, const Views& v, const FieldView& view, const TypeScope& scope) {
  VELUM_ASSIGN_OR_RETURN(Ref key, ViewText(v, view.type_name, true));
  bool is_enum = view.type == kTypeEnum;
  PyObject* found = PyDict_GetItemWithError(is_enum ? scope.enums : scope.messages, key.get());
  PyObject* more = is_enum ? scope.known_enums : scope.known_messages;
  if (found == nullptr && more != nullptr && !PyErr_Occurred()) found = PyDict_GetItemWithError(more, key.get());
  if (found == nullptr && PyErr_Occurred()) return Status::Pending();
  return TargetFound(r, found, view.type, view.label);
}

Result<Ref> Pair(PyObject* first, PyObject* second) {
  Ref pair = Ref::steal(PyTuple_Pack(2, first, second));
  if (!pair) return Status::Pending();
  return pair;
}

// The target of a field of `type` that is not a plain scalar: its scalar
// type once `default_text` (a singular field's default, null when none is
// read) parses, or the message or enum class `named()` finds, or None when
// the runtime must look at it and report what is wrong.
template <class Named>
Result<PyObject*> FieldTarget(const FieldResolver& r, long type, PyObject* default_text, Named&& named) {
  PyObject* scalar = type >= 1 && type <= kMaxScalar ? PyTuple_GET_ITEM(r.scalar_types.get(), type) : Py_None;
  if (scalar != Py_None) {
    if (default_text == nullptr) return scalar;
    VELUM_ASSIGN_OR_RETURN(Ref parsed, ParseScalarDefault(type, default_text));
    return parsed ? scalar : Py_None;
  }
  if (type != kTypeMessage && type != kTypeGroup && type != kTypeEnum) return Py_None;
  VELUM_ASSIGN_OR_RETURN(PyObject * target, named());
  if (target != Py_None && type == kTypeEnum && default_text != nullptr) {
    VELUM_ASSIGN_OR_RETURN(PyObject * value, EnumValueNamed(r, target, default_text));
    if (value == nullptr) return Py_None;
  }
  return target;
}

// A plain scalar: its type with no default to read (a string's is never read).
PyObject* PlainScalar(const FieldResolver& r, long type, bool has_default) {
  if (type < 1 || type > kMaxScalar || (has_default && type != kTypeString)) return nullptr;
  PyObject* scalar = PyTuple_GET_ITEM(r.scalar_types.get(), type);  // None for messages and enums
  return scalar != Py_None ? scalar : nullptr;
}

// The (targets, pending indices) pair of `count` fields, `target(i)` giving
// field i's target (borrowed).
template <class Target>
Result<Ref> CollectTargets(Py_ssize_t count, Target&& target) {
  Ref targets = Ref::steal(PyList_New(count));
  Ref pending = Ref::steal(PyList_New(0));
  if (!targets || !pending) return Status::Pending();
  for (Py_ssize_t i = 0; i < count; ++i) {
    VELUM_ASSIGN_OR_RETURN(PyObject * found, target(i));
    PyList_SET_ITEM(targets.get(), i, Py_NewRef(found));
    if (found != Py_None) continue;
    Ref index = Ref::steal(PyLong_FromSsize_t(i));
    if (!index || PyList_Append(pending.get(), index.get()) < 0) return Status::Pending();
  }
  return Pair(targets.get(), pending.get());
}

// The target of one field record: its type when nothing about it needs the
// runtime, else None (see NamedTarget and FieldTarget).
Result<PyObject*> TargetOfRecord(const FieldResolver& r, PyObject* proto, const TypeScope& scope) {
  VELUM_ASSIGN_OR_RETURN(long type, ReadInt(proto, r.proto_slot[kType]));
  VELUM_ASSIGN_OR_RETURN(PyObject * default_text, ReadSlot(proto, r.proto_slot[kDefault]));
  // Only a singular field's default is read; a bad one is left to the runtime, which reports it.
  const bool has_default = HasDefault(default_text);
  if (PyObject* plain = PlainScalar(r, type, has_default)) return plain;
  VELUM_ASSIGN_OR_RETURN(long label, ReadInt(proto, r.proto_slot[kLabel]));
  const bool reads_default = has_default && label != kLabelRepeated;
  return FieldTarget(r, type, reads_default ? default_text : nullptr,
                     [&] { return NamedTarget(r, proto, type, label, scope); });
}

Result<Ref> CheckIn(const FieldResolver& r, PyObject* protos, const TypeScope& scope) {
  if (!IsRecordSequence(protos)) return TypeCheckError(protos, "list");
  auto* proto_class = reinterpret_cast<PyTypeObject*>(r.proto_class.get());
  Py_ssize_t count = PySequence_Fast_GET_SIZE(protos);
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* proto = PySequence_Fast_GET_ITEM(protos, i);
    if (!PyObject_TypeCheck(proto, proto_class)) return Status(ErrorKind::kValue, "invalid field descriptor");
    VELUM_ASSIGN_OR_RETURN(PyObject * name, ReadSlot(proto, r.proto_slot[kName]));
    // The runtime reports a bad name with where it is.
    if (!PyUnicode_Check(name) || !IsIdentifier(name)) return Ref::borrow(Py_None);
  }
  return CollectTargets(count, [&](Py_ssize_t i) -> Result<PyObject*> {
    return TargetOfRecord(r, PySequence_Fast_GET_ITEM(protos, i), scope);
  });
}

// CheckIn for fields still in their file's bytes.
Result<Ref> CheckViews(const FieldResolver& r, const Views& v, const TypeScope& scope) {
  for (Py_ssize_t i = 0; i < v.count; ++i) {
    VELUM_ASSIGN_OR_RETURN(bool identifier, ViewNameIsIdentifier(v, v.views[i]));
    if (!identifier) return Ref::borrow(Py_None);
  }
  return CollectTargets(v.count, [&](Py_ssize_t i) -> Result<PyObject*> {
    const FieldView& view = v.views[i];
    const long type = view.type;
    const bool has_default = view.default_value.present() && view.default_value.size != 0;
    if (PyObject* plain = PlainScalar(r, type, has_default)) return plain;
    Ref default_text;
    if (has_default && view.label != kLabelRepeated) {
      VELUM_ASSIGN_OR_RETURN(default_text, ViewText(v, view.default_value));
    }
    return FieldTarget(r, type, default_text.get(), [&] { return ViewTarget(r, v, view, scope); });
  });
}

// What checking a batch reads of message records and sets on message descriptors.
struct BatchLayout {
  PyTypeObject* message_record;
  Py_ssize_t source;
  Py_ssize_t views;
  Py_ssize_t oneofs;
  PyTypeObject* oneof_record;
  Py_ssize_t oneof_name;
  PyObject* resolve_member;  // DescMessage._resolve
};

// What checking a batch makes: the `_resolve` of each message and map values.
struct BatchMakers {
  PyObject* resolve_message;
  PyObject* new_map_value;
  PyObject* fallback;
};

// The value descriptor of a map field (`view`) whose entry and its key and value
// types are declared in the batch; null (with no error) for anything else, which
// the runtime checks itself.
Result<Ref> NativeMapValue(const FieldResolver& r, const BatchLayout& layout, const BatchMakers& makers,
                           const Views& v, const FieldView& view, const TypeScope& scope, PyObject* message_protos) {
  if (view.label != kLabelRepeated || view.type != kTypeMessage) return Ref();
  VELUM_ASSIGN_OR_RETURN(Ref entry_name, ViewText(v, view.type_name, true));
  PyObject* entry = PyDict_GetItemWithError(scope.messages, entry_name.get());
  if (entry == nullptr && PyErr_Occurred()) return Status::Pending();
  auto* message_class = reinterpret_cast<PyTypeObject*>(r.classes[kMessageClass].get());
  if (entry == nullptr || Py_TYPE(entry) != message_class) return Ref();
  VELUM_ASSIGN_OR_RETURN(PyObject * map_entry, ReadSlot(entry, r.value_slot[kIsMapEntry]));
  if (map_entry != Py_True) return Ref();
  PyObject* entry_proto = PyDict_GetItemWithError(message_protos, entry);
  if (entry_proto == nullptr) {
    if (PyErr_Occurred()) return Status::Pending();
    return Ref();
  }
  if (Py_TYPE(entry_proto) != layout.message_record) return Ref();
  PyObject* entry_views = SlotAt(entry_proto, layout.views);
  PyObject* entry_source = SlotAt(entry_proto, layout.source);
  if (entry_views == nullptr || entry_source == nullptr) return Ref();
  VELUM_ASSIGN_OR_RETURN(Views ev, ReadViews(entry_views, entry_source));
  if (ev.count != 2) return Ref();
  const FieldView* by_number[2] = {};
  for (Py_ssize_t i = 0; i < 2; ++i) {
    const FieldView& field = ev.views[i];
    if (field.number != 1 && field.number != 2) return Ref();
    by_number[field.number - 1] = &field;
  }
  if (by_number[0] == nullptr || by_number[1] == nullptr) return Ref();
  PyObject* scalars = r.scalar_types.get();
  const long key_type = by_number[0]->type;
  PyObject* key = key_type >= 1 && key_type <= kMaxScalar ? PyTuple_GET_ITEM(scalars, key_type) : Py_None;
  if (key == Py_None) return Ref();
  const long value_type = by_number[1]->type;
  PyObject* value = value_type >= 1 && value_type <= kMaxScalar ? PyTuple_GET_ITEM(scalars, value_type) : Py_None;
  const bool scalar_value = value != Py_None;
  if (value == Py_None) {
    bool is_enum = value_type == kTypeEnum;
    if (!is_enum && value_type != kTypeMessage && value_type != kTypeGroup) return Ref();
    VELUM_ASSIGN_OR_RETURN(Ref value_name, ViewText(ev, by_number[1]->type_name, true));
    value = PyDict_GetItemWithError(is_enum ? scope.enums : scope.messages, value_name.get());
    PyObject* more = is_enum ? scope.known_enums : scope.known_messages;
    if (value == nullptr && more != nullptr && !PyErr_Occurred()) value = PyDict_GetItemWithError(more, value_name.get());
    if (value == nullptr && PyErr_Occurred()) return Status::Pending();
    PyObject* expected = r.classes[is_enum ? kEnumClass : kMessageClass].get();
    if (value == nullptr || Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(expected)) return Ref();
  }
  VELUM_ASSIGN_OR_RETURN(Ref map_value, Call(makers.new_map_value, {key, value}));
  // Of two scalar types (shared members), it can be in no cycle: out of the collector.
  if (scalar_value && PyObject_GC_IsTracked(map_value.get())) PyObject_GC_UnTrack(map_value.get());
  return map_value;
}

// The targets of one message's fields when everything about them can be settled
// here; null (with no error) when the runtime has to check the message itself.
Result<Ref> NativeTargets(const FieldResolver& r, const BatchLayout& layout, const BatchMakers& makers,
                          PyObject* proto, const TypeScope& scope, PyObject* message_protos) {
  if (Py_TYPE(proto) != layout.message_record) return Ref();
  PyObject* views = SlotAt(proto, layout.views);
  PyObject* source = SlotAt(proto, layout.source);
  PyObject* oneofs = SlotAt(proto, layout.oneofs);
  if (views == nullptr || source == nullptr || oneofs == nullptr || !PyTuple_Check(oneofs)) return Ref();
  VELUM_ASSIGN_OR_RETURN(Views v, ReadViews(views, source));
  // Any oneof name that is not an identifier goes to the runtime, which knows which
  // oneofs are synthetic and reports the real ones.
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(oneofs); ++i) {
    PyObject* oneof = PyTuple_GET_ITEM(oneofs, i);
    if (Py_TYPE(oneof) != layout.oneof_record) return Ref();
    PyObject* name = SlotAt(oneof, layout.oneof_name);
    if (name == nullptr || !PyUnicode_Check(name) || !IsIdentifier(name)) return Ref();
  }
  VELUM_ASSIGN_OR_RETURN(Ref checked, CheckViews(r, v, scope));
  if (checked.get() == Py_None) return Ref();
  PyObject* targets = PyTuple_GET_ITEM(checked.get(), 0);
  PyObject* pending = PyTuple_GET_ITEM(checked.get(), 1);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pending); ++i) {
    Py_ssize_t index = PyLong_AsSsize_t(PyList_GET_ITEM(pending, i));
    if (index == -1 && PyErr_Occurred()) return Status::Pending();
    VELUM_ASSIGN_OR_RETURN(Ref map_value, NativeMapValue(r, layout, makers, v, v.views[index], scope, message_protos));
    if (!map_value) return Ref();
    PyList_SetItem(targets, index, map_value.release());
  }
  return Ref::borrow(targets);
}

// Whether every target of a list is a scalar type (a member of the runtime's
// ScalarType, which lives as long as the runtime does).
bool AllScalar(const FieldResolver& r, PyObject* targets) {
  if (!PyList_Check(targets)) return false;
  PyTypeObject* scalar_type = Py_TYPE(PyTuple_GET_ITEM(r.scalar_types.get(), 1));  // (DOUBLE)
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(targets); ++i) {
    if (Py_TYPE(PyList_GET_ITEM(targets, i)) != scalar_type) return false;
  }
  return true;
}

Status LayoutError() { return Status(ErrorKind::kType, "check_batch() takes the runtime's types, layout and makers"); }

Result<BatchLayout> ReadLayout(PyObject* layout) {
  if (!PyTuple_Check(layout) || PyTuple_GET_SIZE(layout) != 7) return LayoutError();
  PyObject* message_record = PyTuple_GET_ITEM(layout, 0);
  PyObject* oneof_record = PyTuple_GET_ITEM(layout, 4);
  PyObject* resolve_member = PyTuple_GET_ITEM(layout, 6);
  if (!PyType_Check(message_record) || !PyType_Check(oneof_record) ||
      Py_TYPE(resolve_member)->tp_descr_set == nullptr) {
    return LayoutError();
  }
  BatchLayout read{reinterpret_cast<PyTypeObject*>(message_record), 0, 0, 0,
                   reinterpret_cast<PyTypeObject*>(oneof_record), 0, resolve_member};
  const char* caller = "check_batch()";
  VELUM_ASSIGN_OR_RETURN(read.source, ReadSlotOffset(read.message_record, PyTuple_GET_ITEM(layout, 1), caller));
  VELUM_ASSIGN_OR_RETURN(read.views, ReadSlotOffset(read.message_record, PyTuple_GET_ITEM(layout, 2), caller));
  VELUM_ASSIGN_OR_RETURN(read.oneofs, ReadSlotOffset(read.message_record, PyTuple_GET_ITEM(layout, 3), caller));
  VELUM_ASSIGN_OR_RETURN(read.oneof_name, ReadSlotOffset(read.oneof_record, PyTuple_GET_ITEM(layout, 5), caller));
  return read;
}

}  // namespace

Result<Ref> Check(const FieldResolver& r, PyObject* protos, PyObject* messages, PyObject* enums) {
  if (!PyDict_Check(messages) || !PyDict_Check(enums)) {
    return Status(ErrorKind::kType, "types cannot be converted to dict");
  }
  return CheckIn(r, protos, TypeScope{messages, enums});
}

Result<PyObject*> RecordTarget(const FieldResolver& r, PyObject* proto, PyObject* const types[4]) {
  if (!PyObject_TypeCheck(proto, reinterpret_cast<PyTypeObject*>(r.proto_class.get()))) return Py_None;
  return TargetOfRecord(r, proto, TypeScope{types[0], types[1], types[2], types[3]});
}

Status CheckBatch(const FieldResolver& r, PyObject* const* args) {
  PyObject* work = args[0];
  PyObject* types = args[1];
  PyObject* makers_tuple = args[3];
  if (!PyList_Check(work)) return TypeCheckError(work, "list");
  if (!PyTuple_Check(types) || PyTuple_GET_SIZE(types) != 5 || !PyTuple_Check(makers_tuple) ||
      PyTuple_GET_SIZE(makers_tuple) != 3) {
    return LayoutError();
  }
  for (Py_ssize_t i = 0; i < 5; ++i) {
    if (!PyDict_Check(PyTuple_GET_ITEM(types, i))) return Status(ErrorKind::kType, "types cannot be converted to dict");
  }
  TypeScope scope{PyTuple_GET_ITEM(types, 0), PyTuple_GET_ITEM(types, 1), PyTuple_GET_ITEM(types, 2),
                  PyTuple_GET_ITEM(types, 3)};
  PyObject* message_protos = PyTuple_GET_ITEM(types, 4);
  VELUM_ASSIGN_OR_RETURN(BatchLayout layout, ReadLayout(args[2]));
  BatchMakers makers{PyTuple_GET_ITEM(makers_tuple, 0), PyTuple_GET_ITEM(makers_tuple, 1),
                     PyTuple_GET_ITEM(makers_tuple, 2)};
  if (PyList_GET_SIZE(work) % 3 != 0) return Status(ErrorKind::kValue, "check_batch() takes work in threes");
  for (Py_ssize_t i = 0; i + 2 < PyList_GET_SIZE(work); i += 3) {
    PyObject* desc = PyList_GET_ITEM(work, i);
    PyObject* proto = PyList_GET_ITEM(work, i + 1);
    PyObject* features = PyList_GET_ITEM(work, i + 2);
    VELUM_ASSIGN_OR_RETURN(Ref targets, NativeTargets(r, layout, makers, proto, scope, message_protos));
    if (!targets) {
      // The runtime's own check: it raises what the message has wrong, with where.
      VELUM_ASSIGN_OR_RETURN(targets, Call(makers.fallback, {desc, proto}));
    }
    VELUM_ASSIGN_OR_RETURN(Ref bound, NewPendingFields(makers.resolve_message, proto, features, targets.get(),
                                                       !AllScalar(r, targets.get())));
    if (Py_TYPE(layout.resolve_member)->tp_descr_set(layout.resolve_member, desc, bound.get()) < 0) {
      return Status::Pending();
    }
  }
  return Status::Ok();
}

}  // namespace velum::field_resolver
