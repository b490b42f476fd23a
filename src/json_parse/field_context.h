// The " for field {type}.{field}" / " for extension {name}" suffix that the
// JSON reader adds to errors about one field's value.
#pragma once

#include <string_view>

#include "common/py_error.h"
#include "common/ref.h"
#include "common/status.h"

namespace velum::json {

// Names the field (or extension) an error is about; the suffix is formatted
// only on failure, and only for errors of the value itself, so that an error
// inside a nested message keeps the innermost field alone.
struct FieldContext {
  PyObject* owner;  // the full name of the message owning the field; null for an extension
  PyObject* name;   // the field's proto name, or the extension's full name

  Status Attach(Status status) const {
    if (status.ok() || status.kind() == ErrorKind::kPending) return status;
    Ref suffix = Ref::steal(owner != nullptr ? PyUnicode_FromFormat(" for field %U.%U", owner, name)
                                             : PyUnicode_FromFormat(" for extension %U", name));
    if (!suffix) return Status::Pending();
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(suffix.get(), &size);
    if (text == nullptr) return Status::Pending();
    AppendContext(status, std::string_view(text, static_cast<size_t>(size)));
    return status;
  }
};

}  // namespace velum::json
