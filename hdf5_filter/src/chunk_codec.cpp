#include "chunk_codec.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "chunk_frame.hpp"
#include "quillmere/header.hpp"
#include "quillmere_tools/channel_unit.hpp"

namespace quillmere::hdf5 {

namespace {

using quillmere_tools::Precision;
using K = ChunkError::Kind;

template <class T>
using Word = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;

// Elements in the file's byte order to native values, and back.
template <class T>
std::vector<T> load_elements(std::span<const std::uint8_t> raw, bool big_endian) {
  std::vector<T> out(raw.size() / sizeof(T));
  for (std::size_t i = 0; i < out.size(); ++i) {
    Word<T> w;
    std::memcpy(&w, raw.data() + i * sizeof(T), sizeof w);
    out[i] = std::bit_cast<T>(big_endian ? std::byteswap(w) : w);
  }
  return out;
}

template <class T>
std::vector<std::uint8_t> store_elements(std::span<const T> values, bool big_endian) {
  std::vector<std::uint8_t> out(values.size() * sizeof(T));
  for (std::size_t i = 0; i < values.size(); ++i) {
    auto w = std::bit_cast<Word<T>>(values[i]);
    if (big_endian) w = std::byteswap(w);
    std::memcpy(out.data() + i * sizeof(T), &w, sizeof w);
  }
  return out;
}

// The spread of a channel's finite samples, what a fraction-of-range bound
// ("0.1%") is a fraction of. A flat channel is reproduced exactly, so any
// positive bound holds: 1 keeps the bound positive.
template <class T>
double spread_of(std::span<const T> x) {
  double lo = INFINITY, hi = -INFINITY;
  for (const T v : x) {
    if (!std::isfinite(v)) continue;
    lo = std::min(lo, double(v));
    hi = std::max(hi, double(v));
  }
  const double spread = hi > lo ? hi - lo : 0.0;
  return spread > 0.0 ? spread : 1.0;
}

template <class T>
quillmere_tools::UnitRequest request_for(std::span<const T> channel, const FilterParams& p) {
  quillmere_tools::UnitRequest request;
  request.options = p.options;
  // HDF5 pads an edge chunk past the dataset's end; restoring that padding
  // exactly keeps every bound over the samples the dataset holds.
  request.split_trailing_run = true;
  const ChunkBounds& b = p.bounds;
  const bool relative = b.max_error_of_range || b.rmse_of_range;
  const double spread = relative ? spread_of(channel) : 1.0;
  if (b.max_error) request.bounds.max_error = *b.max_error * (b.max_error_of_range ? spread : 1.0);
  if (b.rmse) request.bounds.rmse = *b.rmse * (b.rmse_of_range ? spread : 1.0);
  request.bounds.prd = b.prd;
  request.bounds.psnr = b.psnr;
  request.bounds.bits_per_sample = b.bits_per_sample;
  return request;
}

// Element (frame t of channel c) of a chunk split along its time axis: the
// chunk is (outer, frames, stride) in storage order and channel c is
// (c / stride, :, c % stride).
std::size_t element_index(const FilterParams& p, std::uint32_t c, std::uint32_t t) {
  const std::size_t outer = c / p.stride, inner = c % p.stride;
  return (outer * p.frames + t) * p.stride + inner;
}

template <class T>
ChunkResult<std::vector<std::uint8_t>> encode_channels(std::span<const std::uint8_t> raw,
                                                       const FilterParams& p) {
  const auto all = load_elements<T>(raw, is_big_endian(p.element));
  const std::uint32_t channels = p.channels();
  std::vector<std::vector<std::uint8_t>> units;
  units.reserve(channels);
  std::vector<T> channel(p.frames);
  for (std::uint32_t c = 0; c < channels; ++c) {
    for (std::uint32_t t = 0; t < p.frames; ++t) channel[t] = all[element_index(p, c, t)];
    const std::span<const T> view(channel);
    auto unit = quillmere_tools::encode_unit(view, request_for(view, p));
    if (!unit) {
      if (unit.error().kind == quillmere_tools::UnitErrorKind::OutOfMemory)
        return std::unexpected(ChunkError{K::OutOfMemory, {}});
      if (unit.error().kind == quillmere_tools::UnitErrorKind::Internal)
        return std::unexpected(ChunkError{K::Internal, unit.error().message});
      // A bound finer than float32 resolves, a float64 value beyond what
      // float32 holds: the chunk is kept as it is rather than failing a write
      // that HDF5 may not be allowed to skip.
      return frame_raw(p.element, channels, p.frames, raw);
    }
    units.push_back(std::move(unit->bytes));
  }
  auto framed = frame_units(p.element, p.frames, units);
  if (framed.size() > raw.size() + kFrameHeaderLen + kFrameTrailerLen)
    return frame_raw(p.element, channels, p.frames, raw);
  return framed;
}

template <class T>
ChunkResult<std::vector<std::uint8_t>> decode_channels(const FrameView& frame,
                                                       const FilterParams& p) {
  std::vector<T> all(p.chunk_samples);
  for (std::uint32_t c = 0; c < frame.channels; ++c) {
    const auto unit_bytes = frame.units[c];
    // The unit's sample count (its padding run included) is checked before
    // it is decoded, so a unit cannot ask for more memory than its share of
    // the chunk.
    auto count = quillmere_tools::unit_sample_count(unit_bytes);
    if (!count) {
      return std::unexpected(
          ChunkError{K::Corrupt, "channel " + std::to_string(c) + ": " + count.error().message});
    }
    if (*count != p.frames) {
      return std::unexpected(ChunkError{
          K::WrongLength, "channel " + std::to_string(c) + " holds " + std::to_string(*count) +
                              " samples, the chunk " + std::to_string(p.frames) + " frames"});
    }
    auto unit = quillmere_tools::decode_unit(unit_bytes);
    if (!unit) {
      return std::unexpected(
          ChunkError{K::Corrupt, "channel " + std::to_string(c) + ": " + unit.error().message});
    }
    const std::size_t decoded =
        unit->precision == Precision::Float32 ? unit->f32.size() : unit->f64.size();
    if (decoded != p.frames) {
      return std::unexpected(ChunkError{
          K::Corrupt, "channel " + std::to_string(c) + " decodes to " + std::to_string(decoded) +
                          " samples, not " + std::to_string(p.frames)});
    }
    if constexpr (sizeof(T) == 4) {
      if (unit->precision != Precision::Float32)
        return std::unexpected(ChunkError{K::WrongPrecision, {}});
      for (std::uint32_t t = 0; t < p.frames; ++t) all[element_index(p, c, t)] = unit->f32[t];
    } else if (unit->precision == Precision::Float64) {
      for (std::uint32_t t = 0; t < p.frames; ++t) all[element_index(p, c, t)] = unit->f64[t];
    } else {
      // A float32 unit in a float64 dataset widens exactly.
      for (std::uint32_t t = 0; t < p.frames; ++t) all[element_index(p, c, t)] = unit->f32[t];
    }
  }
  return store_elements<T>(all, is_big_endian(p.element));
}

ChunkResult<std::vector<std::uint8_t>> decode_framed(std::span<const std::uint8_t> stored,
                                                     const FilterParams& p) {
  auto frame = read_frame(stored);
  if (!frame) return std::unexpected(ChunkError{K::Corrupt, frame.error()});
  if (frame->element != p.element) {
    return std::unexpected(ChunkError{
        K::WrongLayout, "it holds element type " + std::to_string(int(frame->element)) +
                            ", the dataset " + std::to_string(int(p.element))});
  }
  if (frame->frames != p.frames || frame->channels != p.channels()) {
    return std::unexpected(ChunkError{
        K::WrongLength, "it holds " + std::to_string(frame->channels) + " channels of " +
                            std::to_string(frame->frames) + " frames, the dataset's chunks " +
                            std::to_string(p.channels()) + " of " + std::to_string(p.frames)});
  }
  // Channels and frames match the dataset's, so a raw body is exactly the chunk.
  if (frame->kind == FrameKind::Raw)
    return std::vector<std::uint8_t>(frame->raw.begin(), frame->raw.end());
  return element_size(p.element) == 4 ? decode_channels<float>(*frame, p)
                                      : decode_channels<double>(*frame, p);
}

// Layout 1: the whole chunk, flattened, as one bare unit.
ChunkResult<std::vector<std::uint8_t>> encode_flattened(std::span<const std::uint8_t> raw,
                                                        const FilterParams& p) {
  quillmere_tools::UnitRequest request;
  request.options = p.options;
  // A dataset of this layout may still be read by the plugin that created
  // it, which knows no fast coder.
  if (request.options.coder == quillmere::Coder::Auto) request.options.coder = quillmere::Coder::CModel;
  request.bounds.max_error = p.bounds.max_error;
  const bool big = is_big_endian(p.element);
  auto unit = element_size(p.element) == 4
                  ? quillmere_tools::encode_unit(
                        std::span<const float>(load_elements<float>(raw, big)), request)
                  : quillmere_tools::encode_unit(
                        std::span<const double>(load_elements<double>(raw, big)), request);
  if (!unit) return std::unexpected(ChunkError{K::Encode, unit.error().message});
  return std::move(unit->bytes);
}

ChunkResult<std::vector<std::uint8_t>> decode_flattened(std::span<const std::uint8_t> stored,
                                                        const FilterParams& p) {
  auto header = QuillmereHeader::from_bytes(stored, quillmere::kLastToolsCoder);
  if (!header) return std::unexpected(ChunkError{K::Corrupt, header.error().message()});
  if (header->sample_count != p.chunk_samples) {
    return std::unexpected(ChunkError{
        K::WrongLength, "it holds " + std::to_string(header->sample_count) +
                            " samples, the dataset's chunks " + std::to_string(p.chunk_samples)});
  }
  auto unit = quillmere_tools::decode_unit(stored);
  if (!unit) return std::unexpected(ChunkError{K::Corrupt, unit.error().message});
  const bool big = is_big_endian(p.element);
  if (element_size(p.element) == 4) {
    if (unit->precision != Precision::Float32)
      return std::unexpected(ChunkError{K::WrongPrecision, {}});
    return store_elements<float>(unit->f32, big);
  }
  if (unit->precision == Precision::Float64) return store_elements<double>(unit->f64, big);
  const std::vector<double> widened(unit->f32.begin(), unit->f32.end());
  return store_elements<double>(widened, big);
}

}  // namespace

std::string ChunkError::message() const {
  std::string text = "quillmere filter: ";
  switch (kind) {
    case Kind::ElementUnknown:
      text += "the dataset's element type and chunk size are not recorded in its cd_values";
      break;
    case Kind::RaggedChunk: text += "chunk is not a whole number of elements"; break;
    case Kind::EmptyChunk: text += "chunk is empty"; break;
    case Kind::TooLarge:
      text += "chunk holds more than " + std::to_string(kMaxSampleCount) + " elements";
      break;
    case Kind::WrongLength: text += "stored chunk does not match the dataset's chunk size"; break;
    case Kind::WrongPrecision:
      text += "stored chunk holds float64 samples but the dataset is float32";
      break;
    case Kind::WrongLayout: text += "stored chunk does not match the dataset's element type"; break;
    case Kind::Encode: text += "cannot compress chunk"; break;
    case Kind::Corrupt: text += "corrupt chunk"; break;
    case Kind::OutOfMemory: text += kOutOfMemoryText; break;
    case Kind::Internal: text += kInternalErrorText; break;
  }
  if (!detail.empty()) text += " (" + detail + ")";
  return text;
}

ChunkResult<std::vector<std::uint8_t>> encode_chunk(std::span<const std::uint8_t> raw,
                                                    const FilterParams& params) {
  if (!params.known()) return std::unexpected(ChunkError{K::ElementUnknown, {}});
  const std::size_t width = element_size(params.element);
  if (raw.size() % width != 0)
    return std::unexpected(ChunkError{K::RaggedChunk, std::to_string(raw.size()) + " bytes"});
  const std::size_t n = raw.size() / width;
  if (n == 0) return std::unexpected(ChunkError{K::EmptyChunk, {}});
  if (n > kMaxSampleCount) return std::unexpected(ChunkError{K::TooLarge, {}});
  // A chunk written at another length could never be read back.
  if (n != params.chunk_samples) {
    return std::unexpected(ChunkError{K::WrongLength, "it holds " + std::to_string(n) +
                                                          " samples, the dataset's chunks " +
                                                          std::to_string(params.chunk_samples)});
  }
  if (params.layout == kLegacyLayoutVersion) return encode_flattened(raw, params);
  return width == 4 ? encode_channels<float>(raw, params) : encode_channels<double>(raw, params);
}

ChunkResult<std::vector<std::uint8_t>> decode_chunk(std::span<const std::uint8_t> stored,
                                                    const FilterParams& params) {
  if (!params.known()) return std::unexpected(ChunkError{K::ElementUnknown, {}});
  if (params.layout == kLegacyLayoutVersion) return decode_flattened(stored, params);
  return decode_framed(stored, params);
}

}  // namespace quillmere::hdf5
