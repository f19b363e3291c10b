#include "pre_tokenizers/hf/bert_pre_tokenizer.h"

#include "pre_tokenizers/hf/char_classes.h"
#include "pre_tokenizers/hf/char_pattern.h"

namespace corvane::hf {

void BertPreTokenizer::pre_tokenize(PreTokenizedText& text) const {
  // Both cuts in one pass: whitespace characters are removed delimiters, punctuation
  // characters text segments of their own, and the runs between them text segments.
  text.split(
      [](std::string_view s, std::vector<Segment>& out) {
        std::size_t last = 0;
        for (std::size_t i = 0; i < s.size();) {
          const std::size_t at = i;
          const char32_t c = next_char(s, i);
          const bool space = is_whitespace(c);
          if (space || is_punctuation(c)) {
            if (last < at) out.push_back(Segment{last, at, false});
            out.push_back(Segment{at, i, space});
            last = i;
          }
        }
        if (last < s.size()) out.push_back(Segment{last, s.size(), false});
      },
      SplitBehavior::kRemoved);
}

}  // namespace corvane::hf
