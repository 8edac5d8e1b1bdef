// Every exception the module raises is raised through this file, so each
// failure has exactly one Python form.
#pragma once

#include <Python.h>

#include <exception>
#include <expected>
#include <new>
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

// ValueError with a message of the module's own (option validation, input
// classification).
void raise_value_error(std::string_view message) noexcept;

// An internal fault: PanicException, which derives from BaseException so that
// `except Exception` does not swallow a bug.
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

// Inside a catch block: sets the Python form of the C++ exception in flight
// (MemoryError for std::bad_alloc, PanicException for anything else).
void raise_from_current_exception() noexcept;

// Inside a catch block: MemoryError for std::bad_alloc, `fault(text)` for
// anything else. Each extension module decides what an internal fault is.
template <class Fault>
void raise_caught(Fault&& fault) noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    fault(error.what());
  } catch (...) {
    fault("unknown C++ exception");
  }
}

// Runs the body of an entry point. No C++ exception may reach the interpreter,
// so whatever escapes `body` is turned into a Python exception by `Raise`.
template <auto Raise = &raise_from_current_exception, class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    Raise();
    return nullptr;
  }
}

}  // namespace quillmere_py
