#include "json_parse/short_strs.h"

namespace velum::json {

ShortStrs::Entry ShortStrs::entries_[size_t{1} << ShortStrs::kBits];

PyObject* ShortStrs::Miss(Entry& entry, std::string_view text, uint64_t low, uint64_t high) noexcept {
  PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
  if (str == nullptr) return nullptr;
  std::memcpy(PyUnicode_1BYTE_DATA(str), text.data(), text.size());
  // What the entry held may go now: a str, whose freeing runs no code.
  PyObject* old = entry.str;
  entry = Entry{low, high, text.size(), Py_NewRef(str)};
  Py_XDECREF(old);
  return str;
}

}  // namespace velum::json
