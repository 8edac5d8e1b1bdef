#include "wavelet_choice.hpp"

namespace quillmere {

wavelet::DwtHandle make_executor(Method method) {
  switch (method) {
    case Method::Cdf53:
      return wavelet::make_cdf53_f32();
    case Method::Cdf97:
      return wavelet::make_cdf97_f32();
    case Method::Db4:
      return wavelet::make_daubechies_f32(wavelet::DaubechiesFamily::Db4, wavelet::BorderMode::Wrap);
    case Method::Sym4:
      return wavelet::make_symlet_f32(2, wavelet::BorderMode::Wrap);
  }
  // Callers only pass the four enumerators; an out-of-range byte falls back
  // to the default wavelet rather than dereferencing nothing.
  return wavelet::make_cdf97_f32();
}

BandLayout band_layout(const wavelet::DwtExecutor& executor, std::size_t transform_len,
                       std::uint8_t levels) {
  BandLayout layout;
  layout.lengths.resize(std::size_t{levels} + 1);
  std::size_t input = transform_len;
  for (std::size_t level = 1; level <= levels; ++level) {
    const auto size = executor.dwt_size(input);
    layout.lengths[level] = size.details;
    layout.total += size.details;
    input = size.approximation;
  }
  layout.lengths[0] = input;
  layout.total += input;
  return layout;
}

}  // namespace quillmere
