#include "pre_tokenizers/r50k_scanner.h"

namespace corvane {

std::size_t R50kScanner::whitespace_length(const unsigned char* s, std::size_t pos,
                                           std::size_t n, std::size_t first_len) {
  using namespace scan;
  const std::size_t end = run_end<kS, false>(s, pos + first_len, n);
  if (end == n) return end - pos;                        // \s++$
  const std::size_t last = last_char_start(s, end);
  if (last > pos) return last - pos;                     // \s+(?!\S)
  return first_len;                                      // \s
}

}  // namespace corvane
