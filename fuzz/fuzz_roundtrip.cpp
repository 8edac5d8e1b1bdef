// compress -> decompress on arbitrary samples and options (see
// parse_roundtrip_input). Whatever compress accepts, decompress must take
// back to exactly the original length, and compressing twice must give the
// same bytes.
#include <algorithm>
#include <cmath>
#include <limits>

#include "fuzz_support.hpp"
#include "quillmere/compressor.hpp"
#include "quillmere/decompressor.hpp"
#include "quillmere/header.hpp"

namespace {

// compress counts NaN as 0, +inf as 1 and -inf as 0; a finite spread that
// still overflows f32 (say -3e38 to 3e38) cannot be normalised and is refused.
bool range_overflows(std::span<const float> samples) {
  float lo = std::numeric_limits<float>::infinity();
  float hi = -lo;
  for (const float x : samples) {
    const float c = std::isnan(x) ? 0.0f : std::isinf(x) ? (x > 0 ? 1.0f : 0.0f) : x;
    lo = std::min(lo, c);
    hi = std::max(hi, c);
  }
  return std::isinf(hi - lo);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto input = quillmere::fuzz::parse_roundtrip_input({data, size});
  const auto container = quillmere::compress(input.samples, input.options);
  if (!container) {
    // The only refusals: no samples, a range that overflows f32, or an
    // explicit multiplier the decoder could not invert (compress rejects those
    // rather than write a container that decodes to the wrong signal).
    const bool refusable =
        container.error().kind() == quillmere::ErrorKind::UnsupportedConfiguration &&
        (input.samples.empty() || input.options.quant_multiplier.has_value() ||
         range_overflows(input.samples));
    if (!refusable) std::fprintf(stderr, "compress failed: %s\n", container.error().message().c_str());
    QM_FUZZ_CHECK(refusable);
    return 0;
  }
  QM_FUZZ_CHECK(!input.samples.empty());
  QM_FUZZ_CHECK(container->size() ==
                quillmere::HEADER_LEN + quillmere::load_le32(container->data() + 32));

  const auto samples = quillmere::decompress(*container);
  if (!samples) std::fprintf(stderr, "decompress failed: %s\n", samples.error().message().c_str());
  QM_FUZZ_CHECK(samples.has_value());
  QM_FUZZ_CHECK(samples->size() == input.samples.size());

  const auto again = quillmere::compress(input.samples, input.options);
  QM_FUZZ_CHECK(again.has_value() && *again == *container);
  return 0;
}
