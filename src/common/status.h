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
};

struct Error {
  ErrorKind kind;
  RawString message;
};

class [[nodiscard]] Status {
 public:
  Status() noexcept = default;
  Status(ErrorKind kind, std::string_view message) : error_(RawNew<Error>(kind, RawString(message))) {}
  Status(Status&& other) noexcept : error_(std::exchange(other.error_, nullptr)) {}
  Status& operator=(Status&& other) noexcept {
    if (this != &other) {
      RawDelete(error_);
      error_ = std::exchange(other.error_, nullptr);
    }
    return *this;
  }
  Status(const Status&) = delete;
  Status& operator=(const Status&) = delete;
  ~Status() { RawDelete(error_); }

  static Status Ok() noexcept { return Status(); }
  // The failure is the exception currently set in the interpreter.
  static Status Pending() { return Status(ErrorKind::kPending, {}); }

  bool ok() const noexcept { return error_ == nullptr; }
  ErrorKind kind() const noexcept { return error_->kind; }
  const RawString& message() const noexcept { return error_->message; }
  RawString& mutable_message() noexcept { return error_->message; }

 private:
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
