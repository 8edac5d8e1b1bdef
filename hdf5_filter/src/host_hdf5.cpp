#include "host_hdf5.hpp"

#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace quillmere::hdf5 {

namespace {

std::atomic<const void*> g_loader_address{nullptr};

// The library that holds `address`, reopened without loading anything new.
void* library_containing(const void* address) noexcept {
  if (address == nullptr) return nullptr;
  Dl_info info{};
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return nullptr;
  void* handle = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
  if (handle != nullptr && dlsym(handle, "H5Pmodify_filter") == nullptr) {
    dlclose(handle);
    return nullptr;
  }
  return handle;  // kept open: the host keeps that library loaded anyway
}

template <class Fn>
void bind(void* handle, const char* name, Fn& slot) noexcept {
  slot = reinterpret_cast<Fn>(dlsym(handle, name));
}

HostApi resolve() noexcept {
  // The loader's own library first: in a process holding two HDF5 copies
  // (h5py's private one and a system one), only the loader's identifiers
  // mean anything to the plugin's callbacks.
  void* handle = library_containing(g_loader_address.load());
  if (handle == nullptr) handle = RTLD_DEFAULT;
  HostApi api;
  bind(handle, "H5Tget_class", api.type_class);
  bind(handle, "H5Tget_size", api.type_size);
  bind(handle, "H5Tget_order", api.type_order);
  bind(handle, "H5Pget_chunk", api.get_chunk);
  bind(handle, "H5Pget_filter_by_id2", api.get_filter);
  bind(handle, "H5Pmodify_filter", api.modify_filter);
  bind(handle, "H5allocate_memory", api.allocate);
  bind(handle, "H5free_memory", api.release);
  bind(handle, "H5Epush2", api.push);
  bind(handle, "H5E_ERR_CLS_g", api.error_class);
  bind(handle, "H5E_PLINE_g", api.major_pipeline);
  bind(handle, "H5E_CANTFILTER_g", api.minor_cant_filter);
  // Memory must come from and go back to one allocator: both or neither.
  if (api.allocate == nullptr || api.release == nullptr) {
    api.allocate = nullptr;
    api.release = nullptr;
  }
  return api;
}

}  // namespace

void note_loader_address(const void* address) noexcept {
  const void* expected = nullptr;
  g_loader_address.compare_exchange_strong(expected, address);
}

const HostApi& host() noexcept {
  static std::once_flag once;
  static HostApi api;
  std::call_once(once, [] { api = resolve(); });
  return api;
}

void* host_allocate(std::size_t bytes) noexcept {
  const HostApi& api = host();
  return api.allocate ? api.allocate(bytes, false) : std::malloc(bytes);
}

void host_release(void* buffer) noexcept {
  const HostApi& api = host();
  if (api.release) {
    api.release(buffer);
  } else {
    std::free(buffer);
  }
}

void push_error(const char* function, unsigned line, const char* message) noexcept {
  const HostApi& api = host();
  if (!api.push || !api.error_class || !api.major_pipeline || !api.minor_cant_filter) return;
  // The file shown is the plugin's name: a build machine's paths mean
  // nothing to the person reading the error stack.
  api.push(h5abi::kDefaultErrorStack, "quillmere HDF5 filter", function, line, *api.error_class,
           *api.major_pipeline, *api.minor_cant_filter, "%s", message);
}

}  // namespace quillmere::hdf5
