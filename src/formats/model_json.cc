#include "formats/model_json.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/utf8.h"
#include "formats/component_json.h"
#include "formats/tokenizer_document.h"
#include "formats/unigram_json.h"
#include "models/bpe/hf_bpe_model.h"
#include "models/wordlevel/word_level_model.h"
#include "models/wordpiece/wordpiece_model.h"

namespace corvane {

using json = nlohmann::json;

namespace {

using VocabList = std::vector<std::pair<std::string_view, uint32_t>>;

std::string in_quotes(std::string_view s) {
  std::string out(1, '"');
  out += Utf8::repair(s);
  out += '"';
  return out;
}

// {token: id}, ids being 32-bit unsigned integers (from the document's tables when they
// hold the vocab).
VocabList vocab_of(const ComponentJson& c, const ModelTables* tables) {
  if (tables != nullptr && tables->vocab) {
    VocabList out;
    out.reserve(tables->vocab->size());
    for (const auto& [token, id] : *tables->vocab) out.emplace_back(std::string_view(token), id);
    return out;
  }
  const json& v = c.get("vocab");
  if (!v.is_object()) c.fail("field \"vocab\" must be an object mapping each token to its id");
  VocabList out;
  out.reserve(v.size());
  for (const auto& [token, id] : v.items()) {
    // The message is only built for an id that is refused.
    const uint64_t* plain = id.get_ptr<const json::number_unsigned_t*>();
    const uint64_t n = plain != nullptr && *plain <= UINT32_MAX
                           ? *plain
                           : c.as_unsigned(id, "the id of vocab token " + in_quotes(token), UINT32_MAX);
    out.emplace_back(std::string_view(token), static_cast<uint32_t>(n));
  }
  return out;
}

// A field that may be absent or null.
const json* optional_field(const ComponentJson& c, std::string_view key) {
  if (!c.has(key)) return nullptr;
  const json& v = c.get(key);
  return v.is_null() ? nullptr : &v;
}

std::optional<std::string> optional_string(const ComponentJson& c, std::string_view key) {
  const json* v = optional_field(c, key);
  if (v == nullptr) return std::nullopt;
  if (!v->is_string()) c.fail("field " + in_quotes(key) + " must be a string or null");
  return v->get<std::string>();
}

bool optional_boolean(const ComponentJson& c, std::string_view key) {
  const json* v = optional_field(c, key);
  if (v == nullptr) return false;
  if (!v->is_boolean()) c.fail("field " + in_quotes(key) + " must be true, false or null");
  return v->get<bool>();
}

// The merges, in rank order: all "left right" strings (each split at its one space;
// "#version" lines skipped), or all [left, right] pairs, as the peer accepts them.
std::vector<std::pair<std::string_view, std::string_view>> merges_of(const ComponentJson& c,
                                                                     const ModelTables* tables) {
  static const std::string kForms =
      "field \"merges\" must be a list of \"left right\" strings or a list of [left, right] pairs";
  std::vector<std::pair<std::string_view, std::string_view>> out;
  auto split = [&](std::string_view line) {
    if (line.rfind("#version", 0) == 0) return;
    const std::size_t space = line.find(' ');
    if (space == std::string::npos || line.find(' ', space + 1) != std::string::npos) {
      c.fail("Merges text file invalid at line " + std::to_string(out.size() + 1));
    }
    out.emplace_back(line.substr(0, space), line.substr(space + 1));
  };
  if (tables != nullptr && tables->merge_pairs) {
    out.reserve(tables->merge_pairs->size());
    for (const auto& [left, right] : *tables->merge_pairs) out.emplace_back(left, right);
    return out;
  }
  if (tables != nullptr && tables->merge_strings) {
    out.reserve(tables->merge_strings->size());
    for (const std::string& line : *tables->merge_strings) split(line);
    return out;
  }
  const json& list = c.get("merges");
  if (!list.is_array()) c.fail(kForms);
  out.reserve(list.size());
  const bool strings = !list.empty() && list.front().is_string();
  for (const json& m : list) {
    if (strings) {
      if (!m.is_string()) c.fail(kForms + " (not both)");
      split(m.get_ref<const std::string&>());
    } else {
      if (!m.is_array() || m.size() != 2 || !m[0].is_string() || !m[1].is_string()) c.fail(kForms);
      out.emplace_back(std::string_view(m[0].get_ref<const std::string&>()),
                       std::string_view(m[1].get_ref<const std::string&>()));
    }
  }
  return out;
}

std::unique_ptr<const Model> bpe(const ComponentJson& c, const ModelTables* t) {
  c.allow_only({"dropout", "unk_token", "continuing_subword_prefix", "end_of_word_suffix", "fuse_unk",
                "byte_fallback", "ignore_merges", "vocab", "merges"});
  HfBpeModel::Options o;
  if (const json* d = optional_field(c, "dropout")) {
    if (!d->is_number()) c.fail("field \"dropout\" must be a number or null");
    o.dropout = d->get<float>();
  }
  o.unk_token = optional_string(c, "unk_token");
  o.continuing_subword_prefix = optional_string(c, "continuing_subword_prefix");
  o.end_of_word_suffix = optional_string(c, "end_of_word_suffix");
  o.fuse_unk = optional_boolean(c, "fuse_unk");
  o.byte_fallback = optional_boolean(c, "byte_fallback");
  o.ignore_merges = optional_boolean(c, "ignore_merges");
  if (!c.has("vocab") || !c.has("merges")) {
    if (c.has("vocab")) vocab_of(c, t);
    if (c.has("merges")) merges_of(c, t);
    c.fail("Missing vocab/merges");
  }
  const VocabList vocab = vocab_of(c, t);
  const auto merges = merges_of(c, t);
  try {
    return std::make_unique<HfBpeModel>(vocab, merges, std::move(o));
  } catch (const std::invalid_argument& e) {
    c.fail(e.what());
  }
}

std::unique_ptr<const Model> wordpiece(const ComponentJson& c, const ModelTables* t) {
  c.allow_only({"unk_token", "continuing_subword_prefix", "max_input_chars_per_word", "vocab"});
  std::string unk = c.string("unk_token");
  std::string prefix = c.string("continuing_subword_prefix");
  const uint64_t max_chars = c.unsigned_integer("max_input_chars_per_word", UINT64_MAX);
  return std::make_unique<WordPieceModel>(vocab_of(c, t), std::move(unk), std::move(prefix), max_chars);
}

std::unique_ptr<const Model> word_level(const ComponentJson& c, const ModelTables* t) {
  c.allow_only({"vocab", "unk_token"});
  const VocabList vocab = vocab_of(c, t);
  return std::make_unique<WordLevelModel>(vocab, c.string("unk_token"));
}

std::unique_ptr<const Model> typed(const json& value, const ModelTables* t) {
  const ComponentJson c(value, "model", "");
  const std::string& type = c.type();
  if (type == "BPE") return bpe(c, t);
  if (type == "WordPiece") return wordpiece(c, t);
  if (type == "WordLevel") return word_level(c, t);
  if (type == "Unigram") return unigram_from_json(value, t);
  throw std::invalid_argument("unsupported model: " + type);
}

// An object without "type", as older files write it: the first kind it is a valid object
// of, in the peer's order (WordPiece before WordLevel, whose fields it has too).
std::unique_ptr<const Model> untyped(const json& value, const ModelTables* t) {
  json copy = value;
  std::string errors;
  for (const char* type : {"BPE", "WordPiece", "WordLevel"}) {
    copy["type"] = type;
    try {
      return typed(copy, t);
    } catch (const std::invalid_argument& e) {
      errors += std::string(errors.empty() ? "" : "; ") + e.what();
    }
  }
  const auto vocab = value.find("vocab");
  if (vocab != value.end() && vocab->is_array()) {
    copy["type"] = "Unigram";
    return unigram_from_json(copy);
  }
  throw std::invalid_argument("model without \"type\": it is none of BPE, WordPiece and WordLevel (" + errors + ")");
}

}  // namespace

std::unique_ptr<const Model> model_from_json(const json& value, const ModelTables* tables) {
  if (value.is_object() && value.find("type") == value.end()) return untyped(value, tables);
  return typed(value, tables);
}

std::unique_ptr<const Model> model_from_json(std::string_view text) {
  return model_from_json(parse_component_json(text, "model"));
}

}  // namespace corvane
