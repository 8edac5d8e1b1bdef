#include "numpy_api.hpp"

#include <charconv>
#include <cstddef>
#include <iterator>
#include <expected>
#include <optional>
#include <string>

#include "errors.hpp"
#include "once_cell.hpp"

namespace quillmere_py {
namespace {

// Positions in NumPy's exported function table. They are part of NumPy's ABI
// and identical in 1.x and 2.x; every one of them exists from C-API feature
// version 0xc (NumPy 1.15), the oldest this module accepts.
enum ApiSlot : std::size_t {
  kGetNDArrayCVersion = 0,
  kArrayType = 2,
  kDescrFromType = 45,
  kNewFromDescr = 94,
  kEquivTypes = 182,
  kGetEndianness = 210,
  kGetNDArrayCFeatureVersion = 211,
  kSetBaseObject = 282,
};

// The newest ABI whose array layout this module knows (NumPy 2.0), and the
// oldest feature level whose table holds every slot above (NumPy 1.15).
constexpr unsigned kCompiledAbiVersion = 0x02000000;
constexpr unsigned kMinimumFeatureVersion = 0x0c;
constexpr const char kMinimumRelease[] = "1.15";

template <class Fn>
Fn slot(void* const* table, ApiSlot index) noexcept {
  return reinterpret_cast<Fn>(table[index]);
}

using LoadResult = std::expected<NumpyApi, std::string>;

std::unexpected<std::string> failure(std::string reason) {
  return std::unexpected("Failed to access NumPy array API capsule: " + std::move(reason));
}

// numpy.lib.NumpyVersion(numpy.__version__).major; NumPy 2 moved the core
// package from numpy.core to numpy._core.
std::expected<const char*, std::string> core_module_name() {
  const OwnedRef numpy = OwnedRef::consuming(PyImport_ImportModule("numpy"));
  if (!numpy) return failure(take_exception_text());
  const OwnedRef version = OwnedRef::consuming(PyObject_GetAttrString(numpy.borrow(), "__version__"));
  if (!version) return failure(take_exception_text());
  const OwnedRef lib = OwnedRef::consuming(PyImport_ImportModule("numpy.lib"));
  if (!lib) return failure(take_exception_text());
  const OwnedRef parsed = OwnedRef::consuming(
      PyObject_CallMethod(lib.borrow(), "NumpyVersion", "O", version.borrow()));
  if (!parsed) return failure(take_exception_text());
  const OwnedRef major_obj = OwnedRef::consuming(PyObject_GetAttrString(parsed.borrow(), "major"));
  if (!major_obj) return failure(take_exception_text());
  const long major = PyLong_AsLong(major_obj.borrow());
  if (major == -1 && PyErr_Occurred()) return failure(take_exception_text());
  return major >= 2 ? "numpy._core" : "numpy.core";
}

std::expected<void* const*, std::string> capsule_table(const char* core) {
  const std::string name = std::string(core) + ".multiarray";
  const OwnedRef multiarray = OwnedRef::consuming(PyImport_ImportModule(name.c_str()));
  if (!multiarray) return failure(take_exception_text());
  const OwnedRef capsule = OwnedRef::consuming(PyObject_GetAttrString(multiarray.borrow(), "_ARRAY_API"));
  if (!capsule) return failure(take_exception_text());
  if (!PyCapsule_CheckExact(capsule.borrow())) return failure("_ARRAY_API is not a capsule");
  void* table = PyCapsule_GetPointer(capsule.borrow(), nullptr);
  if (table == nullptr) return failure(take_exception_text());
  // The table is a static array inside NumPy's extension, which stays loaded
  // once imported; the capsule object itself need not be kept.
  return static_cast<void* const*>(table);
}

std::string to_hex(unsigned value) {
  char digits[2 * sizeof(unsigned)];
  const auto end = std::to_chars(std::begin(digits), std::end(digits), value, 16).ptr;
  return std::string(digits, end);
}

std::expected<void, std::string> check_versions(void* const* table) {
  const unsigned abi = slot<unsigned (*)()>(table, kGetNDArrayCVersion)();
  if (abi > kCompiledAbiVersion) {
    return failure("module compiled against ABI version 0x" + to_hex(kCompiledAbiVersion) +
                   " but this version of numpy is 0x" + to_hex(abi));
  }
  const unsigned feature = slot<unsigned (*)()>(table, kGetNDArrayCFeatureVersion)();
  if (feature < kMinimumFeatureVersion) {
    return failure("module was compiled against NumPy C-API version 0x" +
                   to_hex(kMinimumFeatureVersion) + " (NumPy " + kMinimumRelease +
                   ") but the running NumPy has C-API version 0x" + to_hex(feature));
  }
  if (slot<int (*)()>(table, kGetEndianness)() != NPY_CPU_LITTLE) {
    return failure("module compiled as little endian, but detected different endianness at runtime");
  }
  return {};
}

LoadResult load() {
  const auto core = core_module_name();
  if (!core) return std::unexpected(core.error());
  const auto table = capsule_table(*core);
  if (!table) return std::unexpected(table.error());
  if (auto ok = check_versions(*table); !ok) return std::unexpected(ok.error());

  const auto descr_from_type = slot<PyArray_Descr* (*)(int)>(*table, kDescrFromType);
  PyArray_Descr* float32 = descr_from_type(NPY_FLOAT);
  if (float32 == nullptr) return failure(take_exception_text());
  PyArray_Descr* float64 = descr_from_type(NPY_DOUBLE);
  if (float64 == nullptr) {
    Py_DECREF(float32);
    return failure(take_exception_text());
  }
  return NumpyApi(*table, float32, float64);
}

OnceCell<LoadResult> api_cell;

}  // namespace

NumpyApi::NumpyApi(void* const* table, PyArray_Descr* float32, PyArray_Descr* float64) noexcept
    : table_(table), float32_(float32), float64_(float64) {}

bool NumpyApi::is_array(PyObject* object) const noexcept {
  return PyObject_TypeCheck(object, static_cast<PyTypeObject*>(table_[kArrayType]));
}

bool NumpyApi::is_float32(PyArray_Descr* descr) const noexcept {
  return slot<unsigned char (*)(PyArray_Descr*, PyArray_Descr*)>(table_, kEquivTypes)(descr, float32_);
}

bool NumpyApi::is_float64(PyArray_Descr* descr) const noexcept {
  return slot<unsigned char (*)(PyArray_Descr*, PyArray_Descr*)>(table_, kEquivTypes)(descr, float64_);
}

OwnedRef NumpyApi::float32_vector(float* data, npy_intp length) const noexcept {
  using NewFromDescr = PyObject* (*)(PyTypeObject*, PyArray_Descr*, int, const npy_intp*,
                                     const npy_intp*, void*, int, PyObject*);
  const npy_intp dims[1] = {length};
  const npy_intp strides[1] = {static_cast<npy_intp>(sizeof(float))};
  Py_INCREF(float32_);  // NewFromDescr consumes a reference to the descriptor
  return OwnedRef::consuming(slot<NewFromDescr>(table_, kNewFromDescr)(
      static_cast<PyTypeObject*>(table_[kArrayType]), float32_, 1, dims, strides, data,
      NPY_ARRAY_WRITEABLE, nullptr));
}

int NumpyApi::set_base_object(PyObject* array, OwnedRef base) const noexcept {
  return slot<int (*)(PyArrayObject*, PyObject*)>(table_, kSetBaseObject)(
      reinterpret_cast<PyArrayObject*>(array), base.release());
}

const NumpyApi* numpy_api() noexcept {
  try {
    const LoadResult* loaded = api_cell.get([] { return std::optional<LoadResult>(load()); });
    if (loaded == nullptr) {
      if (!PyErr_Occurred()) {
        raise_panic("Failed to access NumPy array API capsule: requested while NumPy was being loaded");
      }
      return nullptr;
    }
    if (!loaded->has_value()) {
      raise_panic(loaded->error());
      return nullptr;
    }
    return &loaded->value();
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

}  // namespace quillmere_py
