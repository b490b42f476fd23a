// Owned Python references. A raw PyObject* in this code base is borrowed; a Ref
// owns exactly one reference and releases it on every exit path.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace velum {

class Ref {
 public:
  Ref() noexcept = default;
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  // Takes over a new reference (may be null, as returned by a failed API call).
  [[nodiscard]] static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Adds a reference to a borrowed object.
  [[nodiscard]] static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Gives up ownership; for APIs that steal a reference or for returning to CPython.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  Ref clone() const noexcept { return borrow(p_); }
  void reset(PyObject* stolen = nullptr) noexcept {
    PyObject* old = std::exchange(p_, stolen);
    Py_XDECREF(old);
  }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace velum
