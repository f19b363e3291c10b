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

// Texts of at least this many bytes are normalized with the GIL released.
constexpr std::size_t kReleaseGilBytes = 4096;

corvane::NormalizedText run(const corvane::Normalizer& n, std::string_view text) {
  auto work = [&] {
    corvane::NormalizedText t(text);
    n.normalize(t);
    return t;
  };
  if (text.size() < kReleaseGilBytes) return work();
  py::gil_scoped_release release;
  return work();
}

}  // namespace

void bind_normalizers(py::module_& m) {
  py::class_<corvane::Normalizer, std::shared_ptr<corvane::Normalizer>>(
      m, "Normalizer",
      "A normalizer of a HuggingFace tokenizer.json pipeline (BertNormalizer, NFC, NFD, NFKC, "
      "NFKD, Lowercase, Strip, StripAccents, Replace, Prepend, ByteLevel or a Sequence of them), "
      "giving the text and offsets `tokenizers` gives")
      .def_static(
          "from_json",
          [](std::string_view json) {
            return std::shared_ptr<corvane::Normalizer>(corvane::normalizer_from_json_text(json));
          },
          py::arg("json"),
          "Build a normalizer from its tokenizer.json object, given as JSON text such as "
          "'{\"type\": \"NFC\"}'; raises ValueError naming any type or option it does not support")
      .def(
          "normalize_str",
          [](const corvane::Normalizer& n, std::string_view text) { return run(n, text).normalized(); },
          py::arg("text"), "Normalize a text")
      .def(
          "normalize_with_offsets",
          [](const corvane::Normalizer& n, std::string_view text) {
            corvane::NormalizedText t = run(n, text);
            std::vector<std::pair<std::size_t, std::size_t>> offsets = t.char_offsets();
            return std::make_pair(t.normalized(), std::move(offsets));
          },
          py::arg("text"),
          "Normalize a text; also return, for each character of the result, the (start, end) "
          "character offsets in `text` of what it came from");
}
