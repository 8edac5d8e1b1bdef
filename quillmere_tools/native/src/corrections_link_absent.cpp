// Built while the codec library has no bounded search: plain units work,
// bounded ones are refused rather than approximated.
#include "quillmere_tools/corrections_link.hpp"

namespace quillmere_tools {
namespace {

std::unexpected<UnitError> absent() {
  return unit_error(UnitErrorKind::BadInput,
                    "bounded compression needs the codec's bounded search, which this build lacks");
}

}  // namespace

UnitResult<BoundedChoice> bounded_encode(const CodedSamples&, SignalView, const UnitRequest&,
                                         std::size_t) {
  return absent();
}

UnitResult<void> check_corrections(std::span<const std::uint8_t>, Precision, std::uint32_t) {
  return absent();
}

UnitResult<void> apply_corrections(std::span<const std::uint8_t>, std::span<float>) {
  return absent();
}

UnitResult<std::vector<double>> apply_corrections(std::span<const std::uint8_t>,
                                                  std::span<const float>, double) {
  return absent();
}

}  // namespace quillmere_tools
