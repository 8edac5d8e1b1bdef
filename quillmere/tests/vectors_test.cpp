// Conformance: the shared vectors pin containers and decodes end to end.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <initializer_list>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "quillmere/compressor.hpp"
#include "quillmere/decompressor.hpp"
#include "quillmere/header.hpp"
#include "test_data.hpp"

namespace quillmere {
namespace {

using namespace testing_data;

struct VectorCase {
  std::string name, input, container, decoded;
  CodecOptions options;
  bool exact_decoded = false;
};

// The manifest lists 192 cases: 16 inputs, 4 wavelets, 3 coders.
constexpr std::size_t kCaseCount = 192;

// Cases whose container this codec does not reproduce byte for byte, each
// with the reason. Every other case must match in full, whatever its
// manifest flag says: the flag only promises what another implementation
// must match.
struct KnownDifference {
  const char* name;
  const char* reason;
};
constexpr KnownDifference kKnownDifferences[] = {
    // One coefficient of the deepest approximation (index 5) lies within
    // f32 rounding of a half quantisation step. The db4 kernel sums the
    // eight products of an output in its own order, and the vector's maker
    // summed them in another: it stored 2253, this codec quantises to 2254.
    // The payload lengths agree; the decoded signals agree within rounding.
    {"14-nonfinite500-db4-cmodel", "db4 summation order moves one coefficient by one step"},
};

const char* known_difference(const std::string& name) {
  for (const auto& d : kKnownDifferences) {
    if (name == d.name) return d.reason;
  }
  return nullptr;
}

// Unknown words in the manifest are failures, not defaults: a misspelt
// coder would otherwise test Auto under another name.
template <class T>
T parse_word(const std::string& row, const std::string& word,
             std::initializer_list<std::pair<const char*, T>> words) {
  for (const auto& [text, value] : words) {
    if (word == text) return value;
  }
  ADD_FAILURE() << row << ": unknown word '" << word << "'";
  return words.begin()->second;
}

std::vector<VectorCase> load_cases() {
  std::vector<VectorCase> cases;
  for (const auto& row : read_tsv(data_path("vectors/cases.tsv"))) {
    VectorCase c;
    c.name = row.at(0);
    c.input = row.at(1);
    c.options.method = parse_word<Method>(c.name, row.at(2), {{"cdf53", Method::Cdf53},
                                                              {"cdf97", Method::Cdf97},
                                                              {"db4", Method::Db4},
                                                              {"sym4", Method::Sym4}});
    c.options.scale = static_cast<std::uint8_t>(std::stoi(row.at(3)));
    c.options.cutoff = parse_word<Cutoff>(
        c.name, row.at(4), {{"low", Cutoff::Low}, {"medium", Cutoff::Medium}, {"high", Cutoff::High}});
    c.options.coder = parse_word<Coder>(c.name, row.at(5), {{"deflate", Coder::Deflate},
                                                            {"arans", Coder::Arans},
                                                            {"cmodel", Coder::CModel},
                                                            {"auto", Coder::Auto}});
    // Through double, as a Python float becomes the f32 option.
    if (row.at(6) != "none") c.options.quant_multiplier = static_cast<float>(std::strtod(row.at(6).c_str(), nullptr));
    c.container = row.at(7);
    c.decoded = row.at(8);
    c.exact_decoded = parse_word<bool>(c.name, row.at(10), {{"0", false}, {"1", true}});
    cases.push_back(std::move(c));
  }
  return cases;
}

TEST(Vectors, ManifestIsComplete) { EXPECT_EQ(load_cases().size(), kCaseCount); }

TEST(Vectors, CompressMatchesReference) {
  std::size_t differing = 0;
  for (const auto& c : load_cases()) {
    SCOPED_TRACE(c.name);
    const auto input = read_f32(data_path("vectors/" + c.input));
    const auto want = read_bytes(data_path("vectors/" + c.container));
    auto got = compress(input, c.options);
    ASSERT_TRUE(got) << got.error().message();
    ASSERT_GE(got->size(), HEADER_LEN);
    if (known_difference(c.name) == nullptr) {
      EXPECT_EQ(*got, want);
      continue;
    }
    // The known difference must still be one: a case that starts to match
    // belongs back with the others.
    ++differing;
    EXPECT_NE(*got, want) << "matches now; remove it from kKnownDifferences";
    for (std::size_t i = 0; i < HEADER_LEN; ++i) {
      if (i >= 32 && i < 36) continue;  // payload_len
      EXPECT_EQ((*got)[i], want[i]) << "header byte " << i;
    }
  }
  EXPECT_EQ(differing, std::size(kKnownDifferences));
}

TEST(Vectors, DecompressMatchesReference) {
  for (const auto& c : load_cases()) {
    SCOPED_TRACE(c.name);
    const auto container = read_bytes(data_path("vectors/" + c.container));
    const auto want = read_f32(data_path("vectors/" + c.decoded));
    auto got = decompress(container);
    ASSERT_TRUE(got) << got.error().message();
    ASSERT_EQ(got->size(), want.size());
    if (c.exact_decoded) {
      for (std::size_t i = 0; i < want.size(); ++i) {
        ASSERT_EQ(std::bit_cast<std::uint32_t>((*got)[i]), std::bit_cast<std::uint32_t>(want[i]))
            << "sample " << i << ": " << (*got)[i] << " vs " << want[i];
      }
    } else {
      const auto h = QuillmereHeader::from_bytes(container);
      ASSERT_TRUE(h);
      const float scale = std::max(std::abs(h->min), std::abs(h->max)) + 1e-30f;
      for (std::size_t i = 0; i < want.size(); ++i) {
        ASSERT_NEAR((*got)[i], want[i], scale * 1e-5f) << "sample " << i;
      }
    }
  }
}

TEST(Vectors, MalformedContainersGiveTheirMessages) {
  const auto rows = read_tsv(data_path("vectors/malformed.tsv"));
  ASSERT_FALSE(rows.empty());
  for (const auto& row : rows) {
    SCOPED_TRACE(row.at(0));
    std::string message;
    for (std::size_t i = 0; i + 1 < row.at(2).size(); i += 2) {
      message.push_back(static_cast<char>(std::stoi(row.at(2).substr(i, 2), nullptr, 16)));
    }
    auto got = decompress(read_bytes(data_path("vectors/" + row.at(1))));
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().message(), message);
  }
}

}  // namespace
}  // namespace quillmere
