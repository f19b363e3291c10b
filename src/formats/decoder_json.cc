#include "formats/decoder_json.h"

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "decoders/bpe_decoder.h"
#include "decoders/byte_fallback.h"
#include "decoders/byte_level.h"
#include "decoders/ctc.h"
#include "decoders/fuse.h"
#include "decoders/metaspace.h"
#include "decoders/replace.h"
#include "decoders/sequence.h"
#include "decoders/strip.h"
#include "decoders/wordpiece.h"
#include "formats/component_json.h"

namespace corvane {

using json = nlohmann::json;

namespace {

std::unique_ptr<const Decoder> build(const json& value, const std::string& path, int depth);

MetaspaceDecoder::PrependScheme prepend_scheme(const ComponentJson& c) {
  using Scheme = MetaspaceDecoder::PrependScheme;
  Scheme scheme = Scheme::kAlways;
  if (c.has("prepend_scheme")) {
    const std::string s = c.string("prepend_scheme");
    if (s == "always") {
      scheme = Scheme::kAlways;
    } else if (s == "first") {
      scheme = Scheme::kFirst;
    } else if (s == "never") {
      scheme = Scheme::kNever;
    } else {
      c.fail("field \"prepend_scheme\" must be \"always\", \"first\" or \"never\"");
    }
  }
  // The older form: add_prefix_space false means "never", and must not contradict it.
  if (c.has("add_prefix_space") && !c.boolean("add_prefix_space")) {
    if (scheme != Scheme::kNever) c.fail("add_prefix_space does not match declared prepend_scheme");
  }
  return scheme;
}

std::unique_ptr<const Decoder> replace(const ComponentJson& c) {
  const json& pattern = c.get("pattern");
  if (!pattern.is_object() || pattern.size() != 1) {
    c.fail("field \"pattern\" must be {\"String\": ...} or {\"Regex\": ...}");
  }
  const std::string content = c.string("content");
  const auto member = pattern.begin();
  const std::string& kind = member.key();
  const json& text = member.value();
  if (kind == "String") return std::make_unique<ReplaceDecoder>(c.as_string(text, "pattern String"), content);
  if (kind == "Regex") {
    const std::string re = c.as_string(text, "pattern Regex");
    try {
      return ReplaceDecoder::regex(re, content);
    } catch (const std::invalid_argument& e) {
      c.fail(e.what());
    }
  }
  c.fail("field \"pattern\" must be {\"String\": ...} or {\"Regex\": ...}");
}

std::unique_ptr<const Decoder> build(const json& value, const std::string& path, int depth) {
  const ComponentJson c(value, "decoder", path);
  const std::string& type = c.type();
  if (type == "ByteLevel") {
    c.allow_only({"add_prefix_space", "trim_offsets", "use_regex"});
    c.boolean("add_prefix_space");
    c.boolean("trim_offsets");
    if (c.has("use_regex")) c.boolean("use_regex");
    return std::make_unique<ByteLevelDecoder>();
  }
  if (type == "WordPiece") {
    c.allow_only({"prefix", "cleanup"});
    std::string prefix = c.string("prefix");
    const bool cleanup = c.boolean("cleanup");
    return std::make_unique<WordPieceDecoder>(std::move(prefix), cleanup);
  }
  if (type == "Metaspace") {
    c.allow_only({"replacement", "prepend_scheme", "split", "add_prefix_space", "str_rep"});
    const char32_t replacement = c.character("replacement");
    if (c.has("split")) c.boolean("split");
    if (c.has("str_rep")) c.string("str_rep");
    return std::make_unique<MetaspaceDecoder>(replacement, prepend_scheme(c));
  }
  if (type == "BPEDecoder") {
    c.allow_only({"suffix"});
    return std::make_unique<BPEDecoder>(c.string("suffix"));
  }
  if (type == "ByteFallback") {
    c.allow_only({});
    return std::make_unique<ByteFallbackDecoder>();
  }
  if (type == "Fuse") {
    c.allow_only({});
    return std::make_unique<FuseDecoder>();
  }
  if (type == "Strip") {
    c.allow_only({"content", "start", "stop"});
    const char32_t content = c.character("content");
    const uint64_t start = c.unsigned_integer("start", UINT64_MAX);
    const uint64_t stop = c.unsigned_integer("stop", UINT64_MAX);
    return std::make_unique<StripDecoder>(content, start, stop);
  }
  if (type == "Replace") {
    c.allow_only({"pattern", "content"});
    return replace(c);
  }
  if (type == "CTC") {
    c.allow_only({"pad_token", "word_delimiter_token", "cleanup"});
    std::string pad = c.string("pad_token");
    std::string delimiter = c.string("word_delimiter_token");
    const bool cleanup = c.boolean("cleanup");
    return std::make_unique<CTCDecoder>(std::move(pad), std::move(delimiter), cleanup);
  }
  if (type == "Sequence") {
    c.allow_only({"decoders"});
    const json& list = c.get("decoders");
    if (!list.is_array()) c.fail("field \"decoders\" must be a list");
    if (depth >= ComponentJson::kMaxDepth) {
      c.fail("Sequence nesting deeper than " + std::to_string(ComponentJson::kMaxDepth));
    }
    std::vector<std::unique_ptr<const Decoder>> steps;
    for (std::size_t i = 0; i < list.size(); ++i) {
      steps.push_back(build(list[i], (path.empty() ? "" : path + ".") + "decoders[" + std::to_string(i) + "]", depth + 1));
    }
    return std::make_unique<DecoderSequence>(std::move(steps));
  }
  throw std::invalid_argument("unsupported decoder type \"" + type + "\"" + (path.empty() ? "" : " at " + path));
}

}  // namespace

std::unique_ptr<const Decoder> decoder_from_json(const json& value) { return build(value, "", 0); }

std::unique_ptr<const Decoder> decoder_from_json(std::string_view text) {
  return decoder_from_json(parse_component_json(text, "decoder"));
}

}  // namespace corvane
