#include "wavelet/error.hpp"

#include <array>
#include <string_view>

namespace wavelet {
namespace {

// One template per kind, in enumeration order; each "{}" takes the next
// carried number.
constexpr std::array<std::string_view, 9> kTemplates = {
    "Cannot allocate {} bytes to vector",
    "Approximation and details expected to be half of original signal length but it was {}",
    "Approx and details must match, but they don't {}x{}",
    "Output size should be {}, but it was {}",
    "Input size {} can't be less than {}",
    "Buffer was too small for provided level",
    "Approximate size {} does not match required size {}",
    "Details size {} does not match required size {}",
    "Zero sized input is not supported",
};

}  // namespace

std::string TransformError::message() const {
  const std::string_view pattern = kTemplates[static_cast<std::size_t>(kind_)];
  const std::size_t numbers[2] = {first_, second_};
  std::string out;
  std::size_t next = 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '{' && i + 1 < pattern.size() && pattern[i + 1] == '}') {
      out += std::to_string(numbers[next++]);
      ++i;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

}  // namespace wavelet
