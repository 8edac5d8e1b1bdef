// The bit reader's runs (get_rice_run, get_rice_run_while, get_field_run)
// keep its state in locals and leave the bits above the count in place
// while they run: a run must read exactly what the same codes read one at
// a time give, and hand back a state from which every other read goes on
// alike, whole streams and streams cut short (bits past the end read as
// zeros, the reader flagged as overrun) alike.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "quillmere_tools/bit_stream.hpp"

namespace quillmere_tools {
namespace {

constexpr std::uint32_t kLimit = 16;
constexpr int kEscapeBits = 34;

struct RunCase {
  int k;
  std::size_t count;
};

// Values mostly short for k, now and then escaped, with a plain field
// before and after the run so that the run starts and ends inside a byte.
struct Stream {
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint64_t> values;
};

Stream rice_stream(const RunCase& c, unsigned seed) {
  std::mt19937_64 rng(seed);
  Stream s;
  for (std::size_t i = 0; i < c.count; ++i) {
    const std::uint64_t v = rng() % 97 == 0 ? rng() & ((std::uint64_t{1} << kEscapeBits) - 1)
                                            : (rng() % 9) << c.k | (rng() & ((std::uint64_t{1} << c.k) - 1));
    s.values.push_back(v);
  }
  BitWriter w;
  w.put(5, 3);
  w.put_rice_run(s.values.data(), s.values.size(), c.k, kLimit, kEscapeBits);
  w.put(0x2d, 7);
  w.put(0x1234567, 29);
  s.bytes = w.finish();
  return s;
}

// What a reader gives after the run: the fields that follow and its state.
struct After {
  std::uint64_t a, b;
  std::uint32_t unary;
  std::size_t bytes_read;
  bool overrun, at_end;
  bool operator==(const After&) const = default;
};

After rest(BitReader& in) {
  After r{};
  r.a = in.get(7);
  r.b = in.get_wide(29);
  r.unary = in.get_unary(20);
  r.bytes_read = in.bytes_read();
  r.overrun = in.overrun();
  r.at_end = in.at_end();
  return r;
}

class RiceRuns : public ::testing::TestWithParam<RunCase> {};

TEST_P(RiceRuns, ARunReadsAsItsCodesOneAtATime) {
  const RunCase c = GetParam();
  const Stream s = rice_stream(c, static_cast<unsigned>(c.k * 1000 + c.count));
  // Whole, and cut at a few places (the tail refill and the zeros past the end).
  for (const std::size_t keep : {s.bytes.size(), s.bytes.size() - 1, s.bytes.size() - 7, s.bytes.size() / 2,
                                 std::size_t{3}}) {
    const auto bytes = std::span(s.bytes).first(keep);
    BitReader one(bytes);
    EXPECT_EQ(one.get(3), 5u);
    std::vector<std::uint64_t> single(c.count);
    for (auto& v : single) v = one.get_rice(c.k, kLimit, kEscapeBits);
    const After after_single = rest(one);
    if (keep == s.bytes.size()) {
      EXPECT_EQ(single, s.values);
      EXPECT_EQ(after_single.a, 0x2du);
      EXPECT_EQ(after_single.b, 0x1234567u);
    }

    BitReader run(bytes);
    run.get(3);
    std::vector<std::uint64_t> got(c.count);
    run.get_rice_run(c.count, c.k, kLimit, kEscapeBits, [&](std::size_t i, std::uint64_t v) { got[i] = v; });
    EXPECT_EQ(got, single) << "kept " << keep;
    EXPECT_TRUE(rest(run) == after_single) << "kept " << keep;

    // Stopped part way, the reader is just past the refused code.
    const std::size_t stop = c.count / 2;
    BitReader cut(bytes);
    cut.get(3);
    std::vector<std::uint64_t> taken;
    const bool all = cut.get_rice_run_while(c.count, c.k, kLimit, kEscapeBits, [&](std::size_t i, std::uint64_t v) {
      taken.push_back(v);
      return i < stop;
    });
    EXPECT_FALSE(all);
    ASSERT_EQ(taken.size(), stop + 1);
    BitReader ref(bytes);
    ref.get(3);
    for (std::size_t i = 0; i <= stop; ++i) EXPECT_EQ(taken[i], ref.get_rice(c.k, kLimit, kEscapeBits));
    EXPECT_TRUE(rest(cut) == rest(ref)) << "kept " << keep;
  }
}

INSTANTIATE_TEST_SUITE_P(Parameters, RiceRuns,
                         ::testing::Values(RunCase{0, 500}, RunCase{1, 333}, RunCase{3, 64}, RunCase{7, 257},
                                           RunCase{15, 100}, RunCase{30, 40}));

// A field run (codes with fixed widths, one prefixed by its own width) read
// against the same fields read one at a time.
TEST(FieldRuns, ARunReadsAsItsFieldsOneAtATime) {
  constexpr int kPrefixBase = 16, kPrefixLimit = 35;
  const std::uint8_t bits_of[4] = {0, 5, 32, BitReader::kPrefixedField};
  std::mt19937_64 rng(7);
  std::vector<std::uint8_t> codes(700);
  for (auto& c : codes) c = static_cast<std::uint8_t>(rng() % 4);
  BitWriter w;
  w.put(1, 1);
  std::vector<std::uint64_t> values(codes.size()), prefixes(codes.size());
  for (std::size_t i = 0; i < codes.size(); ++i) {
    int bits = bits_of[codes[i]];
    if (codes[i] == 3) {
      prefixes[i] = rng() % 32;
      bits = std::min(static_cast<int>(prefixes[i]) + kPrefixBase, kPrefixLimit);
      w.put(prefixes[i], 5);
    }
    values[i] = bits == 0 ? 0 : rng() & ((std::uint64_t{1} << bits) - 1);
    w.put_wide(values[i], bits);
  }
  w.put(0x2d, 7);
  w.put(0x1234567, 29);
  const auto stream = w.finish();
  for (const std::size_t keep : {stream.size(), stream.size() - 5, stream.size() / 3}) {
    const auto bytes = std::span(stream).first(keep);
    BitReader one(bytes);
    one.get(1);
    std::vector<std::uint64_t> single(codes.size()), single_prefix(codes.size());
    for (std::size_t i = 0; i < codes.size(); ++i) {
      int bits = bits_of[codes[i]];
      if (codes[i] == 3) {
        single_prefix[i] = one.get(5);
        bits = std::min(static_cast<int>(single_prefix[i]) + kPrefixBase, kPrefixLimit);
      }
      single[i] = one.get_wide(bits);
    }
    if (keep == stream.size()) {
      EXPECT_EQ(single, values);
      EXPECT_EQ(single_prefix, prefixes);
    }
    BitReader run(bytes);
    run.get(1);
    std::vector<std::uint64_t> got(codes.size()), got_prefix(codes.size());
    run.get_field_run(codes.data(), codes.size(), bits_of, kPrefixBase, kPrefixLimit,
                      [&](std::size_t i, std::uint8_t, std::uint64_t v, std::uint64_t e) {
                        got[i] = v;
                        got_prefix[i] = e;
                      });
    EXPECT_EQ(got, single) << "kept " << keep;
    EXPECT_EQ(got_prefix, single_prefix) << "kept " << keep;
    EXPECT_TRUE(rest(run) == rest(one)) << "kept " << keep;
  }
}

}  // namespace
}  // namespace quillmere_tools
