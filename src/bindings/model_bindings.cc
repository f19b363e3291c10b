// Python bindings of the models of HuggingFace tokenizer.json files (BPE, WordPiece,
// WordLevel): one class, corvane_core.Model. Type conversion only; the behaviour lives in
// src/models and src/formats/model_json.
#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bindings/constructed_instance.h"
#include "formats/model_json.h"
#include "models/model.h"

namespace py = pybind11;

namespace {

// A model with the JSON it was built from, which is also its pickled state.
struct PyModel {
  std::shared_ptr<const corvane::Model> impl;
  std::string json;
};

constexpr long kPickleVersion = 1;

// Pieces of at least this many bytes are tokenized with the GIL released.
constexpr std::size_t kReleaseGilBytes = 4096;

std::unique_ptr<PyModel> load(std::string json) {
  auto m = std::make_unique<PyModel>();
  m->impl = corvane::model_from_json(std::string_view(json));
  m->json = std::move(json);
  return m;
}

std::string_view utf8_of(const py::str& text, const char* method) {
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(text.ptr(), &n);
  if (!p) {
    PyErr_Clear();
    throw py::value_error(std::string(method) + "(): the str has no UTF-8 form (it holds a lone surrogate)");
  }
  return std::string_view(p, static_cast<std::size_t>(n));
}

py::object str_of(std::string_view s) {
  PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
  if (!o) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(o);
}

py::list tokenize(const PyModel& m, const py::str& sequence) {
  const std::string_view s = utf8_of(sequence, "tokenize");
  std::vector<corvane::PieceToken> tokens;
  if (s.size() < kReleaseGilBytes) {
    m.impl->tokenize(s, nullptr, tokens);
  } else {
    py::gil_scoped_release unlocked;
    m.impl->tokenize(s, nullptr, tokens);
  }
  py::list out(tokens.size());
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const corvane::PieceToken& t = tokens[i];
    const auto text = m.impl->id_to_token(t.id);
    py::object item = py::make_tuple(t.id, text ? str_of(*text) : py::str(""), py::make_tuple(t.begin, t.end));
    PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), item.release().ptr());
  }
  return out;
}

}  // namespace

namespace pybind11::detail {

template <>
struct type_caster<PyModel> : constructed_instance_caster<PyModel> {};

}  // namespace pybind11::detail

void bind_models(py::module_& m) {
  py::class_<PyModel>(m, "Model",
                      "The model of a HuggingFace tokenizer.json pipeline (its \"model\" object: BPE, "
                      "WordPiece or WordLevel), giving the tokens `tokenizers` gives for one piece")
      .def(py::init([](std::string_view json) { return load(std::string(json)); }), py::arg("json"),
           "The same as from_json")
      .def_static(
          "from_json", [](std::string_view json) { return load(std::string(json)); }, py::arg("json"),
          "Build a model from its tokenizer.json object, given as JSON text; raises ValueError naming "
          "an unsupported type, a missing or mistyped field, or a field the type does not have")
      .def("tokenize", &tokenize, py::arg("sequence"),
           "The tokens of one pre-tokenized piece, as (id, token, (start, end)) with byte offsets into "
           "the piece's UTF-8, as tokenizers' Model.tokenize gives them; raises RuntimeError where "
           "tokenizers fails (an unknown piece and no unknown token in the vocabulary)")
      .def(
          "token_to_id",
          [](const PyModel& self, std::string_view token) -> py::object {
            const auto id = self.impl->token_to_id(token);
            if (!id) return py::none();
            return py::int_(*id);
          },
          py::arg("token"), "The id of a token, or None")
      .def(
          "id_to_token",
          [](const PyModel& self, uint32_t id) -> py::object {
            const auto t = self.impl->id_to_token(id);
            if (!t) return py::none();
            return str_of(*t);
          },
          py::arg("id"), "The token of an id, or None")
      .def(
          "get_vocab_size", [](const PyModel& self) { return self.impl->vocab_size(); },
          "The number of tokens of the vocabulary")
      .def(
          "get_vocab",
          [](const PyModel& self) {
            py::dict d;
            self.impl->for_each_token([&](std::string_view token, uint32_t id) { d[str_of(token)] = py::int_(id); });
            return d;
          },
          "The vocabulary, token -> id")
      .def("to_json", [](const PyModel& self) { return self.json; }, "The JSON text this model was built from")
      .def(py::pickle([](const PyModel& self) { return py::make_tuple(kPickleVersion, py::bytes(self.json)); },
                      [](const py::object& state) {
                        const std::string bad = "invalid Model pickle state: ";
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
