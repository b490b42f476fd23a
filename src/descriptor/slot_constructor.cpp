#include "descriptor/slot_constructor.h"

#include <structmember.h>

#include <utility>

#include "common/native_box.h"
#include "common/py_error.h"

namespace velum {

namespace {

struct SlotConstructorObject {
  PyObject_VAR_HEAD
  vectorcallfunc vectorcall;
  PyTypeObject* cls;  // owned
  Py_ssize_t offsets[1];
};

PyTypeObject* g_type = nullptr;

// A setter sets a few members at once (what resolving a message fills).
constexpr Py_ssize_t kMaxSetterSlots = 16;

SlotConstructorObject* AsConstructor(PyObject* self) noexcept {
  return reinterpret_cast<SlotConstructorObject*>(self);
}

PyObject* Construct(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  SlotConstructorObject* c = AsConstructor(self);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  Py_ssize_t count = Py_SIZE(self);
  if (nargs != count || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments (%zd given)", c->cls->tp_name, count,
                 nargs);
    return nullptr;
  }
  PyObject* obj = c->cls->tp_alloc(c->cls, 0);
  if (obj == nullptr) return nullptr;
  // A fresh instance: every slot is empty, so nothing is released here.
  for (Py_ssize_t i = 0; i < count; ++i) {
    *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + c->offsets[i]) = Py_NewRef(args[i]);
  }
  return obj;
}

// The setter's call `setter(obj, values)`: the slots of `obj` from the tuple `values`.
PyObject* Assign(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  SlotConstructorObject* c = AsConstructor(self);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  Py_ssize_t count = Py_SIZE(self);
  if (nargs != 2 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
    PyErr_Format(PyExc_TypeError, "%s slot setter takes 2 positional arguments (%zd given)", c->cls->tp_name, nargs);
    return nullptr;
  }
  PyObject* obj = args[0];
  PyObject* values = args[1];
  if (!PyObject_TypeCheck(obj, c->cls)) {
    PyErr_Format(PyExc_TypeError, "%s slot setter takes a %s, not %s", c->cls->tp_name, c->cls->tp_name,
                 Py_TYPE(obj)->tp_name);
    return nullptr;
  }
  if (!PyTuple_Check(values) || PyTuple_GET_SIZE(values) != count) {
    PyErr_Format(PyExc_TypeError, "%s slot setter takes a tuple of %zd values", c->cls->tp_name, count);
    return nullptr;
  }
  // Every slot is set before an old value is released: a release may run code
  // that must see the object whole.
  PyObject* old[kMaxSetterSlots];
  for (Py_ssize_t i = 0; i < count; ++i) {
    auto** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + c->offsets[i]);
    old[i] = std::exchange(*slot, Py_NewRef(PyTuple_GET_ITEM(values, i)));
  }
  for (Py_ssize_t i = 0; i < count; ++i) Py_XDECREF(old[i]);
  Py_RETURN_NONE;
}

int Traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(reinterpret_cast<PyObject*>(AsConstructor(self)->cls));
  return 0;
}

int Clear(PyObject* self) {
  Py_CLEAR(AsConstructor(self)->cls);
  return 0;
}

void Dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_CLEAR(AsConstructor(self)->cls);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMemberDef kMembers[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(SlotConstructorObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Makes an instance of a slotted class from its slot values.")},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, kMembers},
    {Py_tp_traverse, reinterpret_cast<void*>(Traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Dealloc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "_velum_ext.SlotConstructor",
    static_cast<int>(offsetof(SlotConstructorObject, offsets)),
    static_cast<int>(sizeof(Py_ssize_t)),
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

Result<Ref> NewConstructor(PyObject* cls, PyObject* members, bool setter) {
  const char* caller = setter ? "_slot_setter()" : "_slot_constructor()";
  if (!PyType_Check(cls)) return FormatError(ErrorKind::kType, "%s takes a class", caller);
  if (!PyTuple_Check(members)) return FormatError(ErrorKind::kType, "%s members must be a tuple", caller);
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  if (type->tp_itemsize != 0) return FormatError(ErrorKind::kType, "%s takes a fixed-size class", caller);
  VELUM_ASSIGN_OR_RETURN(PyTypeObject * ctor_type, ReadyType(g_type, kSpec));
  Py_ssize_t count = PyTuple_GET_SIZE(members);
  if (setter && count > kMaxSetterSlots) return Status(ErrorKind::kValue, "_slot_setter() takes at most 16 members");
  Ref obj = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_NewVar(SlotConstructorObject, ctor_type, count)));
  if (!obj) return Status::Pending();  // (the new object holds its reference to ctor_type)
  SlotConstructorObject* c = AsConstructor(obj.get());
  c->vectorcall = setter ? Assign : Construct;
  c->cls = reinterpret_cast<PyTypeObject*>(Py_NewRef(cls));
  for (Py_ssize_t i = 0; i < count; ++i) c->offsets[i] = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* member = PyTuple_GET_ITEM(members, i);
    VELUM_ASSIGN_OR_RETURN(c->offsets[i], ObjectSlotOffset(type, member, caller));
  }
  PyObject_GC_Track(obj.get());
  return obj;
}

}  // namespace

namespace {

Result<Py_ssize_t> SlotOffset(PyTypeObject* cls, PyObject* member, const char* caller, bool writable) {
  if (!Py_IS_TYPE(member, &PyMemberDescr_Type)) {
    return FormatError(ErrorKind::kType, "%s members must be member descriptors", caller);
  }
  auto* descr = reinterpret_cast<PyMemberDescrObject*>(member);
  const PyMemberDef* def = descr->d_member;
  if (def == nullptr || def->type != Py_T_OBJECT_EX || (writable && (def->flags & Py_READONLY)) ||
      def->offset <= 0 || !PyType_IsSubtype(cls, descr->d_common.d_type)) {
    return FormatError(ErrorKind::kType, writable ? "%s members must be writable object slots of the class"
                                                  : "%s members must be object slots of the class",
                       caller);
  }
  return def->offset;
}

}  // namespace

Result<Py_ssize_t> ObjectSlotOffset(PyTypeObject* cls, PyObject* member, const char* caller) {
  return SlotOffset(cls, member, caller, true);
}

Result<Py_ssize_t> ReadSlotOffset(PyTypeObject* cls, PyObject* member, const char* caller) {
  return SlotOffset(cls, member, caller, false);
}

PyObject* SlotConstructorFn(PyObject*, PyObject* const* argv, Py_ssize_t nargs) noexcept {
  return Guard([&]() -> PyObject* {
    if (!ExactPositional("_slot_constructor()", nargs, 2)) return nullptr;
    Result<Ref> made = NewConstructor(argv[0], argv[1], false);
    return ReturnNew(std::move(made));
  });
}

PyObject* SlotSetterFn(PyObject*, PyObject* const* argv, Py_ssize_t nargs) noexcept {
  return Guard([&]() -> PyObject* {
    if (!ExactPositional("_slot_setter()", nargs, 2)) return nullptr;
    Result<Ref> made = NewConstructor(argv[0], argv[1], true);
    return ReturnNew(std::move(made));
  });
}

}  // namespace velum
