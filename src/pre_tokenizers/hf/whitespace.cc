#include "pre_tokenizers/hf/whitespace.h"

#include "pre_tokenizers/hf/char_classes.h"
#include "pre_tokenizers/hf/char_pattern.h"

namespace corvane::hf {

void WhitespacePreTokenizer::pre_tokenize(PreTokenizedText& text) const {
  // Segments: each run of word characters and each run of other non-whitespace characters
  // is text; each run of whitespace a delimiter.
  enum Kind { kNone, kWord, kOther, kSpace };
  text.split(
      [](std::string_view s, std::vector<Segment>& out) {
        Kind run = kNone;
        std::size_t start = 0;
        for (std::size_t i = 0; i < s.size();) {
          const std::size_t at = i;
          const char32_t c = next_char(s, i);
          const Kind k = is_word(c) ? kWord : is_whitespace(c) ? kSpace : kOther;
          if (k != run) {
            if (run != kNone) out.push_back(Segment{start, at, run == kSpace});
            run = k;
            start = at;
          }
        }
        if (run != kNone) out.push_back(Segment{start, s.size(), run == kSpace});
      },
      SplitBehavior::kRemoved);
}

void WhitespaceSplitPreTokenizer::pre_tokenize(PreTokenizedText& text) const {
  text.split([](std::string_view s, std::vector<Segment>& out) { char_segments(s, is_whitespace, out); },
             SplitBehavior::kRemoved);
}

}  // namespace corvane::hf
