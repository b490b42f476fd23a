// The per-type native schema: everything a codec consults for a message type,
// precomputed once by initialize_message_type and immutable afterwards.
#pragma once

#include <atomic>
#include <memory>
#include <string_view>
#include <unordered_map>

#include "common/once.h"
#include "common/raw_alloc.h"
#include "common/ref.h"
#include "common/string_map.h"
#include "common/status.h"
#include "descriptor/field_kind.h"
#include "descriptor/runtime_names.h"
#include "descriptor/field_access.h"
#include "descriptor/encode_plan.h"

namespace velum {

enum class FieldShape : uint8_t { kSingular, kList, kMap };

enum class WellKnownType : uint8_t {
  kNone,
  kAny,
  kValue,
  kStruct,
  kDuration,
  kTimestamp,
  kFieldMask,
  kListValue,
  kWrapper,
};

// The JSON form of a well-known type, built and owned by the well-known-type
// unit; the marshaler keeps it and lets that unit release it.
struct WellKnownRecord;
struct WellKnownRecordRelease {
  void operator()(WellKnownRecord* record) const noexcept;
};

struct FieldSpec {
  uint32_t number = 0;
  Ref local_name;
  Ref name;       // proto name
  Ref json_name;  // null until FillLazyTables for a class made from a field table
  // The JSON output's text for the member name, prepared once: ',', the quoted
  // name and ':'. Empty for a name that is not plain printable ASCII (the
  // writer then quotes and escapes the str itself), and until the type's
  // first instance is made (FillLazyTables).
  RawString json_key;
  RawString proto_key;
  FieldKind kind;
  FieldShape shape = FieldShape::kSingular;
  WireType wire_type = kWireVarint;          // the tag's wire type as declared
  WireType element_wire_type = kWireVarint;  // lists: one element; maps: 2
  bool packable = false;                     // lists: numeric scalar or enum elements
  Presence presence = Presence::kImplicit;
  bool has_presence_bit = false;  // presence tracked in PresenceBits at bit `number`
  bool shadowed = false;          // a later field has the same number: the decoder never picks this one
  FieldAccess access;             // the field's attribute, or its oneof's
  uint32_t tag = 0;
  uint32_t end_tag = 0;         // group-encoded messages
  uint32_t map_key_tag = 0;     // maps: 8 | key wire type
  uint32_t map_value_tag = 0;   // maps: 16 | value wire type
  Ref map_default_key;          // maps: zero value of the key type
  Ref map_default_value;        // maps: zero value / enum default; null for messages

  bool in_oneof() const noexcept { return static_cast<bool>(kind.oneof_name); }
};

// Field number -> FieldSpec, dense array for compact numbering, else a hash map.
class FieldIndex {
 public:
  const FieldSpec* Find(uint32_t number) const noexcept {
    if (number < dense_.size()) return dense_[number];
    if (sparse_.empty()) return nullptr;
    auto it = sparse_.find(number);
    return it == sparse_.end() ? nullptr : it->second;
  }
  bool is_dense() const noexcept { return !dense_.empty(); }

  void InitDense(uint32_t max_number) { dense_.assign(static_cast<size_t>(max_number) + 1, nullptr); }
  void Put(uint32_t number, const FieldSpec* spec) {
    if (!dense_.empty()) {
      dense_[number] = spec;
    } else {
      sparse_[number] = spec;
    }
  }

 private:
  RawVector<const FieldSpec*> dense_;
  std::unordered_map<uint32_t, const FieldSpec*, std::hash<uint32_t>, std::equal_to<uint32_t>,
                     RawAllocator<std::pair<const uint32_t, const FieldSpec*>>>
      sparse_;
};

// One member name of a field as the JSON reader compares it, with the field
// the key map and the index resolve that name to (null when the index has no
// entry for its number), so a match needs no further lookup.
struct JsonMemberKey {
  std::string_view text;             // UTF-8 of `str`, alive as long as it is
  PyObject* str = nullptr;           // the field's name object (borrowed from the FieldSpec)
  const FieldSpec* field = nullptr;
};

// Both names of one field, in field-table order: the reader's guess of the
// member that follows the last one matched.
struct JsonMemberNames {
  JsonMemberKey json;
  JsonMemberKey proto;
};

struct OneofEntry {
  Ref local_name;
  FieldAccess access;
};

// One storage attribute of an instance, as copy, merge and equality see it.
struct AttributeEntry {
  FieldAccess access;
  bool presence_tracked = false;
  uint32_t presence_bit = 0;
  const FieldSpec* field = nullptr;  // the field stored there; null for a oneof
};

struct DefaultEntry {
  FieldAccess access;
  Ref value;  // stored, the same object, into every new instance
  // An enum member whose class is not made yet: the member called
  // `enum_member` of the table object `enum_table`, put in `value` by FillLazyTables.
  Ref enum_table;
  Ref enum_member;
  // Whether `value` is an object the collector tracks: the traversal skips the
  // rest (strs, numbers, bytes), which cannot be part of a cycle, instead of
  // reading each one's type.
  bool collectable = false;
};

// An object of the class's own graph that leaves the collector's lists while a
// marshaler reports its references as its own: one tracked object fewer a class
// for every young collection to scan. Let go while something else still holds
// it, it is tracked again, so that what it refers to is still accounted for.
class CompanionRef {
 public:
  CompanionRef() noexcept = default;
  CompanionRef(const CompanionRef&) = delete;
  CompanionRef& operator=(const CompanionRef&) = delete;
  ~CompanionRef() { reset(); }

  PyObject* get() const noexcept { return p_; }
  // Takes a reference to `companion` and untracks it (it must be tracked).
  void adopt(PyObject* companion) noexcept;
  void reset() noexcept;

 private:
  PyObject* p_ = nullptr;
};

struct MessageMarshaler {
  Ref message_class;
  Ref full_name;
  Ref file_name;
  RawVector<FieldSpec> fields;  // descriptor order = emission order
  EncodePlan encode_plan;       // one step per field, in the same order
  FieldIndex index;
  // Member name (proto or JSON name) -> field number; the names are the UTF-8
  // of the fields' own `name` and `json_name`, which the marshaler holds.
  // Built with the type's first instance (FillLazyTables), as are the members
  // and keys: JSON is read and written only through instances, and a loaded
  // schema's classes are mostly made without any JSON use.
  StringViewMap<uint32_t> json_keys;
  RawVector<JsonMemberNames> json_members;  // one per field, in field-table order
  RawVector<OneofEntry> oneofs;
  // Container the `field` of a stored Oneof must belong to; null for a class
  // made from a field table without oneofs (nothing is checked against it).
  Ref fields_by_name;
  Ref keywords;        // dict: attribute name -> Member; made by FillLazyTables
  RawVector<AttributeEntry> attributes;
  RawVector<DefaultEntry> defaults;
  // What the collector's traversal visits besides the class and the two dicts,
  // listed when the marshaler is built so that a traversal reads short arrays
  // instead of every field's and default's entry: the objects owning
  // the fields' message handles and enum tables (borrowed: the fields hold
  // them), and the defaults that hold a tracked value or an enum table (the
  // only ones that may later hold a tracked value), and the map fields of
  // enum values, whose default value (an enum member, whose class reaches
  // back to this type's) is filled in with the first instance.
  RawVector<PyObject*> value_owners;
  RawVector<uint32_t> traced_defaults;
  RawVector<uint32_t> enum_maps;
  RawVector<FieldAccess> list_fields;
  RawVector<FieldAccess> map_fields;
  uint32_t highest_number = 0;
  // Size of the last top-level encoding of this type: the next one starts
  // with that much room, so that large messages are not copied while growing.
  mutable std::atomic<uint64_t> encoded_size_hint{0};
  bool slot_storage = false;  // every field, default, list and map lives in a slot
  WellKnownType well_known = WellKnownType::kNone;  // kNone whenever `well_known_record` is null
  std::unique_ptr<WellKnownRecord, WellKnownRecordRelease> well_known_record;
  const RuntimeNames* names = nullptr;
  // Set once the tables made on first use are filled in: the enum tables of
  // the fields have their members, every default is filled in, the keyword
  // table and the JSON member tables exist. Until then no instance of the
  // type exists.
  std::atomic<bool> lazy_ready{false};
  OnceGate lazy_gate;
  // The holder of the class's slot member descriptors, see CompanionRef.
  CompanionRef companion;
};

// How a marshaler gets the record of a type that its name and file mark as
// well-known. `build` returns null (no error) when the type's fields do not
// have the expected kinds: such a type is an ordinary message. The module
// installs the well-known-type unit's pair before any type is initialised.
struct WellKnownHooks {
  Result<WellKnownRecord*> (*build)(const MessageMarshaler& m, WellKnownType kind);
  void (*release)(WellKnownRecord* record) noexcept;
};
void SetWellKnownHooks(const WellKnownHooks& hooks) noexcept;

// The Python object "MessageMarshaler" that owns one marshaler.
struct MarshalerObject {
  PyObject_HEAD
  MessageMarshaler marshaler;
};

inline MessageMarshaler* AsMarshaler(PyObject* obj) noexcept {
  return &reinterpret_cast<MarshalerObject*>(obj)->marshaler;
}

// The object that owns `m` (borrowed).
inline PyObject* MarshalerObjectFor(const MessageMarshaler& m) noexcept {
  return reinterpret_cast<PyObject*>(reinterpret_cast<char*>(const_cast<MessageMarshaler*>(&m)) -
                                     offsetof(MarshalerObject, marshaler));
}

// Entry of the keyword table: how `__init__` / `__setattr__` store one name.
struct MemberObject {
  PyObject_HEAD
  FieldAccess access;
  bool presence_tracked;
  uint32_t presence_bit;
};

// Makes the marshaler object `marshaler` report the references of the tracked
// object `companion`, which its class alone holds, in its own traversal.
void AdoptCompanion(PyObject* marshaler, PyObject* companion) noexcept;

Status ReadyMarshalerTypes();
PyTypeObject* MarshalerType() noexcept;
bool IsMarshaler(PyObject* obj) noexcept;

// Builds the marshaler object for the class described by `desc` (a DescMessage).
Result<Ref> BuildMarshaler(const RuntimeNames& names, PyObject* desc);

// The marshaler object of an initialised class (its `_ext_marshaler`), as a
// new reference; AttributeError for a class never initialised.
Result<Ref> MarshalerObjectOfClass(const RuntimeNames& names, PyObject* cls);

Status FillLazyTables(const MessageMarshaler& m);

// Makes sure what a type's first instance needs exists: the enum members its
// fields and defaults use (enum classes are made then) and the JSON member
// tables. Every codec reaches a marshaler's tables only through an instance.
inline Status EnsureLazyTables(const MessageMarshaler& m) {
  if (m.lazy_ready.load(std::memory_order_acquire)) [[likely]]
    return Status::Ok();
  return FillLazyTables(m);
}

// Fills a fresh instance with the defaults of its type: shared default objects,
// new empty lists and dicts. Presence bits are not touched.
Status InitDefaults(const MessageMarshaler& m, PyObject* instance);

}  // namespace velum
