#include "wkt_registry/struct_keys.h"

#include <utility>

#include "common/text_equal.h"
#include "json_parse/type_first_scan.h"

namespace velum::wkt {

StructKeys::StructKeys(StructKeys&& other) noexcept : slots_(std::exchange(other.slots_, nullptr)) {}

StructKeys& StructKeys::operator=(StructKeys&& other) noexcept {
  if (this != &other) {
    Release();
    slots_ = std::exchange(other.slots_, nullptr);
  }
  return *this;
}

StructKeys::~StructKeys() { Release(); }

void StructKeys::Release() noexcept {
  if (slots_ == nullptr) return;
  for (size_t i = 0; i < kSlots; ++i) Py_XDECREF(slots_[i]);
  PyMem_RawFree(slots_);
  slots_ = nullptr;
}

Result<Ref> StructKeys::Get(const json::MemberName& name) {
  if (name.object != nullptr || !name.ascii || name.text.size() > kLongestKey) return json::MemberNameObject(name);
  if (slots_ == nullptr) {
    slots_ = static_cast<PyObject**>(PyMem_RawCalloc(kSlots, sizeof(PyObject*)));
    if (slots_ == nullptr) return json::MemberNameObject(name);
  }
  // Hashed by words, not bytes: the low bits of the mixed hash pick the slot.
  PyObject*& slot = slots_[json::MemberNameHash(name.text) & (kSlots - 1)];
  // Only ASCII text is stored, whose str data is the text itself.
  if (slot != nullptr &&
      EqualText(std::string_view(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(slot)),
                                 static_cast<size_t>(PyUnicode_GET_LENGTH(slot))),
                name.text)) {
    return Ref::borrow(slot);
  }
  VELUM_ASSIGN_OR_RETURN(Ref key, json::MemberNameObject(name));
  Py_XSETREF(slot, Py_NewRef(key.get()));
  return key;
}

}  // namespace velum::wkt
