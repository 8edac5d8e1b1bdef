#include "quillmere_tools/non_finite.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace quillmere_tools {
namespace {

template <class T>
NonFiniteKind kind_of(T v) noexcept {
  if (std::isnan(v)) return NonFiniteKind::NaN;
  return v > 0 ? NonFiniteKind::PlusInf : NonFiniteKind::MinusInf;
}

template <class T>
T value_of(NonFiniteKind kind) noexcept {
  switch (kind) {
    case NonFiniteKind::PlusInf: return std::numeric_limits<T>::infinity();
    case NonFiniteKind::MinusInf: return -std::numeric_limits<T>::infinity();
    case NonFiniteKind::NaN: break;
  }
  return std::numeric_limits<T>::quiet_NaN();
}

}  // namespace

// Whether any of the n values at p is an infinity or a NaN, from their
// exponent bits: one branch per block instead of one per sample.
template <class T>
bool any_non_finite(const T* p, std::size_t n) noexcept {
  using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
  constexpr Bits kExponent = static_cast<Bits>(sizeof(T) == 4 ? 0x7F800000ULL : 0x7FF0000000000000ULL);
  Bits found = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const Bits b = std::bit_cast<Bits>(p[i]);
    found |= static_cast<Bits>((b & kExponent) == kExponent);
  }
  return found != 0;
}

template <class T>
std::vector<NonFiniteRun> find_non_finite(std::span<const T> x) {
  constexpr std::size_t kBlock = 256;
  std::vector<NonFiniteRun> runs;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (i % kBlock == 0 && x.size() - i >= kBlock && !any_non_finite(x.data() + i, kBlock)) {
      i += kBlock - 1;
      continue;
    }
    if (std::isfinite(x[i])) continue;
    const NonFiniteKind kind = kind_of(x[i]);
    if (!runs.empty() && runs.back().kind == kind && runs.back().start + runs.back().length == i) {
      ++runs.back().length;
    } else {
      runs.push_back({i, 1, kind});
    }
  }
  return runs;
}

void fill_non_finite(std::span<float> samples, std::span<const NonFiniteRun> runs) noexcept {
  // Runs of different kinds can touch, so gaps are found over merged spans:
  // a span ends where the next finite sample is.
  std::size_t r = 0;
  while (r < runs.size()) {
    const std::size_t begin = runs[r].start;
    std::size_t end = begin + runs[r].length;
    while (r + 1 < runs.size() && runs[r + 1].start == end) {
      ++r;
      end += runs[r].length;
    }
    ++r;
    const bool has_left = begin > 0;
    const bool has_right = end < samples.size();
    if (!has_left && !has_right) {
      for (std::size_t i = begin; i < end; ++i) samples[i] = 0.0f;
      continue;
    }
    const float left = has_left ? samples[begin - 1] : samples[end];
    const float right = has_right ? samples[end] : left;
    const std::size_t half = begin + (end - begin + 1) / 2;
    for (std::size_t i = begin; i < end; ++i) samples[i] = i < half ? left : right;
  }
}

template <class T>
void restore_non_finite(std::span<T> samples, std::span<const NonFiniteRun> runs) noexcept {
  for (const NonFiniteRun& run : runs) {
    const T v = value_of<T>(run.kind);
    for (std::size_t i = run.start; i < run.start + run.length; ++i) samples[i] = v;
  }
}

template std::vector<NonFiniteRun> find_non_finite<float>(std::span<const float>);
template std::vector<NonFiniteRun> find_non_finite<double>(std::span<const double>);
template void restore_non_finite<float>(std::span<float>, std::span<const NonFiniteRun>) noexcept;
template void restore_non_finite<double>(std::span<double>, std::span<const NonFiniteRun>) noexcept;

}  // namespace quillmere_tools
