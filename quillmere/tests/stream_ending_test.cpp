// The tools' reader wants a payload to end exactly where its stream does;
// the module's reader keeps taking what it always took.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "quillmere/byte_io.hpp"
#include "quillmere/compressor.hpp"
#include "quillmere/decompressor.hpp"
#include "quillmere/header.hpp"
#include "quillmere/options.hpp"

namespace quillmere {
namespace {

constexpr std::size_t kPayloadLenAt = 32;

std::vector<float> speech_like(std::size_t n) {
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i);
    x[i] = static_cast<float>(std::sin(t / 9.0) * std::sin(t / 700.0) + 0.05 * std::sin(t * 1.7));
  }
  return x;
}

// The container with `extra` appended and its payload length grown over
// it: what a damaged length field makes of a unit's side block.
std::vector<std::uint8_t> swallowing(std::vector<std::uint8_t> container,
                                     const std::vector<std::uint8_t>& extra) {
  container.insert(container.end(), extra.begin(), extra.end());
  store_le32(container.data() + kPayloadLenAt,
             static_cast<std::uint32_t>(container.size() - HEADER_LEN));
  return container;
}

class StreamEnding : public ::testing::TestWithParam<std::tuple<Coder, std::size_t>> {};

TEST_P(StreamEnding, BytesTakenIntoThePayloadAreRefusedByTheToolsReader) {
  const auto [coder, n] = GetParam();
  CodecOptions options;
  options.coder = coder;
  const auto x = speech_like(n);
  const auto container = compress(x, options);
  ASSERT_TRUE(container);
  const auto plain = decompress_tools(*container);
  ASSERT_TRUE(plain) << plain.error().message();

  // A side block's first bytes, one zero byte, a run of 0xff.
  const std::vector<std::vector<std::uint8_t>> extras = {
      {'Q', 'L', 'M', 'C', 1, 1, 3, 0}, {0}, std::vector<std::uint8_t>(24, 0xff)};
  for (const auto& extra : extras) {
    SCOPED_TRACE(testing::Message() << extra.size() << " bytes taken in");
    const auto grown = swallowing(*container, extra);
    EXPECT_FALSE(decompress_tools(grown));
    if (coder != Coder::Fast) {
      // The module reads as it always has: the stream's end decides.
      const auto module = decompress(grown);
      ASSERT_TRUE(module) << module.error().message();
      EXPECT_EQ(*module, *plain);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryCoder, StreamEnding,
    ::testing::Combine(::testing::Values(Coder::Deflate, Coder::Arans, Coder::CModel, Coder::Fast),
                       ::testing::Values(std::size_t{20}, std::size_t{5000}, std::size_t{70000})));

}  // namespace
}  // namespace quillmere
