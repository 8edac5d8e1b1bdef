// One rANS table priced from residuals counted by bin: a lean encode
// decides from that price whether to look at tables further, so it must be
// the planner's own count. Bins must follow the tokens' edges (powers of
// two and their midpoints) and keep the escapes' widths apart.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "../src/integer_rans.hpp"

namespace quillmere_tools::integer_rans {
namespace {

struct BinEdge {
  std::uint64_t u;
  unsigned bin;
};

class TokenBin : public ::testing::TestWithParam<BinEdge> {};

TEST_P(TokenBin, FollowsTheTokenEdges) { EXPECT_EQ(token_bin(GetParam().u), GetParam().bin); }

// Token 4 + 2(w - 3) + the bit below the leading one for widths 3..16; an
// escape's bin 2w - 2 plus that bit, read back as width (bin + 2) / 2.
INSTANTIATE_TEST_SUITE_P(Edges, TokenBin,
                         ::testing::Values(BinEdge{0, 0}, BinEdge{1, 1}, BinEdge{2, 2}, BinEdge{3, 3},
                                           BinEdge{4, 4}, BinEdge{5, 4}, BinEdge{6, 5}, BinEdge{7, 5},
                                           BinEdge{8, 6}, BinEdge{11, 6}, BinEdge{12, 7}, BinEdge{15, 7},
                                           BinEdge{16, 8}, BinEdge{0xBFFF, 30}, BinEdge{0xC000, 31},
                                           BinEdge{0xFFFF, 31}, BinEdge{0x10000, 32}, BinEdge{0x18000, 33},
                                           BinEdge{std::uint64_t{1} << 33, 66},
                                           BinEdge{(std::uint64_t{1} << 34) - 1, 67},
                                           BinEdge{~std::uint64_t{0}, 127}));

// A block's residuals with widths spread up to `widest` bits: most within
// two bits, one in eight up to the widest (a few loud ones in a quiet
// block, as speech and traces give; 17 bits and more need the escape).
std::vector<std::uint64_t> spread(std::size_t n, int widest, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::uint64_t> u(n);
  for (auto& v : u) {
    const int width = static_cast<int>(rng() % 8 == 0 ? rng() % static_cast<std::uint64_t>(widest + 1) : rng() % 3);
    v = width == 0 ? 0 : rng() >> (64 - width);
  }
  return u;
}

struct Spread {
  const char* what;
  std::size_t n;
  int widest;
};

class OneTable : public ::testing::TestWithParam<Spread> {};

// The counts by bin price one table as the planner does token by token:
// on residuals drawn alike throughout, contexts do not pay, so the plan is
// that one table and its size must be the counts' size.
TEST_P(OneTable, CostsWhatThePlannerCountsTokenByToken) {
  const auto u = spread(GetParam().n, GetParam().widest, GetParam().n * 131 + 7);
  const RansModel model = plan_rans(u);
  ASSERT_EQ(model.contexts, 1u);
  EXPECT_EQ(single_table_bits(u), model.bits);
}

INSTANTIATE_TEST_SUITE_P(Blocks, OneTable,
                         ::testing::Values(Spread{"narrow", 4096, 3}, Spread{"tokens_up_to_16_bits", 4096, 16},
                                           Spread{"escapes_up_to_33_bits", 4096, 33},
                                           Spread{"one_lane", 1000, 20}, Spread{"not_a_multiple_of_four", 3001, 12}),
                         [](const auto& info) { return std::string(info.param.what); });

TEST(OneTable, AllZeroResidualsCostTheirTableAndStatesAlone) {
  const std::vector<std::uint64_t> u(4093, 0);
  // Two bits of context count, six of the table's token count (one token,
  // all of 4096), nothing a residual, and four lanes' 32-bit states.
  EXPECT_EQ(single_table_bits(u), 2u + 6u + 4u * 32u);
}

}  // namespace
}  // namespace quillmere_tools::integer_rans
