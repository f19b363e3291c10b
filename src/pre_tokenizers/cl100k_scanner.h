#pragma once

#include <cstddef>
#include <string_view>

#include "pre_tokenizers/scanner_char_classes.h"

namespace corvane {

// The pattern of cl100k_base (patterns::kCl100k)
//   '(?i:[sdmt]|ll|ve|re)|[^\r\n\p{L}\p{N}]?+\p{L}++|\p{N}{1,3}+| ?[^\s\p{L}\p{N}]++[\r\n]*+|
//   \s++$|\s*[\r\n]|\s+(?!\S)|\s
// as a hand-written scanner. At each position, first match wins:
//   1. an apostrophe and s, d, m, t, ll, ve or re in either case (s also as U+017F);
//   2. a run of letters, with the one character before it when that is neither \r, \n, a
//      letter nor a number (so a space, a tab, punctuation or a mark);
//   3. one to three numbers;
//   4. an optional space, a run of characters that are none of letter, number and
//      whitespace, and the \r and \n right after it;
//   5. a whitespace run that reaches the end of the text;
//   6. a whitespace run up to and including its last \r or \n;
//   7. all but the last character of a longer whitespace run;
//   8. one whitespace character.
// Linear time, constant stack: each pre-token is read once, a whitespace run at most
// three times.
class Cl100kScanner {
 public:
  // Length in bytes of the match at `pos` of well-formed UTF-8 `text` (pos < size).
  static inline std::size_t next_length(std::string_view text, std::size_t pos);

 private:
  // Rules 5-8 for the whitespace run at `pos`.
  static std::size_t whitespace_length(const unsigned char* s, std::size_t pos, std::size_t n,
                                       std::size_t first_len);
};

inline std::size_t Cl100kScanner::next_length(std::string_view text, std::size_t pos) {
  using namespace scan;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();

  if (s[pos] == '\'') {
    const std::size_t k = contraction_any_case(s, pos, n);
    if (k) return k;
  }
  const Char c = char_at(s, pos);
  if (c.cls & kL) return run_end<kL, false>(s, pos + c.len, n) - pos;
  if (c.cls & kN) return up_to_three_numbers_end(s, pos, n, c.len) - pos;
  if (c.cls & kNewline) return whitespace_length(s, pos, n, c.len);

  // Neither \r, \n, letter nor number: the optional prefix of rule 2.
  const std::size_t next = pos + c.len;
  Char nc{0, 0};
  if (next < n) {
    nc = char_at(s, next);
    if (nc.cls & kL) return run_end<kL, false>(s, next + nc.len, n) - pos;
  }
  std::size_t start = pos;
  if (c.cls & kS) {
    if (s[pos] != ' ' || next >= n || (nc.cls & (kL | kN | kS))) {
      return whitespace_length(s, pos, n, c.len);
    }
    start = next;  // a space joins the run of rule 4 behind it
  }
  const std::size_t end = run_end<kL | kN | kS, true>(s, start + (start == pos ? c.len : nc.len), n);
  return newline_run_end(s, end, n, false) - pos;
}

}  // namespace corvane
