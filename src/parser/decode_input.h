// The entry points of the binary decoder: input objects (bytes or any
// contiguous byte buffer) held for the call and read into instances.
#pragma once

#include "common/ref.h"
#include "common/status.h"
#include "descriptor/marshaler.h"

namespace velum {

// from_binary: a new instance of `cls` (null: the marshaler's class) holding `data`.
Result<Ref> DecodeNew(const MessageMarshaler& m, PyObject* data, bool ignore_unknown_fields,
                      PyTypeObject* cls = nullptr);

// _merge_from_binary: `data` decoded into `msg`, an instance of m's class.
Status DecodeInto(const MessageMarshaler& m, PyObject* msg, PyObject* data, bool ignore_unknown_fields);

}  // namespace velum
