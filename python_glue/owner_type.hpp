// Heap types whose instances own one C++ value (decoded samples lent to
// NumPy): how such an instance dies, and the flags of a type only C++ makes.
#pragma once

#include <Python.h>

#include <memory>

namespace quillmere_py {

// tp_dealloc for an instance of `Object` whose `Member` was placement-new'd
// when the instance was made.
template <class Object, auto Member>
void destroy_owner(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&(reinterpret_cast<Object*>(self)->*Member));
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type own a reference to it
}

// One made from Python would own nothing, so Python may not make them.
#if PY_VERSION_HEX >= 0x030A0000
inline constexpr unsigned int kOwnerTypeFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;
#else
inline constexpr unsigned int kOwnerTypeFlags = Py_TPFLAGS_DEFAULT;
#endif

}  // namespace quillmere_py
