#include "descriptor/field_resolve.h"

#include <initializer_list>
#include <new>
#include <tuple>
#include <utility>

#include "common/native_box.h"
#include "common/py_error.h"
#include "common/raw_alloc.h"
#include "descriptor/default_parse.h"
#include "descriptor/field_names.h"
#include "descriptor/slot_constructor.h"

namespace velum {

namespace {

// The entries of the configuration tuple.
enum ConfigEntry {
  kConfigProtoClass,      // the class of the decoded field records
  kConfigProtoSlots,      // its member descriptors, in ProtoSlot order
  kConfigOptions,         // the class of decoded field options, its members packed and features
  kConfigValueSlots,      // DescEnum.values, DescEnumValue.local_name, DescEnumValue.name,
                          // DescMessage.is_map_entry
  kConfigMakers,          // slot fillers, in Maker order
  kConfigScalarTypes,     // ScalarType members by number (None in the gaps)
  kConfigScalarValues,    // the shared scalar value descriptor by number
  kConfigScalarLists,     // the shared list value descriptor by number * 2 + packed
  kConfigZeros,           // the zero value by number
  kConfigPresences,       // Presence members EXPLICIT, IMPLICIT, LEGACY_REQUIRED
  kConfigClasses,         // DescEnum, DescMessage, DescFieldValueMap, DescEnumValue
  kConfigKeywords,        // frozenset of Python keywords
  kConfigReserved,        // frozenset of names every message class takes
  kConfigJsonName,        // the runtime's JSON name rule, for names that are not ASCII
  kConfigCount,
};

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
};

struct ResolverObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  FieldResolver resolver;
};

FieldResolver* AsResolver(PyObject* self) { return &reinterpret_cast<ResolverObject*>(self)->resolver; }

PyTypeObject* g_type = nullptr;

PyObject* SlotAt(PyObject* obj, Py_ssize_t offset) {
  return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
}

Result<PyObject*> ReadSlot(PyObject* obj, Py_ssize_t offset) {
  PyObject* value = SlotAt(obj, offset);
  if (value == nullptr) return Status(ErrorKind::kAttribute, "uninitialized slot");
  return value;
}

// A label or type number; one beyond `long` (no valid record has one) reads as -1,
// which matches no label or type, as its value would not.
Result<long> ReadInt(PyObject* obj, Py_ssize_t offset) {
  VELUM_ASSIGN_OR_RETURN(PyObject * value, ReadSlot(obj, offset));
  if (!PyLong_Check(value)) return TypeCheckError(value, "int");
  int overflow = 0;
  long number = PyLong_AsLongAndOverflow(value, &overflow);
  if (number == -1 && PyErr_Occurred()) return Status::Pending();
  return overflow != 0 ? -1 : number;
}

// What one message's fields share while they are resolved.
struct MessageScope {
  PyObject* desc;
  PyObject* prefix;
  PyObject* fallback;
  bool native;  // false: every field goes to the fallback
  long field_presence;
  long message_encoding;
  long repeated_encoding;
  PyObject* custom_oneofs;       // None or a container of oneof indexes
  RawVector<PyObject*> oneofs;   // by declaration index (borrowed from `oneof_list`), null when synthetic
  RawVector<PyObject*> members;  // the `fields` list of each of them
};

// A field made here or by the fallback, with what its message records of it.
struct Made {
  Ref field;
  Ref default_value;
};

Result<Ref> Call(PyObject* fn, std::initializer_list<PyObject*> args) {
  Ref made = Ref::steal(PyObject_Vectorcall(fn, const_cast<PyObject**>(args.begin()), args.size(), nullptr));
  if (!made) return Status::Pending();
  return made;
}

Result<Made> CallFallback(const MessageScope& scope, Py_ssize_t index, PyObject* local, PyObject* oneof) {
  Ref number = Ref::steal(PyLong_FromSsize_t(index));
  if (!number) return Status::Pending();
  VELUM_ASSIGN_OR_RETURN(Ref pair, Call(scope.fallback, {number.get(), local, oneof}));
  if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
    return Status(ErrorKind::kType, "field fallback must return a (field, default) pair");
  }
  return Made{Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0)), Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1))};
}

// Whether a record's default_value is given and not empty.
bool HasDefault(PyObject* text) {
  return text != Py_None && (!PyUnicode_Check(text) || PyUnicode_GET_LENGTH(text) != 0);
}

// (presence, tracked) of a singular field, as the field_presence feature decides.
std::pair<PyObject*, bool> PresenceOf(const FieldResolver& r, long field_presence, bool may_be_implicit,
                                      bool tracked) {
  long presence = 1;
  if (field_presence == kPresenceLegacyRequired) {
    presence = kPresenceLegacyRequired;
  } else if (field_presence == kPresenceImplicit && may_be_implicit) {
    presence = kPresenceImplicit;
  }
  return {r.presence[presence - 1].get(), tracked && presence != kPresenceImplicit};
}

// The scalar type number of `target`, or 0 when it is not a ScalarType member.
long ScalarNumber(const FieldResolver& r, PyObject* target) {
  if (!PyLong_Check(target)) return 0;
  long number = PyLong_AsLong(target);
  if (number < 1 || number > kMaxScalar) {
    PyErr_Clear();
    return 0;
  }
  return PyTuple_GET_ITEM(r.scalar_types.get(), number) == target ? number : 0;
}

// The repeated_field_encoding of a field whose message's is `encoding`, as its
// options leave it (the legacy `packed` option); -1 when the options set features
// of their own, which the runtime merges itself.
Result<long> RepeatedEncoding(const FieldResolver& r, PyObject* options, long encoding) {
  if (options == Py_None) return encoding;
  if (Py_TYPE(options) != reinterpret_cast<PyTypeObject*>(r.options_class.get())) return -1;
  VELUM_ASSIGN_OR_RETURN(PyObject * features, ReadSlot(options, r.option_slot[kFeatures]));
  if (features != Py_None) return -1;
  VELUM_ASSIGN_OR_RETURN(PyObject * packed, ReadSlot(options, r.option_slot[kPacked]));
  if (packed == Py_None) return encoding;
  if (packed == Py_True) return kRepeatedPacked;
  return packed == Py_False ? kRepeatedExpanded : -1;
}

// The value of enum `desc` named `name` (the first value when `name` is null), or
// null when there is none.
Result<PyObject*> EnumValueNamed(const FieldResolver& r, PyObject* desc, PyObject* name) {
  VELUM_ASSIGN_OR_RETURN(PyObject * values, ReadSlot(desc, r.value_slot[kEnumValues]));
  if (!PyList_Check(values)) return nullptr;
  auto* value_class = reinterpret_cast<PyTypeObject*>(r.classes[kEnumValueClass].get());
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values); ++i) {
    PyObject* value = PyList_GET_ITEM(values, i);
    if (!PyObject_TypeCheck(value, value_class)) return nullptr;
    if (name == nullptr) return value;
    VELUM_ASSIGN_OR_RETURN(PyObject * value_name, ReadSlot(value, r.value_slot[kEnumValueName]));
    int equal = PyObject_RichCompareBool(value_name, name, Py_EQ);
    if (equal < 0) return Status::Pending();
    if (equal != 0) return value;
  }
  return nullptr;
}

// The field built here, or an empty field when it needs the fallback.
Result<Made> BuildField(const FieldResolver& r, const MessageScope& scope, PyObject* proto, PyObject* target,
                        PyObject* local, PyObject* oneof) {
  if (!scope.native) return Made{};
  VELUM_ASSIGN_OR_RETURN(PyObject * options, ReadSlot(proto, r.proto_slot[kOptions]));
  VELUM_ASSIGN_OR_RETURN(long repeated_encoding, RepeatedEncoding(r, options, scope.repeated_encoding));
  if (repeated_encoding < 0) return Made{};
  VELUM_ASSIGN_OR_RETURN(long label, ReadInt(proto, r.proto_slot[kLabel]));
  VELUM_ASSIGN_OR_RETURN(long type, ReadInt(proto, r.proto_slot[kType]));
  VELUM_ASSIGN_OR_RETURN(PyObject * default_text, ReadSlot(proto, r.proto_slot[kDefault]));
  bool has_default = HasDefault(default_text);
  long scalar = ScalarNumber(r, target);
  PyTypeObject* target_type = Py_TYPE(target);
  bool is_enum = target_type == reinterpret_cast<PyTypeObject*>(r.classes[kEnumClass].get());
  bool is_message = target_type == reinterpret_cast<PyTypeObject*>(r.classes[kMessageClass].get());
  bool is_map = target_type == reinterpret_cast<PyTypeObject*>(r.classes[kMapClass].get());
  PyObject* none_oneof = oneof == nullptr ? Py_None : oneof;
  Made made;
  Ref value;
  PyObject* presence = r.presence[kPresenceImplicit - 1].get();
  bool tracked = false;
  if (label == kLabelRepeated) {
    if (is_map) {
      value = Ref::borrow(target);
      made.default_value = Ref::steal(PyDict_New());
    } else if (is_message || is_enum) {
      bool packed = is_enum && repeated_encoding == kRepeatedPacked;
      bool delimited = is_message && (type == kTypeGroup || scope.message_encoding == kMessageDelimited);
      VELUM_ASSIGN_OR_RETURN(value, Call(r.makers[kNewList].get(), {target, packed ? Py_True : Py_False,
                                                                     delimited ? Py_True : Py_False}));
    } else if (scalar != 0) {
      bool packed = scalar != kTypeString && scalar != kTypeBytes && repeated_encoding == kRepeatedPacked;
      value = Ref::borrow(PyTuple_GET_ITEM(r.scalar_lists.get(), scalar * 2 + (packed ? 1 : 0)));
    } else {
      return Made{};
    }
    if (!made.default_value) made.default_value = Ref::steal(PyList_New(0));
    if (!made.default_value) return Status::Pending();
  } else {
    long field_presence = label == kLabelRequired ? kPresenceLegacyRequired : scope.field_presence;
    VELUM_ASSIGN_OR_RETURN(PyObject * optional, ReadSlot(proto, r.proto_slot[kProto3Optional]));
    bool may_be_implicit = oneof == nullptr && optional != Py_True;
    if (scalar != 0) {
      if (has_default) {
        VELUM_ASSIGN_OR_RETURN(made.default_value, ParseScalarDefault(scalar, default_text));
        if (!made.default_value) return Made{};  // the runtime reports it
      } else {
        made.default_value = Ref::borrow(PyTuple_GET_ITEM(r.zeros.get(), scalar));
      }
      if (oneof == nullptr) {
        value = Ref::borrow(PyTuple_GET_ITEM(r.scalar_values.get(), scalar));  // shared outside oneofs
      } else {
        VELUM_ASSIGN_OR_RETURN(value, Call(r.makers[kNewScalar].get(), {target, oneof}));
      }
      std::tie(presence, tracked) = PresenceOf(r, field_presence, may_be_implicit, oneof == nullptr);
    } else if (is_enum) {
      VELUM_ASSIGN_OR_RETURN(PyObject * named, EnumValueNamed(r, target, has_default ? default_text : nullptr));
      if (named == nullptr) return Made{};  // the runtime reports an unknown name
      VELUM_ASSIGN_OR_RETURN(PyObject * named_local, ReadSlot(named, r.value_slot[kEnumValueLocal]));
      Ref default_name = Ref::borrow(named_local);  // the list is not ours: hold what is read from it
      VELUM_ASSIGN_OR_RETURN(value, Call(r.makers[kNewEnum].get(), {target, none_oneof}));
      VELUM_ASSIGN_OR_RETURN(made.default_value,
                             Call(r.makers[kNewEnumDefault].get(), {target, default_name.get()}));
      std::tie(presence, tracked) = PresenceOf(r, field_presence, may_be_implicit, oneof == nullptr);
    } else if (is_message) {
      VELUM_ASSIGN_OR_RETURN(PyObject * map_entry, ReadSlot(target, r.value_slot[kIsMapEntry]));
      bool delimited = type == kTypeGroup || (scope.message_encoding == kMessageDelimited && map_entry != Py_True);
      VELUM_ASSIGN_OR_RETURN(value, Call(r.makers[kNewMessage].get(),
                                         {target, delimited ? Py_True : Py_False, none_oneof}));
      made.default_value = Ref::borrow(Py_None);
      std::tie(presence, tracked) = PresenceOf(r, field_presence, false, false);
    } else {
      return Made{};
    }
  }
  VELUM_ASSIGN_OR_RETURN(PyObject * name, ReadSlot(proto, r.proto_slot[kName]));
  VELUM_ASSIGN_OR_RETURN(PyObject * json, ReadSlot(proto, r.proto_slot[kJsonName]));
  Ref json_name;
  if (json != Py_None) {
    json_name = Ref::borrow(json);
  } else {
    VELUM_ASSIGN_OR_RETURN(json_name, JsonName(name, r.json_name.get()));
  }
  Ref full_name = Ref::steal(PyUnicode_Concat(scope.prefix, name));
  if (!full_name) return Status::Pending();
  VELUM_ASSIGN_OR_RETURN(PyObject * number, ReadSlot(proto, r.proto_slot[kNumber]));
  VELUM_ASSIGN_OR_RETURN(made.field, Call(r.makers[kNewField].get(),
                                          {number, name, local, json_name.get(), full_name.get(), presence,
                                           tracked ? Py_True : Py_False, value.get(), made.default_value.get(),
                                           scope.desc, none_oneof}));
  return made;
}

// The oneofs of a message, made before its fields so that members can name them.
struct Oneofs {
  Ref list, by_local_name, by_name;
};

Result<Oneofs> MakeOneofs(const FieldResolver& r, MessageScope& scope, PyObject* oneof_names, PyObject* local_names,
                          Py_ssize_t first_local) {
  Oneofs made{Ref::steal(PyList_New(0)), Ref::steal(PyDict_New()), Ref::steal(PyDict_New())};
  if (!made.list || !made.by_local_name || !made.by_name) return Status::Pending();
  if (oneof_names == Py_None) return made;
  Py_ssize_t count = PyList_GET_SIZE(oneof_names);
  scope.oneofs.assign(static_cast<size_t>(count), nullptr);
  scope.members.assign(static_cast<size_t>(count), nullptr);
  Py_ssize_t next = first_local;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* name = PyList_GET_ITEM(oneof_names, i);
    if (name == Py_None) continue;  // synthetic: its field is an ordinary one
    PyObject* local = PyList_GET_ITEM(local_names, next++);
    Ref members = Ref::steal(PyList_New(0));
    if (!members) return Status::Pending();
    VELUM_ASSIGN_OR_RETURN(Ref oneof, Call(r.makers[kNewOneof].get(), {name, local, scope.desc, members.get()}));
    if (PyList_Append(made.list.get(), oneof.get()) < 0 ||
        PyDict_SetItem(made.by_local_name.get(), local, oneof.get()) < 0 ||
        PyDict_SetItem(made.by_name.get(), name, oneof.get()) < 0) {
      return Status::Pending();
    }
    // Both stay alive in `made.list` for the whole call.
    scope.oneofs[static_cast<size_t>(i)] = oneof.get();
    scope.members[static_cast<size_t>(i)] = members.get();
  }
  return made;
}

// The oneof index of a field when it names a real oneof of the message, else -1.
Result<Py_ssize_t> OneofOf(const FieldResolver& r, const MessageScope& scope, PyObject* proto) {
  VELUM_ASSIGN_OR_RETURN(PyObject * index, ReadSlot(proto, r.proto_slot[kOneofIndex]));
  if (index == Py_None || scope.oneofs.empty()) return Py_ssize_t{-1};
  if (!PyLong_Check(index)) return TypeCheckError(index, "int");
  Py_ssize_t at = PyLong_AsSsize_t(index);
  if (at == -1 && PyErr_Occurred()) {
    PyErr_Clear();  // out of every range: not a oneof of this message
    return Py_ssize_t{-1};
  }
  if (at < 0 || static_cast<size_t>(at) >= scope.oneofs.size() || scope.oneofs[static_cast<size_t>(at)] == nullptr) {
    return Py_ssize_t{-1};
  }
  return at;
}

Result<bool> HasOwnFeatures(const MessageScope& scope, Py_ssize_t oneof_index) {
  if (scope.custom_oneofs == Py_None) return false;
  Ref key = Ref::steal(PyLong_FromSsize_t(oneof_index));
  if (!key) return Status::Pending();
  int found = PySequence_Contains(scope.custom_oneofs, key.get());
  if (found < 0) return Status::Pending();
  return found != 0;
}

Result<Ref> Pair(PyObject* first, PyObject* second) {
  Ref pair = Ref::steal(PyTuple_Pack(2, first, second));
  if (!pair) return Status::Pending();
  return pair;
}

Result<Ref> Resolve(const FieldResolver& r, PyObject* const* argv) {
  PyObject* protos = argv[1];
  PyObject* targets = argv[2];
  PyObject* features = argv[4];
  PyObject* extra = argv[5];
  PyObject* oneof_names = argv[6];
  if (!PyList_Check(protos) || !PyList_Check(targets)) {
    return Status(ErrorKind::kType, "fields cannot be converted to list");
  }
  if (!PyUnicode_Check(argv[3])) return TypeCheckError(argv[3], "str");
  if (oneof_names != Py_None && !PyList_Check(oneof_names)) return TypeCheckError(oneof_names, "list");
  MessageScope scope{argv[0], argv[3], argv[8], features != Py_None, 0, 0, 0, argv[7], {}, {}};
  if (scope.native) {
    if (!PyTuple_Check(features) || PyTuple_GET_SIZE(features) != 3) return TypeCheckError(features, "tuple");
    long* into[] = {&scope.field_presence, &scope.message_encoding, &scope.repeated_encoding};
    for (Py_ssize_t i = 0; i < 3; ++i) {
      *into[i] = PyLong_AsLong(PyTuple_GET_ITEM(features, i));
      if (*into[i] == -1 && PyErr_Occurred()) return Status::Pending();
    }
  }
  auto* proto_class = reinterpret_cast<PyTypeObject*>(r.proto_class.get());
  Ref names = Ref::steal(PyList_New(0));
  if (!names) return Status::Pending();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(protos); ++i) {
    PyObject* proto = PyList_GET_ITEM(protos, i);
    if (!PyObject_TypeCheck(proto, proto_class)) return Status(ErrorKind::kValue, "invalid field descriptor");
    VELUM_ASSIGN_OR_RETURN(PyObject * name, ReadSlot(proto, r.proto_slot[kName]));
    if (PyList_Append(names.get(), name) < 0) return Status::Pending();
  }
  Py_ssize_t field_count = PyList_GET_SIZE(names.get());
  if (oneof_names != Py_None) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(oneof_names); ++i) {
      PyObject* name = PyList_GET_ITEM(oneof_names, i);
      if (name != Py_None && PyList_Append(names.get(), name) < 0) return Status::Pending();
    }
  }
  VELUM_ASSIGN_OR_RETURN(Ref local_names, AssignLocalNames(names.get(), r.keywords.get(), r.reserved.get(),
                                                            extra == Py_None ? nullptr : extra));
  VELUM_ASSIGN_OR_RETURN(Oneofs oneofs, MakeOneofs(r, scope, oneof_names, local_names.get(), field_count));
  Ref fields = Ref::steal(PyList_New(0));
  Ref by_name = Ref::steal(PyDict_New());
  Ref by_proto_name = Ref::steal(PyDict_New());
  Ref by_number = Ref::steal(PyDict_New());
  Ref defaults = Ref::steal(PyList_New(0));
  if (!fields || !by_name || !by_proto_name || !by_number || !defaults) return Status::Pending();
  for (Py_ssize_t i = 0; i < field_count && i < PyList_GET_SIZE(protos) && i < PyList_GET_SIZE(targets); ++i) {
    Ref proto = Ref::borrow(PyList_GET_ITEM(protos, i));
    Ref target = Ref::borrow(PyList_GET_ITEM(targets, i));
    if (!PyObject_TypeCheck(proto.get(), proto_class)) return Status(ErrorKind::kValue, "invalid field descriptor");
    PyObject* local = PyList_GET_ITEM(local_names.get(), i);
    VELUM_ASSIGN_OR_RETURN(Py_ssize_t at, OneofOf(r, scope, proto.get()));
    PyObject* oneof = at < 0 ? nullptr : scope.oneofs[static_cast<size_t>(at)];
    bool own_features = false;
    if (oneof != nullptr) {
      VELUM_ASSIGN_OR_RETURN(own_features, HasOwnFeatures(scope, at));
    }
    Made made;
    if (!own_features) {
      VELUM_ASSIGN_OR_RETURN(made, BuildField(r, scope, proto.get(), target.get(), local, oneof));
    }
    if (!made.field) {
      VELUM_ASSIGN_OR_RETURN(made, CallFallback(scope, i, local, oneof == nullptr ? Py_None : oneof));
    }
    VELUM_ASSIGN_OR_RETURN(PyObject * name, ReadSlot(proto.get(), r.proto_slot[kName]));
    VELUM_ASSIGN_OR_RETURN(PyObject * number, ReadSlot(proto.get(), r.proto_slot[kNumber]));
    if (PyList_Append(fields.get(), made.field.get()) < 0 ||
        PyDict_SetItem(by_name.get(), local, made.field.get()) < 0 ||
        PyDict_SetItem(by_proto_name.get(), name, made.field.get()) < 0 ||
        PyDict_SetItem(by_number.get(), number, made.field.get()) < 0) {
      return Status::Pending();
    }
    if (oneof != nullptr) {
      if (PyList_Append(scope.members[static_cast<size_t>(at)], made.field.get()) < 0) return Status::Pending();
      continue;
    }
    VELUM_ASSIGN_OR_RETURN(Ref pair, Pair(local, made.default_value.get()));
    if (PyList_Append(defaults.get(), pair.get()) < 0) return Status::Pending();
  }
  for (Py_ssize_t i = field_count; i < PyList_GET_SIZE(local_names.get()); ++i) {
    VELUM_ASSIGN_OR_RETURN(Ref pair, Pair(PyList_GET_ITEM(local_names.get(), i), Py_None));
    if (PyList_Append(defaults.get(), pair.get()) < 0) return Status::Pending();
  }
  Ref result = Ref::steal(PyTuple_Pack(8, fields.get(), oneofs.list.get(), by_name.get(), by_proto_name.get(),
                                       by_number.get(), oneofs.by_local_name.get(), oneofs.by_name.get(),
                                       defaults.get()));
  if (!result) return Status::Pending();
  return result;
}

// Whether the field records of a message can be resolved as they are, for loading
// (see Checked in the header).
// The type a message or enum field names when it is declared in `messages` or
// `enums` (the batch being loaded) with the right kind, else None: found elsewhere
// or not at all, the runtime looks it up itself. A repeated field naming a map
// entry is left to the runtime too, which checks the entry.
Result<PyObject*> NamedTarget(const FieldResolver& r, PyObject* proto, long type, long label, PyObject* messages,
                              PyObject* enums) {
  VELUM_ASSIGN_OR_RETURN(PyObject * type_name, ReadSlot(proto, r.proto_slot[kTypeName]));
  if (!PyUnicode_Check(type_name)) return Py_None;
  Py_ssize_t length = PyUnicode_GET_LENGTH(type_name);
  Py_ssize_t start = 0;
  while (start < length && PyUnicode_READ_CHAR(type_name, start) == '.') ++start;
  Ref name = Ref::steal(PyUnicode_Substring(type_name, start, length));
  if (!name) return Status::Pending();
  PyObject* found = PyDict_GetItemWithError(type == kTypeEnum ? enums : messages, name.get());
  if (found == nullptr) {
    if (PyErr_Occurred()) return Status::Pending();
    return Py_None;
  }
  PyObject* expected = r.classes[type == kTypeEnum ? kEnumClass : kMessageClass].get();
  if (Py_TYPE(found) != reinterpret_cast<PyTypeObject*>(expected)) return Py_None;
  if (type != kTypeEnum && label == kLabelRepeated) {
    VELUM_ASSIGN_OR_RETURN(PyObject * map_entry, ReadSlot(found, r.value_slot[kIsMapEntry]));
    if (map_entry != Py_False) return Py_None;
  }
  return found;
}

Result<Ref> Check(const FieldResolver& r, PyObject* protos, PyObject* messages, PyObject* enums) {
  if (!PyList_Check(protos)) return TypeCheckError(protos, "list");
  if (!PyDict_Check(messages) || !PyDict_Check(enums)) {
    return Status(ErrorKind::kType, "types cannot be converted to dict");
  }
  auto* proto_class = reinterpret_cast<PyTypeObject*>(r.proto_class.get());
  Py_ssize_t count = PyList_GET_SIZE(protos);
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* proto = PyList_GET_ITEM(protos, i);
    if (!PyObject_TypeCheck(proto, proto_class)) return Status(ErrorKind::kValue, "invalid field descriptor");
    VELUM_ASSIGN_OR_RETURN(PyObject * name, ReadSlot(proto, r.proto_slot[kName]));
    // The runtime reports a bad name with where it is.
    if (!PyUnicode_Check(name) || !IsIdentifier(name)) return Ref::borrow(Py_None);
  }
  Ref targets = Ref::steal(PyList_New(count));
  Ref pending = Ref::steal(PyList_New(0));
  if (!targets || !pending) return Status::Pending();
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* proto = PyList_GET_ITEM(protos, i);
    // A decoded record is a leaf of a freshly decoded tree: nothing it reaches refers
    // back to it, so it can never be part of a cycle. Untracked, the collector stops
    // scanning the thousands of them a loaded schema keeps until its fields are resolved.
    if (PyObject_GC_IsTracked(proto)) PyObject_GC_UnTrack(proto);
    VELUM_ASSIGN_OR_RETURN(long type, ReadInt(proto, r.proto_slot[kType]));
    VELUM_ASSIGN_OR_RETURN(PyObject * default_text, ReadSlot(proto, r.proto_slot[kDefault]));
    PyObject* scalar = type >= 1 && type <= kMaxScalar ? PyTuple_GET_ITEM(r.scalar_types.get(), type) : Py_None;
    // Only a singular field's default is read; a bad one is left to the runtime, which reports it.
    bool has_default = HasDefault(default_text);
    if (scalar != Py_None && (!has_default || type == kTypeString)) {
      PyList_SET_ITEM(targets.get(), i, Py_NewRef(scalar));
      continue;
    }
    VELUM_ASSIGN_OR_RETURN(long label, ReadInt(proto, r.proto_slot[kLabel]));
    bool reads_default = has_default && label != kLabelRepeated;
    PyObject* target = Py_None;
    if (scalar != Py_None) {
      bool valid = true;
      if (reads_default) {
        VELUM_ASSIGN_OR_RETURN(Ref parsed, ParseScalarDefault(type, default_text));
        valid = static_cast<bool>(parsed);
      }
      if (valid) target = scalar;
    } else if (type == kTypeMessage || type == kTypeGroup || type == kTypeEnum) {
      VELUM_ASSIGN_OR_RETURN(target, NamedTarget(r, proto, type, label, messages, enums));
      if (target != Py_None && type == kTypeEnum && reads_default) {
        VELUM_ASSIGN_OR_RETURN(PyObject * named, EnumValueNamed(r, target, default_text));
        if (named == nullptr) target = Py_None;
      }
    }
    PyList_SET_ITEM(targets.get(), i, Py_NewRef(target));
    if (target != Py_None) continue;
    Ref index = Ref::steal(PyLong_FromSsize_t(i));
    if (!index || PyList_Append(pending.get(), index.get()) < 0) return Status::Pending();
  }
  return Pair(targets.get(), pending.get());
}

// The entry in `types` a type_name names (leading dots dropped), borrowed; null
// when there is none.
Result<PyObject*> TypeNamed(PyObject* type_name, PyObject* types) {
  if (!PyUnicode_Check(type_name)) return nullptr;
  Py_ssize_t length = PyUnicode_GET_LENGTH(type_name);
  Py_ssize_t start = 0;
  while (start < length && PyUnicode_READ_CHAR(type_name, start) == '.') ++start;
  Ref name = Ref::steal(PyUnicode_Substring(type_name, start, length));
  if (!name) return Status::Pending();
  PyObject* found = PyDict_GetItemWithError(types, name.get());
  if (found == nullptr && PyErr_Occurred()) return Status::Pending();
  return found;
}

// What checking a batch reads of message records and sets on message descriptors.
struct BatchLayout {
  PyTypeObject* message_record;
  Py_ssize_t fields;
  Py_ssize_t oneofs;
  PyTypeObject* oneof_record;
  Py_ssize_t oneof_name;
  PyObject* resolve_member;  // DescMessage._resolve
};

// The value descriptor of a map field whose entry and its key and value types are
// declared in the batch; null (with no error) for anything else, which the
// runtime checks itself.
Result<Ref> NativeMapValue(const FieldResolver& r, const BatchLayout& layout, PyObject* proto, PyObject* messages,
                           PyObject* enums, PyObject* message_protos) {
  VELUM_ASSIGN_OR_RETURN(long label, ReadInt(proto, r.proto_slot[kLabel]));
  VELUM_ASSIGN_OR_RETURN(long type, ReadInt(proto, r.proto_slot[kType]));
  if (label != kLabelRepeated || type != kTypeMessage) return Ref();
  VELUM_ASSIGN_OR_RETURN(PyObject * type_name, ReadSlot(proto, r.proto_slot[kTypeName]));
  VELUM_ASSIGN_OR_RETURN(PyObject * entry, TypeNamed(type_name, messages));
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
  PyObject* entry_fields = SlotAt(entry_proto, layout.fields);
  if (entry_fields == nullptr || !PyList_Check(entry_fields) || PyList_GET_SIZE(entry_fields) != 2) return Ref();
  PyObject* by_number[2] = {};
  auto* proto_class = reinterpret_cast<PyTypeObject*>(r.proto_class.get());
  for (Py_ssize_t i = 0; i < 2; ++i) {
    PyObject* field = PyList_GET_ITEM(entry_fields, i);
    if (Py_TYPE(field) != proto_class) return Ref();
    VELUM_ASSIGN_OR_RETURN(long number, ReadInt(field, r.proto_slot[kNumber]));
    if (number != 1 && number != 2) return Ref();
    by_number[number - 1] = field;
  }
  if (by_number[0] == nullptr || by_number[1] == nullptr) return Ref();
  PyObject* scalars = r.scalar_types.get();
  VELUM_ASSIGN_OR_RETURN(long key_type, ReadInt(by_number[0], r.proto_slot[kType]));
  PyObject* key = key_type >= 1 && key_type <= kMaxScalar ? PyTuple_GET_ITEM(scalars, key_type) : Py_None;
  if (key == Py_None) return Ref();
  VELUM_ASSIGN_OR_RETURN(long value_type, ReadInt(by_number[1], r.proto_slot[kType]));
  PyObject* value = value_type >= 1 && value_type <= kMaxScalar ? PyTuple_GET_ITEM(scalars, value_type) : Py_None;
  if (value == Py_None) {
    bool is_enum = value_type == kTypeEnum;
    if (!is_enum && value_type != kTypeMessage && value_type != kTypeGroup) return Ref();
    VELUM_ASSIGN_OR_RETURN(PyObject * value_name, ReadSlot(by_number[1], r.proto_slot[kTypeName]));
    VELUM_ASSIGN_OR_RETURN(value, TypeNamed(value_name, is_enum ? enums : messages));
    PyObject* expected = r.classes[is_enum ? kEnumClass : kMessageClass].get();
    if (value == nullptr || Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(expected)) return Ref();
  }
  return Call(r.classes[kMapClass].get(), {key, value});
}

// The targets of one message's fields when everything about them can be settled
// here; null (with no error) when the runtime has to check the message itself.
Result<Ref> NativeTargets(const FieldResolver& r, const BatchLayout& layout, PyObject* proto, PyObject* messages,
                          PyObject* enums, PyObject* message_protos) {
  if (Py_TYPE(proto) != layout.message_record) return Ref();
  PyObject* fields = SlotAt(proto, layout.fields);
  PyObject* oneofs = SlotAt(proto, layout.oneofs);
  if (fields == nullptr || oneofs == nullptr || !PyList_Check(fields) || !PyList_Check(oneofs)) return Ref();
  // Any oneof name that is not an identifier goes to the runtime, which knows which
  // oneofs are synthetic and reports the real ones.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(oneofs); ++i) {
    PyObject* oneof = PyList_GET_ITEM(oneofs, i);
    if (Py_TYPE(oneof) != layout.oneof_record) return Ref();
    PyObject* name = SlotAt(oneof, layout.oneof_name);
    if (name == nullptr || !PyUnicode_Check(name) || !IsIdentifier(name)) return Ref();
  }
  VELUM_ASSIGN_OR_RETURN(Ref checked, Check(r, fields, messages, enums));
  if (checked.get() == Py_None) return Ref();
  PyObject* targets = PyTuple_GET_ITEM(checked.get(), 0);
  PyObject* pending = PyTuple_GET_ITEM(checked.get(), 1);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pending); ++i) {
    Py_ssize_t index = PyLong_AsSsize_t(PyList_GET_ITEM(pending, i));
    if (index == -1 && PyErr_Occurred()) return Status::Pending();
    VELUM_ASSIGN_OR_RETURN(
        Ref map_value, NativeMapValue(r, layout, PyList_GET_ITEM(fields, index), messages, enums, message_protos));
    if (!map_value) return Ref();
    PyList_SetItem(targets, index, map_value.release());
  }
  return Ref::borrow(targets);
}

Status CheckBatch(const FieldResolver& r, PyObject* const* args) {
  PyObject* work = args[0];
  PyObject* messages = args[1];
  PyObject* enums = args[2];
  PyObject* message_protos = args[3];
  PyObject* layout_tuple = args[4];
  PyObject* resolve = args[5];
  PyObject* fallback = args[6];
  if (!PyList_Check(work)) return TypeCheckError(work, "list");
  if (!PyDict_Check(messages) || !PyDict_Check(enums) || !PyDict_Check(message_protos)) {
    return Status(ErrorKind::kType, "types cannot be converted to dict");
  }
  if (!PyTuple_Check(layout_tuple) || PyTuple_GET_SIZE(layout_tuple) != 6 || !PyTuple_Check(resolve) ||
      PyTuple_GET_SIZE(resolve) != 2) {
    return Status(ErrorKind::kType, "check_batch() takes the runtime's layout and resolve tuples");
  }
  PyObject* message_record = PyTuple_GET_ITEM(layout_tuple, 0);
  PyObject* oneof_record = PyTuple_GET_ITEM(layout_tuple, 3);
  PyObject* resolve_member = PyTuple_GET_ITEM(layout_tuple, 5);
  if (!PyType_Check(message_record) || !PyType_Check(oneof_record) || Py_TYPE(resolve_member)->tp_descr_set == nullptr) {
    return Status(ErrorKind::kType, "check_batch() takes the runtime's layout tuple");
  }
  BatchLayout layout{reinterpret_cast<PyTypeObject*>(message_record), 0, 0,
                     reinterpret_cast<PyTypeObject*>(oneof_record), 0, resolve_member};
  VELUM_ASSIGN_OR_RETURN(layout.fields,
                         ObjectSlotOffset(layout.message_record, PyTuple_GET_ITEM(layout_tuple, 1), "check_batch()"));
  VELUM_ASSIGN_OR_RETURN(layout.oneofs,
                         ObjectSlotOffset(layout.message_record, PyTuple_GET_ITEM(layout_tuple, 2), "check_batch()"));
  VELUM_ASSIGN_OR_RETURN(layout.oneof_name,
                         ObjectSlotOffset(layout.oneof_record, PyTuple_GET_ITEM(layout_tuple, 4), "check_batch()"));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(work); ++i) {
    PyObject* item = PyList_GET_ITEM(work, i);
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 3) return TypeCheckError(item, "tuple");
    PyObject* desc = PyTuple_GET_ITEM(item, 0);
    PyObject* proto = PyTuple_GET_ITEM(item, 1);
    VELUM_ASSIGN_OR_RETURN(Ref targets, NativeTargets(r, layout, proto, messages, enums, message_protos));
    if (!targets) {
      // The runtime's own check: it raises what the message has wrong, with where.
      VELUM_ASSIGN_OR_RETURN(targets, Call(fallback, {desc, proto}));
    }
    VELUM_ASSIGN_OR_RETURN(Ref bound, Call(PyTuple_GET_ITEM(resolve, 0), {PyTuple_GET_ITEM(resolve, 1), proto,
                                                                          PyTuple_GET_ITEM(item, 2), targets.get()}));
    if (Py_TYPE(resolve_member)->tp_descr_set(resolve_member, desc, bound.get()) < 0) return Status::Pending();
  }
  return Status::Ok();
}

PyObject* CheckBatchMethod(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return Guard([&]() -> PyObject* {
    if (nargs != 7) {
      PyErr_Format(PyExc_TypeError, "check_batch() takes 7 positional arguments (%zd given)", nargs);
      return nullptr;
    }
    Status status = CheckBatch(*AsResolver(self), args);
    if (!status.ok()) return Raise(std::move(status));
    Py_RETURN_NONE;
  });
}

PyObject* CheckMethod(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return Guard([&]() -> PyObject* {
    if (nargs != 3) {
      PyErr_Format(PyExc_TypeError, "check() takes 3 positional arguments (%zd given)", nargs);
      return nullptr;
    }
    Result<Ref> made = Check(*AsResolver(self), args[0], args[1], args[2]);
    if (!made.ok()) return Raise(std::move(made).status());
    return std::move(made).value().release();
  });
}

PyObject* ParseDefaultMethod(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return Guard([&]() -> PyObject* {
    if (nargs != 2) {
      PyErr_Format(PyExc_TypeError, "parse_default() takes 2 positional arguments (%zd given)", nargs);
      return nullptr;
    }
    long type = PyLong_AsLong(args[0]);
    if (type == -1 && PyErr_Occurred()) return nullptr;
    if (!PyUnicode_Check(args[1])) return Raise(TypeCheckError(args[1], "str"));
    Result<Ref> made = ParseScalarDefault(type, args[1]);
    if (!made.ok()) return Raise(std::move(made).status());
    Ref value = std::move(made).value();
    return value ? value.release() : Py_NewRef(Py_None);
  });
}

PyMethodDef kMethods[] = {
    {"check", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(CheckMethod)), METH_FASTCALL,
     "check(fields, messages, enums)\n--\n\n(targets, pending) for a message's field records: the type of each\n"
     "field that needs nothing parsed and names nothing outside `messages` and `enums`, None at\n"
     "the indexes listed in pending; None when a field name is not an identifier."},
    {"check_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(CheckBatchMethod)), METH_FASTCALL,
     "check_batch(work, messages, enums, message_protos, layout, resolve, fallback)\n--\n\nChecks every\n"
     "(desc, proto, features) of `work` as check() and the map entries it names, asks\n"
     "`fallback(desc, proto)` for the targets of any message it cannot settle, and sets\n"
     "desc._resolve to resolve[0](resolve[1], proto, features, targets)."},
    {"parse_default", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ParseDefaultMethod)), METH_FASTCALL,
     "parse_default(type, text)\n--\n\nThe default value `text` gives a field of scalar type number `type`,\n"
     "None when it is not a valid one."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* CallResolver(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  return Guard([&]() -> PyObject* {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs != 9 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
      PyErr_Format(PyExc_TypeError, "FieldResolver() takes 9 positional arguments (%zd given)", nargs);
      return nullptr;
    }
    Result<Ref> made = Resolve(*AsResolver(self), args);
    if (!made.ok()) return Raise(std::move(made).status());
    return std::move(made).value().release();
  });
}

PyMemberDef kMembers[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(ResolverObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Resolves the fields of loaded messages.")},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, kMembers},
    {Py_tp_methods, kMethods},
    {Py_tp_dealloc, reinterpret_cast<void*>(BoxDealloc<FieldResolver, AsResolver>)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "_velum_ext.FieldResolver",
    static_cast<int>(sizeof(ResolverObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

Status ConfigError() { return Status(ErrorKind::kType, "_field_resolver() takes the runtime's configuration tuple"); }

// Item `i` of `config`, a tuple of `size` items (any size when negative).
Result<PyObject*> TupleEntry(PyObject* config, int i, Py_ssize_t size) {
  PyObject* item = PyTuple_GET_ITEM(config, i);
  if (!PyTuple_Check(item) || (size >= 0 && PyTuple_GET_SIZE(item) != size)) return ConfigError();
  return item;
}

Status Configure(FieldResolver& r, PyObject* config) {
  if (!PyTuple_Check(config) || PyTuple_GET_SIZE(config) != kConfigCount) return ConfigError();
  VELUM_ASSIGN_OR_RETURN(PyObject * classes, TupleEntry(config, kConfigClasses, kClasses));
  for (int i = 0; i < kClasses; ++i) {
    if (!PyType_Check(PyTuple_GET_ITEM(classes, i))) return ConfigError();
    r.classes[i] = Ref::borrow(PyTuple_GET_ITEM(classes, i));
  }
  PyObject* proto_class = PyTuple_GET_ITEM(config, kConfigProtoClass);
  if (!PyType_Check(proto_class)) return ConfigError();
  r.proto_class = Ref::borrow(proto_class);
  auto type_at = [&](PyObject* cls) { return reinterpret_cast<PyTypeObject*>(cls); };
  VELUM_ASSIGN_OR_RETURN(PyObject * proto_slots, TupleEntry(config, kConfigProtoSlots, kProtoSlots));
  for (int i = 0; i < kProtoSlots; ++i) {
    PyObject* member = PyTuple_GET_ITEM(proto_slots, i);
    VELUM_ASSIGN_OR_RETURN(r.proto_slot[i], ObjectSlotOffset(type_at(proto_class), member, "_field_resolver()"));
  }
  VELUM_ASSIGN_OR_RETURN(PyObject * options, TupleEntry(config, kConfigOptions, 1 + kOptionSlots));
  PyObject* options_class = PyTuple_GET_ITEM(options, 0);
  if (!PyType_Check(options_class)) return ConfigError();
  r.options_class = Ref::borrow(options_class);
  for (int i = 0; i < kOptionSlots; ++i) {
    PyObject* member = PyTuple_GET_ITEM(options, 1 + i);
    VELUM_ASSIGN_OR_RETURN(r.option_slot[i], ObjectSlotOffset(type_at(options_class), member, "_field_resolver()"));
  }
  VELUM_ASSIGN_OR_RETURN(PyObject * value_slots, TupleEntry(config, kConfigValueSlots, kValueSlots));
  PyObject* owners[kValueSlots] = {r.classes[kEnumClass].get(), r.classes[kEnumValueClass].get(),
                                   r.classes[kEnumValueClass].get(), r.classes[kMessageClass].get()};
  for (int i = 0; i < kValueSlots; ++i) {
    PyObject* member = PyTuple_GET_ITEM(value_slots, i);
    VELUM_ASSIGN_OR_RETURN(r.value_slot[i], ObjectSlotOffset(type_at(owners[i]), member, "_field_resolver()"));
  }
  VELUM_ASSIGN_OR_RETURN(PyObject * makers, TupleEntry(config, kConfigMakers, kMakers));
  for (int i = 0; i < kMakers; ++i) {
    if (!PyCallable_Check(PyTuple_GET_ITEM(makers, i))) return ConfigError();
    r.makers[i] = Ref::borrow(PyTuple_GET_ITEM(makers, i));
  }
  constexpr Py_ssize_t kByNumber = kMaxScalar + 1;
  Ref* tables[] = {&r.scalar_types, &r.scalar_values, &r.scalar_lists, &r.zeros};
  int entries[] = {kConfigScalarTypes, kConfigScalarValues, kConfigScalarLists, kConfigZeros};
  for (int i = 0; i < 4; ++i) {
    VELUM_ASSIGN_OR_RETURN(PyObject * table, TupleEntry(config, entries[i], entries[i] == kConfigScalarLists
                                                                                 ? 2 * kByNumber
                                                                                 : kByNumber));
    *tables[i] = Ref::borrow(table);
  }
  VELUM_ASSIGN_OR_RETURN(PyObject * presences, TupleEntry(config, kConfigPresences, 3));
  for (int i = 0; i < 3; ++i) r.presence[i] = Ref::borrow(PyTuple_GET_ITEM(presences, i));
  PyObject* keywords = PyTuple_GET_ITEM(config, kConfigKeywords);
  PyObject* reserved = PyTuple_GET_ITEM(config, kConfigReserved);
  PyObject* json_name = PyTuple_GET_ITEM(config, kConfigJsonName);
  if (!PyFrozenSet_Check(keywords) || !PyFrozenSet_Check(reserved) || !PyCallable_Check(json_name)) {
    return ConfigError();
  }
  r.keywords = Ref::borrow(keywords);
  r.reserved = Ref::borrow(reserved);
  r.json_name = Ref::borrow(json_name);
  return Status::Ok();
}

Result<Ref> NewResolver(PyObject* config) {
  VELUM_ASSIGN_OR_RETURN(PyTypeObject * type, ReadyType(g_type, kSpec));
  Ref obj = Ref::steal(type->tp_alloc(type, 0));
  if (!obj) return Status::Pending();
  auto* resolver = reinterpret_cast<ResolverObject*>(obj.get());
  resolver->vectorcall = CallResolver;
  new (&resolver->resolver) FieldResolver();
  VELUM_TRY(Configure(resolver->resolver, config));
  return obj;
}

}  // namespace

PyObject* FieldResolverFn(PyObject*, PyObject* const* argv, Py_ssize_t nargs) noexcept {
  return Guard([&]() -> PyObject* {
    if (nargs != 1) {
      PyErr_Format(PyExc_TypeError, "_field_resolver() takes 1 positional argument (%zd given)", nargs);
      return nullptr;
    }
    Result<Ref> made = NewResolver(argv[0]);
    if (!made.ok()) return Raise(std::move(made).status());
    return std::move(made).value().release();
  });
}

}  // namespace velum
