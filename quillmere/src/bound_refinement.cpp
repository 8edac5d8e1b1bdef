#include "bound_refinement.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "bound_sparsening.hpp"
#include "quantizer.hpp"
#include "vector_clones.hpp"

namespace quillmere::refine {
namespace {

// Outliers are pulled towards this fraction of the bound, not to its edge:
// only whole steps move, so a pull to the edge rarely adds up to one and
// leaves nearly every outlier where it was (0.3 removed 3 to 10 times more
// outliers than 0.7 on speech).
constexpr double kTargetFraction = 0.3;
// A pass whose moves change fewer than this share of the values is not
// judged. Where the excess is a small part of a step nearly everywhere
// (speech at 0.1 % and 1 % of the range through the search over every
// method and coder: 0 to 25 of 68,000 to 113,000 values changed) the pass,
// transform and judgement together, took about a third of the search's CPU
// time for a few bytes either way once values were also zeroed.
constexpr double kJudgedFromShare = 0.01;
// Values are moved only where at least this share of the samples lies
// outside the bound: the speech cases above had 3 % to 6 % outside, while
// the search's defaults (dead zone, fast coder) leave 14 % to 23 % on the
// librivox signals, where the pass takes 3 % to 8 % off the size.
constexpr double kMovedFromShare = 0.05;
// The largest magnitude stepped towards zero: a step from above saves
// under a bit, and magnitudes up to 3 gave two thirds of the bytes saved.
constexpr int kLargestStepped = 15;
// The payload weight as measured, within these limits: a coder far better
// or worse than the estimate on a part of the bands is an outlier, not a
// price to trade corrections at.
constexpr double kLightest = 0.25;
constexpr double kHeaviest = 4.0;
// Values step only where at most this share of the samples lies outside
// the bound. Beyond it the corrections are a large part of the bytes, and
// the flat price per corrected sample the steps are weighed by strays from
// what the corrections' coder makes of them: on alsa speech at 0.1 % of the
// range (17 % to 28 % outside) the steps made the result up to 0.8 % larger.
constexpr double kSteppedUpToShare = 0.1;

// std::nearbyint of either sign without its library call, once per
// coefficient: rounding to nearest is symmetric, so the magnitude is rounded.
inline double rounded(double x) { return std::copysign(round_half_even(std::fabs(x)), x); }

// Buffers of the signal's length that the refinement keeps with its thread
// from one search to the next: the moved and the zeroed bands, the excess
// and its transform. Fresh ones per search cost the pages' faults each time,
// as much as two judgements on speech of 7 * 10^4 samples.
struct Kept {
  stages::QuantisedBands moved;
  stages::QuantisedBands shrunk;
  std::vector<float> excess;
  // The excess's approximation and details of each level.
  std::vector<std::vector<float>> approximation;
  std::vector<std::vector<float>> details;
};

// Past this many samples the buffers are released after each search, as
// the zeroing's are: a long signal's fresh pages are a small share of its
// search, and a thread should not hold them for the longest it ever saw.
constexpr std::size_t kKeptUpTo = std::size_t{1} << 18;

Kept& kept() {
  thread_local Kept k;
  return k;
}

struct ReleaseIfLong {
  Kept& k;
  ~ReleaseIfLong() {
    if (k.excess.capacity() > kKeptUpTo || k.moved.coeffs.capacity() > kKeptUpTo) k = Kept{};
  }
};

// The transform of `input` to `depth` levels into the kept bands, exactly as
// stages::decompose computes them (the same forward steps on the same
// values), without the extremes the saturation rule needs. False when the
// transform fails or memory runs out.
bool transform_into(const wavelet::DwtExecutor& executor, std::span<const float> input,
                    std::uint8_t depth, Kept& k) {
  try {
    k.approximation.resize(depth);
    k.details.resize(depth);
    std::span<const float> in = input;
    for (std::size_t level = 0; level < depth; ++level) {
      const auto size = executor.dwt_size(in.size());
      k.approximation[level].resize(size.approximation);
      k.details[level].resize(size.details);
      if (!executor.execute_forward(in, k.approximation[level], k.details[level])) return false;
      in = k.approximation[level];
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

// One value of add_moves.
inline std::int16_t moved_value(float step, float m, std::int16_t base) {
  const double was = static_cast<double>(base);
  const double v = was + rounded(static_cast<double>(step * m));
  // A move the float range cannot hold leaves the value where it was.
  return std::isfinite(v) ? static_cast<std::int16_t>(std::clamp(v, -32768.0, 32767.0)) : base;
}

using Floats4 = float __attribute__((vector_size(16)));
using Doubles4 = double __attribute__((vector_size(32)));
using Bits4 = std::int64_t __attribute__((vector_size(32)));
using Shorts4 = std::int16_t __attribute__((vector_size(8)));
using Ints4 = std::int32_t __attribute__((vector_size(16)));

}  // namespace

// Four values at a time, written as vectors (the compiler left the loop of
// moved_value scalar), compiled for AVX2 beside the baseline: each lane
// converts, multiplies, adds and compares exactly as moved_value does, so
// every build gives the same values.
QUILLMERE_VECTOR_CLONES
std::size_t add_moves(std::span<const float> step, float m, std::span<const std::int16_t> base,
                      std::span<std::int16_t> to) {
  constexpr double kWhole = 4503599627370496.0;  // 2^52, as round_half_even
  const Bits4 sign_bit = {INT64_MIN, INT64_MIN, INT64_MIN, INT64_MIN};
  const Doubles4 whole = {kWhole, kWhole, kWhole, kWhole};
  const Doubles4 lowest = {-32768.0, -32768.0, -32768.0, -32768.0};
  const Doubles4 highest = {32767.0, 32767.0, 32767.0, 32767.0};
  const double top = std::numeric_limits<double>::max();
  const Doubles4 finite_edge = {top, top, top, top};
  const Floats4 m4 = {m, m, m, m};
  // Per lane: -1 for each changed value, summed once at the end.
  Bits4 changed4 = {0, 0, 0, 0};
  std::size_t i = 0;
  for (; i + 4 <= step.size(); i += 4) {
    Floats4 s;
    Shorts4 b;
    std::memcpy(&s, step.data() + i, sizeof s);
    std::memcpy(&b, base.data() + i, sizeof b);
    const Doubles4 x = __builtin_convertvector(s * m4, Doubles4);
    const Bits4 sign = reinterpret_cast<Bits4>(x) & sign_bit;
    const auto magnitude = reinterpret_cast<Doubles4>(reinterpret_cast<Bits4>(x) & ~sign_bit);
    const Doubles4 rounded_magnitude = magnitude < whole ? (magnitude + whole) - whole : magnitude;
    const auto r = reinterpret_cast<Doubles4>(reinterpret_cast<Bits4>(rounded_magnitude) | sign);
    const Doubles4 was = __builtin_convertvector(b, Doubles4);
    const Doubles4 v = was + r;
    const auto v_magnitude = reinterpret_cast<Doubles4>(reinterpret_cast<Bits4>(v) & ~sign_bit);
    const Doubles4 clamped = v < lowest ? lowest : (highest < v ? highest : v);
    const Doubles4 held = v_magnitude <= finite_edge ? clamped : was;
    // held is a whole number inside the 16-bit range, so the packed
    // conversion through 32 bits gives exactly what one through 64 would.
    const Shorts4 out = __builtin_convertvector(__builtin_convertvector(held, Ints4), Shorts4);
    std::memcpy(to.data() + i, &out, sizeof out);
    changed4 += held != was;
  }
  auto changed = static_cast<std::size_t>(-((changed4[0] + changed4[1]) + (changed4[2] + changed4[3])));
  for (; i < step.size(); ++i) {
    to[i] = moved_value(step[i], m, base[i]);
    changed += to[i] != base[i];
  }
  return changed;
}

QUILLMERE_VECTOR_CLONES
void excess_beyond(const Originals& originals, std::span<const float> decoded, double target,
                   double range, std::span<float> out) {
  const std::size_t n = std::min(decoded.size(), out.size());
  std::fill(out.begin() + static_cast<std::ptrdiff_t>(n), out.end(), 0.0f);
  const double scale = 1.0 / range;
  // Branch-free: a share of the samples lies beyond the target, scattered
  // as if at random, and a mispredicted branch per sample made this pass as
  // dear as several judgements. A non-finite error (a non-finite original
  // or reconstruction) fails the comparison and gives +0.
  const auto put = [&](std::size_t i, double e) {
    const auto pulled = static_cast<float>((e - std::copysign(target, e)) * scale);
    const double a = std::fabs(e);
    const std::uint32_t keep = (a > target) & (a < HUGE_VAL) ? ~std::uint32_t{0} : 0;
    out[i] = std::bit_cast<float>(std::bit_cast<std::uint32_t>(pulled) & keep);
  };
  if (originals.is_double()) {
    const auto x = originals.f64();
    const double offset = originals.offset();
    for (std::size_t i = 0; i < n; ++i) put(i, x[i] - (static_cast<double>(decoded[i]) + offset));
  } else {
    const auto x = originals.f32();
    for (std::size_t i = 0; i < n; ++i) {
      put(i, static_cast<double>(x[i]) - static_cast<double>(decoded[i]));
    }
  }
}

SearchOutcome<Refined> refine(const Problem& p, const stages::QuantisedBands& start,
                              std::span<const float> start_decoded, Judged first, const JudgeFn& judge) {
  Refined best{{}, std::move(first), 0};
  // The samples of what is kept so far.
  const auto kept_samples = [&]() -> std::span<const float> {
    return best.kept == 0 ? start_decoded : std::span<const float>(best.judged.decoded);
  };
  const double range = static_cast<double>(p.max) - static_cast<double>(p.min);
  if (!(range > 0.0) || !(p.bound > 0.0) || p.depth == 0) return best;
  const stages::Decomposition& d = *p.decomposition;
  std::size_t total = d.approximation[p.depth - 1].size();
  for (std::size_t level = 0; level < p.depth; ++level) total += d.details[level].size();
  if (total != start.coeffs.size()) return best;  // not the layout quantised
  Kept& k = kept();
  const ReleaseIfLong release{k};
  // The bands kept so far: the plain quantisation until a change pays.
  const stages::QuantisedBands* current = &start;
  int calls = 0;
  const bool moves = static_cast<double>(p.outliers) >=
                     kMovedFromShare * static_cast<double>(start_decoded.size());
  // One pass of moves: a second never changed a result on the benchmark
  // signals, and each costs about a judgement.
  if (moves && p.outliers > 0) {
    try {
      k.excess.resize(d.transform_len);
      k.moved.coeffs.resize(total);
    } catch (const std::bad_alloc&) {
      return best;  // the plain quantisation stands
    }
    excess_beyond(*p.originals, start_decoded, kTargetFraction * p.bound, range, k.excess);
    const bool any = std::any_of(k.excess.begin(), k.excess.end(), [](float v) { return v != 0.0f; });
    // The transform is linear and the decoder's synthesis inverts it, so the
    // excess's own coefficients, added, cancel it before rounding.
    if (any && transform_into(*p.executor, k.excess, p.depth, k)) {
      k.moved.layout = start.layout;
      k.moved.levels = start.levels;
      // Container order: the deepest approximation, then the details from
      // the finest level.
      std::size_t at = 0;
      std::size_t changed = 0;
      const auto band = [&](const std::vector<float>& step) {
        const std::span<const std::int16_t> base(start.coeffs.data() + at, step.size());
        changed += add_moves(step, p.m, base, std::span<std::int16_t>(k.moved.coeffs.data() + at, step.size()));
        at += step.size();
      };
      band(k.approximation[p.depth - 1]);
      for (std::size_t level = 0; level < p.depth; ++level) band(k.details[level]);
      if (static_cast<double>(changed) >= kJudgedFromShare * static_cast<double>(total)) {
        auto judged = judge(k.moved);
        ++calls;
        if (!judged) return std::unexpected(judged.error());
        if (judged->bytes < best.judged.bytes) {
          best.judged = std::move(*judged);
          best.kept = calls;
          current = &k.moved;
        }
      }
    }
  }
  // Values the bound does not need go last, or step towards zero where the
  // payload they save outweighs the corrections they add: the moves above
  // may have added slack as well as values.
  const auto try_shrinking = [&](const Shrinking& how) -> SearchOutcome<bool> {
    k.shrunk.coeffs.assign(current->coeffs.begin(), current->coeffs.end());
    k.shrunk.layout = current->layout;
    k.shrunk.levels = current->levels;
    if (sparsen(p, kept_samples(), k.shrunk, how).moved == 0) return false;
    auto judged = judge(k.shrunk);
    ++calls;
    if (!judged) return std::unexpected(judged.error());
    if (!(judged->bytes < best.judged.bytes)) return false;
    // The zeroed bands become the kept ones; what they replace is free to
    // take the next zeroing.
    std::swap(k.moved, k.shrunk);
    current = &k.moved;
    best.judged = std::move(*judged);
    best.kept = calls;
    return true;
  };
  const bool few_outside = static_cast<double>(best.judged.outliers) <=
                           kSteppedUpToShare * static_cast<double>(start_decoded.size());
  bool rated_kept = false;
  if (p.payload_weight > 0.0 && few_outside) {
    auto rated = try_shrinking({std::clamp(p.payload_weight, kLightest, kHeaviest), kLargestStepped});
    if (!rated) return std::unexpected(rated.error());
    rated_kept = *rated;
  }
  // Where the estimate rejects the trade, the values free to go still may.
  if (!rated_kept) {
    auto free = try_shrinking({});
    if (!free) return std::unexpected(free.error());
  }
  if (best.kept > 0) best.bands.coeffs.assign(current->coeffs.begin(), current->coeffs.end());
  return best;
}

}  // namespace quillmere::refine
