#include "formats/post_processor_json.h"

#include <map>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "formats/component_json.h"
#include "post_processors/bert_processing.h"
#include "post_processors/byte_level.h"
#include "post_processors/roberta_processing.h"
#include "post_processors/sequence.h"
#include "post_processors/template_processing.h"

namespace corvane {

using json = nlohmann::json;

namespace {

constexpr uint64_t kMaxId = UINT32_MAX;

struct NamedId {
  std::string token;
  uint32_t id;
};

// A [token, id] pair.
NamedId named_id(const ComponentJson& c, std::string_view key) {
  const json& v = c.get(key);
  const std::string where = "field \"" + std::string(key) + "\"";
  if (!v.is_array() || v.size() != 2) c.fail(where + " must be a [token, id] pair");
  return NamedId{c.as_string(v[0], where + " token"), static_cast<uint32_t>(c.as_unsigned(v[1], where + " id", kMaxId))};
}

// One object member of an externally tagged value: {"Tag": {...}} with exactly one member.
const json& only_member(const ComponentJson& c, const json& v, const std::string& where, std::string& tag) {
  if (!v.is_object() || v.size() != 1) c.fail(where + " must be {\"Sequence\": ...} or {\"SpecialToken\": ...}");
  tag = v.begin().key();
  return v.begin().value();
}

void allow_fields(const ComponentJson& c, const json& v, const std::string& where,
                  std::initializer_list<std::string_view> allowed) {
  if (!v.is_object()) c.fail(where + " must be an object");
  for (const auto& [key, value] : v.items()) {
    bool ok = false;
    for (std::string_view a : allowed) ok = ok || key == a;
    if (!ok) c.fail(where + " has an unsupported field \"" + key + "\"");
  }
}

const json& field(const ComponentJson& c, const json& v, const std::string& where, const char* key) {
  const auto it = v.find(key);
  if (it == v.end()) c.fail(where + " is missing field \"" + key + "\"");
  return *it;
}

std::unique_ptr<const PostProcessor> template_processing(const ComponentJson& c) {
  c.allow_only({"single", "pair", "special_tokens"});
  // The special tokens, by name.
  const json& specials_json = c.get("special_tokens");
  if (!specials_json.is_object()) c.fail("field \"special_tokens\" must be an object");
  std::vector<SpecialToken> specials;
  std::map<std::string, std::size_t, std::less<>> index;
  for (const auto& [name, value] : specials_json.items()) {
    const std::string where = "special token \"" + name + "\"";
    allow_fields(c, value, where, {"id", "ids", "tokens"});
    c.as_string(field(c, value, where, "id"), where + " id");
    const json& ids = field(c, value, where, "ids");
    const json& tokens = field(c, value, where, "tokens");
    if (!ids.is_array()) c.fail(where + " ids must be a list");
    if (!tokens.is_array()) c.fail(where + " tokens must be a list");
    SpecialToken s;
    for (const json& id : ids) s.ids.push_back(static_cast<uint32_t>(c.as_unsigned(id, where + " ids", kMaxId)));
    for (const json& t : tokens) s.tokens.push_back(c.as_string(t, where + " tokens"));
    if (s.ids.size() != s.tokens.size()) c.fail("SpecialToken: ids and tokens must be of the same length");
    index.emplace(name, specials.size());
    specials.push_back(std::move(s));
  }
  std::vector<std::string> missing;
  const auto pieces = [&](const char* key) {
    const json& list = c.get(key);
    if (!list.is_array()) c.fail("field \"" + std::string(key) + "\" must be a list of pieces");
    std::vector<TemplateProcessing::Piece> out;
    for (std::size_t k = 0; k < list.size(); ++k) {
      const std::string where = std::string(key) + "[" + std::to_string(k) + "]";
      std::string tag;
      const json& body = only_member(c, list[k], where, tag);
      allow_fields(c, body, where, {"id", "type_id"});
      const std::string id = c.as_string(field(c, body, where, "id"), where + " id");
      const auto type_id = static_cast<uint32_t>(c.as_unsigned(field(c, body, where, "type_id"), where + " type_id", kMaxId));
      using Kind = TemplateProcessing::Piece::Kind;
      if (tag == "Sequence") {
        if (id != "A" && id != "B") c.fail(where + " id must be \"A\" or \"B\"");
        out.push_back({id == "A" ? Kind::kSequenceA : Kind::kSequenceB, type_id, 0});
      } else if (tag == "SpecialToken") {
        const auto it = index.find(id);
        if (it == index.end()) {
          bool seen = false;
          for (const std::string& m : missing) seen = seen || m == id;
          if (!seen) missing.push_back(id);
          continue;
        }
        out.push_back({Kind::kSpecial, type_id, it->second});
      } else {
        c.fail(where + " must be {\"Sequence\": ...} or {\"SpecialToken\": ...}");
      }
    }
    return out;
  };
  std::vector<TemplateProcessing::Piece> single = pieces("single");
  std::vector<TemplateProcessing::Piece> pair = pieces("pair");
  if (!missing.empty()) {
    std::string ids;
    for (const std::string& m : missing) ids += (ids.empty() ? "" : ", ") + m;
    c.fail("Missing SpecialToken(s) with id(s) `" + ids + "`");
  }
  for (const auto& p : single) {
    if (p.kind == TemplateProcessing::Piece::Kind::kSequenceB) {
      c.fail("the single template uses sequence B, which a single input does not have");
    }
  }
  return std::make_unique<TemplateProcessing>(std::move(single), std::move(pair), std::move(specials));
}

std::unique_ptr<const PostProcessor> build(const json& value, const std::string& path, int depth) {
  const ComponentJson c(value, "post-processor", path);
  const std::string& type = c.type();
  if (type == "TemplateProcessing") return template_processing(c);
  if (type == "BertProcessing") {
    c.allow_only({"sep", "cls"});
    const NamedId sep = named_id(c, "sep");
    const NamedId cls = named_id(c, "cls");
    return std::make_unique<BertProcessing>(sep.token, sep.id, cls.token, cls.id);
  }
  if (type == "RobertaProcessing") {
    c.allow_only({"sep", "cls", "trim_offsets", "add_prefix_space"});
    const NamedId sep = named_id(c, "sep");
    const NamedId cls = named_id(c, "cls");
    const bool trim = c.boolean("trim_offsets");
    const bool prefix = c.boolean("add_prefix_space");
    return std::make_unique<RobertaProcessing>(sep.token, sep.id, cls.token, cls.id, trim, prefix);
  }
  if (type == "ByteLevel") {
    c.allow_only({"add_prefix_space", "trim_offsets", "use_regex"});
    const bool prefix = c.boolean("add_prefix_space");
    const bool trim = c.boolean("trim_offsets");
    if (c.has("use_regex")) c.boolean("use_regex");
    return std::make_unique<ByteLevelPostProcessor>(prefix, trim);
  }
  if (type == "Sequence") {
    c.allow_only({"processors"});
    const json& list = c.get("processors");
    if (!list.is_array()) c.fail("field \"processors\" must be a list");
    if (depth >= ComponentJson::kMaxDepth) {
      c.fail("Sequence nesting deeper than " + std::to_string(ComponentJson::kMaxDepth));
    }
    std::vector<std::unique_ptr<const PostProcessor>> steps;
    for (std::size_t i = 0; i < list.size(); ++i) {
      steps.push_back(build(list[i], (path.empty() ? "" : path + ".") + "processors[" + std::to_string(i) + "]", depth + 1));
    }
    return std::make_unique<PostProcessorSequence>(std::move(steps));
  }
  throw std::invalid_argument("unsupported post-processor type \"" + type + "\"" + (path.empty() ? "" : " at " + path));
}

}  // namespace

std::unique_ptr<const PostProcessor> post_processor_from_json(const json& value) { return build(value, "", 0); }

std::unique_ptr<const PostProcessor> post_processor_from_json(std::string_view text) {
  return post_processor_from_json(parse_component_json(text, "post-processor"));
}

}  // namespace corvane
