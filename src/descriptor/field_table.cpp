#include "descriptor/field_table.h"

#include <cstddef>
#include <new>

#include "common/native_box.h"
#include "common/py_error.h"

namespace velum {

namespace {

struct FieldTableObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  FieldTable table;
};

PyTypeObject* g_type = nullptr;

FieldTable* Payload(PyObject* self) { return &reinterpret_cast<FieldTableObject*>(self)->table; }

// The targets as the pending resolution held them, in a new list.
PyObject* TargetList(const FieldTable& table) {
  PyObject* targets = PyList_New(static_cast<Py_ssize_t>(table.fields.size()));
  if (targets == nullptr) return nullptr;
  for (size_t i = 0; i < table.fields.size(); ++i) {
    PyList_SET_ITEM(targets, static_cast<Py_ssize_t>(i), Py_NewRef(table.fields[i].target.get()));
  }
  return targets;
}

PyObject* CallTable(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  return Guard([&]() -> PyObject* {
    if (!ExactPositional("FieldTable()", PyVectorcall_NARGS(nargsf), 1, kwnames)) return nullptr;
    const FieldTable& table = *Payload(self);
    Ref targets = Ref::steal(TargetList(table));
    if (!targets) return nullptr;
    // Held: the call may drop the message's last reference to this table.
    Ref resolve = table.resolve.clone();
    Ref proto = table.proto.clone();
    Ref features = table.features.clone();
    PyObject* call_args[] = {proto.get(), features.get(), targets.get(), args[0]};
    return PyObject_Vectorcall(resolve.get(), call_args, 4, nullptr);
  });
}

// `func` and `args` as the pending resolution it replaces (and a partial) has them.
PyObject* GetFunc(PyObject* self, void*) noexcept { return Py_NewRef(Payload(self)->resolve.get()); }

PyObject* GetArgs(PyObject* self, void*) noexcept {
  const FieldTable& table = *Payload(self);
  Ref targets = Ref::steal(TargetList(table));
  if (!targets) return nullptr;
  return PyTuple_Pack(3, table.proto.get(), table.features.get(), targets.get());
}

PyMemberDef kMembers[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FieldTableObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"func", GetFunc, nullptr, "The resolving function, as the pending resolution held it.", nullptr},
    {"args", GetArgs, nullptr, "(proto, features, targets), as the pending resolution held them.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("A loaded message's fields as its class needs them; resolves them when called.")},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, kMembers},
    {Py_tp_getset, kGetSet},
    {Py_tp_dealloc, reinterpret_cast<void*>(BoxDealloc<FieldTable, Payload>)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "_velum_ext.FieldTable",
    static_cast<int>(sizeof(FieldTableObject)),
    0,
    // Not a collected type: its holder visits its references (TraverseFieldTable).
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

}  // namespace

Result<PyTypeObject*> FieldTableType() { return ReadyType(g_type, kSpec); }

Result<Ref> NewFieldTable(FieldTable&& table) {
  VELUM_ASSIGN_OR_RETURN(PyTypeObject * type, FieldTableType());
  auto* made = PyObject_New(FieldTableObject, type);
  if (made == nullptr) return Status::Pending();
  made->vectorcall = CallTable;
  new (&made->table) FieldTable(std::move(table));
  return Ref::steal(reinterpret_cast<PyObject*>(made));
}

bool IsFieldTable(PyObject* obj) noexcept { return g_type != nullptr && Py_IS_TYPE(obj, g_type); }

const FieldTable& AsFieldTable(PyObject* obj) noexcept { return *Payload(obj); }

int TraverseFieldTable(PyObject* obj, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(obj));
  const FieldTable* table = Payload(obj);
  Py_VISIT(table->resolve.get());
  Py_VISIT(table->proto.get());
  Py_VISIT(table->features.get());
  for (const TableField& field : table->fields) {
    // Names, numbers and parsed defaults refer to nothing.
    Py_VISIT(field.target.get());
    if (field.default_value && PyObject_IS_GC(field.default_value.get())) Py_VISIT(field.default_value.get());
  }
  return 0;
}

}  // namespace velum
