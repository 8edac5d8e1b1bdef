// The flag form of the corrections blob: one bit a sample, "corrected
// here", up to the last correction, each modelled on how sharply the decoded
// layer bends around the sample (which the decoder has before it reads a
// correction), then the multiple in adaptive Elias-gamma form and its sign
// by the layer's curvature and the last sign. A few hundred corrections
// among some thousands of samples sit where the layer bends, so the layer
// says more about where they are than the gaps between them do. Internal to
// the codec library; the layout is described in quillmere/corrections.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "corrections_parts.hpp"
#include "quillmere/corrections.hpp"

namespace quillmere::corrections::flags {

// The corrections the token form's collection left in buffers.gaps and
// buffers.multiples, coded as a whole flag-form blob behind the fixed
// header (which only compacted() turns into what is written).
CorrectionResult<Encoded> encode(std::span<const float> layer, const Originals& originals,
                                 double step, EncodeBuffers& buffers);
// encode() of two layers of one signal, each with its own buffers (the
// token collection's corrections in them): the same two blobs, made in one
// pass so that the two codings overlap.
std::pair<CorrectionResult<Encoded>, CorrectionResult<Encoded>> encode_two(
    std::span<const float> layer_a, double step_a, EncodeBuffers& buffers_a, std::span<const float> layer_b,
    double step_b, EncodeBuffers& buffers_b, const Originals& originals);

// Reads a whole flag-form stream at once (the classes of a sample need its
// neighbours' uncorrected values, which apply() overwrites as it goes) and
// hands it out as one batch.
class Reader {
 public:
  static CorrectionResult<Reader> open(std::span<const std::uint8_t> blob, const parts::Header& h,
                                       std::span<const float> layer);
  // Every correction, or nothing when the stream is corrupt.
  std::span<const parts::Entry> next_batch() noexcept;
  // After the batch: every escape accounted for and the stream used up.
  bool closes() const noexcept { return closed_; }

 private:
  Reader(std::span<const std::uint8_t> coded, const parts::Header& h, std::span<const float> layer)
      : coded_(coded), header_(h), layer_(layer) {}
  bool read_all();

  std::span<const std::uint8_t> coded_;
  parts::Header header_;
  std::span<const float> layer_;
  std::vector<parts::Entry> entries_;
  bool closed_ = false;
};

}  // namespace quillmere::corrections::flags
