#include "formats/normalizer_json.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "normalizers/bert_normalizer.h"
#include "normalizers/byte_level_normalizer.h"
#include "normalizers/lowercase.h"
#include "normalizers/precompiled.h"
#include "normalizers/prepend.h"
#include "normalizers/replace.h"
#include "normalizers/sequence.h"
#include "normalizers/strip.h"
#include "normalizers/strip_accents.h"
#include "normalizers/unicode_normalization.h"

namespace corvane {

namespace {

using json = nlohmann::json;

constexpr int kMaxDepth = 100;

// Standard base64 as the peer decodes a precompiled_charsmap: the standard alphabet, no
// whitespace, canonical padding to a multiple of four, no stray bits in the last character.
bool decode_base64(std::string_view in, std::string& out) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  if (in.size() % 4 != 0) return false;
  std::size_t pad = 0;
  while (pad < 2 && pad < in.size() && in[in.size() - 1 - pad] == '=') ++pad;
  const std::size_t body = in.size() - pad;
  out.clear();
  out.reserve(in.size() / 4 * 3);
  uint32_t acc = 0;
  int bits = 0;
  for (std::size_t i = 0; i < body; ++i) {
    const int v = value(in[i]);
    if (v < 0) return false;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((acc >> bits) & 0xFF));
    }
  }
  // What is left must be the unused low bits of the last character, all zero.
  return (acc & ((1u << bits) - 1)) == 0;
}

// The options of one normalizer object: each is read once, and what is left over is an
// option this engine does not know.
class Options {
 public:
  Options(const json& object, std::string type) : object_(object), type_(std::move(type)) {}

  const std::string& type() const { return type_; }

  const json* optional(const char* name) {
    read_.emplace_back(name);
    const auto it = object_.find(name);
    return it == object_.end() ? nullptr : &*it;
  }
  const json& required(const char* name) {
    const json* v = optional(name);
    if (!v) fail("missing option " + std::string(name));
    return *v;
  }
  bool boolean(const char* name) {
    const json& v = required(name);
    if (!v.is_boolean()) fail("option " + std::string(name) + " must be a boolean");
    return v.get<bool>();
  }
  std::string string(const char* name) {
    const json& v = required(name);
    if (!v.is_string()) fail("option " + std::string(name) + " must be a string");
    return v.get<std::string>();
  }

  // Fails on the first option that was never read.
  void check_all_read() const {
    for (const auto& [key, value] : object_.items()) {
      if (key == "type") continue;
      bool known = false;
      for (const std::string& r : read_) known = known || r == key;
      if (!known) throw std::invalid_argument("unsupported option of normalizer " + type_ + ": " + key);
    }
  }

  [[noreturn]] void fail(const std::string& what) const {
    throw std::invalid_argument("normalizer " + type_ + ": " + what);
  }

 private:
  const json& object_;
  std::string type_;
  std::vector<std::string> read_;
};

std::unique_ptr<Normalizer> build(const json& object, int depth) {
  if (!object.is_object() || !object.contains("type") || !object["type"].is_string()) {
    throw std::invalid_argument("normalizer must be a JSON object with a string \"type\"");
  }
  Options o(object, object["type"].get<std::string>());
  const std::string& type = o.type();
  std::unique_ptr<Normalizer> out;
  using Form = UnicodeNormalization::Form;
  if (type == "BertNormalizer") {
    const bool clean_text = o.boolean("clean_text");
    const bool chinese = o.boolean("handle_chinese_chars");
    std::optional<bool> strip_accents;
    if (const json* v = o.optional("strip_accents"); v && !v->is_null()) {
      if (!v->is_boolean()) o.fail("option strip_accents must be null or a boolean");
      strip_accents = v->get<bool>();
    }
    const bool lowercase = o.boolean("lowercase");
    out = std::make_unique<BertNormalizer>(clean_text, chinese, strip_accents, lowercase);
  } else if (type == "NFC") {
    out = std::make_unique<UnicodeNormalization>(Form::NFC);
  } else if (type == "NFD") {
    out = std::make_unique<UnicodeNormalization>(Form::NFD);
  } else if (type == "NFKC") {
    out = std::make_unique<UnicodeNormalization>(Form::NFKC);
  } else if (type == "NFKD") {
    out = std::make_unique<UnicodeNormalization>(Form::NFKD);
  } else if (type == "Lowercase") {
    out = std::make_unique<Lowercase>();
  } else if (type == "StripAccents") {
    out = std::make_unique<StripAccents>();
  } else if (type == "ByteLevel") {
    out = std::make_unique<ByteLevelNormalizer>();
  } else if (type == "Strip") {
    const bool left = o.boolean("strip_left");
    const bool right = o.boolean("strip_right");
    out = std::make_unique<Strip>(left, right);
  } else if (type == "Prepend") {
    out = std::make_unique<Prepend>(o.string("prepend"));
  } else if (type == "Replace") {
    const json& pattern = o.required("pattern");
    const char* what = "option pattern must be {\"String\": text} or {\"Regex\": text}";
    if (!pattern.is_object() || pattern.size() != 1) o.fail(what);
    const auto it = pattern.begin();
    if ((it.key() != "String" && it.key() != "Regex") || !it.value().is_string()) o.fail(what);
    const std::string content = o.string("content");
    out = std::make_unique<Replace>(it.key() == "String" ? Replace::Kind::String : Replace::Kind::Regex,
                                    it.value().get<std::string>(), content);
  } else if (type == "Precompiled") {
    std::string blob;
    if (!decode_base64(o.string("precompiled_charsmap"), blob)) {
      o.fail("option precompiled_charsmap is not valid base64");
    }
    try {
      out = std::make_unique<Precompiled>(blob);
    } catch (const std::invalid_argument& e) {
      o.fail(e.what());
    }
  } else if (type == "Sequence") {
    const json& list = o.required("normalizers");
    if (!list.is_array()) o.fail("option normalizers must be a list of normalizers");
    if (depth >= kMaxDepth) {
      throw std::invalid_argument("normalizer Sequence nested too deeply (more than " + std::to_string(kMaxDepth) +
                                  " levels)");
    }
    std::vector<std::unique_ptr<Normalizer>> steps;
    steps.reserve(list.size());
    for (const json& step : list) steps.push_back(build(step, depth + 1));
    out = std::make_unique<NormalizerSequence>(std::move(steps));
  } else {
    throw std::invalid_argument("unsupported normalizer: " + type);
  }
  o.check_all_read();
  return out;
}

}  // namespace

std::unique_ptr<Normalizer> normalizer_from_json(const json& object) { return build(object, 0); }

std::unique_ptr<Normalizer> normalizer_from_json_text(std::string_view text) {
  json parsed;
  try {
    parsed = json::parse(text.begin(), text.end());
  } catch (const json::parse_error& e) {
    throw std::invalid_argument(std::string("normalizer JSON parse error: ") + e.what());
  }
  return normalizer_from_json(parsed);
}

}  // namespace corvane
