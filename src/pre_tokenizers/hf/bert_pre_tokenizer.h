#pragma once

#include "pre_tokenizers/hf/pre_tokenizer.h"

namespace corvane::hf {

// BertPreTokenizer: cuts on whitespace, which is dropped, then puts every punctuation
// character (char_classes.h: is_punctuation) in a piece of its own.
class BertPreTokenizer final : public PreTokenizer {
 public:
  void pre_tokenize(PreTokenizedText& text) const override;
};

}  // namespace corvane::hf
