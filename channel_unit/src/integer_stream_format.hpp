// The integer coder's stream format as both its writer and its reader see
// it: block kinds, the codes that switch a partition or a fixed order to
// their special cases, and the arithmetic of positions and residuals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quillmere_tools::integer_format {

enum BlockKind : std::uint8_t { kConstant = 0, kVerbatim = 1, kFixed = 2, kLpc = 3 };

constexpr int kMaxPartitionOrder = 8;
constexpr int kMaxRiceParameter = 30;
// The partition parameter that switches to runs of zero residuals.
constexpr int kRunMode = 31;
constexpr int kRunEscapeBits = 32;
// The fixed "order" that says: repeat the sample `lag` positions back, in
// this block or the one before (a period of a periodic signal).
constexpr std::size_t kRepeatCode = 7;
constexpr int kLagBits = 16;

inline std::uint64_t zigzag(std::int64_t r) noexcept {
  return (static_cast<std::uint64_t>(r) << 1) ^ static_cast<std::uint64_t>(r >> 63);
}

inline std::int64_t unzigzag(std::uint64_t u) noexcept {
  return static_cast<std::int64_t>(u >> 1) ^ -static_cast<std::int64_t>(u & 1);
}

inline std::size_t partition_size(std::size_t block, int order) noexcept {
  const std::size_t parts = std::size_t{1} << order;
  return (block + parts - 1) / parts;
}

// The samples a repeat at `lag` writes as they are: those whose lag
// reaches before the block before.
inline std::size_t repeat_warm_up(std::size_t lag, std::size_t history) noexcept {
  return lag > history ? lag - history : 0;
}

// Sample j of the block (negative j: of the block before it).
inline std::int64_t sample_at(std::span<const std::int64_t> before, const std::int64_t* x,
                              std::ptrdiff_t j) noexcept {
  return j >= 0 ? x[j] : before[before.size() - static_cast<std::size_t>(-j)];
}

}  // namespace quillmere_tools::integer_format
