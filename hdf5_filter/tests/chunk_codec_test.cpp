// The chunk codec without HDF5: what the plugin does with a chunk's bytes,
// including damaged ones and chunks the codec refuses.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "chunk_codec.hpp"
#include "chunk_frame.hpp"
#include "quillmere_tools/channel_unit.hpp"
#include "test_support.hpp"

namespace quillmere::hdf5 {
namespace {

using namespace testing;
using K = ChunkError::Kind;

class ElementRoundTrip : public ::testing::TestWithParam<ElementType> {};

TEST_P(ElementRoundTrip, EachChannelKeepsItsBoundAndItsNonFiniteSamples) {
  const ElementType element = GetParam();
  constexpr unsigned kFrames = 400, kChannels = 3;
  auto x = block(kFrames, kChannels);
  x[10 * kChannels + 1] = NAN;
  x[200 * kChannels + 2] = INFINITY;
  x[201 * kChannels + 0] = -INFINITY;
  const double bound = 1e-3;
  const FilterParams p =
      params_of(words(element, kFrames, kChannels, kFlagMaxError, param::kMaxError, bound));
  const auto held = values(file_bytes(x, element), element);

  auto stored = encode_chunk(file_bytes(x, element), p);
  ASSERT_TRUE(stored.has_value()) << stored.error().message();
  auto frame = read_frame(*stored);
  ASSERT_TRUE(frame.has_value()) << frame.error();
  EXPECT_EQ(frame->kind, FrameKind::Units);
  EXPECT_EQ(frame->channels, kChannels);
  auto back = decode_chunk(*stored, p);
  ASSERT_TRUE(back.has_value()) << back.error().message();
  const auto y = values(*back, element);
  ASSERT_EQ(y.size(), x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (std::isfinite(held[i])) {
      EXPECT_LE(std::abs(y[i] - held[i]), bound) << i;
    } else {
      EXPECT_TRUE(std::isnan(held[i]) ? std::isnan(y[i]) : y[i] == held[i]) << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllElements, ElementRoundTrip,
                         ::testing::Values(ElementType::F32LE, ElementType::F64LE,
                                           ElementType::F32BE, ElementType::F64BE));

TEST(ChunkCodec, ChannelsRunAlongTheTimeAxisAndAreTheirOwnUnits) {
  // A (2, 50, 3) chunk with time on axis 1: outer 2, stride 3, six channels.
  constexpr unsigned kOuter = 2, kFrames = 50, kStride = 3;
  auto cd = words(ElementType::F64LE, kFrames, kStride);
  cd[param::kChunkSamples] = kOuter * kFrames * kStride;
  cd[param::kTimeAxis] = 1;
  reseal(cd);
  const FilterParams p = params_of(cd);
  ASSERT_EQ(p.channels(), kOuter * kStride);
  std::vector<double> x(kOuter * kFrames * kStride);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = double(i);

  auto stored = encode_chunk(file_bytes(x, ElementType::F64LE), p);
  ASSERT_TRUE(stored.has_value()) << stored.error().message();
  auto frame = read_frame(*stored);
  ASSERT_TRUE(frame.has_value()) << frame.error();
  ASSERT_EQ(frame->kind, FrameKind::Units);
  for (unsigned c = 0; c < p.channels(); ++c) {
    std::vector<double> channel(kFrames);
    const unsigned outer = c / kStride, inner = c % kStride;
    for (unsigned t = 0; t < kFrames; ++t) channel[t] = x[(outer * kFrames + t) * kStride + inner];
    quillmere_tools::UnitRequest request;
    request.options = p.options;
    auto unit = quillmere_tools::encode_unit(std::span<const double>(channel), request);
    ASSERT_TRUE(unit.has_value());
    EXPECT_TRUE(std::ranges::equal(frame->units[c], unit->bytes)) << "channel " << c;
  }
}

TEST(ChunkCodec, FractionOfRangeBoundIsResolvedPerChannel) {
  // Channels 1 and 1000 wide: 1% of each channel's own range.
  constexpr unsigned kFrames = 600, kChannels = 4;
  const auto x = block(kFrames, kChannels);
  const FilterParams p = params_of(words(ElementType::F64LE, kFrames, kChannels,
                                         kFlagMaxError | kFlagMaxErrorOfRange, param::kMaxError,
                                         0.01));
  auto stored = encode_chunk(file_bytes(x, ElementType::F64LE), p);
  ASSERT_TRUE(stored.has_value());
  const auto y = values(*decode_chunk(*stored, p), ElementType::F64LE);
  for (unsigned c = 0; c < kChannels; ++c) {
    double lo = INFINITY, hi = -INFINITY, err = 0.0;
    for (unsigned t = 0; t < kFrames; ++t) {
      const double v = x[t * kChannels + c];
      lo = std::min(lo, v);
      hi = std::max(hi, v);
      err = std::max(err, std::abs(y[t * kChannels + c] - v));
    }
    EXPECT_LE(err, 0.01 * (hi - lo)) << c;
    EXPECT_GT(err, 0.0001 * (hi - lo)) << c;  // not simply coded losslessly
  }
}

struct Refused {
  const char* name;
  ElementType element;
  double bound;
  double spoil;  // written into one sample, 0 for none
};

class RefusedChunk : public ::testing::TestWithParam<Refused> {};

TEST_P(RefusedChunk, IsStoredRawAndReadsBackExactly) {
  const Refused r = GetParam();
  auto x = block(300, 2);
  if (r.spoil != 0.0) x[77] = r.spoil;
  const FilterParams p =
      params_of(words(r.element, 300, 2, kFlagMaxError, param::kMaxError, r.bound));
  const auto raw = file_bytes(x, r.element);
  auto stored = encode_chunk(raw, p);
  ASSERT_TRUE(stored.has_value()) << stored.error().message();
  auto frame = read_frame(*stored);
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(frame->kind, FrameKind::Raw);
  auto back = decode_chunk(*stored, p);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, raw);
}

INSTANTIATE_TEST_SUITE_P(
    CodecRefusals, RefusedChunk,
    ::testing::Values(Refused{"BeyondFloat32", ElementType::F64LE, 1e-3, 1e300},
                      Refused{"FinerThanFloat32", ElementType::F32BE, 1e-12, 0.0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ChunkCodec, TooLargeAMultiplierForTheSignalStoresItRaw) {
  auto cd = words(ElementType::F32LE, 256, 1, kFlagMultiplier);
  cd[param::kMultiplier] = std::bit_cast<std::uint32_t>(1e38f);
  reseal(cd);
  const FilterParams p = params_of(cd);
  const auto raw = file_bytes(block(256, 1), ElementType::F32LE);
  auto stored = encode_chunk(raw, p);
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(read_frame(*stored)->kind, FrameKind::Raw);
  EXPECT_EQ(*decode_chunk(*stored, p), raw);
}

class DamagedChunk : public ::testing::TestWithParam<FrameKind> {};

TEST_P(DamagedChunk, EveryCutFlipAndAdditionIsRefused) {
  // The frame's length and checksum cover every byte: no damaged chunk
  // decodes, whether or not the unit inside would have noticed, and a raw
  // chunk is as protected as a coded one.
  const FilterParams p = params_of(words(ElementType::F32LE, 300, 2));
  const auto raw = file_bytes(block(300, 2), ElementType::F32LE);
  const auto stored = GetParam() == FrameKind::Raw ? frame_raw(p.element, 2, 300, raw)
                                                   : *encode_chunk(raw, p);
  auto intact = decode_chunk(stored, p);
  ASSERT_TRUE(intact.has_value());
  if (GetParam() == FrameKind::Raw) {
    EXPECT_EQ(*intact, raw);
  }
  for (std::size_t cut = 0; cut < stored.size(); ++cut) {
    auto r = decode_chunk(std::span(stored).first(cut), p);
    ASSERT_FALSE(r.has_value()) << cut;
    EXPECT_EQ(r.error().kind, K::Corrupt) << cut;
  }
  for (std::size_t i = 0; i < stored.size(); ++i) {
    for (std::uint8_t bit = 1; bit != 0; bit <<= 1) {
      auto flipped = stored;
      flipped[i] ^= bit;
      ASSERT_FALSE(decode_chunk(flipped, p).has_value()) << i << " " << int(bit);
    }
  }
  auto longer = stored;
  longer.push_back(0);
  EXPECT_EQ(decode_chunk(longer, p).error().kind, K::Corrupt);
}

INSTANTIATE_TEST_SUITE_P(BothKinds, DamagedChunk,
                         ::testing::Values(FrameKind::Units, FrameKind::Raw));

TEST(ChunkCodec, FrameMustMatchTheDataset) {
  const auto x = block(300, 2);
  const FilterParams p = params_of(words(ElementType::F64LE, 300, 2));
  const auto stored = *encode_chunk(file_bytes(x, ElementType::F64LE), p);
  EXPECT_EQ(decode_chunk(stored, params_of(words(ElementType::F64BE, 300, 2))).error().kind,
            K::WrongLayout);
  EXPECT_EQ(decode_chunk(stored, params_of(words(ElementType::F64LE, 200, 3))).error().kind,
            K::WrongLength);
  EXPECT_EQ(decode_chunk(stored, params_of(words(ElementType::F64LE, 600, 1))).error().kind,
            K::WrongLength);
  // A unit of another length inside a well-formed frame is refused before
  // it is decoded.
  quillmere_tools::UnitRequest request;
  auto shorter = quillmere_tools::encode_unit(std::span<const double>(x).first(299), request);
  const std::vector<std::vector<std::uint8_t>> units = {shorter->bytes, shorter->bytes};
  EXPECT_EQ(decode_chunk(frame_units(ElementType::F64LE, 300, units), p).error().kind,
            K::WrongLength);
}

TEST(ChunkCodec, WriteSideRefusals) {
  const FilterParams p = params_of(words(ElementType::F64LE, 4, 1));
  using Bytes = std::vector<std::uint8_t>;
  EXPECT_EQ(encode_chunk(Bytes(31), p).error().kind, K::RaggedChunk);
  EXPECT_EQ(encode_chunk({}, p).error().kind, K::EmptyChunk);
  EXPECT_EQ(encode_chunk(Bytes(40), p).error().kind, K::WrongLength);
  EXPECT_EQ(encode_chunk(Bytes(32), FilterParams{}).error().kind, K::ElementUnknown);
}

TEST(LegacyLayout, ChunksAreBareUnitsOfTheFlattenedChunk) {
  const std::vector<unsigned> cd = {1, 2, 600, 1, 11, 0, 255, 0, 0, 0, 0};
  auto p = parse_params(cd, Stage::Chunk);
  ASSERT_TRUE(p.has_value());
  const auto x = block(300, 2);
  auto stored = encode_chunk(file_bytes(x, ElementType::F64LE), *p);
  ASSERT_TRUE(stored.has_value());
  EXPECT_FALSE(looks_framed(*stored));
  // The auto coder word means cmodel here, which the plugin that wrote
  // this layout reads, not the units' own default.
  quillmere_tools::UnitRequest request;
  request.options = p->options;
  request.options.coder = quillmere::Coder::CModel;
  EXPECT_EQ(*stored, quillmere_tools::encode_unit(std::span<const double>(x), request)->bytes);
  EXPECT_EQ(decode_chunk(*stored, *p)->size(), 600u * 8);
  auto other = *p;
  other.chunk_samples = 599;
  EXPECT_EQ(decode_chunk(*stored, other).error().kind, K::WrongLength);
}

}  // namespace
}  // namespace quillmere::hdf5
