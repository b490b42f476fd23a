#include "field_ops/new_instance.h"

#include <iterator>

#include "common/py_error.h"
#include "descriptor/field_access.h"
#include "descriptor/instance.h"

namespace velum {

namespace {

// Freed Values, Structs and ListValues kept for reuse, as the interpreter
// keeps its own small objects: reuse skips the allocator and the collector's
// allocation count (fewer collections fall due during a read). Each list
// keeps instances of one class, which it holds so that their layout stays
// its own; the class changes only while the list is empty. The interpreter
// lock guards the lists, so builds without one keep none.
#ifdef Py_GIL_DISABLED
constexpr bool kKeep = false;
#else
constexpr bool kKeep = true;
#endif

// A Struct holds a Value per member and a ListValue one per element; a
// record holds one or two time values and an Any.
PyObject* g_values[4096];
PyObject* g_structs[1024];
PyObject* g_lists[1024];
PyObject* g_timestamps[512];
PyObject* g_durations[512];
PyObject* g_anys[512];
}  // namespace

namespace detail {
// By kind, so that finding a kind's list is one index (every freed
// instance of a kept kind looks it up): the other kinds' entries keep none.
KeptInstances g_kept[] = {
    {},  // kNone
    {nullptr, 0, static_cast<int>(std::size(g_anys)), g_anys},  // kAny
    {nullptr, 0, static_cast<int>(std::size(g_values)), g_values},  // kValue
    {nullptr, 0, static_cast<int>(std::size(g_structs)), g_structs},  // kStruct
    {nullptr, 0, static_cast<int>(std::size(g_durations)), g_durations},  // kDuration
    {nullptr, 0, static_cast<int>(std::size(g_timestamps)), g_timestamps},  // kTimestamp
    {},  // kFieldMask
    {nullptr, 0, static_cast<int>(std::size(g_lists)), g_lists},  // kListValue
    {},  // kWrapper
};
}  // namespace detail

namespace {

using detail::g_kept;
using detail::KeptInstances;

static_assert(static_cast<size_t>(WellKnownType::kAny) == 1 && static_cast<size_t>(WellKnownType::kValue) == 2 &&
              static_cast<size_t>(WellKnownType::kStruct) == 3 && static_cast<size_t>(WellKnownType::kDuration) == 4 &&
              static_cast<size_t>(WellKnownType::kTimestamp) == 5 &&
              static_cast<size_t>(WellKnownType::kListValue) == 7 &&
              static_cast<size_t>(WellKnownType::kWrapper) + 1 == std::size(g_kept));

KeptInstances* KeptFor(WellKnownType kind) noexcept {
  const auto index = static_cast<size_t>(kind);
  return index < std::size(g_kept) ? &g_kept[index] : nullptr;
}

// Whether a freed instance of `type` is exactly the memory a new one starts
// from, once its slots and native part are released: no dict, weak
// references or finaliser of its own.
bool ReusableLayout(const PyTypeObject* type) noexcept {
  constexpr unsigned long kManaged = Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_MANAGED_WEAKREF;
  return (type->tp_flags & kManaged) == 0 && type->tp_dictoffset == 0 && type->tp_weaklistoffset == 0 &&
         type->tp_finalize == nullptr && type->tp_del == nullptr;
}

// A new instance of `type`, exactly `m`'s class, whose kind is kept: a kept
// one when there is one, else a fresh one (the list adopts the class if it
// holds nothing). Out of line, so that other classes' instances are made by
// a short road.
[[gnu::noinline]] PyObject* AllocateKept(const MessageMarshaler& m, PyTypeObject* type) noexcept {
  if (PyObject* self = TakeKept(m, type); self != nullptr) [[likely]]
    return self;
  KeptInstances& kept = *KeptFor(m.well_known);
  if (type != kept.type && kept.count == 0 && ReusableLayout(type)) {
    Py_XSETREF(kept.type, reinterpret_cast<PyTypeObject*>(Py_NewRef(reinterpret_cast<PyObject*>(type))));
  }
  return AllocateInstance(type, MarshalerObjectFor(m));
}

// Freed instances of every other class are kept by their size instead: a
// block serves any class whose instances are plain memory of that size, so
// no class is held and none outlives its last use. Sizes of up to
// kPooledSlots field slots, at most kPooledEach blocks each (about 0.7 MiB
// at most, all pools full).
constexpr Py_ssize_t kPooledSlots = 16;
constexpr int kPooledEach = 256;
struct Pool {
  int count = 0;
  PyObject* blocks[kPooledEach];
};
Pool g_pools[kPooledSlots + 1];

// The pool of `type`'s instances, or null: only classes whose instances are
// made by the generic allocator with nothing but the collector's header in
// front (ReusableLayout), and end at a field slot.
Pool* PoolFor(const PyTypeObject* type) noexcept {
  constexpr Py_ssize_t kStart = sizeof(NativeMessageObject);
  const Py_ssize_t beyond = type->tp_basicsize - kStart;
  if (!kKeep || beyond < 0 || beyond > kPooledSlots * Py_ssize_t{sizeof(PyObject*)} ||
      beyond % Py_ssize_t{sizeof(PyObject*)} != 0 || type->tp_itemsize != 0 || type->tp_alloc != PyType_GenericAlloc ||
      type->tp_free != PyObject_GC_Del || !ReusableLayout(type)) {
    return nullptr;
  }
  return &g_pools[beyond / Py_ssize_t{sizeof(PyObject*)}];
}

// A new instance of `type`, exactly `m`'s class, from its pool; null when
// the pool is empty.
PyObject* TakePooled(const MessageMarshaler& m, PyTypeObject* type) noexcept {
  Pool* pool = PoolFor(type);
  if (pool == nullptr || pool->count == 0) return nullptr;
  // What the first instance of a type makes (AllocateInstance reports a failure).
  if (!m.lazy_ready.load(std::memory_order_acquire)) return nullptr;
  PyObject* self = pool->blocks[--pool->count];
  PyObject_Init(self, type);
  InitNativePart(self, MarshalerObjectFor(m));
  PyObject_GC_Track(self);
  return self;
}

// A new instance of `type`, exactly `m`'s class.
PyObject* Allocate(const MessageMarshaler& m, PyTypeObject* type) noexcept {
  if (kKeep && KeepsFreed(m.well_known)) return AllocateKept(m, type);
  if (PyObject* self = TakePooled(m, type); self != nullptr) return self;
  return AllocateInstance(type, MarshalerObjectFor(m));
}

}  // namespace

void FreeOrPool(PyObject* self, PyTypeObject* type) noexcept {
  Pool* pool = PoolFor(type);
  // A block finalised once would not be finalised again in its next life.
  if (pool != nullptr && pool->count < kPooledEach && !PyObject_GC_IsFinalized(self)) [[likely]] {
    pool->blocks[pool->count++] = self;
    return;
  }
  type->tp_free(self);
}

void FreeNotKept(PyObject* self, PyTypeObject* type) noexcept {
  Py_CLEAR(AsNative(self)->marshaler);
  type->tp_free(self);
}

namespace {

// NewBareInstance; `fresh` is set when the instance was allocated here rather
// than by a __new__ of the class's own, so that every slot is empty.
Result<Ref> NewBare(const MessageMarshaler& m, PyTypeObject* cls, bool& fresh) {
  auto* declared = reinterpret_cast<PyTypeObject*>(m.message_class.get());
  if (declared == nullptr) return Status(ErrorKind::kRuntime, "message class was cleared");
  // Fields are written at the offsets of the declared class, so only its
  // subclasses may be created in its place.
  PyTypeObject* type = cls != nullptr && PyType_IsSubtype(cls, declared) ? cls : declared;
  if (type->tp_new == NativeMessage_new) [[likely]] {
    // Nothing in Python overrides __new__: allocate directly, with the
    // marshaler already at hand, as `cls.__new__(cls)` would.
    PyObject* self = type == declared ? Allocate(m, type) : AllocateInstance(type, MarshalerObjectFor(m));
    if (self == nullptr) return Status::Pending();
    fresh = true;
    return Ref::steal(self);
  }
  // cls.__new__(cls): the lookup object is argv[0], the call receives argv[1:].
  PyObject* type_obj = reinterpret_cast<PyObject*>(type);
  PyObject* argv[] = {type_obj, type_obj};
  Ref obj = Ref::steal(PyObject_VectorcallMethod(m.names->name(Name::kNew), argv, 2, nullptr));
  if (!obj) return Status::Pending();
  VELUM_TRY(CheckInstance(m, obj.get()));
  return obj;
}

// InitDefaults for an instance whose slots are all empty, of a type whose
// fields all live in slots: there is nothing to release before each store.
Status InitEmptySlots(const MessageMarshaler& m, PyObject* obj) {
  for (const DefaultEntry& entry : m.defaults) *SlotAddress(obj, entry.access.offset()) = Py_NewRef(entry.value.get());
  for (const FieldAccess& access : m.list_fields) {
    PyObject* list = PyList_New(0);
    if (list == nullptr) return Status::Pending();
    *SlotAddress(obj, access.offset()) = list;
  }
  for (const FieldAccess& access : m.map_fields) {
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return Status::Pending();
    *SlotAddress(obj, access.offset()) = dict;
  }
  return Status::Ok();
}

}  // namespace

Result<Ref> NewBareInstance(const MessageMarshaler& m, PyTypeObject* cls) {
  bool fresh = false;
  return NewBare(m, cls, fresh);
}

Result<Ref> NewDefaultInstance(const MessageMarshaler& m, PyTypeObject* cls) {
  // The readers' common case, a kept Struct, ListValue, Timestamp, Duration
  // or Any of the declared class: taken back here, as NewBare would, without
  // its result passed back through the general road.
  if (kKeep && cls == nullptr && KeepsFreed(m.well_known) && m.slot_storage) {
    auto* type = reinterpret_cast<PyTypeObject*>(m.message_class.get());
    if (type != nullptr && type->tp_new == NativeMessage_new) [[likely]] {
      if (PyObject* self = TakeKept(m, type); self != nullptr) [[likely]] {
        Ref obj = Ref::steal(self);
        VELUM_TRY(InitEmptySlots(m, obj.get()));
        return obj;
      }
    }
  }
  bool fresh = false;
  VELUM_ASSIGN_OR_RETURN(Ref obj, NewBare(m, cls, fresh));
  if (fresh && m.slot_storage) [[likely]] {
    VELUM_TRY(InitEmptySlots(m, obj.get()));
  } else {
    VELUM_TRY(InitDefaults(m, obj.get()));
  }
  return obj;
}

Result<Ref> NewInstanceWith(const MessageMarshaler& m, const FieldAccess& access, Ref value) {
  const bool only_field = HoldsOnlyField(m, access);
  auto* type = reinterpret_cast<PyTypeObject*>(m.message_class.get());
  if (only_field && type != nullptr && type->tp_new == NativeMessage_new) [[likely]] {
    // A Value and its Oneof: the instance is made and its one field stored
    // here, without the general road's results passed back on the way.
    // Values are made by the thousand: a kept one is taken back inline.
    PyObject* self = kKeep && KeepsFreed(m.well_known) ? TakeKept(m, type) : nullptr;
    if (self == nullptr) self = Allocate(m, type);
    if (self == nullptr) return Status::Pending();
    PyObject** slot = SlotAddress(self, access.offset());
    Py_XSETREF(*slot, value.release());
    return Ref::steal(self);
  }
  VELUM_ASSIGN_OR_RETURN(Ref obj, only_field ? NewBareInstance(m) : NewDefaultInstance(m));
  VELUM_TRY(WriteFieldSteal(obj.get(), access, std::move(value)));
  return obj;
}

Status CheckInstance(const MessageMarshaler& m, PyObject* obj) {
  auto* cls = reinterpret_cast<PyTypeObject*>(m.message_class.get());
  if (cls != nullptr && PyObject_TypeCheck(obj, cls)) [[likely]]
    return Status::Ok();
  if (cls == nullptr) return Status(ErrorKind::kRuntime, "message class was cleared");
  if (!IsNativeMessage(obj)) return TypeCheckError(obj, "NativeMessage");
  return TypeCheckError(obj, cls->tp_name);
}

}  // namespace velum
