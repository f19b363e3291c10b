// Python bindings of the normalizers: one class, corvane_core.Normalizer, built from a
// normalizer's tokenizer.json object. Type conversion only; the behaviour lives in
// src/normalizers and src/formats/normalizer_json.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "formats/normalizer_json.h"
#include "normalizers/normalized_text.h"
#include "normalizers/normalizer.h"

namespace py = pybind11;

namespace {

// A normalizer with the JSON it was built from, which is also its pickled state.
struct PyNormalizer {
  std::shared_ptr<const corvane::Normalizer> impl;
  std::string json;
};

constexpr long kPickleVersion = 1;

// Texts of at least this many bytes are normalized with the GIL released.
constexpr std::size_t kReleaseGilBytes = 4096;

std::unique_ptr<PyNormalizer> load(std::string json) {
  auto n = std::make_unique<PyNormalizer>();
  n->impl = corvane::normalizer_from_json_text(json);
  n->json = std::move(json);
  return n;
}

corvane::NormalizedText run(const PyNormalizer& n, std::string_view text) {
  auto work = [&] {
    corvane::NormalizedText t(text);
    n.impl->normalize(t);
    return t;
  };
  if (text.size() < kReleaseGilBytes) return work();
  py::gil_scoped_release release;
  return work();
}

}  // namespace

void bind_normalizers(py::module_& m) {
  py::class_<PyNormalizer>(
      m, "Normalizer",
      "A normalizer of a HuggingFace tokenizer.json pipeline (BertNormalizer, NFC, NFD, NFKC, "
      "NFKD, Lowercase, Strip, StripAccents, Replace, Prepend, ByteLevel, Precompiled or a "
      "Sequence of them), giving the text and offsets `tokenizers` gives")
      .def(py::init([](std::string_view json) { return load(std::string(json)); }), py::arg("json"),
           "The same as from_json")
      .def_static(
          "from_json", [](std::string_view json) { return load(std::string(json)); }, py::arg("json"),
          "Build a normalizer from its tokenizer.json object, given as JSON text such as "
          "'{\"type\": \"NFC\"}'; raises ValueError naming any type or option it does not support")
      .def(
          "normalize_str", [](const PyNormalizer& n, std::string_view text) { return run(n, text).normalized(); },
          py::arg("text"), "Normalize a text")
      .def(
          "normalize_with_offsets",
          [](const PyNormalizer& n, std::string_view text) {
            corvane::NormalizedText t = run(n, text);
            std::vector<std::pair<std::size_t, std::size_t>> offsets = t.char_offsets();
            return std::make_pair(t.normalized(), std::move(offsets));
          },
          py::arg("text"),
          "Normalize a text; also return, for each character of the result, the (start, end) "
          "character offsets in `text` of what it came from")
      .def("to_json", [](const PyNormalizer& n) { return n.json; }, "The JSON text this normalizer was built from")
      .def(py::pickle([](const PyNormalizer& n) { return py::make_tuple(kPickleVersion, py::bytes(n.json)); },
                      [](const py::object& state) {
                        const std::string bad = "invalid Normalizer pickle state: ";
                        PyObject* s = state.ptr();
                        if (!PyTuple_Check(s) || PyTuple_GET_SIZE(s) != 2 ||
                            !PyLong_CheckExact(PyTuple_GET_ITEM(s, 0)) || !PyBytes_Check(PyTuple_GET_ITEM(s, 1))) {
                          throw py::value_error(bad + "expected a (version, bytes) tuple");
                        }
                        int overflow = 0;
                        if (PyLong_AsLongAndOverflow(PyTuple_GET_ITEM(s, 0), &overflow) != kPickleVersion ||
                            overflow != 0) {
                          throw py::value_error(bad + "unknown version");
                        }
                        PyObject* b = PyTuple_GET_ITEM(s, 1);
                        return load(std::string(PyBytes_AS_STRING(b), static_cast<std::size_t>(PyBytes_GET_SIZE(b))));
                      }));
}
