#pragma once

#include "core/pinned_unicode.h"
#include "normalizers/normalizer.h"

namespace corvane {

// Removes combining marks (Mn, Mc and Me as of Unicode 9.0). It only removes marks that
// are separate characters: run NFD or NFKD first to take accents off precomposed letters.
class StripAccents final : public Normalizer {
 public:
  void normalize(NormalizedText& text) const override {
    text.filter([](char32_t c) { return !pinned_unicode::is_combining_mark(c); });
  }
};

}  // namespace corvane
