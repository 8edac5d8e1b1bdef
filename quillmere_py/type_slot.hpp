// Process-wide type objects built from a PyType_Spec on first use.
//
// Building runs under the interpreter lock, but PyType_FromSpec can run Python
// code (a garbage collection pass) and so let another thread in to build the
// same type. Both builds may finish; the first one stored wins and the loser
// is dropped, so every caller sees one type. Stored types are never destroyed:
// instances may outlive the module object that made them.
#pragma once

#include <Python.h>

#include <atomic>

namespace quillmere_py {

class TypeSlot {
 public:
  explicit constexpr TypeSlot(PyType_Spec* definition) noexcept : definition_(definition) {}

  // The type; nullptr with the exception of PyType_FromSpec set on failure.
  PyTypeObject* get() noexcept {
    if (PyObject* stored = type_.load(std::memory_order_acquire)) {
      return reinterpret_cast<PyTypeObject*>(stored);
    }
    PyObject* built = PyType_FromSpec(definition_);
    if (built == nullptr) return nullptr;
    PyObject* expected = nullptr;
    if (!type_.compare_exchange_strong(expected, built, std::memory_order_acq_rel)) {
      Py_DECREF(built);
      return reinterpret_cast<PyTypeObject*>(expected);
    }
    return reinterpret_cast<PyTypeObject*>(built);
  }

 private:
  PyType_Spec* definition_;
  std::atomic<PyObject*> type_{nullptr};
};

}  // namespace quillmere_py
