// Decoded samples handed to Python without a copy. The object owns the
// decoder's vector and lends its memory through the buffer protocol, so
// NumPy views it as it viewed the bytearray this replaces (writable, and
// freed when the last view dies). A copy into a fresh bytearray took a
// tenth of a decode of 7 * 10^4 samples, most of it the new pages' faults.
#pragma once

#include <Python.h>

#include "native_errors.hpp"
#include "owned_ref.hpp"
#include "quillmere_tools/channel_unit.hpp"

namespace quillmere_tools_py {

// Creates the type; run once by the module's exec function.
PyResult<void> add_decoded_samples_type(PyObject* module) noexcept;

// The samples of `unit` (moved from) as a buffer object; nullptr with
// MemoryError set when the object cannot be made.
quillmere_py::OwnedRef decoded_samples(quillmere_tools::DecodedUnit&& unit) noexcept;

}  // namespace quillmere_tools_py
