// What a registry holds of the schemas it loaded: their files, which lead to
// every descriptor they declare. Descriptors refer to their files and parents,
// so a loaded schema is one web of reference cycles: dropped with its registry,
// it would wait for the cyclic collector, and every young collection until then
// would scan it again. When its holder is let go, the graph frees at once the
// part of the schema that nothing else refers to, as the collector would.
#pragma once

#include "common/ref.h"
#include "common/status.h"

namespace velum {

// `_schema_graph_setup(file_class, kinds)`: what a graph may free. `file_class`
// is the class of the files it is given; `kinds` is a tuple of
// `(cls, file_member, type_member)`: instances of `cls` that a graph reaches
// are freed with it, but only those whose `file_member` slot (when given) holds
// one of its files, and none at all while a `type_member` slot holds a class
// (classes are left to the collector, and a class keeps its schema alive).
// Lists, dicts, tuples, sets and pending resolutions reached are freed with it.
PyObject* SchemaGraphSetupFn(PyObject* module, PyObject* const* argv, Py_ssize_t nargs) noexcept;

// The `_SchemaGraph` type: `_SchemaGraph()` holds no file; `graph.add(files)`
// adds a list of loaded files.
Result<PyTypeObject*> SchemaGraphType();

}  // namespace velum
