// Coefficient model over the bit engine: one engine run for all bands, each
// band with its own block of contexts, the rANS state running on across
// band boundaries.
#include "cmodel.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <new>
#include <stdexcept>
#include <utility>

#include "bin_engine.hpp"
#include "cmodel_checks.hpp"

namespace quillmere::cmodel {
namespace {

// The engine is this coder's only building block.
using namespace bin_engine;

constexpr unsigned kMaxBits = 16;
constexpr std::size_t kMaxBands = 255;
// A band's block: zero flag after a zero, zero flag after a nonzero, sign,
// then the magnitude tree at kTree + node, node = 1 .. 2^b - 1 (kTree + 0 is
// never addressed).
constexpr std::size_t kTree = 3;
// The unchecked path decodes one coefficient: zero flag, sign and at most
// 16 magnitude bits, each needing at most one 16-bit word.
constexpr std::size_t kFastBytesPerCoeff = 2 * (2 + kMaxBits);

// Saturating, so that hostile lengths cannot wrap around to a small total.
std::size_t total_length(std::span<const std::size_t> lengths) {
  std::size_t sum = 0;
  for (const std::size_t n : lengths) sum = n > SIZE_MAX - sum ? SIZE_MAX : sum + n;
  return sum;
}

// Magnitudes in 32 bits, so that -32768 counts as 32768 and needs 16 bits.
struct BandStats {
  std::uint32_t bits;
  std::size_t nonzero;
};

BandStats band_stats(std::span<const std::int16_t> band) {
  std::uint32_t largest = 0;
  std::size_t nonzero = 0;
  for (const std::int16_t w : band) {
    const auto magnitude = static_cast<std::uint32_t>(w < 0 ? -std::int32_t{w} : std::int32_t{w});
    largest = std::max(largest, magnitude);
    nonzero += w != 0;
  }
  return {largest == 0 ? 1u : static_cast<std::uint32_t>(std::bit_width(largest)), nonzero};
}

// The three contexts before a band's tree are touched by every
// coefficient; hot loops keep them in registers for the band instead of
// going through the table (and its store-to-load forwarding) each time. No
// other band addresses them, so they need no writing back.
struct BandScalars {
  std::uint16_t after_zero = kProbInit;
  std::uint16_t after_nonzero = kProbInit;
  std::uint16_t sign = kProbInit;

  std::uint32_t zero_flag(unsigned z) const { return z ? after_nonzero : after_zero; }
  void adapt_zero_flag(unsigned z, std::uint32_t p, unsigned bit) {
    const std::uint16_t next = adapt(p, bit);
    after_nonzero = z ? next : after_nonzero;
    after_zero = z ? after_zero : next;
  }
};

// Where the modelling of a band stands between two runs of its
// coefficients (the tree lives in the table).
struct BandState {
  BandScalars scalars;
  unsigned z = 0;
};

// Models the coefficients of `run` from `state` on; `tree` is the table at
// the band's magnitude tree (base + 3), indexed by node. With Emit, the
// symbols are written from `out` on and the end is returned; without, the
// probabilities only adapt (out is not touched). after(n) runs after each
// coefficient, n its symbol count as a constant. The bit count is a
// template argument so that the magnitude loop unrolls into straight code:
// every node is then the magnitude's leading bits with a marker bit above
// them, computed from the magnitude alone rather than from the node before.
template <unsigned Bits, bool Emit, class AfterCoefficient>
std::uint16_t* model_run(std::uint16_t* out, std::uint16_t* tree,
                         std::span<const std::int16_t> run, BandState& state,
                         AfterCoefficient&& after) {
  BandScalars scalars = state.scalars;
  unsigned z = state.z;
  const auto emit = [&](std::size_t k, std::uint16_t s) {
    if constexpr (Emit) out[k] = s;
    return s;
  };
  for (const std::int16_t w : run) {
    const unsigned nonzero = w != 0;
    const std::uint32_t pz = scalars.zero_flag(z);
    emit(0, symbol(pz, nonzero));
    scalars.adapt_zero_flag(z, pz, nonzero);
    z = nonzero;
    if constexpr (Emit) ++out;
    if (!nonzero) {
      after(std::integral_constant<std::size_t, 1>{});
      continue;
    }

    const unsigned negative = w < 0;
    emit(0, symbol(scalars.sign, negative));
    scalars.sign = adapt(scalars.sign, negative);
    if constexpr (Emit) ++out;
    const std::uint32_t m =
        static_cast<std::uint32_t>(negative ? -std::int32_t{w} : std::int32_t{w}) - 1;
    [&]<unsigned... K>(std::integer_sequence<unsigned, K...>) {
      // Bit k (from the top) is coded at node 1 followed by the k bits above it.
      ((tree[(m >> (Bits - K)) | (1u << K)] = kAdapted[emit(
            K, symbol(tree[(m >> (Bits - K)) | (1u << K)], (m >> (Bits - 1 - K)) & 1u))]),
       ...);
    }(std::make_integer_sequence<unsigned, Bits>{});
    if constexpr (Emit) out += Bits;
    after(std::integral_constant<std::size_t, 2 + Bits>{});
  }
  state = {scalars, z};
  return out;
}

constexpr auto kNothingAfter = [](auto) {};

// Coefficients modelled per run of a large band. The engine codes backwards
// while probabilities adapt forwards, so a band is modelled in runs from
// its last run to its first, each run starting from the probabilities a
// forward pass recorded at its start. The queue then holds two runs (a
// few hundred kilobytes each, in cache) instead of two bytes per modelled
// bit of the whole band, several times the signal's size. The forward pass is
// paid back by overlapping: while run r is coded, run r - 1 is modelled in
// the same loop. Coding one stream is a single long chain of dependent
// multiplies that leaves most of the processor idle, and modelling is
// independent work that fills it. (The byte-plane coder, arans.cpp, does
// not overlap: it codes two planes at once, and their two chains fill
// that room already.)
constexpr std::size_t kRunCoefficients = std::size_t{1} << 13;

constexpr std::size_t run_length(unsigned bits) {
  // A recorded state costs the tree's 2^bits entries; runs of at least four
  // times that many coefficients keep the records below a byte per
  // coefficient even for 16-bit bands.
  return std::max(kRunCoefficients, std::size_t{4} << bits);
}

template <unsigned Bits>
void encode_band(std::span<const std::int16_t> band, std::uint16_t* tree,
                 std::array<std::uint16_t*, 2> queues, BackwardCoder& coder) {
  constexpr std::size_t kNodes = std::size_t{1} << Bits;  // tree[0] is unused but copied along
  constexpr std::size_t kRun = run_length(Bits);
  const std::size_t runs = (band.size() + kRun - 1) / kRun;
  if (runs == 0) return;
  const auto run_at = [&](std::size_t r) {
    return band.subspan(r * kRun).first(std::min(kRun, band.size() - r * kRun));
  };

  // The forward pass: the state at the start of every run after the first.
  std::vector<BandState> states(runs);
  std::vector<std::uint16_t> trees((runs - 1) * kNodes);
  BandState state;
  for (std::size_t r = 0; r + 1 < runs; ++r) {
    model_run<Bits, false>(nullptr, tree, run_at(r), state, kNothingAfter);
    states[r + 1] = state;
    std::copy_n(tree, kNodes, trees.begin() + static_cast<std::ptrdiff_t>(r * kNodes));
  }

  // The last run finds its probabilities in the table already.
  std::uint16_t* coding = queues[0];
  std::uint16_t* modelling = queues[1];
  const std::uint16_t* left =
      model_run<Bits, true>(coding, tree, run_at(runs - 1), states[runs - 1], kNothingAfter);
  RansState c = coder.take();
  for (std::size_t r = runs - 1; r-- > 0;) {
    if (r == 0) {
      std::fill_n(tree, kNodes, kProbInit);
    } else {
      std::copy_n(trees.begin() + static_cast<std::ptrdiff_t>((r - 1) * kNodes), kNodes, tree);
    }
    // Each modelled coefficient codes as many symbols of the later run as
    // it queued, which keeps the two in step; the rest is coded after.
    const std::uint16_t* const first = coding;
    const std::uint16_t* end = model_run<Bits, true>(
        modelling, tree, run_at(r), states[r], [&](auto queued) {
          if (left - first >= static_cast<std::ptrdiff_t>(queued())) [[likely]] {
            for (std::size_t k = 0; k < queued(); ++k) c.code(*--left);
          }
        });
    while (left > first) c.code(*--left);
    std::swap(coding, modelling);
    left = end;
  }
  while (left > coding) c.code(*--left);
  coder.give_back(c);
}

// The most symbols one run of a band with this bit count can queue.
std::size_t max_run_symbols(std::size_t band_size, unsigned bits) {
  return std::min(band_size, run_length(bits)) * (2 + bits);
}

// The band's bit count, 1 to 16, as a template argument.
void encode_band(std::span<const std::int16_t> band, unsigned bits, std::uint16_t* tree,
                 std::array<std::uint16_t*, 2> queues, BackwardCoder& coder) {
  [&]<unsigned... B>(std::integer_sequence<unsigned, B...>) {
    ((bits == B + 1 ? (encode_band<B + 1>(band, tree, queues, coder), true) : false) || ...);
  }(std::make_integer_sequence<unsigned, kMaxBits>{});
}

// One coefficient; z is the previous coefficient's zero flag and becomes
// this one's. In the magnitude tree both children of a node are loaded
// while its bit is being decoded, as in the byte-plane coder.
template <bool Checked>
std::int16_t decode_coeff(BinDec& dec, std::uint16_t* tree, unsigned bits, BandScalars& scalars,
                          unsigned& z) {
  const std::uint32_t pz = scalars.zero_flag(z);
  const unsigned nonzero = dec.decode<Checked>(pz);
  scalars.adapt_zero_flag(z, pz, nonzero);
  z = nonzero;
  if (!nonzero) return 0;

  const std::uint32_t ps = scalars.sign;
  const unsigned negative = dec.decode<Checked>(ps);
  scalars.sign = adapt(ps, negative);

  std::size_t node = 1;
  if (bits > 0) {
    std::uint32_t p = tree[1];
    for (unsigned k = 1; k < bits; ++k) {
      const std::uint32_t p0 = tree[2 * node];
      const std::uint32_t p1 = tree[2 * node + 1];
      const unsigned bit = dec.decode<Checked>(p);
      tree[node] = adapt(p, bit);
      node = 2 * node + bit;
      p = select_by_bit(bit, p1, p0);
    }
    const unsigned bit = dec.decode<Checked>(p);  // the leaves' children lie outside the band
    tree[node] = adapt(p, bit);
    node = 2 * node + bit;
  }
  // The tree leaves at node 2^b + (|w| - 1). With b = 16 a hostile stream
  // can reach |w| = 65536, which wraps to 0 in the 16-bit result.
  const auto magnitude = static_cast<std::uint32_t>(node - (std::size_t{1} << bits)) + 1;
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(negative ? 0u - magnitude : magnitude));
}

// Decodes band i to outs[i]; preflight() must have passed.
std::expected<void, CModelError> decode_bands(std::span<const std::uint8_t> stream,
                                              std::span<const std::size_t> lengths,
                                              std::span<std::int16_t* const> outs,
                                              StreamEnding ending = StreamEnding::Open) {
  const std::size_t k = lengths.size();
  std::vector<std::uint32_t> bits(stream.begin() + 1, stream.begin() + 1 + static_cast<std::ptrdiff_t>(k));
  const Layout lay = layout(bits);
  auto created = BinDec::create(lay.total, stream.subspan(k + 1));
  if (!created) return std::unexpected(CModelError::Truncated);
  BinDec dec = std::move(*created);

  for (std::size_t i = 0; i < k; ++i) {
    std::uint16_t* const tree = dec.table() + lay.offsets[i] + kTree;
    const unsigned b = bits[i];
    std::int16_t* const out = outs[i];
    BandScalars scalars;
    unsigned z = 0;
    for (std::size_t j = 0; j < lengths[i]; ++j) {
      if (dec.can_fast(kFastBytesPerCoeff)) [[likely]] {
        out[j] = decode_coeff<false>(dec, tree, b, scalars, z);
      } else {
        out[j] = decode_coeff<true>(dec, tree, b, scalars, z);
        if (dec.truncated()) return std::unexpected(CModelError::Truncated);
      }
    }
  }
  if (ending == StreamEnding::Exact && !dec.exhausted()) return std::unexpected(CModelError::BadLength);
  return {};
}

}  // namespace

Layout layout(std::span<const std::uint32_t> bits) {
  Layout lay;
  lay.offsets.reserve(bits.size());
  lay.bits.assign(bits.begin(), bits.end());
  for (const std::uint32_t b : bits) {
    lay.offsets.push_back(lay.total);
    lay.total += (std::size_t{1} << b) + kTree;
  }
  return lay;
}

std::vector<std::uint8_t> encode_coeffs(std::span<const std::span<const std::int16_t>> bands) {
  if (bands.size() > kMaxBands) throw std::invalid_argument("more than 255 bands");
  std::vector<std::uint32_t> bits;
  bits.reserve(bands.size());
  std::size_t symbols = 0;
  for (const auto band : bands) {
    const BandStats stats = band_stats(band);
    bits.push_back(stats.bits);
    symbols += band.size() + stats.nonzero * (1 + stats.bits);
  }
  const Layout lay = layout(bits);

  // Bands share no context and each starts from fresh probabilities, so a
  // band's symbols depend on nothing outside it: the bands are modelled and
  // coded from the last to the first, as the engine codes backwards.
  std::size_t queue_size = 0;
  for (std::size_t i = 0; i < bands.size(); ++i) {
    queue_size = std::max(queue_size, max_run_symbols(bands[i].size(), bits[i]));
  }
  std::vector<std::uint16_t> table(std::max<std::size_t>(lay.total, 1), kProbInit);
  SymbolQueue queue;
  queue.resize(2 * queue_size);
  const std::array<std::uint16_t*, 2> queues{queue.data(), queue.data() + queue_size};
  BackwardCoder coder(symbols);
  for (std::size_t i = bands.size(); i-- > 0;) {
    encode_band(bands[i], bits[i], table.data() + lay.offsets[i] + kTree, queues, coder);
  }

  std::vector<std::uint8_t> out;
  out.reserve(1 + bands.size() + 4 + symbols / 8);
  out.push_back(static_cast<std::uint8_t>(bands.size()));
  for (const std::uint32_t b : bits) out.push_back(static_cast<std::uint8_t>(b));
  coder.finish_into(out);
  return out;
}

bool could_hold(std::size_t stream_size, std::size_t coefficients) noexcept {
  // The count byte and four state bytes at least; every coefficient codes
  // at least its zero flag. The K bit counts are not subtracted, which only
  // makes the test more lenient.
  if (stream_size < 5) return false;
  return coefficients <= max_symbols(stream_size - 1);
}

std::expected<void, CModelError> preflight(std::span<const std::uint8_t> stream,
                                           std::span<const std::size_t> lengths) {
  const std::size_t k = lengths.size();
  if (stream.empty()) return std::unexpected(CModelError::Truncated);
  if (stream[0] != k) return std::unexpected(CModelError::BadLength);
  if (stream.size() <= k) return std::unexpected(CModelError::Truncated);
  for (std::size_t i = 1; i <= k; ++i) {
    if (stream[i] > kMaxBits) return std::unexpected(CModelError::BadLength);
  }
  const std::size_t payload = stream.size() - k - 1;
  if (payload < 4) return std::unexpected(CModelError::Truncated);
  // Each coefficient is at least one coded bit; a payload that cannot carry
  // that many bits would run out of words while decoding.
  if (total_length(lengths) > max_symbols(payload)) {
    return std::unexpected(CModelError::Truncated);
  }
  return {};
}

std::expected<void, CModelError> decode_coeffs_into(std::span<const std::uint8_t> stream,
                                                    std::span<const std::size_t> lengths,
                                                    std::span<std::int16_t> out, StreamEnding ending) {
  if (out.size() != total_length(lengths)) return std::unexpected(CModelError::BadLength);
  if (auto ok = preflight(stream, lengths); !ok) return ok;
  try {
    std::vector<std::int16_t*> outs(lengths.size());
    std::int16_t* next = out.data();
    for (std::size_t i = 0; i < lengths.size(); ++i) {
      outs[i] = next;
      next += lengths[i];
    }
    return decode_bands(stream, lengths, outs, ending);
  } catch (const std::bad_alloc&) {
    return std::unexpected(CModelError::OutOfMemory);
  }
}

std::expected<std::vector<std::vector<std::int16_t>>, CModelError> decode_coeffs(
    std::span<const std::uint8_t> stream, std::span<const std::size_t> lengths) {
  if (auto ok = preflight(stream, lengths); !ok) return std::unexpected(ok.error());
  try {
    // Only now, with the lengths known to fit the stream, are the bands
    // allocated.
    std::vector<std::vector<std::int16_t>> bands(lengths.size());
    std::vector<std::int16_t*> outs(lengths.size());
    for (std::size_t i = 0; i < lengths.size(); ++i) {
      bands[i].resize(lengths[i]);
      outs[i] = bands[i].data();
    }
    if (auto ok = decode_bands(stream, lengths, outs); !ok) return std::unexpected(ok.error());
    return bands;
  } catch (const std::bad_alloc&) {
    return std::unexpected(CModelError::OutOfMemory);
  }
}

}  // namespace quillmere::cmodel
