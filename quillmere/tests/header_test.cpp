#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "quillmere/byte_io.hpp"
#include "quillmere/compressor.hpp"
#include "quillmere/decompressor.hpp"
#include "quillmere/error.hpp"
#include "quillmere/header.hpp"

namespace quillmere {
namespace {

std::vector<std::uint8_t> valid_header() {
  const auto h = to_bytes(HeaderFields{Method::Db4, 5, 11, 2, 1000, -1.5f, 2.5f, 0.25f, 0, 2048.0f});
  return {h.begin(), h.end()};
}

std::string read_error(const std::vector<std::uint8_t>& bytes) {
  auto h = QuillmereHeader::from_bytes(bytes);
  return h ? std::string("<ok>") : h.error().message();
}

// The display texts are checked where the failures arise (Header.* below
// reaches each header variant from bytes; the cases here reach the rest from
// the drivers) and by how a text is built from its payload, not against a
// copy of the table that renders them.

// `text` with its one occurrence of `part` cut out; "<absent>" when `part`
// is not in it exactly once.
std::string without(const std::string& text, const std::string& part) {
  const auto at = text.find(part);
  if (at == std::string::npos || text.find(part, at + 1) != std::string::npos) return "<absent>";
  return text.substr(0, at) + text.substr(at + part.size());
}

TEST(ErrorDisplay, RawPayloadsAreQuotedAtTheEnd) {
  using Raw4 = QuillmereError (*)(std::array<std::uint8_t, 4>);
  for (const Raw4 make : {Raw4{&QuillmereError::invalid_method}, Raw4{&QuillmereError::invalid_magic}}) {
    const std::string a = make({'w', 'x', 'y', 'z'}).message();
    const std::string b = make({'1', '2', '3', '4'}).message();
    EXPECT_EQ(a.substr(a.size() - 6), "'wxyz'") << a;
    EXPECT_EQ(without(a, "wxyz"), without(b, "1234")) << a << " / " << b;
  }
  using Raw2 = QuillmereError (*)(std::array<std::uint8_t, 2>);
  for (const Raw2 make : {Raw2{&QuillmereError::invalid_format_tag}, Raw2{&QuillmereError::invalid_version}}) {
    const std::string a = make({'f', '4'}).message();
    const std::string b = make({'1', '2'}).message();
    EXPECT_EQ(a.substr(a.size() - 4), "'f4'") << a;
    EXPECT_EQ(without(a, "f4"), without(b, "12")) << a << " / " << b;
  }
}

TEST(ErrorDisplay, NumbersAreWrittenInDecimal) {
  const std::string scale = QuillmereError::unsupported_scale(13).message();
  EXPECT_EQ(without(scale, "13"), without(QuillmereError::unsupported_scale(255).message(), "255"));
  const std::string coder = QuillmereError::unknown_coder(200).message();
  EXPECT_EQ(without(coder, "200"), without(QuillmereError::unknown_coder(7).message(), "7"));
  // Element counts go beyond 32 bits on a 64-bit machine.
  const std::string memory = QuillmereError::out_of_memory(std::size_t{1} << 40).message();
  EXPECT_EQ(without(memory, "1099511627776"), without(QuillmereError::out_of_memory(3).message(), "3"));
}

TEST(ErrorDisplay, ReasonsAreCarriedWhole) {
  const std::string reason = "Input size 2 can't be less than 3";
  // The transform's and the coders' own texts reach the user unchanged.
  EXPECT_EQ(QuillmereError::transform(reason).message(), reason);
  EXPECT_EQ(QuillmereError::encode(reason).message(), reason);
  const std::string decoded = QuillmereError::decompress(reason).message();
  EXPECT_EQ(decoded.substr(decoded.size() - reason.size()), reason);
  EXPECT_EQ(without(decoded, reason), without(QuillmereError::decompress("x").message(), "x"));
  EXPECT_NE(QuillmereError::unsupported_configuration(reason).message().find("'" + reason + "'"),
            std::string::npos);
}

TEST(ErrorDisplay, DriversReportTheirFailuresInTheUsersWords) {
  const auto empty = compress(std::span<const float>(), CodecOptions{});
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(empty.error().message(), "Unsupported compression configuration 'Can't compress empty data'");

  std::vector<float> x(1000);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = std::sin(0.05f * static_cast<float>(i));
  const auto container = compress(x, CodecOptions{});
  ASSERT_TRUE(container.has_value()) << container.error().message();
  const std::vector<std::uint8_t> cut(container->begin(), container->end() - 1);
  const auto decoded = decompress(cut);
  ASSERT_FALSE(decoded.has_value());
  const std::string text = decoded.error().message();
  const std::string prefix = "Can't decompress data, reason: ";
  ASSERT_GT(text.size(), prefix.size()) << text;
  EXPECT_EQ(text.substr(0, prefix.size()), prefix);
}

TEST(ErrorDisplay, MultiByteUtf8IsShownWhenWhole) {
  // "é" (C3 A9) plus two ASCII letters is valid UTF-8; a lone lead byte is not.
  EXPECT_EQ(QuillmereError::invalid_method({0xC3, 0xA9, 'a', 'b'}).message(),
            "Invalid compression method '\xC3\xA9" "ab'");
  EXPECT_EQ(QuillmereError::invalid_method({'a', 'b', 'c', 0xC3}).message(),
            "Invalid compression method '?\?\?\?'");
  // Encoded surrogates (ED A0 80) are not UTF-8.
  EXPECT_EQ(QuillmereError::invalid_method({0xED, 0xA0, 0x80, 'a'}).message(),
            "Invalid compression method '?\?\?\?'");
}

TEST(Header, RoundTripsEveryField) {
  const auto bytes = valid_header();
  ASSERT_EQ(bytes.size(), HEADER_LEN);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "QLMR");
  EXPECT_EQ(bytes[4], 1);
  EXPECT_EQ(bytes[5], 2);
  EXPECT_EQ(load_le16(bytes.data() + 6), 13158);
  EXPECT_EQ(std::string(bytes.begin() + 8, bytes.begin() + 12), "db04");
  for (std::size_t i = 40; i < 52; ++i) EXPECT_EQ(bytes[i], 0) << i;

  auto h = QuillmereHeader::from_bytes(bytes);
  ASSERT_TRUE(h) << h.error().message();
  EXPECT_EQ(h->levels, 5);
  EXPECT_EQ(h->scale, 11);
  EXPECT_EQ(h->coder, 2);
  EXPECT_EQ(h->sample_count, 1000u);
  EXPECT_EQ(h->min, -1.5f);
  EXPECT_EQ(h->max, 2.5f);
  EXPECT_EQ(h->mean, 0.25f);
  EXPECT_EQ(h->payload_len, 0u);
  EXPECT_EQ(h->multiplier, 2048.0f);
  EXPECT_EQ(method_from_tag(h->method_tag), Method::Db4);
}

TEST(Header, MethodTagsMapBothWays) {
  for (auto m : {Method::Cdf53, Method::Cdf97, Method::Db4, Method::Sym4}) {
    EXPECT_EQ(method_from_tag(method_tag(m)), m);
  }
  EXPECT_FALSE(method_from_tag({'c', 'f', '9', '8'}));
}

struct Rejection {
  const char* name;
  std::size_t offset;
  std::vector<std::uint8_t> patch;
  std::string message;
};

class HeaderRejection : public ::testing::TestWithParam<Rejection> {};

TEST_P(HeaderRejection, ReportsTheFirstFailingField) {
  auto bytes = valid_header();
  const auto& r = GetParam();
  std::memcpy(bytes.data() + r.offset, r.patch.data(), r.patch.size());
  EXPECT_EQ(read_error(bytes), r.message);
}

const float kNan = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

std::vector<std::uint8_t> f32_bytes(float v) {
  std::vector<std::uint8_t> b(4);
  store_le_f32(b.data(), v);
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    Fields, HeaderRejection,
    ::testing::Values(
        Rejection{"magic", 0, {'X', 'X', 'X', 'X'}, "Magic should be 'QLMR' but it was 'XXXX'"},
        Rejection{"version", 4, {2}, std::string("Invalid header version '\x02\x02'")},
        Rejection{"format", 6, {'f', '4'}, "Invalid compression method 'f4'"},
        Rejection{"method", 8, {'c', 'f', '9', '8'}, "Invalid compression method 'cf98'"},
        Rejection{"method_ff", 8, {0xFF, 0xFF, 0xFF, 0xFF}, "Invalid compression method '?\?\?\?'"},
        Rejection{"scale13", 13, {13}, "Only scaled 6..12 is supported, but it was 13"},
        Rejection{"scale5", 13, {5}, "Only scaled 6..12 is supported, but it was 5"},
        Rejection{"coder3", 14, {3}, "Unknown entropy coder 3"},
        Rejection{"min_inf", 20, f32_bytes(-kInf), "Header is invalid"},
        Rejection{"max_nan", 24, f32_bytes(kNan), "Header is invalid"},
        Rejection{"mean_nan", 28, f32_bytes(kNan), "Header is invalid"},
        // Checks run in order: a bad magic hides every later fault.
        Rejection{"magic_first", 0, {'X', 'X', 'X', 'X', 9, 0, 'z', 'z'},
                  "Magic should be 'QLMR' but it was 'XXXX'"},
        Rejection{"scale_before_coder", 13, {99, 99}, "Only scaled 6..12 is supported, but it was 99"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Header, LengthAndLenientFields) {
  auto bytes = valid_header();
  EXPECT_EQ(read_error({bytes.begin(), bytes.begin() + 51}), "Header is invalid");
  EXPECT_EQ(read_error({}), "Header is invalid");
  // Version minor byte, multiplier, levels and reserved words are not checked.
  bytes[5] = 77;
  bytes[12] = 0;
  std::memcpy(bytes.data() + 36, f32_bytes(kNan).data(), 4);
  bytes[45] = 0xAB;
  EXPECT_EQ(read_error(bytes), "<ok>");
  // A 60-byte input starting with XXXX reports the magic, not its size.
  std::vector<std::uint8_t> junk(60, 'X');
  EXPECT_EQ(read_error(junk), "Magic should be 'QLMR' but it was 'XXXX'");
}

}  // namespace
}  // namespace quillmere
