// A tree of plain Python values (dict, list, str, int, float, bool, None) as a
// pull source: one pending value at a time, walked in place without copying,
// so a str read for a string field is the caller's own object.
#pragma once

#include <cstring>
#include <string_view>
#include <utility>

#include "common/dict_walk.h"
#include "common/ref.h"
#include "common/status.h"
#include "json_parse/source_values.h"

namespace velum::json {

class JsonTreeSource {
 public:
  // `root` is borrowed; the source holds its own reference while reading.
  explicit JsonTreeSource(PyObject* root) : pending_(Ref::borrow(root)) {}
  JsonTreeSource(const JsonTreeSource&) = delete;
  JsonTreeSource& operator=(const JsonTreeSource&) = delete;

  // The exact types of a parsed document are told inline, one compare each.
  Status Peek(JsonKind& kind) {
    PyObject* v = pending_.get();
    if (v != nullptr) [[likely]] {
      PyTypeObject* type = Py_TYPE(v);
      if (type == &PyUnicode_Type) {
        kind = JsonKind::kString;
        return Status();
      }
      if (type == &PyLong_Type || type == &PyFloat_Type) {
        kind = JsonKind::kNumber;
        return Status();
      }
      if (type == &PyDict_Type) {
        kind = JsonKind::kObject;
        return Status();
      }
    }
    return PeekGeneral(kind);
  }
  // The pending value itself (borrowed), or null: for a reader that tells
  // its kind by itself and then takes it with TakeValue.
  PyObject* pending() const noexcept { return pending_.get(); }
  Status ReadNull();
  Status ReadBool(bool& value);
  Status ReadFloat(double& value);
  // As ReadFloat; an exact float is handed back in `same` too, so that it can
  // be stored as it is instead of a new float of the same value.
  Status ReadFloat(double& value, Ref& same);
  Status ReadNumber(NumberValue& value);
  // The pending str object itself (subclasses kept).
  Status ReadStr(Ref& value) { return Take(value); }
  // The UTF-8 form of the pending str, valid until the next read.
  Status ReadText(std::string_view& value);
  Status TakeValue(Ref& value) { return Take(value); }
  Status SkipValue() {
    Ref dropped;
    return Take(dropped);
  }
  Status EndCheck() { return Status(); }

  // Items by index, up to the smaller of the length at the start and the
  // current one: Python code run by the body may shrink the list.
  template <class Body>
  Status ForEachElement(Body&& body) {
    Ref list;
    VELUM_TRY(Take(list));
    const Py_ssize_t size = PyList_GET_SIZE(list.get());
    for (Py_ssize_t i = 0; i < size && i < PyList_GET_SIZE(list.get()); ++i) {
      pending_ = Ref::borrow(PyList_GET_ITEM(list.get(), i));
      Status status = body();
      pending_.reset();
      VELUM_TRY(std::move(status));
    }
    return Status();
  }

  // The next object iterated leaves out its member named `key` (an Any's
  // "@type", read before the rest of the object is read as the packed
  // message), as if walking a copy of the dict without it. Borrowed.
  void SkipMember(PyObject* key) noexcept { skip_key_ = key; }

  // Members in dict order; the keys must be str.
  template <class Body>
  Status ForEachMember(Body&& body) {
    return WalkMembers([&](PyObject* key, PyObject* value) -> Status {
      MemberName name{{}, key, false};
      if (PyUnicode_IS_COMPACT_ASCII(key)) [[likely]] {
        // Its UTF-8 form is its own data.
        name.text = std::string_view(static_cast<const char*>(PyUnicode_DATA(key)),
                                     static_cast<size_t>(PyUnicode_GET_LENGTH(key)));
        name.ascii = true;
      } else {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(key, &size);
        if (text == nullptr) return Status::Pending();
        name.text = std::string_view(text, static_cast<size_t>(size));
      }
      return WithPending(value, [&] { return body(static_cast<const MemberName&>(name)); });
    });
  }

  // As ForEachMember for a reader that needs only the key objects (a
  // Struct's entries): `body(key)`, the key borrowed. No member text is made
  // for it, but a key without a UTF-8 form (a lone surrogate) fails as it
  // does where the text is read.
  template <class Body>
  Status ForEachMemberKey(Body&& body) {
    return WalkMembers([&](PyObject* key, PyObject* value) -> Status {
      // Plain ASCII is its own UTF-8 form; any other key is made to show it has one.
      if (!PyUnicode_IS_COMPACT_ASCII(key) && PyUnicode_AsUTF8AndSize(key, nullptr) == nullptr) [[unlikely]]
        return Status::Pending();
      return WithPending(value, [&] { return body(key); });
    });
  }

 private:
  // The object's entries in dict order, past the key check and the skipped
  // member: `visit(key, value)`, both borrowed.
  template <class Visit>
  Status WalkMembers(Visit&& visit) {
    Ref dict;
    VELUM_TRY(Take(dict));
    PyObject* const skip = std::exchange(skip_key_, nullptr);
    return ForEachEntry(dict.get(), [&](PyObject* key, PyObject* value) -> Status {
      if (!PyUnicode_Check(key)) [[unlikely]]
        return Status(ErrorKind::kType, "JSON object keys must be strings");
      if (skip != nullptr && IsSkipped(key, skip)) [[unlikely]]
        return Status();
      return visit(key, value);
    });
  }

  // `read()` with `value` as the pending value it reads.
  template <class Read>
  Status WithPending(PyObject* value, Read&& read) {
    pending_ = Ref::borrow(value);
    Status status = read();
    pending_.reset();
    return status;
  }

  static bool IsSkipped(PyObject* key, PyObject* skip) noexcept {
    if (key == skip) return true;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(key);
    if (length != PyUnicode_GET_LENGTH(skip)) return false;
    // Plain ASCII on both sides (the common case) compares as bytes.
    if (PyUnicode_IS_COMPACT_ASCII(key) && PyUnicode_IS_COMPACT_ASCII(skip)) {
      return std::memcmp(PyUnicode_DATA(key), PyUnicode_DATA(skip), static_cast<size_t>(length)) == 0;
    }
    return PyUnicode_Compare(key, skip) == 0;
  }
  Status Take(Ref& value) {
    if (!pending_) [[unlikely]]
      return EndOfTree();
    value = std::move(pending_);
    return Status();
  }
  static Status EndOfTree();
  Status PeekGeneral(JsonKind& kind);

  Ref pending_;
  Ref held_;  // the str whose text ReadText delivered
  PyObject* skip_key_ = nullptr;
};

}  // namespace velum::json
