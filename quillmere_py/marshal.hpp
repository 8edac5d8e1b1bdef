// Python values across the module boundary: NumPy arrays and bytes in, NumPy
// arrays out, without copying samples where the codec can use them in place.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "errors.hpp"
#include "owned_ref.hpp"

namespace quillmere_py {

// The samples of compress_signal's `data` as the codec reads them: the
// caller's own float32 memory, or a float32 copy of float64 input. Keeps the
// array alive (and the copy allocated) until released, which the caller does
// right after the codec returns.
class InputSamples {
 public:
  std::span<const float> samples() const noexcept { return samples_; }
  // Lets go of the array and frees the float64 copy; samples() is empty after.
  void release() noexcept {
    samples_ = {};
    converted_.reset();
    array_ = OwnedRef();
  }

 private:
  friend PyResult<InputSamples> classify_input(PyObject* data);

  OwnedRef array_;
  std::unique_ptr<float[]> converted_;
  std::span<const float> samples_;
};

// Accepts a 1-D float32 or float64 NumPy array (native byte order, a subclass
// of ndarray too). A non-empty one must be aligned and contiguous. Loads
// NumPy's C API on first use. Throws std::bad_alloc when the float64
// conversion buffer cannot be had.
PyResult<InputSamples> classify_input(PyObject* data);

// The buffer of a bytes object (or subclass) as it is, for the length of the
// call; anything else is refused with a TypeError.
PyResult<std::span<const std::uint8_t>> bytes_view(PyObject* data) noexcept;

// Moves decoded samples into a new 1-D float32 array without copying them:
// the vector goes into a holder object that becomes the array's base and
// frees it when the last array or view of it dies.
PyResult<OwnedRef> wrap_samples(std::vector<float>&& samples);

}  // namespace quillmere_py
