// Core unit: no Python.
// Reading the binary wire format. The input bytes sit behind one shared,
// reference-counted InputView; a nested payload is a sub-reader over the same
// bytes, so nothing is copied before it becomes a Python object.
//
// Error model: the primitives return false on failure and record what went
// wrong in the reader; LastError() turns that record into a Status, so the
// message text is only built on the failing path. The composite operations
// (SkipField, ScanGroup) return a Status directly.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "common/status.h"
#include "reverse_buffer/varint.h"

namespace velum::wire {

// Immutable input bytes with an intrusive count of the handles that use them.
// The count is not atomic: a view and its readers belong to one decode call.
class InputView {
 public:
  using ReleaseFn = void (*)(void* context) noexcept;

  const uint8_t* data() const noexcept { return data_; }
  size_t size() const noexcept { return size_; }

 private:
  friend class InputRef;
  InputView(const uint8_t* data, size_t size, ReleaseFn release, void* context) noexcept
      : data_(data), size_(size), release_(release), context_(context) {}

  const uint8_t* data_;
  size_t size_;
  size_t refs_ = 1;
  ReleaseFn release_;
  void* context_;
};

// An owning handle on an InputView.
class InputRef {
 public:
  InputRef() noexcept = default;
  InputRef(const InputRef& other) noexcept : view_(other.view_) {
    if (view_ != nullptr) ++view_->refs_;
  }
  InputRef(InputRef&& other) noexcept : view_(std::exchange(other.view_, nullptr)) {}
  InputRef& operator=(const InputRef& other) noexcept {
    if (other.view_ != nullptr) ++other.view_->refs_;
    Drop(std::exchange(view_, other.view_));
    return *this;
  }
  InputRef& operator=(InputRef&& other) noexcept {
    if (this != &other) Drop(std::exchange(view_, std::exchange(other.view_, nullptr)));
    return *this;
  }
  ~InputRef() { Drop(view_); }

  // A view on bytes owned elsewhere; `release(context)` runs when the last
  // handle goes away. Empty on allocation failure, in which case `release` is
  // not called and the caller still owns the bytes.
  static InputRef Wrap(const uint8_t* data, size_t size, InputView::ReleaseFn release = nullptr,
                       void* context = nullptr) noexcept;
  // A view on a private copy of the bytes; empty on allocation failure.
  static InputRef Copy(const uint8_t* data, size_t size) noexcept;

  explicit operator bool() const noexcept { return view_ != nullptr; }
  const InputView* get() const noexcept { return view_; }
  const InputView* operator->() const noexcept { return view_; }
  size_t use_count() const noexcept { return view_ == nullptr ? 0 : view_->refs_; }

 private:
  static void Drop(InputView* view) noexcept {
    if (view != nullptr && --view->refs_ == 0) Destroy(view);
  }
  static void Destroy(InputView* view) noexcept;

  InputView* view_ = nullptr;
};

class WireReader {
 public:
  WireReader() noexcept = default;
  // Reads the whole view.
  explicit WireReader(InputRef view) noexcept;

  bool empty() const noexcept { return cur_ == end_; }
  size_t remaining() const noexcept { return static_cast<size_t>(end_ - cur_); }
  // The next unread byte; a record read from `a` to `b` is [a, b) of the view.
  const uint8_t* cursor() const noexcept { return cur_; }
  // Position of the cursor from the start of the whole input.
  size_t offset() const noexcept { return view_ ? static_cast<size_t>(cur_ - view_->data()) : 0; }
  const InputRef& view() const noexcept { return view_; }

  // A reader over [begin, begin + size), which must lie inside this reader's view.
  WireReader Slice(const uint8_t* begin, size_t size) const noexcept {
    return WireReader(view_, begin, begin + size);
  }

  [[nodiscard]] bool ReadVarint64(uint64_t& value) noexcept {
    if (cur_ != end_ && *cur_ < 0x80) [[likely]] {
      value = *cur_++;
      return true;
    }
    return ReadVarintMultiByte(value);
  }

  // Tags take at most 5 bytes and must fit 32 bits.
  [[nodiscard]] bool ReadTag(uint32_t& tag) noexcept {
    if (cur_ != end_ && *cur_ < 0x80) [[likely]] {
      tag = *cur_++;
      return true;
    }
    if (end_ - cur_ >= 2 && cur_[1] < 0x80) {
      tag = (cur_[0] & 0x7fu) | (static_cast<uint32_t>(cur_[1]) << 7);
      cur_ += 2;
      return true;
    }
    return ReadTagSlow(tag);
  }

  [[nodiscard]] bool ReadFixed32(uint32_t& value) noexcept {
    if (remaining() < 4) [[unlikely]]
      return FailTruncated(4);
    std::memcpy(&value, cur_, 4);
    if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap32(value);
    cur_ += 4;
    return true;
  }

  [[nodiscard]] bool ReadFixed64(uint64_t& value) noexcept {
    if (remaining() < 8) [[unlikely]]
      return FailTruncated(8);
    std::memcpy(&value, cur_, 8);
    if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap64(value);
    cur_ += 8;
    return true;
  }

  // A varint length L, then the next L bytes, as a span (strings, bytes) or as
  // a sub-reader sharing the input (nested messages, packed lists).
  [[nodiscard]] bool ReadLengthDelimited(const uint8_t*& data, size_t& size) noexcept {
    uint64_t length = 0;
    if (!ReadVarint64(length)) return false;
    if (length > remaining()) [[unlikely]]
      return FailTruncated(length);
    data = cur_;
    size = static_cast<size_t>(length);
    cur_ += size;
    return true;
  }
  [[nodiscard]] bool ReadLengthDelimited(WireReader& payload) noexcept {
    const uint8_t* data = nullptr;
    size_t size = 0;
    if (!ReadLengthDelimited(data, size)) return false;
    payload.Reset(view_, data, data + size);
    return true;
  }

  [[nodiscard]] bool Skip(size_t n) noexcept {
    if (remaining() < n) [[unlikely]]
      return FailTruncated(n);
    cur_ += n;
    return true;
  }

  // The error behind the last false returned by a primitive.
  Status LastError() const;

  // Steps over one field whose tag has been read. `depth` is the nesting level
  // of this field; groups nest one level deeper each.
  Status SkipField(uint32_t field_number, uint32_t wire_type, uint32_t depth);

  // For a group-encoded message whose start tag has been read: finds the
  // matching end tag, sets `content` to the bytes before that tag's first byte
  // and leaves this reader just past it.
  Status ScanGroup(uint32_t field_number, WireReader& content);

 private:
  enum class Fault : uint8_t { kNone, kInvalidVarint, kTruncated };

  WireReader(InputRef view, const uint8_t* begin, const uint8_t* end) noexcept
      : view_(std::move(view)), cur_(begin), end_(end) {}
  void Reset(const InputRef& view, const uint8_t* begin, const uint8_t* end) noexcept {
    view_ = view;
    cur_ = begin;
    end_ = end;
    fault_ = Fault::kNone;
  }

  // Entered when the input is empty or its first byte has the continuation bit.
  bool ReadVarintMultiByte(uint64_t& value) noexcept {
    const size_t available = remaining();
    if (available == 0) return FailVarint();
    if (available <= kMaxVarintBytes && (end_[-1] & 0x80)) return ReadVarintBounded(value);
    // Here the window holds a terminator or more than ten bytes, so no bounds
    // check is needed per byte.
    const uint8_t* p = cur_;
    uint64_t result = p[0] & 0x7fu;
    for (size_t i = 1; i < kMaxVarintBytes - 1; ++i) {
      const uint64_t b = p[i];
      result |= (b & 0x7f) << (7 * i);
      if (b < 0x80) {
        cur_ = p + i + 1;
        value = result;
        return true;
      }
    }
    const uint64_t last = p[kMaxVarintBytes - 1];
    if (last > 1) return FailVarint();
    value = result | (last << 63);
    cur_ = p + kMaxVarintBytes;
    return true;
  }
  bool ReadVarintBounded(uint64_t& value) noexcept;
  bool ReadTagSlow(uint32_t& tag) noexcept;
  bool SkipDelimited() noexcept;
  Status SkipGroup(uint32_t field_number, uint32_t depth);

  [[gnu::cold]] bool FailVarint() noexcept;
  [[gnu::cold]] bool FailTruncated(uint64_t needed) noexcept;

  InputRef view_;
  const uint8_t* cur_ = nullptr;
  const uint8_t* end_ = nullptr;
  Fault fault_ = Fault::kNone;
  uint64_t fault_needed_ = 0;
  uint64_t fault_remaining_ = 0;
};

}  // namespace velum::wire

namespace velum {
using wire::InputRef;
using wire::InputView;
using wire::WireReader;
}  // namespace velum
