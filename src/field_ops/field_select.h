// Whether a field is written, and with which value: the one decision shared by
// the binary encoder, the JSON writer and the runtime's has_field and repr.
#pragma once

#include "common/ref.h"
#include "common/status.h"
#include "descriptor/marshaler.h"

namespace velum {

// Checks every oneof attribute of `msg` before anything is written: None, or
// a Oneof whose `field` names a field of the type.
Status CheckOneofs(const MessageMarshaler& m, PyObject* msg);

// The value of `f` that is written, in `out` (a new reference), or `out` left
// empty when the field is skipped:
// - a oneof member: the Oneof's value when the oneof holds this member;
// - explicit presence or required: scalars and enums when their presence bit
//   is set, messages when not None; a required field not set is ValueError
//   "cannot encode {field} to binary: required field not set";
// - implicit presence: unless `always_emit_implicit`, skipped at its default
//   (empty list or map, +0.0 for floating point — so -0.0 and NaN are
//   written —, a false scalar, the enum's default, None).
Status SelectField(const FieldSpec& f, PyObject* msg, bool always_emit_implicit, Ref& out);

// Whether SelectField writes `f` (a required field not set is simply unset).
Result<bool> IsFieldSet(const FieldSpec& f, PyObject* msg);

// ValueError "cannot encode {field} to binary: required field not set".
Status RequiredNotSet(const FieldSpec& f);

// Whether `holder`, an object read from a oneof attribute, holds the member
// `f` (a Oneof whose `field` is a str equal to f's name).
Result<bool> OneofHolds(PyObject* holder, const FieldSpec& f);

}  // namespace velum
