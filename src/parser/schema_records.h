// Reading a serialized FileDescriptorProto into the records schema loading reads
// (messages, fields, enums, oneofs, their options), straight from the bytes.
//
// The records are small native objects, one type per descriptor message, whose
// attributes are read-only members: no cyclic collector header, no per-field
// list (a repeated field is a tuple, the shared empty one when absent), nothing
// the collector ever scans. They hold text, numbers, records and tuples of them,
// so they can form no cycle. Loading a large schema makes tens of thousands of
// them and drops most soon after; as message instances they cost as much from
// allocation to free as everything else loading does.
//
// A message's fields are the exception: most loaded messages are never resolved,
// so their field records stay in the file's bytes, checked when the message is
// read (they would read as records) and summed up in FieldViews
// (descriptor/field_view.h) that the load-time check reads; `fields` makes the
// records on first read. The record keeps the file's bytes (`_source`) and the
// views (`_field_views`, a bytes object) for that.
//
// Only input the general decoder would read the same way is read here: anything
// else (a damaged record, invalid UTF-8, a group, a wire type other than the
// field's, a singular message given twice, nesting too deep) makes the reader
// answer None, and the runtime decodes with the general decoder, which reports
// the fault with its usual text or gives records to read again.
#pragma once

#include "common/ref.h"

namespace velum {

// `_schema_record_types()`: {descriptor message name: record type}, the types
// made on first use and kept for the life of the process.
PyObject* SchemaRecordTypesFn(PyObject* module, PyObject* const* argv, Py_ssize_t nargs) noexcept;

// `_read_schema_file(data)`: the FileDescriptorProto record of `data` (bytes),
// or None when it is not read here (see above).
PyObject* ReadSchemaFileFn(PyObject* module, PyObject* const* argv, Py_ssize_t nargs) noexcept;

}  // namespace velum
