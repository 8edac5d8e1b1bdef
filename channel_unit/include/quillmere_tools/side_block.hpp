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
//   6  u8  flags         bit 0 offset, bit 1 non-finite runs, bit 2 corrections,
//                        bit 3 trailing run
//   7  u8  reserved      0
//   8  u32 sample_count  the unit's: the container's, plus the trailing run
//  12  u32 container_crc zlib crc32 of the container, so a block spliced onto
//                        another container (or a damaged container) is caught
//  16  u32 body_len
//  20  body, its sections in this order:
//        f64 offset                          (bit 0)
//        u32 runs_len, then runs_len bytes   (bit 1): u32 run count, then per
//            run: u8 kind (0 NaN, 1 +Inf, 2 -Inf), LEB128 gap from the end of
//            the previous run, LEB128 length - 1
//        u32 length, u64 bits                (bit 3): the samples after the
//            container's, all with these exact bits (a float32 source's in
//            the low half, the high half zero)
//        the corrections blob, to the end of the body (bit 2)
// Blocks written before bit 3 existed have no trailing run, and their
// sample_count is the container's; they read as they always did.
//  20 + body_len  u32 crc32 of every byte before it
//
// The compact layout (version 2), which the wavelet unit writes for every
// block without a trailing run (such blocks, and the integer unit's, keep
// the fixed layout above):
//   0  "QLMC"           magic
//   4  u8  version       2
//   5  u8  flags         bits 0-2 as above (bit 3 never set), bit 4 float64
//                        source; other bits 0
//   6  body              the sections as above, to the crc, but the
//                        corrections blob without its magic ("QLMK") and
//                        its crc32 (put back as it is read)
//  ..  u32 crc32         zlib crc32 of the container and then every byte of
//                        the block before it, as one run: it proves the
//                        block and ties it to its container in four bytes
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
inline constexpr std::size_t kCompactSideHeaderLen = 6;
inline constexpr std::size_t kSideTrailerLen = 4;

enum class Precision : std::uint8_t { Float32 = 0, Float64 = 1 };

// A host that pads a chunk to its full size (Zarr, HDF5) repeats one value
// to the end. Such a run is kept out of the container and restored bit for
// bit, so it neither costs the wavelet layer anything nor dilutes a bound.
struct TrailingRun {
  std::uint32_t length = 0;
  std::uint64_t bits = 0;
  friend bool operator==(const TrailingRun&, const TrailingRun&) = default;
};

struct SideBlock {
  Precision precision = Precision::Float32;
  std::optional<double> offset;  // a float64 source coded as float32(x - offset)
  std::vector<NonFiniteRun> non_finite;
  std::vector<std::uint8_t> corrections;  // a corrections blob, or empty
  std::optional<TrailingRun> tail;        // samples after the container's

  // A float32 source with nothing to restore needs no block at all.
  bool needed() const noexcept {
    return precision != Precision::Float32 || offset || !non_finite.empty() ||
           !corrections.empty() || tail.has_value();
  }
};

// `sample_count` is always the container's; the block adds the trailing run.
// `compact` asks for the compact layout where the block allows it.
UnitResult<std::vector<std::uint8_t>> write_side_block(const SideBlock& block,
                                                       std::span<const std::uint8_t> container,
                                                       std::uint32_t sample_count, bool compact = false);

// Reads the block that must fill `bytes` exactly. Every field, the CRCs and
// the runs against the container's sample_count are checked before anything
// is allocated beyond the block's own size.
UnitResult<SideBlock> read_side_block(std::span<const std::uint8_t> bytes,
                                      std::span<const std::uint8_t> container,
                                      std::uint32_t sample_count);

}  // namespace quillmere_tools
