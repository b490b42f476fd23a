// The texts made from a schema file's bytes, kept while its fields are read.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>

#include "common/raw_alloc.h"
#include "common/ref.h"

namespace velum {

// The text objects last made for some byte strings while a file is read: names,
// JSON names and type names repeat across a schema's fields (`name`, `id`, `key`
// and `value` of every map entry, a type named by many fields), and a repeat
// found here costs a comparison instead of an object made and later freed. One
// entry a hash, the last text wins: no probing, no growing. Text is immutable,
// so records may share it.
class TextCache {
 public:
  // Sized for an input of `size` bytes: a small file holds few names.
  explicit TextCache(size_t size) : bits_(Bits(size)), entries_(size_t{1} << bits_, Entry{nullptr, 0, nullptr}) {}
  TextCache(const TextCache&) = delete;
  TextCache& operator=(const TextCache&) = delete;
  ~TextCache() {
    for (const Entry& entry : entries_) Py_XDECREF(entry.text);
  }

  // Where the text of `data` is kept.
  size_t Index(const uint8_t* data, size_t size) const {
    uint64_t first = 0;
    uint64_t last = 0;
    if (size >= 8) {
      std::memcpy(&first, data, 8);
      std::memcpy(&last, data + size - 8, 8);
    } else {
      for (size_t i = 0; i < size; ++i) first |= static_cast<uint64_t>(data[i]) << (8 * i);
    }
    const uint64_t h = (first * 0x9e3779b97f4a7c15u) ^ (last * 0xff51afd7ed558ccdu) ^ (size * 0xc4ceb9fe1a85ec53u);
    return static_cast<size_t>(h >> (64 - bits_));
  }

  // The text of `data` kept at `index`, borrowed; null when another is kept there.
  PyObject* Find(size_t index, const uint8_t* data, size_t size) const {
    const Entry& entry = entries_[index];
    if (entry.text == nullptr || entry.size != size || std::memcmp(entry.data, data, size) != 0) return nullptr;
    return entry.text;
  }

  // Keeps `text` (a reference added) for `data` at `index`.
  void Keep(size_t index, const uint8_t* data, size_t size, PyObject* text) {
    Entry& entry = entries_[index];
    Py_XDECREF(entry.text);
    entry = {data, size, Py_NewRef(text)};
  }

 private:
  // One entry for every 64 bytes of input, between 16 and 512.
  static int Bits(size_t size) {
    int bits = 4;
    while (bits < 9 && (size_t{64} << bits) < size) ++bits;
    return bits;
  }

  struct Entry {
    const uint8_t* data;
    size_t size;
    PyObject* text;  // owned
  };

  int bits_;
  RawVector<Entry> entries_;
};

// The text made for the fields of the messages of one file, kept from one
// message's fields to the next: the messages resolved together mostly come from
// one file, and their fields repeat names, JSON names and type names. Holds the
// file's bytes, which the cache's entries point into. Shared by the field
// records read from the bytes (parser/schema_records) and the resolver reading
// fields from their views (field_resolve).
struct FileTexts {
  PyObject* source = nullptr;  // owned
  TextCache* texts = nullptr;  // raw-allocated
  // While texts are made with it (a collection run meanwhile could read the
  // fields of another message, which then get a cache of their own).
  bool busy = false;

  TextCache& For(PyObject* file) {
    if (file != source || texts == nullptr) {
      TextCache* made = RawNew<TextCache>(static_cast<size_t>(PyBytes_GET_SIZE(file)));
      if (texts != nullptr) RawDelete(texts);
      texts = made;
      Py_XSETREF(source, Py_NewRef(file));
    }
    return *texts;
  }
};


// The one FileTexts of the process (used with the interpreter's lock held).
FileTexts& SharedFileTexts();

// The cache for the texts of `file` (bytes) while in scope: the process's
// shared one, or one of its own when the shared one is in use further up the
// stack.
class FileTextsInUse {
 public:
  explicit FileTextsInUse(PyObject* file) : shared_(SharedFileTexts()), was_busy_(shared_.busy) {
    if (was_busy_) own_.emplace(static_cast<size_t>(PyBytes_GET_SIZE(file)));
    cache_ = own_ ? &*own_ : &shared_.For(file);
    shared_.busy = true;
  }
  ~FileTextsInUse() { shared_.busy = was_busy_; }
  FileTextsInUse(const FileTextsInUse&) = delete;
  FileTextsInUse& operator=(const FileTextsInUse&) = delete;

  TextCache& cache() { return *cache_; }

 private:
  FileTexts& shared_;
  bool was_busy_;
  std::optional<TextCache> own_;
  TextCache* cache_;
};

}  // namespace velum
