// The NativeMessage base class: the native part of every message instance and
// the method table through which Python enters the codecs.
#pragma once

#include "common/ref.h"
#include "common/status.h"
#include "descriptor/instance.h"
#include "descriptor/marshaler.h"

namespace velum {

Status ReadyNativeMessageType();

// Module function generic_setattr(obj, name, value).
PyObject* GenericSetattr(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// Slots implemented in construct.cpp.
int NativeMessage_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;
// The call of a generated class itself (its tp_vectorcall): keyword
// construction without building an argument tuple and dict.
PyObject* NativeMessage_vectorcall(PyObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept;
int NativeMessage_setattro(PyObject* self, PyObject* name, PyObject* value) noexcept;

}  // namespace velum
