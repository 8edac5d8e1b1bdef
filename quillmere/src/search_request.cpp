#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

#include "quillmere/header.hpp"
#include "search_support.hpp"

namespace quillmere::search {

SearchError failure(SearchErrorKind kind, std::string bound, double value, double limit,
                    std::string detail) {
  return SearchError{kind, std::move(bound), value, limit, std::move(detail)};
}

namespace {

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
  // One pass for both: whether every sample is finite, and the largest
  // magnitude, which sets the finest bound float32 resolves.
  float peak = 0.0f;
  bool finite = true;
  for (const float v : r.samples) {
    finite &= std::isfinite(v);
    peak = std::max(peak, std::fabs(v));
  }
  if (!finite) return invalid("coded samples must be finite");
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
