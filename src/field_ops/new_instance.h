// The one way the codecs and message operations create message instances:
// `cls.__new__(cls)` (allocated directly when nothing overrides it), then the
// type's defaults; `__init__` is never called.
#pragma once

#include "common/ref.h"
#include "common/status.h"
#include "descriptor/marshaler.h"

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

// Called by the deallocation of every message instance once `self` is
// untracked and holds nothing (its slots and native part released): true
// when it is kept for reuse instead of being freed. Only freed Values,
// Structs and ListValues are kept (a Struct holds a Value per member, so a
// read makes and freeing its result drops them by the thousand); the
// creation functions above take them back.
bool KeepFreedInstance(PyObject* self, PyTypeObject* type) noexcept;

// Fields are written at the offsets of `m`'s class, so only its instances
// (subclasses included) may be filled; TypeError otherwise.
Status CheckInstance(const MessageMarshaler& m, PyObject* obj);

}  // namespace velum
