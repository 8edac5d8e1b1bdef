// The one place where a channel-unit failure becomes a Python exception.
#pragma once

#include <Python.h>

#include <string_view>
#include <utility>

#include "errors.hpp"
#include "quillmere_tools/unit_error.hpp"

namespace quillmere_tools_py {

using quillmere_py::exception_set;
using quillmere_py::PyResult;

// Creates TargetNotMet (a subclass of quillmere_tools.ToolError) and adds it
// to the module. Called once, from the module's exec slot.
PyResult<void> add_exception_types(PyObject* module) noexcept;

// BadBound, BadInput, CorruptUnit, Codec: ValueError; TargetNotMet: the
// module's TargetNotMet; OutOfMemory: MemoryError. `where` ("signal 3: ")
// goes in front of the message for batch calls.
void raise_unit_error(const quillmere_tools::UnitError& error, std::string_view where = {}) noexcept;

void raise_value_error(std::string_view message) noexcept;

// Inside a catch block: MemoryError for std::bad_alloc, RuntimeError otherwise.
void raise_from_current_exception() noexcept;

template <class Body>
PyObject* guarded(Body&& body) noexcept {
  return quillmere_py::guarded<&raise_from_current_exception>(std::forward<Body>(body));
}

}  // namespace quillmere_tools_py
