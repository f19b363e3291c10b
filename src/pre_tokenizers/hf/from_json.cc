#include "pre_tokenizers/hf/from_json.h"

#include <initializer_list>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "core/utf8.h"
#include "pre_tokenizers/hf/bert_pre_tokenizer.h"
#include "pre_tokenizers/hf/byte_level.h"
#include "pre_tokenizers/hf/char_delimiter_split.h"
#include "pre_tokenizers/hf/digits.h"
#include "pre_tokenizers/hf/metaspace.h"
#include "pre_tokenizers/hf/punctuation.h"
#include "pre_tokenizers/hf/sequence.h"
#include "pre_tokenizers/hf/split.h"
#include "pre_tokenizers/hf/whitespace.h"

namespace corvane::hf {

namespace {

using json = nlohmann::json;

// Reads the fields of one pre_tokenizer object, in the words of its errors.
class Fields {
 public:
  Fields(const json& j, std::string type) : j_(j), type_(std::move(type)) {}

  [[noreturn]] void fail(const std::string& what) const {
    throw std::invalid_argument("pre_tokenizer " + type_ + ": " + what);
  }

  // Every field must be one of `known` ("type" always is).
  void only(std::initializer_list<const char*> known) const {
    for (auto it = j_.begin(); it != j_.end(); ++it) {
      if (it.key() == "type") continue;
      bool ok = false;
      for (const char* k : known) ok = ok || it.key() == k;
      if (!ok) throw std::invalid_argument("unsupported pre_tokenizer option: " + type_ + "." + Utf8::repair(it.key()));
    }
  }

  // A field, or nullptr when it is absent (or null, when `null_is_absent`).
  const json* find(const char* name, bool null_is_absent) const {
    const auto it = j_.find(name);
    if (it == j_.end() || (null_is_absent && it->is_null())) return nullptr;
    return &*it;
  }

  const json& required(const char* name) const {
    const json* v = find(name, false);
    if (!v) fail(std::string("missing field ") + name);
    return *v;
  }

  bool boolean(const json& v, const char* name) const {
    if (!v.is_boolean()) fail(std::string(name) + " must be a boolean");
    return v.get<bool>();
  }
  bool boolean(const char* name) const { return boolean(required(name), name); }
  bool boolean_or(const char* name, bool fallback, bool null_is_absent = false) const {
    const json* v = find(name, null_is_absent);
    return v ? boolean(*v, name) : fallback;
  }

  std::string string(const json& v, const char* name) const {
    if (!v.is_string()) fail(std::string(name) + " must be a string");
    return v.get<std::string>();
  }

  // A string of exactly one character.
  char32_t character(const char* name) const {
    const std::string s = string(required(name), name);
    std::size_t i = 0;
    if (s.empty() || Utf8::char_length(reinterpret_cast<const unsigned char*>(s.data()), s.size()) != s.size()) {
      fail(std::string(name) + " must be one character");
    }
    return next_char(s, i);
  }

  SplitBehavior behavior(const json& v) const {
    const std::string s = string(v, "behavior");
    if (s == "Removed") return SplitBehavior::kRemoved;
    if (s == "Isolated") return SplitBehavior::kIsolated;
    if (s == "MergedWithPrevious") return SplitBehavior::kMergedWithPrevious;
    if (s == "MergedWithNext") return SplitBehavior::kMergedWithNext;
    if (s == "Contiguous") return SplitBehavior::kContiguous;
    fail("unknown behavior " + Utf8::repair(s) +
         " (expected Removed, Isolated, MergedWithPrevious, MergedWithNext or Contiguous)");
  }

 private:
  const json& j_;
  std::string type_;
};

// Sequences nest at most this deep (serde_json, which `tokenizers` reads with, stops at 128
// levels of JSON).
constexpr int kMaxDepth = 64;

std::unique_ptr<const PreTokenizer> build(const json& j, int depth) {
  if (!j.is_object() || !j.contains("type") || !j["type"].is_string()) {
    throw std::invalid_argument("pre_tokenizer must be an object with a string \"type\"");
  }
  const std::string type = j["type"].get<std::string>();
  const Fields f(j, Utf8::repair(type));

  if (type == "ByteLevel") {
    f.only({"add_prefix_space", "trim_offsets", "use_regex"});
    const bool add_prefix_space = f.boolean("add_prefix_space");
    const bool trim_offsets = f.boolean("trim_offsets");
    const bool use_regex = f.boolean_or("use_regex", true);
    return std::make_unique<ByteLevelPreTokenizer>(add_prefix_space, trim_offsets, use_regex);
  }
  if (type == "Split") {
    f.only({"pattern", "behavior", "invert"});
    const json& p = f.required("pattern");
    if (!p.is_object() || p.size() != 1) f.fail("pattern must be {\"String\": ...} or {\"Regex\": ...}");
    const std::string kind = p.begin().key();
    SplitPreTokenizer::PatternKind k;
    if (kind == "String") {
      k = SplitPreTokenizer::PatternKind::kString;
    } else if (kind == "Regex") {
      k = SplitPreTokenizer::PatternKind::kRegex;
    } else {
      f.fail("pattern must be {\"String\": ...} or {\"Regex\": ...}, not " + Utf8::repair(kind));
    }
    std::string pattern = f.string(p.begin().value(), "pattern");
    const SplitBehavior behavior = f.behavior(f.required("behavior"));
    const bool invert = f.boolean("invert");
    try {
      return std::make_unique<SplitPreTokenizer>(k, std::move(pattern), behavior, invert);
    } catch (const std::invalid_argument& e) {
      f.fail(e.what());
    }
  }
  if (type == "Whitespace") {
    f.only({});
    return std::make_unique<WhitespacePreTokenizer>();
  }
  if (type == "WhitespaceSplit") {
    f.only({});
    return std::make_unique<WhitespaceSplitPreTokenizer>();
  }
  if (type == "BertPreTokenizer") {
    f.only({});
    return std::make_unique<BertPreTokenizer>();
  }
  if (type == "Punctuation") {
    f.only({"behavior"});
    const json* b = f.find("behavior", false);
    return std::make_unique<PunctuationPreTokenizer>(b ? f.behavior(*b) : SplitBehavior::kIsolated);
  }
  if (type == "Digits") {
    f.only({"individual_digits"});
    return std::make_unique<DigitsPreTokenizer>(f.boolean("individual_digits"));
  }
  if (type == "CharDelimiterSplit") {
    f.only({"delimiter"});
    return std::make_unique<CharDelimiterSplitPreTokenizer>(f.character("delimiter"));
  }
  if (type == "Metaspace") {
    // str_rep is written by older versions and ignored, as `tokenizers` ignores it.
    f.only({"replacement", "prepend_scheme", "split", "add_prefix_space", "str_rep"});
    const char32_t replacement = f.character("replacement");
    using Scheme = MetaspacePreTokenizer::PrependScheme;
    Scheme scheme = Scheme::kAlways;
    if (const json* v = f.find("prepend_scheme", false)) {
      const std::string s = f.string(*v, "prepend_scheme");
      if (s == "always") {
        scheme = Scheme::kAlways;
      } else if (s == "first") {
        scheme = Scheme::kFirst;
      } else if (s == "never") {
        scheme = Scheme::kNever;
      } else {
        f.fail("unknown prepend_scheme " + Utf8::repair(s) + " (expected always, first or never)");
      }
    }
    // The older add_prefix_space: false means never, and must not contradict the scheme.
    if (!f.boolean_or("add_prefix_space", true, true)) {
      if (scheme != Scheme::kNever) f.fail("add_prefix_space does not match declared prepend_scheme");
    }
    if (const json* v = f.find("str_rep", true); v && !v->is_string()) f.fail("str_rep must be a string");
    const bool split = f.boolean_or("split", true, true);
    return std::make_unique<MetaspacePreTokenizer>(replacement, scheme, split);
  }
  if (type == "Sequence") {
    f.only({"pretokenizers"});
    const json& list = f.required("pretokenizers");
    if (!list.is_array()) f.fail("pretokenizers must be a list");
    std::vector<std::unique_ptr<const PreTokenizer>> steps;
    steps.reserve(list.size());
    if (depth >= kMaxDepth) f.fail("sequences nested more than " + std::to_string(kMaxDepth) + " deep");
    for (const json& item : list) steps.push_back(build(item, depth + 1));
    return std::make_unique<SequencePreTokenizer>(std::move(steps));
  }
  throw std::invalid_argument("unsupported pre_tokenizer: " + Utf8::repair(type));
}

}  // namespace

std::unique_ptr<const PreTokenizer> pre_tokenizer_from_json(const json& j) { return build(j, 0); }

std::unique_ptr<const PreTokenizer> pre_tokenizer_from_json_text(std::string_view text) {
  json j;
  try {
    j = json::parse(text.begin(), text.end());
  } catch (const json::parse_error& e) {
    throw std::invalid_argument(std::string("pre_tokenizer is not valid JSON: ") + e.what());
  }
  return build(j, 0);
}

}  // namespace corvane::hf
