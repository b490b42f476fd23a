#include "json_sink/json_value_sink.h"

#include <cstring>
#include <new>

#include "json_sink/base64.h"
#include "json_sink/json_events.h"
#include "json_sink/number_text.h"

namespace velum::json_sink {

JsonValueSink::~JsonValueSink() {
  Py_XDECREF(pending_);
  for (size_t i = 0; i < depth_ && i < kFirstFrames; ++i) Py_DECREF(first_[i].container);
  for (const Frame& frame : deeper_) Py_DECREF(frame.container);
}

Status JsonValueSink::OpenDeep(PyObject* stolen, bool object) noexcept {
  try {
    deeper_.push_back(Frame{stolen, 0, object});
  } catch (const std::bad_alloc&) {
    Py_DECREF(stolen);
    return Status(ErrorKind::kMemory, "out of memory while writing JSON");
  }
  ++depth_;
  FindTop();
  return Status::Ok();
}

Status JsonValueSink::Trim(const Frame& frame) noexcept {
  PyObject* list = frame.container;
  if (PyList_SetSlice(list, frame.filled, PyList_GET_SIZE(list), nullptr) < 0) return Status::Pending();
  return Status::Ok();
}

PyObject* JsonValueSink::NewDict(Py_ssize_t members) noexcept {
  constexpr Py_ssize_t kMostPresized = Py_ssize_t{1} << 16;
#if PY_VERSION_HEX < 0x030E0000
  return _PyDict_NewPresized(members < kMostPresized ? members : kMostPresized);
#else
  (void)members;
  (void)kMostPresized;
#endif
  return PyDict_New();
}

PyObject* JsonValueSink::NewList(Py_ssize_t items) noexcept {
  PyObject* list = PyList_New(items > 0 ? items : 0);
  if (list == nullptr) return nullptr;
  // None is immortal: its places need no reference count of their own.
  for (Py_ssize_t i = 0; i < items; ++i) PyList_SET_ITEM(list, i, Py_None);
  return list;
}

namespace {

// ASCII text (digits, Base64) is copied straight into a compact str, no decoding.
PyObject* AsciiString(const char* text, size_t size) noexcept {
  PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(size), 0x7f);
  if (str != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(str), text, size);
  return str;
}

bool IsAscii(std::string_view text) noexcept {
  const char* p = text.data();
  size_t size = text.size();
  uint64_t high = 0;
  for (; size >= 8; p += 8, size -= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    high |= word;
  }
  for (; size > 0; ++p, --size) high |= static_cast<unsigned char>(*p);
  return (high & 0x8080808080808080u) == 0;
}

}  // namespace

PyObject* JsonValueSink::NewStr(std::string_view text) noexcept {
  if (IsAscii(text)) return AsciiString(text.data(), text.size());
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

Status JsonValueSink::MemberName(std::string_view name) noexcept {
  if (top_ == nullptr || !top_->object) return Status(ErrorKind::kValue, "object key outside of object");
  // Map keys written as text are digits or true/false.
  PyObject* text = IsAscii(name) ? AsciiString(name.data(), name.size())
                                 : PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
  if (text == nullptr) return Status::Pending();
  TakeName(text);
  return Status::Ok();
}

namespace {

// The str of a 64-bit integer, made at its length with the digits written
// straight into it.
PyObject* DigitString(uint64_t magnitude, bool negative) noexcept {
  const size_t sign = negative ? 1 : 0;
  PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(DecimalDigitCount(magnitude) + sign), 0x7f);
  if (str == nullptr) return nullptr;
  auto* text = static_cast<char*>(PyUnicode_DATA(str));
  text[0] = '-';
  FormatUnsigned(magnitude, text + sign);
  return str;
}

}  // namespace

Status JsonValueSink::QuotedInteger(int64_t value) noexcept {
  // The magnitude of the most negative value only fits the unsigned type.
  const auto magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  return PlaceNew(DigitString(magnitude, value < 0));
}

Status JsonValueSink::QuotedUnsigned(uint64_t value) noexcept { return PlaceNew(DigitString(value, false)); }

Status JsonValueSink::PythonNumberGeneral(PyObject* value) noexcept {
  if (PyIndex_Check(value)) {
    Ref index = Ref::steal(PyNumber_Index(value));
    if (index) return Place(index.get());
    PyErr_Clear();  // falls back to the float conversion
  }
  const double number = PyFloat_AsDouble(value);
  if (number == -1.0 && PyErr_Occurred()) return Status::Pending();
  return PlaceNew(PyFloat_FromDouble(number));
}

Status JsonValueSink::Bytes(PyObject* data) noexcept {
  const auto content = ByteContent(data);
  const uint8_t* p = content.data();
  const size_t size = content.size();
  const size_t length = Base64Length(size);
  if ((length == 0 && size != 0) || length > static_cast<size_t>(PY_SSIZE_T_MAX)) return Status(ErrorKind::kMemory, "out of memory while writing JSON");
  // Base64 is ASCII: the text is encoded straight into a new compact str.
  PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(length), 127);
  if (text != nullptr) Base64Encode(p, size, static_cast<char*>(PyUnicode_DATA(text)));
  return PlaceNew(text);
}

Result<Ref> JsonValueSink::Finish() noexcept {
  if (!root_) return Status(ErrorKind::kValue, "no JSON value produced");
  while (depth_ > 0) VELUM_TRY(Close());
  return std::move(root_);
}

}  // namespace velum::json_sink
