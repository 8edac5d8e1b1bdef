// What a coefficient costs the fast decoder in adaptive bands against
// static-table bands: the same kind of coefficients (half zeros, the rest
// geometric magnitudes with random signs) cut into short bands, which the
// encoder codes with the adaptive model, or long ones, which get static
// tables. Prints each stream's count of adaptive bands (so that a change
// to the model choice shows) and thread CPU ns per coefficient, the median
// of --runs decodes.
//
//   adaptive_band_bench [--runs N] [BAND_LENGTH ...]   (default 600 2000)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "coefficient_bench_support.hpp"
#include "fast_coder.hpp"
#include "fast_model.hpp"

namespace {

using namespace quillmere::fast;

struct Stream {
  std::vector<std::vector<std::int16_t>> bands;
  std::vector<std::size_t> lengths;
  std::vector<std::uint8_t> bytes;
};

Stream make(std::size_t band_len) {
  // At most 100 bands (the format takes 127) and 64000 coefficients.
  const std::size_t total = std::min<std::size_t>(64000, band_len * 100);
  std::mt19937 rng(3);
  std::geometric_distribution<int> mag(0.35);
  std::bernoulli_distribution negative(0.5), zero(0.5);
  Stream s;
  for (std::size_t done = 0; done < total; done += band_len) {
    std::vector<std::int16_t> b(std::min(band_len, total - done));
    for (auto& v : b) v = zero(rng) ? 0 : static_cast<std::int16_t>((negative(rng) ? -1 : 1) * (1 + mag(rng)));
    s.lengths.push_back(b.size());
    s.bands.push_back(std::move(b));
  }
  const std::vector<std::span<const std::int16_t>> views(s.bands.begin(), s.bands.end());
  s.bytes = encode_coeffs(views);
  return s;
}

// Bands the stream codes adaptively; -1 when it carries block maps (the
// models then follow them, and this count is not taken).
int adaptive_bands(const Stream& s) {
  if (s.bytes.empty() || s.bytes[0] != s.bands.size()) return -1;
  BitReader bits(std::span<const std::uint8_t>(s.bytes).subspan(1));
  const auto models = read_models(bits, s.lengths);
  if (!models) return -1;
  return static_cast<int>(std::count_if(models->bands.begin(), models->bands.end(),
                                        [](const BandModel& b) { return b.mode == BandMode::Adaptive; }));
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 301;
  std::vector<std::size_t> band_lengths;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else {
      band_lengths.push_back(static_cast<std::size_t>(std::atoll(argv[i])));
    }
  }
  if (band_lengths.empty()) band_lengths = {600, 2000};
  for (const std::size_t len : band_lengths) {
    if (len == 0) continue;
    const Stream s = make(len);
    std::size_t total = 0;
    for (const std::size_t l : s.lengths) total += l;
    std::vector<std::int16_t> out(total);
    bool ok = true;
    const double ns = quillmere_bench::median_ns(runs, [&] { ok = decode_coeffs_into(s.bytes, s.lengths, out).has_value() && ok; });
    std::size_t at = 0;
    for (const auto& b : s.bands) {
      ok = ok && std::equal(b.begin(), b.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
      at += b.size();
    }
    std::printf("bands of %5zu: %3zu bands, %3d adaptive, %.3f ns/coefficient%s\n", len, s.bands.size(),
                adaptive_bands(s), ns / static_cast<double>(total),
                ok ? "" : "  DECODE FAILED");
  }
  return 0;
}
