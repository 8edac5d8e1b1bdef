#include "bound_sparsening.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>

#include "vector_clones.hpp"
#include "wavelet_choice.hpp"

namespace quillmere::refine {
namespace {

// A sample counts as within the bound only this far inside it: the decoder
// rounds its synthesis and denormalisation in f32, which the shifted
// responses do not reproduce bit for bit.
constexpr double kInside = 1.0 - 1.0 / 256.0;
// A correction's weight beside its multiple's code: the gap to the previous
// corrected sample, a few bits where outliers are dense. Pricer's steps
// (4 for a sample just outside) assume 3.
constexpr int kCorrectionFlag = 3;
// Response values below this share of the band's peak are left out of its
// support: they are rounding noise of the synthesis, not filter taps.
constexpr float kNegligible = 1e-6f;
// The length, in filter lengths of a band's stride, of the transform its
// response is measured on: the response spans under one such length.
constexpr std::size_t kResponseSpan = 4;
// Bands whose response transform would be longer than this share of the
// signal's are left as they are (see sparsen).
constexpr std::size_t kDeepestShare = 8;
// Nor any band whose response transform would be longer than this: each of
// its values costs a pass over that many samples, and on the speech signals
// the bands beyond it gave about a twentieth of the bytes saved.
constexpr std::size_t kLongestSpan = 2048;
// Magnitudes below this are their own symbol class in the payload estimate;
// above it a step saves only a share of a raw bit, never worth a correction.
constexpr int kDirect = 16;

// The decoded samples a value of +1 adds, per unit of range / m: sample
// j * stride + offset + t gets values[t] from value j of the band.
struct Response {
  std::ptrdiff_t offset = 0;
  std::size_t stride = 1;
  std::vector<float> values;
};

// The band's response, from one impulse in its middle synthesised alone.
// Deeper levels of zeros add nothing, so a transform only as deep as the
// band and a few filter lengths of its stride long gives the same response
// at a fraction of the cost of the signal's whole synthesis.
std::optional<Response> response_of(const wavelet::DwtExecutor& executor,
                                    std::size_t transform_len, std::size_t band) {
  const std::size_t stride = std::size_t{1} << band;
  const std::size_t len = std::min(transform_len, kResponseSpan * executor.filter_length() * stride);
  const BandLayout layout = band_layout(executor, len, static_cast<std::uint8_t>(band));
  try {
    std::vector<std::vector<float>> details(band);
    for (std::size_t l = 0; l < band; ++l) details[l].assign(layout.lengths[l + 1], 0.0f);
    const std::vector<float> approximation(layout.lengths[0], 0.0f);
    const std::size_t j0 = layout.lengths[band] / 2;
    details[band - 1][j0] = 1.0f;
    std::vector<std::span<const float>> views(details.begin(), details.end());
    auto r = executor.multi_idwt(views, approximation);
    if (!r) return std::nullopt;
    float peak = 0.0f;
    for (const float v : *r) peak = std::max(peak, std::fabs(v));
    if (!(peak > 0.0f)) return std::nullopt;
    const auto big = [&](float v) { return std::fabs(v) > kNegligible * peak; };
    const auto first = std::find_if(r->begin(), r->end(), big);
    const auto last = std::find_if(r->rbegin(), r->rend(), big).base();
    Response out;
    out.stride = stride;
    out.offset = (first - r->begin()) - static_cast<std::ptrdiff_t>(j0 * stride);
    out.values.assign(first, last);
    return out;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

// Bit k set where value k of the 64 from `v` is nonzero: a pass the
// compiler takes in wide registers.
QUILLMERE_VECTOR_CLONES
std::uint64_t nonzero_mask(const std::int16_t* v, std::size_t count) noexcept {
  std::uint64_t mask = 0;
  for (std::size_t k = 0; k < count; ++k) mask |= static_cast<std::uint64_t>(v[k] != 0) << k;
  return mask;
}

// How many values of a band have each magnitude (16 and above counted as
// 16), and the positions of its movable values (magnitudes 1 to `largest`)
// listed into `units` in order: one pass for both. Most values are zeros,
// found 64 at a time by a mask; only the nonzero ones are visited, each
// counted in one of four histograms in turn, so that an increment seldom
// waits for the one before. Returns how many values were listed.
using MagnitudeCounts = std::array<std::uint32_t, kDirect + 1>;
std::size_t list_band(std::span<const std::int16_t> band, int largest, std::uint32_t* units,
                      MagnitudeCounts& count) {
  std::array<MagnitudeCounts, 4> lanes{};
  std::size_t listed = 0;
  std::size_t nonzero = 0;
  for (std::size_t first = 0; first < band.size(); first += 64) {
    const std::size_t len = std::min<std::size_t>(64, band.size() - first);
    std::uint64_t mask = nonzero_mask(band.data() + first, len);
    for (; mask != 0; mask &= mask - 1, ++nonzero) {
      const std::size_t j = first + static_cast<std::size_t>(std::countr_zero(mask));
      const int v = band[j];
      const int a = v < 0 ? -v : v;
      ++lanes[nonzero & 3][static_cast<std::size_t>(std::min(a, kDirect))];
      units[listed] = static_cast<std::uint32_t>(j);
      listed += a <= largest ? 1 : 0;
    }
  }
  count = {};
  for (const auto& lane : lanes) {
    for (std::size_t k = 0; k < count.size(); ++k) count[k] += lane[k];
  }
  count[0] += static_cast<std::uint32_t>(band.size() - nonzero);  // what was not visited
  return listed;
}

// Bits a step towards zero saves a value of each magnitude up to `largest`
// (index 0 unused): a magnitude k costs -log2 of its band frequency and a
// sign bit, as the payload estimate counts it, so a step from k saves
// log2(count(k - 1) / count(k)), plus the sign from 1. Counts start at one
// half, so that an absent neighbour prices a step dear rather than infinite.
std::array<double, kDirect> step_savings(const MagnitudeCounts& count, int largest) {
  std::array<double, kDirect> out{};
  for (int k = 1; k <= largest && k < kDirect; ++k) {
    const auto i = static_cast<std::size_t>(k);
    out[i] = std::log2((static_cast<double>(count[i - 1]) + 0.5) / (static_cast<double>(count[i]) + 0.5)) +
             (k == 1 ? 1.0 : 0.0);
  }
  return out;
}

// Buffers of the signal's length, kept with the thread: the search runs
// the zeroing once per signal, and fresh pages for each would cost a
// noticeable share of it on short signals.
struct Scratch {
  std::vector<double> error;
  std::vector<std::uint8_t> price;
  std::vector<double> shift;
  std::vector<std::uint32_t> units;
};

// Past this many samples the buffers are released after each use: a long
// signal's fresh pages are a small share of its search, and a thread should
// not hold nine bytes per sample of the longest signal it ever saw.
constexpr std::size_t kKeptUpTo = std::size_t{1} << 18;

Scratch& scratch() {
  thread_local Scratch s;
  return s;
}

// Releases the thread's buffers on leaving the zeroing if they grew past
// what is kept.
struct ReleaseIfLong {
  Scratch& s;
  ~ReleaseIfLong() {
    if (s.error.capacity() > kKeptUpTo || s.units.capacity() > kKeptUpTo) s = Scratch{};
  }
};

}  // namespace

// The price the steps below the far edge give each of e[t] + sign * shift[t],
// summed, and whether any lies beyond that edge (or every price is exact):
// then the sum is not the price. Without a branch, so that wide registers
// take several samples at once; the sum is of small integers, exact in any
// order, so every width decides alike. NaN fails every comparison and
// costs nothing, as in Pricer. Once a sum of whole chunks exceeds `limit`
// with no sample far, it is returned as it stands: prices are never
// negative, so the rest could only add.
struct StepSum {
  long total;
  bool far;
};

constexpr std::size_t kChunk = 32;

// Each comparison's share as a 64-bit lane, as wide as the double it
// compares: narrower shares cost a shuffle and a widening per four samples
// on the way into the 64-bit sum, as much as the comparisons themselves.
// A chunk is first priced by the two lowest steps alone, noting whether any
// error there reaches the third step (or the far edge): nearly all shifted
// errors lie below it, and only a chunk where one does not is priced again
// in full, so the three upper comparisons are mostly not made.
QUILLMERE_VECTOR_CLONES
StepSum step_sum(const double* e, const double* shift, double sign, double inside,
                 const double* step, double beyond, std::size_t span, double limit) {
  const double s0 = step[0], s1 = step[1], s2 = step[2], s3 = step[3];
  const double gate = std::min(s1, beyond);
  std::int64_t total = 0;
  std::int64_t far = 0;
  for (std::size_t t = 0; t < span;) {
    const std::size_t from = t;
    const std::size_t stop = std::min(span, t + kChunk);
    std::int64_t low = 0;
    std::int64_t high = 0;
    for (; t < stop; ++t) {
      const double a = std::fabs(e[t] + sign * shift[t]);
      high |= a > gate ? std::int64_t{1} : std::int64_t{0};
      low += (a > inside ? std::int64_t{Pricer::kLeast} : std::int64_t{0}) +
             (a > s0 ? std::int64_t{3} : std::int64_t{0});
    }
    if (high != 0) {
      low = 0;
      for (std::size_t u = from; u < stop; ++u) {
        const double a = std::fabs(e[u] + sign * shift[u]);
        far |= a > beyond ? std::int64_t{1} : std::int64_t{0};
        low += (a > inside ? std::int64_t{Pricer::kLeast} : std::int64_t{0}) +
               (a > s0 ? std::int64_t{3} : std::int64_t{0}) + (a > s1 ? std::int64_t{2} : std::int64_t{0}) +
               (a > s2 ? std::int64_t{2} : std::int64_t{0}) + (a > s3 ? std::int64_t{2} : std::int64_t{0});
      }
    }
    total += low;
    if (far == 0 && static_cast<double>(total) > limit) break;
  }
  return {static_cast<long>(total), far != 0};
}

// The sum of n prices, in wide registers: weighing a value sums the prices
// of its whole span before pricing the step.
QUILLMERE_VECTOR_CLONES
int price_total(const std::uint8_t* price, std::size_t n) {
  std::uint32_t total = 0;
  for (std::size_t t = 0; t < n; ++t) total += price[t];
  return static_cast<int>(total);
}

// The price the steps below the far edge give each error, and whether any
// lies beyond that edge (or every price is exact): those must be priced
// again. Branch-free for wide registers, and a chunk at a time by the two
// lowest steps first, as step_sum.
QUILLMERE_VECTOR_CLONES
bool step_prices(const double* e, std::uint8_t* out, double inside, const double* step,
                 double beyond, std::size_t n) {
  const double s0 = step[0], s1 = step[1], s2 = step[2], s3 = step[3];
  const double gate = std::min(s1, beyond);
  std::int64_t far = 0;
  for (std::size_t t = 0; t < n;) {
    const std::size_t from = t;
    const std::size_t stop = std::min(n, t + kChunk);
    std::int64_t high = 0;
    for (; t < stop; ++t) {
      const double a = std::fabs(e[t]);
      high |= a > gate ? std::int64_t{1} : std::int64_t{0};
      out[t] = static_cast<std::uint8_t>((a > inside ? std::int64_t{Pricer::kLeast} : std::int64_t{0}) +
                                         (a > s0 ? std::int64_t{3} : std::int64_t{0}));
    }
    if (high == 0) continue;
    for (std::size_t u = from; u < stop; ++u) {
      const double a = std::fabs(e[u]);
      far |= a > beyond ? std::int64_t{1} : std::int64_t{0};
      out[u] = static_cast<std::uint8_t>(
          (a > inside ? std::int64_t{Pricer::kLeast} : std::int64_t{0}) + (a > s0 ? std::int64_t{3} : std::int64_t{0}) +
          (a > s1 ? std::int64_t{2} : std::int64_t{0}) + (a > s2 ? std::int64_t{2} : std::int64_t{0}) +
          (a > s3 ? std::int64_t{2} : std::int64_t{0}));
    }
  }
  return far != 0;
}

// e[t] += sign * shift[t] over a moved value's span, in wide registers:
// each sum is one rounding, the same in every build.
QUILLMERE_VECTOR_CLONES
void add_shift(double* e, const double* shift, double sign, std::size_t span) {
  for (std::size_t t = 0; t < span; ++t) e[t] += sign * shift[t];
}

// The signed errors x - y of float originals, NaN where not finite, in
// wide registers: each value is converted and subtracted alone, so every
// build gives the same values.
QUILLMERE_VECTOR_CLONES
void float_errors(const float* x, const float* y, double* e, std::size_t n) {
  const double top = std::numeric_limits<double>::max();
  for (std::size_t i = 0; i < n; ++i) {
    const double v = static_cast<double>(x[i]) - static_cast<double>(y[i]);
    e[i] = std::fabs(v) <= top ? v : std::numeric_limits<double>::quiet_NaN();
  }
}

int correction_cost(double error, double bound) {
  const double a = std::fabs(error);
  if (!(a > bound * kInside)) return 0;  // within, or non-finite: nothing to mend
  const double k = round_half_even(a / (2.0 * bound));
  const auto v = static_cast<std::uint64_t>(std::min(k, 4e9)) + 1;
  const int gamma = 2 * (std::bit_width(v) - 1) + 1;
  return kCorrectionFlag + gamma + (k != 0.0 ? 1 : 0);
}

namespace {

// The largest magnitude whose multiple of twice the bound, as
// correction_cost computes and rounds it, is at most `ceiling` (a multiple
// ending in .5: ties round to even, and each ceiling's integer part is
// even). Starts from the product, a few units in the last place off, and
// walks to the exact edge; nullopt where that does not settle quickly.
std::optional<double> last_below(double ceiling, double bound) {
  const auto below = [&](double a) { return round_half_even(a / (2.0 * bound)) <= ceiling - 0.5; };
  double a = ceiling * (2.0 * bound);
  if (!std::isfinite(a) || !(a > 0.0)) return std::nullopt;
  for (int i = 0; i < 64; ++i) {
    if (!below(a)) {
      a = std::nextafter(a, 0.0);
    } else if (below(std::nextafter(a, HUGE_VAL))) {
      a = std::nextafter(a, HUGE_VAL);
    } else {
      return a;
    }
  }
  return std::nullopt;
}

}  // namespace

Pricer::Pricer(double bound) : bound_(bound), inside_(bound * kInside), beyond_(-1.0) {
  // Each step's price: from 0 to 1 the flag of a nonzero multiple and the
  // gamma code's first two bits; then two more bits each time it doubles.
  constexpr std::array<double, 4> kCeilings = {0.5, 2.5, 6.5, 14.5};
  for (std::size_t s = 0; s < kCeilings.size(); ++s) {
    const auto edge = last_below(kCeilings[s], bound);
    if (!edge) return;  // every price from correction_cost
    step_[s] = *edge;
  }
  const auto far = last_below(30.5, bound);
  if (!far || !(step_[0] > inside_)) return;
  beyond_ = *far;
}

int Pricer::exact(double magnitude) const { return correction_cost(magnitude, bound_); }

long Pricer::shifted_sum(const double* e, const double* shift, double sign, std::size_t span,
                         double limit) const {
  const StepSum quick = step_sum(e, shift, sign, inside_, step_.data(), beyond_, span, limit);
  if (!quick.far) return quick.total;
  long total = 0;
  for (std::size_t t = 0; t < span; ++t) total += (*this)(e[t] + sign * shift[t]);
  return total;
}

void Pricer::price_all(const double* e, std::uint8_t* out, std::size_t n) const {
  if (!step_prices(e, out, inside_, step_.data(), beyond_, n)) return;
  for (std::size_t t = 0; t < n; ++t) {
    if (!(std::fabs(e[t]) <= beyond_)) out[t] = static_cast<std::uint8_t>((*this)(e[t]));
  }
}

Shrunk sparsen(const Problem& p, std::span<const float> decoded, stages::QuantisedBands& q,
               const Shrinking& how) {
  const BandLayout& layout = q.layout;
  if (layout.lengths.size() < 2 || layout.total != q.coeffs.size()) return {};
  const double range = static_cast<double>(p.max) - static_cast<double>(p.min);
  if (!(range > 0.0) || !(p.bound > 0.0) || !(p.m > 0.0f)) return {};
  // The synthesis is as long as the transform's input.
  const std::size_t transform_len = p.decomposition->transform_len;
  // The bands whose values may go: deep bands hold few values, and their
  // responses would cost a synthesis of the whole signal each.
  std::size_t bands = 1;
  while (bands < layout.lengths.size() &&
         kResponseSpan * p.executor->filter_length() * (std::size_t{1} << bands) <=
             std::min(transform_len / kDeepestShare, kLongestSpan)) {
    ++bands;
  }
  // With the search's dead zone every value of one is usually gone already:
  // with nothing else movable there is nothing to weigh, and the errors
  // need not be computed.
  std::size_t first = layout.lengths[0];
  std::size_t last = first;
  for (std::size_t band = 1; band < bands; ++band) last += layout.lengths[band];
  const int largest = std::clamp<int>(how.largest, 1, kDirect - 1);
  const std::size_t n = decoded.size();
  Scratch& sc = scratch();
  const ReleaseIfLong release{sc};
  // Every band's movable values and magnitude counts, before anything
  // moves: a band's values change only while it is weighed.
  std::vector<MagnitudeCounts> counts(bands);
  std::vector<std::size_t> listed(bands, 0);
  try {
    sc.units.resize(last - first);
  } catch (const std::bad_alloc&) {
    return {};
  }
  std::size_t movable = 0;
  for (std::size_t band = 1, at = first; band < bands; at += layout.lengths[band], ++band) {
    listed[band] = list_band(std::span<const std::int16_t>(q.coeffs.data() + at, layout.lengths[band]),
                             largest, sc.units.data() + (at - first), counts[band]);
    movable += listed[band];
  }
  if (movable == 0) return {};
  try {
    sc.error.resize(n);
    sc.price.resize(n);
  } catch (const std::bad_alloc&) {
    return {};
  }
  const std::span<double> e(sc.error.data(), n);
  const std::span<std::uint8_t> price(sc.price.data(), n);
  const Pricer pricer(p.bound);
  const double unit = range * static_cast<double>(1.0f / p.m);
  // The signed error of every sample (NaN where the original is not finite,
  // which no zeroing can make dearer) and what its correction costs now,
  // kept beside it so that weighing a value needs one pass over its span.
  const auto fill = [&](auto error_at) {
    for (std::size_t i = 0; i < n; ++i) {
      const double v = error_at(i);
      e[i] = std::isfinite(v) ? v : NAN;
    }
    pricer.price_all(e.data(), price.data(), n);
  };
  if (p.originals->is_double()) {
    const auto x = p.originals->f64();
    const double offset = p.originals->offset();
    fill([&](std::size_t i) { return x[i] - (static_cast<double>(decoded[i]) + offset); });
  } else {
    float_errors(p.originals->f32().data(), decoded.data(), e.data(), n);
    pricer.price_all(e.data(), price.data(), n);
  }
  const auto end = static_cast<std::ptrdiff_t>(transform_len);
  Shrunk done;
  std::size_t start = first;
  for (std::size_t band = 1; band < bands; ++band) {
    const std::size_t len = layout.lengths[band];
    const std::size_t at = start;
    start += len;
    const std::uint32_t* units = sc.units.data() + (at - first);
    const std::size_t count = listed[band];
    if (count == 0) continue;  // nothing here: its response is not worth measuring
    const auto resp = response_of(*p.executor, transform_len, band);
    if (!resp) continue;
    const auto support = static_cast<std::ptrdiff_t>(resp->values.size());
    // A value of +1's share of each sample, in the signal's units; a value of
    // -1's is its negation, exactly.
    std::vector<double>& shift = sc.shift;
    try {
      shift.resize(resp->values.size());
    } catch (const std::bad_alloc&) {
      return done;
    }
    for (std::size_t t = 0; t < shift.size(); ++t) shift[t] = unit * static_cast<double>(resp->values[t]);
    // What one step towards zero saves, in bits, by magnitude: the band's
    // own frequencies, as the payload estimate prices them.
    const std::array<double, kDirect> saved = step_savings(counts[band], largest);
    for (std::size_t u = 0; u < count; ++u) {
      const std::size_t j = units[u];
      const std::ptrdiff_t s0 = static_cast<std::ptrdiff_t>(j * resp->stride) + resp->offset;
      // Near either end the borders fold the response: those values stay.
      if (s0 < support || s0 + 2 * support > end) continue;
      const auto from = static_cast<std::size_t>(s0);
      const std::size_t span = std::min(static_cast<std::size_t>(support), n > from ? n - from : 0);
      const double* ei = e.data() + from;
      const std::uint8_t* pi = price.data() + from;
      const std::int16_t v = q.coeffs[at + j];
      const int mag = v < 0 ? -static_cast<int>(v) : v;
      // The corrections the step may add: none without a payload weight,
      // else what the step saves in payload, in the corrections' units.
      const double allowance = how.payload_weight * saved[static_cast<std::size_t>(mag)];
      const double sign = v > 0 ? 1.0 : -1.0;
      // Stepping towards zero raises the error by sign(v) * shift (negating
      // a share is exact). It pays where the corrections the samples then
      // need cost no more than those they need now plus the allowance; NaN
      // errors stay NaN and priced 0. A negative allowance (a magnitude
      // rarer than the one below it) would need corrections to shrink,
      // which moving towards zero seldom gives: such values stay.
      if (allowance < 0.0) continue;
      // The samples' prices after the step against those now, over the
      // whole span in one branch-free pass: most steps leave every price as
      // it is, and pricing the few that change one by one behind a test of
      // each sample cost more than pricing them all. Most steps that do
      // not pay show it in the first chunks of their span.
      const int now = price_total(pi, span);
      const double limit = static_cast<double>(now) + allowance;
      const long added = pricer.shifted_sum(ei, shift.data(), sign, span, limit) - now;
      if (static_cast<double>(added) > allowance) continue;
      add_shift(e.data() + from, shift.data(), sign, span);
      pricer.price_all(e.data() + from, price.data() + from, span);
      q.coeffs[at + j] = static_cast<std::int16_t>(v > 0 ? v - 1 : v + 1);
      ++done.moved;
      done.added += added;
      done.saved += saved[static_cast<std::size_t>(mag)];
    }
  }
  return done;
}

}  // namespace quillmere::refine
