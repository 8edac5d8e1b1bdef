#include "chunk_codec.hpp"

#include <bit>
#include <cstring>

#include "quillmere/header.hpp"
#include "quillmere_tools/channel_unit.hpp"

namespace quillmere::hdf5 {

namespace {

using quillmere_tools::Precision;

ChunkError fail(ChunkError::Kind kind, std::string detail = {}) {
  return ChunkError{kind, std::move(detail)};
}

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

quillmere_tools::UnitRequest request_of(const FilterParams& params) {
  quillmere_tools::UnitRequest request;
  request.options = params.options;
  request.bounds.max_error = params.max_error;
  return request;
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
    case Kind::TooLarge: text += "chunk holds more than 2147483647 elements"; break;
    case Kind::WrongLength: text += "stored chunk does not match the dataset's chunk size"; break;
    case Kind::WrongPrecision:
      text += "stored chunk holds float64 samples but the dataset is float32";
      break;
    case Kind::Encode: text += "cannot compress chunk"; break;
    case Kind::Corrupt: text += "corrupt chunk"; break;
  }
  if (!detail.empty()) text += " (" + detail + ")";
  return text;
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

  const bool big = is_big_endian(params.element);
  const auto request = request_of(params);
  auto unit = width == 4
                  ? quillmere_tools::encode_unit(std::span<const float>(load_elements<float>(raw, big)),
                                                 request)
                  : quillmere_tools::encode_unit(
                        std::span<const double>(load_elements<double>(raw, big)), request);
  if (!unit) return std::unexpected(fail(K::Encode, unit.error().message));
  return std::move(unit->bytes);
}

ChunkResult<std::vector<std::uint8_t>> decode_chunk(std::span<const std::uint8_t> stored,
                                                    const FilterParams& params) {
  using K = ChunkError::Kind;
  if (params.element == ElementType::Unknown || params.chunk_samples == 0)
    return std::unexpected(fail(K::ElementUnknown));
  auto header = QuillmereHeader::from_bytes(stored, quillmere::kLastToolsCoder);
  if (!header) return std::unexpected(fail(K::Corrupt, header.error().message()));
  // The sample count is checked before anything is decoded, so a damaged
  // header cannot ask for more memory than the chunk itself needs.
  if (header->sample_count != params.chunk_samples) {
    return std::unexpected(fail(K::WrongLength, "it holds " + std::to_string(header->sample_count) +
                                                    " samples, the dataset's chunks " +
                                                    std::to_string(params.chunk_samples)));
  }
  auto unit = quillmere_tools::decode_unit(stored);
  if (!unit) return std::unexpected(fail(K::Corrupt, unit.error().message));

  const bool big = is_big_endian(params.element);
  if (element_size(params.element) == 4) {
    if (unit->precision != Precision::Float32) return std::unexpected(fail(K::WrongPrecision));
    return store_elements<float>(unit->f32, big);
  }
  if (unit->precision == Precision::Float64) return store_elements<double>(unit->f64, big);
  // A float32 unit in a float64 dataset widens exactly.
  const std::vector<double> widened(unit->f32.begin(), unit->f32.end());
  return store_elements<double>(widened, big);
}

}  // namespace quillmere::hdf5
