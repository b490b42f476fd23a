// What reading a Struct's or ListValue's elements needs, found at the first
// such container a JSON read meets and kept for the rest of the read.
#pragma once

#include <Python.h>

namespace velum {
struct MessageHandle;
struct MessageMarshaler;
struct WellKnownRecord;
}  // namespace velum

namespace velum::wkt {

// The elements' type and, for Values whose every member is their one field
// (HoldsOnlyField), that field's slot.
struct ContainerElements {
  explicit ContainerElements(MessageHandle* h = nullptr) noexcept : handle(h) {}
  MessageHandle* handle;
  const MessageMarshaler* type = nullptr;   // null before the first element
  const WellKnownRecord* record = nullptr;  // when `type` is Value
  Py_ssize_t only_slot = -1;                // the offset of that slot, or -1
};

// Two, found in turn: a Struct's values and a ListValue's elements are both
// Values but reached through two handles, and a record's containers alternate.
struct KnownElements {
  ContainerElements entries[2];
  unsigned next = 0;

  ContainerElements Of(MessageHandle* handle) const noexcept {
    if (entries[0].handle == handle) return entries[0];
    if (entries[1].handle == handle) return entries[1];
    return ContainerElements(handle);
  }
  void Remember(const ContainerElements& e) noexcept {
    entries[next] = e;
    next ^= 1;
  }
};

}  // namespace velum::wkt
