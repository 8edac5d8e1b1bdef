// Predictors of the integer coder: fixed polynomial orders 0 to 4 and linear
// prediction with quantised coefficients. The decoder runs only the integer
// half (predict_*); the analysis that picks LPC coefficients uses doubles on
// the encoder side, in a fixed order of basic operations, so the same input
// gives the same coefficients on every machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quillmere_tools {

inline constexpr int kMaxFixedOrder = 4;
inline constexpr int kMaxLpcOrder = 32;
// Coefficients are signed values of at most this many bits. With 32 taps of
// 15 bits over samples of 33 bits a prediction's sum stays below 2^53.
inline constexpr int kMaxLpcPrecision = 15;
inline constexpr int kMaxLpcShift = 31;

struct LpcModel {
  std::vector<std::int32_t> coefs;  // coefs[j] weighs the sample j + 1 back
  int precision = kMaxLpcPrecision;
  int shift = 0;
};

// The range of values a width of `width` bits (two's complement) holds;
// predictions are clamped into it, so a residual needs at most width + 1 bits.
struct IntegerRange {
  std::int64_t lo = 0;
  std::int64_t hi = 0;
  static IntegerRange of_width(int width) noexcept {
    const std::int64_t half = std::int64_t{1} << (width - 1);
    return {-half, half - 1};
  }
  std::int64_t clamp(std::int64_t v) const noexcept { return v < lo ? lo : v > hi ? hi : v; }
};

// Residuals x[i] - prediction(i) for i >= order (x.size() > order).
void fixed_residuals(std::span<const std::int64_t> x, int order, IntegerRange range,
                     std::span<std::int64_t> residuals) noexcept;
void lpc_residuals(std::span<const std::int64_t> x, const LpcModel& model, IntegerRange range,
                   std::span<std::int64_t> residuals);
// The sums of the zig-zagged residuals of fixed orders 1 to kMaxFixedOrder
// (sums[order]; sums[0] is 0), each over the positions i >= order: what
// ranks the orders without their residuals kept. The samples are within
// 33 bits and at most 2^16 (a block), as the coder's are.
void fixed_residual_sums(std::span<const std::int64_t> x, IntegerRange range,
                         std::span<std::uint64_t, kMaxFixedOrder + 1> sums) noexcept;

// The prediction of x[i] from the samples before it (i >= order).
std::int64_t fixed_prediction(const std::int64_t* x, std::size_t i, int order, IntegerRange range) noexcept;
std::int64_t lpc_prediction(const std::int64_t* x, std::size_t i, const LpcModel& model,
                            IntegerRange range) noexcept;

// Candidate LPC models for one block, the most promising first (by the
// prediction error the analysis expects at each order); empty when the block
// is too short or flat for linear prediction to help. Orders above
// `max_order` (1 to kMaxLpcOrder) are not analysed.
//
// With `outlook` (and max_order 4 or more), what the same autocorrelation
// expects of the first model and of the fixed orders: their residuals'
// energy as a share of the block's, the fixed orders' from their difference
// filters ((1 - z)^p (1 - 1/z)^p over the lags). Both lean the same way on a
// windowed block, so their ratio ranks them without either's residuals.
struct LpcOutlook {
  double lpc_share = 1.0;
  double fixed_share = 1.0;  // the least of orders 1 to 4
  bool known = false;
};
std::vector<LpcModel> lpc_candidates(std::span<const std::int64_t> x, std::size_t how_many,
                                     int max_order = kMaxLpcOrder, LpcOutlook* outlook = nullptr);

}  // namespace quillmere_tools
