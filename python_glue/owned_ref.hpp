// A strong reference to a Python object, with its ownership spelled out at
// every use.
//
// How a reference is made says who owned it before: consuming() takes over a
// new reference (what most C-API calls return), owning() adds one to a
// borrowed pointer. There is no implicit conversion to PyObject*: borrow()
// lends the object for a call, release() hands the reference to whoever
// returns it to the interpreter.
#pragma once

#include <Python.h>

#include <utility>

namespace quillmere_py {

class OwnedRef {
 public:
  OwnedRef() noexcept = default;

  // Takes over a new reference; nullptr (a failed C-API call) gives an empty
  // reference, so the caller tests the result once.
  [[nodiscard]] static OwnedRef consuming(PyObject* new_ref) noexcept { return OwnedRef(new_ref); }
  // Adds a reference to a borrowed object.
  [[nodiscard]] static OwnedRef owning(PyObject* borrowed) noexcept {
    Py_XINCREF(borrowed);
    return OwnedRef(borrowed);
  }

  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  OwnedRef(OwnedRef&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    // Swap first, drop the old object last: its deallocator may run Python
    // code that reaches this very reference.
    PyObject* old = std::exchange(ptr_, std::exchange(other.ptr_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  ~OwnedRef() { Py_XDECREF(ptr_); }

  [[nodiscard]] PyObject* borrow() const noexcept { return ptr_; }
  // Gives the reference away; this object is empty afterwards.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }

 private:
  explicit OwnedRef(PyObject* ptr) noexcept : ptr_(ptr) {}

  PyObject* ptr_ = nullptr;
};

}  // namespace quillmere_py
