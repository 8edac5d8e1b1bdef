// The bytes the filter stores for one chunk (cd_values layout 2): a framed
// chunk that carries its own length and checksum, so a chunk cut short,
// lengthened, spliced or altered is refused before anything is decoded.
//
// Layout (little-endian):
//   0  "QLH5"          magic
//   4  u8  version      1
//   5  u8  kind         0 channel units, 1 raw elements
//   6  u8  element      the element type word of cd_values (1..4)
//   7  u8  reserved     0
//   8  u32 channels     >= 1
//  12  u32 frames       samples of each channel, >= 1
//  16  u64 total_len    the whole chunk, checksum included
//  24  units:  channels x u64 unit length, then the units, channel after
//              channel (each a channel unit: container, optional side block)
//      raw:    channels x frames elements in the file's byte order and the
//              chunk's storage order, as HDF5 handed them to the filter
//  total_len - 4  u32 CRC-32 of every byte before it
//
// The units are opaque here: whatever the channel-unit library writes (any
// coder, present or future) is carried as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "filter_params.hpp"

namespace quillmere::hdf5 {

inline constexpr std::uint8_t kFrameVersion = 1;
inline constexpr std::size_t kFrameHeaderLen = 24;
inline constexpr std::size_t kFrameTrailerLen = 4;

enum class FrameKind : std::uint8_t { Units = 0, Raw = 1 };

// A read frame: views into the stored bytes.
struct FrameView {
  FrameKind kind = FrameKind::Units;
  ElementType element = ElementType::Unknown;
  std::uint32_t channels = 0;
  std::uint32_t frames = 0;
  std::vector<std::span<const std::uint8_t>> units;  // kind Units: one per channel
  std::span<const std::uint8_t> raw;                 // kind Raw
};

// True when the bytes start as a framed chunk (anything else is a bare unit
// of layout 1, or damage).
bool looks_framed(std::span<const std::uint8_t> stored) noexcept;

std::vector<std::uint8_t> frame_units(ElementType element, std::uint32_t frames,
                                      std::span<const std::vector<std::uint8_t>> units);

std::vector<std::uint8_t> frame_raw(ElementType element, std::uint32_t channels,
                                    std::uint32_t frames, std::span<const std::uint8_t> raw);

// Checks the magic, length, checksum, every header field and the unit
// length table against the bytes; the error text says what is wrong.
std::expected<FrameView, std::string> read_frame(std::span<const std::uint8_t> stored);

}  // namespace quillmere::hdf5
