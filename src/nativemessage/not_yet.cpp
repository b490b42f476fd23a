// Operations whose codecs have not landed yet: they fail with
// NotImplementedError naming the operation, after their arguments were checked.
#include "common/py_error.h"
#include "nativemessage/operations.h"

namespace velum {

namespace {
Status NotYet(const char* operation) {
  return FormatError(ErrorKind::kNotImplemented, "%s is not implemented yet", operation);
}
}  // namespace

Result<Ref> ReadJsonNew(const MessageMarshaler&, PyObject*, bool from_text, const JsonReadOptions&) {
  return NotYet(from_text ? "from_json" : "_from_json_value");
}
Status ReadJsonInto(const MessageMarshaler&, PyObject*, PyObject*, const JsonReadOptions&) {
  return NotYet("_merge_from_json");
}

}  // namespace velum
