// The names and codes of the codec's options, written once. The module
// parses names with these tables, the companion module checks the codes the
// tools send, and neither keeps a list of its own.
//
// Codes are the enumerator values of options.hpp (what containers store);
// names are what users write. The tables are in the order users see the
// choices listed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "quillmere/options.hpp"

namespace quillmere {

template <class Code>
struct NamedOption {
  std::string_view name;
  Code code;
};

inline constexpr std::array<NamedOption<Method>, 4> kMethodNames{{
    {"cdf97", Method::Cdf97},
    {"cdf53", Method::Cdf53},
    {"db4", Method::Db4},
    {"sym4", Method::Sym4},
}};

inline constexpr std::array<NamedOption<Cutoff>, 3> kCutoffNames{{
    {"low", Cutoff::Low},
    {"medium", Cutoff::Medium},
    {"high", Cutoff::High},
}};

// "auto" leaves the choice to the codec. "fast" is the tools' own coder: the
// module neither names nor reads it (see coder_for_module).
inline constexpr std::array<NamedOption<Coder>, 5> kCoderNames{{
    {"auto", Coder::Auto},
    {"deflate", Coder::Deflate},
    {"arans", Coder::Arans},
    {"cmodel", Coder::CModel},
    {"fast", Coder::Fast},
}};

// The default scale (options.hpp's CodecOptions); the range is
// kMinScale..kMaxScale, checked by is_supported_scale.
inline constexpr std::uint8_t kDefaultScale = CodecOptions{}.scale;

template <class Code, std::size_t N>
constexpr std::optional<Code> option_named(const std::array<NamedOption<Code>, N>& table,
                                           std::string_view name) noexcept {
  for (const auto& entry : table) {
    if (entry.name == name) return entry.code;
  }
  return std::nullopt;
}

// The option whose code is `code`, or nothing for a code no option has (a
// code taken from outside, e.g. an integer the tools send).
template <class Code, std::size_t N>
constexpr std::optional<Code> option_coded(const std::array<NamedOption<Code>, N>& table,
                                           long long code) noexcept {
  for (const auto& entry : table) {
    if (static_cast<long long>(entry.code) == code) return entry.code;
  }
  return std::nullopt;
}

template <class Code, std::size_t N>
constexpr std::string_view option_name(const std::array<NamedOption<Code>, N>& table, Code code) noexcept {
  for (const auto& entry : table) {
    if (entry.code == code) return entry.name;
  }
  return {};
}

constexpr std::optional<Method> method_named(std::string_view name) noexcept {
  return option_named(kMethodNames, name);
}
constexpr std::optional<Cutoff> cutoff_named(std::string_view name) noexcept {
  return option_named(kCutoffNames, name);
}
constexpr std::optional<Method> method_coded(long long code) noexcept {
  return option_coded(kMethodNames, code);
}
constexpr std::optional<Cutoff> cutoff_coded(long long code) noexcept {
  return option_coded(kCutoffNames, code);
}
constexpr std::optional<Coder> coder_coded(long long code) noexcept {
  return option_coded(kCoderNames, code);
}
constexpr std::optional<std::uint8_t> scale_coded(long long code) noexcept {
  if (code < kMinScale || code > kMaxScale) return std::nullopt;
  return static_cast<std::uint8_t>(code);
}

// A coder the module takes: everything but the tools' own.
constexpr std::optional<Coder> coder_for_module(std::string_view name) noexcept {
  const auto coder = option_named(kCoderNames, name);
  if (coder && *coder == Coder::Fast) return std::nullopt;
  return coder;
}

}  // namespace quillmere
