// Raw deflate (no zlib header or trailer) through zlib, both directions.
#include "deflate_codec.hpp"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <limits>
#include <new>

namespace quillmere {
namespace {

constexpr int kLevel = 6;
constexpr int kRawWindowBits = -15;  // negative: no zlib header or trailer
constexpr int kMemLevel = 8;
constexpr std::size_t kChunk = 32 * 1024;
// zlib counts in uInt; feed and drain at most this much per call.
constexpr std::size_t kMaxStep = std::numeric_limits<uInt>::max();

// One zlib stream for one direction, ended exactly when it was initialised.
// With the constant parameters above, initialisation fails only for want of
// memory, which ok() reports.
enum class Direction { Deflate, Inflate };

template <Direction D>
class ZStream {
 public:
  ZStream() {
    if constexpr (D == Direction::Deflate) {
      ok_ = deflateInit2(&zs_, kLevel, Z_DEFLATED, kRawWindowBits, kMemLevel,
                         Z_DEFAULT_STRATEGY) == Z_OK;
    } else {
      ok_ = inflateInit2(&zs_, kRawWindowBits) == Z_OK;
    }
  }
  ~ZStream() {
    if (!ok_) return;
    if constexpr (D == Direction::Deflate) {
      deflateEnd(&zs_);
    } else {
      inflateEnd(&zs_);
    }
  }
  ZStream(const ZStream&) = delete;
  ZStream& operator=(const ZStream&) = delete;
  bool ok() const { return ok_; }
  z_stream* get() { return &zs_; }

 private:
  z_stream zs_{};
  bool ok_ = false;
};

using DeflateStream = ZStream<Direction::Deflate>;
using InflateStream = ZStream<Direction::Inflate>;

QuillmereError corrupt() { return QuillmereError::decompress("corrupt deflate stream"); }

}  // namespace

Result<std::vector<std::uint8_t>> deflate_raw(std::span<const std::uint8_t> data) {
  DeflateStream stream;
  if (!stream.ok()) return std::unexpected(QuillmereError::encode_out_of_memory());
  z_stream* zs = stream.get();

  std::vector<std::uint8_t> out;
  try {
    // deflateBound covers the whole stream when it fits one uInt call; larger
    // inputs grow the buffer as they go.
    const auto bound = data.size() <= kMaxStep
                           ? deflateBound(zs, static_cast<uLong>(data.size()))
                           : static_cast<uLong>(data.size() / 2);
    out.resize(static_cast<std::size_t>(bound));
  } catch (const std::bad_alloc&) {
    return std::unexpected(QuillmereError::encode_out_of_memory());
  }

  std::size_t consumed = 0;
  std::size_t produced = 0;
  for (;;) {
    const std::size_t in_step = std::min(kMaxStep, data.size() - consumed);
    const bool last = consumed + in_step == data.size();
    zs->next_in = const_cast<Bytef*>(data.data() + consumed);
    zs->avail_in = static_cast<uInt>(in_step);
    if (produced == out.size()) {
      try {
        out.resize(out.size() + std::max<std::size_t>(kChunk, out.size() / 2));
      } catch (const std::bad_alloc&) {
        return std::unexpected(QuillmereError::encode_out_of_memory());
      }
    }
    const std::size_t out_step = std::min(kMaxStep, out.size() - produced);
    zs->next_out = out.data() + produced;
    zs->avail_out = static_cast<uInt>(out_step);
    const int rc = deflate(zs, last ? Z_FINISH : Z_NO_FLUSH);
    consumed += in_step - zs->avail_in;
    produced += out_step - zs->avail_out;
    if (rc == Z_STREAM_END) break;
    if (rc != Z_OK && rc != Z_BUF_ERROR) {
      return std::unexpected(QuillmereError::encode(zs->msg ? zs->msg : "deflate failed"));
    }
  }
  out.resize(produced);
  return out;
}

Result<std::vector<std::uint8_t>> inflate_raw(std::span<const std::uint8_t> payload,
                                              std::size_t keep, StreamEnding ending) {
  InflateStream stream;
  if (!stream.ok()) return std::unexpected(QuillmereError::decompress_out_of_memory());
  z_stream* zs = stream.get();

  std::vector<std::uint8_t> out;
  std::array<std::uint8_t, kChunk> discard;
  std::size_t consumed = 0;
  std::size_t produced = 0;
  for (;;) {
    const std::size_t in_step = std::min(kMaxStep, payload.size() - consumed);
    zs->next_in = const_cast<Bytef*>(payload.data() + consumed);
    zs->avail_in = static_cast<uInt>(in_step);

    std::uint8_t* dest;
    std::size_t out_step;
    if (produced < keep) {
      if (produced == out.size()) {
        // Grow geometrically: memory follows what the stream really yields,
        // not what a header claims.
        const std::size_t want =
            std::min(keep, std::max<std::size_t>(kChunk, std::max(payload.size() * 4, out.size() * 2)));
        try {
          out.resize(want);
        } catch (const std::bad_alloc&) {
          return std::unexpected(QuillmereError::decompress_out_of_memory());
        }
      }
      dest = out.data() + produced;
      out_step = std::min(kMaxStep, out.size() - produced);
    } else {
      dest = discard.data();
      out_step = discard.size();
    }
    zs->next_out = dest;
    zs->avail_out = static_cast<uInt>(out_step);

    const int rc = inflate(zs, Z_NO_FLUSH);
    const std::size_t used = in_step - zs->avail_in;
    const std::size_t made = out_step - zs->avail_out;
    consumed += used;
    if (produced < keep) produced += made;

    if (rc == Z_STREAM_END) {
      if (ending == StreamEnding::Exact && consumed != payload.size()) {
        return std::unexpected(corrupt());
      }
      break;
    }
    if (rc == Z_DATA_ERROR || rc == Z_NEED_DICT || rc == Z_STREAM_ERROR) {
      return std::unexpected(corrupt());
    }
    if (rc == Z_MEM_ERROR) return std::unexpected(QuillmereError::decompress_out_of_memory());
    // Input exhausted without an end-of-stream marker: keep what was
    // produced, unless the stream must end exactly here.
    if (used == 0 && made == 0 && consumed == payload.size()) {
      if (ending == StreamEnding::Exact) return std::unexpected(corrupt());
      break;
    }
  }
  out.resize(produced);
  return out;
}

}  // namespace quillmere
