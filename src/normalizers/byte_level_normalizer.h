#pragma once

#include "normalizers/normalizer.h"

namespace corvane {

// Writes each byte of the text as its byte-level stand-in character (see ByteLevel), so
// "é" becomes "Ã©"; every stand-in aligns with the character its byte belongs to.
class ByteLevelNormalizer final : public Normalizer {
 public:
  void normalize(NormalizedText& text) const override;
};

}  // namespace corvane
