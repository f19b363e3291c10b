#include "pre_tokenizers/o200k_scanner.h"

namespace corvane {

std::size_t O200kScanner::upper_word_end(const unsigned char* s, std::size_t start,
                                         std::size_t n) {
  using namespace scan;
  const std::size_t u_end = run_end<kUpperLike, false>(s, start, n);
  if (u_end == start) return 0;
  const std::size_t end = run_end<kLowerLike, false>(s, u_end, n);
  return end + contraction_any_case(s, end, n);
}

std::size_t O200kScanner::after_prefix_length(const unsigned char* s, std::size_t pos,
                                              std::size_t n, scan::Char c) {
  using namespace scan;
  // A mark is in U and W: P?U*W+C? matches from the mark itself.
  if (c.cls & kMark) return lower_word_end(s, pos, n) - pos;
  const std::size_t next = pos + c.len;
  if (next < n) {
    const std::size_t end = upper_word_end(s, next, n);
    if (end) return end - pos;
  }
  // ` ?[^\s\p{L}\p{N}]+[\r\n/]*`
  std::size_t start = pos, start_len = c.len;
  if (c.cls & kS) {
    if (s[pos] != ' ' || next >= n) return whitespace_length(s, pos, n, c.len);
    const Char nc = char_at(s, next);
    if (nc.cls & (kL | kN | kS)) return whitespace_length(s, pos, n, c.len);
    start = next;
    start_len = nc.len;
  }
  const std::size_t end = run_end<kL | kN | kS, true>(s, start + start_len, n);
  return newline_run_end(s, end, n, true) - pos;
}

std::size_t O200kScanner::whitespace_length(const unsigned char* s, std::size_t pos,
                                            std::size_t n, std::size_t first_len) {
  using namespace scan;
  const std::size_t end = run_end<kS, false>(s, pos + first_len, n);
  // \s*[\r\n]+: up to the last \r or \n of the run (bytes of a multi-byte character are
  // never 0x0A or 0x0D, so the run can be searched byte by byte).
  for (std::size_t i = end; i > pos; --i) {
    if (s[i - 1] == '\n' || s[i - 1] == '\r') return i - pos;
  }
  if (end == n) return end - pos;  // \s+(?!\S) at the end of the text
  const std::size_t last = last_char_start(s, end);
  if (last > pos) return last - pos;  // \s+(?!\S)
  return first_len;                   // \s+
}

}  // namespace corvane
