#include "search_support.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cfloat>
#include <cstring>
#include <limits>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "quantizer.hpp"
#include "vector_clones.hpp"

namespace quillmere::search {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

Distortion finish(const Reference& ref, double max_abs, double sum_sq) {
  Distortion d;
  if (ref.count == 0) return d;
  // A NaN reconstruction poisons the sum; it must read as the worst error.
  if (sum_sq != sum_sq) return Distortion{kInf, kInf, kInf, -kInf};
  d.max_error = max_abs;
  d.rmse = std::sqrt(sum_sq / static_cast<double>(ref.count));
  if (ref.sum_x2 == 0.0) {
    d.prd = sum_sq == 0.0 ? 0.0 : kInf;
  } else {
    d.prd = 100.0 * std::sqrt(sum_sq / ref.sum_x2);
  }
  const double range = ref.hi - ref.lo;
  if (d.rmse == 0.0) {
    d.psnr = kInf;
  } else if (range == 0.0) {
    d.psnr = -kInf;
  } else {
    d.psnr = 20.0 * std::log10(range / d.rmse);
  }
  return d;
}

// The largest |x - y| and the sum of (x - y)^2 in double, sample i in lane
// i % 4, written as four-lane vectors so that the AVX2 clone takes one
// register and the baseline two (the compiler left the plain loop scalar);
// each lane does the same operations in the same order either way, so both
// clones give the same bits. A judgement without corrections spent most of
// its own time here.
using Floats4 = float __attribute__((vector_size(16)));
using Doubles4 = double __attribute__((vector_size(32)));
using Bits4 = std::int64_t __attribute__((vector_size(32)));

// Bit l set where lane l of a comparison's result is set. The sign bits
// taken two lanes at a time (one instruction each) rather than the lanes
// masked and or-ed together, which took a third of the marking loop's
// instructions.
[[gnu::always_inline]] inline std::uint8_t lane_mask(const Bits4& set) noexcept {
#if defined(__SSE2__)
  __m128d low, high;
  std::memcpy(&low, &set, sizeof low);
  std::memcpy(&high, reinterpret_cast<const char*>(&set) + sizeof low, sizeof high);
  return static_cast<std::uint8_t>(_mm_movemask_pd(low) | (_mm_movemask_pd(high) << 2));
#else
  const Bits4 bits = set & Bits4{1, 2, 4, 8};
  return static_cast<std::uint8_t>((bits[0] | bits[1]) | (bits[2] | bits[3]));
#endif
}

// With `sizes`, each |x - y| is also stored there, for the corrections'
// listing, and bit j of above[g] says whether sample 4g + j lies beyond
// `bound`: the listing then visits only the samples beyond it, where a
// loop over every sample that wrote an index per sample (a store whose
// address waits on the count before it) took half of a judgement's own time.
QUILLMERE_VECTOR_CLONES
void lane_sums(const float* __restrict x, const float* __restrict y, std::size_t n,
               double* __restrict m4, double* __restrict s4, double* __restrict sizes,
               double bound = 0.0, std::uint8_t* __restrict above = nullptr) noexcept {
  const Bits4 magnitude = {0x7fffffffffffffff, 0x7fffffffffffffff, 0x7fffffffffffffff,
                           0x7fffffffffffffff};
  const Doubles4 limit = {bound, bound, bound, bound};
  Doubles4 m = {m4[0], m4[1], m4[2], m4[3]};
  Doubles4 s = {s4[0], s4[1], s4[2], s4[3]};
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    Floats4 xf, yf;
    std::memcpy(&xf, x + i, sizeof xf);
    std::memcpy(&yf, y + i, sizeof yf);
    const Doubles4 e = __builtin_convertvector(xf, Doubles4) - __builtin_convertvector(yf, Doubles4);
    const auto a = reinterpret_cast<Doubles4>(reinterpret_cast<Bits4>(e) & magnitude);
    m = a > m ? a : m;
    s += e * e;
    if (sizes) std::memcpy(sizes + i, &a, sizeof a);
    if (above) above[i / 4] = lane_mask(a > limit);
  }
  for (std::size_t l = 0; l < 4; ++l) m4[l] = m[l], s4[l] = s[l];
  if (above && i < n) above[i / 4] = 0;
  for (std::size_t l = 0; i < n; ++i, ++l) {
    const double e = static_cast<double>(x[i]) - static_cast<double>(y[i]);
    const double a = std::fabs(e);
    m4[l] = a > m4[l] ? a : m4[l];
    s4[l] += e * e;
    if (sizes) sizes[i] = a;
    if (above && a > bound) above[i / 4] = static_cast<std::uint8_t>(above[i / 4] | (1u << l));
  }
}

// lane_sums with `above` for a judgement that lists the samples beyond
// `bound` for their corrections, and besides the lanes' sums those of the
// samples within the bound alone (km4, ks4): the samples the corrections
// leave as they are, so that the corrected signal's figures need only the
// corrected samples added, not a second pass over all of them.
// With kEnergy, the originals' squares are summed into e4 as well, in the
// lanes and order of reference_lanes (sample i in lane i % 4, in order), so
// that a reference whose energy was left for this pass gets the same bits:
// one more chain beside four that already wait on their adds.
template <bool kEnergy>
QUILLMERE_VECTOR_CLONES
void marked_lane_sums(const float* __restrict x, const float* __restrict y, std::size_t n,
                      double* __restrict m4, double* __restrict s4, double* __restrict km4,
                      double* __restrict ks4, double bound, std::uint8_t* __restrict above,
                      double* __restrict e4) noexcept {
  const Bits4 magnitude = {0x7fffffffffffffff, 0x7fffffffffffffff, 0x7fffffffffffffff,
                           0x7fffffffffffffff};
  const Doubles4 limit = {bound, bound, bound, bound};
  Doubles4 m = {m4[0], m4[1], m4[2], m4[3]};
  Doubles4 s = {s4[0], s4[1], s4[2], s4[3]};
  Doubles4 km = {km4[0], km4[1], km4[2], km4[3]};
  Doubles4 ks = {ks4[0], ks4[1], ks4[2], ks4[3]};
  Doubles4 es = {0, 0, 0, 0};
  if constexpr (kEnergy) es = Doubles4{e4[0], e4[1], e4[2], e4[3]};
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    Floats4 xf, yf;
    std::memcpy(&xf, x + i, sizeof xf);
    std::memcpy(&yf, y + i, sizeof yf);
    const Doubles4 xd = __builtin_convertvector(xf, Doubles4);
    const Doubles4 e = xd - __builtin_convertvector(yf, Doubles4);
    if constexpr (kEnergy) es += xd * xd;
    const auto a = reinterpret_cast<Doubles4>(reinterpret_cast<Bits4>(e) & magnitude);
    m = a > m ? a : m;
    s += e * e;
    const Bits4 beyond = a > limit;
    // Zero where beyond: +0 changes neither a maximum of magnitudes nor a sum.
    const auto ka = reinterpret_cast<Doubles4>(reinterpret_cast<Bits4>(a) & ~beyond);
    km = ka > km ? ka : km;
    ks += ka * ka;
    above[i / 4] = lane_mask(beyond);
  }
  for (std::size_t l = 0; l < 4; ++l) m4[l] = m[l], s4[l] = s[l], km4[l] = km[l], ks4[l] = ks[l];
  if constexpr (kEnergy) {
    for (std::size_t l = 0; l < 4; ++l) e4[l] = es[l];
  }
  if (i < n) above[i / 4] = 0;
  for (std::size_t l = 0; i < n; ++i, ++l) {
    const auto v = static_cast<double>(x[i]);
    if constexpr (kEnergy) e4[l] += v * v;
    const double e = v - static_cast<double>(y[i]);
    const double a = std::fabs(e);
    m4[l] = a > m4[l] ? a : m4[l];
    s4[l] += e * e;
    if (a > bound) {
      above[i / 4] = static_cast<std::uint8_t>(above[i / 4] | (1u << l));
    } else {
      km4[l] = a > km4[l] ? a : km4[l];
      ks4[l] += a * a;
    }
  }
}

// Groups [0, count) of `above` (count <= 16; four bits each, below 16) as
// one word, group g's bits at 4g. Sixteen at once by halving shifts on two
// loads: eight bytes' nibbles become four bytes, two halves, one word, where
// a shift and an or per group had been a sixth of a judgement's own work.
inline std::uint64_t group_word(const std::uint8_t* above, std::size_t count) noexcept {
  const auto eight = [](const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
    v = (v | (v >> 4)) & 0x00FF00FF00FF00FFu;
    v = (v | (v >> 8)) & 0x0000FFFF0000FFFFu;
    return (v | (v >> 16)) & 0x00000000FFFFFFFFu;
  };
  if (count == 16) return eight(above) | (eight(above + 8) << 32);
  std::uint64_t word = 0;
  for (std::size_t g = 0; g < count; ++g) word |= std::uint64_t{above[g]} << (4 * g);
  return word;
}

inline double original_at(const Originals& o, std::size_t i) {
  return o.is_double() ? o.f64()[i] : static_cast<double>(o.f32()[i]);
}

// Entropy in bits of a histogram, plus nothing else.
template <std::size_t N>
double entropy_bits(const std::array<std::uint32_t, N>& hist, double total) {
  double h = 0.0;
  for (const std::uint32_t c : hist) {
    if (c) h -= c * std::log2(c / total);
  }
  return h;
}

// std::bit_width without a test for zero (half of the gaps are zero, and a
// mispredicted test per outlier cost more than the rest of its tally):
// 2x + 1 is never zero and one bit longer.
inline int bit_length(std::uint64_t x) { return 63 - std::countl_zero((x << 1) | 1); }

// Corrections cost about their gaps' and multiples' bit-length classes plus
// the raw bits below the leading one, as their Elias-gamma coding does.
struct CorrectionTally {
  // Four histograms of each, taken in turn and summed at the end: outliers
  // come in runs whose gaps and multiples fall in the same classes, and with
  // one histogram each increment waited on the store of the one before. The
  // counts are whole numbers, the same in any order.
  std::array<std::array<std::uint32_t, 34>, 4> gap_class{};
  std::array<std::array<std::uint32_t, 34>, 4> k_class{};
  // Whole bits, counted as an integer: a double sum waited four cycles on
  // each outlier's add, and gives the same value (far below 2^53).
  std::uint64_t raw_bits = 0;
  std::size_t count = 0;
  std::size_t last = 0;  // position after the previous outlier

  void add(std::size_t i, double a, double inv_step) {
    const std::uint64_t gap = i - last;
    last = i + 1;
    // a is finite and positive here, and the multiple at most 2^32 - 1: the
    // signed conversion gives the same whole number without the unsigned
    // one's range test.
    const auto k = static_cast<std::uint64_t>(static_cast<std::int64_t>(std::min(a * inv_step + 0.5, 4294967295.0)));
    const int gw = bit_length(gap);
    const int kw = bit_length(k);
    const std::size_t lane = count & 3;
    ++gap_class[lane][static_cast<std::size_t>(gw)];
    ++k_class[lane][static_cast<std::size_t>(kw)];
    raw_bits += static_cast<std::uint64_t>((gw > 1 ? gw - 1 : 0) + (kw > 1 ? kw - 1 : 0) + 1);  // + sign
    ++count;
  }

  static std::array<std::uint32_t, 34> merged(const std::array<std::array<std::uint32_t, 34>, 4>& lanes) {
    std::array<std::uint32_t, 34> out{};
    for (std::size_t c = 0; c < out.size(); ++c) out[c] = (lanes[0][c] + lanes[1][c]) + (lanes[2][c] + lanes[3][c]);
    return out;
  }

  double bytes() const {
    if (count == 0) return 0.0;
    const double n = static_cast<double>(count);
    return (entropy_bits(merged(gap_class), n) + entropy_bits(merged(k_class), n) +
            static_cast<double>(raw_bits)) / 8.0 +
           44.0;
  }
};

}  // namespace

namespace {

// reference_of's figures for finite float32 originals whose extremes are
// not zero, or false (then the general loop runs). The extremes and the
// finiteness come from a vectorised pass; the sum of squares stays one
// chain in sample order, as the general loop adds it, so its bits are the
// same. A zero extreme is left to the general loop, which keeps the sign
// of the first zero it meets. That loop, testing and converting every
// sample, had cost a thorough search about as much as a judgement.
QUILLMERE_VECTOR_CLONES
bool float_extremes(const float* __restrict x, std::size_t n, float& lo_out, float& hi_out) noexcept {
  // Eight lanes written as vectors (the compiler leaves a minimum of floats
  // scalar); the lanes' extremes are combined afterwards, which can only
  // differ from the samples' order for zeros of both signs, left to the
  // caller.
  using Floats8 = float __attribute__((vector_size(32)));
  using Ints8 = std::int32_t __attribute__((vector_size(32)));
  const Floats8 largest = {FLT_MAX, FLT_MAX, FLT_MAX, FLT_MAX, FLT_MAX, FLT_MAX, FLT_MAX, FLT_MAX};
  Floats8 lo = Floats8{} + INFINITY, hi = Floats8{} - INFINITY;
  Ints8 finite = {-1, -1, -1, -1, -1, -1, -1, -1};
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    Floats8 v;
    std::memcpy(&v, x + i, sizeof v);
    // NaN fails both comparisons, an infinity one of them.
    finite &= (v <= largest) & (v >= -largest);
    lo = v < lo ? v : lo;
    hi = v > hi ? v : hi;
  }
  bool all = true;
  float l = INFINITY, h = -INFINITY;
  for (unsigned k = 0; k < 8; ++k) {
    all = all && finite[k] != 0;
    l = lo[k] < l ? lo[k] : l;
    h = hi[k] > h ? hi[k] : h;
  }
  for (; i < n; ++i) {
    const float v = x[i];
    all = all && (v <= FLT_MAX) && (v >= -FLT_MAX);
    l = v < l ? v : l;
    h = v > h ? v : h;
  }
  lo_out = l, hi_out = h;
  return all;
}

bool float_reference(std::span<const float> x, Reference& ref) {
  float lo = 0.0f, hi = 0.0f;
  if (x.empty() || !float_extremes(x.data(), x.size(), lo, hi) || lo == 0.0f || hi == 0.0f) return false;
  double sum = 0.0;
  std::size_t i = 0;
  for (; i + 4 <= x.size(); i += 4) {
    const double a = x[i], b = x[i + 1], c = x[i + 2], d = x[i + 3];
    sum += a * a;
    sum += b * b;
    sum += c * c;
    sum += d * d;
  }
  for (; i < x.size(); ++i) {
    const double a = x[i];
    sum += a * a;
  }
  ref.sum_x2 = sum;
  ref.lo = lo;
  ref.hi = hi;
  ref.count = x.size();
  return true;
}

}  // namespace

Reference reference_of(const Originals& originals) {
  Reference ref;
  ref.originals = &originals;
  if (!originals.is_double() && float_reference(originals.f32(), ref)) return ref;
  ref.originals = &originals;
  ref.lo = kInf;
  ref.hi = -kInf;
  for (std::size_t i = 0; i < originals.size(); ++i) {
    const double x = original_at(originals, i);
    if (!std::isfinite(x)) {
      ref.all_finite = false;
      continue;
    }
    ref.sum_x2 += x * x;
    ref.lo = std::min(ref.lo, x);
    ref.hi = std::max(ref.hi, x);
    ++ref.count;
  }
  if (ref.count == 0) ref.lo = ref.hi = 0.0;
  return ref;
}

namespace {

// The sums of reference_of in four fixed lanes, combined in a fixed order
// (the same bits on every machine and either clone). False when some
// original is not finite: reference_of then takes the samples one by one.
template <class T>
QUILLMERE_VECTOR_CLONES bool reference_lanes(const T* __restrict x, std::size_t n, double* __restrict s4,
                                             double* __restrict lo4, double* __restrict hi4) noexcept {
  const Doubles4 largest = {DBL_MAX, DBL_MAX, DBL_MAX, DBL_MAX};
  Doubles4 s = {0, 0, 0, 0}, lo = {kInf, kInf, kInf, kInf}, hi = {-kInf, -kInf, -kInf, -kInf};
  Bits4 finite = {-1, -1, -1, -1};
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    Doubles4 v;
    if constexpr (std::is_same_v<T, float>) {
      Floats4 raw;
      std::memcpy(&raw, x + i, sizeof raw);
      v = __builtin_convertvector(raw, Doubles4);
    } else {
      std::memcpy(&v, x + i, sizeof v);
    }
    // NaN fails every comparison, infinity the one against the largest.
    finite &= (v <= largest) & (v >= -largest);
    s += v * v;
    lo = v < lo ? v : lo;
    hi = v > hi ? v : hi;
  }
  for (std::size_t l = 0; l < 4; ++l) s4[l] = s[l], lo4[l] = lo[l], hi4[l] = hi[l];
  bool all = (finite[0] & finite[1] & finite[2] & finite[3]) != 0;
  for (std::size_t l = 0; i < n; ++i, ++l) {
    const auto v = static_cast<double>(x[i]);
    all = all && std::isfinite(v);
    s4[l] += v * v;
    lo4[l] = v < lo4[l] ? v : lo4[l];
    hi4[l] = v > hi4[l] ? v : hi4[l];
  }
  return all;
}

}  // namespace

Reference reference_in_lanes(const Originals& originals) {
  double s4[4], lo4[4], hi4[4];
  const std::size_t n = originals.size();
  const bool finite = originals.is_double() ? reference_lanes(originals.f64().data(), n, s4, lo4, hi4)
                                            : reference_lanes(originals.f32().data(), n, s4, lo4, hi4);
  if (!finite || n == 0) return reference_of(originals);
  Reference ref;
  ref.originals = &originals;
  ref.sum_x2 = (s4[0] + s4[1]) + (s4[2] + s4[3]);
  ref.lo = std::min(std::min(lo4[0], lo4[1]), std::min(lo4[2], lo4[3]));
  ref.hi = std::max(std::max(hi4[0], hi4[1]), std::max(hi4[2], hi4[3]));
  ref.count = n;
  return ref;
}

Reference reference_in_range(const Originals& originals, double lo, double hi) {
  Reference ref;
  ref.originals = &originals;
  ref.lo = lo;
  ref.hi = hi;
  ref.count = originals.size();
  ref.energy_pending = true;
  return ref;
}

namespace {

// judge(), and with `listed` the samples it counted beyond a positive
// correction bound on the float path (listed left empty elsewhere).
Judgement judge_into(const Reference& ref, std::span<const float> decoded, double correction_bound,
                     std::vector<std::uint64_t>* listed) {
  const Originals& o = *ref.originals;
  if (listed) listed->clear();
  const std::size_t n = decoded.size();
  const bool f64 = o.is_double();
  const double offset = o.offset();
  Judgement j;
  double max_abs = 0.0, sum_sq = 0.0;
  if (correction_bound <= 0.0 && ref.all_finite && !f64) {
    // The common case, kept free of branches: four fixed lanes, combined in
    // a fixed order, so the sums are the same on every machine.
    double m4[4] = {0, 0, 0, 0}, s4[4] = {0, 0, 0, 0};
    lane_sums(o.f32().data(), decoded.data(), n, m4, s4, nullptr);
    max_abs = std::max(std::max(m4[0], m4[1]), std::max(m4[2], m4[3]));
    sum_sq = (s4[0] + s4[1]) + (s4[2] + s4[3]);
  } else if (ref.all_finite && !f64) {
    // Float sources with corrections: the same lanes, a block at a time
    // (a multiple of 4, so every block but the last fills its lanes). At
    // fine bounds a third to two thirds of the samples lie beyond the bound,
    // so a branch on each would be mispredicted often; instead each block's
    // outliers are listed without a branch and tallied afterwards, in the
    // same order.
    const float* x = o.f32().data();
    const float* y = decoded.data();
    double m4[4] = {0, 0, 0, 0}, s4[4] = {0, 0, 0, 0};
    CorrectionTally tally;
    const double inv_step = 0.5 / correction_bound;
    constexpr std::size_t kBlock = 512;
    double sizes[kBlock];
    std::uint8_t above[kBlock / 4];
    if (listed) listed->assign((n + 63) / 64, 0);
    for (std::size_t start = 0; start < n; start += kBlock) {
      const std::size_t len = std::min(n - start, kBlock);
      lane_sums(x + start, y + start, len, m4, s4, sizes, correction_bound, above);
      // Sixteen groups of four samples a word, their bits in sample order,
      // taken lowest first: the tally sees the outliers in position order.
      const std::size_t groups = (len + 3) / 4;
      for (std::size_t g0 = 0; g0 < groups; g0 += 16) {
        std::uint64_t word = group_word(above + g0, std::min<std::size_t>(16, groups - g0));
        // A block is a whole number of words, so each word is written once.
        if (listed) (*listed)[(start + 4 * g0) / 64] = word;
        while (word != 0) {
          const auto k = g0 * 4 + static_cast<std::size_t>(std::countr_zero(word));
          word &= word - 1;
          tally.add(start + k, sizes[k], inv_step);
        }
      }
    }
    max_abs = std::max(std::max(m4[0], m4[1]), std::max(m4[2], m4[3]));
    sum_sq = (s4[0] + s4[1]) + (s4[2] + s4[3]);
    j.outliers = tally.count;
    j.correction_bytes = tally.bytes();
  } else {
    double m4[4] = {0, 0, 0, 0}, s4[4] = {0, 0, 0, 0};
    CorrectionTally tally;
    const double inv_step = 0.5 / correction_bound;
    for (std::size_t i = 0; i < n; ++i) {
      const double x = original_at(o, i);
      if (!std::isfinite(x)) continue;
      const double r = f64 ? static_cast<double>(decoded[i]) + offset : static_cast<double>(decoded[i]);
      const double e = x - r;
      const double a = std::fabs(e);
      const std::size_t l = i & 3;
      m4[l] = a > m4[l] ? a : m4[l];
      s4[l] += e * e;
      if (correction_bound > 0.0 && a > correction_bound) tally.add(i, a, inv_step);
    }
    max_abs = std::max(std::max(m4[0], m4[1]), std::max(m4[2], m4[3]));
    sum_sq = (s4[0] + s4[1]) + (s4[2] + s4[3]);
    j.outliers = tally.count;
    j.correction_bytes = tally.bytes();
  }
  j.distortion = finish(ref, max_abs, sum_sq);
  // A NaN reconstruction is beyond any bound, yet no comparison lists it.
  if (listed && !std::isfinite(j.distortion.rmse)) listed->clear();
  return j;
}

}  // namespace

Judgement judge(const Reference& ref, std::span<const float> decoded, double correction_bound) {
  return judge_into(ref, decoded, correction_bound, nullptr);
}

Judgement judge_listing(const Reference& ref, std::span<const float> decoded, double correction_bound,
                        std::vector<std::uint64_t>& listed) {
  if (!(correction_bound > 0.0)) {
    listed.clear();
    return judge_into(ref, decoded, correction_bound, nullptr);
  }
  return judge_into(ref, decoded, correction_bound, &listed);
}

bool judge_marking(const Reference& ref, std::span<const float> decoded, double bound, Judgement& out,
                   std::vector<std::uint64_t>& marks, Unmarked& within) {
  const Originals& o = *ref.originals;
  if (!ref.all_finite || o.is_double()) return false;
  const std::size_t n = decoded.size();
  marks.assign((n + 63) / 64, 0);
  const float* x = o.f32().data();
  const float* y = decoded.data();
  double m4[4] = {0, 0, 0, 0}, s4[4] = {0, 0, 0, 0}, e4[4] = {0, 0, 0, 0};
  within = Unmarked{};
  // Blocks of 512 samples (a multiple of 4: every lane keeps its samples
  // and their order, so the sums are judge()'s), sixteen groups of four a
  // word.
  constexpr std::size_t kBlock = 512;
  std::uint8_t above[kBlock / 4];
  for (std::size_t start = 0; start < n; start += kBlock) {
    const std::size_t len = std::min(n - start, kBlock);
    if (ref.energy_pending) {
      marked_lane_sums<true>(x + start, y + start, len, m4, s4, within.max4, within.sq4, bound, above, e4);
    } else {
      marked_lane_sums<false>(x + start, y + start, len, m4, s4, within.max4, within.sq4, bound, above, nullptr);
    }
    const std::size_t groups = (len + 3) / 4;
    for (std::size_t g0 = 0; g0 < groups; g0 += 16) {
      const std::uint64_t word = group_word(above + g0, std::min<std::size_t>(16, groups - g0));
      marks[(start + 4 * g0) / 64] = word;
    }
  }
  out = Judgement{};
  Reference whole = ref;
  if (ref.energy_pending) {
    // Combined as reference_in_lanes combines its lanes.
    whole.sum_x2 = (e4[0] + e4[1]) + (e4[2] + e4[3]);
    whole.energy_pending = false;
    out.energy = whole.sum_x2;
  }
  out.distortion = finish(whole, std::max(std::max(m4[0], m4[1]), std::max(m4[2], m4[3])),
                          (s4[0] + s4[1]) + (s4[2] + s4[3]));
  return true;
}

Distortion corrected_distortion(const Reference& ref, std::span<const float> corrected,
                                std::span<const std::uint64_t> marks, const Unmarked& within) {
  const float* x = ref.originals->f32().data();
  const float* y = corrected.data();
  double m4[4], s4[4];
  for (std::size_t l = 0; l < 4; ++l) m4[l] = within.max4[l], s4[l] = within.sq4[l];
  for (std::size_t w = 0; w < marks.size(); ++w) {
    for (std::uint64_t bits = marks[w]; bits != 0; bits &= bits - 1) {
      const std::size_t i = 64 * w + static_cast<std::size_t>(std::countr_zero(bits));
      const double a = std::fabs(static_cast<double>(x[i]) - static_cast<double>(y[i]));
      const std::size_t l = i & 3;
      m4[l] = a > m4[l] ? a : m4[l];
      s4[l] += a * a;
    }
  }
  return finish(ref, std::max(std::max(m4[0], m4[1]), std::max(m4[2], m4[3])),
                (s4[0] + s4[1]) + (s4[2] + s4[3]));
}

Distortion distortion_of(const Reference& ref, std::span<const double> reconstructed) {
  const Originals& o = *ref.originals;
  double m4[4] = {0, 0, 0, 0}, s4[4] = {0, 0, 0, 0};
  for (std::size_t i = 0; i < reconstructed.size(); ++i) {
    const double x = original_at(o, i);
    if (!std::isfinite(x)) continue;
    const double e = x - reconstructed[i];
    const double a = std::fabs(e);
    const std::size_t l = i & 3;
    m4[l] = a > m4[l] ? a : m4[l];
    s4[l] += e * e;
  }
  return finish(ref, std::max(std::max(m4[0], m4[1]), std::max(m4[2], m4[3])),
                (s4[0] + s4[1]) + (s4[2] + s4[3]));
}

namespace {

// One band's share of the estimate. Magnitudes below 16 are their own class;
// larger ones share a class per bit length and pay their lower bits raw, as
// an adaptive binary coder roughly does; a nonzero value pays one bit of
// sign. Bands above 4096 values are sampled every 4th value: ample for
// ranking multipliers.
struct BandTally {
  static constexpr std::size_t kDirect = 16;
  static constexpr std::size_t kClasses = kDirect + 17;
  std::array<std::uint32_t, kClasses> hist{};
  std::uint64_t raw = 0;
  std::size_t seen = 0;

  void add(std::int32_t v) {
    const auto mag = static_cast<std::uint32_t>(v < 0 ? -v : v);
    const std::size_t cls = mag < kDirect ? mag : kDirect + static_cast<std::size_t>(std::bit_width(mag));
    ++hist[cls];
    raw += static_cast<std::uint64_t>(mag >= kDirect ? std::bit_width(mag) - 1 : 0) + (mag != 0);
    ++seen;
  }
  double bits(std::size_t band_size) const {
    if (seen == 0) return 0.0;
    const double scale = static_cast<double>(band_size) / static_cast<double>(seen);
    return (entropy_bits(hist, static_cast<double>(seen)) + static_cast<double>(raw)) * scale;
  }
};

inline std::size_t stride_for(std::size_t band_size) { return band_size > 4096 ? 4 : 1; }

}  // namespace

double estimate_payload_bytes(const stages::Decomposition& d, std::uint8_t depth, float m,
                              std::uint16_t threshold) {
  // The sampled coefficients go through the codec's own quantise() in
  // small batches, then the dead zone as apply_dead_zone() has it.
  constexpr std::size_t kBatch = 256;
  float picked[kBatch];
  std::int16_t q[kBatch];
  const auto tally_band = [&](const stages::Band& band, bool details) {
    BandTally t;
    const std::size_t stride = stride_for(band.size());
    std::size_t i = 0;
    while (i < band.size()) {
      std::size_t k = 0;
      for (; k < kBatch && i < band.size(); ++k, i += stride) picked[k] = band[i];
      quantise(std::span<const float>(picked, k), m, std::span<std::int16_t>(q, k));
      for (std::size_t j = 0; j < k; ++j) {
        const std::int32_t v = q[j];
        t.add(details && (v < 0 ? -v : v) < threshold ? 0 : v);
      }
    }
    return t.bits(band.size());
  };
  double bits = tally_band(d.approximation[depth - 1], false);
  for (std::size_t level = 0; level < depth; ++level) bits += tally_band(d.details[level], true);
  return bits / 8.0;
}

namespace {

// Bit k of the result set where value k of the 64 from `v` (every
// `stride`-th) is nonzero: a pass the compiler takes in wide registers for
// stride 1, so that the zeros, most of every band, cost no histogram
// increment each.
// `readable` values from v on may be read: every 4th value is then taken
// as the low 16 bits of a 64-bit word (little-endian), which the compiler
// also takes in wide registers, where the 4 values a word holds are there.
QUILLMERE_VECTOR_CLONES
std::uint64_t nonzero_mask(const std::int16_t* v, std::size_t stride, std::size_t count,
                           std::size_t readable) noexcept {
  std::uint64_t mask = 0;
  if (stride == 1) {
    for (std::size_t k = 0; k < count; ++k) mask |= static_cast<std::uint64_t>(v[k] != 0) << k;
  } else if (stride == 4 && std::endian::native == std::endian::little && 4 * count <= readable) {
    for (std::size_t k = 0; k < count; ++k) {
      std::uint64_t word;
      std::memcpy(&word, v + 4 * k, sizeof word);
      mask |= static_cast<std::uint64_t>((word & 0xffff) != 0) << k;
    }
  } else {
    for (std::size_t k = 0; k < count; ++k) mask |= static_cast<std::uint64_t>(v[k * stride] != 0) << k;
  }
  return mask;
}

}  // namespace

double estimate_payload_bytes(const stages::QuantisedBands& q) {
  double bits = 0.0;
  for (const auto band : q.bands()) {
    // Zeros are counted 64 values at a time; each nonzero value goes to one
    // of four histograms in turn, so that runs of equal magnitudes do not
    // wait on each other's increments. The counts are whole numbers, the
    // same in any order.
    std::array<std::array<std::uint32_t, BandTally::kClasses>, 4> lanes{};
    std::uint64_t raw = 0;
    std::size_t nonzero = 0;
    const std::size_t stride = stride_for(band.size());
    const std::size_t seen = (band.size() + stride - 1) / stride;
    const std::int16_t* values = band.data();
    for (std::size_t first = 0; first < seen; first += 64) {
      const std::size_t count = std::min<std::size_t>(64, seen - first);
      const std::int16_t* at = values + first * stride;
      std::uint64_t mask = nonzero_mask(at, stride, count, band.size() - first * stride);
      for (; mask != 0; mask &= mask - 1, ++nonzero) {
        const std::int32_t v = at[static_cast<std::size_t>(std::countr_zero(mask)) * stride];
        const auto mag = static_cast<std::uint32_t>(v < 0 ? -v : v);
        // Nearly every value is below 16: the bit length only for the rest.
        if (mag < BandTally::kDirect) [[likely]] {
          ++lanes[nonzero & 3][mag];
          raw += 1;  // the sign
        } else {
          const auto width = static_cast<std::size_t>(std::bit_width(mag));
          ++lanes[nonzero & 3][BandTally::kDirect + width];
          raw += width;  // the bits below the leading one, and the sign
        }
      }
    }
    BandTally t;
    for (std::size_t c = 0; c < BandTally::kClasses; ++c) {
      for (const auto& lane : lanes) t.hist[c] += lane[c];
    }
    // What was not visited is zero.
    t.hist[0] += static_cast<std::uint32_t>(seen - nonzero);
    t.raw = raw;
    t.seen = seen;
    bits += t.bits(band.size());
  }
  return bits / 8.0;
}

namespace grid {

float multiplier(int j) {
  // roots[k] = 2^(1 / 2^(k + 1)); bit b of the fraction r picks 2^(2^b / 128).
  static const std::array<double, 7> roots = [] {
    std::array<double, 7> v{};
    double x = 2.0;
    for (double& root : v) root = x = std::sqrt(x);
    return v;
  }();
  const int octave = j >= 0 ? j / kPerOctave : -((-j + kPerOctave - 1) / kPerOctave);
  const int r = j - octave * kPerOctave;
  double t = 1.0;
  for (int b = 6; b >= 0; --b) {
    if ((r >> b) & 1) t *= roots[static_cast<std::size_t>(6 - b)];
  }
  // Scaling by a power of two is exact, so only the final rounding to float
  // remains, as it does for float32(2.0 ** (j / 128)).
  return static_cast<float>(std::ldexp(t, octave));
}

int index_at_or_below(float m) {
  const double guess = std::floor(std::log2(static_cast<double>(m)) * kPerOctave);
  int j = static_cast<int>(std::clamp(guess, -1e6, 1e6));
  // The logarithm only places j; the comparisons decide it.
  while (multiplier(j) > m) --j;
  while (multiplier(j + 1) <= m) ++j;
  return j;
}

SearchOutcome<std::optional<int>> bisection_end(
    int start, int lowest, int highest, const std::function<SearchOutcome<bool>(int)>& met) {
  int lo = start, hi = start;
  auto ok = met(start);
  if (!ok) return std::unexpected(ok.error());
  if (*ok) {
    for (;;) {
      lo = hi - kPerOctave;
      if (lo < lowest) return std::nullopt;
      ok = met(lo);
      if (!ok) return std::unexpected(ok.error());
      if (!*ok) break;
      hi = lo;
    }
  } else {
    for (;;) {
      hi = lo + kPerOctave;
      if (hi > highest) return std::nullopt;
      ok = met(hi);
      if (!ok) return std::unexpected(ok.error());
      if (*ok) break;
      lo = hi;
    }
  }
  while (hi - lo > 1) {
    const int mid = lo + (hi - lo) / 2;
    ok = met(mid);
    if (!ok) return std::unexpected(ok.error());
    (*ok ? hi : lo) = mid;
  }
  return hi;
}

}  // namespace grid

double excess(const Distortion& d, const Bounds& b, bool peak) {
  double worst = 0.0;
  const auto ratio = [&](double got, double want) {
    worst = std::max(worst, got / want);
    if (got != got) worst = kInf;
  };
  if (peak && b.max_error) ratio(d.max_error, *b.max_error);
  if (b.rmse) ratio(d.rmse, *b.rmse);
  if (b.prd) ratio(d.prd, *b.prd);
  // A PSNR floor is an RMSE ceiling: 10^((want - got) / 20) is rmse / allowed.
  if (b.psnr) ratio(std::pow(10.0, (*b.psnr - d.psnr) / 20.0), 1.0);
  return worst;
}

double rms_target(const Reference& ref, const Bounds& b, bool peak) {
  double t = INFINITY;
  // Reconstruction errors here peak at 3.5 to 6 times their RMS.
  if (peak && b.max_error) t = std::min(t, *b.max_error / 4.0);
  if (b.rmse) t = std::min(t, *b.rmse);
  if (b.prd && ref.count) {
    t = std::min(t, *b.prd / 100.0 * std::sqrt(ref.sum_x2 / static_cast<double>(ref.count)));
  }
  if (b.psnr && ref.hi > ref.lo) t = std::min(t, (ref.hi - ref.lo) / std::pow(10.0, *b.psnr / 20.0));
  return std::isfinite(t) && t > 0.0 ? t : 1.0;
}

}  // namespace quillmere::search
