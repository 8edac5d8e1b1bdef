// NumPy's C API, reached through the `_ARRAY_API` capsule that NumPy exports.
//
// NumPy's headers give us the array layout, flags and type numbers; the entry
// points come from the capsule's function table, loaded on first need (never
// at import of this module) and kept for the life of the process.
#pragma once

#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/ndarraytypes.h>

#include "owned_ref.hpp"

namespace quillmere_py {

class NumpyApi {
 public:
  NumpyApi(void* const* table, PyArray_Descr* float32, PyArray_Descr* float64) noexcept;

  // PyArray_Check: an ndarray or an instance of a subclass.
  bool is_array(PyObject* object) const noexcept;
  // PyArray_EquivTypes against the native float32 / float64 descriptors.
  bool is_float32(PyArray_Descr* descr) const noexcept;
  bool is_float64(PyArray_Descr* descr) const noexcept;
  // A writeable 1-D float32 array over `data` that does not own it.
  OwnedRef float32_vector(float* data, npy_intp length) const noexcept;
  // PyArray_SetBaseObject; the reference to `base` is consumed, on failure too.
  int set_base_object(PyObject* array, OwnedRef base) const noexcept;

 private:
  void* const* table_;
  PyArray_Descr* float32_;  // held for the life of the process
  PyArray_Descr* float64_;
};

// The table, loading it on the first call. nullptr with PanicException set
// when it cannot be had; the outcome of the first attempt is kept, so every
// later call sees the same failure.
const NumpyApi* numpy_api() noexcept;

}  // namespace quillmere_py
