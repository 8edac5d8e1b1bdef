// decompress() on arbitrary bytes: the container parser, the three payload
// decoders, the layout arithmetic and the inverse transforms all sit behind
// this one entry point.
#include <cstring>

#include "fuzz_support.hpp"
#include "quillmere/byte_io.hpp"
#include "quillmere/decompressor.hpp"
#include "quillmere/header.hpp"

namespace {

bool same_result(const quillmere::Result<std::vector<float>>& a,
                 const quillmere::Result<std::vector<float>>& b) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return a.error() == b.error();
  // Bitwise: a NaN sample must come back as the same NaN.
  return a->size() == b->size() && std::memcmp(a->data(), b->data(), a->size() * sizeof(float)) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> container(data, size);
  const auto result = quillmere::decompress(container);
  if (!result) return 0;

  // Success means the header passed, and then the output length is the
  // header's sample count however the payload decoded.
  QM_FUZZ_CHECK(size >= quillmere::HEADER_LEN);
  QM_FUZZ_CHECK(result->size() == quillmere::load_le32(data + 16));

  // Bytes after the payload must not influence anything.
  const std::size_t used = quillmere::HEADER_LEN + quillmere::load_le32(data + 32);
  if (used < size) QM_FUZZ_CHECK(same_result(result, quillmere::decompress(container.first(used))));
  return 0;
}
