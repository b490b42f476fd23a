#include "wkt_registry/packed_types.h"

#include "common/raw_alloc.h"
#include "descriptor/marshaler.h"
#include "wkt_registry/packed_fields.h"
#include "wkt_registry/type_registry.h"

namespace velum::wkt {

bool PackedTypes::Ready() noexcept {
  if (state_ != nullptr) return true;
  try {
    state_ = RawNew<State>();
  } catch (...) {
    state_ = nullptr;
  }
  return state_ != nullptr;
}

void PackedTypes::Release() noexcept {
  if (state_ == nullptr) return;
  RawDelete(state_);
  state_ = nullptr;
}

PackedTypes::Entry* PackedTypes::Find(std::string_view type_name) noexcept {
  if (state_ == nullptr) return nullptr;
  for (Entry& entry : state_->entries) {
    if (!entry.name) continue;
    Py_ssize_t size = 0;
    // Names stored here were made from UTF-8, which the str keeps.
    const char* data = PyUnicode_AsUTF8AndSize(entry.name.get(), &size);
    if (data != nullptr && std::string_view(data, static_cast<size_t>(size)) == type_name) return &entry;
  }
  return nullptr;
}

PackedTypes::Entry* PackedTypes::Claim() noexcept {
  if (!Ready()) return nullptr;
  Entry& entry = state_->entries[state_->next];
  state_->next = (state_->next + 1) % kEntries;
  entry.name.reset();
  entry.desc.reset();
  entry.marshaler.reset();
  return &entry;
}

bool PackedTypes::ReadsDirectly(PyObject* marshaler) noexcept {
  if (state_ != nullptr && state_->direct.get() == marshaler) return true;
  if (!ReadsPackedDirectly(*AsMarshaler(marshaler))) return false;
  if (Ready()) state_->direct = Ref::borrow(marshaler);
  return true;
}

Ref PackedTypes::StoredUrl(PyObject* marshaler, PyObject* full_name) {
  if (state_ != nullptr && state_->url && state_->url_marshaler.get() == marshaler) {
    return Ref::borrow(state_->url.get());
  }
  Ref url = Ref::steal(PyUnicode_FromFormat("%.*s%U", static_cast<int>(kTypeUrlPrefix.size()), kTypeUrlPrefix.data(),
                                            full_name));
  if (url && Ready()) {
    state_->url = Ref::borrow(url.get());
    state_->url_marshaler = Ref::borrow(marshaler);
  }
  return url;
}

}  // namespace velum::wkt
