#pragma once

// Text arguments as bytes: a str (its UTF-8 form, kept by the str object itself), bytes
// (read in place) or bytearray (copied, as another Python thread could resize it while
// native code reads it).

#include <pybind11/pybind11.h>

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::bindings {

// The messages for a str that holds a lone surrogate (which UTF-8 cannot carry), after
// the name of the argument: BPETokenizer and WordPieceTokenizer say "encoding", CoreBPE
// says "form".
inline constexpr const char* kNoUtf8Encoding = " is a str that has no UTF-8 encoding (it holds a lone surrogate)";
inline constexpr const char* kNoUtf8Form = " is a str that has no UTF-8 form (it holds a lone surrogate)";

enum class TextRead {
  kInPlace,    // str or bytes: `view` stays valid while the object lives
  kCopy,       // bytearray: `view` must be copied before the lock is released
  kNoUtf8,     // a str with a lone surrogate (the Python error is cleared)
  kNotText,    // any other type
};

// Views the bytes of a text object.
inline TextRead read_text(PyObject* o, std::string_view& view) {
  if (PyUnicode_Check(o)) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(o, &n);
    if (!p) {
      PyErr_Clear();
      return TextRead::kNoUtf8;
    }
    view = std::string_view(p, static_cast<std::size_t>(n));
    return TextRead::kInPlace;
  }
  if (PyBytes_Check(o)) {
    view = std::string_view(PyBytes_AS_STRING(o), static_cast<std::size_t>(PyBytes_GET_SIZE(o)));
    return TextRead::kInPlace;
  }
  if (PyByteArray_Check(o)) {
    view = std::string_view(PyByteArray_AS_STRING(o), static_cast<std::size_t>(PyByteArray_GET_SIZE(o)));
    return TextRead::kCopy;
  }
  return TextRead::kNotText;
}

// The texts of a batch as byte views, gathered with the interpreter lock held so that the
// native threads can read them without it. str and bytes objects are immutable: their
// bytes are read in place while the objects are kept alive here; bytearray items are
// copied. Raises TypeError "<method>(): ..." for a single text in place of the iterable
// and for an item that is no text; `no_utf8` is the message for a str item with a lone
// surrogate (kNoUtf8Encoding or kNoUtf8Form).
struct TextBatch {
  std::vector<pybind11::object> keep;
  std::deque<std::string> copies;  // a deque: growing it never moves the strings
  std::vector<std::string_view> views;
  std::vector<std::size_t> sizes;
  std::size_t total_bytes = 0;

  TextBatch(const pybind11::handle& texts, const char* method, const char* no_utf8) {
    namespace py = pybind11;
    PyObject* whole = texts.ptr();
    if (PyUnicode_Check(whole) || PyBytes_Check(whole) || PyByteArray_Check(whole)) {
      throw py::type_error(std::string(method) + "(): expected an iterable of texts, not a single " +
                           Py_TYPE(whole)->tp_name);
    }
    std::size_t i = 0;
    for (py::handle item : py::iter(texts)) {
      std::string_view view;
      switch (read_text(item.ptr(), view)) {
        case TextRead::kInPlace:
          keep.push_back(py::reinterpret_borrow<py::object>(item));
          break;
        case TextRead::kCopy:
          view = copies.emplace_back(view);
          break;
        case TextRead::kNoUtf8:
          throw py::type_error(std::string(method) + "(): item " + std::to_string(i) + no_utf8);
        case TextRead::kNotText:
          throw py::type_error(std::string(method) + "(): item " + std::to_string(i) + " has type " +
                               Py_TYPE(item.ptr())->tp_name + "; expected str, bytes or bytearray");
      }
      views.push_back(view);
      sizes.push_back(view.size());
      total_bytes += view.size();
      ++i;
    }
  }
};

}  // namespace corvane::bindings
