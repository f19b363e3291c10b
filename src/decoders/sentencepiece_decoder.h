#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "decoders/decoder.h"
#include "models/sentencepiece_pieces.h"
#include "normalizers/sentencepiece_normalizer.h"

namespace corvane {

// Decoding as SentencePiece decodes pieces: control pieces vanish, the unknown piece
// becomes the model's unknown surface (" \u2047 " by default), runs of byte pieces become
// their bytes (each byte that does not complete a well-formed character becomes U+FFFD),
// and other pieces have U+2581 replaced by a space, after a leading U+2581 is dropped from
// the first piece that has text while nothing has been written yet (with
// remove_extra_whitespaces, from each such piece until text is written; with neither
// add_dummy_prefix nor remove_extra_whitespaces, never). A text that is no piece is kept as
// it is. A model with a denormalizer normalizes the result with it.
class SentencePieceDecoder final : public Decoder {
 public:
  // `pieces` are the model's pieces: a token is looked up among them as the model looks it
  // up, and decodes by the kind of the piece found (a token that is no piece as itself).
  SentencePieceDecoder(std::shared_ptr<const SentencePiecePieces> pieces, std::string unk_surface,
                       bool strip_leading_space, bool remove_extra_whitespaces,
                       std::unique_ptr<const SentencePieceNormalizer> denormalizer);

  std::vector<std::string> decode_chain(std::vector<std::string> tokens) const override;

 private:
  std::shared_ptr<const SentencePiecePieces> pieces_;
  std::string unk_surface_;
  bool strip_leading_space_;
  bool remove_extra_whitespaces_;
  std::unique_ptr<const SentencePieceNormalizer> denormalizer_;
};

}  // namespace corvane
