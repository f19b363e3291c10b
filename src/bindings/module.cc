// Python bindings of the corvane engine. This file only converts types: every behaviour
// lives in the engine classes under src/ (core, pre_tokenizers, models, formats, compressor).
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bindings/batch_calls.h"
#include "bindings/constructed_instance.h"
#include "bindings/id_lists.h"
#include "bindings/text_batch.h"
#include "compressor/compressor.h"
#include "models/bpe/bpe_tokenizer.h"
#include "models/wordpiece/wordpiece_tokenizer.h"

#ifndef CORVANE_VERSION
#error "CORVANE_VERSION must be defined by the build (the version in pyproject.toml)"
#endif

namespace py = pybind11;

void bind_pre_tokenizer(py::module_& m);  // pre_tokenizer_bindings.cc
void bind_core_bpe(py::module_& m);       // core_bpe_bindings.cc
// Bindings of the HuggingFace pipeline components, each in its own file.
void bind_normalizers(py::module_& m);
void bind_decoders(py::module_& m);
void bind_hf_pre_tokenizers(py::module_& m);
void bind_pipeline(py::module_& m);  // pipeline_bindings.cc
void bind_models(py::module_& m);
using corvane::BPETokenizer;
using corvane::Compressor;
using corvane::WordPieceTokenizer;
using namespace corvane::bindings;  // the helpers shared by the binding files

namespace {

// A file-system path argument, as the bytes handed to the loader.
struct PathArg {
  std::string bytes;
};

// An id-list argument.
struct IdList {
  std::vector<int32_t> ids;
};

}  // namespace

namespace pybind11::detail {

// Paths: a str (as its UTF-8 bytes; one holding lone surrogates does not match), bytes or
// bytearray (as they are), exactly like the plain string parameter; and also any
// os.PathLike (pathlib.Path), through os.fspath. A str that __fspath__ returns is encoded
// the way Python encodes file names (os.fsencode), so that a Path built from a name that
// is not UTF-8 still names that file. Anything else does not match.
//
// A path holding a NUL byte raises ValueError "embedded null byte", as Python's own open()
// does: the file system would read it only up to the NUL, and open a file other than the
// one named.
template <>
struct type_caster<PathArg> {
  PYBIND11_TYPE_CASTER(PathArg, const_name("str | bytes | os.PathLike"));

  bool load(handle src, bool convert) {
    if (!load_bytes(src, convert)) return false;
    if (value.bytes.find('\0') != std::string::npos) throw value_error("embedded null byte");
    return true;
  }

 private:
  bool load_bytes(handle src, bool convert) {
    PyObject* o = src.ptr();
    if (PyUnicode_Check(o) || PyBytes_Check(o) || PyByteArray_Check(o)) {
      make_caster<std::string> text;
      if (!text.load(src, convert)) return false;
      value.bytes = cast_op<std::string&&>(std::move(text));
      return true;
    }
    if (!hasattr(type::handle_of(src), "__fspath__")) return false;
    // An error raised by __fspath__ itself (or a result of the wrong type) is the caller's
    // to see, not a mismatch.
    const object fs = reinterpret_steal<object>(PyOS_FSPath(o));
    if (!fs) throw error_already_set();
    object encoded = fs;
    if (PyUnicode_Check(fs.ptr())) {
      encoded = reinterpret_steal<object>(PyUnicode_EncodeFSDefault(fs.ptr()));
      if (!encoded) throw error_already_set();
    }
    value.bytes.assign(PyBytes_AS_STRING(encoded.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
    return true;
  }
};

// Id lists: exactly the binding layer's conversion of a list of 32-bit ints. A sequence
// other than str and bytes is read item by item; a generator, a set or frozenset, a dict
// keys, values or items view, a map or a zip object is first read out into a tuple (other
// iterators, such as iter(list), filter, reversed or itertools.chain, do not match). An item
// is an int, or an object with __index__ (or, on the second, converting pass, __int__),
// whose value fits in 32 signed bits; a float never matches.
//
// One difference: an item whose own __index__ raises makes the call raise that exception,
// rather than a mismatch that hides it behind the generic TypeError.
template <>
struct type_caster<IdList> {
  PYBIND11_TYPE_CASTER(IdList, io_name("collections.abc.Sequence", "list") + const_name("[") +
                                   make_caster<int32_t>::name + const_name("]"));

  bool load(handle src, bool convert) {
    if (!object_is_convertible_to_std_vector(src)) return false;
    if (isinstance<sequence>(src)) return load_items(src, convert);
    if (!convert) return false;
    // Read out completely first, so that a generator is never left half consumed.
    return load_items(tuple(reinterpret_borrow<iterable>(src)), convert);
  }

 private:
  bool load_items(handle seq, bool convert) {
    value.ids.clear();
    value.ids.reserve(reinterpret_borrow<sequence>(seq).size());
    for (handle item : seq) {
      object index;
      PyObject* o = item.ptr();
      if (!PyLong_Check(o) && !PyFloat_Check(o) && PyIndex_Check(o)) {
        index = reinterpret_steal<object>(PyNumber_Index(o));
        if (!index) throw error_already_set();
        item = index;
      }
      make_caster<int32_t> id;
      if (!id.load(item, convert)) return false;
      value.ids.push_back(cast_op<int32_t>(id));
    }
    return true;
  }
};

// The three classes, as `self` of a method: only an instance whose native object exists
// matches (bindings/constructed_instance.h).
template <>
struct type_caster<corvane::BPETokenizer> : constructed_instance_caster<corvane::BPETokenizer> {};
template <>
struct type_caster<corvane::WordPieceTokenizer> : constructed_instance_caster<corvane::WordPieceTokenizer> {};
template <>
struct type_caster<corvane::Compressor> : constructed_instance_caster<corvane::Compressor> {};

}  // namespace pybind11::detail

namespace {

template <class Tokenizer>
py::list encode_batch(const Tokenizer& t, const py::iterable& texts) {
  const TextBatch batch(texts, "encode_batch", kNoUtf8Encoding);
  return encode_texts(batch, 4, [&](const std::string_view* views, std::size_t n, std::vector<int32_t>& ids,
                                    std::size_t* ends) { t.encode_many(views, n, ids, ends); });
}

template <class Tokenizer>
py::list count_batch(const Tokenizer& t, const py::iterable& texts) {
  const TextBatch batch(texts, "count_batch", kNoUtf8Encoding);
  return count_texts(batch, [&](const std::string_view* views, std::size_t n, std::size_t* counts) {
    t.count_many(views, n, counts);
  });
}

// Pickled state: a (format version, bytes) tuple; the bytes are the engine's own saved
// form, with its own magic, version and checksum.
constexpr long kPickleVersion = 1;

template <class T>
py::object pickled(const T& t) {
  return py::make_tuple(kPickleVersion, py::bytes(t.serialize()));
}

std::string_view unpickled(const py::object& state, const char* cls) {
  const std::string bad = std::string("invalid ") + cls + " pickle state: ";
  PyObject* s = state.ptr();
  if (!PyTuple_Check(s) || PyTuple_GET_SIZE(s) != 2) throw py::value_error(bad + "expected a (version, bytes) tuple");
  PyObject* version = PyTuple_GET_ITEM(s, 0);
  PyObject* data = PyTuple_GET_ITEM(s, 1);
  if (!PyLong_CheckExact(version) || !PyBytes_Check(data)) throw py::value_error(bad + "expected a (version, bytes) tuple");
  int overflow = 0;
  if (PyLong_AsLongAndOverflow(version, &overflow) != kPickleVersion || overflow != 0) {
    throw py::value_error(bad + "unknown version");
  }
  return std::string_view(PyBytes_AS_STRING(data), static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
}

constexpr const char* kEncodeBatchDoc =
    "Encode each text of an iterable (str, bytes or bytearray items) to a list of ids, in "
    "order; releases the GIL and spreads the texts over up to one native thread per CPU "
    "(Ctrl-C stops it)";
constexpr const char* kCountBatchDoc =
    "Count the ids of each text of an iterable (str, bytes or bytearray items), in order; "
    "releases the GIL and spreads the texts over up to one native thread per CPU (Ctrl-C "
    "stops it)";

}  // namespace

PYBIND11_MODULE(corvane_core, m) {
  m.doc() = "Corvane C++ engine \u2014 production-grade BPE/WordPiece tokenizer with token compressor";

  py::class_<Compressor>(m, "Compressor")
      .def(py::init<>())
      .def("compress", &Compressor::compress,
           "Compress text to reduce token count (abbreviation + whitespace pass)")
      .def("decompress", &Compressor::decompress, "Re-expand abbreviations for human readability")
      // The phrase tables are fixed, so the state is just the format version.
      .def(py::pickle([](const Compressor&) -> py::object { return py::make_tuple(kPickleVersion); },
                      [](const py::object& state) {
                        PyObject* s = state.ptr();
                        int overflow = 0;
                        if (!PyTuple_Check(s) || PyTuple_GET_SIZE(s) != 1 ||
                            !PyLong_CheckExact(PyTuple_GET_ITEM(s, 0)) ||
                            PyLong_AsLongAndOverflow(PyTuple_GET_ITEM(s, 0), &overflow) != kPickleVersion ||
                            overflow != 0) {
                          throw py::value_error("invalid Compressor pickle state: expected (1,)");
                        }
                        return std::make_unique<Compressor>();
                      }));

  py::class_<BPETokenizer>(m, "BPETokenizer")
      .def(py::init<>())
      .def_static("from_hf_json", [](const PathArg& p) { return BPETokenizer::from_hf_json(p.bytes); },
                  py::arg("tokenizer_json_path"), "Load from a HuggingFace tokenizer.json file")
      .def_static("from_tiktoken_file", [](const PathArg& p) { return BPETokenizer::from_tiktoken_file(p.bytes); },
                  py::arg("path"), "Load from a tiktoken .tiktoken file")
      .def("encode", [](const BPETokenizer& t, std::string_view text) { return ids_to_list(t.encode(text)); })
      .def("decode", [](const BPETokenizer& t, const IdList& ids) { return t.decode(ids.ids); })
      .def("count", [](const BPETokenizer& t, std::string_view text) { return t.count(text); })
      .def("is_loaded", &BPETokenizer::is_loaded)
      .def("decode_bytes",
           [](const BPETokenizer& t, const IdList& ids) { return py::bytes(t.decode(ids.ids)); },
           "Decode ids to the bytes of their tokens, without UTF-8 validation (for a slice of "
           "ids that may end inside a character); ids without a token are skipped")
      .def("encode_batch", &encode_batch<BPETokenizer>, kEncodeBatchDoc)
      .def("count_batch", &count_batch<BPETokenizer>, kCountBatchDoc)
      .def(py::pickle(&pickled<BPETokenizer>, [](const py::object& state) {
        return std::make_unique<BPETokenizer>(BPETokenizer::deserialize(unpickled(state, "BPETokenizer")));
      }));

  py::class_<WordPieceTokenizer>(m, "WordPieceTokenizer")
      .def(py::init([](const PathArg& p) { return std::make_unique<WordPieceTokenizer>(p.bytes); }),
           py::arg("vocab_txt_path"))
      .def("encode", [](const WordPieceTokenizer& t, std::string_view text) { return ids_to_list(t.encode(text)); })
      .def("decode", [](const WordPieceTokenizer& t, const IdList& ids) { return t.decode(ids.ids); })
      .def("count", &WordPieceTokenizer::count)
      .def("decode_bytes",
           [](const WordPieceTokenizer& t, const IdList& ids) { return py::bytes(t.decode(ids.ids)); },
           "Decode ids like decode (continuation pieces glued, other tokens joined by one "
           "blank) but return the bytes, without UTF-8 validation")
      .def("encode_batch", &encode_batch<WordPieceTokenizer>, kEncodeBatchDoc)
      .def("count_batch", &count_batch<WordPieceTokenizer>, kCountBatchDoc)
      .def(py::pickle(&pickled<WordPieceTokenizer>, [](const py::object& state) {
        return std::make_unique<WordPieceTokenizer>(
            WordPieceTokenizer::deserialize(unpickled(state, "WordPieceTokenizer")));
      }));

  // The package version, from pyproject.toml through the build.
  m.attr("__version__") = CORVANE_VERSION;

  bind_pre_tokenizer(m);
  bind_core_bpe(m);
  bind_normalizers(m);
  bind_decoders(m);
  bind_hf_pre_tokenizers(m);
  bind_pipeline(m);
  bind_models(m);
}
