#include "pre_tokenizers/hf/known_patterns.h"

#include <cstring>

#include "pre_tokenizers/scanner_char_classes.h"

namespace corvane::hf {

namespace {

using namespace scan;

constexpr std::string_view kLlama3 =
    R"((?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)";
constexpr std::string_view kQwen2 =
    R"((?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)";
constexpr std::string_view kClip =
    R"(<\|startoftext\|>|<\|endoftext\|>|'s|'t|'re|'ve|'m|'ll|'d|[\p{L}]+|[\p{N}]|[^\s\p{L}\p{N}]+)";

// End of [^\s\p{L}\p{N}]+[\r\n]* whose first character ends at `from`.
inline std::size_t others_then_newlines(const unsigned char* s, std::size_t from, std::size_t n) {
  return newline_run_end(s, run_end<kL | kN | kS, true>(s, from, n), n, false);
}

// Length of the Llama 3 (MaxDigits 3) or Qwen 2 (MaxDigits 1) match at `pos`. Every
// character starts a match, so the matches cover the text.
template <int MaxDigits>
std::size_t llama3_match(const unsigned char* s, std::size_t pos, std::size_t n) {
  if (s[pos] == '\'') {
    if (const std::size_t k = contraction_any_case(s, pos, n)) return k;
  }
  const Char c = char_at(s, pos);
  if (c.cls & kL) return run_end<kL, false>(s, pos + c.len, n) - pos;
  if (c.cls & kN) {
    if constexpr (MaxDigits == 3) return up_to_three_numbers_end(s, pos, n, c.len) - pos;
    return c.len;
  }
  const std::size_t next = pos + c.len;
  const Char nc = next < n ? char_at(s, next) : Char{0, 0};
  // [^\r\n\p{L}\p{N}]?\p{L}+: a character that is not \r or \n before letters.
  if (!(c.cls & kNewline) && (nc.cls & kL)) return run_end<kL, false>(s, next + nc.len, n) - pos;
  // ' ?[^\s\p{L}\p{N}]+[\r\n]*'
  if (!(c.cls & kS)) return others_then_newlines(s, next, n) - pos;
  if (s[pos] == ' ' && next < n && !(nc.cls & (kL | kN | kS))) return others_then_newlines(s, next + nc.len, n) - pos;
  // A whitespace run: \s*[\r\n]+ ends right after its last \r or \n (no byte of a longer
  // character is either); without one, \s+(?!\S) takes it all at the end of the text and
  // all but its last character before anything else, and \s+ a single character.
  const std::size_t end = run_end<kS, false>(s, next, n);
  for (std::size_t i = end; i > pos; --i) {
    if (s[i - 1] == '\n' || s[i - 1] == '\r') return i - pos;
  }
  if (end == n) return end - pos;
  const std::size_t last = last_char_start(s, end);
  return (last > pos ? last : end) - pos;
}

template <int MaxDigits>
void llama3_segments(std::string_view text, std::vector<Segment>& out) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t pos = 0; pos < n;) {
    const std::size_t end = pos + llama3_match<MaxDigits>(s, pos, n);
    out.push_back(Segment{pos, end, true});
    pos = end;
  }
}

// Length of the CLIP match at `pos`, 0 when none starts there (whitespace).
std::size_t clip_match(const unsigned char* s, std::size_t pos, std::size_t n) {
  auto starts_with = [&](std::string_view w) {
    return n - pos >= w.size() && std::memcmp(s + pos, w.data(), w.size()) == 0;
  };
  if (s[pos] == '<') {
    if (starts_with("<|startoftext|>")) return 15;
    if (starts_with("<|endoftext|>")) return 13;
  } else if (s[pos] == '\'') {
    if (const std::size_t k = contraction_cased(s, pos, n)) return k;
  }
  const Char c = char_at(s, pos);
  if (c.cls & kL) return run_end<kL, false>(s, pos + c.len, n) - pos;
  if (c.cls & kN) return c.len;
  if (c.cls & kS) return 0;
  return run_end<kL | kN | kS, true>(s, pos + c.len, n) - pos;
}

void clip_segments(std::string_view text, std::vector<Segment>& out) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t gap = 0;
  for (std::size_t pos = 0; pos < n;) {
    const std::size_t len = clip_match(s, pos, n);
    if (len == 0) {
      pos = run_end<kS, false>(s, pos, n);
      continue;
    }
    if (gap < pos) out.push_back(Segment{gap, pos, false});
    out.push_back(Segment{pos, pos + len, true});
    pos += len;
    gap = pos;
  }
  if (gap < n) out.push_back(Segment{gap, n, false});
}

}  // namespace

PatternScanner known_pattern_scanner(std::string_view pattern) {
  if (pattern == kLlama3) return llama3_segments<3>;
  if (pattern == kQwen2) return llama3_segments<1>;
  if (pattern == kClip) return clip_segments;
  return nullptr;
}

}  // namespace corvane::hf
