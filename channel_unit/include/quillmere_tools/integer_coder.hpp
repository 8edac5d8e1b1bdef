// Lossless coding of a sequence of integers (samples on an integer grid).
//
// The sequence is cut into blocks; each block picks the cheapest of: one
// constant, the values verbatim, a fixed polynomial predictor (orders 0-4),
// the value one period back (a lag into this block or the one before), or
// linear prediction with quantised coefficients (orders 1-32). Residuals
// are Rice coded with one parameter per partition of the block, or as runs
// of zeros where most of a partition's residuals are zero; or, where the
// caller allows it and it saves a 16th of the block's Rice bits, with static
// rANS tables per context (peaky residuals: a trace on a coarse grid, quiet
// passages).
//
// Stream: per block, u32 byte length (little-endian) then the block's bits,
// most significant first, padded to a byte:
//   2 bits kind: 0 constant, 1 verbatim, 2 fixed, 3 LPC
//   constant: the value (width bits, two's complement)
//   verbatim: every value (width bits)
//   fixed:    3 bits order (order 0 then the value it predicts, width
//             bits: the middle of the block's range), warm-up, residuals;
//             order code 7 instead repeats the value a lag back: 16 bits
//             lag - 1, a warm-up of the lag's samples beyond the block
//             before (lag - its length, when positive), then residuals
//             against x[i - lag], which may lie in the block before
//   LPC:      5 bits order - 1, 4 bits precision - 1, 5 bits shift,
//             order coefficients (precision bits each), warm-up, residuals
//   warm-up:  the first `order` values (width bits each)
//   residuals: 4 bits partition order p; the residuals fall into 2^p
//             partitions of ceil(block length / 2^p) sample positions, the
//             warm-up positions holding none; each partition that holds any
//             starts with a 5-bit code:
//               0-30  a Rice parameter k; then per residual its zig-zag value
//                     u as rice(u, k)
//               31    runs of zeros: 5 bits k, 5 bits k', then alternately a
//                     run length rice(run, k) (the last may end the
//                     partition) and a nonzero residual rice(u - 1, k')
//             rice(v, k) is (v >> k) zeros, a one and k low bits; a quotient
//             of kEscapeQuotient or more is written as that many zeros and v
//             raw, in width + 1 bits (32 for a run length).
//             Partition order code 15 instead says the residuals are coded
//             with static rANS tables (integer_rans.hpp in the sources): the
//             block's bits then end with the tables and raw bits, and rANS
//             words fill the rest of its bytes. Only streams coded with
//             IntegerResiduals::RiceOrRans may hold such blocks.
// Predictions are clamped into the width's range, so every residual fits
// width + 1 bits, and all decoding arithmetic is integer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "quillmere_tools/unit_error.hpp"

namespace quillmere_tools {

inline constexpr int kMaxIntegerWidth = 33;
inline constexpr std::size_t kIntegerBlockLength = 4096;
inline constexpr std::size_t kMinIntegerBlockLength = 16;
inline constexpr std::size_t kMaxIntegerBlockLength = 65536;
inline constexpr std::uint32_t kEscapeQuotient = 24;

// How hard the encoder looks for each block's model. Quick is for integers
// that are a lossy signal rounded to a grid: they never repeat a period
// exactly, so no lags are tried; of the fixed orders only the one with the
// smallest residuals is Rice-planned, and one LPC model is tried instead of
// kLpcTrials. Lean is Quick for a caller who asked for speed over the last
// few per cent of size: one LPC model of a low order, and only the better of
// it and the best fixed order (by their residuals' sums) is Rice-planned.
// The stream is the same format every way.
enum class IntegerEffort : std::uint8_t { Full, Quick, Lean };

// The residual codings a stream may use: Rice codes only (the stream as it
// was before rANS residuals, which older readers read), or per block
// whichever of Rice codes and rANS tables is smaller.
enum class IntegerResiduals : std::uint8_t { Rice, RiceOrRans };

// `values` must all fit `width` bits (1 to kMaxIntegerWidth). With `from`
// (a multiple of block_length) only the blocks from there on are coded, with
// the block before as their history: the tail of the stream of all values.
// With RiceOrRans, `took_rans` (when given) is set when a block took rANS.
std::vector<std::uint8_t> encode_integers(std::span<const std::int64_t> values, int width,
                                          std::size_t block_length, std::size_t from = 0,
                                          IntegerEffort effort = IntegerEffort::Full,
                                          IntegerResiduals coding = IntegerResiduals::Rice,
                                          bool* took_rans = nullptr);

// The fewest bytes a stream of `count` values can take (every block a
// constant), so a reader can refuse a count its bytes cannot hold before it
// allocates anything for it.
std::size_t least_stream_bytes(std::size_t count, std::size_t block_length) noexcept;

// Decodes `count` values from `bytes`, which must be exactly the stream
// encode_integers wrote for that many, handing each block's values to `take`
// with the position of its first one (one block of memory, not the whole
// sequence, is held at a time).
//
// Fast reads each block's residuals first and runs its predictor after,
// reading a block again with checks only when it fails; Checked rebuilds
// each sample as it reads and checks it at once. Both give the same values,
// or the same error, for any bytes: Checked is there to show that. With
// `coding` Rice a block coded with rANS is refused as corrupt.
enum class IntegerReading : std::uint8_t { Fast, Checked };
using IntegerSink = std::function<void(std::size_t start, std::span<const std::int64_t> values)>;
UnitResult<void> decode_integers(std::span<const std::uint8_t> bytes, int width,
                                 std::size_t block_length, std::size_t count, const IntegerSink& take,
                                 IntegerReading reading = IntegerReading::Fast,
                                 IntegerResiduals coding = IntegerResiduals::Rice);

}  // namespace quillmere_tools
