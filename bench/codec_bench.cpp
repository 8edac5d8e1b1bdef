// Throughput of compress and decompress on 10^6 samples of a realistic
// signal (speech-like: chirps and bursts over a slow drift, plus noise), for
// every wavelet and coder, with the time split across the pipeline stages.
// Prints medians; not a test.
#include <cstdio>
#include <cstring>
#include <vector>

#include "arans.hpp"
#include "bench_support.hpp"
#include "cmodel.hpp"
#include "deflate_codec.hpp"
#include "quantizer.hpp"
#include "quillmere/compressor.hpp"
#include "quillmere/decompressor.hpp"
#include "wavelet_choice.hpp"

namespace {

using quillmere_bench::median_seconds;
using quillmere_bench::speech_like;

const char* method_name(quillmere::Method m) {
  static const char* names[] = {"cdf53", "cdf97", "db4", "sym4"};
  return names[static_cast<int>(m)];
}

const char* coder_name(quillmere::Coder c) {
  switch (c) {
    case quillmere::Coder::Deflate: return "deflate";
    case quillmere::Coder::Arans: return "arans";
    default: return "cmodel";
  }
}

}  // namespace

int main() {
  using namespace quillmere;
  constexpr std::size_t n = 1'000'000;
  const auto x = speech_like(n);
  const double mb = static_cast<double>(n * sizeof(float)) / 1e6;
  constexpr int runs = 7;

  std::vector<float> copy(n);
  const double t_memcpy = median_seconds(runs, [&] { std::memcpy(copy.data(), x.data(), n * 4); });
  std::printf("reference memcpy: %.0f MB/s\n\n", mb / t_memcpy);

  std::printf("| method | coder | ratio | compress MB/s | decompress MB/s | transform ms | quantise ms | code ms | decode ms |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|\n");
  for (Method m : {Method::Cdf53, Method::Cdf97, Method::Db4, Method::Sym4}) {
    for (Coder c : {Coder::Deflate, Coder::Arans, Coder::CModel}) {
      CodecOptions o;
      o.method = m;
      o.coder = c;
      const auto container = compress(x, o);
      if (!container) {
        std::printf("compress failed: %s\n", container.error().message().c_str());
        return 1;
      }
      const double t_c = median_seconds(runs, [&] { (void)compress(x, o); });
      const double t_d = median_seconds(runs, [&] { (void)decompress(*container); });

      // Stage split: the transform and the quantiser alone, then the coder on
      // the quantised bands.
      const auto exec = make_executor(m);
      const auto levels = pick_levels(n, m);
      const double t_dwt = median_seconds(runs, [&] { (void)exec->multi_dwt(x, levels); });
      const auto dwt = exec->multi_dwt(x, levels);
      std::vector<std::vector<std::int16_t>> bands;
      const double t_q = median_seconds(runs, [&] {
        bands.clear();
        const auto& a = dwt->levels.back().approximation;
        bands.emplace_back(a.size());
        quantise(a, 2048.0f, bands.back());
        for (const auto& l : dwt->levels) {
          bands.emplace_back(l.details.size());
          quantise(l.details, 2048.0f, bands.back());
          apply_dead_zone(bands.back(), 2);
        }
      });
      std::vector<std::span<const std::int16_t>> views(bands.begin(), bands.end());
      std::vector<std::int16_t> flat;
      for (const auto& b : bands) flat.insert(flat.end(), b.begin(), b.end());
      const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(flat.data()),
                                                flat.size() * 2);
      double t_code = 0, t_decode = 0;
      if (c == Coder::CModel) {
        const auto s = cmodel::encode_coeffs(views);
        std::vector<std::size_t> lengths;
        for (const auto& b : bands) lengths.push_back(b.size());
        std::vector<std::int16_t> out(flat.size());
        t_code = median_seconds(runs, [&] { (void)cmodel::encode_coeffs(views); });
        t_decode = median_seconds(runs, [&] { (void)cmodel::decode_coeffs_into(s, lengths, out); });
      } else if (c == Coder::Arans) {
        const auto s = arans::encode_stream(bytes);
        t_code = median_seconds(runs, [&] { (void)arans::encode_stream(bytes); });
        t_decode = median_seconds(runs, [&] { (void)arans::decode_stream(s); });
      } else {
        const auto s = deflate_raw(bytes);
        t_code = median_seconds(runs, [&] { (void)deflate_raw(bytes); });
        t_decode = median_seconds(runs, [&] { (void)inflate_raw(*s, bytes.size()); });
      }
      std::printf("| %s | %s | %.2f | %.0f | %.0f | %.2f | %.2f | %.2f | %.2f |\n", method_name(m),
                  coder_name(c), mb * 1e6 / static_cast<double>(container->size()), mb / t_c,
                  mb / t_d, t_dwt * 1e3, t_q * 1e3, t_code * 1e3, t_decode * 1e3);
    }
  }
  return 0;
}
