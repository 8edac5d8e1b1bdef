// Helpers shared by the fuzz harnesses, the replay driver and the seed
// generator. Everything here compiles with or without libFuzzer.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "quillmere/byte_io.hpp"
#include "quillmere/options.hpp"

// A broken property has to end the run the same way under libFuzzer (which
// keeps the input as a crash artifact) and under the replay driver (whose
// CTest test then fails), so it aborts rather than returning a status.
#define QM_FUZZ_CHECK(cond)                                                             \
  do {                                                                                  \
    if (!(cond)) {                                                                      \
      std::fprintf(stderr, "%s:%d: property violated: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                     \
    }                                                                                   \
  } while (0)

namespace quillmere::fuzz {

// Reads fixed-width fields from the front of a fuzz input. Running out is not
// an error: missing bytes read as zero, so every input maps to some case and
// the fuzzer never wastes executions on rejected framing.
class FieldReader {
 public:
  explicit FieldReader(std::span<const std::uint8_t> input) : rest_(input) {}

  std::uint8_t u8() {
    if (rest_.empty()) return 0;
    const std::uint8_t v = rest_.front();
    rest_ = rest_.subspan(1);
    return v;
  }

  std::uint32_t u32() {
    std::uint8_t bytes[4] = {};
    const std::size_t n = rest_.size() < 4 ? rest_.size() : 4;
    // An empty input's span may hold a null pointer, which memcpy may not be
    // given even for zero bytes.
    if (n != 0) std::memcpy(bytes, rest_.data(), n);
    rest_ = rest_.subspan(n);
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
           std::uint32_t{bytes[3]} << 24;
  }

  std::span<const std::uint8_t> rest() const { return rest_; }

 private:
  std::span<const std::uint8_t> rest_;
};

inline void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

// decode_coeffs input: band count k, k lengths (u32 LE), then the stream.
// The count is independent of the stream's own first byte so that the
// fuzzer also explores a caller whose layout disagrees with the stream.
struct CoeffsInput {
  std::vector<std::size_t> lengths;
  std::span<const std::uint8_t> stream;
};

inline CoeffsInput parse_coeffs_input(std::span<const std::uint8_t> input) {
  FieldReader reader(input);
  CoeffsInput parsed;
  const std::size_t count = reader.u8();
  parsed.lengths.reserve(count);
  for (std::size_t i = 0; i < count; ++i) parsed.lengths.push_back(reader.u32());
  parsed.stream = reader.rest();
  return parsed;
}

inline std::vector<std::uint8_t> make_coeffs_input(std::span<const std::size_t> lengths,
                                                   std::span<const std::uint8_t> stream) {
  std::vector<std::uint8_t> out;
  out.push_back(static_cast<std::uint8_t>(lengths.size()));
  for (const std::size_t n : lengths) put_u32(out, static_cast<std::uint32_t>(n));
  out.insert(out.end(), stream.begin(), stream.end());
  return out;
}

// Round-trip input: method, scale, cutoff, coder selector, multiplier flag,
// multiplier (f32 LE), then the samples as f32 LE. Bytes are folded onto the
// valid option ranges; the multiplier is taken as it is, NaN included,
// because the Python layer passes any float through unchecked.
inline constexpr std::size_t kRoundtripOptionBytes = 9;

struct RoundtripInput {
  CodecOptions options;
  std::vector<float> samples;
};

inline RoundtripInput parse_roundtrip_input(std::span<const std::uint8_t> input) {
  FieldReader reader(input);
  RoundtripInput parsed;
  parsed.options.method = static_cast<Method>(reader.u8() % 4);
  parsed.options.scale = static_cast<std::uint8_t>(6 + reader.u8() % 7);
  parsed.options.cutoff = static_cast<Cutoff>(reader.u8() % 3);
  static constexpr Coder kCoders[] = {Coder::Deflate, Coder::Arans, Coder::CModel, Coder::Auto};
  parsed.options.coder = kCoders[reader.u8() % 4];
  const bool has_multiplier = reader.u8() & 1;
  const std::uint32_t multiplier_bits = reader.u32();
  if (has_multiplier) parsed.options.quant_multiplier = std::bit_cast<float>(multiplier_bits);
  const auto body = reader.rest();
  parsed.samples.resize(body.size() / 4);
  for (std::size_t i = 0; i < parsed.samples.size(); ++i) {
    parsed.samples[i] = load_le_f32(body.data() + 4 * i);
  }
  return parsed;
}

inline std::uint8_t coder_selector(Coder coder) {
  switch (coder) {
    case Coder::Deflate: return 0;
    case Coder::Arans: return 1;
    case Coder::CModel: return 2;
    case Coder::Auto: return 3;
    case Coder::Fast: break;  // the round trip runs through the module's decoder, which refuses it
  }
  return 3;
}

inline std::vector<std::uint8_t> make_roundtrip_input(const CodecOptions& options,
                                                      std::span<const float> samples) {
  std::vector<std::uint8_t> out;
  out.push_back(static_cast<std::uint8_t>(options.method));
  out.push_back(static_cast<std::uint8_t>(options.scale - 6));
  out.push_back(static_cast<std::uint8_t>(options.cutoff));
  out.push_back(coder_selector(options.coder));
  out.push_back(options.quant_multiplier.has_value() ? 1 : 0);
  put_u32(out, std::bit_cast<std::uint32_t>(options.quant_multiplier.value_or(0.0f)));
  for (const float x : samples) put_u32(out, std::bit_cast<std::uint32_t>(x));
  return out;
}

}  // namespace quillmere::fuzz
