// The default test of implicit-presence fields, shared by the encoder (which
// skips defaults) and merge (which must not overwrite with them), so that
// merging a message and merging its encoding agree.
#pragma once

#include "common/ref.h"
#include "descriptor/marshaler.h"
#include "field_ops/scalar_convert.h"

namespace velum {

// 1 when an implicit-presence field holding `value` is written, 0 when it
// holds its default, -1 with a Python exception set.
int HoldsNonDefault(const FieldSpec& f, PyObject* value);

}  // namespace velum
