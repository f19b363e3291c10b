// Python bindings of the corvane engine. This file only converts types: every behaviour
// lives in the engine classes under src/tokenizer and src/compressor.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "compressor/compressor.h"
#include "tokenizer/bpe_tokenizer.h"
#include "tokenizer/wordpiece_tokenizer.h"

namespace py = pybind11;
using corvane::BPETokenizer;
using corvane::Compressor;
using corvane::WordPieceTokenizer;

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
      .def("encode", [](const BPETokenizer& t, const std::string& text) { return t.encode(text); })
      .def("decode", &BPETokenizer::decode)
      .def("count", [](const BPETokenizer& t, const std::string& text) { return t.count(text); })
      .def("is_loaded", &BPETokenizer::is_loaded);

  py::class_<WordPieceTokenizer>(m, "WordPieceTokenizer")
      .def(py::init<const std::string&>(), py::arg("vocab_txt_path"))
      .def("encode", &WordPieceTokenizer::encode)
      .def("decode", &WordPieceTokenizer::decode)
      .def("count", &WordPieceTokenizer::count);
}
