#include "chunk_codec.hpp"

#include <bit>
#include <cstring>
#include <new>

#include "quillmere/compressor.hpp"
#include "quillmere/decompressor.hpp"
#include "quillmere/header.hpp"

namespace quillmere::hdf5 {

namespace {

ChunkError fail(ChunkError::Kind kind, std::string detail = {}) {
  return ChunkError{kind, std::move(detail)};
}

template <class Word>
Word load_word(const std::uint8_t* p, bool big_endian) noexcept {
  Word w;
  std::memcpy(&w, p, sizeof w);
  return big_endian ? std::byteswap(w) : w;
}

template <class Word>
void store_word(std::uint8_t* p, Word w, bool big_endian) noexcept {
  if (big_endian) w = std::byteswap(w);
  std::memcpy(p, &w, sizeof w);
}

// float64 elements are narrowed to the codec's float32 exactly as the Python
// module narrows a float64 array, so a chunk and compress_signal on the same
// values give the same container.
std::vector<float> to_samples(std::span<const std::uint8_t> raw, ElementType element) {
  const bool big = is_big_endian(element);
  const std::size_t width = element_size(element);
  std::vector<float> out(raw.size() / width);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const std::uint8_t* p = raw.data() + i * width;
    if (width == 4) {
      out[i] = std::bit_cast<float>(load_word<std::uint32_t>(p, big));
    } else {
      out[i] = static_cast<float>(std::bit_cast<double>(load_word<std::uint64_t>(p, big)));
    }
  }
  return out;
}

std::vector<std::uint8_t> from_samples(std::span<const float> samples, ElementType element) {
  const bool big = is_big_endian(element);
  const std::size_t width = element_size(element);
  std::vector<std::uint8_t> out(samples.size() * width);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    std::uint8_t* p = out.data() + i * width;
    if (width == 4) {
      store_word(p, std::bit_cast<std::uint32_t>(samples[i]), big);
    } else {
      store_word(p, std::bit_cast<std::uint64_t>(static_cast<double>(samples[i])), big);
    }
  }
  return out;
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
    case Kind::TooLarge: text += "chunk holds more than 2^31 - 1 elements"; break;
    case Kind::BoundedPending:
      text += "error-bounded mode (max_error) is not available in this build of the filter";
      break;
    case Kind::Truncated: text += "stored chunk is truncated"; break;
    case Kind::TrailingBytes:
      text += "stored chunk has unexpected bytes after its container";
      break;
    case Kind::WrongLength: text += "stored chunk does not match the dataset's chunk size"; break;
    case Kind::Codec: text += "corrupt chunk"; break;
  }
  if (!detail.empty()) text += " (" + detail + ")";
  return text;
}

ChunkResult<void> check_writable(const FilterParams& params) {
  if (params.max_error) return std::unexpected(fail(ChunkError::Kind::BoundedPending));
  return {};
}

ChunkResult<std::vector<std::uint8_t>> encode_chunk(std::span<const std::uint8_t> raw,
                                                    const FilterParams& params) {
  using K = ChunkError::Kind;
  if (params.element == ElementType::Unknown || params.chunk_samples == 0)
    return std::unexpected(fail(K::ElementUnknown));
  const std::size_t width = element_size(params.element);
  if (raw.size() % width != 0)
    return std::unexpected(fail(K::RaggedChunk, std::to_string(raw.size()) + " bytes"));
  const std::size_t n = raw.size() / width;
  if (n == 0) return std::unexpected(fail(K::EmptyChunk));
  if (n > kMaxSampleCount) return std::unexpected(fail(K::TooLarge));
  // A chunk written at another length could never be read back.
  if (n != params.chunk_samples) {
    return std::unexpected(fail(K::WrongLength, "it holds " + std::to_string(n) +
                                                    " samples, the dataset's chunks " +
                                                    std::to_string(params.chunk_samples)));
  }
  if (auto ok = check_writable(params); !ok) return std::unexpected(ok.error());

  auto container = compress(to_samples(raw, params.element), params.options);
  if (!container) return std::unexpected(fail(K::Codec, container.error().message()));
  return std::move(*container);
}

ChunkResult<std::vector<std::uint8_t>> decode_chunk(std::span<const std::uint8_t> stored,
                                                    const FilterParams& params) {
  using K = ChunkError::Kind;
  if (params.element == ElementType::Unknown || params.chunk_samples == 0)
    return std::unexpected(fail(K::ElementUnknown));
  if (stored.size() < HEADER_LEN)
    return std::unexpected(fail(K::Truncated, std::to_string(stored.size()) + " bytes"));
  auto header = QuillmereHeader::from_bytes(stored);
  if (!header) return std::unexpected(fail(K::Codec, header.error().message()));

  // The sample count is checked before anything is allocated from it, so a
  // damaged header cannot ask for more memory than the chunk itself needs.
  if (header->sample_count != params.chunk_samples) {
    return std::unexpected(fail(K::WrongLength, "it holds " + std::to_string(header->sample_count) +
                                                    " samples, the dataset's chunks " +
                                                    std::to_string(params.chunk_samples)));
  }
  const std::uint64_t container_len = std::uint64_t{HEADER_LEN} + header->payload_len;
  if (container_len > stored.size()) {
    return std::unexpected(fail(K::Truncated, std::to_string(stored.size()) +
                                                  " bytes, its header claims " +
                                                  std::to_string(container_len)));
  }
  if (container_len < stored.size()) {
    const std::uint64_t extra = stored.size() - container_len;
    return std::unexpected(fail(K::TrailingBytes, std::to_string(extra) + " bytes"));
  }
  auto samples = decompress(stored);
  if (!samples) return std::unexpected(fail(K::Codec, samples.error().message()));
  if (samples->size() != params.chunk_samples) return std::unexpected(fail(K::WrongLength));
  return from_samples(*samples, params.element);
}

}  // namespace quillmere::hdf5
