// The request quillmere_tools.units.channel hands over and the report it gets
// back, both by name: the request is any object with the attributes below (the
// tools pass a NamedTuple), the report a struct sequence, and _native.pyi types
// both, so the type checker sees every caller. Python names the values; this
// side checks their ranges.
//
// request attributes:
//   method_code, scale, cutoff_code,
//   coder_code                         as CodecOptions stores them
//   quant_multiplier                   float or None
//   max_error, rmse, prd, psnr,
//   bits_per_sample                    each a float or None
//   method_codes, coder_codes          tuples of codes; empty means the one above
//   split_trailing_run                 true for hosts that pad chunks with one value
//   grid_step                          the code step of a source stored as
//                                      integers, or None
// codes: method cdf53 0, cdf97 1, db4 2, sym4 3; cutoff low 0, medium 1,
// high 2; coder deflate 0, arans 1, cmodel 2, fast 3, auto 255; and integer 4,
// the channel library's lossless integer unit (as the coder: that unit or an
// error; among the candidates: weighed by size).
#pragma once

#include <Python.h>

#include "native_errors.hpp"
#include "owned_ref.hpp"
#include "quillmere_tools/blocked_unit.hpp"
#include "quillmere_tools/channel_unit.hpp"

namespace quillmere_tools_py {

PyResult<quillmere_tools::UnitRequest> request_from(PyObject* request) noexcept;

// Creates the UnitReport and UnitLayout struct sequence types and adds them
// to the module. Called once, from the module's exec slot.
// option_codes: the codec's option tables as {"method": {name: code}, ...},
// so the Python settings keep no list of their own.
PyResult<void> add_option_tables(PyObject* module) noexcept;

PyResult<void> add_result_types(PyObject* module) noexcept;

// A UnitReport: method_code, scale, cutoff_code, coder_code, quant_multiplier, measured,
// max_error, rmse, prd, psnr, corrected_samples, container_bytes, offset
// (or None), non_finite_samples.
quillmere_py::OwnedRef report_of(const quillmere_tools::UnitReport& report) noexcept;

// A UnitLayout: sample_count, is_float64, block_length (0 for a plain unit),
// block_bytes (a tuple of each block's byte length).
quillmere_py::OwnedRef layout_of(const quillmere_tools::UnitLayout& layout) noexcept;

}  // namespace quillmere_tools_py
