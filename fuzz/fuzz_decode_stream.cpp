// arans::decode_stream on arbitrary bytes, plus the inverse check that what
// it produced survives a trip through the encoder.
#include <algorithm>

#include "arans.hpp"
#include "fuzz_support.hpp"

namespace {

// Re-encoding costs about as much as decoding did; beyond this the check
// would halve the fuzzer's speed for little new coverage.
constexpr std::size_t kReencodeLimit = 1 << 16;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace arans = quillmere::arans;
  const std::span<const std::uint8_t> stream(data, size);
  const auto decoded = arans::decode_stream(stream);
  if (!decoded) return 0;

  if (size <= 5) {
    // Short streams are stored bytes.
    QM_FUZZ_CHECK(std::ranges::equal(*decoded, stream));
    return 0;
  }
  // Two planes of equal length, plus the stored last byte of an odd input.
  const bool odd = data[0] & 1;
  QM_FUZZ_CHECK(decoded->size() % 2 == (odd ? 1u : 0u));
  if (odd) QM_FUZZ_CHECK(decoded->back() == data[size - 1]);

  if (decoded->size() <= kReencodeLimit) {
    const auto again = arans::decode_stream(arans::encode_stream(*decoded));
    QM_FUZZ_CHECK(again.has_value() && *again == *decoded);
  }
  return 0;
}
