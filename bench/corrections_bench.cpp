// What one correction costs: judging with corrections, building the
// corrections blob and applying it, on a smooth 65000-sample signal whose
// reconstruction is off by Gaussian noise, at bounds that leave about 4 %,
// 30 % and 60 % of the samples to correct. Prints medians of wall-clock time
// and nanoseconds per correction; not a test.
//
//   corrections_bench [--runs N]
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "quillmere/corrections.hpp"
#include "search_support.hpp"

namespace {

using namespace quillmere;
using quillmere_bench::median_seconds;

}  // namespace

int main(int argc, char** argv) {
  int runs = 41;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) runs = std::stoi(argv[++i]);
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
