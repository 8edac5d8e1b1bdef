#include "compression_options.hpp"

#include <charconv>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "args.hpp"
#include "owned_ref.hpp"
#include "quillmere/option_table.hpp"
#include "type_slot.hpp"

namespace quillmere_py {
namespace {

using quillmere::CodecOptions;
using quillmere::Coder;
using quillmere::Cutoff;
using quillmere::Method;

struct OptionsObject {
  PyObject_HEAD
  CodecOptions record;
};

constexpr const char* kParameters[] = {"method", "scale", "cutoff", "coder", "quant_multiplier"};
constexpr Signature kSignature{"CompressionOptions.__new__()", kParameters, 0};

// ---- Phase 1: each supplied argument to a native value -------------------

// What phase 1 produces. The string views point into the argument objects'
// UTF-8 caches, which live as long as the arguments, i.e. the whole call.
struct Converted {
  std::string_view method = quillmere::option_name(quillmere::kMethodNames, CodecOptions{}.method);
  unsigned scale = quillmere::kDefaultScale;
  std::string_view cutoff = quillmere::option_name(quillmere::kCutoffNames, CodecOptions{}.cutoff);
  std::optional<std::string_view> coder;
  std::optional<float> quant_multiplier;
};

PyResult<std::string_view> convert_str(PyObject* value, const char* parameter) noexcept {
  if (!PyUnicode_Check(value)) {
    raise_type_mismatch(value, "str", parameter);
    return exception_set();
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);  // fails on lone surrogates
  if (utf8 == nullptr) {
    note_parameter(parameter);
    return exception_set();
  }
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

// An int (bool included) directly, anything else through __index__; the value
// must fit the record's unsigned byte.
PyResult<unsigned> convert_scale(PyObject* value) noexcept {
  long number = 0;
  if (PyLong_Check(value)) {
    number = PyLong_AsLong(value);
  } else {
    const OwnedRef index = OwnedRef::consuming(PyNumber_Index(value));
    number = index ? PyLong_AsLong(index.borrow()) : -1;
  }
  if (number == -1 && PyErr_Occurred()) {
    note_parameter("scale");
    return exception_set();
  }
  if (number < 0 || number > 255) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    note_parameter("scale");
    return exception_set();
  }
  return static_cast<unsigned>(number);
}

// Rounded to the nearest float32 (ties to even); out-of-range values become
// infinities. No range check: zero, negative and non-finite multipliers are
// the codec's business.
PyResult<float> convert_multiplier(PyObject* value) noexcept {
  const double number = PyFloat_CheckExact(value) ? PyFloat_AS_DOUBLE(value) : PyFloat_AsDouble(value);
  if (number == -1.0 && PyErr_Occurred()) {
    note_parameter("quant_multiplier");
    return exception_set();
  }
  return static_cast<float>(number);
}

// Arguments in parameter order; the first failure wins.
PyResult<Converted> convert(PyObject* const (&args)[5]) noexcept {
  Converted out;
  if (PyObject* value = args[0]) {
    const auto text = convert_str(value, "method");
    if (!text) return exception_set();
    out.method = *text;
  }
  if (PyObject* value = args[1]) {
    const auto scale = convert_scale(value);
    if (!scale) return exception_set();
    out.scale = *scale;
  }
  if (PyObject* value = args[2]) {
    const auto text = convert_str(value, "cutoff");
    if (!text) return exception_set();
    out.cutoff = *text;
  }
  if (PyObject* value = args[3]; value != nullptr && value != Py_None) {
    const auto text = convert_str(value, "coder");
    if (!text) return exception_set();
    out.coder = *text;
  }
  if (PyObject* value = args[4]; value != nullptr && value != Py_None) {
    const auto multiplier = convert_multiplier(value);
    if (!multiplier) return exception_set();
    out.quant_multiplier = *multiplier;
  }
  return out;
}

// ---- Phase 2: validation and mapping -------------------------------------

void append_utf8(std::string& out, char32_t code_point) {
  if (code_point < 0x80) {
    out += static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    out += static_cast<char>(0xC0 | (code_point >> 6));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    out += static_cast<char>(0xE0 | (code_point >> 12));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code_point >> 18));
    out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  }
}

// The text as a double-quoted literal, so that invisible differences (a
// trailing newline, a NUL, a zero-width space) show in the message. The input
// is valid UTF-8: the interpreter produced it from a str.
std::string quoted_literal(std::string_view utf8) {
  std::string out = "\"";
  std::size_t i = 0;
  while (i < utf8.size()) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t code_point = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
    for (std::size_t k = 1; k < length; ++k) {
      code_point = (code_point << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    }
    i += length;
    switch (code_point) {
      case U'"': out += "\\\""; break;
      case U'\\': out += "\\\\"; break;
      case U'\n': out += "\\n"; break;
      case U'\r': out += "\\r"; break;
      case U'\t': out += "\\t"; break;
      case U'\0': out += "\\0"; break;
      default:
        if (Py_UNICODE_ISPRINTABLE(static_cast<Py_UCS4>(code_point))) {
          append_utf8(out, code_point);
        } else {
          char digits[8];
          const auto end = std::to_chars(std::begin(digits), std::end(digits),
                                         static_cast<std::uint32_t>(code_point), 16).ptr;
          out += "\\u{";
          out.append(digits, end);
          out += '}';
        }
    }
  }
  out += '"';
  return out;
}

// Method, cutoff, scale, coder, in that order; the first failure wins.
PyResult<CodecOptions> validate(const Converted& in) {
  CodecOptions record;
  const auto method = quillmere::method_named(in.method);
  if (!method) {
    raise_value_error("Unknown method " + quoted_literal(in.method) +
                      ", expected 'cdf97' or 'cdf53' or 'db4' or 'sym4'");
    return exception_set();
  }
  const auto cutoff = quillmere::cutoff_named(in.cutoff);
  if (!cutoff) {
    raise_value_error("Unknown cutoff level " + quoted_literal(in.cutoff) +
                      ", expected 'low' or 'medium' or 'high'");
    return exception_set();
  }
  if (!quillmere::is_supported_scale(static_cast<std::uint8_t>(in.scale))) {
    // The codec owns this message; the header reader reports the same error.
    raise_codec_error(quillmere::QuillmereError::unsupported_scale(static_cast<std::uint8_t>(in.scale)));
    return exception_set();
  }
  const auto coder = in.coder ? quillmere::coder_for_module(*in.coder) : Coder::Auto;
  if (!coder) {
    // "cmodel" is accepted although the message does not list it; the
    // messages are the module's published texts, not lists made from the
    // tables.
    raise_value_error("Unknown coder " + quoted_literal(*in.coder) +
                      ", expected 'auto', 'deflate', 'arans'");
    return exception_set();
  }
  record.method = *method;
  record.cutoff = *cutoff;
  record.scale = static_cast<std::uint8_t>(in.scale);
  record.coder = *coder;
  record.quant_multiplier = in.quant_multiplier;
  return record;
}

// ---- The type ------------------------------------------------------------

PyObject* options_new_impl(PyTypeObject* type, const CodecOptions& record) noexcept {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<OptionsObject*>(self)->record = record;
  return self;
}

// Both phases run before the instance exists, so construction either yields
// a complete object or raises.
PyObject* options_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* bound[5];
    if (!bind_tuple(kSignature, args, kwargs, bound)) return nullptr;
    const auto converted = convert(bound);
    if (!converted) return nullptr;
    const auto record = validate(*converted);
    if (!record) return nullptr;
    return options_new_impl(type, *record);
  });
}

void options_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type own a reference to it
}

constexpr const char kDoc[] =
    "CompressionOptions(method=\"cdf97\", scale=11, cutoff=\"low\", coder=None, "
    "quant_multiplier=None)\n--\n\n";

PyType_Slot options_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(options_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(options_dealloc)},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

PyType_Spec options_spec = {
    // No module part: the class presents itself as a builtin.
    "builtins.CompressionOptions",
    sizeof(OptionsObject),
    0,
#if PY_VERSION_HEX >= 0x030A0000
    // One type object serves the whole process; nobody may patch it.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
#else
    Py_TPFLAGS_DEFAULT,
#endif
    options_slots,
};

TypeSlot options_slot(&options_spec);

}  // namespace

PyTypeObject* options_type() noexcept { return options_slot.get(); }

PyResult<CodecOptions> options_from_argument(PyObject* options) noexcept {
  if (options == nullptr || options == Py_None) return CodecOptions{};
  PyTypeObject* type = options_type();
  if (type == nullptr) return exception_set();
  if (!PyObject_TypeCheck(options, type)) {
    raise_type_mismatch(options, "CompressionOptions", "options");
    return exception_set();
  }
  return reinterpret_cast<OptionsObject*>(options)->record;
}

}  // namespace quillmere_py
