// The HDF5 entry points: the filter class that H5PLget_plugin_info hands to
// the host, its can_apply and set_local callbacks, and the filter function.
// Every path returns HDF5's failure value with a message on the host's error
// stack; nothing throws out of here and no input ends the host process.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>

#include "chunk_codec.hpp"
#include "filter_params.hpp"
#include "hdf5_abi.hpp"
#include "host_hdf5.hpp"
#include "quillmere/caught_exception.hpp"
#include "quillmere/forward_error.hpp"
#include "quillmere/header.hpp"

namespace quillmere::hdf5 {
namespace {

using h5abi::hid_t;

// Room for more cd_values than any layout uses, so an oversized set is
// reported by its true count rather than cut to size.
constexpr std::size_t kReadCapacity = 32;

const char* class_name(int type_class) noexcept {
  static constexpr std::array<const char*, 12> names = {
      "integer", "float", "time", "string", "bitfield", "opaque", "compound",
      "reference", "enum", "variable-length", "array", "complex"};
  return type_class >= 0 && static_cast<std::size_t>(type_class) < names.size() ? names[type_class]
                                                                                 : "unknown";
}

// The element type a dataset's file type maps to, or a message why none.
std::expected<ElementType, std::string> element_of(hid_t type_id) {
  const HostApi& api = host();
  const int type_class = api.type_class(type_id);
  const std::size_t size = api.type_size(type_id);
  const int order = api.type_order(type_id);
  if (type_class != h5abi::kClassFloat || (size != 4 && size != 8) ||
      (order != h5abi::kOrderLittle && order != h5abi::kOrderBig)) {
    return std::unexpected(std::string("quillmere filter: only float32 and float64 datasets can be "
                                       "compressed; this dataset's elements are ") +
                           class_name(type_class) + " of " + std::to_string(size) + " bytes");
  }
  const bool big = order == h5abi::kOrderBig;
  if (size == 4) return big ? ElementType::F32BE : ElementType::F32LE;
  return big ? ElementType::F64BE : ElementType::F64LE;
}

struct DcplFilter {
  unsigned flags = 0;
  std::size_t count = 0;
  std::array<unsigned, kReadCapacity> values{};
};

std::expected<DcplFilter, std::string> read_filter(hid_t dcpl_id) {
  DcplFilter f;
  f.count = f.values.size();
  unsigned config = 0;
  if (host().get_filter(dcpl_id, kFilterId, &f.flags, &f.count, f.values.data(), 0, nullptr,
                        &config) < 0) {
    return std::unexpected(std::string("quillmere filter: cannot read its cd_values from the "
                                       "dataset creation property list"));
  }
  return f;
}

std::expected<FilterParams, std::string> params_of(const DcplFilter& f) {
  if (f.count > f.values.size()) {
    return std::unexpected(ParamError{ParamError::Kind::Count, 0, f.count}.message());
  }
  auto p = parse_params(std::span<const unsigned>(f.values.data(), f.count), Stage::Creation);
  if (!p) return std::unexpected(p.error().message());
  return *p;
}

// The chunk's extents, checked so that no product of them can wrap.
struct ChunkShape {
  int rank = 0;
  std::array<h5abi::hsize_t, h5abi::kMaxRank> dims{};
  std::uint32_t samples = 1;
};

std::expected<ChunkShape, std::string> chunk_shape_of(hid_t dcpl_id) {
  ChunkShape s;
  s.rank = host().get_chunk(dcpl_id, h5abi::kMaxRank, s.dims.data());
  if (s.rank <= 0 || s.rank > h5abi::kMaxRank)
    return std::unexpected(std::string("quillmere filter: the dataset has no chunk shape"));
  // Both factors stay at or below 2^31 - 1, so no product can wrap.
  std::uint64_t samples = 1;
  for (int i = 0; i < s.rank; ++i) {
    if (s.dims[i] == 0 || s.dims[i] > kMaxSampleCount || samples * s.dims[i] > kMaxSampleCount) {
      return std::unexpected("quillmere filter: a chunk must hold 1 to " + std::to_string(kMaxSampleCount) +
                             " elements");
    }
    samples *= s.dims[i];
  }
  s.samples = static_cast<std::uint32_t>(samples);
  return s;
}

// Everything the dataset creation property list says, checked: the element
// type, the cd_values and the chunk shape against the time axis.
struct Creation {
  DcplFilter filter;
  FilterParams params;
  ElementType element = ElementType::Unknown;
  ChunkShape shape;
};

std::expected<Creation, std::string> creation_of(hid_t dcpl_id, hid_t type_id) {
  Creation c;
  QUILLMERE_TRY(element, element_of(type_id));
  c.element = *element;
  QUILLMERE_TRY(filter, read_filter(dcpl_id));
  c.filter = *filter;
  QUILLMERE_TRY(params, params_of(c.filter));
  c.params = *params;
  QUILLMERE_TRY(shape, chunk_shape_of(dcpl_id));
  c.shape = *shape;
  if (c.params.layout == kLayoutVersion && c.params.time_axis >= unsigned(c.shape.rank)) {
    return std::unexpected("quillmere filter: cd_values[5] (time axis) is " +
                           std::to_string(c.params.time_axis) + ", but the chunk has " +
                           std::to_string(c.shape.rank) + (c.shape.rank == 1 ? " axis" : " axes"));
  }
  return c;
}

constexpr const char* kOutOfMemory = "quillmere filter: out of memory";

// Inside a catch block: the exception in flight on the host's error stack,
// by the one policy of quillmere/caught_exception.hpp. No exception may
// reach the host, whose C frames cannot unwind.
void push_caught(const char* function, unsigned line) noexcept {
  try {
    quillmere::on_caught_exception(
        [&] { push_error(function, line, kOutOfMemory); },
        [&](std::string_view description) {
          const ChunkError fault{ChunkError::Kind::Internal, std::string(description)};
          push_error(function, line, fault.message().c_str());
        });
  } catch (...) {
    push_error(function, line, kOutOfMemory);  // only the message could not be made
  }
}

constexpr const char* kNoHost =
    "quillmere filter: the host's HDF5 type and property functions could not be found";

h5abi::htri_t can_apply(hid_t dcpl_id, hid_t type_id, hid_t /*space_id*/) {
  try {
    if (!host().has_type_queries()) {
      push_error(__func__, __LINE__, kNoHost);
      return -1;
    }
    if (auto c = creation_of(dcpl_id, type_id); !c) {
      push_error(__func__, __LINE__, c.error().c_str());
      return -1;
    }
    return 1;
  } catch (...) {
    push_caught(__func__, __LINE__);
    return -1;
  }
}

// The dataset's cd_values with what a reader needs and the writer's values
// cannot say filled in: the element type, the chunk's geometry and (layout
// 2) the check word over all of them.
std::expected<DcplFilter, std::string> localised(hid_t dcpl_id, hid_t type_id) {
  QUILLMERE_TRY(c, creation_of(dcpl_id, type_id));
  DcplFilter f = c->filter;
  f.values[param::kElement] = static_cast<unsigned>(c->element);
  f.values[param::kChunkSamples] = c->shape.samples;
  if (c->params.layout == kLayoutVersion) {
    std::uint64_t stride = 1;
    for (int i = int(c->params.time_axis) + 1; i < c->shape.rank; ++i) stride *= c->shape.dims[i];
    f.values[param::kFrames] = static_cast<unsigned>(c->shape.dims[c->params.time_axis]);
    f.values[param::kStride] = static_cast<unsigned>(stride);
    f.values[param::kCheck] = check_word(std::span<const unsigned>(f.values.data(), f.count));
  }
  return f;
}

h5abi::herr_t set_local(hid_t dcpl_id, hid_t type_id, hid_t /*space_id*/) {
  try {
    const HostApi& api = host();
    if (!api.has_type_queries()) {
      push_error(__func__, __LINE__, kNoHost);
      return -1;
    }
    auto filter = localised(dcpl_id, type_id);
    if (!filter) {
      push_error(__func__, __LINE__, filter.error().c_str());
      return -1;
    }
    const unsigned* words = filter->values.data();
    if (api.modify_filter(dcpl_id, kFilterId, filter->flags, filter->count, words) < 0) {
      push_error(__func__, __LINE__, "quillmere filter: cannot store its cd_values");
      return -1;
    }
    return 0;
  } catch (...) {
    push_caught(__func__, __LINE__);
    return -1;
  }
}

std::size_t run_filter(unsigned flags, std::size_t cd_nelmts, const unsigned cd_values[],
                       std::size_t nbytes, std::size_t* buf_size, void** buf) {
  try {
    // Every word again, with the check word: the file may have been altered
    // since set_local filled them in.
    auto params = parse_params(std::span<const unsigned>(cd_values, cd_values ? cd_nelmts : 0),
                               Stage::Chunk);
    if (!params) {
      push_error(__func__, __LINE__, params.error().message().c_str());
      return 0;
    }
    const std::span<const std::uint8_t> in(static_cast<const std::uint8_t*>(*buf), nbytes);
    const bool reading = (flags & h5abi::kFlagReverse) != 0;
    auto out = reading ? decode_chunk(in, *params) : encode_chunk(in, *params);
    if (!out) {
      push_error(__func__, __LINE__, out.error().message().c_str());
      return 0;
    }
    void* fresh = host_allocate(std::max<std::size_t>(out->size(), 1));
    if (fresh == nullptr) {
      push_error(__func__, __LINE__, kOutOfMemory);
      return 0;
    }
    std::memcpy(fresh, out->data(), out->size());
    host_release(*buf);
    *buf = fresh;
    *buf_size = out->size();
    return out->size();
  } catch (...) {
    push_caught(__func__, __LINE__);
    return 0;
  }
}

const h5abi::FilterClass kFilterClass = {
    h5abi::kFilterClassVersion, kFilterId, 1, 1, kFilterName, can_apply, set_local, run_filter};

}  // namespace
}  // namespace quillmere::hdf5

extern "C" {

__attribute__((visibility("default"))) int H5PLget_plugin_type(void) {
  return h5abi::kPluginTypeFilter;
}

// noinline: the return address must be the host library's call site.
__attribute__((visibility("default"), noinline)) const void* H5PLget_plugin_info(void) {
  quillmere::hdf5::note_loader_address(__builtin_return_address(0));
  return &quillmere::hdf5::kFilterClass;
}

}
