// Throughput of the multi-level transforms next to memcpy of the same
// signal, measured in the same run. Prints the median and the fastest of
// several wall-clock runs (on a shared machine the fastest shows the work
// itself, the median what a caller can expect); not a test.
//
//   wavelet_bench [runs]      (default 15 runs per figure)
//
// Two passes: first with the C library's allocator as it comes, then with
// it told to keep freed memory (mallopt). The transforms must return fresh
// buffers, and with default settings glibc hands large blocks back to the
// kernel after every call, so each call pays for fresh pages: one fault per
// 2 MiB where the kernel grants huge pages, per 4 KiB elsewhere; the second
// pass shows what the transforms cost without that. "faults" is the number
// of minor page faults per forward + inverse pair. The memcpy row copies
// into a buffer allocated and written once before it is timed; the fresh
// row copies into a new vector each time, the cost of fresh pages.
#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <span>
#include <vector>

#include "wavelet/wavelet.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Keeps the optimiser from dropping work whose result is never read.
void escape(const void* p) { asm volatile("" : : "g"(p) : "memory"); }

long minor_faults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

struct Timing {
  double median_ms;
  double fastest_ms;
};

template <class F>
Timing time_runs(int runs, F&& body) {
  std::vector<double> times;
  for (int r = 0; r < runs; ++r) {
    const auto start = Clock::now();
    body();
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return {times[times.size() / 2], times.front()};
}

struct Wavelet {
  const char* name;
  wavelet::DwtHandle handle;
};

constexpr std::size_t kLevels = 8;  // what the codec uses for long signals

bool run_pass(int runs, const Wavelet (&wavelets)[4]) {
  std::printf("%-9s %-6s %17s %17s %11s %9s %16s\n", "", "", "forward ms", "inverse ms", "MS/s",
              "faults", "fwd+inv / memcpy");
  std::printf("%-9s %-6s %8s %8s %8s %8s %11s %9s %8s %7s\n", "samples", "wave", "median",
              "fastest", "median", "fastest", "(fastest)", "per pair", "median", "fastest");
  for (std::size_t n : {std::size_t{1'000'000}, std::size_t{10'000'000}}) {
    std::vector<float> signal(n);
    std::mt19937 rng(42);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (float& v : signal) v = dist(rng);

    std::vector<float> target(n);
    const Timing copy = time_runs(runs, [&] {
      std::memcpy(target.data(), signal.data(), n * sizeof(float));
      escape(target.data());
    });
    const Timing fresh = time_runs(runs, [&] {
      std::vector<float> owned(signal.begin(), signal.end());
      escape(owned.data());
    });
    std::printf("%-9zu %-6s %8.3f %8.3f %17s %11.0f\n", n, "memcpy", copy.median_ms,
                copy.fastest_ms, "", n / copy.fastest_ms / 1e3);
    std::printf("%-9zu %-6s %8.3f %8.3f %17s %11.0f\n", n, "fresh", fresh.median_ms,
                fresh.fastest_ms, "", n / fresh.fastest_ms / 1e3);

    for (const Wavelet& w : wavelets) {
      // One decomposition kept for the inverse runs.
      auto kept = w.handle->multi_dwt(signal, kLevels);
      if (!kept) {
        std::printf("%s: %s\n", w.name, kept.error().message().c_str());
        return false;
      }
      std::vector<std::span<const float>> details;
      for (const auto& level : kept->levels) details.emplace_back(level.details);
      const std::span<const float> approximation = kept->levels.back().approximation;

      const long faults_before = minor_faults();
      const Timing fwd = time_runs(runs, [&] {
        auto m = w.handle->multi_dwt(signal, kLevels);
        escape(m->levels.data());
      });
      const Timing inv = time_runs(runs, [&] {
        auto y = w.handle->multi_idwt(details, approximation);
        escape(y->data());
      });
      const long faults = (minor_faults() - faults_before) / runs;
      const double fastest = fwd.fastest_ms + inv.fastest_ms;
      std::printf("%-9zu %-6s %8.3f %8.3f %8.3f %8.3f %11.0f %9ld %8.2f %7.2f\n", n, w.name,
                  fwd.median_ms, fwd.fastest_ms, inv.median_ms, inv.fastest_ms, n / fastest / 1e3,
                  faults, (fwd.median_ms + inv.median_ms) / copy.median_ms,
                  fastest / copy.fastest_ms);
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
  const Wavelet wavelets[] = {
      {"cdf53", wavelet::make_cdf53_f32()},
      {"cdf97", wavelet::make_cdf97_f32()},
      {"db4",
       wavelet::make_daubechies_f32(wavelet::DaubechiesFamily::Db4, wavelet::BorderMode::Wrap)},
      {"sym4", wavelet::make_symlet_f32(2, wavelet::BorderMode::Wrap)},
  };
  std::printf("multi_dwt + multi_idwt, %zu levels, %d runs each\n", kLevels, runs);
  std::printf("MS/s: million samples per second through forward + inverse\n");
  std::printf("memcpy: into a buffer allocated once; fresh: copy into a new std::vector\n\n");

  std::printf("pass 1: allocator defaults\n");
  if (!run_pass(runs, wavelets)) return 1;

  // Keep freed heap memory instead of trimming it; blocks above the largest
  // mmap threshold glibc allows (32 MiB) are still fresh mappings.
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  std::printf(
      "\npass 2: allocator keeps freed memory (M_TRIM_THRESHOLD 1 GiB, M_MMAP_THRESHOLD 32 MiB)\n");
  if (!run_pass(runs, wavelets)) return 1;
  return 0;
}
