// The bit engine against a plain transcription of its arithmetic (division,
// renormalisation loop, one reversal at the end), and the bounds the fast
// paths and the decoders' allocation limits rest on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "bin_engine.hpp"

namespace quillmere::bin_engine {
namespace {

struct Symbol {
  std::size_t context;
  unsigned bit;
};

// The coding pass as the textbook states it; only the modelling is shared.
std::vector<std::uint8_t> reference_encode(std::size_t contexts, const std::vector<Symbol>& symbols) {
  std::vector<std::uint16_t> probs(contexts, kProbInit);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> pending;  // (freq, start)
  for (const auto& [ctx, bit] : symbols) {
    const std::uint32_t p = probs[ctx];
    pending.emplace_back(bit ? 4096 - p : p, bit ? p : 0);
    probs[ctx] = adapt(p, bit);
  }
  std::vector<std::uint8_t> bytes;
  std::uint32_t x = 65536;
  for (auto it = pending.rbegin(); it != pending.rend(); ++it) {
    const auto [freq, start] = *it;
    while (x >= freq * (1u << 20)) {
      bytes.push_back(static_cast<std::uint8_t>(x >> 8));
      bytes.push_back(static_cast<std::uint8_t>(x));
      x >>= 16;
    }
    x = (x / freq) * 4096 + x % freq + start;
  }
  for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<std::uint8_t>(x >> shift));
  std::reverse(bytes.begin(), bytes.end());
  return bytes;
}

// The decoding step as the textbook states it, one bit at a time, on any
// bytes: the bits up to the first renormalisation that finds no word.
std::vector<unsigned> reference_decode(std::span<const std::uint8_t> bytes, std::size_t limit) {
  std::uint16_t p = kProbInit;  // a single context
  std::uint32_t x = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
  std::size_t pos = 4;
  std::vector<unsigned> bits;
  while (bits.size() < limit) {
    const std::uint32_t s = x % 4096, q = x / 4096;
    const unsigned bit = s < p ? 0 : 1;
    x = bit == 0 ? p * q + s : (4096 - p) * q + s - p;
    while (x < 65536) {
      if (bytes.size() - pos < 2) return bits;
      x = x * 65536 + (bytes[pos] | bytes[pos + 1] << 8);
      pos += 2;
    }
    p = adapt(p, bit);
    bits.push_back(bit);
  }
  return bits;
}

// Bits drawn with a drifting bias over a few contexts, so that probabilities
// reach both extremes and renormalisations are frequent and rare in turn.
std::vector<Symbol> random_symbols(std::mt19937_64& rng, std::size_t n, std::size_t contexts) {
  std::vector<Symbol> out(n);
  std::uniform_int_distribution<std::size_t> ctx(0, contexts - 1);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  double bias = 0.5;
  for (auto& s : out) {
    if (unit(rng) < 0.001) bias = unit(rng) * unit(rng);
    s = {ctx(rng), unit(rng) < bias ? 1u : 0u};
  }
  return out;
}

TEST(BinEngine, ReciprocalDivisionIsExactForEveryFrequency) {
  std::mt19937_64 rng(1);
  for (std::uint32_t f = 2; f < kProbScale; ++f) {
    const std::uint32_t max_q = UINT32_MAX / f;
    std::uniform_int_distribution<std::uint32_t> quotient(0, max_q);
    std::uniform_int_distribution<std::uint32_t> any(0, UINT32_MAX);
    std::vector<std::uint32_t> xs{0, 1, f - 1, f, UINT32_MAX, max_q * f, max_q * f - 1,
                                  (f << 20) - 1};
    for (int i = 0; i < 300; ++i) {
      const std::uint32_t q = quotient(rng);
      xs.push_back(q * f);  // exact multiples ...
      if (q < max_q) xs.push_back(q * f + f - 1);  // ... and the largest remainder
      xs.push_back(any(rng));
    }
    for (const std::uint32_t x : xs) {
      ASSERT_EQ(div_by_freq(x, f), x / f) << "x=" << x << " f=" << f;
    }
  }
}

TEST(BinEngine, AdaptationStaysWithinItsFixedRange) {
  for (std::uint32_t p = 15; p <= 4081; ++p) {
    for (unsigned bit : {0u, 1u}) {
      const std::uint16_t next = adapt(p, bit);
      ASSERT_GE(next, 15) << p << "/" << bit;
      ASSERT_LE(next, 4081) << p << "/" << bit;
    }
  }
  for (const auto& [bit, floor_or_ceiling] : {std::pair{0u, 4081}, std::pair{1u, 15}}) {
    std::uint16_t p = kProbInit;
    for (int i = 0; i < 1000; ++i) p = adapt(p, bit);
    EXPECT_EQ(p, floor_or_ceiling);
    EXPECT_EQ(adapt(p, bit), p);
  }
}

TEST(BinEngine, MatchesTheReferenceAndDecodesOnBothPaths) {
  std::mt19937_64 rng(2);
  for (const std::size_t contexts : {1u, 3u, 64u}) {
    for (const std::size_t n : {0u, 1u, 2u, 17u, 1000u, 200000u}) {
      SCOPED_TRACE(testing::Message() << contexts << " contexts, " << n << " symbols");
      const auto symbols = random_symbols(rng, n, contexts);
      BinEnc enc(contexts);
      for (const auto& [ctx, bit] : symbols) enc.put(ctx, bit);
      const auto coded = enc.finish();
      ASSERT_EQ(coded, reference_encode(contexts, symbols));

      for (const bool fast : {false, true}) {
        auto dec = BinDec::create(contexts, coded);
        ASSERT_TRUE(dec);
        for (const auto& [ctx, bit] : symbols) {
          const unsigned got = fast && dec->can_fast(2) ? dec->get<false>(ctx) : dec->get<true>(ctx);
          ASSERT_EQ(got, bit);
        }
        EXPECT_FALSE(dec->truncated());
      }
    }
  }
}

// The coding half on its own, as the encoders use it: a record cut into
// runs, the runs coded from the last to the first (alternately through
// code_backwards and symbol by symbol through take / give_back), gives the
// bytes of the record finished whole.
TEST(BinEngine, RunsCodedBackwardsMatchOneRecord) {
  std::mt19937_64 rng(5);
  for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{9}, std::size_t{5000},
                              std::size_t{100000}}) {
    BinEnc whole(16);
    std::vector<std::uint16_t> probs(16, kProbInit);
    std::vector<std::uint16_t> symbols;
    for (const auto& [ctx, bit] : random_symbols(rng, n, 16)) {
      whole.put(ctx, bit);
      symbols.push_back(symbol(probs[ctx], bit));
      probs[ctx] = adapt(probs[ctx], bit);
    }
    std::vector<std::size_t> cuts{0, n};
    std::uniform_int_distribution<std::size_t> at(0, n);
    for (int k = 0; k < 6; ++k) cuts.push_back(at(rng));  // empty runs included
    std::sort(cuts.begin(), cuts.end());

    BackwardCoder coder(n);
    for (std::size_t r = cuts.size() - 1; r-- > 0;) {
      const std::span<const std::uint16_t> run(symbols.data() + cuts[r], cuts[r + 1] - cuts[r]);
      if (r % 2 == 0) {
        coder.code_backwards(run);
      } else {
        RansState c = coder.take();
        for (std::size_t i = run.size(); i-- > 0;) c.code(run[i]);
        coder.give_back(c);
      }
    }
    std::vector<std::uint8_t> got{0xAA};  // appended to, not overwritten
    coder.finish_into(got);
    std::vector<std::uint8_t> want{0xAA};
    whole.finish_into(want);
    EXPECT_EQ(got, want) << n;
  }
}

// Hostile bytes too: initial states below 2^16, even 0, where a single
// renormalisation step would not be enough, on both decoding paths.
TEST(BinEngine, DecodesArbitraryBytesLikeTheReference) {
  std::mt19937_64 rng(4);
  std::vector<std::vector<std::uint8_t>> inputs{
      {0, 0, 0, 0, 0, 0, 0, 0, 0x12, 0x34, 0x56, 0x78},
      {0x01, 0x10, 0, 0, 0, 0, 0xFF, 0xFF},
      {0xFF, 0x0F, 0, 0, 0x00, 0x80, 0x00, 0x00, 0x00},
  };
  for (int i = 0; i < 200; ++i) {
    std::vector<std::uint8_t> bytes(4 + rng() % 60);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    if (i % 2) bytes[2] = bytes[3] = 0;  // a state below 2^16
    inputs.push_back(bytes);
  }
  for (const auto& bytes : inputs) {
    const auto want = reference_decode(bytes, 100000);
    for (const bool fast : {false, true}) {
      auto dec = BinDec::create(1, bytes);
      ASSERT_TRUE(dec);
      std::vector<unsigned> got;
      while (got.size() < 100000) {
        const unsigned bit = fast && dec->can_fast(2) ? dec->get<false>(0) : dec->get<true>(0);
        if (dec->truncated()) break;
        got.push_back(bit);
      }
      ASSERT_EQ(got, want) << testing::PrintToString(bytes);
    }
  }
}

// max_symbols() must never refuse what an encoder can produce. The densest
// output is a single context fed one bit value: every symbol sits at
// probability 4081/4096.
TEST(BinEngine, SymbolBoundAdmitsTheDensestRuns) {
  for (const unsigned bit : {0u, 1u}) {
    for (const std::size_t n : {1u, 100u, 5000u, 100000u, 10000000u}) {
      BinEnc enc(1);
      enc.reserve(n);
      for (std::size_t i = 0; i < n; ++i) enc.put(0, bit);
      const std::size_t size = enc.finish().size();
      EXPECT_LE(n, max_symbols(size)) << n << " symbols in " << size << " bytes";
      // ... and is not loose: on a long run, within 10% of the real density.
      if (n >= 10000000) {
        EXPECT_GT(static_cast<double>(n), 0.9 * static_cast<double>(max_symbols(size)));
      }
    }
  }
}

// The other side of the bound: however the bytes are chosen (a hostile
// initial state included), the decoder runs out of words within the bound.
TEST(BinEngine, SymbolBoundHoldsForArbitraryBytes) {
  std::mt19937_64 rng(3);
  std::vector<std::vector<std::uint8_t>> inputs;
  for (const std::size_t size : {4u, 5u, 6u, 9u, 40u, 301u}) {
    for (const std::uint8_t fill : {0x00, 0xFF, 0x80, 0x01}) inputs.emplace_back(size, fill);
    std::vector<std::uint8_t> random(size);
    for (auto& b : random) b = static_cast<std::uint8_t>(rng());
    inputs.push_back(random);
  }
  for (const auto& bytes : inputs) {
    for (const std::size_t contexts : {1u, 2u}) {
      auto dec = BinDec::create(contexts, bytes);
      ASSERT_TRUE(dec);
      const std::uint64_t bound = max_symbols(bytes.size());
      std::uint64_t decoded = 0;
      unsigned last = 0;
      while (decoded <= bound) {
        last = dec->get(contexts == 1 ? 0 : last);
        if (dec->truncated()) break;
        ++decoded;
      }
      EXPECT_TRUE(dec->truncated()) << bytes.size() << " bytes";
      EXPECT_LE(decoded, bound);
    }
  }
}

}  // namespace
}  // namespace quillmere::bin_engine
