// Python bindings of the decoders and post-processors of HuggingFace tokenizer.json files.
// Only conversions live here: the behaviour is in src/decoders and src/post_processors.
#include <pybind11/pybind11.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "formats/decoder_json.h"
#include "formats/post_processor_json.h"

namespace py = pybind11;

namespace {

using corvane::EncodingRecord;

// A component with the JSON it was built from, which is also its pickled state.
template <class Component>
struct Loaded {
  std::unique_ptr<const Component> impl;
  std::string json;
};
using PyDecoder = Loaded<corvane::Decoder>;
using PyPostProcessor = Loaded<corvane::PostProcessor>;

constexpr long kPickleVersion = 1;

// JSON text from a str (its UTF-8) or bytes-like object.
std::string json_text(const py::handle& h, const char* method) {
  PyObject* o = h.ptr();
  if (PyUnicode_Check(o)) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(o, &n);
    if (!p) throw py::error_already_set();
    return std::string(p, static_cast<std::size_t>(n));
  }
  if (PyBytes_Check(o)) return std::string(PyBytes_AS_STRING(o), static_cast<std::size_t>(PyBytes_GET_SIZE(o)));
  if (PyByteArray_Check(o)) {
    return std::string(PyByteArray_AS_STRING(o), static_cast<std::size_t>(PyByteArray_GET_SIZE(o)));
  }
  throw py::type_error(std::string(method) + "(): expected JSON text as str or bytes, not " + Py_TYPE(o)->tp_name);
}

// A list or tuple of str, as UTF-8 strings.
std::vector<std::string> str_list(const py::handle& h, const std::string& what) {
  PyObject* o = h.ptr();
  if (!PyList_Check(o) && !PyTuple_Check(o)) {
    throw py::type_error(what + " must be a list of str, not " + Py_TYPE(o)->tp_name);
  }
  const py::sequence seq = py::reinterpret_borrow<py::sequence>(h);
  std::vector<std::string> out;
  out.reserve(seq.size());
  for (std::size_t i = 0; i < seq.size(); ++i) {
    // A list may change size while items convert (no item conversion here runs Python
    // code, but index each time rather than trusting the first size).
    PyObject* item = PySequence_Fast_GET_SIZE(o) > static_cast<Py_ssize_t>(i) ? PySequence_Fast_GET_ITEM(o, i) : nullptr;
    if (!item) throw py::value_error(what + " changed size during conversion");
    if (!PyUnicode_Check(item)) {
      throw py::type_error(what + "[" + std::to_string(i) + "] must be str, not " + Py_TYPE(item)->tp_name);
    }
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(item, &n);
    if (!p) {
      PyErr_Clear();
      throw py::value_error(what + "[" + std::to_string(i) + "] has no UTF-8 form (it holds a lone surrogate)");
    }
    out.emplace_back(p, static_cast<std::size_t>(n));
  }
  return out;
}

// An int in [0, max]; `where()` names it in messages, built only on failure.
template <class Where>
uint64_t unsigned_of(PyObject* item, const Where& where, uint64_t max) {
  if (!PyLong_Check(item) || PyBool_Check(item)) {
    throw py::type_error(where() + " must be an int, not " + Py_TYPE(item)->tp_name);
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(item);
  if ((v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) || v > max) {
    PyErr_Clear();
    throw py::value_error(where() + " must be between 0 and " + std::to_string(max));
  }
  return v;
}

uint64_t unsigned_of(PyObject* item, const std::string& where, uint64_t max) {
  return unsigned_of(item, [&] { return where; }, max);
}

const py::handle list_items(const py::handle& h, const std::string& what) {
  if (!PyList_Check(h.ptr()) && !PyTuple_Check(h.ptr())) {
    throw py::type_error(what + " must be a list, not " + Py_TYPE(h.ptr())->tp_name);
  }
  return h;
}

template <class T>
std::vector<T> number_list(const py::handle& h, const std::string& what, uint64_t max) {
  list_items(h, what);
  PyObject* o = h.ptr();
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
  std::vector<T> out;
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    out.push_back(static_cast<T>(
        unsigned_of(PySequence_Fast_GET_ITEM(o, i), [&] { return what + "[" + std::to_string(i) + "]"; }, max)));
  }
  return out;
}

template <class Where>
corvane::Offsets offsets_of(PyObject* item, const Where& where) {
  if ((!PyList_Check(item) && !PyTuple_Check(item)) || PySequence_Fast_GET_SIZE(item) != 2) {
    throw py::type_error(where() + " must be a (start, end) pair");
  }
  const uint64_t start = unsigned_of(PySequence_Fast_GET_ITEM(item, 0), [&] { return where() + " start"; }, SIZE_MAX);
  const uint64_t end = unsigned_of(PySequence_Fast_GET_ITEM(item, 1), [&] { return where() + " end"; }, SIZE_MAX);
  return corvane::Offsets{start, end};
}

constexpr const char* kRecordKeys[] = {"ids",  "type_ids", "tokens", "words", "offsets", "special_tokens_mask",
                                       "attention_mask", "sequence_ranges", "overflowing", "sequence_ids"};

// An encoding given as a dict with the fields of the peer's Encoding state: "ids",
// "tokens" and "offsets" are required; "type_ids" (default 0), "words" (None),
// "special_tokens_mask" (0), "attention_mask" (1), "sequence_ranges" ({} ; number ->
// (start, end) or {"start": s, "end": e}, numbers as int or decimal str) and
// "overflowing" (a list of such dicts) are optional. "sequence_ids" is accepted and
// ignored, so that a processed record can be processed again.
EncodingRecord record_of(const py::handle& h, const std::string& what, int depth = 0) {
  if (!PyDict_Check(h.ptr())) throw py::type_error(what + " must be a dict, not " + Py_TYPE(h.ptr())->tp_name);
  const py::dict d = py::reinterpret_borrow<py::dict>(h);
  for (const auto& [key, value] : d) {
    bool known = false;
    if (PyUnicode_Check(key.ptr())) {
      const std::string k = py::cast<std::string>(key);
      for (const char* allowed : kRecordKeys) known = known || k == allowed;
    }
    if (!known) throw py::value_error(what + " has an unknown key " + py::repr(key).cast<std::string>());
  }
  const auto get = [&](const char* key) -> std::optional<py::handle> {
    PyObject* v = PyDict_GetItemString(d.ptr(), key);
    if (!v) return std::nullopt;
    return py::handle(v);
  };
  EncodingRecord r;
  const auto ids = get("ids");
  const auto tokens = get("tokens");
  const auto offsets = get("offsets");
  if (!ids || !tokens || !offsets) throw py::value_error(what + " needs \"ids\", \"tokens\" and \"offsets\"");
  r.ids = number_list<uint32_t>(*ids, what + "[\"ids\"]", UINT32_MAX);
  r.tokens = corvane::TokenTexts(str_list(*tokens, what + "[\"tokens\"]"));
  list_items(*offsets, what + "[\"offsets\"]");
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(offsets->ptr()); ++i) {
    r.offsets.push_back(offsets_of(PySequence_Fast_GET_ITEM(offsets->ptr(), i),
                                   [&] { return what + "[\"offsets\"][" + std::to_string(i) + "]"; }));
  }
  const std::size_t n = r.ids.size();
  if (r.tokens.size() != n || r.offsets.size() != n) {
    throw py::value_error(what + " has " + std::to_string(n) + " ids, " + std::to_string(r.tokens.size()) +
                          " tokens and " + std::to_string(r.offsets.size()) + " offsets");
  }
  const auto numbers_or = [&](const char* key, uint32_t fallback) {
    const auto v = get(key);
    if (!v) return std::vector<uint32_t>(n, fallback);
    std::vector<uint32_t> out = number_list<uint32_t>(*v, what + "[\"" + key + "\"]", UINT32_MAX);
    if (out.size() != n) {
      throw py::value_error(what + "[\"" + key + "\"] has " + std::to_string(out.size()) + " items for " +
                            std::to_string(n) + " tokens");
    }
    return out;
  };
  r.type_ids = numbers_or("type_ids", 0);
  r.special_tokens_mask = numbers_or("special_tokens_mask", 0);
  r.attention_mask = numbers_or("attention_mask", 1);
  if (const auto words = get("words")) {
    const std::string w = what + "[\"words\"]";
    list_items(*words, w);
    PyObject* o = words->ptr();
    if (PySequence_Fast_GET_SIZE(o) != static_cast<Py_ssize_t>(n)) {
      throw py::value_error(w + " has " + std::to_string(PySequence_Fast_GET_SIZE(o)) + " items for " +
                            std::to_string(n) + " tokens");
    }
    for (std::size_t i = 0; i < n; ++i) {
      PyObject* item = PySequence_Fast_GET_ITEM(o, static_cast<Py_ssize_t>(i));
      if (item == Py_None) {
        r.words.emplace_back(std::nullopt);
      } else {
        r.words.emplace_back(
            static_cast<uint32_t>(unsigned_of(item, [&] { return w + "[" + std::to_string(i) + "]"; }, UINT32_MAX)));
      }
    }
  } else {
    r.words.assign(n, std::nullopt);
  }
  if (const auto ranges = get("sequence_ranges")) {
    const std::string w = what + "[\"sequence_ranges\"]";
    if (!PyDict_Check(ranges->ptr())) throw py::type_error(w + " must be a dict");
    for (const auto& [key, value] : py::reinterpret_borrow<py::dict>(*ranges)) {
      std::size_t seq = 0;
      if (PyUnicode_Check(key.ptr())) {
        const std::string k = py::cast<std::string>(key);
        if (k.empty() || k.size() > 18 || k.find_first_not_of("0123456789") != std::string::npos) {
          throw py::value_error(w + " key " + py::repr(key).cast<std::string>() + " is not a sequence number");
        }
        seq = std::stoull(k);
      } else {
        seq = unsigned_of(key.ptr(), w + " key", SIZE_MAX);
      }
      corvane::SequenceRange range{seq, 0, 0};
      const std::string where = w + "[" + std::to_string(seq) + "]";
      if (PyDict_Check(value.ptr())) {
        PyObject* start = PyDict_GetItemString(value.ptr(), "start");
        PyObject* end = PyDict_GetItemString(value.ptr(), "end");
        if (!start || !end || PyDict_Size(value.ptr()) != 2) throw py::value_error(where + " must be {\"start\": s, \"end\": e}");
        range.begin = unsigned_of(start, where + " start", SIZE_MAX);
        range.end = unsigned_of(end, where + " end", SIZE_MAX);
      } else {
        const corvane::Offsets o = offsets_of(value.ptr(), [&] { return where; });
        range.begin = o.start;
        range.end = o.end;
      }
      if (range.begin > range.end || range.end > n) {
        throw py::value_error(where + " is not a range within the " + std::to_string(n) + " tokens");
      }
      r.sequence_ranges.push_back(range);
    }
  }
  if (const auto parts = get("overflowing")) {
    const std::string w = what + "[\"overflowing\"]";
    list_items(*parts, w);
    if (depth >= 8 && PySequence_Fast_GET_SIZE(parts->ptr()) > 0) {
      throw py::value_error(w + " nests deeper than 8 levels");
    }
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(parts->ptr()); ++i) {
      r.overflowing.push_back(
          record_of(PySequence_Fast_GET_ITEM(parts->ptr(), i), w + "[" + std::to_string(i) + "]", depth + 1));
    }
  }
  return r;
}

// A new list of n items made by make(i) (new references).
template <class Make>
py::list new_list(std::size_t n, const Make& make) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
  if (!list) throw py::error_already_set();
  py::list out = py::reinterpret_steal<py::list>(list);
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* item = make(i);
    if (!item) throw py::error_already_set();
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return out;
}

PyObject* new_pair(std::size_t a, std::size_t b) {
  PyObject* x = PyLong_FromSize_t(a);
  PyObject* y = x ? PyLong_FromSize_t(b) : nullptr;
  if (!y) {
    Py_XDECREF(x);
    return nullptr;
  }
  PyObject* t = PyTuple_New(2);
  if (!t) {
    Py_DECREF(x);
    Py_DECREF(y);
    return nullptr;
  }
  PyTuple_SET_ITEM(t, 0, x);
  PyTuple_SET_ITEM(t, 1, y);
  return t;
}

PyObject* new_none() {
  Py_INCREF(Py_None);
  return Py_None;
}

// Keeps the cyclic garbage collector off while a result is built: millions of new
// tuples would each count toward its next pass, and they hold no cycles.
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

py::dict dict_of(const EncodingRecord& r) {
  const GcPause pause;
  const std::size_t n = r.size();
  const std::vector<std::optional<std::size_t>> sequences = r.sequence_ids();
  const auto numbers = [&](const std::vector<uint32_t>& v) {
    return new_list(n, [&](std::size_t i) { return PyLong_FromUnsignedLong(v[i]); });
  };
  py::dict d;
  d["ids"] = numbers(r.ids);
  d["type_ids"] = numbers(r.type_ids);
  d["tokens"] = new_list(n, [&](std::size_t i) {
    return PyUnicode_DecodeUTF8(r.tokens[i].data(), static_cast<Py_ssize_t>(r.tokens[i].size()), "strict");
  });
  d["words"] = new_list(n, [&](std::size_t i) { return r.words[i] ? PyLong_FromUnsignedLong(*r.words[i]) : new_none(); });
  d["offsets"] = new_list(n, [&](std::size_t i) { return new_pair(r.offsets[i].start, r.offsets[i].end); });
  d["special_tokens_mask"] = numbers(r.special_tokens_mask);
  d["attention_mask"] = numbers(r.attention_mask);
  py::dict ranges;
  for (const corvane::SequenceRange& s : r.sequence_ranges) {
    ranges[py::int_(s.sequence)] = py::reinterpret_steal<py::object>(new_pair(s.begin, s.end));
  }
  d["sequence_ranges"] = ranges;
  d["sequence_ids"] = new_list(n, [&](std::size_t i) { return sequences[i] ? PyLong_FromSize_t(*sequences[i]) : new_none(); });
  d["overflowing"] = new_list(r.overflowing.size(), [&](std::size_t i) { return dict_of(r.overflowing[i]).release().ptr(); });
  return d;
}

template <class Component, class Build>
std::unique_ptr<Loaded<Component>> load(const std::string& json, Build build) {
  auto loaded = std::make_unique<Loaded<Component>>();
  loaded->impl = build(std::string_view(json));
  loaded->json = json;
  return loaded;
}

template <class Component>
py::tuple pickled(const Loaded<Component>& c) {
  return py::make_tuple(kPickleVersion, py::bytes(c.json));
}

std::string unpickled(const py::object& state, const char* cls) {
  const std::string bad = std::string("invalid ") + cls + " pickle state: ";
  PyObject* s = state.ptr();
  if (!PyTuple_Check(s) || PyTuple_GET_SIZE(s) != 2 || !PyLong_CheckExact(PyTuple_GET_ITEM(s, 0)) ||
      !PyBytes_Check(PyTuple_GET_ITEM(s, 1))) {
    throw py::value_error(bad + "expected a (version, bytes) tuple");
  }
  int overflow = 0;
  if (PyLong_AsLongAndOverflow(PyTuple_GET_ITEM(s, 0), &overflow) != kPickleVersion || overflow != 0) {
    throw py::value_error(bad + "unknown version");
  }
  PyObject* b = PyTuple_GET_ITEM(s, 1);
  return std::string(PyBytes_AS_STRING(b), static_cast<std::size_t>(PyBytes_GET_SIZE(b)));
}

std::unique_ptr<const corvane::Decoder> build_decoder(std::string_view json) { return corvane::decoder_from_json(json); }
std::unique_ptr<const corvane::PostProcessor> build_post_processor(std::string_view json) {
  return corvane::post_processor_from_json(json);
}

}  // namespace

void bind_decoders(py::module_& m) {
  py::class_<PyDecoder>(m, "Decoder",
                        "A decoder of a HuggingFace tokenizer.json (ByteLevel, WordPiece, Metaspace, BPEDecoder, "
                        "ByteFallback, Fuse, Strip, Replace, CTC, Sequence): turns token strings back into text")
      .def(py::init([](const py::handle& json) { return load<corvane::Decoder>(json_text(json, "Decoder"), build_decoder); }),
           py::arg("json"), "The same as from_json")
      .def_static(
          "from_json",
          [](const py::handle& json) { return load<corvane::Decoder>(json_text(json, "from_json"), build_decoder); },
          py::arg("json"),
          "Build a decoder from its tokenizer.json object, given as JSON text; raises ValueError "
          "naming the decoder when a type or option is not supported")
      .def(
          "decode",
          [](const PyDecoder& d, const py::handle& tokens) {
            std::vector<std::string> t = str_list(tokens, "tokens");
            std::string text;
            {
              py::gil_scoped_release unlocked;
              text = d.impl->decode(std::move(t));
            }
            return py::str(text);
          },
          py::arg("tokens"), "Decode a list of token strings to text")
      .def("to_json", [](const PyDecoder& d) { return d.json; }, "The JSON text this decoder was built from")
      .def(py::pickle([](const PyDecoder& d) { return pickled(d); },
                      [](const py::object& state) {
                        return load<corvane::Decoder>(unpickled(state, "Decoder"), build_decoder);
                      }));

  py::class_<PyPostProcessor>(m, "PostProcessor",
                              "A post-processor of a HuggingFace tokenizer.json (TemplateProcessing, "
                              "BertProcessing, RobertaProcessing, ByteLevel, Sequence): adds special tokens, "
                              "sets type ids and trims offsets")
      .def(py::init([](const py::handle& json) {
             return load<corvane::PostProcessor>(json_text(json, "PostProcessor"), build_post_processor);
           }),
           py::arg("json"), "The same as from_json")
      .def_static(
          "from_json",
          [](const py::handle& json) {
            return load<corvane::PostProcessor>(json_text(json, "from_json"), build_post_processor);
          },
          py::arg("json"),
          "Build a post-processor from its tokenizer.json object, given as JSON text; raises "
          "ValueError naming the post-processor when a type or option is not supported")
      .def("num_special_tokens_to_add", [](const PyPostProcessor& p, bool is_pair) { return p.impl->added_tokens(is_pair); },
           py::arg("is_pair"), "Number of tokens process adds with special tokens on, for one sequence or a pair")
      .def(
          "process",
          [](const PyPostProcessor& p, const py::handle& encoding, const py::handle& pair, bool add_special_tokens) {
            EncodingRecord first = record_of(encoding, "encoding");
            std::optional<EncodingRecord> second;
            if (!pair.is_none()) second = record_of(pair, "pair");
            EncodingRecord out;
            {
              py::gil_scoped_release unlocked;
              out = p.impl->process(std::move(first), std::move(second), add_special_tokens);
            }
            return dict_of(out);
          },
          py::arg("encoding"), py::arg("pair") = py::none(), py::arg("add_special_tokens") = true,
          "Process one encoding, or a pair, into one, as tokenizers' PostProcessor.process does: "
          "each a dict with \"ids\", \"tokens\" and \"offsets\" (and optionally \"type_ids\", "
          "\"words\", \"special_tokens_mask\", \"attention_mask\", \"sequence_ranges\", "
          "\"overflowing\"); returns such a dict with every field, and \"sequence_ids\" per token")
      .def("to_json", [](const PyPostProcessor& p) { return p.json; }, "The JSON text this post-processor was built from")
      .def(py::pickle([](const PyPostProcessor& p) { return pickled(p); },
                      [](const py::object& state) {
                        return load<corvane::PostProcessor>(unpickled(state, "PostProcessor"), build_post_processor);
                      }));
}
