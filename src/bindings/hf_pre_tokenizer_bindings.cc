// Python bindings of the HuggingFace pre-tokenizers (src/pre_tokenizers/hf): type
// conversion only.
#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <string_view>

#include "pre_tokenizers/hf/from_json.h"
#include "pre_tokenizers/hf/pre_tokenized_text.h"

namespace py = pybind11;

namespace {

// A pre-tokenizer built from its tokenizer.json object, with the JSON text it came from
// (its pickled state).
struct HfPreTokenizerHandle {
  std::shared_ptr<const corvane::hf::PreTokenizer> impl;
  std::string json;

  static HfPreTokenizerHandle from_json(std::string json) {
    auto impl = corvane::hf::pre_tokenizer_from_json_text(json);
    return HfPreTokenizerHandle{std::shared_ptr<const corvane::hf::PreTokenizer>(std::move(impl)), std::move(json)};
  }
};

std::string_view utf8_of(const py::str& text, const char* method) {
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(text.ptr(), &n);
  if (!p) {
    PyErr_Clear();
    throw py::type_error(std::string(method) + "(): the str has no UTF-8 encoding (it holds a lone surrogate)");
  }
  return std::string_view(p, static_cast<std::size_t>(n));
}

py::list pre_tokenize_str(const HfPreTokenizerHandle& self, const py::str& text) {
  const std::string_view s = utf8_of(text, "pre_tokenize_str");
  std::unique_ptr<corvane::hf::PreTokenizedText> pre;
  std::vector<std::pair<std::size_t, std::size_t>> offsets;
  {
    py::gil_scoped_release unlocked;
    pre = std::make_unique<corvane::hf::PreTokenizedText>(corvane::hf::PreTokenizedText::from_original(s));
    self.impl->pre_tokenize(*pre);
    offsets = pre->char_offsets();
  }
  const auto& pieces = pre->pieces();
  py::list out(pieces.size());
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const std::string_view piece = pre->normalized(pieces[i]);
    PyObject* str = PyUnicode_DecodeUTF8(piece.data(), static_cast<Py_ssize_t>(piece.size()), "strict");
    if (!str) throw py::error_already_set();
    py::object item = py::make_tuple(py::reinterpret_steal<py::object>(str),
                                     py::make_tuple(offsets[i].first, offsets[i].second));
    PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), item.release().ptr());
  }
  return out;
}

}  // namespace

namespace pybind11::detail {

// As `self`, only an instance whose native object exists matches: one made by
// `HfPreTokenizer.__new__(HfPreTokenizer)` alone has none, and a method called on it raises
// TypeError instead of reading memory that holds no object.
template <>
struct type_caster<HfPreTokenizerHandle> : type_caster_base<HfPreTokenizerHandle> {
  bool load(handle src, bool convert) {
    if (!type_caster_base<HfPreTokenizerHandle>::load(src, convert)) return false;
    if (isinstance(src, type::of<HfPreTokenizerHandle>())) {
      auto* inst = reinterpret_cast<instance*>(src.ptr());
      if (!inst->get_value_and_holder(get_type_info(typeid(HfPreTokenizerHandle))).holder_constructed()) {
        throw type_error(std::string(get_fully_qualified_tp_name(Py_TYPE(src.ptr()))) +
                         " object is not initialized: it was never built by from_json");
      }
    }
    return true;
  }
};

}  // namespace pybind11::detail

void bind_hf_pre_tokenizers(py::module_& m) {
  py::class_<HfPreTokenizerHandle>(m, "HfPreTokenizer",
                                   "A pre-tokenizer of a HuggingFace tokenizer.json pipeline (its "
                                   "\"pre_tokenizer\" object), giving the pieces tokenizers gives")
      .def(py::init(&HfPreTokenizerHandle::from_json), py::arg("json"), "The same as from_json")
      .def_static("from_json", &HfPreTokenizerHandle::from_json, py::arg("json"),
                  "Build from the JSON text of a tokenizer.json \"pre_tokenizer\" object; raises "
                  "ValueError naming an unsupported type or option")
      .def("pre_tokenize_str", &pre_tokenize_str, py::arg("text"),
           "The pieces of `text` and their (start, end) character offsets in it, as "
           "tokenizers' PreTokenizer.pre_tokenize_str gives them")
      .def("to_json", [](const HfPreTokenizerHandle& self) { return self.json; },
           "The JSON text this pre-tokenizer was built from")
      .def("__repr__", [](const HfPreTokenizerHandle& self) { return "HfPreTokenizer.from_json(" + py::repr(py::str(self.json)).cast<std::string>() + ")"; })
      .def(py::pickle([](const HfPreTokenizerHandle& self) { return py::make_tuple(1, self.json); },
                      [](const py::tuple& state) {
                        if (state.size() != 2 || !py::isinstance<py::int_>(state[0]) ||
                            state[0].cast<long>() != 1 || !py::isinstance<py::str>(state[1])) {
                          throw py::value_error("invalid HfPreTokenizer pickle state: expected (1, json)");
                        }
                        return HfPreTokenizerHandle::from_json(state[1].cast<std::string>());
                      }));
}
