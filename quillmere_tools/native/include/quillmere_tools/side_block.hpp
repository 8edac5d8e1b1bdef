// The side block: what a channel unit needs beyond the codec's container.
//
// A unit is the container (52 + payload_len bytes, as the codec wrote it),
// then, when there is anything to record, one side block. Stock decoders stop
// at the container's payload, so they still read the wavelet layer.
//
// Layout (little-endian):
//   0  "QLMC"           magic
//   4  u8  version       1
//   5  u8  precision     0 = float32 source, 1 = float64 source
//   6  u8  flags         bit 0 offset, bit 1 non-finite runs, bit 2 corrections
//   7  u8  reserved      0
//   8  u32 sample_count  must equal the container's
//  12  u32 container_crc zlib crc32 of the container, so a block spliced onto
//                        another container (or a damaged container) is caught
//  16  u32 body_len
//  20  body, its sections in flag order:
//        f64 offset                          (bit 0)
//        u32 runs_len, then runs_len bytes   (bit 1): u32 run count, then per
//            run: u8 kind (0 NaN, 1 +Inf, 2 -Inf), LEB128 gap from the end of
//            the previous run, LEB128 length - 1
//        the corrections blob, to the end of the body (bit 2)
//  20 + body_len  u32 crc32 of every byte before it
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "quillmere_tools/non_finite.hpp"
#include "quillmere_tools/unit_error.hpp"

namespace quillmere_tools {

inline constexpr std::size_t kSideHeaderLen = 20;
inline constexpr std::size_t kSideTrailerLen = 4;

enum class Precision : std::uint8_t { Float32 = 0, Float64 = 1 };

struct SideBlock {
  Precision precision = Precision::Float32;
  std::optional<double> offset;  // a float64 source coded as float32(x - offset)
  std::vector<NonFiniteRun> non_finite;
  std::vector<std::uint8_t> corrections;  // a corrections blob, or empty

  // A float32 source with nothing to restore needs no block at all.
  bool needed() const noexcept {
    return precision != Precision::Float32 || offset || !non_finite.empty() || !corrections.empty();
  }
};

UnitResult<std::vector<std::uint8_t>> write_side_block(const SideBlock& block,
                                                       std::span<const std::uint8_t> container,
                                                       std::uint32_t sample_count);

// Reads the block that must fill `bytes` exactly. Every field, the CRCs and
// the runs against sample_count are checked before anything is allocated
// beyond the block's own size.
UnitResult<SideBlock> read_side_block(std::span<const std::uint8_t> bytes,
                                      std::span<const std::uint8_t> container,
                                      std::uint32_t sample_count);

}  // namespace quillmere_tools
