// Zero blocks in the fast coder: round trips of sparse bands (lane and
// band boundaries inside and beside skipped blocks, short last blocks, the
// band-count limit of the form), the maps' compaction and expansion at
// every block size (and the expansion straight into dequantised floats),
// hostile maps, and a stream the plain form wrote before the maps existed.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

#include "band_helpers.hpp"
#include "fast_checked_decode.hpp"
#include "fast_coder.hpp"
#include "fast_model.hpp"
#include "fast_zero_blocks.hpp"
#include "quillmere/compressor.hpp"
#include "quillmere/decompressor.hpp"
#include "quillmere/header.hpp"
#include "quantizer.hpp"
#include "sparse_bands.hpp"
#include "test_data.hpp"

namespace quillmere::fast {
namespace {

using testing_bands::Band;
using testing_bands::Bytes;
using testing_bands::checked_decode;
using testing_bands::joined;
using testing_bands::lengths_of;
using testing_bands::Lcg;



// Above 63 bands the bit belongs to the count.
bool zero_block_form(const Bytes& stream, std::size_t bands) {
  return !stream.empty() && bands <= kMaxZeroBlockBands && (stream[0] & kZeroBlockForm) != 0;
}

struct SparseCase {
  std::vector<std::size_t> lengths;
  unsigned spread;
  std::uint32_t longest;  // of a silent or sounding stretch
  bool mapped;            // whether the encoder should take the zero-block form
};

class ZeroBlockRoundTrip : public ::testing::TestWithParam<SparseCase> {};

TEST_P(ZeroBlockRoundTrip, DecodesWhatWasEncoded) {
  Lcg rng{77};
  std::vector<Band> bands;
  for (const std::size_t n : GetParam().lengths) {
    bands.push_back(testing_bands::sparse_band(rng, n, GetParam().spread, GetParam().longest));
  }
  const Bytes stream = encode_coeffs(testing_bands::views_of(bands));
  EXPECT_EQ(zero_block_form(stream, bands.size()), GetParam().mapped);
  EXPECT_EQ(encode_coeffs(testing_bands::views_of(bands)), stream);  // deterministic
  const auto back = checked_decode(stream, lengths_of(bands));
  ASSERT_TRUE(back.has_value()) << message(back.error());
  EXPECT_EQ(*back, joined(bands));
  // A channel unit's side-block flag shares the byte and changes nothing.
  Bytes flagged = stream;
  flagged[0] |= kSideBlockFlag;
  EXPECT_EQ(checked_decode(flagged, lengths_of(bands)).value(), joined(bands));
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ZeroBlockRoundTrip,
    ::testing::Values(
        // One lane; band lengths that end in a short block.
        SparseCase{{3000}, 6, 1500, true}, SparseCase{{1999, 33, 31, 1000}, 5, 1200, true},
        // Four lanes whose segments start inside live and skipped blocks.
        SparseCase{{20000, 9999, 5001}, 7, 900, true}, SparseCase{{100000}, 3, 5000, true},
        // Stretches shorter than a block rarely leave one all zero.
        SparseCase{{30000}, 8, 12, false},
        // All-zero bands keep their free model beside mapped ones.
        SparseCase{{0, 4096, 0, 12000, 1}, 9, 2000, true},
        // 63 bands may take the form; 64 may not.
        SparseCase{std::vector<std::size_t>(63, 700), 6, 350, true},
        SparseCase{std::vector<std::size_t>(64, 700), 6, 350, false},
        // Loud, with -32768 possible, in few long stretches.
        SparseCase{{50000, 25000}, 16, 6000, true}));

// Every coefficient back in place for every block size, whatever the
// pattern of zero blocks: the maps survive writing and reading, and
// expansion in place over the compacted prefix restores the bands.
class ZeroBlockMaps : public ::testing::TestWithParam<unsigned> {};

TEST_P(ZeroBlockMaps, CompactionAndExpansionRestoreTheBands) {
  const unsigned code = GetParam();
  for (std::uint64_t seed = 1; seed <= 20; ++seed) {
    Lcg rng{seed};
    std::vector<Band> bands;
    const std::size_t count = 1 + rng.below(9);
    for (std::size_t b = 0; b < count; ++b) {
      bands.push_back(testing_bands::sparse_band(rng, rng.below(3000), 1 + rng.below(12), 1 + rng.below(600)));
    }
    const auto views = testing_bands::views_of(bands);
    const BlockMaps maps = find_zero_blocks(views, code);
    if (!maps.any_mapped()) continue;
    Bytes written{0};
    write_block_maps(maps, written);
    std::size_t used = 0;
    const auto read = read_block_maps(std::span(written).subspan(1), lengths_of(bands), used);
    ASSERT_TRUE(read.has_value()) << message(read.error()) << " seed " << seed;
    EXPECT_EQ(used, written.size() - 1);
    EXPECT_EQ(read->runs, maps.runs);

    const Band all = joined(bands);
    Band buffer(all.size() + 1, 0x5555);  // a coefficient after the bands must stay put
    std::vector<std::span<const std::int16_t>> compacted;
    compact_bands(views, maps, buffer.data(), compacted);
    Band coded;
    for (std::size_t b = 0; b < bands.size(); ++b) {
      ASSERT_EQ(compacted[b].size(), read->bands[b].live) << seed;
      coded.insert(coded.end(), compacted[b].begin(), compacted[b].end());
    }
    std::copy(coded.begin(), coded.end(), buffer.begin());
    std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(coded.size()), buffer.end() - 1, std::int16_t{-7});
    expand_bands(*read, lengths_of(bands), std::span(buffer).first(all.size()));
    EXPECT_EQ(Band(buffer.begin(), buffer.end() - 1), all) << "seed " << seed;
    EXPECT_EQ(buffer.back(), 0x5555);

    // Spread and dequantised in one pass: bit for bit the floats of the
    // two passes, nothing written past the end. The tiny factor's
    // reciprocal overflows, so there a zero becomes NaN, not +0.
    for (const float multiplier : {1.0f, 3.7f, 0.015625f, 1e-40f}) {
      std::vector<float> expected(all.size());
      dequantise(all, multiplier, expected);
      std::vector<float> fused(all.size() + 1, -1.5f);
      expand_dequantised(*read, lengths_of(bands), coded, multiplier, std::span(fused).first(all.size()));
      ASSERT_EQ(0, std::memcmp(fused.data(), expected.data(), all.size() * sizeof(float)))
          << "seed " << seed << " multiplier " << multiplier;
      EXPECT_EQ(fused.back(), -1.5f);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, ZeroBlockMaps, ::testing::Values(0u, 1u, 2u));

// A zero-block stream from its map bits (least significant first) and the
// body of a stream of one band coded as all zeros.
Bytes forged(std::uint8_t first, const std::vector<std::pair<std::uint32_t, unsigned>>& fields) {
  Bytes s{first};
  BitWriter w(s);
  for (const auto& [value, bits] : fields) w.put(value, bits);
  w.flush();
  s.push_back(0x00);  // the band's model: one token, nothing coded
  s.push_back(0x00);  // no raw bits
  return s;
}

TEST(ZeroBlockMaps, HostileMapsAreRefused) {
  const std::vector<std::size_t> one{100};  // four blocks of 32, the last of 4
  const std::uint8_t first = 1 | kZeroBlockForm;
  // Block size code 2, held by a map (1 in two bits), first run zero, then
  // two runs of 2 blocks (Exp-Golomb 0 1 0 each): 11 bits.
  const std::vector<std::pair<std::uint32_t, unsigned>> two_and_two{{1, 2}, {1, 1}, {0, 1}, {1, 1}, {0, 1},
                                                                    {0, 1}, {1, 1}, {0, 1}};
  const auto with = [&](std::uint32_t code, std::vector<std::pair<std::uint32_t, unsigned>> more) {
    std::vector<std::pair<std::uint32_t, unsigned>> fields{{code, 2}};
    fields.insert(fields.end(), two_and_two.begin(), two_and_two.end());
    fields.insert(fields.end(), more.begin(), more.end());
    return forged(first, fields);
  };
  const Bytes ok = with(2, {});
  // Two zero blocks, then two live ones (the last 4 long), which this body
  // decodes as zeros: a valid stream.
  EXPECT_EQ(checked_decode(ok, one).value(), Band(100, 0));
  // Block size code 3 does not exist.
  EXPECT_EQ(checked_decode(with(3, {}), one).error(), FastError::BadBlockMap);
  // Bits set in the map's padding.
  EXPECT_EQ(checked_decode(with(2, {{1, 1}}), one).error(), FastError::BadBlockMap);
  // A run of 5 blocks where 4 remain (00 1 01).
  EXPECT_EQ(checked_decode(forged(first, {{2, 2}, {1, 2}, {1, 1}, {0, 2}, {1, 1}, {1, 2}}), one).error(),
            FastError::BadBlockMap);
  // A run code with more leading zeros than any run can have.
  EXPECT_EQ(checked_decode(forged(first, {{2, 2}, {1, 2}, {1, 1}, {0, 32}, {1, 1}}), one).error(), FastError::BadBlockMap);
  // The form announced and no band mapped.
  EXPECT_EQ(checked_decode(forged(first, {{2, 2}, {0, 2}}), one).error(), FastError::BadBlockMap);
  // A band held in the fourth way, which does not exist.
  EXPECT_EQ(checked_decode(forged(first, {{2, 2}, {3, 2}}), one).error(), FastError::BadBlockMap);
  // An empty band held by a map or as zeros: only the plain way reads it.
  const std::vector<std::size_t> empty_first{0, 100};
  EXPECT_EQ(checked_decode(forged(2 | kZeroBlockForm, {{2, 2}, {2, 2}, {2, 2}}), empty_first).error(),
            FastError::BadBlockMap);
  // The form with a band count that does not match.
  EXPECT_EQ(checked_decode(ok, {50, 50}).error(), FastError::BadLength);
  // Maps cut short: the runs stop before covering the band.
  EXPECT_EQ(checked_decode(Bytes{first, 0x06}, one).error(), FastError::Truncated);
  EXPECT_EQ(checked_decode(Bytes{first}, one).error(), FastError::Truncated);
}

TEST(ZeroBlockMaps, BandsTooLongForAnyStreamAreRefused) {
  const Bytes map = forged(1 | kZeroBlockForm, {{2, 2}, {1, 2}, {1, 1}, {1, 1}});
  const std::vector<std::size_t> huge{SIZE_MAX / 2 + 1};
  EXPECT_EQ(preflight(map, huge).error(), FastError::BadLength);
}

// Through the container: a tone in bursts with digital silence between
// them, whose fast payload takes the zero-block form, decodes to the very
// samples of the cmodel container.
TEST(ZeroBlockStreams, ContainersDecodeToCModelsSamples) {
  std::vector<float> x(60000, 0.0f);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const auto t = static_cast<double>(i);
    if ((i / 7000) % 2 == 0) x[i] = static_cast<float>(std::sin(0.05 * t) * (1.0 + 0.001 * static_cast<double>(i % 1000)));
  }
  for (const Method method : {Method::Cdf97, Method::Db4}) {
    CodecOptions o;
    o.method = method;
    o.coder = Coder::CModel;
    const auto reference = compress(x, o);
    o.coder = Coder::Fast;
    const auto fast = compress(x, o);
    ASSERT_TRUE(reference && fast);
    ASSERT_GT(fast->size(), HEADER_LEN);
    EXPECT_NE((*fast)[HEADER_LEN] & kZeroBlockForm, 0);
    const auto a = decompress(*reference);
    const auto b = decompress_tools(*fast);
    ASSERT_TRUE(a && b);
    ASSERT_EQ(a->size(), b->size());
    EXPECT_EQ(0, std::memcmp(a->data(), b->data(), a->size() * sizeof(float)));
  }
}

std::vector<Band> stored_bands() { return testing_bands::speech_like_bands(20261209); }

TEST(ZeroBlockStreams, EveryTruncationIsRefusedAndFlipsEndInAValueOrAnError) {
  const auto bands = stored_bands();
  const Bytes stream = encode_coeffs(testing_bands::views_of(bands));
  ASSERT_TRUE(zero_block_form(stream, bands.size()));
  for (std::size_t n = 0; n < stream.size(); n += 1 + n / 64) {
    const Bytes cut(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_FALSE(checked_decode(cut, lengths_of(bands)).has_value()) << n;
  }
  std::size_t refused = 0, tried = 0;
  for (std::size_t i = 0; i < stream.size(); i += 1 + i / 32) {
    for (unsigned bit = 0; bit < 8; bit += 3, ++tried) {
      Bytes bad = stream;
      bad[i] ^= static_cast<std::uint8_t>(1u << bit);
      refused += !checked_decode(bad, lengths_of(bands)).has_value();
    }
  }
  EXPECT_GT(2 * refused, tried);  // most flips are caught
}

// Written by the fast encoder before zero blocks existed, from the same
// bands: it still decodes to them, and the zero-block form of those bands
// is smaller.
TEST(ZeroBlockStreams, PlainStreamsWrittenBeforeTheFormStillDecode) {
  const auto bands = stored_bands();
  const Bytes old = testing_data::read_bytes(testing_data::data_path("legacy/fast_stream_before_zero_blocks.bin"));
  ASSERT_EQ(old.size(), 5551u);
  EXPECT_FALSE(zero_block_form(old, bands.size()));
  const auto back = checked_decode(old, lengths_of(bands));
  ASSERT_TRUE(back.has_value()) << message(back.error());
  EXPECT_EQ(*back, joined(bands));
  const Bytes now = encode_coeffs(testing_bands::views_of(bands));
  EXPECT_TRUE(zero_block_form(now, bands.size()));
  EXPECT_LT(now.size(), old.size());
}

}  // namespace
}  // namespace quillmere::fast
