// Byte-plane coder over the bit engine. The planes are never copied out:
// both directions walk the interleaved bytes with a stride of two.
#include "arans.hpp"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <utility>

#include "arans_parts.hpp"
#include "bin_engine.hpp"

namespace quillmere::arans {
namespace {

// The engine is this coder's only building block.
using namespace bin_engine;

constexpr std::size_t kRawMax = 5;  // streams this short are stored as they are
// Context bits c: each of the 2^c trees per plane has 256 probabilities that
// must learn from the data. Below 16 KiB of input (8 Ki bytes a plane) the
// 2^8 trees of c = 8 would each see a few dozen bytes and code worse than
// they learn; 2^3 trees learn quickly and still separate small magnitudes
// from large ones by the previous byte's top bits. From 16 KiB on, c = 8
// (the whole previous byte) pays for its 64 Ki contexts a plane.
constexpr std::size_t kWideContextFrom = 16384;
constexpr unsigned kNarrowContextBits = 3;
constexpr unsigned kWideContextBits = 8;
// A context is 8 bits of the previous byte at most: the byte has no more.
constexpr unsigned kMaxContextBits = 8;
// The format's limit on pairs: 2^28 pairs, 512 MiB of output. It bounds
// what a stream header can make a reader allocate, whatever the input, and
// every reader refuses more, so a longer stream is not valid. (encode_stream
// does not refuse longer input: a signal of more than 2^28 coefficients
// coded with arans gives a container no reader accepts.)
constexpr std::uint64_t kMaxPairs = 1ull << 28;
// The unchecked path decodes one byte (8 symbols, at most one word each).
constexpr std::size_t kFastBytesPerByte = 2 * 8;

std::size_t contexts_for(unsigned context_bits) { return std::size_t{256} << context_bits; }

// Bit tree: node 1 is the most significant bit, node -> 2 node + bit, so the
// node after 8 bits is 256 + the byte. The previous byte's top c bits pick
// one of 2^c trees.
std::size_t tree_base(unsigned prev, unsigned context_bits) {
  return std::size_t{prev >> (8 - context_bits)} << 8;
}

// Models one byte v after `prev` through the plane's table: its 8 symbols
// go to out[0..8) when Emit; without, the probabilities only adapt.
template <bool Emit>
[[gnu::always_inline]] inline void model_byte(unsigned v, unsigned prev, unsigned context_bits,
                                              std::uint16_t* table, std::uint16_t* out) {
  std::uint16_t* const tree = table + tree_base(prev, context_bits);
  std::size_t node = 1;
  for (int k = 7; k >= 0; --k) {
    const unsigned bit = (v >> k) & 1u;
    const std::uint16_t s = symbol(tree[node], bit);
    if constexpr (Emit) out[7 - k] = s;
    tree[node] = kAdapted[s];
    node = 2 * node + bit;
  }
}

// Models the n bytes src[0], src[stride], ... (n > 0).
BinEnc model_plane(const std::uint8_t* src, std::size_t n, std::size_t stride,
                   unsigned context_bits) {
  BinEnc enc(contexts_for(context_bits));
  std::uint16_t* const out = enc.claim(8 * n);
  unsigned prev = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned v = src[i * stride];
    model_byte<true>(v, prev, context_bits, enc.table(), out + 8 * i);
    prev = v;
  }
  return enc;
}

// Pairs per run when both planes of a long stream are coded. The engine
// codes backwards while probabilities adapt forwards; queuing every
// modelled bit of both planes would take 32 bytes per pair, eight times
// the signal. Instead a forward pass records both tables at the start of
// every run, and the runs are then modelled again from the last to the
// first, each coded as soon as it is modelled. The queue then holds 2 x 8
// symbols per pair of one run (4 MiB) and the records 2 x 128 KiB per run,
// 2 bytes per pair at most. The coefficient model overlaps modelling the
// next run with coding this one (cmodel.cpp), because its single coding
// chain leaves the processor idle between dependent multiplies; here the
// two planes' chains are interleaved already and fill that room, so
// overlapping the modelling as well only competes with them.
constexpr std::size_t kRunPairs = std::size_t{1} << 17;

// Both planes of `pairs` interleaved byte pairs into out_even and out_odd,
// with the bytes of two separate model_plane().finish_into() calls.
void encode_planes(const std::uint8_t* data, std::size_t pairs, unsigned context_bits,
                   std::vector<std::uint8_t>& out_even, std::vector<std::uint8_t>& out_odd) {
  const std::size_t runs = (pairs + kRunPairs - 1) / kRunPairs;
  const std::size_t contexts = contexts_for(context_bits);
  const auto run_pairs = [&](std::size_t r) { return std::min(kRunPairs, pairs - r * kRunPairs); };

  std::vector<std::uint16_t> tables(2 * contexts, kProbInit);
  std::uint16_t* const table[2] = {tables.data(), tables.data() + contexts};
  // Models run r of both planes from the tables as they stand; with Emit,
  // the symbols of plane p go to out[p]. The byte before a run is its
  // context, read where it lies.
  const auto model_run = [&]<bool Emit>(std::size_t r, std::uint16_t* const* out) {
    const std::uint8_t* pair = data + 2 * r * kRunPairs;
    unsigned prev[2] = {r == 0 ? 0u : pair[-2], r == 0 ? 0u : pair[-1]};
    const std::size_t n = run_pairs(r);
    for (std::size_t i = 0; i < n; ++i, pair += 2) {
      for (int plane = 0; plane < 2; ++plane) {
        model_byte<Emit>(pair[plane], prev[plane], context_bits, table[plane],
                         Emit ? out[plane] + 8 * i : nullptr);
        prev[plane] = pair[plane];
      }
    }
    return n;
  };
  // Forward pass: both tables at the start of runs 1 ..
  std::vector<std::uint16_t> recorded(2 * contexts * (runs - 1));
  for (std::size_t r = 0; r + 1 < runs; ++r) {
    model_run.template operator()<false>(r, nullptr);
    std::copy_n(tables.data(), 2 * contexts,
                recorded.begin() + static_cast<std::ptrdiff_t>(2 * contexts * r));
  }

  // One run of each plane at a time, modelled and then coded backwards,
  // both planes' chains interleaved.
  const std::size_t run_symbols = 8 * std::min(pairs, kRunPairs);
  SymbolQueue queue;
  queue.resize(2 * run_symbols);
  std::uint16_t* const queued[2] = {queue.data(), queue.data() + run_symbols};
  BackwardCoder coders[2] = {BackwardCoder(8 * pairs), BackwardCoder(8 * pairs)};
  RansState c[2] = {coders[0].take(), coders[1].take()};
  for (std::size_t r = runs; r-- > 0;) {
    // The last run finds its tables in place already.
    if (r + 1 < runs) {
      if (r == 0) {
        std::fill(tables.begin(), tables.end(), kProbInit);
      } else {
        std::copy_n(recorded.begin() + static_cast<std::ptrdiff_t>(2 * contexts * (r - 1)),
                    2 * contexts, tables.data());
      }
    }
    const std::size_t n = model_run.template operator()<true>(r, queued);
    for (std::size_t k = 8 * n; k-- > 0;) {
      c[0].code(queued[0][k]);
      c[1].code(queued[1][k]);
    }
  }
  coders[0].give_back(c[0]);
  coders[1].give_back(c[1]);
  coders[0].finish_into(out_even);
  coders[1].finish_into(out_odd);
}

// `tree` is the table at the byte's tree base. Both children of the current
// node are loaded while its bit is still being decoded, which takes the
// table's load latency off the chain from one bit to the next; the path of
// a byte never revisits a node, so the early loads cannot be stale.
template <bool Checked>
[[gnu::always_inline]] inline unsigned decode_byte(BinDec& dec, std::uint16_t* tree) {
  std::size_t node = 1;
  std::uint32_t p = tree[1];
  for (int k = 0; k < 7; ++k) {
    const std::uint32_t p0 = tree[2 * node];
    const std::uint32_t p1 = tree[2 * node + 1];
    const unsigned bit = dec.decode<Checked>(p);
    tree[node] = adapt(p, bit);
    node = 2 * node + bit;
    p = select_by_bit(bit, p1, p0);
  }
  const unsigned bit = dec.decode<Checked>(p);  // a leaf: no children to load
  tree[node] = adapt(p, bit);
  return static_cast<unsigned>(2 * node + bit - 256);
}

// The tests decode_plane makes before it touches the output, in its order.
// The capacity test refuses, as Truncated, a byte count that the coded bytes
// could not deliver even at the cheapest possible bit: decoding would end in
// Truncated anyway, only after allocating and working for it.
std::expected<void, AransError> check_plane(std::span<const std::uint8_t> coded, std::size_t n) {
  if (n == 0) return {};
  if (coded.size() < 4) return std::unexpected(AransError::Truncated);
  if (n > max_symbols(coded.size()) / 8) return std::unexpected(AransError::Truncated);
  return {};
}

// One plane being decoded to dst[0], dst[stride], ...
struct PlaneDecoder {
  BinDec dec;
  unsigned context_bits;
  std::uint8_t* dst;
  std::size_t stride;
  unsigned prev = 0;

  // Byte i; false when the coded bytes ran out. Inlined, so that the
  // decoder's state stays in registers.
  [[gnu::always_inline]] bool step(std::size_t i) {
    std::uint16_t* const tree = dec.table() + tree_base(prev, context_bits);
    if (dec.can_fast(kFastBytesPerByte)) [[likely]] {
      prev = decode_byte<false>(dec, tree);
    } else {
      prev = decode_byte<true>(dec, tree);
      if (dec.truncated()) return false;
    }
    dst[i * stride] = static_cast<std::uint8_t>(prev);
    return true;
  }
};

std::expected<PlaneDecoder, AransError> plane_decoder(std::span<const std::uint8_t> coded,
                                                      unsigned context_bits, std::uint8_t* dst,
                                                      std::size_t stride) {
  auto dec = BinDec::create(contexts_for(context_bits), coded);
  if (!dec) return std::unexpected(AransError::Truncated);
  return PlaneDecoder{std::move(*dec), context_bits, dst, stride};
}

void put_leb128(std::vector<std::uint8_t>& out, std::uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<std::uint8_t>((v & 0x7f) | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(v));
}

std::size_t leb128_size(std::uint64_t v) {
  std::size_t n = 1;
  for (; v >= 0x80; v >>= 7) ++n;
  return n;
}

std::expected<std::vector<std::uint8_t>, AransError> decode_stream_impl(
    std::span<const std::uint8_t> stream, StreamEnding ending) {
  const std::size_t m = stream.size();
  if (m <= kRawMax) return std::vector<std::uint8_t>(stream.begin(), stream.end());

  const std::size_t odd = stream[0] & 1u;
  const unsigned context_bits = stream[1];
  if (context_bits > kMaxContextBits) return std::unexpected(AransError::BadLength);

  std::size_t pos = 2;
  const auto pairs = rv(stream, pos);
  if (!pairs) return std::unexpected(pairs.error());
  if (*pairs > kMaxPairs) return std::unexpected(AransError::BadLength);
  const auto even_len = rv(stream, pos);
  if (!even_len) return std::unexpected(even_len.error());
  if (*even_len > SIZE_MAX - pos) return std::unexpected(AransError::BadLength);
  if (pos + *even_len > m - odd) return std::unexpected(AransError::Truncated);

  const std::size_t p = static_cast<std::size_t>(*pairs);
  const auto even = stream.subspan(pos, static_cast<std::size_t>(*even_len));
  const auto odd_plane = stream.subspan(pos + even.size(), m - odd - pos - even.size());
  // Both planes are vetted before the 2P-byte output exists, so a short
  // stream claiming 2^28 pairs costs nothing. Every failure of a plane is
  // Truncated, so testing the odd plane before decoding the even one cannot
  // change which error is reported.
  if (auto ok = check_plane(even, p); !ok) return std::unexpected(ok.error());
  if (auto ok = check_plane(odd_plane, p); !ok) return std::unexpected(ok.error());

  std::vector<std::uint8_t> out(2 * p + odd);
  if (odd) out.back() = stream.back();
  if (p == 0) {
    // out.data() may be null: no planes, no pointer arithmetic.
    if (ending == StreamEnding::Exact && !(even.empty() && odd_plane.empty())) {
      return std::unexpected(AransError::BadLength);
    }
    return out;
  }
  auto a = plane_decoder(even, context_bits, out.data(), 2);
  if (!a) return std::unexpected(a.error());
  auto b = plane_decoder(odd_plane, context_bits, out.data() + 1, 2);
  if (!b) return std::unexpected(b.error());
  // The planes alternate byte by byte: their decoders are independent, so
  // the processor overlaps the two state chains.
  for (std::size_t i = 0; i < p; ++i) {
    if (!a->step(i) || !b->step(i)) return std::unexpected(AransError::Truncated);
  }
  if (ending == StreamEnding::Exact && !(a->dec.exhausted() && b->dec.exhausted())) {
    return std::unexpected(AransError::BadLength);
  }
  return out;
}

}  // namespace

std::expected<std::uint64_t, AransError> rv(std::span<const std::uint8_t> stream,
                                             std::size_t& position) {
  // Ten groups of seven bits cover 64 bits; the tenth contributes only its
  // lowest bit (the shift by 63 drops the rest). A tenth byte that still
  // announces a continuation is malformed whatever follows it.
  std::uint64_t value = 0;
  for (unsigned k = 0; k < 10; ++k) {
    if (position >= stream.size()) return std::unexpected(AransError::Truncated);
    const std::uint8_t byte = stream[position++];
    value |= std::uint64_t{byte & 0x7fu} << (7 * k);
    if ((byte & 0x80) == 0) return value;
  }
  return std::unexpected(AransError::BadLength);
}

std::vector<std::uint8_t> encode_plane(std::span<const std::uint8_t> plane,
                                       std::uint8_t context_bits) {
  if (context_bits > kMaxContextBits) throw std::invalid_argument("context bits above 8");
  if (plane.empty()) return {};
  std::vector<std::uint8_t> out;
  model_plane(plane.data(), plane.size(), 1, context_bits).finish_into(out);
  return out;
}

std::expected<std::vector<std::uint8_t>, AransError> decode_plane(
    std::span<const std::uint8_t> coded, std::size_t n, std::uint8_t context_bits) {
  if (context_bits > kMaxContextBits) return std::unexpected(AransError::BadLength);
  if (auto ok = check_plane(coded, n); !ok) return std::unexpected(ok.error());
  if (n == 0) return std::vector<std::uint8_t>{};
  try {
    std::vector<std::uint8_t> out(n);
    auto plane = plane_decoder(coded, context_bits, out.data(), 1);
    if (!plane) return std::unexpected(plane.error());
    for (std::size_t i = 0; i < n; ++i) {
      if (!plane->step(i)) return std::unexpected(AransError::Truncated);
    }
    return out;
  } catch (const std::bad_alloc&) {
    return std::unexpected(AransError::OutOfMemory);
  }
}

std::vector<std::uint8_t> encode_stream(std::span<const std::uint8_t> data) {
  const std::size_t n = data.size();
  if (n <= kRawMax) return std::vector<std::uint8_t>(data.begin(), data.end());

  const std::size_t pairs = n / 2;
  const std::size_t odd = n % 2;
  const unsigned context_bits = n < kWideContextFrom ? kNarrowContextBits : kWideContextBits;
  std::vector<std::uint8_t> even, odd_plane;
  encode_planes(data.data(), pairs, context_bits, even, odd_plane);

  std::vector<std::uint8_t> out;
  out.reserve(2 + leb128_size(pairs) + leb128_size(even.size()) + even.size() +
              odd_plane.size() + odd);
  out.push_back(static_cast<std::uint8_t>(odd));
  out.push_back(static_cast<std::uint8_t>(context_bits));
  put_leb128(out, pairs);
  put_leb128(out, even.size());
  out.insert(out.end(), even.begin(), even.end());
  out.insert(out.end(), odd_plane.begin(), odd_plane.end());
  if (odd) out.push_back(data.back());
  return out;
}

std::expected<std::vector<std::uint8_t>, AransError> decode_stream(
    std::span<const std::uint8_t> stream, StreamEnding ending) {
  // The only allocations that can fail are the probability tables (at most
  // 128 KiB) and an output already bounded by the stream's size.
  try {
    return decode_stream_impl(stream, ending);
  } catch (const std::bad_alloc&) {
    return std::unexpected(AransError::OutOfMemory);
  }
}

}  // namespace quillmere::arans
