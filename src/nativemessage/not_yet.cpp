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

}  // namespace velum
