#pragma once

#include "pre_tokenizers/hf/pre_tokenizer.h"

namespace corvane::hf {

// CharDelimiterSplit: cuts on every occurrence of one character, which is dropped.
class CharDelimiterSplitPreTokenizer final : public PreTokenizer {
 public:
  explicit CharDelimiterSplitPreTokenizer(char32_t delimiter) : delimiter_(delimiter) {}
  void pre_tokenize(PreTokenizedText& text) const override;

 private:
  char32_t delimiter_;
};

}  // namespace corvane::hf
