// Storing what the JSON reader read into an instance's fields.
// TODO(core-layer): replace with the shared field store once it lands.
#pragma once

#include "common/ref.h"
#include "common/status.h"
#include "descriptor/marshaler.h"

namespace velum::json {

// A value read from JSON: a oneof member replaces its oneof's Oneof, any
// other field its value, setting its presence bit.
Status StoreValue(PyObject* msg, const FieldSpec& f, Ref value);

// A null for a singular field: a oneof member clears its oneof when it holds
// that member; any other field gets `value` and loses its presence bit.
Status ResetValue(PyObject* msg, const FieldSpec& f, PyObject* value);

// A null for a scalar or enum field: ResetValue with the field's own default,
// the value new instances get.
Status ResetToDefault(const MessageMarshaler& m, PyObject* msg, const FieldSpec& f);

// A list, map or message field named again in one object starts over.
Status ResetRepeated(const MessageMarshaler& m, PyObject* msg, const FieldSpec& f);

// The message a message field holds (for a oneof member, only while the
// oneof holds that member), or an empty Ref.
Result<Ref> CurrentMessage(PyObject* msg, const FieldSpec& f);

}  // namespace velum::json
