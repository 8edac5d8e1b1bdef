// Which transform executor each Method runs on; compressor and decompressor
// must agree on it, so it is decided in exactly one place.
#pragma once

#include "quillmere/options.hpp"
#include "wavelet/wavelet.hpp"

namespace quillmere {

wavelet::DwtHandle make_executor(Method method);

}  // namespace quillmere
