// Python binding of corvane::RankedEncoding as corvane_core.CoreBPE: a tiktoken-style
// byte-pair encoding (ranked byte tokens, a pre-tokenisation pattern, special tokens).
// This file only converts types; the behaviour lives in src/pipeline/ranked_encoding.h.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "bindings/batch_calls.h"
#include "bindings/constructed_instance.h"
#include "bindings/id_lists.h"
#include "bindings/pre_tokenizer_kind.h"
#include "bindings/run_releasing_gil.h"
#include "bindings/text_batch.h"
#include "formats/rank_file.h"
#include "pipeline/ranked_encoding.h"
#include "pre_tokenizers/pre_tokenizer.h"

namespace py = pybind11;
using corvane::PreTokenizer;
using corvane::RankedBpeModel;
using corvane::RankedEncoding;
using corvane::RankedTokens;
using corvane::RankFile;
using corvane::SpecialTokens;
using namespace corvane::bindings;  // the helpers shared by the binding files

namespace pybind11::detail {

// As `self` of a method, only an instance whose native object exists matches: one made by
// `CoreBPE.__new__(CoreBPE)` alone has none (bindings/constructed_instance.h).
template <>
struct type_caster<RankedEncoding> : constructed_instance_caster<RankedEncoding> {};

}  // namespace pybind11::detail

namespace {

// Texts below this size are encoded with the interpreter lock held: releasing and taking
// it back costs more than they take.
constexpr std::size_t kReleaseBytes = 2048;

[[noreturn]] void throw_type(const std::string& message) { throw py::type_error(message); }

// A text argument as bytes (bindings/text_batch.h): a str, bytes or bytearray.
struct Text {
  std::string_view view;
  std::string copy;

  Text(const py::handle& obj, const char* what) {
    switch (read_text(obj.ptr(), view)) {
      case TextRead::kInPlace:
        break;
      case TextRead::kCopy:
        copy.assign(view);
        view = copy;
        break;
      case TextRead::kNoUtf8:
        throw_type(std::string(what) + kNoUtf8Form);
      case TextRead::kNotText:
        throw_type(std::string(what) + " must be str, bytes or bytearray, not " + Py_TYPE(obj.ptr())->tp_name);
    }
  }
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;
};

// Bytes only (bytes, bytearray or any buffer-free bytes-like is not taken: as tiktoken).
std::string_view bytes_arg(const py::handle& obj, const char* what, std::string& copy) {
  PyObject* o = obj.ptr();
  if (PyBytes_Check(o)) return std::string_view(PyBytes_AS_STRING(o), static_cast<std::size_t>(PyBytes_GET_SIZE(o)));
  if (PyByteArray_Check(o)) {
    copy.assign(PyByteArray_AS_STRING(o), static_cast<std::size_t>(PyByteArray_GET_SIZE(o)));
    return copy;
  }
  throw_type(std::string(what) + " must be bytes or bytearray, not " + Py_TYPE(o)->tp_name);
}

std::string_view str_utf8(PyObject* o, const char* what) {
  std::string_view view;
  if (read_text(o, view) == TextRead::kNoUtf8) throw_type(std::string(what) + kNoUtf8Form);
  return view;
}

// Runs fn() and returns its result: with the interpreter lock held when `bytes` is too few
// for releasing it to pay, else without it and stopped by Ctrl-C (run_releasing_gil.h).
template <class Fn>
auto maybe_unlocked(std::size_t bytes, Fn&& fn) {
  if (bytes < kReleaseBytes) return fn();
  decltype(fn()) result{};
  run_releasing_gil(bytes, [&] { result = fn(); });
  return result;
}

// An id argument as tiktoken takes it (a 32-bit unsigned rank): any int-like object;
// OverflowError outside 0 to 2**32 - 1, with tiktoken's messages.
int64_t id_arg(PyObject* o) {
  if (PyLong_CheckExact(o)) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow == 0 && v >= 0 && v <= 0xFFFFFFFFLL) return v;
  }
  PyObject* index = PyNumber_Index(o);
  if (!index) throw py::error_already_set();
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
  Py_DECREF(index);
  if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow != 0) {
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
    throw py::error_already_set();
  }
  if (v < 0 || v > 0xFFFFFFFFLL) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    throw py::error_already_set();
  }
  return v;
}

std::vector<int64_t> ids_arg(const py::handle& tokens) {
  PyObject* o = tokens.ptr();
  if (PyUnicode_Check(o) || PyBytes_Check(o) || PyByteArray_Check(o)) {
    throw_type(std::string("tokens must be an iterable of int, not ") + Py_TYPE(o)->tp_name);
  }
  std::vector<int64_t> ids;
  if (PyList_Check(o) || PyTuple_Check(o)) {
    const py::object seq = py::reinterpret_borrow<py::object>(o);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
    ids.reserve(static_cast<std::size_t>(n));
    // A list may change size while an item's __index__ runs: re-read the size each time.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(o); ++i) {
      PyObject* item = PySequence_Fast_GET_ITEM(o, i);
      Py_INCREF(item);
      const py::object hold = py::reinterpret_steal<py::object>(item);
      ids.push_back(id_arg(item));
    }
    return ids;
  }
  for (py::handle item : py::iter(tokens)) ids.push_back(id_arg(item.ptr()));
  return ids;
}

// The special tokens named by a set of str. Names that are not special tokens of this
// encoding go to `others` when it is given, and are ignored otherwise (as tiktoken's
// encode ignores them).
SpecialTokens::TokenSet token_set(const RankedEncoding& enc, const py::handle& names, const char* what,
                                  std::vector<std::string_view>* others = nullptr) {
  PyObject* o = names.ptr();
  if (PyUnicode_Check(o) || PyBytes_Check(o) || PyByteArray_Check(o)) {
    throw_type(std::string(what) + " must be a set of str, not a single " + Py_TYPE(o)->tp_name);
  }
  const SpecialTokens& specials = enc.specials();
  SpecialTokens::TokenSet set(specials.size());
  for (py::handle item : py::iter(names)) {
    if (!PyUnicode_Check(item.ptr())) {
      throw_type(std::string(what) + " must hold str items, not " + Py_TYPE(item.ptr())->tp_name);
    }
    const std::string_view name = str_utf8(item.ptr(), "a special token");
    const int64_t i = specials.index_of(name);
    if (i >= 0) {
      set.set(static_cast<std::size_t>(i));
    } else if (others) {
      others->push_back(name);  // viewed in place: the set keeps the str alive
    }
  }
  return set;
}

py::list encode_batch(const RankedEncoding& enc, const py::handle& texts, const SpecialTokens::TokenSet* allowed,
                      const char* method) {
  const TextBatch batch(texts, method, kNoUtf8Form);
  return encode_texts(batch, 3, [&](const std::string_view* views, std::size_t n, std::vector<int32_t>& ids,
                                    std::size_t* ends) { enc.encode_many(views, n, allowed, ids, ends); });
}

py::list count_batch(const RankedEncoding& enc, const py::handle& texts, const SpecialTokens::TokenSet* allowed,
                     const char* method) {
  const TextBatch batch(texts, method, kNoUtf8Form);
  return count_texts(batch, [&](const std::string_view* views, std::size_t n, std::size_t* counts) {
    enc.count_many(views, n, allowed, counts);
  });
}

SpecialTokens special_tokens_arg(const py::handle& special_tokens) {
  if (!PyDict_Check(special_tokens.ptr())) {
    throw_type(std::string("special_tokens must be a dict of str to int, not ") + Py_TYPE(special_tokens.ptr())->tp_name);
  }
  SpecialTokens specials;
  for (auto [key, value] : py::reinterpret_borrow<py::dict>(special_tokens)) {
    if (!PyUnicode_Check(key.ptr())) {
      throw_type(std::string("special_tokens keys must be str, not ") + Py_TYPE(key.ptr())->tp_name);
    }
    if (!PyLong_Check(value.ptr())) {
      throw_type(std::string("special_tokens values must be int, not ") + Py_TYPE(value.ptr())->tp_name);
    }
    const std::string_view text = str_utf8(key.ptr(), "a special token");
    const int64_t id = id_arg(value.ptr());
    if (id > INT32_MAX) throw py::value_error("special token id " + std::to_string(id) + " is out of range (0 to 2147483647)");
    try {
      specials.add(text, static_cast<int32_t>(id));
    } catch (const std::invalid_argument& e) {
      throw py::value_error(std::string(e.what()) + ": " + std::string(py::repr(key)));
    }
  }
  specials.finish();
  return specials;
}

PreTokenizer pattern_arg(const py::handle& pat_str) {
  if (!PyUnicode_Check(pat_str.ptr())) throw_type(std::string("pat_str must be str, not ") + Py_TYPE(pat_str.ptr())->tp_name);
  const std::string_view pattern = str_utf8(pat_str.ptr(), "pat_str");
  return PreTokenizer::from_pattern(pattern);
}

std::unique_ptr<RankedEncoding> from_ranks(const py::handle& mergeable_ranks, const py::handle& special_tokens,
                                           const py::handle& pat_str) {
  if (!PyDict_Check(mergeable_ranks.ptr())) {
    throw_type(std::string("mergeable_ranks must be a dict of bytes to int, not ") +
               Py_TYPE(mergeable_ranks.ptr())->tp_name);
  }
  PreTokenizer pre = pattern_arg(pat_str);
  SpecialTokens specials = special_tokens_arg(special_tokens);
  RankedTokens tokens;
  const py::dict ranks = py::reinterpret_borrow<py::dict>(mergeable_ranks);
  tokens.ends.reserve(ranks.size());
  tokens.ranks.reserve(ranks.size());
  std::string copy;
  for (auto [key, value] : ranks) {
    const std::string_view token = bytes_arg(key, "mergeable_ranks keys", copy);
    if (!PyLong_Check(value.ptr())) {
      throw_type(std::string("mergeable_ranks values must be int, not ") + Py_TYPE(value.ptr())->tp_name);
    }
    const int64_t rank = id_arg(value.ptr());
    if (rank > INT32_MAX) {
      throw py::value_error("rank " + std::to_string(rank) + " is out of range (0 to 2147483647): " +
                            std::string(py::repr(key)));
    }
    tokens.push(token, static_cast<int32_t>(rank));
  }
  py::gil_scoped_release unlocked;
  RankedBpeModel model(tokens);
  return std::make_unique<RankedEncoding>(std::move(model), std::move(specials), std::move(pre));
}

// A path argument (str, bytes or os.PathLike) as the bytes the loader opens, the way
// Python encodes file names.
std::string path_arg(const py::handle& path) {
  PyObject* fs = PyOS_FSPath(path.ptr());
  if (!fs) throw py::error_already_set();
  py::object keep = py::reinterpret_steal<py::object>(fs);
  if (PyUnicode_Check(fs)) {
    PyObject* encoded = PyUnicode_EncodeFSDefault(fs);
    if (!encoded) throw py::error_already_set();
    keep = py::reinterpret_steal<py::object>(encoded);
  }
  return std::string(PyBytes_AS_STRING(keep.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(keep.ptr())));
}

std::unique_ptr<RankedEncoding> from_rank_file(const py::handle& path_obj, const py::handle& special_tokens,
                                               const py::handle& pat_str) {
  const std::string path = path_arg(path_obj);
  PreTokenizer pre = pattern_arg(pat_str);
  SpecialTokens specials = special_tokens_arg(special_tokens);
  RankedTokens entries;
  int error = 0;
  {
    py::gil_scoped_release unlocked;
    try {
      entries = RankFile::read(path);
    } catch (const std::system_error& e) {
      error = e.code().value();
    }
  }
  if (error != 0) {
    // OSError of the errno's subclass (FileNotFoundError, IsADirectoryError...), naming the path.
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path_obj.ptr());
    throw py::error_already_set();
  }
  py::gil_scoped_release unlocked;
  RankedBpeModel model(entries, RankedBpeModel::Repeats::kLastWins);
  return std::make_unique<RankedEncoding>(std::move(model), std::move(specials), std::move(pre));
}

}  // namespace

void bind_core_bpe(py::module_& m) {
  py::class_<RankedEncoding>(m, "CoreBPE",
                             "A tiktoken-style byte-pair encoding: ranked byte tokens (rank = id), the pre-tokenisation "
                             "pattern of the encoding, and special tokens. Immutable; safe to share between threads.")
      .def(py::init([](const py::object& mergeable_ranks, const py::object& special_tokens, const py::object& pat_str) {
             return from_ranks(mergeable_ranks, special_tokens, pat_str);
           }),
           py::arg("mergeable_ranks"), py::arg("special_tokens"), py::arg("pat_str"))
      .def_static(
          "from_rank_file",
          [](const py::object& path, const py::object& special_tokens, const py::object& pat_str) {
            return from_rank_file(path, special_tokens, pat_str);
          },
          py::arg("path"), py::arg("special_tokens"), py::arg("pat_str"),
          "Load a tiktoken rank file (base64 token, rank per line) with the encoding's special tokens and pattern")
      .def_static(
          "from_state",
          [](const py::bytes& data) {
            const std::string_view state(PyBytes_AS_STRING(data.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(data.ptr())));
            py::gil_scoped_release unlocked;
            return std::make_unique<RankedEncoding>(RankedEncoding::restore(state));
          },
          py::arg("data"), "Restore an encoding from what to_state() returned")
      .def(
          "to_state", [](const RankedEncoding& e) { return py::bytes(e.save()); },
          "The whole encoding (ranks, special tokens, pattern) as compact, versioned, checksummed bytes")
      .def(
          "encode_ordinary",
          [](const RankedEncoding& e, const py::object& text) {
            const Text t(text, "text");
            return ids_to_list(maybe_unlocked(t.view.size(), [&] { return e.encode(t.view, nullptr); }));
          },
          py::arg("text"), "Encode text; special-token text is plain text")
      .def(
          "encode",
          [](const RankedEncoding& e, const py::object& text, const py::object& allowed_special) {
            const Text t(text, "text");
            const SpecialTokens::TokenSet allowed = token_set(e, allowed_special, "allowed_special");
            return ids_to_list(maybe_unlocked(t.view.size(), [&] { return e.encode(t.view, &allowed); }));
          },
          py::arg("text"), py::arg("allowed_special"),
          "Encode text; the special tokens of allowed_special found in it become their ids")
      .def(
          "count_ordinary",
          [](const RankedEncoding& e, const py::object& text) {
            const Text t(text, "text");
            return maybe_unlocked(t.view.size(), [&] { return e.count(t.view, nullptr); });
          },
          py::arg("text"), "len(encode_ordinary(text)), without building the list")
      .def(
          "count",
          [](const RankedEncoding& e, const py::object& text, const py::object& allowed_special) {
            const Text t(text, "text");
            const SpecialTokens::TokenSet allowed = token_set(e, allowed_special, "allowed_special");
            return maybe_unlocked(t.view.size(), [&] { return e.count(t.view, &allowed); });
          },
          py::arg("text"), py::arg("allowed_special"), "len(encode(text, allowed_special)), without building the list")
      .def(
          "find_special",
          [](const RankedEncoding& e, const py::object& text, const py::object& tokens) -> py::object {
            const Text t(text, "text");
            std::vector<std::string_view> others;
            const SpecialTokens::TokenSet set = token_set(e, tokens, "tokens", &others);
            std::size_t best_pos = SIZE_MAX;
            std::string_view best;
            std::size_t pos = 0, index = 0;
            if (e.specials().find(t.view, 0, set, pos, index)) {
              best_pos = pos;
              best = e.specials().text(index);
            }
            for (std::string_view other : others) {
              const auto it = std::search(t.view.begin(), t.view.end(),
                                          std::boyer_moore_horspool_searcher(other.begin(), other.end()));
              if (it == t.view.end() && !other.empty()) continue;
              const std::size_t p = static_cast<std::size_t>(it - t.view.begin());
              if (p < best_pos || (p == best_pos && other.size() > best.size())) {
                best_pos = p;
                best = other;
              }
            }
            if (best_pos == SIZE_MAX) return py::none();
            return py::str(best.data(), best.size());
          },
          py::arg("text"), py::arg("tokens"),
          "The first of tokens (a set of str) occurring in text: the leftmost, the longest on ties; None if none")
      .def(
          "encode_ordinary_batch",
          [](const RankedEncoding& e, const py::object& texts) {
            return encode_batch(e, texts, nullptr, "encode_ordinary_batch");
          },
          py::arg("texts"), "encode_ordinary of each text, on native threads without the GIL")
      .def(
          "encode_batch",
          [](const RankedEncoding& e, const py::object& texts, const py::object& allowed_special) {
            const SpecialTokens::TokenSet allowed = token_set(e, allowed_special, "allowed_special");
            return encode_batch(e, texts, &allowed, "encode_batch");
          },
          py::arg("texts"), py::arg("allowed_special"), "encode of each text, on native threads without the GIL")
      .def(
          "count_ordinary_batch",
          [](const RankedEncoding& e, const py::object& texts) {
            return count_batch(e, texts, nullptr, "count_ordinary_batch");
          },
          py::arg("texts"), "count_ordinary of each text, on native threads without the GIL")
      .def(
          "count_batch",
          [](const RankedEncoding& e, const py::object& texts, const py::object& allowed_special) {
            const SpecialTokens::TokenSet allowed = token_set(e, allowed_special, "allowed_special");
            return count_batch(e, texts, &allowed, "count_batch");
          },
          py::arg("texts"), py::arg("allowed_special"), "count of each text, on native threads without the GIL")
      .def(
          "encode_bytes",
          [](const RankedEncoding& e, const py::object& data) {
            std::string copy;
            const std::string_view bytes = bytes_arg(data, "data", copy);
            return ids_to_list(maybe_unlocked(bytes.size(), [&] { return e.encode_bytes(bytes); }));
          },
          py::arg("data"),
          "Encode bytes that may not be UTF-8 by tiktoken's rule: the valid prefix as text, its last pre-token "
          "re-merged with the rest as one piece")
      .def(
          "encode_single_piece",
          [](const RankedEncoding& e, const py::object& piece) {
            std::string copy;
            const std::string_view bytes = bytes_arg(piece, "piece", copy);
            return ids_to_list(maybe_unlocked(bytes.size(), [&] { return e.encode_single_piece(bytes); }));
          },
          py::arg("piece"), "Merge one piece of bytes by rank, with no pre-tokenisation")
      .def(
          "encode_single_token",
          [](const RankedEncoding& e, const py::object& piece) {
            std::string copy;
            const std::string_view bytes = bytes_arg(piece, "piece", copy);
            if (const int32_t* id = e.model().find(bytes)) return static_cast<int64_t>(*id);
            const int64_t i = e.specials().index_of(bytes);
            if (i >= 0) return static_cast<int64_t>(e.specials().id(static_cast<std::size_t>(i)));
            PyErr_SetObject(PyExc_KeyError, py::bytes(bytes.data(), bytes.size()).ptr());
            throw py::error_already_set();
          },
          py::arg("piece"), "The id of exactly these bytes (an ordinary or special token); KeyError if none")
      .def(
          "decode_bytes",
          [](const RankedEncoding& e, const py::object& tokens) {
            const std::vector<int64_t> ids = ids_arg(tokens);
            std::string out;
            int64_t bad = 0;
            const bool ok = maybe_unlocked(ids.size() * 4, [&] {
              out.reserve(ids.size() * 4);
              return e.decode(ids.data(), ids.size(), out, bad);
            });
            if (!ok) throw py::key_error("Invalid token for decoding: " + std::to_string(bad));
            return py::bytes(out);
          },
          py::arg("tokens"), "The bytes of the tokens, joined; KeyError for an id that is no token")
      .def(
          "decode_single_token_bytes",
          [](const RankedEncoding& e, const py::object& token) {
            const int64_t id = id_arg(token.ptr());
            std::string_view bytes;
            if (!e.token_bytes(id, bytes)) throw py::key_error(std::to_string(id));
            return py::bytes(bytes.data(), bytes.size());
          },
          py::arg("token"), "The bytes of one token; KeyError if the id is no token")
      .def(
          "token_byte_values",
          [](const RankedEncoding& e) {
            std::vector<std::string_view> all;
            all.reserve(e.model().size());
            e.model().for_each_token([&](std::string_view bytes, int32_t) { all.push_back(bytes); });
            std::sort(all.begin(), all.end());
            py::list out(all.size());
            for (std::size_t i = 0; i < all.size(); ++i) {
              PyObject* b = PyBytes_FromStringAndSize(all[i].data(), static_cast<Py_ssize_t>(all[i].size()));
              if (!b) throw py::error_already_set();
              PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), b);
            }
            return out;
          },
          "The bytes of every ordinary token, sorted")
      .def_property_readonly(
          "n_ordinary", [](const RankedEncoding& e) { return e.model().size(); }, "Number of ordinary tokens")
      .def_property_readonly(
          "max_rank", [](const RankedEncoding& e) { return e.model().max_rank(); },
          "The highest rank of an ordinary token (-1 when there is none)")
      .def(
          "special_tokens",
          [](const RankedEncoding& e) {
            py::dict out;
            const SpecialTokens& s = e.specials();
            for (std::size_t i = 0; i < s.size(); ++i) {
              const std::string_view text = s.text(i);
              out[py::str(text.data(), text.size())] = py::int_(s.id(i));
            }
            return out;
          },
          "The special tokens, text to id")
      .def_property_readonly(
          "pattern",
          [](const RankedEncoding& e) {
            const std::string& p = e.pre_tokenizer().pattern();
            return py::str(p.data(), p.size());
          },
          "The pre-tokenisation pattern")
      .def_property_readonly(
          "pre_tokenizer_kind", [](const RankedEncoding& e) { return std::string(kind_name(e.pre_tokenizer().kind())); },
          "What runs the pattern: 'r50k', 'cl100k' or 'o200k' (scanners of the public patterns) or 'regex'")
      .def(
          "split",
          [](const RankedEncoding& e, const py::object& text) {
            const Text t(text, "text");
            const auto spans = maybe_unlocked(t.view.size(), [&] { return e.split(t.view); });
            py::list out(spans.size());
            for (std::size_t i = 0; i < spans.size(); ++i) {
              PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i),
                              py::make_tuple(spans[i].first, spans[i].second).release().ptr());
            }
            return out;
          },
          py::arg("text"), "Byte offsets (begin, end) of the pre-tokens of text (special tokens not looked for)")
      .def(
          "safe_cut",
          [](const RankedEncoding& e, const py::object& data) {
            const Text t(data, "data");
            return maybe_unlocked(t.view.size(), [&] { return e.safe_cut(t.view); });
          },
          py::arg("data"),
          "The largest offset p such that data[:p] and whatever follows data[p:] encode, apart, to the ids of "
          "the whole: the start of data's last pre-token when both sides split as they do within data; 0 if none")
      .def(py::pickle([](const RankedEncoding& e) { return py::bytes(e.save()); },
                      [](const py::bytes& data) {
                        const std::string_view state(PyBytes_AS_STRING(data.ptr()),
                                                     static_cast<std::size_t>(PyBytes_GET_SIZE(data.ptr())));
                        return std::make_unique<RankedEncoding>(RankedEncoding::restore(state));
                      }));
}
