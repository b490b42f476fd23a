#include "oneof/oneof.h"

#include <cstddef>

#include "common/once.h"
#include "common/py_error.h"
#include "common/arg_binding.h"

namespace velum::oneof {

namespace detail {
PyTypeObject* g_type = nullptr;
}  // namespace detail

namespace {

OnceGate g_type_gate;

constexpr args::Param kNewParams[] = {{"field", false, true}, {"value", false, true}};
constinit args::Signature kNewSignature("Oneof()", kNewParams);
constexpr args::Param kClassGetItemParams[] = {{"key", false, true}};
constinit args::Signature kClassGetItemSignature("Oneof.__class_getitem__()", kClassGetItemParams);

OneofObject* AsOneof(PyObject* object) noexcept { return reinterpret_cast<OneofObject*>(object); }

using detail::g_free;

OneofObject* Allocate(PyTypeObject* type) noexcept {
  if (!g_free.Empty() && type == detail::g_type) [[likely]] {
    OneofObject* self = g_free.Pop();
    // Untracked and holding nothing since it was freed; this sets the type
    // (taking its reference) and the reference count as allocation does.
    PyObject_Init(reinterpret_cast<PyObject*>(self), type);
    return self;
  }
  return PyObject_GC_New(OneofObject, type);
}

// Keeps `self` (untracked, members released) for reuse if there is room.
bool Keep(OneofObject* self, PyTypeObject* type) noexcept {
  if (g_free.Full() || type != detail::g_type) return false;
  g_free.Push(self);
  return true;
}

// Objects holding no references: releasing them cannot free anything else.
bool IsLeaf(PyObject* object) noexcept {
  PyTypeObject* type = Py_TYPE(object);
  // A Value's text or number first: most Oneofs freed hold one.
  if (type == &PyUnicode_Type || type == &PyFloat_Type) [[likely]]
    return true;
  return type == &PyLong_Type || type == &PyBool_Type || object == Py_None;
}

[[gnu::always_inline]] inline Ref Make(PyTypeObject* type, PyObject* field, PyObject* value) {
  OneofObject* self = Allocate(type);
  if (self == nullptr) return Ref();
  self->field = Py_NewRef(field);
  self->value = Py_NewRef(value);
  // A Oneof never changes: holding no object the collector could see, it can
  // never be part of a cycle, so (as a dict of such values) it stays untracked.
  if (MayJoinCycles(field) || MayJoinCycles(value)) PyObject_GC_Track(self);
  return Ref::steal(reinterpret_cast<PyObject*>(self));
}

PyObject* Vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return Guard([&]() -> PyObject* {
    PyObject* bound[2];
    Status status = kNewSignature.Bind(args, static_cast<Py_ssize_t>(nargsf), kwnames, bound);
    if (!status.ok()) return Raise(std::move(status));
    return Make(reinterpret_cast<PyTypeObject*>(type), bound[0], bound[1]).release();
  });
}

// Reached through Oneof.__new__ and tuple/dict calls; vectorcall does the work.
PyObject* TpNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return PyVectorcall_Call(reinterpret_cast<PyObject*>(type), args, kwargs);
}

[[gnu::always_inline]] inline void Release(PyObject* self, PyTypeObject* type) {
  Py_XDECREF(AsOneof(self)->field);
  Py_XDECREF(AsOneof(self)->value);
  if (!Keep(AsOneof(self), type)) type->tp_free(self);
  Py_DECREF(type);
}

#ifndef Py_GIL_DISABLED
// How many Oneofs holding a container are being freed (a Value's Struct or
// ListValue: one in five of a document's Values). Up to kShallowFrees deep
// they are freed without the interpreter's trashcan, whose thread-state
// lookup was most of their cost; deeper ones go through it, so a long chain
// still cannot exhaust the stack. The count is the interpreter lock's, as
// the messages' own count is.
unsigned g_freeing = 0;
constexpr unsigned kShallowFrees = 64;
#endif

void Dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // Members that hold nothing end any chain here: no need to guard the stack.
  // The common case (a field name and a leaf value, kept for reuse) is
  // released here without a call.
  PyObject* field = AsOneof(self)->field;
  PyObject* value = AsOneof(self)->value;
  // The field is a member's name, an exact str, wherever the codecs made the Oneof.
  if (field != nullptr && value != nullptr && Py_IS_TYPE(field, &PyUnicode_Type) && IsLeaf(value)) [[likely]] {
    // Such a Oneof was never tracked (Make tracks one only when a member
    // may join a cycle, and members never change but by Clear, which puts
    // None in both): nothing to untrack.
    Py_DECREF(field);
    floats::Release(value);
    if (!Keep(AsOneof(self), type)) [[unlikely]]
      type->tp_free(self);
    Py_DECREF(type);
    return;
  }
  PyObject_GC_UnTrack(self);
#ifndef Py_GIL_DISABLED
  if (g_freeing < kShallowFrees) [[likely]] {
    ++g_freeing;
    Release(self, type);
    --g_freeing;
    return;
  }
#endif
  // Long chains of nested Oneof objects must not exhaust the C stack.
  Py_TRASHCAN_BEGIN(self, Dealloc)
  Release(self, type);
  Py_TRASHCAN_END
}

int Traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(AsOneof(self)->field);
  Py_VISIT(AsOneof(self)->value);
  return 0;
}

// Breaks reference cycles while keeping both members valid objects, so that
// code still holding the object during collection sees None, not null.
int Clear(PyObject* self) {
  Py_SETREF(AsOneof(self)->field, Py_NewRef(Py_None));
  Py_SETREF(AsOneof(self)->value, Py_NewRef(Py_None));
  return 0;
}

PyObject* Repr(PyObject* self) {
  return PyUnicode_FromFormat("Oneof(field=%R, value=%R)", AsOneof(self)->field, AsOneof(self)->value);
}

// Truth value of `a == b`: 1, 0, or -1 with an exception set.
int EqualsTruth(PyObject* a, PyObject* b) {
  Ref result = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
  if (!result) return -1;
  return PyObject_IsTrue(result.get());
}

int Equal(PyObject* self, PyObject* other) {
  if (!PyObject_TypeCheck(other, detail::g_type)) return 0;
  const int fields = EqualsTruth(AsOneof(self)->field, AsOneof(other)->field);
  if (fields <= 0) return fields;
  return EqualsTruth(AsOneof(self)->value, AsOneof(other)->value);
}

PyObject* RichCompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  const int equal = Equal(self, other);
  if (equal < 0) return nullptr;
  return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

PyObject* ClassGetItem(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Guard([&]() -> PyObject* {
    PyObject* key;
    Status status = kClassGetItemSignature.Bind(args, nargs, kwnames, &key);
    if (!status.ok()) return Raise(std::move(status));
    return Py_GenericAlias(cls, key);
  });
}

// Lets copy and pickle rebuild the pair through the constructor.
PyObject* Reduce(PyObject* self, PyObject*) {
  return Py_BuildValue("O(OO)", Py_TYPE(self), AsOneof(self)->field, AsOneof(self)->value);
}

template <class F>
PyCFunction AsCFunction(F* function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef kMethods[] = {
    {"__class_getitem__", AsCFunction(ClassGetItem), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     VELUM_SIGNATURE_DOC("__class_getitem__($cls, key)")},
    {"__reduce__", AsCFunction(Reduce), METH_NOARGS, VELUM_SIGNATURE_DOC("__reduce__($self)")},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef kMembers[] = {
    {"field", Py_T_OBJECT_EX, offsetof(OneofObject, field), Py_READONLY, "Local name of the member that is set."},
    {"value", Py_T_OBJECT_EX, offsetof(OneofObject, value), Py_READONLY, "Value of the member that is set."},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(VELUM_SIGNATURE_DOC("Oneof(field, value)") "The member of a oneof group that is "
                                                                              "set, by name, and its value.")},
    {Py_tp_new, reinterpret_cast<void*>(TpNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Clear)},
    {Py_tp_repr, reinterpret_cast<void*>(Repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(RichCompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_members, kMembers},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "velum._oneof.Oneof",
    static_cast<int>(sizeof(OneofObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

Status CreateType() {
  Ref type = Ref::steal(PyType_FromSpec(&kSpec));
  if (!type) return Status::Pending();
  auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
  // Messages that name the type ("unhashable type: ...") read as for a class
  // defined in Python; the dotted spec name only provides __module__.
  type_object->tp_name = "Oneof";
  type_object->tp_vectorcall = Vectorcall;
  // The type is immutable, so class attributes go straight into its dict.
  Ref match_args = Ref::steal(Py_BuildValue("(ss)", "field", "value"));
  if (!match_args) return Status::Pending();
  Ref dict = Ref::steal(PyType_GetDict(type_object));
  if (!dict || PyDict_SetItemString(dict.get(), "__match_args__", match_args.get()) < 0) return Status::Pending();
  PyType_Modified(type_object);
  detail::g_type = reinterpret_cast<PyTypeObject*>(type.release());
  return Status::Ok();
}

}  // namespace

Status Ready() { return g_type_gate.Run(CreateType); }

namespace {

#ifndef Py_GIL_DISABLED
// The last Oneof made of a bool, one for each of the two, with the field it
// holds: a run of Values or flags of one oneof member shares them instead of
// making and freeing one each (Oneofs never change, and nothing promises
// their identity). Each holds its field, so a field's address cannot be
// reused while it is remembered here; the interpreter lock guards the pair.
struct SharedFlag {
  PyObject* field = nullptr;
  PyObject* oneof = nullptr;  // a strong reference once set
};
SharedFlag g_flags[2];

[[gnu::noinline]] Ref SharedFlagOneof(PyObject* field, PyObject* value) {
  SharedFlag& shared = g_flags[value == Py_True ? 1 : 0];
  if (shared.field == field) [[likely]]
    return Ref::borrow(shared.oneof);
  Ref made = Make(detail::g_type, field, value);
  if (made) {
    Py_XSETREF(shared.oneof, Py_NewRef(made.get()));
    shared.field = field;
  }
  return made;
}
#endif

}  // namespace

void ReleaseStripped(PyObject* object) noexcept {
  PyTypeObject* type = Py_TYPE(object);
  if (!Keep(AsOneof(object), type)) type->tp_free(object);
  Py_DECREF(type);
}

Ref New(PyObject* field, PyObject* value) {
  if (detail::g_type == nullptr) [[unlikely]] {
    PyErr_SetString(PyExc_SystemError, "Oneof class used before module initialisation");
    return Ref();
  }
#ifndef Py_GIL_DISABLED
  if (Py_IS_TYPE(value, &PyBool_Type)) [[unlikely]]
    return SharedFlagOneof(field, value);
#endif
  return Make(detail::g_type, field, value);
}

}  // namespace velum::oneof
