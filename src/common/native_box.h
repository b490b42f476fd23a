// Python objects that own one C++ payload after their header, and the types
// for them, created on first use and kept for the life of the process.
#pragma once

#include "common/ref.h"
#include "common/status.h"

namespace velum {

// The type built from `spec`, created the first time it is asked for. Callers
// hold the GIL, which serialises the creation.
inline Result<PyTypeObject*> ReadyType(PyTypeObject*& cache, PyType_Spec& spec) {
  if (cache == nullptr) {
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) return Status::Pending();
    cache = reinterpret_cast<PyTypeObject*>(type);
  }
  return cache;
}

// tp_dealloc for a box whose payload `Get(self)` returns: runs the payload's
// destructor, frees the object and drops the reference to its heap type.
template <class Payload, Payload* (*Get)(PyObject*)>
void BoxDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if (PyType_HasFeature(type, Py_TPFLAGS_HAVE_GC)) PyObject_GC_UnTrack(self);
  Get(self)->~Payload();
  type->tp_free(self);
  Py_DECREF(type);
}

}  // namespace velum
