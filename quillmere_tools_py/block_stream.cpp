// quillmere_tools._native entry points for signals read a piece at a time.
//
// A caller that cannot hold a whole signal measures it piece by piece
// (measure_more, in order), then hands over its blocks a batch at a time
// (encode_given_blocks). Each call plans again from the measure, which is
// cheap, so no state lives here between calls; the units are those
// encode_blocks makes of the whole signal, block for block.
#include "block_stream.hpp"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "args.hpp"
#include "call_helpers.hpp"
#include "owned_ref.hpp"
#include "pinned_buffer.hpp"
#include "quillmere_tools/blocked_unit.hpp"
#include "quillmere_tools/indexed_pool.hpp"
#include "request.hpp"

namespace quillmere_tools_py {
namespace {

using quillmere_py::bind_fastcall;
using quillmere_py::OwnedRef;
using quillmere_py::Signature;
using quillmere_tools::BlockPlan;
using quillmere_tools::catching;
using quillmere_tools::EncodedUnit;
using quillmere_tools::SignalMeasure;
using quillmere_tools::UnitError;
using quillmere_tools::UnitResult;

// (finite, sum_x2, lo, hi): Python floats carry the doubles exactly.
PyResult<SignalMeasure> measure_of(PyObject* state) noexcept {
  if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) != 4) {
    PyErr_SetString(PyExc_TypeError, "measure must be a tuple (finite, sum_x2, lo, hi)");
    return exception_set();
  }
  SignalMeasure m;
  m.finite = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(state, 0));
  if (PyErr_Occurred()) return exception_set();
  double* fields[] = {&m.sum_x2, &m.lo, &m.hi};
  for (Py_ssize_t i = 0; i < 3; ++i) {
    *fields[i] = PyFloat_AsDouble(PyTuple_GET_ITEM(state, i + 1));
    if (*fields[i] == -1.0 && PyErr_Occurred()) return exception_set();
  }
  return m;
}

PyObject* measure_tuple(const SignalMeasure& m) noexcept {
  return Py_BuildValue("(Kddd)", static_cast<unsigned long long>(m.finite), m.sum_x2, m.lo, m.hi);
}

// The plan of (sample_count, measure, request, block_length), raised as the
// encoder would raise it.
PyResult<BlockPlan> plan_from(PyObject* const* bound) noexcept {
  const auto samples = sample_index(bound[0], "sample_count");
  if (!samples) return exception_set();
  const auto measure = measure_of(bound[1]);
  if (!measure) return exception_set();
  const auto request = request_from(bound[2]);
  if (!request) return exception_set();
  const auto block_length = block_length_of(bound[3]);
  if (!block_length) return exception_set();
  auto plan = catching<BlockPlan>(
      [&] { return quillmere_tools::plan_measured(*samples, *measure, *request, *block_length); });
  if (!plan) {
    raise_unit_error(plan.error());
    return exception_set();
  }
  return std::move(*plan);
}

constexpr const char* kMeasureParameters[] = {"signal", "measure"};
constexpr Signature kMeasureSignature{"measure_more()", kMeasureParameters, 2};

PyObject* measure_more(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind_fastcall(kMeasureSignature, args, nargs, kwnames, bound)) return nullptr;
    const auto signal = PinnedBuffer::signal(bound[0], "signal");
    if (!signal) return nullptr;
    auto measure = measure_of(bound[1]);
    if (!measure) return nullptr;
    Py_BEGIN_ALLOW_THREADS
    quillmere_tools::measure_more(signal->samples(), *measure);
    Py_END_ALLOW_THREADS
    return measure_tuple(*measure);
  });
}

constexpr const char* kPlanParameters[] = {"sample_count", "measure", "request", "block_length"};
constexpr Signature kPlanSignature{"plan_measured()", kPlanParameters, 4};

// (block_count, multiplier of the joined report or None)
PyObject* plan_measured(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* bound[4];
    if (!bind_fastcall(kPlanSignature, args, nargs, kwnames, bound)) return nullptr;
    const auto plan = plan_from(bound);
    if (!plan) return nullptr;
    const OwnedRef multiplier = plan->multiplier
                                    ? OwnedRef::consuming(PyFloat_FromDouble(*plan->multiplier))
                                    : OwnedRef::owning(Py_None);
    if (!multiplier) return nullptr;
    return Py_BuildValue("(nO)", static_cast<Py_ssize_t>(plan->block_count), multiplier.borrow());
  });
}

constexpr const char* kEncodeParameters[] = {"sample_count", "measure", "request", "block_length",
                                             "blocks", "first", "threads", "progress"};
constexpr Signature kEncodeSignature{"encode_given_blocks()", kEncodeParameters, 7};

// [(unit, report)] of blocks first, first + 1, ... of the planned signal,
// each given as exactly its own samples; the blocks run on the pool.
PyObject* encode_given_blocks(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* bound[8] = {};
    if (!bind_fastcall(kEncodeSignature, args, nargs, kwnames, bound)) return nullptr;
    ProgressCell progress;
    if (!progress.pin(bound[7])) return nullptr;
    const auto plan = plan_from(bound);
    if (!plan) return nullptr;
    const auto first = sample_index(bound[5], "first");
    if (!first) return nullptr;
    const auto threads = thread_count(bound[6]);
    if (!threads) return nullptr;
    const OwnedRef items = OwnedRef::consuming(PySequence_Fast(bound[4], "blocks must be a sequence"));
    if (!items) return nullptr;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.borrow());
    std::vector<PinnedBuffer> blocks;
    blocks.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) {
      const std::string name = "block " + std::to_string(*first + static_cast<std::uint64_t>(k));
      auto one = PinnedBuffer::signal(PySequence_Fast_GET_ITEM(items.borrow(), k), name.c_str());
      if (!one) return nullptr;
      blocks.push_back(std::move(*one));
    }
    std::vector<UnitResult<EncodedUnit>> units(blocks.size(), std::unexpected(UnitError{}));
    Py_BEGIN_ALLOW_THREADS
    quillmere_tools::run_indexed(units.size(), *threads, [&](std::size_t k) noexcept {
      units[k] = catching<EncodedUnit>([&] {
        return quillmere_tools::encode_given_block(blocks[k].samples(), *plan,
                                                   static_cast<std::size_t>(*first) + k);
      });
      progress.bump();
    });
    Py_END_ALLOW_THREADS
    for (const auto& u : units) {
      // The first failure by block order, as encode_blocks reports it.
      if (!u) {
        raise_unit_error(u.error());
        return nullptr;
      }
    }
    OwnedRef list = OwnedRef::consuming(PyList_New(n));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < units.size(); ++k) {
      const auto& unit = *units[k];
      OwnedRef bytes = OwnedRef::consuming(PyBytes_FromStringAndSize(
          reinterpret_cast<const char*>(unit.bytes.data()), static_cast<Py_ssize_t>(unit.bytes.size())));
      if (!bytes) return nullptr;
      OwnedRef report = report_of(unit.report);
      if (!report) return nullptr;
      PyObject* pair = Py_BuildValue("(NN)", bytes.release(), report.release());
      if (pair == nullptr) return nullptr;
      PyList_SET_ITEM(list.borrow(), static_cast<Py_ssize_t>(k), pair);
    }
    return list.release();
  });
}

template <class Fn>
PyCFunction as_cfunction(Fn fn) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

PyMethodDef methods[] = {
    {"measure_more", as_cfunction(measure_more), METH_FASTCALL | METH_KEYWORDS,
     "measure_more(signal, measure)\n--\n\n(finite, sum_x2, lo, hi) of the samples so far and these."},
    {"plan_measured", as_cfunction(plan_measured), METH_FASTCALL | METH_KEYWORDS,
     "plan_measured(sample_count, measure, request, block_length)\n--\n\n"
     "(block_count, multiplier or None) of a measured signal's plan."},
    {"encode_given_blocks", as_cfunction(encode_given_blocks), METH_FASTCALL | METH_KEYWORDS,
     "encode_given_blocks(sample_count, measure, request, block_length, blocks, first, threads, "
     "progress=None)\n--\n\n[(unit, report)] of consecutive blocks of a measured signal."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* block_stream_methods() noexcept { return methods; }

}  // namespace quillmere_tools_py
