// Core unit: no Python.
#include "parser/wire_reader.h"

#include "common/limits.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <new>

namespace velum::wire {

namespace {

[[gnu::format(printf, 2, 3)]] Status WireError(ErrorKind kind, const char* format, ...) {
  char text[160];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  const size_t length = n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof text - 1);
  return Status(kind, std::string_view(text, length));
}

Status InvalidWireType(uint32_t wire_type) {
  return WireError(ErrorKind::kValue, "invalid wire type: %" PRIu32, wire_type);
}

Status MismatchedEndTag(uint32_t expected, uint32_t got) {
  return WireError(ErrorKind::kValue, "mismatched group end tag: expected %" PRIu32 ", got %" PRIu32, expected,
                   got);
}

// Open group numbers of a scan. Real inputs nest a few levels; deeper ones
// spill to the heap, so a scan costs no allocation in the common case.
class GroupStack {
 public:
  GroupStack() noexcept = default;
  GroupStack(const GroupStack&) = delete;
  GroupStack& operator=(const GroupStack&) = delete;

  void Push(uint32_t number) {
    if (size_ < kInline) {
      inline_[size_++] = number;
    } else {
      spill_.push_back(number);
      ++size_;
    }
  }
  uint32_t Top() const noexcept { return size_ <= kInline ? inline_[size_ - 1] : spill_.back(); }
  void Pop() noexcept {
    if (size_ > kInline) spill_.pop_back();
    --size_;
  }
  bool empty() const noexcept { return size_ == 0; }

 private:
  static constexpr size_t kInline = 16;
  uint32_t inline_[kInline];
  size_t size_ = 0;
  RawVector<uint32_t> spill_;
};

}  // namespace

InputRef InputRef::Wrap(const uint8_t* data, size_t size, InputView::ReleaseFn release, void* context) noexcept {
  void* block = PyMem_RawMalloc(sizeof(InputView));
  InputRef ref;
  if (block != nullptr) ref.view_ = new (block) InputView(data, size, release, context);
  return ref;
}

InputRef InputRef::Copy(const uint8_t* data, size_t size) noexcept {
  InputRef ref;
  if (size > SIZE_MAX - sizeof(InputView)) return ref;
  void* block = PyMem_RawMalloc(sizeof(InputView) + size);
  if (block == nullptr) return ref;
  auto* bytes = static_cast<uint8_t*>(block) + sizeof(InputView);
  if (size != 0) std::memcpy(bytes, data, size);
  ref.view_ = new (block) InputView(bytes, size, nullptr, nullptr);
  return ref;
}

void InputRef::Destroy(InputView* view) noexcept {
  if (view->release_ != nullptr) view->release_(view->context_);
  if (!view->heap_) return;
  view->~InputView();
  PyMem_RawFree(view);
}

WireReader::WireReader(InputRef view) noexcept : view_(std::move(view)) {
  if (view_) {
    cur_ = view_->data();
    end_ = cur_ + view_->size();
  }
}

bool WireReader::FailVarint() noexcept {
  fault_ = Fault::kInvalidVarint;
  return false;
}

bool WireReader::FailTruncated(uint64_t needed) noexcept {
  fault_ = Fault::kTruncated;
  fault_needed_ = needed;
  fault_remaining_ = remaining();
  return false;
}

Status WireReader::LastError() const {
  switch (fault_) {
    case Fault::kInvalidVarint:
      return Status(ErrorKind::kValue, "invalid varint");
    case Fault::kTruncated:
      return WireError(ErrorKind::kValue, "unexpected end of buffer: needed %" PRIu64 " bytes but only %" PRIu64
                       " available", fault_needed_, fault_remaining_);
    case Fault::kNone:
      break;
  }
  return Status(ErrorKind::kRuntime, "wire reader failed without a recorded error");
}

// Byte by byte, for a varint that may run into the end of the input.
bool WireReader::ReadVarintBounded(uint64_t& value) noexcept {
  const size_t available = std::min(remaining(), kMaxVarintBytes);
  uint64_t result = 0;
  for (size_t i = 0; i < available; ++i) {
    const uint64_t b = cur_[i];
    if (i == kMaxVarintBytes - 1) {
      // The tenth byte only supplies bit 63.
      if (b > 1) return FailVarint();
      value = result | (b << 63);
      cur_ += kMaxVarintBytes;
      return true;
    }
    result |= (b & 0x7f) << (7 * i);
    if (b < 0x80) {
      value = result;
      cur_ += i + 1;
      return true;
    }
  }
  return FailVarint();
}

bool WireReader::ReadTagSlow(uint32_t& tag) noexcept {
  const size_t available = std::min(remaining(), kMaxTagBytes);
  uint32_t result = 0;
  for (size_t i = 0; i < available; ++i) {
    const uint32_t b = cur_[i];
    if (i == kMaxTagBytes - 1) {
      // Bits 28 to 31 only; a continuation bit would make a sixth byte.
      if (b > 0x0f) return FailVarint();
      tag = result | (b << 28);
      cur_ += kMaxTagBytes;
      return true;
    }
    result |= (b & 0x7f) << (7 * i);
    if (b < 0x80) {
      tag = result;
      cur_ += i + 1;
      return true;
    }
  }
  return FailVarint();
}

bool WireReader::SkipDelimited() noexcept {
  const uint8_t* data = nullptr;
  size_t size = 0;
  return ReadLengthDelimited(data, size);
}

Status WireReader::SkipField(uint32_t field_number, uint32_t wire_type, uint32_t depth) {
  if (depth > kMaxDepth) {
    return WireError(ErrorKind::kRecursion,
                     "exceeded maximum recursion depth %" PRIu32 " while skipping field %" PRIu32, kMaxDepth,
                     field_number);
  }
  bool ok = true;
  switch (wire_type) {
    case kWireVarint: {
      uint64_t ignored = 0;
      ok = ReadVarint64(ignored);
      break;
    }
    case kWireFixed64:
      ok = Skip(8);
      break;
    case kWireFixed32:
      ok = Skip(4);
      break;
    case kWireLengthDelimited:
      ok = SkipDelimited();
      break;
    case kWireStartGroup:
      return SkipGroup(field_number, depth);
    case kWireEndGroup:
      return WireError(ErrorKind::kValue, "Unexpected end group tag for field %" PRIu32, field_number);
    default:
      return InvalidWireType(wire_type);
  }
  if (!ok) return LastError();
  return Status::Ok();
}

Status WireReader::SkipGroup(uint32_t field_number, uint32_t depth) {
  while (!empty()) {
    uint32_t tag = 0;
    if (!ReadTag(tag)) return LastError();
    const uint32_t wire_type = TagWireType(tag);
    const uint32_t number = TagFieldNumber(tag);
    if (wire_type > kWireFixed32) return InvalidWireType(wire_type);
    if (wire_type == kWireEndGroup) {
      if (number == field_number) return Status::Ok();
      return MismatchedEndTag(field_number, number);
    }
    VELUM_TRY(SkipField(number, wire_type, wire_type == kWireStartGroup ? depth + 1 : depth));
  }
  return Status(ErrorKind::kValue, "Unterminated group in unknown field");
}

Status WireReader::ScanGroup(uint32_t field_number, WireReader& content) {
  const uint8_t* begin = cur_;
  GroupStack open;
  open.Push(field_number);
  while (!empty()) {
    const uint8_t* tag_start = cur_;
    uint32_t tag = 0;
    if (!ReadTag(tag)) return LastError();
    const uint32_t number = TagFieldNumber(tag);
    bool ok = true;
    switch (TagWireType(tag)) {
      case kWireVarint: {
        uint64_t ignored = 0;
        ok = ReadVarint64(ignored);
        break;
      }
      case kWireFixed64:
        ok = Skip(8);
        break;
      case kWireFixed32:
        ok = Skip(4);
        break;
      case kWireLengthDelimited:
        ok = SkipDelimited();
        break;
      case kWireStartGroup:
        open.Push(number);
        break;
      case kWireEndGroup:
        if (number != open.Top()) return MismatchedEndTag(open.Top(), number);
        open.Pop();
        if (open.empty()) {
          // The end tag may be padded, so its length comes from where it was found.
          content.Reset(view_, begin, tag_start);
          return Status::Ok();
        }
        break;
      default:
        return InvalidWireType(TagWireType(tag));
    }
    if (!ok) return LastError();
  }
  return Status(ErrorKind::kValue, "unterminated group");
}

}  // namespace velum::wire
