// The HuggingFace pre-tokenizers on arbitrary text, against plain references:
//   * the delimiter behaviors, against a literal port of how `tokenizers` folds the
//     (offsets, is_match) list of a piece (a vector pass per behavior, the backward one by
//     reversing twice);
//   * ByteLevel's GPT-2 scanner against Oniguruma running the pattern itself, and the
//     Whitespace scanner against Oniguruma running \w+|[^\w\s]+ (pinned Unicode classes;
//     \w written out as the `regex` crate has it), and the scanners of the Split patterns in
//     wide use (Llama 3, Qwen 2, CLIP) against Oniguruma running each pattern;
// and invariants on every component: pieces in order, within the text, each (for those
// that do not rewrite) the original text at its offsets, and together the whole text minus
// the delimiters that are removed (which must be delimiter characters).
//
// Input: byte 0 picks the component and its options, the rest is the text (invalid UTF-8 is
// repaired first).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/byte_level.h"
#include "core/onig_regex.h"
#include "core/utf8.h"
#include "fuzz_support.h"
#include "pre_tokenizers/hf/byte_level.h"
#include "pre_tokenizers/hf/char_classes.h"
#include "pre_tokenizers/hf/char_pattern.h"
#include "pre_tokenizers/hf/from_json.h"
#include "pre_tokenizers/hf/gpt2_splitter.h"
#include "pre_tokenizers/hf/known_patterns.h"
#include "pre_tokenizers/hf/onig_unicode.h"
#include "pre_tokenizers/hf/pre_tokenized_text.h"

using corvane::hf::PreTokenizedText;
using corvane::hf::Segment;
using corvane::hf::SplitBehavior;
using fuzzsupport::show;

namespace {

const char* const kBehaviors[] = {"Removed", "Isolated", "MergedWithPrevious", "MergedWithNext", "Contiguous"};

// The configurations, by number. Those that keep the text as it is come first.
std::vector<std::string> configs() {
  std::vector<std::string> c;
  for (const char* b : kBehaviors) c.push_back(std::string(R"({"type":"Punctuation","behavior":")") + b + "\"}");
  for (const char* b : kBehaviors) {
    c.push_back(std::string(R"({"type":"Split","pattern":{"Regex":"\\s+|[,.]"},"behavior":")") + b + R"(","invert":false})");
    c.push_back(std::string(R"({"type":"Split","pattern":{"String":"ab"},"behavior":")") + b + R"(","invert":true})");
    c.push_back(std::string(R"({"type":"Split","pattern":{"Regex":"x*"},"behavior":")") + b + R"(","invert":false})");
  }
  c.push_back(R"({"type":"Whitespace"})");
  c.push_back(R"({"type":"WhitespaceSplit"})");
  c.push_back(R"({"type":"BertPreTokenizer"})");
  c.push_back(R"({"type":"Digits","individual_digits":true})");
  c.push_back(R"({"type":"Digits","individual_digits":false})");
  c.push_back(R"({"type":"CharDelimiterSplit","delimiter":"a"})");
  c.push_back(R"({"type":"Split","pattern":{"String":""},"behavior":"Isolated","invert":false})");
  return c;
}
// Rewriting components, checked by their own invariants.
const char* const kByteLevel = R"({"type":"ByteLevel","add_prefix_space":true,"trim_offsets":true})";
const char* const kMetaspace = R"({"type":"Metaspace","replacement":"_","prepend_scheme":"always"})";

const char* const kKnownPatterns[] = {
    R"((?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)",
    R"((?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)",
    R"(<\|startoftext\|>|<\|endoftext\|>|'s|'t|'re|'ve|'m|'ll|'d|[\p{L}]+|[\p{N}]|[^\s\p{L}\p{N}]+)",
};

struct Built {
  std::vector<std::unique_ptr<const corvane::hf::PreTokenizer>> keeping;
  std::unique_ptr<const corvane::hf::PreTokenizer> byte_level, metaspace;
  std::unique_ptr<corvane::OnigRegex> gpt2, whitespace;
  std::vector<std::unique_ptr<corvane::OnigRegex>> known_regex;  // kKnownPatterns through the engine
  std::vector<std::string> names;
};

const Built& built() {
  static const Built b = [] {
    Built out;
    out.names = configs();
    for (const std::string& j : out.names) out.keeping.push_back(corvane::hf::pre_tokenizer_from_json_text(j));
    out.byte_level = corvane::hf::pre_tokenizer_from_json_text(kByteLevel);
    out.metaspace = corvane::hf::pre_tokenizer_from_json_text(kMetaspace);
    out.gpt2 = std::make_unique<corvane::OnigRegex>(corvane::hf::pin_unicode_classes(
        R"('s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+)"));
    // \w+|[^\w\s]+ with the `regex` crate's \w written out (Oniguruma's own \w differs).
    std::string word;
    char buf[40];
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
      if (!corvane::hf::is_word(c)) continue;
      char32_t e = c;
      while (e < 0x10FFFF && corvane::hf::is_word(e + 1)) ++e;
      std::snprintf(buf, sizeof buf, "\\x{%X}-\\x{%X}", static_cast<unsigned>(c), static_cast<unsigned>(e));
      word += buf;
      c = e;
    }
    out.whitespace = std::make_unique<corvane::OnigRegex>("[" + word + "]+|[^" + word + "\\s]+");
    for (const char* p : kKnownPatterns) {
      out.known_regex.push_back(std::make_unique<corvane::OnigRegex>(corvane::hf::pin_unicode_classes(p)));
    }
    return out;
  }();
  return b;
}

// How `tokenizers` folds the segments of a piece under a behavior, written out plainly.
std::vector<std::pair<std::size_t, std::size_t>> reference_fold(const std::vector<Segment>& m, SplitBehavior b) {
  std::vector<std::pair<std::pair<std::size_t, std::size_t>, bool>> acc;  // (offsets, remove)
  if (b == SplitBehavior::kIsolated) {
    for (const Segment& s : m) acc.push_back({{s.begin, s.end}, false});
  } else if (b == SplitBehavior::kRemoved) {
    for (const Segment& s : m) acc.push_back({{s.begin, s.end}, s.is_match});
  } else if (b == SplitBehavior::kContiguous || b == SplitBehavior::kMergedWithPrevious) {
    bool prev = false;
    for (const Segment& s : m) {
      const bool merge = b == SplitBehavior::kContiguous ? s.is_match == prev : (s.is_match && !prev);
      if (merge && !acc.empty()) {
        acc.back().first.second = s.end;
      } else {
        acc.push_back({{s.begin, s.end}, false});
      }
      prev = s.is_match;
    }
  } else {
    std::vector<Segment> r(m.rbegin(), m.rend());
    bool prev = false;
    for (const Segment& s : r) {
      if (s.is_match && !prev && !acc.empty()) {
        acc.back().first.first = s.begin;
      } else {
        acc.push_back({{s.begin, s.end}, false});
      }
      prev = s.is_match;
    }
    std::vector<std::pair<std::pair<std::size_t, std::size_t>, bool>> fwd(acc.rbegin(), acc.rend());
    acc.swap(fwd);
  }
  std::vector<std::pair<std::size_t, std::size_t>> out;
  for (const auto& [o, remove] : acc) {
    if (!remove && o.first < o.second) out.push_back(o);
  }
  return out;
}

// Pieces in order, within the text, each the original text at its offsets.
void check_keeping(const std::string& name, const std::string& text, const PreTokenizedText& pre) {
  std::size_t prev_end = 0;
  for (const auto& p : pre.pieces()) {
    const std::string_view piece = pre.normalized(p);
    FUZZ_CHECK(p.original.start >= prev_end && p.original.start < p.original.end && p.original.end <= text.size(),
               name + ": piece out of order or bounds in " + show(text));
    FUZZ_CHECK(piece == std::string_view(text).substr(p.original.start, p.original.end - p.original.start),
               name + ": piece " + show(piece) + " is not the text at its offsets in " + show(text));
    prev_end = p.original.end;
  }
}

// The bytes between pieces: everything is covered, except what `removed` accepts.
template <class Removed>
void check_cover(const std::string& name, const std::string& text, const PreTokenizedText& pre, Removed&& removed) {
  std::size_t at = 0;
  auto gap = [&](std::size_t b, std::size_t e) {
    const std::string_view g = std::string_view(text).substr(b, e - b);
    for (std::size_t i = 0; i < g.size();) {
      const char32_t c = corvane::next_char(g, i);
      FUZZ_CHECK(removed(c), name + ": lost a character that is not a delimiter in " + show(text));
    }
  };
  for (const auto& p : pre.pieces()) {
    if (p.original.start > at) gap(at, p.original.start);
    if (p.original.end > at) at = p.original.end;
  }
  gap(at, text.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const Built& b = built();
  const std::string text = corvane::Utf8::repair(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  const std::size_t pick = data[0] % (b.names.size() + 5);

  if (pick < b.names.size()) {
    const std::string& name = b.names[pick];
    PreTokenizedText pre = PreTokenizedText::from_original(text);
    b.keeping[pick]->pre_tokenize(pre);
    check_keeping(name, text, pre);
    const bool removes = name.find("Removed") != std::string::npos || name.find("Whitespace") != std::string::npos ||
                         name.find("Bert") != std::string::npos || name.find("CharDelimiter") != std::string::npos;
    if (!removes) {
      check_cover(name, text, pre, [](char32_t) { return false; });
    } else if (name.find("Whitespace") != std::string::npos || name.find("Bert") != std::string::npos) {
      check_cover(name, text, pre, corvane::hf::is_whitespace);
    }
    // The behaviors against the plain fold, on Punctuation's segments.
    if (name.find("Punctuation") != std::string::npos) {
      std::vector<Segment> seg;
      corvane::hf::char_segments(text, corvane::hf::is_punctuation, seg);
      const auto behavior = static_cast<SplitBehavior>(pick % 5);  // the order of kBehaviors
      const auto want = reference_fold(seg, behavior);
      FUZZ_CHECK(want.size() == pre.size(), name + ": piece count differs from the plain fold on " + show(text));
      for (std::size_t i = 0; i < want.size(); ++i) {
        FUZZ_CHECK(want[i].first == pre.pieces()[i].original.start && want[i].second == pre.pieces()[i].original.end,
                   name + ": piece differs from the plain fold on " + show(text));
      }
    }
    return 0;
  }

  switch (pick - b.names.size()) {
    case 4: {  // a known pattern's scanner against the regex engine (the last text byte picks it)
      const std::size_t k = text.empty() ? 0 : static_cast<unsigned char>(text.back()) % 3;
      const corvane::hf::PatternScanner scan = corvane::hf::known_pattern_scanner(kKnownPatterns[k]);
      FUZZ_CHECK(scan != nullptr, "known pattern " + std::to_string(k) + " has no scanner");
      std::vector<Segment> seg;
      if (!text.empty()) scan(text, seg);
      std::vector<std::pair<std::size_t, std::size_t>> got;
      for (const Segment& s : seg) {
        if (s.is_match) got.emplace_back(s.begin, s.end);
      }
      FUZZ_CHECK(got == b.known_regex[k]->find_all(text),
                 "known pattern " + std::to_string(k) + ": matches differ from Oniguruma on " + show(text));
      return 0;
    }
    case 0: {  // the GPT-2 scanner against the regex engine
      std::vector<Segment> seg;
      corvane::hf::gpt2_segments(text, seg);
      const auto want = b.gpt2->find_all(text);
      FUZZ_CHECK(want.size() == seg.size(), "gpt2: match count differs from Oniguruma on " + show(text));
      for (std::size_t i = 0; i < want.size(); ++i) {
        FUZZ_CHECK(want[i].first == seg[i].begin && want[i].second == seg[i].end,
                   "gpt2: match differs from Oniguruma on " + show(text));
      }
      return 0;
    }
    case 1: {  // the Whitespace scanner against the regex engine
      PreTokenizedText pre = PreTokenizedText::from_original(text);
      corvane::hf::pre_tokenizer_from_json_text(R"({"type":"Whitespace"})")->pre_tokenize(pre);
      const auto want = b.whitespace->find_all(text);
      FUZZ_CHECK(want.size() == pre.size(), "whitespace: piece count differs from Oniguruma on " + show(text));
      for (std::size_t i = 0; i < want.size(); ++i) {
        FUZZ_CHECK(want[i].first == pre.pieces()[i].original.start && want[i].second == pre.pieces()[i].original.end,
                   "whitespace: piece differs from Oniguruma on " + show(text));
      }
      return 0;
    }
    case 2: {  // ByteLevel: the pieces are the stand-ins of the text's bytes (after the added space)
      PreTokenizedText pre = PreTokenizedText::from_original(text);
      b.byte_level->pre_tokenize(pre);
      // The added space carries the first character's span, so two pieces may start there.
      std::size_t prev_start = 0, prev_end = 0;
      std::string joined;
      for (const auto& p : pre.pieces()) {
        FUZZ_CHECK(p.original.start >= prev_start && p.original.end >= prev_end && p.original.end <= text.size() &&
                       p.original.start < p.original.end,
                   "byte_level: pieces out of order on " + show(text));
        prev_start = p.original.start;
        const std::string_view s = pre.normalized(p);
        for (std::size_t i = 0; i < s.size();) {
          const int byte = corvane::ByteLevel::byte_of(corvane::next_char(s, i));
          FUZZ_CHECK(byte >= 0, "byte_level: a character outside the byte alphabet on " + show(text));
          joined.push_back(static_cast<char>(byte));
        }
        prev_end = p.original.end;
      }
      const std::string want = (text.empty() || text[0] == ' ' ? "" : " ") + text;
      FUZZ_CHECK(joined == want, "byte_level: the pieces are not the bytes of the text on " + show(text));
      check_cover("byte_level", text, pre, [](char32_t) { return false; });
      return 0;
    }
    default: {  // Metaspace: spaces become '_', each piece starts with one, nothing is lost
      PreTokenizedText pre = PreTokenizedText::from_original(text);
      b.metaspace->pre_tokenize(pre);
      std::string joined;
      for (const auto& p : pre.pieces()) {
        const std::string_view s = pre.normalized(p);
        FUZZ_CHECK(!s.empty() && s[0] == '_', "metaspace: piece without its replacement on " + show(text));
        FUZZ_CHECK(s.find(' ') == std::string_view::npos, "metaspace: space left in a piece on " + show(text));
        joined += s;
      }
      std::string want = text.empty() || text[0] == ' ' || text[0] == '_' ? "" : "_";
      for (char c : text) want.push_back(c == ' ' ? '_' : c);
      if (text.empty()) want.clear();
      FUZZ_CHECK(joined == want, "metaspace: pieces do not join to the rewritten text on " + show(text));
      check_cover("metaspace", text, pre, [](char32_t) { return false; });
      return 0;
    }
  }
}
