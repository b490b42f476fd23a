// The one way the codecs and message operations create message instances:
// `cls.__new__(cls)` (allocated directly when nothing overrides it), then the
// type's defaults; `__init__` is never called.
#pragma once

#include <new>
#include <utility>

#include "common/ref.h"
#include "common/status.h"
#include "descriptor/field_access.h"
#include "descriptor/instance.h"
#include "descriptor/marshaler.h"
#include "oneof/oneof.h"

namespace velum {

// A new instance of `cls` (a type deriving from `m`'s class; null, or any
// other type, means that class itself) with no field set. Whatever an overriding __new__ returns must
// be an instance of that class, since fields are written at its offsets.
Result<Ref> NewBareInstance(const MessageMarshaler& m, PyTypeObject* cls = nullptr);

// As NewBareInstance, with every field holding its default.
Result<Ref> NewDefaultInstance(const MessageMarshaler& m, PyTypeObject* cls = nullptr);

// As NewDefaultInstance, then `value` stored at `access`. A type whose one
// default is that very field and which has no list or map field (a Value and
// its oneof) gets the value without its default being stored first.
Result<Ref> NewInstanceWith(const MessageMarshaler& m, const FieldAccess& access, Ref value);

// Freed Values, Structs and ListValues are kept for reuse (a Struct holds a
// Value per member, so a read makes and freeing its result drops them by the
// thousand), and so are Timestamps, Durations and Anys (one or more per
// record of a typical batch); the creation functions above take them back.
constexpr bool KeepsFreed(WellKnownType kind) noexcept {
  // One test of a mask: every instance freed asks.
  constexpr uint32_t kKept = 1u << static_cast<unsigned>(WellKnownType::kValue) |
                             1u << static_cast<unsigned>(WellKnownType::kStruct) |
                             1u << static_cast<unsigned>(WellKnownType::kListValue) |
                             1u << static_cast<unsigned>(WellKnownType::kTimestamp) |
                             1u << static_cast<unsigned>(WellKnownType::kDuration) |
                             1u << static_cast<unsigned>(WellKnownType::kAny);
  return (kKept >> static_cast<unsigned>(kind) & 1u) != 0;
}

namespace detail {
// Freed instances of one class kept for reuse, by kind (new_instance.cpp).
struct KeptInstances {
  PyTypeObject* type = nullptr;  // a strong reference once set
  int count = 0;
  int most = 0;
  PyObject** objects = nullptr;
};
extern KeptInstances g_kept[static_cast<size_t>(WellKnownType::kWrapper) + 1];
}  // namespace detail

// Whether FreeOrKeep will keep a freed instance of `type`, of a `kind` that
// KeepsFreed (see there).
[[gnu::always_inline]] inline bool WillKeep(PyTypeObject* type, WellKnownType kind) noexcept {
#ifndef Py_GIL_DISABLED
  const detail::KeptInstances& kept = detail::g_kept[static_cast<size_t>(kind)];
  return type == kept.type && kept.count < kept.most && type->tp_finalize == nullptr;
#else
  (void)type;
  (void)kind;
  return false;
#endif
}

// The Value class whose freed instances are kept, if any (borrowed).
inline PyTypeObject* KeptValueClass() noexcept {
#ifndef Py_GIL_DISABLED
  return detail::g_kept[static_cast<size_t>(WellKnownType::kValue)].type;
#else
  return nullptr;
#endif
}

// The one field slot of a Value whose class has no other (see ValueSlotOnly).
inline PyObject** ValueSlot(PyObject* self) noexcept { return SlotAddress(self, kFieldSlotsStart); }

// Whether instances of a Value class of `basic_size` hold exactly one field
// slot, the oneof's: a kept one then keeps its Oneof there, stripped (see
// oneof::Strip), for its next life to fill.
constexpr bool ValueSlotOnly(Py_ssize_t basic_size) noexcept {
  return basic_size == kFieldSlotsStart + Py_ssize_t{sizeof(PyObject*)};
}

// As TakeKept, except that a Value may come back holding a stripped Oneof in
// its ValueSlot, for the caller to fill or release.
[[gnu::always_inline]] inline PyObject* TakeKeptWhole(const MessageMarshaler& m, PyTypeObject* type) noexcept {
  detail::KeptInstances& kept = detail::g_kept[static_cast<size_t>(m.well_known)];
  if (type != kept.type || kept.count == 0) [[unlikely]]
    return nullptr;
  PyObject* self = kept.objects[--kept.count];
  // Sets the type (taking its reference) and the reference count as
  // allocation does; every slot was cleared when it was freed.
  PyObject_Init(self, type);
  // What InitNativePart does, less what a kept instance still has: no
  // unknown fields (released when it was freed) and, most likely, the
  // marshaler it was kept with.
  NativeMessageObject* native = AsNative(self);
  PyObject* marshaler = MarshalerObjectFor(m);
  if (native->marshaler != marshaler) [[unlikely]]
    Py_XSETREF(native->marshaler, Py_NewRef(marshaler));
  new (&native->presence) PresenceBits(PresenceBits::FormFor(m.highest_number));
  PyObject_GC_Track(self);
  return self;
}

// A kept instance of `m`'s kind made anew as an instance of `type`, every
// slot empty, or null when none is kept for that class. Inline where
// instances are made: a read of a Struct makes a Value per member.
[[gnu::always_inline]] inline PyObject* TakeKept(const MessageMarshaler& m, PyTypeObject* type) noexcept {
  PyObject* self = TakeKeptWhole(m, type);
  if (self != nullptr && m.well_known == WellKnownType::kValue) {
    if (PyObject* stripped = std::exchange(*ValueSlot(self), nullptr); stripped != nullptr)
      oneof::ReleaseStripped(stripped);
  }
  return self;
}

// Whether `m`'s one default is the slot at `access` and it has no list or
// map field (a Value and its oneof): NewInstanceWith then stores the value
// without the default being stored first.
inline bool HoldsOnlyField(const MessageMarshaler& m, const FieldAccess& access) noexcept {
  return m.defaults.size() == 1 && m.list_fields.empty() && m.map_fields.empty() && access.is_slot() &&
         m.defaults[0].access.is_slot() && m.defaults[0].access.offset() == access.offset();
}

// The end of a deallocation FreeOrKeep does not keep: the marshaler and the memory.
void FreeNotKept(PyObject* self, PyTypeObject* type) noexcept;

// The end of the deallocation of a message instance of a `kind` that
// KeepsFreed, once it is untracked and holds nothing but its marshaler (its
// field slots, unknown fields and presence bits released): it is kept for
// reuse with its marshaler, which a new instance of its class takes again,
// or its marshaler is released and it is freed. The caller then drops the
// instance's reference to `type`. Inline: every Value freed passes here.
[[gnu::always_inline]] inline void FreeOrKeep(PyObject* self, PyTypeObject* type, WellKnownType kind) noexcept {
#ifndef Py_GIL_DISABLED
  detail::KeptInstances& kept = detail::g_kept[static_cast<size_t>(kind)];
  // A finaliser may be given to the class later: it must run for every
  // instance, which a reused one (marked finalised) would not. The
  // marshaler stays: releasing it here and taking it again on reuse was a
  // reference count each way for nothing, as the kept list holds the class
  // (and so the marshaler) anyway.
  if (type == kept.type && kept.count < kept.most && type->tp_finalize == nullptr) [[likely]] {
    kept.objects[kept.count++] = self;
    return;
  }
#endif
  FreeNotKept(self, type);
}

// The end of the deallocation of any other message instance, its native part
// released: its memory is kept for a new instance of the same size or freed.
// The caller then drops the instance's reference to `type`.
void FreeOrPool(PyObject* self, PyTypeObject* type) noexcept;

// Fields are written at the offsets of `m`'s class, so only its instances
// (subclasses included) may be filled; TypeError otherwise.
Status CheckInstance(const MessageMarshaler& m, PyObject* obj);

}  // namespace velum
