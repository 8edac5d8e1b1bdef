// Coefficient model: fixed streams, bit counts, every decoder refusal and
// its order, the capacity bound, and round trips, truncations and
// corruptions of random bands.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>
#include <stdexcept>
#include <vector>

#include "band_helpers.hpp"
#include "bin_engine.hpp"
#include "cmodel.hpp"
#include "cmodel_checks.hpp"

namespace quillmere::cmodel {
namespace {

using testing_bands::Band;
using testing_bands::Bytes;
using testing_bands::lengths_of;

Bytes encode(const std::vector<Band>& bands) { return encode_coeffs(testing_bands::views_of(bands)); }

// Checks decode_coeffs and decode_coeffs_into against each other and returns
// the bands (or the error both gave).
std::expected<std::vector<Band>, CModelError> decode(const Bytes& stream,
                                                     const std::vector<std::size_t>& lengths) {
  auto bands = decode_coeffs(stream, lengths);
  std::vector<std::int16_t> flat(std::accumulate(lengths.begin(), lengths.end(), std::size_t{0}));
  const auto into = decode_coeffs_into(stream, lengths, flat);
  EXPECT_EQ(bands.has_value(), into.has_value());
  if (!bands) {
    if (!into) {
      EXPECT_EQ(bands.error(), into.error());
    }
    return bands;
  }
  std::vector<std::int16_t> joined;
  for (const auto& b : *bands) joined.insert(joined.end(), b.begin(), b.end());
  EXPECT_EQ(joined, flat);
  return bands;
}

// Wavelet-like: mostly small Laplacian values, zeros in runs, rare extremes.
Band random_band(std::mt19937_64& rng, std::size_t n, double scale) {
  std::exponential_distribution<double> magnitude(1.0 / scale);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  Band band(n);
  for (auto& w : band) {
    const double u = unit(rng);
    if (u < 0.001) {
      w = u < 0.0005 ? -32768 : 32767;
      continue;
    }
    const long v = std::lround(std::min(magnitude(rng), 32767.0));
    w = static_cast<std::int16_t>(unit(rng) < 0.5 ? -v : v);
  }
  return band;
}

TEST(CModel, WorkedExamples) {
  EXPECT_EQ(encode({{}, {}}), (Bytes{0x02, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00}));
  EXPECT_EQ(decode(Bytes{0x02, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00}, {0, 0}).value(),
            (std::vector<Band>{{}, {}}));

  const std::vector<Band> bands{{0, 0, 3, -1, 0, 0, 0, 2}, {5, -32768, 0, 1}};
  const Bytes stream{0x02, 0x02, 0x10, 0xC9, 0x00, 0xBB, 0x00, 0x2B, 0x95, 0x7F, 0x03, 0x88, 0xFB, 0x08, 0xD4};
  EXPECT_EQ(encode(bands), stream);
  EXPECT_EQ(decode(stream, {8, 4}).value(), bands);
  EXPECT_EQ(decode(stream, {8}).error(), CModelError::BadLength);
  EXPECT_EQ(decode(Bytes(stream.begin(), stream.end() - 1), {8, 4}).error(), CModelError::Truncated);

  EXPECT_EQ(message(CModelError::Truncated), "Stream truncated");
  EXPECT_EQ(message(CModelError::BadLength), "Inconsistent length in coefficient stream");
}

TEST(CModel, AllEmptyBands) {
  for (const std::size_t k : {0u, 1u, 3u, 255u}) {
    Bytes want(1 + k + 4, 0x01);  // K, K bit counts of 1, the state 65536
    want[0] = static_cast<std::uint8_t>(k);
    want[k + 1] = want[k + 2] = want[k + 4] = 0x00;
    EXPECT_EQ(encode(std::vector<Band>(k)), want) << k;
    EXPECT_EQ(decode(want, std::vector<std::size_t>(k, 0)).value(), std::vector<Band>(k)) << k;
  }
  EXPECT_THROW(encode(std::vector<Band>(256)), std::invalid_argument);
}

TEST(CModel, BitCounts) {
  const struct {
    Band band;
    std::uint8_t bits;
  } cases[] = {
      {{}, 1},          {{0, 0, 0}, 1}, {{1, -1, 0}, 1}, {{2}, 2},         {{-3, 1}, 2},
      {{4}, 3},         {{255}, 8},     {{-256}, 9},     {{32767}, 15},    {{-32767}, 15},
      {{0, -32768}, 16},
  };
  for (const auto& c : cases) {
    const Bytes stream = encode({c.band});
    EXPECT_EQ(stream[1], c.bits) << testing::PrintToString(c.band);
    EXPECT_EQ(decode(stream, {c.band.size()}).value(), std::vector<Band>{c.band});
  }
  // A band of zeros codes one cheap bit per coefficient: ten thousand of
  // them take the four state bytes and a few words.
  EXPECT_LE(encode({Band(10000, 0)}).size(), 2u + 4u + 10u);
}

// A bit count of 0 (never written by the encoder) reads no magnitude bits:
// every nonzero coefficient is 1 or -1.
TEST(CModel, ZeroBitCountDecodesUnitMagnitudes) {
  const Layout lay = layout(std::vector<std::uint32_t>{0});
  ASSERT_EQ(lay.total, 4u);
  bin_engine::BinEnc enc(lay.total);
  const Band want{0, 1, -1, 0, 0, -1};
  unsigned z = 0;
  for (const std::int16_t w : want) {
    enc.put(z, w != 0);
    if (w != 0) enc.put(2, w < 0);
    z = w != 0;
  }
  Bytes stream{0x01, 0x00};
  enc.finish_into(stream);
  EXPECT_EQ(decode(stream, {want.size()}).value(), std::vector<Band>{want});
}

// The model as plainly as it reads: one engine record, every bit put() in
// band order. The encoder models large bands in runs, backwards, from
// recorded probabilities; its bytes must not differ from this.
Bytes reference_encode(const std::vector<Band>& bands) {
  std::vector<std::uint32_t> bits;
  for (const Band& band : bands) {
    std::uint32_t largest = 0;
    for (const std::int16_t w : band) {
      largest = std::max(largest, static_cast<std::uint32_t>(std::abs(std::int32_t{w})));
    }
    bits.push_back(largest == 0 ? 1 : static_cast<std::uint32_t>(std::bit_width(largest)));
  }
  const Layout lay = layout(bits);
  bin_engine::BinEnc enc(lay.total);
  for (std::size_t i = 0; i < bands.size(); ++i) {
    const std::size_t base = lay.offsets[i];
    unsigned z = 0;
    for (const std::int16_t w : bands[i]) {
      enc.put(base + z, w != 0);
      z = w != 0;
      if (w == 0) continue;
      enc.put(base + 2, w < 0);
      const auto m = static_cast<std::uint32_t>(std::abs(std::int32_t{w})) - 1;
      std::size_t node = 1;
      for (int k = static_cast<int>(bits[i]) - 1; k >= 0; --k) {
        const unsigned bit = (m >> k) & 1u;
        enc.put(base + 3 + node, bit);
        node = 2 * node + bit;
      }
    }
  }
  Bytes out{static_cast<std::uint8_t>(bands.size())};
  for (const std::uint32_t b : bits) out.push_back(static_cast<std::uint8_t>(b));
  enc.finish_into(out);
  return out;
}

// A band whose statistics drift along it (wider values and fewer zeros
// towards its end), so that a run modelled from the wrong starting
// probabilities codes different bytes.
Band drifting_band(std::size_t n, int magnitude_bits, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const double top = std::ldexp(1.0, magnitude_bits) - 1.0;
  Band band(n);
  for (std::size_t j = 0; j < n; ++j) {
    const double phase = static_cast<double>(j) / static_cast<double>(n);
    if (unit(rng) < 0.6 - 0.5 * phase) continue;  // a zero
    const double v = std::min(top, 1.0 + top * std::pow(unit(rng), 6.0 - 5.0 * phase));
    band[j] = static_cast<std::int16_t>(unit(rng) < 0.5 ? -v : v);
  }
  if (n > 0) band[n / 2] = static_cast<std::int16_t>(unit(rng) < 0.5 ? -top : top);
  return band;
}

TEST(CModel, LargeBandsCodeAsOneForwardModel) {
  // Runs are 8192 coefficients, or four times the tree for wide bands:
  // lengths at and just past run boundaries (a last run of one coefficient),
  // and wide bands whose runs are the tree's multiple.
  const std::vector<std::pair<std::size_t, int>> shapes{
      {32767, 11}, {32768, 11}, {32769, 11}, {100000, 3}, {65536 * 4 + 17, 16}, {70000, 14},
  };
  std::vector<Band> bands;
  for (std::size_t i = 0; i < shapes.size(); ++i) {
    bands.push_back(drifting_band(shapes[i].first, shapes[i].second, i + 1));
  }
  bands.push_back(Band(40000, 0));
  ASSERT_EQ(bands[4].size(), 65536u * 4 + 17);
  const Bytes stream = encode(bands);
  EXPECT_EQ(stream, reference_encode(bands));
  EXPECT_EQ(decode(stream, lengths_of(bands)).value(), bands);
  // Each band alone too: there the run structure is the whole stream.
  for (const Band& band : bands) {
    EXPECT_EQ(encode({band}), reference_encode({band})) << band.size();
  }
}

TEST(CModel, LayoutOffsets) {
  const Layout lay = layout(std::vector<std::uint32_t>{2, 16, 0, 1});
  EXPECT_EQ(lay.offsets, (std::vector<std::size_t>{0, 7, 7 + 65539, 7 + 65539 + 4}));
  EXPECT_EQ(lay.bits, (std::vector<std::uint32_t>{2, 16, 0, 1}));
  EXPECT_EQ(lay.total, 7u + 65539u + 4u + 5u);
}

TEST(CModel, MalformedStreamsInOrder) {
  const Bytes empty_run{0x00, 0x00, 0x01, 0x00};
  auto stream = [&](Bytes head, std::size_t payload = 4) {
    head.insert(head.end(), empty_run.begin(), empty_run.begin() + static_cast<std::ptrdiff_t>(payload));
    return head;
  };
  const struct {
    const char* what;
    Bytes stream;
    std::vector<std::size_t> lengths;
    CModelError want;
  } cases[] = {
      {"empty stream", {}, {1}, CModelError::Truncated},
      {"empty stream, no bands", {}, {}, CModelError::Truncated},
      {"band count differs", stream({0x03, 1, 1, 1}), {1, 1}, CModelError::BadLength},
      {"band count differs before the size test", {0x03}, {1, 1}, CModelError::BadLength},
      {"bit counts cut off", {0x02, 0x01}, {1, 1}, CModelError::Truncated},
      {"bit count 17", stream({0x02, 1, 17}), {0, 0}, CModelError::BadLength},
      {"bit count 255 before a short payload", stream({0x01, 255}, 2), {1}, CModelError::BadLength},
      {"payload of 3 bytes", stream({0x01, 1}, 3), {0}, CModelError::Truncated},
      {"no payload", {0x01, 0x01}, {0}, CModelError::Truncated},
      // Within the capacity bound (3248 coefficients for 4 bytes), so only
      // the decoding itself finds the words missing.
      {"words run out", stream({0x01, 1}), {3000}, CModelError::Truncated},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(decode(c.stream, c.lengths).error(), c.want);
    EXPECT_EQ(preflight(c.stream, c.lengths).has_value(), c.what == std::string_view("words run out"));
  }
  std::vector<std::int16_t> wrong(3);
  EXPECT_EQ(decode_coeffs_into(stream({0x01, 1}), std::vector<std::size_t>{2}, wrong).error(),
            CModelError::BadLength);
}

// Lengths from an untrusted header may claim billions of coefficients; the
// decoder must say Truncated at once instead of allocating and zeroing them.
TEST(CModel, ClaimsBeyondThePayloadAreRefusedBeforeAllocating) {
  const Bytes stream = encode({Band(100, 0), Band(100, 7)});
  const std::vector<std::size_t> huge{std::size_t{1} << 30, std::size_t{1} << 30};
  EXPECT_EQ(decode_coeffs(stream, huge).error(), CModelError::Truncated);
  EXPECT_EQ(preflight(stream, huge).error(), CModelError::Truncated);
  EXPECT_FALSE(could_hold(stream.size(), std::size_t{1} << 31));
  // Lengths whose sum wraps around must not slip through.
  const std::vector<std::size_t> wrapping{SIZE_MAX, 2};
  EXPECT_EQ(decode_coeffs(stream, wrapping).error(), CModelError::Truncated);
  EXPECT_FALSE(could_hold(4, 0));
  EXPECT_TRUE(could_hold(5, 0));
}

// The bound must never refuse a real stream. All zeros is the densest a
// stream can be: one bit per coefficient, at the most extreme probability.
TEST(CModel, CapacityBoundAdmitsTheDensestStreams) {
  for (const std::size_t n : {1u, 1000u, 100000u, 3000000u}) {
    const std::vector<Band> bands{Band(n, 0), Band(n / 2, 0)};
    const Bytes stream = encode(bands);
    EXPECT_TRUE(could_hold(stream.size(), n + n / 2)) << n;
    EXPECT_TRUE(preflight(stream, lengths_of(bands))) << n;
    EXPECT_EQ(decode(stream, lengths_of(bands)).value(), bands);
  }
}

// Round trip, every proper prefix, and random corruption, on 1 to 10 bands of
// up to 100,000 coefficients in all, magnitudes up to 32768.
TEST(CModel, RandomBands) {
  std::mt19937_64 rng(21);
  for (int trial = 0; trial < 24; ++trial) {
    const std::size_t k = 1 + rng() % 10;
    const std::size_t total = trial < 8    ? rng() % 64
                              : trial < 20 ? rng() % 5001
                              : trial < 23 ? rng() % 100001
                                           : 100000;
    std::vector<Band> bands;
    for (std::size_t i = 0; i < k; ++i) {
      const std::size_t n = i + 1 == k ? total : (total >> (i + 1));
      const double scale = trial % 3 == 0 ? 0.3 : trial % 3 == 1 ? 4.0 : 900.0;
      bands.push_back(random_band(rng, n, scale * static_cast<double>(i + 1)));
    }
    const auto lengths = lengths_of(bands);
    const Bytes stream = encode(bands);
    SCOPED_TRACE(testing::Message() << k << " bands, stream of " << stream.size());
    ASSERT_EQ(decode(stream, lengths).value(), bands);

    std::vector<std::size_t> cuts;
    if (stream.size() <= 400) {
      cuts.resize(stream.size());
      std::iota(cuts.begin(), cuts.end(), 0);
    } else {
      cuts = {0, 1, k, k + 1, k + 4, stream.size() - 2, stream.size() - 1};
      for (int i = 0; i < 8; ++i) cuts.push_back(rng() % stream.size());
    }
    for (const std::size_t cut : cuts) {
      const auto got = decode_coeffs(std::span(stream).first(cut), lengths);
      ASSERT_FALSE(got) << "prefix of " << cut;
      ASSERT_EQ(got.error(), CModelError::Truncated) << "prefix of " << cut;
    }

    const int corruptions = stream.size() < 2000 ? 30 : stream.size() < 20000 ? 10 : 3;
    for (int c = 0; c < corruptions; ++c) {
      Bytes bad = stream;
      for (int e = 0; e <= static_cast<int>(rng() % 4); ++e) {
        bad[rng() % bad.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
      }
      const auto got = decode(bad, lengths);
      // preflight() decides exactly as far as it looks.
      const auto pre = preflight(bad, lengths);
      if (!pre) {
        ASSERT_FALSE(got);
        EXPECT_EQ(got.error(), pre.error());
      }
      if (got) {
        ASSERT_EQ(got->size(), k);
        for (std::size_t i = 0; i < k; ++i) EXPECT_EQ((*got)[i].size(), lengths[i]);
      }
    }
  }
}

// Every stream the encoder writes ends exactly where its last coefficient
// does; bytes after it pass an Open ending, as containers have always been
// read, and fail an Exact one.
TEST(CModel, ExactEndingFindsBytesAfterTheStream) {
  std::mt19937_64 rng(5);
  for (const std::size_t total : {1u, 7u, 64u, 3000u, 70000u}) {
    const std::vector<Band> bands = {random_band(rng, total / 4, 2.0), random_band(rng, total - total / 4, 40.0)};
    const auto lengths = lengths_of(bands);
    const Bytes stream = encode(bands);
    std::vector<std::int16_t> out(total);
    SCOPED_TRACE(testing::Message() << total << " coefficients");
    ASSERT_TRUE(decode_coeffs_into(stream, lengths, out, StreamEnding::Exact));
    for (const Bytes& extra : {Bytes{0}, Bytes{0, 0}, Bytes{0x51, 0x4c, 0x4d, 0x43}, Bytes(24, 0xff)}) {
      Bytes longer = stream;
      longer.insert(longer.end(), extra.begin(), extra.end());
      EXPECT_TRUE(decode_coeffs_into(longer, lengths, out, StreamEnding::Open));
      const auto exact = decode_coeffs_into(longer, lengths, out, StreamEnding::Exact);
      ASSERT_FALSE(exact) << extra.size() << " bytes appended";
      EXPECT_EQ(exact.error(), CModelError::BadLength);
    }
  }
}

}  // namespace
}  // namespace quillmere::cmodel
