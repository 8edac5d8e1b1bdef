// The host's own HDF5, reached at run time. The plugin links no libhdf5: a
// host such as h5py loads its private copy with RTLD_LOCAL, and a second,
// linked copy would own other identifiers, other error stacks and another
// heap. So every HDF5 function the plugin calls is looked up in the library
// that loaded it, and each use degrades gracefully when a lookup fails.
#pragma once

#include <cstddef>

#include "hdf5_abi.hpp"

namespace quillmere::hdf5 {

struct HostApi {
  int (*type_class)(h5abi::hid_t) = nullptr;            // H5Tget_class
  std::size_t (*type_size)(h5abi::hid_t) = nullptr;     // H5Tget_size
  int (*type_order)(h5abi::hid_t) = nullptr;            // H5Tget_order
  int (*get_chunk)(h5abi::hid_t, int, h5abi::hsize_t*) = nullptr;  // H5Pget_chunk
  h5abi::herr_t (*get_filter)(h5abi::hid_t, h5abi::H5Z_filter_t, unsigned*, std::size_t*, unsigned*,
                              std::size_t, char*, unsigned*) = nullptr;  // H5Pget_filter_by_id2
  h5abi::herr_t (*modify_filter)(h5abi::hid_t, h5abi::H5Z_filter_t, unsigned, std::size_t,
                                 const unsigned*) = nullptr;  // H5Pmodify_filter
  void* (*allocate)(std::size_t, bool) = nullptr;       // H5allocate_memory
  h5abi::herr_t (*release)(void*) = nullptr;            // H5free_memory
  h5abi::herr_t (*push)(h5abi::hid_t, const char*, const char*, unsigned, h5abi::hid_t,
                        h5abi::hid_t, h5abi::hid_t, const char*, ...) = nullptr;  // H5Epush2
  const h5abi::hid_t* error_class = nullptr;           // H5E_ERR_CLS_g
  const h5abi::hid_t* major_pipeline = nullptr;        // H5E_PLINE_g
  const h5abi::hid_t* minor_cant_filter = nullptr;     // H5E_CANTFILTER_g

  bool has_type_queries() const noexcept {
    return type_class && type_size && type_order && get_chunk && get_filter && modify_filter;
  }
};

// Remembers an address inside the library that is loading the plugin (the
// caller of H5PLget_plugin_info), so lookups go to that library even when
// its symbols are not global.
void note_loader_address(const void* address) noexcept;

// Resolved once, on first use.
const HostApi& host() noexcept;

// Chunk buffers belong to HDF5's allocator when the host exposes it.
void* host_allocate(std::size_t bytes) noexcept;
void host_release(void* buffer) noexcept;

// Puts `message` on the host's error stack (when it can be reached), under
// the pipeline/"can't filter" codes, so h5py and the tools show it. HDF5
// 1.10 keeps what a filter function pushes under its own "filter returned
// failure" entry; HDF5 2.0 keeps what can_apply and set_local push but not
// what the filter function itself pushes, so there a damaged chunk reads as
// the host's generic pipeline failure.
void push_error(const char* function, unsigned line, const char* message) noexcept;

}  // namespace quillmere::hdf5
