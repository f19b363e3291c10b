#pragma once

#include "normalizers/normalizer.h"

namespace corvane {

// Lowercases every character with its full lowercase mapping, without context (U+0130
// gives "i" and U+0307; U+03A3 always gives U+03C3), as Rust's char::to_lowercase does.
class Lowercase final : public Normalizer {
 public:
  void normalize(NormalizedText& text) const override { text.lowercase(); }
};

}  // namespace corvane
