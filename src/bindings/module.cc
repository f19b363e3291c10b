// Python bindings of the corvane engine. This file only converts types: every behaviour
// lives in the engine classes under src/ (core, pre_tokenizers, models, formats, compressor).
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "compressor/compressor.h"
#include "models/bpe/bpe_tokenizer.h"
#include "core/parallel_for.h"
#include "models/wordpiece/wordpiece_tokenizer.h"

namespace py = pybind11;

// Bindings of the HuggingFace pipeline components, each in its own file.
void bind_normalizers(py::module_& m);
void bind_decoders(py::module_& m);
void bind_hf_pre_tokenizers(py::module_& m);
using corvane::BPETokenizer;
using corvane::Compressor;
using corvane::ParallelFor;
using corvane::WordPieceTokenizer;

namespace {

// A file-system path argument, as the bytes handed to the loader.
struct PathArg {
  std::string bytes;
};

}  // namespace

namespace pybind11::detail {

// Paths: a str (as its UTF-8 bytes; one holding lone surrogates does not match), bytes or
// bytearray (as they are), exactly like the plain string parameter; and also any
// os.PathLike (pathlib.Path), through os.fspath. A str that __fspath__ returns is encoded
// the way Python encodes file names (os.fsencode), so that a Path built from a name that
// is not UTF-8 still names that file. Anything else does not match.
template <>
struct type_caster<PathArg> {
  PYBIND11_TYPE_CASTER(PathArg, const_name("str | bytes | os.PathLike"));

  bool load(handle src, bool convert) {
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

// The three classes, as `self` of a method: only an instance whose native object exists
// matches. An instance made by `cls.__new__(cls)` alone (or by unpickling a stream that
// never sets its state) has none, and a method called on it raises TypeError instead of
// reading memory that holds no object.
template <class T>
struct constructed_instance_caster : type_caster_base<T> {
  bool load(handle src, bool convert) {
    if (!type_caster_base<T>::load(src, convert)) return false;
    if (isinstance(src, type::of<T>())) {
      auto* inst = reinterpret_cast<instance*>(src.ptr());
      if (!inst->get_value_and_holder(get_type_info(typeid(T))).holder_constructed()) {
        throw type_error(std::string(get_fully_qualified_tp_name(Py_TYPE(src.ptr()))) +
                         " object is not initialized: its __init__ never ran");
      }
    }
    return true;
  }
};
template <>
struct type_caster<corvane::BPETokenizer> : constructed_instance_caster<corvane::BPETokenizer> {};
template <>
struct type_caster<corvane::WordPieceTokenizer> : constructed_instance_caster<corvane::WordPieceTokenizer> {};
template <>
struct type_caster<corvane::Compressor> : constructed_instance_caster<corvane::Compressor> {};

}  // namespace pybind11::detail

namespace {

// Converts ids to a new list of int. Token ids repeat constantly, so the int objects of
// the ids below kCachedIds are created once and shared (ints are immutable); the table is
// only touched with the interpreter lock held.
py::list ids_to_list(const int32_t* ids, std::size_t n) {
  constexpr int32_t kCachedIds = 1 << 18;
  static PyObject** cache = new PyObject*[kCachedIds]();  // never freed: lives with the process
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
  if (!list) throw py::error_already_set();
  for (std::size_t i = 0; i < n; ++i) {
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

py::list ids_to_list(const std::vector<int32_t>& ids) { return ids_to_list(ids.data(), ids.size()); }

// The texts of a batch as byte views, gathered with the interpreter lock held so that the
// native threads can read them without it. str and bytes objects are immutable: their
// bytes are read in place while the objects are kept alive here. A bytearray could be
// resized by another Python thread meanwhile, so its bytes are copied.
struct TextBatch {
  std::vector<py::object> keep;
  std::deque<std::string> copies;  // a deque: growing it never moves the strings
  std::vector<std::string_view> views;
  std::vector<std::size_t> sizes;

  TextBatch(const py::iterable& texts, const char* method) {
    PyObject* whole = texts.ptr();
    if (PyUnicode_Check(whole) || PyBytes_Check(whole) || PyByteArray_Check(whole)) {
      throw py::type_error(std::string(method) + "(): expected an iterable of texts, not a single " +
                           Py_TYPE(whole)->tp_name);
    }
    std::size_t i = 0;
    for (py::handle item : texts) {
      PyObject* o = item.ptr();
      std::string_view view;
      if (PyUnicode_Check(o)) {
        Py_ssize_t n = 0;
        const char* p = PyUnicode_AsUTF8AndSize(o, &n);
        if (!p) {
          PyErr_Clear();
          throw py::type_error(std::string(method) + "(): item " + std::to_string(i) +
                               " is a str that has no UTF-8 encoding (it holds a lone surrogate)");
        }
        view = std::string_view(p, static_cast<std::size_t>(n));
        keep.push_back(py::reinterpret_borrow<py::object>(item));
      } else if (PyBytes_Check(o)) {
        view = std::string_view(PyBytes_AS_STRING(o), static_cast<std::size_t>(PyBytes_GET_SIZE(o)));
        keep.push_back(py::reinterpret_borrow<py::object>(item));
      } else if (PyByteArray_Check(o)) {
        copies.emplace_back(PyByteArray_AS_STRING(o), static_cast<std::size_t>(PyByteArray_GET_SIZE(o)));
        view = copies.back();
      } else {
        throw py::type_error(std::string(method) + "(): item " + std::to_string(i) + " has type " +
                             Py_TYPE(o)->tp_name + "; expected str, bytes or bytearray");
      }
      views.push_back(view);
      sizes.push_back(view.size());
      ++i;
    }
  }
};

// Keeps the cyclic garbage collector off for a scope, then restores its state.
class GcPause {
 public:
  GcPause() : was_enabled_(PyGC_Disable()) {}
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

 private:
  int was_enabled_;
};

// The native threads take contiguous chunks of the batch; each chunk's ids go to one
// buffer (kept at the chunk's first text), and ends[i] is where text i's ids end in it.
template <class Tokenizer>
py::list encode_batch(const Tokenizer& t, const py::iterable& texts) {
  const TextBatch batch(texts, "encode_batch");
  const std::size_t n = batch.views.size();
  std::vector<std::vector<int32_t>> buffers(n);
  std::vector<std::size_t> ends(n), chunk_of(n);
  {
    py::gil_scoped_release unlocked;
    ParallelFor::run(batch.sizes, [&](std::size_t begin, std::size_t end) {
      std::vector<int32_t>& ids = buffers[begin];
      std::size_t bytes = 0;
      for (std::size_t i = begin; i < end; ++i) bytes += batch.sizes[i];
      ids.reserve(bytes / 4 + 16);
      t.encode_many(batch.views.data() + begin, end - begin, ids, ends.data() + begin);
      for (std::size_t i = begin; i < end; ++i) chunk_of[i] = begin;
    });
  }
  // Thousands of new lists would each count toward the cyclic collector's next pass, which
  // would walk the growing result again and again; lists of ints hold no cycles, so the
  // collector waits until they are built.
  const GcPause pause;
  py::list out(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t first = chunk_of[i];
    const std::size_t start = i == first ? 0 : ends[i - 1];
    PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i),
                    ids_to_list(buffers[first].data() + start, ends[i] - start).release().ptr());
    if (i + 1 == n || chunk_of[i + 1] != first) std::vector<int32_t>().swap(buffers[first]);  // chunk done
  }
  return out;
}

template <class Tokenizer>
py::list count_batch(const Tokenizer& t, const py::iterable& texts) {
  const TextBatch batch(texts, "count_batch");
  std::vector<std::size_t> counts(batch.views.size());
  {
    py::gil_scoped_release unlocked;
    ParallelFor::run(batch.sizes, [&](std::size_t begin, std::size_t end) {
      t.count_many(batch.views.data() + begin, end - begin, counts.data() + begin);
    });
  }
  py::list out(counts.size());
  for (std::size_t i = 0; i < counts.size(); ++i) {
    PyObject* n = PyLong_FromSize_t(counts[i]);
    if (!n) throw py::error_already_set();
    PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), n);
  }
  return out;
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
    "order; releases the GIL and spreads the texts over up to one native thread per CPU";
constexpr const char* kCountBatchDoc =
    "Count the ids of each text of an iterable (str, bytes or bytearray items), in order; "
    "releases the GIL and spreads the texts over up to one native thread per CPU";

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
      .def("decode", &BPETokenizer::decode)
      .def("count", [](const BPETokenizer& t, std::string_view text) { return t.count(text); })
      .def("is_loaded", &BPETokenizer::is_loaded)
      .def("decode_bytes",
           [](const BPETokenizer& t, const std::vector<int32_t>& ids) { return py::bytes(t.decode(ids)); },
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
      .def("decode", &WordPieceTokenizer::decode)
      .def("count", &WordPieceTokenizer::count)
      .def("decode_bytes",
           [](const WordPieceTokenizer& t, const std::vector<int32_t>& ids) { return py::bytes(t.decode(ids)); },
           "Decode ids like decode (continuation pieces glued, other tokens joined by one "
           "blank) but return the bytes, without UTF-8 validation")
      .def("encode_batch", &encode_batch<WordPieceTokenizer>, kEncodeBatchDoc)
      .def("count_batch", &count_batch<WordPieceTokenizer>, kCountBatchDoc)
      .def(py::pickle(&pickled<WordPieceTokenizer>, [](const py::object& state) {
        return std::make_unique<WordPieceTokenizer>(
            WordPieceTokenizer::deserialize(unpickled(state, "WordPieceTokenizer")));
      }));

  bind_normalizers(m);
  bind_decoders(m);
  bind_hf_pre_tokenizers(m);
}
