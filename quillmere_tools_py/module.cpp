// quillmere_tools._native: channel units for Python.
//
// Each entry point binds its arguments and pins every buffer it will read
// while holding the interpreter lock, runs the codec with the lock released,
// then builds Python results with the lock held again. Batch calls spread
// their items over a few threads; every item's result lands in its own slot,
// so outputs are the same for any thread count.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "args.hpp"
#include "block_stream.hpp"
#include "call_helpers.hpp"
#include "native_errors.hpp"
#include "owned_ref.hpp"
#include "pinned_buffer.hpp"
#include "quillmere_tools/blocked_unit.hpp"
#include "quillmere_tools/channel_unit.hpp"
#include "quillmere_tools/indexed_pool.hpp"
#include "request.hpp"

namespace quillmere_tools_py {
namespace {

using quillmere_py::bind_fastcall;
using quillmere_py::OwnedRef;
using quillmere_py::Signature;
using quillmere_tools::catching;
using quillmere_tools::DecodedUnit;
using quillmere_tools::EncodedUnit;
using quillmere_tools::UnitError;
using quillmere_tools::UnitResult;

// Runs `work` without the interpreter lock. Work that reaches here cannot
// throw: the library returns errors as values, and whatever it throws is
// caught per item below (quillmere_tools::catching).
template <class Work>
void without_lock(const Work& work) noexcept {
  Py_BEGIN_ALLOW_THREADS
  work();
  Py_END_ALLOW_THREADS
}

OwnedRef bytes_of(const std::vector<std::uint8_t>& bytes) noexcept {
  return OwnedRef::consuming(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                                       static_cast<Py_ssize_t>(bytes.size())));
}

OwnedRef encoded_pair(const EncodedUnit& unit) noexcept {
  OwnedRef bytes = bytes_of(unit.bytes);
  if (!bytes) return {};
  OwnedRef report = report_of(unit.report);
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

constexpr const char* kEncodeParameters[] = {"signal", "request"};
constexpr Signature kEncodeSignature{"encode_channel()", kEncodeParameters, 2};

PyObject* encode_channel(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind_fastcall(kEncodeSignature, args, nargs, kwnames, bound)) return nullptr;
    const auto request = request_from(bound[1]);
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

constexpr const char* kEncodeManyParameters[] = {"signals", "request", "threads"};
constexpr Signature kEncodeManySignature{"encode_many()", kEncodeManyParameters, 3};

PyObject* encode_many(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* bound[3];
    if (!bind_fastcall(kEncodeManySignature, args, nargs, kwnames, bound)) return nullptr;
    const auto request = request_from(bound[1]);
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

// --- Long signals: blocks on the pool, ranges, layouts --------------------

// Decoded samples land straight in a bytearray, made (with the lock taken
// back for the moment) only once the range and its blocks have been checked.
struct OutputSlot {
  OwnedRef array;
  bool f64 = false;
};

UnitResult<quillmere_tools::SampleSink> make_output(OutputSlot& slot, quillmere_tools::Precision p,
                                                    std::size_t n) noexcept {
  slot.f64 = p == quillmere_tools::Precision::Float64;
  const std::size_t width = slot.f64 ? sizeof(double) : sizeof(float);
  if (n > static_cast<std::size_t>(std::numeric_limits<Py_ssize_t>::max()) / width) {
    return std::unexpected(UnitError::out_of_memory());
  }
  const PyGILState_STATE gil = PyGILState_Ensure();
  PyObject* array = PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n * width));
  if (array == nullptr) PyErr_Clear();
  char* data = array != nullptr ? PyByteArray_AS_STRING(array) : nullptr;
  slot.array = OwnedRef::consuming(array);
  PyGILState_Release(gil);
  if (data == nullptr) return std::unexpected(UnitError::out_of_memory());
  if (slot.f64) return quillmere_tools::SampleSink(std::span(reinterpret_cast<double*>(data), n));
  return quillmere_tools::SampleSink(std::span(reinterpret_cast<float*>(data), n));
}

OwnedRef output_pair(OutputSlot& slot) noexcept {
  return OwnedRef::consuming(Py_BuildValue("(NO)", slot.array.release(), slot.f64 ? Py_True : Py_False));
}

constexpr const char* kEncodeBlocksParameters[] = {"signals", "request", "block_length", "threads",
                                                   "progress"};
constexpr Signature kEncodeBlocksSignature{"encode_blocks()", kEncodeBlocksParameters, 4};

// Every block of every signal is one task on the pool, so one long signal
// keeps all the threads busy as well as many short ones do.
PyObject* encode_blocks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* bound[5] = {};
    if (!bind_fastcall(kEncodeBlocksSignature, args, nargs, kwnames, bound)) return nullptr;
    ProgressCell progress;
    if (!progress.pin(bound[4])) return nullptr;
    const auto request = request_from(bound[1]);
    if (!request) return nullptr;
    const auto block_length = block_length_of(bound[2]);
    if (!block_length) return nullptr;
    const auto threads = thread_count(bound[3]);
    if (!threads) return nullptr;
    const auto signals = pin_all(bound[0], "signal", PinnedBuffer::signal);
    if (!signals) return nullptr;
    const std::size_t n = signals->size();
    std::vector<UnitResult<EncodedUnit>> units(n, std::unexpected(UnitError{}));
    without_lock([&] {
      try {
        std::vector<UnitResult<quillmere_tools::BlockPlan>> plans(n, std::unexpected(UnitError{}));
        quillmere_tools::run_indexed(n, *threads, [&](std::size_t i) noexcept {
          plans[i] = catching<quillmere_tools::BlockPlan>(
              [&] { return quillmere_tools::plan_blocks((*signals)[i].samples(), *request, *block_length); });
        });
        std::vector<std::pair<std::size_t, std::size_t>> jobs;
        for (std::size_t i = 0; i < n; ++i) {
          if (!plans[i]) {
            units[i] = std::unexpected(plans[i].error());
            continue;
          }
          for (std::size_t b = 0; b < plans[i]->block_count; ++b) jobs.emplace_back(i, b);
        }
        std::vector<UnitResult<EncodedUnit>> parts(jobs.size(), std::unexpected(UnitError{}));
        quillmere_tools::run_indexed(jobs.size(), *threads, [&](std::size_t j) noexcept {
          const auto [i, b] = jobs[j];
          parts[j] = catching<EncodedUnit>(
              [&] { return quillmere_tools::encode_block((*signals)[i].samples(), *plans[i], b); });
          progress.bump();
        });
        for (std::size_t j = 0, i = 0; i < n; ++i) {
          if (!plans[i]) continue;
          std::vector<EncodedUnit> blocks;
          std::optional<UnitError> failed;
          for (std::size_t b = 0; b < plans[i]->block_count; ++b, ++j) {
            if (!parts[j]) {
              if (!failed) failed = parts[j].error();
            } else {
              blocks.push_back(std::move(*parts[j]));
            }
          }
          units[i] = failed ? UnitResult<EncodedUnit>(std::unexpected(*failed))
                            : quillmere_tools::join_blocks((*signals)[i].samples(), *plans[i], std::move(blocks));
        }
      } catch (...) {
        const UnitError error = quillmere_tools::caught_unit_error();
        for (auto& u : units) u = std::unexpected(error);
      }
    });
    return result_list(units, "signal", encoded_pair);
  });
}

constexpr const char* kDecodeUnitsParameters[] = {"units", "threads", "progress"};
constexpr Signature kDecodeUnitsSignature{"decode_units()", kDecodeUnitsParameters, 2};

// Plain units decode as decode_many does; a blocked one spreads its blocks
// over the threads left when there are fewer units than threads.
PyObject* decode_units(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* bound[3] = {};
    if (!bind_fastcall(kDecodeUnitsSignature, args, nargs, kwnames, bound)) return nullptr;
    ProgressCell progress;
    if (!progress.pin(bound[2])) return nullptr;
    const auto threads = thread_count(bound[1]);
    if (!threads) return nullptr;
    const auto units = pin_all(bound[0], "unit", PinnedBuffer::bytes);
    if (!units) return nullptr;
    const std::size_t n = units->size();
    const std::size_t inner = std::max<std::size_t>(1, *threads / std::max<std::size_t>(n, 1));
    std::vector<UnitResult<std::size_t>> decoded(n, std::unexpected(UnitError{}));
    std::vector<OutputSlot> slots(n);
    std::vector<UnitResult<DecodedUnit>> plain(n, std::unexpected(UnitError{}));
    without_lock([&] {
      quillmere_tools::run_indexed(n, *threads, [&](std::size_t i) noexcept {
        const auto bytes = (*units)[i].data();
        if (!quillmere_tools::is_blocked_unit(bytes)) {
          plain[i] = catching<DecodedUnit>([&] { return quillmere_tools::decode_unit(bytes); });
          progress.bump();
          decoded[i] = plain[i] ? UnitResult<std::size_t>(i) : std::unexpected(plain[i].error());
          return;
        }
        decoded[i] = catching<std::size_t>([&]() -> UnitResult<std::size_t> {
          auto layout = quillmere_tools::read_layout(bytes);
          if (!layout) return std::unexpected(layout.error());
          auto done = quillmere_tools::decode_range_with(
              bytes, 0, layout->sample_count, inner,
              [&](quillmere_tools::Precision p, std::size_t count) { return make_output(slots[i], p, count); },
              [&] { progress.bump(); });
          if (!done) return std::unexpected(done.error());
          return i;
        });
      });
    });
    return result_list(decoded, "unit", [&](std::size_t k) {
      return slots[k].array ? output_pair(slots[k]) : decoded_pair(*plain[k]);
    });
  });
}

constexpr const char* kDecodeRangeParameters[] = {"unit", "start", "stop", "threads", "progress"};
constexpr Signature kDecodeRangeSignature{"decode_range()", kDecodeRangeParameters, 4};

PyObject* decode_range(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* bound[5] = {};
    if (!bind_fastcall(kDecodeRangeSignature, args, nargs, kwnames, bound)) return nullptr;
    ProgressCell progress;
    if (!progress.pin(bound[4])) return nullptr;
    const auto start = sample_index(bound[1], "start");
    if (!start) return nullptr;
    const auto stop = sample_index(bound[2], "stop");
    if (!stop) return nullptr;
    const auto threads = thread_count(bound[3]);
    if (!threads) return nullptr;
    const auto unit = PinnedBuffer::bytes(bound[0], "unit");
    if (!unit) return nullptr;
    OutputSlot slot;
    UnitResult<void> done;
    without_lock([&] {
      done = catching<void>([&] {
        return quillmere_tools::decode_range_with(
            unit->data(), *start, *stop, *threads,
            [&](quillmere_tools::Precision p, std::size_t count) { return make_output(slot, p, count); },
            [&] { progress.bump(); });
      });
    });
    if (!done) {
      raise_unit_error(done.error());
      return nullptr;
    }
    return output_pair(slot).release();
  });
}

constexpr const char* kLayoutParameters[] = {"unit"};
constexpr Signature kLayoutSignature{"unit_layout()", kLayoutParameters, 1};

// (sample_count, is_float64, block_length or 0 for a plain unit, tuple of
// each block's byte length)
PyObject* unit_layout(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_fastcall(kLayoutSignature, args, nargs, kwnames, bound)) return nullptr;
    const auto unit = PinnedBuffer::bytes(bound[0], "unit");
    if (!unit) return nullptr;
    UnitResult<quillmere_tools::UnitLayout> layout = std::unexpected(UnitError{});
    without_lock([&] {
      layout = catching<quillmere_tools::UnitLayout>([&] { return quillmere_tools::read_layout(unit->data()); });
    });
    if (!layout) {
      raise_unit_error(layout.error());
      return nullptr;
    }
    return layout_of(*layout).release();
  });
}

template <class Fn>
PyCFunction as_cfunction(Fn fn) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

PyMethodDef methods[] = {
    {"encode_channel", as_cfunction(encode_channel), METH_FASTCALL | METH_KEYWORDS,
     "encode_channel(signal, request)\n--\n\nOne channel unit and its UnitReport (see request.hpp)."},
    {"decode_channel", as_cfunction(decode_channel), METH_FASTCALL | METH_KEYWORDS,
     "decode_channel(unit)\n--\n\n(bytearray of samples, is_float64) of one unit."},
    {"encode_many", as_cfunction(encode_many), METH_FASTCALL | METH_KEYWORDS,
     "encode_many(signals, request, threads)\n--\n\nencode_channel over a list, on a thread pool."},
    {"decode_many", as_cfunction(decode_many), METH_FASTCALL | METH_KEYWORDS,
     "decode_many(units, threads)\n--\n\ndecode_channel over a list, on a thread pool."},
    {"encode_blocks", as_cfunction(encode_blocks), METH_FASTCALL | METH_KEYWORDS,
     "encode_blocks(signals, request, block_length, threads, progress=None)\n--\n\n"
     "Units of the signals, a long one as blocks; every block a task on the pool."},
    {"decode_units", as_cfunction(decode_units), METH_FASTCALL | METH_KEYWORDS,
     "decode_units(units, threads, progress=None)\n--\n\nPlain or blocked units, on a thread pool."},
    {"decode_range", as_cfunction(decode_range), METH_FASTCALL | METH_KEYWORDS,
     "decode_range(unit, start, stop, threads, progress=None)\n--\n\nSamples [start, stop), from the blocks that hold them."},
    {"unit_layout", as_cfunction(unit_layout), METH_FASTCALL | METH_KEYWORDS,
     "unit_layout(unit)\n--\n\nThe UnitLayout of a plain or blocked unit."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) noexcept {
  if (!add_exception_types(module)) return -1;
  if (!add_result_types(module)) return -1;
  if (!add_option_tables(module)) return -1;
  if (PyModule_AddIntConstant(module, "hardware_threads",
                              static_cast<long>(std::thread::hardware_concurrency())) < 0) {
    return -1;
  }
  if (PyModule_AddIntConstant(module, "default_block_length",
                              static_cast<long>(quillmere_tools::kDefaultBlockLength)) < 0) {
    return -1;
  }
  if (PyModule_AddFunctions(module, block_stream_methods()) < 0) return -1;
  if (PyModule_AddIntConstant(module, "min_trailing_run",
                              static_cast<long>(quillmere_tools::kMinTrailingRun)) < 0) {
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
    "Channel units (container + side block) for quillmere_tools; see units/channel.py.",
    0, methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace quillmere_tools_py

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&quillmere_tools_py::module_def); }
