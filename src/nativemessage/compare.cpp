// Equality of messages: same generated class (or a subclass of self's), and
// every stored attribute equal, where presence-tracked attributes count only
// when present. Unknown fields do not take part.
#include "common/py_error.h"
#include "nativemessage/native_message.h"
#include "nativemessage/operations.h"

namespace velum {

namespace {

Result<bool> MessagesEqual(PyObject* self, PyObject* other) {
  if (!IsNativeMessage(other)) return Status(ErrorKind::kRuntime, "not a message");
  int same_class = PyObject_IsInstance(other, reinterpret_cast<PyObject*>(Py_TYPE(self)));
  if (same_class < 0) return Status::Pending();
  if (!same_class) return false;
  VELUM_ASSIGN_OR_RETURN(Ref marshaler, MarshalerOfInstance(self));
  const MessageMarshaler& m = *AsMarshaler(marshaler.get());
  PresenceBits& self_bits = AsNative(self)->presence;
  PresenceBits& other_bits = AsNative(other)->presence;
  for (const AttributeEntry& entry : m.attributes) {
    if (entry.presence_tracked) {
      bool a = self_bits.Get(entry.presence_bit);
      bool b = other_bits.Get(entry.presence_bit);
      if (a != b) return false;
      if (!a) continue;
    }
    VELUM_ASSIGN_OR_RETURN(Ref left, ReadField(self, entry.access));
    VELUM_ASSIGN_OR_RETURN(Ref right, ReadField(other, entry.access));
    if (left.get() == right.get()) continue;
    int equal = PyObject_RichCompareBool(left.get(), right.get(), Py_EQ);
    if (equal < 0) return Status::Pending();
    if (!equal) return false;
  }
  return true;
}

}  // namespace

PyObject* CompareMessages(PyObject* self, PyObject* other, int op) {
  switch (op) {
    case Py_EQ: {
      if (!IsNativeMessage(other)) Py_RETURN_NOTIMPLEMENTED;
      Result<bool> equal = MessagesEqual(self, other);
      if (!equal.ok()) return Raise(std::move(equal).status());
      return PyBool_FromLong(equal.value());
    }
    case Py_NE: {
      Ref equal = Ref::steal(PyObject_RichCompare(self, other, Py_EQ));
      if (!equal) return nullptr;
      int truth = PyObject_IsTrue(equal.get());
      if (truth < 0) return nullptr;
      return PyBool_FromLong(!truth);
    }
    case Py_LT:
    case Py_LE:
    case Py_GT:
    case Py_GE:
      Py_RETURN_NOTIMPLEMENTED;
    default:
      PyErr_SetString(PyExc_SystemError, "invalid compareop");
      return nullptr;
  }
}

}  // namespace velum
