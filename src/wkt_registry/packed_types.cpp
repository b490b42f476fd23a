#include "wkt_registry/packed_types.h"

#include "common/raw_alloc.h"
#include "common/text_equal.h"
#include "descriptor/marshaler.h"
#include "json_parse/string_scan.h"
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
  if (state_->recalled == &entry) state_->recalled = nullptr;
  entry.name.reset();
  entry.desc.reset();
  entry.marshaler.reset();
  return &entry;
}

Ref PackedTypes::Recall(std::string_view url) noexcept {
  if (state_ == nullptr || state_->recalled == nullptr || !EqualText(url, state_->recalled_url)) return Ref();
  return RecallLast();
}

Ref PackedTypes::RecallLast() noexcept {
  if (state_ == nullptr || state_->recalled == nullptr || !state_->own_map) return Ref();
  const Entry& entry = *state_->recalled;
  if (!entry.name || !entry.desc) return Ref();
  // An exact str key: the lookup runs no Python code and raises nothing.
  PyObject* found = PyDict_GetItemWithError(state_->own_map.get(), entry.name.get());
  if (found == nullptr) {
    PyErr_Clear();
    return Ref();
  }
  return found == entry.desc.get() ? Ref::borrow(entry.marshaler.get()) : Ref();
}

void PackedTypes::Remember(std::string_view url, std::string_view type_name) noexcept {
  if (state_ == nullptr) return;
  state_->recalled = nullptr;
  Entry* entry = Find(type_name.starts_with('.') ? type_name.substr(1) : type_name);
  if (entry == nullptr) return;
  try {
    state_->recalled_url.assign(url.data(), url.size());
  } catch (...) {
    return;  // not remembered: the next Any resolves in full
  }
  state_->recalled = entry;
  const auto* text = reinterpret_cast<const uint8_t*>(url.data());
  state_->recalled_plain = json::SkipPlainRun(text, text + url.size()) == text + url.size();
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
