// Argument binding shared by the three entry points: positional arguments fill
// the parameters in order, keywords match by exact name, and every failure is
// a TypeError in the interpreter's own wording.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>

#include "errors.hpp"

namespace quillmere_py {

struct Signature {
  const char* function;  // as it appears in messages, e.g. "compress_signal()"
  std::span<const char* const> parameters;
  std::size_t required;  // the first `required` parameters must be given
};

// Binds a METH_FASTCALL | METH_KEYWORDS call. `bound` has one slot per
// parameter and receives borrowed references; a slot stays nullptr when its
// argument was not given.
PyResult<void> bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames, std::span<PyObject*> bound) noexcept;

// The same for a tuple-and-dict call (a type's tp_new). `kwargs` may be null.
PyResult<void> bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs,
                          std::span<PyObject*> bound) noexcept;

}  // namespace quillmere_py
