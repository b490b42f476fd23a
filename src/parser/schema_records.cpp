#include "parser/schema_records.h"

#include <cstdint>
#include <cstring>
#include <iterator>

#include "common/limits.h"
#include "common/py_error.h"
#include "common/raw_alloc.h"
#include "common/status.h"
#include "common/utf8_text.h"
#include "descriptor/field_view.h"
#include "descriptor/text_cache.h"
#include "field_ops/scalar_convert.h"
#include "parser/wire_reader.h"

namespace velum {

namespace {

// The descriptor messages read, and what is read of each: the fields building
// descriptors needs; every other field is skipped.
enum Kind : int8_t {
  kFile,
  kMessage,
  kField,
  kOneof,
  kEnum,
  kEnumValue,
  kFileOptions,
  kMessageOptions,
  kFieldOptions,
  kOneofOptions,
  kEnumOptions,
  kFeatureSet,
  kKinds,
  kNoKind = -1,
};

// kFieldViews: a message's field records, kept as bytes (see the header).
enum class Read : uint8_t { kText, kInt32, kBool, kRecord, kRecords, kTexts, kFieldViews };
// What an attribute holds when its field is not on the wire.
enum class Absent : uint8_t { kEmptyText, kZero, kOne, kNone, kFalse, kEmpty };

struct Member {
  uint32_t number;
  const char* name;
  Read read;
  Absent absent;
  Kind record;  // for kRecord and kRecords
};

constexpr Member kFileMembers[] = {
    {1, "name", Read::kText, Absent::kEmptyText, kNoKind},
    {2, "package", Read::kText, Absent::kEmptyText, kNoKind},
    {3, "dependencies", Read::kTexts, Absent::kEmpty, kNoKind},
    {4, "messages", Read::kRecords, Absent::kEmpty, kMessage},
    {5, "enums", Read::kRecords, Absent::kEmpty, kEnum},
    {7, "extensions", Read::kRecords, Absent::kEmpty, kField},
    {8, "options", Read::kRecord, Absent::kNone, kFileOptions},
    {12, "syntax", Read::kText, Absent::kEmptyText, kNoKind},
    {14, "edition", Read::kInt32, Absent::kZero, kNoKind},
};
constexpr Member kMessageMembers[] = {
    {1, "name", Read::kText, Absent::kEmptyText, kNoKind},
    {2, "fields", Read::kFieldViews, Absent::kEmpty, kField},
    {3, "nested_types", Read::kRecords, Absent::kEmpty, kMessage},
    {4, "enum_types", Read::kRecords, Absent::kEmpty, kEnum},
    {6, "extensions", Read::kRecords, Absent::kEmpty, kField},
    {7, "options", Read::kRecord, Absent::kNone, kMessageOptions},
    {8, "oneofs", Read::kRecords, Absent::kEmpty, kOneof},
};
constexpr Member kFieldMembers[] = {
    {1, "name", Read::kText, Absent::kEmptyText, kNoKind},
    {2, "extendee", Read::kText, Absent::kEmptyText, kNoKind},
    {3, "number", Read::kInt32, Absent::kZero, kNoKind},
    {4, "label", Read::kInt32, Absent::kOne, kNoKind},  // LABEL_OPTIONAL
    {5, "type", Read::kInt32, Absent::kZero, kNoKind},
    {6, "type_name", Read::kText, Absent::kEmptyText, kNoKind},
    {7, "default_value", Read::kText, Absent::kNone, kNoKind},
    {8, "options", Read::kRecord, Absent::kNone, kFieldOptions},
    {9, "oneof_index", Read::kInt32, Absent::kNone, kNoKind},
    {10, "json_name", Read::kText, Absent::kNone, kNoKind},
    {17, "proto3_optional", Read::kBool, Absent::kFalse, kNoKind},
};
constexpr Member kOneofMembers[] = {
    {1, "name", Read::kText, Absent::kEmptyText, kNoKind},
    {2, "options", Read::kRecord, Absent::kNone, kOneofOptions},
};
constexpr Member kEnumMembers[] = {
    {1, "name", Read::kText, Absent::kEmptyText, kNoKind},
    {2, "values", Read::kRecords, Absent::kEmpty, kEnumValue},
    {3, "options", Read::kRecord, Absent::kNone, kEnumOptions},
};
constexpr Member kEnumValueMembers[] = {
    {1, "name", Read::kText, Absent::kEmptyText, kNoKind},
    {2, "number", Read::kInt32, Absent::kZero, kNoKind},
};
constexpr Member kFileOptionsMembers[] = {{50, "features", Read::kRecord, Absent::kNone, kFeatureSet}};
constexpr Member kMessageOptionsMembers[] = {
    {7, "map_entry", Read::kBool, Absent::kFalse, kNoKind},
    {12, "features", Read::kRecord, Absent::kNone, kFeatureSet},
};
constexpr Member kFieldOptionsMembers[] = {
    {2, "packed", Read::kBool, Absent::kNone, kNoKind},
    {21, "features", Read::kRecord, Absent::kNone, kFeatureSet},
};
constexpr Member kOneofOptionsMembers[] = {{1, "features", Read::kRecord, Absent::kNone, kFeatureSet}};
constexpr Member kEnumOptionsMembers[] = {{7, "features", Read::kRecord, Absent::kNone, kFeatureSet}};
// The resolvable features; 0 means "not set here".
constexpr Member kFeatureSetMembers[] = {
    {1, "field_presence", Read::kInt32, Absent::kZero, kNoKind},
    {2, "enum_type", Read::kInt32, Absent::kZero, kNoKind},
    {3, "repeated_field_encoding", Read::kInt32, Absent::kZero, kNoKind},
    {4, "utf8_validation", Read::kInt32, Absent::kZero, kNoKind},
    {5, "message_encoding", Read::kInt32, Absent::kZero, kNoKind},
    {6, "json_format", Read::kInt32, Absent::kZero, kNoKind},
};

struct KindDef {
  const char* name;       // the descriptor message's
  const char* type_name;  // the record type's
  const Member* members;
  int count;
};

template <size_t N>
constexpr KindDef Def(const char* name, const char* type_name, const Member (&members)[N]) {
  return {name, type_name, members, static_cast<int>(N)};
}

constexpr KindDef kKindDefs[kKinds] = {
    Def("FileDescriptorProto", "_velum_ext.FileDescriptorProto", kFileMembers),
    Def("DescriptorProto", "_velum_ext.DescriptorProto", kMessageMembers),
    Def("FieldDescriptorProto", "_velum_ext.FieldDescriptorProto", kFieldMembers),
    Def("OneofDescriptorProto", "_velum_ext.OneofDescriptorProto", kOneofMembers),
    Def("EnumDescriptorProto", "_velum_ext.EnumDescriptorProto", kEnumMembers),
    Def("EnumValueDescriptorProto", "_velum_ext.EnumValueDescriptorProto", kEnumValueMembers),
    Def("FileOptions", "_velum_ext.FileOptions", kFileOptionsMembers),
    Def("MessageOptions", "_velum_ext.MessageOptions", kMessageOptionsMembers),
    Def("FieldOptions", "_velum_ext.FieldOptions", kFieldOptionsMembers),
    Def("OneofOptions", "_velum_ext.OneofOptions", kOneofOptionsMembers),
    Def("EnumOptions", "_velum_ext.EnumOptions", kEnumOptionsMembers),
    Def("FeatureSet", "_velum_ext.FeatureSet", kFeatureSetMembers),
};

constexpr int kMaxMembers = 11;
constexpr uint32_t kMaxNumber = 50;

constexpr bool FitsTables() {
  for (const KindDef& def : kKindDefs) {
    if (def.count > kMaxMembers) return false;
    for (int i = 0; i < def.count; ++i) {
      if (def.members[i].number == 0 || def.members[i].number > kMaxNumber) return false;
    }
  }
  return true;
}
static_assert(FitsTables());

// A message record keeps its fields' bytes in two slots after its members: the
// file's bytes and its FieldViews (in a bytes object); `fields` reads them into
// records on first use.
constexpr int kHiddenSlots = 2;

struct RecordObject {
  PyObject_HEAD
  PyObject* slots[kMaxMembers + kHiddenSlots];  // the first `count` (+ hidden) of the kind are allocated
};

constexpr Py_ssize_t SlotOffset(int i) {
  return static_cast<Py_ssize_t>(offsetof(RecordObject, slots) + sizeof(PyObject*) * static_cast<size_t>(i));
}

// A kind's type, made on first use, and how its fields are found.
struct KindType {
  PyTypeObject* type;
  int count;
  int slot_count;  // count and, for messages, the hidden slots
  int views = -1;  // the index of the kFieldViews member, if any
  // By one-byte tag: 1 + the index of the member the tag is for (its number and
  // its wire type), 0 for any other tag.
  uint8_t by_tag[128];
  int8_t by_number[kMaxNumber + 1];  // member index, -1 for a field not read
  int repeated_count;
  int8_t repeated[kMaxMembers];  // the indexes of the repeated members
  PyMemberDef members[kMaxMembers + kHiddenSlots + 1];
  PyGetSetDef getset[2];
  PyType_Slot slots[5];
  PyType_Spec type_def;
};

constexpr bool IsVarint(Read read) { return read == Read::kInt32 || read == Read::kBool; }
constexpr bool IsRepeated(Read read) { return read == Read::kRecords || read == Read::kTexts; }

PyObject* FieldsGetter(PyObject* self, void* closure) noexcept;

KindType g_kinds[kKinds];
// The values of absent fields, by Absent (kEmpty: the empty tuple).
PyObject* g_absent[6];

void RecordDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // (every slot, hidden ones included)
  auto count = (type->tp_basicsize - SlotOffset(0)) / static_cast<Py_ssize_t>(sizeof(PyObject*));
  auto* record = reinterpret_cast<RecordObject*>(self);
  for (Py_ssize_t i = 0; i < count; ++i) Py_XDECREF(record->slots[i]);
  PyObject_Free(self);
  Py_DECREF(type);
}

Status ReadyKinds() {
  if (g_kinds[kKinds - 1].type != nullptr) return Status::Ok();
  if (g_absent[0] == nullptr) {
    PyObject* absent[] = {PyUnicode_New(0, 0), PyLong_FromLong(0), PyLong_FromLong(1),
                          Py_NewRef(Py_None), Py_NewRef(Py_False), PyTuple_New(0)};
    for (PyObject* value : absent) {
      if (value == nullptr) {
        for (PyObject* made : absent) Py_XDECREF(made);
        return Status::Pending();
      }
    }
    std::memcpy(g_absent, absent, sizeof(absent));
  }
  for (int k = 0; k < kKinds; ++k) {
    KindType& t = g_kinds[k];
    if (t.type != nullptr) continue;
    const KindDef& def = kKindDefs[k];
    std::memset(t.by_number, -1, sizeof(t.by_number));
    std::memset(t.by_tag, 0, sizeof(t.by_tag));
    t.count = def.count;
    t.slot_count = def.count;
    t.repeated_count = 0;
    int member_count = 0;
    for (int i = 0; i < def.count; ++i) {
      const Member& m = def.members[i];
      if (m.read == Read::kFieldViews) {
        t.views = i;
        t.getset[0] = {m.name, FieldsGetter, nullptr, nullptr, nullptr};
      } else {
        t.members[member_count++] = {m.name, Py_T_OBJECT_EX, SlotOffset(i), Py_READONLY, nullptr};
      }
      t.by_number[m.number] = static_cast<int8_t>(i);
      const uint32_t tag = m.number << 3 | (IsVarint(m.read) ? 0u : 2u);
      if (tag < 128) t.by_tag[tag] = static_cast<uint8_t>(i + 1);
      if (IsRepeated(m.read)) t.repeated[t.repeated_count++] = static_cast<int8_t>(i);
    }
    int slot = 0;
    t.slots[slot++] = {Py_tp_dealloc, reinterpret_cast<void*>(RecordDealloc)};
    t.slots[slot++] = {Py_tp_doc, const_cast<char*>("A descriptor record read by schema loading.")};
    if (t.views >= 0) {
      // The hidden slots, read by the load-time check (by offset) and `fields`.
      t.members[member_count++] = {"_source", Py_T_OBJECT_EX, SlotOffset(def.count), Py_READONLY, nullptr};
      t.members[member_count++] = {"_field_views", Py_T_OBJECT_EX, SlotOffset(def.count + 1), Py_READONLY, nullptr};
      t.slot_count += kHiddenSlots;
      t.getset[1] = {nullptr, nullptr, nullptr, nullptr, nullptr};
      t.slots[slot++] = {Py_tp_getset, t.getset};
    }
    t.members[member_count] = {nullptr, 0, 0, 0, nullptr};
    t.slots[slot++] = {Py_tp_members, t.members};
    t.slots[slot] = {0, nullptr};
    t.type_def = {def.type_name, static_cast<int>(SlotOffset(t.slot_count)), 0,
              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, t.slots};
    PyObject* type = PyType_FromSpec(&t.type_def);
    if (type == nullptr) return Status::Pending();
    t.type = reinterpret_cast<PyTypeObject*>(type);
  }
  return Status::Ok();
}

// Reading ---------------------------------------------------------------------

// A repeated field's item while its record is read: owned, slot `slot`.
struct Item {
  int slot;
  PyObject* value;
};

// The items of the records being read, innermost last (a record takes its own,
// those after its mark, when it is done), the field views of the messages
// being read (the same way), and the text made so far. `source` is the bytes
// read, `start` their first byte.
struct Pending {
  Pending(TextCache& cache, PyObject* source_bytes, const uint8_t* first)
      : texts(cache), source(source_bytes), start(first) {}
  RawVector<Item> items;
  RawVector<FieldView> views;
  TextCache& texts;
  PyObject* source;  // borrowed
  const uint8_t* start;
};

// Releases the items after `mark` that no record took (on failure or bailing out).
class PendingMark {
 public:
  explicit PendingMark(Pending& pending) : pending_(pending), mark_(pending.items.size()) {}
  PendingMark(const PendingMark&) = delete;
  PendingMark& operator=(const PendingMark&) = delete;
  ~PendingMark() {
    for (size_t i = mark_; i < pending_.items.size(); ++i) Py_DECREF(pending_.items[i].value);
    pending_.items.resize(mark_);
  }
  size_t mark() const { return mark_; }

 private:
  Pending& pending_;
  size_t mark_;
};

// A record with every slot empty; null (with MemoryError) when out of memory.
PyObject* NewRecord(const KindType& t) {
  auto* obj = static_cast<PyObject*>(PyObject_Malloc(static_cast<size_t>(SlotOffset(t.slot_count))));
  if (obj == nullptr) return PyErr_NoMemory();
  PyObject_Init(obj, t.type);
  auto* record = reinterpret_cast<RecordObject*>(obj);
  for (int i = 0; i < t.slot_count; ++i) record->slots[i] = nullptr;
  return obj;
}

void Store(PyObject** slot, PyObject* value) {
  PyObject* old = *slot;
  *slot = value;
  Py_XDECREF(old);
}

// Text from UTF-8; null (no error) for invalid UTF-8, which the general decoder reports.
Result<PyObject*> NewText(const uint8_t* data, size_t size) {
  PyObject* text = NewStrFromUtf8(data, size);
  if (text == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return Status::Pending();
    PyErr_Clear();
  }
  return text;
}

// NewText through `cache` (a new reference).
Result<PyObject*> CachedText(TextCache& cache, const uint8_t* data, size_t size) {
  const size_t index = cache.Index(data, size);
  PyObject* found = cache.Find(index, data, size);
  if (found != nullptr) return Py_NewRef(found);
  VELUM_ASSIGN_OR_RETURN(PyObject * text, NewText(data, size));
  if (text != nullptr) cache.Keep(index, data, size, text);
  return text;
}

// Gives each repeated member its tuple (the shared empty one when it has no
// item), a message's fields their views, and each absent member its value.
Status Finish(Pending& pending, const PendingMark& mark, size_t views_mark, const KindType& t, const KindDef& def,
              RecordObject* record) {
  const size_t end = pending.items.size();
  if (end != mark.mark()) {
    Py_ssize_t counts[kMaxMembers] = {};
    for (size_t i = mark.mark(); i < end; ++i) ++counts[pending.items[i].slot];
    for (int r = 0; r < t.repeated_count; ++r) {
      const int i = t.repeated[r];
      if (counts[i] == 0) continue;
      record->slots[i] = PyTuple_New(counts[i]);
      if (record->slots[i] == nullptr) return Status::Pending();
    }
    Py_ssize_t filled[kMaxMembers] = {};
    for (size_t i = mark.mark(); i < end; ++i) {
      const Item& item = pending.items[i];
      PyTuple_SET_ITEM(record->slots[item.slot], filled[item.slot]++, item.value);
    }
    pending.items.resize(mark.mark());
    // The tuples hold records and text only: never part of a cycle.
    for (int r = 0; r < t.repeated_count; ++r) {
      if (counts[t.repeated[r]] != 0) PyObject_GC_UnTrack(record->slots[t.repeated[r]]);
    }
  }
  if (t.views >= 0) {
    const size_t count = pending.views.size() - views_mark;
    if (count == 0) {
      record->slots[t.views] = Py_NewRef(g_absent[static_cast<int>(Absent::kEmpty)]);
      record->slots[t.count] = Py_NewRef(Py_None);
      record->slots[t.count + 1] = Py_NewRef(Py_None);
    } else {
      // `fields` stays empty until read: the views and the bytes they point into are kept.
      record->slots[t.count + 1] = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(&pending.views[views_mark]),
                                                             static_cast<Py_ssize_t>(count * sizeof(FieldView)));
      if (record->slots[t.count + 1] == nullptr) return Status::Pending();
      record->slots[t.count] = Py_NewRef(pending.source);
      pending.views.resize(views_mark);
    }
  }
  for (int i = 0; i < t.count; ++i) {
    if (record->slots[i] == nullptr && i != t.views) {
      record->slots[i] = Py_NewRef(g_absent[static_cast<int>(def.members[i].absent)]);
    }
  }
  return Status::Ok();
}

// The member of kind `t` the next field of `in` is for (the reader after its
// tag), kSkipped for a field not read here (stepped over), or kLeave when the
// record is left to the general decoder.
constexpr int kSkipped = -1;
constexpr int kLeave = -2;

int NextMember(const KindType& t, const KindDef& def, WireReader& in, uint32_t depth) {
  // Most tags take one byte and name a field read here with its own wire type.
  const uint8_t first = *in.cursor();
  int index = first < 0x80 ? t.by_tag[first] - 1 : -1;
  if (index >= 0) [[likely]] {
    return in.Skip(1) ? index : kLeave;
  }
  uint32_t tag = 0;
  if (!in.ReadTag(tag) || tag < 8) return kLeave;
  const uint32_t number = wire::TagFieldNumber(tag);
  const uint32_t wire_type = wire::TagWireType(tag);
  index = number <= kMaxNumber ? t.by_number[number] : -1;
  if (index < 0) {
    // Groups are left to the general decoder.
    if (wire_type == kWireStartGroup || wire_type == kWireEndGroup) return kLeave;
    return in.SkipField(number, wire_type, depth).ok() ? kSkipped : kLeave;
  }
  if (wire_type != (IsVarint(def.members[index].read) ? kWireVarint : kWireLengthDelimited)) return kLeave;
  return index;
}

bool IsText(const uint8_t* data, size_t size) { return utf8::MeasureText(data, size).valid; }

// Whether ReadRecord would read a record of kind `kind` from `in` (not leave it
// to the general decoder), found without making anything.
bool Readable(Kind kind, WireReader in, uint32_t depth) {
  if (depth > kMaxDepth) return false;
  const KindType& t = g_kinds[kind];
  const KindDef& def = kKindDefs[kind];
  bool seen[kMaxMembers] = {};
  while (!in.empty()) {
    const int index = NextMember(t, def, in, depth);
    if (index == kSkipped) continue;
    if (index == kLeave) return false;
    const Member& m = def.members[index];
    if (IsVarint(m.read)) {
      uint64_t value = 0;
      if (!in.ReadVarint64(value)) return false;
      continue;
    }
    const uint8_t* data = nullptr;
    size_t size = 0;
    if (!in.ReadLengthDelimited(data, size)) return false;
    if (m.read == Read::kText || m.read == Read::kTexts) {
      if (!IsText(data, size)) return false;
      continue;
    }
    if (m.read == Read::kRecord && seen[index]) return false;
    seen[index] = true;
    if (!Readable(m.record, in.Slice(data, size), depth + 1)) return false;
  }
  return true;
}

// What resolving reads of a field's options (readable ones): the legacy
// `packed` option, and whether they set features.
void ReadViewOptions(WireReader in, uint32_t depth, FieldView& view) {
  const KindType& t = g_kinds[kFieldOptions];
  const KindDef& def = kKindDefs[kFieldOptions];
  while (!in.empty()) {
    const int index = NextMember(t, def, in, depth);
    if (index == kSkipped) continue;
    if (index == kLeave) return;
    const Member& m = def.members[index];
    if (IsVarint(m.read)) {
      uint64_t value = 0;
      if (!in.ReadVarint64(value)) return;
      if (m.number == 2) view.packed = value != 0 ? 1 : 0;
      continue;
    }
    const uint8_t* data = nullptr;
    size_t size = 0;
    if (!in.ReadLengthDelimited(data, size)) return;
    if (m.number == 21) view.has_features = true;
  }
}

// The view of a field record in `in` (at depth `depth`), or false when
// ReadRecord would leave it to the general decoder.
bool ReadView(const Pending& pending, WireReader in, uint32_t depth, FieldView& view) {
  if (depth > kMaxDepth) return false;
  const KindType& t = g_kinds[kField];
  const KindDef& def = kKindDefs[kField];
  view.offset = static_cast<uint32_t>(in.cursor() - pending.start);
  view.size = static_cast<uint32_t>(in.remaining());
  while (!in.empty()) {
    const int index = NextMember(t, def, in, depth);
    if (index == kSkipped) continue;
    if (index == kLeave) return false;
    const Member& m = def.members[index];
    if (IsVarint(m.read)) {
      uint64_t value = 0;
      if (!in.ReadVarint64(value)) return false;
      const auto number = static_cast<int32_t>(static_cast<uint32_t>(value));
      switch (m.number) {
        case 3: view.number = number; break;
        case 4: view.label = number; break;
        case 5: view.type = number; break;
        case 9:
          view.oneof_index = number;
          view.has_oneof_index = true;
          break;
        case 17: view.proto3_optional = value != 0; break;
        default: break;
      }
      continue;
    }
    const uint8_t* data = nullptr;
    size_t size = 0;
    if (!in.ReadLengthDelimited(data, size)) return false;
    if (m.read == Read::kRecord) {
      if (view.has_options || !Readable(m.record, in.Slice(data, size), depth + 1)) return false;
      view.has_options = true;
      ReadViewOptions(in.Slice(data, size), depth + 1, view);
      continue;
    }
    if (!IsText(data, size)) return false;
    const TextSpan span{static_cast<uint32_t>(data - pending.start), static_cast<uint32_t>(size)};
    switch (m.number) {
      case 1: view.name = span; break;
      case 6: view.type_name = span; break;
      case 7: view.default_value = span; break;
      case 10: view.json_name = span; break;
      default: break;
    }
  }
  return true;
}

// The record of kind `kind` in `in`; an empty Ref (no error) when it is left to
// the general decoder.
Result<Ref> ReadRecord(Pending& pending, Kind kind, WireReader in, uint32_t depth) {
  if (depth > kMaxDepth) return Ref();
  const KindType& t = g_kinds[kind];
  const KindDef& def = kKindDefs[kind];
  Ref made = Ref::steal(NewRecord(t));
  if (!made) return Status::Pending();
  auto* record = reinterpret_cast<RecordObject*>(made.get());
  PendingMark mark(pending);
  const size_t views_mark = pending.views.size();
  // (views left by a record that bails out are dropped with it)
  struct ViewsMark {
    Pending& pending;
    size_t mark;
    ~ViewsMark() { pending.views.resize(mark); }
  } views_guard{pending, views_mark};
  while (!in.empty()) {
    const int index = NextMember(t, def, in, depth);
    if (index == kSkipped) continue;
    if (index == kLeave) return Ref();
    const Member& m = def.members[index];
    PyObject** slot = &record->slots[index];
    if (IsVarint(m.read)) {
      uint64_t value = 0;
      if (!in.ReadVarint64(value)) return Ref();
      if (m.read == Read::kBool) {
        Store(slot, Py_NewRef(value != 0 ? Py_True : Py_False));
        continue;
      }
      PyObject* number_value = PyLong_FromLong(static_cast<int32_t>(static_cast<uint32_t>(value)));
      if (number_value == nullptr) return Status::Pending();
      Store(slot, number_value);
      continue;
    }
    const uint8_t* data = nullptr;
    size_t size = 0;
    if (!in.ReadLengthDelimited(data, size)) return Ref();
    PyObject* value = nullptr;
    switch (m.read) {
      case Read::kText:
      case Read::kTexts: {
        VELUM_ASSIGN_OR_RETURN(value, CachedText(pending.texts, data, size));
        break;
      }
      case Read::kRecord:
      case Read::kRecords: {
        // A singular message given twice merges; the general decoder does that.
        if (m.read == Read::kRecord && *slot != nullptr) return Ref();
        VELUM_ASSIGN_OR_RETURN(Ref nested, ReadRecord(pending, m.record, in.Slice(data, size), depth + 1));
        value = nested.release();
        break;
      }
      case Read::kFieldViews: {
        FieldView view;
        if (!ReadView(pending, in.Slice(data, size), depth + 1, view)) return Ref();
        pending.views.push_back(view);
        continue;
      }
      default: return Ref();
    }
    if (value == nullptr) return Ref();
    if (m.read == Read::kText || m.read == Read::kRecord) {
      Store(slot, value);
      continue;
    }
    try {
      pending.items.push_back({index, value});
    } catch (...) {
      Py_DECREF(value);
      throw;
    }
  }
  VELUM_TRY(Finish(pending, mark, views_mark, t, def, record));
  return made;
}

Result<Ref> ReadFile(PyObject* data) {
  if (!PyBytes_Check(data)) return TypeCheckError(data, "bytes");
  VELUM_TRY(ReadyKinds());
  const auto* start = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data));
  const auto size = static_cast<size_t>(PyBytes_GET_SIZE(data));
  // The spans of field views are 32-bit offsets.
  if (size >= TextSpan::kNoText) return Ref::borrow(Py_None);
  TextCache texts(size);
  Pending pending(texts, data, start);
  wire::ScopedInput input(start, size);
  Result<Ref> file = ReadRecord(pending, kFile, WireReader(input.ref()), 0);
  if (!file.ok()) return file;
  if (!file.value()) return Ref::borrow(Py_None);
  return file;
}


// The field records of a message record, read from the bytes its views point
// into (they were checked when the message was read, so they read the same way).
PyObject* FieldsGetter(PyObject* self, void*) noexcept {
  return Guard([&]() -> PyObject* {
    const KindType& t = g_kinds[kMessage];
    auto* record = reinterpret_cast<RecordObject*>(self);
    PyObject* fields = record->slots[t.views];
    if (fields != nullptr) return Py_NewRef(fields);
    PyObject* source = record->slots[t.count];
    PyObject* views = record->slots[t.count + 1];
    const auto* start = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(source));
    const auto size = static_cast<size_t>(PyBytes_GET_SIZE(source));
    const auto count = static_cast<Py_ssize_t>(static_cast<size_t>(PyBytes_GET_SIZE(views)) / sizeof(FieldView));
    auto view_at = [&](Py_ssize_t i) {
      FieldView view;
      std::memcpy(&view, PyBytes_AS_STRING(views) + static_cast<size_t>(i) * sizeof(FieldView), sizeof(FieldView));
      return view;
    };
    Ref tuple = Ref::steal(PyTuple_New(count));
    if (!tuple) return nullptr;
    FileTextsInUse texts(source);
    Pending pending(texts.cache(), source, start);
    wire::ScopedInput input(start, size);
    WireReader whole(input.ref());
    for (Py_ssize_t i = 0; i < count; ++i) {
      const FieldView view = view_at(i);
      Result<Ref> field = ReadRecord(pending, kField, whole.Slice(start + view.offset, view.size), 1);
      if (!field.ok()) return Raise(std::move(field).status());
      if (!field.value()) {
        PyErr_SetString(PyExc_ValueError, "the descriptor could not be read");
        return nullptr;
      }
      PyTuple_SET_ITEM(tuple.get(), i, std::move(field).value().release());
    }
    PyObject_GC_UnTrack(tuple.get());  // (records only: never part of a cycle)
    record->slots[t.views] = Py_NewRef(tuple.get());
    return tuple.release();
  });
}

Result<Ref> RecordTypes() {
  VELUM_TRY(ReadyKinds());
  Ref types = Ref::steal(PyDict_New());
  if (!types) return Status::Pending();
  for (int k = 0; k < kKinds; ++k) {
    if (PyDict_SetItemString(types.get(), kKindDefs[k].name, reinterpret_cast<PyObject*>(g_kinds[k].type)) < 0) {
      return Status::Pending();
    }
  }
  return types;
}

}  // namespace

PyObject* SchemaRecordTypesFn(PyObject*, PyObject* const*, Py_ssize_t nargs) noexcept {
  return Guard([&]() -> PyObject* {
    if (nargs != 0) {
      PyErr_Format(PyExc_TypeError, "_schema_record_types() takes no arguments (%zd given)", nargs);
      return nullptr;
    }
    Result<Ref> types = RecordTypes();
    return ReturnNew(std::move(types));
  });
}

PyObject* ReadSchemaFileFn(PyObject*, PyObject* const* argv, Py_ssize_t nargs) noexcept {
  return Guard([&]() -> PyObject* {
    if (!ExactPositional("_read_schema_file()", nargs, 1)) return nullptr;
    Result<Ref> file = ReadFile(argv[0]);
    return ReturnNew(std::move(file));
  });
}

}  // namespace velum
