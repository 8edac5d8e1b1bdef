// Throughput of the two entropy coders on quantised wavelet-like bands, with
// memcpy and raw deflate (zlib level 6) measured in the same run for scale.
//
//   entropy_bench [coefficients=1048576] [runs=15]
//
// Figures are medians over the runs of the thread's CPU time, which a busy
// shared machine disturbs far less than wall time. Beside the median ns per
// coded bit stand the fastest run ("best") and the wall-time median ("wall").
// "Coded bits" are the binary decisions the bit engine codes: 8 per byte for
// arans; for cmodel one zero flag per coefficient plus, for a nonzero one,
// a sign and b magnitude bits.
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "arans.hpp"
#include "bin_engine.hpp"
#include "cmodel.hpp"
#include "cmodel_checks.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double thread_cpu_ns() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

struct Timing {
  double cpu_ns;   // median
  double wall_ns;  // median
  double best_ns;  // fastest run, CPU time: the least disturbed figure
};

template <class F>
Timing median_of(int runs, F&& f) {
  std::vector<double> cpu, wall;
  for (int r = 0; r < runs; ++r) {
    const auto w0 = Clock::now();
    const double c0 = thread_cpu_ns();
    f();
    cpu.push_back(thread_cpu_ns() - c0);
    wall.push_back(std::chrono::duration<double, std::nano>(Clock::now() - w0).count());
  }
  std::sort(cpu.begin(), cpu.end());
  std::sort(wall.begin(), wall.end());
  return {cpu[cpu.size() / 2], wall[wall.size() / 2], cpu.front()};
}

// A 6-level decomposition of n coefficients: the approximation (large,
// slowly varying values), then details from the finest level (almost all
// dead-zoned to 0) to the coarsest (wider Laplacian), with rare spikes as
// from edges in the signal.
std::vector<std::vector<std::int16_t>> wavelet_like_bands(std::size_t n, std::mt19937_64& rng) {
  constexpr int kLevels = 6;
  std::vector<std::size_t> lengths;
  std::size_t rest = n;
  std::vector<std::size_t> details;
  for (int l = 0; l < kLevels; ++l) {
    details.push_back(rest / 2);
    rest -= rest / 2;
  }
  lengths.push_back(rest);
  lengths.insert(lengths.end(), details.begin(), details.end());

  std::vector<std::vector<std::int16_t>> bands;
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  // Approximation: a random walk around a few thousand.
  std::vector<std::int16_t> approx(lengths[0]);
  double level = 3000;
  for (auto& w : approx) {
    level = std::clamp(level + (unit(rng) - 0.5) * 200, -30000.0, 30000.0);
    w = static_cast<std::int16_t>(std::lround(level));
  }
  bands.push_back(std::move(approx));
  for (int l = 0; l < kLevels; ++l) {
    const double scale = 0.6 * std::pow(2.2, l);  // finest first
    std::exponential_distribution<double> magnitude(1.0 / scale);
    std::vector<std::int16_t> band(lengths[static_cast<std::size_t>(l) + 1]);
    for (auto& w : band) {
      double v = magnitude(rng);
      if (unit(rng) < 0.002) v += 2000 * unit(rng);  // a spike
      const long q = v < 1.0 ? 0 : std::lround(v);   // dead zone below one step
      w = static_cast<std::int16_t>(unit(rng) < 0.5 ? -q : q);
    }
    bands.push_back(std::move(band));
  }
  return bands;
}

std::size_t cmodel_symbols(const std::vector<std::vector<std::int16_t>>& bands) {
  std::size_t symbols = 0;
  for (const auto& band : bands) {
    std::uint32_t largest = 0;
    std::size_t nonzero = 0;
    for (const std::int16_t w : band) {
      largest = std::max(largest, static_cast<std::uint32_t>(std::abs(std::int32_t{w})));
      nonzero += w != 0;
    }
    const std::uint32_t b = largest == 0 ? 1 : static_cast<std::uint32_t>(std::bit_width(largest));
    symbols += band.size() + nonzero * (1 + b);
  }
  return symbols;
}

std::vector<std::uint8_t> deflate_raw(std::span<const std::uint8_t> in) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::vector<std::uint8_t> out(deflateBound(&z, in.size()));
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

void inflate_raw(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
  z_stream z{};
  inflateInit2(&z, -15);
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  inflate(&z, Z_FINISH);
  inflateEnd(&z);
}

void row(const char* name, std::size_t raw_bytes, std::size_t coded_bytes, std::size_t bits,
         const Timing& t) {
  const double mbps = static_cast<double>(raw_bytes) / (t.cpu_ns * 1e-9) / 1e6;
  if (bits == 0) {
    std::printf("%-16s %11zu %9.1f  %10.1f %10s %10s %10s\n", name, coded_bytes, t.cpu_ns / 1e6, mbps,
                "-", "-", "-");
    return;
  }
  const auto per_bit = [&](double ns) { return ns / static_cast<double>(bits); };
  char rate[32] = "-";
  if (raw_bytes > 0) std::snprintf(rate, sizeof rate, "%.1f", mbps);
  std::printf("%-16s %11zu %9.1f  %10s %10.2f %10.2f %10.2f\n", name, coded_bytes, t.cpu_ns / 1e6,
              rate, per_bit(t.cpu_ns), per_bit(t.best_ns), per_bit(t.wall_ns));
}

volatile std::uint8_t g_sink;  // keeps results alive

}  // namespace

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : (1u << 20);
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 15;

  std::mt19937_64 rng(20240601);
  const auto bands = wavelet_like_bands(n, rng);
  std::vector<std::int16_t> flat;
  std::vector<std::size_t> lengths;
  std::vector<std::span<const std::int16_t>> views;
  for (const auto& b : bands) {
    flat.insert(flat.end(), b.begin(), b.end());
    lengths.push_back(b.size());
    views.emplace_back(b);
  }
  std::vector<std::uint8_t> bytes(flat.size() * 2);
  for (std::size_t i = 0; i < flat.size(); ++i) {
    const auto u = static_cast<std::uint16_t>(flat[i]);
    bytes[2 * i] = static_cast<std::uint8_t>(u);
    bytes[2 * i + 1] = static_cast<std::uint8_t>(u >> 8);
  }
  std::size_t zeros = 0;
  for (const std::int16_t w : flat) zeros += w == 0;

  std::printf("%zu coefficients in %zu bands (%.1f%% zero), %zu bytes; medians of %d runs\n\n",
              flat.size(), bands.size(), 100.0 * static_cast<double>(zeros) / static_cast<double>(flat.size()),
              bytes.size(), runs);
  std::printf("%-16s %11s %9s  %10s %10s %10s %10s\n", "", "coded B", "cpu ms", "MB/s", "ns/bit",
              "best", "wall");

  const std::size_t arans_bits = 8 * bytes.size();
  const std::size_t cmodel_bits = cmodel_symbols(bands);

  std::vector<std::uint8_t> copy(bytes.size());
  row("memcpy", bytes.size(), bytes.size(), 0, median_of(runs, [&] {
        std::memcpy(copy.data(), bytes.data(), bytes.size());
        g_sink = copy[copy.size() / 2];
      }));

  std::vector<std::uint8_t> deflated;
  const Timing t_deflate = median_of(runs, [&] { deflated = deflate_raw(bytes); });
  row("deflate-6 enc", bytes.size(), deflated.size(), 0, t_deflate);
  row("inflate", bytes.size(), deflated.size(), 0, median_of(runs, [&] {
        inflate_raw(deflated, copy);
        g_sink = copy[0];
      }));

  std::vector<std::uint8_t> astream;
  const Timing t_aenc = median_of(runs, [&] { astream = quillmere::arans::encode_stream(bytes); });
  row("arans encode", bytes.size(), astream.size(), arans_bits, t_aenc);
  bool arans_ok = true;
  row("arans decode", bytes.size(), astream.size(), arans_bits, median_of(runs, [&] {
        const auto out = quillmere::arans::decode_stream(astream);
        arans_ok = arans_ok && out && *out == bytes;
      }));

  std::vector<std::uint8_t> cstream;
  const Timing t_cenc = median_of(runs, [&] { cstream = quillmere::cmodel::encode_coeffs(views); });
  row("cmodel encode", bytes.size(), cstream.size(), cmodel_bits, t_cenc);
  bool cmodel_ok = true;
  std::vector<std::int16_t> decoded(flat.size());
  row("cmodel decode", bytes.size(), cstream.size(), cmodel_bits, median_of(runs, [&] {
        const auto done = quillmere::cmodel::decode_coeffs_into(cstream, lengths, decoded);
        cmodel_ok = cmodel_ok && done && decoded == flat;
      }));
  row("cmodel decode*", bytes.size(), cstream.size(), cmodel_bits, median_of(runs, [&] {
        const auto out = quillmere::cmodel::decode_coeffs(cstream, lengths);
        cmodel_ok = cmodel_ok && out && out->size() == bands.size();
      }));

  // The engine's step alone, the floor under both coders: symbols under
  // probabilities spread over the whole range, each bit drawn as its
  // probability says, coded backwards with no modelling, then decoded with
  // each probability given (no table, no tree). A single rANS state is a
  // chain of dependent multiplies, so these measure latency.
  const std::size_t steps = cmodel_bits;
  std::vector<std::uint16_t> symbols(steps);
  {
    std::uniform_int_distribution<std::uint32_t> prob(15, 4081);
    std::uniform_int_distribution<std::uint32_t> slot(0, 4095);
    for (auto& sym : symbols) {
      const std::uint32_t p = prob(rng);
      sym = quillmere::bin_engine::symbol(p, slot(rng) >= p);
    }
  }
  std::vector<std::uint8_t> engine_out;
  row("engine step enc", 0, 0, steps, median_of(runs, [&] {
        quillmere::bin_engine::BackwardCoder coder(steps);
        coder.code_backwards(symbols);
        engine_out.clear();
        coder.finish_into(engine_out);
      }));
  bool engine_ok = true;
  row("engine step dec", 0, engine_out.size(), steps, median_of(runs, [&] {
        auto dec = quillmere::bin_engine::BinDec::create(1, engine_out).value();
        // The stream holds exactly the words these symbols need.
        unsigned mismatches = 0;
        for (const std::uint16_t sym : symbols) {
          mismatches += dec.decode<false>(sym & 4095u) != (sym >> 12);
        }
        engine_ok = engine_ok && mismatches == 0;
      }));

  std::printf("\nMB/s count raw coefficient bytes (2 per coefficient). decode* = decode_coeffs\n"
              "(owned band vectors); decode = decode_coeffs_into one buffer. engine step: the\n"
              "bit engine alone on as many symbols as cmodel codes here, probabilities given.\n"
              "coded bits: arans %zu (%.3f per raw bit), cmodel %zu (%.3f per coefficient)\n",
              arans_bits, static_cast<double>(astream.size() * 8) / static_cast<double>(arans_bits),
              cmodel_bits, static_cast<double>(cmodel_bits) / static_cast<double>(flat.size()));
  if (!arans_ok || !cmodel_ok || !engine_ok) {
    std::printf("ROUND TRIP FAILED (arans %s, cmodel %s, engine %s)\n", arans_ok ? "ok" : "bad",
                cmodel_ok ? "ok" : "bad", engine_ok ? "ok" : "bad");
    return 1;
  }
  return 0;
}
