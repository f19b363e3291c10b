#pragma once

#include <string_view>
#include <vector>

#include "normalizers/normalized_text.h"
#include "pre_tokenizers/hf/pre_tokenized_text.h"

namespace corvane::hf {

// The segments of `text` when every character c with is_delimiter(c) is a delimiter of its
// own, as `tokenizers` splits on a character predicate: each such character is one match
// segment, and each stretch between them one segment of text.
template <class Pred>
void char_segments(std::string_view text, Pred&& is_delimiter, std::vector<Segment>& out) {
  std::size_t last = 0;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t at = i;
    const char32_t c = next_char(text, i);
    if (is_delimiter(c)) {
      if (last < at) out.push_back(Segment{last, at, false});
      out.push_back(Segment{at, i, true});
      last = i;
    }
  }
  if (last < text.size() || text.empty()) out.push_back(Segment{last, text.size(), false});
}

// Turns delimiters into text and text into delimiters (a pattern's `invert`).
inline void invert_segments(std::vector<Segment>& segments) {
  for (Segment& s : segments) s.is_match = !s.is_match;
}

}  // namespace corvane::hf
