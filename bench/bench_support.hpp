// What the C++ benchmarks share: the median timer and the speech-like
// signal, so that figures from different benchmarks are taken alike and on
// the same samples.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <functional>
#include <random>
#include <vector>

namespace quillmere_bench {

// Median wall-clock seconds of `runs` calls, after one warm-up call.
// The float32 samples of a raw little-endian file (the benches' NAME=PATH inputs).
inline std::vector<float> read_f32(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::vector<float> x(bytes.size() / 4);
  if (!x.empty()) std::memcpy(x.data(), bytes.data(), x.size() * 4);
  return x;
}

inline double median_seconds(int runs, const std::function<void()>& f) {
  using Clock = std::chrono::steady_clock;
  f();  // warm-up
  std::vector<double> t;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    f();
    t.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

// Speech-like: chirps and bursts over a slow drift, plus noise.
inline std::vector<float> speech_like(std::size_t n) {
  std::mt19937 rng(42);
  std::normal_distribution<float> noise(0.0f, 0.01f);
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; ++i) {
    const float t = static_cast<float>(i) / 16000.0f;
    const float envelope = 0.5f + 0.5f * std::sin(2.0f * 3.14159f * 3.0f * t);
    x[i] = envelope * std::sin(2.0f * 3.14159f * (200.0f + 400.0f * t) * t) +
           0.3f * std::sin(2.0f * 3.14159f * 0.5f * t) + noise(rng);
  }
  return x;
}

}  // namespace quillmere_bench
