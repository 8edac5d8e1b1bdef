// Non-finite samples: found and recorded as runs, replaced before coding by
// the nearest finite neighbour (a replacement that costs the wavelet layer
// almost nothing), and put back after decoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quillmere_tools {

enum class NonFiniteKind : std::uint8_t { NaN = 0, PlusInf = 1, MinusInf = 2 };

struct NonFiniteRun {
  std::size_t start = 0;
  std::size_t length = 0;
  NonFiniteKind kind = NonFiniteKind::NaN;
  friend bool operator==(const NonFiniteRun&, const NonFiniteRun&) = default;
};

// Maximal runs of one kind, in position order.
template <class T>
std::vector<NonFiniteRun> find_non_finite(std::span<const T> x);

// Each run becomes the value of its nearest finite neighbour (the first half
// takes the left one, the second half the right one; a run at an end takes
// the only neighbour); a signal with no finite sample becomes zeros.
void fill_non_finite(std::span<float> samples, std::span<const NonFiniteRun> runs) noexcept;

template <class T>
void restore_non_finite(std::span<T> samples, std::span<const NonFiniteRun> runs) noexcept;

}  // namespace quillmere_tools
