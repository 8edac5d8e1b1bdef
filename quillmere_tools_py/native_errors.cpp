#include "native_errors.hpp"

#include <string>

#include "owned_ref.hpp"

namespace quillmere_py {

const FaultType kModuleFaultType{
    "quillmere_tools.PanicException",
    "An internal fault of the quillmere_tools native module: a broken invariant, not bad input."};

}  // namespace quillmere_py

namespace quillmere_tools_py {
namespace {

using quillmere_py::OwnedRef;
using quillmere_py::raise_with_text;

// Owned by the module object; the module lives until interpreter shutdown.
PyObject* target_not_met = nullptr;

}  // namespace

PyResult<void> add_exception_types(PyObject* module) noexcept {
  // TargetNotMet must be a ToolError, so that one `except ToolError` catches
  // every failure the tools report, and ToolError is a plain Python class.
  // Importing its module is the one call up from here, and cannot cycle:
  // _core imports nothing native.
  const OwnedRef core = OwnedRef::consuming(PyImport_ImportModule("quillmere_tools._core"));
  if (!core) return exception_set();
  const OwnedRef tool_error = OwnedRef::consuming(PyObject_GetAttrString(core.borrow(), "ToolError"));
  if (!tool_error) return exception_set();
  OwnedRef type = OwnedRef::consuming(PyErr_NewExceptionWithDoc(
      "quillmere_tools.TargetNotMet",
      "No setting meets the error bounds (or fits the size budget); the message names the bound.",
      tool_error.borrow(), nullptr));
  if (!type) return exception_set();
  if (PyObject_SetAttrString(module, "TargetNotMet", type.borrow()) < 0) return exception_set();
  target_not_met = type.release();
  return {};
}

void raise_unit_error(const quillmere_tools::UnitError& error, std::string_view where) noexcept {
  using K = quillmere_tools::UnitErrorKind;
  try {
    const std::string text = std::string(where) + error.message;
    switch (error.kind) {
      case K::TargetNotMet:
        raise_with_text(target_not_met != nullptr ? target_not_met : PyExc_ValueError, text);
        return;
      case K::OutOfMemory:
        raise_with_text(PyExc_MemoryError, text);
        return;
      case K::Internal:
        quillmere_py::raise_panic(text);
        return;
      case K::BadInput:
      case K::BadBound:
      case K::CorruptUnit:
      case K::Codec: break;
    }
    raise_with_text(PyExc_ValueError, text);
  } catch (...) {
    PyErr_NoMemory();
  }
}

}  // namespace quillmere_tools_py
