// What a C++ exception means when it reaches one of the boundaries that catch
// them (the two extension modules' entry points, the HDF5 plugin's callbacks,
// the channel library's worker pools). Written once so that every boundary
// answers the same way:
//
//  - std::bad_alloc: memory ran out. The caller reports its own out-of-memory
//    error (MemoryError in Python, the plugin's "out of memory").
//  - anything else: a fault of this code, never of the input. The caller
//    reports it as an internal error carrying the exception's description
//    (PanicException in Python, the plugin's "internal error: ...").
//
// Nothing else may be concluded from an exception: the libraries return
// every condition input can cause as an error value.
#pragma once

#include <exception>
#include <new>
#include <string_view>

namespace quillmere {

// The description of a fault that is not a std::exception.
inline constexpr std::string_view kUnknownFault = "unknown C++ exception";

// Call inside a catch block. Returns out_of_memory() for std::bad_alloc and
// fault(description) for anything else; the description is only valid during
// the call.
template <class OnOutOfMemory, class OnFault>
decltype(auto) on_caught_exception(OnOutOfMemory&& out_of_memory, OnFault&& fault) {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  } catch (const std::exception& error) {
    return fault(std::string_view(error.what()));
  } catch (...) {
    return fault(kUnknownFault);
  }
}

}  // namespace quillmere
