// Native view of a generated enum: its members by number and the facts the
// codecs need (open or closed, default member, the well-known null enum).
//
// A table is built from the enum's descriptor alone, before the enum class
// exists; the class and its members are filled in once, when the first
// instance of a message type with a field of the enum is made (see
// EnsureMembers). Codecs reach a table only through such an instance, so the
// members are always there when they look.
#pragma once

#include <unordered_map>

#include "common/once.h"
#include "common/raw_alloc.h"
#include "common/ref.h"
#include "common/string_map.h"
#include "common/status.h"
#include "descriptor/runtime_names.h"

namespace velum {

struct EnumValueEntry {
  int32_t number;
  Ref name;
  Ref local_name;
  Ref json_name;  // the value's JSON name; its `name` when the runtime gives None
  Ref member;     // filled by EnsureMembers
};

struct EnumTable {
  // Value names as JSON reads them; the first value declared with a name keeps
  // it. Keyed by the UTF-8 of the values' `name`s, which `values` holds. Made
  // with the members (FillMembers).
  StringViewMap<int32_t> numbers_by_name;

  // The number of the value called `name` (byte-exact).
  bool NumberOfName(std::string_view name, int32_t* number) const noexcept {
    const int32_t* found = FindIn(numbers_by_name, name);
    if (found == nullptr) return false;
    *number = *found;
    return true;
  }

  Ref type_name;
  Ref desc;           // the DescEnum, whose `type` makes the class on first need
  Ref enum_class;     // filled by EnsureMembers, as are the members
  Ref default_value;  // the member of the first declared value
  OnceGate members_gate;
  bool open = true;
  bool is_null_value = false;  // google.protobuf.NullValue
  RawVector<EnumValueEntry> values;
  // Numbers in [dense_min, dense_min + dense.size()) map through `dense` (the
  // canonical entry in `values`, or null); others through `sparse`. `values`
  // never changes once these are built.
  int32_t dense_min = 0;
  RawVector<const EnumValueEntry*> dense;
  std::unordered_map<int32_t, const EnumValueEntry*, std::hash<int32_t>, std::equal_to<int32_t>,
                     RawAllocator<std::pair<const int32_t, const EnumValueEntry*>>>
      sparse;

  // The canonical (first declared) value numbered `number`, or null.
  const EnumValueEntry* Entry(int32_t number) const noexcept {
    int64_t index = static_cast<int64_t>(number) - dense_min;
    if (index >= 0 && index < static_cast<int64_t>(dense.size())) return dense[static_cast<size_t>(index)];
    if (sparse.empty()) return nullptr;
    auto it = sparse.find(number);
    return it == sparse.end() ? nullptr : it->second;
  }
  // Borrowed member for `number`, or null when the enum has no such value.
  PyObject* Member(int32_t number) const noexcept {
    const EnumValueEntry* entry = Entry(number);
    return entry == nullptr ? nullptr : entry->member.get();
  }
};

// The Python object (type name "DescEnum") that owns one EnumTable.
struct EnumTableObject {
  PyObject_HEAD
  EnumTable table;
};

// The table object of the enum described by `enum_desc`, created on first use
// and cached on the descriptor (and on the enum class as `_ext_value_type`
// once there is one). Returns a new reference. The members may not be filled.
Result<Ref> GetEnumTable(const RuntimeNames& names, PyObject* enum_desc);

// Makes the enum class if need be and fills the class, the members and the
// default; once per table, safe against other threads.
Status FillMembers(const RuntimeNames& names, EnumTable* table);

inline Status EnsureMembers(const RuntimeNames& names, EnumTable* table) {
  if (table->members_gate.done()) [[likely]]
    return Status::Ok();
  return FillMembers(names, table);
}

bool IsEnumTable(PyObject* obj) noexcept;

inline EnumTable* AsEnumTable(PyObject* obj) noexcept { return &reinterpret_cast<EnumTableObject*>(obj)->table; }

}  // namespace velum
