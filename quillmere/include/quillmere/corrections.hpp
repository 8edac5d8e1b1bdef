// Point-wise corrections after the wavelet layer: for every sample whose
// reconstruction is off by more than a bound, a small integer multiple of a
// step (or, when rounding would still miss, the exact value), coded into a
// self-delimiting blob that lives after the container, never inside it.
//
// Blob layout (little-endian), the fixed header (versions 1 and 2, still
// read; a compact header, version 3, is written now: see below):
//   0  "QLMK"            magic
//   4  u8  version        2 (the token form) or 1 (the gamma form)
//   5  u8  precision      0 = float32 source, 1 = float64 source
//   6  u16 reserved       0
//   8  u32 sample_count   samples the blob applies to
//  12  u32 corrected      corrected samples (escapes included)
//  16  u32 escaped        corrected samples stored as exact values
//  20  f64 step           positive, finite
//  28  u32 coded_len      bytes of the coded corrections (0 when none)
//  32  u32 raw_len        version 2: bytes of raw bits at the end of the
//                         coded corrections (<= coded_len); version 1: 0
//  36  coded_len bytes    the corrections in position order, each a gap to
//                         the previous corrected position (the first counts
//                         from -1) and a multiple k (k = 0 marks an escape):
//    version 2, the token form:
//      tables             bits, least significant first, then zeros to a
//                         byte: three tables (gap tokens; multiple tokens
//                         after a gap > 0; after a gap of 0), each a token
//                         count (7 bits for gaps, 6 for multiples; 0 = table
//                         unused), then a precision b (4 bits, <= 12) and the
//                         frequencies at 2^b of every token but the last
//                         (which takes the rest, at least 1), each f + 1 in
//                         Elias-gamma form (w - 1 zeros, a one, the w - 1
//                         bits below the leading one). Both sides code at
//                         2^12 with the frequencies scaled by 2^(12 - b).
//      4 x u32 states     rANS states (each >= 2^16) of lane 0's gaps,
//                         lane 0's multiples, lane 1's gaps, lane 1's
//                         multiples; correction j is on lane j % 2
//      u16 words          renormalisation words in reading order: after a
//                         symbol, a state below 2^16 becomes
//                         (state << 16) | next word. A symbol is read from
//                         state x as slot = x & 4095, token t owning slot,
//                         x = freq(t) * (x >> 12) + slot - start(t)
//      raw_len bytes      raw bits, least significant first, in reading
//                         order, then zeros to a byte
//    gap token: gaps 0..3 are tokens 0..3; a gap of bit width w >= 3 is
//      4 + 2(w - 3) + the bit below its leading one, its w - 2 low bits raw.
//    multiple token (table by whether the gap is 0): 0 an escape;
//      2|k| - 1 + flip for |k| <= 15, where flip says the sign differs from
//      the last nonzero multiple's (the first is measured against +); 31 for
//      |k| > 15, then raw: flip, 5 bits w = bit width of |k| - 16 and its
//      w - 1 bits below the leading one.
//    After the last correction every state is back at 2^16, every word and
//    raw bit read, and the rest of the last raw byte zero.
//    version 1, the gamma form: on the codec's adaptive binary rANS bit
//      engine, per correction the gap, |k| and, when k != 0, the sign of k.
//      Numbers are coded as v + 1 in Elias-gamma form with adaptive
//      contexts. The stream closes with corrected + 1, coded the same way.
//  ..  escaped values     escaped x 4 (float32 bits) or 8 (float64 bits), in
//                         position order
//  ..  u32 crc32          zlib crc32 of every byte before it
//
// The compact header (version 3) carries the same fields, then the same
// coded bytes, escaped values and crc32:
//   0  "QLMK"            magic
//   4  u8  3              version
//   5  u8  form           bit 0: float64 source; bit 1: the gamma form's
//                         coding; bit 3: the flag coding (below); neither:
//                         the token form's; bits 1 and 3 never both; bit 2:
//                         the step is a float64 (else a float32, widened
//                         exactly); other bits 0
//   6  varints            sample_count, corrected, escaped, coded_len,
//                         raw_len: each LEB128 (7 bits a byte, low first, a
//                         set top bit says another byte follows) of at most
//                         5 bytes, at most 2^32 - 1, and in its shortest
//                         form; raw_len is 0 but for the token form's
//  ..  f32 or f64 step    positive, finite
//  ..  coded_len bytes, escaped values, u32 crc32, as above
// The encoder takes a step of a float32's precision (a hair less than the
// fixed form's) wherever that is a normal float32.
//
// The flag coding (compact header only), on the codec's rANS bit engine
// with probabilities from counts. Samples go in groups of four (the last
// group of the signal may be shorter), from the first, until `corrected`
// flags are set: per group a bit "any corrected here"; where set, per
// sample of the group a flag "corrected here", except that the group's last
// flag is not coded (it is 1) when none before it in the group is set; for
// each set flag |k| + 1 in Elias-gamma form and, when k != 0, the sign of k
// (1 = negative). Every bit is coded under
// p = floor((2 z + 1) 4096 / (2 (z + o) + 2)), clamped to [1, 4095], from
// its context's counts z of zeros and o of ones (both 0 at the start),
// P(bit = 0) = p / 4096; the coded bytes are laid out as the gamma form's
// (the final state as a u32, then the words). After each bit its count
// grows, and when z + o reaches 1024 both become ceil(half). Contexts:
//   group          the largest class of the group's samples (5);
//   flag           the sample's class and whether a flag before it in the
//                  group was set (10). The class of sample i, one of 5, is
//                  computed from the decoded samples y (the layer, before
//                  any correction) in float32 arithmetic: with
//                  s(j) = y[j] - y[j - 1] for 1 <= j < n and 0 otherwise,
//                  e(j) = |s(j + 1) - s(j)|, w = max(e(i - 1), e(i), e(i + 1))
//                  (each max as a > b ? a : b, left to right) and
//                  f = w + 0.5 x max(|s(i)|, |s(i + 1)|), it counts the
//                  thresholds float32(step / 8), (step / 4), (step / 2),
//                  (step) that f reaches (f >= t; a NaN reaches none);
//   |k| + 1        width w in unary (w - 1 ones, a zero; place j its own
//                  context, w <= 32), then the w - 1 bits below the leading
//                  one, most significant first (each (w, place) its own);
//   sign           by s(i + 1) - s(i) > 0 and whether the last sign coded
//                  was negative.
// The stream ends there: state back at 2^16 and every word read.
//
// The arithmetic that applies correction k to reconstruction y is part of the
// format (the encoder verifies every sample in exactly this arithmetic, and
// escapes when it misses, so |x - out| <= max_error holds bit for bit):
//   float32 source: d = (float)((double)k * step);   out = y + d        (f32 add)
//   float64 source: d = (double)k * step;  out = ((double)y + offset) + d (f64)
//   escape:         out = the stored value
// where y is the decoded float32 sample and the error is judged as
// |(double)x - (double)out| <= max_error. Uncorrected samples are y
// (float32) or (double)y + offset (float64).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "quillmere/unset_on_growth.hpp"

namespace quillmere {

// The caller's original samples, in their own precision. A float64 source is
// coded as float32(x - offset) and reconstructed as (double)decoded + offset.
// Non-finite originals are not measured and never corrected (the caller keeps
// their positions itself).
class Originals {
 public:
  static Originals of_float(std::span<const float> x) noexcept { return Originals(x, {}, 0.0, false); }
  static Originals of_double(std::span<const double> x, double offset) noexcept {
    return Originals({}, x, offset, true);
  }

  bool is_double() const noexcept { return is_double_; }
  std::size_t size() const noexcept { return is_double_ ? f64_.size() : f32_.size(); }
  std::span<const float> f32() const noexcept { return f32_; }
  std::span<const double> f64() const noexcept { return f64_; }
  double offset() const noexcept { return offset_; }

 private:
  Originals(std::span<const float> a, std::span<const double> b, double offset,
            bool is_double) noexcept
      : f32_(a), f64_(b), offset_(offset), is_double_(is_double) {}
  std::span<const float> f32_;
  std::span<const double> f64_;
  double offset_ = 0.0;
  bool is_double_ = false;
};

namespace corrections {

inline constexpr std::size_t kHeaderLen = 36;
inline constexpr std::size_t kTrailerLen = 4;

enum class [[nodiscard]] CorrectionError : std::uint8_t {
  BadBound,         // max_error zero, negative or not finite
  LengthMismatch,   // decoded and original lengths differ
  TooManySamples,   // more than 2^32 - 1 samples
  Truncated,        // fewer bytes than the header's lengths claim
  BadMagic,
  BadVersion,
  WrongPrecision,   // a float32 blob applied as float64 or the reverse
  WrongLength,      // sample_count differs from the signal it is applied to
  BadField,         // a header field out of range (reserved, counts, step)
  BadChecksum,
  CorruptStream,    // the gap/multiple stream does not decode to what the header says
  OutOfMemory,
};

std::string_view message(CorrectionError e) noexcept;

template <class T>
using CorrectionResult = std::expected<T, CorrectionError>;

struct Encoded {
  std::vector<std::uint8_t> bytes;  // the whole blob
  std::size_t corrected = 0;        // samples given a correction (escapes included)
  std::size_t escaped = 0;          // of those, stored as exact values
};

// Working memory encode() keeps between calls, for callers that encode
// many times (the bounded search); what it holds between calls means
// nothing.
struct EncodeBuffers {
  std::vector<std::uint16_t> probs;
  // Written up to what is read before it is read: its growth is left unset
  // (zero-filling 16,384 entries for each fresh search's first coding cost
  // more than the symbols it then held).
  UnsetVector<std::uint16_t> queue;
  std::vector<std::uint8_t> escapes;
  // The binary forms' words, coded backwards from the end of the room made
  // (only what was coded is read), and the token form's tables.
  UnsetVector<std::uint8_t> coded;
  std::vector<std::uint8_t> tables;
  std::vector<std::uint32_t> gaps;
  std::vector<std::int64_t> multiples;
  UnsetVector<std::uint8_t> tokens;
  UnsetVector<std::uint8_t> words;
  std::vector<std::uint8_t> raw;
};

// Corrects every finite original whose reconstruction from `decoded` (see the
// arithmetic above) is off by more than max_error. Always returns a blob; it
// corrects nothing when `corrected` is 0 (callers may then leave it out).
CorrectionResult<Encoded> encode(std::span<const float> decoded, const Originals& originals,
                                 double max_error);
CorrectionResult<Encoded> encode(std::span<const float> decoded, const Originals& originals,
                                 double max_error, EncodeBuffers& buffers);

// How hard an encoder looks for the smaller of the two coded forms: a
// few hundred corrections may take fewer bytes in the gamma form, but
// finding out costs a second coding of every correction on the adaptive
// bit engine. Quick tries it only for a handful.
enum class FormTrial : std::uint8_t { Smallest, Quick };

// encode(), and the reconstruction its blob gives, made as the samples are
// found rather than by reading the blob back: each corrected sample is
// already worked out in the decoder's arithmetic when it is verified, so
// apply() would only repeat that. A float32 source has `decoded` corrected
// in place; a float64 source leaves `decoded` alone and gets
// (double)decoded[i] + offset, corrected, in `reconstructed` (resized).
// Either is exactly what apply() gives for the blob returned.
// `marks`, when not empty, lists the samples to correct, bit i % 64 of
// marks[i / 64] for sample i: every finite original whose reconstruction
// is off by more than max_error and no other (a caller that measured every
// error already saves the encoder a pass over the signal).
CorrectionResult<Encoded> encode_applied(std::span<float> decoded, const Originals& originals,
                                         double max_error, EncodeBuffers& buffers,
                                         std::vector<double>& reconstructed,
                                         std::span<const std::uint64_t> marks = {},
                                         FormTrial trial = FormTrial::Smallest);

// One layer of encode_applied_two(): its samples, corrected in place, its
// own buffers (kept apart from the other layer's: applying reads the
// corrections they collected), its reconstruction for a float64 source
// and its marks.
struct AppliedLayer {
  std::span<float> decoded;
  EncodeBuffers* buffers = nullptr;
  std::vector<double>* reconstructed = nullptr;
  std::span<const std::uint64_t> marks;
};
// encode_applied() of two layers of one signal: the same blobs and the
// same corrected samples as two calls, the two flag codings made in one
// pass where both layers try that form (their serial steps overlap). Where
// the first layer does not try it, both are made one after the other in
// the first layer's buffers, and the second's are left alone.
std::pair<CorrectionResult<Encoded>, CorrectionResult<Encoded>> encode_applied_two(
    AppliedLayer a, AppliedLayer b, const Originals& originals, double max_error,
    FormTrial trial = FormTrial::Smallest);

// Bytes the blob at the front of `bytes` occupies; checks the header, the
// lengths and the CRC, so a caller can split blob from what follows it.
CorrectionResult<std::size_t> blob_length(std::span<const std::uint8_t> bytes);

// What a blob's header says about the signal it belongs to, checked as
// blob_length() checks it.
struct BlobFacts {
  std::size_t length = 0;          // bytes of the blob
  bool float64 = false;            // made for a float64 source
  std::uint32_t sample_count = 0;  // samples it applies to
};
CorrectionResult<BlobFacts> blob_facts(std::span<const std::uint8_t> bytes);

// float32 source: corrects `signal` (the decoded samples) in place. The whole
// blob is validated before the first sample changes: on error `signal` is
// untouched. Bytes after the blob are ignored.
CorrectionResult<void> apply(std::span<const std::uint8_t> blob, std::span<float> signal);

// float64 source: returns (double)decoded[i] + offset, corrected.
CorrectionResult<std::vector<double>> apply(std::span<const std::uint8_t> blob,
                                            std::span<const float> decoded, double offset);

}  // namespace corrections
}  // namespace quillmere
