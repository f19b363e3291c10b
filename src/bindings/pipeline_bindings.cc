// Python bindings of the tokenizer.json pipeline: corvane_core.Pipeline (load, encode,
// count, decode, vocabulary, truncation and padding) and corvane_core.PipelineEncoding
// (what encode returns, read lazily). Type conversion and lock handling only; the
// behaviour lives in src/pipeline, src/formats/pipeline_json and (for SentencePiece .model
// files) src/formats/sentencepiece_model.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bindings/constructed_instance.h"
#include "bindings/gc_pause.h"
#include "bindings/id_lists.h"
#include "bindings/run_releasing_gil.h"
#include "bindings/text_batch.h"
#include "core/file_bytes.h"
#include "core/parallel_for.h"
#include "formats/pipeline_json.h"
#include "formats/sentencepiece_model.h"
#include "pipeline/pipeline.h"

namespace py = pybind11;
using corvane::EncodingRecord;
using corvane::PaddingParams;
using corvane::Pipeline;
using corvane::Side;
using corvane::TruncationParams;

namespace {

// Scratch states kept between calls: the model's cache of pieces already tokenized then
// serves the next text too, as the peer's model-wide cache does. Calls that run at the same
// time (the lock is released while they work) each take a scratch of their own.
class ScratchPool {
 public:
  explicit ScratchPool(std::shared_ptr<const Pipeline> p) : pipeline_(std::move(p)) {}

  std::unique_ptr<Pipeline::Scratch> take() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (!free_.empty()) {
        std::unique_ptr<Pipeline::Scratch> s = std::move(free_.back());
        free_.pop_back();
        return s;
      }
    }
    return std::make_unique<Pipeline::Scratch>(pipeline_->new_scratch());
  }
  void give(std::unique_ptr<Pipeline::Scratch> s) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (free_.size() < kKept) free_.push_back(std::move(s));
  }

 private:
  static constexpr std::size_t kKept = 8;
  std::shared_ptr<const Pipeline> pipeline_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Pipeline::Scratch>> free_;
};

// A scratch from the pool for one scope, given back at its end (also when the work throws).
class PooledScratch {
 public:
  explicit PooledScratch(ScratchPool& pool) : pool_(pool), scratch_(pool.take()) {}
  ~PooledScratch() { pool_.give(std::move(scratch_)); }
  PooledScratch(const PooledScratch&) = delete;
  PooledScratch& operator=(const PooledScratch&) = delete;
  Pipeline::Scratch& operator*() { return *scratch_; }

 private:
  ScratchPool& pool_;
  std::unique_ptr<Pipeline::Scratch> scratch_;
};

struct PyPipeline {
  std::shared_ptr<const Pipeline> impl;
  std::shared_ptr<ScratchPool> scratches;
  std::string document;  // the tokenizer.json text it was built from (described with current settings)
  std::string sentencepiece;  // or the bytes of the SentencePiece model it was built from
  Pipeline::Settings settings;
};

struct PyPipelineEncoding {
  EncodingRecord record;
};

constexpr long kPickleVersion = 1;

std::unique_ptr<PyPipeline> load_text(std::string text) {
  auto p = std::make_unique<PyPipeline>();
  {
    py::gil_scoped_release unlocked;
    p->impl = std::make_shared<const Pipeline>(corvane::pipeline_from_json_text(text));
    p->document = std::move(text);
  }
  p->scratches = std::make_shared<ScratchPool>(p->impl);
  p->settings = p->impl->defaults();
  return p;
}

std::unique_ptr<PyPipeline> load_sentencepiece(std::string bytes) {
  auto p = std::make_unique<PyPipeline>();
  {
    py::gil_scoped_release unlocked;
    p->impl = std::make_shared<const Pipeline>(Pipeline(corvane::sentencepiece_components(bytes)));
  }
  p->scratches = std::make_shared<ScratchPool>(p->impl);
  p->sentencepiece = std::move(bytes);
  p->settings = p->impl->defaults();
  return p;
}

// The whole file at `path` (str, bytes or os.PathLike), read without the GIL.
std::string read_file(const py::object& path, const char* what) {
  // The path as the file system's bytes, so that names that are not UTF-8 open too.
  const std::string p = py::module_::import("os").attr("fsencode")(path).cast<std::string>();
  if (p.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
  std::string bytes;
  {
    py::gil_scoped_release unlocked;
    switch (corvane::FileBytes::read_all(p, bytes)) {
      case corvane::FileBytes::Status::kOk: break;
      case corvane::FileBytes::Status::kCannotOpen:
        throw std::runtime_error(std::string("Cannot open ") + what + ": " + p);
      case corvane::FileBytes::Status::kCannotRead:
        throw std::runtime_error(std::string("Cannot read ") + what + ": " + p);
    }
  }
  return bytes;
}

std::string_view str_arg(const py::handle& h, const char* what) {
  std::string_view view;
  if (!PyUnicode_Check(h.ptr())) {
    throw py::type_error(std::string(what) + " must be a str, not " + Py_TYPE(h.ptr())->tp_name);
  }
  if (corvane::bindings::read_text(h.ptr(), view) != corvane::bindings::TextRead::kInPlace) {
    throw py::value_error(std::string(what) + corvane::bindings::kNoUtf8Encoding);
  }
  return view;
}

// One input of encode_batch: a sequence, or a (sequence, pair) tuple or list.
struct BatchInput {
  std::string_view first;
  std::optional<std::string_view> second;
};

std::vector<BatchInput> batch_inputs(const py::handle& inputs, std::vector<py::object>& keep) {
  if (PyUnicode_Check(inputs.ptr())) throw py::type_error("encode_batch(): expected a list of inputs, not a str");
  std::vector<BatchInput> out;
  std::size_t i = 0;
  for (py::handle item : py::iter(inputs)) {
    keep.push_back(py::reinterpret_borrow<py::object>(item));
    const std::string where = "encode_batch(): input " + std::to_string(i);
    if (PyUnicode_Check(item.ptr())) {
      out.push_back(BatchInput{str_arg(item, where.c_str()), std::nullopt});
    } else if ((PyTuple_Check(item.ptr()) || PyList_Check(item.ptr())) && py::len(item) == 2) {
      py::sequence pair = py::reinterpret_borrow<py::sequence>(item);
      py::object a = pair[0], b = pair[1];
      keep.push_back(a);
      keep.push_back(b);
      out.push_back(BatchInput{str_arg(a, (where + " sequence").c_str()), str_arg(b, (where + " pair").c_str())});
    } else {
      throw py::type_error(where + " must be a str or a (sequence, pair) tuple of str");
    }
    ++i;
  }
  return out;
}

std::vector<uint32_t> ids_arg(const py::handle& ids, const char* method) {
  if (PyUnicode_Check(ids.ptr()) || PyBytes_Check(ids.ptr())) {
    throw py::type_error(std::string(method) + "(): ids must be a sequence of int");
  }
  std::vector<uint32_t> out;
  if (PyList_Check(ids.ptr()) || PyTuple_Check(ids.ptr())) out.reserve(static_cast<std::size_t>(py::len(ids)));
  for (py::handle item : py::iter(ids)) {
    if (!PyLong_Check(item.ptr())) {
      throw py::type_error(std::string(method) + "(): ids must be int, not " + Py_TYPE(item.ptr())->tp_name);
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(item.ptr(), &overflow);
    if (overflow != 0 || v < 0 || v > UINT32_MAX) {
      throw py::value_error(std::string(method) + "(): id out of range (0 to 4294967295): " +
                            py::str(item).cast<std::string>());
    }
    out.push_back(static_cast<uint32_t>(v));
  }
  return out;
}

py::list u32_list(const std::vector<uint32_t>& v) {
  py::list out(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) {
    PyObject* o = PyLong_FromUnsignedLong(v[i]);
    if (!o) throw py::error_already_set();
    PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), o);
  }
  return out;
}

py::list ids_list(const std::vector<uint32_t>& ids) {
  for (uint32_t id : ids) {
    if (id > INT32_MAX) return u32_list(ids);
  }
  return corvane::bindings::ids_to_list(reinterpret_cast<const int32_t*>(ids.data()), ids.size());
}

const char* side_name(Side s) { return s == Side::kLeft ? "left" : "right"; }

Side side_arg(const std::string& s, const char* what) {
  if (s == "left") return Side::kLeft;
  if (s == "right") return Side::kRight;
  throw py::value_error(std::string(what) + " must be 'left' or 'right', not '" + s + "'");
}

const char* strategy_name(TruncationParams::Strategy s) {
  switch (s) {
    case TruncationParams::Strategy::kLongestFirst: return "longest_first";
    case TruncationParams::Strategy::kOnlyFirst: return "only_first";
    case TruncationParams::Strategy::kOnlySecond: return "only_second";
  }
  return "";
}

nlohmann::json truncation_json(const std::optional<TruncationParams>& t) {
  if (!t) return nullptr;
  static const char* kStrategy[] = {"LongestFirst", "OnlyFirst", "OnlySecond"};
  return {{"direction", t->direction == Side::kLeft ? "Left" : "Right"},
          {"max_length", t->max_length},
          {"strategy", kStrategy[static_cast<int>(t->strategy)]},
          {"stride", t->stride}};
}

nlohmann::json padding_json(const std::optional<PaddingParams>& p) {
  if (!p) return nullptr;
  nlohmann::json strategy = p->length ? nlohmann::json{{"Fixed", *p->length}} : nlohmann::json("BatchLongest");
  return {{"strategy", strategy},
          {"direction", p->direction == Side::kLeft ? "Left" : "Right"},
          {"pad_to_multiple_of", p->pad_to_multiple_of ? nlohmann::json(*p->pad_to_multiple_of) : nlohmann::json()},
          {"pad_id", p->pad_id},
          {"pad_type_id", p->pad_type_id},
          {"pad_token", p->pad_token}};
}

std::string describe(const PyPipeline& p, int indent) {
  if (!p.sentencepiece.empty()) {
    throw py::value_error("a tokenizer loaded from a SentencePiece model has no tokenizer.json document");
  }
  // Parsed again only here: the text loaded without error, so it is JSON.
  nlohmann::json doc = nlohmann::json::parse(p.document);
  doc["truncation"] = truncation_json(p.settings.truncation);
  doc["padding"] = padding_json(p.settings.padding);
  return doc.dump(indent, ' ', false, nlohmann::json::error_handler_t::strict);
}

EncodingRecord encode_one(const PyPipeline& p, std::string_view seq, std::optional<std::string_view> pair,
                          bool add_special) {
  EncodingRecord r;
  const Pipeline::Settings settings = p.settings;
  const std::size_t bytes = seq.size() + (pair ? pair->size() : 0);
  corvane::bindings::run_releasing_gil(bytes, [&] {
    PooledScratch scratch(*p.scratches);
    r = p.impl->encode(seq, pair, add_special, settings, *scratch);
  });
  return r;
}

py::list encoding_list(std::vector<EncodingRecord>&& records) {
  py::list out(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    py::object o = py::cast(PyPipelineEncoding{std::move(records[i])});
    PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), o.release().ptr());
  }
  return out;
}

}  // namespace

namespace pybind11::detail {
template <>
struct type_caster<PyPipeline> : constructed_instance_caster<PyPipeline> {};
template <>
struct type_caster<PyPipelineEncoding> : constructed_instance_caster<PyPipelineEncoding> {};
}  // namespace pybind11::detail

void bind_pipeline(py::module_& m) {
  py::class_<PyPipelineEncoding>(m, "PipelineEncoding",
                                 "The result of Pipeline.encode: one entry per token in each list, as "
                                 "`tokenizers`' Encoding holds them")
      .def_property_readonly("ids", [](const PyPipelineEncoding& e) { return ids_list(e.record.ids); },
                             "The token ids")
      .def_property_readonly("type_ids", [](const PyPipelineEncoding& e) { return u32_list(e.record.type_ids); },
                             "The type id of each token (0 for the first sequence, 1 for the pair, as the post-processor sets them)")
      .def_property_readonly("tokens", [](const PyPipelineEncoding& e) { return e.record.tokens.strings(); },
                             "The token strings")
      .def_property_readonly("offsets",
                             [](const PyPipelineEncoding& e) {
                               py::list out(e.record.offsets.size());
                               for (std::size_t i = 0; i < e.record.offsets.size(); ++i) {
                                 const auto& o = e.record.offsets[i];
                                 PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i),
                                                 py::make_tuple(o.start, o.end).release().ptr());
                               }
                               return out;
                             },
                             "The (start, end) character offsets of each token in its input sequence")
      .def_property_readonly("attention_mask",
                             [](const PyPipelineEncoding& e) { return u32_list(e.record.attention_mask); },
                             "1 for each token, 0 for padding")
      .def_property_readonly("special_tokens_mask",
                             [](const PyPipelineEncoding& e) { return u32_list(e.record.special_tokens_mask); },
                             "1 for each special token the post-processor or padding added, else 0")
      .def_property_readonly("word_ids", [](const PyPipelineEncoding& e) { return e.record.words; },
                             "The index of the pre-tokenized word each token comes from (None for added special tokens)")
      .def_property_readonly("words", [](const PyPipelineEncoding& e) { return e.record.words; },
                             "The same as word_ids")
      .def_property_readonly("sequence_ids", [](const PyPipelineEncoding& e) { return e.record.sequence_ids(); },
                             "The input sequence (0 or 1) each token comes from, None for added special tokens")
      .def_property_readonly("n_sequences",
                             [](const PyPipelineEncoding& e) {
                               return e.record.sequence_ranges.empty() ? std::size_t{1}
                                                                       : e.record.sequence_ranges.size();
                             },
                             "The number of input sequences encoded (1 or 2)")
      .def_property_readonly("overflowing",
                             [](const PyPipelineEncoding& e) {
                               std::vector<EncodingRecord> parts = e.record.overflowing;
                               return encoding_list(std::move(parts));
                             },
                             "The parts truncation cut off, each an encoding of its own")
      .def("__len__", [](const PyPipelineEncoding& e) { return e.record.size(); })
      .def("__repr__", [](const PyPipelineEncoding& e) {
        return "Encoding(num_tokens=" + std::to_string(e.record.size()) +
               ", attributes=[ids, type_ids, tokens, offsets, attention_mask, special_tokens_mask, overflowing])";
      });

  py::class_<PyPipeline>(m, "Pipeline",
                         "A HuggingFace tokenizer.json tokenizer run by the native pipeline: the same ids, "
                         "tokens and offsets as `tokenizers`")
      .def_static(
          "from_str", [](std::string_view json) { return load_text(std::string(json)); }, py::arg("json"),
          "Load a tokenizer from the text of a tokenizer.json document")
      .def_static(
          "from_buffer",
          [](const py::bytes& data) { return load_text(std::string(std::string_view(data))); }, py::arg("buffer"),
          "Load a tokenizer from the bytes of a tokenizer.json document")
      .def_static(
          "from_file", [](const py::object& path) { return load_text(read_file(path, "tokenizer.json")); },
          py::arg("path"), "Load a tokenizer from a tokenizer.json file")
      .def_static(
          "from_sentencepiece",
          [](const py::object& path) { return load_sentencepiece(read_file(path, "SentencePiece model")); },
          py::arg("path"),
          "Load a tokenizer from a SentencePiece .model file: the same ids, pieces and decoded text as "
          "`sentencepiece`")
      .def_static(
          "from_sentencepiece_buffer", [](const py::bytes& data) { return load_sentencepiece(std::string(data)); },
          py::arg("buffer"), "Load a tokenizer from the bytes of a SentencePiece .model file")
      .def(
          "encode",
          [](const PyPipeline& p, const py::handle& sequence, const py::handle& pair, bool add_special) {
            const std::string_view seq = str_arg(sequence, "sequence");
            std::optional<std::string_view> second;
            if (!pair.is_none()) second = str_arg(pair, "pair");
            return PyPipelineEncoding{encode_one(p, seq, second, add_special)};
          },
          py::arg("sequence"), py::arg("pair") = py::none(), py::arg("add_special_tokens") = true,
          "Encode a sequence, or a pair of sequences")
      .def(
          "encode_batch",
          [](const PyPipeline& p, const py::handle& inputs, bool add_special) {
            std::vector<py::object> keep;
            const std::vector<BatchInput> in = batch_inputs(inputs, keep);
            std::vector<EncodingRecord> out(in.size());
            std::vector<std::size_t> sizes(in.size());
            std::size_t total = 0;
            for (std::size_t i = 0; i < in.size(); ++i) {
              sizes[i] = in[i].first.size() + (in[i].second ? in[i].second->size() : 0);
              total += sizes[i];
            }
            const Pipeline::Settings settings = p.settings;
            corvane::bindings::run_releasing_gil(total, [&] {
              corvane::ParallelFor::run(sizes, [&](std::size_t begin, std::size_t end) {
                PooledScratch scratch(*p.scratches);
                for (std::size_t i = begin; i < end; ++i) {
                  out[i] = p.impl->encode_unpadded(in[i].first, in[i].second, add_special, settings, *scratch);
                }
              });
              if (settings.padding) corvane::pad_records(out, *settings.padding);
            });
            corvane::bindings::GcPause pause;
            return encoding_list(std::move(out));
          },
          py::arg("input"), py::arg("add_special_tokens") = true,
          "Encode a list of sequences or (sequence, pair) tuples on native threads")
      .def(
          "count",
          [](const PyPipeline& p, const py::handle& text, bool add_special) {
            const std::string_view t = str_arg(text, "text");
            std::size_t n = 0;
            corvane::bindings::run_releasing_gil(t.size(), [&] {
              PooledScratch scratch(*p.scratches);
              n = p.impl->count(t, add_special, *scratch);
            });
            return n;
          },
          py::arg("text"), py::arg("add_special_tokens") = true,
          "The number of tokens of a text (special tokens included when add_special_tokens), "
          "without truncation or padding")
      .def(
          "count_batch",
          [](const PyPipeline& p, const py::handle& texts, bool add_special) {
            const corvane::bindings::TextBatch batch(texts, "count_batch", corvane::bindings::kNoUtf8Encoding);
            std::vector<std::size_t> counts(batch.views.size());
            corvane::bindings::run_releasing_gil(batch.total_bytes, [&] {
              corvane::ParallelFor::run(batch.sizes, [&](std::size_t begin, std::size_t end) {
                PooledScratch scratch(*p.scratches);
                for (std::size_t i = begin; i < end; ++i) counts[i] = p.impl->count(batch.views[i], add_special, *scratch);
              });
            });
            return corvane::bindings::counts_to_list(counts);
          },
          py::arg("texts"), py::arg("add_special_tokens") = true, "count for each text, on native threads")
      .def(
          "decode",
          [](const PyPipeline& p, const py::handle& ids, bool skip_special) {
            const std::vector<uint32_t> v = ids_arg(ids, "decode");
            return p.impl->decode(v.data(), v.size(), skip_special);
          },
          py::arg("ids"), py::arg("skip_special_tokens") = true, "The text of a list of ids")
      .def(
          "decode_batch",
          [](const PyPipeline& p, const py::handle& sequences, bool skip_special) {
            std::vector<std::vector<uint32_t>> all;
            for (py::handle s : py::iter(sequences)) all.push_back(ids_arg(s, "decode_batch"));
            std::vector<std::string> out(all.size());
            {
              py::gil_scoped_release unlocked;
              for (std::size_t i = 0; i < all.size(); ++i) out[i] = p.impl->decode(all[i].data(), all[i].size(), skip_special);
            }
            return out;
          },
          py::arg("sequences"), py::arg("skip_special_tokens") = true, "decode for each list of ids")
      .def("token_to_id", [](const PyPipeline& p, std::string_view t) { return p.impl->token_to_id(t); },
           py::arg("token"), "The id of a token (an added token first, then the model's), or None")
      .def("id_to_token", [](const PyPipeline& p, uint32_t id) { return p.impl->id_to_token(id); }, py::arg("id"),
           "The token of an id (an added token first, then the model's), or None")
      .def(
          "get_vocab",
          [](const PyPipeline& p, bool with_added) {
            py::dict d;
            for (auto& [t, id] : p.impl->vocab(with_added)) d[py::str(t)] = id;
            return d;
          },
          py::arg("with_added_tokens") = true, "The vocabulary as a dict of token to id")
      .def(
          "get_vocab_size", [](const PyPipeline& p, bool with_added) { return p.impl->vocab_size(with_added); },
          py::arg("with_added_tokens") = true, "The number of distinct tokens of the vocabulary")
      .def(
          "get_added_tokens",
          [](const PyPipeline& p) {
            py::list out;
            p.impl->added_vocabulary().for_each([&](const corvane::AddedToken& t, uint32_t id) {
              py::dict d;
              d["id"] = id;
              d["content"] = t.content;
              d["single_word"] = t.single_word;
              d["lstrip"] = t.lstrip;
              d["rstrip"] = t.rstrip;
              d["normalized"] = t.normalized;
              d["special"] = t.special;
              out.append(d);
            });
            return out;
          },
          "The added tokens, in the order they were added, each as a dict of its options and id")
      .def_property_readonly(
          "truncation",
          [](const PyPipeline& p) -> py::object {
            if (!p.settings.truncation) return py::none();
            const TruncationParams& t = *p.settings.truncation;
            py::dict d;
            d["max_length"] = t.max_length;
            d["stride"] = t.stride;
            d["strategy"] = strategy_name(t.strategy);
            d["direction"] = side_name(t.direction);
            return d;
          },
          "The truncation parameters (a dict), or None")
      .def_property_readonly(
          "padding",
          [](const PyPipeline& p) -> py::object {
            if (!p.settings.padding) return py::none();
            const PaddingParams& q = *p.settings.padding;
            py::dict d;
            d["length"] = q.length ? py::cast(*q.length) : py::none();
            d["pad_to_multiple_of"] = q.pad_to_multiple_of ? py::cast(*q.pad_to_multiple_of) : py::none();
            d["pad_id"] = q.pad_id;
            d["pad_token"] = q.pad_token;
            d["pad_type_id"] = q.pad_type_id;
            d["direction"] = side_name(q.direction);
            return d;
          },
          "The padding parameters (a dict), or None")
      .def(
          "enable_truncation",
          [](PyPipeline& p, std::size_t max_length, std::size_t stride, const std::string& strategy,
             const std::string& direction) {
            TruncationParams t;
            t.max_length = max_length;
            t.stride = stride;
            if (strategy == "longest_first") {
              t.strategy = TruncationParams::Strategy::kLongestFirst;
            } else if (strategy == "only_first") {
              t.strategy = TruncationParams::Strategy::kOnlyFirst;
            } else if (strategy == "only_second") {
              t.strategy = TruncationParams::Strategy::kOnlySecond;
            } else {
              throw py::value_error("strategy must be 'longest_first', 'only_first' or 'only_second', not '" +
                                    strategy + "'");
            }
            t.direction = side_arg(direction, "direction");
            p.impl->check_truncation(t);
            p.settings.truncation = t;
          },
          py::arg("max_length"), py::arg("stride") = 0, py::arg("strategy") = "longest_first",
          py::arg("direction") = "right", "Truncate every encoding to max_length tokens")
      .def("no_truncation", [](PyPipeline& p) { p.settings.truncation.reset(); }, "Turn truncation off")
      .def(
          "enable_padding",
          [](PyPipeline& p, const std::string& direction, uint32_t pad_id, uint32_t pad_type_id,
             const std::string& pad_token, std::optional<std::size_t> length,
             std::optional<std::size_t> pad_to_multiple_of) {
            PaddingParams q;
            q.direction = side_arg(direction, "direction");
            q.pad_id = pad_id;
            q.pad_type_id = pad_type_id;
            q.pad_token = pad_token;
            q.length = length;
            q.pad_to_multiple_of = pad_to_multiple_of;
            p.settings.padding = q;
          },
          py::arg("direction") = "right", py::arg("pad_id") = 0, py::arg("pad_type_id") = 0,
          py::arg("pad_token") = "[PAD]", py::arg("length") = py::none(), py::arg("pad_to_multiple_of") = py::none(),
          "Pad every encoding to `length` tokens, or to the longest of its batch when length is None")
      .def("no_padding", [](PyPipeline& p) { p.settings.padding.reset(); }, "Turn padding off")
      .def(
          "to_str", [](const PyPipeline& p, bool pretty) { return describe(p, pretty ? 2 : -1); },
          py::arg("pretty") = false,
          "The tokenizer.json document this tokenizer was loaded from, with its current truncation and padding")
      .def(py::pickle(
          [](const PyPipeline& p) -> py::tuple {
            if (p.sentencepiece.empty()) return py::make_tuple(kPickleVersion, py::bytes(describe(p, -1)));
            // A SentencePiece pipeline: the model's bytes and the current settings.
            const nlohmann::json settings = {{"truncation", truncation_json(p.settings.truncation)},
                                             {"padding", padding_json(p.settings.padding)}};
            return py::make_tuple(kPickleVersion, py::bytes(p.sentencepiece), py::bytes(settings.dump()));
          },
          [](const py::object& state) {
            const std::string bad = "invalid Pipeline pickle state: ";
            PyObject* s = state.ptr();
            if (!PyTuple_Check(s) || PyTuple_GET_SIZE(s) < 2 || PyTuple_GET_SIZE(s) > 3 ||
                !PyLong_CheckExact(PyTuple_GET_ITEM(s, 0)) || !PyBytes_Check(PyTuple_GET_ITEM(s, 1)) ||
                (PyTuple_GET_SIZE(s) == 3 && !PyBytes_Check(PyTuple_GET_ITEM(s, 2)))) {
              throw py::value_error(bad + "expected a (version, bytes) tuple");
            }
            int overflow = 0;
            if (PyLong_AsLongAndOverflow(PyTuple_GET_ITEM(s, 0), &overflow) != kPickleVersion || overflow != 0) {
              throw py::value_error(bad + "unknown version");
            }
            PyObject* b = PyTuple_GET_ITEM(s, 1);
            const std::string_view data(PyBytes_AS_STRING(b), static_cast<std::size_t>(PyBytes_GET_SIZE(b)));
            if (PyTuple_GET_SIZE(s) == 2) return load_text(std::string(data));
            PyObject* t = PyTuple_GET_ITEM(s, 2);
            nlohmann::json settings;
            try {
              settings = nlohmann::json::parse(PyBytes_AS_STRING(t), PyBytes_AS_STRING(t) + PyBytes_GET_SIZE(t));
            } catch (const nlohmann::json::exception&) {
              throw py::value_error(bad + "settings are not valid JSON");
            }
            if (!settings.is_object() || !settings.contains("truncation") || !settings.contains("padding")) {
              throw py::value_error(bad + "settings must hold truncation and padding");
            }
            auto p = load_sentencepiece(std::string(data));
            const nlohmann::json& tr = settings["truncation"];
            const nlohmann::json& pa = settings["padding"];
            p->settings.truncation.reset();
            p->settings.padding.reset();
            if (!tr.is_null()) p->settings.truncation = corvane::truncation_from_json(tr);
            if (!pa.is_null()) p->settings.padding = corvane::padding_from_json(pa);
            return p;
          }));
}
