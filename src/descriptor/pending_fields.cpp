#include "descriptor/pending_fields.h"

#include <cstddef>

#include "common/native_box.h"

namespace velum {

namespace {

enum Bound { kResolve, kProto, kFeatures, kTargets, kBound };

struct PendingFieldsObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* bound[kBound];  // owned
};

PyTypeObject* g_type = nullptr;

PendingFieldsObject* AsPending(PyObject* self) { return reinterpret_cast<PendingFieldsObject*>(self); }

PyObject* CallPending(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs != 1 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
    PyErr_Format(PyExc_TypeError, "the pending fields take 1 positional argument (%zd given)", nargs);
    return nullptr;
  }
  PyObject* const* bound = AsPending(self)->bound;
  PyObject* call_args[] = {bound[kProto], bound[kFeatures], bound[kTargets], args[0]};
  return PyObject_Vectorcall(bound[kResolve], call_args, std::size(call_args), nullptr);
}

PyObject* GetArgs(PyObject* self, void*) noexcept {
  PyObject* const* bound = AsPending(self)->bound;
  return PyTuple_Pack(3, bound[kProto], bound[kFeatures], bound[kTargets]);
}

int Traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  for (PyObject* item : AsPending(self)->bound) Py_VISIT(item);
  return 0;
}

int Clear(PyObject* self) {
  for (PyObject*& item : AsPending(self)->bound) Py_CLEAR(item);
  return 0;
}

void Dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMemberDef kMembers[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(PendingFieldsObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"args", GetArgs, nullptr, "(proto, features, targets), as bound.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Resolves a loaded message's fields when they are first read.")},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, kMembers},
    {Py_tp_getset, kGetSet},
    {Py_tp_traverse, reinterpret_cast<void*>(Traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Dealloc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "_velum_ext.PendingFields",
    static_cast<int>(sizeof(PendingFieldsObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

}  // namespace

Result<Ref> NewPendingFields(PyObject* resolve, PyObject* proto, PyObject* features, PyObject* targets) {
  VELUM_ASSIGN_OR_RETURN(PyTypeObject * type, ReadyType(g_type, kSpec));
  PendingFieldsObject* made = PyObject_GC_New(PendingFieldsObject, type);
  if (made == nullptr) return Status::Pending();
  made->vectorcall = CallPending;
  PyObject* values[] = {resolve, proto, features, targets};
  for (int i = 0; i < kBound; ++i) made->bound[i] = Py_NewRef(values[i]);
  PyObject_GC_Track(made);
  return Ref::steal(reinterpret_cast<PyObject*>(made));
}

}  // namespace velum
