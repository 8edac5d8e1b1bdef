// The settings tuple that quillmere_tools.frames builds, and the report tuple
// it gets back. Python names the values; this side checks their ranges.
//
// config: (method, scale, cutoff, coder, quant_multiplier or None,
//          max_error, rmse, prd, psnr, bits_per_sample (each a float or None),
//          methods, coders (tuples of codes; empty means those of the first four),
//          split_trailing_run (true for hosts that pad chunks with one value),
//          grid_step (the code step of a source stored as integers, or None))
// codes as CodecOptions stores them: method cdf53 0, cdf97 1, db4 2, sym4 3;
// cutoff low 0, medium 1, high 2; coder deflate 0, arans 1, cmodel 2, fast 3,
// auto 255; and integer 4, the channel library's lossless integer unit (as
// the coder: that unit or an error; among the candidates: weighed by size).
#pragma once

#include <Python.h>

#include "native_errors.hpp"
#include "owned_ref.hpp"
#include "quillmere_tools/channel_unit.hpp"

namespace quillmere_tools_py {

PyResult<quillmere_tools::UnitRequest> request_from_config(PyObject* config) noexcept;

// (method, scale, cutoff, coder_id, multiplier, measured, max_error, rmse,
//  prd, psnr, corrected_samples, container_bytes, offset or None,
//  non_finite_samples)
quillmere_py::OwnedRef report_tuple(const quillmere_tools::UnitReport& report) noexcept;

}  // namespace quillmere_tools_py
