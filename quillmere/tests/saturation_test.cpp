// The 16-bit saturation rule: compress() takes the deepest level count at
// which nothing saturates, decided from one transform, and refuses when even
// one level saturates, naming the largest multiplier that fits.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "compress_core.hpp"
#include "quantizer.hpp"
#include "quillmere/compressor.hpp"
#include "quillmere/header.hpp"

namespace quillmere {
namespace {

std::vector<float> step_signal() {
  std::vector<float> x(4096, 0.0f);
  std::fill(x.begin(), x.begin() + 3500, 1.0f);
  return x;
}

std::vector<float> wave(std::size_t n) {
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; ++i) {
    x[i] = std::sin(0.001f * static_cast<float>(i * i % 100003)) + 0.2f * std::sin(0.05f * static_cast<float>(i));
  }
  return x;
}

CodecOptions with(Method method, Coder coder, std::uint8_t scale, float m) {
  CodecOptions o;
  o.method = method;
  o.coder = coder;
  o.scale = scale;
  o.quant_multiplier = m;
  return o;
}

// What compress() did before: whole passes, one level fewer each time.
std::vector<std::uint8_t> container_by_stepping_down(const std::vector<float>& x, const CodecOptions& o) {
  std::uint8_t levels = pick_levels(x.size(), o.method);
  auto enc = detail::compress_core(x, o, levels);
  while (enc && enc->saturated && levels > 1) enc = detail::compress_core(x, o, --levels);
  EXPECT_TRUE(enc);
  const auto header = to_bytes(HeaderFields{o.method, enc->levels, enc->scale, enc->coder_id,
                                            static_cast<std::uint32_t>(x.size()), enc->min, enc->max,
                                            enc->mean, static_cast<std::uint32_t>(enc->payload.size()),
                                            enc->multiplier});
  std::vector<std::uint8_t> out(header.begin(), header.end());
  out.insert(out.end(), enc->payload.begin(), enc->payload.end());
  return out;
}

class SameDepthAsSteppingDown
    : public ::testing::TestWithParam<std::tuple<Method, Coder, float>> {};

TEST_P(SameDepthAsSteppingDown, ContainersAreIdentical) {
  const auto [method, coder, m] = GetParam();
  for (const auto& x : {step_signal(), wave(3000), wave(100)}) {
    const auto o = with(method, coder, 9, m);
    auto c = compress(x, o);
    if (!c) {
      // Refused only where the old rule kept a one-level, saturated result.
      auto one = detail::compress_core(x, o, 1);
      ASSERT_TRUE(one);
      EXPECT_TRUE(one->saturated);
      continue;
    }
    EXPECT_EQ(*c, container_by_stepping_down(x, o));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Multipliers, SameDepthAsSteppingDown,
    ::testing::Combine(::testing::Values(Method::Cdf53, Method::Cdf97, Method::Db4, Method::Sym4),
                       ::testing::Values(Coder::CModel, Coder::Arans, Coder::Deflate),
                       ::testing::Values(512.0f, 4096.0f, 9000.0f, 20000.0f, 40000.0f)));

TEST(Saturation, RefusesAtOneLevelNamingTheLargestMultiplierThatFits) {
  const auto x = step_signal();
  const auto o = with(Method::Cdf97, Coder::CModel, 12, 100000.0f);
  auto c = compress(x, o);
  ASSERT_FALSE(c);
  EXPECT_EQ(c.error().kind(), ErrorKind::UnsupportedConfiguration);
  const std::string text = c.error().text();
  const std::string lead = "the largest multiplier that fits this signal is ";
  const auto at = text.find(lead);
  ASSERT_NE(at, std::string::npos) << text;
  EXPECT_NE(text.find("quant_multiplier 100000 "), std::string::npos) << text;

  // The named multiplier is exactly the boundary: it compresses, the next
  // float up is refused.
  const float fits = std::stof(text.substr(at + lead.size()));
  auto ok = compress(x, with(Method::Cdf97, Coder::CModel, 12, fits));
  ASSERT_TRUE(ok) << ok.error().message();
  EXPECT_EQ(QuillmereHeader::from_bytes(*ok)->levels, 1);
  EXPECT_FALSE(compress(x, with(Method::Cdf97, Coder::CModel, 12, std::nextafter(fits, INFINITY))));
}

}  // namespace
}  // namespace quillmere
