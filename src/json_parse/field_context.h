// The " for field {type}.{field}" / " for extension {name}" suffix that the
// JSON reader adds to errors about one field's value.
#pragma once

#include "common/py_error.h"
#include "common/status.h"

namespace velum::json {

// Names the field (or extension) an error is about; the suffix is formatted
// only on failure, and only for errors of the value itself, so that an error
// inside a nested message keeps the innermost field alone.
struct FieldContext {
  PyObject* owner;  // the full name of the message owning the field; null for an extension
  PyObject* name;   // the field's proto name, or the extension's full name

  // Exceptions raised by Python code the conversion called propagate as they are.
  Status Attach(Status status) const {
    if (status.ok() || status.kind() == ErrorKind::kPending) return status;
    if (owner != nullptr) {
      AttachFieldContext(status, owner, name);
    } else {
      AttachExtensionContext(status, name);
    }
    return status;
  }
};

}  // namespace velum::json
