#include "wkt_registry/type_registry.h"

#include "common/py_error.h"

namespace velum::wkt {

std::string_view TypeNameOfUrl(std::string_view url) noexcept {
  const size_t slash = url.rfind('/');
  return slash == std::string_view::npos ? url : url.substr(slash + 1);
}

Result<Ref> ResolveType(const RuntimeNames& names, PyObject* registry, std::string_view type_name) {
  Ref name = Ref::steal(PyUnicode_DecodeUTF8(type_name.data(), static_cast<Py_ssize_t>(type_name.size()), nullptr));
  if (!name) return Status::Pending();
  // The registry's own code may drop its last reference to itself.
  Ref hold = Ref::borrow(registry);
  // A free slot before the arguments, which PY_VECTORCALL_ARGUMENTS_OFFSET lets the call use.
  PyObject* args[] = {nullptr, registry, name.get()};
  Ref desc = Ref::steal(
      PyObject_VectorcallMethod(names.name(Name::kMessage), args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!desc) return Status::Pending();
  if (desc.get() == Py_None) return Ref();
  Ref cls = Ref::steal(PyObject_GetAttr(desc.get(), names.name(Name::kType)));
  if (!cls) return Status::Pending();
  if (!PyType_Check(cls.get())) return TypeCheckError(cls.get(), "type");
  Ref marshaler = Ref::steal(PyObject_GetAttr(cls.get(), names.name(Name::kExtMarshaler)));
  if (!marshaler) {
    // A class that was never initialised has no marshaler to offer.
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Status::Pending();
    PyErr_Clear();
    return TypeCheckError(Py_None, "MessageMarshaler");
  }
  if (!IsMarshaler(marshaler.get())) return TypeCheckError(marshaler.get(), "MessageMarshaler");
  return marshaler;
}

}  // namespace velum::wkt
