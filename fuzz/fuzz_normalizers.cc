// Every tokenizer.json normalizer on arbitrary text, against the plain reference of
// reference_normalizers.h: the normalized text and each character's original range must
// be the reference's, and the ranges must lie in the original, on its character
// boundaries, in non-decreasing order. Text that is not UTF-8 must be refused.
//
// Replace's \s+, found without the regex engine, must also equal [\s]+ run by Oniguruma.
//
// The first input byte picks the normalizer (and its options); the second, for Replace
// and Prepend, how many of the following characters form the pattern or prefix.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/utf8.h"
#include "formats/normalizer_json.h"
#include "fuzz_support.h"
#include "normalizers/normalized_text.h"
#include "normalizers/replace.h"
#include "reference_normalizers.h"

using corvane::NormalizedText;
using fuzzsupport::show;

namespace {

std::u32string decode(std::string_view s) {
  std::u32string out;
  for (std::size_t i = 0; i < s.size();) out.push_back(corvane::next_char(s, i));
  return out;
}

std::string encode(const std::u32string& s) {
  std::string out;
  for (char32_t c : s) NormalizedText::append_utf8(out, c);
  return out;
}

std::string json_string(const std::u32string& s) {
  std::string out = "\"";
  char buf[8];
  for (char32_t c : s) {
    if (c == '"' || c == '\\' || c < 0x20) {
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
      out += buf;
    } else {
      NormalizedText::append_utf8(out, c);
    }
  }
  return out + "\"";
}

// The pattern of a literal, escaped for Oniguruma: every ASCII punctuation character gets
// a backslash.
std::string onig_escape(const std::u32string& s) {
  std::string out;
  for (char32_t c : s) {
    if (c < 0x80 && !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c >= 0x80)) {
      if (c < 0x20 || c == 0x7F) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned>(c));
        out += buf;
        continue;
      }
      out.push_back('\\');
    }
    NormalizedText::append_utf8(out, c);
  }
  return out;
}

void check_invariants(const NormalizedText& t, const std::string& shown) {
  const std::string& input = t.original();
  const auto& a = t.alignments();
  FUZZ_CHECK(a.size() == t.normalized().size(), "alignment size on " + show(shown));
  uint32_t last = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    FUZZ_CHECK(a[i].start <= a[i].end && a[i].end <= input.size(), "span out of range on " + show(shown));
    FUZZ_CHECK(a[i].start >= last, "spans go backwards on " + show(shown));
    last = a[i].start;
    for (uint32_t edge : {a[i].start, a[i].end}) {
      FUZZ_CHECK(edge == input.size() || (static_cast<unsigned char>(input[edge]) & 0xC0) != 0x80,
                 "span inside a character on " + show(shown));
    }
  }
}

void compare(const NormalizedText& t, const fuzzref::RefText& r, const std::string& what, const std::string& input) {
  std::u32string ref_chars;
  for (const auto& c : r.chars) ref_chars.push_back(c.ch);
  FUZZ_CHECK(t.normalized() == encode(ref_chars),
             what + ": text " + show(t.normalized()) + " != " + show(encode(ref_chars)) + " on " + show(input));
  std::size_t k = 0;
  const std::string& s = t.normalized();
  for (std::size_t i = 0; i < s.size(); ++k) {
    const auto span = t.alignments()[i];
    corvane::next_char(s, i);
    FUZZ_CHECK(span.start == r.chars[k].start && span.end == r.chars[k].end,
               what + ": span of character " + std::to_string(k) + " on " + show(input));
  }
  check_invariants(t, input);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const uint8_t pick = data[0];
  const uint8_t split = data[1];
  const std::string input(reinterpret_cast<const char*>(data + 2), size - 2);
  if (corvane::Utf8::repair(input) != input) {
    try {
      NormalizedText t(input);
      FUZZ_CHECK(false, "invalid UTF-8 accepted: " + show(input));
    } catch (const std::invalid_argument&) {
    }
    return 0;
  }
  const std::u32string all = decode(input);
  // Replace and Prepend take their pattern / prefix from the start of the text.
  const std::size_t n_arg = std::min<std::size_t>(split % 4, all.size());
  const std::u32string arg = all.substr(0, n_arg);
  const std::u32string body_chars = all.substr(n_arg);
  const std::string body = encode(body_chars);

  NormalizedText t(body);
  fuzzref::RefText r = fuzzref::ref_from(body_chars);
  std::string json;
  switch (pick % 14) {
    case 0: json = R"({"type":"NFC"})"; fuzzref::ref_normalize(r, false, true); break;
    case 1: json = R"({"type":"NFD"})"; fuzzref::ref_normalize(r, false, false); break;
    case 2: json = R"({"type":"NFKC"})"; fuzzref::ref_normalize(r, true, true); break;
    case 3: json = R"({"type":"NFKD"})"; fuzzref::ref_normalize(r, true, false); break;
    case 4: json = R"({"type":"Lowercase"})"; fuzzref::ref_lowercase(r); break;
    case 5:
      json = R"({"type":"StripAccents"})";
      fuzzref::ref_filter(r, [](char32_t c) { return !corvane::pinned_unicode::is_combining_mark(c); });
      break;
    case 6: {
      const bool left = pick & 16, right = pick & 32;
      json = std::string(R"({"type":"Strip","strip_left":)") + (left ? "true" : "false") +
             ",\"strip_right\":" + (right ? "true" : "false") + "}";
      fuzzref::ref_strip(r, left, right);
      break;
    }
    case 7:
      json = R"({"type":"Prepend","prepend":)" + json_string(arg) + "}";
      fuzzref::ref_prepend(r, arg);
      break;
    case 8:
    case 9: {
      // A literal, and the same literal escaped as a regex: both must give the reference.
      const std::u32string content = (pick & 16) ? U"" : (pick & 32) ? U"\u2581" : U"xy";
      json = std::string(R"({"type":"Replace","pattern":{"String":)") + json_string(arg) +
             "},\"content\":" + json_string(content) + "}";
      fuzzref::ref_replace(r, arg, content);
      if (pick % 14 == 9 && !arg.empty()) {
        corvane::Replace re(corvane::Replace::Kind::Regex, onig_escape(arg), encode(content));
        NormalizedText t2(body);
        re.normalize(t2);
        compare(t2, r, "Replace regex " + show(onig_escape(arg)), input);
      }
      if (pick % 14 == 8) {
        // \s+ is found without the engine; [\s]+ is the same pattern through it.
        const corvane::Replace fast(corvane::Replace::Kind::Regex, "\\s+", encode(content));
        const corvane::Replace engine(corvane::Replace::Kind::Regex, "[\\s]+", encode(content));
        NormalizedText a(body), e(body);
        fast.normalize(a);
        engine.normalize(e);
        FUZZ_CHECK(a.normalized() == e.normalized() && a.alignments() == e.alignments(),
                   "Replace \\s+ differs from Oniguruma on " + show(body));
      }
      break;
    }
    case 10: json = R"({"type":"ByteLevel"})"; fuzzref::ref_byte_level(r); break;
    case 11:
    case 12: {
      const bool clean = pick & 16, chinese = pick & 32, lower = pick & 64;
      const int sa = (pick >> 7) | ((split >> 7) << 1);  // 0: null, 1: true, 2: false, 3: null
      const bool strip = sa == 1 ? true : sa == 2 ? false : lower;
      json = std::string(R"({"type":"BertNormalizer","clean_text":)") + (clean ? "true" : "false") +
             ",\"handle_chinese_chars\":" + (chinese ? "true" : "false") +
             ",\"strip_accents\":" + (sa == 1 ? "true" : sa == 2 ? "false" : "null") +
             ",\"lowercase\":" + (lower ? "true" : "false") + "}";
      fuzzref::ref_bert(r, clean, chinese, strip, lower);
      break;
    }
    default:
      json = R"({"type":"Sequence","normalizers":[{"type":"NFKD"},{"type":"StripAccents"},{"type":"Lowercase"},)"
             R"({"type":"Strip","strip_left":true,"strip_right":true},{"type":"Prepend","prepend":"_"}]})";
      fuzzref::ref_normalize(r, true, false);
      fuzzref::ref_filter(r, [](char32_t c) { return !corvane::pinned_unicode::is_combining_mark(c); });
      fuzzref::ref_lowercase(r);
      fuzzref::ref_strip(r, true, true);
      fuzzref::ref_prepend(r, U"_");
      break;
  }
  const auto normalizer = corvane::normalizer_from_json_text(json);
  normalizer->normalize(t);
  compare(t, r, json, input);
  return 0;
}
