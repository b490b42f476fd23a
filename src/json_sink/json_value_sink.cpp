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

// The first `size` (1 to kIntegerTextMax) bytes of `text` by a few
// overlapping word moves: a call to memcpy costs more than the digits.
[[gnu::always_inline]] inline void CopyShort(char* out, const char* text, size_t size) noexcept {
  if (size >= 8) {
    uint64_t head;
    uint64_t tail;
    std::memcpy(&head, text, 8);
    std::memcpy(&tail, text + size - 8, 8);
    std::memcpy(out, &head, 8);
    if (size > 16) {
      uint64_t middle;
      std::memcpy(&middle, text + 8, 8);
      std::memcpy(out + 8, &middle, 8);
    }
    std::memcpy(out + size - 8, &tail, 8);
  } else if (size >= 4) {
    uint32_t head;
    uint32_t tail;
    std::memcpy(&head, text, 4);
    std::memcpy(&tail, text + size - 4, 4);
    std::memcpy(out, &head, 4);
    std::memcpy(out + size - 4, &tail, 4);
  } else {
    out[0] = text[0];
    out[size / 2] = text[size / 2];
    out[size - 1] = text[size - 1];
  }
}

// The str of an integer's digits: written into room on the stack by the
// converter that counts them on the way (sixteen at once), then moved into
// a str made at their length.
template <class T, size_t (*Format)(T, char*)>
[[gnu::always_inline]] inline PyObject* DigitString(T value) noexcept {
  char room[kIntegerTextMax + 12];
  const size_t size = Format(value, room);
  PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(size), 0x7f);
  if (str != nullptr) CopyShort(static_cast<char*>(PyUnicode_DATA(str)), room, size);
  return str;
}

}  // namespace

Status JsonValueSink::QuotedInteger(int64_t value) noexcept {
  return PlaceNew(DigitString<int64_t, FormatInteger>(value));
}

Status JsonValueSink::QuotedUnsigned(uint64_t value) noexcept {
  return PlaceNew(DigitString<uint64_t, FormatUnsigned>(value));
}

PyObject* JsonValueSink::IntegerName(int64_t value) noexcept { return DigitString<int64_t, FormatInteger>(value); }

template <bool kIntKeys>
bool JsonValueSink::QuotedEntries(DictCursor& entries, PyObject*& key, PyObject*& value) noexcept {
  PyObject* dict = OpenMap();
  if (dict == nullptr) return entries.Next(key, value);
  while (entries.Next(key, value)) {
    int64_t number = 0;
    if (!ReadExactInt(value, &number)) [[unlikely]]
      return true;
    PyObject* text = DigitString<int64_t, FormatInteger>(number);
    if (text == nullptr) [[unlikely]] {
      PyErr_Clear();  // made again by the general road, which reports a failure
      return true;
    }
    const bool set = SetEntry<kIntKeys>(dict, key, text);
    Py_DECREF(text);
    if (!set) [[unlikely]]
      return true;
  }
  return false;
}

template bool JsonValueSink::QuotedEntries<false>(DictCursor&, PyObject*&, PyObject*&) noexcept;
template bool JsonValueSink::QuotedEntries<true>(DictCursor&, PyObject*&, PyObject*&) noexcept;

Status JsonValueSink::IntegerMemberName(int64_t value) noexcept {
  if (top_ == nullptr || !top_->object) return Status(ErrorKind::kValue, "object key outside of object");
  PyObject* text = DigitString<int64_t, FormatInteger>(value);
  if (text == nullptr) return Status::Pending();
  TakeName(text);
  return Status::Ok();
}

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
