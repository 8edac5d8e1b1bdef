// A whole bounded encode that ends in an integer unit, and its decode, as
// the tools run them, in a plain program that profilers can see into:
//
//   integer_unit_bench [--runs N] [--only] [--fast] [--decode] FRACTION NAME=PATH...
//
// PATH holds raw little-endian float32 samples; FRACTION is the max-error
// bound as a share of the signal's range (0.001 for 0.1 %). --only asks for
// the integer coder alone (coders=["integer"]), otherwise the tools choose;
// --fast asks for the fast effort; --decode times the decode alone (for a
// profile of it).
// Prints the unit's bytes, coder and hash and the median CPU time of
// encode_unit and decode_unit per signal, in MB/s against float32.
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "quillmere_tools/channel_unit.hpp"

namespace {

double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

template <class F>
double median_cpu(int runs, F&& f) {
  std::vector<double> t;
  for (int i = 0; i < runs; ++i) {
    const double start = cpu_seconds();
    f();
    t.push_back(cpu_seconds() - start);
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  bool only = false;
  bool decode_only = false;
  bool fast = false;
  int at = 1;
  for (; at < argc && argv[at][0] == '-' && argv[at][1] == '-'; ++at) {
    const std::string flag = argv[at];
    if (flag == "--only") {
      only = true;
    } else if (flag == "--fast") {
      fast = true;
    } else if (flag == "--decode") {
      decode_only = true;
    } else if (flag == "--runs" && at + 1 < argc) {
      runs = std::atoi(argv[++at]);
    } else {
      std::fprintf(stderr, "unknown flag %s\n", flag.c_str());
      return 2;
    }
  }
  if (argc - at < 2 || runs < 1) {
    std::fprintf(stderr, "usage: %s [--runs N] [--only] [--fast] [--decode] FRACTION NAME=PATH...\n", argv[0]);
    return 2;
  }
  const double fraction = std::atof(argv[at++]);
  for (; at < argc; ++at) {
    const std::string arg = argv[at];
    const auto eq = arg.find('=');
    const std::string name = eq == std::string::npos ? arg : arg.substr(0, eq);
    const std::vector<float> x = quillmere_bench::read_f32(eq == std::string::npos ? arg : arg.substr(eq + 1));
    if (x.empty()) {
      std::fprintf(stderr, "%s: no samples\n", name.c_str());
      return 1;
    }
    const auto [lo, hi] = std::minmax_element(x.begin(), x.end());
    quillmere_tools::UnitRequest request;
    request.bounds.max_error = fraction * (static_cast<double>(*hi) - static_cast<double>(*lo));
    if (only) request.integer = quillmere_tools::IntegerUse::Only;
    if (fast) request.effort = quillmere_tools::SearchEffort::Fast;
    const quillmere_tools::SignalView view = std::span<const float>(x);
    auto unit = quillmere_tools::encode_unit(view, request);
    if (!unit) {
      std::fprintf(stderr, "%s: %s\n", name.c_str(), unit.error().message.c_str());
      return 1;
    }
    const double encode =
        decode_only ? 0.0 : median_cpu(runs, [&] { (void)quillmere_tools::encode_unit(view, request); });
    const double decode = median_cpu(runs, [&] { (void)quillmere_tools::decode_unit(unit->bytes); });
    const double mb = 4.0 * static_cast<double>(x.size()) / 1e6;
    // FNV-1a of the unit, to compare the bytes of two builds.
    std::uint64_t hash = 14695981039346656037ull;
    for (const std::uint8_t b : unit->bytes) hash = (hash ^ b) * 1099511628211ull;
    std::printf("%-24s %9zu B coder %u  encode %8.1f MB/s  decode %8.1f MB/s  fnv %016llx\n", name.c_str(),
                unit->bytes.size(), static_cast<unsigned>(unit->bytes[14]), mb / encode, mb / decode,
                static_cast<unsigned long long>(hash));
  }
  return 0;
}
