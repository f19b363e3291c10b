#pragma once

#include <cstddef>
#include <string_view>

#include "pre_tokenizers/scanner_char_classes.h"

namespace corvane {

// The pattern of gpt2, r50k_base, p50k_base and p50k_edit (patterns::kR50k)
//   '(?:[sdmt]|ll|ve|re)| ?\p{L}++| ?\p{N}++| ?[^\s\p{L}\p{N}]++|\s++$|\s+(?!\S)|\s
// as a hand-written scanner. At each position, first match wins:
//   1. an apostrophe and s, d, m, t, ll, ve or re (lower case only);
//   2-4. an optional space (U+0020 only), then a run of letters, or of numbers, or of
//      characters that are none of letter, number and whitespace; a space followed by any
//      character that is not whitespace joins its run, since every such character is one
//      of the three;
//   5. a whitespace run that reaches the end of the text;
//   6. all but the last character of a longer whitespace run;
//   7. one whitespace character.
// One forward pass over each pre-token (a whitespace run is read twice at most): linear
// time, constant stack.
class R50kScanner {
 public:
  // Length in bytes of the match at `pos` of well-formed UTF-8 `text` (pos < size).
  static inline std::size_t next_length(std::string_view text, std::size_t pos);

 private:
  // Rules 5-7 for the whitespace run at `pos`.
  static std::size_t whitespace_length(const unsigned char* s, std::size_t pos, std::size_t n,
                                       std::size_t first_len);
};

inline std::size_t R50kScanner::next_length(std::string_view text, std::size_t pos) {
  using namespace scan;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();

  if (s[pos] == '\'') {
    if (const std::size_t k = contraction_cased(s, pos, n)) return k;
  }

  const Char c = char_at(s, pos);
  std::size_t i = pos;
  Char at = c;
  if (s[pos] == ' ' && pos + 1 < n) {
    const Char next = char_at(s, pos + 1);
    if (!(next.cls & kS)) {
      i = pos + 1;
      at = next;
    }
  }
  if (at.cls & kL) return run_end<kL, false>(s, i + at.len, n) - pos;
  if (at.cls & kN) return run_end<kN, false>(s, i + at.len, n) - pos;
  if (!(at.cls & kS)) return run_end<kL | kN | kS, true>(s, i + at.len, n) - pos;
  return whitespace_length(s, pos, n, c.len);
}

}  // namespace corvane
