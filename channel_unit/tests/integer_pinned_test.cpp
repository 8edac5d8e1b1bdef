// Pins the bytes of integer units and of what they decode to, one signal per
// path of the integer coder (predicted PCM with non-finite samples, a
// period, a palette, a step that is no power of two with a trailing run, a
// signal rounded to a grid within a bound, a trace whose residuals take
// rANS tables), so
// builds for other instruction sets, compilers or C libraries that would code
// or reconstruct differently fail here. The signals come from a fixed LCG and
// integer arithmetic, never from the C library's maths, whose last bits may
// differ between machines.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "quillmere_tools/channel_unit.hpp"
#include "quillmere_tools/integer_unit.hpp"

namespace quillmere_tools {
namespace {

class Lcg {
 public:
  explicit Lcg(std::uint64_t seed) : state_(seed) {}
  std::uint32_t next() {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::uint32_t>(state_ >> 33);
  }
  // Uniform in [lo, hi].
  std::int64_t in(std::int64_t lo, std::int64_t hi) {
    return lo + static_cast<std::int64_t>(next() % static_cast<std::uint64_t>(hi - lo + 1));
  }

 private:
  std::uint64_t state_;
};

std::int64_t triangle(std::int64_t i, std::int64_t period, std::int64_t amplitude) {
  const std::int64_t phase = i % period;
  const std::int64_t half = period / 2;
  return (phase < half ? phase : period - phase) * 2 * amplitude / period - amplitude / 2;
}

struct Fnv {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  void add(std::uint8_t byte) { hash = (hash ^ byte) * 0x100000001b3ULL; }
  template <class T>
  void add_values(const std::vector<T>& values) {
    for (const T v : values) {
      const auto bits = std::bit_cast<std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>(v);
      for (std::size_t b = 0; b < sizeof(T); ++b) add(static_cast<std::uint8_t>(bits >> (8 * b)));
    }
  }
};

struct Pinned {
  const char* name;
  std::size_t bytes;
  std::uint64_t unit_hash;
  std::uint64_t decoded_hash;
};

// Smooth 16-bit PCM (two triangles and a little noise) scaled into [-1, 1),
// with a NaN and both infinities, at half a code step: predicted blocks and
// a side block.
UnitResult<EncodedUnit> pcm_unit(std::vector<float>& x) {
  Lcg rng(0x51'4C'4D'01);
  x.resize(20000);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const auto t = static_cast<std::int64_t>(i);
    const std::int64_t code = triangle(t, 197, 30000) + triangle(t, 23, 4000) + rng.in(-6, 6);
    x[i] = static_cast<float>(code) / 32768.0f;
  }
  x[17] = std::numeric_limits<float>::quiet_NaN();
  x[9000] = std::numeric_limits<float>::infinity();
  x[19999] = -std::numeric_limits<float>::infinity();
  UnitRequest r;
  r.bounds.max_error = 0.49 / 32768;
  return encode_unit(std::span<const float>(x), r);
}

// One period of 700 random codes repeated: the repeat of the block before.
UnitResult<EncodedUnit> periodic_unit(std::vector<double>& x) {
  Lcg rng(0x51'4C'4D'02);
  std::vector<double> period(700);
  for (double& v : period) v = static_cast<double>(rng.in(-500000, 500000));
  x.resize(12000);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = period[i % period.size()];
  UnitRequest r;
  r.bounds.max_error = 0.5;
  return encode_unit(std::span<const double>(x), r);
}

// Few distinct values, far apart: indices into a palette.
UnitResult<EncodedUnit> palette_unit(std::vector<double>& x) {
  Lcg rng(0x51'4C'4D'03);
  std::vector<double> levels(30);
  for (double& v : levels) v = static_cast<double>(rng.in(-2000000, 2000000));
  x.resize(9000);
  for (double& v : x) v = levels[rng.next() % levels.size()];
  UnitRequest r;
  r.bounds.max_error = 0.5;
  return encode_unit(std::span<const double>(x), r);
}

// Physical values of a 12-bit recording as a reader of integer-coded
// formats computes them (step times code plus offset, a step that is no
// power of two), the step handed over, and a padded chunk's trailing run.
UnitResult<EncodedUnit> stepped_unit(std::vector<double>& x) {
  Lcg rng(0x51'4C'4D'04);
  const double step = 3.2 / 4095;
  const double offset = -1.7;
  x.resize(8000);
  for (std::size_t i = 0; i < 7900; ++i) {
    const auto t = static_cast<std::int64_t>(i);
    const std::int64_t code = triangle(t, 311, 3000) + triangle(t, 41, 600) + rng.in(-3, 3);
    x[i] = step * (offset / step + static_cast<double>(code));
  }
  for (std::size_t i = 7900; i < x.size(); ++i) x[i] = x[7899];
  UnitRequest r;
  r.bounds.max_error = 0.49 * step;
  r.grid_step = step;
  r.split_trailing_run = true;
  return encode_unit(std::span<const double>(x), r);
}

// Noisy float32 values on no grid coarser than their own bits (codes over a
// prime), at a max-error bound the tools meet by rounding to a coarser grid
// of their own choosing: the choice, the grid and the quick encode pinned.
UnitResult<EncodedUnit> rounded_unit(std::vector<float>& x) {
  Lcg rng(0x51'4C'4D'05);
  x.resize(30000);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const auto t = static_cast<std::int64_t>(i);
    const std::int64_t code = triangle(t, 401, 20000) + rng.in(-3000, 3000);
    x[i] = static_cast<float>(code) / 7919.0f;
  }
  x[123] = std::numeric_limits<float>::quiet_NaN();
  UnitRequest r;
  r.bounds.max_error = 0.01;
  return encode_unit(std::span<const float>(x), r);
}

// A trace on a 12-bit grid that mostly holds still or moves one code, with
// rare jumps: peaky residuals, whose blocks take rANS tables.
UnitResult<EncodedUnit> trace_unit(std::vector<float>& x) {
  Lcg rng(0x51'4C'4D'06);
  x.resize(12000);
  std::int64_t code = 0;
  for (float& v : x) {
    const std::uint32_t roll = rng.next() % 100;
    code += roll < 50 ? 0 : roll < 73 ? 1 : roll < 96 ? -1 : rng.in(-30, 30);
    code = std::clamp<std::int64_t>(code, -2048, 2047);
    v = static_cast<float>(code) / 2048.0f;
  }
  UnitRequest r;
  r.bounds.max_error = 0.49 / 2048;
  return encode_unit(std::span<const float>(x), r);
}

class IntegerPinned : public ::testing::TestWithParam<Pinned> {};

TEST_P(IntegerPinned, UnitAndDecodedBytesAreTheSame) {
  const Pinned& p = GetParam();
  const std::string name = p.name;
  std::vector<float> x32;
  std::vector<double> x64;
  UnitResult<EncodedUnit> unit = name == "pcm"        ? pcm_unit(x32)
                                 : name == "periodic" ? periodic_unit(x64)
                                 : name == "palette"  ? palette_unit(x64)
                                 : name == "rounded"  ? rounded_unit(x32)
                                 : name == "trace"    ? trace_unit(x32)
                                                      : stepped_unit(x64);
  ASSERT_TRUE(unit.has_value()) << unit.error().message;
  ASSERT_EQ(unit->bytes[14], kCoderInteger);
  // The trace's unit announces rANS residuals (flag bit 2 of its payload).
  if (name == "trace") {
    EXPECT_EQ(unit->bytes[quillmere::HEADER_LEN] & 4, 4);
  }
  const auto back = decode_unit(unit->bytes);
  ASSERT_TRUE(back.has_value()) << back.error().message;

  Fnv unit_hash;
  for (const std::uint8_t b : unit->bytes) unit_hash.add(b);
  Fnv decoded_hash;
  // Exact on its grid (within the float64 rounding of step times code plus
  // offset where the step is no power of two), non-finite samples included.
  if (x32.empty()) {
    ASSERT_EQ(back->f64.size(), x64.size());
    const double slack = name == "stepped" ? 1e-12 : 0.0;
    for (std::size_t i = 0; i < x64.size(); ++i) ASSERT_LE(std::abs(back->f64[i] - x64[i]), slack) << i;
    decoded_hash.add_values(back->f64);
  } else if (name == "rounded") {  // within the bound, not exact
    ASSERT_EQ(back->f32.size(), x32.size());
    for (std::size_t i = 0; i < x32.size(); ++i) {
      if (i == 123) {
        ASSERT_TRUE(std::isnan(back->f32[i]));
      } else {
        ASSERT_LE(std::abs(static_cast<double>(back->f32[i]) - static_cast<double>(x32[i])), 0.01) << i;
      }
    }
    EXPECT_GT(unit->report.max_error, 0.0);
    decoded_hash.add_values(back->f32);
  } else {
    ASSERT_EQ(back->f32.size(), x32.size());
    for (std::size_t i = 0; i < x32.size(); ++i) {
      ASSERT_EQ(std::bit_cast<std::uint32_t>(back->f32[i]), std::bit_cast<std::uint32_t>(x32[i])) << i;
    }
    decoded_hash.add_values(back->f32);
  }
  EXPECT_EQ(unit->bytes.size(), p.bytes);
  EXPECT_EQ(unit_hash.hash, p.unit_hash) << std::hex << unit_hash.hash;
  EXPECT_EQ(decoded_hash.hash, p.decoded_hash) << std::hex << decoded_hash.hash;
}

INSTANTIATE_TEST_SUITE_P(Paths, IntegerPinned,
                         ::testing::Values(
                             Pinned{"pcm", 20496, 0xc307889a56481e3dULL, 0x87b686e62110ac84ULL},
                             Pinned{"periodic", 2235, 0xb5f40fd317d015baULL, 0x4ba78dbb967c61bbULL},
                             Pinned{"palette", 6293, 0xd972e84bd8cd621aULL, 0x08b30690c95eb2b0ULL},
                             Pinned{"stepped", 5422, 0x54224420fad143caULL, 0x704521a0640a1bdfULL},
                             Pinned{"trace", 2983, 0x4502c6f6a07b657eULL, 0xfb872be8dca6e23eULL},
                             Pinned{"rounded", 22042, 0x8409f3cedd4945fbULL, 0x1fba055ee22344b9ULL}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillmere_tools
