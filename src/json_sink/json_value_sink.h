// JsonValueSink: JSON writer events to a tree of plain Python values (dict,
// list, str, int, float, bool, None), the document json.loads would give for
// the same events as text. Containers are placed into their parent when they
// begin, so the root is complete when the last end arrives.
#pragma once

#include <cmath>
#include <string_view>

#include "common/dict_walk.h"
#include "common/raw_alloc.h"
#include "common/ref.h"
#include "common/status.h"
#include "descriptor/field_kind.h"
#include "field_ops/scalar_convert.h"

namespace velum::json_sink {

class JsonValueSink {
 public:
  Status BeginObject() noexcept { return Open(Tracked(PyDict_New()), true); }
  [[gnu::always_inline]] Status BeginObject(Py_ssize_t members) noexcept {
    // Up to five members fit the table a new dict starts with.
    return Open(Tracked(members > 5 ? NewDict(members) : PyDict_New()), true);
  }
  Status BeginArray() noexcept { return Open(PyList_New(0), false); }
  Status BeginArray(Py_ssize_t items) noexcept { return Open(NewList(items), false); }
  Status EndObject() noexcept { return Close(); }
  Status EndArray() noexcept { return Close(); }
  // `name` is a `str`, kept as it is: the tree shares the field table's names.
  Status MemberName(PyObject* name) noexcept;
  Status MemberName(std::string_view name) noexcept;
  // An integer map key: the str of its digits.
  Status IntegerMemberName(int64_t value) noexcept;
  // A field's name: the tree takes the str; the key text is the text sink's.
  [[gnu::always_inline]] Status MemberName(PyObject* name, std::string_view /*key*/) noexcept { return MemberName(name); }
  [[gnu::always_inline]] Status Null() noexcept { return Place(Py_None); }
  [[gnu::always_inline]] Status Boolean(bool value) noexcept { return Place(value ? Py_True : Py_False); }
  Status Integer(int64_t value) noexcept { return PlaceNew(PyLong_FromLongLong(value)); }
  // `held`, when not null, is an exact int of that value: the tree shares it
  // rather than making an equal one.
  [[gnu::always_inline]] Status Integer(int64_t value, PyObject* held) noexcept {
    if (held != nullptr) return Place(held);
    return Integer(value);
  }
  // Mostly ASCII (time stamps, durations, paths): copied straight into a str.
  Status String(std::string_view value) noexcept { return PlaceNew(NewStr(value)); }
  // 64-bit integers as the `str` of their digits.
  Status QuotedInteger(int64_t value) noexcept;
  Status QuotedUnsigned(uint64_t value) noexcept;
  // The held `str` itself.
  [[gnu::always_inline]] Status PythonString(PyObject* value) noexcept { return Place(value); }
  // `data` is a bytes or bytearray; placed as the `str` of its Base64 text.
  Status Bytes(PyObject* data) noexcept;
  // The held float or int itself; any other number as the int of its
  // __index__ or else the float of its double, never the foreign object.
  [[gnu::always_inline]] Status PythonNumber(PyObject* value) noexcept {
    if (PyFloat_Check(value) || PyLong_Check(value)) [[likely]]
      return Place(value);
    return PythonNumberGeneral(value);
  }
  // The entries of a map with str keys and values of type `T`, taken from
  // `entries` and set straight into the map's dict while the key is an
  // exact str and the value one whose tree form runs no Python code: an
  // exact int's digits for int64, an exact str, finite double, bool or
  // 32-bit int as it is. Returns false once the entries are done; true
  // with `key` and `value` set to an entry it left, which the walk places
  // by the general road (and which reports any failure there).
  template <ScalarType T>
  [[gnu::always_inline]] bool ExactEntries(DictCursor& entries, PyObject*& key, PyObject*& value) noexcept {
    return QuickEntries<T, false>(entries, key, value);
  }
  // The same for a map with integer keys: a key that is an exact int of at
  // most 60 bits is set as the str of its digits.
  template <ScalarType T>
  [[gnu::always_inline]] bool IntKeyEntries(DictCursor& entries, PyObject*& key, PyObject*& value) noexcept {
    return QuickEntries<T, true>(entries, key, value);
  }
  // A field's member `name` and its value of type `T` set straight into the
  // open object, with no name pending between them: a value whose tree form
  // runs no Python code, as the map loops take it (an int64 as its digits).
  // False, with nothing set and no error, for any other value, which the
  // general road then writes (and which reports any failure there).
  template <ScalarType T>
  [[gnu::always_inline]] bool ExactField(PyObject* name, PyObject* value) noexcept {
    if constexpr (T == ScalarType::kInt64 || kHeldForm<T>) {
      const Frame* top = top_;
      if (top == nullptr || !top->object || pending_ != nullptr) [[unlikely]]
        return false;
      if constexpr (T == ScalarType::kInt64) {
        int64_t number = 0;
        if (!ReadExactInt(value, &number)) return false;
        PyObject* text = IntegerName(number);
        const int set = text == nullptr ? -1 : PyDict_SetItem(top->container, name, text);
        Py_XDECREF(text);
        if (set < 0) [[unlikely]] {
          PyErr_Clear();
          return false;
        }
        return true;
      } else {
        if (!IsHeld<T>(value)) return false;
        if (PyDict_SetItem(top->container, name, value) < 0) [[unlikely]] {
          PyErr_Clear();
          return false;
        }
        return true;
      }
    } else {
      return false;
    }
  }
  // The root value, or ValueError "no JSON value produced".
  Result<Ref> Finish() noexcept;

  JsonValueSink() noexcept = default;
  JsonValueSink(const JsonValueSink&) = delete;
  JsonValueSink& operator=(const JsonValueSink&) = delete;
  ~JsonValueSink();

 private:
  // An open container. Plain data, so that a sink is made without touching
  // its frames: only the first `depth_` are live.
  struct Frame {
    PyObject* container;  // the dict or list being filled (a strong reference)
    // A list made at its likely length holds None beyond its first `filled`
    // items: values replace those, the rest is cut off when it closes.
    Py_ssize_t filled;
    bool object;
  };

  // The dict of the map being filled, or null when the entries must take
  // the general road (no object open, or a name pending).
  PyObject* OpenMap() const noexcept {
    return top_ != nullptr && top_->object && pending_ == nullptr ? top_->container : nullptr;
  }
  // The forms whose tree value is the Python value itself, when IsHeld.
  template <ScalarType T>
  static constexpr bool kHeldForm = T == ScalarType::kString || T == ScalarType::kDouble || T == ScalarType::kBool ||
                                    T == ScalarType::kInt32 || T == ScalarType::kUint32;
  // A value of `T`'s exact class and range, which the tree takes as it is.
  template <ScalarType T>
  [[gnu::always_inline]] static bool IsHeld(PyObject* value) noexcept {
    if constexpr (T == ScalarType::kString) {
      return PyUnicode_CheckExact(value);
    } else if constexpr (T == ScalarType::kDouble) {
      return PyFloat_CheckExact(value) && std::isfinite(PyFloat_AS_DOUBLE(value));
    } else if constexpr (T == ScalarType::kInt32 || T == ScalarType::kUint32) {
      int64_t number = 0;
      constexpr int64_t kLeast = T == ScalarType::kInt32 ? INT32_MIN : 0;
      constexpr int64_t kMost = T == ScalarType::kInt32 ? INT32_MAX : UINT32_MAX;
      return ReadExactInt(value, &number) && number >= kLeast && number <= kMost;
    } else {
      return value == Py_True || value == Py_False;
    }
  }
  template <ScalarType T, bool kIntKeys>
  [[gnu::always_inline]] bool QuickEntries(DictCursor& entries, PyObject*& key, PyObject*& value) noexcept {
    if constexpr (T == ScalarType::kInt64) {
      return QuotedEntries<kIntKeys>(entries, key, value);
    } else if constexpr (kHeldForm<T>) {
      return HeldEntries<T, kIntKeys>(entries, key, value);
    } else {
      return entries.Next(key, value);
    }
  }
  // Sets `value` under the member name of `key`: the exact str itself, or
  // the digits of an exact int of at most 60 bits. False, with no error
  // set, for any other key or a failure, which the general road then meets.
  template <bool kIntKeys>
  [[gnu::always_inline]] static bool SetEntry(PyObject* dict, PyObject* key, PyObject* value) noexcept {
    int set = -1;
    if constexpr (kIntKeys) {
      int64_t number = 0;
      if (!ReadExactInt(key, &number)) return false;
      PyObject* name = IntegerName(number);
      if (name != nullptr) {
        set = PyDict_SetItem(dict, name, value);
        Py_DECREF(name);
      }
    } else {
      if (!PyUnicode_CheckExact(key)) return false;
      set = PyDict_SetItem(dict, key, value);
    }
    if (set < 0) [[unlikely]] {
      PyErr_Clear();  // made again by the general road, which reports a failure
      return false;
    }
    return true;
  }
  static PyObject* IntegerName(int64_t value) noexcept;
  template <bool kIntKeys>
  [[gnu::noinline]] bool QuotedEntries(DictCursor& entries, PyObject*& key, PyObject*& value) noexcept;
  template <ScalarType T, bool kIntKeys>
  [[gnu::noinline]] bool HeldEntries(DictCursor& entries, PyObject*& key, PyObject*& value) noexcept {
    PyObject* dict = OpenMap();
    if (dict == nullptr) return entries.Next(key, value);
    while (entries.Next(key, value)) {
      if (!IsHeld<T>(value) || !SetEntry<kIntKeys>(dict, key, value)) [[unlikely]]
        return true;
    }
    return false;
  }

  // `value` is borrowed; the container or root takes its own reference.
  Status Place(PyObject* value) noexcept;
  Status PlaceNew(PyObject* stolen) noexcept {
    if (stolen == nullptr) [[unlikely]]
      return Status::Pending();
    Status placed = Place(stolen);
    Py_DECREF(stolen);
    return placed;
  }
  Status Open(PyObject* stolen, bool object) noexcept;
  Status OpenDeep(PyObject* stolen, bool object) noexcept;
  Status Close() noexcept;
  void FindTop() noexcept {
    top_ = depth_ == 0 ? nullptr : depth_ > kFirstFrames ? &deeper_.back() : &first_[depth_ - 1];
  }
  // `name` is a new reference.
  void TakeName(PyObject* name) noexcept { Py_XSETREF(pending_, name); }
  Status PythonNumberGeneral(PyObject* value) noexcept;
  // Cuts a list frame's unfilled places off.
  static Status Trim(const Frame& frame) noexcept;
  // `dict` (or null), tracked by the collector from the start: an untracked
  // dict tests the key and the value of every insert for whether it must
  // become tracked, two calls into the interpreter each, which cost more
  // than tracking it once.
  static PyObject* Tracked(PyObject* dict) noexcept {
    if (dict != nullptr && !PyObject_GC_IsTracked(dict)) PyObject_GC_Track(dict);
    return dict;
  }
  static PyObject* NewStr(std::string_view text) noexcept;
  // A list of `items` places, each holding None until a value is placed there.
  static PyObject* NewList(Py_ssize_t items) noexcept;
  // A dict with room for `members` entries without resizing (up to a bound).
  static PyObject* NewDict(Py_ssize_t members) noexcept;

  // The first frames live in the sink itself, so that a call on a shallow
  // message allocates no stack; deeper ones go to `deeper_`.
  static constexpr size_t kFirstFrames = 16;
  Frame first_[kFirstFrames];
  RawVector<Frame> deeper_;
  size_t depth_ = 0;
  Frame* top_ = nullptr;  // the innermost open frame, null at the top level
  // The member name awaiting its value (a strong reference). At most one is
  // ever pending: a container placed as a member's value takes the name
  // before it opens.
  PyObject* pending_ = nullptr;
  Ref root_;
};

// Called for every member and value: defined here so that the walk inlines them.

[[gnu::always_inline]] inline Status JsonValueSink::MemberName(PyObject* name) noexcept {
  if (top_ == nullptr || !top_->object) [[unlikely]]
    return Status(ErrorKind::kValue, "object key outside of object");
  TakeName(Py_NewRef(name));
  return Status::Ok();
}

[[gnu::always_inline]] inline Status JsonValueSink::Place(PyObject* value) noexcept {
  Frame* top = top_;
  if (top == nullptr) [[unlikely]] {
    root_ = Ref::borrow(value);
    return Status::Ok();
  }
  if (!top->object) {
    PyObject* list = top->container;
    if (top->filled < PyList_GET_SIZE(list)) [[likely]] {
      // The place holds None, which is immortal: nothing to release.
      PyList_SET_ITEM(list, top->filled, Py_NewRef(value));
      ++top->filled;
      return Status::Ok();
    }
    if (PyList_Append(list, value) < 0) return Status::Pending();
    top->filled = PyList_GET_SIZE(list);
    return Status::Ok();
  }
  PyObject* name = pending_;
  if (name == nullptr) [[unlikely]]
    return Status(ErrorKind::kValue, "object value without key");
  // The name is taken before the call: setting an item may run a key's __eq__.
  pending_ = nullptr;
  const int set = PyDict_SetItem(top->container, name, value);
  Py_DECREF(name);
  return set == 0 ? Status::Ok() : Status::Pending();
}

[[gnu::always_inline]] inline Status JsonValueSink::Open(PyObject* stolen, bool object) noexcept {
  if (stolen == nullptr) [[unlikely]]
    return Status::Pending();
  Status placed = Place(stolen);
  if (!placed.ok()) [[unlikely]] {
    Py_DECREF(stolen);
    return placed;
  }
  if (depth_ >= kFirstFrames) [[unlikely]]
    return OpenDeep(stolen, object);
  Frame& frame = first_[depth_++];
  frame.container = stolen;
  frame.filled = 0;
  frame.object = object;
  top_ = &frame;
  return Status::Ok();
}

// Inline at every end of a container: a call each was a tenth of the sink's
// own work on a tree of many small objects.
[[gnu::always_inline]] inline Status JsonValueSink::Close() noexcept {
  Frame* top = top_;
  if (top == nullptr) [[unlikely]]
    return Status::Ok();
  if (!top->object && top->filled < PyList_GET_SIZE(top->container)) [[unlikely]]
    VELUM_TRY(Trim(*top));
  PyObject* container = top->container;
  Py_CLEAR(pending_);  // a name left without its value ends with its object
  --depth_;
  if (depth_ >= kFirstFrames) [[unlikely]] {
    deeper_.pop_back();
    FindTop();
  } else {
    // The first frames are contiguous: the one below is the next down.
    top_ = depth_ == 0 ? nullptr : top - 1;
  }
  // The parent (or the root) holds the container: this never frees it.
  Py_DECREF(container);
  return Status::Ok();
}

}  // namespace velum::json_sink
