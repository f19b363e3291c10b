// Python binding of PreTokenizer (type conversion only; the behaviour is the engine's).
#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bindings/pre_tokenizer_kind.h"
#include "pre_tokenizers/pre_tokenizer.h"

namespace py = pybind11;
using corvane::PreTokenizer;
using corvane::bindings::kind_name;

namespace {

// Texts at least this long are split with the GIL released.
constexpr std::size_t kReleaseGilBytes = 4096;

// The UTF-8 of a str. A str holding lone surrogates (which UTF-8 cannot carry) is first
// repaired the way tiktoken repairs it: through UTF-16 with surrogatepass, so that a
// surrogate pair becomes its character and each lone surrogate becomes U+FFFD.
std::string_view str_utf8(const py::handle& s, py::object& keep_alive) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
  if (!data) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw py::error_already_set();
    PyErr_Clear();
    keep_alive = s.attr("encode")("utf-16", "surrogatepass").attr("decode")("utf-16", "replace");
    data = PyUnicode_AsUTF8AndSize(keep_alive.ptr(), &size);
    if (!data) throw py::error_already_set();
  }
  return {data, static_cast<std::size_t>(size)};
}

py::list split_text(const PreTokenizer& p, const py::object& text) {
  py::object keep_alive;
  std::string_view bytes;
  if (PyUnicode_Check(text.ptr())) {
    bytes = str_utf8(text, keep_alive);
  } else if (PyBytes_Check(text.ptr())) {
    bytes = std::string_view(PyBytes_AS_STRING(text.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(text.ptr())));
  } else {
    throw py::type_error(std::string("split() argument must be str or bytes, not ") +
                         Py_TYPE(text.ptr())->tp_name);
  }
  // str and bytes are immutable and `text` / `keep_alive` hold them while the GIL is free.
  std::vector<std::pair<std::size_t, std::size_t>> pieces;
  const auto collect = [&] {
    p.split(bytes, [&](std::string_view piece) {
      pieces.emplace_back(static_cast<std::size_t>(piece.data() - bytes.data()), piece.size());
    });
  };
  if (bytes.size() >= kReleaseGilBytes) {
    py::gil_scoped_release release;
    collect();
  } else {
    collect();
  }
  py::list out(pieces.size());
  for (std::size_t k = 0; k < pieces.size(); ++k) {
    PyObject* b = PyBytes_FromStringAndSize(bytes.data() + pieces[k].first, static_cast<Py_ssize_t>(pieces[k].second));
    if (!b) throw py::error_already_set();
    PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(k), b);
  }
  return out;
}

constexpr const char* kClassDoc =
    "Cuts text into pre-tokens by a tiktoken-style pattern (pat_str): each match is one "
    "pre-token, in order; text no match covers is dropped.\n\n"
    "The patterns of the public encodings run on hand-written scanners (engine=\"auto\"); "
    "any other pattern, or any pattern with engine=\"regex\", runs on the regex engine "
    "(PCRE2, with Unicode 16 classes). Stretches of well-formed UTF-8 are pre-tokenised "
    "each as a whole text; every byte of bytes input that is not part of a well-formed "
    "character is a pre-token of its own.";

constexpr const char* kSplitDoc =
    "The pre-tokens of text (str or bytes), as bytes, in order. A str with lone surrogates "
    "is read as tiktoken reads it: each lone surrogate becomes U+FFFD. Raises TypeError "
    "for other argument types; RuntimeError when the regex engine gives up on a "
    "pathological pattern. Releases the GIL on long texts.";

}  // namespace

void bind_pre_tokenizer(py::module_& m) {
  py::class_<PreTokenizer>(m, "PreTokenizer", kClassDoc)
      .def(py::init([](const py::str& pat_str, const std::string& engine) {
             // A pattern is not repaired: lone surrogates raise UnicodeEncodeError.
             Py_ssize_t size = 0;
             const char* data = PyUnicode_AsUTF8AndSize(pat_str.ptr(), &size);
             if (!data) throw py::error_already_set();
             const std::string_view pattern(data, static_cast<std::size_t>(size));
             if (engine == "auto") return PreTokenizer::from_pattern(pattern);
             if (engine == "regex") return PreTokenizer::regex_only(pattern);
             throw py::value_error("engine must be \"auto\" or \"regex\", not " +
                                   py::repr(py::str(engine)).cast<std::string>());
           }),
           py::arg("pat_str"), py::kw_only(), py::arg("engine") = "auto")
      .def_static("ascii_gpt2", &PreTokenizer::ascii_gpt2,
                  "The fixed ASCII rule of BPETokenizer (every byte counts as itself)")
      .def("split", &split_text, py::arg("text"), kSplitDoc)
      .def_property_readonly("kind", [](const PreTokenizer& p) { return kind_name(p.kind()); },
                             "Which splitter runs: ascii_gpt2, r50k, cl100k, o200k (scanners) or regex")
      .def_property_readonly("pattern", [](const PreTokenizer& p) { return p.pattern(); },
                             "The pattern the pre-tokeniser was built from");
}
