#include "wkt_registry/struct_keys.h"

#include <cstring>
#include <utility>

#include "common/text_equal.h"
#include "json_parse/string_scan.h"
#include "json_parse/type_first_scan.h"

namespace velum::wkt {

StructKeys::StructKeys(StructKeys&& other) noexcept
    : slots_(std::exchange(other.slots_, nullptr)),
      next_(std::exchange(other.next_, nullptr)),
      first_(std::exchange(other.first_, nullptr)),
      plain_(std::exchange(other.plain_, nullptr)),
      current_(std::exchange(other.current_, kNoSlot)) {}

StructKeys& StructKeys::operator=(StructKeys&& other) noexcept {
  if (this != &other) {
    Release();
    slots_ = std::exchange(other.slots_, nullptr);
    next_ = std::exchange(other.next_, nullptr);
    first_ = std::exchange(other.first_, nullptr);
    plain_ = std::exchange(other.plain_, nullptr);
    current_ = std::exchange(other.current_, kNoSlot);
  }
  return *this;
}

StructKeys::~StructKeys() { Release(); }

void StructKeys::Release() noexcept {
  if (slots_ == nullptr) return;
  for (size_t i = 0; i < kSlots; ++i) Py_XDECREF(slots_[i]);
  PyMem_RawFree(slots_);
  slots_ = nullptr;
  next_ = first_ = nullptr;
  plain_ = nullptr;
}

namespace {

// Only ASCII text is stored, whose str data is the text itself.
std::string_view TextOf(PyObject* key) noexcept {
  return {reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(key)), static_cast<size_t>(PyUnicode_GET_LENGTH(key))};
}

}  // namespace

Result<Ref> StructKeys::Get(const json::MemberName& name, uint16_t* slot) {
  if (slot != nullptr) *slot = kNoSlot;
  if (name.object != nullptr || !name.ascii || name.text.size() > kLongestKey) return json::MemberNameObject(name);
  if (slots_ == nullptr) {
    // One block: the references, then the two tables of slots.
    constexpr size_t kBytes = kSlots * sizeof(PyObject*) + (2 * kSlots + 1) * sizeof(uint16_t) + kSlots;
    void* block = PyMem_RawMalloc(kBytes);
    if (block == nullptr) return json::MemberNameObject(name);
    slots_ = static_cast<PyObject**>(block);
    std::memset(slots_, 0, kSlots * sizeof(PyObject*));
    next_ = reinterpret_cast<uint16_t*>(slots_ + kSlots);
    first_ = next_ + kSlots;
    std::memset(next_, 0xff, (2 * kSlots + 1) * sizeof(uint16_t));  // all kNoSlot
    plain_ = reinterpret_cast<bool*>(first_ + kSlots + 1);           // read only where a key is kept
  }
  // Hashed by words, not bytes: the low bits of the mixed hash pick the slot.
  const auto index = static_cast<uint16_t>(json::MemberNameHash(name.text) & (kSlots - 1));
  PyObject*& kept = slots_[index];
  if (slot != nullptr) *slot = index;
  if (kept != nullptr && EqualText(TextOf(kept), name.text)) return Ref::borrow(kept);
  VELUM_ASSIGN_OR_RETURN(Ref key, json::MemberNameObject(name));
  Py_XSETREF(kept, Py_NewRef(key.get()));
  const auto* text = reinterpret_cast<const uint8_t*>(name.text.data());
  plain_[index] = json::SkipPlainRun(text, text + name.text.size()) == text + name.text.size();
  // Another key now lives here: what was learnt about the old one is void.
  next_[index] = first_[index] = kNoSlot;
  return key;
}

void StructKeys::Follows(uint16_t parent, uint16_t previous, uint16_t slot) noexcept {
  if (slots_ == nullptr || previous == kLost || parent == kLost) return;
  if (previous != kNoSlot) {
    next_[previous] = slot;
  } else {
    first_[parent == kNoSlot ? kSlots : parent] = slot;
  }
}

}  // namespace velum::wkt
