#include "marshal.hpp"

#include <cstddef>
#include <new>
#include <string>
#include <utility>

#include "numpy_api.hpp"
#include "owner_type.hpp"
#include "type_slot.hpp"

namespace quillmere_py {
namespace {

constexpr const char kNotASignal[] = "expected a 1-D float32 or float64 NumPy array";
constexpr const char kNotContiguous[] = "The given array is not contiguous or is misaligned.";

// IEEE 754 narrowing in the default rounding mode: nearest, ties to even;
// beyond the float32 range gives a signed infinity (an infinity is a float32
// value, so the result is defined), below its subnormals a signed zero, NaN
// stays NaN. A plain loop the compiler vectorises.
void narrow_to_float32(const double* in, float* out, std::size_t count) noexcept {
  for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<float>(in[i]);
}

// Owner of the samples of an array returned by decompress_signal. The vector
// records their pointer, length and capacity; its destructor is the release
// function, run when the last array or view referring to it dies.
struct SampleHolder {
  PyObject_HEAD
  std::vector<float> samples;
};

constexpr const char kHolderDoc[] = "Owner of the samples of an array returned by decompress_signal.";

PyType_Slot holder_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy_owner<SampleHolder, &SampleHolder::samples>)},
    {Py_tp_doc, const_cast<char*>(kHolderDoc)},
    {0, nullptr},
};

PyType_Spec holder_spec = {
    "quillmere.PySliceContainer",
    sizeof(SampleHolder),
    0,
    kOwnerTypeFlags,  // only wrap_samples makes holders
    holder_slots,
};

TypeSlot holder_type(&holder_spec);

// An empty result still needs a data pointer: NumPy would allocate (and own)
// memory of its own for a null one.
float empty_samples[1];

}  // namespace

PyResult<InputSamples> classify_input(PyObject* data) {
  const NumpyApi* numpy = numpy_api();
  if (numpy == nullptr) return exception_set();
  if (!numpy->is_array(data)) {
    raise_value_error(kNotASignal);
    return exception_set();
  }
  auto* array = reinterpret_cast<PyArrayObject*>(data);
  if (PyArray_NDIM(array) != 1) {
    raise_value_error(kNotASignal);
    return exception_set();
  }
  const bool is_float32 = numpy->is_float32(PyArray_DESCR(array));
  if (!is_float32 && !numpy->is_float64(PyArray_DESCR(array))) {
    raise_value_error(kNotASignal);
    return exception_set();
  }

  InputSamples input;
  input.array_ = OwnedRef::owning(data);
  const auto count = static_cast<std::size_t>(PyArray_DIMS(array)[0]);
  if (count == 0) return input;  // the codec decides what an empty signal means

  // One dimension: C- and F-contiguity coincide, and either means stride ==
  // item size. No copy is attempted for a strided or misaligned array.
  const bool contiguous = PyArray_CHKFLAGS(array, NPY_ARRAY_C_CONTIGUOUS) ||
                          PyArray_CHKFLAGS(array, NPY_ARRAY_F_CONTIGUOUS);
  if (!contiguous || !PyArray_CHKFLAGS(array, NPY_ARRAY_ALIGNED) || PyArray_DATA(array) == nullptr) {
    PyErr_SetString(PyExc_TypeError, kNotContiguous);
    return exception_set();
  }

  if (is_float32) {
    input.samples_ = {static_cast<const float*>(PyArray_DATA(array)), count};
  } else {
    input.converted_ = std::make_unique_for_overwrite<float[]>(count);
    narrow_to_float32(static_cast<const double*>(PyArray_DATA(array)), input.converted_.get(), count);
    input.samples_ = {input.converted_.get(), count};
  }
  return input;
}

PyResult<std::span<const std::uint8_t>> bytes_view(PyObject* data) noexcept {
  if (!PyBytes_Check(data)) {
    raise_type_mismatch(data, "bytes", "data");
    return exception_set();
  }
  const char* buffer = PyBytes_AsString(data);
  const Py_ssize_t size = PyBytes_Size(data);
  return std::span(reinterpret_cast<const std::uint8_t*>(buffer), static_cast<std::size_t>(size));
}

PyResult<OwnedRef> wrap_samples(std::vector<float>&& samples) {
  const NumpyApi* numpy = numpy_api();
  if (numpy == nullptr) return exception_set();
  PyTypeObject* type = holder_type.get();
  if (type == nullptr) {
    raise_panic("failed to create the sample holder type: " + take_exception_text());
    return exception_set();
  }

  OwnedRef holder = OwnedRef::consuming(type->tp_alloc(type, 0));
  if (!holder) return exception_set();  // MemoryError; `samples` is freed by our caller
  auto* slot = reinterpret_cast<SampleHolder*>(holder.borrow());
  new (&slot->samples) std::vector<float>(std::move(samples));  // a move: cannot throw

  float* memory = slot->samples.empty() ? empty_samples : slot->samples.data();
  OwnedRef array = numpy->float32_vector(memory, static_cast<npy_intp>(slot->samples.size()));
  if (!array) return exception_set();  // dropping `holder` frees the samples
  if (numpy->set_base_object(array.borrow(), std::move(holder)) < 0) return exception_set();
  return array;
}

}  // namespace quillmere_py
