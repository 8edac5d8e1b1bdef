// A long channel as independent blocks: each block is a channel unit of its
// own (container, then a side block when needed), so blocks are coded on
// separate cores and any one of them is read without the others.
//
// A signal no longer than the block length stays one plain unit, byte for
// byte what encode_unit writes; only longer signals take the blocked form.
//
// Layout (little-endian):
//   0  "QLMB"            magic (not the container's, so the codec's own
//                        decoder refuses the whole rather than decoding a part)
//   4  u8  version        1
//   5  u8  precision      0 = float32 source, 1 = float64 source
//   6  u16 reserved       0
//   8  u64 sample_count   the whole signal's
//  16  u32 block_length   samples per block; the last block holds the rest
//  20  u32 block_count    ceil(sample_count / block_length)
//  24  index: block_count entries of
//        u64 offset       from the start of the data, after the header CRC
//        u64 length       bytes of the block's unit
//        u32 crc32        of those bytes
//  24 + 20 * block_count  u32 crc32 of every byte before it
//  then the blocks' units, in order, back to back.
//
// The header, the index and its CRC are checked in full (every block within
// the data, none overlapping, no gap, nothing after the last, the last
// block's sample count against the total) before any block is decoded, and
// every block's sample count in the range before the output is allocated; a
// block's own CRC before it is decoded.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <variant>
#include <vector>

#include "quillmere_tools/channel_unit.hpp"

namespace quillmere_tools {

inline constexpr std::uint32_t kMinBlockLength = 4096;
inline constexpr std::uint32_t kMaxBlockLength = 0x7fffffffu;
// Chosen by measurement on the repository's long signals (bench/blocks.py):
// blocks of 2^20 samples cost at most +0.25 % against one container (the
// random walk at the default settings; a block carries about 100 bytes of
// its own: header, index entry, the coder learning the block afresh), 2^19
// already +0.5 %; and a 10^7-sample signal still splits into ten blocks to
// keep two cores even. Under a max-error bound each block's own search can
// even come out smaller than one container's.
inline constexpr std::uint32_t kDefaultBlockLength = 1u << 20;

inline constexpr std::size_t kBlockedHeaderLen = 24;
inline constexpr std::size_t kBlockEntryLen = 20;

struct BlockEntry {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  std::uint32_t crc = 0;
};

// A checked view of a blocked unit; `data` are the bytes after the index.
struct BlockedView {
  Precision precision = Precision::Float32;
  std::uint64_t sample_count = 0;
  std::uint32_t block_length = 0;
  std::vector<BlockEntry> blocks;
  std::span<const std::uint8_t> data;

  std::uint64_t block_start(std::size_t i) const noexcept { return std::uint64_t{block_length} * i; }
  std::uint32_t block_samples(std::size_t i) const noexcept;
  std::span<const std::uint8_t> block_bytes(std::size_t i) const noexcept {
    return data.subspan(static_cast<std::size_t>(blocks[i].offset),
                        static_cast<std::size_t>(blocks[i].length));
  }
};

bool is_blocked_unit(std::span<const std::uint8_t> bytes) noexcept;

// Checks the header, the index and its CRC; touches no block.
UnitResult<BlockedView> read_blocked_index(std::span<const std::uint8_t> bytes);

// Checks that block i's unit holds the samples the index says (its header
// and side block; no samples are decoded).
UnitResult<void> check_block_samples(const BlockedView& view, std::size_t i);
// Checks block i's bytes against the CRC in the index.
UnitResult<void> check_block_crc(const BlockedView& view, std::size_t i);
// Both of the above.
UnitResult<void> check_block(const BlockedView& view, std::size_t i);

// The units of consecutive blocks of one signal, wrapped with their index.
UnitResult<std::vector<std::uint8_t>> write_blocked_unit(Precision precision,
                                                         std::uint64_t sample_count,
                                                         std::uint32_t block_length,
                                                         std::span<const std::vector<std::uint8_t>> units);

// What a plain or blocked unit holds, read without decoding any samples.
// A plain unit has block_length 0 and one entry in block_bytes.
struct UnitLayout {
  Precision precision = Precision::Float32;
  std::uint64_t sample_count = 0;
  std::uint32_t block_length = 0;
  std::vector<std::uint64_t> block_bytes;
};

UnitResult<UnitLayout> read_layout(std::span<const std::uint8_t> unit);

// Where decoded samples go: of the unit's precision, stop - start of them.
using SampleSink = std::variant<std::span<float>, std::span<double>>;

// Called once the range and every block in it have been checked, with the
// unit's precision and the number of samples in the range; returns where
// they go (of that precision and size) or an error.
using SinkFactory = std::function<UnitResult<SampleSink>(Precision, std::size_t)>;
// Called once per block decoded (a plain unit counts as one), from whichever
// thread decoded it; for progress reports.
using BlockDone = std::function<void()>;

// Samples [start, stop) of a plain or blocked unit, decoding only the blocks
// that overlap them, on up to `threads` threads. The index, the range and
// every block's sample count are checked before `make_sink` is called, so a
// hostile index cannot make a caller allocate; each block's CRC is checked
// by the task that decodes it, before it decodes. Errors are the first by
// block order, whatever the thread count.
UnitResult<void> decode_range_with(std::span<const std::uint8_t> unit, std::uint64_t start,
                                   std::uint64_t stop, std::size_t threads,
                                   const SinkFactory& make_sink, const BlockDone& done = {});

// The same into a new vector, allocated once the range has been checked.
UnitResult<DecodedUnit> decode_range(std::span<const std::uint8_t> unit, std::uint64_t start,
                                     std::uint64_t stop, std::size_t threads);

// The whole signal of a plain or blocked unit.
UnitResult<DecodedUnit> decode_any(std::span<const std::uint8_t> unit, std::size_t threads);

// --- Encoding ------------------------------------------------------------

// One long signal cut into blocks, with the bounds each block must meet so
// that they hold over the whole signal as well as over every block:
//   max error        the same bound in every block;
//   RMSE             the same bound in every block: the squared errors then
//                    sum to at most rmse^2 times the finite sample count;
//   PRD, PSNR        turned into the RMSE that meets them over the whole
//                    signal (its energy, its range) and met in every block
//                    as such, which also gives each block that PSNR against
//                    the whole signal's range;
//   bits_per_sample  a budget per block, less the index's share, so the
//                    whole unit keeps to it too; the last block, which may
//                    be short, gets 256 bytes more, taken from the others.
// The RMSE a block meets is shrunk by one part in 10^9 so that summing the
// blocks' errors in another order cannot cross the bound by rounding.
//
// Without bounds, the multiplier is relative to the range a container
// normalises by; a block's range is narrower than the whole signal's, so
// each block is given the multiplier (2^scale or quant_multiplier) times its
// range over the whole signal's. Every block then quantises with the step
// one container of the whole signal would use: the same quality, and about
// the same size, rather than finer steps and several times the bytes.
struct BlockPlan {
  std::uint64_t sample_count = 0;
  std::uint32_t block_length = 0;
  std::size_t block_count = 1;  // 1: the signal is one plain unit
  UnitRequest request;          // what every block is given
  // Over the finite samples of the whole signal, for the report.
  std::uint64_t finite = 0;
  double sum_x2 = 0.0;
  double lo = 0.0;
  double hi = 0.0;
  std::optional<float> multiplier;  // without bounds: the whole signal's
  std::optional<double> tail_bits_per_sample;  // the last block's budget

  bool blocked() const noexcept { return block_count > 1; }
  std::uint64_t block_samples_of(std::size_t i) const noexcept {
    const std::uint64_t start = std::uint64_t{block_length} * i;
    return std::min<std::uint64_t>(block_length, sample_count - start);
  }
};

UnitResult<BlockPlan> plan_blocks(SignalView x, const UnitRequest& request,
                                  std::uint32_t block_length);

// What a plan needs of the whole signal, over its finite samples. A signal
// read a piece at a time is measured by calling measure_more on each piece
// in order, which gives bit for bit the measure of the whole.
struct SignalMeasure {
  std::uint64_t finite = 0;
  double sum_x2 = 0.0;
  double lo = std::numeric_limits<double>::infinity();
  double hi = -std::numeric_limits<double>::infinity();
};

void measure_more(SignalView x, SignalMeasure& measure) noexcept;

// plan_blocks for a signal of `sample_count` samples measured beforehand
// (the measure is not read when the signal fits one block).
UnitResult<BlockPlan> plan_measured(std::uint64_t sample_count, const SignalMeasure& measure,
                                    const UnitRequest& request, std::uint32_t block_length);

UnitResult<EncodedUnit> encode_block(SignalView x, const BlockPlan& plan, std::size_t i);

// Block i given on its own (its samples only, of the signal's precision):
// the same unit as encode_block of the whole signal.
UnitResult<EncodedUnit> encode_given_block(SignalView block, const BlockPlan& plan, std::size_t i);

// The blocks' units (consumed) as the signal's unit, with one report over
// the whole signal: its worst max error, its RMSE, PRD and PSNR.
UnitResult<EncodedUnit> join_blocks(SignalView x, const BlockPlan& plan,
                                    std::vector<EncodedUnit>&& blocks);

// plan_blocks, encode_block on up to `threads` threads, join_blocks.
UnitResult<EncodedUnit> encode_long(SignalView x, const UnitRequest& request,
                                    std::uint32_t block_length, std::size_t threads);

}  // namespace quillmere_tools
