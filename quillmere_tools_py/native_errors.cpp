#include "native_errors.hpp"

#include <new>
#include <stdexcept>
#include <string>

#include "owned_ref.hpp"

namespace quillmere_tools_py {
namespace {

using quillmere_py::OwnedRef;

// Owned by the module object; the module lives until interpreter shutdown.
PyObject* target_not_met = nullptr;

void raise_text(PyObject* type, std::string_view text) noexcept {
  const OwnedRef message = OwnedRef::consuming(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(type, message.borrow());
}

}  // namespace

PyResult<void> add_exception_types(PyObject* module) noexcept {
  // ToolError lives in plain Python, which imports nothing native.
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
        raise_text(target_not_met != nullptr ? target_not_met : PyExc_ValueError, text);
        return;
      case K::OutOfMemory:
        raise_text(PyExc_MemoryError, text);
        return;
      case K::BadInput:
      case K::BadBound:
      case K::CorruptUnit:
      case K::Codec: break;
    }
    raise_text(PyExc_ValueError, text);
  } catch (...) {
    PyErr_NoMemory();
  }
}

void raise_value_error(std::string_view message) noexcept { raise_text(PyExc_ValueError, message); }

void raise_from_current_exception() noexcept {
  quillmere_py::raise_caught(
      [](std::string_view text) noexcept { raise_text(PyExc_RuntimeError, text); });
}

}  // namespace quillmere_tools_py
