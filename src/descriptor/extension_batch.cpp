#include "descriptor/extension_batch.h"

#include "common/py_error.h"
#include "descriptor/field_check.h"
#include "descriptor/slot_constructor.h"

namespace velum::field_resolver {

namespace {

// What resolving extensions reads of files, messages, field records and features.
struct ExtensionLayout {
  PyTypeObject* file;
  Py_ssize_t package;
  Py_ssize_t file_extensions;
  Py_ssize_t type_name;
  Py_ssize_t nested_extensions;
  Py_ssize_t extendee;
  PyTypeObject* features;
  Py_ssize_t feature[3];  // field_presence, message_encoding, repeated_field_encoding
};

enum LayoutEntry {
  kLayoutFile,
  kLayoutPackage,
  kLayoutFileExtensions,
  kLayoutTypeName,
  kLayoutNestedExtensions,
  kLayoutExtendee,
  kLayoutFeatures,
  kLayoutFeature,  // three members from here
  kLayoutCount = kLayoutFeature + 3,
};

Status LayoutError() {
  return Status(ErrorKind::kType, "extensions() takes the runtime's types, layout and makers");
}

Result<ExtensionLayout> ReadLayout(const FieldResolver& r, PyObject* layout) {
  if (!PyTuple_Check(layout) || PyTuple_GET_SIZE(layout) != kLayoutCount) return LayoutError();
  PyObject* file = PyTuple_GET_ITEM(layout, kLayoutFile);
  PyObject* features = PyTuple_GET_ITEM(layout, kLayoutFeatures);
  if (!PyType_Check(file) || !PyType_Check(features)) return LayoutError();
  ExtensionLayout read{};
  read.file = reinterpret_cast<PyTypeObject*>(file);
  read.features = reinterpret_cast<PyTypeObject*>(features);
  auto* message = reinterpret_cast<PyTypeObject*>(r.classes[kMessageClass].get());
  auto* record = reinterpret_cast<PyTypeObject*>(r.proto_class.get());
  const char* caller = "extensions()";
  auto offset = [&](PyTypeObject* cls, int entry) { return ReadSlotOffset(cls, PyTuple_GET_ITEM(layout, entry), caller); };
  VELUM_ASSIGN_OR_RETURN(read.package, offset(read.file, kLayoutPackage));
  VELUM_ASSIGN_OR_RETURN(read.file_extensions, offset(read.file, kLayoutFileExtensions));
  VELUM_ASSIGN_OR_RETURN(read.type_name, offset(message, kLayoutTypeName));
  VELUM_ASSIGN_OR_RETURN(read.nested_extensions, offset(message, kLayoutNestedExtensions));
  VELUM_ASSIGN_OR_RETURN(read.extendee, offset(record, kLayoutExtendee));
  for (int i = 0; i < 3; ++i) {
    VELUM_ASSIGN_OR_RETURN(read.feature[i], offset(read.features, kLayoutFeature + i));
  }
  return read;
}

// The message a record's extendee names (leading dots dropped), looked up in the
// batch and then in what is loaded; null when it is in neither.
Result<PyObject*> Extendee(PyObject* extendee, PyObject* messages, PyObject* known) {
  if (!PyUnicode_Check(extendee)) return nullptr;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(extendee);
  Py_ssize_t start = 0;
  while (start < length && PyUnicode_READ_CHAR(extendee, start) == '.') ++start;
  Ref name = start == 0 ? Ref::borrow(extendee) : Ref::steal(PyUnicode_Substring(extendee, start, length));
  if (!name) return Status::Pending();
  PyObject* found = PyDict_GetItemWithError(messages, name.get());
  if (found == nullptr && !PyErr_Occurred()) found = PyDict_GetItemWithError(known, name.get());
  if (found == nullptr && PyErr_Occurred()) return Status::Pending();
  return found;
}

// Texts every extension of a call uses.
struct Texts {
  Ref dot;    // "."
  Ref value;  // "value": the one attribute of an extension's holder class
};

Result<Ref> Joined(const Texts& t, PyObject* prefix, PyObject* name) {
  Ref dotted = Ref::steal(PyUnicode_Concat(prefix, t.dot.get()));
  if (!dotted) return Status::Pending();
  Ref full = Ref::steal(PyUnicode_Concat(dotted.get(), name));
  if (!full) return Status::Pending();
  return full;
}

// The extension of one work item made here and listed, or false (nothing made
// or listed) when the runtime must resolve it.
Result<bool> Resolve(const FieldResolver& r, const ExtensionLayout& l, const Texts& t, PyObject* const types[4],
                     PyObject* new_extension, PyObject* out, PyObject* record, PyObject* file, PyObject* scope,
                     PyObject* features) {
  auto* message = reinterpret_cast<PyTypeObject*>(r.classes[kMessageClass].get());
  if (Py_TYPE(file) != l.file || Py_TYPE(features) != l.features) return false;
  if (!PyObject_TypeCheck(record, reinterpret_cast<PyTypeObject*>(r.proto_class.get()))) return false;
  PyObject* prefix;
  PyObject* list;
  if (scope == Py_None) {
    prefix = SlotAt(file, l.package);
    list = SlotAt(file, l.file_extensions);
  } else {
    if (Py_TYPE(scope) != message) return false;
    PyObject* map_entry = SlotAt(scope, r.value_slot[kIsMapEntry]);
    if (map_entry != Py_False) return false;  // (the entry's own encoding: the runtime's step)
    prefix = SlotAt(scope, l.type_name);
    list = SlotAt(scope, l.nested_extensions);
  }
  if (prefix == nullptr || !PyUnicode_Check(prefix) || list == nullptr || !PyList_Check(list)) return false;
  PyObject* name = SlotAt(record, r.proto_slot[kName]);
  PyObject* number = SlotAt(record, r.proto_slot[kNumber]);
  PyObject* extendee_name = SlotAt(record, l.extendee);
  if (name == nullptr || !PyUnicode_Check(name) || number == nullptr || extendee_name == nullptr) return false;
  VELUM_ASSIGN_OR_RETURN(PyObject * extendee, Extendee(extendee_name, types[0], types[2]));
  if (extendee == nullptr) return false;
  VELUM_ASSIGN_OR_RETURN(PyObject * target, RecordTarget(r, record, types));
  if (target == Py_None) return false;
  long by_scope[3];
  for (int i = 0; i < 3; ++i) {
    PyObject* value = SlotAt(features, l.feature[i]);
    if (value == nullptr || !PyLong_Check(value)) return false;
    by_scope[i] = PyLong_AsLong(value);
    if (by_scope[i] == -1 && PyErr_Occurred()) return Status::Pending();
  }
  const bool top = PyUnicode_GET_LENGTH(prefix) == 0;
  Ref full_name = top ? Ref::borrow(name) : Ref();
  Ref field_prefix = top ? Ref::borrow(prefix) : Ref();  // "" at the top, else prefix + "."
  if (!top) {
    VELUM_ASSIGN_OR_RETURN(full_name, Joined(t, prefix, name));
    const Py_ssize_t dotted = PyUnicode_GET_LENGTH(prefix) + 1;
    field_prefix = Ref::steal(PyUnicode_Substring(full_name.get(), 0, dotted));
    if (!field_prefix) return Status::Pending();
  }
  VELUM_ASSIGN_OR_RETURN(Ref field, ExtensionField(r, record, target, t.value.get(), field_prefix.get(), scope,
                                                   by_scope));
  if (field.get() == Py_None) return false;
  VELUM_ASSIGN_OR_RETURN(Ref extension, Call(new_extension, {full_name.get(), full_name.get(), number, extendee,
                                                             field.get(), file, scope, Py_None}));
  if (PyList_Append(list, extension.get()) < 0 || PyList_Append(out, extension.get()) < 0) return Status::Pending();
  return true;
}

}  // namespace

Status ResolveExtensions(const FieldResolver& r, PyObject* const* args) {
  PyObject* work = args[0];
  PyObject* types_tuple = args[1];
  PyObject* makers = args[3];
  if (!PyList_Check(work)) return TypeCheckError(work, "list");
  if (!PyTuple_Check(types_tuple) || PyTuple_GET_SIZE(types_tuple) != 4 || !PyTuple_Check(makers) ||
      PyTuple_GET_SIZE(makers) != 3 || !PyList_Check(PyTuple_GET_ITEM(makers, 2))) {
    return LayoutError();
  }
  PyObject* types[4];
  for (Py_ssize_t i = 0; i < 4; ++i) {
    types[i] = PyTuple_GET_ITEM(types_tuple, i);
    if (!PyDict_Check(types[i])) return Status(ErrorKind::kType, "types cannot be converted to dict");
  }
  VELUM_ASSIGN_OR_RETURN(ExtensionLayout layout, ReadLayout(r, args[2]));
  PyObject* new_extension = PyTuple_GET_ITEM(makers, 0);
  PyObject* fallback = PyTuple_GET_ITEM(makers, 1);
  PyObject* out = PyTuple_GET_ITEM(makers, 2);
  Texts texts{Ref::steal(PyUnicode_FromOrdinal('.')), Ref::steal(PyUnicode_InternFromString("value"))};
  if (!texts.dot || !texts.value) return Status::Pending();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(work); ++i) {
    Ref item = Ref::borrow(PyList_GET_ITEM(work, i));  // (held: the fallback runs Python)
    if (!PyTuple_Check(item.get()) || PyTuple_GET_SIZE(item.get()) != 4) return TypeCheckError(item.get(), "tuple");
    PyObject* record = PyTuple_GET_ITEM(item.get(), 0);
    PyObject* file = PyTuple_GET_ITEM(item.get(), 1);
    PyObject* scope = PyTuple_GET_ITEM(item.get(), 2);
    PyObject* features = PyTuple_GET_ITEM(item.get(), 3);
    VELUM_ASSIGN_OR_RETURN(bool done,
                           Resolve(r, layout, texts, types, new_extension, out, record, file, scope, features));
    if (!done) {
      VELUM_ASSIGN_OR_RETURN(Ref ignored, Call(fallback, {record, file, scope, features}));
    }
  }
  return Status::Ok();
}

}  // namespace velum::field_resolver
