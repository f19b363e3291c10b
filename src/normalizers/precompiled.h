#pragma once

#include <array>
#include <string>
#include <string_view>

#include "normalizers/normalizer.h"
#include "normalizers/precompiled_charsmap.h"

namespace corvane {

// The Precompiled normalizer of a tokenizer.json (SentencePiece's compiled rules, as
// HuggingFace `tokenizers` applies them): the text is cut into extended grapheme clusters;
// a cluster shorter than 6 bytes that starts with a key of the map is replaced as a whole
// by the replacement of the shortest such key; any other cluster is replaced character by
// character (a character that starts with a key takes the replacement of its shortest
// key). Alignments follow the peer's: a replacement's characters take the spans of the
// characters they replace in order, extra ones are inserted after them, and removed
// characters are taken out after the last character written so far.
class Precompiled final : public Normalizer {
 public:
  // `blob` is the map's bytes (decoded from base64). Throws std::invalid_argument
  // "invalid precompiled_charsmap: <what is wrong>".
  explicit Precompiled(std::string_view blob);
  void normalize(NormalizedText& text) const override;

 private:
  // The replacement of the shortest key at the start of s[0, n), if any.
  bool first_match(const unsigned char* s, std::size_t n, std::string_view& out) const {
    bool found = false;
    map_.for_each_match(s, n, [&](std::size_t, std::string_view r) {
      if (!found) {
        found = true;
        out = r;
      }
    });
    return found;
  }

  PrecompiledCharsmap map_;
  // For each ASCII character alone: whether the map replaces it, and by what.
  std::array<bool, 128> ascii_mapped_{};
  std::array<std::string_view, 128> ascii_replacement_{};
};

}  // namespace corvane
