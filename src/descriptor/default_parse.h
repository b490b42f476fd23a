// The default a field's descriptor writes as text, parsed into the value the field
// starts with. Resolving a loaded message parses every default of its fields.
#pragma once

#include "common/ref.h"
#include "common/status.h"

namespace velum {

// The value of the non-empty `text` (a str) for a field of scalar type `type`
// (numbered as FieldDescriptorProto.Type): the text itself for a string; for
// bytes, its C-style escapes decoded; "true" or "false" for a bool; for integers,
// what `int(text, 0)` reads; for floating point, what `float(text)` reads, a
// finite float rounded to single precision. An empty Ref, with no Python error
// set, when the text is not a valid default of that type.
Result<Ref> ParseScalarDefault(long type, PyObject* text);

}  // namespace velum
