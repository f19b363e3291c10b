#pragma once

#include <string>

#include "decoders/decoder.h"

namespace corvane {

// WordPiece decoding: every token but the first loses its continuation prefix ("##") when
// it has one and is otherwise preceded by a space. With `cleanup`, each token then has the
// tokenisation artefacts of English text removed (see `cleanup`).
class WordPieceDecoder final : public Decoder {
 public:
  WordPieceDecoder(std::string prefix, bool cleanup) : prefix_(std::move(prefix)), cleanup_(cleanup) {}

  std::vector<std::string> decode_chain(std::vector<std::string> tokens) const override;

  // Removes the space before ".", "?", "!" and ",", around a lone "'", and before "n't",
  // "'m", "'s", "'ve" and "'re", and turns " do not" into " don't": these replacements, in
  // this order, each over the whole result of the one before.
  static std::string cleanup(std::string_view text);

 private:
  std::string prefix_;
  bool cleanup_;
};

}  // namespace corvane
