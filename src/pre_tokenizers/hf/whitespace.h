#pragma once

#include "pre_tokenizers/hf/pre_tokenizer.h"

namespace corvane::hf {

// Whitespace: the pieces are the matches of \w+|[^\w\s]+ (the `regex` crate's Unicode \w
// and \s): runs of word characters and runs of other characters that are not whitespace.
// Whitespace is dropped.
class WhitespacePreTokenizer final : public PreTokenizer {
 public:
  void pre_tokenize(PreTokenizedText& text) const override;
};

// WhitespaceSplit: cuts on every whitespace character (Rust's char::is_whitespace), which
// is dropped.
class WhitespaceSplitPreTokenizer final : public PreTokenizer {
 public:
  void pre_tokenize(PreTokenizedText& text) const override;
};

}  // namespace corvane::hf
