#include "rate_aware_rounding.hpp"

#include <algorithm>
#include <cmath>

#include "reconstruct.hpp"
#include "vector_clones.hpp"
#include "wavelet_choice.hpp"

namespace quillmere::rate_aware {
namespace {

// Bands longer than this are counted on every 8th value: the prices only
// need the shape of the histogram.
constexpr std::size_t kCountAllUpTo = 4096;
constexpr std::size_t kCountStride = 8;

// The stand-in signal for a level's gain has this many values in that
// level's detail band: enough that its middle is far from both borders.
constexpr std::size_t kGainValuesPerBand = 32;

// The thresholds a value reads, held in locals so that the lowering loop
// keeps them in registers. Plain rounding gives a nonzero value exactly
// where |c m| >= 1/2, which is how a value's neighbours are read.
struct Limits {
  float one00, one01, one10, one11, two, three;

  explicit Limits(const Thresholds& t)
      : one00(t.one[0][0]), one01(t.one[0][1]), one10(t.one[1][0]), one11(t.one[1][1]),
        two(t.below[2]), three(t.below[3]) {}

  // The value r rounded from |c m| = a, with its neighbours at `before` and
  // `after`: selects only, no branches, so that the loop runs in lanes.
  std::int16_t choose(std::int16_t r, float a, float before, float after) const {
    const bool p = before >= 0.5f, x = after >= 0.5f;
    const float if_zero_before = x ? one01 : one00;
    const float if_nonzero_before = x ? one11 : one10;
    const float one = p ? if_nonzero_before : if_zero_before;
    const std::int32_t v = r;
    const std::int32_t mag = v < 0 ? -v : v;
    float limit = 0.0f;
    limit = mag == 1 ? one : limit;
    limit = mag == 2 ? two : limit;
    limit = mag == 3 ? three : limit;
    const std::int32_t lower = a < limit ? 1 : 0;
    return static_cast<std::int16_t>(v - lower * ((v >> 31) | 1));
  }
};

}  // namespace

Thresholds thresholds_for(std::span<const std::int16_t> plain, double gain, double lambda) {
  // The coefficient coder's view of a band: a zero flag whose probability
  // depends on whether the previous value was zero, a sign bit, and the
  // magnitude's own frequency among the nonzero values.
  std::array<std::uint32_t, kPriced> magnitudes{};
  std::uint32_t flags[2][2] = {{0, 0}, {0, 0}};  // [previous nonzero][this nonzero]
  std::uint32_t nonzero = 0;
  const std::size_t stride = plain.size() > kCountAllUpTo ? kCountStride : 1;
  for (std::size_t i = 0; i < plain.size(); i += stride) {
    const std::int32_t v = plain[i];
    const auto mag = static_cast<std::uint32_t>(v < 0 ? -v : v);
    const unsigned previous = i > 0 && plain[i - 1] != 0;
    ++flags[previous][mag != 0];
    if (mag == 0) continue;
    ++nonzero;
    if (mag < kPriced) ++magnitudes[mag];
  }
  Thresholds t;
  if (!(gain > 0.0) || !(lambda > 0.0)) return t;
  // Unseen events get half a count, so that their price is high but finite.
  const auto price = [](double count, double total) { return -std::log2((count + 0.5) / (total + 1.0)); };
  const double all_magnitudes = static_cast<double>(nonzero) + 0.5 * static_cast<double>(kPriced);
  const auto magnitude_bits = [&](std::size_t n) {
    return price(static_cast<double>(magnitudes[n]), all_magnitudes);
  };
  double flag_bits[2][2];
  for (int p = 0; p < 2; ++p) {
    const double total = static_cast<double>(flags[p][0] + flags[p][1]);
    for (int z = 0; z < 2; ++z) flag_bits[p][z] = price(static_cast<double>(flags[p][z]), total);
  }
  // Lower where gain * (2 (a - n) + 1) < lambda * saved bits, that is
  // below n + offset; the offset is clamped to the values rounding to n.
  const auto threshold = [&](std::size_t n, double saved) {
    const double offset = std::clamp((lambda * saved / gain - 1.0) / 2.0, -0.5, 0.5);
    return static_cast<float>(static_cast<double>(n) + offset);
  };
  for (std::size_t n = 2; n < kPriced; ++n) {
    t.below[n] = threshold(n, magnitude_bits(n) - magnitude_bits(n - 1));
  }
  // A one becoming zero saves its sign and magnitude, changes its own zero
  // flag and the context of the next value's.
  for (int p = 0; p < 2; ++p) {
    for (int next = 0; next < 2; ++next) {
      const double as_one = flag_bits[p][1] + 1.0 + magnitude_bits(1) + flag_bits[1][next];
      const double as_zero = flag_bits[p][0] + flag_bits[0][next];
      t.one[p][next] = threshold(1, as_one - as_zero);
    }
  }
  return t;
}

QUILLMERE_VECTOR_CLONES
void lower_where_cheaper(std::span<const float> coefficients, float m, const Thresholds& t,
                         std::span<std::int16_t> q) noexcept {
  // Every choice reads the band's floats only, never a value already
  // chosen, so the loop has no carried dependence. Before the first and
  // after the last value the coder sees a zero.
  const std::size_t n = q.size();
  if (n == 0) return;
  const Limits l(t);
  const float* c = coefficients.data();
  std::int16_t* out = q.data();
  if (n == 1) {
    out[0] = l.choose(out[0], std::fabs(c[0] * m), 0.0f, 0.0f);
    return;
  }
  out[0] = l.choose(out[0], std::fabs(c[0] * m), 0.0f, std::fabs(c[1] * m));
  for (std::size_t i = 1; i + 1 < n; ++i) {
    out[i] = l.choose(out[i], std::fabs(c[i] * m), std::fabs(c[i - 1] * m), std::fabs(c[i + 1] * m));
  }
  out[n - 1] = l.choose(out[n - 1], std::fabs(c[n - 1] * m), std::fabs(c[n - 2] * m), 0.0f);
}

Result<std::vector<double>> detail_gains(const wavelet::DwtExecutor& executor,
                                         std::size_t transform_len, std::uint8_t depth) {
  std::vector<double> gains;
  gains.reserve(depth);
  std::vector<float> bands;
  for (std::uint8_t level = 1; level <= depth; ++level) {
    // Only the levels down to this one are synthesised, on a signal just
    // long enough for its band (the whole signal when that is shorter).
    const std::size_t stand_in =
        std::min(transform_len, std::max(executor.filter_length(), kGainValuesPerBand << level));
    const BandLayout layout = band_layout(executor, stand_in, level);
    bands.assign(layout.total, 0.0f);
    const std::size_t len = layout.lengths[level];
    bands[layout.total - len + len / 2] = 1.0f;
    // The identity frame: samples are the inverse transform itself.
    auto y = stages::synthesise(executor, std::span<const float>(bands), layout,
                                {0.0f, 1.0f, 0.0f, static_cast<std::uint32_t>(stand_in)});
    if (!y) return std::unexpected(std::move(y.error()));
    double energy = 0.0;
    for (const float v : *y) energy += static_cast<double>(v) * static_cast<double>(v);
    gains.push_back(energy);
  }
  return gains;
}

double lambda_for(Method) noexcept {
  // 0.08 gave the smallest containers with cdf97 on the repository's speech,
  // physiological and chirp signals (0.04 to 0.2 tried; the high-rate
  // slope of an entropy-coded uniform quantiser, 2 ln 2 / 12 = 0.116, lies
  // in between). The band gains carry what differs between the wavelets,
  // so the others share it until measured on their own.
  return 0.08;
}

void quantise_at_depth(const wavelet::DwtExecutor& executor, const stages::Decomposition& d,
                       std::uint8_t depth, float m, std::span<const double> gains,
                       double lambda, stages::QuantisedBands& out) {
  stages::quantise_at_depth(executor, d, depth, m, std::uint16_t{0}, out);
  std::size_t offset = out.layout.lengths[0];
  for (std::size_t level = 1; level <= depth; ++level) {
    const std::size_t len = out.layout.lengths[level];
    const std::span<std::int16_t> band(out.coeffs.data() + offset, len);
    const Thresholds t = thresholds_for(band, gains[level - 1], lambda);
    lower_where_cheaper(d.details[level - 1], m, t, band);
    offset += len;
  }
}

}  // namespace quillmere::rate_aware
