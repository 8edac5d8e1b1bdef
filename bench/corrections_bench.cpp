// What one correction costs: judging with corrections, building the
// corrections blob and applying it, on a smooth 65000-sample signal whose
// reconstruction is off by Gaussian noise, at bounds that leave about 4 %,
// 30 % and 60 % of the samples to correct. Prints medians of wall-clock time
// and nanoseconds per correction; not a test.
//
// With --pairs, the same for each file given (written by
// bench/corrections_forms.py: u32 n, f64 bound, n float32 originals, n
// float32 reconstructions), in both blob forms: the gamma form (version 1)
// against the token form (version 2) that encode() writes.
//
// With --apply, only the smallest form's encode and apply on one such file,
// repeated (for a profiler).
//
//   corrections_bench [--runs N] [--pairs FILE... | --apply FILE]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "corrections_gamma.hpp"
#include "quillmere/byte_io.hpp"
#include "quillmere/corrections.hpp"
#include "search_support.hpp"

namespace {

using namespace quillmere;
using quillmere_bench::median_seconds;

struct Pair {
  double bound = 0.0;
  std::vector<float> x, y;
};

bool read_pair(const char* path, Pair& p) {
  std::FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  std::uint32_t n = 0;
  bool ok = std::fread(&n, 4, 1, f) == 1 && std::fread(&p.bound, 8, 1, f) == 1;
  if (ok) {
    p.x.resize(n);
    p.y.resize(n);
    ok = std::fread(p.x.data(), 4, n, f) == n && std::fread(p.y.data(), 4, n, f) == n;
  }
  std::fclose(f);
  return ok;
}

// Sizes, encode and apply times of both forms on one pair; the apply times
// take off the copy of the signal they need.
int compare_forms(const char* path, int runs) {
  Pair p;
  if (!read_pair(path, p)) {
    std::fprintf(stderr, "%s: cannot read\n", path);
    return 1;
  }
  const Originals o = Originals::of_float(p.x);
  corrections::EncodeBuffers buffers;
  auto v1 = corrections::gamma::encode(p.y, o, p.bound, buffers);
  auto v2 = corrections::encode(p.y, o, p.bound, buffers);
  if (!v1 || !v2 || v1->corrected != v2->corrected) return 1;
  std::vector<float> a = p.y, b = p.y;
  if (!corrections::apply(v1->bytes, std::span<float>(a)) || !corrections::apply(v2->bytes, std::span<float>(b)) ||
      a != b) {
    std::fprintf(stderr, "%s: the two forms decode differently\n", path);
    return 1;
  }
  double t[6] = {};
  std::vector<float> z(p.y.size());
  // Old and new taken in turns, so that load falls on both alike.
  std::vector<double> samples[6];
  for (int r = 0; r < runs; ++r) {
    samples[0].push_back(median_seconds(1, [&] { (void)corrections::gamma::encode(p.y, o, p.bound, buffers); }));
    samples[1].push_back(median_seconds(1, [&] { (void)corrections::encode(p.y, o, p.bound, buffers); }));
    samples[2].push_back(median_seconds(1, [&] { z = p.y; }));
    samples[3].push_back(median_seconds(1, [&] {
      z = p.y;
      (void)corrections::apply(v1->bytes, std::span<float>(z));
    }));
    samples[4].push_back(median_seconds(1, [&] {
      z = p.y;
      (void)corrections::apply(v2->bytes, std::span<float>(z));
    }));
  }
  for (int k = 0; k < 5; ++k) {
    std::sort(samples[k].begin(), samples[k].end());
    t[k] = samples[k][samples[k].size() / 2];
  }
  const char* name = std::strrchr(path, '/');
  std::printf("%-36s %8zu %8zu %8zu %7.3f %9.1f %9.1f %9.1f %9.1f\n", name ? name + 1 : path, v1->corrected,
              v1->bytes.size(), v2->bytes.size(),
              static_cast<double>(v2->bytes.size()) / static_cast<double>(v1->bytes.size()), t[0] * 1e6, t[1] * 1e6,
              (t[3] - t[2]) * 1e6, (t[4] - t[2]) * 1e6);
  return 0;
}

// Applies the token-form blob of one pair over and over, for a profiler:
// wall-clock median per apply, the signal's copy taken off.
int apply_only(const char* path, int runs) {
  Pair p;
  if (!read_pair(path, p)) {
    std::fprintf(stderr, "%s: cannot read\n", path);
    return 1;
  }
  const Originals o = Originals::of_float(p.x);
  auto v2 = corrections::encode(p.y, o, p.bound);
  if (!v2) return 1;
  std::vector<float> z(p.y.size());
  std::vector<double> copy, apply, encode;
  for (int r = 0; r < runs; ++r) {
    encode.push_back(median_seconds(1, [&] { (void)corrections::encode(p.y, o, p.bound); }));
    copy.push_back(median_seconds(1, [&] { z = p.y; }));
    apply.push_back(median_seconds(1, [&] {
      z = p.y;
      (void)corrections::apply(v2->bytes, std::span<float>(z));
    }));
  }
  std::sort(copy.begin(), copy.end());
  std::sort(apply.begin(), apply.end());
  std::sort(encode.begin(), encode.end());
  const double us = (apply[apply.size() / 2] - copy[copy.size() / 2]) * 1e6;
  std::printf("%s: %zu corrections, %zu bytes (crc %08x), encode %.1f us, apply %.1f us, %.2f ns per correction\n",
              path, v2->corrected, v2->bytes.size(), static_cast<unsigned>(load_le32(v2->bytes.data() + v2->bytes.size() - 4)),
              encode[encode.size() / 2] * 1e6, us,
              us * 1e3 / static_cast<double>(std::max<std::size_t>(1, v2->corrected)));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 41;
  int pairs_from = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) runs = std::stoi(argv[++i]);
    if (std::strcmp(argv[i], "--apply") == 0 && i + 1 < argc) return apply_only(argv[i + 1], runs);
    if (std::strcmp(argv[i], "--pairs") == 0) {
      pairs_from = i + 1;
      break;
    }
  }
  if (pairs_from > 0) {
    std::printf("%-36s %8s %8s %8s %7s %9s %9s %9s %9s\n", "pair", "corrected", "v1 bytes", "v2 bytes",
                "v2/v1", "enc1 us", "enc2 us", "apply1 us", "apply2 us");
    for (int i = pairs_from; i < argc; ++i) {
      if (compare_forms(argv[i], runs) != 0) return 1;
    }
    return 0;
  }
  constexpr std::size_t n = 65000;
  std::mt19937 rng(5);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  std::vector<float> x(n), y(n);
  for (std::size_t i = 0; i < n; ++i) {
    x[i] = std::sin(static_cast<float>(i) * 0.01f) * 100.0f;
    y[i] = x[i] + noise(rng) * 0.01f;
  }
  const Originals originals = Originals::of_float(x);
  const search::Reference ref = search::reference_of(originals);
  std::printf("%-8s %10s %10s %10s %10s %12s %12s\n", "bound", "corrected", "judge us", "encode us",
              "apply us", "encode ns/c", "apply ns/c");
  for (const double bound : {0.02, 0.01, 0.005}) {
    auto blob = corrections::encode(y, originals, bound);
    if (!blob) return 1;
    const double judge = median_seconds(runs, [&] { (void)search::judge(ref, y, bound); });
    const double encode = median_seconds(runs, [&] { (void)corrections::encode(y, originals, bound); });
    std::vector<float> z(n);
    // The copy that apply needs is timed apart and taken off.
    const double copy = median_seconds(runs, [&] { z = y; });
    const double apply = median_seconds(runs, [&] {
      z = y;
      (void)corrections::apply(blob->bytes, std::span<float>(z));
    }) - copy;
    const double c = static_cast<double>(blob->corrected);
    std::printf("%-8.3f %10zu %10.0f %10.0f %10.0f %12.1f %12.1f\n", bound, blob->corrected, judge * 1e6,
                encode * 1e6, apply * 1e6, encode * 1e9 / c, apply * 1e9 / c);
  }
  return 0;
}
