#pragma once

#include "pre_tokenizers/hf/pre_tokenized_text.h"

namespace corvane::hf {

// One pre-tokenization step of a tokenizer.json pipeline: cuts the pieces of a text (and
// may rewrite them) before the model sees them. Immutable once built; one object may serve
// several threads at once.
class PreTokenizer {
 public:
  virtual ~PreTokenizer() = default;
  virtual void pre_tokenize(PreTokenizedText& text) const = 0;
};

}  // namespace corvane::hf
