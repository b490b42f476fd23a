// The Oneof value class: the member of a oneof group that is set, paired with
// its value. Immutable once created; the codecs build and read it natively.
#pragma once

#include <utility>

#include "common/kept_floats.h"
#include "common/kept_stack.h"
#include "common/ref.h"
#include "common/status.h"

namespace velum::oneof {

struct OneofObject {
  PyObject_HEAD
  // Never null: clearing for the cycle collector puts None in their place.
  PyObject* field;
  PyObject* value;
};

namespace detail {
// Set by Ready(); the type lives for the rest of the process.
extern PyTypeObject* g_type;
// Freed Oneofs kept for reuse: a read makes one per oneof member (every
// Struct value has one) and freeing the result drops as many. Reuse also
// skips the collector's allocation count. The class is final, so every
// object kept is exactly it.
inline KeptStack<OneofObject, 4096> g_free;
}  // namespace detail

// Creates the class on first call (process-wide) and reuses it afterwards.
Status Ready();
// The class, borrowed; nullptr before Ready() succeeded.
inline PyTypeObject* Type() noexcept { return detail::g_type; }

// A Oneof holding `field` and `value`, without running Python code; null
// with a pending exception on failure. One holding a bool may be shared.
Ref New(PyObject* field, PyObject* value);

// As New, for a `field` that is an exact str and a `value` that passes
// HoldsNoReference (a Value's text or number, as the readers make them): such
// a Oneof is left out of the collector, and a kept one is taken back inline.
[[gnu::always_inline]] inline Ref NewOfLeaves(PyObject* field, PyObject* value) {
  if (!detail::g_free.Empty()) [[likely]] {
    // Only Oneofs of the class are kept, so it exists.
    OneofObject* self = detail::g_free.Pop();
    PyObject_Init(reinterpret_cast<PyObject*>(self), detail::g_type);
    self->field = Py_NewRef(field);
    self->value = Py_NewRef(value);
    return Ref::steal(reinterpret_cast<PyObject*>(self));
  }
  return New(field, value);
}

// A Oneof kept inside a kept Value ("stripped"): its members released and
// left null, still untracked and holding its reference to the class, so that
// the Value's next life fills it instead of freeing one Oneof and taking
// another. Only the Value that holds it (unreachable while kept) sees it.

// Whether `value` is of a class whose instances hold no reference (exact
// str, float, int, bool, or None): a Oneof of it never joins a cycle.
[[gnu::always_inline]] inline bool HoldsNoReference(PyObject* value) noexcept {
  PyTypeObject* type = Py_TYPE(value);
  return type == &PyUnicode_Type || type == &PyFloat_Type || type == &PyLong_Type || type == &PyBool_Type ||
         value == Py_None;
}

// Whether `object` is a Oneof its holder may keep stripped: held by nothing
// else, and naming its member by an exact str.
[[gnu::always_inline]] inline bool Strippable(PyObject* object) noexcept {
  if (!Py_IS_TYPE(object, detail::g_type) || Py_REFCNT(object) != 1) return false;
  auto* self = reinterpret_cast<OneofObject*>(object);
  return self->field != nullptr && self->value != nullptr && Py_IS_TYPE(self->field, &PyUnicode_Type);
}

// Releases the members of a Oneof that passed Strippable, out of the
// collector's sight first. Releasing a container may free much else (a
// Value's Struct), so the holder must check afterwards that it is still to be kept.
[[gnu::always_inline]] inline void Strip(PyObject* object) noexcept {
  auto* self = reinterpret_cast<OneofObject*>(object);
  if (!HoldsNoReference(self->value) && PyObject_GC_IsTracked(object)) [[unlikely]]
    PyObject_GC_UnTrack(object);
  Py_DECREF(std::exchange(self->field, nullptr));
  floats::Release(std::exchange(self->value, nullptr));
}

// Whether the collector must see `object`: PyObject_IS_GC, inline.
[[gnu::always_inline]] inline bool MayJoinCycles(PyObject* object) noexcept {
  PyTypeObject* type = Py_TYPE(object);
  return PyType_IS_GC(type) && (type->tp_is_gc == nullptr || type->tp_is_gc(object) != 0);
}

// A stripped Oneof made whole again holding `field` (an exact str) and
// `value` (stolen); tracked by the collector when the value may join a
// cycle, as New would make it.
[[gnu::always_inline]] inline void Fill(PyObject* object, PyObject* field, PyObject* value) noexcept {
  auto* self = reinterpret_cast<OneofObject*>(object);
  self->field = Py_NewRef(field);
  self->value = value;
  if (!HoldsNoReference(value) && MayJoinCycles(value)) [[unlikely]]
    PyObject_GC_Track(object);
}

// A stripped Oneof that will not be filled: kept among the freed ones or freed.
void ReleaseStripped(PyObject* object) noexcept;

// The class is final, so an exact type test is enough (and false before Ready()).
inline bool Check(PyObject* object) noexcept { return Py_IS_TYPE(object, detail::g_type); }
// Borrowed members of an object that passed Check().
inline PyObject* Field(PyObject* object) noexcept { return reinterpret_cast<OneofObject*>(object)->field; }
inline PyObject* Value(PyObject* object) noexcept { return reinterpret_cast<OneofObject*>(object)->value; }

}  // namespace velum::oneof
