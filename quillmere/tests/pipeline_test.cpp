// Round trips and the drivers' own rules, across every wavelet and coder.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "compress_core.hpp"
#include "decompress_core.hpp"
#include "quantizer.hpp"
#include "quillmere/byte_io.hpp"
#include "quillmere/compressor.hpp"
#include "quillmere/decompressor.hpp"
#include "quillmere/header.hpp"

namespace quillmere {
namespace {

constexpr Method kMethods[] = {Method::Cdf53, Method::Cdf97, Method::Db4, Method::Sym4};
constexpr Coder kCoders[] = {Coder::Deflate, Coder::Arans, Coder::CModel};

std::vector<float> test_signal(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> noise(0.0f, 0.02f);
  std::vector<float> x(n);
  float walk = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    walk += noise(rng);
    x[i] = 3.0f * std::sin(0.05f * static_cast<float>(i)) + walk + 100.0f;
  }
  return x;
}

CodecOptions options(Method method, Coder coder, std::uint8_t scale = 11,
                     Cutoff cutoff = Cutoff::Low) {
  CodecOptions o;
  o.method = method;
  o.coder = coder;
  o.scale = scale;
  o.cutoff = cutoff;
  return o;
}

std::vector<float> round_trip(const std::vector<float>& x, const CodecOptions& o) {
  auto c = compress(x, o);
  EXPECT_TRUE(c) << c.error().message();
  if (!c) return {};
  auto y = decompress(*c);
  EXPECT_TRUE(y) << y.error().message();
  return y ? *y : std::vector<float>{};
}

std::string decode_error(const std::vector<std::uint8_t>& container) {
  auto y = decompress(container);
  return y ? std::string("<ok>") : y.error().message();
}

using RoundTripParam = std::tuple<Method, Coder, std::size_t>;
class RoundTrip : public ::testing::TestWithParam<RoundTripParam> {};

TEST_P(RoundTrip, ReturnsSampleCountWithinTheQuantisationError) {
  const auto [method, coder, n] = GetParam();
  const auto x = test_signal(n, static_cast<std::uint32_t>(n));
  float lo = x[0], hi = x[0];
  for (float v : x) lo = std::min(lo, v), hi = std::max(hi, v);
  const float range = std::max(hi - lo, 1e-30f);
  for (std::uint8_t scale : {6, 9, 12}) {
    for (Cutoff cutoff : {Cutoff::Low, Cutoff::High}) {
      SCOPED_TRACE(testing::Message() << "scale " << int(scale) << " cutoff " << int(cutoff));
      const auto y = round_trip(x, options(method, coder, scale, cutoff));
      ASSERT_EQ(y.size(), n);
      double sq = 0.0;
      for (std::size_t i = 0; i < n; ++i) sq += double(y[i] - x[i]) * double(y[i] - x[i]);
      const double rmse = std::sqrt(sq / double(n)) / range;
      // One quantisation step is 1/m of the normalised range; the dead zone
      // drops details up to T steps. A few steps of RMSE is the envelope.
      const double step = 1.0 / scale_multiplier(scale);
      const double bound = 4.0 * (dead_zone_threshold(scale, cutoff) + 1.0) * step;
      EXPECT_LE(rmse, bound);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Matrix, RoundTrip,
    ::testing::Combine(::testing::ValuesIn(kMethods), ::testing::ValuesIn(kCoders),
                       ::testing::Values(1, 2, 3, 7, 9, 19, 20, 59, 60, 79, 80, 1000, 1001, 65537)));

TEST(Compress, IsAPureFunctionOfInputAndOptions) {
  const auto x = test_signal(5000, 7);
  for (Method m : kMethods) {
    for (Coder c : kCoders) {
      EXPECT_EQ(compress(x, options(m, c)), compress(x, options(m, c)));
    }
  }
  EXPECT_EQ(compress(x, options(Method::Cdf97, Coder::Auto)), compress(x, options(Method::Cdf97, Coder::CModel)));
}

TEST(Compress, FlatAndNonFiniteSignals) {
  for (Method m : kMethods) {
    for (Coder c : kCoders) {
      const std::vector<float> flat(300, 4.25f);
      const auto y = round_trip(flat, options(m, c));
      ASSERT_EQ(y.size(), flat.size());
      for (float v : y) EXPECT_EQ(v, 4.25f);

      const float inf = std::numeric_limits<float>::infinity();
      std::vector<float> x = test_signal(500, 3);
      for (auto& v : x) v = (v - 100.0f) * 0.1f;  // stay inside [-1, 2]
      x[10] = std::numeric_limits<float>::quiet_NaN();
      x[20] = inf;
      x[30] = -inf;
      auto container = compress(x, options(m, c));
      ASSERT_TRUE(container);
      const auto h = QuillmereHeader::from_bytes(*container);
      ASSERT_TRUE(h);
      EXPECT_TRUE(std::isfinite(h->min) && std::isfinite(h->max));
      const auto out = decompress(*container);
      ASSERT_TRUE(out);
      EXPECT_NEAR((*out)[20], 1.0f, 0.05f);
      EXPECT_NEAR((*out)[10], 0.0f, 0.05f);
    }
  }
}

TEST(Compress, ZeroMultiplierCodesAConstant) {
  auto o = options(Method::Cdf97, Coder::CModel);
  o.quant_multiplier = 0.0f;
  const auto x = test_signal(1000, 11);
  auto c = compress(x, o);
  ASSERT_TRUE(c);
  const auto h = QuillmereHeader::from_bytes(*c);
  EXPECT_EQ(h->multiplier, 0.0f);
  const auto y = decompress(*c);
  ASSERT_TRUE(y);
  const float constant = h->min + (h->max - h->min) * h->mean;
  for (float v : *y) EXPECT_EQ(v, constant);
}

TEST(Compress, Refusals) {
  const auto x = test_signal(100, 1);
  EXPECT_EQ(compress(std::span<const float>(), {}).error().message(),
            "Unsupported compression configuration 'Can't compress empty data'");

  for (float bad : {-1.0f, std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN(),
                    std::numeric_limits<float>::denorm_min()}) {
    CodecOptions o;
    o.quant_multiplier = bad;
    auto c = compress(x, o);
    ASSERT_FALSE(c) << bad;
    EXPECT_EQ(c.error().kind(), ErrorKind::UnsupportedConfiguration);
  }
  CodecOptions neg;
  neg.quant_multiplier = -2.5f;
  EXPECT_EQ(compress(x, neg).error().message(),
            "Unsupported compression configuration 'quant_multiplier must be 0 or a positive finite "
            "number with a finite reciprocal, but it was -2.5'");

  // A range that overflows f32 would store a NaN mean the decoder rejects.
  const std::vector<float> huge = {-3e38f, 3e38f, 0.0f, 1.0f};
  auto c = compress(huge, {});
  ASSERT_FALSE(c);
  EXPECT_EQ(c.error().kind(), ErrorKind::UnsupportedConfiguration);

  // More samples than the decoder accepts: refused before any sample is read.
  const float one = 1.0f;
  const std::span<const float> too_many(&one, std::size_t{2147483648});
  auto big = compress(too_many, {});
  ASSERT_FALSE(big);
  EXPECT_EQ(big.error().message(),
            "Unsupported compression configuration 'Can't compress more than 2147483647 samples, "
            "but data had 2147483648'");
}

TEST(Compress, SaturationStepsDownLevels) {
  // A step: 3,500 ones then 596 zeros. At 8 levels of cdf97 the coarsest band
  // saturates at scale 12 and the decode is grossly wrong.
  std::vector<float> x(4096, 0.0f);
  std::fill(x.begin(), x.begin() + 3500, 1.0f);
  const auto o = options(Method::Cdf97, Coder::CModel, 12);
  auto c = compress(x, o);
  ASSERT_TRUE(c);
  const auto h = QuillmereHeader::from_bytes(*c);
  EXPECT_LT(h->levels, pick_levels(x.size(), Method::Cdf97));
  const auto y = decompress(*c);
  ASSERT_TRUE(y);
  float worst = 0.0f;
  for (std::size_t i = 0; i < x.size(); ++i) worst = std::max(worst, std::abs((*y)[i] - x[i]));
  EXPECT_LT(worst, 0.02f);

  // At the level count chosen, nothing saturates; one level more would.
  auto at = detail::compress_core(x, o, h->levels);
  ASSERT_TRUE(at);
  EXPECT_FALSE(at->saturated);
  auto deeper = detail::compress_core(x, o, static_cast<std::uint8_t>(h->levels + 1));
  ASSERT_TRUE(deeper);
  EXPECT_TRUE(deeper->saturated);
}

TEST(Decompress, LimitsAndLengthChecksInOrder) {
  auto c = compress(test_signal(1000, 5), options(Method::Cdf97, Coder::CModel));
  ASSERT_TRUE(c);
  const std::vector<std::uint8_t> good = *c;
  const auto patched = [&](std::size_t offset, std::vector<std::uint8_t> bytes) {
    auto b = good;
    std::memcpy(b.data() + offset, bytes.data(), bytes.size());
    return b;
  };
  const auto u32 = [](std::uint32_t v) {
    std::vector<std::uint8_t> b(4);
    store_le32(b.data(), v);
    return b;
  };
  EXPECT_EQ(decode_error(patched(12, {0})), "Can't decompress data, reason: Min supported level is 1 but it was 0");
  EXPECT_EQ(decode_error(patched(12, {11})), "Can't decompress data, reason: Max supported level is 10 but it was 11");
  EXPECT_EQ(decode_error(patched(16, u32(2147483648u))),
            "Can't decompress data, reason: Can't decompress data bigger than 2147483647, but data was 2147483648");
  EXPECT_EQ(decode_error(patched(32, u32(0xFFFFFFFFu))),
            "Can't decompress data, reason: Minimum data size is 4294967347, but it was " +
                std::to_string(good.size()));

  std::vector<std::uint8_t> short_payload(good.begin(), good.begin() + 72);
  store_le32(short_payload.data() + 32, 100);
  EXPECT_EQ(decode_error(short_payload), "Can't decompress data, reason: Minimum data size is 152, but it was 72");


  // Extra bytes after the payload are ignored.
  auto longer = good;
  longer.insert(longer.end(), {1, 2, 3, 4, 5});
  EXPECT_EQ(decompress(longer), decompress(good));

  // A non-positive or NaN multiplier falls back to 2^scale.
  auto nan_mult = patched(36, u32(0x7FC00000u));
  EXPECT_EQ(decompress(nan_mult), decompress(patched(36, u32(std::bit_cast<std::uint32_t>(2048.0f)))));
}

// decompress_core takes the header's fields one by one; fed a container's
// fields it must give decompress()'s samples, and called directly it holds
// every field to the limits, in the documented order.
TEST(Decompress, CoreTakesTheFieldsInOrder) {
  const auto c = compress(test_signal(1000, 6), options(Method::Db4, Coder::Arans, 9));
  ASSERT_TRUE(c);
  const auto h = QuillmereHeader::from_bytes(*c);
  ASSERT_TRUE(h);
  const auto payload = std::span<const std::uint8_t>(*c).subspan(HEADER_LEN, h->payload_len);
  const auto core = [&](float multiplier, std::uint8_t levels, std::uint32_t count,
                        std::uint8_t scale, std::uint8_t coder) {
    return detail::decompress_core(payload, Method::Db4, h->min, h->max, h->mean, multiplier,
                                   levels, count, scale, coder);
  };
  const auto whole = decompress(*c);
  ASSERT_TRUE(whole);
  EXPECT_EQ(core(h->multiplier, h->levels, h->sample_count, h->scale, h->coder), whole);

  const auto reason = [](const Result<std::vector<float>>& r) {
    return r ? std::string("<ok>") : r.error().message();
  };
  const std::string prefix = "Can't decompress data, reason: ";
  const struct {
    std::uint8_t levels;
    std::uint32_t count;
    std::uint8_t scale;
    std::uint8_t coder;
    std::string want;
  } cases[] = {
      {0, 2147483648u, 5, 3,
       prefix + "Can't decompress data bigger than 2147483647, but data was 2147483648"},
      {11, 1000, 5, 3, prefix + "Max supported level is 10 but it was 11"},
      {0, 1000, 13, 3, prefix + "Min supported level is 1 but it was 0"},
      {h->levels, 1000, 5, 3, prefix + "Supported scales only [6, 12] but it was 5"},
      {h->levels, 1000, 13, 0, prefix + "Supported scales only [6, 12] but it was 13"},
      {h->levels, 1000, 9, 3, QuillmereError::unknown_coder(3).message()},
  };
  for (const auto& k : cases) {
    EXPECT_EQ(reason(core(h->multiplier, k.levels, k.count, k.scale, k.coder)), k.want);
  }
}

// The compressor stops at 8 levels, but containers with 9 or 10 are valid:
// made by one pass at that depth, they decode to the signal.
TEST(Decompress, AcceptsNineAndTenLevels) {
  const auto x = test_signal(20000, 8);
  for (const Coder coder : kCoders) {
    for (const std::uint8_t levels : {std::uint8_t{9}, std::uint8_t{10}}) {
      SCOPED_TRACE(testing::Message() << int(coder) << ", " << int{levels} << " levels");
      const auto o = options(Method::Cdf97, coder);
      auto enc = detail::compress_core(x, o, levels);
      ASSERT_TRUE(enc);
      ASSERT_FALSE(enc->saturated);
      const auto header = to_bytes(HeaderFields{
          o.method, enc->levels, enc->scale, enc->coder_id, static_cast<std::uint32_t>(x.size()),
          enc->min, enc->max, enc->mean, static_cast<std::uint32_t>(enc->payload.size()),
          enc->multiplier});
      std::vector<std::uint8_t> container(header.begin(), header.end());
      container.insert(container.end(), enc->payload.begin(), enc->payload.end());
      const auto y = decompress(container);
      ASSERT_TRUE(y) << y.error().message();
      ASSERT_EQ(y->size(), x.size());
      float worst = 0.0f;
      for (std::size_t i = 0; i < x.size(); ++i) worst = std::max(worst, std::abs((*y)[i] - x[i]));
      EXPECT_LT(worst, 0.05f);
    }
  }
}

TEST(Decompress, CorruptPayloads) {
  for (Coder coder : kCoders) {
    SCOPED_TRACE(int(coder));
    const auto a = compress(test_signal(1000, 1), options(Method::Cdf97, coder));
    const auto b = compress(test_signal(100, 2), options(Method::Cdf97, coder));
    ASSERT_TRUE(a && b);

    // Every truncation of the payload (header adjusted) is an error, never
    // a different signal. Deflate alone may lose bytes that carry no
    // coefficient (the end-of-stream marker and padding after the last
    // one); then the decode must be the untruncated one, sample for sample.
    const auto whole = decompress(*a);
    ASSERT_TRUE(whole);
    std::size_t decoded_short = 0;
    for (std::size_t cut = 0; cut < a->size() - HEADER_LEN; cut += 1 + cut / 16) {
      auto t = std::vector<std::uint8_t>(a->begin(), a->begin() + HEADER_LEN + cut);
      store_le32(t.data() + 32, static_cast<std::uint32_t>(cut));
      auto y = decompress(t);
      if (!y) {
        EXPECT_EQ(y.error().message().rfind("Can't decompress data, reason: ", 0), 0u)
            << y.error().message();
        continue;
      }
      ++decoded_short;
      EXPECT_EQ(coder, Coder::Deflate) << "cut " << cut << " decoded";
      EXPECT_EQ(*y, *whole) << "cut " << cut;
    }
    // Only the last few bytes of a deflate stream can go unmissed.
    EXPECT_LE(decoded_short, 2u);

    // The short signal's payload under the long signal's header.
    auto mixed = std::vector<std::uint8_t>(a->begin(), a->begin() + HEADER_LEN);
    mixed.insert(mixed.end(), b->begin() + HEADER_LEN, b->end());
    store_le32(mixed.data() + 32, static_cast<std::uint32_t>(b->size() - HEADER_LEN));
    const auto e = decode_error(mixed);
    EXPECT_NE(e, "<ok>");
    EXPECT_EQ(e.rfind("Can't decompress data, reason: ", 0), 0u) << e;
  }
}

TEST(Decompress, ReservedDeflateBlock) {
  auto c = compress(test_signal(100, 2), options(Method::Cdf97, Coder::Deflate));
  ASSERT_TRUE(c);
  c->resize(HEADER_LEN + 1);
  (*c)[HEADER_LEN] = 0x07;
  store_le32(c->data() + 32, 1);
  EXPECT_EQ(decode_error(*c), "Can't decompress data, reason: corrupt deflate stream");
}

// Virtual memory of this process in bytes (the first field of statm).
[[maybe_unused]] std::size_t address_space_in_use() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  statm >> pages;
  return pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// While alive, the address space may grow by `headroom` bytes at most, so a
// decoder that allocates for the claimed sample count fails to allocate
// (and reports out of memory) instead of passing. ASan reserves terabytes
// of shadow memory up front and cannot run under such a limit; there only
// the time and the message are checked.
class AddressSpaceLimit {
 public:
  explicit AddressSpaceLimit(std::size_t headroom) {
#if !defined(__SANITIZE_ADDRESS__)
    if (getrlimit(RLIMIT_AS, &saved_) != 0) return;
    rlimit limited = saved_;
    limited.rlim_cur = address_space_in_use() + headroom;
    if (saved_.rlim_cur != RLIM_INFINITY && saved_.rlim_cur < limited.rlim_cur) return;
    active_ = setrlimit(RLIMIT_AS, &limited) == 0;
#else
    (void)headroom;
#endif
  }
  ~AddressSpaceLimit() {
    if (active_) setrlimit(RLIMIT_AS, &saved_);
  }
  AddressSpaceLimit(const AddressSpaceLimit&) = delete;
  AddressSpaceLimit& operator=(const AddressSpaceLimit&) = delete;

 private:
  rlimit saved_{};
  bool active_ = false;
};

// A tiny container claiming 2^31 - 1 samples is refused by the size checks
// before anything of that size exists: within 256 MiB of address space (the
// claim would need 8 GiB for the samples alone) and in well under a second
// (decoding that many samples takes minutes).
TEST(Decompress, HugeDeclaredCountFailsFast) {
  const struct {
    Coder coder;
    const char* reason;
  } cases[] = {
      {Coder::Deflate, "Payload holds "},
      {Coder::Arans, "Payload holds "},
      {Coder::CModel, "Stream truncated"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.coder));
    auto container = compress(test_signal(100, 2), options(Method::Cdf97, c.coder));
    ASSERT_TRUE(container);
    store_le32(container->data() + 16, 2147483647u);
    std::string e;
    const auto start = std::chrono::steady_clock::now();
    {
      const AddressSpaceLimit limit(std::size_t{256} << 20);
      e = decode_error(*container);
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(e.rfind(std::string("Can't decompress data, reason: ") + c.reason, 0), 0u) << e;
    EXPECT_LT(took.count(), 1.0) << "wall-clock seconds";
  }
}

}  // namespace
}  // namespace quillmere

namespace quillmere {
namespace {

// min and max are those of a scan in index order with strict comparisons,
// whatever the lanes that compute them: among equal values the first one
// met stays, which only shows in the sign of a zero, and in the header.
TEST(Compress, HeaderBoundsKeepTheFirstZeroMet) {
  constexpr float kPos = 0.0f;
  const float kNeg = -0.0f;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const auto at = [](std::size_t n, std::vector<std::pair<std::size_t, float>> set, float fill) {
    std::vector<float> x(n, fill);
    for (const auto& [i, v] : set) x[i] = v;
    return x;
  };
  const struct {
    const char* what;
    std::vector<float> signal;
    bool min_negative_zero;  // min (or max) is zero; which zero
    bool max_negative_zero;
    bool min_is_zero;
    bool max_is_zero;
  } cases[] = {
      {"-0 first, min", at(100, {{5, kNeg}, {40, kPos}}, 1.0f), true, false, true, false},
      {"+0 first, min", at(100, {{5, kPos}, {40, kNeg}}, 1.0f), false, false, true, false},
      // The later zero sits in an earlier lane than the first one.
      {"+0 first in a later lane", at(100, {{17, kPos}, {32, kNeg}}, 2.0f), false, false, true, false},
      {"-0 first in a later lane", at(100, {{17, kNeg}, {32, kPos}}, 2.0f), true, false, true, false},
      {"-0 first, max", at(70, {{3, kNeg}, {69, kPos}}, -1.0f), false, true, false, true},
      {"+0 first, max", at(70, {{3, kPos}, {69, kNeg}}, -1.0f), false, false, false, true},
      // NaN and -inf count as +0, before a -0 that comes later.
      {"NaN as the first zero", at(50, {{2, nan}, {9, kNeg}}, 3.0f), false, false, true, false},
      {"-inf as the first zero", at(50, {{1, -inf}, {9, kNeg}}, 3.0f), false, false, true, false},
      {"zero in the tail", at(37, {{36, kNeg}}, 5.0f), true, false, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto container = compress(c.signal, CodecOptions{});
    ASSERT_TRUE(container);
    const auto header = QuillmereHeader::from_bytes(*container);
    ASSERT_TRUE(header);
    if (c.min_is_zero) {
      EXPECT_EQ(header->min, 0.0f);
      EXPECT_EQ(std::signbit(header->min), c.min_negative_zero);
    }
    if (c.max_is_zero) {
      EXPECT_EQ(header->max, 0.0f);
      EXPECT_EQ(std::signbit(header->max), c.max_negative_zero);
    }
  }
}

}  // namespace
}  // namespace quillmere
