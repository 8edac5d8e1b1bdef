// The output of a long decode.
//
// Decoding a long signal is quick enough that filling its output is a good
// part of the cost: a 10^7-sample float32 output is ten thousand pages, and
// each first touch is a page fault that the kernel serves under locks the
// threads share, so the faults took a third of a decode's time and would
// not spread over two threads. Large outputs are therefore asked to be
// backed by huge pages, as NumPy asks for its own large arrays: about twenty
// faults instead. The advice changes no byte, and a kernel that ignores it
// (transparent huge pages off) only leaves the faults as they were.
#include "decoded_output.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <limits>
#include <span>

namespace quillmere_tools_py {
namespace {

constexpr std::uintptr_t kHugePage = std::uintptr_t{1} << 21;

// Advises the whole huge pages inside [data, data + bytes); the memory is
// the allocator's, so nothing outside it is touched, and outputs smaller
// than two huge pages are left alone.
void advise_huge_pages(char* data, std::size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
  if (bytes < 2 * kHugePage) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t last = (begin + bytes) & ~(kHugePage - 1);
  if (last > first) {
    // Advice only: a refusal leaves ordinary pages, so its result is moot.
    (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  }
#else
  (void)data;
  (void)bytes;
#endif
}

}  // namespace

quillmere_tools::UnitResult<quillmere_tools::SampleSink> make_output(OutputSlot& slot,
                                                                     quillmere_tools::Precision p,
                                                                     std::size_t n) noexcept {
  using quillmere_tools::UnitError;
  slot.f64 = p == quillmere_tools::Precision::Float64;
  const std::size_t width = slot.f64 ? sizeof(double) : sizeof(float);
  if (n > static_cast<std::size_t>(std::numeric_limits<Py_ssize_t>::max()) / width) {
    return std::unexpected(UnitError::out_of_memory());
  }
  const PyGILState_STATE gil = PyGILState_Ensure();
  PyObject* array = PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n * width));
  if (array == nullptr) PyErr_Clear();
  char* data = array != nullptr ? PyByteArray_AS_STRING(array) : nullptr;
  slot.array = quillmere_py::OwnedRef::consuming(array);
  PyGILState_Release(gil);
  if (data == nullptr) return std::unexpected(UnitError::out_of_memory());
  advise_huge_pages(data, n * width);
  if (slot.f64) return quillmere_tools::SampleSink(std::span(reinterpret_cast<double*>(data), n));
  return quillmere_tools::SampleSink(std::span(reinterpret_cast<float*>(data), n));
}

quillmere_py::OwnedRef output_pair(OutputSlot& slot) noexcept {
  return quillmere_py::OwnedRef::consuming(
      Py_BuildValue("(NO)", slot.array.release(), slot.f64 ? Py_True : Py_False));
}

}  // namespace quillmere_tools_py
