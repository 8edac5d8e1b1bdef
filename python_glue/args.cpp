#include "args.hpp"

namespace quillmere_py {
namespace {

class Binder {
 public:
  Binder(const Signature& signature, std::span<PyObject*> bound) noexcept
      : signature_(signature), bound_(bound) {
    for (PyObject*& slot : bound_) slot = nullptr;
  }

  PyResult<void> positional(PyObject* const* items, Py_ssize_t count) noexcept {
    const std::size_t total = signature_.parameters.size();
    if (static_cast<std::size_t>(count) > total) {
      if (signature_.required == total) {
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd were given",
                     signature_.function, total, count);
      } else {
        PyErr_Format(PyExc_TypeError,
                     "%s takes from %zu to %zu positional arguments but %zd were given",
                     signature_.function, signature_.required, total, count);
      }
      return exception_set();
    }
    for (Py_ssize_t i = 0; i < count; ++i) bound_[static_cast<std::size_t>(i)] = items[i];
    return {};
  }

  PyResult<void> keyword(PyObject* name, PyObject* value) noexcept {
    for (std::size_t i = 0; i < signature_.parameters.size(); ++i) {
      if (!PyUnicode_Check(name) ||
          PyUnicode_CompareWithASCIIString(name, signature_.parameters[i]) != 0) {
        continue;
      }
      if (bound_[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                     signature_.function, signature_.parameters[i]);
        return exception_set();
      }
      bound_[i] = value;
      return {};
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                 signature_.function, name);
    return exception_set();
  }

  PyResult<void> finish() const noexcept {
    for (std::size_t i = 0; i < signature_.required; ++i) {
      if (bound_[i] == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s missing 1 required positional argument: '%s'",
                     signature_.function, signature_.parameters[i]);
        return exception_set();
      }
    }
    return {};
  }

 private:
  const Signature& signature_;
  std::span<PyObject*> bound_;
};

}  // namespace

PyResult<void> bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames, std::span<PyObject*> bound) noexcept {
  Binder binder(signature, bound);
  if (auto ok = binder.positional(args, nargs); !ok) return ok;
  if (kwnames != nullptr) {
    // Keyword values follow the positional ones in the same vector.
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      if (auto ok = binder.keyword(PyTuple_GET_ITEM(kwnames, i), args[nargs + i]); !ok) return ok;
    }
  }
  return binder.finish();
}

PyResult<void> bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs,
                          std::span<PyObject*> bound) noexcept {
  Binder binder(signature, bound);
  if (auto ok = binder.positional(PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args)); !ok) {
    return ok;
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (auto ok = binder.keyword(name, value); !ok) return ok;
    }
  }
  return binder.finish();
}

}  // namespace quillmere_py
