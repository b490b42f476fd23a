// Checking a loaded message's field records: that each field's type is declared,
// its default parses and a map field's entry is well formed, without building
// anything. Loading runs it over every message of a batch in one call; a message
// it cannot settle (something to report, or a type of another batch to look up)
// goes to the runtime's own check, which raises with where.
#pragma once

#include "common/ref.h"
#include "common/status.h"
#include "descriptor/field_resolver.h"

namespace velum::field_resolver {

// `resolver.check(fields, messages, enums)` (see field_resolve.h).
Result<Ref> Check(const FieldResolver& r, PyObject* protos, PyObject* messages, PyObject* enums);

// The target check() finds for one field record (borrowed), with its type looked
// up in `types` (messages, enums, known messages, known enums: dicts by full
// name); None when the runtime must check the field itself.
Result<PyObject*> RecordTarget(const FieldResolver& r, PyObject* proto, PyObject* const types[4]);

// `resolver.check_batch(work, types, layout, makers)`: for each desc, proto and
// features (one after the other in `work`), the targets check() finds, with map
// entries and the types of earlier batches looked up too, and desc._resolve set
// to a callable that runs resolve_message(proto, features, targets, desc)
// (pending_fields.h).
// `types` is (messages, enums, known messages, known enums, map entry records by
// descriptor); `layout` (message record class, its fields and oneofs members,
// oneof record class, its name member, DescMessage._resolve); `makers`
// (resolve_message, the map value maker, fallback(desc, proto) -> targets).
Status CheckBatch(const FieldResolver& r, PyObject* const* args);

}  // namespace velum::field_resolver
