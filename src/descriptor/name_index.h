// A table of str names, each with a place (its first index in some list), over
// the names' cached hashes: cheaper than a dict or set for the one-off
// duplicate checks of making a class, and equal names found as a dict would
// find them.
#pragma once

#include <cstddef>

#include "common/raw_alloc.h"
#include "common/ref.h"
#include "common/status.h"

namespace velum {

class NameIndex {
 public:
  // Most messages have a few dozen names at most: their table lives inline,
  // without a heap allocation.
  explicit NameIndex(size_t count) {
    size_t capacity = 8;
    while (capacity < 2 * count) capacity *= 2;
    if (capacity <= kInline) {
      slots_ = inline_;
      for (size_t i = 0; i < capacity; ++i) inline_[i] = Slot{nullptr, 0, 0};
    } else {
      heap_.resize(capacity);
      slots_ = heap_.data();
    }
    mask_ = capacity - 1;
  }
  NameIndex(const NameIndex&) = delete;
  NameIndex& operator=(const NameIndex&) = delete;

  // The place stored for a name equal to `name`, else `place` once stored for it.
  // The names stay borrowed: they must outlive the table.
  Result<size_t> FindOrAdd(PyObject* name, size_t place) {
    VELUM_ASSIGN_OR_RETURN(Slot * slot, Probe(name));
    if (slot->name == nullptr) {
      slot->name = name;
      slot->place = place;
    }
    return slot->place;
  }

  // The place stored for a name equal to `name`, or null.
  Result<const size_t*> Find(PyObject* name) {
    VELUM_ASSIGN_OR_RETURN(Slot * slot, Probe(name));
    return slot->name == nullptr ? nullptr : &slot->place;
  }

 private:
  // Trivial, so that the inline table is not filled before its size is known;
  // the slots in use are cleared by the constructor (value-initialised on the heap).
  struct Slot {
    PyObject* name;
    Py_hash_t hash;
    size_t place;
  };

  // The slot of a name equal to `name`, or the empty one where it would go,
  // holding the name's hash; the table is never more than half full.
  Result<Slot*> Probe(PyObject* name) {
    const Py_hash_t hash = PyObject_Hash(name);
    if (hash == -1) return Status::Pending();
    const size_t mask = mask_;
    for (size_t i = static_cast<size_t>(hash) & mask;; i = (i + 1) & mask) {
      Slot& slot = slots_[i];
      if (slot.name == nullptr) {
        slot.hash = hash;
        return &slot;
      }
      if (slot.name == name) return &slot;
      if (slot.hash != hash) continue;
      const int equal = PyObject_RichCompareBool(slot.name, name, Py_EQ);
      if (equal < 0) return Status::Pending();
      if (equal) return &slot;
    }
  }

  static constexpr size_t kInline = 64;
  Slot inline_[kInline];
  RawVector<Slot> heap_;
  Slot* slots_ = nullptr;
  size_t mask_ = 0;
};

}  // namespace velum
