// The bounded search at RMS-type bounds (and max_error without corrections)
// against the strategy it replaced: bisection on log2 of the multiplier from
// the scale, whole octaves first, down to 1/128 of an octave, every
// candidate compressed and decoded for real. The search must never return a
// container larger than the one where that bisection ends, and it must end on
// the grid with the neighbour below missing the bounds.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "quillmere/bounded_search.hpp"
#include "quillmere/compressor.hpp"
#include "quillmere/decompressor.hpp"

namespace quillmere {
namespace {

enum class Shape { Walk, Spikes, Steps, Chirp, Noise };
enum class Kind { Rmse, Prd, Psnr, MaxError };

std::vector<float> make(Shape shape, std::size_t n) {
  std::uint64_t s = 0x9e3779b97f4a7c15ull + n * 31 + static_cast<std::uint64_t>(shape);
  const auto uniform = [&s] {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<double>(s >> 11) / 9007199254740992.0;
  };
  std::vector<float> x(n);
  double walk = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / static_cast<double>(n);
    double v = 0.0;
    switch (shape) {
      case Shape::Walk: v = walk += uniform() - 0.5; break;
      case Shape::Spikes: v = 0.02 * (uniform() - 0.5) + (uniform() < 0.01 ? 3.0 : 0.0); break;
      case Shape::Steps: v = std::floor(t * 9.0) * 0.4 + 0.01 * uniform(); break;
      case Shape::Chirp: v = std::sin(6.283185307179586 * (2.0 + 150.0 * t) * t) + 0.01 * uniform(); break;
      case Shape::Noise: v = uniform() * 2.0 - 1.0; break;
    }
    x[i] = static_cast<float>(v);
  }
  return x;
}

Bounds bounds_for(Kind kind, const std::vector<float>& x) {
  float lo = x[0], hi = x[0];
  for (float v : x) lo = std::min(lo, v), hi = std::max(hi, v);
  const double range = static_cast<double>(hi) - static_cast<double>(lo);
  Bounds b;
  switch (kind) {
    case Kind::Rmse: b.rmse = 1e-3 * range; break;
    case Kind::Prd: b.prd = 0.5; break;
    case Kind::Psnr: b.psnr = 62.0; break;
    case Kind::MaxError: b.max_error = 4e-3 * range; break;
  }
  return b;
}

bool meets(const Distortion& d, const Bounds& b) {
  return (!b.rmse || d.rmse <= *b.rmse) && (!b.prd || d.prd <= *b.prd) &&
         (!b.psnr || d.psnr >= *b.psnr) && (!b.max_error || d.max_error <= *b.max_error);
}

// Compressed and decoded for real: the size, or nothing when the bounds miss.
std::optional<std::size_t> passing_size(const std::vector<float>& x, const Bounds& b,
                                        CodecOptions o, float m) {
  o.quant_multiplier = m;
  auto c = compress(x, o);
  if (!c) return std::nullopt;
  auto y = decompress(*c);
  if (!y || !meets(measure(Originals::of_float(x), *y), b)) return std::nullopt;
  return c->size();
}

// The replaced strategy, written out as it ran over float32(2^l): its
// container at the last upper point.
std::optional<std::size_t> bisection_end_size(const std::vector<float>& x, const Bounds& b,
                                              const CodecOptions& o) {
  std::map<double, std::optional<std::size_t>> seen;
  const auto ok = [&](double l) {
    auto it = seen.find(l);
    if (it == seen.end()) {
      it = seen.emplace(l, passing_size(x, b, o, static_cast<float>(std::pow(2.0, l)))).first;
    }
    return it->second.has_value();
  };
  double lo = o.scale, hi = o.scale;
  bool bracketed = true;
  if (ok(lo)) {
    for (lo = hi - 1.0; lo >= -8.0 && ok(lo); lo -= 1.0) hi = lo;
    bracketed = lo >= -8.0;
  } else {
    for (hi = lo + 1.0; hi <= 20.0 && !ok(hi); hi += 1.0) lo = hi;
    if (hi > 20.0) return std::nullopt;
  }
  while (bracketed && hi - lo > 0.015) {
    const double mid = 0.5 * (lo + hi);
    (ok(mid) ? hi : lo) = mid;
  }
  return seen[hi];
}

using Param = std::tuple<Shape, std::size_t, Method, Kind>;
class SearchAgainstBisection : public ::testing::TestWithParam<Param> {};

TEST_P(SearchAgainstBisection, NeverLargerAndEndsOnTheGridBoundary) {
  const auto [shape, n, method, kind] = GetParam();
  const std::vector<float> x = make(shape, n);
  SearchRequest req;
  req.samples = x;
  req.originals = Originals::of_float(x);
  req.bounds = bounds_for(kind, x);
  req.methods = {method};
  req.allow_corrections = false;
  auto res = bounded_compress(req);
  ASSERT_TRUE(res) << res.error().message();

  CodecOptions o;
  o.method = method;
  o.scale = req.scale;
  o.cutoff = req.cutoff;
  o.coder = req.coders.front();
  const auto old = bisection_end_size(x, req.bounds, o);
  ASSERT_TRUE(old);
  // It kept the smallest passing container it coded; a passing point above
  // its end can code a byte or two smaller on a few hundred samples, but
  // coding every such point would cost a full coding each.
  EXPECT_LE(res->container.size(), *old);

  const float m = *res->options.quant_multiplier;
  const double j = std::round(std::log2(static_cast<double>(m)) * 128.0);
  ASSERT_EQ(m, static_cast<float>(std::pow(2.0, j / 128.0))) << "off the grid: " << m;
  if (m > 1.0f / 64.0f) {
    EXPECT_FALSE(passing_size(x, req.bounds, o, static_cast<float>(std::pow(2.0, (j - 1.0) / 128.0))))
        << "the grid neighbour below " << m << " meets the bounds too";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, SearchAgainstBisection,
    ::testing::Combine(::testing::Values(Shape::Walk, Shape::Spikes, Shape::Steps, Shape::Chirp,
                                         Shape::Noise),
                       ::testing::Values(std::size_t{300}, std::size_t{4099}),
                       ::testing::Values(Method::Cdf53, Method::Cdf97, Method::Db4, Method::Sym4),
                       ::testing::Values(Kind::Rmse, Kind::Prd, Kind::Psnr, Kind::MaxError)));

// Long enough that the dead zone is searched only where one coding of it,
// where it would meet the bounds, comes within 1 % of the plain rounding
// finalist: a sparse signal, where the dead zone wins by far, must not lose
// it. The rule allows that 1 %; without it the search could already end 2
// bytes above the bisection here (steps, CDF 5/3, PRD: 240 against 238).
class LongSearchAgainstBisection : public ::testing::TestWithParam<std::tuple<Shape, Kind>> {};

TEST_P(LongSearchAgainstBisection, DeadZoneNotLostWhereItWins) {
  const auto [shape, kind] = GetParam();
  for (const Method method : {Method::Cdf53, Method::Cdf97}) {
    const std::vector<float> x = make(shape, 20000);
    SearchRequest req;
    req.samples = x;
    req.originals = Originals::of_float(x);
    req.bounds = bounds_for(kind, x);
    req.methods = {method};
    auto res = bounded_compress(req);
    ASSERT_TRUE(res) << res.error().message();
    CodecOptions o;
    o.method = method;
    o.scale = req.scale;
    o.cutoff = req.cutoff;
    o.coder = req.coders.front();
    const auto old = bisection_end_size(x, req.bounds, o);
    ASSERT_TRUE(old);
    EXPECT_LE(static_cast<double>(res->container.size()), 1.01 * static_cast<double>(*old))
        << "method " << static_cast<int>(method);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, LongSearchAgainstBisection,
    ::testing::Combine(::testing::Values(Shape::Walk, Shape::Spikes, Shape::Steps, Shape::Chirp,
                                         Shape::Noise),
                       ::testing::Values(Kind::Rmse, Kind::Prd, Kind::Psnr)));

// Where the dead zone's distortion costs more multiplier than its zeros save
// (a dense random walk: 7 % to 10 %), the search's own plain rounding must
// show: its container is clearly smaller than where the old bisection
// ended. On sparse signals (spikes, steps) the scale's rule must still win,
// at most the old size, which the parametrised test above holds it to.
class RoundingPays : public ::testing::TestWithParam<Kind> {};

TEST_P(RoundingPays, SmallerThanTheDeadZonesBisection) {
  const Kind kind = GetParam();
  const std::vector<float> x = make(Shape::Walk, 20000);
  SearchRequest req;
  req.samples = x;
  req.originals = Originals::of_float(x);
  req.bounds = bounds_for(kind, x);
  req.allow_corrections = false;
  auto res = bounded_compress(req);
  ASSERT_TRUE(res) << res.error().message();
  CodecOptions o;
  o.scale = req.scale;
  o.coder = req.coders.front();
  const auto old = bisection_end_size(x, req.bounds, o);
  ASSERT_TRUE(old);
  EXPECT_LT(static_cast<double>(res->container.size()), 0.98 * static_cast<double>(*old));
}

INSTANTIATE_TEST_SUITE_P(Walk, RoundingPays, ::testing::Values(Kind::Rmse, Kind::Prd, Kind::Psnr));

}  // namespace
}  // namespace quillmere
