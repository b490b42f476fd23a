#include "descriptor/declare.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <new>

#include "common/native_box.h"
#include "common/py_error.h"
#include "descriptor/field_names.h"
#include "descriptor/slot_constructor.h"

namespace velum {

namespace {

// The entries of the configuration tuple.
enum ConfigEntry {
  kConfigMessageRecord,   // (DescriptorProto class, its members in MessageSlot order)
  kConfigEnumRecord,      // (EnumDescriptorProto class, members in EnumSlot order)
  kConfigValueRecord,     // (EnumValueDescriptorProto class, members in ValueSlot order)
  kConfigMessageOptions,  // (MessageOptions class, members map_entry, features)
  kConfigEnumOptions,     // (EnumOptions class, member features)
  kConfigFeatures,        // (Features class, member enum_type)
  kConfigMakers,          // slot fillers, in Maker order
  kConfigConstants,       // (what a message's resolved members start as, ENUM_TYPE_OPEN,
                          //  the `_create` hooks of messages and of enums, what a
                          //  nested list nothing is declared into starts as)
  kConfigHooks,           // runtime helpers, in Hook order
  kConfigKeywords,        // frozenset of Python keywords
  kConfigReservedEnum,    // frozenset of names an enum class takes
  kConfigCount,
};

enum MessageSlot {
  kMessageName,
  kNestedTypes,
  kEnumTypes,
  kExtensions,
  kMessageOptionsSlot,
  kMessageSlots,
};
enum EnumSlot { kEnumName, kEnumValues, kEnumOptionsSlot, kEnumSlots };
enum ValueSlot { kValueName, kValueNumber, kValueSlots };
enum MessageOptionSlot { kMapEntry, kMessageFeatures, kMessageOptionSlots };
enum Maker { kNewMessage, kNewEnum, kNewEnumValue, kMakers };
// merge(features, feature_set) -> Features; check_identifier(name, kind, file, scope)
// raises; assign_local_names(names, reserved) -> list; is_reserved_enum_name(name).
enum Hook { kMerge, kCheckIdentifier, kAssignLocalNames, kIsReservedEnumName, kHooks };
enum StateEntry {
  kStateMessages,
  kStateEnums,
  kStateKnownMessages,
  kStateKnownEnums,
  kStateMessageWork,
  kStateMessageProtos,
  kStateExtensionWork,
  kStateUnregistered,  // full names of map entries and of the types inside them
  kStateCount,
};

// Records nest no deeper than the decoder allows; this only bounds the recursion.
constexpr int kMaxDepth = 1000;

struct Record {
  Ref cls;
  Py_ssize_t slot[kMessageSlots] = {};
};

// Which names an enum value may not keep, by first character and length: a
// value name matching no entry is neither a keyword nor a reserved name, found
// without hashing it (most are upper case, and none of those names is).
class NameFilter {
 public:
  // Every name of the set `names` entered; one that is not an ASCII str rules
  // nothing out any more.
  Status Enter(PyObject* names);
  bool MayHold(PyObject* name) const {
    if (!exact_ || !PyUnicode_IS_ASCII(name)) return true;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    if (length == 0) return true;
    const auto first = static_cast<const unsigned char*>(PyUnicode_DATA(name))[0];
    return (lengths_[first & 0x7f] >> (length < 63 ? length : 63) & 1) != 0;
  }

 private:
  bool exact_ = true;
  uint64_t lengths_[128] = {};  // by first character: bit n set for a name of length n (63: longer)
};

Status NameFilter::Enter(PyObject* names) {
  Ref items = Ref::steal(PyObject_GetIter(names));
  if (!items) return Status::Pending();
  while (true) {
    Ref name = Ref::steal(PyIter_Next(items.get()));
    if (!name) break;
    if (!PyUnicode_Check(name.get()) || !PyUnicode_IS_ASCII(name.get()) || PyUnicode_GET_LENGTH(name.get()) == 0) {
      exact_ = false;
      continue;
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name.get());
    const auto first = static_cast<const unsigned char*>(PyUnicode_DATA(name.get()))[0];
    lengths_[first & 0x7f] |= uint64_t{1} << (length < 63 ? length : 63);
  }
  if (PyErr_Occurred()) return Status::Pending();
  return Status::Ok();
}

struct Declarer {
  Record message, enum_record, value, message_options, enum_options, features;
  Ref makers[kMakers];
  Ref unresolved, enum_type_open, create_message, create_enum, no_list;
  Ref hooks[kHooks];
  Ref keywords, reserved_enum;
  NameFilter taken;  // of keywords and reserved_enum
  Ref kind_message, kind_enum, kind_value, dot;
};

struct DeclarerObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  Declarer declarer;
};

Declarer* AsDeclarer(PyObject* self) { return &reinterpret_cast<DeclarerObject*>(self)->declarer; }

PyTypeObject* g_type = nullptr;

// What one call shares: the batch's tables and the file declared.
struct Scope {
  const Declarer& d;
  PyObject* state[kStateCount];
  PyObject* file;
};

Result<Ref> Call(PyObject* fn, std::initializer_list<PyObject*> args) {
  Ref made = Ref::steal(PyObject_Vectorcall(fn, const_cast<PyObject**>(args.begin()), args.size(), nullptr));
  if (!made) return Status::Pending();
  return made;
}

// Slot `i` of a record of class `r` (checked, as the offsets hold for it alone).
Result<PyObject*> Slot(const Record& r, PyObject* obj, int i) {
  if (Py_TYPE(obj) != reinterpret_cast<PyTypeObject*>(r.cls.get())) {
    return FormatError(ErrorKind::kType, "expected a decoded %s record, got '%s'",
                       reinterpret_cast<PyTypeObject*>(r.cls.get())->tp_name, Py_TYPE(obj)->tp_name);
  }
  PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + r.slot[i]);
  if (value == nullptr) return Status(ErrorKind::kAttribute, "uninitialized slot");
  return value;
}

// A repeated field of a record: a tuple.
Result<PyObject*> TupleSlot(const Record& r, PyObject* obj, int i) {
  VELUM_ASSIGN_OR_RETURN(PyObject * value, Slot(r, obj, i));
  if (!PyTuple_Check(value)) return TypeCheckError(value, "tuple");
  return value;
}

// Declaring -------------------------------------------------------------------

// Lets the runtime report a name that is not an identifier, with its usual text.
Status CheckIdentifier(const Scope& s, PyObject* name, PyObject* kind, PyObject* scope) {
  if (PyUnicode_Check(name) && IsIdentifier(name)) return Status::Ok();
  VELUM_ASSIGN_OR_RETURN(Ref ignored, Call(s.d.hooks[kCheckIdentifier].get(), {name, kind, s.file, scope}));
  return Status::Ok();
}

Status FileError(const Scope& s, const char* format, PyObject* full_name) {
  Ref file_name = Ref::steal(PyObject_GetAttrString(s.file, "name"));
  if (!file_name) return Status::Pending();
  return FormatError(ErrorKind::kValue, format, file_name.get(), full_name);
}

Result<bool> Known(PyObject* known, PyObject* full_name) {
  // The registry's lookups take a name with or without its leading dot.
  Ref key = Ref::borrow(full_name);
  if (PyUnicode_GET_LENGTH(full_name) > 0 && PyUnicode_READ_CHAR(full_name, 0) == '.') {
    key = Ref::steal(PyUnicode_Substring(full_name, 1, PyUnicode_GET_LENGTH(full_name)));
    if (!key) return Status::Pending();
  }
  int found = PyDict_Contains(known, key.get());
  if (found < 0) return Status::Pending();
  return found == 1;
}

// A full name taken by no type of the batch or of what is loaded already.
Status Claim(const Scope& s, PyObject* full_name) {
  for (int table : {kStateMessages, kStateEnums}) {
    int found = PyDict_Contains(s.state[table], full_name);
    if (found < 0) return Status::Pending();
    if (found == 1) return FileError(s, "%U: duplicate symbol %U", full_name);
  }
  for (int table : {kStateKnownMessages, kStateKnownEnums}) {
    VELUM_ASSIGN_OR_RETURN(bool found, Known(s.state[table], full_name));
    if (found) return FileError(s, "%U: symbol %U is already defined", full_name);
  }
  return Status::Ok();
}

// The features of a scope whose options may override its parent's.
Result<Ref> ScopeFeatures(const Scope& s, PyObject* features, PyObject* feature_set) {
  if (feature_set == Py_None) return Ref::borrow(features);
  return Call(s.d.hooks[kMerge].get(), {features, feature_set});
}

Result<Ref> FullName(PyObject* prefix, PyObject* name) {
  Ref full = Ref::steal(PyUnicode_Concat(prefix, name));
  if (!full) return Status::Pending();
  return full;
}


// Whether two str are equal, compared by their data (no hash needed).
bool SameText(PyObject* a, PyObject* b) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
  return length == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
         std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(length) * PyUnicode_KIND(a)) == 0;
}

// Whether the value names (str, identifiers) of a list are all different.
Result<bool> DistinctNames(PyObject* names) {
  const Py_ssize_t count = PyList_GET_SIZE(names);
  // Enums are mostly short: comparing pairs costs less than hashing every name.
  if (count <= 16) {
    for (Py_ssize_t i = 1; i < count; ++i) {
      for (Py_ssize_t j = 0; j < i; ++j) {
        if (SameText(PyList_GET_ITEM(names, i), PyList_GET_ITEM(names, j))) return false;
      }
    }
    return true;
  }
  Ref unique = Ref::steal(PySet_New(names));
  if (!unique) return Status::Pending();
  return PySet_GET_SIZE(unique.get()) == count;
}

// Whether enum value names keep their own names as attributes (the usual case).
Result<bool> PlainValueNames(const Declarer& d, PyObject* names) {
  Py_ssize_t count = PyList_GET_SIZE(names);
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* name = PyList_GET_ITEM(names, i);
    Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    // _sunder_ and __dunder__ names belong to the enum machinery.
    if (length > 1 && PyUnicode_READ_CHAR(name, 0) == '_' && PyUnicode_READ_CHAR(name, length - 1) == '_') {
      return false;
    }
    if (!d.taken.MayHold(name)) continue;
    for (PyObject* set : {d.keywords.get(), d.reserved_enum.get()}) {
      int found = PySet_Contains(set, name);
      if (found != 0) return found < 0 ? Result<bool>(Status::Pending()) : Result<bool>(false);
    }
  }
  return DistinctNames(names);
}

// Notes a type the registry does not list: a map entry, or one declared inside one.
Status Unregistered(const Scope& s, PyObject* full_name) {
  if (PyList_Append(s.state[kStateUnregistered], full_name) < 0) return Status::Pending();
  return Status::Ok();
}

Result<Ref> DeclareEnum(const Scope& s, PyObject* record, PyObject* prefix, PyObject* parent, PyObject* features,
                        bool in_entry) {
  const Declarer& d = s.d;
  VELUM_ASSIGN_OR_RETURN(PyObject * name, Slot(d.enum_record, record, kEnumName));
  VELUM_TRY(CheckIdentifier(s, name, d.kind_enum.get(), prefix));
  VELUM_ASSIGN_OR_RETURN(Ref full_name, FullName(prefix, name));
  VELUM_TRY(Claim(s, full_name.get()));
  VELUM_ASSIGN_OR_RETURN(PyObject * value_records, TupleSlot(d.enum_record, record, kEnumValues));
  Py_ssize_t count = PyTuple_GET_SIZE(value_records);
  if (count == 0) return FileError(s, "%U: enum %U has no values", full_name.get());
  VELUM_ASSIGN_OR_RETURN(PyObject * options, Slot(d.enum_record, record, kEnumOptionsSlot));
  PyObject* feature_set = Py_None;
  if (options != Py_None) {
    VELUM_ASSIGN_OR_RETURN(feature_set, Slot(d.enum_options, options, 0));
  }
  VELUM_ASSIGN_OR_RETURN(Ref own_features, ScopeFeatures(s, features, feature_set));
  VELUM_ASSIGN_OR_RETURN(PyObject * enum_type, Slot(d.features, own_features.get(), 0));
  int is_open = PyObject_RichCompareBool(enum_type, d.enum_type_open.get(), Py_EQ);
  if (is_open < 0) return Status::Pending();

  Ref names = Ref::steal(PyList_New(count));
  if (!names) return Status::Pending();
  for (Py_ssize_t i = 0; i < count; ++i) {
    VELUM_ASSIGN_OR_RETURN(PyObject * value_name, Slot(d.value, PyTuple_GET_ITEM(value_records, i), kValueName));
    PyList_SET_ITEM(names.get(), i, Py_NewRef(value_name));
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    VELUM_TRY(CheckIdentifier(s, PyList_GET_ITEM(names.get(), i), d.kind_value.get(), full_name.get()));
  }
  VELUM_ASSIGN_OR_RETURN(bool plain, PlainValueNames(d, names.get()));
  Ref locals = names.clone();
  if (!plain) {
    VELUM_ASSIGN_OR_RETURN(locals, Call(d.hooks[kAssignLocalNames].get(),
                                        {names.get(), d.hooks[kIsReservedEnumName].get()}));
    if (!PyList_Check(locals.get()) || PyList_GET_SIZE(locals.get()) != count) {
      return Status(ErrorKind::kType, "assign_local_names() must return a list of one name per value");
    }
  }
  Ref values = Ref::steal(PyList_New(count));
  if (!values) return Status::Pending();
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* value_record = PyTuple_GET_ITEM(value_records, i);
    VELUM_ASSIGN_OR_RETURN(PyObject * number, Slot(d.value, value_record, kValueNumber));
    PyObject* value_name = PyList_GET_ITEM(names.get(), i);
    VELUM_ASSIGN_OR_RETURN(Ref value, Call(d.makers[kNewEnumValue].get(),
                                           {number, value_name, PyList_GET_ITEM(locals.get(), i), value_name}));
    // A value holds a number and names only, so it can be in no cycle: the collector
    // need not scan the many a schema declares.
    if (PyObject_GC_IsTracked(value.get())) PyObject_GC_UnTrack(value.get());
    PyList_SET_ITEM(values.get(), i, value.release());
  }
  PyObject_GC_UnTrack(values.get());  // (its values are out of the collector too)
  // Its class is made when it is first needed.
  VELUM_ASSIGN_OR_RETURN(Ref desc, Call(d.makers[kNewEnum].get(), {full_name.get(), name, s.file, parent,
                                                                      is_open ? Py_True : Py_False, values.get(),
                                                                      Py_None, d.create_enum.get()}));
  if (PyDict_SetItem(s.state[kStateEnums], full_name.get(), desc.get()) < 0) return Status::Pending();
  if (in_entry) VELUM_TRY(Unregistered(s, full_name.get()));
  return desc;
}

Result<Ref> DeclareMessage(const Scope& s, PyObject* record, PyObject* prefix, PyObject* parent,
                           PyObject* parent_features, bool in_entry, int depth);

// Declares the messages and enums of one scope (a file or a message; `in_entry`
// when that is a map entry or inside one).
Status DeclareAll(const Scope& s, PyObject* message_records, PyObject* enum_records, PyObject* prefix,
                  PyObject* parent, PyObject* features, PyObject* out_messages, PyObject* out_enums, bool in_entry,
                  int depth) {
  if (!PyTuple_Check(message_records) || !PyTuple_Check(enum_records)) {
    return Status(ErrorKind::kType, "declared records must come in tuples");
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(message_records); ++i) {
    VELUM_ASSIGN_OR_RETURN(Ref desc, DeclareMessage(s, PyTuple_GET_ITEM(message_records, i), prefix, parent,
                                                    features, in_entry, depth));
    if (PyList_Append(out_messages, desc.get()) < 0) return Status::Pending();
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(enum_records); ++i) {
    VELUM_ASSIGN_OR_RETURN(Ref desc,
                           DeclareEnum(s, PyTuple_GET_ITEM(enum_records, i), prefix, parent, features, in_entry));
    if (PyList_Append(out_enums, desc.get()) < 0) return Status::Pending();
  }
  return Status::Ok();
}

// A list for what is declared into a scope, or (nothing to declare: most
// messages declare nothing nested) the placeholder the runtime turns into an
// empty list when it is first read.
Result<Ref> NestedList(const Declarer& d, PyObject* records) {
  if (PyTuple_GET_SIZE(records) == 0) return Ref::borrow(d.no_list.get());
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return Status::Pending();
  return list;
}

Result<Ref> DeclareMessage(const Scope& s, PyObject* record, PyObject* prefix, PyObject* parent,
                           PyObject* parent_features, bool in_entry, int depth) {
  const Declarer& d = s.d;
  if (depth >= kMaxDepth) return Status(ErrorKind::kValue, "messages are nested too deeply");
  VELUM_ASSIGN_OR_RETURN(PyObject * name, Slot(d.message, record, kMessageName));
  VELUM_TRY(CheckIdentifier(s, name, d.kind_message.get(), prefix));
  VELUM_ASSIGN_OR_RETURN(Ref full_name, FullName(prefix, name));
  VELUM_TRY(Claim(s, full_name.get()));
  VELUM_ASSIGN_OR_RETURN(PyObject * options, Slot(d.message, record, kMessageOptionsSlot));
  PyObject* feature_set = Py_None;
  PyObject* map_entry = Py_False;
  if (options != Py_None) {
    VELUM_ASSIGN_OR_RETURN(feature_set, Slot(d.message_options, options, kMessageFeatures));
    VELUM_ASSIGN_OR_RETURN(map_entry, Slot(d.message_options, options, kMapEntry));
  }
  VELUM_ASSIGN_OR_RETURN(Ref features, ScopeFeatures(s, parent_features, feature_set));
  VELUM_ASSIGN_OR_RETURN(PyObject * nested_records, TupleSlot(d.message, record, kNestedTypes));
  VELUM_ASSIGN_OR_RETURN(PyObject * enum_records, TupleSlot(d.message, record, kEnumTypes));
  VELUM_ASSIGN_OR_RETURN(PyObject * extension_records, TupleSlot(d.message, record, kExtensions));
  // (the runtime appends an extension only to a scope with extension records)
  VELUM_ASSIGN_OR_RETURN(Ref nested_messages, NestedList(d, nested_records));
  VELUM_ASSIGN_OR_RETURN(Ref nested_enums, NestedList(d, enum_records));
  VELUM_ASSIGN_OR_RETURN(Ref nested_extensions, NestedList(d, extension_records));
  const bool unlisted = in_entry || map_entry == Py_True;
  // The members that resolving fills start as one shared placeholder: they are only
  // read through properties that resolve first. A class is made on first need; a
  // map entry has none.
  PyObject* u = d.unresolved.get();
  PyObject* create = map_entry == Py_True ? Py_None : d.create_message.get();
  PyObject* args[] = {full_name.get(), name, s.file, parent, u, u, nested_messages.get(), nested_enums.get(),
                      nested_extensions.get(), map_entry, u, u, u, u, u, u, Py_None, create, Py_None};
  Ref desc = Ref::steal(PyObject_Vectorcall(d.makers[kNewMessage].get(), args, std::size(args), nullptr));
  if (!desc) return Status::Pending();
  if (PyDict_SetItem(s.state[kStateMessages], full_name.get(), desc.get()) < 0) return Status::Pending();
  if (unlisted) VELUM_TRY(Unregistered(s, full_name.get()));
  for (PyObject* item : {desc.get(), record, features.get()}) {
    if (PyList_Append(s.state[kStateMessageWork], item) < 0) return Status::Pending();
  }
  // Only a map entry's record is looked up again (by the fields that name it).
  if (map_entry == Py_True && PyDict_SetItem(s.state[kStateMessageProtos], desc.get(), record) < 0) {
    return Status::Pending();
  }

  if (PyTuple_GET_SIZE(nested_records) != 0 || PyTuple_GET_SIZE(enum_records) != 0) {
    VELUM_ASSIGN_OR_RETURN(Ref nested_prefix, FullName(full_name.get(), d.dot.get()));
    VELUM_TRY(DeclareAll(s, nested_records, enum_records, nested_prefix.get(), desc.get(), features.get(),
                         nested_messages.get(), nested_enums.get(), unlisted, depth + 1));
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(extension_records); ++i) {
    Ref ext = Ref::steal(PyTuple_Pack(4, PyTuple_GET_ITEM(extension_records, i), s.file, desc.get(), features.get()));
    if (!ext || PyList_Append(s.state[kStateExtensionWork], ext.get()) < 0) return Status::Pending();
  }
  return desc;
}

PyObject* CallDeclarer(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  return Guard([&]() -> PyObject* {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (!ExactPositional("declarer()", nargs, 9, kwnames)) return nullptr;
    PyObject* state = args[0];
    if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) != kStateCount) {
      PyErr_SetString(PyExc_TypeError, "declarer() takes the batch's state tuple");
      return nullptr;
    }
    Scope s{*AsDeclarer(self), {}, args[5]};
    for (int i = 0; i < kStateCount; ++i) {
      PyObject* item = PyTuple_GET_ITEM(state, i);
      bool is_list = i == kStateMessageWork || i == kStateExtensionWork || i == kStateUnregistered;
      if (is_list ? !PyList_Check(item) : !PyDict_Check(item)) {
        PyErr_SetString(PyExc_TypeError, "declarer() takes the batch's state tuple");
        return nullptr;
      }
      s.state[i] = item;
    }
    if (!PyUnicode_Check(args[4]) || !PyList_Check(args[7]) || !PyList_Check(args[8])) {
      PyErr_SetString(PyExc_TypeError, "declarer() takes a str prefix and lists to fill");
      return nullptr;
    }
    Status status = DeclareAll(s, args[2], args[3], args[4], Py_None, args[6], args[7], args[8], false, 0);
    if (!status.ok()) return Raise(std::move(status));
    Py_RETURN_NONE;
  });
}

PyMemberDef kMembers[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(DeclarerObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Declares the messages and enums of loaded files.")},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, kMembers},
    {Py_tp_dealloc, reinterpret_cast<void*>(BoxDealloc<Declarer, AsDeclarer>)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "_velum_ext.Declarer",
    static_cast<int>(sizeof(DeclarerObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

Status ConfigError() { return Status(ErrorKind::kType, "_declarer() takes the runtime's configuration tuple"); }

// A (class, members) entry: the class and the offsets of its members' slots.
Status ConfigureRecord(Record& r, PyObject* config, int entry, Py_ssize_t members) {
  PyObject* item = PyTuple_GET_ITEM(config, entry);
  if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) return ConfigError();
  PyObject* cls = PyTuple_GET_ITEM(item, 0);
  PyObject* slots = PyTuple_GET_ITEM(item, 1);
  if (!PyType_Check(cls) || !PyTuple_Check(slots) || PyTuple_GET_SIZE(slots) != members) return ConfigError();
  r.cls = Ref::borrow(cls);
  for (Py_ssize_t i = 0; i < members; ++i) {
    VELUM_ASSIGN_OR_RETURN(r.slot[i], ReadSlotOffset(reinterpret_cast<PyTypeObject*>(cls),
                                                       PyTuple_GET_ITEM(slots, i), "_declarer()"));
  }
  return Status::Ok();
}

Status ConfigureCallables(Ref* out, PyObject* config, int entry, Py_ssize_t count) {
  PyObject* item = PyTuple_GET_ITEM(config, entry);
  if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != count) return ConfigError();
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!PyCallable_Check(PyTuple_GET_ITEM(item, i))) return ConfigError();
    out[i] = Ref::borrow(PyTuple_GET_ITEM(item, i));
  }
  return Status::Ok();
}

Result<Ref> Text(const char* text) {
  Ref made = Ref::steal(PyUnicode_InternFromString(text));
  if (!made) return Status::Pending();
  return made;
}

Status Configure(Declarer& d, PyObject* config) {
  if (!PyTuple_Check(config) || PyTuple_GET_SIZE(config) != kConfigCount) return ConfigError();
  VELUM_TRY(ConfigureRecord(d.message, config, kConfigMessageRecord, kMessageSlots));
  VELUM_TRY(ConfigureRecord(d.enum_record, config, kConfigEnumRecord, kEnumSlots));
  VELUM_TRY(ConfigureRecord(d.value, config, kConfigValueRecord, kValueSlots));
  VELUM_TRY(ConfigureRecord(d.message_options, config, kConfigMessageOptions, kMessageOptionSlots));
  VELUM_TRY(ConfigureRecord(d.enum_options, config, kConfigEnumOptions, 1));
  VELUM_TRY(ConfigureRecord(d.features, config, kConfigFeatures, 1));
  VELUM_TRY(ConfigureCallables(d.makers, config, kConfigMakers, kMakers));
  VELUM_TRY(ConfigureCallables(d.hooks, config, kConfigHooks, kHooks));
  PyObject* constants = PyTuple_GET_ITEM(config, kConfigConstants);
  if (!PyTuple_Check(constants) || PyTuple_GET_SIZE(constants) != 5) return ConfigError();
  d.unresolved = Ref::borrow(PyTuple_GET_ITEM(constants, 0));
  d.enum_type_open = Ref::borrow(PyTuple_GET_ITEM(constants, 1));
  d.create_message = Ref::borrow(PyTuple_GET_ITEM(constants, 2));
  d.create_enum = Ref::borrow(PyTuple_GET_ITEM(constants, 3));
  d.no_list = Ref::borrow(PyTuple_GET_ITEM(constants, 4));
  PyObject* keywords = PyTuple_GET_ITEM(config, kConfigKeywords);
  PyObject* reserved = PyTuple_GET_ITEM(config, kConfigReservedEnum);
  if (!PyFrozenSet_Check(keywords) || !PyFrozenSet_Check(reserved)) return ConfigError();
  d.keywords = Ref::borrow(keywords);
  d.reserved_enum = Ref::borrow(reserved);
  VELUM_TRY(d.taken.Enter(keywords));
  VELUM_TRY(d.taken.Enter(reserved));
  VELUM_ASSIGN_OR_RETURN(d.kind_message, Text("message"));
  VELUM_ASSIGN_OR_RETURN(d.kind_enum, Text("enum"));
  VELUM_ASSIGN_OR_RETURN(d.kind_value, Text("enum value"));
  VELUM_ASSIGN_OR_RETURN(d.dot, Text("."));
  return Status::Ok();
}

Result<Ref> NewDeclarer(PyObject* config) {
  VELUM_ASSIGN_OR_RETURN(PyTypeObject * type, ReadyType(g_type, kSpec));
  Ref obj = Ref::steal(type->tp_alloc(type, 0));
  if (!obj) return Status::Pending();
  auto* declarer = reinterpret_cast<DeclarerObject*>(obj.get());
  declarer->vectorcall = CallDeclarer;
  new (&declarer->declarer) Declarer();
  VELUM_TRY(Configure(declarer->declarer, config));
  return obj;
}

}  // namespace

PyObject* DeclarerFn(PyObject*, PyObject* const* argv, Py_ssize_t nargs) noexcept {
  return Guard([&]() -> PyObject* {
    if (!ExactPositional("_declarer()", nargs, 1)) return nullptr;
    Result<Ref> made = NewDeclarer(argv[0]);
    return ReturnNew(std::move(made));
  });
}

}  // namespace velum
