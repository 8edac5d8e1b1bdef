// The `quillmere` extension module: registration and the two entry functions.
//
// Each entry point is a thin wrapper that binds and converts its arguments
// into owning C++ values, and an _impl that calls the codec and builds the
// result. Whatever the wrapper acquired is released by those values'
// destructors on every path. The interpreter lock is held throughout, the
// codec call included.
#include <Python.h>

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "args.hpp"
#include "compression_options.hpp"
#include "errors.hpp"
#include "marshal.hpp"
#include "owned_ref.hpp"
#include "quillmere/compressor.hpp"
#include "quillmere/decompressor.hpp"

namespace quillmere_py {

const FaultType kModuleFaultType{
    "quillmere.PanicException",
    "An internal fault of the quillmere extension: a broken invariant, not bad input."};

namespace {

constexpr const char* kCompressParameters[] = {"data", "options"};
constexpr Signature kCompressSignature{"compress_signal()", kCompressParameters, 1};
constexpr const char* kDecompressParameters[] = {"data"};
constexpr Signature kDecompressSignature{"decompress_signal()", kDecompressParameters, 1};

// Takes the input over so that the array and any float64 copy are released
// as soon as the codec returns, before the container is copied.
PyObject* compress_signal_impl(InputSamples input, const quillmere::CodecOptions& options) {
  const auto container = quillmere::compress(input.samples(), options);
  input.release();
  if (!container) {
    raise_codec_error(container.error());
    return nullptr;
  }
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(container->data()),
                                   static_cast<Py_ssize_t>(container->size()));
}

PyObject* compress_signal(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind_fastcall(kCompressSignature, args, nargs, kwnames, bound)) return nullptr;
    // Options are settled before `data` is looked at, so a bad `options`
    // is reported even when `data` is unusable too.
    const auto options = options_from_argument(bound[1]);
    if (!options) return nullptr;
    auto input = classify_input(bound[0]);
    if (!input) return nullptr;
    return compress_signal_impl(std::move(*input), *options);
  });
}

PyObject* decompress_signal_impl(std::span<const std::uint8_t> container) {
  auto samples = quillmere::decompress(container);
  if (!samples) {
    raise_codec_error(samples.error());
    return nullptr;
  }
  auto array = wrap_samples(std::move(*samples));
  return array ? array->release() : nullptr;
}

PyObject* decompress_signal(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_fastcall(kDecompressSignature, args, nargs, kwnames, bound)) return nullptr;
    const auto container = bytes_view(bound[0]);
    if (!container) return nullptr;
    return decompress_signal_impl(*container);
  });
}

template <class Fn>
PyCFunction as_cfunction(Fn fn) noexcept {
  // METH_FASTCALL functions travel through PyMethodDef's generic slot.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// The first line and "--" form the text signature; __doc__ is what follows.
PyMethodDef compress_def = {
    "compress_signal", as_cfunction(compress_signal), METH_FASTCALL | METH_KEYWORDS,
    "compress_signal(data, options=None)\n--\n\n"
    "Compress a 1-D float32 **or** float64 NumPy array into Quillmere `bytes`.\n\n"
    "float64 input is downcast to float32 before compression (the codec works in\n"
    "f32 internally and always reconstructs f32 on decompress)."};

PyMethodDef decompress_def = {
    "decompress_signal", as_cfunction(decompress_signal), METH_FASTCALL | METH_KEYWORDS,
    "decompress_signal(data)\n--\n\n"
    "Decompress a Quillmere bytes object into a 1-D float32 NumPy array."};

// Appends `name` to the module's __all__ (created on first use) and sets the
// attribute.
PyResult<void> add_public(PyObject* module, const char* name, PyObject* value) noexcept {
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  OwnedRef all = OwnedRef::owning(PyDict_GetItemString(dict, "__all__"));
  if (!all) {
    all = OwnedRef::consuming(PyList_New(0));
    if (!all || PyDict_SetItemString(dict, "__all__", all.borrow()) < 0) return exception_set();
  }
  const OwnedRef name_object = OwnedRef::consuming(PyUnicode_FromString(name));
  if (!name_object || PyList_Append(all.borrow(), name_object.borrow()) < 0) return exception_set();
  if (PyObject_SetAttrString(module, name, value) < 0) return exception_set();
  return {};
}

PyResult<void> add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) noexcept {
  const OwnedRef function = OwnedRef::consuming(PyCMethod_New(def, module, module_name, nullptr));
  if (!function) return exception_set();
  return add_public(module, def->ml_name, function.borrow());
}

int exec_module(PyObject* module) noexcept {
  PyTypeObject* options = options_type();
  if (options == nullptr) return -1;
  if (!add_public(module, "CompressionOptions", reinterpret_cast<PyObject*>(options))) return -1;
  const OwnedRef module_name = OwnedRef::consuming(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  if (!add_function(module, module_name.borrow(), &compress_def)) return -1;
  if (!add_function(module, module_name.borrow(), &decompress_def)) return -1;
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quillmere",
    "",  // __doc__ is the empty string, not None
    0,   // no per-module state
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quillmere_py

PyMODINIT_FUNC PyInit_quillmere() { return PyModuleDef_Init(&quillmere_py::module_def); }
