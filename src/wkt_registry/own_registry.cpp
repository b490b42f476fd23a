#include "wkt_registry/own_registry.h"

#include <cstring>

namespace velum::wkt {

namespace {

// Strong references for the rest of the process, set once the runtime's
// registry module is imported (a registry object cannot exist before).
PyTypeObject* g_class = nullptr;
PyObject* g_message = nullptr;  // the function Registry.message
PyObject* g_message_name = nullptr;
PyObject* g_map_name = nullptr;

Status Learn() {
  if (g_message_name == nullptr) g_message_name = PyUnicode_InternFromString("message");
  if (g_map_name == nullptr) g_map_name = PyUnicode_InternFromString("_messages");
  if (g_message_name == nullptr || g_map_name == nullptr) return Status::Pending();
  Ref module_name = Ref::steal(PyUnicode_FromString("velum._registry"));
  if (!module_name) return Status::Pending();
  // Only a module already imported: looking never imports (nor runs) anything.
  Ref module = Ref::steal(PyImport_GetModule(module_name.get()));
  if (!module) return PyErr_Occurred() ? Status::Pending() : Status::Ok();
  Ref cls = Ref::steal(PyObject_GetAttrString(module.get(), "Registry"));
  if (!cls) return Status::Pending();
  if (!PyType_Check(cls.get()) || g_class != nullptr) return Status::Ok();
  auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
  PyObject* method = PyDict_GetItemWithError(type->tp_dict, g_message_name);
  if (method == nullptr) return PyErr_Occurred() ? Status::Pending() : Status::Ok();
  if (!PyFunction_Check(method)) return Status::Ok();
  g_message = Py_NewRef(method);
  g_class = reinterpret_cast<PyTypeObject*>(cls.release());
  return Status::Ok();
}

}  // namespace

Result<Ref> OwnMessageMap(PyObject* registry) {
  if (g_class == nullptr) {
    // The name test keeps other registries from looking for the module on every Any.
    if (std::strcmp(Py_TYPE(registry)->tp_name, "Registry") != 0) return Ref();
    VELUM_TRY(Learn());
    if (g_class == nullptr) return Ref();
  }
  if (Py_TYPE(registry) != g_class) return Ref();
  // The bound method is what a call would run: an attribute set on the
  // instance, or a method replaced on the class, is called as usual.
  Ref bound = Ref::steal(PyObject_GetAttr(registry, g_message_name));
  if (!bound) return Status::Pending();
  if (!PyMethod_Check(bound.get()) || PyMethod_GET_FUNCTION(bound.get()) != g_message ||
      PyMethod_GET_SELF(bound.get()) != registry) {
    return Ref();
  }
  Ref map = Ref::steal(PyObject_GetAttr(registry, g_map_name));
  if (!map || !PyDict_CheckExact(map.get())) {
    // The call reports (or copes with) whatever is wrong with the map itself.
    PyErr_Clear();
    return Ref();
  }
  return map;
}

}  // namespace velum::wkt
