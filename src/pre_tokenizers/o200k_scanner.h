#pragma once

#include <cstddef>
#include <string_view>

#include "pre_tokenizers/scanner_char_classes.h"

namespace corvane {

// The pattern of o200k_base and o200k_harmony (patterns::kO200k), with
//   P = [^\r\n\p{L}\p{N}], U = [\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}], W = [\p{Ll}\p{Lm}\p{Lo}\p{M}],
//   C = (?i:'s|'t|'re|'ve|'m|'ll|'d):
//   P?U*W+C? | P?U+W*C? | \p{N}{1,3} | ?[^\s\p{L}\p{N}]+[\r\n/]* | \s*[\r\n]+ | \s+(?!\S) | \s+
// as a hand-written scanner with the backtracking engine's leftmost-first choices worked
// out. U and W overlap (Lm, Lo and marks are in both) and P holds marks too, so:
//   - P?U*W+C? from a start s: U* takes the U run [s, e); W+ then starts at the last place
//     in [s, e] where a W character is (e itself when the run is followed by a lower-case
//     letter, else the last Lm, Lo or mark inside the run) and runs as far as W goes; it
//     fails when there is none. P? first takes the character at pos when it is in P, and
//     tries s = pos only after s = pos + 1 failed (which matters for a mark at pos: it is
//     in P, U and W, so s = pos always succeeds, with the mark alone when nothing better
//     follows).
//   - P?U+W*C? (tried only after the first branch failed both ways): the U run, then the
//     W run after it.
//   - the contraction C is taken whenever it follows the word.
//   - \s*[\r\n]+ ends after the last \r or \n of the whitespace run; \s+(?!\S) is the whole
//     run at the end of the text and all but its last character elsewhere; \s+ is left
//     with single whitespace characters.
// Linear time, constant stack: a word is read at most four times (both branches, both
// choices of P?), a whitespace run at most three times.
class O200kScanner {
 public:
  // Length in bytes of the match at `pos` of well-formed UTF-8 `text` (pos < size).
  static inline std::size_t next_length(std::string_view text, std::size_t pos);

 private:
  // End of P?U*W+C? with the P? part already decided (the word starts at s < n), or 0
  // when it does not match there.
  static inline std::size_t lower_word_end(const unsigned char* s, std::size_t start,
                                           std::size_t n);
  // End of U+W*C? from `start` (< n), or 0.
  static std::size_t upper_word_end(const unsigned char* s, std::size_t start, std::size_t n);
  // The rest of the rules for a character in P at `pos` when no word starts after it.
  static std::size_t after_prefix_length(const unsigned char* s, std::size_t pos,
                                         std::size_t n, scan::Char c);
  // \s*[\r\n]+ | \s+(?!\S) | \s+ for the whitespace run at `pos`.
  static std::size_t whitespace_length(const unsigned char* s, std::size_t pos, std::size_t n,
                                       std::size_t first_len);
};

inline std::size_t O200kScanner::lower_word_end(const unsigned char* s, std::size_t start,
                                                std::size_t n) {
  using namespace scan;
  std::size_t w = n;  // where W+ starts; n for none yet
  const std::size_t u_end = run_end<kUpperLike, false, kBothLike>(s, start, n, &w);
  if (u_end < n) {
    const Char c = char_at(s, u_end);
    if (c.cls & kLowerLike) w = u_end;
  }
  if (w == n) return 0;
  const std::size_t end = run_end<kLowerLike, false>(s, w, n);
  return end + contraction_any_case(s, end, n);
}

inline std::size_t O200kScanner::next_length(std::string_view text, std::size_t pos) {
  using namespace scan;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  const Char c = char_at(s, pos);

  if (c.cls & kL) {
    // P? matches nothing here (a letter is not in P); a letter is in U or W, so one of the
    // two word branches matches.
    const std::size_t end = lower_word_end(s, pos, n);
    return (end ? end : upper_word_end(s, pos, n)) - pos;
  }
  if (c.cls & kN) return up_to_three_numbers_end(s, pos, n, c.len) - pos;
  if (c.cls & kNewline) return whitespace_length(s, pos, n, c.len);
  // In P: first as the prefix of a word that starts after it.
  const std::size_t next = pos + c.len;
  if (next < n) {
    const std::size_t end = lower_word_end(s, next, n);
    if (end) return end - pos;
  }
  return after_prefix_length(s, pos, n, c);
}

}  // namespace corvane
