// Entry points for coding a long signal that is read a piece at a time: its
// measure accumulated over the pieces, then its blocks coded a batch at a
// time under the plan that measure gives.
#pragma once

#include <Python.h>

namespace quillmere_tools_py {

// Null-terminated, for PyModule_AddFunctions.
PyMethodDef* block_stream_methods() noexcept;

}  // namespace quillmere_tools_py
