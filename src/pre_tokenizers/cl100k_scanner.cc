#include "pre_tokenizers/cl100k_scanner.h"

namespace corvane {

std::size_t Cl100kScanner::whitespace_length(const unsigned char* s, std::size_t pos,
                                             std::size_t n, std::size_t first_len) {
  using namespace scan;
  const std::size_t end = run_end<kS, false>(s, pos + first_len, n);
  if (end == n) return end - pos;  // \s++$
  // \s*[\r\n]: up to the last \r or \n of the run (bytes of a multi-byte character are
  // never 0x0A or 0x0D, so the run can be searched byte by byte).
  for (std::size_t i = end; i > pos; --i) {
    if (s[i - 1] == '\n' || s[i - 1] == '\r') return i - pos;
  }
  const std::size_t last = last_char_start(s, end);
  if (last > pos) return last - pos;  // \s+(?!\S)
  return first_len;                   // \s
}

}  // namespace corvane
