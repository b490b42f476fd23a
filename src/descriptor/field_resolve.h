// Resolving a loaded message's fields: from the decoded field records of its
// descriptor to the runtime's field and oneof descriptors, with their names,
// lookups and defaults, in one call. Loading a schema resolves thousands of
// fields, and doing it field by field in Python dominated the time it took.
#pragma once

#include "common/ref.h"
#include "common/status.h"

namespace velum {

// `_field_resolver(config)` makes the resolver once; `config` is the tuple the
// runtime builds (velum._builder), entry order fixed by kConfig* in the unit.
//
// `resolver(desc, fields, targets, prefix, features, extra_reserved, oneof_names,
// custom_oneofs, fallback)` returns (fields, oneofs, fields by local name, by proto
// name, by number, oneofs by local name, by name, defaults). `features` is the
// message's (field_presence, message_encoding, repeated_field_encoding), or None
// to hand every field to `fallback`; `oneof_names` holds a name per oneof
// declaration, None for a synthetic one; the members of the oneofs whose indexes
// are in `custom_oneofs` have features of their own. Every field the resolver
// does not build itself (options, parsed defaults, unusual targets) is made by
// `fallback(index, local_name, oneof)`, which returns (field, default).
//
// `resolver.table(desc, fields, targets, features, extra_reserved, oneof_names,
// resolve, bound_features)` returns the message's field table (field_table.h):
// what making its class reads, with no field descriptor made; None when a field
// would need the fallback. `resolve` and `bound_features` are the function and
// features of the message's pending resolution, which the table calls with
// `fields` and `targets` when the fields are first read.
//
// `resolver.check(fields, messages, enums)`, run when the message is loaded,
// returns (targets, pending): the type of every field that needs nothing parsed
// and names a type declared in the batch (`messages` and `enums` by full name),
// and None at the indexes in `pending`, which the runtime checks itself; or None
// when a field name is not an identifier, which the runtime reports.
//
// `resolver.extension(field, target, local_name, prefix, parent, features)` builds
// an extension's field as the resolver builds a message's (full name `prefix` +
// its name, `parent` the scope or None, `features` the scope's as above, never of
// implicit presence); None when the runtime must make it (options with features of
// their own, a default it reports, an unusual target).
PyObject* FieldResolverFn(PyObject* module, PyObject* const* argv, Py_ssize_t nargs) noexcept;

}  // namespace velum
