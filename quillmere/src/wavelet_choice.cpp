#include "quillmere/wavelet_choice.hpp"

namespace quillmere {

wavelet::DwtHandle make_executor(Method method) {
  switch (method) {
    case Method::Cdf53:
      return wavelet::make_cdf53_f32();
    case Method::Cdf97:
      return wavelet::make_cdf97_f32();
    case Method::Db4:
      return wavelet::make_daubechies_f32(wavelet::DaubechiesFamily{3}, wavelet::BorderMode::Wrap);
    case Method::Sym4:
      return wavelet::make_symlet_f32(2, wavelet::BorderMode::Wrap);
  }
  // Callers only pass the four enumerators; an out-of-range byte falls back
  // to the default wavelet rather than dereferencing nothing.
  return wavelet::make_cdf97_f32();
}

}  // namespace quillmere
