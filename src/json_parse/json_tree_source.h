// A tree of plain Python values (dict, list, str, int, float, bool, None) as a
// pull source: one pending value at a time, walked in place without copying,
// so a str read for a string field is the caller's own object.
#pragma once

#include <string_view>

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

  Status Peek(JsonKind& kind);
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

  // Members in dict order; the keys must be str.
  template <class Body>
  Status ForEachMember(Body&& body) {
    Ref dict;
    VELUM_TRY(Take(dict));
    return ForEachEntry(dict.get(), [&](PyObject* key, PyObject* value) -> Status {
      if (!PyUnicode_Check(key)) return Status(ErrorKind::kType, "JSON object keys must be strings");
      Py_ssize_t size = 0;
      const char* text = PyUnicode_AsUTF8AndSize(key, &size);
      if (text == nullptr) return Status::Pending();
      pending_ = Ref::borrow(value);
      Status status = body(MemberName{std::string_view(text, static_cast<size_t>(size)), key});
      pending_.reset();
      return status;
    });
  }

 private:
  Status Take(Ref& value);

  Ref pending_;
  Ref held_;  // the str whose text ReadText delivered
};

}  // namespace velum::json
