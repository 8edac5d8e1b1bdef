#include "filter_params.hpp"

#include "quillmere/header.hpp"

#include <bit>
#include <cmath>
#include <cstdio>

namespace quillmere::hdf5 {

namespace {

const char* field_name(std::size_t index) noexcept {
  static constexpr const char* names[kParamCount] = {
      "layout version", "element type", "samples per chunk", "method", "scale", "cutoff",
      "coder", "flags", "quant_multiplier", "max_error (low word)", "max_error (high word)"};
  return index < kParamCount ? names[index] : "?";
}

const char* expectation(ParamError::Kind kind) noexcept {
  switch (kind) {
    case ParamError::Kind::Count: return "";
    case ParamError::Kind::Version: return "expected 1";
    case ParamError::Kind::Element: return "expected 0..4";
    case ParamError::Kind::ChunkSamples: return "expected at most 2147483647";
    case ParamError::Kind::Method: return "expected 0..3 (cdf53, cdf97, db4, sym4)";
    case ParamError::Kind::Scale: return "expected 6..12";
    case ParamError::Kind::Cutoff: return "expected 0..2 (low, medium, high)";
    case ParamError::Kind::Coder: return "expected 0, 1, 2 or 255 (deflate, arans, cmodel, auto)";
    case ParamError::Kind::Flags:
      return "expected 0, 1 (quant_multiplier) or 2 (max_error): the search picks the multiplier";
    case ParamError::Kind::Multiplier: return "expected 0 when flags bit 0 is clear";
    case ParamError::Kind::MaxError:
      return "expected a positive finite float64 when flags bit 1 is set, else 0";
  }
  return "";
}

ParamError fault(ParamError::Kind kind, std::size_t index, std::uint32_t value) {
  return ParamError{kind, index, value};
}

}  // namespace

std::string ParamError::message() const {
  if (kind == Kind::Count) {
    return "quillmere filter: " + std::to_string(value) + " cd_values given, expected " +
           std::to_string(kParamCount);
  }
  if (kind == Kind::MaxError) {
    char shown[40];
    std::snprintf(shown, sizeof shown, "%.17g", std::bit_cast<double>(value));
    return std::string("quillmere filter: cd_values[9..10] (max_error) hold ") + shown + ", " +
           expectation(kind);
  }
  return "quillmere filter: cd_values[" + std::to_string(index) + "] (" + field_name(index) +
         ") is " + std::to_string(value) + ", " + expectation(kind);
}

std::expected<FilterParams, ParamError> parse_params(std::span<const unsigned> cd) {
  using K = ParamError::Kind;
  if (cd.size() != kParamCount) return std::unexpected(ParamError{K::Count, 0, cd.size()});
  if (cd[param::kVersion] != kLayoutVersion)
    return std::unexpected(fault(K::Version, param::kVersion, cd[param::kVersion]));

  FilterParams p;
  if (cd[param::kElement] > 4)
    return std::unexpected(fault(K::Element, param::kElement, cd[param::kElement]));
  p.element = static_cast<ElementType>(cd[param::kElement]);
  if (cd[param::kChunkSamples] > kMaxSampleCount)
    return std::unexpected(fault(K::ChunkSamples, param::kChunkSamples, cd[param::kChunkSamples]));
  p.chunk_samples = cd[param::kChunkSamples];

  if (cd[param::kMethod] > 3)
    return std::unexpected(fault(K::Method, param::kMethod, cd[param::kMethod]));
  p.options.method = static_cast<Method>(cd[param::kMethod]);
  if (cd[param::kScale] > 255 || !is_supported_scale(static_cast<std::uint8_t>(cd[param::kScale])))
    return std::unexpected(fault(K::Scale, param::kScale, cd[param::kScale]));
  p.options.scale = static_cast<std::uint8_t>(cd[param::kScale]);
  if (cd[param::kCutoff] > 2)
    return std::unexpected(fault(K::Cutoff, param::kCutoff, cd[param::kCutoff]));
  p.options.cutoff = static_cast<Cutoff>(cd[param::kCutoff]);
  const unsigned coder = cd[param::kCoder];
  if (coder > quillmere::kLastToolsCoder && coder != 255) return std::unexpected(fault(K::Coder, param::kCoder, coder));
  p.options.coder = static_cast<Coder>(coder);

  const unsigned flags = cd[param::kFlags];
  if (flags > kFlagMaxError)
    return std::unexpected(fault(K::Flags, param::kFlags, flags));

  // The codec takes any float32 multiplier (zero, negative, NaN) and so does
  // the filter: the same options must give the same bytes everywhere.
  if (flags & kFlagMultiplier) {
    p.options.quant_multiplier = std::bit_cast<float>(std::uint32_t{cd[param::kMultiplier]});
  } else if (cd[param::kMultiplier] != 0) {
    return std::unexpected(fault(K::Multiplier, param::kMultiplier, cd[param::kMultiplier]));
  }

  const std::uint64_t bound_bits =
      std::uint64_t{cd[param::kMaxErrorLow]} | (std::uint64_t{cd[param::kMaxErrorHigh]} << 32);
  if (flags & kFlagMaxError) {
    const double bound = std::bit_cast<double>(bound_bits);
    if (!(std::isfinite(bound) && bound > 0.0))
      return std::unexpected(ParamError{K::MaxError, param::kMaxErrorLow, bound_bits});
    p.max_error = bound;
  } else if (bound_bits != 0) {
    return std::unexpected(ParamError{K::MaxError, param::kMaxErrorLow, bound_bits});
  }
  return p;
}

}  // namespace quillmere::hdf5
