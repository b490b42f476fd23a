// Which fields of a message are written as JSON members, and with which value.
#pragma once

#include "common/ref.h"
#include "common/status.h"
#include "descriptor/instance.h"
#include "descriptor/marshaler.h"

namespace velum::json_sink {

// Every oneof attribute holds None or a Oneof naming a field of the type:
// TypeError "expected Oneof, got '{type}'" / ValueError "unknown oneof field '{field}'".
Status CheckOneofs(const MessageMarshaler& m, PyObject* msg);

// The value to write for `f`, or an empty Ref when the field is not written:
// a oneof member only while its oneof names it (then unconditionally); an
// explicit-presence field only when set (a required one must be); an
// implicit one unless it holds its default and `always_emit_implicit` is off.
Result<Ref> SelectValue(const FieldSpec& f, PyObject* msg, const NativeMessageObject& native,
                        bool always_emit_implicit);

}  // namespace velum::json_sink
