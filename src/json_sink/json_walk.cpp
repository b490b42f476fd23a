#include "json_sink/json_walk.h"

#include "common/arg_binding.h"

namespace velum::json_sink::walk_detail {

Status WrongInstance(const MessageMarshaler& m, PyObject* msg) {
  if (!m.message_class) return Status(ErrorKind::kRuntime, "message marshaler was cleared");
  if (!IsNativeMessage(msg)) return TypeCheckError(msg, "NativeMessage");
  return FormatError(ErrorKind::kType, "expected '%U', got %S", m.full_name.get(),
                     reinterpret_cast<PyObject*>(Py_TYPE(msg)));
}

Status WrongMessageType(const MessageMarshaler& declared, PyObject* value) {
  return FormatError(ErrorKind::kType, "expected '%U', got %S", declared.full_name.get(),
                     reinterpret_cast<PyObject*>(Py_TYPE(value)));
}

Result<Ref> KeyText(PyObject* key) {
  Ref text = Ref::steal(PyObject_Str(key));
  if (!text) return Status::Pending();
  return text;
}

Result<bool> BoolKey(PyObject* key) {
  bool flag = false;
  VELUM_TRY(args::ToBool(key, "map key", &flag));
  return flag;
}

Result<Extension> LookupExtension(const MessageMarshaler& m, PyObject* registry, PyObject* desc, PyObject* msg,
                                  PyObject* number) {
  const RuntimeNames& names = *m.names;
  // A free slot before the arguments, which PY_VECTORCALL_ARGUMENTS_OFFSET lets the call use.
  PyObject* call_args[] = {nullptr, registry, desc, number};
  Ref ext = Ref::steal(PyObject_VectorcallMethod(names.name(Name::kExtensionFor), call_args + 1,
                                                 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!ext) return Status::Pending();
  Extension out;
  if (ext.get() == Py_None) return out;
  Ref type = Ref::steal(PyObject_GetAttr(ext.get(), names.name(Name::kType)));
  if (!type) return Status::Pending();
  out.value = Ref::steal(PyObject_GetItem(msg, type.get()));
  if (!out.value) return Status::Pending();
  Ref value_desc = Ref::steal(PyObject_GetAttr(ext.get(), names.name(Name::kValue)));
  if (!value_desc) return Status::Pending();
  VELUM_ASSIGN_OR_RETURN(out.kind, ClassifyFieldValue(names, value_desc.get()));
  Ref type_name = Ref::steal(PyObject_GetAttr(ext.get(), names.name(Name::kTypeName)));
  if (!type_name) return Status::Pending();
  if (!PyUnicode_Check(type_name.get())) return TypeCheckError(type_name.get(), "str");
  out.member = Ref::steal(PyUnicode_FromFormat("[%U]", type_name.get()));
  if (!out.member) return Status::Pending();
  return out;
}

}  // namespace velum::json_sink::walk_detail
