#include "pre_tokenizers/hf/digits.h"

#include "pre_tokenizers/hf/char_classes.h"
#include "pre_tokenizers/hf/char_pattern.h"

namespace corvane::hf {

void DigitsPreTokenizer::pre_tokenize(PreTokenizedText& text) const {
  text.split([](std::string_view s, std::vector<Segment>& out) { char_segments(s, is_numeric, out); },
             individual_digits_ ? SplitBehavior::kIsolated : SplitBehavior::kContiguous);
}

}  // namespace corvane::hf
