// Errors as values. Fallible code returns Status or Result<T>; only the method
// boundary turns an error into a Python exception (see py_error.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "common/raw_alloc.h"

namespace velum {

enum class ErrorKind : uint8_t {
  kPending,  // a Python exception is already set in the interpreter
  kValue,
  kType,
  kOverflow,
  kRecursion,
  kAttribute,
  kKey,
  kBuffer,
  kRuntime,
  kMemory,
  kNotImplemented,
  kJsonDecode,  // json.JSONDecodeError(message, doc, offset)
};

struct Error {
  ErrorKind kind;
  RawString message;
  RawString json_doc;          // kJsonDecode: the input text as UTF-8 (maybe invalid)
  uint64_t json_offset = 0;    // kJsonDecode: byte offset in json_doc
  RawString path;              // where the error happened, outermost first: ".items[3].cents"
  bool field_context = false;  // a field-context suffix is attached
};

class [[nodiscard]] Status {
 public:
  Status() noexcept = default;
  // Never throws: when even the error record cannot be allocated, the status
  // reports MemoryError through a shared record.
  Status(ErrorKind kind, std::string_view message) noexcept : error_(MakeError(kind, message)) {}
  Status(Status&& other) noexcept : error_(std::exchange(other.error_, nullptr)) {}
  Status& operator=(Status&& other) noexcept {
    if (this != &other) {
      Free(error_);
      error_ = std::exchange(other.error_, nullptr);
    }
    return *this;
  }
  Status(const Status&) = delete;
  Status& operator=(const Status&) = delete;
  // The null test keeps the success path free of the shared record's guard.
  [[gnu::always_inline]] ~Status() {
    if (error_ != nullptr) [[unlikely]]
      Free(error_);
  }

  static Status Ok() noexcept { return Status(); }
  // The failure is the exception currently set in the interpreter.
  static Status Pending() noexcept { return Status(ErrorKind::kPending, {}); }
  // Malformed JSON text: raised as json.JSONDecodeError(message, doc, offset),
  // doc being `input` decoded from UTF-8 with invalid bytes replaced.
  static Status JsonDecode(std::string_view message, std::string_view input, uint64_t offset) noexcept {
    Status status(ErrorKind::kJsonDecode, message);
    if (status.error_ != OutOfMemory()) {
      try {
        status.error_->json_doc.assign(input);
        status.error_->json_offset = offset;
      } catch (...) {
        return Status(ErrorKind::kMemory, {});
      }
    }
    return status;
  }

  bool ok() const noexcept { return error_ == nullptr; }
  ErrorKind kind() const noexcept { return error_->kind; }
  const RawString& message() const noexcept { return error_->message; }
  const RawString& json_doc() const noexcept { return error_->json_doc; }
  uint64_t json_offset() const noexcept { return error_->json_offset; }
  const RawString& path() const noexcept { return error_->path; }
  bool has_field_context() const noexcept { return error_->field_context; }

  // Appends `suffix` (" for field T.f") to the message unless a field context
  // is already attached, so that only the innermost field names itself; then
  // marks the context attached. Malformed JSON text keeps its parser message.
  // Returns whether the suffix is to be attached (the caller attaches it to a
  // pending Python exception itself, see py_error.h).
  bool AppendFieldContext(std::string_view suffix) noexcept {
    if (error_ == OutOfMemory() || error_->field_context) return false;
    error_->field_context = true;
    if (error_->kind == ErrorKind::kJsonDecode) return false;
    if (error_->kind == ErrorKind::kPending) return true;
    try {
      error_->message.append(suffix);
    } catch (...) {
    }
    return true;
  }
  // Puts `segment` (".name" or "[3]") in front of the error's path, as the
  // error leaves each level; nothing of it is built on success.
  void PrependPath(std::string_view segment) noexcept {
    if (error_ == OutOfMemory()) return;
    try {
      error_->path.insert(0, segment);
    } catch (...) {
    }
  }
  // Appending may throw std::bad_alloc; the shared out-of-memory record is never changed.
  void AppendMessage(std::string_view text) {
    if (error_ != OutOfMemory()) error_->message.append(text);
  }

 private:
  static Error* OutOfMemory() noexcept {
    static Error record{ErrorKind::kMemory, RawString()};
    return &record;
  }
  static Error* MakeError(ErrorKind kind, std::string_view message) noexcept {
    try {
      return RawNew<Error>(kind, RawString(message));
    } catch (...) {
      return OutOfMemory();
    }
  }
  static void Free(Error* error) noexcept {
    if (error != OutOfMemory()) RawDelete(error);
  }

  Error* error_ = nullptr;
};

// A value or the error that prevented it. T must be movable.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT: implicit by design
  Result(Status status) : status_(std::move(status)) {}  // NOLINT: must not be ok
  bool ok() const noexcept { return status_.ok(); }
  T& value() & noexcept { return *value_; }
  T&& value() && noexcept { return std::move(*value_); }
  T* operator->() noexcept { return &*value_; }
  Status status() && noexcept { return std::move(status_); }

 private:
  std::optional<T> value_;
  Status status_;
};

}  // namespace velum

#define VELUM_CONCAT_INNER(a, b) a##b
#define VELUM_CONCAT(a, b) VELUM_CONCAT_INNER(a, b)

// Returns the Status of `expr` from the enclosing function when it failed.
#define VELUM_TRY(expr)                        \
  do {                                         \
    ::velum::Status velum_try_status_ = (expr); \
    if (!velum_try_status_.ok()) [[unlikely]]  \
      return velum_try_status_;                \
  } while (0)

// `lhs = value of expr`, or returns its error from the enclosing function.
#define VELUM_ASSIGN_OR_RETURN(lhs, expr) \
  VELUM_ASSIGN_OR_RETURN_IMPL(VELUM_CONCAT(velum_result_, __LINE__), lhs, expr)
#define VELUM_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr) \
  auto tmp = (expr);                                \
  if (!tmp.ok()) [[unlikely]]                       \
    return std::move(tmp).status();                 \
  lhs = std::move(tmp).value()
