#include "decoded_samples.hpp"

#include <new>
#include <utility>

#include "owner_type.hpp"

namespace quillmere_tools_py {
namespace {

using quillmere_py::OwnedRef;

struct DecodedSamples {
  PyObject_HEAD
  quillmere_tools::DecodedUnit unit;
};

// An empty result still lends a valid address.
char empty_samples[1];

int get_buffer(PyObject* self, Py_buffer* view, int flags) noexcept {
  auto& unit = reinterpret_cast<DecodedSamples*>(self)->unit;
  const bool f64 = unit.precision == quillmere_tools::Precision::Float64;
  void* data = f64 ? static_cast<void*>(unit.f64.data()) : static_cast<void*>(unit.f32.data());
  const std::size_t bytes = f64 ? unit.f64.size() * sizeof(double) : unit.f32.size() * sizeof(float);
  // The vectors never change size once wrapped, so a view cannot dangle
  // while it holds its reference to the owner.
  return PyBuffer_FillInfo(view, self, bytes > 0 ? data : empty_samples, static_cast<Py_ssize_t>(bytes),
                           /*readonly=*/0, flags);
}

constexpr const char kDoc[] = "Decoded samples of one unit, lent through the buffer protocol.";

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(quillmere_py::destroy_owner<DecodedSamples, &DecodedSamples::unit>)},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(get_buffer)},
    {0, nullptr},
};

PyType_Spec samples_type_layout = {
    "quillmere_tools._native.DecodedSamples",
    sizeof(DecodedSamples),
    0,
    quillmere_py::kOwnerTypeFlags,  // only decoded_samples makes them
    slots,
};

// Built once with the module; never destroyed, as instances may outlive it.
PyTypeObject* g_type = nullptr;

}  // namespace

PyResult<void> add_decoded_samples_type(PyObject* module) noexcept {
  if (g_type == nullptr) g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&samples_type_layout));
  if (g_type == nullptr) return exception_set();
  Py_INCREF(g_type);
  if (PyModule_AddObject(module, "DecodedSamples", reinterpret_cast<PyObject*>(g_type)) < 0) {
    Py_DECREF(g_type);
    return exception_set();
  }
  return {};
}

OwnedRef decoded_samples(quillmere_tools::DecodedUnit&& unit) noexcept {
  OwnedRef object = OwnedRef::consuming(g_type->tp_alloc(g_type, 0));
  if (!object) return {};
  new (&reinterpret_cast<DecodedSamples*>(object.borrow())->unit)
      quillmere_tools::DecodedUnit(std::move(unit));  // moves of vectors: cannot throw
  return object;
}

}  // namespace quillmere_tools_py
