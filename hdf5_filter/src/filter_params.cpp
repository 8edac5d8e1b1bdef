#include "filter_params.hpp"

#include <zlib.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>

#include "quillmere/forward_error.hpp"
#include "quillmere/header.hpp"
#include "quillmere/option_table.hpp"

namespace quillmere::hdf5 {

namespace {

using K = ParamError::Kind;

constexpr std::array<const char*, kParamCount> kNames = {
    "layout version", "element type", "samples per chunk", "frames per chunk", "channel stride",
    "time axis", "method", "scale", "cutoff", "coder", "flags", "quant_multiplier",
    "max_error", "max_error", "rmse", "rmse", "prd", "prd", "psnr", "psnr",
    "bits_per_sample", "bits_per_sample", "reserved", "check word"};

constexpr std::array<const char*, kLegacyParamCount> kLegacyNames = {
    "layout version", "element type", "samples per chunk", "method", "scale", "cutoff",
    "coder", "flags", "quant_multiplier", "max_error", "max_error"};

// "0..3 (cdf53, cdf97, db4, sym4)": the codes in order, then their names.
template <class Code, std::size_t N>
std::string codes_and_names(const std::array<NamedOption<Code>, N>& table) {
  std::string names;
  for (std::size_t code = 0; code < N; ++code) {
    if (code > 0) names += ", ";
    names += option_name(table, static_cast<Code>(code));
  }
  return "0.." + std::to_string(N - 1) + " (" + names + ")";
}

std::string expectation(K kind) {
  switch (kind) {
    case K::Count: return "";
    case K::Version: return "expected 1 or 2";
    case K::Element: return "expected 1..4 (f32 LE, f64 LE, f32 BE, f64 BE)";
    case K::ChunkSamples: return "expected 1 to " + std::to_string(kMaxSampleCount);
    case K::Frames: return "expected a divisor of the samples per chunk";
    case K::Stride: return "expected a divisor of the channels per chunk";
    case K::TimeAxis: return "expected 0..31, an axis of the chunk";
    case K::Method: return "expected " + codes_and_names(kMethodNames);
    case K::Scale: return "expected " + std::to_string(kMinScale) + ".." + std::to_string(kMaxScale);
    case K::Cutoff: return "expected " + codes_and_names(kCutoffNames);
    case K::Coder: return "expected 0, 1, 2, 3 or 255 (deflate, arans, cmodel, fast, auto)";
    case K::Flags:
      return "expected known bits only, a fraction-of-range bit only with its bound, and the "
             "multiplier bit with no bound (a bound makes the search pick the multiplier)";
    case K::Multiplier:
      return "expected 0, or the bits of a positive normal finite float32 when flags bit 0 is "
             "set";
    case K::Bound:
      return "expected 0 when its flag is clear, else a finite float64, positive except for "
             "psnr";
    case K::Reserved: return "expected 0";
    case K::Check: return "";
  }
  return "";
}

ParamError fault(K kind, std::size_t index, std::uint64_t value) {
  return ParamError{kind, index, value, 0};
}

double as_double(std::span<const unsigned> cd, std::size_t at) {
  return std::bit_cast<double>(std::uint64_t{cd[at]} | (std::uint64_t{cd[at + 1]} << 32));
}

std::uint64_t pair_bits(std::span<const unsigned> cd, std::size_t at) {
  return std::uint64_t{cd[at]} | (std::uint64_t{cd[at + 1]} << 32);
}

// A multiplier the codec can use as stored: 0 (a constant output, asked for
// explicitly) or a positive normal float32. NaN, infinities, negatives and
// subnormals would fail every chunk, or quantise everything to nothing.
bool usable_multiplier(std::uint32_t bits) {
  if (bits == 0) return true;
  const float m = std::bit_cast<float>(bits);
  return std::isfinite(m) && m >= std::numeric_limits<float>::min();
}

// Method, scale, cutoff and coder sit at `first`..`first+3` in both layouts.
std::expected<CodecOptions, ParamError> codec_words(std::span<const unsigned> cd,
                                                    std::size_t first) {
  CodecOptions o;
  if (cd[first] > 3) return std::unexpected(fault(K::Method, first, cd[first]));
  o.method = static_cast<Method>(cd[first]);
  const unsigned scale = cd[first + 1];
  if (scale > 255 || !is_supported_scale(static_cast<std::uint8_t>(scale)))
    return std::unexpected(fault(K::Scale, first + 1, scale));
  o.scale = static_cast<std::uint8_t>(scale);
  if (cd[first + 2] > 2) return std::unexpected(fault(K::Cutoff, first + 2, cd[first + 2]));
  o.cutoff = static_cast<Cutoff>(cd[first + 2]);
  const unsigned coder = cd[first + 3];
  if (coder > quillmere::kLastToolsCoder && coder != 255)
    return std::unexpected(fault(K::Coder, first + 3, coder));
  o.coder = static_cast<Coder>(coder);
  return o;
}

// One bound's two words: empty when its flag is clear (the words must then
// be 0), else a finite value, positive unless negatives mean something.
std::expected<std::optional<double>, ParamError> bound_words(std::span<const unsigned> cd,
                                                             std::size_t at, bool given,
                                                             bool may_be_negative) {
  const std::uint64_t bits = pair_bits(cd, at);
  if (!given) {
    if (bits != 0) return std::unexpected(fault(K::Bound, at, bits));
    return std::optional<double>{};
  }
  const double v = as_double(cd, at);
  if (!std::isfinite(v) || (!may_be_negative && !(v > 0.0)))
    return std::unexpected(fault(K::Bound, at, bits));
  return std::optional<double>{v};
}

std::expected<FilterParams, ParamError> parse_legacy(std::span<const unsigned> cd) {
  FilterParams p;
  p.layout = kLegacyLayoutVersion;
  if (cd[1] > 4) return std::unexpected(fault(K::Element, 1, cd[1]));
  p.element = static_cast<ElementType>(cd[1]);
  if (cd[2] > kMaxSampleCount) return std::unexpected(fault(K::ChunkSamples, 2, cd[2]));
  p.chunk_samples = cd[2];
  QUILLMERE_TRY(options, codec_words(cd, 3));
  p.options = *options;
  const unsigned flags = cd[7];
  if (flags > 2) return std::unexpected(fault(K::Flags, 7, flags));
  if (!(flags & 1) && cd[8] != 0) return std::unexpected(fault(K::Multiplier, 8, cd[8]));
  if ((flags & 1) && !usable_multiplier(cd[8]))
    return std::unexpected(fault(K::Multiplier, 8, cd[8]));
  if (flags & 1) p.options.quant_multiplier = std::bit_cast<float>(std::uint32_t{cd[8]});
  QUILLMERE_TRY(max_error, bound_words(cd, 9, (flags & 2) != 0, false));
  p.bounds.max_error = *max_error;
  return p;
}

// Words 1..4: all 0 (not yet filled in) or a consistent chunk geometry.
std::expected<void, ParamError> geometry_words(std::span<const unsigned> cd, FilterParams& p) {
  if (cd[param::kElement] < 1 || cd[param::kElement] > 4)
    return std::unexpected(fault(K::Element, param::kElement, cd[param::kElement]));
  const std::uint32_t samples = cd[param::kChunkSamples];
  if (samples == 0 || samples > kMaxSampleCount)
    return std::unexpected(fault(K::ChunkSamples, param::kChunkSamples, samples));
  const std::uint32_t frames = cd[param::kFrames];
  if (frames == 0 || samples % frames != 0)
    return std::unexpected(fault(K::Frames, param::kFrames, frames));
  const std::uint32_t stride = cd[param::kStride];
  if (stride == 0 || (samples / frames) % stride != 0)
    return std::unexpected(fault(K::Stride, param::kStride, stride));
  p.element = static_cast<ElementType>(cd[param::kElement]);
  p.chunk_samples = samples;
  p.frames = frames;
  p.stride = stride;
  return {};
}

std::expected<FilterParams, ParamError> parse_current(std::span<const unsigned> cd, Stage stage) {
  FilterParams p;
  const bool filled = cd[param::kElement] || cd[param::kChunkSamples] || cd[param::kFrames] ||
                      cd[param::kStride] || cd[param::kCheck];
  if (filled || stage == Stage::Chunk) {
    QUILLMERE_TRY_VOID(geometry_words(cd, p));
    const std::uint32_t check = check_word(cd);
    if (cd[param::kCheck] != check)
      return std::unexpected(ParamError{K::Check, param::kCheck, cd[param::kCheck], check});
  }
  if (cd[param::kTimeAxis] >= 32)
    return std::unexpected(fault(K::TimeAxis, param::kTimeAxis, cd[param::kTimeAxis]));
  p.time_axis = cd[param::kTimeAxis];
  QUILLMERE_TRY(options, codec_words(cd, param::kMethod));
  p.options = *options;

  const unsigned flags = cd[param::kFlags];
  const bool any_bound = flags & (kFlagMaxError | kFlagRmse | kFlagPrd | kFlagPsnr |
                                  kFlagBitsPerSample);
  if ((flags & ~kAllFlags) || ((flags & kFlagMaxErrorOfRange) && !(flags & kFlagMaxError)) ||
      ((flags & kFlagRmseOfRange) && !(flags & kFlagRmse)) ||
      ((flags & kFlagMultiplier) && any_bound)) {
    return std::unexpected(fault(K::Flags, param::kFlags, flags));
  }
  const unsigned multiplier = cd[param::kMultiplier];
  if ((!(flags & kFlagMultiplier) && multiplier != 0) || !usable_multiplier(multiplier))
    return std::unexpected(fault(K::Multiplier, param::kMultiplier, multiplier));
  if (flags & kFlagMultiplier) p.options.quant_multiplier = std::bit_cast<float>(multiplier);

  struct Slot {
    std::size_t at;
    std::uint32_t flag;
    bool may_be_negative;
    std::optional<double>* into;
  };
  const std::array<Slot, 5> slots = {{
      {param::kMaxError, kFlagMaxError, false, &p.bounds.max_error},
      {param::kRmse, kFlagRmse, false, &p.bounds.rmse},
      {param::kPrd, kFlagPrd, false, &p.bounds.prd},
      {param::kPsnr, kFlagPsnr, true, &p.bounds.psnr},
      {param::kBitsPerSample, kFlagBitsPerSample, false, &p.bounds.bits_per_sample},
  }};
  for (const Slot& s : slots) {
    QUILLMERE_TRY(v, bound_words(cd, s.at, (flags & s.flag) != 0, s.may_be_negative));
    *s.into = *v;
  }
  p.bounds.max_error_of_range = (flags & kFlagMaxErrorOfRange) != 0;
  p.bounds.rmse_of_range = (flags & kFlagRmseOfRange) != 0;
  if (cd[param::kReserved] != 0)
    return std::unexpected(fault(K::Reserved, param::kReserved, cd[param::kReserved]));
  return p;
}

}  // namespace

std::uint32_t check_word(std::span<const unsigned> cd) noexcept {
  std::array<std::uint8_t, param::kCheck * 4> bytes{};
  for (std::size_t i = 0; i < param::kCheck && i < cd.size(); ++i) {
    for (int b = 0; b < 4; ++b) bytes[i * 4 + b] = static_cast<std::uint8_t>(cd[i] >> (8 * b));
  }
  return static_cast<std::uint32_t>(crc32(crc32(0L, Z_NULL, 0), bytes.data(),
                                          static_cast<uInt>(bytes.size())));
}

std::string ParamError::message() const {
  if (kind == Kind::Count) {
    return "quillmere filter: " + std::to_string(value) + " cd_values given, expected " +
           std::to_string(kParamCount) + " (or " + std::to_string(kLegacyParamCount) +
           " for layout 1)";
  }
  if (kind == Kind::Check) {
    return "quillmere filter: cd_values[23] (check word) is " + std::to_string(value) +
           ", the other words give " + std::to_string(expected) +
           ": the filter's parameters were altered after the dataset was created";
  }
  // A layout-1 set names its words by that layout.
  const char* name = layout == kLegacyLayoutVersion
                         ? (index < kLegacyNames.size() ? kLegacyNames[index] : "?")
                         : (index < kNames.size() ? kNames[index] : "?");
  if (kind == Kind::Bound) {
    char shown[40];
    std::snprintf(shown, sizeof shown, "%.17g", std::bit_cast<double>(value));
    return "quillmere filter: cd_values[" + std::to_string(index) + ".." +
           std::to_string(index + 1) + "] (" + name + ") hold " + shown + ", " +
           expectation(kind);
  }
  return "quillmere filter: cd_values[" + std::to_string(index) + "] (" + name + ") is " +
         std::to_string(value) + ", " + expectation(kind);
}

std::expected<FilterParams, ParamError> parse_params(std::span<const unsigned> cd, Stage stage) {
  if (cd.empty()) return std::unexpected(ParamError{K::Count, 0, 0, 0});
  if (cd[param::kVersion] == kLegacyLayoutVersion) {
    if (cd.size() != kLegacyParamCount)
      return std::unexpected(ParamError{K::Count, 0, cd.size(), 0});
    auto p = parse_legacy(cd);
    if (!p) {
      ParamError e = p.error();
      e.layout = kLegacyLayoutVersion;
      return std::unexpected(e);
    }
    return p;
  }
  if (cd[param::kVersion] != kLayoutVersion)
    return std::unexpected(fault(K::Version, param::kVersion, cd[param::kVersion]));
  if (cd.size() != kParamCount) return std::unexpected(ParamError{K::Count, 0, cd.size(), 0});
  return parse_current(cd, stage);
}

}  // namespace quillmere::hdf5
