#include "quillmere_tools/coded_samples.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "quillmere/forward_error.hpp"

namespace quillmere_tools {
namespace {

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", v);
  return text;
}

std::size_t count_of(std::span<const NonFiniteRun> runs) {
  std::size_t n = 0;
  for (const NonFiniteRun& run : runs) n += run.length;
  return n;
}

// The codec normalises by (max - min) in float32; past FLT_MAX that is an
// infinity and every sample would decode as NaN.
// The samples are finite here, so lanes may scan them in any order.
UnitResult<void> check_float32_range(std::span<const float> s) {
  constexpr std::size_t kLanes = 16;
  float lanes_lo[kLanes], lanes_hi[kLanes];
  std::fill_n(lanes_lo, kLanes, std::numeric_limits<float>::infinity());
  std::fill_n(lanes_hi, kLanes, -std::numeric_limits<float>::infinity());
  std::size_t i = 0;
  for (; i + kLanes <= s.size(); i += kLanes) {
    for (std::size_t j = 0; j < kLanes; ++j) {
      lanes_lo[j] = std::min(lanes_lo[j], s[i + j]);
      lanes_hi[j] = std::max(lanes_hi[j], s[i + j]);
    }
  }
  for (std::size_t j = 0; i < s.size(); ++i, ++j) {
    lanes_lo[j] = std::min(lanes_lo[j], s[i]);
    lanes_hi[j] = std::max(lanes_hi[j], s[i]);
  }
  const float lo = *std::min_element(lanes_lo, lanes_lo + kLanes);
  const float hi = *std::max_element(lanes_hi, lanes_hi + kLanes);
  if (!s.empty() && std::isinf(hi - lo)) {
    return unit_error(UnitErrorKind::BadInput,
                      "the signal's range (" + number(lo) + " to " + number(hi) +
                          ") exceeds what float32 can span; scale the signal down");
  }
  return {};
}

UnitResult<CodedSamples> from_float32(std::span<const float> x) {
  CodedSamples out;
  out.runs = find_non_finite(x);
  out.non_finite_samples = count_of(out.runs);
  if (out.runs.empty()) {
    out.samples = x;
  } else {
    out.owned.assign(x.begin(), x.end());
    fill_non_finite(out.owned, out.runs);
    out.samples = out.owned;
  }
  QUILLMERE_TRY_VOID(check_float32_range(out.samples));
  return out;
}

UnitResult<CodedSamples> from_float64(std::span<const double> x) {
  CodedSamples out;
  out.precision = Precision::Float64;
  out.runs = find_non_finite(x);
  out.non_finite_samples = count_of(out.runs);

  double lo = std::numeric_limits<double>::infinity();
  double hi = -lo;
  for (double v : x) {
    if (!std::isfinite(v)) continue;
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  if (lo <= hi) {
    const double magnitude = std::max(std::fabs(lo), std::fabs(hi));
    // Halves first: hi - lo itself may overflow.
    const double half_range = 0.5 * hi - 0.5 * lo;
    const bool beyond_float32 = magnitude > std::numeric_limits<float>::max();
    const double middle = 0.5 * lo + 0.5 * hi;
    if ((beyond_float32 || magnitude > kOffsetRatio * 2.0 * half_range) && middle != 0.0) {
      out.offset = middle;
    }
  }
  const double offset = out.offset.value_or(0.0);

  out.owned.resize(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (!std::isfinite(x[i])) continue;
    const float v = static_cast<float>(x[i] - offset);
    if (std::isinf(v)) {
      std::string message = "float64 sample " + number(x[i]) + " at index " + std::to_string(i) +
                            " is beyond float32's range";
      if (out.offset) message += " even after subtracting the offset " + number(offset);
      return unit_error(UnitErrorKind::BadInput, message + "; scale the signal down");
    }
    out.owned[i] = v;
  }
  fill_non_finite(out.owned, out.runs);
  out.samples = out.owned;
  QUILLMERE_TRY_VOID(check_float32_range(out.samples));
  return out;
}

}  // namespace

UnitResult<CodedSamples> prepare_samples(SignalView x) {
  const std::size_t n = std::visit([](auto s) { return s.size(); }, x);
  if (n == 0) return unit_error(UnitErrorKind::BadInput, "cannot compress an empty signal");
  if (n > quillmere::kMaxSampleCount) return std::unexpected(UnitError::too_many_samples(n));
  if (const auto* f32 = std::get_if<std::span<const float>>(&x)) return from_float32(*f32);
  return from_float64(std::get<std::span<const double>>(x));
}

}  // namespace quillmere_tools
