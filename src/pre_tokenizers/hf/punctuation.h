#pragma once

#include "pre_tokenizers/hf/pre_tokenizer.h"

namespace corvane::hf {

// Punctuation: cuts on every punctuation character (char_classes.h: is_punctuation), with
// the given behavior for them.
class PunctuationPreTokenizer final : public PreTokenizer {
 public:
  explicit PunctuationPreTokenizer(SplitBehavior behavior) : behavior_(behavior) {}
  void pre_tokenize(PreTokenizedText& text) const override;

 private:
  SplitBehavior behavior_;
};

}  // namespace corvane::hf
