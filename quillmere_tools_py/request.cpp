#include "request.hpp"

#include <array>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quillmere/option_table.hpp"
#include "quillmere_tools/integer_unit.hpp"

namespace quillmere_tools_py {
namespace {

using quillmere_py::OwnedRef;

// The struct sequence types, made once when the module is first executed
// and kept for the life of the process, like the module's other types.
PyTypeObject* g_report_type = nullptr;
PyTypeObject* g_layout_type = nullptr;

PyStructSequence_Field kReportFields[] = {
    {"method_code", "the wavelet's code (cdf53 0, cdf97 1, db4 2, sym4 3)"},
    {"scale", "the dead-zone row, 6 to 12"},
    {"cutoff_code", "low 0, medium 1, high 2"},
    {"coder_code", "the coder the container names (deflate 0, arans 1, cmodel 2, fast 3, integer 4)"},
    {"quant_multiplier", "the multiplier the container stores"},
    {"measured", "whether the error figures below were measured"},
    {"max_error", "largest absolute error over the finite samples"},
    {"rmse", "root mean square error over the finite samples"},
    {"prd", "percent root-mean-square difference"},
    {"psnr", "peak signal-to-noise ratio in dB"},
    {"corrected_samples", "samples fixed by corrections"},
    {"container_bytes", "bytes of the container, side block not counted"},
    {"offset", "the float64 offset taken off before narrowing, or None"},
    {"non_finite_samples", "NaN and infinite samples kept in the side block"},
    {nullptr, nullptr},
};
PyStructSequence_Desc kReportDesc = {
    "quillmere_tools._native.UnitReport", "What encoding one channel unit chose and measured.",
    kReportFields, 14};

PyStructSequence_Field kLayoutFields[] = {
    {"sample_count", "samples in the unit"},
    {"is_float64", "whether it decodes to float64"},
    {"block_length", "samples per block, 0 for a plain unit"},
    {"block_bytes", "the byte length of each block (one entry for a plain unit)"},
    {nullptr, nullptr},
};
PyStructSequence_Desc kLayoutDesc = {
    "quillmere_tools._native.UnitLayout", "What a plain or blocked unit holds, read without decoding.",
    kLayoutFields, 4};

// The attribute `name` of the request; an error names it when it is missing.
OwnedRef attribute(PyObject* request, const char* name) noexcept {
  OwnedRef value = OwnedRef::consuming(PyObject_GetAttrString(request, name));
  if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Format(PyExc_TypeError, "request has no attribute %s", name);
  }
  return value;
}

PyResult<std::optional<double>> optional_float(PyObject* request, const char* name) noexcept {
  const OwnedRef value = attribute(request, name);
  if (!value) return exception_set();
  if (value.borrow() == Py_None) return std::nullopt;
  const double v = PyFloat_AsDouble(value.borrow());
  if (v == -1.0 && PyErr_Occurred()) return exception_set();
  return v;
}

// A code checked against the codec's own table of that option, so the
// companion module accepts exactly the codes the codec knows.
template <class Code>
PyResult<Code> table_code(PyObject* item, const char* name,
                          std::optional<Code> (*coded)(long long) noexcept) noexcept {
  const long long v = PyLong_AsLongLong(item);
  if (v == -1 && PyErr_Occurred()) return exception_set();
  const std::optional<Code> code = coded(v);
  if (!code) {
    PyErr_Format(PyExc_ValueError, "%s %lld is out of range", name, v);
    return exception_set();
  }
  return *code;
}

template <class Code>
PyResult<Code> table_code_attribute(PyObject* request, const char* name,
                                    std::optional<Code> (*coded)(long long) noexcept) noexcept {
  const OwnedRef value = attribute(request, name);
  if (!value) return exception_set();
  return table_code(value.borrow(), name, coded);
}

PyResult<quillmere::Method> method_code(PyObject* item) noexcept {
  return table_code(item, "method_code", quillmere::method_coded);
}

// The codec's coders, and the channel library's lossless integer unit, which
// travels in the same field although the codec does not know it.
std::optional<quillmere::Coder> unit_coder_coded(long long code) noexcept {
  if (code == quillmere_tools::kCoderInteger) return static_cast<quillmere::Coder>(code);
  return quillmere::coder_coded(code);
}

bool is_integer_coder(quillmere::Coder coder) noexcept {
  return static_cast<long long>(coder) == quillmere_tools::kCoderInteger;
}

// The bounded search's effort: 0 thorough, 1 fast.
std::optional<quillmere_tools::SearchEffort> effort_coded(long long code) noexcept {
  using quillmere_tools::SearchEffort;
  if (code == static_cast<long long>(SearchEffort::Thorough)) return SearchEffort::Thorough;
  if (code == static_cast<long long>(SearchEffort::Fast)) return SearchEffort::Fast;
  return std::nullopt;
}

PyResult<quillmere::Coder> coder_code(PyObject* item) noexcept {
  return table_code(item, "coder_code", unit_coder_coded);
}

template <class Code, class Each>
PyResult<std::vector<Code>> codes(PyObject* request, const char* name, const Each& each) noexcept {
  const OwnedRef sequence = attribute(request, name);
  if (!sequence) return exception_set();
  if (!PyTuple_Check(sequence.borrow())) {
    PyErr_Format(PyExc_TypeError, "%s must be a tuple of codes", name);
    return exception_set();
  }
  std::vector<Code> out;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(sequence.borrow()); ++i) {
    const auto code = each(PyTuple_GET_ITEM(sequence.borrow(), i));
    if (!code) return exception_set();
    out.push_back(*code);
  }
  return out;
}

// Fills a new struct sequence of `type` from `items` (new references, each
// may be null after a failed conversion; all are released on failure).
OwnedRef struct_sequence(PyTypeObject* type, std::initializer_list<PyObject*> items) noexcept {
  OwnedRef result = OwnedRef::consuming(type == nullptr ? nullptr : PyStructSequence_New(type));
  bool ok = static_cast<bool>(result);
  Py_ssize_t i = 0;
  for (PyObject* item : items) {
    if (ok && item != nullptr) {
      PyStructSequence_SetItem(result.borrow(), i, item);
    } else {
      ok = false;
      Py_XDECREF(item);
    }
    ++i;
  }
  if (!ok) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "result type missing");
    return {};
  }
  return result;
}

PyObject* new_ref(PyObject* borrowed) noexcept {
  Py_INCREF(borrowed);
  return borrowed;
}

}  // namespace

PyResult<quillmere_tools::UnitRequest> request_from(PyObject* request) noexcept {
  try {
    quillmere_tools::UnitRequest out;
    const auto method = table_code_attribute(request, "method_code", quillmere::method_coded);
    if (!method) return exception_set();
    const auto scale = table_code_attribute(request, "scale", quillmere::scale_coded);
    if (!scale) return exception_set();
    const auto cutoff = table_code_attribute(request, "cutoff_code", quillmere::cutoff_coded);
    if (!cutoff) return exception_set();
    const auto coder = table_code_attribute(request, "coder_code", unit_coder_coded);
    if (!coder) return exception_set();
    const auto multiplier = optional_float(request, "quant_multiplier");
    if (!multiplier) return exception_set();
    out.options.method = *method;
    out.options.scale = *scale;
    out.options.cutoff = *cutoff;
    if (is_integer_coder(*coder)) {
      out.options.coder = quillmere::Coder::Auto;
      out.integer = quillmere_tools::IntegerUse::Only;
    } else {
      out.options.coder = *coder;
    }
    if (*multiplier) out.options.quant_multiplier = static_cast<float>(**multiplier);

    const std::pair<const char*, std::optional<double>*> bounds[] = {
        {"max_error", &out.bounds.max_error}, {"rmse", &out.bounds.rmse}, {"prd", &out.bounds.prd},
        {"psnr", &out.bounds.psnr}, {"bits_per_sample", &out.bounds.bits_per_sample}};
    for (const auto& [name, field] : bounds) {
      const auto v = optional_float(request, name);
      if (!v) return exception_set();
      *field = *v;
    }
    auto methods = codes<quillmere::Method>(request, "method_codes", method_code);
    if (!methods) return exception_set();
    auto coders = codes<quillmere::Coder>(request, "coder_codes", coder_code);
    if (!coders) return exception_set();
    out.methods = std::move(*methods);
    for (const quillmere::Coder c : *coders) {
      if (!is_integer_coder(c)) {
        out.coders.push_back(c);
      } else if (out.integer == quillmere_tools::IntegerUse::Auto) {
        out.integer = quillmere_tools::IntegerUse::Compare;
      }
    }
    // The integer coder as the only candidate: no wavelet unit to weigh it against.
    if (out.integer == quillmere_tools::IntegerUse::Compare && out.coders.empty()) {
      out.integer = quillmere_tools::IntegerUse::Only;
    }
    const OwnedRef split = attribute(request, "split_trailing_run");
    if (!split) return exception_set();
    const int truth = PyObject_IsTrue(split.borrow());
    if (truth < 0) return exception_set();
    out.split_trailing_run = truth == 1;
    const auto step = optional_float(request, "grid_step");
    if (!step) return exception_set();
    out.grid_step = *step;
    const auto effort = table_code_attribute(request, "effort_code", effort_coded);
    if (!effort) return exception_set();
    out.effort = *effort;
    return out;
  } catch (...) {
    raise_from_current_exception();
    return exception_set();
  }
}

namespace {

// {name: code} of one of the codec's option tables.
template <class Code, std::size_t N>
OwnedRef code_dict(const std::array<quillmere::NamedOption<Code>, N>& table) noexcept {
  OwnedRef dict = OwnedRef::consuming(PyDict_New());
  if (!dict) return {};
  for (const auto& entry : table) {
    const OwnedRef code = OwnedRef::consuming(PyLong_FromLong(static_cast<long>(entry.code)));
    const OwnedRef name = OwnedRef::consuming(
        PyUnicode_FromStringAndSize(entry.name.data(), static_cast<Py_ssize_t>(entry.name.size())));
    if (!code || !name || PyDict_SetItem(dict.borrow(), name.borrow(), code.borrow()) < 0) return {};
  }
  return dict;
}

}  // namespace

PyResult<void> add_option_tables(PyObject* module) noexcept {
  const OwnedRef coders = code_dict(quillmere::kCoderNames);
  if (!coders) return exception_set();
  // The lossless integer unit is the channel library's, not the codec's,
  // but it is named in the same field.
  const OwnedRef integer = OwnedRef::consuming(PyLong_FromLong(quillmere_tools::kCoderInteger));
  if (!integer || PyDict_SetItemString(coders.borrow(), "integer", integer.borrow()) < 0) {
    return exception_set();
  }
  OwnedRef methods = code_dict(quillmere::kMethodNames);
  OwnedRef cutoffs = code_dict(quillmere::kCutoffNames);
  if (!methods || !cutoffs) return exception_set();
  OwnedRef tables = OwnedRef::consuming(Py_BuildValue(
      "{s:O,s:O,s:O,s:(ii),s:i}", "method", methods.borrow(), "cutoff", cutoffs.borrow(),
      "coder", coders.borrow(),
      "scale_range", static_cast<int>(quillmere::kMinScale), static_cast<int>(quillmere::kMaxScale),
      "default_scale", static_cast<int>(quillmere::kDefaultScale)));
  if (!tables) return exception_set();
  if (PyModule_AddObject(module, "option_codes", tables.borrow()) < 0) return exception_set();
  tables.release();
  return {};
}

PyResult<void> add_result_types(PyObject* module) noexcept {
  if (g_report_type == nullptr) g_report_type = PyStructSequence_NewType(&kReportDesc);
  if (g_report_type == nullptr) return exception_set();
  if (g_layout_type == nullptr) g_layout_type = PyStructSequence_NewType(&kLayoutDesc);
  if (g_layout_type == nullptr) return exception_set();
  // PyModule_AddObject steals a reference on success only; the static one
  // stays ours either way.
  for (const auto& [name, type] : {std::pair{"UnitReport", g_report_type}, std::pair{"UnitLayout", g_layout_type}}) {
    Py_INCREF(type);
    if (PyModule_AddObject(module, name, reinterpret_cast<PyObject*>(type)) < 0) {
      Py_DECREF(type);
      return exception_set();
    }
  }
  return {};
}

OwnedRef report_of(const quillmere_tools::UnitReport& r) noexcept {
  return struct_sequence(
      g_report_type,
      {PyLong_FromLong(static_cast<long>(r.method)), PyLong_FromLong(static_cast<long>(r.scale)),
       PyLong_FromLong(static_cast<long>(r.cutoff)), PyLong_FromLong(static_cast<long>(r.coder_id)),
       PyFloat_FromDouble(static_cast<double>(r.multiplier)), PyBool_FromLong(r.measured),
       PyFloat_FromDouble(r.max_error), PyFloat_FromDouble(r.rmse), PyFloat_FromDouble(r.prd),
       PyFloat_FromDouble(r.psnr), PyLong_FromSize_t(r.corrected_samples),
       PyLong_FromSize_t(r.container_bytes),
       r.offset ? PyFloat_FromDouble(*r.offset) : new_ref(Py_None),
       PyLong_FromSize_t(r.non_finite_samples)});
}

OwnedRef layout_of(const quillmere_tools::UnitLayout& layout) noexcept {
  OwnedRef sizes = OwnedRef::consuming(PyTuple_New(static_cast<Py_ssize_t>(layout.block_bytes.size())));
  if (!sizes) return {};
  for (std::size_t i = 0; i < layout.block_bytes.size(); ++i) {
    PyObject* v = PyLong_FromUnsignedLongLong(layout.block_bytes[i]);
    if (v == nullptr) return {};
    PyTuple_SET_ITEM(sizes.borrow(), static_cast<Py_ssize_t>(i), v);
  }
  return struct_sequence(
      g_layout_type,
      {PyLong_FromUnsignedLongLong(layout.sample_count),
       PyBool_FromLong(layout.precision == quillmere_tools::Precision::Float64),
       PyLong_FromUnsignedLong(layout.block_length), sizes.release()});
}

}  // namespace quillmere_tools_py
