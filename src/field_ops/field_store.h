// Storing decoded values into an instance: one set of rules for the binary
// decoder and the JSON reader (presence bits, oneofs, resets, merge targets).
#pragma once

#include <cstdint>

#include "common/ref.h"
#include "common/status.h"
#include "descriptor/marshaler.h"

namespace velum {

// Sets / clears the presence bit `number` of `msg` (a NativeMessage).
Status SetPresent(PyObject* msg, uint32_t number);
Status ClearPresent(PyObject* msg, uint32_t number);

// Store with presence: a oneof member replaces whatever its oneof held with
// Oneof(field, value); any other field replaces its value (slot, or generic
// setattr) and sets its presence bit when it tracks presence.
Status StoreWithPresence(PyObject* msg, const FieldSpec& f, Ref value);

// Null-reset: a oneof member sets its oneof to None only when the oneof holds
// this member (any other state is left alone, and `value` is not stored);
// any other field stores `value` (its zero value, enum default or None) and
// clears its presence bit.
Status StoreNullReset(PyObject* msg, const FieldSpec& f, PyObject* value);

// Repeat-reset: a list field gets a new empty list, a map a new empty dict, a
// singular message None with its presence bit cleared. Other fields: nothing.
Status ResetRepeated(PyObject* msg, const FieldSpec& f);

// The list / dict a list or map field holds, type-checked ("'{type}' object
// is not an instance of 'list'" / "'dict'").
Result<Ref> StoredList(PyObject* msg, const FieldSpec& f);
Result<Ref> StoredDict(PyObject* msg, const FieldSpec& f);

// The sub-message a singular message field holds, to merge into: for a oneof
// member only while its oneof holds this member. Empty when there is none (or
// it is None); otherwise checked to be an instance of `nested`'s class.
Result<Ref> CurrentSubMessage(PyObject* msg, const FieldSpec& f, const MessageMarshaler& nested);

// CurrentSubMessage, or a new default instance of `nested`'s class when there
// is none. Store the result back with StoreWithPresence once it is filled.
Result<Ref> SubMessageToMerge(PyObject* msg, const FieldSpec& f, const MessageMarshaler& nested);

}  // namespace velum
