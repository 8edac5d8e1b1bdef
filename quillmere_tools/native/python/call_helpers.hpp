// Pieces every entry point of the companion module shares: the thread count
// argument, the progress counter, and allocation failures as error values.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "native_errors.hpp"
#include "quillmere_tools/unit_error.hpp"

namespace quillmere_tools_py {

template <class T, class Fn>
quillmere_tools::UnitResult<T> catching(const Fn& fn) noexcept {
  try {
    return fn();
  } catch (...) {
    // Only std::bad_alloc can leave the library.
    return std::unexpected(
        quillmere_tools::UnitError{quillmere_tools::UnitErrorKind::OutOfMemory, "out of memory"});
  }
}

inline PyResult<std::size_t> thread_count(PyObject* value) noexcept {
  const long v = PyLong_AsLong(value);
  if (v == -1 && PyErr_Occurred()) return exception_set();
  if (v < 1) {
    PyErr_Format(PyExc_ValueError, "threads must be at least 1, not %ld", v);
    return exception_set();
  }
  return static_cast<std::size_t>(v);
}

// A counter the caller may read while the work runs (a progress bar): an
// aligned, writable buffer of at least 8 bytes whose first u64 the pool
// adds one to per finished block. None or absent: no counting.
class ProgressCell {
 public:
  ProgressCell() noexcept = default;
  ProgressCell(const ProgressCell&) = delete;
  ProgressCell& operator=(const ProgressCell&) = delete;
  ~ProgressCell() {
    if (held_) PyBuffer_Release(&view_);
  }

  PyResult<void> pin(PyObject* object) noexcept {
    if (object == nullptr || object == Py_None) return {};
    if (PyObject_GetBuffer(object, &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) {
      return exception_set();
    }
    held_ = true;
    if (view_.len < 8 || reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(std::uint64_t) != 0) {
      PyErr_SetString(PyExc_ValueError, "progress must be an aligned writable buffer of 8 bytes or more");
      return exception_set();
    }
    cell_ = static_cast<std::uint64_t*>(view_.buf);
    return {};
  }

  void bump() const noexcept {
    if (cell_ != nullptr) std::atomic_ref<std::uint64_t>(*cell_).fetch_add(1, std::memory_order_relaxed);
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
  std::uint64_t* cell_ = nullptr;
};

}  // namespace quillmere_tools_py
