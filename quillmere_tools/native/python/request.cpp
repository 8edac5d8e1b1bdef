#include "request.hpp"

#include "quillmere_tools/integer_unit.hpp"

#include <optional>
#include <string>

namespace quillmere_tools_py {
namespace {

using quillmere_py::OwnedRef;
constexpr Py_ssize_t kConfigLen = 14;
// The integer coder: a unit kind of the channel library, not a codec coder.
constexpr long kIntegerCode = quillmere_tools::kCoderInteger;

PyResult<long> small_int(PyObject* item, const char* name, long lo, long hi) noexcept {
  const long v = PyLong_AsLong(item);
  if (v == -1 && PyErr_Occurred()) return exception_set();
  if (v < lo || v > hi) {
    PyErr_Format(PyExc_ValueError, "%s code %ld is out of range", name, v);
    return exception_set();
  }
  return v;
}

PyResult<std::optional<double>> optional_float(PyObject* item) noexcept {
  if (item == Py_None) return std::nullopt;
  const double v = PyFloat_AsDouble(item);
  if (v == -1.0 && PyErr_Occurred()) return exception_set();
  return v;
}

PyResult<quillmere::Coder> coder_code(PyObject* item) noexcept {
  const auto v = small_int(item, "coder", 0, 255);
  if (!v) return exception_set();
  if (*v > quillmere::kLastToolsCoder && *v != 255 && *v != kIntegerCode) {
    PyErr_Format(PyExc_ValueError, "coder code %ld is out of range", *v);
    return exception_set();
  }
  return static_cast<quillmere::Coder>(*v);
}

template <class Code, class Each>
PyResult<std::vector<Code>> codes(PyObject* sequence, const Each& each) noexcept {
  if (!PyTuple_Check(sequence)) {
    PyErr_SetString(PyExc_TypeError, "candidate methods and coders must be tuples of codes");
    return exception_set();
  }
  std::vector<Code> out;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(sequence); ++i) {
    const auto code = each(PyTuple_GET_ITEM(sequence, i));
    if (!code) return exception_set();
    out.push_back(*code);
  }
  return out;
}

}  // namespace

PyResult<quillmere_tools::UnitRequest> request_from_config(PyObject* config) noexcept {
  try {
    if (!PyTuple_Check(config) || PyTuple_GET_SIZE(config) != kConfigLen) {
      PyErr_SetString(PyExc_TypeError, "config must be a tuple of 14 items");
      return exception_set();
    }
    const auto item = [&](Py_ssize_t i) { return PyTuple_GET_ITEM(config, i); };
    quillmere_tools::UnitRequest request;
    const auto method = small_int(item(0), "method", 0, 3);
    if (!method) return exception_set();
    const auto scale = small_int(item(1), "scale", 6, 12);
    if (!scale) return exception_set();
    const auto cutoff = small_int(item(2), "cutoff", 0, 2);
    if (!cutoff) return exception_set();
    const auto coder = coder_code(item(3));
    if (!coder) return exception_set();
    const auto multiplier = optional_float(item(4));
    if (!multiplier) return exception_set();
    request.options.method = static_cast<quillmere::Method>(*method);
    request.options.scale = static_cast<std::uint8_t>(*scale);
    request.options.cutoff = static_cast<quillmere::Cutoff>(*cutoff);
    if (static_cast<long>(*coder) == kIntegerCode) {
      request.options.coder = quillmere::Coder::Auto;
      request.integer = quillmere_tools::IntegerUse::Only;
    } else {
      request.options.coder = *coder;
    }
    if (*multiplier) request.options.quant_multiplier = static_cast<float>(**multiplier);

    std::optional<double>* bounds[] = {&request.bounds.max_error, &request.bounds.rmse,
                                       &request.bounds.prd, &request.bounds.psnr,
                                       &request.bounds.bits_per_sample};
    for (Py_ssize_t i = 0; i < 5; ++i) {
      const auto v = optional_float(item(5 + i));
      if (!v) return exception_set();
      *bounds[i] = *v;
    }
    auto methods = codes<quillmere::Method>(item(10), [](PyObject* o) -> PyResult<quillmere::Method> {
      const auto v = small_int(o, "method", 0, 3);
      if (!v) return exception_set();
      return static_cast<quillmere::Method>(*v);
    });
    if (!methods) return exception_set();
    auto coders = codes<quillmere::Coder>(item(11), coder_code);
    if (!coders) return exception_set();
    request.methods = std::move(*methods);
    for (const quillmere::Coder c : *coders) {
      if (static_cast<long>(c) == kIntegerCode) {
        if (request.integer == quillmere_tools::IntegerUse::Auto) {
          request.integer = quillmere_tools::IntegerUse::Compare;
        }
      } else {
        request.coders.push_back(c);
      }
    }
    // The integer coder as the only candidate: no wavelet unit to weigh it against.
    if (request.integer == quillmere_tools::IntegerUse::Compare && request.coders.empty()) {
      request.integer = quillmere_tools::IntegerUse::Only;
    }
    const int split = PyObject_IsTrue(item(12));
    if (split < 0) return exception_set();
    request.split_trailing_run = split == 1;
    const auto step = optional_float(item(13));
    if (!step) return exception_set();
    request.grid_step = *step;
    return request;
  } catch (...) {
    raise_from_current_exception();
    return exception_set();
  }
}

OwnedRef report_tuple(const quillmere_tools::UnitReport& r) noexcept {
  OwnedRef offset = r.offset ? OwnedRef::consuming(PyFloat_FromDouble(*r.offset))
                             : OwnedRef::owning(Py_None);
  if (!offset) return {};
  return OwnedRef::consuming(Py_BuildValue(
      "(iiiidNddddnnNn)", static_cast<int>(r.method), static_cast<int>(r.scale),
      static_cast<int>(r.cutoff), static_cast<int>(r.coder_id), static_cast<double>(r.multiplier),
      PyBool_FromLong(r.measured), r.max_error, r.rmse, r.prd, r.psnr,
      static_cast<Py_ssize_t>(r.corrected_samples), static_cast<Py_ssize_t>(r.container_bytes),
      offset.release(), static_cast<Py_ssize_t>(r.non_finite_samples)));
}

}  // namespace quillmere_tools_py
