// The one place where a channel-unit failure becomes a Python exception.
// Everything else (argument errors, caught C++ exceptions, the internal-fault
// type) follows the glue both extension modules share (python_glue/errors.hpp).
#pragma once

#include <Python.h>

#include <string_view>

#include "errors.hpp"
#include "quillmere_tools/unit_error.hpp"

namespace quillmere_tools_py {

using quillmere_py::exception_set;
using quillmere_py::guarded;
using quillmere_py::PyResult;
using quillmere_py::raise_from_current_exception;
using quillmere_py::raise_value_error;

// Creates TargetNotMet (a subclass of quillmere_tools.ToolError) and adds it
// to the module. Called once, from the module's exec slot.
PyResult<void> add_exception_types(PyObject* module) noexcept;

// BadBound, BadInput, CorruptUnit, Codec: ValueError; TargetNotMet: the
// module's TargetNotMet; OutOfMemory: MemoryError; Internal: the module's
// PanicException. `where` ("signal 3: ") goes in front of the message for
// batch calls.
void raise_unit_error(const quillmere_tools::UnitError& error, std::string_view where = {}) noexcept;

}  // namespace quillmere_tools_py
