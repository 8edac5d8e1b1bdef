#include "quillmere_tools/integer_choice.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "quillmere_tools/quantised_grid.hpp"

namespace quillmere_tools {
namespace {

// Rounding every sample to a grid of step q leaves an RMSE of q / sqrt(12)
// on uniformly spread values; a bound below that leaves a coder no room to
// be anything but (nearly) exact.
constexpr double kRoundingNoise = 0.28867513459481287;

bool tight(const UnitBounds& b, const IntegerGrid& grid) {
  return (b.max_error && *b.max_error <= grid.spacing) ||
         (b.rmse && *b.rmse <= kRoundingNoise * grid.spacing);
}

// Where the tools choose, the rounded-grid integer unit is judged by its
// predicted bits per sample (predict_integer_bits) before anything is coded.
// Many bits mean a bound tight against the signal's detail, where the
// wavelet layer pays for point-wise corrections and the integer unit wins: it
// is coded alone and the wavelet search is skipped. Below the threshold the
// wavelet layer is coded alone. Set on the benchmark signals at bounds from
// 0.03 % to 3 % of their range: from 2.6 to 3 predicted bits the two units
// came within 8 % of each other, either one the smaller; coding both there
// would double the time for a few per cent, so the threshold sits where no
// signal came out larger than its wavelet unit.
constexpr double kIntegerWins = 2.96;

// A look at a few stretches settles most bounds; only those it leaves near
// the threshold get the closer look (the two differed by up to 0.53 bits on
// the benchmark signals at five bounds).
constexpr double kFewStretchesDoubt = 0.75;

bool integer_wins(SignalView x, double bound) {
  const IntegerGrid guess{2.0 * bound, 0.0, 2.0 * bound};
  const double quick = predict_integer_bits(x, guess, kFewStretches);
  if (std::fabs(quick - kIntegerWins) > kFewStretchesDoubt) return quick > kIntegerWins;
  return predict_integer_bits(x, guess, kManyStretches) >= kIntegerWins;
}

// The value of the lowest set bit of |v| (v finite and nonzero): exact,
// since it is a power of two. Every sample is a multiple of a power-of-two
// grid's spacing, so that spacing is at most this.
double lowest_bit_value(double v) {
  int e = 0;
  const double m = std::frexp(std::fabs(v), &e);  // |v| = m 2^e, m in [0.5, 1)
  const auto mantissa = static_cast<std::uint64_t>(std::ldexp(m, 53));
  return std::ldexp(static_cast<double>(mantissa & (0 - mantissa)), e - 53);
}

// How many nonzero finite samples a fast request looks at, from the start,
// for a proof that the bounds are loose against any grid the samples could
// lie on. Zeros prove nothing and are passed over: speech files often open
// with a stretch of silence longer than the look.
constexpr std::size_t kLooseProofSamples = 64;

// Whether one of the first nonzero samples shows that no power-of-two grid
// the samples lie on is as coarse as the bounds: then the exact unit cannot
// fit them (tight() is false for whatever grid find_grid would return), and
// a fast request need not read every sample to find that grid.
bool bounds_loose_against_any_grid(SignalView x, const UnitBounds& b) {
  return std::visit(
      [&](auto s) {
        std::size_t looked = 0;
        for (std::size_t i = 0; i < s.size() && looked < kLooseProofSamples; ++i) {
          const auto v = static_cast<double>(s[i]);
          if (v == 0.0 || !std::isfinite(v)) continue;
          ++looked;
          const double spacing_at_most = lowest_bit_value(v);
          if ((!b.max_error || *b.max_error > spacing_at_most) &&
              (!b.rmse || *b.rmse > kRoundingNoise * spacing_at_most)) {
            return true;
          }
        }
        return false;
      },
      x);
}

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", v);
  return text;
}

}  // namespace

UnitResult<std::optional<IntegerPlan>> plan_integer(SignalView x, const UnitRequest& request, GridCheck check) {
  const bool asked = request.integer != IntegerUse::Auto;
  const bool left_to_tools = request.options.coder == quillmere::Coder::Auto && request.coders.empty();
  // A caller who names a wavelet (other than the default one) asked for the
  // wavelet layer: the rounded grid is weighed only when that too is left open.
  const bool wavelet_open =
      request.methods.empty() && request.options.method == quillmere::CodecOptions{}.method;
  if (!asked && !(left_to_tools && request.bounds.any())) return std::nullopt;
  const std::size_t n = std::visit([](auto s) { return s.size(); }, x);
  if (n == 0) return std::nullopt;  // the wavelet path words the refusal
  const std::optional<double> bound =
      request.bounds.max_error ? std::optional<double>(*request.bounds.max_error) : std::nullopt;
  // Left to the tools, the prediction comes first, on the step the grid
  // will have to within a few per cent, so that a bound where the wavelet
  // layer wins costs one light look and no check of every sample.
  const bool rounds = bound && (asked || wavelet_open) &&
                      (asked || (std::isfinite(*bound) && *bound > 0.0 && integer_wins(x, *bound)));
  // A fast request the wavelet layer takes: when a few samples prove the
  // exact unit cannot fit the bounds either, the whole-signal grid search is
  // skipped (its answer could not change the choice). A given step is the
  // caller's grid and is always checked.
  if (!asked && !rounds && request.effort == SearchEffort::Fast && !request.grid_step &&
      bounds_loose_against_any_grid(x, request.bounds)) {
    return std::nullopt;
  }
  const auto grid = find_grid(x, request.grid_step);
  IntegerPlan plan;
  plan.only = request.integer == IntegerUse::Only;
  plan.compare = request.integer == IntegerUse::Compare;
  // Lossless on the source's own grid: as small as an integer unit gets when
  // the bound leaves no room to round.
  const bool exact_fits = grid && (asked || tight(request.bounds, *grid));
  // A max-error bound of at least one spacing of the source's grid (or a
  // source on none): the samples rounded to a coarser grid within the bound.
  std::optional<IntegerGrid> coarse;
  bool unchecked = false;
  if (rounds) {
    // A fast effort skips the pass that checks every sample against the
    // grid: the unit's own pass measures the same error (the same
    // rounding and reconstruction) as it codes.
    if (check == GridCheck::AfterWhenFast && request.effort == SearchEffort::Fast) {
      coarse = first_quantised_grid(x, *bound, grid);
      unchecked = coarse.has_value();
    }
    if (!coarse) coarse = quantised_grid(x, *bound, grid);
  }
  // Rounding to the coarse grid leaves about its rounding noise: an RMSE
  // bound below that is for the exact unit or the wavelet layer to meet.
  if (coarse && request.bounds.rmse && *request.bounds.rmse < kRoundingNoise * coarse->step) coarse.reset();
  if (coarse) {
    IntegerPlan rounded = plan;
    rounded.grid = *coarse;
    rounded.unchecked = unchecked;
    // A caller who asked for a fast search takes a lean model search too: a
    // few per cent of bytes for a much cheaper analysis per block.
    rounded.effort = request.effort == SearchEffort::Fast ? IntegerEffort::Lean : IntegerEffort::Quick;
    return rounded;
  }
  if (exact_fits) {
    plan.grid = *grid;
    return plan;
  }
  if (request.integer != IntegerUse::Only) return std::nullopt;
  return unit_error(UnitErrorKind::BadInput,
                    request.grid_step
                        ? "the samples do not fit 33-bit integers on the step " + number(*request.grid_step)
                        : std::string("the samples are not integers times a power of two within 33 bits; "
                                      "the integer coder cannot code them"));
}

bool meets_bounds(const UnitReport& r, const UnitBounds& b, std::size_t bytes, std::size_t unit_samples) {
  if (b.max_error && !(r.max_error <= *b.max_error)) return false;
  if (b.rmse && !(r.rmse <= *b.rmse)) return false;
  if (b.prd && !(r.prd <= *b.prd)) return false;
  if (b.psnr && !(r.psnr >= *b.psnr)) return false;
  if (b.bits_per_sample && unit_samples > 0 &&
      !(8.0 * static_cast<double>(bytes) / static_cast<double>(unit_samples) <= *b.bits_per_sample)) {
    return false;
  }
  return true;
}

std::string integer_miss(const UnitReport& r, const UnitBounds& b, std::size_t bytes,
                         std::size_t unit_samples) {
  std::string why;
  const auto add = [&](const std::string& s) { why += (why.empty() ? "" : ", ") + s; };
  if (b.max_error && !(r.max_error <= *b.max_error)) {
    add("max error " + number(r.max_error) + " > " + number(*b.max_error));
  }
  if (b.rmse && !(r.rmse <= *b.rmse)) add("RMSE " + number(r.rmse) + " > " + number(*b.rmse));
  if (b.prd && !(r.prd <= *b.prd)) add("PRD " + number(r.prd) + "% > " + number(*b.prd) + "%");
  if (b.psnr && !(r.psnr >= *b.psnr)) add("PSNR " + number(r.psnr) + " dB < " + number(*b.psnr) + " dB");
  if (b.bits_per_sample && unit_samples > 0) {
    const double bits = 8.0 * static_cast<double>(bytes) / static_cast<double>(unit_samples);
    if (!(bits <= *b.bits_per_sample)) {
      add(number(bits) + " bits per sample > " + number(*b.bits_per_sample));
    }
  }
  return "the integer coder misses the bounds: " + why;
}

}  // namespace quillmere_tools
