#include "nativemessage/release_collection.h"

#include <atomic>
#include <cstdint>

#include "common/native_box.h"
#include "common/py_error.h"

namespace velum {

namespace {

// Message classes made ready so far. A token that sees the count move while
// it was held belonged to a registry that may have made some: a registry
// without classes is left as it was.
std::atomic<uint64_t> g_classes_made{0};

struct TokenObject {
  PyObject_HEAD
  uint64_t classes_at_start;
};

PyTypeObject* g_token_type = nullptr;

// gc.collect, taken when the first token is made (ordinary code, where an
// import may run), so that a deallocation never imports.
PyObject* g_collect = nullptr;

bool Finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

#ifndef Py_GIL_DISABLED
// Whether a collection is scheduled and has not run yet (the GIL guards it).
bool g_scheduled = false;

int CollectYoung(void*) {
  g_scheduled = false;
  if (g_collect == nullptr || !PyGC_IsEnabled() || Finalizing()) return 0;
  PyObject* youngest = PyLong_FromLong(0);  // a small int: cannot fail
  Ref done = Ref::steal(PyObject_CallOneArg(g_collect, youngest));
  Py_XDECREF(youngest);
  // Nothing raised here may reach the code that happens to be running.
  if (!done) PyErr_WriteUnraisable(g_collect);
  return 0;
}

void ScheduleCollection() noexcept {
  if (g_scheduled || !PyGC_IsEnabled() || Finalizing()) return;
  // A full queue of pending calls only costs the early collection.
  if (Py_AddPendingCall(&CollectYoung, nullptr) == 0) g_scheduled = true;
}
#else
// A collector without generations would scan the whole heap for each release.
void ScheduleCollection() noexcept {}
#endif

void TokenDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  const bool made = g_classes_made.load(std::memory_order_relaxed) !=
                    reinterpret_cast<TokenObject*>(self)->classes_at_start;
  type->tp_free(self);
  Py_DECREF(type);
  if (made) ScheduleCollection();
}

PyType_Slot kTokenSlots[] = {
    {Py_tp_doc, const_cast<char*>("Held by a registry: letting it go after classes were made schedules a young "
                                  "collection.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&TokenDealloc)},
    {0, nullptr},
};

PyType_Spec kTokenSpec = {
    "_velum_ext.ReleaseToken",
    static_cast<int>(sizeof(TokenObject)),
    0,
    // It refers to nothing, so it is no object of the collector's.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kTokenSlots,
};

Result<Ref> NewToken() {
  if (g_collect == nullptr) {
    Ref gc = Ref::steal(PyImport_ImportModule("gc"));
    if (!gc) return Status::Pending();
    g_collect = PyObject_GetAttrString(gc.get(), "collect");
    if (g_collect == nullptr) return Status::Pending();
  }
  VELUM_ASSIGN_OR_RETURN(PyTypeObject * type, ReadyType(g_token_type, kTokenSpec));
  auto* token = PyObject_New(TokenObject, type);
  if (token == nullptr) return Status::Pending();
  token->classes_at_start = g_classes_made.load(std::memory_order_relaxed);
  return Ref::steal(reinterpret_cast<PyObject*>(token));
}

}  // namespace

void NoteClassMade() noexcept { g_classes_made.fetch_add(1, std::memory_order_relaxed); }

PyObject* ReleaseTokenFn(PyObject*, PyObject* const*, Py_ssize_t nargs) noexcept {
  return Guard([&]() -> PyObject* {
    if (nargs != 0) {
      PyErr_SetString(PyExc_TypeError, "_release_token() takes no arguments");
      return nullptr;
    }
    Result<Ref> token = NewToken();
    if (!token.ok()) return Raise(std::move(token).status());
    return std::move(token).value().release();
  });
}

}  // namespace velum
