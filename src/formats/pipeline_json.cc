#include "formats/pipeline_json.h"

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "formats/decoder_json.h"
#include "formats/model_json.h"
#include "formats/normalizer_json.h"
#include "formats/post_processor_json.h"
#include "formats/tokenizer_document.h"
#include "pre_tokenizers/hf/from_json.h"

namespace corvane {

using json = nlohmann::json;

namespace {

[[noreturn]] void fail(std::string_view what, const std::string& message) {
  throw std::invalid_argument(std::string(what) + ": " + message);
}

// The members of a settings object: each of `allowed`, and no other.
void only_fields(std::string_view what, const json& v, std::initializer_list<std::string_view> allowed) {
  if (!v.is_object()) fail(what, "must be a JSON object or null");
  for (const auto& [key, value] : v.items()) {
    bool ok = false;
    for (std::string_view a : allowed) ok = ok || key == a;
    if (!ok) fail(what, "unsupported field \"" + key + "\"");
  }
}

const json& required(std::string_view what, const json& v, const char* key) {
  const auto it = v.find(key);
  if (it == v.end()) fail(what, "missing field \"" + std::string(key) + "\"");
  return *it;
}

uint64_t count_field(std::string_view what, const json& v, const char* key, uint64_t max) {
  const json& f = required(what, v, key);
  if (!f.is_number_unsigned() || f.get<uint64_t>() > max) {
    fail(what, "field \"" + std::string(key) + "\" must be a non-negative integer");
  }
  return f.get<uint64_t>();
}

Side side_field(std::string_view what, const json& v, const char* key) {
  const json& f = required(what, v, key);
  if (f == "Left") return Side::kLeft;
  if (f == "Right") return Side::kRight;
  fail(what, "field \"" + std::string(key) + "\" must be \"Left\" or \"Right\"");
}

}  // namespace

TruncationParams truncation_from_json(const json& v) {
  constexpr std::string_view what = "truncation";
  only_fields(what, v, {"direction", "max_length", "strategy", "stride"});
  TruncationParams p;
  if (v.contains("direction")) p.direction = side_field(what, v, "direction");
  p.max_length = count_field(what, v, "max_length", UINT32_MAX);
  p.stride = count_field(what, v, "stride", UINT32_MAX);
  const json& s = required(what, v, "strategy");
  if (s == "LongestFirst") {
    p.strategy = TruncationParams::Strategy::kLongestFirst;
  } else if (s == "OnlyFirst") {
    p.strategy = TruncationParams::Strategy::kOnlyFirst;
  } else if (s == "OnlySecond") {
    p.strategy = TruncationParams::Strategy::kOnlySecond;
  } else {
    fail(what, "field \"strategy\" must be \"LongestFirst\", \"OnlyFirst\" or \"OnlySecond\"");
  }
  return p;
}

PaddingParams padding_from_json(const json& v) {
  constexpr std::string_view what = "padding";
  only_fields(what, v, {"strategy", "direction", "pad_to_multiple_of", "pad_id", "pad_type_id", "pad_token"});
  PaddingParams p;
  const json& s = required(what, v, "strategy");
  if (s == "BatchLongest") {
    p.length.reset();
  } else if (s.is_object() && s.size() == 1 && s.contains("Fixed")) {
    const json& n = s["Fixed"];
    if (!n.is_number_unsigned() || n.get<uint64_t>() > UINT32_MAX) {
      fail(what, "field \"strategy\" Fixed length must be a non-negative integer");
    }
    p.length = n.get<uint64_t>();
  } else {
    fail(what, "field \"strategy\" must be \"BatchLongest\" or {\"Fixed\": length}");
  }
  p.direction = side_field(what, v, "direction");
  const json& m = required(what, v, "pad_to_multiple_of");
  if (!m.is_null()) {
    if (!m.is_number_unsigned() || m.get<uint64_t>() > UINT32_MAX) {
      fail(what, "field \"pad_to_multiple_of\" must be null or a non-negative integer");
    }
    p.pad_to_multiple_of = m.get<uint64_t>();
  }
  p.pad_id = static_cast<uint32_t>(count_field(what, v, "pad_id", UINT32_MAX));
  p.pad_type_id = static_cast<uint32_t>(count_field(what, v, "pad_type_id", UINT32_MAX));
  const json& t = required(what, v, "pad_token");
  if (!t.is_string()) fail(what, "field \"pad_token\" must be a string");
  p.pad_token = t.get<std::string>();
  return p;
}

namespace {

Pipeline pipeline_from_tree(const json& doc, const ModelTables* tables) {
  if (!doc.is_object()) throw std::invalid_argument("tokenizer.json must be a JSON object");
  if (const auto it = doc.find("version"); it != doc.end()) {
    if (!it->is_string()) throw std::invalid_argument("tokenizer.json field \"version\" must be a string");
    if (*it != "1.0") throw std::invalid_argument("Unknown tokenizer version '" + it->get<std::string>() + "'");
  }
  auto present = [&](const char* key) -> const json* {
    const auto it = doc.find(key);
    return it == doc.end() || it->is_null() ? nullptr : &*it;
  };
  Pipeline::Components c;
  const json* model = present("model");
  if (!model) throw std::invalid_argument("tokenizer.json has no model");
  c.model = model_from_json(*model, tables);
  if (const json* n = present("normalizer")) c.normalizer = normalizer_from_json(*n);
  if (const json* p = present("pre_tokenizer")) c.pre_tokenizer = hf::pre_tokenizer_from_json(*p);
  if (const json* p = present("post_processor")) c.post_processor = post_processor_from_json(*p);
  if (const json* d = present("decoder")) c.decoder = decoder_from_json(*d);
  if (const json* a = present("added_tokens")) c.added_tokens = AddedVocabulary::tokens_from_json(*a);
  if (const json* t = present("truncation")) c.truncation = truncation_from_json(*t);
  if (const json* p = present("padding")) c.padding = padding_from_json(*p);
  return Pipeline(std::move(c));
}

}  // namespace

Pipeline pipeline_from_json(const json& doc) { return pipeline_from_tree(doc, nullptr); }

Pipeline pipeline_from_json_text(std::string_view text) {
  TokenizerDocument doc;
  try {
    doc = parse_tokenizer_document(text);
  } catch (const json::exception& e) {
    throw std::invalid_argument(std::string("tokenizer.json is not valid JSON: ") + e.what());
  }
  return pipeline_from_tree(doc.tree, &doc.tables);
}

}  // namespace corvane
