#include "descriptor/schema_graph.h"

#include <structmember.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>

#include "common/native_box.h"
#include "common/py_error.h"
#include "common/raw_alloc.h"
#include "descriptor/pending_fields.h"

namespace velum {

namespace {

struct Kind {
  PyTypeObject* cls = nullptr;  // owned (the runtime's classes live as long as it)
  Py_ssize_t file_offset = -1;  // the slot naming the descriptor's file, if any
  Py_ssize_t type_offset = -1;  // the slot holding its class once made, if any
};

constexpr size_t kMaxKinds = 24;
std::array<Kind, kMaxKinds> g_kinds;
size_t g_kind_count = 0;
PyTypeObject* g_file_class = nullptr;  // owned

PyObject* SlotAt(PyObject* obj, Py_ssize_t offset) {
  return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
}

// The part of a schema a released graph reaches, with for each object the
// references to it not accounted for by the others: the collector's own reckoning,
// over this part alone.
class Walk {
 public:
  // Frees what of the graph headed by the files of `files` nothing outside it
  // refers to. Leaves everything as it is when a class was made from it (the
  // collector frees classes) or when the walk cannot be completed.
  void Release(PyObject* files) {
    Py_ssize_t count = PyList_GET_SIZE(files);
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* file = PyList_GET_ITEM(files, i);
      if (Node* known = Find(file)) {
        --known->refs;  // the list holds it twice
      } else if (Py_TYPE(file) == g_file_class && PyObject_GC_IsTracked(file)) {
        Add(file, Py_REFCNT(file) - 1);
      }
    }
    roots_ = nodes_.size();
    // Every reference between the objects reached is taken off the target's count.
    for (size_t i = 0; i < nodes_.size(); ++i) {
      PyObject* obj = nodes_[i].obj;
      if (Py_TYPE(obj)->tp_traverse(obj, Discover, this) != 0 || stop_) return;
    }
    RawVector<size_t> live;
    for (size_t i = 0; i < nodes_.size(); ++i) {
      if (nodes_[i].refs < 0) return;  // a traversal reported more than the count: leave it all
      if (nodes_[i].refs > 0) {
        nodes_[i].live = true;
        live.push_back(i);
      }
    }
    // What those referred to from outside reach stays.
    while (!live.empty()) {
      PyObject* obj = nodes_[live.back()].obj;
      live.pop_back();
      marking_ = &live;
      Py_TYPE(obj)->tp_traverse(obj, Mark, this);
    }
    RawVector<PyObject*> garbage;
    for (const Node& node : nodes_) {
      if (!node.live) garbage.push_back(node.obj);
    }
    // As the collector does: every object is held while the cycles are cleared,
    // so none is freed under another's clear; the last references then free them.
    for (PyObject* obj : garbage) Py_INCREF(obj);
    for (PyObject* obj : garbage) {
      if (inquiry clear = Py_TYPE(obj)->tp_clear) clear(obj);
    }
    for (PyObject* obj : garbage) Py_DECREF(obj);
  }

 private:
  struct Node {
    PyObject* obj;
    Py_ssize_t refs;
    bool live;
  };

  // The product's high bits: objects of one size sit at the same offsets of
  // different pools, so their addresses' low bits repeat.
  size_t Hash(PyObject* obj) const {
    auto bits = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(obj));
    return static_cast<size_t>((bits * 0x9E3779B97F4A7C15ull) >> shift_);
  }

  Node* Find(PyObject* obj) {
    if (slots_.empty()) return nullptr;
    size_t mask = slots_.size() - 1;
    for (size_t at = Hash(obj);; at = (at + 1) & mask) {
      uint32_t slot = slots_[at];
      if (slot == 0) return nullptr;
      if (nodes_[slot - 1].obj == obj) return &nodes_[slot - 1];
    }
  }

  void Add(PyObject* obj, Py_ssize_t refs) {
    if ((nodes_.size() + 1) * 2 > slots_.size()) Grow();
    nodes_.push_back(Node{obj, refs, false});
    Insert(obj, static_cast<uint32_t>(nodes_.size()));
  }

  void Insert(PyObject* obj, uint32_t slot) {
    size_t mask = slots_.size() - 1;
    size_t at = Hash(obj);
    while (slots_[at] != 0) at = (at + 1) & mask;
    slots_[at] = slot;
  }

  void Grow() {
    slots_.assign(slots_.empty() ? 256 : slots_.size() * 2, 0);
    shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(slots_.size()));
    for (size_t i = 0; i < nodes_.size(); ++i) Insert(nodes_[i].obj, static_cast<uint32_t>(i + 1));
  }

  // Whether `obj`, reached from the graph, belongs to it. Sets stop_ when the
  // graph has a class.
  bool Belongs(PyObject* obj) {
    if (!PyObject_GC_IsTracked(obj)) return false;
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyList_Type || type == &PyDict_Type || type == &PyTuple_Type || type == &PySet_Type) return true;
    if (IsPendingFields(obj)) return true;
    for (size_t k = 0; k < g_kind_count; ++k) {
      const Kind& kind = g_kinds[k];
      if (type != kind.cls) continue;
      if (kind.file_offset >= 0) {
        // A descriptor of another schema (the well-known types) is not this graph's.
        Node* file = Find(SlotAt(obj, kind.file_offset));
        if (file == nullptr || static_cast<size_t>(file - nodes_.data()) >= roots_) return false;
      }
      if (kind.type_offset >= 0) {
        PyObject* made = SlotAt(obj, kind.type_offset);
        if (made != nullptr && made != Py_None) {
          stop_ = true;
          return false;
        }
      }
      return true;
    }
    return false;  // a file of another schema, a class, a function, ...
  }

  static int Discover(PyObject* target, void* arg) {
    // Most of what is reached is text, numbers and classes (every object's type).
    if (!PyType_IS_GC(Py_TYPE(target)) || PyType_Check(target)) return 0;
    auto* walk = static_cast<Walk*>(arg);
    if (Node* known = walk->Find(target)) {
      --known->refs;
    } else if (walk->Belongs(target)) {
      walk->Add(target, Py_REFCNT(target) - 1);
    }
    return walk->stop_ ? 1 : 0;
  }

  static int Mark(PyObject* target, void* arg) {
    if (!PyType_IS_GC(Py_TYPE(target)) || PyType_Check(target)) return 0;
    auto* walk = static_cast<Walk*>(arg);
    Node* node = walk->Find(target);
    if (node != nullptr && !node->live) {
      node->live = true;
      walk->marking_->push_back(static_cast<size_t>(node - walk->nodes_.data()));
    }
    return 0;
  }

  RawVector<Node> nodes_;
  RawVector<uint32_t> slots_;  // 1 + index into nodes_, 0 for empty
  unsigned shift_ = 64;
  size_t roots_ = 0;
  bool stop_ = false;
  RawVector<size_t>* marking_ = nullptr;
};

struct GraphObject {
  PyObject_HEAD
  PyObject* files;  // a list, owned
};

PyTypeObject* g_type = nullptr;

GraphObject* AsGraph(PyObject* self) { return reinterpret_cast<GraphObject*>(self); }

void Dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject* files = AsGraph(self)->files;
  AsGraph(self)->files = nullptr;
  if (files != nullptr) {
#ifndef Py_GIL_DISABLED
    // (Without the GIL other threads could change the counts under the walk.)
    if (g_file_class != nullptr && PyList_GET_SIZE(files) != 0) {
      PyObject* raised = PyErr_GetRaisedException();
      try {
        Walk().Release(files);
      } catch (const std::bad_alloc&) {
        // Left to the collector.
      }
      PyErr_SetRaisedException(raised);
    }
#endif
    Py_DECREF(files);
  }
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* New(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "_SchemaGraph() takes no arguments");
    return nullptr;
  }
  Ref files = Ref::steal(PyList_New(0));
  if (!files) return nullptr;
  PyObject* made = type->tp_alloc(type, 0);
  if (made == nullptr) return nullptr;
  AsGraph(made)->files = files.release();
  return made;
}

PyObject* AddFiles(PyObject* self, PyObject* files) noexcept {
  if (!PyList_Check(files)) return Raise(TypeCheckError(files, "list"));
  PyObject* held = AsGraph(self)->files;
  if (PyList_SetSlice(held, PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, files) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef kMethods[] = {
    {"add", AddFiles, METH_O, "add(files)\n--\n\nAdds loaded files (a list) to the graph."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("The files a registry loaded; frees their schema with itself when nothing "
                                  "else refers to it.")},
    {Py_tp_new, reinterpret_cast<void*>(New)},
    {Py_tp_methods, kMethods},
    {Py_tp_dealloc, reinterpret_cast<void*>(Dealloc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "_velum_ext._SchemaGraph",
    static_cast<int>(sizeof(GraphObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

Result<Py_ssize_t> MemberOffset(PyObject* member, PyTypeObject* cls) {
  if (member == Py_None) return Py_ssize_t{-1};
  if (!Py_IS_TYPE(member, &PyMemberDescr_Type)) return TypeCheckError(member, "member descriptor");
  auto* descr = reinterpret_cast<PyMemberDescrObject*>(member);
  if (descr->d_member->type != Py_T_OBJECT_EX || !PyType_IsSubtype(cls, descr->d_common.d_type)) {
    return Status(ErrorKind::kType, "_schema_graph_setup(): a member is no object slot of its class");
  }
  return descr->d_member->offset;
}

bool Freeable(PyTypeObject* cls) {
  // Freed as the collector frees them, but with nothing to finalise or notify.
  return (cls->tp_flags & Py_TPFLAGS_HAVE_GC) && cls->tp_traverse != nullptr && cls->tp_finalize == nullptr &&
         cls->tp_del == nullptr && cls->tp_weaklistoffset == 0;
}

Status Setup(PyObject* file_class, PyObject* kinds) {
  if (g_file_class != nullptr) return Status(ErrorKind::kValue, "_schema_graph_setup() was called already");
  if (!PyType_Check(file_class) || !Freeable(reinterpret_cast<PyTypeObject*>(file_class))) {
    return Status(ErrorKind::kType, "_schema_graph_setup() takes a collected class without finaliser");
  }
  if (!PyTuple_Check(kinds)) return TypeCheckError(kinds, "tuple");
  if (static_cast<size_t>(PyTuple_GET_SIZE(kinds)) > kMaxKinds) {
    return Status(ErrorKind::kValue, "_schema_graph_setup(): too many classes");
  }
  std::array<Kind, kMaxKinds> made{};
  size_t count = 0;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kinds); ++i) {
    PyObject* item = PyTuple_GET_ITEM(kinds, i);
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 3 || !PyType_Check(PyTuple_GET_ITEM(item, 0))) {
      return Status(ErrorKind::kType, "_schema_graph_setup() takes (class, file member, type member) tuples");
    }
    auto* cls = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(item, 0));
    if (!Freeable(cls)) {
      return Status(ErrorKind::kType, "_schema_graph_setup() takes collected classes without finaliser");
    }
    VELUM_ASSIGN_OR_RETURN(made[count].file_offset, MemberOffset(PyTuple_GET_ITEM(item, 1), cls));
    VELUM_ASSIGN_OR_RETURN(made[count].type_offset, MemberOffset(PyTuple_GET_ITEM(item, 2), cls));
    made[count].cls = cls;
    ++count;
  }
  for (size_t k = 0; k < count; ++k) Py_INCREF(made[k].cls);
  g_kinds = made;
  g_kind_count = count;
  g_file_class = reinterpret_cast<PyTypeObject*>(Py_NewRef(file_class));
  return Status::Ok();
}

}  // namespace

Result<PyTypeObject*> SchemaGraphType() { return ReadyType(g_type, kSpec); }

PyObject* SchemaGraphSetupFn(PyObject*, PyObject* const* argv, Py_ssize_t nargs) noexcept {
  return Guard([&]() -> PyObject* {
    if (!ExactPositional("_schema_graph_setup()", nargs, 2)) return nullptr;
    if (Status s = Setup(argv[0], argv[1]); !s.ok()) return Raise(std::move(s));
    Py_RETURN_NONE;
  });
}

}  // namespace velum
