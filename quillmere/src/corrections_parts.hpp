// What the two forms of the corrections blob share: the header, the
// arithmetic that applies a multiple, the scan that finds the samples to
// correct, and the reading of one correction. The gamma form (version 1,
// corrections.cpp), the token form (version 2, corrections_tokens.*) and
// the flag form (corrections_flags.*) differ only in how positions and
// multiples are coded. Internal to the codec
// library; the layout is described in quillmere/corrections.hpp.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

#include "half_away_rounding.hpp"
#include "quillmere/byte_io.hpp"
#include "quillmere/corrections.hpp"

namespace quillmere::corrections::parts {

inline constexpr std::uint8_t kMagic[4] = {'Q', 'L', 'M', 'K'};
inline constexpr std::uint8_t kGammaForm = 1;
inline constexpr std::uint8_t kTokenForm = 2;
// The flag form's coding (corrections_flags.*) has no fixed header of its
// own: it is only written behind the compact one, and this number names it
// in Header::version and in the fixed blob compacted() is handed.
inline constexpr std::uint8_t kFlagForm = 4;
// The compact header (varint counts, a float32 step when it is one) around
// either coding: what a blob of a few hundred corrections spends on framing
// rather than on corrections. Its form byte names the coding.
inline constexpr std::uint8_t kCompactHeader = 3;
inline constexpr std::uint8_t kFormFloat64 = 1;
inline constexpr std::uint8_t kFormGamma = 2;
inline constexpr std::uint8_t kFormWideStep = 4;
inline constexpr std::uint8_t kFormFlags = 8;
inline constexpr std::uint8_t kKnownForms = kFormFloat64 | kFormGamma | kFormWideStep | kFormFlags;
// magic, version, form, five one-byte varints and a float32 step
inline constexpr std::size_t kSmallestCompactLen = 4 + 1 + 1 + 5 + 4 + kTrailerLen;
inline constexpr std::uint8_t kFloat32 = 0;
inline constexpr std::uint8_t kFloat64 = 1;
// Multiples beyond this are escaped: it keeps k * step exact in a double and
// a hostile k from reaching any arithmetic edge.
inline constexpr std::int64_t kMaxMultiple = std::int64_t{1} << 31;
// The step sits a hair under twice the bound, so the residual after a
// correction, at most step / 2, leaves room for the rounding of the final
// addition; samples where even that is not enough are escaped.
inline constexpr double kStepMargin = 1.0 - 1.0 / 1024.0;

inline std::uint64_t load_le64(const std::uint8_t* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store_le64(std::uint8_t* p, std::uint64_t v) noexcept { std::memcpy(p, &v, sizeof v); }

// The decoder's arithmetic, shared by the encoder's verification.
inline float corrected(float y, std::int64_t k, double step) noexcept {
  return y + static_cast<float>(static_cast<double>(k) * step);
}
inline double corrected(float y, double offset, std::int64_t k, double step) noexcept {
  return (static_cast<double>(y) + offset) + static_cast<double>(k) * step;
}

struct Header {
  // The coding of the stream (kGammaForm, kTokenForm or kFlagForm),
  // whichever header carried it.
  std::uint8_t version = 0;
  std::uint8_t precision = 0;
  std::uint32_t sample_count = 0;
  std::uint32_t corrected = 0;
  std::uint32_t escaped = 0;
  double step = 0.0;
  std::uint32_t coded_len = 0;
  // The token form's raw bits at the end of the coded bytes; the other
  // forms keep this word zero.
  std::uint32_t raw_len = 0;
  // Where the coded bytes start: kHeaderLen after the fixed header, less
  // after a compact one.
  std::size_t body_at = kHeaderLen;
  std::size_t width() const noexcept { return precision == kFloat32 ? 4 : 8; }
  std::uint64_t total() const noexcept {
    return body_at + std::uint64_t{coded_len} + std::uint64_t{escaped} * width() + kTrailerLen;
  }
};

// The header of a blob an encoder is about to seal; the counts and lengths
// were checked to fit their 32-bit fields by whoever made them.
inline Header header_of(std::uint8_t version, bool f64, std::size_t samples, std::size_t corrected,
                        std::size_t escaped, double step, std::size_t coded_len,
                        std::size_t raw_len = 0) noexcept {
  Header h;
  h.version = version;
  h.precision = f64 ? kFloat64 : kFloat32;
  h.sample_count = static_cast<std::uint32_t>(samples);
  h.corrected = static_cast<std::uint32_t>(corrected);
  h.escaped = static_cast<std::uint32_t>(escaped);
  h.step = step;
  h.coded_len = static_cast<std::uint32_t>(coded_len);
  h.raw_len = static_cast<std::uint32_t>(raw_len);
  return h;
}

// Checks magic, version, fields, lengths and the CRC.
CorrectionResult<Header> read_header(std::span<const std::uint8_t> bytes);

// Writes header and CRC around a blob whose coded bytes and escaped values
// are already in place behind kHeaderLen.
void seal(std::span<std::uint8_t> blob, const Header& h);

// The same blob behind a compact header (coded bytes and escaped values
// copied unchanged, a new CRC). `fixed` is a blob of either coding just
// sealed by this library.
std::vector<std::uint8_t> compacted(std::span<const std::uint8_t> fixed);

// The step the encoders use for a bound: a hair under twice the bound,
// rounded down to a float32 where that is a normal number, so that the
// compact header stores it in four bytes.
double step_of(double max_error) noexcept;

// One correction, decoded and validated; k = 0 marks an escape.
struct Entry {
  std::uint32_t position;
  std::int64_t k;
};

// Bit j set when sample j of the `len` (at most 64) needs a correction:
// off by more than the bound (NaN reconstructions included) with a finite
// original. Branch-free, as which samples miss follows no pattern a
// predictor could learn; fabs(x) <= max is isfinite(x).
template <bool F64>
inline std::uint64_t missed(const float* y, const float* x32, const double* x64, double offset,
                            double max_error, std::size_t len) noexcept {
  std::uint64_t mask = 0;
  for (std::size_t j = 0; j < len; ++j) {
    const double x = F64 ? x64[j] : static_cast<double>(x32[j]);
    const double r = F64 ? static_cast<double>(y[j]) + offset : static_cast<double>(y[j]);
    // Bitwise, not logical, and: && makes the compiler branch again.
    const auto off = static_cast<std::uint64_t>(!(std::fabs(x - r) <= max_error));
    const auto finite = static_cast<std::uint64_t>(std::fabs(x) <= std::numeric_limits<double>::max());
    mask |= (off & finite) << j;
  }
  return mask;
}

// Calls found(i, k, x) for every sample i to correct, in position order,
// with its multiple k (0 when it must be stored exactly) and its original x.
// With `marks` (one bit a sample, 64 a word, as missed() would set them)
// the samples to correct are taken from there: a caller that has just
// measured every sample's error lists them in that pass, and the scan then
// reads only the samples it corrects.
template <bool F64, class Found>
inline void scan(std::span<const float> decoded, const Originals& originals, double max_error,
                 double step, Found&& found, std::span<const std::uint64_t> marks = {}) {
  const std::size_t n = decoded.size();
  const double offset = originals.offset();
  const float* yp = decoded.data();
  const float* x32 = originals.f32().data();
  const double* x64 = originals.f64().data();
  const bool marked = marks.size() == (n + 63) / 64;
  for (std::size_t block = 0; block < n; block += 64) {
    const std::size_t len = std::min<std::size_t>(64, n - block);
    std::uint64_t misses =
        marked ? marks[block / 64]
        : F64  ? missed<true>(yp + block, nullptr, x64 + block, offset, max_error, len)
               : missed<false>(yp + block, x32 + block, nullptr, 0.0, max_error, len);
    for (; misses != 0; misses &= misses - 1) {
      const std::size_t i = block + static_cast<std::size_t>(std::countr_zero(misses));
      const float y = yp[i];
      const double x = F64 ? x64[i] : static_cast<double>(x32[i]);
      const double r = F64 ? static_cast<double>(y) + offset : static_cast<double>(y);
      const double qk = round_half_away((x - r) / step);
      std::int64_t k = 0;
      if (std::fabs(qk) <= static_cast<double>(kMaxMultiple)) {
        k = static_cast<std::int64_t>(qk);
        const double got = F64 ? corrected(y, offset, k, step)
                               : static_cast<double>(corrected(y, k, step));
        if (!(std::fabs(x - got) <= max_error)) k = 0;
      }
      found(i, k, x);
    }
  }
}

// Appends an escaped sample's exact value in the source's precision.
template <bool F64>
inline void keep_escape(std::vector<std::uint8_t>& escapes, double x) {
  const std::size_t at = escapes.size();
  if constexpr (F64) {
    escapes.resize(at + 8);
    store_le64(escapes.data() + at, std::bit_cast<std::uint64_t>(x));
  } else {
    escapes.resize(at + 4);
    store_le_f32(escapes.data() + at, static_cast<float>(x));
  }
}

}  // namespace quillmere::corrections::parts
