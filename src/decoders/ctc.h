#pragma once

#include <string>

#include "decoders/decoder.h"
#include "decoders/token_text.h"

namespace corvane {

// CTC decoding (speech models): runs of equal tokens collapse to one, the pad token is
// removed from each, and with `cleanup` the WordPiece cleanup runs and the word delimiter
// becomes a space; tokens left empty are dropped.
class CTCDecoder final : public Decoder {
 public:
  CTCDecoder(std::string pad_token, std::string word_delimiter_token, bool cleanup)
      : pad_(std::move(pad_token), ""), delimiter_(std::move(word_delimiter_token), " "), cleanup_(cleanup) {}

  std::vector<std::string> decode_chain(std::vector<std::string> tokens) const override;

 private:
  token_text::LiteralReplacer pad_, delimiter_;
  bool cleanup_;
};

}  // namespace corvane
