#include "descriptor/field_names.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "descriptor/name_index.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velum {

bool IsDerivedJsonName(const unsigned char* name, size_t name_size, const unsigned char* json, size_t json_size,
                       bool ascii) {
  // Beyond ASCII, Unicode case mapping decides (see JsonName).
  size_t i = ascii ? name_size : 0;
  for (; i + 8 <= name_size; i += 8) {
    uint64_t word;
    std::memcpy(&word, name + i, 8);
    if ((word & 0x8080808080808080ULL) != 0) return false;
  }
  for (; i < name_size; ++i) {
    if (name[i] >= 0x80) return false;
  }
  // Run by run between underscores: each is the JSON name's next run, its
  // first letter upper-cased after an underscore.
  size_t at = 0;
  bool upper_next = false;
  i = 0;
  while (i < name_size) {
    if (name[i] == '_') {
      upper_next = true;
      ++i;
      continue;
    }
    const void* underscore = std::memchr(name + i, '_', name_size - i);
    const size_t end = underscore == nullptr ? name_size : static_cast<size_t>(static_cast<const unsigned char*>(underscore) - name);
    const size_t run = end - i;
    if (run > json_size - at) return false;
    unsigned char first = name[i];
    if (upper_next && first >= 'a' && first <= 'z') first = static_cast<unsigned char>(first - 'a' + 'A');
    if (json[at] != first || std::memcmp(name + i + 1, json + at + 1, run - 1) != 0) return false;
    at += run;
    i = end;
    upper_next = false;
  }
  return at == json_size;
}

namespace {

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHigh = 0x8080808080808080ULL;

// The high bit of each byte of `w` (all ASCII) that lies in [lo, hi].
constexpr uint64_t InRange(uint64_t w, unsigned lo, unsigned hi) noexcept {
  return (w + kOnes * (0x80 - lo)) & ~(w + kOnes * (0x7f - hi)) & kHigh;
}

// Whether each of the eight ASCII bytes of `w` is a letter, digit or '_'.
constexpr bool WordBytes(uint64_t w) noexcept {
  const uint64_t underscore = w ^ (kOnes * '_');
  const uint64_t is_underscore = ~(((underscore & ~kHigh) + ~kHigh) | underscore) & kHigh;
  return (InRange(w | (kOnes * 0x20), 'a', 'z') | InRange(w, '0', '9') | is_underscore) == kHigh;
}

#if defined(__SSE2__)
// Whether each of the sixteen ASCII bytes at `p` is a letter, digit or '_'. The
// bytes are below 0x80, so the signed comparisons order them as unsigned.
bool WordBytes16(const unsigned char* p) noexcept {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i folded = _mm_or_si128(v, _mm_set1_epi8(0x20));
  const __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(folded, _mm_set1_epi8('a' - 1)),
                                       _mm_cmplt_epi8(folded, _mm_set1_epi8('z' + 1)));
  const __m128i digit =
      _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(v, _mm_set1_epi8('9' + 1)));
  const __m128i underscore = _mm_cmpeq_epi8(v, _mm_set1_epi8('_'));
  return _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(letter, digit), underscore)) == 0xffff;
}
#endif

constexpr bool IsWordByte(unsigned char c) noexcept {
  return c == '_' || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') || (c >= '0' && c <= '9');
}

}  // namespace

bool IsIdentifier(PyObject* name) {
  if (!PyUnicode_IS_ASCII(name)) return PyUnicode_IsIdentifier(name) == 1;
  return IsAsciiIdentifier(static_cast<const unsigned char*>(PyUnicode_DATA(name)),
                           static_cast<size_t>(PyUnicode_GET_LENGTH(name)));
}

bool IsAsciiIdentifier(const unsigned char* text, size_t size) {
  const auto length = static_cast<Py_ssize_t>(size);
  if (length == 0 || !IsWordByte(text[0]) || (text[0] >= '0' && text[0] <= '9')) return false;
  Py_ssize_t i = 1;
#if defined(__SSE2__)
  for (; i + 16 <= length; i += 16) {  // sixteen bytes a step: names run long
    if (!WordBytes16(text + i)) return false;
  }
#endif
  for (; i + 8 <= length; i += 8) {
    uint64_t word = 0;
    memcpy(&word, text + i, 8);
    if ((word & kHigh) != 0 || !WordBytes(word)) return false;
  }
  for (; i < length; ++i) {
    if (!IsWordByte(text[i])) return false;
  }
  return true;
}

Result<Ref> JsonName(PyObject* name, PyObject* fallback) {
  if (!PyUnicode_Check(name)) return Status(ErrorKind::kType, "field name cannot be converted to str");
  if (!PyUnicode_IS_ASCII(name)) {
    Ref made = Ref::steal(PyObject_CallOneArg(fallback, name));
    if (!made) return Status::Pending();
    return made;
  }
  const auto* text = static_cast<const unsigned char*>(PyUnicode_DATA(name));
  Py_ssize_t length = PyUnicode_GET_LENGTH(name);
  Py_ssize_t underscores = 0;
  for (Py_ssize_t i = 0; i < length; ++i) underscores += text[i] == '_';
  if (underscores == 0) return Ref::borrow(name);
  Ref out = Ref::steal(PyUnicode_New(length - underscores, 127));
  if (!out) return Status::Pending();
  auto* dest = static_cast<unsigned char*>(PyUnicode_DATA(out.get()));
  bool upper_next = false;
  for (Py_ssize_t i = 0; i < length; ++i) {
    unsigned char ch = text[i];
    if (ch == '_') {
      upper_next = true;
      continue;
    }
    if (upper_next && ch >= 'a' && ch <= 'z') ch = static_cast<unsigned char>(ch - 'a' + 'A');
    upper_next = false;
    *dest++ = ch;
  }
  return out;
}

namespace {

// The sets a name must not be in, and the longest name in the first two.
struct Reserved {
  PyObject* keywords;
  PyObject* reserved;
  PyObject* extra;  // may be null
  Py_ssize_t longest;
};

// -1 on error, else whether `name` must be renamed for what it is.
int Clashes(PyObject* name, const Reserved& sets) {
  int found = 0;
  // Long field names are common (and costly to look up); keywords and the
  // runtime's own names are short.
  if (!PyUnicode_CheckExact(name) || PyUnicode_GET_LENGTH(name) <= sets.longest) {
    found = PySet_Contains(sets.keywords, name);
    if (found == 0) found = PySet_Contains(sets.reserved, name);
  }
  if (found == 0 && sets.extra != nullptr) found = PySet_Contains(sets.extra, name);
  return found;
}

Status Rename(PyObject* names, const Reserved& sets, PyObject* result) {
  Py_ssize_t count = PyList_GET_SIZE(names);
  // The names that stay as they are, whatever comes before them.
  Ref taken = Ref::steal(PySet_New(nullptr));
  Ref seen = Ref::steal(PySet_New(nullptr));
  if (!taken || !seen) return Status::Pending();
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* name = PyList_GET_ITEM(names, i);
    int clash = Clashes(name, sets);
    if (clash < 0 || (clash == 0 && PySet_Add(taken.get(), name) < 0)) return Status::Pending();
  }
  Ref underscore = Ref::steal(PyUnicode_FromStringAndSize("_", 1));
  if (!underscore) return Status::Pending();
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* name = PyList_GET_ITEM(names, i);
    Ref local = Ref::borrow(name);
    int rename = Clashes(name, sets);
    if (rename == 0) rename = PySet_Contains(seen.get(), name);
    if (rename < 0) return Status::Pending();
    for (bool again = rename != 0; again;) {
      local = Ref::steal(PyUnicode_Concat(local.get(), underscore.get()));
      if (!local) return Status::Pending();
      int busy = PySet_Contains(taken.get(), local.get());
      if (busy == 0) busy = PySet_Contains(seen.get(), local.get());
      if (busy == 0) busy = Clashes(local.get(), sets);
      if (busy < 0) return Status::Pending();
      again = busy != 0;
    }
    if (PySet_Add(seen.get(), local.get()) < 0) return Status::Pending();
    PyList_SET_ITEM(result, i, local.release());
  }
  return Status::Ok();
}

}  // namespace

Py_ssize_t LongestName(PyObject* set) {
  Ref it = Ref::steal(PyObject_GetIter(set));
  if (!it) {
    PyErr_Clear();
    return PY_SSIZE_T_MAX;
  }
  Py_ssize_t longest = 0;
  while (PyObject* item = PyIter_Next(it.get())) {
    const Py_ssize_t length = PyUnicode_CheckExact(item) ? PyUnicode_GET_LENGTH(item) : PY_SSIZE_T_MAX;
    Py_DECREF(item);  // (the set holds it)
    longest = std::max(longest, length);
  }
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return PY_SSIZE_T_MAX;
  }
  return longest;
}

Result<Ref> AssignLocalNames(PyObject* names, PyObject* keywords, PyObject* reserved, PyObject* extra,
                             Py_ssize_t longest) {
  if (!PyList_Check(names)) return Status(ErrorKind::kType, "names cannot be converted to list");
  if (!PyAnySet_Check(keywords) || !PyAnySet_Check(reserved) || (extra != nullptr && !PyAnySet_Check(extra))) {
    return Status(ErrorKind::kType, "reserved names cannot be converted to set");
  }
  const Reserved sets{keywords, reserved, extra, longest};
  Py_ssize_t count = PyList_GET_SIZE(names);
  // The usual case: every name distinct and free, so nothing is renamed.
  NameIndex seen(static_cast<size_t>(count));
  bool plain = true;
  for (Py_ssize_t i = 0; i < count && plain; ++i) {
    PyObject* name = PyList_GET_ITEM(names, i);
    if (!PyUnicode_Check(name)) return Status(ErrorKind::kType, "field name cannot be converted to str");
    int clash = Clashes(name, sets);
    if (clash < 0) return Status::Pending();
    if (clash == 0) {
      VELUM_ASSIGN_OR_RETURN(size_t first, seen.FindOrAdd(name, static_cast<size_t>(i)));
      clash = first != static_cast<size_t>(i);
    }
    plain = clash == 0;
  }
  if (plain) return Ref::borrow(names);
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!PyUnicode_Check(PyList_GET_ITEM(names, i))) {
      return Status(ErrorKind::kType, "field name cannot be converted to str");
    }
  }
  Ref result = Ref::steal(PyList_New(count));
  if (!result) return Status::Pending();
  VELUM_TRY(Rename(names, sets, result.get()));
  return result;
}

}  // namespace velum
