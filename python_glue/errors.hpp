// Every exception an extension module raises is raised through this file, so
// each failure has exactly one Python form, the same in both modules.
#pragma once

#include <Python.h>

#include <expected>
#include <string>
#include <string_view>

#include "quillmere/error.hpp"

namespace quillmere_py {

// "A Python exception is pending." The interpreter holds the exception itself,
// so the error side of a PyResult carries nothing.
struct ExceptionSet {};

template <class T>
using PyResult = std::expected<T, ExceptionSet>;

inline std::unexpected<ExceptionSet> exception_set() noexcept {
  return std::unexpected(ExceptionSet{});
}

// The single mapping of a codec failure: ValueError whose only argument is the
// error's display text, with nothing added.
void raise_codec_error(const quillmere::QuillmereError& error) noexcept;

// `type` with the UTF-8 text as its only argument (a stray byte is replaced,
// because raising must not fail).
void raise_with_text(PyObject* type, std::string_view text) noexcept;

// ValueError with a message of the module's own (option validation, input
// classification).
void raise_value_error(std::string_view message) noexcept;

// Each extension module names its internal-fault type once, in its own
// sources (the glue is linked into both, each with its own copy of the type).
struct FaultType {
  const char* dotted_name;  // "quillmere.PanicException"
  const char* doc;
};
extern const FaultType kModuleFaultType;

// An internal fault: the module's PanicException, which derives from
// BaseException so that `except Exception` does not swallow a bug.
void raise_panic(std::string_view description) noexcept;

// TypeError "'{type}' object is not an instance of '{expected}'" (or "'None'
// is not an instance of '{expected}'") with the parameter's note attached.
void raise_type_mismatch(PyObject* value, const char* expected, const char* parameter) noexcept;

// Attaches "while processing '{parameter}'" to the pending exception through
// its add_note method. An interpreter without add_note, or a failing call,
// leaves the exception as it was.
void note_parameter(const char* parameter) noexcept;

// The pending Python exception as "Type: message", clearing it; for internal
// faults whose cause is a Python exception. May throw std::bad_alloc.
std::string take_exception_text();

// Inside a catch block: sets the Python form of the C++ exception in flight,
// by the one policy of quillmere/caught_exception.hpp: MemoryError for
// std::bad_alloc, PanicException with the description for anything else.
void raise_from_current_exception() noexcept;

// Runs the body of an entry point. No C++ exception may reach the interpreter,
// so whatever escapes `body` is turned into a Python exception.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

}  // namespace quillmere_py
