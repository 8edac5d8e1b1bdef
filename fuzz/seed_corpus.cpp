// Writes the seed corpora of the fuzz harnesses from real codec output: a
// container for every wavelet x coder over a few signal shapes, the arans and
// cmodel payloads inside them (the latter with the band lengths the decoder
// would derive, and again through the fast coder), and round-trip inputs. Deterministic, so regenerating the
// corpus changes files only when the codec's output changes.
//
//   quillmere_seed_corpus <output dir>   (creates <dir>/<target>/...)
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "arans.hpp"
#include "cmodel.hpp"
#include "cmodel_checks.hpp"
#include "corrections_flags.hpp"
#include "corrections_gamma.hpp"
#include "corrections_tokens.hpp"
#include "fast_coder.hpp"
#include "fuzz_support.hpp"
#include "quillmere/compressor.hpp"
#include "quillmere/corrections.hpp"
#include "quillmere/header.hpp"
#include "quillmere_tools/blocked_unit.hpp"
#include "wavelet_choice.hpp"

namespace {

using quillmere::CodecOptions;
using quillmere::Coder;
using quillmere::Cutoff;
using quillmere::Method;
namespace fs = std::filesystem;

struct Signal {
  const char* name;
  std::vector<float> samples;
};

// A fixed LCG: the corpus must not depend on the standard library's engines.
class Noise {
 public:
  float next() {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<float>(state_ >> 40) / static_cast<float>(1 << 24) - 0.5f;
  }

 private:
  std::uint64_t state_ = 0x51'4C'4D'52;
};

std::vector<Signal> signals() {
  Noise noise;
  std::vector<Signal> out;

  Signal wave{"wave", {}};
  for (int i = 0; i < 300; ++i) {
    wave.samples.push_back(std::sin(0.17f * i) + 0.3f * std::sin(1.19f * i) + 0.05f * noise.next());
  }
  out.push_back(std::move(wave));

  // Non-finite samples, a huge one and a subnormal: the paths that clean and
  // normalise the input, and saturated coefficients.
  Signal edges{"edges", {}};
  for (int i = 0; i < 97; ++i) edges.samples.push_back(static_cast<float>(i % 13) - 6.0f);
  edges.samples[10] = std::numeric_limits<float>::quiet_NaN();
  edges.samples[20] = std::numeric_limits<float>::infinity();
  edges.samples[30] = -std::numeric_limits<float>::infinity();
  edges.samples[40] = 1e30f;
  edges.samples[50] = std::numeric_limits<float>::denorm_min();
  out.push_back(std::move(edges));

  out.push_back({"tiny", {1.5f, -2.0f, 0.25f}});  // shorter than every filter
  out.push_back({"flat", std::vector<float>(40, 3.0f)});

  // Long enough for the deepest level counts of every wavelet.
  Signal chirp{"chirp", {}};
  for (int i = 0; i < 2600; ++i) chirp.samples.push_back(std::sin(1e-4f * i * i) + 0.02f * noise.next());
  out.push_back(std::move(chirp));
  return out;
}

constexpr Method kMethods[] = {Method::Cdf53, Method::Cdf97, Method::Db4, Method::Sym4};
constexpr Coder kCoders[] = {Coder::Deflate, Coder::Arans, Coder::CModel};
const char* method_name(Method m) {
  static const char* names[] = {"cdf53", "cdf97", "db4", "sym4"};
  return names[static_cast<int>(m)];
}
const char* coder_name(Coder c) {
  switch (c) {
    case Coder::Deflate: return "deflate";
    case Coder::Arans: return "arans";
    case Coder::CModel: return "cmodel";
    case Coder::Auto: return "auto";
    case Coder::Fast: return "fast";
  }
  return "?";
}

// The band lengths the decoder derives from a header (approximation first).
std::vector<std::size_t> band_lengths(Method method, std::uint32_t sample_count, std::uint8_t levels) {
  const auto executor = quillmere::make_executor(method);
  const std::size_t transform_len = std::max<std::size_t>(sample_count, executor->filter_length());
  return quillmere::band_layout(*executor, transform_len, levels).lengths;
}

class CorpusWriter {
 public:
  explicit CorpusWriter(fs::path root) : root_(std::move(root)) {}

  void write(const char* target, const std::string& name, std::span<const std::uint8_t> bytes) {
    const fs::path dir = root_ / target;
    fs::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ++files_;
    bytes_ += bytes.size();
  }

  ~CorpusWriter() { std::printf("wrote %zu files, %zu bytes under %s\n", files_, bytes_, root_.c_str()); }

 private:
  fs::path root_;
  std::size_t files_ = 0;
  std::size_t bytes_ = 0;
};

void container_seeds(CorpusWriter& out) {
  int variant = 0;
  for (const Signal& signal : signals()) {
    for (const Method method : kMethods) {
      for (const Coder coder : kCoders) {
        // Spread the scales and cutoffs over the combinations so that every
        // dead-zone row and multiplier appears somewhere.
        CodecOptions options;
        options.method = method;
        options.coder = coder;
        options.scale = static_cast<std::uint8_t>(6 + variant % 7);
        options.cutoff = static_cast<Cutoff>(variant % 3);
        if (variant % 11 == 5) options.quant_multiplier = 300.0f;
        ++variant;

        const auto container = quillmere::compress(signal.samples, options);
        if (!container) {
          std::fprintf(stderr, "compress failed: %s\n", container.error().message().c_str());
          std::exit(1);
        }
        const std::string name =
            std::string(method_name(method)) + "-" + coder_name(coder) + "-" + signal.name;
        out.write("decompress", name, *container);

        const auto header = quillmere::QuillmereHeader::from_bytes(*container);
        const auto payload = std::span(*container).subspan(quillmere::HEADER_LEN);
        if (coder == Coder::Arans) out.write("decode_stream", name, payload);
        if (coder == Coder::CModel) {
          const auto lengths = band_lengths(method, header->sample_count, header->levels);
          out.write("decode_coeffs", name, quillmere::fuzz::make_coeffs_input(lengths, payload));
          // The same bands through the fast coder.
          const auto bands = quillmere::cmodel::decode_coeffs(payload, lengths);
          const std::vector<std::span<const std::int16_t>> views(bands->begin(), bands->end());
          out.write("decode_fast", name,
                    quillmere::fuzz::make_coeffs_input(lengths, quillmere::fast::encode_coeffs(views)));
        }
      }
    }
  }
}

// Streams whose shape the containers never show: stored short inputs, the
// LEB128 boundary at 128 pairs, odd lengths, and the 8-context-bit tables.
void stream_seeds(CorpusWriter& out) {
  for (const std::size_t n : {std::size_t{0}, std::size_t{5}, std::size_t{6}, std::size_t{7},
                              std::size_t{255}, std::size_t{256}, std::size_t{16384}}) {
    std::vector<std::uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>((i / 7) % 5 + ((i >> 10) & 3) * 40);
    out.write("decode_stream", "synthetic-" + std::to_string(n), quillmere::arans::encode_stream(bytes));
  }
}

void coeffs_seeds(CorpusWriter& out) {
  using Band = std::vector<std::int16_t>;
  const std::vector<std::vector<Band>> cases = {
      {{}, {}, {}},                                   // all bands empty
      {{0, 0, 0, 0, 0, 0, 0, 0}, {1, -1, 0, 1}},      // zero runs, magnitude 1
      {{-32768, 32767, 0, -1}, {5, -300, 7000, 0}},  // 16-bit extremes
  };
  int index = 0;
  for (const auto& bands : cases) {
    const std::vector<std::span<const std::int16_t>> views(bands.begin(), bands.end());
    std::vector<std::size_t> lengths;
    for (const Band& band : bands) lengths.push_back(band.size());
    const auto stream = quillmere::cmodel::encode_coeffs(views);
    out.write("decode_coeffs", "synthetic-" + std::to_string(index++),
              quillmere::fuzz::make_coeffs_input(lengths, stream));
  }
}

// Fast-coder streams the containers do not show (one lane and four, every
// band kind), and broken ones: each must end in its error, not a crash.
void fast_seeds(CorpusWriter& out) {
  using Band = std::vector<std::int16_t>;
  Noise noise;
  Band busy(1000);
  for (auto& w : busy) w = static_cast<std::int16_t>(noise.next() * 600.0f);
  // Four lanes, with raw bits enough for the decoder's unchecked blocks
  // (its vector raw-bit pass), and a quiet band whose rows of zeros it skips.
  Band loud(6000), quiet(3000, 0);
  for (auto& w : loud) w = static_cast<std::int16_t>(noise.next() * 3000.0f);
  for (std::size_t i = 0; i < quiet.size(); i += 37) quiet[i] = static_cast<std::int16_t>(i % 2 ? 5 : -5);
  // Speech between silences, whose blocks of zeros the zero-block form
  // skips: on four lanes (segments starting inside live and skipped
  // blocks, a band ending in a short zero block) and on one.
  Band spoken(9001, 0), pauses(3000, 0), short_pauses(700, 0);
  for (std::size_t i = 0; i < spoken.size(); ++i) {
    if ((i / 1100) % 2 == 0) spoken[i] = static_cast<std::int16_t>(noise.next() * 900.0f);
  }
  for (std::size_t i = 0; i < 1000; ++i) pauses[i] = static_cast<std::int16_t>(noise.next() * 40.0f);
  for (std::size_t i = 2100; i < 2300; ++i) pauses[i] = static_cast<std::int16_t>(noise.next() * 8.0f);
  for (std::size_t i = 400; i < short_pauses.size(); ++i) {
    short_pauses[i] = static_cast<std::int16_t>(noise.next() * 20.0f);
  }
  const std::vector<std::vector<Band>> cases = {
      {{}, {}, {}},
      {Band(300, 0), Band(200, 0)},
      {{0, 0, 0, 0, 0, 0, 0, 0}, {1, -1, 0, 1}},
      {{-32768, 32767, 0, -1}, {5, -300, 7000, 0}},
      {busy, Band(100, 0), {3, -3}},
      {loud, quiet, Band(100, 0)},
      {pauses, Band(0), spoken, Band(64, 0)},
      {short_pauses, {3, -3, 0, 1}},
  };
  int index = 0;
  for (const auto& bands : cases) {
    const std::vector<std::span<const std::int16_t>> views(bands.begin(), bands.end());
    std::vector<std::size_t> lengths;
    for (const Band& band : bands) lengths.push_back(band.size());
    const auto stream = quillmere::fast::encode_coeffs(views);
    const std::string name = "synthetic-" + std::to_string(index++);
    out.write("decode_fast", name, quillmere::fuzz::make_coeffs_input(lengths, stream));
    if (stream.size() < 4) continue;
    auto cut = stream;
    cut.resize(stream.size() / 2);
    out.write("decode_fast", name + "-truncated", quillmere::fuzz::make_coeffs_input(lengths, cut));
    auto table = stream;
    table[1] ^= 0x40;  // the first band's model
    out.write("decode_fast", name + "-table", quillmere::fuzz::make_coeffs_input(lengths, table));
    auto tail = stream;
    tail.back() ^= 0x5A;  // a word or a state
    out.write("decode_fast", name + "-words", quillmere::fuzz::make_coeffs_input(lengths, tail));
    auto longer = lengths;
    longer.back() += 1;
    out.write("decode_fast", name + "-length", quillmere::fuzz::make_coeffs_input(longer, stream));
  }
}

void roundtrip_seeds(CorpusWriter& out) {
  const auto all = signals();
  const std::span<const float> wave = std::span(all[0].samples).first(96);
  const std::span<const float> edges = all[1].samples;
  int variant = 0;
  for (const Method method : kMethods) {
    for (const Coder coder : {Coder::Deflate, Coder::Arans, Coder::CModel, Coder::Auto}) {
      CodecOptions options;
      options.method = method;
      options.coder = coder;
      options.scale = static_cast<std::uint8_t>(6 + variant % 7);
      options.cutoff = static_cast<Cutoff>(variant % 3);
      ++variant;
      const auto samples = variant % 2 ? wave : edges;
      out.write("roundtrip", std::string(method_name(method)) + "-" + coder_name(coder),
                quillmere::fuzz::make_roundtrip_input(options, samples));
    }
  }
  // Multipliers the Python layer lets through unchanged.
  for (const float m : {0.0f, -3.0f, std::numeric_limits<float>::quiet_NaN(),
                        std::numeric_limits<float>::infinity()}) {
    CodecOptions options;
    options.quant_multiplier = m;
    out.write("roundtrip", "multiplier-" + std::to_string(variant++),
              quillmere::fuzz::make_roundtrip_input(options, wave.first(20)));
  }
  const float one = 1.0f;
  out.write("roundtrip", "one-sample", quillmere::fuzz::make_roundtrip_input({}, {&one, 1}));
}

// blocked_unit input: u32 start, u32 stop, then a unit. Whole units of three
// blocks and a bit (float32, float64 with an offset and a NaN, bounded with
// corrections), a plain one, and copies with the index damaged in the ways a
// reader must refuse, resealed so that only the damage itself is wrong.
void blocked_seeds(CorpusWriter& out) {
  using quillmere_tools::kMinBlockLength;
  const std::size_t n = 3 * kMinBlockLength + 100;
  std::vector<float> f(n);
  std::vector<double> d(n);
  Noise noise;
  for (std::size_t i = 0; i < n; ++i) {
    f[i] = std::sin(0.01f * static_cast<float>(i)) + 0.1f * noise.next();
    d[i] = 1e6 + static_cast<double>(f[i]);
  }
  d[kMinBlockLength + 5] = std::numeric_limits<double>::quiet_NaN();
  quillmere_tools::UnitRequest bounded;
  bounded.bounds.max_error = 0.01;
  const auto with_range = [](std::uint32_t a, std::uint32_t b, const std::vector<std::uint8_t>& u) {
    std::vector<std::uint8_t> input;
    quillmere::fuzz::put_u32(input, a);
    quillmere::fuzz::put_u32(input, b);
    input.insert(input.end(), u.begin(), u.end());
    return input;
  };
  const auto encode = [&](quillmere_tools::SignalView x, const quillmere_tools::UnitRequest& r,
                          std::uint32_t block) {
    auto unit = quillmere_tools::encode_long(x, r, block, 1);
    return unit ? unit->bytes : std::vector<std::uint8_t>{};
  };
  const auto f32 = encode(std::span<const float>(f), {}, kMinBlockLength);
  out.write("blocked_unit", "f32", with_range(5000, 3000, f32));
  out.write("blocked_unit", "f64-nan", with_range(0, 0xffffffffu, encode(std::span<const double>(d), {}, kMinBlockLength)));
  out.write("blocked_unit", "f32-bounded", with_range(4090, 20, encode(std::span<const float>(f), bounded, kMinBlockLength)));
  out.write("blocked_unit", "plain", with_range(3, 7, encode(std::span<const float>(f), {}, 2 * n)));

  // The index starts at byte 24, 20 bytes an entry; its CRC follows it.
  const auto damaged = [&](const char* name, std::size_t at, std::uint32_t add) {
    auto u = f32;
    if (u.size() < 24 + 4 * 20 + 4) return;
    quillmere::store_le32(u.data() + at, quillmere::load_le32(u.data() + at) + add);
    const std::size_t end = 24 + 4 * 20;
    std::vector<std::uint8_t> head(u.begin(), u.begin() + static_cast<std::ptrdiff_t>(end));
    quillmere::store_le32(u.data() + end, static_cast<std::uint32_t>(crc32(crc32(0L, Z_NULL, 0), head.data(), static_cast<uInt>(head.size()))));
    out.write("blocked_unit", name, with_range(0, 100, u));
  };
  damaged("bad-overlap", 24 + 20, 0xfffffff8u);
  damaged("bad-gap", 24 + 8, 0xfffffff8u);
  damaged("bad-past-end", 24 + 3 * 20 + 8, 1u << 20);
  damaged("bad-count", 8, kMinBlockLength);
  damaged("bad-last-block", 8, 0xfffffffeu);
}

// Corrections blobs in both forms for the decoded signal the harness uses
// (its signal_of), float32 and float64, sparse and dense, with escapes and
// multiples beyond the token form's small ones; then token-form blobs
// damaged where its own checks must refuse them (tables, raw length,
// states), resealed so that only the damage is wrong. Round-trip inputs
// too (mode 1: bound, then decoded/original pairs).
void corrections_seeds(CorpusWriter& out) {
  const auto decode_input = [](std::uint32_t n, bool f64, const std::vector<std::uint8_t>& blob) {
    std::vector<std::uint8_t> input{0};
    quillmere::fuzz::put_u32(input, n);
    input.push_back(f64 ? 1 : 0);
    input.insert(input.end(), blob.begin(), blob.end());
    return input;
  };
  const auto reseal = [](std::vector<std::uint8_t> b) {
    const std::size_t body = b.size() - 4;
    const auto crc = static_cast<std::uint32_t>(crc32(0L, b.data(), static_cast<uInt>(body)));
    for (int i = 0; i < 4; ++i) b[body + i] = static_cast<std::uint8_t>(crc >> (8 * i));
    return b;
  };
  Noise noise;
  for (const std::uint32_t n : {7u, 300u, 3000u}) {
    std::vector<float> y(n), x32(n);
    std::vector<double> x64(n);
    for (std::uint32_t i = 0; i < n; ++i) {
      y[i] = static_cast<float>(i % 101) * 0.37f - 9.0f;  // the harness's signal_of
      const float r = noise.next();
      // Most off by a little, some by thousands of bounds, a few by more
      // than a multiple may be (escaped).
      const float off = i % 29 == 3 ? 300.0f * r : (i % 41 == 6 ? 3e9f : 0.05f * r);
      x32[i] = y[i] + off;
      x64[i] = 1000.0 + static_cast<double>(x32[i]);
    }
    for (const bool f64 : {false, true}) {
      const auto originals = f64 ? quillmere::Originals::of_double(x64, 1000.0)
                                 : quillmere::Originals::of_float(x32);
      const std::string tag = std::string(f64 ? "f64-" : "f32-") + std::to_string(n);
      quillmere::corrections::EncodeBuffers buffers;
      // The token form itself: encode() would keep the gamma form for the
      // few corrections of the shortest signal.
      const auto tokens = quillmere::corrections::tokens::encode(
          y, originals, 0.01, quillmere::corrections::parts::step_of(0.01), buffers);
      const auto gamma = quillmere::corrections::gamma::encode(y, originals, 0.01, buffers);
      if (!tokens || !gamma) continue;
      out.write("corrections", "tokens-" + tag, decode_input(n, f64, tokens->bytes));
      out.write("corrections", "gamma-" + tag, decode_input(n, f64, gamma->bytes));
      // Both codings behind the compact header encode() writes now, and
      // one with its first count stretched past a u32 (the checksum kept
      // valid, so the reader's own checks meet it).
      const auto compact_tokens = quillmere::corrections::parts::compacted(tokens->bytes);
      out.write("corrections", "compact-tokens-" + tag, decode_input(n, f64, compact_tokens));
      out.write("corrections", "compact-gamma-" + tag,
                decode_input(n, f64, quillmere::corrections::parts::compacted(gamma->bytes)));
      // The flag coding of the same corrections (the token form's
      // collection left them in the buffers), and a copy with its last
      // coded byte damaged and resealed: read against the harness's layer.
      if (const auto flags = quillmere::corrections::flags::encode(
              y, originals, quillmere::corrections::parts::step_of(0.01), buffers)) {
        const auto compact_flags = quillmere::corrections::parts::compacted(flags->bytes);
        out.write("corrections", "compact-flags-" + tag, decode_input(n, f64, compact_flags));
        auto damaged = compact_flags;
        damaged[damaged.size() - 5 - flags->escaped * (f64 ? 8 : 4)] ^= 0x21;
        out.write("corrections", "compact-flags-damaged-" + tag, decode_input(n, f64, reseal(damaged)));
      }
      std::vector<std::uint8_t> wide(compact_tokens.begin(), compact_tokens.begin() + 6);
      wide.insert(wide.end(), {0xff, 0xff, 0xff, 0xff, 0x7f});
      std::size_t at = 6;
      while (compact_tokens[at] & 0x80) ++at;
      wide.insert(wide.end(), compact_tokens.begin() + static_cast<std::ptrdiff_t>(at + 1), compact_tokens.end());
      out.write("corrections", "compact-wide-count-" + tag, decode_input(n, f64, reseal(wide)));
      if (n != 300) continue;
      const std::vector<std::uint8_t>& b = tokens->bytes;
      const std::size_t coded = 36;
      std::uint32_t coded_len = 0, raw_len = 0;
      std::memcpy(&coded_len, b.data() + 28, 4);
      std::memcpy(&raw_len, b.data() + 32, 4);
      auto table = b;
      table[coded] ^= 0x7f;  // the gap table's token count
      out.write("corrections", "tokens-table-" + tag, decode_input(n, f64, reseal(table)));
      auto raw = b;
      const std::uint32_t more = raw_len + 5;
      std::memcpy(raw.data() + 32, &more, 4);
      out.write("corrections", "tokens-raw-len-" + tag, decode_input(n, f64, reseal(raw)));
      auto words = b;
      words[coded + coded_len - raw_len - 1] ^= 0x10;  // the last word
      out.write("corrections", "tokens-words-" + tag, decode_input(n, f64, reseal(words)));
    }
    std::vector<std::uint8_t> trip;
    const float bound = 0.01f;
    for (int i = 0; i < 4; ++i) trip.push_back(reinterpret_cast<const std::uint8_t*>(&bound)[i]);
    for (std::uint32_t i = 0; i < std::min<std::uint32_t>(n, 400); ++i) {
      quillmere::fuzz::put_u32(trip, std::bit_cast<std::uint32_t>(y[i]));
      quillmere::fuzz::put_u32(trip, std::bit_cast<std::uint32_t>(x32[i]));
    }
    std::vector<std::uint8_t> input{1};
    quillmere::fuzz::put_u32(input, 0);
    input.push_back(0);
    input.insert(input.end(), trip.begin(), trip.end());
    out.write("corrections", "roundtrip-" + std::to_string(n), input);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output dir>\n", argv[0]);
    return 2;
  }
  CorpusWriter out{fs::path(argv[1])};
  container_seeds(out);
  stream_seeds(out);
  coeffs_seeds(out);
  fast_seeds(out);
  roundtrip_seeds(out);
  blocked_seeds(out);
  corrections_seeds(out);
  return 0;
}
