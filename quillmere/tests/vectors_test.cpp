// Conformance: the shared vectors pin containers and decodes end to end.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

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
  bool exact_container = false;
  bool exact_decoded = false;
};

Method parse_method(const std::string& s) {
  if (s == "cdf53") return Method::Cdf53;
  if (s == "cdf97") return Method::Cdf97;
  if (s == "db4") return Method::Db4;
  return Method::Sym4;
}

std::vector<VectorCase> load_cases() {
  std::vector<VectorCase> cases;
  for (const auto& row : read_tsv(data_path("vectors/cases.tsv"))) {
    VectorCase c;
    c.name = row.at(0);
    c.input = row.at(1);
    c.options.method = parse_method(row.at(2));
    c.options.scale = static_cast<std::uint8_t>(std::stoi(row.at(3)));
    c.options.cutoff = row.at(4) == "low" ? Cutoff::Low : row.at(4) == "medium" ? Cutoff::Medium : Cutoff::High;
    const auto& coder = row.at(5);
    c.options.coder = coder == "deflate" ? Coder::Deflate
                      : coder == "arans" ? Coder::Arans
                      : coder == "cmodel" ? Coder::CModel
                                          : Coder::Auto;
    // Through double, as a Python float becomes the f32 option.
    if (row.at(6) != "none") c.options.quant_multiplier = static_cast<float>(std::strtod(row.at(6).c_str(), nullptr));
    c.container = row.at(7);
    c.decoded = row.at(8);
    c.exact_container = row.at(9) == "1";
    c.exact_decoded = row.at(10) == "1";
    cases.push_back(std::move(c));
  }
  return cases;
}

TEST(Vectors, ManifestIsPresent) { EXPECT_GE(load_cases().size(), 100u); }

TEST(Vectors, CompressMatchesReference) {
  for (const auto& c : load_cases()) {
    SCOPED_TRACE(c.name);
    const auto input = read_f32(data_path("vectors/" + c.input));
    const auto want = read_bytes(data_path("vectors/" + c.container));
    auto got = compress(input, c.options);
    ASSERT_TRUE(got) << got.error().message();
    ASSERT_GE(got->size(), HEADER_LEN);
    if (c.exact_container) {
      EXPECT_EQ(*got, want);
    } else {
      // Other deflaters write other valid bytes, and db4/sym4 may differ by a
      // quantisation step now and then: everything but payload_len must match.
      for (std::size_t i = 0; i < HEADER_LEN; ++i) {
        if (i >= 32 && i < 36) continue;
        EXPECT_EQ((*got)[i], want[i]) << "header byte " << i;
      }
    }
  }
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
