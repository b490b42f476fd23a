#include "wkt_registry/type_registry.h"

#include "common/py_error.h"
#include "wkt_registry/own_registry.h"

namespace velum::wkt {

namespace {

Ref NewName(std::string_view text) {
  return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

// The marshaler object of what the registry answered: its `type` must be a
// class carrying one.
Result<Ref> MarshalerOfAnswer(const RuntimeNames& names, PyObject* desc) {
  Ref cls = Ref::steal(PyObject_GetAttr(desc, names.name(Name::kType)));
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

Result<Ref> CallRegistry(const RuntimeNames& names, PyObject* registry, std::string_view type_name) {
  Ref name = NewName(type_name);
  if (!name) return Status::Pending();
  // The registry's own code may drop its last reference to itself.
  Ref hold = Ref::borrow(registry);
  // A free slot before the arguments, which PY_VECTORCALL_ARGUMENTS_OFFSET lets the call use.
  PyObject* args[] = {nullptr, registry, name.get()};
  Ref desc = Ref::steal(
      PyObject_VectorcallMethod(names.name(Name::kMessage), args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!desc) return Status::Pending();
  if (desc.get() == Py_None) return Ref();
  return MarshalerOfAnswer(names, desc.get());
}

}  // namespace

std::string_view TypeNameOfUrl(std::string_view url) noexcept {
  const size_t slash = url.rfind('/');
  return slash == std::string_view::npos ? url : url.substr(slash + 1);
}

Result<Ref> ResolveType(const RuntimeNames& names, PyObject* registry, std::string_view type_name,
                        PackedTypes& seen) {
  if (!seen.registry_checked()) {
    VELUM_ASSIGN_OR_RETURN(Ref own, OwnMessageMap(registry));
    seen.SetOwnMap(std::move(own));
  }
  PyObject* map = seen.own_map();
  if (map == nullptr) return CallRegistry(names, registry, type_name);
  // What Registry.message does: one leading "." is dropped, then the map is read.
  const std::string_view key_text = type_name.starts_with('.') ? type_name.substr(1) : type_name;
  PackedTypes::Entry* entry = seen.Find(key_text);
  Ref key = entry != nullptr ? Ref::borrow(entry->name.get()) : NewName(key_text);
  if (!key) return Status::Pending();
  PyObject* found = PyDict_GetItemWithError(map, key.get());
  if (found == nullptr) return PyErr_Occurred() ? Result<Ref>(Status::Pending()) : Result<Ref>(Ref());
  if (found == Py_None) return Ref();
  if (entry != nullptr && entry->desc.get() == found) return Ref::borrow(entry->marshaler.get());
  // Reading `type` may create the class, running Python code that can change the map.
  Ref desc = Ref::borrow(found);
  VELUM_ASSIGN_OR_RETURN(Ref marshaler, MarshalerOfAnswer(names, desc.get()));
  PackedTypes::Entry* slot = entry != nullptr ? entry : seen.Claim();
  if (slot != nullptr) {
    slot->name = std::move(key);
    slot->desc = std::move(desc);
    slot->marshaler = Ref::borrow(marshaler.get());
  }
  return marshaler;
}

}  // namespace velum::wkt
