// A caller's buffer held (Py_buffer) for the length of a call, so that the
// work can run without the interpreter lock: the exporter keeps the memory
// where it is until release. Acquire and release with the lock held.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <utility>

#include "native_errors.hpp"
#include "quillmere_tools/channel_unit.hpp"

namespace quillmere_tools_py {

class PinnedBuffer {
 public:
  PinnedBuffer() noexcept = default;
  PinnedBuffer(const PinnedBuffer&) = delete;
  PinnedBuffer& operator=(const PinnedBuffer&) = delete;
  PinnedBuffer(PinnedBuffer&& other) noexcept : view_(other.view_), held_(std::exchange(other.held_, false)) {}
  PinnedBuffer& operator=(PinnedBuffer&& other) noexcept {
    if (this != &other) {
      reset();
      view_ = other.view_;
      held_ = std::exchange(other.held_, false);
    }
    return *this;
  }
  ~PinnedBuffer() { reset(); }

  // A 1-D, C-contiguous buffer of native float32 ('f') or float64 ('d').
  // `what` names the argument in the TypeError.
  static PyResult<PinnedBuffer> signal(PyObject* object, const char* what) noexcept;
  // Any C-contiguous buffer, read as bytes.
  static PyResult<PinnedBuffer> bytes(PyObject* object, const char* what) noexcept;

  quillmere_tools::SignalView samples() const noexcept;
  std::span<const std::uint8_t> data() const noexcept {
    return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  void reset() noexcept {
    if (held_) PyBuffer_Release(&view_);
    held_ = false;
  }

  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace quillmere_tools_py
