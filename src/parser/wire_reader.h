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
#include "common/wire.h"

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
  friend class ScopedInput;
  InputView(const uint8_t* data, size_t size, ReleaseFn release, void* context, bool heap = true) noexcept
      : data_(data), size_(size), release_(release), context_(context), heap_(heap) {}

  const uint8_t* data_;
  size_t size_;
  size_t refs_ = 1;
  ReleaseFn release_;
  void* context_;
  bool heap_;  // allocated by InputRef; else owned by a ScopedInput
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

  friend class ScopedInput;
  explicit InputRef(InputView* view) noexcept : view_(view) {}

  InputView* view_ = nullptr;
};

// A view on the caller's bytes that lives on the stack for one decode call, so
// the call needs no allocation for it. The scope holds a count of its own:
// every handle taken from it must be gone before the scope ends.
class ScopedInput {
 public:
  ScopedInput(const uint8_t* data, size_t size) noexcept : view_(data, size, nullptr, nullptr, false) {}
  ScopedInput(const ScopedInput&) = delete;
  ScopedInput& operator=(const ScopedInput&) = delete;
  ~ScopedInput() {
    // A handle outliving the scope would read freed stack memory.
    if (view_.refs_ != 1) [[unlikely]]
      __builtin_trap();
  }

  InputRef ref() noexcept {
    ++view_.refs_;
    return InputRef(&view_);
  }

 private:
  InputView view_;
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

  [[nodiscard, gnu::always_inline]] bool ReadVarint64(uint64_t& value) noexcept {
    if (cur_ != end_ && *cur_ < 0x80) [[likely]] {
      value = *cur_++;
      return true;
    }
    return ReadVarintMultiByte(value);
  }
  // The same with the multi-byte path expanded in place too, for loops over
  // packed varints where most values take several bytes.
  [[nodiscard, gnu::always_inline]] bool ReadVarint64Unrolled(uint64_t& value) noexcept {
    if (cur_ != end_ && *cur_ < 0x80) [[likely]] {
      value = *cur_++;
      return true;
    }
    return ReadVarintMultiByteInline(value);
  }

  // Tags take at most 5 bytes and must fit 32 bits.
  [[nodiscard, gnu::always_inline]] bool ReadTag(uint32_t& tag) noexcept {
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

  // Steps over the next tag if it is `tag` in its shortest form (one or two
  // bytes); otherwise leaves the reader as it is.
  [[nodiscard]] bool ConsumeTag(uint32_t tag) noexcept {
    if (tag < 0x80) {
      if (cur_ == end_ || *cur_ != tag) return false;
      ++cur_;
      return true;
    }
    if (tag >= 0x4000 || end_ - cur_ < 2 || cur_[0] != ((tag & 0x7f) | 0x80) || cur_[1] != (tag >> 7)) return false;
    cur_ += 2;
    return true;
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
  [[nodiscard, gnu::always_inline]] bool ReadLengthDelimited(const uint8_t*& data, size_t& size) noexcept {
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
  [[gnu::noinline]] bool ReadVarintMultiByte(uint64_t& value) noexcept { return ReadVarintMultiByteInline(value); }
  [[gnu::always_inline]] bool ReadVarintMultiByteInline(uint64_t& value) noexcept {
    const size_t available = remaining();
    if (available == 0) return FailVarint();
    if (available <= kMaxVarintBytes && (end_[-1] & 0x80)) return ReadVarintBounded(value);
    // Here the window holds a terminator or more than ten bytes, so no bounds
    // check is needed per byte. Each byte is added whole and the continuation
    // bit of the byte before it taken back out.
    const uint8_t* p = cur_;
    uint64_t result = p[0];
    uint64_t b = p[1];
    result += (b - 1) << 7;
    if (b < 0x80) return Finish(value, result, p + 2);
    b = p[2];
    result += (b - 1) << 14;
    if (b < 0x80) return Finish(value, result, p + 3);
    b = p[3];
    result += (b - 1) << 21;
    if (b < 0x80) return Finish(value, result, p + 4);
    b = p[4];
    result += (b - 1) << 28;
    if (b < 0x80) return Finish(value, result, p + 5);
    b = p[5];
    result += (b - 1) << 35;
    if (b < 0x80) return Finish(value, result, p + 6);
    b = p[6];
    result += (b - 1) << 42;
    if (b < 0x80) return Finish(value, result, p + 7);
    b = p[7];
    result += (b - 1) << 49;
    if (b < 0x80) return Finish(value, result, p + 8);
    b = p[8];
    result += (b - 1) << 56;
    if (b < 0x80) return Finish(value, result, p + 9);
    // The tenth byte only supplies bit 63; the ninth one's continuation bit
    // sits at bit 63 of `result`.
    b = p[9];
    if (b > 1) return FailVarint();
    return Finish(value, result - (uint64_t{1} << 63) + (b << 63), p + kMaxVarintBytes);
  }
  bool Finish(uint64_t& value, uint64_t result, const uint8_t* next) noexcept {
    value = result;
    cur_ = next;
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
