#include "descriptor/pending_fields.h"

#include <cstddef>

#include "common/native_box.h"
#include "common/py_error.h"

namespace velum {

namespace {

enum Bound { kResolve, kProto, kFeatures, kBound };

// The targets are held inline (one object a pending message instead of two) and
// handed over as a list when the fields are resolved.
struct PendingFieldsObject {
  PyObject_VAR_HEAD
  vectorcallfunc vectorcall;
  PyObject* bound[kBound];  // owned
  PyObject* targets[1];     // Py_SIZE of them, owned
};

PyTypeObject* g_type = nullptr;

PendingFieldsObject* AsPending(PyObject* self) { return reinterpret_cast<PendingFieldsObject*>(self); }

PyObject* TargetList(PyObject* self) {
  Py_ssize_t count = Py_SIZE(self);
  PyObject* list = PyList_New(count);
  if (list == nullptr) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) PyList_SET_ITEM(list, i, Py_NewRef(AsPending(self)->targets[i]));
  return list;
}

PyObject* CallPending(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs != 1 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
    PyErr_Format(PyExc_TypeError, "the pending fields take 1 positional argument (%zd given)", nargs);
    return nullptr;
  }
  Ref targets = Ref::steal(TargetList(self));
  if (!targets) return nullptr;
  PyObject* const* bound = AsPending(self)->bound;
  PyObject* call_args[] = {bound[kProto], bound[kFeatures], targets.get(), args[0]};
  return PyObject_Vectorcall(bound[kResolve], call_args, std::size(call_args), nullptr);
}

PyObject* GetArgs(PyObject* self, void*) noexcept {
  Ref targets = Ref::steal(TargetList(self));
  if (!targets) return nullptr;
  PyObject* const* bound = AsPending(self)->bound;
  return PyTuple_Pack(3, bound[kProto], bound[kFeatures], targets.get());
}

int Traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  PendingFieldsObject* pending = AsPending(self);
  for (PyObject* item : pending->bound) Py_VISIT(item);
  for (Py_ssize_t i = 0; i < Py_SIZE(self); ++i) Py_VISIT(pending->targets[i]);
  return 0;
}

int Clear(PyObject* self) {
  PendingFieldsObject* pending = AsPending(self);
  for (PyObject*& item : pending->bound) Py_CLEAR(item);
  for (Py_ssize_t i = 0; i < Py_SIZE(self); ++i) Py_CLEAR(pending->targets[i]);
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

PyObject* GetFunc(PyObject* self, void*) noexcept { return Py_NewRef(AsPending(self)->bound[kResolve]); }

PyGetSetDef kGetSet[] = {
    {"args", GetArgs, nullptr, "(proto, features, targets), as bound.", nullptr},
    {"func", GetFunc, nullptr, "The resolving function, as bound.", nullptr},
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
    static_cast<int>(offsetof(PendingFieldsObject, targets)),
    static_cast<int>(sizeof(PyObject*)),
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

}  // namespace

bool IsPendingFields(PyObject* obj) noexcept { return g_type != nullptr && Py_TYPE(obj) == g_type; }

Result<Ref> NewPendingFields(PyObject* resolve, PyObject* proto, PyObject* features, PyObject* targets,
                             bool tracked) {
  if (!PyList_Check(targets)) return TypeCheckError(targets, "list");
  VELUM_ASSIGN_OR_RETURN(PyTypeObject * type, ReadyType(g_type, kSpec));
  Py_ssize_t count = PyList_GET_SIZE(targets);
  PendingFieldsObject* made = PyObject_GC_NewVar(PendingFieldsObject, type, count);
  if (made == nullptr) return Status::Pending();
  made->vectorcall = CallPending;
  PyObject* values[] = {resolve, proto, features};
  for (int i = 0; i < kBound; ++i) made->bound[i] = Py_NewRef(values[i]);
  for (Py_ssize_t i = 0; i < count; ++i) made->targets[i] = Py_NewRef(PyList_GET_ITEM(targets, i));
  if (tracked) PyObject_GC_Track(made);
  return Ref::steal(reinterpret_cast<PyObject*>(made));
}

}  // namespace velum
