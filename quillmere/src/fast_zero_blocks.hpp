// The fast coder's zero blocks: a band is cut into blocks of B
// coefficients (the last one may be shorter), and a band with enough
// all-zero blocks sends a map of them, so that the token lanes run over its
// live blocks only, laid end to end. Sparse signals (silence between
// words, a quiet sensor between events) then cost time and bits in
// proportion to what they hold. Internal to the codec library.
//
// Each band of the form says how it is held, in two bits: as it is, by a
// map, or as all zeros (no map and no model: a silent band of a long signal
// then costs no time at all, where the token lanes would still pass over
// every one of its zeros). The map of a band is its runs of zero and of
// live blocks, alternating: one bit for the kind of the first run, then
// every run's length less one as an order-0 Exp-Golomb code. Runs make long
// silences cost a few bits; a raw bit per block would cost more than the
// zeros it saves on most speech.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "fast_coder.hpp"
#include "fast_model.hpp"

namespace quillmere::fast {

// Bit 6 of the first byte marks the zero-block form. Only streams of at
// most 63 bands take it (above, the bit is part of the band count), which
// every signal the codec makes has by far; a reader that predates the form
// finds a band count that does not match and refuses the stream.
inline constexpr std::uint8_t kZeroBlockForm = 0x40;
inline constexpr std::size_t kMaxZeroBlockBands = 63;

// Block sizes 8 << code for the 2-bit code; 3 is not used. The encoder
// takes 32: on the repository's speech recordings its streams came out a
// little smaller than with 8 or 16, at the same speed (docs/performance.md).
inline constexpr unsigned kBlockSizeCodes = 3;
inline constexpr unsigned kDefaultBlockCode = 2;

enum class BandHold : std::uint8_t { Whole = 0, Mapped = 1, AllZero = 2 };
inline constexpr unsigned kBandHoldField = 2;

// An all-zero band is held as one zero run and no live block.
struct BandMap {
  bool mapped = false;  // by a map, or as all zeros
  bool all_zero = false;
  bool first_zero = false;    // the kind of the first run
  std::size_t run_begin = 0;  // the band's runs in BlockMaps::runs
  std::size_t run_end = 0;
  std::size_t live = 0;       // coefficients in live blocks (the whole band when unmapped)
};

struct BlockMaps {
  unsigned block_code = kDefaultBlockCode;
  std::vector<BandMap> bands;
  std::vector<std::uint32_t> runs;  // run lengths in blocks

  std::size_t block() const noexcept { return std::size_t{8} << block_code; }
  bool any_mapped() const noexcept;
};

// The maps worth sending for these bands: a band is mapped when the bits
// of its map are well below what its zero blocks' tokens are likely to
// cost, and all-zero bands are held as such when some band is mapped or
// they are long enough together for the passes over them to count.
// any_mapped() is false when the plain form serves as well, and for more
// than 63 bands.
BlockMaps find_zero_blocks(std::span<const std::span<const std::int16_t>> bands, unsigned block_code);

// Block size code, then per band how it is held and its runs; byte aligned.
void write_block_maps(const BlockMaps& maps, std::vector<std::uint8_t>& out);

// The live blocks of every band, band after band, into `out` (the sum of
// the live counts long); `views` gets each band's compacted coefficients.
void compact_bands(std::span<const std::span<const std::int16_t>> bands, const BlockMaps& maps,
                   std::int16_t* out, std::vector<std::span<const std::int16_t>>& views);

// Reads the maps after the first byte; `used` gets the bytes they took.
// Every run must fit its band and the runs must cover it exactly.
std::expected<BlockMaps, FastError> read_block_maps(std::span<const std::uint8_t> in,
                                                    std::span<const std::size_t> lengths, std::size_t& used);

// Spreads the compacted coefficients at the start of `out` (the live
// counts, band after band) to their places, zeros in the zero blocks.
// out.size() is the sum of `lengths`, which the maps were read against.
void expand_bands(const BlockMaps& maps, std::span<const std::size_t> lengths, std::span<std::int16_t> out) noexcept;

// The same spreading with the dequantisation folded in: the compacted
// coefficients `live` (the live counts, band after band) times 1 /
// multiplier into their places in `out`, and the zero blocks, the very
// values dequantise() gives after expand_bands(). One pass over the
// output instead of a move and zero-fill of the integers and then a
// conversion of every one of them, zeros included.
void expand_dequantised(const BlockMaps& maps, std::span<const std::size_t> lengths,
                        std::span<const std::int16_t> live, float multiplier, std::span<float> out) noexcept;

}  // namespace quillmere::fast
