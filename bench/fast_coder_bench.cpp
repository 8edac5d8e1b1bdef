// The fast coefficient coder against cmodel on real signals: ns per
// coefficient to encode and decode, and the payload size ratio, on the very
// same quantised bands (those compress() makes with the default options).
//
//   fast_coder_bench [--runs N] [--prefix N] [--dump FILE] [--fast-only] name=file.f32 ...
//
// Each file holds little-endian float32 samples (bench/fast_coder_signals.py
// writes the repository's signals so). --prefix codes only the first N
// samples, to see what tables cost on short signals. Times are medians of
// the thread's CPU time over the runs, one thread; --runs 0 times nothing.
// --dump appends every fast stream (its length as 8 bytes, then the bytes)
// to FILE, so that a digest of the file shows whether a change to the
// encoder altered any byte it writes. --fast-only leaves cmodel's times
// out (shown as 0) when only the fast coder is being compared.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "coefficient_bench_support.hpp"
#include "cmodel.hpp"
#include "cmodel_checks.hpp"
#include "fast_coder.hpp"
#include "quillmere/compressor.hpp"
#include "quillmere/header.hpp"
#include "wavelet_choice.hpp"

namespace {

using quillmere_bench::bands_of;
using quillmere_bench::median_ns;
using quillmere_bench::read_f32;
using quillmere_bench::thread_cpu_ns;




}  // namespace

int main(int argc, char** argv) {
  int runs = 7;
  std::size_t prefix = 0;
  std::string dump;
  bool fast_only = false;
  std::vector<std::string> inputs;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--runs" && i + 1 < argc) {
      runs = std::atoi(argv[++i]);
    } else if (a == "--prefix" && i + 1 < argc) {
      prefix = static_cast<std::size_t>(std::atoll(argv[++i]));
    } else if (a == "--fast-only") {
      fast_only = true;
    } else if (a == "--dump" && i + 1 < argc) {
      dump = argv[++i];
    } else {
      inputs.push_back(a);
    }
  }
  std::printf("%-28s %10s %9s %9s %7s %7s %7s %7s %7s\n", "signal", "coeffs", "cmodel_B", "fast_B",
              "ratio", "cm_enc", "cm_dec", "f_enc", "f_dec");
  for (const auto& input : inputs) {
    const auto eq = input.find('=');
    const std::string name = input.substr(0, eq);
    auto x = read_f32(input.substr(eq + 1));
    if (prefix != 0 && x.size() > prefix) x.resize(prefix);
    const auto bands = bands_of(x);
    if (bands.empty()) {
      std::printf("%-28s could not be compressed\n", name.c_str());
      continue;
    }
    const std::vector<std::span<const std::int16_t>> views(bands.begin(), bands.end());
    std::vector<std::size_t> lengths;
    std::size_t n = 0;
    for (const auto& b : bands) {
      lengths.push_back(b.size());
      n += b.size();
    }
    std::vector<std::int16_t> out(n);
    const auto cm = quillmere::cmodel::encode_coeffs(views);
    const auto fast = quillmere::fast::encode_coeffs(views);
    if (!dump.empty()) {
      std::ofstream f(dump, std::ios::binary | std::ios::app);
      const std::uint64_t len = fast.size();
      for (unsigned b = 0; b < 8; ++b) f.put(static_cast<char>(len >> (8 * b)));
      f.write(reinterpret_cast<const char*>(fast.data()), static_cast<std::streamsize>(fast.size()));
    }
    const int cm_runs = fast_only ? 0 : runs;
    const double cm_enc = median_ns(cm_runs, [&] { (void)quillmere::cmodel::encode_coeffs(views); });
    const double cm_dec = median_ns(cm_runs, [&] { (void)quillmere::cmodel::decode_coeffs_into(cm, lengths, out); });
    const double f_enc = median_ns(runs, [&] { (void)quillmere::fast::encode_coeffs(views); });
    const double f_dec = median_ns(runs, [&] { (void)quillmere::fast::decode_coeffs_into(fast, lengths, out); });
    std::vector<std::int16_t> flat;
    for (const auto& b : bands) flat.insert(flat.end(), b.begin(), b.end());
    const bool same = quillmere::fast::decode_coeffs_into(fast, lengths, out).has_value() && out == flat;
    const double dn = static_cast<double>(n);
    std::printf("%-28s %10zu %9zu %9zu %7.4f %7.2f %7.2f %7.2f %7.2f%s\n", name.c_str(), n, cm.size(),
                fast.size(), static_cast<double>(fast.size()) / static_cast<double>(cm.size()),
                cm_enc / dn, cm_dec / dn, f_enc / dn, f_dec / dn, same ? "" : "  MISMATCH");
  }
  return 0;
}
