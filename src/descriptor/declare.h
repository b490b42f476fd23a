// Declaring a loaded file's messages and enums: from the decoded records of its
// descriptor to the runtime's message and enum descriptors (names, nesting,
// features, enum values), in one call per file. Loading a schema declares
// every type it holds, and doing it type by type in Python was most of the
// time the load took after decoding.
#pragma once

#include "common/ref.h"
#include "common/status.h"

namespace velum {

// `_declarer(config)` makes the declarer once; `config` is the tuple the runtime
// builds (velum._builder), entry order fixed by kConfig* in the unit.
//
// `declarer(state, file, messages, enums, prefix, file_desc, features,
// out_messages, out_enums)` declares the message records in `messages` and the
// enum records in `enums` (with everything nested in them) under `prefix`,
// appending the descriptors to `out_messages` and `out_enums`; `file` is the
// file's record. `state` is the batch's (messages by full name, enums by full
// name, messages known before, enums known before, message work list (desc,
// record and features of each message, one after the other), record by
// descriptor of each map entry, extension work list, full names of the types the
// registry does not list: map entries and what they hold). Messages other than map
// entries and every enum get the runtime's `_create` hook. The records are those schema loading
// reads (parser/schema_records.h): their repeated fields are tuples. Names that
// are not identifiers and enum value names that need renaming go to the
// runtime's own helpers; every other refusal is raised here.
PyObject* DeclarerFn(PyObject* module, PyObject* const* argv, Py_ssize_t nargs) noexcept;

}  // namespace velum
