// quillmere_tools._native: channel units for Python.
//
// Each entry point binds its arguments and pins every buffer it will read
// while holding the interpreter lock, runs the codec with the lock released,
// then builds Python results with the lock held again. Batch calls spread
// their items over a few threads; every item's result lands in its own slot,
// so outputs are the same for any thread count.
#include <Python.h>

#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "args.hpp"
#include "native_errors.hpp"
#include "owned_ref.hpp"
#include "pinned_buffer.hpp"
#include "quillmere_tools/channel_unit.hpp"
#include "quillmere_tools/indexed_pool.hpp"
#include "request.hpp"

namespace quillmere_tools_py {
namespace {

using quillmere_py::bind_fastcall;
using quillmere_py::OwnedRef;
using quillmere_py::Signature;
using quillmere_tools::DecodedUnit;
using quillmere_tools::EncodedUnit;
using quillmere_tools::UnitError;
using quillmere_tools::UnitErrorKind;
using quillmere_tools::UnitResult;

// Runs `work` without the interpreter lock. Work that reaches here cannot
// throw: the library returns errors as values, and allocation failures are
// caught per item below.
template <class Work>
void without_lock(const Work& work) noexcept {
  Py_BEGIN_ALLOW_THREADS
  work();
  Py_END_ALLOW_THREADS
}

template <class T, class Fn>
UnitResult<T> catching(const Fn& fn) noexcept {
  try {
    return fn();
  } catch (...) {
    // Only std::bad_alloc can leave the library.
    return std::unexpected(UnitError{UnitErrorKind::OutOfMemory, "out of memory"});
  }
}

OwnedRef bytes_of(const std::vector<std::uint8_t>& bytes) noexcept {
  return OwnedRef::consuming(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                                       static_cast<Py_ssize_t>(bytes.size())));
}

OwnedRef encoded_pair(const EncodedUnit& unit) noexcept {
  OwnedRef bytes = bytes_of(unit.bytes);
  if (!bytes) return {};
  OwnedRef report = report_tuple(unit.report);
  if (!report) return {};
  return OwnedRef::consuming(Py_BuildValue("(NN)", bytes.release(), report.release()));
}

// (bytearray of native samples, is_float64): NumPy views it without a copy.
OwnedRef decoded_pair(const DecodedUnit& unit) noexcept {
  const bool f64 = unit.precision == quillmere_tools::Precision::Float64;
  const void* data = f64 ? static_cast<const void*>(unit.f64.data()) : unit.f32.data();
  const std::size_t size = f64 ? unit.f64.size() * sizeof(double) : unit.f32.size() * sizeof(float);
  OwnedRef buffer = OwnedRef::consuming(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!buffer) return {};
  if (size > 0) std::memcpy(PyByteArray_AS_STRING(buffer.borrow()), data, size);
  return OwnedRef::consuming(Py_BuildValue("(NO)", buffer.release(), f64 ? Py_True : Py_False));
}

PyResult<std::size_t> thread_count(PyObject* value) noexcept {
  const long v = PyLong_AsLong(value);
  if (v == -1 && PyErr_Occurred()) return exception_set();
  if (v < 1) {
    PyErr_Format(PyExc_ValueError, "threads must be at least 1, not %ld", v);
    return exception_set();
  }
  return static_cast<std::size_t>(v);
}

// Pins every item of a sequence; `pin` is PinnedBuffer::signal or ::bytes.
template <class Pin>
PyResult<std::vector<PinnedBuffer>> pin_all(PyObject* sequence, const char* what, const Pin& pin) {
  const OwnedRef items = OwnedRef::consuming(PySequence_Fast(sequence, "expected a sequence"));
  if (!items) return exception_set();
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.borrow());
  std::vector<PinnedBuffer> pinned;
  pinned.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    const std::string name = std::string(what) + " " + std::to_string(i);
    auto one = pin(PySequence_Fast_GET_ITEM(items.borrow(), i), name.c_str());
    if (!one) return exception_set();
    pinned.push_back(std::move(*one));
  }
  return pinned;
}

// Builds the list of results, or raises for the first failed item.
template <class T, class Build>
PyObject* result_list(const std::vector<UnitResult<T>>& results, const char* what,
                      const Build& build) {
  for (std::size_t i = 0; i < results.size(); ++i) {
    if (!results[i]) {
      raise_unit_error(results[i].error(), std::string(what) + " " + std::to_string(i) + ": ");
      return nullptr;
    }
  }
  OwnedRef list = OwnedRef::consuming(PyList_New(static_cast<Py_ssize_t>(results.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < results.size(); ++i) {
    OwnedRef item = build(*results[i]);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.borrow(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list.release();
}

constexpr const char* kEncodeParameters[] = {"signal", "config"};
constexpr Signature kEncodeSignature{"encode_channel()", kEncodeParameters, 2};

PyObject* encode_channel(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind_fastcall(kEncodeSignature, args, nargs, kwnames, bound)) return nullptr;
    const auto request = request_from_config(bound[1]);
    if (!request) return nullptr;
    const auto signal = PinnedBuffer::signal(bound[0], "signal");
    if (!signal) return nullptr;
    UnitResult<EncodedUnit> unit = std::unexpected(UnitError{});
    without_lock([&] {
      unit = catching<EncodedUnit>([&] { return quillmere_tools::encode_unit(signal->samples(), *request); });
    });
    if (!unit) {
      raise_unit_error(unit.error());
      return nullptr;
    }
    return encoded_pair(*unit).release();
  });
}

constexpr const char* kDecodeParameters[] = {"unit"};
constexpr Signature kDecodeSignature{"decode_channel()", kDecodeParameters, 1};

PyObject* decode_channel(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_fastcall(kDecodeSignature, args, nargs, kwnames, bound)) return nullptr;
    const auto unit = PinnedBuffer::bytes(bound[0], "unit");
    if (!unit) return nullptr;
    UnitResult<DecodedUnit> decoded = std::unexpected(UnitError{});
    without_lock([&] {
      decoded = catching<DecodedUnit>([&] { return quillmere_tools::decode_unit(unit->data()); });
    });
    if (!decoded) {
      raise_unit_error(decoded.error());
      return nullptr;
    }
    return decoded_pair(*decoded).release();
  });
}

constexpr const char* kEncodeManyParameters[] = {"signals", "config", "threads"};
constexpr Signature kEncodeManySignature{"encode_many()", kEncodeManyParameters, 3};

PyObject* encode_many(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* bound[3];
    if (!bind_fastcall(kEncodeManySignature, args, nargs, kwnames, bound)) return nullptr;
    const auto request = request_from_config(bound[1]);
    if (!request) return nullptr;
    const auto threads = thread_count(bound[2]);
    if (!threads) return nullptr;
    const auto signals = pin_all(bound[0], "signal", PinnedBuffer::signal);
    if (!signals) return nullptr;
    std::vector<UnitResult<EncodedUnit>> units(signals->size(), std::unexpected(UnitError{}));
    without_lock([&] {
      quillmere_tools::run_indexed(units.size(), *threads, [&](std::size_t i) noexcept {
        units[i] = catching<EncodedUnit>(
            [&] { return quillmere_tools::encode_unit((*signals)[i].samples(), *request); });
      });
    });
    return result_list(units, "signal", encoded_pair);
  });
}

constexpr const char* kDecodeManyParameters[] = {"units", "threads"};
constexpr Signature kDecodeManySignature{"decode_many()", kDecodeManyParameters, 2};

PyObject* decode_many(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind_fastcall(kDecodeManySignature, args, nargs, kwnames, bound)) return nullptr;
    const auto threads = thread_count(bound[1]);
    if (!threads) return nullptr;
    const auto units = pin_all(bound[0], "unit", PinnedBuffer::bytes);
    if (!units) return nullptr;
    std::vector<UnitResult<DecodedUnit>> decoded(units->size(), std::unexpected(UnitError{}));
    without_lock([&] {
      quillmere_tools::run_indexed(decoded.size(), *threads, [&](std::size_t i) noexcept {
        decoded[i] = catching<DecodedUnit>([&] { return quillmere_tools::decode_unit((*units)[i].data()); });
      });
    });
    return result_list(decoded, "unit", decoded_pair);
  });
}

template <class Fn>
PyCFunction as_cfunction(Fn fn) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

PyMethodDef methods[] = {
    {"encode_channel", as_cfunction(encode_channel), METH_FASTCALL | METH_KEYWORDS,
     "encode_channel(signal, config)\n--\n\nOne channel unit and its report (see request.hpp)."},
    {"decode_channel", as_cfunction(decode_channel), METH_FASTCALL | METH_KEYWORDS,
     "decode_channel(unit)\n--\n\n(bytearray of samples, is_float64) of one unit."},
    {"encode_many", as_cfunction(encode_many), METH_FASTCALL | METH_KEYWORDS,
     "encode_many(signals, config, threads)\n--\n\nencode_channel over a list, on a thread pool."},
    {"decode_many", as_cfunction(decode_many), METH_FASTCALL | METH_KEYWORDS,
     "decode_many(units, threads)\n--\n\ndecode_channel over a list, on a thread pool."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) noexcept {
  if (!add_exception_types(module)) return -1;
  if (PyModule_AddIntConstant(module, "hardware_threads",
                              static_cast<long>(std::thread::hardware_concurrency())) < 0) {
    return -1;
  }
  return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "quillmere_tools._native",
    "Channel units (container + side block) for quillmere_tools; see frames.py.",
    0, methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace quillmere_tools_py

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&quillmere_tools_py::module_def); }
