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

namespace wavelet::detail {

struct LevelShape {
  std::size_t n;  // A + D
  std::size_t A;
  std::size_t D;
};

inline LevelShape shape_of(std::size_t n) noexcept { return {n, n / 2 + n % 2, n / 2}; }

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

// d[i] = d[i] + (s[i] + s[i+1]) * c
inline void predict_in_place(const float* __restrict s, float* __restrict d, std::size_t lo,
                             std::size_t hi, const LevelShape& sh, float c) noexcept {
  const bool border = hi == sh.D && sh.A == sh.D;
  const std::size_t end = border ? hi - 1 : hi;
  for (std::size_t i = lo; i < end; ++i) d[i] = d[i] + (s[i] + s[i + 1]) * c;
  if (border) d[sh.D - 1] = d[sh.D - 1] + (s[sh.A - 1] + s[sh.A - 1]) * c;
}

// s[i] = (s[i] + c * (d[i-1] + d[i])) * k; the scaled variant is the last
// update of CDF 9/7 with its scaling step, which reads nothing else.
inline void update_in_place_scaled(float* __restrict s, const float* __restrict d,
                                   std::size_t lo, std::size_t hi, const LevelShape& sh, float c,
                                   float k) noexcept {
  std::size_t i = lo;
  if (i == 0) {
    s[0] = (s[0] + c * (d[0] + d[0])) * k;
    i = 1;
  }
  const bool border = hi == sh.A;
  const std::size_t end = border ? hi - 1 : hi;
  for (; i < end; ++i) s[i] = (s[i] + c * (d[i - 1] + d[i])) * k;
  if (border) s[sh.A - 1] = (s[sh.A - 1] + c * (d[sh.A - 2] + d[sh.D - 1])) * k;
}

inline void scale_in_place(float* __restrict v, std::size_t lo, std::size_t hi, float k) noexcept {
  for (std::size_t i = lo; i < hi; ++i) v[i] = v[i] * k;
}

// ---- Inverse steps: in place on the interleaved output, s[i] = y[2i] and
// d[i] = y[2i+1], so no working copy of either half is needed. ----

// y[2i] = s[i] * ks, y[2i+1] = d[i] * kd (or plain copies).
template <bool kScale>
inline void interleave(const float* __restrict s, const float* __restrict d, float* __restrict y,
                       std::size_t lo, std::size_t hi, const LevelShape& sh, float ks,
                       float kd) noexcept {
  const std::size_t pairs = std::min(hi, sh.D);
  for (std::size_t i = lo; i < pairs; ++i) {
    y[2 * i] = kScale ? s[i] * ks : s[i];
    y[2 * i + 1] = kScale ? d[i] * kd : d[i];
  }
  if (hi == sh.A && sh.A > sh.D) y[sh.n - 1] = kScale ? s[sh.A - 1] * ks : s[sh.A - 1];
}

// s[i] = s[i] + c * (d[i-1] + d[i])
inline void update_interleaved(float* __restrict y, std::size_t lo, std::size_t hi,
                               const LevelShape& sh, float c) noexcept {
  std::size_t i = lo;
  if (i == 0) {
    y[0] = y[0] + c * (y[1] + y[1]);
    i = 1;
  }
  const bool border = hi == sh.A;
  const std::size_t end = border ? hi - 1 : hi;
  for (; i < end; ++i) y[2 * i] = y[2 * i] + c * (y[2 * i - 1] + y[2 * i + 1]);
  if (border) {
    const std::size_t last = 2 * sh.A - 2;
    y[last] = y[last] + c * (y[last - 1] + y[2 * sh.D - 1]);
  }
}

// d[i] = d[i] + (s[i] + s[i+1]) * c
inline void predict_interleaved(float* __restrict y, std::size_t lo, std::size_t hi,
                                const LevelShape& sh, float c) noexcept {
  const bool border = hi == sh.D && sh.A == sh.D;
  const std::size_t end = border ? hi - 1 : hi;
  for (std::size_t i = lo; i < end; ++i)
    y[2 * i + 1] = y[2 * i + 1] + (y[2 * i] + y[2 * i + 2]) * c;
  if (border) y[sh.n - 1] = y[sh.n - 1] + (y[sh.n - 2] + y[sh.n - 2]) * c;
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

class Step {
 public:
  // Runs step(lo, hi) over the values newly allowed; returns the new count.
  template <class F>
  std::size_t advance(std::size_t allowed, F&& step) noexcept {
    if (allowed > done_) {
      step(done_, allowed);
      done_ = allowed;
    }
    return done_;
  }
  std::size_t done() const noexcept { return done_; }

 private:
  std::size_t done_ = 0;
};

}  // namespace wavelet::detail
