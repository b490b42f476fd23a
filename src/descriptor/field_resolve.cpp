#include "descriptor/field_resolve.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <new>
#include <tuple>
#include <utility>

#include "common/native_box.h"
#include "common/py_error.h"
#include "common/raw_alloc.h"
#include "common/utf8_str.h"
#include "descriptor/default_parse.h"
#include "descriptor/extension_batch.h"
#include "descriptor/field_check.h"
#include "descriptor/field_names.h"
#include "descriptor/field_resolver.h"
#include "descriptor/field_table.h"
#include "descriptor/field_view.h"
#include "descriptor/text_cache.h"
#include "descriptor/slot_constructor.h"

namespace velum {

namespace {

using namespace field_resolver;

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
  kConfigMessageRecord,   // the class of decoded message records, its members _source and
                          // _field_views, and its `fields` (see FieldInputs)
  kConfigCount,
};

struct ResolverObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  FieldResolver resolver;
};

FieldResolver* AsResolver(PyObject* self) { return &reinterpret_cast<ResolverObject*>(self)->resolver; }

PyTypeObject* g_type = nullptr;




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
  bool extension = false;        // an extension's field: never of implicit presence
};

// A field made here or by the fallback, with what its message records of it.
struct Made {
  Ref field;
  Ref default_value;
};


// What resolving reads of one field: its record's slots, or what its view
// (see field_view.h) says, made into the same objects.
struct FieldInput {
  Ref name, number, default_text, json, oneof_index;  // None when the record has none
  int32_t number_value = 0;  // a view's number (`number` is then null for a field table)
  PyObject* options = Py_None;                        // borrowed from the record
  int packed = -1;  // a view's legacy `packed` option, -1 when not given
  long label = 1;
  long type = 0;
  bool proto3_optional = false;
};

Result<FieldInput> InputOfRecord(const FieldResolver& r, PyObject* proto) {
  if (!PyObject_TypeCheck(proto, reinterpret_cast<PyTypeObject*>(r.proto_class.get()))) {
    return Status(ErrorKind::kValue, "invalid field descriptor");
  }
  FieldInput in;
  VELUM_ASSIGN_OR_RETURN(PyObject * name, ReadSlot(proto, r.proto_slot[kName]));
  VELUM_ASSIGN_OR_RETURN(PyObject * number, ReadSlot(proto, r.proto_slot[kNumber]));
  VELUM_ASSIGN_OR_RETURN(PyObject * default_text, ReadSlot(proto, r.proto_slot[kDefault]));
  VELUM_ASSIGN_OR_RETURN(PyObject * json, ReadSlot(proto, r.proto_slot[kJsonName]));
  VELUM_ASSIGN_OR_RETURN(PyObject * oneof_index, ReadSlot(proto, r.proto_slot[kOneofIndex]));
  VELUM_ASSIGN_OR_RETURN(PyObject * optional, ReadSlot(proto, r.proto_slot[kProto3Optional]));
  VELUM_ASSIGN_OR_RETURN(in.options, ReadSlot(proto, r.proto_slot[kOptions]));
  VELUM_ASSIGN_OR_RETURN(in.label, ReadInt(proto, r.proto_slot[kLabel]));
  VELUM_ASSIGN_OR_RETURN(in.type, ReadInt(proto, r.proto_slot[kType]));
  in.name = Ref::borrow(name);
  in.number = Ref::borrow(number);
  in.default_text = Ref::borrow(default_text);
  in.json = Ref::borrow(json);
  in.oneof_index = Ref::borrow(oneof_index);
  in.proto3_optional = optional == Py_True;
  return in;
}

// A text of the file's bytes (checked to be UTF-8 when the views were made),
// through `cache`: a file's fields repeat their names.
Result<Ref> SpanText(TextCache& cache, const uint8_t* source, TextSpan span) {
  const uint8_t* data = source + span.offset;
  const size_t size = span.present() ? span.size : 0;
  const size_t index = cache.Index(data, size);
  if (PyObject* found = cache.Find(index, data, size)) return Ref::borrow(found);
  Ref text = Ref::steal(NewStrFromUtf8(data, size));
  if (!text) return Status::Pending();
  cache.Keep(index, data, size, text.get());
  return text;
}

// For a field table (`for_table`) the number is kept as a value only, and a
// JSON name that is the one derived from the name is left null (not made): a
// class made from the table makes it again when its JSON tables are built,
// which most loaded classes never need.
Result<FieldInput> InputOfView(TextCache& cache, const uint8_t* source, const FieldView& view, bool for_table) {
  FieldInput in;
  VELUM_ASSIGN_OR_RETURN(in.name, SpanText(cache, source, view.name));
  in.number_value = view.number;
  if (!for_table) {
    in.number = Ref::steal(PyLong_FromLong(view.number));
    if (!in.number) return Status::Pending();
  }
  if (view.default_value.present()) {
    VELUM_ASSIGN_OR_RETURN(in.default_text, SpanText(cache, source, view.default_value));
  } else {
    in.default_text = Ref::borrow(Py_None);
  }
  if (for_table && view.json_name.present() && view.name.present() &&
      IsDerivedJsonName(source + view.name.offset, view.name.size, source + view.json_name.offset,
                        view.json_name.size, PyUnicode_IS_ASCII(in.name.get()))) {
    in.json = Ref();
  } else if (view.json_name.present()) {
    VELUM_ASSIGN_OR_RETURN(in.json, SpanText(cache, source, view.json_name));
  } else {
    in.json = Ref::borrow(Py_None);
  }
  if (view.has_oneof_index) {
    in.oneof_index = Ref::steal(PyLong_FromLong(view.oneof_index));
    if (!in.oneof_index) return Status::Pending();
  } else {
    in.oneof_index = Ref::borrow(Py_None);
  }
  in.packed = view.packed;
  in.label = view.label;
  in.type = view.type;
  in.proto3_optional = view.proto3_optional;
  return in;
}

using FieldInputs = RawVector<FieldInput>;

// The fields of a message: `protos` is a sequence of field records, or the
// message's own record, whose fields are then read from their views when none
// has options (no field record is made: most resolved messages need none),
// else from the records its `fields` makes; `from_records` tells which.
// `for_table` as for InputOfView.
Result<FieldInputs> ReadInputs(const FieldResolver& r, PyObject* protos, bool& from_records,
                               bool for_table = false) {
  const MessageRecordLayout& layout = r.message_record;
  FieldInputs inputs;
  Ref records;
  from_records = false;
  if (layout.type != nullptr && Py_IS_TYPE(protos, layout.type)) {
    PyObject* views = SlotAt(protos, layout.views);
    PyObject* source = SlotAt(protos, layout.source);
    if (views == Py_None) return inputs;  // no fields
    if (views != nullptr && source != nullptr && PyBytes_Check(views) && PyBytes_Check(source) &&
        PyBytes_GET_SIZE(views) % static_cast<Py_ssize_t>(sizeof(FieldView)) == 0) {
      const size_t count = static_cast<size_t>(PyBytes_GET_SIZE(views)) / sizeof(FieldView);
      const char* at = PyBytes_AS_STRING(views);
      bool plain = true;
      for (size_t i = 0; i < count && plain; ++i) {
        bool has_features = false;  // (the flag alone: the views are copied out below)
        std::memcpy(&has_features, at + i * sizeof(FieldView) + offsetof(FieldView, has_features), sizeof(bool));
        plain = !has_features;
      }
      if (plain) {  // (then a field's options matter only by their `packed`)
        const auto* bytes = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(source));
        // The file's texts, shared with the records read from it.
        FileTextsInUse texts(source);
        TextCache& cache = texts.cache();
        inputs.reserve(count);
        for (size_t i = 0; i < count; ++i) {
          FieldView view;
          std::memcpy(&view, at + i * sizeof(FieldView), sizeof(FieldView));
          VELUM_ASSIGN_OR_RETURN(FieldInput in, InputOfView(cache, bytes, view, for_table));
          inputs.push_back(std::move(in));
        }
        return inputs;
      }
    }
    from_records = true;
    auto get = Py_TYPE(layout.fields.get())->tp_descr_get;
    records = Ref::steal(get(layout.fields.get(), protos, reinterpret_cast<PyObject*>(layout.type)));
    if (!records) return Status::Pending();
    protos = records.get();
  }
  if (!IsRecordSequence(protos)) return Status(ErrorKind::kType, "fields cannot be converted to list");
  from_records = true;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(protos);
  inputs.reserve(static_cast<size_t>(count));
  for (Py_ssize_t i = 0; i < count && i < PySequence_Fast_GET_SIZE(protos); ++i) {
    VELUM_ASSIGN_OR_RETURN(FieldInput in, InputOfRecord(r, PySequence_Fast_GET_ITEM(protos, i)));
    inputs.push_back(std::move(in));
  }
  return inputs;
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


// (presence, tracked) of a singular field, as the field_presence feature decides.
std::pair<long, bool> PresenceOf(long field_presence, bool may_be_implicit, bool tracked) {
  long presence = 1;
  if (field_presence == kPresenceLegacyRequired) {
    presence = kPresenceLegacyRequired;
  } else if (field_presence == kPresenceImplicit && may_be_implicit) {
    presence = kPresenceImplicit;
  }
  return {presence, tracked && presence != kPresenceImplicit};
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
Result<long> RepeatedEncoding(const FieldResolver& r, const FieldInput& in, long encoding) {
  PyObject* options = in.options;
  if (options == Py_None) {
    if (in.packed < 0) return encoding;
    return in.packed != 0 ? kRepeatedPacked : kRepeatedExpanded;
  }
  if (Py_TYPE(options) != reinterpret_cast<PyTypeObject*>(r.options_class.get())) return -1;
  VELUM_ASSIGN_OR_RETURN(PyObject * features, ReadSlot(options, r.option_slot[kFeatures]));
  if (features != Py_None) return -1;
  VELUM_ASSIGN_OR_RETURN(PyObject * packed, ReadSlot(options, r.option_slot[kPacked]));
  if (packed == Py_None) return encoding;
  if (packed == Py_True) return kRepeatedPacked;
  return packed == Py_False ? kRepeatedExpanded : -1;
}


// What a field is (kind, target, presence, default, JSON name), decided before
// any descriptor object is made: BuildField makes the field's objects from it,
// and a field table (field_table.h) keeps it for a class made before the
// fields are read. False when the field needs the fallback.
Result<bool> PlanField(const FieldResolver& r, const MessageScope& scope, const FieldInput& in, PyObject* target,
                       bool in_oneof, TableField& plan) {
  if (!scope.native) return false;
  VELUM_ASSIGN_OR_RETURN(long repeated_encoding, RepeatedEncoding(r, in, scope.repeated_encoding));
  if (repeated_encoding < 0) return false;
  const long label = in.label;
  const long type = in.type;
  PyObject* default_text = in.default_text.get();
  bool has_default = HasDefault(default_text);
  long scalar = ScalarNumber(r, target);
  PyTypeObject* target_type = Py_TYPE(target);
  bool is_enum = target_type == reinterpret_cast<PyTypeObject*>(r.classes[kEnumClass].get());
  bool is_message = target_type == reinterpret_cast<PyTypeObject*>(r.classes[kMessageClass].get());
  bool is_map = target_type == reinterpret_cast<PyTypeObject*>(r.classes[kMapClass].get());
  plan.presence = Presence::kImplicit;
  plan.tracked = false;
  plan.target = Ref::borrow(target);
  if (scalar != 0) plan.scalar = static_cast<ScalarType>(scalar);
  if (label == kLabelRepeated) {
    plan.shape = is_map ? ValueKind::kMap : ValueKind::kList;
    if (is_message || is_enum) {
      plan.packed = is_enum && repeated_encoding == kRepeatedPacked;
      plan.delimited = is_message && (type == kTypeGroup || scope.message_encoding == kMessageDelimited);
    } else if (scalar != 0) {
      plan.packed = scalar != kTypeString && scalar != kTypeBytes && repeated_encoding == kRepeatedPacked;
    } else if (!is_map) {
      return false;
    }
  } else {
    long field_presence = label == kLabelRequired ? kPresenceLegacyRequired : scope.field_presence;
    bool may_be_implicit = !in_oneof && !in.proto3_optional && !scope.extension;
    std::pair<long, bool> presence;
    if (scalar != 0) {
      plan.shape = ValueKind::kScalar;
      if (has_default) {
        VELUM_ASSIGN_OR_RETURN(plan.default_value, ParseScalarDefault(scalar, default_text));
        if (!plan.default_value) return false;  // the runtime reports it
      } else {
        plan.default_value = Ref::borrow(PyTuple_GET_ITEM(r.zeros.get(), scalar));
      }
      presence = PresenceOf(field_presence, may_be_implicit, !in_oneof);
    } else if (is_enum) {
      plan.shape = ValueKind::kEnum;
      VELUM_ASSIGN_OR_RETURN(PyObject * named, EnumValueNamed(r, target, has_default ? default_text : nullptr));
      if (named == nullptr) return false;  // the runtime reports an unknown name
      VELUM_ASSIGN_OR_RETURN(PyObject * named_local, ReadSlot(named, r.value_slot[kEnumValueLocal]));
      plan.enum_default = Ref::borrow(named_local);  // the list is not ours: hold what is read from it
      presence = PresenceOf(field_presence, may_be_implicit, !in_oneof);
    } else if (is_message) {
      plan.shape = ValueKind::kMessage;
      VELUM_ASSIGN_OR_RETURN(PyObject * map_entry, ReadSlot(target, r.value_slot[kIsMapEntry]));
      plan.delimited = type == kTypeGroup || (scope.message_encoding == kMessageDelimited && map_entry != Py_True);
      plan.default_value = Ref::borrow(Py_None);
      presence = PresenceOf(field_presence, false, false);
    } else {
      return false;
    }
    plan.presence = static_cast<Presence>(presence.first);
    plan.tracked = presence.second;
  }
  plan.number = in.number_value;
  plan.name = in.name.clone();
  PyObject* json = in.json.get();  // null: derived from the name (see InputOfView)
  if (json != Py_None) {
    plan.json_name = Ref::borrow(json);
  } else {
    VELUM_ASSIGN_OR_RETURN(plan.json_name, JsonName(in.name.get(), r.json_name.get()));
  }
  return true;
}

// The field built here, or an empty field when it needs the fallback.
Result<Made> BuildField(const FieldResolver& r, const MessageScope& scope, const FieldInput& in, PyObject* target,
                        PyObject* local, PyObject* oneof) {
  TableField plan;
  VELUM_ASSIGN_OR_RETURN(bool planned, PlanField(r, scope, in, target, oneof != nullptr, plan));
  if (!planned) return Made{};
  PyObject* none_oneof = oneof == nullptr ? Py_None : oneof;
  PyObject* packed = plan.packed ? Py_True : Py_False;
  PyObject* delimited = plan.delimited ? Py_True : Py_False;
  const auto scalar = static_cast<Py_ssize_t>(plan.scalar);
  Made made;
  Ref value;
  switch (plan.shape) {
    case ValueKind::kMap:
      value = Ref::borrow(target);
      made.default_value = Ref::steal(PyDict_New());
      if (!made.default_value) return Status::Pending();
      break;
    case ValueKind::kList:
      if (ScalarNumber(r, target) != 0) {
        value = Ref::borrow(PyTuple_GET_ITEM(r.scalar_lists.get(), scalar * 2 + (plan.packed ? 1 : 0)));
      } else {
        VELUM_ASSIGN_OR_RETURN(value, Call(r.makers[kNewList].get(), {target, packed, delimited}));
      }
      // The runtime turns the empty tuple into the field's empty list when the
      // default is first read (see DescField.default): most never are.
      made.default_value = Ref::steal(PyTuple_New(0));
      if (!made.default_value) return Status::Pending();
      break;
    case ValueKind::kScalar:
      made.default_value = std::move(plan.default_value);
      if (oneof == nullptr) {
        value = Ref::borrow(PyTuple_GET_ITEM(r.scalar_values.get(), scalar));  // shared outside oneofs
      } else {
        VELUM_ASSIGN_OR_RETURN(value, Call(r.makers[kNewScalar].get(), {target, oneof}));
      }
      break;
    case ValueKind::kEnum: {
      VELUM_ASSIGN_OR_RETURN(value, Call(r.makers[kNewEnum].get(), {target, none_oneof}));
      VELUM_ASSIGN_OR_RETURN(made.default_value,
                             Call(r.makers[kNewEnumDefault].get(), {target, plan.enum_default.get()}));
      break;
    }
    case ValueKind::kMessage: {
      VELUM_ASSIGN_OR_RETURN(value, Call(r.makers[kNewMessage].get(), {target, delimited, none_oneof}));
      made.default_value = std::move(plan.default_value);
      break;
    }
  }
  // A message's field makes its full name from its parent's when first read (the
  // runtime never reads it); an extension's prefix is its scope, made now.
  Ref full_name =
      scope.extension ? Ref::steal(PyUnicode_Concat(scope.prefix, plan.name.get())) : Ref::borrow(Py_None);
  if (!full_name) return Status::Pending();
  PyObject* presence = r.presence[static_cast<int>(plan.presence) - 1].get();
  VELUM_ASSIGN_OR_RETURN(made.field, Call(r.makers[kNewField].get(),
                                          {in.number.get(), plan.name.get(), local, plan.json_name.get(),
                                           full_name.get(), presence, plan.tracked ? Py_True : Py_False, value.get(),
                                           made.default_value.get(), scope.desc, none_oneof}));
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
Result<Py_ssize_t> OneofOf(const MessageScope& scope, const FieldInput& in) {
  PyObject* index = in.oneof_index.get();
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

// A (name, default) pair. Most defaults are strs and numbers, which the
// collector does not track: such a pair leaves it at once rather than at the
// collector's first pass over it, as it would then.
Result<Ref> Pair(PyObject* first, PyObject* second) {
  Ref pair = Ref::steal(PyTuple_Pack(2, first, second));
  if (!pair) return Status::Pending();
  // A name and an atomic default (most pairs), or a list's default not yet
  // made (the empty tuple), can be in no cycle: out of the collector now rather
  // than after the scan of the next young collection.
  const bool atomic = !PyObject_IS_GC(second) || (PyTuple_CheckExact(second) && PyTuple_GET_SIZE(second) == 0);
  if (!PyObject_IS_GC(first) && atomic) PyObject_GC_UnTrack(pair.get());
  return pair;
}

// The message's (field_presence, message_encoding, repeated_field_encoding).
Status ReadFeatures(MessageScope& scope, PyObject* features) {
  if (!PyTuple_Check(features) || PyTuple_GET_SIZE(features) != 3) return TypeCheckError(features, "tuple");
  long* into[] = {&scope.field_presence, &scope.message_encoding, &scope.repeated_encoding};
  for (Py_ssize_t i = 0; i < 3; ++i) {
    *into[i] = PyLong_AsLong(PyTuple_GET_ITEM(features, i));
    if (*into[i] == -1 && PyErr_Occurred()) return Status::Pending();
  }
  return Status::Ok();
}

// The local names of the fields, then of the real oneofs (None in `oneof_names`
// for a synthetic one).
Result<Ref> LocalNames(const FieldResolver& r, const FieldInputs& inputs, PyObject* oneof_names, PyObject* extra) {
  Ref names = Ref::steal(PyList_New(0));
  if (!names) return Status::Pending();
  for (const FieldInput& in : inputs) {
    if (PyList_Append(names.get(), in.name.get()) < 0) return Status::Pending();
  }
  if (oneof_names != Py_None) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(oneof_names); ++i) {
      PyObject* name = PyList_GET_ITEM(oneof_names, i);
      if (name != Py_None && PyList_Append(names.get(), name) < 0) return Status::Pending();
    }
  }
  return AssignLocalNames(names.get(), r.keywords.get(), r.reserved.get(), extra == Py_None ? nullptr : extra,
                          r.longest_reserved);
}

Result<Ref> Resolve(const FieldResolver& r, PyObject* const* argv) {
  PyObject* targets = argv[2];
  PyObject* features = argv[4];
  PyObject* extra = argv[5];
  PyObject* oneof_names = argv[6];
  if (!PyList_Check(targets)) return Status(ErrorKind::kType, "fields cannot be converted to list");
  if (!PyUnicode_Check(argv[3])) return TypeCheckError(argv[3], "str");
  if (oneof_names != Py_None && !PyList_Check(oneof_names)) return TypeCheckError(oneof_names, "list");
  MessageScope scope{argv[0], argv[3], argv[8], features != Py_None, 0, 0, 0, argv[7], {}, {}};
  if (scope.native) VELUM_TRY(ReadFeatures(scope, features));
  bool from_records = false;
  VELUM_ASSIGN_OR_RETURN(FieldInputs inputs, ReadInputs(r, argv[1], from_records));
  const auto field_count = static_cast<Py_ssize_t>(inputs.size());
  VELUM_ASSIGN_OR_RETURN(Ref local_names, LocalNames(r, inputs, oneof_names, extra));
  VELUM_ASSIGN_OR_RETURN(Oneofs oneofs, MakeOneofs(r, scope, oneof_names, local_names.get(), field_count));
  const auto proto_count = static_cast<Py_ssize_t>(inputs.size());
  Ref fields = Ref::steal(PyList_New(0));
  Ref by_name = Ref::steal(_PyDict_NewPresized(proto_count));
  Ref defaults = Ref::steal(PyList_New(0));
  if (!fields || !by_name || !defaults) return Status::Pending();
  for (Py_ssize_t i = 0; i < field_count && i < proto_count && i < PyList_GET_SIZE(targets); ++i) {
    const FieldInput& in = inputs[static_cast<size_t>(i)];
    Ref target = Ref::borrow(PyList_GET_ITEM(targets, i));
    PyObject* local = PyList_GET_ITEM(local_names.get(), i);
    VELUM_ASSIGN_OR_RETURN(Py_ssize_t at, OneofOf(scope, in));
    PyObject* oneof = at < 0 ? nullptr : scope.oneofs[static_cast<size_t>(at)];
    bool own_features = false;
    if (oneof != nullptr) {
      VELUM_ASSIGN_OR_RETURN(own_features, HasOwnFeatures(scope, at));
    }
    Made made;
    if (!own_features) {
      VELUM_ASSIGN_OR_RETURN(made, BuildField(r, scope, in, target.get(), local, oneof));
    }
    if (!made.field) {
      VELUM_ASSIGN_OR_RETURN(made, CallFallback(scope, i, local, oneof == nullptr ? Py_None : oneof));
    }
    if (PyList_Append(fields.get(), made.field.get()) < 0 ||
        PyDict_SetItem(by_name.get(), local, made.field.get()) < 0) {
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
  // The lookups by proto name and by number (None) are made on first read: the
  // runtime itself never reads them. So is an empty list of oneofs (most
  // messages have none), left as the empty tuple (see DescMessage.oneofs).
  if (PyList_GET_SIZE(oneofs.list.get()) == 0) {
    oneofs.list = Ref::steal(PyTuple_New(0));
    if (!oneofs.list) return Status::Pending();
  }
  Ref result = Ref::steal(PyTuple_Pack(8, fields.get(), oneofs.list.get(), by_name.get(), Py_None, Py_None,
                                       oneofs.by_local_name.get(), oneofs.by_name.get(), defaults.get()));
  if (!result) return Status::Pending();
  return result;
}

// A copy of `oneof_names` with None for each oneof a proto3 `optional` field
// makes (synthetic: it has no attribute), found from the fields' views rather
// than by making the message's field records.
Result<Ref> WithoutSynthetic(const FieldInputs& inputs, PyObject* oneof_names) {
  Ref names = Ref::steal(PyList_GetSlice(oneof_names, 0, PyList_GET_SIZE(oneof_names)));
  if (!names) return Status::Pending();
  for (const FieldInput& in : inputs) {
    if (!in.proto3_optional || !PyLong_Check(in.oneof_index.get())) continue;
    const Py_ssize_t index = PyLong_AsSsize_t(in.oneof_index.get());
    if (index == -1 && PyErr_Occurred()) return Status::Pending();
    if (index < 0 || index >= PyList_GET_SIZE(names.get())) continue;
    if (PyList_SetItem(names.get(), index, Py_NewRef(Py_None)) < 0) return Status::Pending();
  }
  return names;
}

// The field table of a message (field_table.h), or None when a field needs the
// fallback or is read from a record (options with features of their own): its
// class is then made from the field descriptors. Its arguments are the
// resolver's but for the prefix and custom oneofs (the runtime asks only when
// no oneof has features), then the function and features object of the
// message's pending resolution, which the table calls as it would have.
Result<Ref> Table(const FieldResolver& r, PyObject* const* argv) {
  PyObject* targets = argv[2];
  PyObject* features = argv[3];
  PyObject* extra = argv[4];
  PyObject* oneof_names = argv[5];
  if (!PyList_Check(targets)) return Status(ErrorKind::kType, "fields cannot be converted to list");
  if (oneof_names != Py_None && !PyList_Check(oneof_names)) return TypeCheckError(oneof_names, "list");
  MessageScope scope{argv[0], Py_None, Py_None, true, 0, 0, 0, Py_None, {}, {}};
  VELUM_TRY(ReadFeatures(scope, features));
  bool from_records = false;
  VELUM_ASSIGN_OR_RETURN(FieldInputs inputs, ReadInputs(r, argv[1], from_records, true));
  const auto field_count = static_cast<Py_ssize_t>(inputs.size());
  if (from_records || field_count != PyList_GET_SIZE(targets)) return Ref::borrow(Py_None);
  Ref real_oneofs;
  if (oneof_names != Py_None) {
    VELUM_ASSIGN_OR_RETURN(real_oneofs, WithoutSynthetic(inputs, oneof_names));
    oneof_names = real_oneofs.get();
  }
  VELUM_ASSIGN_OR_RETURN(Ref local_names, LocalNames(r, inputs, oneof_names, extra));
  FieldTable table;
  RawVector<int32_t> oneof_at;  // by declaration index: place in table.oneofs
  if (oneof_names != Py_None) {
    const Py_ssize_t count = PyList_GET_SIZE(oneof_names);
    scope.oneofs.assign(static_cast<size_t>(count), nullptr);
    oneof_at.assign(static_cast<size_t>(count), -1);
    Py_ssize_t next = field_count;
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (PyList_GET_ITEM(oneof_names, i) == Py_None) continue;  // synthetic
      PyObject* local = PyList_GET_ITEM(local_names.get(), next++);
      oneof_at[static_cast<size_t>(i)] = static_cast<int32_t>(table.oneofs.size());
      table.oneofs.push_back(Ref::borrow(local));
      scope.oneofs[static_cast<size_t>(i)] = local;  // (only tested for null here)
    }
  }
  table.fields.reserve(inputs.size());
  for (Py_ssize_t i = 0; i < field_count; ++i) {
    const FieldInput& in = inputs[static_cast<size_t>(i)];
    PyObject* target = PyList_GET_ITEM(targets, i);
    VELUM_ASSIGN_OR_RETURN(Py_ssize_t at, OneofOf(scope, in));
    TableField& field = table.fields.emplace_back();
    VELUM_ASSIGN_OR_RETURN(bool planned, PlanField(r, scope, in, target, at >= 0, field));
    if (!planned) return Ref::borrow(Py_None);
    field.local_name = Ref::borrow(PyList_GET_ITEM(local_names.get(), i));
    field.oneof = at < 0 ? -1 : oneof_at[static_cast<size_t>(at)];
  }
  table.resolve = Ref::borrow(argv[6]);
  table.proto = Ref::borrow(argv[1]);
  table.features = Ref::borrow(argv[7]);
  return NewFieldTable(std::move(table));
}

PyObject* CheckBatchMethod(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return Guard([&]() -> PyObject* {
    if (!ExactPositional("check_batch()", nargs, 4)) return nullptr;
    Status status = CheckBatch(*AsResolver(self), args);
    if (!status.ok()) return Raise(std::move(status));
    Py_RETURN_NONE;
  });
}

PyObject* CheckMethod(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return Guard([&]() -> PyObject* {
    if (!ExactPositional("check()", nargs, 3)) return nullptr;
    Result<Ref> made = Check(*AsResolver(self), args[0], args[1], args[2]);
    return ReturnNew(std::move(made));
  });
}

PyObject* ParseDefaultMethod(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return Guard([&]() -> PyObject* {
    if (!ExactPositional("parse_default()", nargs, 2)) return nullptr;
    long type = PyLong_AsLong(args[0]);
    if (type == -1 && PyErr_Occurred()) return nullptr;
    if (!PyUnicode_Check(args[1])) return Raise(TypeCheckError(args[1], "str"));
    Result<Ref> made = ParseScalarDefault(type, args[1]);
    if (!made.ok()) return Raise(std::move(made).status());
    Ref value = std::move(made).value();
    return value ? value.release() : Py_NewRef(Py_None);
  });
}

// The field of an extension; None when the runtime makes it (see field_resolve.h).
Result<Ref> ExtensionMethodField(const FieldResolver& r, PyObject* const* args) {
  MessageScope read{};  // (only its features are read)
  VELUM_TRY(ReadFeatures(read, args[5]));
  const long features[3] = {read.field_presence, read.message_encoding, read.repeated_encoding};
  return ExtensionField(r, args[0], args[1], args[2], args[3], args[4], features);
}

PyObject* ExtensionsMethod(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return Guard([&]() -> PyObject* {
    if (!ExactPositional("extensions()", nargs, 4)) return nullptr;
    Status status = ResolveExtensions(*AsResolver(self), args);
    if (!status.ok()) return Raise(std::move(status));
    Py_RETURN_NONE;
  });
}

PyObject* ExtensionMethod(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return Guard([&]() -> PyObject* {
    if (!ExactPositional("extension()", nargs, 6)) return nullptr;
    Result<Ref> made = ExtensionMethodField(*AsResolver(self), args);
    return ReturnNew(std::move(made));
  });
}

PyObject* TableMethod(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return Guard([&]() -> PyObject* {
    if (!ExactPositional("table()", nargs, 8)) return nullptr;
    Result<Ref> made = Table(*AsResolver(self), args);
    return ReturnNew(std::move(made));
  });
}

PyMethodDef kMethods[] = {
    {"check", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(CheckMethod)), METH_FASTCALL,
     "check(fields, messages, enums)\n--\n\n(targets, pending) for a message's field records: the type of each\n"
     "field that needs nothing parsed and names nothing outside `messages` and `enums`, None at\n"
     "the indexes listed in pending; None when a field name is not an identifier."},
    {"check_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(CheckBatchMethod)), METH_FASTCALL,
     "check_batch(work, types, layout, makers)\n--\n\nChecks every (desc, proto, features) of `work` as\n"
     "check() does, map entries and earlier batches' types included, and sets each desc._resolve\n"
     "(see field_check.h)."},
    {"extension", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ExtensionMethod)), METH_FASTCALL,
     "extension(field, target, local_name, prefix, parent, features)\n--\n\nThe field descriptor of an\n"
     "extension (see field_resolve.h), or None when the runtime makes it."},
    {"extensions", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ExtensionsMethod)), METH_FASTCALL,
     "extensions(work, types, layout, makers)\n--\n\nResolves every (field, file, scope, features) of\n"
     "`work` as the runtime's own step does, handing it the ones it must (see extension_batch.h)."},
    {"table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(TableMethod)), METH_FASTCALL,
     "table(desc, proto, targets, features, extra_reserved, oneof_names, resolve, bound_features)\n--\n\n"
     "The field table a\n"
     "class is made from before the fields are read (see field_table.h), or None when it must be made\n"
     "from the field descriptors. `oneof_names` gives each oneof's name (None for one to leave out);\n"
     "the synthetic oneofs of proto3 optional fields are left out too."},
    {"parse_default", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ParseDefaultMethod)), METH_FASTCALL,
     "parse_default(type, text)\n--\n\nThe default value `text` gives a field of scalar type number `type`,\n"
     "None when it is not a valid one."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* CallResolver(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  return Guard([&]() -> PyObject* {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (!ExactPositional("FieldResolver()", nargs, 9, kwnames)) return nullptr;
    Result<Ref> made = Resolve(*AsResolver(self), args);
    return ReturnNew(std::move(made));
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
    VELUM_ASSIGN_OR_RETURN(r.proto_slot[i], ReadSlotOffset(type_at(proto_class), member, "_field_resolver()"));
  }
  VELUM_ASSIGN_OR_RETURN(PyObject * options, TupleEntry(config, kConfigOptions, 1 + kOptionSlots));
  PyObject* options_class = PyTuple_GET_ITEM(options, 0);
  if (!PyType_Check(options_class)) return ConfigError();
  r.options_class = Ref::borrow(options_class);
  for (int i = 0; i < kOptionSlots; ++i) {
    PyObject* member = PyTuple_GET_ITEM(options, 1 + i);
    VELUM_ASSIGN_OR_RETURN(r.option_slot[i], ReadSlotOffset(type_at(options_class), member, "_field_resolver()"));
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
  r.longest_reserved = std::max(LongestName(keywords), LongestName(reserved));
  r.json_name = Ref::borrow(json_name);
  return Status::Ok();
}

Status ConfigureRecordLayout(MessageRecordLayout& layout, PyObject* config) {
  VELUM_ASSIGN_OR_RETURN(PyObject * entry, TupleEntry(config, kConfigMessageRecord, 4));
  PyObject* cls = PyTuple_GET_ITEM(entry, 0);
  PyObject* fields = PyTuple_GET_ITEM(entry, 3);
  if (!PyType_Check(cls) || Py_TYPE(fields)->tp_descr_get == nullptr) return ConfigError();
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  VELUM_ASSIGN_OR_RETURN(layout.source, ReadSlotOffset(type, PyTuple_GET_ITEM(entry, 1), "_field_resolver()"));
  VELUM_ASSIGN_OR_RETURN(layout.views, ReadSlotOffset(type, PyTuple_GET_ITEM(entry, 2), "_field_resolver()"));
  layout.held = Ref::borrow(cls);
  layout.fields = Ref::borrow(fields);
  layout.type = type;
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
  VELUM_TRY(ConfigureRecordLayout(resolver->resolver.message_record, config));
  return obj;
}

}  // namespace

Result<Ref> field_resolver::ExtensionField(const FieldResolver& r, PyObject* proto, PyObject* target,
                                           PyObject* local, PyObject* prefix, PyObject* parent,
                                           const long features[3]) {
  VELUM_ASSIGN_OR_RETURN(FieldInput in, InputOfRecord(r, proto));
  if (!PyUnicode_Check(local)) return TypeCheckError(local, "str");
  if (!PyUnicode_Check(prefix)) return TypeCheckError(prefix, "str");
  MessageScope scope{parent, prefix, Py_None, true, features[0], features[1], features[2], Py_None, {}, {}, true};
  VELUM_ASSIGN_OR_RETURN(Made made, BuildField(r, scope, in, target, local, nullptr));
  if (!made.field) return Ref::borrow(Py_None);
  return std::move(made.field);
}

PyObject* FieldResolverFn(PyObject*, PyObject* const* argv, Py_ssize_t nargs) noexcept {
  return Guard([&]() -> PyObject* {
    if (!ExactPositional("_field_resolver()", nargs, 1)) return nullptr;
    Result<Ref> made = NewResolver(argv[0]);
    return ReturnNew(std::move(made));
  });
}

}  // namespace velum
