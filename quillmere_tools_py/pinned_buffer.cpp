#include "pinned_buffer.hpp"

#include <cstring>

namespace quillmere_tools_py {
namespace {

// Native byte order is little-endian here (byte_io.hpp asserts it), so '<'
// and '=' name the same layouts as a bare code.
char native_code(const char* format) noexcept {
  if (format == nullptr) return 'B';
  if (format[0] == '<' || format[0] == '=' || format[0] == '@') ++format;
  return (format[0] != '\0' && format[1] == '\0') ? format[0] : '\0';
}

}  // namespace

PyResult<PinnedBuffer> PinnedBuffer::signal(PyObject* object, const char* what) noexcept {
  PinnedBuffer pinned;
  if (PyObject_GetBuffer(object, &pinned.view_, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) {
    return exception_set();
  }
  pinned.held_ = true;
  const char code = native_code(pinned.view_.format);
  const bool known = (code == 'f' && pinned.view_.itemsize == 4) ||
                     (code == 'd' && pinned.view_.itemsize == 8);
  if (pinned.view_.ndim != 1 || !known) {
    PyErr_Format(PyExc_TypeError, "%s must be a 1-D contiguous native float32 or float64 array",
                 what);
    return exception_set();
  }
  return pinned;
}

PyResult<PinnedBuffer> PinnedBuffer::bytes(PyObject* object, const char* what) noexcept {
  PinnedBuffer pinned;
  if (PyObject_GetBuffer(object, &pinned.view_, PyBUF_C_CONTIGUOUS) < 0) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s must be bytes or another contiguous buffer, not %.200s",
                 what, Py_TYPE(object)->tp_name);
    return exception_set();
  }
  pinned.held_ = true;
  return pinned;
}

quillmere_tools::SignalView PinnedBuffer::samples() const noexcept {
  const auto count = static_cast<std::size_t>(view_.len / view_.itemsize);
  if (view_.itemsize == 4) return std::span(static_cast<const float*>(view_.buf), count);
  return std::span(static_cast<const double*>(view_.buf), count);
}

}  // namespace quillmere_tools_py
