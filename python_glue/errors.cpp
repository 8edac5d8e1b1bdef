#include "errors.hpp"

#include <optional>
#include <string>
#include <utility>

#include "once_cell.hpp"
#include "owned_ref.hpp"
#include "quillmere/caught_exception.hpp"

namespace quillmere_py {

// Codec texts are UTF-8 by construction; "replace" keeps a message even if a
// stray byte ever slipped through, because raising must not fail.
void raise_with_text(PyObject* type, std::string_view text) noexcept {
  const OwnedRef message = OwnedRef::consuming(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(type, message.borrow());
}

namespace {

// Kept for the life of the process: the interpreter may still be raising one
// while the module is being torn down.
OnceCell<PyObject*> panic_type_cell;

PyObject* panic_type() noexcept {
  try {
    const auto build = []() -> std::optional<PyObject*> {
      PyObject* type = PyErr_NewExceptionWithDoc(kModuleFaultType.dotted_name, kModuleFaultType.doc,
                                                 PyExc_BaseException, nullptr);
      if (type == nullptr) return std::nullopt;
      return type;
    };
    PyObject* const* type = panic_type_cell.get(build);
    return type == nullptr ? nullptr : *type;
  } catch (...) {
    // Only std::system_error from the mutex can get here.
    PyErr_NoMemory();
    return nullptr;
  }
}

}  // namespace

void raise_codec_error(const quillmere::QuillmereError& error) noexcept {
  try {
    raise_with_text(PyExc_ValueError, error.message());
  } catch (...) {
    PyErr_NoMemory();  // message() can only throw std::bad_alloc
  }
}

void raise_value_error(std::string_view message) noexcept {
  raise_with_text(PyExc_ValueError, message);
}

void raise_panic(std::string_view description) noexcept {
  PyObject* type = panic_type();
  if (type == nullptr) {
    // Creating the type failed (its exception is set) or we were asked from
    // inside its own creation: the fault is still reported, as SystemError.
    if (!PyErr_Occurred()) raise_with_text(PyExc_SystemError, description);
    return;
  }
  raise_with_text(type, description);
}

void note_parameter(const char* parameter) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
#else
  PyObject* type = nullptr;
  PyObject* exc = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &exc, &traceback);
  if (type == nullptr) return;
  PyErr_NormalizeException(&type, &exc, &traceback);
#endif
  const OwnedRef note = OwnedRef::consuming(PyUnicode_FromFormat("while processing '%s'", parameter));
  if (note) {
    const OwnedRef result =
        OwnedRef::consuming(PyObject_CallMethod(exc, "add_note", "O", note.borrow()));
    if (!result) PyErr_Clear();
  } else {
    PyErr_Clear();
  }
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  PyErr_Restore(type, exc, traceback);
#endif
}

void raise_type_mismatch(PyObject* value, const char* expected, const char* parameter) noexcept {
  if (value == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
  } else {
#if PY_VERSION_HEX >= 0x030B0000
    const OwnedRef name = OwnedRef::consuming(PyType_GetQualName(Py_TYPE(value)));
#else
    const OwnedRef name = OwnedRef::consuming(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__qualname__"));
#endif
    if (!name) return;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.borrow(), expected);
  }
  note_parameter(parameter);
}

std::string take_exception_text() {
  std::string text = "unknown error";
#if PY_VERSION_HEX >= 0x030C0000
  const OwnedRef exc = OwnedRef::consuming(PyErr_GetRaisedException());
#else
  PyObject* raw_type = nullptr;
  PyObject* raw_value = nullptr;
  PyObject* raw_tb = nullptr;
  PyErr_Fetch(&raw_type, &raw_value, &raw_tb);
  PyErr_NormalizeException(&raw_type, &raw_value, &raw_tb);
  const OwnedRef type_ref = OwnedRef::consuming(raw_type);
  const OwnedRef tb_ref = OwnedRef::consuming(raw_tb);
  const OwnedRef exc = OwnedRef::consuming(raw_value);
#endif
  if (!exc) return text;
  const OwnedRef message = OwnedRef::consuming(PyObject_Str(exc.borrow()));
  const char* utf8 = message ? PyUnicode_AsUTF8(message.borrow()) : nullptr;
  text = Py_TYPE(exc.borrow())->tp_name;
  if (utf8 != nullptr && *utf8 != '\0') {
    text += ": ";
    text += utf8;
  }
  PyErr_Clear();
  return text;
}

void raise_from_current_exception() noexcept {
  quillmere::on_caught_exception([] { PyErr_NoMemory(); },
                                 [](std::string_view description) { raise_panic(description); });
}

}  // namespace quillmere_py
