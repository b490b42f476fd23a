// A loaded message's fields as making its class needs them, before any field
// descriptor exists. Making a class reads only names, numbers, kinds and
// defaults; the field descriptors (a `DescField`, its value descriptor, the
// message's lookups) are objects the cyclic collector scans at every young
// collection and frees with the schema, so they are made only when user code
// first reads them. The table takes the place of the message's pending
// resolution (its `_resolve`) and makes the same call on that first read.
#pragma once

#include <cstdint>

#include "common/raw_alloc.h"
#include "common/ref.h"
#include "common/status.h"
#include "descriptor/field_kind.h"

namespace velum {

struct TableField {
  // json_name is null when it is the one derived from the name (made again
  // when the class's JSON tables are built).
  Ref name, local_name, json_name;
  // A singular field's ScalarType member, DescEnum or DescMessage; a list's
  // element (one of the three); a map's value descriptor.
  Ref target;
  // As the field descriptor's `default` holds it (None for a message); null
  // for an enum field, whose default is its enum's value `enum_default` (a
  // local name), and for lists and maps, whose instances get empty ones.
  Ref default_value;
  Ref enum_default;
  int32_t number = 0;
  int32_t oneof = -1;  // index into FieldTable::oneofs, -1 outside a oneof
  ValueKind shape = ValueKind::kScalar;
  ScalarType scalar = ScalarType::kInt32;  // scalar fields and scalar list elements
  Presence presence = Presence::kImplicit;
  bool tracked = false;  // presence kept in the instance's presence bits
  bool packed = false;     // lists
  bool delimited = false;  // message fields and message lists
};

struct FieldTable {
  RawVector<TableField> fields;  // in declaration order
  RawVector<Ref> oneofs;         // local names of the real oneofs, in declaration order
  // What the pending resolution held but the targets, which are the fields'.
  Ref resolve, proto, features;
};

// A table object: called as `table(desc)` it calls `resolve(proto, features,
// targets, desc)`, as the pending resolution would have, which makes the field
// descriptors. It is no object of the collector's (one fewer a class for it to
// count and scan): the message holding it visits its references as its own
// with TraverseFieldTable (slot_traverse.h).
Result<Ref> NewFieldTable(FieldTable&& table);
bool IsFieldTable(PyObject* obj) noexcept;
const FieldTable& AsFieldTable(PyObject* obj) noexcept;
int TraverseFieldTable(PyObject* obj, visitproc visit, void* arg);
// The type, made on first use.
Result<PyTypeObject*> FieldTableType();

}  // namespace velum
