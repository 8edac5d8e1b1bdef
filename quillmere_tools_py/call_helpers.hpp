// Pieces the companion module's entry points share: the thread count, sample
// index and block length arguments, and the progress counter.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "native_errors.hpp"
#include "quillmere_tools/blocked_unit.hpp"

namespace quillmere_tools_py {

inline PyResult<std::size_t> thread_count(PyObject* value) noexcept {
  const long v = PyLong_AsLong(value);
  if (v == -1 && PyErr_Occurred()) return exception_set();
  if (v < 1) {
    PyErr_Format(PyExc_ValueError, "threads must be at least 1, not %ld", v);
    return exception_set();
  }
  return static_cast<std::size_t>(v);
}

inline PyResult<std::uint64_t> sample_index(PyObject* value, const char* name) noexcept {
  const unsigned long long v = PyLong_AsUnsignedLongLong(value);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_ValueError, "%s must be a sample index of at least 0", name);
    }
    return exception_set();
  }
  return static_cast<std::uint64_t>(v);
}

inline PyResult<std::uint32_t> block_length_of(PyObject* value) noexcept {
  const auto v = sample_index(value, "block_length");
  if (!v) return exception_set();
  if (*v < quillmere_tools::kMinBlockLength || *v > quillmere_tools::kMaxBlockLength) {
    PyErr_Format(PyExc_ValueError, "block_length must be between %u and %u samples, not %llu",
                 quillmere_tools::kMinBlockLength, quillmere_tools::kMaxBlockLength,
                 static_cast<unsigned long long>(*v));
    return exception_set();
  }
  return static_cast<std::uint32_t>(*v);
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
