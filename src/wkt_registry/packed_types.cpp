#include "wkt_registry/packed_types.h"

#include "wkt_registry/type_registry.h"

namespace velum::wkt {

PackedTypes::Entry* PackedTypes::Find(std::string_view type_name) noexcept {
  for (Entry& entry : entries_) {
    if (!entry.name) continue;
    Py_ssize_t size = 0;
    // Names stored here were made from UTF-8, which the str keeps.
    const char* data = PyUnicode_AsUTF8AndSize(entry.name.get(), &size);
    if (data != nullptr && std::string_view(data, static_cast<size_t>(size)) == type_name) return &entry;
  }
  return nullptr;
}

PackedTypes::Entry& PackedTypes::Claim() noexcept {
  Entry& entry = entries_[next_];
  next_ = (next_ + 1) % kEntries;
  entry.name.reset();
  entry.desc.reset();
  entry.marshaler.reset();
  return entry;
}

Ref PackedTypes::StoredUrl(PyObject* marshaler, PyObject* full_name) {
  if (url_marshaler_.get() != marshaler || !url_) {
    url_ = Ref::steal(PyUnicode_FromFormat("%.*s%U", static_cast<int>(kTypeUrlPrefix.size()), kTypeUrlPrefix.data(),
                                           full_name));
    if (!url_) return Ref();
    url_marshaler_ = Ref::borrow(marshaler);
  }
  return Ref::borrow(url_.get());
}

}  // namespace velum::wkt
