// CompressionOptions: an immutable, opaque carrier of one codec option record.
#pragma once

#include <Python.h>

#include "errors.hpp"
#include "quillmere/options.hpp"

namespace quillmere_py {

// The type object, created on first use and shared by every module object of
// the process. nullptr with an exception set if it cannot be created.
PyTypeObject* options_type() noexcept;

// compress_signal's `options`: absent or None gives the default record, a
// CompressionOptions instance a copy of its record; anything else is a
// TypeError noted "while processing 'options'".
PyResult<quillmere::CodecOptions> options_from_argument(PyObject* options) noexcept;

}  // namespace quillmere_py
