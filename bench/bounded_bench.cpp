// Bounded compression against plain compression at the options it settles
// on, same run, 10^6-sample realistic signals; then compress time at large
// multipliers, with the saturation rule decided from one transform (now)
// and by re-running whole passes one level at a time (before).
// Prints medians of wall-clock time; not a test.
//
//   bounded_bench [--bounds-only] [--coder cmodel|fast] [--effort thorough|fast]
//                 [--runs N] [--case PREFIX] [NAME=PATH ...]
//
// NAME=PATH arguments (raw little-endian float32 files, as
// bench/fast_coder_signals.py writes them) replace the generated signals, at
// their own lengths.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "compress_core.hpp"
#include "quantizer.hpp"
#include "quillmere/bounded_search.hpp"
#include "quillmere/compressor.hpp"
#include "quillmere/decompressor.hpp"

namespace {

using namespace quillmere;
using quillmere_bench::median_seconds;
using quillmere_bench::read_f32;
using quillmere_bench::speech_like;

// ECG-like: a narrow QRS spike and a broad T wave per beat at 500 Hz over
// baseline wander and noise, in millivolts.
std::vector<float> ecg_like(std::size_t n) {
  std::mt19937 rng(7);
  std::normal_distribution<float> noise(0.0f, 0.02f);
  std::vector<float> x(n);
  const double beat = 0.8 * 500.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double p = std::fmod(static_cast<double>(i), beat) / beat;
    const double qrs = 1.2 * std::exp(-std::pow((p - 0.3) / 0.012, 2.0));
    const double tw = 0.3 * std::exp(-std::pow((p - 0.6) / 0.05, 2.0));
    const double wander = 0.15 * std::sin(2.0 * 3.14159265 * 0.3 * static_cast<double>(i) / 500.0);
    x[i] = static_cast<float>(qrs + tw + wander) + noise(rng);
  }
  return x;
}

// Seismic-like: a random walk with bursts of stronger noise.
std::vector<float> seismic_like(std::size_t n) {
  std::mt19937 rng(11);
  std::normal_distribution<float> step(0.0f, 1.0f);
  std::vector<float> x(n);
  float v = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    const bool burst = (i / 50000) % 5 == 2;
    v = 0.999f * v + step(rng) * (burst ? 8.0f : 1.0f);
    x[i] = v;
  }
  return x;
}

double range_of(const std::vector<float>& x) {
  const auto [lo, hi] = std::minmax_element(x.begin(), x.end());
  return static_cast<double>(*hi) - static_cast<double>(*lo);
}

struct BoundCase {
  const char* name;
  Bounds (*make)(double range);
};

// The old rule, kept here only to measure it: whole passes, entropy coding
// included, one level at a time until nothing saturates.
std::size_t compress_stepping_down(const std::vector<float>& x, const CodecOptions& o) {
  std::uint8_t levels = pick_levels(x.size(), o.method);
  auto enc = detail::compress_core(x, o, levels);
  while (enc && enc->saturated && levels > 1) {
    --levels;
    enc = detail::compress_core(x, o, levels);
  }
  return enc ? enc->payload.size() : 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool skip_large = false;
  Coder coder = Coder::CModel;
  Effort effort = Effort::Thorough;
  int runs = 5;
  std::string only_case;  // a bound's name prefix: only those cases, for profiling
  std::vector<std::pair<std::string, std::vector<float>>> signals;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--bounds-only") {
      skip_large = true;
    } else if (a == "--coder" && i + 1 < argc) {
      coder = std::string(argv[++i]) == "fast" ? Coder::Fast : Coder::CModel;
    } else if (a == "--effort" && i + 1 < argc) {
      effort = std::string(argv[++i]) == "fast" ? Effort::Fast : Effort::Thorough;
    } else if (a == "--case" && i + 1 < argc) {
      only_case = argv[++i];
    } else if (a == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (const auto eq = a.find('='); eq != std::string::npos) {
      signals.emplace_back(a.substr(0, eq), read_f32(a.substr(eq + 1)));
    }
  }
  const char* coder_name = coder == Coder::Fast ? "fast" : "cmodel";
  if (signals.empty()) {
    constexpr std::size_t n = 1000000;
    signals.emplace_back("speech", speech_like(n));
    signals.emplace_back("ecg", ecg_like(n));
    signals.emplace_back("seismic", seismic_like(n));
  }
  const BoundCase cases[] = {
      {"max_error 0.1%", [](double r) { Bounds b; b.max_error = 0.001 * r; return b; }},
      {"max_error 1%", [](double r) { Bounds b; b.max_error = 0.01 * r; return b; }},
      {"rmse 0.1%", [](double r) { Bounds b; b.rmse = 0.001 * r; return b; }},
      {"prd 1%", [](double) { Bounds b; b.prd = 1.0; return b; }},
      {"psnr 60 dB", [](double) { Bounds b; b.psnr = 60.0; return b; }},
      {"bits/sample 3", [](double) { Bounds b; b.bits_per_sample = 3.0; return b; }},
  };

  std::printf("Bounded compress (effort %s) vs plain compress at the settled options (cdf97, %s),\n"
              "median of %d, wall-clock MB/s of float32 input\n\n",
              effort == Effort::Fast ? "fast" : "thorough", coder_name, runs);
  std::printf("%-22s %-15s %10s %10s %7s %9s %9s %10s %6s\n", "signal", "bound", "bounded", "plain",
              "ratio", "bytes", "fixes", "multiplier", "judged");
  for (const auto& [label, x] : signals) {
    if (x.empty()) continue;
    const char* name = label.c_str();
    const double mb = static_cast<double>(x.size()) * 4.0 / 1e6;
    const double range = range_of(x);
    for (const BoundCase& bc : cases) {
      if (!only_case.empty() && std::string(bc.name).rfind(only_case, 0) != 0) continue;
      SearchRequest req;
      req.samples = x;
      req.originals = Originals::of_float(x);
      req.bounds = bc.make(range);
      req.coders = {coder};
      req.effort = effort;
      auto res = bounded_compress(req);
      if (!res) {
        std::printf("%-22s %-15s failed: %s\n", name, bc.name, res.error().message().c_str());
        continue;
      }
      const double t_bounded = median_seconds(runs, [&] { (void)bounded_compress(req); });
      const CodecOptions settled = res->options;
      const double t_plain = median_seconds(runs, [&] { (void)compress(x, settled); });
      std::printf("%-22s %-15s %10.1f %10.1f %7.2f %9zu %9zu %10.2f %6zu\n", name, bc.name,
                  mb / t_bounded, mb / t_plain, t_plain / t_bounded, res->total_bytes(),
                  res->corrected_samples, static_cast<double>(*settled.quant_multiplier),
                  res->candidates_judged);
    }
  }

  if (skip_large) return 0;
  std::printf("\nLarge multipliers, scale 6, 720,000-sample seismic-like trace, cdf97 cmodel,\n"
              "compress wall-clock MB/s (median of %d): one transform decides the depth (now)\n"
              "against whole passes re-run one level at a time (before)\n\n", runs);
  const auto trace = seismic_like(720000);
  const double mb_trace = 720000.0 * 4.0 / 1e6;
  std::printf("%-10s %7s %10s %10s %12s\n", "multiplier", "levels", "now", "before", "decompress");
  for (const float m : {4096.0f, 8192.0f, 16384.0f, 32768.0f, 65536.0f}) {
    CodecOptions o;
    o.scale = 6;
    o.quant_multiplier = m;
    auto c = compress(trace, o);
    if (!c) {
      std::printf("%-10.0f refused: %s\n", static_cast<double>(m), c.error().message().c_str());
      continue;
    }
    const double t_now = median_seconds(runs, [&] { (void)compress(trace, o); });
    const double t_before = median_seconds(runs, [&] { (void)compress_stepping_down(trace, o); });
    const double t_dec = median_seconds(runs, [&] { (void)decompress(*c); });
    std::printf("%-10.0f %7d %10.1f %10.1f %12.1f\n", static_cast<double>(m), (*c)[12],
                mb_trace / t_now, mb_trace / t_before, mb_trace / t_dec);
  }
  return 0;
}
