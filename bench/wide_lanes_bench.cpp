// Prototype, not a format: would a stream of many interleaved rANS lanes,
// stepped all at once in AVX-512 registers, decode its tokens faster than
// the fast coder's four scalar lanes?
//
//   wide_lanes_bench [--runs N] name=file.f32 ...
//
// For each signal: the quantised bands compress() makes with the default
// options; the four-lane fast stream and its decode time (tokens and raw
// bits, as shipped); then the same coefficients split into 16 and into 32
// (and 64) contiguous segments, each with its own context chain (reset at every
// band start, as the four lanes do), coded with the same static band models
// (chosen by the same code from the wide split's counts, adaptive models
// left out) and one rANS state per segment, and decoded back to tokens by
// a vector loop: 16 lanes per register, 32 and 64 as two and four
// registers interleaved (their gathers' latencies overlap).
// The prototype decodes tokens to a row-major buffer; for 32 lanes also
// tokens and raw bits together to row-major coefficients ("w32_all"), and
// checks both against the encoder's. It leaves out the rows past the last
// lane's end, the coefficients' band order, every check of a hostile
// stream, and a baseline path.
// ns per coefficient are medians of the thread's CPU time over the runs.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "coefficient_bench_support.hpp"
#include "cmodel.hpp"
#include "cmodel_checks.hpp"
#include "fast_adaptive.hpp"
#include "fast_coder.hpp"
#include "fast_model.hpp"
#include "fast_next_context.hpp"
#include "quillmere/compressor.hpp"
#include "quillmere/header.hpp"
#include "wavelet_choice.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#define WIDE_PROTOTYPE 1
#endif

namespace {

using namespace quillmere::fast;
using quillmere_bench::bands_of;
using quillmere_bench::median_ns;
using quillmere_bench::read_f32;
using quillmere_bench::thread_cpu_ns;




// The wide stream, kept in pieces: what its bytes would be is counted.
struct WideStream {
  unsigned lanes = 0;
  std::size_t seg = 0;     // rows; lane j holds [j * seg, (j + 1) * seg)
  std::size_t rows = 0;    // rows every lane has (the last lane may have fewer)
  std::size_t model_bytes = 0, raw_bits = 0;
  std::vector<std::uint32_t> states;
  std::vector<std::uint16_t> words;  // in reading order
  std::vector<std::uint8_t> tokens;  // row-major, rows x lanes, what decoding must give
  std::vector<std::int16_t> coeffs;  // the same rows' coefficients
  std::vector<std::uint8_t> raw;     // the same rows' raw bits, in decoding order, 64 bytes of padding
  // Decoding tables: per band a block of 32 views (entry offset << 5 | shift),
  // entries (token | freq << 5 | bias << 18) per table at its own precision.
  std::vector<std::uint32_t> views;
  std::vector<std::uint32_t> entries;
  std::vector<std::size_t> band_end;
};

WideStream encode_wide(const std::vector<std::vector<std::int16_t>>& bands, unsigned lanes) {
  WideStream w;
  w.lanes = lanes;
  std::size_t total = 0;
  for (const auto& b : bands) w.band_end.push_back(total += b.size());
  std::vector<std::int16_t> flat;
  for (const auto& b : bands) flat.insert(flat.end(), b.begin(), b.end());
  w.seg = (total + lanes - 1) / lanes;
  w.rows = total - (lanes - 1) * w.seg;  // the last lane's length
  // Tokens, contexts and counts, each lane's chain reset at a band start.
  std::vector<std::uint8_t> token(total), context(total);
  std::vector<BandCounts> counts(bands.size());
  for (unsigned j = 0; j < lanes; ++j) {
    std::size_t band = 0;
    ContextState cs;
    for (std::size_t i = j * w.seg; i < std::min(total, (j + 1) * w.seg); ++i) {
      bool entered = i == j * w.seg;
      while (w.band_end[band] <= i) ++band, entered = true;
      if (entered) cs = {};
      const std::uint32_t m = static_cast<std::uint32_t>(std::abs(static_cast<int>(flat[i])));
      const Token t = token_of(m);
      token[i] = t.token;
      context[i] = static_cast<std::uint8_t>(cs.context());
      counts[band][context[i]][t.token]++;
      if (t.token != 0) w.raw_bits += 1 + t.extra_bits;
      cs.push(kShapes[t.token].width);
    }
  }
  // Static models only: every band is offered as too long for the adaptive one.
  std::vector<std::uint32_t> dummy(kMaxAdaptiveBand + 1);
  std::vector<std::span<const std::uint32_t>> symbols(bands.size(), std::span<const std::uint32_t>(dummy));
  std::vector<std::uint8_t> model_bytes;
  const Models models = choose_and_write_models(counts, symbols, model_bytes);
  w.model_bytes = model_bytes.size();

  // Entry tables per model table, plus a last one for zero bands.
  std::vector<std::uint32_t> table_at(models.tables.size() + 1), shift(models.tables.size() + 1);
  for (std::size_t i = 0; i <= models.tables.size(); ++i) {
    table_at[i] = static_cast<std::uint32_t>(w.entries.size());
    if (i == models.tables.size()) {
      shift[i] = kTableBits;
      w.entries.push_back(0u | (kTableTotal << 5));
      continue;
    }
    const Table& tb = models.tables[i];
    unsigned k = kTableBits;
    for (unsigned t = 0; t < tb.tokens; ++t) {
      if (tb.freq[t] != 0) k = std::min(k, static_cast<unsigned>(std::countr_zero(tb.freq[t])));
    }
    shift[i] = k;
    for (std::uint32_t hi = 0; hi < (kTableTotal >> k); ++hi) {
      unsigned t = 0;
      while (tb.start[t] + tb.freq[t] <= (hi << k)) ++t;
      const std::uint32_t bias = (hi << k) - tb.start[t];
      w.entries.push_back(t | (std::uint32_t{tb.freq[t]} << 5) | (bias << 18));
    }
  }
  for (std::size_t b = 0; b < bands.size(); ++b) {
    for (unsigned c = 0; c < kContexts; ++c) {
      const std::uint16_t t = models.bands[b].table_of[c];
      const std::size_t i = models.bands[b].mode == BandMode::Zero || t == kNoTable ? models.tables.size() : t;
      w.views.push_back(table_at[i] << 5 | shift[i]);
    }
  }

  // rANS backwards through the decoding order (row by row, lane 0 first).
  const auto code_of = [&](std::size_t i, std::size_t band, std::uint32_t& f, std::uint32_t& s) {
    const BandModel& m = models.bands[band];
    if (m.mode == BandMode::Zero) return false;
    const Table& tb = models.tables[m.table_of[context[i]]];
    f = tb.freq[token[i]];
    s = tb.start[token[i]];
    return true;
  };
  w.states.assign(lanes, kStateLow);
  std::vector<std::uint16_t> rev;
  // The rows past the last lane's end come last in decoding order (the
  // prototype's decoder stops before them, a real one would take them one
  // by one), so they are coded first here.
  for (std::size_t r = w.seg; r-- > 0;) {
    for (unsigned j = lanes; j-- > 0;) {
      const std::size_t i = j * w.seg + r;
      if (i >= total) continue;
      std::size_t b = 0;
      while (w.band_end[b] <= i) ++b;
      std::uint32_t f, s;
      if (!code_of(i, b, f, s)) continue;
      std::uint32_t& x = w.states[j];
      if ((x >> 20) >= f) {
        rev.push_back(static_cast<std::uint16_t>(x));
        x >>= 16;
      }
      x = ((x / f) << kTableBits) + (x % f) + s;
    }
  }
  w.words.assign(rev.rbegin(), rev.rend());
  w.tokens.resize(w.rows * lanes);
  w.coeffs.resize(w.rows * lanes);
  BitWriter bits(w.raw);
  for (std::size_t r = 0; r < w.rows; ++r) {
    for (unsigned j = 0; j < lanes; ++j) {
      const std::size_t i = j * w.seg + r;
      w.tokens[r * lanes + j] = token[i];
      w.coeffs[r * lanes + j] = flat[i];
      const Token t = token_of(static_cast<std::uint32_t>(std::abs(static_cast<int>(flat[i]))));
      if (t.token != 0) bits.put((flat[i] < 0 ? 1u : 0u) | (std::uint32_t{t.extra} << 1), 1 + t.extra_bits);
    }
  }
  bits.flush();
  w.raw.resize(w.raw.size() + 64);
  return w;
}

#if WIDE_PROTOTYPE

#define WIDE_AVX512 __attribute__((target("avx2,avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2,bmi2,popcnt")))

// The next-context table with room for 4-byte gathers past its last byte.
const std::vector<std::uint8_t>& padded_next() {
  static const std::vector<std::uint8_t> t = [] {
    std::vector<std::uint8_t> v(next_context_table(), next_context_table() + kTokens * kMeanSteps);
    v.resize(v.size() + 4);
    return v;
  }();
  return t;
}

// One group of 16 lanes' decoding state.
struct Group {
  __m512i x, ctx, mean, view_base;
};

WIDE_AVX512 inline void step16(Group& g, const std::uint32_t* views, const std::uint32_t* entries,
                               const std::uint8_t* next, __m512i width_lo, __m512i width_hi,
                               const std::uint16_t*& wp, std::uint8_t* out) {
  const __m512i low12 = _mm512_set1_epi32(kTableTotal - 1);
  const __m512i slot = _mm512_and_si512(g.x, low12);
  const __m512i view = _mm512_i32gather_epi32(_mm512_add_epi32(g.view_base, g.ctx), views, 4);
  const __m512i k = _mm512_and_si512(view, _mm512_set1_epi32(31));
  const __m512i at = _mm512_add_epi32(_mm512_srli_epi32(view, 5), _mm512_srlv_epi32(slot, k));
  const __m512i e = _mm512_i32gather_epi32(at, entries, 4);
  const __m512i t = _mm512_and_si512(e, _mm512_set1_epi32(31));
  const __m512i freq = _mm512_and_si512(_mm512_srli_epi32(e, 5), _mm512_set1_epi32(0x1FFF));
  const __m512i low = _mm512_and_si512(slot, _mm512_sub_epi32(_mm512_sllv_epi32(_mm512_set1_epi32(1), k),
                                                              _mm512_set1_epi32(1)));
  __m512i x = _mm512_add_epi32(_mm512_mullo_epi32(freq, _mm512_srli_epi32(g.x, kTableBits)),
                               _mm512_add_epi32(_mm512_srli_epi32(e, 18), low));
  const __mmask16 need = _mm512_cmplt_epu32_mask(x, _mm512_set1_epi32(kStateLow));
  const __m512i w = _mm512_cvtepu16_epi32(_mm256_maskz_expandloadu_epi16(need, wp));
  wp += _mm_popcnt_u32(need);
  g.x = _mm512_mask_or_epi32(x, need, _mm512_slli_epi32(x, 16), w);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm512_cvtepi32_epi8(t));
  // Next context from the token and the mean before it; the mean moves.
  const __m512i nat = _mm512_add_epi32(_mm512_mullo_epi32(t, _mm512_set1_epi32(kMeanSteps)), g.mean);
  g.ctx = _mm512_and_si512(_mm512_i32gather_epi32(nat, reinterpret_cast<const int*>(next), 1),
                           _mm512_set1_epi32(0xFF));
  const __m512i width = _mm512_permutex2var_epi32(width_lo, t, width_hi);
  g.mean = _mm512_add_epi32(g.mean, _mm512_srai_epi32(_mm512_sub_epi32(_mm512_slli_epi32(width, 8), g.mean), 4));
}

// Lanes that reached their band's end move on; their context chains restart.
template <unsigned Groups>
WIDE_AVX512 void enter_bands(const WideStream& w, std::size_t r, std::array<std::size_t, 16 * Groups>& band,
                             Group* g) {
  constexpr unsigned L = 16 * Groups;
  alignas(64) std::array<std::uint32_t, L> ctx, mean, base;
  for (unsigned q = 0; q < Groups; ++q) {
    _mm512_store_si512(ctx.data() + 16 * q, g[q].ctx);
    _mm512_store_si512(mean.data() + 16 * q, g[q].mean);
  }
  for (unsigned j = 0; j < L; ++j) {
    const std::size_t i = j * w.seg + r;
    bool moved = r == 0;
    while (w.band_end[band[j]] <= i) ++band[j], moved = true;
    if (moved) ctx[j] = mean[j] = 0;
    base[j] = static_cast<std::uint32_t>(band[j] * kContexts);
  }
  for (unsigned q = 0; q < Groups; ++q) {
    g[q].ctx = _mm512_load_si512(ctx.data() + 16 * q);
    g[q].mean = _mm512_load_si512(mean.data() + 16 * q);
    g[q].view_base = _mm512_load_si512(base.data() + 16 * q);
  }
}

// Decodes w's tokens (rows x lanes, row-major) into out. Lanes enter a new
// band between stretches; a stretch ends where the first lane's band does.
template <unsigned Groups>
WIDE_AVX512 void decode_wide(const WideStream& w, std::uint8_t* out) {
  constexpr unsigned L = 16 * Groups;
  const std::uint8_t* next = padded_next().data();
  alignas(64) std::array<std::uint32_t, kTokens> widths{};
  for (unsigned t = 0; t < kTokens; ++t) widths[t] = kTokenWidth[t];
  const __m512i wlo = _mm512_load_si512(widths.data()), whi = _mm512_load_si512(widths.data() + 16);
  // Words past the end read zeros (the prototype trusts its own stream).
  std::vector<std::uint16_t> words(w.words);
  words.resize(words.size() + 32);
  const std::uint16_t* wp = words.data();
  std::array<std::size_t, L> band{};
  Group g[Groups];
  for (unsigned q = 0; q < Groups; ++q) {
    g[q].x = _mm512_loadu_si512(w.states.data() + 16 * q);
    g[q].ctx = g[q].mean = _mm512_setzero_si512();
  }
  enter_bands<Groups>(w, 0, band, g);
  for (std::size_t r = 0; r < w.rows;) {
    std::size_t run = w.rows - r;
    for (unsigned j = 0; j < L; ++j) run = std::min(run, w.band_end[band[j]] - (j * w.seg + r));
    const std::size_t end = r + run;
    for (; r < end; ++r) {
      for (unsigned q = 0; q < Groups; ++q) {
        step16(g[q], w.views.data(), w.entries.data(), next, wlo, whi, wp, out + r * L + 16 * q);
      }
    }
    enter_bands<Groups>(w, r, band, g);
  }
}

// The raw bits of the decoded rows, row-major like the tokens: per sixteen
// coefficients their bit counts, a running sum in the register, one 64-byte
// load and one byte permute for their bits (sixteen coefficients take at
// most 240 bits), then the arithmetic of the four-lane decoder's vector
// versions. Writes the coefficients row-major (a real decoder would write
// them in band order, which this leaves out).
WIDE_AVX512 void finish_wide(const std::uint8_t* tokens, std::size_t count, const std::uint8_t* raw,
                             std::int16_t* out) {
  alignas(64) std::array<std::uint32_t, kTokens> nb_table{}, lead_table{};
  for (unsigned t = 1; t < kTokens; ++t) {
    nb_table[t] = 1u + kShapes[t].extra_bits;
    lead_table[t] = kShapes[t].base;
  }
  const __m512i nb_lo = _mm512_load_si512(nb_table.data()), nb_hi = _mm512_load_si512(nb_table.data() + 16);
  const __m512i ld_lo = _mm512_load_si512(lead_table.data()), ld_hi = _mm512_load_si512(lead_table.data() + 16);
  const __m512i zero = _mm512_setzero_si512(), one = _mm512_set1_epi32(1);
  const __m512i spread = _mm512_broadcast_i32x4(_mm_setr_epi8(0, 0, 0, 0, 4, 4, 4, 4, 8, 8, 8, 8, 12, 12, 12, 12));
  std::size_t pos = 0;
  for (std::size_t i = 0; i + 16 <= count; i += 16) {
    const __m512i t = _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(tokens + i)));
    const __m512i nb = _mm512_permutex2var_epi32(nb_lo, t, nb_hi);
    __m512i sum = _mm512_add_epi32(nb, _mm512_alignr_epi32(nb, zero, 15));
    sum = _mm512_add_epi32(sum, _mm512_alignr_epi32(sum, zero, 14));
    sum = _mm512_add_epi32(sum, _mm512_alignr_epi32(sum, zero, 12));
    sum = _mm512_add_epi32(sum, _mm512_alignr_epi32(sum, zero, 8));
    const __m512i off = _mm512_add_epi32(_mm512_sub_epi32(sum, nb), _mm512_set1_epi32(static_cast<int>(pos & 7)));
    const __m512i bytes = _mm512_loadu_si512(raw + (pos >> 3));
    const __m512i index = _mm512_add_epi32(_mm512_shuffle_epi8(_mm512_srli_epi32(off, 3), spread),
                                           _mm512_set1_epi32(0x03020100));
    const __m512i word = _mm512_permutexvar_epi8(index, bytes);
    const __m512i mask = _mm512_sub_epi32(_mm512_sllv_epi32(one, nb), one);
    const __m512i v = _mm512_and_si512(_mm512_srlv_epi32(word, _mm512_and_si512(off, _mm512_set1_epi32(7))), mask);
    const __m512i sign = _mm512_and_si512(v, one);
    const __m512i m = _mm512_add_epi32(_mm512_permutex2var_epi32(ld_lo, t, ld_hi), _mm512_srli_epi32(v, 1));
    const __m512i c = _mm512_add_epi32(_mm512_xor_si512(m, _mm512_sub_epi32(zero, sign)), sign);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm512_cvtepi32_epi16(c));
    pos += static_cast<std::uint32_t>(_mm_extract_epi32(_mm512_extracti32x4_epi32(sum, 3), 3));
  }
}

bool wide_supported() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi2");
}

#endif

}  // namespace

int main(int argc, char** argv) {
  int runs = 11;
  std::vector<std::string> inputs;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else {
      inputs.push_back(a);
    }
  }
#if WIDE_PROTOTYPE
  if (!wide_supported()) {
    std::printf("this machine lacks AVX-512 (F, BW, VL, VBMI2): nothing to measure\n");
    return 0;
  }
  std::printf("%-24s %9s %9s %8s %9s %9s %9s %8s %8s %8s %8s %8s %8s %6s\n", "signal", "coeffs", "fast_B", "fast_ns",
              "wide16_B", "wide32_B", "wide64_B", "w16_tok", "w32_tok", "w64_tok", "w32_all", "size32", "size64",
              "same");
  for (const auto& input : inputs) {
    const auto eq = input.find('=');
    const auto bands = bands_of(read_f32(input.substr(eq + 1)));
    if (bands.empty()) continue;
    const std::vector<std::span<const std::int16_t>> views(bands.begin(), bands.end());
    std::vector<std::size_t> lengths;
    std::size_t n = 0;
    for (const auto& b : bands) lengths.push_back(b.size()), n += b.size();
    const auto fast = encode_coeffs(views);
    std::vector<std::int16_t> coeffs(n);
    const int reps = static_cast<int>(std::max<std::size_t>(1, 2000000 / n));
    const double fast_ns = median_ns(runs, [&] {
      for (int k = 0; k < reps; ++k) (void)decode_coeffs_into(fast, lengths, coeffs);
    }) / reps / static_cast<double>(n);
    const WideStream w16 = encode_wide(bands, 16), w32 = encode_wide(bands, 32), w64 = encode_wide(bands, 64);
    const auto bytes = [](const WideStream& w) {
      // K, models, raw length (LEB128, at most 4 bytes here), raw bits,
      // states, words: the layout the four-lane stream has.
      return 1 + w.model_bytes + 4 + (w.raw_bits + 7) / 8 + 4 * w.lanes + 2 * w.words.size();
    };
    std::vector<std::uint8_t> out16(w16.rows * 16), out32(w32.rows * 32), out64(w64.rows * 64);
    decode_wide<1>(w16, out16.data());
    decode_wide<2>(w32, out32.data());
    decode_wide<4>(w64, out64.data());
    const bool same = out16 == w16.tokens && out32 == w32.tokens && out64 == w64.tokens;
    // Per coefficient the rows decoded cover (all but the last lane's tail).
    const double ns16 = median_ns(runs, [&] {
      for (int k = 0; k < reps; ++k) decode_wide<1>(w16, out16.data());
    }) / reps / static_cast<double>(out16.size());
    const double ns32 = median_ns(runs, [&] {
      for (int k = 0; k < reps; ++k) decode_wide<2>(w32, out32.data());
    }) / reps / static_cast<double>(out32.size());
    std::vector<std::int16_t> c32(out32.size());
    finish_wide(out32.data(), out32.size(), w32.raw.data(), c32.data());
    const bool raw_same = c32 == w32.coeffs;
    const double ns32_raw = median_ns(runs, [&] {
      for (int k = 0; k < reps; ++k) {
        decode_wide<2>(w32, out32.data());
        finish_wide(out32.data(), out32.size(), w32.raw.data(), c32.data());
      }
    }) / reps / static_cast<double>(out32.size());
    const double ns64 = median_ns(runs, [&] {
      for (int k = 0; k < reps; ++k) decode_wide<4>(w64, out64.data());
    }) / reps / static_cast<double>(out64.size());
    const auto ratio = [&](const WideStream& w) {
      return static_cast<double>(bytes(w)) / static_cast<double>(fast.size());
    };
    std::printf("%-24s %9zu %9zu %8.2f %9zu %9zu %9zu %8.2f %8.2f %8.2f %8.2f %8.4f %8.4f %6s\n",
                input.substr(0, eq).c_str(), n, fast.size(), fast_ns, bytes(w16), bytes(w32), bytes(w64), ns16, ns32,
                ns64, ns32_raw, ratio(w32), ratio(w64), same && raw_same ? "yes" : "NO");
  }
#else
  (void)runs;
  std::printf("x86-64 with GCC or Clang only\n");
#endif
  return 0;
}
