// Construction and attribute assignment. Values are stored as given (never
// converted or validated); the codecs check them when a message is written.
#include "common/py_error.h"
#include "common/arg_binding.h"
#include "nativemessage/native_message.h"

namespace velum {

namespace {

Status StoreMember(PyObject* self, PyObject* member_obj, PyObject* value) {
  auto* member = reinterpret_cast<MemberObject*>(member_obj);
  VELUM_TRY(WriteField(self, member->access, value));
  if (member->presence_tracked) {
    PresenceBits& bits = AsNative(self)->presence;
    if (!bits.Set(member->presence_bit)) return bits.FailureStatus(member->presence_bit);
  }
  return Status::Ok();
}

Status TooManyPositional(PyObject* self, Py_ssize_t given) {
  Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(self)));
  if (!qualname) return Status::Pending();
  return FormatError(ErrorKind::kType, "%U.__init__() takes 0 positional arguments but %zd %s given", qualname.get(),
                     given, given == 1 ? "was" : "were");
}

// A keyword the class has no field for (or the lookup's own error).
Status UnknownKeyword(PyObject* self, PyObject* key) {
  if (PyErr_Occurred()) return Status::Pending();
  Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(self)));
  if (!qualname) return Status::Pending();
  return FormatError(ErrorKind::kType, "%U.__init__() got an unexpected keyword argument '%S'", qualname.get(), key);
}

// One keyword argument of the constructor; None leaves the default.
Status InitKeyword(const MessageMarshaler& m, PyObject* self, PyObject* key, PyObject* value) {
  if (value == Py_None) return Status::Ok();
  // Held across the store: assigning may run Python code that drops them.
  Ref key_ref = Ref::borrow(key);
  Ref value_ref = Ref::borrow(value);
  PyObject* member = PyDict_GetItemWithError(m.keywords.get(), key);
  if (member == nullptr) return UnknownKeyword(self, key);
  Ref member_ref = Ref::borrow(member);
  return StoreMember(self, member, value);
}

// As InitKeyword, for a keyword of a call on a new instance, with nothing
// held: the caller owns the names and values for the whole call, and each
// store replaces a default of the new instance (shared with the marshaler,
// or an empty container of its own), so no Python code runs that could drop
// the member or them.
Status InitCallKeyword(const MessageMarshaler& m, PyObject* self, PyObject* key, PyObject* value) {
  if (value == Py_None) return Status::Ok();
  PyObject* member = PyDict_GetItemWithError(m.keywords.get(), key);
  if (member == nullptr) [[unlikely]]
    return UnknownKeyword(self, key);
  return StoreMember(self, member, value);
}

Status Init(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (args != nullptr && PyTuple_GET_SIZE(args) != 0) return TooManyPositional(self, PyTuple_GET_SIZE(args));
  VELUM_ASSIGN_OR_RETURN(Ref marshaler_obj, MarshalerOfInstance(self));
  const MessageMarshaler& m = *AsMarshaler(marshaler_obj.get());
  VELUM_TRY(InitDefaults(m, self));
  if (kwargs == nullptr) return Status::Ok();
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(kwargs, &pos, &key, &value)) VELUM_TRY(InitKeyword(m, self, key, value));
  return Status::Ok();
}

// As Init, with the keywords as a vectorcall passes them: names in `kwnames`,
// values after the (absent) positional arguments.
Status InitFromVector(PyObject* self, PyObject* const* values, PyObject* kwnames) {
  VELUM_ASSIGN_OR_RETURN(Ref marshaler_obj, MarshalerOfInstance(self));
  const MessageMarshaler& m = *AsMarshaler(marshaler_obj.get());
  VELUM_TRY(InitDefaults(m, self));
  if (kwnames == nullptr) return Status::Ok();
  // The call owns the names tuple and the values for its whole duration.
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
    VELUM_TRY(InitCallKeyword(m, self, PyTuple_GET_ITEM(kwnames, i), values[i]));
  }
  return Status::Ok();
}

// The interpreter's own type call, for everything the fast path leaves out.
PyObject* CallThroughType(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Ref tuple = Ref::steal(PyTuple_New(nargs));
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
  Ref kwargs;
  if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
    kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
      if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return nullptr;
    }
  }
  return PyType_Type.tp_call(cls, tuple.get(), kwargs.get());
}

Status SetAttr(PyObject* self, PyObject* name, PyObject* value) {
  if (value == nullptr) return Status(ErrorKind::kAttribute, "can't delete attribute");
  if (!PyUnicode_Check(name)) {
    return WithNote(FormatError(ErrorKind::kType, "attribute name must be str, not '%s'", Py_TYPE(name)->tp_name),
                    "while processing 'name'");
  }
  VELUM_ASSIGN_OR_RETURN(Ref marshaler_obj, MarshalerOfInstance(self));
  const MessageMarshaler& m = *AsMarshaler(marshaler_obj.get());
  PyObject* member = PyDict_GetItemWithError(m.keywords.get(), name);
  if (member == nullptr) {
    if (PyErr_Occurred()) return Status::Pending();
    if (PyObject_GenericSetAttr(self, name, value) < 0) return Status::Pending();
    return Status::Ok();
  }
  Ref member_ref = Ref::borrow(member);
  return StoreMember(self, member, value);
}

// The instance a constructor call fills, as NativeMessage_new makes it, but
// with the class's marshaler from the table of remembered classes instead of
// an attribute read per call, and for a generated class itself from the
// freed instances kept for reuse (as the codecs make theirs).
PyObject* NewForConstructor(PyTypeObject* type) {
  Result<Ref> marshaler = MarshalerOfType(reinterpret_cast<PyObject*>(type));
  if (!marshaler.ok()) {
    Status status = std::move(marshaler).status();
    // A class without a marshaler gets an instance without one.
    if (status.kind() == ErrorKind::kPending && PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      return AllocateInstance(type, nullptr);
    }
    return Raise(std::move(status));
  }
  const MessageMarshaler& m = *AsMarshaler(marshaler->get());
  if (m.message_class.get() != reinterpret_cast<PyObject*>(type)) return AllocateInstance(type, marshaler->get());
  Result<Ref> made = NewBareInstance(m, type);
  if (!made.ok()) return Raise(std::move(made).status());
  return std::move(made).value().release();
}

constexpr args::Param kGenericSetattrParams[] = {
    {"obj", false, true}, {"name", false, true}, {"value", false, true}};
constinit args::Signature kGenericSetattr("generic_setattr()", kGenericSetattrParams);

}  // namespace

PyObject* NativeMessage_vectorcall(PyObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  return Guard([&]() -> PyObject* {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // Python-level __new__ or __init__ (set on the class after it was made),
    // or positional arguments: the interpreter's call does it all, errors too.
    if (nargs != 0 || type->tp_new != NativeMessage_new || type->tp_init != NativeMessage_init) {
      return CallThroughType(cls, args, nargs, kwnames);
    }
    Ref self = Ref::steal(NewForConstructor(type));
    if (!self) return nullptr;
    if (Status s = InitFromVector(self.get(), args, kwnames); !s.ok()) return Raise(std::move(s));
    return self.release();
  });
}

int NativeMessage_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return Guard([&]() -> int {
    Status status = Init(self, args, kwargs);
    return status.ok() ? 0 : RaiseInt(std::move(status));
  });
}

int NativeMessage_setattro(PyObject* self, PyObject* name, PyObject* value) noexcept {
  return Guard([&]() -> int {
    Status status = SetAttr(self, name, value);
    return status.ok() ? 0 : RaiseInt(std::move(status));
  });
}

PyObject* GenericSetattr(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return Guard([&]() -> PyObject* {
    PyObject* found[3];
    if (Status s = args::Bind(kGenericSetattr, argv, nargs, kwnames, found); !s.ok()) return Raise(std::move(s));
    if (Status s = args::ToStr(found[1], "name"); !s.ok()) return Raise(std::move(s));
    if (PyObject_GenericSetAttr(found[0], found[1], found[2]) < 0) return nullptr;
    Py_RETURN_NONE;
  });
}

}  // namespace velum
