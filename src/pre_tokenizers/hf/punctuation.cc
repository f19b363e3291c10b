#include "pre_tokenizers/hf/punctuation.h"

#include "pre_tokenizers/hf/char_classes.h"
#include "pre_tokenizers/hf/char_pattern.h"

namespace corvane::hf {

void PunctuationPreTokenizer::pre_tokenize(PreTokenizedText& text) const {
  text.split([](std::string_view s, std::vector<Segment>& out) { char_segments(s, is_punctuation, out); },
             behavior_);
}

}  // namespace corvane::hf
