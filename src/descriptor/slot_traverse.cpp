#include "descriptor/slot_traverse.h"

#include <structmember.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <utility>

#include "common/py_error.h"
#include "descriptor/field_table.h"

namespace velum {

namespace {

// The runtime gives about a dozen classes (twice that if its module is imported
// again); each needs a function of its own, since a traversal is told only the object.
constexpr size_t kMaxClasses = 32;
constexpr Py_ssize_t kMaxSlots = 32;

struct Visited {
  PyTypeObject* cls = nullptr;  // owned (the runtime's classes live as long as it)
  Py_ssize_t count = 0;
  Py_ssize_t offsets[kMaxSlots] = {};
};

std::array<Visited, kMaxClasses> g_visited;
size_t g_used = 0;

template <size_t K>
int TraverseSlots(PyObject* self, visitproc visit, void* arg) {
  // A heap type's instances refer to it; a subclass leaves that visit to its base.
  Py_VISIT(Py_TYPE(self));
  const Visited& v = g_visited[K];
  char* base = reinterpret_cast<char*>(self);
  for (Py_ssize_t i = 0; i < v.count; ++i) {
    PyObject* value = *reinterpret_cast<PyObject**>(base + v.offsets[i]);
    // A message's field table is no object of the collector's: while this
    // object is its only holder, its references are visited as this object's.
    // Held elsewhere too, it keeps what it refers to alive until that holder
    // lets go, as any live object does.
    if (value != nullptr && IsFieldTable(value) && Py_REFCNT(value) == 1) {
      if (int found = TraverseFieldTable(value, visit, arg)) return found;
      continue;
    }
    Py_VISIT(value);
  }
  return 0;
}

template <size_t... K>
constexpr std::array<traverseproc, sizeof...(K)> Traversers(std::index_sequence<K...>) {
  return {&TraverseSlots<K>...};
}

constexpr std::array<traverseproc, kMaxClasses> kTraversers = Traversers(std::make_index_sequence<kMaxClasses>());

bool IsAtomic(const char* name, PyObject* atomic, std::array<bool, kMaxSlots>& seen) {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(atomic); ++i) {
    const char* text = PyUnicode_AsUTF8(PyTuple_GET_ITEM(atomic, i));
    if (text != nullptr && std::strcmp(text, name) == 0) {
      seen[static_cast<size_t>(i)] = true;
      return true;
    }
  }
  return false;
}

Status Install(PyObject* cls_object, PyObject* atomic) {
  if (!PyType_Check(cls_object)) return Status(ErrorKind::kType, "_slot_traverse() takes a class");
  if (!PyTuple_Check(atomic)) return Status(ErrorKind::kType, "_slot_traverse() slot names must be a tuple");
  if (PyTuple_GET_SIZE(atomic) > kMaxSlots) return Status(ErrorKind::kValue, "_slot_traverse(): too many names");
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(atomic); ++i) {
    if (!PyUnicode_Check(PyTuple_GET_ITEM(atomic, i))) {
      return Status(ErrorKind::kType, "_slot_traverse() slot names must be str");
    }
  }
  auto* cls = reinterpret_cast<PyTypeObject*>(cls_object);
  // The traversal a class statement gives a slotted class; its bases must have it
  // too (or none), so that replacing it skips no traversal of theirs.
  traverseproc inherited = cls->tp_traverse;
  if (!(cls->tp_flags & Py_TPFLAGS_HEAPTYPE) || !(cls->tp_flags & Py_TPFLAGS_HAVE_GC) || inherited == nullptr) {
    return Status(ErrorKind::kType, "_slot_traverse() takes a slotted class made by a class statement");
  }
  if (g_used == kMaxClasses) return Status(ErrorKind::kValue, "_slot_traverse(): too many classes");
  for (const Visited& v : g_visited) {
    if (v.cls == cls) return Status(ErrorKind::kValue, "_slot_traverse(): the class has its traversal already");
  }
  Visited made;
  std::array<bool, kMaxSlots> seen{};
  PyTypeObject* type = cls;
  for (; type->tp_flags & Py_TPFLAGS_HEAPTYPE; type = type->tp_base) {
    if (type->tp_dictoffset != 0 || (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) ||
        (type->tp_traverse != nullptr && type->tp_traverse != inherited)) {
      return Status(ErrorKind::kType, "_slot_traverse() takes a slotted class made by a class statement");
    }
    for (const PyMemberDef* m = type->tp_members; m != nullptr && m->name != nullptr; ++m) {
      if (m->type != Py_T_OBJECT_EX || IsAtomic(m->name, atomic, seen)) continue;
      if (made.count == kMaxSlots) return Status(ErrorKind::kValue, "_slot_traverse(): too many slots");
      made.offsets[made.count++] = m->offset;
    }
  }
  if (type != &PyBaseObject_Type) {
    return Status(ErrorKind::kType, "_slot_traverse() takes a slotted class made by a class statement");
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(atomic); ++i) {
    if (!seen[static_cast<size_t>(i)]) {
      return FormatError(ErrorKind::kValue, "_slot_traverse(): %s has no slot %R", cls->tp_name,
                         PyTuple_GET_ITEM(atomic, i));
    }
  }
  made.cls = reinterpret_cast<PyTypeObject*>(Py_NewRef(cls_object));
  g_visited[g_used] = made;
  cls->tp_traverse = kTraversers[g_used];
  ++g_used;
  return Status::Ok();
}

}  // namespace

PyObject* SlotTraverseFn(PyObject*, PyObject* const* argv, Py_ssize_t nargs) noexcept {
  return Guard([&]() -> PyObject* {
    if (!ExactPositional("_slot_traverse()", nargs, 2)) return nullptr;
    if (Status s = Install(argv[0], argv[1]); !s.ok()) return Raise(std::move(s));
    Py_RETURN_NONE;
  });
}

PyObject* UntrackLeafFn(PyObject*, PyObject* const* argv, Py_ssize_t nargs) noexcept {
  return Guard([&]() -> PyObject* {
    if (!ExactPositional("_untrack_leaf()", nargs, 1)) return nullptr;
    PyObject* obj = argv[0];
    if (!PyObject_IS_GC(obj) || !PyObject_GC_IsTracked(obj)) Py_RETURN_FALSE;
    traverseproc traverse = Py_TYPE(obj)->tp_traverse;
    if (traverse == nullptr) Py_RETURN_FALSE;
    // Counts what the traversal reaches of the collector's besides the object's type.
    struct Reach {
      PyObject* type;
      Py_ssize_t others;
    } reach{reinterpret_cast<PyObject*>(Py_TYPE(obj)), 0};
    auto visit = [](PyObject* target, void* arg) -> int {
      auto* r = static_cast<Reach*>(arg);
      if (target != r->type && PyObject_IS_GC(target)) ++r->others;
      return 0;
    };
    if (traverse(obj, visit, &reach) != 0 || reach.others != 0) Py_RETURN_FALSE;
    PyObject_GC_UnTrack(obj);
    Py_RETURN_TRUE;
  });
}

}  // namespace velum
