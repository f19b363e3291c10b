#include "pre_tokenizers/hf/char_delimiter_split.h"

#include "pre_tokenizers/hf/char_pattern.h"

namespace corvane::hf {

void CharDelimiterSplitPreTokenizer::pre_tokenize(PreTokenizedText& text) const {
  const char32_t d = delimiter_;
  text.split(
      [d](std::string_view s, std::vector<Segment>& out) {
        char_segments(s, [d](char32_t c) { return c == d; }, out);
      },
      SplitBehavior::kRemoved);
}

}  // namespace corvane::hf
