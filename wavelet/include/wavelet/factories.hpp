// The four wavelets this library builds, each behind a shared handle:
//   cdf53  make_cdf53_f32()                          filter_length 6
//   cdf97  make_cdf97_f32()                          filter_length 10
//   db4    make_daubechies_f32(DaubechiesFamily::Db4, BorderMode::Wrap)  8
//   sym4   make_symlet_f32(2, BorderMode::Wrap)      filter_length 8
// Every factory returns null instead of throwing: for a table member that
// is not held (only the 8-tap members are), a border mode outside the
// enumeration, or when memory runs out.
#pragma once

#include <cstdint>

#include "wavelet/border_mode.hpp"
#include "wavelet/executor.hpp"
#include "wavelet/filters.hpp"

namespace wavelet {

DwtHandle make_cdf53_f32() noexcept;
DwtHandle make_cdf97_f32() noexcept;
DwtHandle make_daubechies_f32(DaubechiesFamily member, BorderMode mode) noexcept;
DwtHandle make_symlet_f32(std::uint8_t index, BorderMode mode) noexcept;

}  // namespace wavelet
