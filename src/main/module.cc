// Python bindings of the corvane engine. This file only converts types: every behaviour
// lives in the engine classes under src/tokenizer and src/compressor.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "compressor/compressor.h"
#include "tokenizer/bpe_tokenizer.h"
#include "tokenizer/wordpiece_tokenizer.h"

namespace py = pybind11;
using corvane::BPETokenizer;
using corvane::Compressor;
using corvane::WordPieceTokenizer;

namespace {

// Converts ids to a new list of int. Token ids repeat constantly, so the int objects of
// the ids below kCachedIds are created once and shared (ints are immutable); the table is
// only touched with the interpreter lock held.
py::list ids_to_list(const std::vector<int32_t>& ids) {
  constexpr int32_t kCachedIds = 1 << 18;
  static PyObject** cache = new PyObject*[kCachedIds]();  // never freed: lives with the process
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(ids.size()));
  if (!list) throw py::error_already_set();
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const int32_t id = ids[i];
    PyObject* obj;
    if (id >= 0 && id < kCachedIds) {
      obj = cache[id];
      if (!obj) {
        obj = PyLong_FromLong(id);
        if (!obj) {
          Py_DECREF(list);
          throw py::error_already_set();
        }
        cache[id] = obj;
      }
      Py_INCREF(obj);
    } else {
      obj = PyLong_FromLong(id);
      if (!obj) {
        Py_DECREF(list);
        throw py::error_already_set();
      }
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), obj);
  }
  return py::reinterpret_steal<py::list>(list);
}

}  // namespace

PYBIND11_MODULE(corvane_core, m) {
  m.doc() = "Corvane C++ engine \u2014 production-grade BPE/WordPiece tokenizer with token compressor";

  py::class_<Compressor>(m, "Compressor")
      .def(py::init<>())
      .def("compress", &Compressor::compress,
           "Compress text to reduce token count (abbreviation + whitespace pass)")
      .def("decompress", &Compressor::decompress, "Re-expand abbreviations for human readability");

  py::class_<BPETokenizer>(m, "BPETokenizer")
      .def(py::init<>())
      .def_static("from_hf_json", &BPETokenizer::from_hf_json, py::arg("tokenizer_json_path"),
                  "Load from a HuggingFace tokenizer.json file")
      .def_static("from_tiktoken_file", &BPETokenizer::from_tiktoken_file, py::arg("path"),
                  "Load from a tiktoken .tiktoken file")
      .def("encode", [](const BPETokenizer& t, std::string_view text) { return ids_to_list(t.encode(text)); })
      .def("decode", &BPETokenizer::decode)
      .def("count", [](const BPETokenizer& t, std::string_view text) { return t.count(text); })
      .def("is_loaded", &BPETokenizer::is_loaded);

  py::class_<WordPieceTokenizer>(m, "WordPieceTokenizer")
      .def(py::init<const std::string&>(), py::arg("vocab_txt_path"))
      .def("encode", [](const WordPieceTokenizer& t, std::string_view text) { return ids_to_list(t.encode(text)); })
      .def("decode", &WordPieceTokenizer::decode)
      .def("count", &WordPieceTokenizer::count);
}
