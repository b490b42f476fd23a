// The operations behind NativeMessage's methods, each implemented by the unit
// of its concern. The method boundary binds arguments and finds the marshaler;
// these do the work and report failures as values.
#pragma once

#include "common/ref.h"
#include "common/status.h"
#include "descriptor/marshaler.h"
#include "json_parse/json_reader.h"
#include "json_sink/json_writer.h"

namespace velum {


// Copy, merge and equality.
Result<Ref> ShallowCopy(const MessageMarshaler& m, PyObject* msg);
Result<Ref> DeepCopy(const MessageMarshaler& m, PyObject* msg);
Status MergeMessage(const MessageMarshaler& m, PyObject* target, PyObject* source, bool ignore_unknown_fields);
// The rich comparison slot; returns a new reference or null with an exception.
PyObject* CompareMessages(PyObject* self, PyObject* other, int op);

}  // namespace velum
