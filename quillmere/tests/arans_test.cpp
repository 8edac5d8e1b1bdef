// Byte-plane coder: fixed streams, header fields, every decoder refusal, and
// round trips, truncations and corruptions of random inputs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "arans.hpp"
#include "arans_parts.hpp"

namespace quillmere::arans {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Coefficients as the codec hands them over: Laplacian i16, low byte first.
Bytes laplacian_coefficients(std::mt19937_64& rng, std::size_t n_bytes, double scale) {
  std::exponential_distribution<double> magnitude(1.0 / scale);
  Bytes out(n_bytes);
  for (std::size_t i = 0; i + 1 < n_bytes; i += 2) {
    const double v = std::min(magnitude(rng), 32767.0);
    const auto w = static_cast<std::uint16_t>(static_cast<std::int16_t>(rng() & 1 ? -std::lround(v) : std::lround(v)));
    out[i] = static_cast<std::uint8_t>(w);
    out[i + 1] = static_cast<std::uint8_t>(w >> 8);
  }
  if (n_bytes % 2) out.back() = static_cast<std::uint8_t>(rng());
  return out;
}

Bytes uniform_bytes(std::mt19937_64& rng, std::size_t n) {
  Bytes out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

AransError decode_error(const Bytes& stream) {
  const auto got = decode_stream(stream);
  EXPECT_FALSE(got) << "decoded " << got->size() << " bytes";
  return got ? AransError{0xFF} : got.error();
}

TEST(Arans, WorkedExamples) {
  const Bytes plane{0x00, 0x01, 0x02};
  const Bytes coded_plane{0xA6, 0x04, 0x64, 0x00, 0xE0, 0x26};
  EXPECT_EQ(encode_plane(plane, 3), coded_plane);
  EXPECT_EQ(decode_plane(coded_plane, 3, 3).value(), plane);

  const struct {
    Bytes input, stream;
  } cases[] = {
      {{0xEE, 0x7F, 0x1A, 0x50, 0x39, 0xBE},
       {0x00, 0x03, 0x03, 0x06, 0x21, 0xBB, 0x13, 0x01, 0x00, 0x62, 0xF4, 0xF1, 0x07, 0x01, 0x00, 0x28}},
      {{0xF0, 0x7E, 0xC2, 0x34, 0x7F, 0x06, 0x6E},
       {0x01, 0x03, 0x03, 0x06, 0xF9, 0x7B, 0x08, 0x01, 0x00, 0x08, 0x80, 0xF1, 0x03, 0x01, 0x00, 0xB0, 0x6E}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(encode_stream(c.input), c.stream);
    EXPECT_EQ(decode_stream(c.stream).value(), c.input);
    EXPECT_EQ(decode_error(Bytes(c.stream.begin(), c.stream.end() - 1)), AransError::Truncated);
  }
  EXPECT_EQ(message(AransError::Truncated), "Stream truncated");
  EXPECT_EQ(message(AransError::BadLength), "Inconsistent or oversized length in stream");
}

TEST(Arans, ShortInputsAndStreamsPassThrough) {
  // Not a valid header among them, yet each decodes to itself.
  const Bytes samples{0x09, 0xFF, 0x80, 0x00, 0x03};
  for (std::size_t n = 0; n <= 5; ++n) {
    const Bytes input(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_EQ(encode_stream(input), input);
    EXPECT_EQ(decode_stream(input).value(), input);
  }
}

TEST(Arans, HeaderFields) {
  std::mt19937_64 rng(10);
  const struct {
    std::size_t n;
    std::uint8_t context_bits;
    Bytes pair_count;
  } cases[] = {
      {6, 3, {0x03}},       {7, 3, {0x03}},           {255, 3, {0x7F}},         {256, 3, {0x80, 0x01}},
      {16383, 3, {0xFF, 0x3F}}, {16384, 8, {0x80, 0x40}}, {16385, 8, {0x80, 0x40}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.n);
    const Bytes input = uniform_bytes(rng, c.n);
    const Bytes stream = encode_stream(input);
    EXPECT_EQ(stream[0], c.n % 2);
    EXPECT_EQ(stream[1], c.context_bits);
    EXPECT_TRUE(std::equal(c.pair_count.begin(), c.pair_count.end(), stream.begin() + 2));
    std::size_t pos = 2;
    EXPECT_EQ(rv(stream, pos).value(), c.n / 2);
    const std::uint64_t even_len = rv(stream, pos).value();
    // Random bytes code to about their own size, so the larger cases need a
    // multi-byte even length.
    EXPECT_EQ(pos - 2 - c.pair_count.size(), even_len >= 128 ? 2u : 1u);
    const std::size_t odd_len = stream.size() - pos - even_len - c.n % 2;
    EXPECT_GE(even_len, 4u);
    EXPECT_GE(odd_len, 4u);
    EXPECT_EQ(even_len % 2, 0u);
    EXPECT_EQ(odd_len % 2, 0u);
    if (c.n % 2) {
      EXPECT_EQ(stream.back(), input.back());
    }
    EXPECT_EQ(decode_stream(stream).value(), input);
  }
}

TEST(Arans, Leb128) {
  const struct {
    Bytes bytes;
    std::size_t start;
    std::expected<std::uint64_t, AransError> want;
    std::size_t end;
  } cases[] = {
      {{0x00}, 0, 0, 1},
      {{0x7F, 0x05}, 0, 127, 1},
      {{0x05, 0x80, 0x01}, 1, 128, 3},
      {{0xE5, 0x8E, 0x26}, 0, 624485, 3},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, 0, UINT64_MAX, 10},
      // The tenth byte contributes its lowest bit only.
      {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x7F}, 0, 1ull << 63, 10},
      {{0x01}, 1, std::unexpected(AransError::Truncated), 1},
      {{0x01}, 7, std::unexpected(AransError::Truncated), 7},
      {{0x80, 0x80}, 0, std::unexpected(AransError::Truncated), 2},
      {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x81, 0x00}, 0,
       std::unexpected(AransError::BadLength), 10},
  };
  for (const auto& c : cases) {
    std::size_t pos = c.start;
    EXPECT_EQ(rv(c.bytes, pos), c.want) << testing::PrintToString(c.bytes);
    EXPECT_EQ(pos, c.end) << testing::PrintToString(c.bytes);
  }
}

TEST(Arans, MalformedStreams) {
  const Bytes two_planes{0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00};  // two empty engine runs
  auto with_header = [](Bytes header, const Bytes& tail) {
    header.insert(header.end(), tail.begin(), tail.end());
    return header;
  };
  const struct {
    const char* what;
    Bytes stream;
    AransError want;
  } cases[] = {
      {"context bits 9", with_header({0x00, 0x09, 0x01, 0x04}, two_planes), AransError::BadLength},
      {"context bits 255", with_header({0x00, 0xFF, 0x01, 0x04}, two_planes), AransError::BadLength},
      {"pair count cut off", {0x00, 0x03, 0x80, 0x80, 0x80, 0x80}, AransError::Truncated},
      {"pair count of eleven bytes", {0x00, 0x03, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00},
       AransError::BadLength},
      {"pair count 2^28 + 1", with_header({0x00, 0x03, 0x81, 0x80, 0x80, 0x80, 0x01, 0x04}, two_planes),
       AransError::BadLength},
      {"even length missing", {0x00, 0x03, 0x01, 0x80, 0x80, 0x80}, AransError::Truncated},
      {"even length overflows", with_header({0x00, 0x03, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, two_planes),
       AransError::BadLength},
      {"even length past the end", with_header({0x00, 0x03, 0x01, 0x09}, two_planes), AransError::Truncated},
      {"even length over the odd byte", with_header({0x01, 0x03, 0x01, 0x08}, two_planes), AransError::Truncated},
      {"even plane of 3 bytes", {0x00, 0x03, 0x01, 0x03, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00}, AransError::Truncated},
      {"odd plane of 3 bytes", {0x00, 0x03, 0x01, 0x04, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00}, AransError::Truncated},
      // 2^28 pairs cannot come out of 4-byte planes: refused before any output exists.
      {"pair count 2^28", with_header({0x00, 0x03, 0x80, 0x80, 0x80, 0x80, 0x01, 0x04}, two_planes),
       AransError::Truncated},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(decode_error(c.stream), c.want);
  }
}

TEST(Arans, ZeroPairsGiveTheOddByteAlone) {
  EXPECT_EQ(decode_stream(Bytes{0x00, 0x03, 0x00, 0x00, 0xAA, 0xBB}).value(), Bytes{});
  EXPECT_EQ(decode_stream(Bytes{0x01, 0x03, 0x00, 0x00, 0xAA, 0xBB}).value(), Bytes{0xBB});
  // The planes are not decoded, whatever the even length covers.
  EXPECT_EQ(decode_stream(Bytes{0xFF, 0x08, 0x00, 0x01, 0xAA, 0xBB, 0xCC}).value(), Bytes{0xCC});
}

TEST(Arans, PlanesRoundTripAtEveryContextWidth) {
  std::mt19937_64 rng(11);
  for (std::uint8_t c = 0; c <= 8; ++c) {
    for (const std::size_t n : {0u, 1u, 2u, 1000u, 30000u}) {
      const Bytes plane = c % 2 ? uniform_bytes(rng, n) : laplacian_coefficients(rng, n, 3.0);
      const Bytes coded = encode_plane(plane, c);
      EXPECT_EQ(coded.empty(), n == 0);
      EXPECT_EQ(decode_plane(coded, n, c).value(), plane) << int{c} << "/" << n;
    }
  }
  EXPECT_EQ(decode_plane(Bytes{0x00, 0x00, 0x01, 0x00}, 1, 9).error(), AransError::BadLength);
  EXPECT_EQ(decode_plane(Bytes{}, 0, 3).value(), Bytes{});
}

// Round trip, every proper prefix down to 6 bytes, and random corruption, on
// inputs from empty to 100,000 bytes (both context widths).
TEST(Arans, RandomStreams) {
  std::mt19937_64 rng(12);
  std::uniform_int_distribution<std::size_t> any_length(0, 100000);
  std::vector<std::size_t> lengths{0, 5, 6, 7, 8, 31, 100, 16383, 16384, 100000};
  for (int i = 0; i < 12; ++i) lengths.push_back(any_length(rng));

  for (std::size_t li = 0; li < lengths.size(); ++li) {
    const std::size_t n = lengths[li];
    SCOPED_TRACE(n);
    Bytes input;
    switch (li % 4) {
      case 0: input = laplacian_coefficients(rng, n, 2.0); break;
      case 1: input = laplacian_coefficients(rng, n, 300.0); break;
      case 2: input = uniform_bytes(rng, n); break;
      default: input.assign(n, 0x5A); break;
    }
    const Bytes stream = encode_stream(input);
    ASSERT_EQ(decode_stream(stream).value(), input);

    if (stream.size() > 6) {
      std::vector<std::size_t> cuts;
      if (stream.size() <= 300) {
        for (std::size_t k = 6; k < stream.size(); ++k) cuts.push_back(k);
      } else {
        std::uniform_int_distribution<std::size_t> cut(6, stream.size() - 1);
        cuts = {6, 7, stream.size() - 2, stream.size() - 1};
        for (int i = 0; i < 16; ++i) cuts.push_back(cut(rng));
      }
      for (const std::size_t k : cuts) {
        const auto got = decode_stream(std::span(stream).first(k));
        ASSERT_FALSE(got) << "prefix of " << k;
        ASSERT_EQ(got.error(), AransError::Truncated) << "prefix of " << k;
      }
    }

    const int trials = stream.size() < 2000 ? 30 : 6;
    for (int trial = 0; trial < trials && !stream.empty(); ++trial) {
      Bytes bad = stream;
      std::uniform_int_distribution<std::size_t> at(0, bad.size() - 1);
      const int edits = 1 + static_cast<int>(rng() % 4);
      for (int e = 0; e < edits; ++e) bad[at(rng)] ^= static_cast<std::uint8_t>(1 + rng() % 255);
      const auto got = decode_stream(bad);
      if (got && bad.size() > 5) {
        std::size_t pos = 2;
        const std::uint64_t pairs = rv(bad, pos).value();
        EXPECT_EQ(got->size(), 2 * pairs + (bad[0] & 1));
      }
    }
  }
}

}  // namespace
}  // namespace quillmere::arans

namespace quillmere::arans {
namespace {

// The stream as its layout reads, from two independent plane encodings.
// The encoder codes long inputs in runs, both planes in one loop; its
// bytes must not differ from this.
Bytes reference_stream(const Bytes& data) {
  const std::size_t pairs = data.size() / 2;
  const std::uint8_t context_bits = data.size() < 16384 ? 3 : 8;
  Bytes even(pairs), odd(pairs);
  for (std::size_t i = 0; i < pairs; ++i) {
    even[i] = data[2 * i];
    odd[i] = data[2 * i + 1];
  }
  const Bytes coded_even = encode_plane(even, context_bits);
  const Bytes coded_odd = encode_plane(odd, context_bits);
  Bytes out{static_cast<std::uint8_t>(data.size() % 2), context_bits};
  for (std::uint64_t v : {std::uint64_t{pairs}, std::uint64_t{coded_even.size()}}) {
    for (; v >= 0x80; v >>= 7) out.push_back(static_cast<std::uint8_t>((v & 0x7f) | 0x80));
    out.push_back(static_cast<std::uint8_t>(v));
  }
  out.insert(out.end(), coded_even.begin(), coded_even.end());
  out.insert(out.end(), coded_odd.begin(), coded_odd.end());
  if (data.size() % 2) out.push_back(data.back());
  return out;
}

TEST(Arans, LongStreamsCodeAsTwoPlainPlanes) {
  // Runs are 2^17 pairs: lengths at and around one and two runs, with the
  // statistics changing from run to run so that a run modelled from the
  // wrong tables codes different bytes.
  constexpr std::size_t kRun = std::size_t{1} << 17;
  std::mt19937_64 rng(5);
  for (const std::size_t pairs : {kRun, kRun + 1, 2 * kRun + 3000}) {
    Bytes data;
    for (std::size_t done = 0; done < pairs; done += kRun / 4) {
      const Bytes part = laplacian_coefficients(rng, 2 * std::min(kRun / 4, pairs - done),
                                                std::ldexp(1.0, static_cast<int>(done % 13)));
      data.insert(data.end(), part.begin(), part.end());
    }
    for (const bool odd : {false, true}) {
      if (odd) data.push_back(0xA7);
      SCOPED_TRACE(testing::Message() << pairs << " pairs, " << data.size() << " bytes");
      const Bytes stream = encode_stream(data);
      ASSERT_EQ(stream, reference_stream(data));
      ASSERT_EQ(decode_stream(stream).value(), data);
    }
  }
}

}  // namespace
}  // namespace quillmere::arans
