#pragma once

#include "normalizers/normalized_text.h"

namespace corvane {

// One normalization step of a tokenizer pipeline: changes the normalized text in place and
// keeps its alignment to the original text. Normalizers are immutable once built and safe
// to share between threads.
class Normalizer {
 public:
  virtual ~Normalizer() = default;
  virtual void normalize(NormalizedText& text) const = 0;
};

}  // namespace corvane
