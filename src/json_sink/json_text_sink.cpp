#include "json_sink/json_text_sink.h"

#include <cstring>

#include "common/py_error.h"
#include "json_sink/base64.h"
#include "json_sink/json_escape.h"
#include "json_sink/json_events.h"
#include "json_sink/unit_widen.h"
#include "json_sink/utf8_units.h"

namespace velum::json_sink {

namespace {

// The number behind an object that is neither float nor int: an int through
// __index__ when it has one, else None (and no exception set).
Ref IndexOrNull(PyObject* value) noexcept {
  if (!PyIndex_Check(value)) return Ref();
  Ref index = Ref::steal(PyNumber_Index(value));
  if (!index) PyErr_Clear();  // falls back to the float conversion
  return index;
}

}  // namespace

// Floats (subclasses included) print from their double and ints from their
// value, never through a subclass's own __repr__, and any other number
// through __index__ or its double: the text is always a JSON number.
Status JsonTextSink::PythonNumberGeneral(PyObject* value) noexcept {
  if (PyFloat_Check(value)) {
    text_.Float(PyFloat_AS_DOUBLE(value));
    return Status::Ok();
  }
  Ref index;
  if (!PyLong_Check(value)) {
    index = IndexOrNull(value);
    if (!index) {
      const double number = PyFloat_AsDouble(value);
      if (number == -1.0 && PyErr_Occurred()) return Status::Pending();
      text_.Float(number);
      return Status::Ok();
    }
    value = index.get();
  }
  int overflow = 0;
  const long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow == 0) {
    if (small == -1 && PyErr_Occurred()) return Status::Pending();
    text_.Integer(small);
    return Status::Ok();
  }
  Ref digits = Ref::steal(PyLong_Type.tp_repr(value));
  if (!digits) return Status::Pending();
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(digits.get(), &size);
  if (utf8 == nullptr) return Status::Pending();
  text_.RawNumber(utf8, static_cast<size_t>(size));
  return Status::Ok();
}

[[gnu::always_inline]] inline void JsonTextSink::KeepPieceInline(PyObject* text, bool member) noexcept {
  member ? text_.OpenMemberName() : text_.OpenString();
  try {
    pieces_.push_back(Piece{text_.size(), Ref::borrow(text)});
  } catch (const std::bad_alloc&) {
    text_.buffer().Fail();  // Finish reports MemoryError
    return;
  }
  piece_length_ += static_cast<size_t>(PyUnicode_GET_LENGTH(text));
  const uint32_t max_char = PyUnicode_MAX_CHAR_VALUE(text);
  if (max_char > piece_max_char_) piece_max_char_ = max_char;
  member ? text_.CloseMemberName() : text_.CloseString();
}

Status JsonTextSink::WideString(PyObject* text, bool member) noexcept {
  const auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
  const unsigned kind = PyUnicode_KIND(text);
  if (!UnitsArePlain(PyUnicode_DATA(text), length, kind)) {
    // Escapes (or a surrogate, which the UTF-8 conversion refuses): as UTF-8.
    const std::string_view utf8 = Utf8Of(text);
    if (utf8.data() == nullptr) return Status::Pending();
    const size_t at = text_.size();
    if (member) {
      text_.MemberName(utf8.data(), utf8.size(), true);
    } else {
      text_.String(utf8.data(), utf8.size(), true);
    }
    return MarkStretch(at);
  }
  KeepPieceInline(text, member);
  return Status::Ok();
}

bool JsonTextSink::PlainWidePiece(PyObject* text, bool member) noexcept {
  if (!UnitsArePlain(PyUnicode_DATA(text), static_cast<size_t>(PyUnicode_GET_LENGTH(text)), PyUnicode_KIND(text))) {
    return false;
  }
  KeepPieceInline(text, member);
  return true;
}

void JsonTextSink::KeepPiece(PyObject* text, bool member) noexcept { KeepPieceInline(text, member); }

namespace {

// A piece's units widened into `out`; false when its kind is wider than Unit.
template <class Unit>
[[gnu::always_inline]] inline bool PutPiece(PyObject* text, size_t n, Unit* out) noexcept {
  const void* units = PyUnicode_DATA(text);
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
      WidenRun(static_cast<const uint8_t*>(units), n, out);
      return true;
    case PyUnicode_2BYTE_KIND:
      if constexpr (sizeof(Unit) < 2) return false;
      else WidenRun(static_cast<const uint16_t*>(units), n, out);
      return true;
    default:
      if constexpr (sizeof(Unit) < 4) return false;
      else WidenRun(static_cast<const uint32_t*>(units), n, out);
      return true;
  }
}

}  // namespace

// Fills the result's units: each stretch of text between the pieces, then
// the piece. Every non-ASCII byte the text holds lies between two marks
// (MarkStretch): those stretches are decoded, all others are ASCII and
// widened as they stand. Should that ever not hold, the units would not
// come out at the tallied length, which is checked.
template <class Unit>
bool JsonTextSink::Fill(Unit* out, size_t length) const noexcept {
  const auto* data = reinterpret_cast<const uint8_t*>(text_.data());
  Unit* const end = out + length;
  size_t from = 0;
  bool marked = false;
  auto stretch = [&](size_t to) noexcept {
    const size_t run = to - from;
    const size_t room = static_cast<size_t>(end - out);
    if (!marked) [[likely]] {
      if (run > room) return false;
      WidenRun(data + from, run, out);
      out += run;
      return true;
    }
    const size_t n = Utf8IntoUnits(data + from, run, out, sizeof(Unit), room);
    if (n == SIZE_MAX) return false;
    out += n;
    return true;
  };
  for (const Piece& piece : pieces_) {
    PyObject* const text = piece.text.get();
    if (text == nullptr) {
      if (!stretch(piece.at)) return false;
      from = piece.at;
      marked = !marked;
      continue;
    }
    const auto n = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    if (!stretch(piece.at) || n > static_cast<size_t>(end - out)) return false;
    if (!PutPiece(text, n, out)) return false;
    out += n;
    from = piece.at;
  }
  return stretch(text_.size()) && out == end;
}

Status JsonTextSink::NewMemberName(PyObject* name) noexcept {
  static_assert(kKeySlots == 64 * kKeyWays, "KeyBucketOf keeps the top six bits of the hash");
  const char* data = AsciiData(name);
  const size_t size = AsciiLength(name);
  text_.MemberName(data, size, true);
  if (size + 4 > kKeyTextMax || PlainRunLength(data, size) != size) return Status::Ok();
  if (key_slots_.empty()) {
    try {
      key_slots_.resize(kKeySlots);
    } catch (const std::bad_alloc&) {
      return Status::Ok();  // names are then written each time
    }
  }
  // A free slot of the bucket, else its first.
  KeySlot* bucket = &key_slots_[KeyBucketOf(name)];
  size_t way = 0;
  while (way < kKeyWays && bucket[way].name) ++way;
  KeySlot& slot = bucket[way < kKeyWays ? way : 0];
  slot.name = Ref::borrow(name);
  slot.text[0] = ',';
  slot.text[1] = '"';
  std::memcpy(slot.text + 2, data, size);
  slot.text[size + 2] = '"';
  slot.text[size + 3] = ':';
  slot.size = static_cast<uint32_t>(size + 4);
  return Status::Ok();
}

char* JsonTextSink::ResizeResult(void* owner, size_t capacity) noexcept {
  Ref& result = static_cast<JsonTextSink*>(owner)->result_;
  PyObject* text = result.release();
  const bool made = text == nullptr ? (text = PyUnicode_New(static_cast<Py_ssize_t>(capacity), 0x7f)) != nullptr
                                    : PyUnicode_Resize(&text, static_cast<Py_ssize_t>(capacity)) == 0;
  // A refused resize leaves the str as it was: the buffer keeps that block.
  result = Ref::steal(text);
  if (!made) {
    PyErr_Clear();  // Finish reports the refused growth as MemoryError
    return nullptr;
  }
  return reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text));
}

Status JsonTextSink::MarkStretch(size_t at) noexcept {
  // Text that could not be measured leaves the whole to the interpreter's decoder.
  if (!text_.sized()) return Status::Ok();
  try {
    pieces_.push_back(Piece{at, Ref()});
    pieces_.push_back(Piece{text_.size(), Ref()});
  } catch (const std::bad_alloc&) {
    return Status(ErrorKind::kMemory, "out of memory while writing JSON");
  }
  return Status::Ok();
}

// The text between the pieces (mostly ASCII) and each piece copied from its
// str's own units, into one str made at the final size.
Result<Ref> JsonTextSink::Assemble() noexcept {
  if (!text_.sized()) return Status(ErrorKind::kValue, "JSON text tally failed");
  const size_t length = text_.length() + piece_length_;
  const uint32_t max_char = text_.max_char() > piece_max_char_ ? text_.max_char() : piece_max_char_;
  Ref result = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(length), max_char));
  if (!result) return Status::Pending();
  bool filled = false;
  switch (PyUnicode_KIND(result.get())) {
    case PyUnicode_1BYTE_KIND: filled = Fill(PyUnicode_1BYTE_DATA(result.get()), length); break;
    case PyUnicode_2BYTE_KIND: filled = Fill(PyUnicode_2BYTE_DATA(result.get()), length); break;
    default: filled = Fill(PyUnicode_4BYTE_DATA(result.get()), length); break;
  }
  if (!filled) return Status(ErrorKind::kValue, "JSON text tally failed");
  return result;
}

Status JsonTextSink::Bytes(PyObject* data) noexcept {
  const auto content = ByteContent(data);
  const uint8_t* p = content.data();
  const size_t size = content.size();
  const size_t length = Base64Length(size);
  if (length == 0 && size != 0) return Status(ErrorKind::kMemory, "out of memory while writing JSON");
  text_.Base64(p, size, length);
  return Status::Ok();
}

// The text becomes a `str` in one pass: ASCII straight into a compact ASCII
// str, anything else decoded into a str allocated at the length and width
// tallied on the way (a str is as narrow as its widest character allows, and
// so is the tally of its pieces). Should the tally ever disagree with the
// text, the interpreter's decoder measures it instead.
Result<Ref> JsonTextSink::Finish() noexcept {
  if (!text_.ok()) return Status(ErrorKind::kMemory, "out of memory while writing JSON");
  if (!pieces_.empty()) return Assemble();
  text_.ShrinkToFit();
  const auto* data = reinterpret_cast<const uint8_t*>(text_.data());
  const size_t size = text_.size();
  if (!text_.non_ascii()) {
    // Already in the result (ShrinkToFit made it the text's length).
    if (text_.buffer().InSourceBlock() && static_cast<size_t>(PyUnicode_GET_LENGTH(result_.get())) == size) {
      return std::move(result_);
    }
    Ref text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(size), 0x7f));
    if (!text) return Status::Pending();
    if (size != 0) std::memcpy(PyUnicode_1BYTE_DATA(text.get()), data, size);
    return text;
  }
  if (text_.sized() && text_.length() <= size) {
    const size_t length = text_.length();
    Ref text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(length), text_.max_char()));
    if (!text) return Status::Pending();
    bool filled = false;
    switch (PyUnicode_KIND(text.get())) {
      case PyUnicode_1BYTE_KIND: filled = Utf8ToLatin1(data, size, PyUnicode_1BYTE_DATA(text.get()), length); break;
      case PyUnicode_2BYTE_KIND: filled = Utf8ToUcs2(data, size, PyUnicode_2BYTE_DATA(text.get()), length); break;
      default: filled = Utf8ToUcs4(data, size, PyUnicode_4BYTE_DATA(text.get()), length); break;
    }
    if (filled) return text;
  }
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(text_.data(), static_cast<Py_ssize_t>(size), nullptr));
  if (!text) return Status::Pending();
  return text;
}

}  // namespace velum::json_sink
