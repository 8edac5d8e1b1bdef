// The token form of the corrections blob (version 2): each gap as a token
// (its bit width and the bit below its leading one) with the rest of its
// bits raw, each multiple as a token that carries its sign, both on static
// tables sent in the blob and two interleaved rANS states, so that reading
// a correction is two table look-ups and a few shifts instead of one
// dependent binary step per bit. Internal to the codec library; the layout
// is described in quillmere/corrections.hpp.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <memory>
#include <span>

#include "corrections_parts.hpp"

namespace quillmere::corrections::tokens {

// Gaps 0..3 are tokens 0..3; a gap of bit width w >= 3 is token
// 4 + 2(w - 3) + the bit below its leading one, with w - 2 low bits raw.
// Gaps are below 2^32, so w <= 32 and tokens stop at 63.
inline constexpr unsigned kGapTokens = 64;
// Multiple tokens carry whether the sign flips against the last nonzero
// multiple (neighbouring corrections tend to lean the same way; the first
// is measured against a positive one): 0 an escape, 2|k| - 1 + flip for
// |k| <= 15, and kBigMultiple for larger ones, followed in the raw bits by
// the flip, the bit width w of |k| - 16 in five bits and its w - 1 bits
// below the leading one. A multiple's table depends on whether it follows
// the previous correction directly, where flips are rarer.
inline constexpr unsigned kMultipleTokens = 32;
inline constexpr unsigned kSmallMultiples = 15;
inline constexpr unsigned kBigMultiple = 31;
inline constexpr unsigned kTables = 3;  // gaps, multiples after a gap, multiples next door
inline constexpr unsigned kMaxTableBits = 12;
inline constexpr std::uint32_t kStateLow = 1u << 16;  // states live in [2^16, 2^32)
// Corrections take turns over two lanes, each with a state for gaps and
// one for multiples, so that four rANS steps are under way at once.
inline constexpr unsigned kLanes = 2;

inline unsigned multiple_table(std::uint64_t gap) noexcept { return gap == 0 ? 2u : 1u; }

struct GapShape {
  std::uint32_t base;
  std::uint8_t extra_bits;
};
constexpr std::array<GapShape, kGapTokens> make_gap_shapes() {
  std::array<GapShape, kGapTokens> s{};
  for (unsigned t = 0; t < 4; ++t) s[t] = {t, 0};
  for (unsigned t = 4; t < kGapTokens; ++t) {
    const unsigned w = 3 + (t - 4) / 2;
    s[t] = {(1u << (w - 1)) | (((t - 4) & 1u) << (w - 2)), static_cast<std::uint8_t>(w - 2)};
  }
  return s;
}
inline constexpr std::array<GapShape, kGapTokens> kGapShapes = make_gap_shapes();

// Encodes the corrections scan() finds as a whole token-form blob (the
// samples to correct read from `marks` when given, as scan() takes them).
CorrectionResult<Encoded> encode(std::span<const float> decoded, const Originals& originals,
                                 double max_error, double step, EncodeBuffers& buffers,
                                 std::span<const std::uint64_t> marks = {});

// Tables are sent at the precision that pays (few corrections do not pay
// for fine frequencies) but both sides code at 12 bits, the frequencies
// scaled up: the same probabilities, and one fixed slot count for the
// decoder. A decoding table is a byte a slot (its token) and, a token, its
// frequency and first slot: 4 kB a table rather than 16 kB of whole steps,
// so that all three stay in the first-level cache, where a symbol's two
// dependent loads cost less than one that misses it.
inline constexpr std::uint32_t kSlots = 1u << kMaxTableBits;
struct TokenStep {
  std::uint32_t freq;
  std::uint32_t start;
};
struct DecodeTables {
  std::array<std::array<std::uint8_t, kSlots>, kTables> token;
  std::array<std::array<TokenStep, kGapTokens>, kTables> step;
};
// A table no correction used: its slots hold this token, which no multiple
// has, so that a stream that reaches it is refused.
inline constexpr unsigned kNoToken = 63;

// Walks the corrections of a token-form blob for a signal of n samples in
// position order, validating them a batch at a time: the lanes' steps of a
// batch run without a check or a branch that depends on the data, over a
// copy of the words and raw bits padded so that no batch can read past it.
class Reader {
 public:
  static CorrectionResult<Reader> open(std::span<const std::uint8_t> blob, const parts::Header& h,
                                       std::size_t n);

  // The next batch of corrections (up to kBatch), or an empty span when
  // the stream is corrupt: a position past the signal, a multiple beyond
  // kMaxMultiple or from an unused table, more escapes than the header
  // holds, or words or raw bits run out. Handing out a batch rather than
  // an entry lets the caller's loop run without a call or a check an entry.
  std::span<const parts::Entry> next_batch() noexcept {
    if (!fill()) return {};
    return {batch_.data(), filled_};
  }

  // After the header's count of corrections: rANS decoding being the
  // encoding run backwards, every state is back where the encoder started,
  // every word and every raw bit has been read (what is left of the last
  // raw byte is zero), and as many escapes as the header says.
  bool closes() const noexcept;

  // What decoding moves, kept in one local object while a batch is decoded
  // so that it lives in registers.
  struct Cursor {
    const std::uint8_t* words = nullptr;  // read by the rANS pass alone
    const std::uint8_t* raw = nullptr;
    std::uint64_t bits = 0;
    unsigned have = 0;
    bool negative = false;  // sign of the last nonzero multiple
    bool bad = false;
    std::uint64_t next = 0;  // smallest position the next entry may take
    std::uint32_t escapes = 0;
  };

  static constexpr std::size_t kBatch = 256;  // even: a batch starts on lane 0
  // The most a batch can read past the end of its words or raw bits before
  // it is checked: a word a symbol, and a gap's and a big multiple's bits
  // with the eight bytes a refill loads.
  static constexpr std::size_t kWordsPad = kBatch * 2 * kLanes * 2 + 8;
  static constexpr std::size_t kRawPad = kBatch * 9 + 16;

 private:
  Reader() = default;

  bool fill() noexcept;

  std::unique_ptr<DecodeTables> tables_;
  std::unique_ptr<std::uint8_t[]> stream_;  // words, padding, raw bits, padding
  std::array<std::uint32_t, 2 * kLanes> state_{};  // gap and multiple state of each lane
  Cursor cur_;
  const std::uint8_t* words_end_ = nullptr;
  const std::uint8_t* raw_begin_ = nullptr;
  std::uint64_t raw_bits_ = 0;
  std::size_t n_ = 0;
  std::uint32_t count_ = 0;
  std::uint32_t produced_ = 0;
  std::uint32_t escaped_ = 0;
  std::size_t filled_ = 0;
  // A batch is decoded in two passes: the rANS states' tokens first, a
  // loop of table look-ups and shifts alone whose four states keep each
  // other's latency hidden, then raw bits, positions and multiples from the
  // tokens; together they take fewer instructions than one loop that
  // carries every register of both.
  std::array<std::uint8_t, kBatch> gap_tokens_{};
  std::array<std::uint8_t, kBatch> multiple_tokens_{};
  std::array<parts::Entry, kBatch> batch_{};
};

}  // namespace quillmere::corrections::tokens
