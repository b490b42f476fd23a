#include "nativemessage/slot_members.h"

#include <cstdint>
#include <cstring>

#include <structmember.h>

#include "common/native_box.h"

namespace velum {

namespace {

// A member descriptor refers to nothing but its class and two strs, so it can
// close a cycle only through its class. Rather than entering it in the
// collector's lists (where each young collection would scan it and each
// collection of its class walk it), it is linked into a list of the
// extension's own, which keeps the interpreter's "tracked" state that its
// deallocation expects (it unlinks the object from whatever list holds it) but
// is never scanned. Its one reference that matters, to its class, is then
// reported by the class's SlotMembers holder, for as long as nothing outside
// the class holds the descriptor.
//
// The collector's link words sit just before each object that has them: the
// next object's, then the previous one's with two flag bits below it. That is
// the layout of the interpreters this parks under (checked once at run time
// too); elsewhere the descriptors are tracked as usual.
#if !defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000
constexpr bool kMayPark = true;
#else
constexpr bool kMayPark = false;
#endif

struct GcLinks {
  uintptr_t next;
  uintptr_t prev;  // with the collector's flag bits below the pointer
};
static_assert(sizeof(GcLinks) == 2 * sizeof(void*));
constexpr uintptr_t kFlagBits = 3;

// The list's head; a parked object's neighbours are other parked objects or
// this, which lives as long as the process.
alignas(16) GcLinks g_parked = {0, 0};

GcLinks* LinksOf(PyObject* obj) noexcept { return reinterpret_cast<GcLinks*>(obj) - 1; }

// Whether the link words are where and what parking assumes: tracking sets the
// next word, untracking clears it and the pointer part of the previous one.
bool CheckLayout() noexcept {
  PyObject* probe = PyList_New(0);
  if (probe == nullptr) {
    PyErr_Clear();
    return false;
  }
  bool holds = PyObject_GC_IsTracked(probe) && LinksOf(probe)->next != 0 && (LinksOf(probe)->prev & ~kFlagBits) != 0;
  PyObject_GC_UnTrack(probe);
  holds = holds && LinksOf(probe)->next == 0 && (LinksOf(probe)->prev & ~kFlagBits) == 0;
  Py_DECREF(probe);
  return holds;
}

// A member descriptor also has no header before the link words, so that its
// deallocation frees from where NewUncounted allocated.
bool Parking() noexcept {
  if constexpr (!kMayPark) {
    return false;
  } else {
    static const bool layout_holds =
        (PyMemberDescr_Type.tp_flags & (Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_MANAGED_WEAKREF)) == 0 && CheckLayout();
    return layout_holds;
  }
}

// An object of a collected type allocated as the interpreter allocates one
// (zeroed link words, then the object, zeroed), but not counted towards the
// next young collection: the collector never scans a parked object, so making
// one should not bring a collection nearer (a class of a thousand fields would
// otherwise set off one young collection in two by its descriptors alone).
PyObject* NewUncounted(PyTypeObject* type, size_t extra) noexcept {
  const size_t size = sizeof(GcLinks) + static_cast<size_t>(type->tp_basicsize) + extra;
  void* memory = PyObject_Malloc(size);
  if (memory == nullptr) return PyErr_NoMemory();
  memset(memory, 0, size);
  return PyObject_Init(reinterpret_cast<PyObject*>(static_cast<GcLinks*>(memory) + 1), type);
}

// Links a new, untracked object at the end of the parked list (the GIL is held).
void Park(PyObject* obj) noexcept {
  if (g_parked.next == 0) g_parked.next = g_parked.prev = reinterpret_cast<uintptr_t>(&g_parked);
  GcLinks* links = LinksOf(obj);
  auto* last = reinterpret_cast<GcLinks*>(g_parked.prev & ~kFlagBits);
  links->next = reinterpret_cast<uintptr_t>(&g_parked);
  links->prev = reinterpret_cast<uintptr_t>(last) | (links->prev & kFlagBits);
  last->next = reinterpret_cast<uintptr_t>(links);
  g_parked.prev = reinterpret_cast<uintptr_t>(links) | (g_parked.prev & kFlagBits);
}

// A slot's member descriptor, made as type() would make it but named by the
// slot's own str instead of a str made again from its UTF-8 and interned: with
// long names that was most of a class's cost per field, and the interned
// names' table is large enough for each look-up to miss the caches. (The
// keyword table interns the names it keys when the first instance needs it.)
// The descriptor carries its member definition after itself; the definition's
// name is the UTF-8 of the descriptor's own name object.
Result<Ref> NewSlotMember(PyTypeObject* type, PyObject* slot, Py_ssize_t offset, bool park) {
  const char* text = PyUnicode_AsUTF8(slot);
  if (text == nullptr) return Status::Pending();
  Ref owned_name = Ref::borrow(slot);
  PyObject* obj = park ? NewUncounted(&PyMemberDescr_Type, sizeof(PyMemberDef))
                      : PyUnstable_Object_GC_NewWithExtraData(&PyMemberDescr_Type, sizeof(PyMemberDef));
  if (obj == nullptr) return Status::Pending();
  auto* descr = reinterpret_cast<PyMemberDescrObject*>(obj);
  auto* def = reinterpret_cast<PyMemberDef*>(reinterpret_cast<char*>(obj) + PyMemberDescr_Type.tp_basicsize);
  *def = PyMemberDef{text, Py_T_OBJECT_EX, offset, 0, nullptr};
  descr->d_common.d_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(reinterpret_cast<PyObject*>(type)));
  descr->d_common.d_name = owned_name.release();
  descr->d_common.d_qualname = nullptr;
  descr->d_member = def;
  // Before any release: the descriptor's deallocation untracks it.
  if (park) {
    Park(obj);
  } else {
    PyObject_GC_Track(obj);
  }
  return Ref::steal(obj);
}

// The holder of a class's parked descriptors, one reference each. The class's
// dict holds it, so the collector reaches it through the class.
struct HolderObject {
  PyObject_VAR_HEAD
  // The class's version tag when every descriptor here was last found in the
  // class's dict: while the tag stays, no entry of the dict has changed.
  unsigned int verified_tag;
  PyObject* members[1];
};

PyObject** Members(PyObject* self) noexcept { return reinterpret_cast<HolderObject*>(self)->members; }

// Whether the class's dict holds `member` under its name. The keys of a
// class's dict are exact strs, so the look-up runs no Python code and cannot
// fail; an exception already set is left as it is.
bool DictHolds(PyTypeObject* type, PyObject* member) noexcept {
  return type->tp_dict != nullptr && PyDict_GetItemWithError(type->tp_dict, PyDescr_NAME(member)) == member;
}

// A descriptor that only this holder and the class's dict hold is part of the
// class's own graph, and its reference to the class is reported here; one held
// from outside (or from the dict twice) keeps the class alive, as a tracked
// descriptor would. The dict's holding is looked up again only when the class
// has changed since it was last verified.
int HolderTraverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  auto* holder = reinterpret_cast<HolderObject*>(self);
  PyObject** const members = holder->members;
  const Py_ssize_t count = Py_SIZE(self);
  PyTypeObject* type = nullptr;  // every descriptor here names the same class, and holds it
  for (Py_ssize_t i = 0; i < count && type == nullptr; ++i) {
    if (members[i] != nullptr) type = PyDescr_TYPE(members[i]);
  }
  if (type == nullptr) return 0;
  const bool verified = type->tp_version_tag != 0 && type->tp_version_tag == holder->verified_tag;
  bool all_held = true;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* member = members[i];
    if (member == nullptr) continue;
    const Py_ssize_t refs = Py_REFCNT(member);
    bool internal = refs == 1;
    if (!verified && refs > 1) {
      const bool held = DictHolds(type, member);
      all_held = all_held && held;
      internal = refs == 2 && held;
    } else if (refs == 2) {
      internal = true;
    }
    if (internal) Py_VISIT(reinterpret_cast<PyObject*>(type));
  }
  if (!verified && all_held && PyUnstable_Type_AssignVersionTag(type)) holder->verified_tag = type->tp_version_tag;
  return 0;
}

int HolderClear(PyObject* self) {
  PyObject** const members = Members(self);
  const Py_ssize_t count = Py_SIZE(self);
  for (Py_ssize_t i = 0; i < count; ++i) Py_CLEAR(members[i]);
  return 0;
}

void HolderDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  HolderClear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot kHolderSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&HolderDealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(&HolderTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&HolderClear)},
    {0, nullptr},
};

PyType_Spec kHolderSpec = {
    "_velum_ext.SlotMembers",
    static_cast<int>(offsetof(HolderObject, members)),
    static_cast<int>(sizeof(PyObject*)),
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kHolderSlots,
};

PyTypeObject* g_holder_type = nullptr;

// An empty holder of room for `count` descriptors, tracked, in the class's dict.
Result<PyObject*> NewHolder(PyTypeObject* type, Py_ssize_t count, PyObject* key) {
  VELUM_ASSIGN_OR_RETURN(PyTypeObject * holder_type, ReadyType(g_holder_type, kHolderSpec));
  Ref holder = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_NewVar(HolderObject, holder_type, count)));
  if (!holder) return Status::Pending();
  reinterpret_cast<HolderObject*>(holder.get())->verified_tag = 0;
  PyObject** const members = Members(holder.get());
  for (Py_ssize_t i = 0; i < count; ++i) members[i] = nullptr;
  PyObject_GC_Track(holder.get());
  if (PyDict_SetItem(type->tp_dict, key, holder.get()) < 0) return Status::Pending();
  return holder.get();  // the dict's reference keeps it
}

}  // namespace

PyObject* TrackedSlotMembers(PyTypeObject* type, PyObject* holder_key) noexcept {
  if (g_holder_type == nullptr || type->tp_dict == nullptr) return nullptr;
  // (a class's dict has exact str keys: the look-up runs no code)
  PyObject* holder = PyDict_GetItemWithError(type->tp_dict, holder_key);
  if (holder == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  return Py_IS_TYPE(holder, g_holder_type) && PyObject_GC_IsTracked(holder) ? holder : nullptr;
}

Status AddSlotMembers(PyTypeObject* type, PyObject* slots, Py_ssize_t start, PyObject* holder_key) {
  const Py_ssize_t count = PyTuple_GET_SIZE(slots);
  // One descriptor would be traded for a holder. No slot here is named like
  // the holder's key: a class with a dunder slot is made by type().
  const bool park = count > 1 && Parking();
  PyObject* holder = nullptr;
  // The holder is in the dict before any descriptor is parked, so that the
  // descriptors' references are reported even if a later step fails.
  if (park) {
    VELUM_ASSIGN_OR_RETURN(holder, NewHolder(type, count, holder_key));
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    VELUM_ASSIGN_OR_RETURN(
        Ref member, NewSlotMember(type, PyTuple_GET_ITEM(slots, i), start + i * Py_ssize_t{sizeof(PyObject*)}, park));
    PyObject* entered = PyDict_SetDefault(type->tp_dict, PyDescr_NAME(member.get()), member.get());
    if (entered == nullptr) return Status::Pending();
    // A repeated name's descriptor is dropped here, as type() would not enter it.
    if (park && entered == member.get()) Members(holder)[i] = member.release();
  }
  return Status::Ok();
}

}  // namespace velum
