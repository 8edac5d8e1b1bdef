// The corrections blob on arbitrary bytes (apply, blob_length; either
// form), and the encoder's guarantee on arbitrary signals, where the token
// form must also decode to exactly what the gamma form does. Input: mode
// (u8), sample count (u32, folded below 4096), precision (u8), then the
// blob (mode even) or the bound and (decoded, original) float pairs (mode
// odd).
#include <cmath>
#include <cstring>
#include <vector>

#include "corrections_gamma.hpp"
#include "fuzz_support.hpp"
#include "quillmere/corrections.hpp"

namespace {

using namespace quillmere;

std::vector<float> signal_of(std::size_t n) {
  std::vector<float> y(n);
  for (std::size_t i = 0; i < n; ++i) y[i] = static_cast<float>(i % 101) * 0.37f - 9.0f;
  return y;
}

void decode_bytes(std::span<const std::uint8_t> blob, std::size_t n, bool f64) {
  const auto y = signal_of(n);
  const auto len = corrections::blob_length(blob);
  if (f64) {
    const auto out = corrections::apply(blob, y, 1000.0);
    if (!out) return;
    QM_FUZZ_CHECK(out->size() == n);
    QM_FUZZ_CHECK(len && *len <= blob.size());
    for (const double v : *out) QM_FUZZ_CHECK(std::isfinite(v));
    return;
  }
  auto z = y;
  const auto done = corrections::apply(blob, std::span<float>(z));
  if (!done) {
    // A refused blob leaves every sample as it was.
    QM_FUZZ_CHECK(n == 0 || std::memcmp(z.data(), y.data(), n * sizeof(float)) == 0);
    return;
  }
  QM_FUZZ_CHECK(len && *len <= blob.size());
  for (const float v : z) QM_FUZZ_CHECK(std::isfinite(v));
  // Bytes after the blob must not matter.
  auto w = y;
  QM_FUZZ_CHECK(corrections::apply(blob.first(*len), std::span<float>(w)));
  QM_FUZZ_CHECK(n == 0 || std::memcmp(z.data(), w.data(), n * sizeof(float)) == 0);
}

void round_trip(std::span<const std::uint8_t> body, bool f64) {
  if (body.size() < 4) return;
  const float raw_bound = std::fabs(load_le_f32(body.data()));
  if (!std::isfinite(raw_bound) || raw_bound == 0.0f) return;
  const double bound = raw_bound;
  const std::size_t n = (body.size() - 4) / 8;
  std::vector<float> decoded(n), x32(n);
  std::vector<double> x64(n);
  const double offset = 12345.5;
  for (std::size_t i = 0; i < n; ++i) {
    decoded[i] = load_le_f32(body.data() + 4 + 8 * i);
    x32[i] = load_le_f32(body.data() + 8 + 8 * i);
    x64[i] = static_cast<double>(x32[i]) + offset;
  }
  const auto originals = f64 ? Originals::of_double(x64, offset) : Originals::of_float(x32);
  const auto enc = corrections::encode(decoded, originals, bound);
  QM_FUZZ_CHECK(enc.has_value());
  corrections::EncodeBuffers buffers;
  const auto gamma = corrections::gamma::encode(decoded, originals, bound, buffers);
  QM_FUZZ_CHECK(gamma.has_value() && gamma->corrected == enc->corrected && gamma->escaped == enc->escaped);
  if (f64) {
    const auto out = corrections::apply(enc->bytes, decoded, offset);
    const auto same = corrections::apply(gamma->bytes, decoded, offset);
    QM_FUZZ_CHECK(out.has_value() && same.has_value());
    QM_FUZZ_CHECK(n == 0 || std::memcmp(out->data(), same->data(), n * sizeof(double)) == 0);
    for (std::size_t i = 0; i < n; ++i) {
      if (std::isfinite(x64[i])) QM_FUZZ_CHECK(std::fabs(x64[i] - (*out)[i]) <= bound);
    }
    return;
  }
  auto out = decoded;
  auto same = decoded;
  QM_FUZZ_CHECK(corrections::apply(enc->bytes, std::span<float>(out)).has_value());
  QM_FUZZ_CHECK(corrections::apply(gamma->bytes, std::span<float>(same)).has_value());
  QM_FUZZ_CHECK(n == 0 || std::memcmp(out.data(), same.data(), n * sizeof(float)) == 0);
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isfinite(x32[i])) {
      QM_FUZZ_CHECK(std::fabs(static_cast<double>(x32[i]) - static_cast<double>(out[i])) <= bound);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quillmere::fuzz::FieldReader reader({data, size});
  const std::uint8_t mode = reader.u8();
  const std::size_t n = reader.u32() % 4096;
  const bool f64 = reader.u8() & 1;
  if (mode & 1) {
    round_trip(reader.rest(), f64);
  } else {
    decode_bytes(reader.rest(), n, f64);
  }
  return 0;
}
