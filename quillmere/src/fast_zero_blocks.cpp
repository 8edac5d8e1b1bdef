// The fast coder's zero blocks (fast_zero_blocks.hpp): finding them and
// choosing which bands to map, the maps' bit-packed form and its checked
// reading, and moving live blocks into the coded order and back.
#include "fast_zero_blocks.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "vector_clones.hpp"
#include "wide_clones.hpp"

namespace quillmere::fast {
namespace {

constexpr unsigned kBlockCodeField = 2;
// A run is below 2^32 blocks, so its code has at most 31 leading zeros.
constexpr unsigned kMaxRunZeros = 31;

// A band is mapped when every bit of its map skips at least this many
// zero coefficients. A zero in a quiet stretch costs the token lanes a
// small fraction of a bit, and the live blocks' own zeros cost a little
// more once the tables no longer see the silent ones; measured on the
// repository's signals (docs/performance.md), maps below this yield did
// not pay for themselves.
constexpr std::size_t kZerosPerMapBit = 24;

// All-zero bands alone take the form once they hold this many zeros
// together: a few tens of microseconds of passes over them, against at most
// a byte of maps.
constexpr std::size_t kMinAllZeroForForm = 4096;

unsigned run_code_bits(std::uint32_t run) {  // run >= 1
  return 2 * static_cast<unsigned>(std::bit_width(run)) - 1;
}

void put_run(BitWriter& out, std::uint32_t run) {
  const unsigned k = static_cast<unsigned>(std::bit_width(run)) - 1;
  out.put(0, k);  // k zeros, then the run with its leading one first
  out.put(1, 1);
  out.put(run & ((std::uint32_t{1} << k) - 1), k);
}

std::size_t blocks_of(std::size_t n, std::size_t block) { return n / block + (n % block != 0); }

// Per block of a band, whether all of it is zero: an OR over each block,
// of a size known to the compiler so that it becomes a few vector
// instructions (this pass reads every coefficient of dense signals too,
// which gain nothing from it). The short last block goes apart.
template <std::size_t B>
[[gnu::always_inline]] inline void zero_flags_of(const std::int16_t* p, std::size_t n, std::uint8_t* flags) noexcept {
  const std::size_t whole = n / B;
  for (std::size_t k = 0; k < whole; ++k) {
    std::uint16_t acc = 0;
    for (std::size_t i = 0; i < B; ++i) acc |= static_cast<std::uint16_t>(p[k * B + i]);
    flags[k] = acc == 0;
  }
  if (whole * B < n) {
    std::uint16_t acc = 0;
    for (std::size_t i = whole * B; i < n; ++i) acc |= static_cast<std::uint16_t>(p[i]);
    flags[whole] = acc == 0;
  }
}

QUILLMERE_WIDE_CLONES
void zero_flags(unsigned block_code, const std::int16_t* p, std::size_t n, std::uint8_t* flags) noexcept {
  switch (block_code) {
    case 0: return zero_flags_of<8>(p, n, flags);
    case 1: return zero_flags_of<16>(p, n, flags);
    default: return zero_flags_of<32>(p, n, flags);
  }
}

// The zero blocks of a band and the changes between zero and live blocks,
// without a branch: most bands of dense signals stop at these counts.
struct FlagCounts {
  std::size_t zero_blocks = 0;
  std::size_t changes = 0;
};

FlagCounts count_flags(const std::uint8_t* flags, std::size_t blocks) noexcept {
  FlagCounts c;
  if (blocks == 0) return c;
  c.zero_blocks = flags[0];
  for (std::size_t k = 1; k < blocks; ++k) {
    c.zero_blocks += flags[k];
    c.changes += flags[k] != flags[k - 1];
  }
  return c;
}

}  // namespace

bool BlockMaps::any_mapped() const noexcept {
  return std::any_of(bands.begin(), bands.end(), [](const BandMap& b) { return b.mapped; });
}

BlockMaps find_zero_blocks(std::span<const std::span<const std::int16_t>> bands, unsigned block_code) {
  BlockMaps maps;
  maps.block_code = block_code;
  maps.bands.resize(bands.size());
  if (bands.size() > kMaxZeroBlockBands) {
    for (std::size_t b = 0; b < bands.size(); ++b) maps.bands[b].live = bands[b].size();
    return maps;
  }
  const std::size_t block = maps.block();
  bool any_runs = false;
  std::size_t zero_bands = 0;  // coefficients in all-zero bands
  std::vector<std::uint8_t> flags;
  for (std::size_t b = 0; b < bands.size(); ++b) {
    const std::span<const std::int16_t> band = bands[b];
    BandMap& m = maps.bands[b];
    m.live = band.size();
    m.run_begin = m.run_end = maps.runs.size();
    const std::size_t n = band.size();
    const std::size_t blocks = blocks_of(n, block);
    if (blocks > UINT32_MAX) continue;  // runs count in 32 bits
    flags.resize(blocks);
    zero_flags(block_code, band.data(), n, flags.data());
    const FlagCounts counts = count_flags(flags.data(), blocks);
    std::size_t zeros = counts.zero_blocks * block;
    if (n % block != 0 && flags[blocks - 1] != 0) zeros -= block - n % block;
    if (n > 0 && zeros == n) {
      // One zero run, held as such if the form is taken.
      m.all_zero = m.first_zero = true;
      maps.runs.push_back(static_cast<std::uint32_t>(blocks));
      m.run_end = maps.runs.size();
      zero_bands += n;
      continue;
    }
    // The map's bits are at least one per run and one for the first kind:
    // below that yield the runs need not be made.
    if (zeros == 0 || zeros < kZerosPerMapBit * (counts.changes + 2)) continue;
    std::uint64_t bits = 1;
    bool kind = false;
    std::uint32_t run = 0;
    for (std::size_t k = 0; k < blocks; ++k) {
      const bool zero = flags[k] != 0;
      if (run == 0) {
        m.first_zero = zero;
        kind = zero;
      } else if (zero != kind) {
        maps.runs.push_back(run);
        bits += run_code_bits(run);
        run = 0;
        kind = zero;
      }
      ++run;
    }
    if (run != 0) {
      maps.runs.push_back(run);
      bits += run_code_bits(run);
    }
    if (zeros >= kZerosPerMapBit * bits) {
      m.mapped = true;
      m.live = n - zeros;
      m.run_end = maps.runs.size();
      any_runs = true;
    } else {
      maps.runs.resize(m.run_begin);
      m.run_end = m.run_begin;
    }
  }
  // Without the form an all-zero band is coded whole (as nothing, by its
  // model), its run unused.
  const bool form = any_runs || zero_bands >= kMinAllZeroForForm;
  for (BandMap& m : maps.bands) {
    if (!m.all_zero) continue;
    if (form) {
      m.mapped = true;
      m.live = 0;
    } else {
      m.all_zero = false;
    }
  }
  return maps;
}

void write_block_maps(const BlockMaps& maps, std::vector<std::uint8_t>& out) {
  BitWriter w(out);
  w.put(maps.block_code, kBlockCodeField);
  for (const BandMap& m : maps.bands) {
    const BandHold hold = !m.mapped ? BandHold::Whole : m.all_zero ? BandHold::AllZero : BandHold::Mapped;
    w.put(static_cast<std::uint32_t>(hold), kBandHoldField);
    if (hold != BandHold::Mapped) continue;
    w.put(m.first_zero ? 1 : 0, 1);
    for (std::size_t r = m.run_begin; r < m.run_end; ++r) put_run(w, maps.runs[r]);
  }
  w.flush();
}

void compact_bands(std::span<const std::span<const std::int16_t>> bands, const BlockMaps& maps,
                   std::int16_t* out, std::vector<std::span<const std::int16_t>>& views) {
  const std::size_t block = maps.block();
  views.clear();
  for (std::size_t b = 0; b < bands.size(); ++b) {
    const BandMap& m = maps.bands[b];
    if (!m.mapped) {
      views.push_back(bands[b]);  // coded where it lies
      continue;
    }
    std::int16_t* const start = out;
    bool zero = m.first_zero;
    std::size_t at = 0;
    for (std::size_t r = m.run_begin; r < m.run_end; ++r, zero = !zero) {
      const std::size_t end = std::min(bands[b].size(), at + std::size_t{maps.runs[r]} * block);
      if (!zero) {
        std::memcpy(out, bands[b].data() + at, (end - at) * sizeof(std::int16_t));
        out += end - at;
      }
      at = end;
    }
    views.emplace_back(start, static_cast<std::size_t>(out - start));
  }
}

std::expected<BlockMaps, FastError> read_block_maps(std::span<const std::uint8_t> in,
                                                    std::span<const std::size_t> lengths, std::size_t& used) {
  BitReader r(in);
  BlockMaps maps;
  maps.block_code = r.get(kBlockCodeField);
  if (r.overrun()) return std::unexpected(FastError::Truncated);
  if (maps.block_code >= kBlockSizeCodes) return std::unexpected(FastError::BadBlockMap);
  const std::size_t block = maps.block();
  maps.bands.resize(lengths.size());
  for (std::size_t b = 0; b < lengths.size(); ++b) {
    BandMap& m = maps.bands[b];
    m.live = lengths[b];
    if (lengths[b] > SIZE_MAX / 2) return std::unexpected(FastError::BadLength);
    const std::uint32_t hold = r.get(kBandHoldField);
    if (r.overrun()) return std::unexpected(FastError::Truncated);
    if (hold == static_cast<std::uint32_t>(BandHold::Whole)) continue;
    // Only a band with coefficients is held otherwise, so each run kept
    // took bits of the stream and their number cannot outgrow it.
    if (hold > static_cast<std::uint32_t>(BandHold::AllZero) || lengths[b] == 0) {
      return std::unexpected(FastError::BadBlockMap);
    }
    m.mapped = true;
    m.run_begin = maps.runs.size();
    std::size_t left = blocks_of(lengths[b], block);
    if (hold == static_cast<std::uint32_t>(BandHold::AllZero)) {
      if (left > UINT32_MAX) return std::unexpected(FastError::BadLength);
      m.all_zero = m.first_zero = true;
      maps.runs.push_back(static_cast<std::uint32_t>(left));
      m.run_end = maps.runs.size();
      m.live = 0;
      continue;
    }
    m.first_zero = r.get(1) != 0;
    std::size_t zero_blocks = 0;
    bool zero = m.first_zero;
    bool last_block_zero = false;
    while (left > 0) {
      unsigned k = 0;
      while (r.get(1) == 0) {
        if (r.overrun()) return std::unexpected(FastError::Truncated);
        if (++k > kMaxRunZeros) return std::unexpected(FastError::BadBlockMap);
      }
      const std::uint32_t run = (std::uint32_t{1} << k) | r.get(k);
      if (r.overrun()) return std::unexpected(FastError::Truncated);
      if (run > left) return std::unexpected(FastError::BadBlockMap);
      maps.runs.push_back(run);
      left -= run;
      if (zero) zero_blocks += run;
      last_block_zero = zero;
      zero = !zero;
    }
    m.run_end = maps.runs.size();
    // The zero coefficients: whole blocks, but the band's last block may
    // be short.
    std::size_t zeros = zero_blocks * block;
    if (last_block_zero && lengths[b] % block != 0) zeros -= block - lengths[b] % block;
    m.live = lengths[b] - zeros;
  }
  if (!r.rest_of_byte_is_zero()) return std::unexpected(FastError::BadBlockMap);
  if (!maps.any_mapped()) return std::unexpected(FastError::BadBlockMap);  // the plain form says that
  used = r.bytes_used(in);
  return maps;
}

void expand_bands(const BlockMaps& maps, std::span<const std::size_t> lengths, std::span<std::int16_t> out) noexcept {
  // From the end backwards: every coefficient moves up (or stays), and
  // what it lands on has been moved already, so no live value is
  // overwritten before it is read.
  const std::size_t block = maps.block();
  std::size_t src = 0;
  for (const BandMap& m : maps.bands) src += m.live;
  std::size_t dst = out.size();
  std::int16_t* const o = out.data();
  for (std::size_t b = lengths.size(); b-- > 0;) {
    const BandMap& m = maps.bands[b];
    const std::size_t n = lengths[b];
    if (!m.mapped) {
      src -= n;
      dst -= n;
      if (src != dst) std::memmove(o + dst, o + src, n * sizeof(std::int16_t));
      continue;
    }
    // Run r ends at min(n, (its last block + 1) * block) within the band.
    std::size_t blocks = 0;
    for (std::size_t r = m.run_begin; r < m.run_end; ++r) blocks += maps.runs[r];
    const bool last_zero = m.first_zero == ((m.run_end - m.run_begin) % 2 == 1);
    bool zero = last_zero;
    for (std::size_t r = m.run_end; r-- > m.run_begin; zero = !zero) {
      const std::size_t run_end = std::min(n, blocks * block);
      blocks -= maps.runs[r];
      const std::size_t len = run_end - blocks * block;
      dst -= len;
      if (zero) {
        std::fill_n(o + dst, len, std::int16_t{0});
      } else {
        src -= len;
        if (src != dst) std::memmove(o + dst, o + src, len * sizeof(std::int16_t));
      }
    }
  }
}

// The runs are short (a run of one block is 16 coefficients on speech), so
// the conversion and the zeros are written here, inline, rather than by a
// call to dequantise() or memset per run: those calls made the fused pass
// slower than the two it replaces. Zero blocks get r * 0, the value
// dequantise() gives a zero (+0 for any positive finite factor, and still
// the same value when 1 / multiplier overflows).
QUILLMERE_WIDE_CLONES
void expand_dequantised(const BlockMaps& maps, std::span<const std::size_t> lengths,
                        std::span<const std::int16_t> live, float multiplier, std::span<float> out) noexcept {
  const float r = 1.0f / multiplier;
  const float zero_value = r * 0.0f;
  const std::size_t block = maps.block();
  // Forwards: the integers and the floats are apart, so nothing is
  // overwritten before it is read.
  const std::int16_t* src = live.data();
  float* dst = out.data();
  for (std::size_t b = 0; b < lengths.size(); ++b) {
    const BandMap& m = maps.bands[b];
    const std::size_t n = lengths[b];
    if (!m.mapped) {
      for (std::size_t i = 0; i < n; ++i) dst[i] = r * static_cast<float>(src[i]);
      src += n;
      dst += n;
      continue;
    }
    std::size_t blocks = 0;
    bool zero = m.first_zero;
    for (std::size_t run = m.run_begin; run < m.run_end; ++run, zero = !zero) {
      const std::size_t run_begin = blocks * block;
      blocks += maps.runs[run];
      const std::size_t len = std::min(n, blocks * block) - run_begin;
      if (zero) {
        for (std::size_t i = 0; i < len; ++i) dst[i] = zero_value;
      } else {
        for (std::size_t i = 0; i < len; ++i) dst[i] = r * static_cast<float>(src[i]);
        src += len;
      }
      dst += len;
    }
  }
}

}  // namespace quillmere::fast
