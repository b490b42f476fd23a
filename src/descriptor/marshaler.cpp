#include "descriptor/marshaler.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include <structmember.h>

#include "common/native_box.h"
#include "common/py_error.h"
#include "descriptor/enum_table.h"
#include "descriptor/field_names.h"
#include "descriptor/field_table.h"
#include "descriptor/message_handle.h"
#include "descriptor/name_index.h"

namespace velum {

namespace {

PyTypeObject* g_marshaler_type = nullptr;
PyTypeObject* g_member_type = nullptr;
WellKnownHooks g_well_known_hooks{nullptr, nullptr};

PyObject* OwnerOf(MessageHandle* handle) noexcept {
  return reinterpret_cast<PyObject*>(reinterpret_cast<char*>(handle) - offsetof(MessageHandleObject, handle));
}
PyObject* OwnerOf(EnumTable* table) noexcept {
  return reinterpret_cast<PyObject*>(reinterpret_cast<char*>(table) - offsetof(EnumTableObject, table));
}

int Marshaler_traverse(PyObject* self, visitproc visit, void* arg) {
  MessageMarshaler* m = AsMarshaler(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(m->message_class.get());
  Py_VISIT(m->fields_by_name.get());
  Py_VISIT(m->keywords.get());
  for (uint32_t i : m->traced_defaults) {
    const DefaultEntry& entry = m->defaults[i];
    if (entry.collectable) Py_VISIT(entry.value.get());
    Py_VISIT(entry.enum_table.get());
  }
  for (PyObject* owner : m->value_owners) Py_VISIT(owner);
  for (uint32_t i : m->enum_maps) Py_VISIT(m->fields[i].map_default_value.get());
  if (PyObject* companion = m->companion.get()) {
    if (int r = Py_TYPE(companion)->tp_traverse(companion, visit, arg)) return r;
  }
  return 0;
}

int Marshaler_clear(PyObject* self) {
  // Only the references that can close a cycle through the class are dropped;
  // the tables stay valid for any codec still holding a pointer.
  MessageMarshaler* m = AsMarshaler(self);
  m->message_class.reset();
  m->keywords.reset();
  m->fields_by_name.reset();
  m->companion.reset();
  return 0;
}

PyType_Slot kMarshalerSlots[] = {
    {Py_tp_doc, const_cast<char*>("Entrypoint to native marshaling code.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(BoxDealloc<MessageMarshaler, AsMarshaler>)},
    {Py_tp_traverse, reinterpret_cast<void*>(Marshaler_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Marshaler_clear)},
    {0, nullptr},
};

PyType_Spec kMarshalerSpec = {
    "_velum_ext.MessageMarshaler",
    sizeof(MarshalerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kMarshalerSlots,
};

FieldAccess* MemberAccess(PyObject* self) { return &reinterpret_cast<MemberObject*>(self)->access; }

PyType_Slot kMemberSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(BoxDealloc<FieldAccess, MemberAccess>)},
    {0, nullptr},
};

PyType_Spec kMemberSpec = {
    "_velum_ext.Member",
    sizeof(MemberObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kMemberSlots,
};

Result<Ref> NewMember(const FieldAccess& access, bool tracked, uint32_t bit) {
  VELUM_TRY(ReadyType(g_member_type, kMemberSpec).status());
  Ref obj = Ref::steal(g_member_type->tp_alloc(g_member_type, 0));
  if (!obj) return Status::Pending();
  auto* member = reinterpret_cast<MemberObject*>(obj.get());
  new (&member->access) FieldAccess(access);
  member->presence_tracked = tracked;
  member->presence_bit = bit;
  return obj;
}

Result<Ref> GetAttr(PyObject* obj, PyObject* name) {
  PyObject* value = PyObject_GetAttr(obj, name);
  if (value == nullptr) return Status::Pending();
  return Ref::steal(value);
}

Result<Ref> GetStrAttr(PyObject* obj, PyObject* name) {
  VELUM_ASSIGN_OR_RETURN(Ref value, GetAttr(obj, name));
  if (!PyUnicode_Check(value.get())) return FormatError(ErrorKind::kType, "%U cannot be converted to str", name);
  return value;
}

// A member of a loaded message, read from its slot when the runtime has
// resolved the message's fields (so no Python runs), else as the attribute.
Result<Ref> DescMember(const RuntimeNames& names, PyObject* desc, RawSlot slot, Name name) {
  PyObject** address = names.raw_address(desc, slot);
  PyObject** resolve = names.raw_address(desc, RawSlot::kMessageResolve);
  if (address != nullptr && *address != nullptr && resolve != nullptr && *resolve == Py_None) {
    return Ref::borrow(*address);
  }
  return GetAttr(desc, names.name(name));
}

// The class of a message: from its slot once it exists (a batch that is still
// initialising its classes need not run the runtime's creation hook again).
Result<Ref> DescClass(const RuntimeNames& names, PyObject* desc) {
  PyObject** address = names.raw_address(desc, RawSlot::kMessageType);
  if (address != nullptr && *address != nullptr && PyType_Check(*address)) return Ref::borrow(*address);
  return GetAttr(desc, names.name(Name::kType));
}

// The pair (key, value) of one `_defaults` item.
Status DefaultPair(PyObject* item, Ref& key, Ref& value) {
  if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
    key = Ref::borrow(PyTuple_GET_ITEM(item, 0));
    value = Ref::borrow(PyTuple_GET_ITEM(item, 1));
    return Status::Ok();
  }
  Ref zero = Ref::steal(PyLong_FromLong(0));
  Ref one = Ref::steal(PyLong_FromLong(1));
  if (!zero || !one) return Status::Pending();
  key = Ref::steal(PyObject_GetItem(item, zero.get()));
  if (!key) return Status::Pending();
  value = Ref::steal(PyObject_GetItem(item, one.get()));
  if (!value) return Status::Pending();
  return Status::Ok();
}

// The member `local_name` of a table whose members are filled, borrowed.
Result<PyObject*> MemberNamed(const EnumTable& table, PyObject* local_name) {
  for (const EnumValueEntry& entry : table.values) {
    if (entry.local_name.get() == local_name) return entry.member.get();
  }
  for (const EnumValueEntry& entry : table.values) {
    int cmp = PyUnicode_Compare(entry.local_name.get(), local_name);
    if (cmp == 0) return entry.member.get();
    if (cmp == -1 && PyErr_Occurred()) return Status::Pending();
  }
  return FormatError(ErrorKind::kAttribute, "%U", local_name);
}

// A default that is an enum's value named `local_name`: the member itself when
// the enum's class exists, else kept as the enum's table and the name until
// the class is made (FillLazyTables).
Status AddEnumDefaultOf(const RuntimeNames& names, MessageMarshaler& m, const FieldAccess& access, PyObject* enum_desc,
                        Ref local_name) {
  VELUM_ASSIGN_OR_RETURN(Ref table, GetEnumTable(names, enum_desc));
  DefaultEntry entry{access, Ref(), Ref(), Ref()};
  if (AsEnumTable(table.get())->members_gate.done()) {
    VELUM_ASSIGN_OR_RETURN(PyObject * member, MemberNamed(*AsEnumTable(table.get()), local_name.get()));
    entry.value = Ref::borrow(member);
    entry.collectable = PyObject_IS_GC(member) != 0;
  } else {
    entry.enum_table = std::move(table);
    entry.enum_member = std::move(local_name);
  }
  m.defaults.push_back(std::move(entry));
  return Status::Ok();
}

// A default that the runtime keeps as an EnumDefault (the enum's descriptor
// and the value's local name) until the enum class is made.
Status AddEnumDefault(const RuntimeNames& names, MessageMarshaler& m, const FieldAccess& access, PyObject* value) {
  Ref enum_desc = Ref::steal(PyObject_GetAttr(value, names.name(Name::kEnum)));
  if (!enum_desc) return Status::Pending();
  VELUM_ASSIGN_OR_RETURN(Ref local_name, GetStrAttr(value, names.name(Name::kLocalName)));
  return AddEnumDefaultOf(names, m, access, enum_desc.get(), std::move(local_name));
}

Result<uint32_t> ToFieldNumber(PyObject* value) {
  Ref index = Ref::steal(PyNumber_Index(value));
  if (!index) return Status::Pending();
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return Status::Pending();
  if (v > UINT32_MAX) return Status(ErrorKind::kOverflow, "field number out of range for an unsigned 32-bit integer");
  return static_cast<uint32_t>(v);
}

bool Utf8StartsWith(PyObject* text, const char* prefix) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return false;
  }
  size_t n = strlen(prefix);
  return static_cast<size_t>(size) >= n && memcmp(utf8, prefix, n) == 0;
}

Status AddJsonKey(MessageMarshaler& m, PyObject* key, uint32_t number) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
  if (utf8 == nullptr) return Status::Pending();
  m.json_keys[std::string_view(utf8, static_cast<size_t>(size))] = number;
  return Status::Ok();
}

// The key of member `name`; `number` is the field it names when known, else it is
// looked up.
Result<JsonMemberKey> MemberKey(const MessageMarshaler& m, PyObject* name, const uint32_t* number) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
  if (utf8 == nullptr) return Status::Pending();
  JsonMemberKey key{std::string_view(utf8, static_cast<size_t>(size)), name, nullptr};
  if (number == nullptr) number = FindIn(m.json_keys, key.text);
  if (number != nullptr) key.field = m.index.Find(*number);
  return key;
}

// Whether a byte of the eight in `w` is below ' ', beyond '~', '"' or '\\'.
bool AnyToEscape(uint64_t w) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHigh = 0x8080808080808080ULL;
  auto has_zero = [](uint64_t x) { return (x - kOnes) & ~x & kHigh; };
  uint64_t below_space = (w - kOnes * 0x20) & ~w & kHigh;
  uint64_t beyond_tilde = ((w + kOnes) | w) & kHigh;
  return (below_space | beyond_tilde | has_zero(w ^ (kOnes * '"')) | has_zero(w ^ (kOnes * '\\'))) != 0;
}

// `,"name":` when the name is printable ASCII with nothing JSON escapes (the
// names schemas use); otherwise `out` stays empty.
Status PrepareMemberKey(PyObject* name, RawString& out) {
  out.clear();
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
  if (utf8 == nullptr) return Status::Pending();
  Py_ssize_t i = 0;
  for (; i + 8 <= size; i += 8) {  // eight bytes a step: names run long
    uint64_t word = 0;
    memcpy(&word, utf8 + i, 8);
    if (AnyToEscape(word)) return Status::Ok();
  }
  for (; i < size; ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x20 || c > 0x7e || c == '"' || c == '\\') return Status::Ok();
  }
  try {
    out.reserve(static_cast<size_t>(size) + 4);
    out.append(",\"").append(utf8, static_cast<size_t>(size)).append("\":");
  } catch (const std::bad_alloc&) {
    return Status(ErrorKind::kMemory, "out of memory");
  }
  return Status::Ok();
}

// Fails as the JSON tables would for a name without UTF-8 (lone surrogates);
// an ASCII name always has it.
Status CheckUtf8(PyObject* name) {
  if (PyUnicode_IS_ASCII(name) || PyUnicode_AsUTF8AndSize(name, nullptr) != nullptr) return Status::Ok();
  return Status::Pending();
}

// A `str` member of a field descriptor.
Result<Ref> FieldStr(const RuntimeNames& names, PyObject* item, Name name) {
  VELUM_ASSIGN_OR_RETURN(Ref value, names.read(item, RuntimeClass::kDescField, name));
  if (!PyUnicode_Check(value.get())) {
    return FormatError(ErrorKind::kType, "%U cannot be converted to str", names.name(name));
  }
  return value;
}

// Where attribute `name` of `cls`'s instances lives. A generated class holds
// the member descriptors of its slots in its own dict, the first one the MRO
// searches: found there, the slot needs no walk of the MRO, and the member's
// name is the interned one the keyword table wants.
FieldAccess AccessOf(PyObject* cls, PyObject* name) {
  if (Py_IS_TYPE(cls, &PyType_Type) && PyUnicode_CheckExact(name)) {
    PyObject* dict = reinterpret_cast<PyTypeObject*>(cls)->tp_dict;
    PyObject* attr = dict != nullptr ? PyDict_GetItemWithError(dict, name) : nullptr;
    if (attr != nullptr && Py_IS_TYPE(attr, &PyMemberDescr_Type)) {
      const PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(attr)->d_member;
      if (member != nullptr && member->type == Py_T_OBJECT_EX && member->offset >= 0) {
        return FieldAccess(member->offset, PyDescr_NAME(attr));
      }
    }
    if (attr == nullptr && PyErr_Occurred()) PyErr_Clear();  // left to the general lookup
  }
  return LookupAccess(cls, name);
}

Status FinishField(PyObject* cls, FieldSpec& f);

Status ReadField(const RuntimeNames& names, PyObject* cls, PyObject* item, FieldSpec& f) {
  int is = names.is(item, RuntimeClass::kDescField) ? 1 : PyObject_IsInstance(item, names.cls(RuntimeClass::kDescField));
  if (is < 0) return Status::Pending();
  if (!is) return Status(ErrorKind::kValue, "invalid field descriptor");
  VELUM_ASSIGN_OR_RETURN(Ref number, names.read(item, RuntimeClass::kDescField, Name::kNumber));
  VELUM_ASSIGN_OR_RETURN(f.number, ToFieldNumber(number.get()));
  VELUM_ASSIGN_OR_RETURN(f.local_name, FieldStr(names, item, Name::kLocalName));
  VELUM_ASSIGN_OR_RETURN(f.name, FieldStr(names, item, Name::kName));
  VELUM_ASSIGN_OR_RETURN(f.json_name, FieldStr(names, item, Name::kJsonName));
  // The JSON tables use the names' UTF-8 only later, with the first instance:
  // a name that has none fails here, where it always did.
  VELUM_TRY(CheckUtf8(f.name.get()));
  VELUM_TRY(CheckUtf8(f.json_name.get()));
  VELUM_ASSIGN_OR_RETURN(Ref presence, names.read(item, RuntimeClass::kDescField, Name::kPresence));
  VELUM_ASSIGN_OR_RETURN(f.presence, ToPresence(presence.get()));
  VELUM_ASSIGN_OR_RETURN(Ref requires_presence, names.read(item, RuntimeClass::kDescField, Name::kRequiresPresence));
  if (!PyBool_Check(requires_presence.get())) {
    return Status(ErrorKind::kType, "_requires_presence cannot be converted to bool");
  }
  f.has_presence_bit = requires_presence.get() == Py_True;
  VELUM_ASSIGN_OR_RETURN(Ref value, names.read(item, RuntimeClass::kDescField, Name::kValue));
  VELUM_ASSIGN_OR_RETURN(f.kind, ClassifyFieldValue(names, value.get()));
  return FinishField(cls, f);
}

// What a field's entry derives from its number, kind and attribute name.
Status FinishField(PyObject* cls, FieldSpec& f) {
  f.wire_type = FieldWireType(f.kind);
  f.element_wire_type = ElementWireType(f.kind.value);
  f.tag = (f.number << 3) | f.wire_type;
  switch (f.kind.kind) {
    case ValueKind::kList:
      f.shape = FieldShape::kList;
      f.packable = IsPackable(f.kind.value);
      break;
    case ValueKind::kMap: {
      f.shape = FieldShape::kMap;
      f.element_wire_type = kWireLengthDelimited;
      // Map values are never group-encoded, whatever the element says.
      f.kind.value.delimited = false;
      f.map_key_tag = 8 | ScalarWireType(f.kind.map_key);
      f.map_value_tag = 16 | ElementWireType(f.kind.value);
      f.map_default_key = ScalarZeroValue(f.kind.map_key);
      if (!f.map_default_key) return Status::Pending();
      if (f.kind.value.tag == ElementTag::kScalar) {
        f.map_default_value = ScalarZeroValue(f.kind.value.scalar);
        if (!f.map_default_value) return Status::Pending();
      }  // an enum's default member is put in by FillLazyTables
      break;
    }
    default:
      f.shape = FieldShape::kSingular;
      break;
  }
  if (f.kind.value.tag == ElementTag::kMessage && f.kind.value.delimited) f.end_tag = (f.number << 3) | kWireEndGroup;
  f.access = AccessOf(cls, f.in_oneof() ? f.kind.oneof_name.get() : f.local_name.get());
  return Status::Ok();
}

// The well-known type a message would be by its name and shape alone; its file
// decides (WellKnownFile), read only for such a name.
WellKnownType WellKnownByName(const MessageMarshaler& m) {
  if (!Utf8StartsWith(m.full_name.get(), "google.protobuf.")) return WellKnownType::kNone;
  static constexpr struct {
    const char* name;
    WellKnownType kind;
  } kNames[] = {
      {"google.protobuf.Any", WellKnownType::kAny},
      {"google.protobuf.Value", WellKnownType::kValue},
      {"google.protobuf.Struct", WellKnownType::kStruct},
      {"google.protobuf.Duration", WellKnownType::kDuration},
      {"google.protobuf.Timestamp", WellKnownType::kTimestamp},
      {"google.protobuf.FieldMask", WellKnownType::kFieldMask},
      {"google.protobuf.ListValue", WellKnownType::kListValue},
  };
  for (const auto& entry : kNames) {
    if (PyUnicode_CompareWithASCIIString(m.full_name.get(), entry.name) == 0) return entry.kind;
  }
  if (m.fields.size() == 1 && m.fields[0].kind.kind == ValueKind::kScalar &&
      PyUnicode_CompareWithASCIIString(m.fields[0].local_name.get(), "value") == 0) {
    return WellKnownType::kWrapper;
  }
  return WellKnownType::kNone;
}

// Whether the message's file is one of the well-known types' own, keeping its
// name in `m.file_name`.
bool WellKnownFile(const RuntimeNames& names, PyObject* desc, MessageMarshaler& m) {
  Ref file = Ref::steal(PyObject_GetAttr(desc, names.name(Name::kFile)));
  if (file) {
    Ref file_name = Ref::steal(PyObject_GetAttr(file.get(), names.name(Name::kName)));
    if (file_name && PyUnicode_Check(file_name.get())) m.file_name = std::move(file_name);
  }
  PyErr_Clear();  // a descriptor without a file is simply not well-known
  return m.file_name && Utf8StartsWith(m.file_name.get(), "google/protobuf/");
}

bool UsesSlotsOnly(const MessageMarshaler& m) noexcept {
  for (const FieldSpec& f : m.fields) {
    if (!f.access.is_slot()) return false;
  }
  for (const DefaultEntry& entry : m.defaults) {
    if (!entry.access.is_slot()) return false;
  }
  for (const FieldAccess& access : m.list_fields) {
    if (!access.is_slot()) return false;
  }
  for (const FieldAccess& access : m.map_fields) {
    if (!access.is_slot()) return false;
  }
  return true;
}

// The attribute that holds field `f`: its own, or its oneof's.
PyObject* AttributeName(const FieldSpec& f) noexcept {
  return f.in_oneof() ? f.kind.oneof_name.get() : f.local_name.get();
}

// Fills the lists the traversal reads (see MessageMarshaler). A default whose
// enum member is filled in later keeps its enum table, so it is listed.
void ListTraced(MessageMarshaler& m) {
  // Sized first: one allocation a list, none for an empty one.
  size_t owners = 0;
  size_t maps = 0;
  size_t defaults = 0;
  for (const FieldSpec& field : m.fields) {
    if (field.kind.value.handle != nullptr) ++owners;
    if (field.kind.value.table != nullptr) ++owners;
    if (field.shape == FieldShape::kMap && field.kind.value.tag == ElementTag::kEnum) ++maps;
  }
  for (const DefaultEntry& entry : m.defaults) {
    if (entry.collectable || entry.enum_table) ++defaults;
  }
  m.value_owners.reserve(owners);
  m.enum_maps.reserve(maps);
  m.traced_defaults.reserve(defaults);
  for (size_t i = 0; i < m.fields.size(); ++i) {
    const FieldSpec& field = m.fields[i];
    if (field.kind.value.handle != nullptr) m.value_owners.push_back(OwnerOf(field.kind.value.handle));
    if (field.kind.value.table != nullptr) m.value_owners.push_back(OwnerOf(field.kind.value.table));
    if (field.shape == FieldShape::kMap && field.kind.value.tag == ElementTag::kEnum) {
      m.enum_maps.push_back(static_cast<uint32_t>(i));
    }
  }
  for (size_t i = 0; i < m.defaults.size(); ++i) {
    const DefaultEntry& entry = m.defaults[i];
    if (entry.collectable || entry.enum_table) m.traced_defaults.push_back(static_cast<uint32_t>(i));
  }
}

// The field table a loaded message holds when its class is made before its
// fields are read (field_table.h), or null: the marshaler is then built from
// it, and no field descriptor is made.
Ref TableOf(const RuntimeNames& names, PyObject* desc) {
  PyObject** resolve = names.raw_address(desc, RawSlot::kMessageResolve);
  if (resolve == nullptr || *resolve == nullptr || !IsFieldTable(*resolve)) return Ref();
  return Ref::borrow(*resolve);
}

Status ReadTableField(const RuntimeNames& names, PyObject* cls, const FieldTable& table, const TableField& e,
                      FieldSpec& f) {
  if (e.number >= 0) {
    f.number = static_cast<uint32_t>(e.number);
  } else {  // (refused when loading) fails as a field descriptor's would
    Ref number = Ref::steal(PyLong_FromLong(e.number));
    if (!number) return Status::Pending();
    VELUM_ASSIGN_OR_RETURN(f.number, ToFieldNumber(number.get()));
  }
  f.local_name = e.local_name.clone();
  f.name = e.name.clone();
  f.json_name = e.json_name.clone();  // null: made with the JSON tables
  VELUM_TRY(CheckUtf8(f.name.get()));
  if (f.json_name) VELUM_TRY(CheckUtf8(f.json_name.get()));
  f.presence = e.presence;
  f.has_presence_bit = e.tracked;
  Ref oneof = e.oneof < 0 ? Ref() : table.oneofs[static_cast<size_t>(e.oneof)].clone();
  VELUM_ASSIGN_OR_RETURN(f.kind,
                         ClassifyTarget(names, e.shape, e.target.get(), e.scalar, e.packed, e.delimited, std::move(oneof)));
  return FinishField(cls, f);
}

// The defaults as the resolver lists them: one a field outside a oneof (lists
// and maps get new empty ones), then None for each oneof.
Status ReadTableDefaults(const RuntimeNames& names, const FieldTable& table, MessageMarshaler& m) {
  m.defaults.reserve(table.fields.size() + m.oneofs.size());
  for (size_t i = 0; i < table.fields.size(); ++i) {
    const TableField& e = table.fields[i];
    if (e.oneof >= 0) continue;
    const FieldAccess& access = m.fields[i].access;
    switch (e.shape) {
      case ValueKind::kList:
        m.list_fields.push_back(access);
        break;
      case ValueKind::kMap:
        m.map_fields.push_back(access);
        break;
      case ValueKind::kEnum:
        VELUM_TRY(AddEnumDefaultOf(names, m, access, e.target.get(), e.enum_default.clone()));
        break;
      default: {
        const bool collectable = PyObject_IS_GC(e.default_value.get()) != 0;
        m.defaults.push_back(DefaultEntry{access, e.default_value.clone(), Ref(), Ref(), collectable});
        break;
      }
    }
  }
  for (const OneofEntry& oneof : m.oneofs) {
    m.defaults.push_back(DefaultEntry{oneof.access, Ref::borrow(Py_None), Ref(), Ref(), false});
  }
  return Status::Ok();
}

// The local name of every field, as the container a stored Oneof's `field`
// must be in: a dict of names to None, which the collector does not track.
Result<Ref> FieldNameKeys(const MessageMarshaler& m) {
  Ref keys = Ref::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(m.fields.size())));
  if (!keys) return Status::Pending();
  for (const FieldSpec& f : m.fields) {
    if (PyDict_SetItem(keys.get(), f.local_name.get(), Py_None) < 0) return Status::Pending();
  }
  return keys;
}

Status BuildTables(const RuntimeNames& names, PyObject* desc, MessageMarshaler& m) {
  VELUM_ASSIGN_OR_RETURN(m.message_class, DescClass(names, desc));
  if (!PyType_Check(m.message_class.get())) return Status(ErrorKind::kType, "DescMessage.type cannot be converted to a type");
  PyObject* cls = m.message_class.get();
  VELUM_ASSIGN_OR_RETURN(m.full_name, names.read(desc, RuntimeClass::kDescMessage, Name::kTypeName));
  if (!PyUnicode_Check(m.full_name.get())) {
    return FormatError(ErrorKind::kType, "%U cannot be converted to str", names.name(Name::kTypeName));
  }
  m.names = &names;

  const Ref table_ref = TableOf(names, desc);
  const FieldTable* table = table_ref ? &AsFieldTable(table_ref.get()) : nullptr;
  if (table != nullptr) {
    m.fields.reserve(table->fields.size());
    for (const TableField& e : table->fields) VELUM_TRY(ReadTableField(names, cls, *table, e, m.fields.emplace_back()));
  } else {
    VELUM_ASSIGN_OR_RETURN(Ref fields, DescMember(names, desc, RawSlot::kMessageFields, Name::kFields));
    if (!PyList_Check(fields.get())) return Status(ErrorKind::kType, "DescMessage.fields cannot be converted to list");
    Py_ssize_t count = PyList_GET_SIZE(fields.get());
    m.fields.reserve(static_cast<size_t>(count));
    // The list may shrink while Python code runs during classification.
    for (Py_ssize_t i = 0; i < count && i < PyList_GET_SIZE(fields.get()); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(fields.get(), i));
      // Read in place (the room is reserved); on failure the marshaler is dropped whole.
      VELUM_TRY(ReadField(names, cls, item.get(), m.fields.emplace_back()));
    }
  }

  uint32_t max_number = 0;
  for (const FieldSpec& f : m.fields) max_number = std::max(max_number, f.number);
  m.highest_number = max_number;
  size_t n = m.fields.size();
  bool sparse = max_number > 16 && 5 * static_cast<uint64_t>(n) < 4 * (static_cast<uint64_t>(max_number) + 1);
  if (!sparse) m.index.InitDense(max_number);
  for (const FieldSpec& f : m.fields) m.index.Put(f.number, &f);
  // Of two fields with one number the later is decoded; the decoder's guess of
  // the next field in table order must not land on the earlier one.
  for (FieldSpec& f : m.fields) f.shadowed = m.index.Find(f.number) != &f;
  m.encode_plan = PlanEncoding(m.fields);

  if (table != nullptr) {
    // Only a stored Oneof is checked against it: a message without oneofs needs none.
    if (!table->oneofs.empty()) {
      VELUM_ASSIGN_OR_RETURN(m.fields_by_name, FieldNameKeys(m));
    }
    m.oneofs.reserve(table->oneofs.size());
    for (const Ref& local : table->oneofs) m.oneofs.push_back(OneofEntry{local.clone(), AccessOf(cls, local.get())});
  } else {
    VELUM_ASSIGN_OR_RETURN(m.fields_by_name,
                           DescMember(names, desc, RawSlot::kMessageFieldsByName, Name::kFieldsByName));

    VELUM_ASSIGN_OR_RETURN(Ref oneofs,
                           DescMember(names, desc, RawSlot::kMessageOneofsByLocalName, Name::kOneofsByLocalName));
    if (!PyDict_Check(oneofs.get())) {
      return Status(ErrorKind::kType, "_oneofs_by_local_name cannot be converted to dict");
    }
    {
      PyObject* key = nullptr;
      PyObject* value = nullptr;
      Py_ssize_t pos = 0;
      while (PyDict_Next(oneofs.get(), &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) return Status(ErrorKind::kType, "oneof local name cannot be converted to str");
        m.oneofs.push_back(OneofEntry{Ref::borrow(key), AccessOf(cls, key)});
      }
    }
  }

  // Attribute list in field order; a oneof appears once, at its first member.
  // `latest` holds what the keyword table will hold for each attribute (made
  // with the first instance, FillLazyTables): the entry of its last field. Only
  // the defaults read from the descriptors need it, to find their attributes.
  NameIndex attribute_index(m.fields.size() + m.oneofs.size());
  RawVector<AttributeEntry> latest;
  const bool keep_latest = table == nullptr;
  m.attributes.reserve(m.fields.size() + m.oneofs.size());
  if (keep_latest) latest.reserve(m.fields.size() + m.oneofs.size());
  for (const FieldSpec& f : m.fields) {
    VELUM_ASSIGN_OR_RETURN(size_t at, attribute_index.FindOrAdd(AttributeName(f), m.attributes.size()));
    if (at == m.attributes.size()) {
      m.attributes.push_back(
          AttributeEntry{f.access, f.has_presence_bit && !f.in_oneof(), f.number, f.in_oneof() ? nullptr : &f});
      if (keep_latest) latest.push_back(m.attributes.back());
    } else if (keep_latest) {
      latest[at] = AttributeEntry{f.access, f.has_presence_bit && !f.in_oneof(), f.number, f.in_oneof() ? nullptr : &f};
    }
  }
  for (const OneofEntry& oneof : m.oneofs) {
    VELUM_ASSIGN_OR_RETURN(size_t at, attribute_index.FindOrAdd(oneof.local_name.get(), m.attributes.size()));
    if (at != m.attributes.size()) continue;
    m.attributes.push_back(AttributeEntry{oneof.access, false, 0});
    if (keep_latest) latest.push_back(m.attributes.back());
  }

  if (table != nullptr) {
    VELUM_TRY(ReadTableDefaults(names, *table, m));
  } else {
    // Read from the slot, enum members may still be EnumDefault placeholders
    // (the attribute would make their classes); they wait for FillLazyTables.
    VELUM_ASSIGN_OR_RETURN(Ref defaults, DescMember(names, desc, RawSlot::kMessageDefaults, Name::kDefaults));
    if (!PyList_Check(defaults.get())) return Status(ErrorKind::kType, "_defaults cannot be converted to list");
    PyObject* placeholder = names.enum_default_class.get();
    m.defaults.reserve(static_cast<size_t>(PyList_GET_SIZE(defaults.get())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(defaults.get()); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(defaults.get(), i));
      Ref key;
      Ref value;
      VELUM_TRY(DefaultPair(item.get(), key, value));
      // The runtime lists one default per attribute, in the attribute list's
      // order and under the very name objects of the fields: the entry at the
      // same place is tried before the keyword table (whose entry for an equal
      // name has the same access).
      const FieldAccess* access = nullptr;
      if (static_cast<size_t>(i) < m.attributes.size()) {
        const AttributeEntry& at = m.attributes[static_cast<size_t>(i)];
        if (key.get() == at.access.name() || (at.field != nullptr && key.get() == at.field->local_name.get())) {
          access = &at.access;
        }
      }
      if (access == nullptr) {
        VELUM_ASSIGN_OR_RETURN(const size_t* at, attribute_index.Find(key.get()));
        if (at == nullptr) return FormatError(ErrorKind::kKey, "default value specified for unknown field %S", key.get());
        access = &latest[*at].access;
      }
      // A list field's default is a list, or the empty tuple while the runtime has
      // not made it (see DescField.default).
      if (PyList_Check(value.get()) || (PyTuple_CheckExact(value.get()) && PyTuple_GET_SIZE(value.get()) == 0)) {
        m.list_fields.push_back(*access);
      } else if (PyDict_Check(value.get())) {
        m.map_fields.push_back(*access);
      } else if (placeholder != nullptr && Py_TYPE(value.get()) == reinterpret_cast<PyTypeObject*>(placeholder)) {
        VELUM_TRY(AddEnumDefault(names, m, *access, value.get()));
      } else {
        const bool collectable = PyObject_IS_GC(value.get()) != 0;
        m.defaults.push_back(DefaultEntry{*access, std::move(value), Ref(), Ref(), collectable});
      }
    }
  }

  // Only a type with a well-known name can be well-known: its file is read then.
  WellKnownType kind = WellKnownByName(m);
  if (kind != WellKnownType::kNone && !WellKnownFile(names, desc, m)) kind = WellKnownType::kNone;
  if (kind != WellKnownType::kNone && g_well_known_hooks.build != nullptr) {
    VELUM_ASSIGN_OR_RETURN(WellKnownRecord * record, g_well_known_hooks.build(m, kind));
    m.well_known_record.reset(record);
    if (record != nullptr) m.well_known = kind;
  }
  m.slot_storage = UsesSlotsOnly(m);
  ListTraced(m);
  return Status::Ok();
}

// The keyword table of `__init__` and `__setattr__`: each attribute name, interned
// like the identifiers of calling code so that look-ups match by identity, to
// the member of its last field (a oneof's own entry when no field took its name).
Result<Ref> BuildKeywords(const MessageMarshaler& m) {
  Ref keywords = Ref::steal(PyDict_New());
  if (!keywords) return Status::Pending();
  for (const FieldSpec& f : m.fields) {
    PyObject* key = Py_NewRef(AttributeName(f));
    PyUnicode_InternInPlace(&key);
    Ref key_ref = Ref::steal(key);
    VELUM_ASSIGN_OR_RETURN(Ref member, NewMember(f.access, f.has_presence_bit && !f.in_oneof(), f.number));
    if (PyDict_SetItem(keywords.get(), key, member.get()) < 0) return Status::Pending();
  }
  for (const OneofEntry& oneof : m.oneofs) {
    const int seen = PyDict_Contains(keywords.get(), oneof.local_name.get());
    if (seen < 0) return Status::Pending();
    if (seen) continue;
    VELUM_ASSIGN_OR_RETURN(Ref member, NewMember(oneof.access, false, 0));
    if (PyDict_SetItem(keywords.get(), oneof.local_name.get(), member.get()) < 0) return Status::Pending();
  }
  return keywords;
}

// The JSON writer's prepared member keys and the reader's key map and member
// guesses, from the fields read by BuildTables.
Status BuildJsonTables(MessageMarshaler& m) {
  for (FieldSpec& f : m.fields) {
    // A JSON name left out when the class was made from a field table is the
    // one derived from the (ASCII) name.
    if (!f.json_name) {
      VELUM_ASSIGN_OR_RETURN(f.json_name, JsonName(f.name.get(), Py_None));
    }
    VELUM_TRY(PrepareMemberKey(f.name.get(), f.proto_key));
    VELUM_TRY(PrepareMemberKey(f.json_name.get(), f.json_key));
  }
  // Most fields have one-word names, whose JSON name is the name itself: one
  // entry and one lookup serve both.
  RawVector<bool> same_names;
  same_names.reserve(m.fields.size());
  m.json_keys.reserve(m.fields.size());
  size_t added = 0;
  for (const FieldSpec& f : m.fields) {
    int same = f.json_name.get() == f.name.get() ? 1 : PyUnicode_Compare(f.json_name.get(), f.name.get()) == 0;
    if (PyErr_Occurred()) return Status::Pending();
    same_names.push_back(same != 0);
    VELUM_TRY(AddJsonKey(m, f.name.get(), f.number));
    if (!same) VELUM_TRY(AddJsonKey(m, f.json_name.get(), f.number));
    added += same ? 1 : 2;
  }
  // With no name given twice, each name is its own field's: no lookup needed.
  const bool distinct = m.json_keys.size() == added;
  // Resolved once the map is complete: a later equal name replaces an earlier one.
  m.json_members.reserve(m.fields.size());
  for (size_t i = 0; i < m.fields.size(); ++i) {
    const FieldSpec& f = m.fields[i];
    const uint32_t* number = distinct ? &f.number : nullptr;
    VELUM_ASSIGN_OR_RETURN(JsonMemberKey proto, MemberKey(m, f.name.get(), number));
    JsonMemberKey json = proto;
    json.str = f.json_name.get();
    if (!same_names[i]) {
      VELUM_ASSIGN_OR_RETURN(json, MemberKey(m, f.json_name.get(), number));
    }
    m.json_members.push_back(JsonMemberNames{json, proto});
  }
  return Status::Ok();
}

}  // namespace

void CompanionRef::adopt(PyObject* companion) noexcept {
  reset();
  p_ = Py_NewRef(companion);
  PyObject_GC_UnTrack(companion);
}

void CompanionRef::reset() noexcept {
  PyObject* old = std::exchange(p_, nullptr);
  if (old == nullptr) return;
  if (Py_REFCNT(old) > 1 && !PyObject_GC_IsTracked(old)) PyObject_GC_Track(old);
  Py_DECREF(old);
}

void AdoptCompanion(PyObject* marshaler, PyObject* companion) noexcept {
  AsMarshaler(marshaler)->companion.adopt(companion);
}

void WellKnownRecordRelease::operator()(WellKnownRecord* record) const noexcept {
  if (record != nullptr && g_well_known_hooks.release != nullptr) g_well_known_hooks.release(record);
}

void SetWellKnownHooks(const WellKnownHooks& hooks) noexcept { g_well_known_hooks = hooks; }

Status ReadyMarshalerTypes() {
  return ReadyType(g_marshaler_type, kMarshalerSpec).status();
}

PyTypeObject* MarshalerType() noexcept { return g_marshaler_type; }

bool IsMarshaler(PyObject* obj) noexcept { return g_marshaler_type != nullptr && Py_IS_TYPE(obj, g_marshaler_type); }

Result<Ref> BuildMarshaler(const RuntimeNames& names, PyObject* desc) {
  VELUM_TRY(ReadyMarshalerTypes());
  Ref obj = Ref::steal(g_marshaler_type->tp_alloc(g_marshaler_type, 0));
  if (!obj) return Status::Pending();
  new (AsMarshaler(obj.get())) MessageMarshaler();
  VELUM_TRY(BuildTables(names, desc, *AsMarshaler(obj.get())));
  return obj;
}

Result<Ref> MarshalerObjectOfClass(const RuntimeNames& names, PyObject* cls) {
  Ref obj = Ref::steal(PyObject_GetAttr(cls, names.name(Name::kExtMarshaler)));
  if (!obj) return Status::Pending();
  if (!IsMarshaler(obj.get())) return Status(ErrorKind::kType, "_ext_marshaler cannot be converted to MessageMarshaler");
  return obj;
}

Status FillLazyTables(const MessageMarshaler& shared) {
  // The marshaler is immutable once published, except for what this once-step
  // writes; no instance exists before it has succeeded, and codecs reach these
  // members only through instances.
  auto& m = const_cast<MessageMarshaler&>(shared);
  return m.lazy_gate.Run([&]() -> Status {
    for (FieldSpec& f : m.fields) {
      if (f.kind.value.tag != ElementTag::kEnum) continue;
      VELUM_TRY(EnsureMembers(*m.names, f.kind.value.table));
      if (f.shape == FieldShape::kMap) f.map_default_value = f.kind.value.table->default_value.clone();
    }
    for (DefaultEntry& entry : m.defaults) {
      if (!entry.enum_table) continue;
      EnumTable* table = AsEnumTable(entry.enum_table.get());
      VELUM_TRY(EnsureMembers(*m.names, table));
      VELUM_ASSIGN_OR_RETURN(PyObject * member, MemberNamed(*table, entry.enum_member.get()));
      entry.value = Ref::borrow(member);
      entry.collectable = PyObject_IS_GC(member) != 0;
    }
    // A failure above leaves the gate open: the tables are made afresh.
    VELUM_ASSIGN_OR_RETURN(m.keywords, BuildKeywords(m));
    m.json_keys.clear();
    m.json_members.clear();
    VELUM_TRY(BuildJsonTables(m));
    m.lazy_ready.store(true, std::memory_order_release);
    return Status::Ok();
  });
}

Status InitDefaults(const MessageMarshaler& m, PyObject* instance) {
  for (const DefaultEntry& entry : m.defaults) VELUM_TRY(WriteField(instance, entry.access, entry.value.get()));
  for (const FieldAccess& access : m.list_fields) {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return Status::Pending();
    VELUM_TRY(WriteFieldSteal(instance, access, std::move(list)));
  }
  for (const FieldAccess& access : m.map_fields) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return Status::Pending();
    VELUM_TRY(WriteFieldSteal(instance, access, std::move(dict)));
  }
  return Status::Ok();
}

}  // namespace velum
