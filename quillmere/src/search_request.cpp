#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "quillmere/header.hpp"
#include "search_support.hpp"
#include "vector_clones.hpp"

namespace quillmere::search {

SearchError failure(SearchErrorKind kind, std::string bound, double value, double limit,
                    std::string detail) {
  return SearchError{kind, std::move(bound), value, limit, std::move(detail)};
}

namespace {

using Floats8 = float __attribute__((vector_size(32)));
using Ints8 = std::int32_t __attribute__((vector_size(32)));

// One pass for both: whether every sample is finite, and (then) the largest
// magnitude, which sets the finest bound float32 resolves. Eight lanes: the
// one-by-one loop stayed scalar, a wait on the running maximum per sample,
// and the largest magnitude is the same whatever the order it is taken in.
QUILLMERE_VECTOR_CLONES bool finite_peak(const float* __restrict v, std::size_t n, float& peak) noexcept {
  const Ints8 magnitude = {0x7fffffff, 0x7fffffff, 0x7fffffff, 0x7fffffff,
                           0x7fffffff, 0x7fffffff, 0x7fffffff, 0x7fffffff};
  const float big = std::numeric_limits<float>::max();
  const Floats8 largest = {big, big, big, big, big, big, big, big};
  Floats8 m = {0, 0, 0, 0, 0, 0, 0, 0};
  Ints8 finite = {-1, -1, -1, -1, -1, -1, -1, -1};
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    Floats8 x;
    std::memcpy(&x, v + i, sizeof x);
    const auto a = reinterpret_cast<Floats8>(reinterpret_cast<Ints8>(x) & magnitude);
    finite &= a <= largest;  // NaN compares false
    m = a > m ? a : m;
  }
  float top = 0.0f;
  bool all = true;
  for (std::size_t l = 0; l < 8; ++l) {
    top = std::max(top, m[l]);
    all = all && finite[l] != 0;
  }
  for (; i < n; ++i) {
    all = all && std::isfinite(v[i]);
    top = std::max(top, std::fabs(v[i]));
  }
  peak = top;
  return all;
}

// Every coded sample is a float32; its spacing at the signal's largest
// magnitude is the finest detail any reconstruction can express.
double float32_resolution(float peak) {
  return static_cast<double>(std::nextafter(peak, std::numeric_limits<float>::infinity()) - peak);
}

std::optional<SearchError> check_bounds(const SearchRequest& r, const Reference& ref, float peak) {
  const Bounds& b = r.bounds;
  const std::pair<const char*, const std::optional<double>*> all[] = {
      {"max_error", &b.max_error}, {"rmse", &b.rmse}, {"prd", &b.prd}, {"psnr", &b.psnr},
      {"bits_per_sample", &b.bits_per_sample}};
  bool any = false;
  for (const auto& [name, v] : all) {
    if (!v->has_value()) continue;
    any = true;
    const double x = **v;
    if (!(std::isfinite(x) && x > 0.0)) return failure(SearchErrorKind::InvalidBound, name, x, 0.0);
  }
  if (!any) return failure(SearchErrorKind::InvalidRequest, {}, 0.0, 0.0, "no bound given");

  const double floor = float32_resolution(peak) / 2.0;
  if (b.max_error && *b.max_error < floor) {
    return failure(SearchErrorKind::BoundTooFine, "max_error", *b.max_error, floor);
  }
  if (b.rmse && *b.rmse < floor) return failure(SearchErrorKind::BoundTooFine, "rmse", *b.rmse, floor);
  // PRD and PSNR as the RMSE they allow, then the same floor in their units.
  const double energy = ref.sum_x2, lo = ref.lo, hi = ref.hi;
  const std::size_t count = ref.count;
  if (b.prd && count && energy > 0.0) {
    const double prd_floor = 100.0 * floor / std::sqrt(energy / static_cast<double>(count));
    if (*b.prd < prd_floor) return failure(SearchErrorKind::BoundTooFine, "prd", *b.prd, prd_floor);
  }
  if (b.psnr && !(hi > lo)) {
    return failure(SearchErrorKind::InvalidBound, "psnr", *b.psnr, 0.0,
                   "psnr is undefined for a signal whose range is zero");
  }
  if (b.psnr && count && hi > lo) {
    const double psnr_ceiling = 20.0 * std::log10((hi - lo) / floor);
    if (*b.psnr > psnr_ceiling) {
      return failure(SearchErrorKind::BoundTooFine, "psnr", *b.psnr, psnr_ceiling);
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<SearchError> check_request(const SearchRequest& r, const Reference& ref) {
  const auto invalid = [](std::string why) {
    return failure(SearchErrorKind::InvalidRequest, {}, 0.0, 0.0, std::move(why));
  };
  if (r.samples.empty()) return invalid("Can't compress empty data");
  if (r.samples.size() > kMaxSampleCount) return invalid("more than " + std::to_string(kMaxSampleCount) + " samples");
  if (r.originals.size() != r.samples.size()) {
    return invalid("originals hold " + std::to_string(r.originals.size()) + " samples, but " +
                   std::to_string(r.samples.size()) + " are coded");
  }
  float peak = 0.0f;
  const bool coded_are_originals = !r.originals.is_double() && r.originals.f32().data() == r.samples.data();
  if (coded_are_originals && ref.all_finite) {
    // A float32 source is coded as it is: the reference has read every
    // sample already, and its extremes give the same largest magnitude.
    peak = static_cast<float>(std::max(-ref.lo, ref.hi));
  } else if (!finite_peak(r.samples.data(), r.samples.size(), peak)) {
    return invalid("coded samples must be finite");
  }
  if (r.methods.empty()) return invalid("no candidate method");
  if (r.coders.empty()) return invalid("no candidate coder");
  if (!is_supported_scale(r.scale)) {
    return invalid("scale must be " + std::to_string(kMinScale) + " to " + std::to_string(kMaxScale) +
                   ", but it was " + std::to_string(r.scale));
  }
  return check_bounds(r, ref, peak);
}

}  // namespace quillmere::search

namespace quillmere {

std::string SearchError::message() const {
  const auto num = [](double v) {
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 6);
    return std::string(buf, res.ptr);
  };
  switch (kind) {
    case SearchErrorKind::InvalidBound:
      if (!detail.empty()) return detail;
      return bound + " must be a positive finite number, but it was " + num(value);
    case SearchErrorKind::BoundTooFine:
      return bound + " " + num(value) + " is finer than float32 resolves for this signal (limit " +
             num(limit) + ")";
    case SearchErrorKind::BudgetTooSmall:
      return "bits_per_sample " + num(value) +
             " is below the smallest reachable size, " + num(limit) + " bits per sample";
    case SearchErrorKind::TargetNotMet:
      return bound + " " + num(value) + " cannot be met; the closest reached is " + num(limit);
    case SearchErrorKind::InvalidRequest:
      return detail;
    case SearchErrorKind::Codec:
      return detail;
  }
  return detail;
}


}  // namespace quillmere
