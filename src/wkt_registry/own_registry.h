// Recognising velum's own Registry, whose `message()` is one lookup in its
// `_messages` dict: the Any forms then do that lookup natively instead of
// calling into Python for every Any.
#pragma once

#include "common/ref.h"
#include "common/status.h"

namespace velum::wkt {

// `registry._messages` when `registry` is exactly velum's Registry (no
// subclass) and `registry.message` is that class's own method, so that the
// call would be `_messages.get(name)`; an empty Ref for anything else, which
// must then be called. Errors of the attribute lookup propagate.
Result<Ref> OwnMessageMap(PyObject* registry);

}  // namespace velum::wkt
