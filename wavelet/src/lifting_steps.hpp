// The lifting steps shared by CDF 5/3 and CDF 9/7, and the pipeline that
// runs a sequence of them over one level in cache-sized blocks.
//
// Notation: x[0..n-1] the level input, s[0..A-1] the even (approximation)
// half, d[0..D-1] the odd (details) half, A = ceil(n/2), D = floor(n/2).
// Whole-sample symmetric extension turns into three substitutions:
//   predict of d[D-1] when A == D: s[A] (or x[n]) is s[A-1] (x[n-2]);
//   update of s[0]:                d[-1] is d[0];
//   update of s[A-1] when A > D:   d[A-1] is d[D-1] (= d[A-2]).
// Every step computes each value with one fixed f32 expression; blocking
// and vectorisation change only the order in which values are visited,
// never how one is computed, so the output is bit-identical to running the
// steps one after another over the whole level.
#pragma once

#include <algorithm>
#include <cstddef>

#include "output.hpp"
#include "wavelet/executor.hpp"

namespace wavelet::detail {

struct LevelShape {
  std::size_t n;  // A + D
  std::size_t A;
  std::size_t D;
};

inline LevelShape shape_of(std::size_t n) noexcept { return {n, n / 2 + n % 2, n / 2}; }

// The length checks of a lifting forward step, in their fixed order.
inline TransformResult<LevelShape> check_split(std::size_t n, std::size_t minimum,
                                               std::size_t approximation,
                                               std::size_t details) noexcept {
  if (n < minimum) return std::unexpected(TransformError::input_too_short(n, minimum));
  const LevelShape sh = shape_of(n);
  if (approximation != sh.A) {
    return std::unexpected(TransformError::approximate_size_mismatch(approximation, sh.A));
  }
  if (details != sh.D) return std::unexpected(TransformError::details_size_mismatch(details, sh.D));
  return sh;
}

// Values visited per pipeline round: x block 8 KiB, s and d blocks 4 KiB
// each, so a round's re-reads hit L1 and every buffer streams through the
// cache once.
inline constexpr std::size_t kLiftBlock = 1024;

// ---- Forward steps: x read-only, s and d separate outputs. ----

// d[i] = x[2i+1] + (x[2i] + x[2i+2]) * c
inline void predict_from_signal(const float* __restrict x, float* __restrict d, std::size_t lo,
                                std::size_t hi, const LevelShape& sh, float c) noexcept {
  const bool border = hi == sh.D && sh.A == sh.D;
  const std::size_t end = border ? hi - 1 : hi;
  for (std::size_t i = lo; i < end; ++i) d[i] = x[2 * i + 1] + (x[2 * i] + x[2 * i + 2]) * c;
  if (border) d[sh.D - 1] = x[sh.n - 1] + (x[sh.n - 2] + x[sh.n - 2]) * c;
}

// s[i] = x[2i] + c * (d[i-1] + d[i])
inline void update_from_signal(const float* __restrict x, float* __restrict s,
                               const float* __restrict d, std::size_t lo, std::size_t hi,
                               const LevelShape& sh, float c) noexcept {
  std::size_t i = lo;
  if (i == 0) {
    s[0] = x[0] + c * (d[0] + d[0]);
    i = 1;
  }
  const bool border = hi == sh.A;
  const std::size_t end = border ? hi - 1 : hi;
  for (; i < end; ++i) s[i] = x[2 * i] + c * (d[i - 1] + d[i]);
  if (border) s[sh.A - 1] = x[2 * sh.A - 2] + c * (d[sh.A - 2] + d[sh.D - 1]);
}

// The in-place steps work on the level's own halves (forward) or on a
// block-local window of them (inverse); either way the arrays hold the
// value of global index g at g - off, and lo..hi are global indices. A
// window that includes a border includes the neighbours its substitution
// reads.

// d[i] = d[i] + (s[i] + s[i+1]) * c
inline void predict_in_place(const float* __restrict s, float* __restrict d, std::size_t lo,
                             std::size_t hi, std::size_t off, const LevelShape& sh,
                             float c) noexcept {
  const bool border = hi == sh.D && sh.A == sh.D;
  const std::size_t end = (border ? hi - 1 : hi) - off;
  for (std::size_t j = lo - off; j < end; ++j) d[j] = d[j] + (s[j] + s[j + 1]) * c;
  if (border) {
    const std::size_t last = sh.D - 1 - off;  // s[A-1] sits at the same local index
    d[last] = d[last] + (s[last] + s[last]) * c;
  }
}

// s[i] = s[i] + c * (d[i-1] + d[i]), times k when kScale: the last update
// of CDF 9/7 forward with its scaling step, as nothing reads s in between.
template <bool kScale>
inline void update_in_place(float* __restrict s, const float* __restrict d, std::size_t lo,
                            std::size_t hi, std::size_t off, const LevelShape& sh, float c,
                            float k = 1.0f) noexcept {
  std::size_t j = lo - off;
  if (lo == 0) {
    const float v = s[0] + c * (d[0] + d[0]);
    s[0] = kScale ? v * k : v;
    j = 1;
  }
  const bool border = hi == sh.A;
  const std::size_t end = (border ? hi - 1 : hi) - off;
  for (; j < end; ++j) {
    const float v = s[j] + c * (d[j - 1] + d[j]);
    s[j] = kScale ? v * k : v;
  }
  if (border) {
    const std::size_t last = sh.A - 1 - off;
    const float v = s[last] + c * (d[sh.A - 2 - off] + d[sh.D - 1 - off]);
    s[last] = kScale ? v * k : v;
  }
}

inline void scale_in_place(float* __restrict v, std::size_t lo, std::size_t hi, float k) noexcept {
  for (std::size_t i = lo; i < hi; ++i) v[i] = v[i] * k;
}

// ---- Inverse: blocks of output pairs computed in local windows. ----
//
// Final s[i] and d[i] depend on inputs at most two places away (two
// update/predict pairs), so a block [b, e) is rebuilt from a window
// [b-2, e+2) of the inputs. The few halo values are computed twice, each
// time by the same expression, so blocks join without a seam; in return
// every step runs on contiguous local arrays and the output is written
// once, interleaved.
inline constexpr std::size_t kInverseHalo = 2;

// Each half on its own cache lines, so the vector loads and stores of the
// steps never straddle two.
// How far beyond the output pairs it rebuilds, on either side, an inverse
// kernel may read its approximation input (the fused loops read further
// than the windows' halo).
inline constexpr std::size_t kStreamHalo = 24;

struct InverseWindow {
  alignas(64) float s[kLiftBlock + 2 * kInverseHalo];
  alignas(64) float d[kLiftBlock + 2 * kInverseHalo];
};

// Copies (optionally scaled) s[lo..s_hi) and d[lo..d_hi) into the window;
// s holds the value of global index g at s[g - s_org].
template <bool kScale>
inline void load_window(const float* __restrict s, std::size_t s_org, const float* __restrict d,
                        InverseWindow& w, std::size_t lo, std::size_t s_hi, std::size_t d_hi,
                        float ks, float kd) noexcept {
  for (std::size_t g = lo; g < s_hi; ++g) w.s[g - lo] = kScale ? s[g - s_org] * ks : s[g - s_org];
  for (std::size_t g = lo; g < d_hi; ++g) w.d[g - lo] = kScale ? d[g] * kd : d[g];
}

// The window of pairs [b, min(b + kLiftBlock, last)) with its halo: the
// pairs it covers, where its halo starts, whether it reaches the level's
// end, and how far the two halves are valid in it.
struct WindowSpan {
  std::size_t e;
  std::size_t off;
  bool at_end;
  std::size_t s_hi;
  std::size_t d_hi;
};

inline WindowSpan window_span(std::size_t b, std::size_t last, const LevelShape& sh) noexcept {
  const std::size_t e = std::min(b + kLiftBlock, last);
  // A window reaches the ends of both halves or of neither, as D >= A - 1
  // and the halo is at least one.
  return {e, b >= kInverseHalo ? b - kInverseHalo : 0, e + kInverseHalo >= sh.A,
          std::min(e + kInverseHalo, sh.A), std::min(e + kInverseHalo, sh.D)};
}

// y[2i] = s[i] for i in [b, e), y[2i+1] = d[i] for i in [b, min(e, D)),
// with output index j at y[j - y_org] (y_org <= 2b).
inline void store_interleaved(const InverseWindow& w, float* __restrict y, std::size_t y_org,
                              std::size_t off, std::size_t b, std::size_t e,
                              const LevelShape& sh) noexcept {
  const std::size_t pairs = std::min(e, sh.D);
  for (std::size_t g = b; g < pairs; ++g) {
    y[2 * g - y_org] = w.s[g - off];
    y[2 * g + 1 - y_org] = w.d[g - off];
  }
  if (e > pairs) y[2 * pairs - y_org] = w.s[pairs - off];
}

// Runs an inverse that alternates update(c[0]) and predict(c[1]) for each
// pair of constants, after an optional unscaling, over the output pairs
// [first, last), at most kLiftBlock of them per window. Values do not
// depend on where windows start or end, so a level may be rebuilt in any
// number of calls.
template <bool kScale, std::size_t kPairs>
inline void inverse_range(const float* __restrict s, std::size_t s_org, const float* __restrict d,
                          float* __restrict y, std::size_t y_org, const LevelShape& sh,
                          std::size_t first, std::size_t last, float ks, float kd,
                          const float (&steps)[kPairs][2]) noexcept {
  InverseWindow w;
  for (std::size_t b = first; b < last; b += kLiftBlock) {
    auto [e, off, at_end, s_hi, d_hi] = window_span(b, last, sh);
    load_window<kScale>(s, s_org, d, w, off, s_hi, d_hi, ks, kd);
    // Each update narrows the valid part by one on the left (it reads
    // d[i-1]), each predict by one on the right (it reads s[i+1]); at the
    // level's own borders the substitutions stand in instead.
    std::size_t lo = off;
    for (const auto& c : steps) {
      const std::size_t u_lo = off == 0 ? 0 : lo + 1;
      const std::size_t u_hi = at_end ? sh.A : std::min(s_hi, d_hi);
      update_in_place<false>(w.s, w.d, u_lo, u_hi, off, sh, c[0]);
      lo = u_lo;
      s_hi = u_hi;
      const std::size_t p_hi = at_end ? sh.D : std::min(d_hi, s_hi - 1);
      predict_in_place(w.s, w.d, lo, p_hi, off, sh, c[1]);
      d_hi = p_hi;
    }
    store_interleaved(w, y, y_org, off, b, e, sh);
  }
}

// The forward counterpart of inverse_range, from x alone: predict(c[0])
// and update(c[1]) for each pair of constants, the last update scaled by
// ks and the details by kd when kScale, in windows of at most kLiftBlock
// pairs. Writes s[i] for i in [first, min(last, A)) and d[i] for i in
// [first, min(last, D)). The halo of two covers what two step pairs
// narrow; one pair needs less.
template <bool kScale, std::size_t kPairs>
inline void forward_range(const float* __restrict x, float* __restrict s, float* __restrict d,
                          const LevelShape& sh, std::size_t first, std::size_t last, float ks,
                          float kd, const float (&steps)[kPairs][2]) noexcept {
  static_assert(kPairs <= kInverseHalo);
  InverseWindow w;
  for (std::size_t b = first; b < last; b += kLiftBlock) {
    auto [e, off, at_end, s_hi, d_hi] = window_span(b, last, sh);
    for (std::size_t g = off; g < s_hi; ++g) w.s[g - off] = x[2 * g];
    for (std::size_t g = off; g < d_hi; ++g) w.d[g - off] = x[2 * g + 1];
    // The predict from the even samples is predict_from_signal's
    // expression, the update after it update_from_signal's, borders
    // included; each predict narrows the valid part by one on the right,
    // each update by one on the left.
    std::size_t lo = off;
    for (std::size_t k = 0; k < kPairs; ++k) {
      const std::size_t p_hi = at_end ? sh.D : std::min(d_hi, s_hi - 1);
      predict_in_place(w.s, w.d, lo, p_hi, off, sh, steps[k][0]);
      d_hi = p_hi;
      const std::size_t u_lo = off == 0 ? 0 : lo + 1;
      const std::size_t u_hi = at_end ? sh.A : std::min(s_hi, d_hi);
      if (kScale && k + 1 == kPairs) {
        update_in_place<true>(w.s, w.d, u_lo, u_hi, off, sh, steps[k][1], ks);
      } else {
        update_in_place<false>(w.s, w.d, u_lo, u_hi, off, sh, steps[k][1]);
      }
      lo = u_lo;
      s_hi = u_hi;
    }
    for (std::size_t g = b; g < std::min(e, sh.A); ++g) s[g] = w.s[g - off];
    for (std::size_t g = b; g < std::min(e, sh.D); ++g) {
      d[g] = kScale ? w.d[g - off] * kd : w.d[g - off];
    }
  }
}

// The whole level into `out`, growing it block by block.
template <bool kScale, std::size_t kPairs>
inline void inverse_blocks(const float* __restrict s, const float* __restrict d, Output out,
                           const LevelShape& sh, float ks, float kd,
                           const float (&steps)[kPairs][2]) noexcept {
  for (std::size_t b = 0; b < sh.A; b += kLiftBlock) {
    const std::size_t e = std::min(b + kLiftBlock, sh.A);
    out.reach(e == sh.A ? sh.n : 2 * e);
    inverse_range<kScale>(s, 0, d, out.data(), 0, sh, b, e, ks, kd, steps);
  }
}

// ---- Pipeline bookkeeping. ----
//
// Each step keeps the count of values it has finished. A step may run up to
// the point its inputs are final and no later step still needs what it
// overwrites:
//   an update of s[i] needs d[i-1] and d[i] from the previous predict, so it
//   trails that predict by nothing (and completes once the predict does);
//   a predict of d[i] needs s[i] and s[i+1], so it trails the update by one.
inline std::size_t update_frontier(std::size_t predicted, const LevelShape& sh) noexcept {
  return predicted == sh.D ? sh.A : predicted;
}
inline std::size_t predict_frontier(std::size_t updated, const LevelShape& sh) noexcept {
  if (updated == sh.A) return sh.D;
  return updated == 0 ? 0 : updated - 1;
}

// An aggregate, so that creating one calls no constructor: Clang 19 left
// the implicit one undefined when called from a target_clones function.
struct Step {
  std::size_t done = 0;

  // Runs step(lo, hi) over the values newly allowed; returns the new count.
  template <class F>
  std::size_t advance(std::size_t allowed, F&& step) noexcept {
    if (allowed > done) {
      step(done, allowed);
      done = allowed;
    }
    return done;
  }
};

}  // namespace wavelet::detail
