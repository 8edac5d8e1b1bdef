// The normalisation's first pass (clean, scale, and the ordered f32 sum for
// the mean) against that pass written as the plain chain of one add per
// sample, on real signals: thread CPU microseconds per call, medians, the
// two forms alternated in one process so that the machine's load falls on
// both alike. Also checks that both give the same mean bits.
//
//   normalise_bench [--runs N] name=file.f32 ...
//
// Files as for fast_coder_bench (bench/fast_coder_signals.py writes them).
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "coefficient_bench_support.hpp"
#include "compress_stages.hpp"

namespace {

using quillmere_bench::read_f32;
using quillmere_bench::thread_cpu_ns;

float cleaned(float v) {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(v);
  const bool non_finite = (bits & 0x7F800000u) == 0x7F800000u;
  return non_finite ? (bits == 0x7F800000u ? 1.0f : 0.0f) : v;
}

// The pass as one chain, the form the normalisation had before.
float chained(const std::vector<float>& in, std::vector<float>& x, float lo, float r) {
  float sum = 0.0f;
  for (std::size_t i = 0; i < in.size(); ++i) {
    const float v = (cleaned(in[i]) - lo) * r;
    x[i] = v;
    sum += v;
  }
  return sum;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 301;
  std::vector<std::string> inputs;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--runs" && i + 1 < argc) {
      runs = std::atoi(argv[++i]);
    } else {
      inputs.push_back(a);
    }
  }
  std::printf("%-28s %10s %12s %12s %7s %s\n", "signal", "samples", "chain_us", "normalise_us",
              "ratio", "mean");
  for (const auto& input : inputs) {
    const auto eq = input.find('=');
    const std::string name = input.substr(0, eq);
    const auto x = read_f32(input.substr(eq + 1));
    std::vector<float> out(x.size()), chain_out(x.size());
    auto frame = quillmere::stages::normalise_into(x, out);
    if (!frame) {
      std::printf("%-28s could not be normalised\n", name.c_str());
      continue;
    }
    const float r = 1.0f / (frame->max - frame->min);
    const float chain_mean = chained(x, chain_out, frame->min, r) / static_cast<float>(x.size());
    const bool same = std::bit_cast<std::uint32_t>(chain_mean) == std::bit_cast<std::uint32_t>(frame->mean);
    // Both timed with the range known, so that only the pass differs (the
    // normalisation's own range scan is not part of this comparison).
    const quillmere::FiniteRange range{frame->min, frame->max};
    std::vector<double> t_chain, t_new;
    volatile float sink = 0.0f;
    for (int k = 0; k < runs; ++k) {
      auto c0 = thread_cpu_ns();
      sink = chained(x, chain_out, frame->min, r);
      auto c1 = thread_cpu_ns();
      // normalise_into also removes the mean in a second pass; time the
      // chain plus that same pass for a like-for-like figure.
      const float m = sink / static_cast<float>(x.size());
      for (auto& v : chain_out) v -= m;
      auto c2 = thread_cpu_ns();
      t_chain.push_back((c2 - c0) / 1e3);
      (void)c1;
      auto d0 = thread_cpu_ns();
      (void)quillmere::stages::normalise_into(x, out, range);
      auto d1 = thread_cpu_ns();
      t_new.push_back((d1 - d0) / 1e3);
    }
    const double a = median(t_chain), b = median(t_new);
    std::printf("%-28s %10zu %12.1f %12.1f %7.3f %s\n", name.c_str(), x.size(), a, b, b / a,
                same ? "same" : "DIFFERENT");
  }
  return 0;
}
