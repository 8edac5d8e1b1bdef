// cmodel::decode_coeffs with band lengths chosen by the input (see
// parse_coeffs_input). The two decoding entry points and the preflight must
// agree with each other, and decoded bands must survive re-encoding.
#include <numeric>

#include "cmodel.hpp"
#include "cmodel_checks.hpp"
#include "fuzz_support.hpp"

namespace {

constexpr std::size_t kReencodeLimit = 1 << 16;
// decode_coeffs_into needs a caller buffer of the full length; past this the
// harness would measure the allocator rather than the decoder.
constexpr std::size_t kIntoLimit = 1 << 24;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace cmodel = quillmere::cmodel;
  const auto input = quillmere::fuzz::parse_coeffs_input({data, size});
  const std::size_t total = std::accumulate(input.lengths.begin(), input.lengths.end(), std::size_t{0});

  const auto preflight = cmodel::preflight(input.stream, input.lengths);
  const auto bands = cmodel::decode_coeffs(input.stream, input.lengths);

  // The preflight repeats every check made before the first coded bit, with
  // the same error, so its failure decides the decoder's outcome.
  if (!preflight) {
    QM_FUZZ_CHECK(!bands.has_value() && bands.error() == preflight.error());
  }
  if (!cmodel::could_hold(input.stream.size(), total)) QM_FUZZ_CHECK(!bands.has_value());

  if (preflight && total <= kIntoLimit) {
    std::vector<std::int16_t> flat(total);
    const auto into = cmodel::decode_coeffs_into(input.stream, input.lengths, flat);
    QM_FUZZ_CHECK(into.has_value() == bands.has_value());
    if (!into) {
      QM_FUZZ_CHECK(into.error() == bands.error());
    } else {
      std::size_t offset = 0;
      for (const auto& band : *bands) {
        QM_FUZZ_CHECK(std::equal(band.begin(), band.end(), flat.begin() + offset));
        offset += band.size();
      }
    }
  }
  if (!bands) return 0;

  QM_FUZZ_CHECK(bands->size() == input.lengths.size());
  for (std::size_t i = 0; i < bands->size(); ++i) QM_FUZZ_CHECK((*bands)[i].size() == input.lengths[i]);

  if (total <= kReencodeLimit) {
    const std::vector<std::span<const std::int16_t>> views(bands->begin(), bands->end());
    const auto again = cmodel::decode_coeffs(cmodel::encode_coeffs(views), input.lengths);
    QM_FUZZ_CHECK(again.has_value() && *again == *bands);
  }
  return 0;
}
