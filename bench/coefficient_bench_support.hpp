// What the coefficient coders' benchmarks share: CPU time of the calling
// thread (other jobs on the machine do not count against a coder) and the
// quantised bands the module codes for a signal, so every coder is timed on
// the same values.
#pragma once

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <span>
#include <vector>

#include "cmodel.hpp"
#include "cmodel_checks.hpp"
#include "quillmere/compressor.hpp"
#include "quillmere/header.hpp"
#include "wavelet_choice.hpp"

namespace quillmere_bench {

inline double thread_cpu_ns() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

// Median thread CPU nanoseconds of `runs` calls.
template <class F>
double median_ns(int runs, F&& f) {
  if (runs <= 0) return 0.0;
  std::vector<double> t;
  for (int r = 0; r < runs; ++r) {
    const double c0 = thread_cpu_ns();
    f();
    t.push_back(thread_cpu_ns() - c0);
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

// The quantised bands compress() codes for x with the default options.
inline std::vector<std::vector<std::int16_t>> bands_of(const std::vector<float>& x) {
  quillmere::CodecOptions o;
  o.coder = quillmere::Coder::CModel;
  const auto container = quillmere::compress(x, o);
  if (!container) return {};
  const auto h = quillmere::QuillmereHeader::from_bytes(*container);
  const auto executor = quillmere::make_executor(o.method);
  const std::size_t len = std::max<std::size_t>(x.size(), executor->filter_length());
  const auto layout = quillmere::band_layout(*executor, len, h->levels);
  const std::span<const std::uint8_t> payload(container->data() + quillmere::HEADER_LEN, h->payload_len);
  auto bands = quillmere::cmodel::decode_coeffs(payload, layout.lengths);
  return bands ? *bands : std::vector<std::vector<std::int16_t>>{};
}

}  // namespace quillmere_bench
