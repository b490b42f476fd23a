// from_binary and _merge_from_binary: the input buffer rules around the
// decoder core.
#include <optional>

#include "common/py_error.h"
#include "field_ops/new_instance.h"
#include "parser/decode_input.h"
#include "parser/decoder.h"

namespace velum {

namespace {

// One unsigned byte per item: "B" or "c", optionally after a byte-order mark.
bool IsByteFormat(const char* format) noexcept {
  if (format == nullptr) return true;  // an exporter without a format means "B"
  if (*format == '@' || *format == '=' || *format == '<' || *format == '>' || *format == '!') ++format;
  return (format[0] == 'B' || format[0] == 'c') && format[1] == '\0';
}

// The input of one decode call. A bytes object is read in place. Any other
// object, bytearray included, stays exported until the call ends: Python code
// runs during a decode (enum classes, __new__) and must not be able to resize
// or free the bytes under the reader.
class InputHold {
 public:
  InputHold() noexcept = default;
  InputHold(const InputHold&) = delete;
  InputHold& operator=(const InputHold&) = delete;
  ~InputHold() {
    reader_ = WireReader();
    input_.reset();
    if (exported_) PyBuffer_Release(&view_);
  }

  Status Acquire(PyObject* data) {
    const void* bytes = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_Check(data)) [[likely]] {
      bytes = PyBytes_AS_STRING(data);
      size = PyBytes_GET_SIZE(data);
    } else {
      if (PyObject_GetBuffer(data, &view_, PyBUF_FULL_RO) < 0) return Status::Pending();
      exported_ = true;
      if (view_.itemsize != 1 || !IsByteFormat(view_.format)) {
        return Status(ErrorKind::kBuffer, "buffer contents are not compatible with u8");
      }
      if (!PyBuffer_IsContiguous(&view_, 'C')) return Status(ErrorKind::kBuffer, "buffer is not contiguous");
      bytes = view_.buf;
      size = view_.len;
    }
    input_.emplace(static_cast<const uint8_t*>(bytes), static_cast<size_t>(size));
    reader_ = WireReader(input_->ref());
    return Status::Ok();
  }

  WireReader& reader() noexcept { return reader_; }

 private:
  Py_buffer view_{};
  bool exported_ = false;
  std::optional<wire::ScopedInput> input_;
  WireReader reader_;
};

}  // namespace

Result<Ref> DecodeNew(const MessageMarshaler& m, PyObject* data, bool ignore_unknown_fields, PyTypeObject* cls) {
  if (PyBytes_Check(data)) [[likely]] {
    // Immutable: read in place, with nothing to hold or release.
    wire::ScopedInput bytes(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data)),
                            static_cast<size_t>(PyBytes_GET_SIZE(data)));
    WireReader reader(bytes.ref());
    return decoder::DecodeNew(m, reader, ignore_unknown_fields, cls);
  }
  InputHold input;
  VELUM_TRY(input.Acquire(data));
  return decoder::DecodeNew(m, input.reader(), ignore_unknown_fields, cls);
}

Status DecodeInto(const MessageMarshaler& m, PyObject* msg, PyObject* data, bool ignore_unknown_fields) {
  VELUM_TRY(CheckInstance(m, msg));
  InputHold input;
  VELUM_TRY(input.Acquire(data));
  return decoder::DecodeMessage(m, msg, input.reader(), ignore_unknown_fields, 0);
}

}  // namespace velum
