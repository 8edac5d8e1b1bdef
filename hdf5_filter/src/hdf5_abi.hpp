// The few HDF5 types and constants the filter needs, declared here rather
// than taken from a libhdf5 development package: the plugin must load into
// whichever HDF5 the host brought (h5py's wheels carry their own), so it
// compiles against no particular release and links none. Everything below
// has kept its layout and value since HDF5 1.10 (hid_t became 64-bit there),
// which is the oldest host we accept.
#pragma once

#include <cstddef>
#include <cstdint>

namespace h5abi {

using hid_t = std::int64_t;
using hsize_t = std::uint64_t;
using herr_t = int;
using htri_t = int;
using H5Z_filter_t = int;

// H5PL_type_t
inline constexpr int kPluginTypeFilter = 0;

// H5Z_class2_t and its version tag H5Z_CLASS_T_VERS.
inline constexpr int kFilterClassVersion = 1;
using CanApplyFn = htri_t (*)(hid_t dcpl_id, hid_t type_id, hid_t space_id);
using SetLocalFn = herr_t (*)(hid_t dcpl_id, hid_t type_id, hid_t space_id);
using FilterFn = std::size_t (*)(unsigned flags, std::size_t cd_nelmts, const unsigned cd_values[],
                                 std::size_t nbytes, std::size_t* buf_size, void** buf);
struct FilterClass {
  int version;
  H5Z_filter_t id;
  unsigned encoder_present;
  unsigned decoder_present;
  const char* name;
  CanApplyFn can_apply;
  SetLocalFn set_local;
  FilterFn filter;
};

// Bit of the filter call's flags that says the chunk is being read.
inline constexpr unsigned kFlagReverse = 0x0100;

// H5T_class_t / H5T_order_t values.
inline constexpr int kClassFloat = 1;
inline constexpr int kOrderLittle = 0;
inline constexpr int kOrderBig = 1;

// H5E_DEFAULT: the calling thread's current error stack.
inline constexpr hid_t kDefaultErrorStack = 0;

// H5S_MAX_RANK: the largest chunk rank H5Pget_chunk can report.
inline constexpr int kMaxRank = 32;

}  // namespace h5abi
