// fast::decode_coeffs_into with band lengths chosen by the input (see
// parse_coeffs_input). Hostile tables, lengths and token streams must end in
// one error value, the preflight must agree with the decoder, and what
// decodes must survive re-encoding unchanged.
#include <numeric>

#include "fast_coder.hpp"
#include "fuzz_support.hpp"

namespace {

constexpr std::size_t kReencodeLimit = 1 << 16;
// The output buffer comes from the caller at the full length; past this the
// harness would measure the allocator rather than the decoder.
constexpr std::size_t kIntoLimit = 1 << 24;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace fast = quillmere::fast;
  const auto input = quillmere::fuzz::parse_coeffs_input({data, size});
  std::size_t total = 0;
  for (const std::size_t n : input.lengths) total += n;

  const auto preflight = fast::preflight(input.stream, input.lengths);
  if (!preflight || total > kIntoLimit) return 0;

  std::vector<std::int16_t> flat(total);
  const auto done = fast::decode_coeffs_into(input.stream, input.lengths, flat);
  if (!done) {
    QM_FUZZ_CHECK(!fast::message(done.error()).empty());
    return 0;
  }
  // A buffer of the wrong size is refused, never written past.
  std::vector<std::int16_t> wrong(total + 1);
  QM_FUZZ_CHECK(!fast::decode_coeffs_into(input.stream, input.lengths, wrong).has_value());

  if (total <= kReencodeLimit) {
    std::vector<std::span<const std::int16_t>> views;
    std::size_t offset = 0;
    for (const std::size_t n : input.lengths) {
      views.emplace_back(flat.data() + offset, n);
      offset += n;
    }
    const auto again = fast::encode_coeffs(views);
    std::vector<std::int16_t> back(total);
    QM_FUZZ_CHECK(fast::decode_coeffs_into(again, input.lengths, back).has_value());
    QM_FUZZ_CHECK(back == flat);
  }
  return 0;
}
